// The com port component: a serial port's configuration as properties, opening
// and closing through a dispatcher, trigger notifications turned into events.
//
// Everything here runs on the GUI thread: property writes, operations and the
// hidden port window whose procedure raises the events. The dispatcher thread
// reaches the component only through messages sent to that window.
//
// Setters store the value and, only while the port is open, hand it to the
// dispatcher at once; opening applies every stored value in a fixed order.
// Failures at the public surface are exceptions of QxExcept.h (while the
// component is being loaded from a stored layout the error check returns the
// code instead, so loading never stops half-way).
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/Component.h"
#include "platform/Messages.h"
#include "serial/QwUser.h"
#include "serial/QxExcept.h"

namespace zav {

// On Linux dlWin32 is the native serial layer; a COM number that the port map
// leads to a network address (QwNet.h) opens a network port under it too.
enum class TDeviceLayer { dlWin16, dlFossil, dlWin32, dlWinsock };
enum class TParity { pNone, pOdd, pEven, pMark, pSpace };
// A set of hwfUseDTR, hwfUseRTS, hwfRequireDSR, hwfRequireCTS (QwUser.h): the
// bits are also the dispatcher's hardware-flow word.
using THWFlowOptionSet = uint32_t;

// A port's line settings as a person reads them: "115200 8N1".
std::string LineSettingsText(int32_t baud, int dataBits, TParity parity, int stopBits);
enum class TSWFlowOptions { swfNone, swfReceive, swfTransmit, swfBoth };
enum class TTraceLogState { tlOff, tlOn, tlDump, tlAppend, tlClear, tlPause };
enum class TTapiMode { tmNone, tmAuto, tmOn, tmOff };
enum class TPortPhase { ppClosed, ppClosing, ppOpen };

constexpr uint32_t kMaxTraceSize = 4000000;
constexpr uint32_t kMaxLogSize = 16000000;

class TMroCustomComPort;

using TTriggerEvent = std::function<void(TMroCustomComPort* CP, uint16_t Msg, uint16_t TriggerHandle, uint16_t Data)>;
using TTriggerAvailEvent = std::function<void(TMroCustomComPort* CP, uint16_t Count)>;
using TTriggerDataEvent = std::function<void(TMroCustomComPort* CP, uint16_t TriggerHandle)>;
using TTriggerStatusEvent = TTriggerDataEvent;
using TTriggerTimerEvent = TTriggerDataEvent;
using TTriggerLineErrorEvent = std::function<void(TMroCustomComPort* CP, uint16_t Error, bool LineBreak)>;
using TWaitCharEvent = std::function<void(TMroCustomComPort* CP, char C)>;
using TNotifyEvent = std::function<void(TComponent* Sender)>;

// A callback user: called with (port, true) after opening and (port, false)
// before closing. `Object` identifies the user (DetachCallback compares it).
struct TPortCallback {
  const void* Object = nullptr;
  std::function<void(TMroCustomComPort* CP, bool Opening)> Call;
};

// An attached user: a window (told by MsgPortOpened / MsgPortClosing) or a callback.
struct TPortUser {
  HWND Window = 0;
  TPortCallback Callback;
};

// Socket error numbers (a network port's failures to connect): an open that
// fails with one raises EOpenComm with the number's text and the device's
// reason, e.g. "Connection refused: connection refused (is the server
// running ...)".
constexpr int32_t kFirstSocketError = 9001;
constexpr int32_t kLastSocketError = 11004;

// Makes the dispatcher of an open instead of the built-in choice. It must be
// created with the port as its owner: the port window finds the port that way.
using TDispatcherFactory = std::function<std::unique_ptr<TMroBaseDispatcher>(TMroCustomComPort& port)>;

// The port prompt: asks the operator for a port when an open finds ComNumber 0.
// Returns false when the operator refused; may throw (a conversion error of an
// empty selection). The application registers its dialog; an empty function
// removes it, and without one every prompt counts as refused.
using TPortPrompt = std::function<bool(TMroCustomComPort& port, uint16_t& chosen)>;
void RegisterPortPrompt(TPortPrompt prompt);

// The application's top-level error handler (RegisterErrorReporter,
// ReportUnhandledError) is declared in serial/QxExcept.h.

// A component with the read-only Version ("v3.04", from TComponent).
class TMroBaseComponent : public TComponent {
 public:
  explicit TMroBaseComponent(TComponent* owner) : TComponent(owner) {}
};

class TMroCustomComPort : public TMroBaseComponent {
 public:
  explicit TMroCustomComPort(TComponent* owner);
  ~TMroCustomComPort() override;

