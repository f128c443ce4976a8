// The per-port dispatcher: receive and transmit rings, line control, modem and
// line status, triggers and handlers, trace and dispatch log.
//
// TMroBaseDispatcher holds everything that is the same for every device; a
// device class (the serial driver, or the in-memory device of the tests)
// supplies the device operations and the threads. Results are 0 (or a positive
// count) on success and a negative error code of QxExcept.h on failure.
//
// Threads: the reading and writing operations may be called from the GUI thread
// and from handlers on the dispatcher thread. Three re-entrant locks guard the
// state: InputLock the receive ring, OutputLock the transmit ring and the
// device status, StatusLock everything else (line settings, modem bits,
// triggers, handlers, trace and log). They are taken in that order: a path
// holding StatusLock takes neither of the others, nor do the device operations
// called under it (settings, escapes, modem status). No lock is held while a
// handler runs. The read-only views take the lock their field is written
// under; flags written without one are atomic.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "platform/Component.h"
#include "platform/Event.h"
#include "platform/Lock.h"
#include "platform/Thread.h"
#include "serial/QwRings.h"
#include "serial/ZiRode.h"

namespace zav {

constexpr uint32_t kDispatchBufferSize = 8192;  // the receive ring, whatever InSize is

// Options of InitializePort.
constexpr uint32_t ipDtrOn = 0x01;
constexpr uint32_t ipRtsOn = 0x02;
constexpr uint32_t ipDtrHandshake = 0x10;
constexpr uint32_t ipRtsHandshake = 0x20;

// Line-error bits (PendingLineErrors, DeviceReadErrors).
constexpr uint32_t leRxOverflow = 0x01;
constexpr uint32_t leOverrun = 0x02;
constexpr uint32_t leParity = 0x04;
constexpr uint32_t leFraming = 0x08;
constexpr uint32_t leBreak = 0x10;

// Line errors received since the port opened (a lost byte of the driver's
// own queue counts as an overrun).
struct TLineErrorCounts {
  uint32_t Parity = 0, Framing = 0, Overruns = 0, Breaks = 0;
  bool Any() const { return Parity || Framing || Overruns || Breaks; }
  bool operator==(const TLineErrorCounts&) const = default;
};
// "parity 1, framing 0, overruns 0, breaks 2".
std::string FormatLineErrorCounts(const TLineErrorCounts& counts);

// Modem bits: deltas in the low nibble, current states in the high nibble.
constexpr uint8_t mbDeltaCts = 0x01;
constexpr uint8_t mbDeltaDsr = 0x02;
constexpr uint8_t mbTrailingRing = 0x04;
constexpr uint8_t mbDeltaDcd = 0x08;
constexpr uint8_t mbCts = 0x10;
constexpr uint8_t mbDsr = 0x20;
constexpr uint8_t mbRi = 0x40;
constexpr uint8_t mbDcd = 0x80;

// Line functions of DeviceEscape.
constexpr int kEscSetRts = 3;
constexpr int kEscClrRts = 4;
constexpr int kEscSetDtr = 5;
constexpr int kEscClrDtr = 6;
constexpr int kEscGetBaseAddress = 10;

// Hardware and software flow options (the com port's HWFlowOptions / SWFlowOptions).
constexpr uint32_t hwfUseDTR = 0x01;
constexpr uint32_t hwfUseRTS = 0x02;
constexpr uint32_t hwfRequireDSR = 0x04;
constexpr uint32_t hwfRequireCTS = 0x08;
constexpr uint32_t swfTransmit = 0x01;
constexpr uint32_t swfReceive = 0x02;

// The device control block: line settings as the device holds them.
struct TDCB {
  uint32_t BaudRate = 0;
  uint32_t Flags = 0;
  uint16_t XonLim = 0;
  uint16_t XoffLim = 0;
  uint8_t ByteSize = 8;  // 5 .. 8
  uint8_t Parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
  uint8_t StopBits = 0;  // 0 one, 1 one and a half, 2 two
  uint8_t XonChar = 0x11;
  uint8_t XoffChar = 0x13;
  bool operator==(const TDCB&) const = default;
};

constexpr uint32_t dcbBinary = 0x0001;
constexpr uint32_t dcbParity = 0x0002;
constexpr uint32_t dcbOutxCtsFlow = 0x0004;
constexpr uint32_t dcbOutxDsrFlow = 0x0008;
constexpr uint32_t dcbDtrControlMask = 0x0030;
constexpr uint32_t dcbDtrDisable = 0x0000;
constexpr uint32_t dcbDtrEnable = 0x0010;
constexpr uint32_t dcbDtrHandshake = 0x0020;
constexpr uint32_t dcbDsrSensitivity = 0x0040;
constexpr uint32_t dcbTXContinueOnXoff = 0x0080;
constexpr uint32_t dcbOutX = 0x0100;
constexpr uint32_t dcbInX = 0x0200;
constexpr uint32_t dcbNull = 0x0800;
constexpr uint32_t dcbRtsControlMask = 0x3000;
constexpr uint32_t dcbRtsDisable = 0x0000;
constexpr uint32_t dcbRtsEnable = 0x1000;
constexpr uint32_t dcbRtsHandshake = 0x2000;
constexpr uint32_t dcbRtsToggle = 0x3000;

// Keep values of ConfigureLine: the argument leaves the device's value alone.
constexpr int32_t kKeepBaud = 0;
constexpr int kKeepParity = 5;
constexpr int kKeepDataBits = 9;
constexpr int kKeepStopBits = 3;

// Turns a stored baud value (a rate, or one of the baud codes) into a rate.
int32_t TranslateBaud(int32_t stored);

struct TDeviceStatus {
  uint32_t Flags = 0;
  uint32_t InQueue = 0;   // bytes waiting in the driver's input queue
  uint32_t OutQueue = 0;  // bytes waiting for transmission (the transmit ring)
};

// --- Triggers and handlers -------------------------------------------------

constexpr int32_t kAvailTriggerHandle = 1;

struct TTimerTrigger {
  int32_t Handle = 0;
  TEventTimer Timer;
  int32_t Interval = 0;
  int32_t Reserved = -1;
  int32_t Active = 0;  // all ones when armed
};

// Kinds of status trigger (values fixed: stored trigger sets and the low bits
// of a status trigger's handle carry them).
constexpr int32_t stModem = 1;      // a modem line changed as masked
constexpr int32_t stLineError = 2;  // a line error or break as masked
constexpr int32_t stOutFree = 3;    // the transmit ring has at least Value bytes free
constexpr int32_t stOutUsed = 4;    // the transmit ring holds at most Value bytes
constexpr int32_t stOutSent = 5;    // everything written has been handed to the device

// Dispatch-log entry kinds and sub-kinds (values fixed: the log's text dump
// names them from the string table, idLogKindNames and idLogSubKindNames).
constexpr uint8_t lkDispatch = 1, lkTrigger = 2, lkTriggerAlloc = 5, lkTriggerDispose = 6, lkHandlerAlloc = 7,
                  lkHandlerDispose = 8, lkTriggerDataChange = 9, lkTelnet = 10, lkUser = 19;
constexpr uint8_t lskReadCom = 1, lskWriteCom = 2, lskLineStatus = 3, lskModemStatus = 4, lskAvail = 5, lskTimer = 6, lskData = 7, lskStatus = 8,
                  lskTimerTrigger = 14, lskStatusTrigger = 15, lskAvailTrigger = 16, lskWindow = 17,
                  lskProcedure = 18, lskMethod = 19;

struct TStatusTrigger {
  int32_t Handle = 0;
  int32_t Kind = 0;  // stModem .. stOutSent
  uint16_t Value = 0;
  bool Enabled = false;
  bool Hit = false;
};

constexpr int kMaxDataTriggerLength = 22;

struct TDataTrigger {
  int32_t Handle = 0;
  int32_t Length = 0;  // 0 = disabled
  std::array<int32_t, kMaxDataTriggerLength> MatchStates{};
  int32_t Matched = 0;
  int32_t IgnoreCase = 0;
  std::array<char, 24> MatchString{};
};

struct TSavedTriggers {
  uint32_t AvailThreshold = 0;
  std::vector<TTimerTrigger> Timers;
  std::vector<TDataTrigger> Datas;
  std::vector<TStatusTrigger> Statuses;
};

using TTriggerProc = void (*)(UINT msg, WPARAM first, LPARAM second);
// An object method: the object is identified by `Object` (compared on removal),
// the call goes through `Call`.
struct TTriggerMethod {
  const void* Object = nullptr;
  std::function<void(UINT, WPARAM, LPARAM)> Call;
};

struct TWindowHandler {
  HWND Window = 0;
  bool Deleted = false;
};
struct TProcHandler {
  TTriggerProc Proc = nullptr;
  bool Deleted = false;
};
struct TMethodHandler {
  TTriggerMethod Method;
  bool Deleted = false;
};

// --- The dispatcher ----------------------------------------------------------

class TMroBaseDispatcher {
 public:
  explicit TMroBaseDispatcher(TComponent* owner);
  virtual ~TMroBaseDispatcher();
  TMroBaseDispatcher(const TMroBaseDispatcher&) = delete;
  TMroBaseDispatcher& operator=(const TMroBaseDispatcher&) = delete;

