// The com port component: construction, properties, open and close, the port
// window, trace and log state machines.
#include "serial/QxPort.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <thread>

#include "serial/PortMap.h"
#include "serial/QwNet.h"
#include "serial/QwWin32.h"
#include "serial/QxExcept.h"

namespace zav {

std::string LineSettingsText(int32_t baud, int dataBits, TParity parity, int stopBits) {
  static const char kParity[] = {'N', 'O', 'E', 'M', 'S'};
  const size_t p = size_t(parity);
  return std::to_string(baud) + " " + std::to_string(dataBits) + (p < sizeof kParity ? kParity[p] : '?') +
         std::to_string(stopBits);
}
namespace {

using enum TTraceLogState;

std::mutex& HookLock() {
  static std::mutex m;
  return m;
}
TPortPrompt& PortPrompt() {
  static TPortPrompt p;
  return p;
}

// Rounds half to even, as the thresholds have always been computed.
uint16_t Scaled(uint32_t size, double factor) { return uint16_t(std::nearbyint(double(size) * factor)); }

// How long a destroyed component waits for a deferred close before it tears
// the dispatcher down itself (the dispatcher's own destructor joins its threads).
constexpr auto kDestroyCloseWait = std::chrono::seconds(5);

}  // namespace

void RegisterPortPrompt(TPortPrompt prompt) {
  std::lock_guard g(HookLock());
  PortPrompt() = std::move(prompt);
}

// --- Life cycle ------------------------------------------------------------------

TMroCustomComPort::TMroCustomComPort(TComponent* owner) : TMroBaseComponent(owner) {}

TMroCustomComPort::~TMroCustomComPort() {
  AnnounceRemoval();
  ReopenPending = false;
  if (IsOpen()) {
    try {
      ClosePort();
    } catch (const std::exception& e) {
      ReportUnhandledError(e);
    }
  }
  // A close deferred for the dispatcher's threads completes through the port
  // window; serve the queue until it has, so nothing outlives the component.
  auto deadline = std::chrono::steady_clock::now() + kDestroyCloseWait;
  while (Closing() && std::chrono::steady_clock::now() < deadline) {
    if (PumpOneMessage() == PumpResult::Empty)
      WaitForThreadMessage(std::chrono::steady_clock::now() + std::chrono::milliseconds(20));
  }
  if (PortWindow != 0 || OwnedDispatcher) FinishClose();
  Users.clear();
  TMroBaseDispatcher::FreeSavedTriggers(SavedTriggers);
}

void TMroCustomComPort::Loaded() {
  TMroBaseComponent::Loaded();
  if (Designing()) return;
  if (OpenAfterLoad) FOpen = true;
  if (!FOpen) return;
  OpenAfterLoad = false;
  try {
    StartPort();
  } catch (const std::exception& e) {
    FOpen = false;
    ReportUnhandledError(e);
  }
}

void TMroCustomComPort::Assign(const TComponent* source) {
  auto* src = dynamic_cast<const TMroCustomComPort*>(source);
  if (!src) throw Exception("Cannot assign to a TMroComPort from anything but a com port");
  Users = src->Users;
  if (src->IsOpen() && src->OwnedDispatcher) {
    src->OwnedDispatcher->SaveTriggers(SavedTriggers);
    TriggersSaved = true;
  }
  ReapplyAll = src->ReapplyAll;
  FDeviceLayer = src->FDeviceLayer;
  FComNumber = src->FComNumber;
  FBaud = src->FBaud;
  FParity = src->FParity;
  FDataBits = src->FDataBits;
  FStopBits = src->FStopBits;
  FInSize = src->FInSize;
  FOutSize = src->FOutSize;
  FAutoOpen = src->FAutoOpen;
  FPromptForPort = src->FPromptForPort;
  FRS485Mode = src->FRS485Mode;
  FThreadPriorityRaise = src->FThreadPriorityRaise;
  FDTR = src->FDTR;
  FRTS = src->FRTS;
  FBufferFull = src->FBufferFull;
  FBufferResume = src->FBufferResume;
  FHWFlowOptions = src->FHWFlowOptions;
  FSWFlowOptions = src->FSWFlowOptions;
  FXOnChar = src->FXOnChar;
  FXOffChar = src->FXOffChar;
  FTracing = src->FTracing;
  FTraceSize = src->FTraceSize;
  FTraceName = src->FTraceName;
  FTraceHex = src->FTraceHex;
  FTraceAllHex = src->FTraceAllHex;
  FLogging = src->FLogging;
  FLogSize = src->FLogSize;
  FLogName = src->FLogName;
  FLogHex = src->FLogHex;
  FLogAllHex = src->FLogAllHex;
  FAvailTriggerLength = src->FAvailTriggerLength;
  FTapiMode = src->FTapiMode;
  FOpen = false;
  SetOnTrigger(src->FOnTrigger);
  SetOnTriggerAvail(src->FOnTriggerAvail);
  SetOnTriggerData(src->FOnTriggerData);
  SetOnTriggerStatus(src->FOnTriggerStatus);
  SetOnTriggerTimer(src->FOnTriggerTimer);
  OnPortOpened = src->OnPortOpened;
  OnPortClosing = src->OnPortClosing;
}

TMroCustomComPort* TMroCustomComPort::LocateComPort(const TComponent* owner) {
  if (!owner) return nullptr;
  for (TComponent* c : owner->Components()) {
    if (auto* port = dynamic_cast<TMroCustomComPort*>(c)) return port;
    if (auto* inner = LocateComPort(c)) return inner;
  }
  return nullptr;
}

int32_t TMroCustomComPort::Check(int32_t code) const { return CheckErrorCode(this, code); }

// --- Open and close ----------------------------------------------------------------

void TMroCustomComPort::SetOpen(bool v) {
  // Asking to close cancels a reopen still waiting for the last close.
  if (!v) ReopenPending = false;
  if (v == FOpen) return;
  if (Loading() || Designing()) {
    FOpen = v;
    if (v) OpenAfterLoad = true;
    return;
  }
  if (!v) {
    ClosePort();
  } else if (PortPhase != TPortPhase::ppClosed) {
    ReopenPending = true;
  } else {
    StartPort();
  }
}

void TMroCustomComPort::ValidatePortNumber() {
  if (FComNumber != 0) return;
  if (!FPromptForPort) throw ENoPortSelected(ecNoPortSelected);
  TPortPrompt prompt;
  {
    std::lock_guard g(HookLock());
    prompt = PortPrompt();
  }
  uint16_t chosen = 0;
  if (!prompt || !prompt(*this, chosen)) throw ENoPortSelected(ecNoPortSelected);
  SetComNumber(chosen);
}

std::unique_ptr<TMroBaseDispatcher> TMroCustomComPort::CreateDispatcher() {
  if (DispatcherFactory) return DispatcherFactory(*this);
  if (FDeviceLayer != TDeviceLayer::dlWin32) throw ENullApi(ecNullApi);
  if (FTapiMode == TTapiMode::tmOn) return std::make_unique<TMroTAPI32Dispatcher>(this, TapiDevice);
  // A number the port map leads to a network address opens a network port.
  if (IsNetworkAddress(ResolveDeviceName(ComDeviceName(FComNumber)))) return std::make_unique<TMroNetDispatcher>(this);
  return std::make_unique<TMroWin32Dispatcher>(this);
}

int32_t TMroCustomComPort::OpenDevice() {
  std::string name;
  if (FTapiMode != TTapiMode::tmOn) name = "\\\\.\\COM" + std::to_string(FComNumber);
  uint32_t options = 0;
  if (FDTR) options |= ipDtrOn;
  if (FRTS) options |= ipRtsOn;
  if (FHWFlowOptions & hwfUseDTR) options |= ipDtrHandshake;
  if (FHWFlowOptions & hwfUseRTS) options |= ipRtsHandshake;
  return OwnedDispatcher->InitializePort(name, FBaud, int(FParity), FDataBits, FStopBits, FInSize, FOutSize,
                                         options);
}

void TMroCustomComPort::StartPort() {
  if (FTapiMode != TTapiMode::tmOn) ValidatePortNumber();
  OwnedDispatcher = CreateDispatcher();
  if (!OwnedDispatcher) throw ENullApi(ecNullApi);

  const bool savedReapply = ReapplyAll;
  bool restored = false;
  // Leaves nothing of a failed attempt behind (carried triggers stay saved).
  auto abandon = [&] {
    ReapplyAll = savedReapply;
    if (restored) TriggersSaved = true;
    FOpen = false;
    ManagePortWindow(false);
    OwnedDispatcher.reset();
    PortPhase = TPortPhase::ppClosed;
  };
  try {
    if (FTapiMode == TTapiMode::tmOn && TapiDevice == 0) throw ENotOpenedByTapi(ecNotOpenedByTapi);
    int32_t rc = OpenDevice();
    // A network port that did not connect: the socket error's text with the
    // reason the device gives (what to check), not a generic one.
    if (rc <= -kFirstSocketError && rc >= -kLastSocketError) {
      const std::string reason = OwnedDispatcher->LastOpenErrorText();
      EOpenComm failure(ErrorText(rc) + (reason.empty() ? "" : ": " + reason));
      failure.ErrorCode = rc;
      throw failure;
    }
    if (rc == ecAccessDenied)
      rc = ecAlreadyOpen;
    else if (rc == ecFileNotFound || rc == ecPathNotFound)
      rc = ecBadId;
    if (rc != 0) {
      if (rc > 0) rc = ecInternal;
      Check(rc);  // returns only while loading
      abandon();
      return;
    }
    if (FTapiMode == TTapiMode::tmOn) {
      // The device came opened and configured: take its settings over.
      int32_t baud = 0;
      int parity = 0, dataBits = 8, stopBits = 1;
      if (OwnedDispatcher->QueryLine(baud, parity, dataBits, stopBits) == 0) {
        FBaud = baud;
        FParity = TParity(parity);
        FDataBits = uint16_t(dataBits);
        FStopBits = uint16_t(stopBits);
      }
      uint32_t hw = 0, sw = 0;
      uint8_t xon = 17, xoff = 19;
      if (OwnedDispatcher->QueryFlow(hw, sw, xon, xoff) == 0) {
        FHWFlowOptions = hw & (hwfUseDTR | hwfUseRTS | hwfRequireDSR | hwfRequireCTS);
        FSWFlowOptions = sw == 3   ? TSWFlowOptions::swfBoth
                         : sw == 1 ? TSWFlowOptions::swfTransmit
                         : sw == 2 ? TSWFlowOptions::swfReceive
                                   : TSWFlowOptions::swfNone;
        FXOnChar = char(xon);
        FXOffChar = char(xoff);
      }
    }
    PortPhase = TPortPhase::ppOpen;
    RefreshPortHandler();
    ReapplyAll = true;
    ApplyStoredValues();
    ReapplyAll = savedReapply;
    FOpen = true;
    ManagePortWindow(true);
    if (TriggersSaved) {
      TriggersSaved = false;
      OwnedDispatcher->RestoreTriggers(SavedTriggers);
      restored = true;
    }
    PortOpenedNotify();
  } catch (...) {
    abandon();
    throw;
  }
}

void TMroCustomComPort::ApplyStoredValues() {
  SetTracing(FTracing);
  SetLogging(FLogging);
  SetHWFlowOptions(FHWFlowOptions);
  SetSWFlowOptions(FSWFlowOptions);
  SetXOnChar(FXOnChar);
  SetXOffChar(FXOffChar);
  SetAvailTriggerLength(FAvailTriggerLength);
  SetDTR(FDTR);
  if (FDeviceLayer != TDeviceLayer::dlFossil) SetRTS(FRTS);
  SetUseMSRShadow(FUseMSRShadow);
  SetUseEventWord(FUseEventWord);
  SetCommNotificationLevel(FCommNotificationLevel);
  SetRS485Mode(FRS485Mode);
  SetThreadPriorityRaise(FThreadPriorityRaise);
}

void TMroCustomComPort::ClosePort() {
  FOpen = false;
  if (!IsOpen()) return;
  // The close always completes; the first failure on the way is raised after.
  std::exception_ptr failure;
  auto guarded = [&](auto&& step) {
    try {
      step();
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
  };
  guarded([&] { SetTracing(tlDump); });
  guarded([&] { SetLogging(tlDump); });
  PortPhase = TPortPhase::ppClosing;
  guarded([&] { PortClosingNotify(); });
  OwnedDispatcher->SaveTriggers(SavedTriggers);
  TriggersSaved = true;
  OwnedDispatcher->ShutdownPort();
  if (DispatcherBusy() && PortWindow != 0) {
    PostMessage(PortWindow, MsgCloseDone, 0, LPARAM(uint32_t(OwnedDispatcher->Handle()) << 16));
    PumpOneMessage();
  } else {
    FinishClose();
  }
  if (failure) std::rethrow_exception(failure);
}

bool TMroCustomComPort::DispatcherBusy() const { return OwnedDispatcher && OwnedDispatcher->HasRunningThreads(); }

void TMroCustomComPort::FinishClose() {
  ManagePortWindow(false);
  OwnedDispatcher.reset();
  PortPhase = TPortPhase::ppClosed;
}

void TMroCustomComPort::ManagePortWindow(bool create) {
  if (create) {
    if (PortWindow != 0) return;
    PortWindow = CreateMessageWindow(&TMroCustomComPort::PortWindowProc);
    if (OwnedDispatcher) OwnedDispatcher->RegisterWindowHandler(PortWindow);
    return;
  }
  if (PortWindow == 0) return;
  if (OwnedDispatcher) OwnedDispatcher->UnregisterWindowHandler(PortWindow);
  DestroyMessageWindow(PortWindow);
  PortWindow = 0;
}

void TMroCustomComPort::PortOpenedNotify() {
  for (size_t i = Users.size(); i-- > 0;) {
    if (i >= Users.size()) continue;  // a user detached itself meanwhile
    TPortUser u = Users[i];
    if (u.Window != 0)
      SendMessage(u.Window, MsgPortOpened, 0, 0);
    else if (u.Callback.Call)
      u.Callback.Call(this, true);
  }
  if (OnPortOpened) OnPortOpened(this);
}

void TMroCustomComPort::PortClosingNotify() {
  for (size_t i = Users.size(); i-- > 0;) {
    if (i >= Users.size()) continue;
    TPortUser u = Users[i];
    if (u.Window != 0)
      SendMessage(u.Window, MsgPortClosing, 0, 0);
    else if (u.Callback.Call)
      u.Callback.Call(this, false);
  }
  if (OnPortClosing) OnPortClosing(this);
}

// --- The port window -----------------------------------------------------------------

LRESULT TMroCustomComPort::PortWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case MsgTriggerAvail:
    case MsgTriggerData:
    case MsgTriggerTimer:
    case MsgTriggerStatus:
    case MsgCloseDone:
    case MsgDeviceGone:
      break;
    default:
      return DefWindowProc(hwnd, msg, wParam, lParam);
  }
  TLockGuard registry(TMroBaseDispatcher::RegistryLock());
  const int32_t handle = int32_t((uint32_t(lParam) >> 16) & 0xFFFF);
  if (handle >= TMroBaseDispatcher::RegistryCount()) return 0;
  TMroBaseDispatcher* d = TMroBaseDispatcher::LookupDispatcher(handle);
  if (!d) return 0;
  auto* port = dynamic_cast<TMroCustomComPort*>(d->Owner());
  if (!port) return 0;
  try {
    port->ServeTriggerMessage(msg, wParam, lParam);
  } catch (const std::exception& e) {
    ReportUnhandledError(e);
  }
  return 0;
}