  // Copies the configuration of another com port (anything else throws).
  virtual void Assign(const TComponent* source);

  // The first com port among `owner`'s components, searched depth first.
  static TMroCustomComPort* LocateComPort(const TComponent* owner);

  // --- Properties (getter, setter) ---
  TDeviceLayer DeviceLayer() const { return FDeviceLayer; }
  void SetDeviceLayer(TDeviceLayer v);
  uint16_t ComNumber() const { return FComNumber; }
  void SetComNumber(uint16_t v);
  int32_t Baud() const { return FBaud; }
  void SetBaud(int32_t v);
  bool PromptForPort() const { return FPromptForPort; }
  void SetPromptForPort(bool v) { FPromptForPort = v; }
  TParity Parity() const { return FParity; }
  void SetParity(TParity v);
  uint16_t DataBits() const { return FDataBits; }
  void SetDataBits(uint16_t v);
  uint16_t StopBits() const { return FStopBits; }
  void SetStopBits(uint16_t v);
  uint16_t InSize() const { return FInSize; }
  void SetInSize(uint16_t v);
  uint16_t OutSize() const { return FOutSize; }
  void SetOutSize(uint16_t v);
  bool AutoOpen() const { return FAutoOpen; }
  void SetAutoOpen(bool v) { FAutoOpen = v; }
  bool Open() const { return FOpen; }
  void SetOpen(bool v);
  bool DTR() const { return FDTR; }
  void SetDTR(bool v);
  bool RTS() const { return FRTS; }
  void SetRTS(bool v);
  THWFlowOptionSet HWFlowOptions() const { return FHWFlowOptions; }
  void SetHWFlowOptions(THWFlowOptionSet v);
  TSWFlowOptions SWFlowOptions() const { return FSWFlowOptions; }
  void SetSWFlowOptions(TSWFlowOptions v);
  char XOnChar() const { return FXOnChar; }
  void SetXOnChar(char v);
  char XOffChar() const { return FXOffChar; }
  void SetXOffChar(char v);
  uint16_t BufferFull() const { return FBufferFull; }
  void SetBufferFull(uint16_t v);
  uint16_t BufferResume() const { return FBufferResume; }
  void SetBufferResume(uint16_t v);
  TTraceLogState Tracing() const { return FTracing; }
  void SetTracing(TTraceLogState v);
  uint32_t TraceSize() const { return FTraceSize; }
  void SetTraceSize(uint32_t v);
  const std::string& TraceName() const { return FTraceName; }
  void SetTraceName(const std::string& v);
  bool TraceHex() const { return FTraceHex; }
  void SetTraceHex(bool v) { FTraceHex = v; }
  bool TraceAllHex() const { return FTraceAllHex; }
  void SetTraceAllHex(bool v) { FTraceAllHex = v; }
  TTraceLogState Logging() const { return FLogging; }
  void SetLogging(TTraceLogState v);
  uint32_t LogSize() const { return FLogSize; }
  void SetLogSize(uint32_t v);
  const std::string& LogName() const { return FLogName; }
  void SetLogName(const std::string& v);
  bool LogHex() const { return FLogHex; }
  void SetLogHex(bool v) { FLogHex = v; }
  bool LogAllHex() const { return FLogAllHex; }
  void SetLogAllHex(bool v) { FLogAllHex = v; }
  bool UseMSRShadow() const { return FUseMSRShadow; }
  virtual void SetUseMSRShadow(bool v);
  bool UseEventWord() const { return FUseEventWord; }
  void SetUseEventWord(bool v);
  uint16_t CommNotificationLevel() const { return FCommNotificationLevel; }
  void SetCommNotificationLevel(uint16_t v) { FCommNotificationLevel = v; }
  TTapiMode TapiMode() const { return FTapiMode; }
  void SetTapiMode(TTapiMode v) { FTapiMode = v; }
  bool RS485Mode() const { return FRS485Mode; }
  void SetRS485Mode(bool v);
  uint16_t AvailTriggerLength() const { return FAvailTriggerLength; }
  void SetAvailTriggerLength(uint16_t v);
  uint8_t ThreadPriorityRaise() const { return FThreadPriorityRaise; }
  void SetThreadPriorityRaise(uint8_t v);
  int32_t Tag() const { return FTag; }
  void SetTag(int32_t v) { FTag = v; }