  // The process-wide registry: a dispatcher's index there is its handle.
  static TCriticalSection& RegistryLock();
  // Caller holds RegistryLock(). Null for a free or out-of-range handle.
  static TMroBaseDispatcher* LookupDispatcher(int32_t handle);
  static int32_t RegistryCount();

  TComponent* Owner() const { return Owner_; }
  int32_t Handle() const { return DispatcherHandle; }

  // The device hung up or went away while open (an adapter pulled, a network
  // connection dropped): writes are dropped from then on, and the port can
  // only be closed and opened again.
  virtual bool DeviceGone() const { return false; }
  // A sentence for the user about the last failed open ("in use by another
  // program", "connection refused ..."); empty when the device said nothing.
  virtual std::string LastOpenErrorText() const { return {}; }

  // Life cycle.
  int32_t InitializePort(const std::string& deviceName, int32_t baud, int parity, int dataBits, int stopBits,
                         uint32_t inSize, uint32_t outSize, uint32_t options);
  void ShutdownPort();

  // Writing.
  int32_t WriteBlock(const void* data, uint32_t count);
  int32_t WriteByte(uint8_t b);
  void AddLogText(const std::string& text);

  // Reading.
  bool InputReady();
  int32_t PeekByte(uint32_t n, uint8_t& out);
  int32_t ReadByte(uint8_t& out);
  int32_t ReadBlock(void* buffer, uint32_t count);
  int32_t PeekBlock(void* buffer, uint32_t count);
  uint32_t InputUsed();
  uint32_t InputFree();
  int32_t PurgeInput();
  void QueueSizes(uint32_t& inSize, uint32_t& outSize) const;
  int32_t ResizeDriverQueues(uint32_t inSize, uint32_t outSize);