void TMroCustomComPort::ServeTriggerMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == MsgDeviceGone) {
    // Posted: it may arrive after a close, or after a reopen on a new device.
    if (IsOpen() && DeviceGone() && OnDeviceGone) OnDeviceGone(this);
    return;
  }
  const uint16_t data = msg == MsgTriggerAvail ? uint16_t(wParam) : uint16_t(uint32_t(lParam) & 0xFFFF);
  DoTrigger(uint16_t(msg), uint16_t(wParam), data);
  switch (msg) {
    case MsgTriggerAvail:
      DoTriggerAvail(uint16_t(wParam));
      break;
    case MsgTriggerData:
      DoTriggerData(uint16_t(wParam));
      break;
    case MsgTriggerTimer:
      DoTriggerTimer(uint16_t(wParam));
      break;
    case MsgTriggerStatus:
      DoTriggerStatus(uint16_t(wParam));
      switch (int(wParam) & 7) {  // a status trigger's handle carries its kind
        case 1: DoTriggerModemStatus(); break;
        case 2: DoTriggerLineError(LastLineError(), BreakReceived()); break;
        case 3: DoTriggerOutbuffFree(); break;
        case 4: DoTriggerOutbuffUsed(); break;
        case 5: DoTriggerOutSent(); break;
        default: break;
      }
      break;
    case MsgCloseDone:
      if (DispatcherBusy()) {
        PostMessage(PortWindow, msg, wParam, lParam);
      } else {
        FinishClose();
        if (ReopenPending) {
          ReopenPending = false;
          StartPort();
        }
      }
      break;
    default:
      break;
  }
}