  // Trigger events: each write refreshes the port handler's service.
  const TTriggerEvent& OnTrigger() const { return FOnTrigger; }
  void SetOnTrigger(TTriggerEvent e);
  const TTriggerAvailEvent& OnTriggerAvail() const { return FOnTriggerAvail; }
  void SetOnTriggerAvail(TTriggerAvailEvent e);
  const TTriggerDataEvent& OnTriggerData() const { return FOnTriggerData; }
  void SetOnTriggerData(TTriggerDataEvent e);
  const TTriggerStatusEvent& OnTriggerStatus() const { return FOnTriggerStatus; }
  void SetOnTriggerStatus(TTriggerStatusEvent e);
  const TTriggerTimerEvent& OnTriggerTimer() const { return FOnTriggerTimer; }
  void SetOnTriggerTimer(TTriggerTimerEvent e);
  const TTriggerLineErrorEvent& OnTriggerLineError() const { return FOnTriggerLineError; }
  void SetOnTriggerLineError(TTriggerLineErrorEvent e);
  const TNotifyEvent& OnTriggerModemStatus() const { return FOnTriggerModemStatus; }
  void SetOnTriggerModemStatus(TNotifyEvent e);
  const TNotifyEvent& OnTriggerOutbuffFree() const { return FOnTriggerOutbuffFree; }
  void SetOnTriggerOutbuffFree(TNotifyEvent e);
  const TNotifyEvent& OnTriggerOutbuffUsed() const { return FOnTriggerOutbuffUsed; }
  void SetOnTriggerOutbuffUsed(TNotifyEvent e);
  const TNotifyEvent& OnTriggerOutSent() const { return FOnTriggerOutSent; }
  void SetOnTriggerOutSent(TNotifyEvent e);
  const TWaitCharEvent& OnWaitChar() const { return FOnWaitChar; }
  void SetOnWaitChar(TWaitCharEvent e) { FOnWaitChar = std::move(e); }

  // --- Public state ---
  TPortPhase PortPhase = TPortPhase::ppClosed;
  bool ReapplyAll = false;      // every setter re-applies its value, changed or not
  bool ReopenPending = false;   // an open asked for while a close completes
  bool OpenAfterLoad = false;   // Open was set while loading or designing
  bool TriggersSaved = false;   // SavedTriggers holds the last device's triggers
  TSavedTriggers SavedTriggers;
  std::unique_ptr<TMroBaseDispatcher> OwnedDispatcher;
  HWND PortWindow = 0;
  std::set<TDeviceLayer> SupportedLayers{TDeviceLayer::dlWin32};
  TDispatcherFactory DispatcherFactory;
  uint16_t TapiDevice = 0;
  std::vector<TPortUser> Users;
  TComponent* Terminal = nullptr;  // set and cleared by the terminal only
  TNotifyEvent OnPortOpened, OnPortClosing;
  // Raised once on the GUI thread when the open device hangs up or goes away
  // (an unplugged adapter): the port stays open, writes fail with EDeviceGone.
  TNotifyEvent OnDeviceGone;

  // --- Operations ---
  // The dispatcher, opening the port first when AutoOpen allows; null when closed.
  TMroBaseDispatcher* ActiveDispatcher();
  // ActiveDispatcher, raising ECommNotOpen when there is none.
  TMroBaseDispatcher* RequireDispatcher();

  void SendString(const std::string& text);
  void SendChar(char c);
  int32_t SendBlock(const void* buffer, uint16_t length);
  char ReadByte();
  bool InputReady();
  // The open device hung up or went away.
  bool DeviceGone() const { return OwnedDispatcher && OwnedDispatcher->DeviceGone(); }
  void PurgeInput();
  void PurgeOutput();
  uint32_t OutputUsed();
  uint32_t OutputFree();
  uint16_t LastLineError();
  bool BreakReceived();
  // Line errors received since the port opened (all 0 while it is closed).
  TLineErrorCounts LineErrorCounts();
  void SendLineBreak(int32_t ticks, bool yield);
  // Break on or off at once; the caller times it (nothing waits here).
  void SetLineBreak(bool on);
  // Bytes not yet on the wire: the transmit ring and the driver's queue.
  uint32_t OutputInFlight();
  int32_t CreateTimerTrigger();
  int32_t CreateStatusTrigger(int statusType);
  void ArmTimerTrigger(int32_t handle, int32_t ticks, bool activate);
  void ArmStatusTrigger(int32_t handle, uint16_t value, bool activate);
  void DeleteTrigger(int32_t handle);
  void AddLogText(const std::string& text);
  virtual void ServiceYield();

  int AttachWindow(HWND window);
  int AttachCallback(TPortCallback callback);
  void DetachWindow(HWND window);
  void DetachCallback(const void* object);