  // Output state.
  uint32_t OutputUsed();
  // Bytes written that have not left for the line: the transmit ring and the
  // operating system's own output queue.
  uint32_t OutputInFlight();
  uint32_t OutputFree();
  int32_t PurgeOutput();

  // Data slots 1..3 and option bits.
  int32_t SetDataSlot(int slot, void* ref);
  int32_t GetDataSlot(int slot, void*& ref);
  void SetOptionBits(uint32_t bits);
  void ClearOptionBits(uint32_t bits);
  uint32_t GetOptionBits();

  // Run by the dispatcher thread once every pass: reads what the device has into
  // the receive ring. Returns whether the ring could take data.
  bool FillInputBuffer();
  // Bytes the last FillInputBuffer read (dispatcher thread).
  uint32_t LastFillCount() const { return LastFillCount_; }
  // A fill smaller than this is a trickle, not a stream worth reading on for.
  static constexpr uint32_t kTrickleFill = 256;
  // Whether the receive ring takes data now. With receive flow control on
  // (XOFF or an RTS/DTR handshake) the ring stops at the flow thresholds
  // (full = InSize - XoffLim, resume = XonLim) so that data backs up into the
  // driver, whose own flow control then acts.
  bool RingAcceptsData() { return FlowBudget() > 0; }