void TMroCustomComPort::DoTrigger(uint16_t msg, uint16_t triggerHandle, uint16_t data) {
  if (FOnTrigger) FOnTrigger(this, msg, triggerHandle, data);
}
void TMroCustomComPort::DoTriggerAvail(uint16_t count) {
  if (FOnTriggerAvail) FOnTriggerAvail(this, count);
}
void TMroCustomComPort::DoTriggerData(uint16_t triggerHandle) {
  if (FOnTriggerData) FOnTriggerData(this, triggerHandle);
}
void TMroCustomComPort::DoTriggerStatus(uint16_t triggerHandle) {
  if (FOnTriggerStatus) FOnTriggerStatus(this, triggerHandle);
}
void TMroCustomComPort::DoTriggerTimer(uint16_t triggerHandle) {
  if (FOnTriggerTimer) FOnTriggerTimer(this, triggerHandle);
}
void TMroCustomComPort::DoTriggerLineError(uint16_t error, bool lineBreak) {
  if (FOnTriggerLineError) FOnTriggerLineError(this, error, lineBreak);
}
void TMroCustomComPort::DoTriggerModemStatus() {
  if (FOnTriggerModemStatus) FOnTriggerModemStatus(this);
}
void TMroCustomComPort::DoTriggerOutbuffFree() {
  if (FOnTriggerOutbuffFree) FOnTriggerOutbuffFree(this);
}
void TMroCustomComPort::DoTriggerOutbuffUsed() {
  if (FOnTriggerOutbuffUsed) FOnTriggerOutbuffUsed(this);
}
void TMroCustomComPort::DoTriggerOutSent() {
  if (FOnTriggerOutSent) FOnTriggerOutSent(this);
}
void TMroCustomComPort::DoWaitChar(char c) {
  if (FOnWaitChar) FOnWaitChar(this, c);
}

