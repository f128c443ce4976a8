// The protocol component: every protocol setting as a property, the switch
// between protocols, the start and cancel of a transfer, and the engine's
// reports turned into events on the thread that created the component.
// Beside it: the history log (TMroProtocolLog) and the base of a status
// window (TMroAbstractStatus).
//
// Threads: properties, BeginTransmit and AbortProtocol belong to the thread
// that created the component. The engine runs on the dispatcher thread and
// reaches the component only through its hidden "qwMsgHandler" window, so
// every event runs on the component's thread.
#pragma once

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <string>

#include "protocols/core/QwAbsPcl.h"
#include "protocols/ascii/QwAscii.h"
#include "serial/QxPort.h"

namespace zav {

enum TZmodemFileOptions : uint8_t {
  zfoNoOption, zfoWriteNewerLonger, zfoWriteCrc, zfoWriteAppend, zfoWriteClobber, zfoWriteNewer,
  zfoWriteDifferent, zfoWriteProtect
};
enum class TDeleteFailed { dfNever, dfAlways, dfNonRecoverable };
enum class TPosition { poDesigned, poDefault, poDefaultPosOnly, poDefaultSizeOnly, poScreenCenter };

constexpr size_t kMaxPassString = 255;

class TMroCustomProtocol;
class TMroAbstractStatus;
class TMroProtocolLog;

using TProtocolAcceptEvent = std::function<void(TMroCustomProtocol* CP, bool& Accept, std::string& FName)>;
using TProtocolErrorEvent = std::function<void(TMroCustomProtocol* CP, int32_t ErrorCode)>;
using TProtocolFinishEvent = TProtocolErrorEvent;
using TProtocolLogEvent = std::function<void(TMroCustomProtocol* CP, uint16_t Log)>;
using TProtocolNextFileEvent = std::function<void(TMroCustomProtocol* CP, std::string& FName)>;
using TProtocolResumeEvent = std::function<void(TMroCustomProtocol* CP, TWriteFailAction& Resume)>;
using TProtocolStatusEvent = std::function<void(TMroCustomProtocol* CP, uint16_t Options)>;

// The protocol names of the history file, by TProtocolType ("None" beyond).
const char* ProtocolName(int type);

class TMroCustomProtocol : public TMroBaseComponent {
 public:
  explicit TMroCustomProtocol(TComponent* owner);
  ~TMroCustomProtocol() override;

  // Copies another protocol component (anything else is ignored).
  virtual void Assign(const TComponent* source);

  // --- Operations ---
  void BeginTransmit();
  // Starts a receive: into FileName for the protocols that carry no name
  // (ASCII, Xmodem), else into DestinationDirectory under the names the
  // sender gives. Failures arrive as events, as for BeginTransmit.
  void BeginReceive();
  void AbortProtocol();

  // --- Properties ---
  TMroCustomComPort* ComPort() const { return FComPort; }
  void SetComPort(TMroCustomComPort* port);
  TProtocolType ProtocolType() const { return FProtocolType; }
  void SetProtocolType(TProtocolType type);
  std::string DestinationDirectory() const;
  void SetDestinationDirectory(const std::string& dir);
  std::string FileMask() const;
  void SetFileMask(const std::string& mask);
  TBlockCheckMethod BlockCheckMethod() const;
  void SetBlockCheckMethod(TBlockCheckMethod method);
  uint32_t HandshakeRetry() const;
  void SetHandshakeRetry(uint32_t v);
  int32_t HandshakeWait() const;
  void SetHandshakeWait(int32_t v);
  int32_t TransmitTimeout() const;
  void SetTransmitTimeout(int32_t v);
  int32_t FinishWait() const;
  void SetFinishWait(int32_t v);
  uint32_t TurnDelay() const;
  void SetTurnDelay(uint32_t v);
  uint32_t Overhead() const;
  void SetOverhead(uint32_t v);
  TWriteFailAction WriteFailAction() const;
  void SetWriteFailAction(TWriteFailAction v);
  bool HonorDirectory() const { return Option(tfHonorDirectory); }
  void SetHonorDirectory(bool v) { SetOption(tfHonorDirectory, v); }
  bool IncludeDirectory() const { return Option(tfIncludeDirectory); }
  void SetIncludeDirectory(bool v) { SetOption(tfIncludeDirectory, v); }
  bool RTSLowForWrite() const { return Option(tfRTSLowForWrite); }
  void SetRTSLowForWrite(bool v) { SetOption(tfRTSLowForWrite, v); }
  bool AbortNoCarrier() const { return Option(tfAbortNoCarrier); }
  void SetAbortNoCarrier(bool v) { SetOption(tfAbortNoCarrier, v); }
  bool BP2KTransmit() const { return Option(tfBP2KTransmit); }
  void SetBP2KTransmit(bool v) { SetOption(tfBP2KTransmit, v); }
  bool AsciiSuppressCtrlZ() const { return Option(tfAsciiSuppressCtrlZ); }
  void SetAsciiSuppressCtrlZ(bool v) { SetOption(tfAsciiSuppressCtrlZ, v); }
  TMroAbstractStatus* StatusDisplay() const { return FStatusDisplay; }
  void SetStatusDisplay(TMroAbstractStatus* display);
  TMroProtocolLog* ProtocolLog() const { return FProtocolLog; }
  void SetProtocolLog(TMroProtocolLog* log);
  int32_t StatusInterval() const;
  void SetStatusInterval(int32_t v);
  std::string FileName() const;
  void SetFileName(const std::string& name);
  bool UpcaseFileNames() const;
  void SetUpcaseFileNames(bool v);