 protected:
  void Loaded() override;

  virtual std::unique_ptr<TMroBaseDispatcher> CreateDispatcher();
  virtual void DeviceLayerChanged() {}
  // Opens the device through the dispatcher; the raw result (0 or a code).
  virtual int32_t OpenDevice();
  virtual void ManagePortWindow(bool create);
  virtual void ValidatePortNumber();
  virtual void DoTrigger(uint16_t msg, uint16_t triggerHandle, uint16_t data);
  virtual void DoTriggerAvail(uint16_t count);
  virtual void DoTriggerData(uint16_t triggerHandle);
  virtual void DoTriggerStatus(uint16_t triggerHandle);
  virtual void DoTriggerTimer(uint16_t triggerHandle);
  virtual void RefreshPortHandler();
  virtual void DoTriggerLineError(uint16_t error, bool lineBreak);
  virtual void DoTriggerModemStatus();
  virtual void DoTriggerOutbuffFree();
  virtual void DoTriggerOutbuffUsed();
  virtual void DoTriggerOutSent();
  virtual void DoWaitChar(char c);
  virtual void ClosePort();
  virtual void PortOpenedNotify();
  virtual void PortClosingNotify();
  virtual void StartPort();

  // The error check of the component (returns the code while loading).
  int32_t Check(int32_t code) const;
  bool Closing() const { return PortPhase == TPortPhase::ppClosing; }
  bool IsOpen() const { return PortPhase == TPortPhase::ppOpen; }

  TDeviceLayer FDeviceLayer = TDeviceLayer::dlWin32;
  uint16_t FComNumber = 0;
  int32_t FBaud = 19200;
  bool FPromptForPort = true;
  TParity FParity = TParity::pNone;
  uint16_t FDataBits = 8;
  uint16_t FStopBits = 1;
  uint16_t FInSize = 4096;
  uint16_t FOutSize = 4096;
  bool FAutoOpen = true;
  bool FOpen = false;
  bool FDTR = true;
  bool FRTS = true;
  THWFlowOptionSet FHWFlowOptions = 0;
  TSWFlowOptions FSWFlowOptions = TSWFlowOptions::swfNone;
  char FXOnChar = 17;
  char FXOffChar = 19;
  uint16_t FBufferFull = 0;
  uint16_t FBufferResume = 0;
  TTraceLogState FTracing = TTraceLogState::tlOff;
  uint32_t FTraceSize = 10000;
  std::string FTraceName = "MERO.TRC";
  bool FTraceHex = true;
  bool FTraceAllHex = false;
  TTraceLogState FLogging = TTraceLogState::tlOff;
  uint32_t FLogSize = 10000;
  std::string FLogName = "MERO.LOG";
  bool FLogHex = true;
  bool FLogAllHex = false;
  bool FUseMSRShadow = true;
  bool FUseEventWord = true;
  uint16_t FCommNotificationLevel = 10;
  TTapiMode FTapiMode = TTapiMode::tmAuto;
  bool FRS485Mode = false;
  uint16_t FAvailTriggerLength = 1;
  uint8_t FThreadPriorityRaise = 0;
  int32_t FTag = 0;

  TTriggerEvent FOnTrigger;
  TTriggerAvailEvent FOnTriggerAvail;
  TTriggerDataEvent FOnTriggerData;
  TTriggerStatusEvent FOnTriggerStatus;
  TTriggerTimerEvent FOnTriggerTimer;
  TTriggerLineErrorEvent FOnTriggerLineError;
  TNotifyEvent FOnTriggerModemStatus;
  TNotifyEvent FOnTriggerOutbuffFree;
  TNotifyEvent FOnTriggerOutbuffUsed;
  TNotifyEvent FOnTriggerOutSent;
  TWaitCharEvent FOnWaitChar;

 private:
  static LRESULT PortWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
  void ServeTriggerMessage(UINT msg, WPARAM wParam, LPARAM lParam);
  // Whether the dispatcher's threads still run (a close from inside a handler
  // ends them later; the dispatcher may only be destroyed after).
  bool DispatcherBusy() const;
  void FinishClose();
  // Applies every stored value to the just-opened dispatcher.
  void ApplyStoredValues();
  void SetTraceLog(bool trace, TTraceLogState v);
  void SetTraceLogSize(bool trace, uint32_t v);
};

class TMroComPort : public TMroCustomComPort {
 public:
  explicit TMroComPort(TComponent* owner) : TMroCustomComPort(owner) {}
};

}  // namespace zav