  // Line settings.
  int32_t ConfigureLine(int32_t baud, int parity, int dataBits, int stopBits);
  void WaitOutputDrained();
  int32_t ApplyLineSettings(TDCB& dcb);
  int32_t QueryLine(int32_t& baud, int& parity, int& dataBits, int& stopBits);

  // Modem control lines and break.
  int32_t SetDtr(bool on);
  int32_t SetRts(bool on);
  void SendBreakFor(int32_t ticks, bool yield);
  // Holds the line in break until told otherwise, without waiting: for a
  // caller that times the break itself.
  void SetBreak(bool on) { DeviceSetBreak(on); }

  // Modem and line status.
  uint8_t ReadModemBits(uint8_t keepMask);
  void RefreshModemBits();
  bool CarrierPresent();
  void RefreshLineErrors();
  int32_t TakeLineError();
  bool TakeLineBreak();

  // Flow control.
  int32_t SetHardwareFlow(uint32_t full, uint32_t resume, uint32_t options);
  int32_t SetSoftwareFlow(uint32_t full, uint32_t resume, uint32_t options);
  int32_t ClearSoftwareFlow();
  int32_t SetFlowChars(uint8_t xon, uint8_t xoff);
  int32_t QueryFlow(uint32_t& hardware, uint32_t& software, uint8_t& xon, uint8_t& xoff);

  // RS-485 and thread priorities.
  int32_t SetRs485(bool on);
  virtual void SetPriorityBase(uint8_t value);

  // Trace (recording; the dump to a file is WriteTrace).
  int32_t StartTrace(uint32_t size);
  void AddTraceEntry(uint8_t kind, uint8_t byte);
  void PauseTrace();
  void ResumeTrace();
  void ClearTrace();
  void EndTrace();

  // Dispatch log (recording; the dump to a file is WriteLog).
  int32_t StartLog(uint32_t size);
  void AddLogEntry(uint8_t kind, uint8_t subKind, uint32_t value, const void* data, uint32_t length);
  void PauseLog();
  void ResumeLog();
  void ClearLog();
  void EndLog();

  // Triggers. Handles: 1 is the availability trigger; the others are
  // multiples of 8 (a status trigger's handle carries its kind in the low bits).
  int32_t SetAvailLength(uint32_t n);
  int32_t CreateTimerTrigger();
  int32_t CreateStatusTrigger(int kind);
  // A string of 1 to 22 characters; -5002 beyond, -1002 when empty.
  int32_t CreateDataTrigger(const std::string& match, bool ignoreCase);
  int32_t ArmTimerTrigger(int32_t handle, int32_t ticks, bool activate);
  int32_t ArmStatusTrigger(int32_t handle, uint16_t value, bool activate);
  int32_t TimerTicksLeft(int32_t handle, int32_t& ticks);
  int32_t DeleteTrigger(int32_t handle);
  // 2 timer, 4 status, 3 data, or -5003.
  int32_t FindTrigger(int32_t handle, bool remove);
  void ResetTriggers();
  void ResetDataMatches();
  void SaveTriggers(TSavedTriggers& saved);
  void RestoreTriggers(const TSavedTriggers& saved);
  static void FreeSavedTriggers(TSavedTriggers& saved);
  void ClearStatusHits();
  // Whether the full string has just been completed by byte c.
  static bool MatchDataByte(std::array<int32_t, kMaxDataTriggerLength>& states, uint8_t c, int32_t length,
                            bool ignoreCase, const char* string);