void TMroCustomComPort::RefreshPortHandler() {
  if (!IsOpen() || !OwnedDispatcher) return;
  const bool wanted = FOnTrigger || FOnTriggerAvail || FOnTriggerData || FOnTriggerStatus || FOnTriggerTimer ||
                      FOnTriggerLineError || FOnTriggerModemStatus || FOnTriggerOutbuffFree ||
                      FOnTriggerOutbuffUsed || FOnTriggerOutSent;
  OwnedDispatcher->RefreshHandlerService(wanted ? 1 : 2);
}

void TMroCustomComPort::SetOnTrigger(TTriggerEvent e) {
  FOnTrigger = std::move(e);
  RefreshPortHandler();
}
void TMroCustomComPort::SetOnTriggerAvail(TTriggerAvailEvent e) {
  FOnTriggerAvail = std::move(e);
  RefreshPortHandler();
}
void TMroCustomComPort::SetOnTriggerData(TTriggerDataEvent e) {
  FOnTriggerData = std::move(e);
  RefreshPortHandler();
}
void TMroCustomComPort::SetOnTriggerStatus(TTriggerStatusEvent e) {
  FOnTriggerStatus = std::move(e);
  RefreshPortHandler();
}
void TMroCustomComPort::SetOnTriggerTimer(TTriggerTimerEvent e) {
  FOnTriggerTimer = std::move(e);
  RefreshPortHandler();
}
void TMroCustomComPort::SetOnTriggerLineError(TTriggerLineErrorEvent e) {
  FOnTriggerLineError = std::move(e);
  RefreshPortHandler();
}
void TMroCustomComPort::SetOnTriggerModemStatus(TNotifyEvent e) {
  FOnTriggerModemStatus = std::move(e);
  RefreshPortHandler();
}
void TMroCustomComPort::SetOnTriggerOutbuffFree(TNotifyEvent e) {
  FOnTriggerOutbuffFree = std::move(e);
  RefreshPortHandler();
}
void TMroCustomComPort::SetOnTriggerOutbuffUsed(TNotifyEvent e) {
  FOnTriggerOutbuffUsed = std::move(e);
  RefreshPortHandler();
}
void TMroCustomComPort::SetOnTriggerOutSent(TNotifyEvent e) {
  FOnTriggerOutSent = std::move(e);
  RefreshPortHandler();
}