  // Kept settings of one protocol each.
  int32_t XYmodemBlockWait() const;
  void SetXYmodemBlockWait(int32_t v);
  bool ZmodemOptionOverride() const;
  void SetZmodemOptionOverride(bool v);
  bool ZmodemSkipNoFile() const;
  void SetZmodemSkipNoFile(bool v);
  bool ZmodemRecover() const;
  void SetZmodemRecover(bool v);
  bool Zmodem8K() const;
  void SetZmodem8K(bool v);
  TZmodemFileOptions ZmodemFileOption() const;
  void SetZmodemFileOption(TZmodemFileOptions v);
  int32_t ZmodemFinishRetry() const;
  void SetZmodemFinishRetry(int32_t v);
  int32_t KermitMaxLen() const;
  void SetKermitMaxLen(int32_t v);
  int32_t KermitMaxWindows() const;
  void SetKermitMaxWindows(int32_t v);
  int32_t KermitSWCTurnDelay() const;
  void SetKermitSWCTurnDelay(int32_t v);
  int32_t KermitTimeoutSecs() const;
  void SetKermitTimeoutSecs(int32_t v);
  // Received names as sent (otherwise an all-upper-case name is stored in lower case).
  bool KermitLiteralNames() const;
  void SetKermitLiteralNames(bool v);
  char KermitPadCharacter() const;
  void SetKermitPadCharacter(char v);
  int32_t KermitPadCount() const;
  void SetKermitPadCount(int32_t v);
  char KermitTerminator() const;
  void SetKermitTerminator(char v);
  char KermitCtlPrefix() const;
  void SetKermitCtlPrefix(char v);
  char KermitHighbitPrefix() const;
  void SetKermitHighbitPrefix(char v);
  char KermitRepeatPrefix() const;
  void SetKermitRepeatPrefix(char v);
  uint32_t AsciiCharDelay() const;
  void SetAsciiCharDelay(uint32_t v);
  uint32_t AsciiLineDelay() const;
  void SetAsciiLineDelay(uint32_t v);
  char AsciiEOLChar() const;
  void SetAsciiEOLChar(char v);
  TAsciiEOLTranslation AsciiCRTranslation() const;
  void SetAsciiCRTranslation(TAsciiEOLTranslation v);
  TAsciiEOLTranslation AsciiLFTranslation() const;
  void SetAsciiLFTranslation(TAsciiEOLTranslation v);
  int32_t AsciiEOFTimeout() const;
  void SetAsciiEOFTimeout(int32_t v);

  // Events.
  TProtocolAcceptEvent OnProtocolAccept;
  TProtocolErrorEvent OnProtocolError;
  TProtocolFinishEvent OnProtocolFinish;
  TProtocolLogEvent OnProtocolLog;
  TProtocolNextFileEvent OnProtocolNextFile;
  TProtocolResumeEvent OnProtocolResume;
  TProtocolStatusEvent OnProtocolStatus;

  // Read-only values for status displays and logs.
  int32_t ProtocolStatus() const { return FRecord->ProtocolStatus; }
  int32_t ProtocolError() const { return FRecord->ProtocolError; }
  uint64_t SrcFileLen() const { return FRecord->SrcFileLen; }
  int32_t ElapsedTicks() const { return FRecord->ElapsedTicks; }
  // A transmit's count leaves out what has not left for the line yet.
  int64_t BytesTransferred() const {
    return FRecord->BytesTransferred - std::min(FRecord->BytesInFlight, std::max<int64_t>(FRecord->BytesTransferred, 0));
  }
  int64_t BytesRemaining() const { return FRecord->BytesRemaining + FRecord->BytesTransferred - BytesTransferred(); }
  uint32_t ActualCPS() const { return FRecord->ActualCPS; }
  int32_t InProgress() const { return FRecord->InProgress; }
  std::string StatusMsg(int32_t code) const;

  HWND MessageWindow() const { return FMessageWindow; }
  TransferRecord& Record() { return *FRecord; }