  // Handlers: called on the dispatcher thread with no dispatcher lock held;
  // windows through a blocking send limited to 3000 ms.
  void RegisterWindowHandler(HWND window);
  void RegisterProcHandler(TTriggerProc proc);
  void RegisterMethodHandler(TTriggerMethod method);
  void UnregisterWindowHandler(HWND window);
  void UnregisterProcHandler(TTriggerProc proc);
  void UnregisterMethodHandler(const void* object);
  // 0 recompute, 1 the port's window wants calls, 2 it does not.
  virtual void RefreshHandlerService(int kind);

  // Event distribution (the dispatcher thread's passes).
  bool NotifyHandlers(UINT message, uint32_t first, uint16_t data);
  bool CheckStatusTriggers();
  // Whether an armed status trigger watches the output (free, used, sent):
  // the sending side then asks for a pass as soon as it has written.
  bool OutputLevelWatched();
  bool CheckTimerTriggers();
  // Milliseconds until the first armed timer trigger can fire (`limit` when
  // none fires sooner): the dispatcher thread waits no longer than that.
  uint32_t MsUntilNextTimer(uint32_t limit);
  // How long the dispatcher thread may wait for a device event: up to
  // `period` while something needs looking at on a period (an armed timer, a
  // watched output level, unread bytes that may trigger again), else until the
  // next timer or for good, so that an idle port wakes nobody.
  uint32_t NextPassWaitMs(uint32_t period);
  void WakeForNewWait();
  // Tells the window handlers, once per open, that the device went away.
  void PostDeviceGone();
  bool CheckDataTriggers();
  // One pass after a device event (or the 50 ms time-out) with the events in
  // `mask`; a completed pass sets PassDone unless `extra` (a pass the device
  // class adds on its own while data streams in). Returns false when it ended
  // early because the port is closing.
  bool DeviceEventPass(uint32_t mask, bool extra = false);
  void StatusAndTimerPass();

  // Dumps to text files (CR LF line ends). Both end the recording (the log only
  // once its file has been opened). 0 or minus an I/O error number.
  int32_t WriteTrace(const std::string& fileName, bool append, bool hex, bool allHex);
  int32_t WriteLog(const std::string& fileName, bool append, bool hex, bool allHex);

  // An availability or data-match notification: BeginAvailNotification before
  // the handlers, BeginHandlerCall/EndHandlerCall around each one, then
  // EndAvailNotification, which moves the tail as far as the most eager handler
  // read. Returns false for an availability notification whose announced count
  // was not taken.
  void BeginAvailNotification();
  void BeginHandlerCall();
  void EndHandlerCall();
  bool EndAvailNotification(bool isAvail, uint32_t announced);

  // Read-only views for the component and the tests; each takes the lock its
  // field is written under, so any thread may call them.
  bool Tracing() const;
  bool Logging() const;
  uint32_t PendingLineErrors() const { return PendingLineErrors_.load(); }
  TLineErrorCounts LineErrorCounts() const;
  uint8_t ModemBits() const;
  int32_t CurrentBaud() const;
  TDCB LineSettings() const;
  bool DtrAsserted() const { return DtrAsserted_; }
  bool RtsAsserted() const { return RtsAsserted_; }
  bool DtrHandshake() const { return DtrHandshake_; }
  bool RtsHandshake() const { return RtsHandshake_; }
  bool Rs485() const;
  uint16_t UartBase() const;
  uint8_t PriorityBase() const { return PriorityBase_; }
  uint32_t AvailThreshold() const;
  bool InAvailDispatch() const;
  bool InDispatchNow() const;
  bool HandlersPresentNow() const;
  bool PortHandlerWantedNow() const;
  bool InputFull() const;
  uint32_t InHead() const;
  uint32_t InTail() const;
  bool OutFull() const;
  int32_t DeviceHandle() const { return DeviceHandle_; }
  bool HasBuffers() const;
  // Whether the device threads still run (a close from inside a handler ends
  // them later, on the dispatcher thread).
  bool HasRunningThreads() const { return ThreadsRunning.load(); }
  int ThreadPriority(int which) const;  // 0 communications, 1 dispatcher, 2 output