// --- Property setters ----------------------------------------------------------------

void TMroCustomComPort::SetDeviceLayer(TDeviceLayer v) {
  if (v == FDeviceLayer && !ReapplyAll) return;
  if (PortPhase != TPortPhase::ppClosed || !SupportedLayers.contains(v)) return;
  FDeviceLayer = v;
  DeviceLayerChanged();
}

void TMroCustomComPort::SetComNumber(uint16_t v) {
  if (v == FComNumber && !ReapplyAll) return;
  if (!IsOpen()) {
    FComNumber = v;
    return;
  }
  // Renumbering an open port: close, renumber, reopen, keeping the triggers
  // and a running trace or log (the old ones were written by the close).
  TSavedTriggers saved;
  OwnedDispatcher->SaveTriggers(saved);
  const TTraceLogState tracing = FTracing, logging = FLogging;
  SetOpen(false);
  FComNumber = v;
  SetTracing(tracing);
  SetLogging(logging);
  SetOpen(true);
  if (IsOpen()) OwnedDispatcher->RestoreTriggers(saved);
}

void TMroCustomComPort::SetBaud(int32_t v) {
  if (v == FBaud && !ReapplyAll) return;
  FBaud = v;
  if (IsOpen()) Check(OwnedDispatcher->ConfigureLine(FBaud, int(FParity), FDataBits, FStopBits));
}

void TMroCustomComPort::SetParity(TParity v) {
  if (v == FParity && !ReapplyAll) return;
  FParity = v;
  if (IsOpen()) Check(OwnedDispatcher->ConfigureLine(FBaud, int(FParity), FDataBits, FStopBits));
}

void TMroCustomComPort::SetDataBits(uint16_t v) {
  if (v == FDataBits && !ReapplyAll) return;
  FDataBits = v;
  if (IsOpen()) Check(OwnedDispatcher->ConfigureLine(FBaud, int(FParity), FDataBits, FStopBits));
}

void TMroCustomComPort::SetStopBits(uint16_t v) {
  if (v == FStopBits && !ReapplyAll) return;
  FStopBits = v;
  if (IsOpen()) Check(OwnedDispatcher->ConfigureLine(FBaud, int(FParity), FDataBits, FStopBits));
}

void TMroCustomComPort::SetInSize(uint16_t v) {
  if (v == FInSize && !ReapplyAll) return;
  FInSize = v;
  if (IsOpen()) OwnedDispatcher->ResizeDriverQueues(FInSize, FOutSize);
}