  // The report handlers, called by the message window.
  virtual void HandleAccept(bool& accept, std::string& name);
  virtual void HandleError(int32_t code);
  virtual void HandleFinish(int32_t code);
  virtual void HandleLog(uint16_t code);
  virtual void HandleNextFile(std::string& name);
  virtual void HandleResume(TWriteFailAction& action);
  virtual void HandleStatus(uint16_t options);

 protected:
  void Notification(TComponent* component, TOperation operation) override;
  void PortNotifyCallback(TMroCustomComPort* CP, bool Opening);

 private:
  static LRESULT WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
  LRESULT Dispatch(UINT msg, WPARAM wParam, LPARAM lParam);
  bool Option(uint32_t bit) const { return (FRecord->TransferOptions & bit) != 0; }
  void SetOption(uint32_t bit, bool on);
  // Stores a kept setting and forwards it when the record holds its protocol.
  template <class T>
  void SetKept(T TProtocolSettings::*field, T value, TSettingsGroup group);
  template <class T>
  T GetKept(T TProtocolSettings::*field, TSettingsGroup group) const;
  void SwitchProtocol(TProtocolType type);
  void Begin(bool transmit);

  bool FNeedBaud = true;
  TTriggerHandler FHandler = nullptr;
  bool FForce = false;
  HWND FMessageWindow = 0;
  TMroCustomComPort* FComPort = nullptr;
  TProtocolType FProtocolType = ptNoProtocol;
  TMroAbstractStatus* FStatusDisplay = nullptr;
  TMroProtocolLog* FProtocolLog = nullptr;
  mutable TProtocolSettings FKept;
  std::unique_ptr<TransferRecord> FRecord;
};

class TMroProtocol : public TMroCustomProtocol {
 public:
  explicit TMroProtocol(TComponent* owner) : TMroCustomProtocol(owner) {}
};

// The history log: one entry per log report, appended to HistoryName.
// A history entry's date and time: the short date and the long time of the
// locale named for LC_TIME ("": the user's, from the environment), the year
// always with four digits.
std::string HistoryDateTime(const std::tm& when, const char* localeName);

// A component that serves one protocol component (its log or its status
// window) and forgets it when it goes.
class TMroProtocolServant : public TMroBaseComponent {
 public:
  using TMroBaseComponent::TMroBaseComponent;
  TMroCustomProtocol* Protocol() const { return FProtocol; }
  void SetProtocol(TMroCustomProtocol* protocol);

 protected:
  void Notification(TComponent* component, TOperation operation) override;
  TMroCustomProtocol* FProtocol = nullptr;
};

class TMroProtocolLog : public TMroProtocolServant {
 public:
  explicit TMroProtocolLog(TComponent* owner);
  ~TMroProtocolLog() override;

  TDeleteFailed DeleteFailed = TDeleteFailed::dfNonRecoverable;
  std::string HistoryName = "MERO.HIS";

  // Appends the entry of a log code; I/O failures raise EInOutError.
  virtual void WriteLogEntry(uint16_t code);

  // The date and time text of an entry (tests fix it). Default: the local
  // time by HistoryDateTime in the user's locale.
  static std::function<std::string()> DateTimeText;
};

// The base of a status window. A descendant creates its display in
// BuildDisplay and must call InitDisplay at the end of its constructor and
// ReleaseDisplay in its destructor (a base cannot reach the descendant's
// overrides while it is being built or destroyed).
class TMroAbstractStatus : public TMroProtocolServant {
 public:
  explicit TMroAbstractStatus(TComponent* owner);
  ~TMroAbstractStatus() override;

  TPosition Position() const { return FPosition; }
  void SetPosition(TPosition v);
  bool Ctl3D() const { return FCtl3D; }
  void SetCtl3D(bool v);
  bool Visible() const { return FVisible; }
  void SetVisible(bool v);
  const std::string& Caption() const { return FCaption; }
  void SetCaption(const std::string& v);

  // Called at every status report.
  virtual void RefreshDisplay(bool first, bool last) = 0;

 protected:
  void InitDisplay();
  virtual void BuildDisplay() = 0;
  virtual void ReleaseDisplay() = 0;
  virtual bool HasDisplay() const = 0;
  virtual void ApplyPosition(TPosition v) = 0;
  virtual void ApplyCtl3D(bool v) = 0;
  virtual void ApplyVisible(bool v) = 0;
  virtual void ApplyCaption(const std::string& v) = 0;
  // The display's own values, read once it is built.
  virtual TPosition DisplayPosition() const = 0;
  virtual bool DisplayCtl3D() const = 0;
  virtual bool DisplayVisible() const = 0;
  virtual std::string DisplayCaption() const = 0;

 private:
  TPosition FPosition = TPosition::poDesigned;
  bool FCtl3D = true;
  bool FVisible = false;
  std::string FCaption;
};

}  // namespace zav