 protected:
  // --- Device operations, supplied by the device class ---
  virtual int32_t DeviceEscape(int function) = 0;
  // input: discard the driver's received data; else stop and discard pending
  // output including the transmit ring. 0 or -(system error). While
  // ShuttingDown is set (the purge of ShutdownPort), output the driver has
  // already taken is left to the device's close: it was written, and on a
  // line where a write completes before the bytes leave, they would be lost.
  virtual int32_t DevicePurge(bool input) = 0;
  std::atomic<bool> ShuttingDown{false};
  // Fetches and clears the device's error bits, fills `status`. Called with
  // OutputLock held (DeviceStatus is shared by the reading and writing sides).
  virtual uint32_t DeviceReadErrors(TDeviceStatus& status) = 0;
  virtual int32_t DeviceErrorHook(int32_t code) = 0;
  virtual int32_t DeviceGetSettings(TDCB& dcb) = 0;
  // Reads up to `count` bytes already there; never waits.
  virtual int32_t DeviceRead(uint8_t* buffer, uint32_t count) = 0;
  virtual int32_t DeviceSetSettings(const TDCB& dcb) = 0;
  // Appends to the transmit ring and wakes whoever sends it; returns count.
  virtual int32_t DeviceWrite(const uint8_t* data, uint32_t count) = 0;
  virtual bool DeviceSetupQueues(uint32_t inSize, uint32_t outSize) = 0;
  virtual void ReleaseResources();
  virtual void StartThreads() = 0;
  virtual void StopThreads() = 0;
  // A handle (not negative), -1 with GetLastError() set, or -8.
  virtual int32_t DeviceOpen(const std::string& name, uint32_t inSize, uint32_t outSize) = 0;
  virtual int32_t DeviceClose() = 0;
  virtual int32_t DeviceYield() = 0;
  // Break and modem status: the platform calls of the line operations.
  virtual void DeviceSetBreak(bool on) = 0;
  virtual uint8_t DeviceModemStatus() = 0;  // CTS 0x10, DSR 0x20, RI 0x40, DCD 0x80
  // Whether the driver switches RTS for RS-485 by itself.
  virtual bool DeviceTogglesRts() const { return true; }
  // Bytes the operating system still holds for the line (TIOCOUTQ); 0 where
  // there is no such queue.
  virtual uint32_t DeviceOutputQueued() { return 0; }

 public:
  // Whether the open device has modem lines to set and read (a
  // pseudo-terminal has none).
  virtual bool DeviceHasModemLines() const { return true; }

 protected:

  // --- Helpers for device classes ---
  // The first step of destruction: release if a close is pending, else shut the
  // port down. Device classes call it from their destructor, while their device
  // operations still exist.
  void CloseOnDestroy();
  // The transmit ring's bytes waiting (caller holds OutputLock).
  uint32_t OutputWaitingLocked() const;
  // The same without the lock, for device operations called under StatusLock.
  uint32_t OutputWaitingNow() const { return OutWaiting_.load(); }
  // Copies into the transmit ring at the head, as DeviceWrite needs; takes
  // OutputLock (WriteBlock already holds it and has checked the space).
  void AppendToTransmitRing(const uint8_t* data, uint32_t count);
  // The sending side, one run at a time, for the output thread and the
  // in-memory device alike: hands the run of bytes at the tail of the transmit
  // ring to `send` with OutputLock released (writers only append to free
  // space) and consumes what `send` reports as gone: a count, or the whole run
  // for a negative result (failed for good: the writer has long returned).
  // A purge meanwhile wins: nothing is consumed then. Returns the bytes
  // consumed; 0 when nothing waits or `send` took nothing.
  using TRunSender = std::function<int64_t(std::span<const uint8_t> run)>;
  uint32_t SendTransmitRun(const TRunSender& send);
  // Nothing waits in the transmit ring and no run of it is being sent (caller
  // holds OutputLock): bytes written now may go to the driver directly and
  // still keep their order.
  bool TransmitIdleLocked() const { return OutRing.Waiting() == 0 && !OutRunTaken_; }
  // Takes up to `max` bytes from the tail of the transmit ring into `out`
  // (SendTransmitRun with a copy as the sending).
  uint32_t TakeFromTransmitRing(uint8_t* out, uint32_t max);
  // Empties the transmit ring (takes OutputLock).
  void ClearTransmitRing();