void TMroCustomComPort::SetOutSize(uint16_t v) {
  if (v == FOutSize && !ReapplyAll) return;
  FOutSize = v;
  if (IsOpen()) OwnedDispatcher->ResizeDriverQueues(FInSize, FOutSize);
}

void TMroCustomComPort::SetDTR(bool v) {
  if (v == FDTR && !ReapplyAll) return;
  if (!IsOpen()) {
    FDTR = v;
    return;
  }
  int32_t rc = OwnedDispatcher->SetDtr(v);
  if (rc == 0) FDTR = v;
  Check(rc);
}

void TMroCustomComPort::SetRTS(bool v) {
  if (v == FRTS && !ReapplyAll) return;
  if (!IsOpen()) {
    FRTS = v;
    return;
  }
  int32_t rc = OwnedDispatcher->SetRts(v);
  if (rc == 0) FRTS = v;
  Check(rc);
}

void TMroCustomComPort::SetHWFlowOptions(THWFlowOptionSet v) {
  v &= hwfUseDTR | hwfUseRTS | hwfRequireDSR | hwfRequireCTS;
  if (v == FHWFlowOptions && !ReapplyAll) return;
  if (v != 0) {
    if (FBufferFull == 0 || FBufferFull > FInSize) FBufferFull = Scaled(FInSize, 0.9);
    if (FBufferResume == 0 || FBufferResume > FBufferFull) FBufferResume = Scaled(FInSize, 0.1);
  }
  int32_t rc = 0;
  if (IsOpen()) rc = OwnedDispatcher->SetHardwareFlow(FBufferFull, FBufferResume, v);
  FHWFlowOptions = v;
  if (v & (hwfUseRTS | hwfRequireCTS)) SetRS485Mode(false);
  Check(rc);
}

void TMroCustomComPort::SetSWFlowOptions(TSWFlowOptions v) {
  if (v == FSWFlowOptions && !ReapplyAll) return;
  uint32_t code = 0;
  switch (v) {
    case TSWFlowOptions::swfBoth: code = swfTransmit | swfReceive; break;
    case TSWFlowOptions::swfTransmit: code = swfTransmit; break;
    case TSWFlowOptions::swfReceive: code = swfReceive; break;
    case TSWFlowOptions::swfNone: code = 0; break;
  }
  if (code != 0) {
    if (FBufferFull == 0 || FBufferFull > FInSize) FBufferFull = Scaled(FInSize, 0.75);
    if (FBufferResume == 0 || FBufferResume > FBufferFull) FBufferResume = Scaled(FInSize, 0.25);
  }
  int32_t rc = 0;
  if (IsOpen())
    rc = code != 0 ? OwnedDispatcher->SetSoftwareFlow(FBufferFull, FBufferResume, code)
                   : OwnedDispatcher->ClearSoftwareFlow();
  FSWFlowOptions = v;
  Check(rc);
}

void TMroCustomComPort::SetBufferFull(uint16_t v) {
  if (v == FBufferFull && !ReapplyAll) return;
  if (v > FInSize) v = Scaled(FInSize, 0.9);
  FBufferFull = v;
  const bool saved = ReapplyAll;
  ReapplyAll = true;
  try {
    SetHWFlowOptions(FHWFlowOptions);
    SetSWFlowOptions(FSWFlowOptions);
  } catch (...) {
    ReapplyAll = saved;
    throw;
  }
  ReapplyAll = saved;
}

void TMroCustomComPort::SetBufferResume(uint16_t v) {
  if (v == FBufferResume && !ReapplyAll) return;
  if (v > FBufferFull) v = Scaled(FBufferFull, 0.1);
  FBufferResume = v;
  const bool saved = ReapplyAll;
  ReapplyAll = true;
  try {
    SetHWFlowOptions(FHWFlowOptions);
    SetSWFlowOptions(FSWFlowOptions);
  } catch (...) {
    ReapplyAll = saved;
    throw;
  }
  ReapplyAll = saved;
}

void TMroCustomComPort::SetXOnChar(char v) {
  if (v == FXOnChar && !ReapplyAll) return;
  FXOnChar = v;
  if (IsOpen()) Check(OwnedDispatcher->SetFlowChars(uint8_t(FXOnChar), uint8_t(FXOffChar)));
}

void TMroCustomComPort::SetXOffChar(char v) {
  if (v == FXOffChar && !ReapplyAll) return;
  FXOffChar = v;
  if (IsOpen()) Check(OwnedDispatcher->SetFlowChars(uint8_t(FXOnChar), uint8_t(FXOffChar)));
}

void TMroCustomComPort::SetUseMSRShadow(bool v) { FUseMSRShadow = v; }