  // The device tells of `n` line errors of each kind in `bits` (le* bits) as
  // it sees them; the counts start at 0 when the port opens.
  void CountLineErrors(uint32_t bits, uint32_t n = 1);

  // --- State ---
  TComponent* Owner_;
  int32_t DispatcherHandle = -1;
  std::atomic<int32_t> DeviceHandle_{-1};  // read by a releasing dispatcher thread
  // Written by the dispatcher thread, writers and takers alike: atomic.
  std::atomic<uint32_t> PendingLineErrors_{0};
  std::atomic<uint32_t> ParityErrors_{0}, FramingErrors_{0}, Overruns_{0}, BreaksSeen_{0};
  uint32_t DriverInSize = 0;
  uint32_t OutBufferSize = 0;
  uint32_t ModemBits_ = 0;  // StatusLock
  TDeviceStatus DeviceStatus;
  TDCB LineSettings_;
  int32_t CurrentBaud_ = 115200;
  uint32_t OptionBits = 0;
  // Set by SetDtr and SetRts on any thread, also outside StatusLock.
  std::atomic<bool> DtrAsserted_{false}, DtrHandshake_{false}, RtsAsserted_{false}, RtsHandshake_{false};
  bool Rs485_ = false;
  uint16_t UartBase_ = 0;
  bool PortHandlerWanted = false, HandlersPresent = false;

  std::vector<TWindowHandler> WindowHandlers;
  std::vector<TProcHandler> ProcHandlers;
  std::vector<TMethodHandler> MethodHandlers;
  std::vector<TTimerTrigger> TimerTriggers;
  std::vector<TDataTrigger> DataTriggers;
  std::vector<TStatusTrigger> StatusTriggers;

  uint32_t ScanPosition = 0;
  uint32_t AvailThreshold_ = 0;
  bool StatusHitPending = false;
  bool InAvailDispatch_ = false;
  uint32_t HandlerReadCount = 0;
  uint32_t MaxHandlerRead = 0;
  bool InputFull_ = false;
  uint32_t LastAvailPosition = 0;
  // Bytes put into the receive ring since the port opened, and their count at
  // the last availability announcement for the head: a ring index alone cannot
  // tell a head that has not moved from one that went once round the ring.
  uint64_t BytesArrived = 0;
  uint64_t LastAvailArrived = 0;
  uint32_t LastFillCount_ = 0;
  bool FlowHeld = false;  // the ring passed the full threshold and has not drained to resume
  std::atomic<bool> StopRequested{false};

  // Communications, dispatcher and output threads.
  TOwnedThread ComThread, DispThread, OutThread;
  std::atomic<uint8_t> PriorityBase_{0};

  mutable TCriticalSection StatusLock, OutputLock, InputLock;

  // The six events of the device threads; created by InitializePort.
  std::unique_ptr<TEvent> DeviceEventReady, PassDone, ThreadAck, OutputReady, WriteDone, OutputAbort;
  // A trigger was armed from another thread: the dispatcher thread works out
  // its wait again (no pass: an armed trigger is served on its own schedule).
  std::unique_ptr<TEvent> TriggersChanged;

  std::atomic<uint32_t> DeviceEventMask{0};
  std::atomic<bool> RingSeen{false};
  std::atomic<bool> GoneReported_{false};  // MsgDeviceGone posted for this open

  TTransmitRing OutRing;  // OutputLock
  std::atomic<uint32_t> OutWaiting_{0};  // OutRing.Waiting() after each change
  bool OutRunTaken_ = false;  // OutputLock: SendTransmitRun holds a run between its locks
  std::vector<uint8_t> InBuffer_;
  uint32_t InHead_ = 0, InTail_ = 0;

  bool InDispatch = false, HandlersDeleted = false;
  std::atomic<bool> OutputSentPending{false};  // set under OutputLock, taken under StatusLock
  // Set by a close from any thread, read by the dispatcher thread's loop.
  std::atomic<bool> Closing{false};

  // Trace: entries of (kind, byte).
  bool Tracing_ = false;
  std::vector<uint8_t> TraceBuffer;
  int32_t TracePosition = 0;
  uint32_t TraceSize = 0;
  bool TraceWrapped = false;

  // Dispatch log: a circular byte buffer of entries (16-byte header + data).
  bool Logging_ = false;
  std::vector<uint8_t> LogBuffer;
  uint32_t LogHead = 0, LogTail = 0, LogFree = 0, LogSize = 0;
  std::vector<uint8_t> LogScratch;
  uint32_t LogStartTime = 0;

  int32_t NextHandleCounter = 1;
  // The device classes' threads, the parts they share: the dispatcher
  // thread's whole body (its liveness in `alive`), the end of any of the three,
  // and waiting for one to end while serving the caller's messages (joining
  // under `joinMutex` unless the caller is the dispatcher thread itself).
  void DispatcherThreadBody(std::atomic<bool>& alive);
  void ThreadExit(std::atomic<bool>& alive, bool dispatcher);
  void AwaitThreadEnd(std::atomic<bool>& alive, TOwnedThread& thread, std::mutex& joinMutex);
  // Whether bytes arrive within `ms` (the dispatcher thread reading on while
  // data streams in).
  virtual bool DataWithin(int) { return false; }
  // The dispatcher thread's wait: 0 for a device event (or new bytes), 1 when
  // the triggers changed, -1 after `ms`. Not virtual: it runs while a device
  // class's destructor may already be under way.
  int WaitForWork(uint32_t ms);
  // A device class that can watch its descriptor from the dispatcher thread
  // too (an epoll set holding it and the eventfd `DispatchWakeFd`) sets these
  // before the threads start: new bytes then wake that thread directly, with
  // no hand-over from the communications thread.
  int DispatchWatchFd = -1, DispatchWakeFd = -1;
  // A pass left the receive ring without room (or held by flow control): a
  // communications thread that waits only for new bytes must look again.
  virtual void ReceiveStalled() {}
  std::atomic<bool> ThreadsRunning{false};
  bool ReleaseOnThreadExit = false;
  TInterlockedCounter RunningThreads{0};
  std::array<void*, 3> DataSlots{};

 private:
  uint32_t InputUsedLocked() const;
  // Bytes the ring may take now: 0 while full or held by flow control.
  uint32_t FlowBudget();
  int32_t CopyUnread(void* buffer, uint32_t count, uint32_t skip);
  void TraceBytes(uint8_t kind, const uint8_t* data, uint32_t count);
  void LogWriteBytes(const uint8_t* data, uint32_t n);
  void LogReadBytes(uint8_t* out, uint32_t n);
  bool LogDropOldest();
  void CreateEvents();
  int32_t NewTriggerHandle();
  bool RepeatStatusChecks();
  uint32_t UnreadUpTo(uint32_t p);
  // After every change of OutRing (OutputLock held).
  void TransmitRingChanged() { OutWaiting_ = OutRing.Waiting(); }
  void ApplyPriorities();
};

}  // namespace zav