void TMroCustomComPort::SetUseEventWord(bool v) {
  if (v == FUseEventWord && !ReapplyAll) return;
  FUseEventWord = v;
  if (!IsOpen()) return;
  constexpr uint32_t kEventWordOption = 4;
  if (v)
    OwnedDispatcher->SetOptionBits(kEventWordOption);
  else
    OwnedDispatcher->ClearOptionBits(kEventWordOption);
}

void TMroCustomComPort::SetRS485Mode(bool v) {
  if (v == FRS485Mode && !ReapplyAll) return;
  FRS485Mode = v;
  int32_t rc = 0;
  if (IsOpen()) rc = OwnedDispatcher->SetRs485(v);
  if (v) {
    // RS-485 drives RTS itself: no RTS/CTS flow, RTS starts low.
    SetHWFlowOptions(FHWFlowOptions & ~(hwfUseRTS | hwfRequireCTS));
    SetRTS(false);
  }
  Check(rc);
}

void TMroCustomComPort::SetAvailTriggerLength(uint16_t v) {
  if (v == FAvailTriggerLength && !ReapplyAll) return;
  FAvailTriggerLength = v;
  if (IsOpen()) Check(OwnedDispatcher->SetAvailLength(v));
}

void TMroCustomComPort::SetThreadPriorityRaise(uint8_t v) {
  if (v == FThreadPriorityRaise && !ReapplyAll) return;
  FThreadPriorityRaise = v;
  if (IsOpen()) OwnedDispatcher->SetPriorityBase(v);
}

void TMroCustomComPort::SetTraceName(const std::string& v) { FTraceName = v.substr(0, 255); }
void TMroCustomComPort::SetLogName(const std::string& v) { FLogName = v.substr(0, 255); }

// --- Trace and log ---------------------------------------------------------------------

void TMroCustomComPort::SetTracing(TTraceLogState v) { SetTraceLog(true, v); }
void TMroCustomComPort::SetLogging(TTraceLogState v) { SetTraceLog(false, v); }
void TMroCustomComPort::SetTraceSize(uint32_t v) { SetTraceLogSize(true, v); }
void TMroCustomComPort::SetLogSize(uint32_t v) { SetTraceLogSize(false, v); }

// One state machine for both recordings; `trace` picks the trace or the log.
void TMroCustomComPort::SetTraceLog(bool trace, TTraceLogState v) {
  TTraceLogState& state = trace ? FTracing : FLogging;
  if (v == state && !ReapplyAll) return;
  if (!IsOpen()) {
    state = (v == tlOff || v == tlOn) ? v : tlOff;
    return;
  }
  TMroBaseDispatcher& d = *OwnedDispatcher;
  const bool on = state == tlOn, paused = state == tlPause;
  switch (v) {
    case tlOff:
      if (on || paused) {
        trace ? d.EndTrace() : d.EndLog();
        state = tlOff;
      }
      break;
    case tlOn:
      if (paused) {
        trace ? d.ResumeTrace() : d.ResumeLog();
        state = tlOn;
      } else {
        int32_t rc = trace ? d.StartTrace(FTraceSize) : d.StartLog(FLogSize);
        if (rc >= 0) state = tlOn;
        Check(rc);
      }
      break;
    case tlDump:
    case tlAppend:
      if (on || paused) {
        const bool append = v == tlAppend;
        int32_t rc;
        if (trace) {
          d.ResumeTrace();
          rc = d.WriteTrace(FTraceName, append, FTraceHex, FTraceAllHex);
        } else {
          d.ResumeLog();
          rc = d.WriteLog(FLogName, append, FLogHex, FLogAllHex);
        }
        state = tlOff;
        Check(rc);
      }
      break;
    case tlClear:
      if (on || paused) trace ? d.ClearTrace() : d.ClearLog();
      break;
    case tlPause:
      if (on) {
        trace ? d.PauseTrace() : d.PauseLog();
        state = tlPause;
      }
      break;
  }
}

void TMroCustomComPort::SetTraceLogSize(bool trace, uint32_t v) {
  uint32_t& size = trace ? FTraceSize : FLogSize;
  size = std::min(v, trace ? kMaxTraceSize : kMaxLogSize);
  TTraceLogState& state = trace ? FTracing : FLogging;
  if (!IsOpen() || (state != tlOn && state != tlPause)) return;
  // Restart a running recording empty at the new size; a paused one ends.
  const TTraceLogState old = state;
  trace ? OwnedDispatcher->EndTrace() : OwnedDispatcher->EndLog();
  state = tlOff;
  SetTraceLog(trace, old);
}

// --- Operations --------------------------------------------------------------------------

TMroBaseDispatcher* TMroCustomComPort::ActiveDispatcher() {
  if (!OwnedDispatcher && !Designing() && !Loading() && !FOpen && FAutoOpen) SetOpen(true);
  return OwnedDispatcher.get();
}

TMroBaseDispatcher* TMroCustomComPort::RequireDispatcher() {
  TMroBaseDispatcher* d = ActiveDispatcher();
  if (!d) throw ECommNotOpen(ecCommNotOpen);
  return d;
}

void TMroCustomComPort::SendString(const std::string& text) {
  if (Closing()) return;
  TMroBaseDispatcher* d = RequireDispatcher();
  if (text.empty()) return;
  Check(d->WriteBlock(text.data(), uint32_t(text.size())));
}

void TMroCustomComPort::SendChar(char c) {
  if (Closing()) return;
  Check(RequireDispatcher()->WriteBlock(&c, 1));
}

int32_t TMroCustomComPort::SendBlock(const void* buffer, uint16_t length) {
  if (Closing()) return 0;
  TMroBaseDispatcher* d = RequireDispatcher();
  if (length != 0) Check(d->WriteBlock(buffer, length));
  return 0;
}

char TMroCustomComPort::ReadByte() {
  if (Closing()) return 0;
  uint8_t b = 0;
  int32_t rc = RequireDispatcher()->ReadByte(b);
  if (rc < 0) {
    Check(rc);
    return 0;
  }
  return char(b);
}

bool TMroCustomComPort::InputReady() {
  if (Closing()) return false;
  return RequireDispatcher()->InputReady();
}

void TMroCustomComPort::PurgeInput() {
  if (Closing()) return;
  Check(RequireDispatcher()->PurgeInput());
}

void TMroCustomComPort::PurgeOutput() {
  if (Closing()) return;
  Check(RequireDispatcher()->PurgeOutput());
}

uint32_t TMroCustomComPort::OutputUsed() { return IsOpen() ? OwnedDispatcher->OutputUsed() : 0; }

uint32_t TMroCustomComPort::OutputFree() { return IsOpen() ? OwnedDispatcher->OutputFree() : FOutSize; }

uint16_t TMroCustomComPort::LastLineError() { return IsOpen() ? uint16_t(OwnedDispatcher->TakeLineError()) : 0; }

TLineErrorCounts TMroCustomComPort::LineErrorCounts() {
  return IsOpen() ? OwnedDispatcher->LineErrorCounts() : TLineErrorCounts{};
}

bool TMroCustomComPort::BreakReceived() { return IsOpen() && OwnedDispatcher->TakeLineBreak(); }

void TMroCustomComPort::SendLineBreak(int32_t ticks, bool yield) {
  if (Closing()) return;
  RequireDispatcher()->SendBreakFor(ticks, yield);
}

void TMroCustomComPort::SetLineBreak(bool on) {
  if (Closing()) return;
  RequireDispatcher()->SetBreak(on);
}

uint32_t TMroCustomComPort::OutputInFlight() { return IsOpen() ? OwnedDispatcher->OutputInFlight() : 0; }

int32_t TMroCustomComPort::CreateTimerTrigger() {
  if (Closing()) return 0;
  return Check(RequireDispatcher()->CreateTimerTrigger());
}

int32_t TMroCustomComPort::CreateStatusTrigger(int statusType) {
  if (Closing()) return 0;
  return Check(RequireDispatcher()->CreateStatusTrigger(statusType));
}

void TMroCustomComPort::ArmTimerTrigger(int32_t handle, int32_t ticks, bool activate) {
  if (Closing()) return;
  Check(RequireDispatcher()->ArmTimerTrigger(handle, ticks, activate));
}

void TMroCustomComPort::ArmStatusTrigger(int32_t handle, uint16_t value, bool activate) {
  if (Closing()) return;
  Check(RequireDispatcher()->ArmStatusTrigger(handle, value, activate));
}

void TMroCustomComPort::DeleteTrigger(int32_t handle) {
  if (IsOpen()) Check(OwnedDispatcher->DeleteTrigger(handle));
}

void TMroCustomComPort::AddLogText(const std::string& text) {
  if (Closing()) return;
  RequireDispatcher()->AddLogText(text);
}

void TMroCustomComPort::ServiceYield() {
  if (Closing()) return;
  RequireDispatcher();
  std::this_thread::yield();  // the serial device's only pending work is the time slice
}

int TMroCustomComPort::AttachWindow(HWND window) {
  Users.push_back(TPortUser{window, {}});
  return int(Users.size()) - 1;
}

int TMroCustomComPort::AttachCallback(TPortCallback callback) {
  Users.push_back(TPortUser{0, std::move(callback)});
  return int(Users.size()) - 1;
}

void TMroCustomComPort::DetachWindow(HWND window) {
  std::erase_if(Users, [&](const TPortUser& u) { return u.Window != 0 && u.Window == window; });
}

void TMroCustomComPort::DetachCallback(const void* object) {
  std::erase_if(Users, [&](const TPortUser& u) { return u.Window == 0 && u.Callback.Object == object; });
}

}  // namespace zav
