#include "protocols/component/QxProtcl.h"

#include <cstring>
#include <map>
#include <mutex>

#include "platform/FileNames.h"
#include "protocols/core/QwTPcl.h"
#include "serial/QxExcept.h"

namespace zav {

namespace {

// The message windows of the process and their components.
std::mutex& WindowListLock() {
  static std::mutex m;
  return m;
}
std::map<HWND, TMroCustomProtocol*>& WindowList() {
  static std::map<HWND, TMroCustomProtocol*> list;
  return list;
}

template <class T>
T* FindUnclaimed(const TComponent* owner) {
  if (owner == nullptr) return nullptr;
  for (TComponent* c : owner->Components()) {
    if (auto* t = dynamic_cast<T*>(c); t != nullptr && t->Protocol() == nullptr) return t;
    if (T* deeper = FindUnclaimed<T>(c)) return deeper;
  }
  return nullptr;
}

std::string CutName(std::string s) {
  if (s.size() > kMaxPassString) s.resize(kMaxPassString);
  return s;
}

}  // namespace

const char* ProtocolName(int type) { return EngineOf(type).Name; }

// --- Life ------------------------------------------------------------------------------------

TMroCustomProtocol::TMroCustomProtocol(TComponent* owner) : TMroBaseComponent(owner) {
  CheckErrorCode(this, InitProtocolData(FRecord, nullptr, 0));
  TransferRecord& r = *FRecord;
  FComPort = TMroCustomComPort::LocateComPort(owner);
  SetPort(r, FComPort);
  if (auto* status = FindUnclaimed<TMroAbstractStatus>(owner)) SetStatusDisplay(status);
  if (auto* log = FindUnclaimed<TMroProtocolLog>(owner)) SetProtocolLog(log);
  if (Designing()) {
    SwitchProtocol(ptZmodem);
  } else {
    FMessageWindow = CreateMessageWindow(&TMroCustomProtocol::WindowProc);
    if (FMessageWindow == 0) throw EInternal(ecInternal);
    std::lock_guard g(WindowListLock());
    WindowList()[FMessageWindow] = this;
  }
  SetMessageWindow(r, FMessageWindow);
}

TMroCustomProtocol::~TMroCustomProtocol() {
  AnnounceRemoval();
  // A running transfer is cancelled first, so no trigger or handler is left
  // pointing at this record.
  try {
    AbortProtocol();
  } catch (...) {
  }
  if (FComPort != nullptr) FComPort->DetachCallback(this);
  if (FMessageWindow != 0) {
    {
      std::lock_guard g(WindowListLock());
      WindowList().erase(FMessageWindow);
    }
    DestroyMessageWindow(FMessageWindow);
  }
  try {
    SwitchProtocol(ptNoProtocol);
  } catch (...) {
  }
  if (FStatusDisplay != nullptr && FStatusDisplay->Protocol() == this) FStatusDisplay->SetProtocol(nullptr);
  if (FProtocolLog != nullptr && FProtocolLog->Protocol() == this) FProtocolLog->SetProtocol(nullptr);
  DoneProtocolData(FRecord);
}

void TMroCustomProtocol::Assign(const TComponent* source) {
  auto* src = const_cast<TMroCustomProtocol*>(dynamic_cast<const TMroCustomProtocol*>(source));
  if (src == nullptr || src == this) return;
  const TProtocolType type = src->FProtocolType;
  SetProtocolType(ptNoProtocol);
  src->SetProtocolType(ptNoProtocol);
  CopyProtocolData(*FRecord, *src->FRecord);
  // The copy keeps its own window: its transfers report to its own events.
  SetMessageWindow(*FRecord, FMessageWindow);
  FNeedBaud = src->FNeedBaud;
  FHandler = src->FHandler;
  FForce = src->FForce;
  FComPort = src->FComPort;
  FStatusDisplay = src->FStatusDisplay;
  FProtocolLog = src->FProtocolLog;
  FKept = src->FKept;
  OnProtocolAccept = src->OnProtocolAccept;
  OnProtocolError = src->OnProtocolError;
  OnProtocolFinish = src->OnProtocolFinish;
  OnProtocolLog = src->OnProtocolLog;
  OnProtocolNextFile = src->OnProtocolNextFile;
  OnProtocolResume = src->OnProtocolResume;
  OnProtocolStatus = src->OnProtocolStatus;
  src->SetProtocolType(type);
  SetProtocolType(type);
}

void TMroCustomProtocol::Notification(TComponent* component, TOperation operation) {
  TMroBaseComponent::Notification(component, operation);
  if (component == this) return;
  if (operation == TOperation::opRemove) {
    if (component == FComPort) {
      FComPort = nullptr;
      SetPort(*FRecord, nullptr);
    }
    if (component == FStatusDisplay) FStatusDisplay = nullptr;
    if (component == FProtocolLog) FProtocolLog = nullptr;
    return;
  }
  if (auto* port = dynamic_cast<TMroCustomComPort*>(component); port != nullptr && FComPort == nullptr) {
    SetComPort(port);
  } else if (auto* status = dynamic_cast<TMroAbstractStatus*>(component);
             status != nullptr && FStatusDisplay == nullptr && status->Protocol() == nullptr) {
    SetStatusDisplay(status);
  } else if (auto* log = dynamic_cast<TMroProtocolLog*>(component);
             log != nullptr && FProtocolLog == nullptr && log->Protocol() == nullptr) {
    SetProtocolLog(log);
  }
}

// --- Protocol switch and settings ------------------------------------------------------------

void TMroCustomProtocol::SwitchProtocol(TProtocolType type) {
  TransferRecord& r = *FRecord;
  // The area goes: a handler call still on its way to the record goes first
  // (one that never ends leaves the old area kept, not freed under it).
  const bool callsEnded = WaitForHandlerCalls(r);
  if (const TEngine& old = EngineOf(r.ProtocolType); old.Done && callsEnded) old.Done(r);
  DropArea(r, std::chrono::milliseconds(0));
  FForce = true;
  const TEngine& engine = EngineOf(type);
  if (engine.Init != nullptr) {
    const int32_t rc = engine.Init(r, type);
    if (rc < 0) {
      r.ProtocolType = ptNoProtocol;
      CheckErrorCode(this, rc);
      return;
    }
  } else {
    r.ProtocolType = type;
    SetFileHooksToDefaults(r);
  }
  if (engine.Apply != nullptr) CheckErrorCode(this, engine.Apply(r, FKept));
  FProtocolType = type;
}

void TMroCustomProtocol::SetProtocolType(TProtocolType type) {
  if (type == FProtocolType && !Loading()) return;
  if (type >= kProtocolTypeCount) return;
  SwitchProtocol(type);
}

template <class T>
void TMroCustomProtocol::SetKept(T TProtocolSettings::*field, T value, TSettingsGroup group) {
  const TEngine& engine = EngineOf(FRecord->ProtocolType);
  const bool holds = engine.Settings == group;
  if (holds && engine.Read != nullptr) engine.Read(*FRecord, FKept);
  if (FKept.*field == value && !FForce) return;
  FKept.*field = value;
  if (holds && engine.Apply != nullptr) CheckErrorCode(this, engine.Apply(*FRecord, FKept));
}

template <class T>
T TMroCustomProtocol::GetKept(T TProtocolSettings::*field, TSettingsGroup group) const {
  const TEngine& engine = EngineOf(FRecord->ProtocolType);
  if (engine.Settings == group && engine.Read != nullptr) engine.Read(*FRecord, FKept);
  return FKept.*field;
}

void TMroCustomProtocol::SetComPort(TMroCustomComPort* port) {
  FComPort = port;
  SetPort(*FRecord, port);
  if (port != nullptr) port->FreeNotification(this);
}

std::string TMroCustomProtocol::DestinationDirectory() const { return BufferText(FRecord->DestinationDirectory); }
void TMroCustomProtocol::SetDestinationDirectory(const std::string& dir) {
  SetBufferText(FRecord->DestinationDirectory, dir);
}
std::string TMroCustomProtocol::FileMask() const { return BufferText(FRecord->FileMask); }
void TMroCustomProtocol::SetFileMask(const std::string& mask) { SetBufferText(FRecord->FileMask, mask); }

TBlockCheckMethod TMroCustomProtocol::BlockCheckMethod() const { return FRecord->CheckType; }
void TMroCustomProtocol::SetBlockCheckMethod(TBlockCheckMethod method) {
  TransferRecord& r = *FRecord;
  if (method == r.CheckType || r.InProgress != 0) return;
  const TEngine& engine = EngineOf(r.ProtocolType);
  if (engine.Sibling != ptNoProtocol && method == engine.SiblingCheck) {
    SetProtocolType(engine.Sibling);
    r.CheckType = method;
  } else if ((engine.CheckMethods & (1u << method)) != 0) {
    r.CheckType = method;
  }
}

uint32_t TMroCustomProtocol::HandshakeRetry() const { return FRecord->HandshakeRetry; }
void TMroCustomProtocol::SetHandshakeRetry(uint32_t v) { FRecord->HandshakeRetry = v; }
int32_t TMroCustomProtocol::HandshakeWait() const { return FRecord->HandshakeWait; }
void TMroCustomProtocol::SetHandshakeWait(int32_t v) { FRecord->HandshakeWait = v; }
int32_t TMroCustomProtocol::TransmitTimeout() const { return FRecord->TransmitTimeout; }
void TMroCustomProtocol::SetTransmitTimeout(int32_t v) { FRecord->TransmitTimeout = v; }
int32_t TMroCustomProtocol::FinishWait() const { return FRecord->FinishWait; }
void TMroCustomProtocol::SetFinishWait(int32_t v) { FRecord->FinishWait = v; }
uint32_t TMroCustomProtocol::TurnDelay() const { return FRecord->TurnDelay; }
void TMroCustomProtocol::SetTurnDelay(uint32_t v) { FRecord->TurnDelay = v; }
uint32_t TMroCustomProtocol::Overhead() const { return FRecord->Overhead; }
void TMroCustomProtocol::SetOverhead(uint32_t v) { FRecord->Overhead = v; }
TWriteFailAction TMroCustomProtocol::WriteFailAction() const { return FRecord->WriteFailAction; }
void TMroCustomProtocol::SetWriteFailAction(TWriteFailAction v) { FRecord->WriteFailAction = v; }
int32_t TMroCustomProtocol::StatusInterval() const { return FRecord->StatusInterval; }
void TMroCustomProtocol::SetStatusInterval(int32_t v) { FRecord->StatusInterval = v; }
bool TMroCustomProtocol::UpcaseFileNames() const { return FRecord->UpcaseFileNames; }
void TMroCustomProtocol::SetUpcaseFileNames(bool v) { FRecord->UpcaseFileNames = v; }

void TMroCustomProtocol::SetOption(uint32_t bit, bool on) {
  if (on)
    FRecord->TransferOptions |= bit;
  else
    FRecord->TransferOptions &= ~bit;
}

void TMroCustomProtocol::SetStatusDisplay(TMroAbstractStatus* display) {
  FStatusDisplay = display;
  if (display != nullptr) {
    display->SetProtocol(this);
    display->FreeNotification(this);
  }
}

void TMroCustomProtocol::SetProtocolLog(TMroProtocolLog* log) {
  FProtocolLog = log;
  if (log != nullptr) {
    log->SetProtocol(this);
    log->FreeNotification(this);
  }
}

std::string TMroCustomProtocol::FileName() const { return BufferText(FRecord->PathName); }

void TMroCustomProtocol::SetFileName(const std::string& name) {
  TransferRecord& r = *FRecord;
  if (r.FileOpen) return;
  const std::string cut = CutName(name);
  if (cut.find('/') != std::string::npos)
    SetBufferText(r.PathName, cut);
  else
    // An empty directory keeps the name relative (never "/name").
    SetBufferText(r.PathName, AddTrailingSlash(BufferText(r.DestinationDirectory)) + cut);
}

#define ZAV_KEPT(Type, Name, Group)                                                               \
  Type TMroCustomProtocol::Name() const { return GetKept(&TProtocolSettings::Name, Group); }   \
  void TMroCustomProtocol::Set##Name(Type v) { SetKept(&TProtocolSettings::Name, v, Group); }

ZAV_KEPT(int32_t, XYmodemBlockWait, TSettingsGroup::XYmodem)
ZAV_KEPT(bool, ZmodemOptionOverride, TSettingsGroup::Zmodem)
ZAV_KEPT(bool, ZmodemSkipNoFile, TSettingsGroup::Zmodem)
ZAV_KEPT(bool, ZmodemRecover, TSettingsGroup::Zmodem)
ZAV_KEPT(bool, Zmodem8K, TSettingsGroup::Zmodem)
ZAV_KEPT(int32_t, ZmodemFinishRetry, TSettingsGroup::Zmodem)
ZAV_KEPT(int32_t, KermitMaxLen, TSettingsGroup::Kermit)
ZAV_KEPT(int32_t, KermitMaxWindows, TSettingsGroup::Kermit)
ZAV_KEPT(int32_t, KermitSWCTurnDelay, TSettingsGroup::Kermit)
ZAV_KEPT(int32_t, KermitTimeoutSecs, TSettingsGroup::Kermit)
ZAV_KEPT(bool, KermitLiteralNames, TSettingsGroup::Kermit)
ZAV_KEPT(char, KermitPadCharacter, TSettingsGroup::Kermit)
ZAV_KEPT(int32_t, KermitPadCount, TSettingsGroup::Kermit)
ZAV_KEPT(char, KermitTerminator, TSettingsGroup::Kermit)
ZAV_KEPT(char, KermitCtlPrefix, TSettingsGroup::Kermit)
ZAV_KEPT(char, KermitHighbitPrefix, TSettingsGroup::Kermit)
ZAV_KEPT(char, KermitRepeatPrefix, TSettingsGroup::Kermit)
ZAV_KEPT(uint32_t, AsciiCharDelay, TSettingsGroup::Ascii)
ZAV_KEPT(uint32_t, AsciiLineDelay, TSettingsGroup::Ascii)
ZAV_KEPT(int32_t, AsciiEOFTimeout, TSettingsGroup::Ascii)
#undef ZAV_KEPT

TZmodemFileOptions TMroCustomProtocol::ZmodemFileOption() const {
  return TZmodemFileOptions(GetKept(&TProtocolSettings::ZmodemFileOption, TSettingsGroup::Zmodem));
}
void TMroCustomProtocol::SetZmodemFileOption(TZmodemFileOptions v) {
  // A CRC comparison of files is not offered: the value is refused.
  if (v == zfoWriteCrc) return;
  SetKept(&TProtocolSettings::ZmodemFileOption, uint8_t(v), TSettingsGroup::Zmodem);
}
char TMroCustomProtocol::AsciiEOLChar() const {
  return char(GetKept(&TProtocolSettings::AsciiEOLChar, TSettingsGroup::Ascii));
}
void TMroCustomProtocol::SetAsciiEOLChar(char v) {
  SetKept(&TProtocolSettings::AsciiEOLChar, uint8_t(v), TSettingsGroup::Ascii);
}
TAsciiEOLTranslation TMroCustomProtocol::AsciiCRTranslation() const {
  return TAsciiEOLTranslation(GetKept(&TProtocolSettings::AsciiCRTranslation, TSettingsGroup::Ascii));
}
void TMroCustomProtocol::SetAsciiCRTranslation(TAsciiEOLTranslation v) {
  SetKept(&TProtocolSettings::AsciiCRTranslation, uint8_t(v), TSettingsGroup::Ascii);
}
TAsciiEOLTranslation TMroCustomProtocol::AsciiLFTranslation() const {
  return TAsciiEOLTranslation(GetKept(&TProtocolSettings::AsciiLFTranslation, TSettingsGroup::Ascii));
}
void TMroCustomProtocol::SetAsciiLFTranslation(TAsciiEOLTranslation v) {
  SetKept(&TProtocolSettings::AsciiLFTranslation, uint8_t(v), TSettingsGroup::Ascii);
}

std::string TMroCustomProtocol::StatusMsg(int32_t code) const { return StatusText(code); }

// --- Transfers --------------------------------------------------------------------------------

void TMroCustomProtocol::BeginTransmit() { Begin(true); }

void TMroCustomProtocol::BeginReceive() { Begin(false); }

void TMroCustomProtocol::Begin(bool transmit) {
  if (FProtocolType == ptNoProtocol) return;
  if (FComPort == nullptr) {
    CheckErrorCode(this, ecPortNotAssigned);
    return;
  }
  TransferRecord& r = *FRecord;
  SetPort(r, FComPort);
  FComPort->DetachCallback(this);
  FComPort->AttachCallback({this, [this](TMroCustomComPort* cp, bool opening) { PortNotifyCallback(cp, opening); }});
  if (FNeedBaud) {
    SetActualBaud(r, FComPort->Baud());
    FNeedBaud = false;
  }
  const int direction = transmit ? 1 : 0;
  FHandler = EngineOf(FProtocolType).Handler[direction];
  TPrepareRoutine prepare = EngineOf(FProtocolType).Prepare[direction];
  if (FHandler == nullptr || prepare == nullptr) {
    // A protocol without an engine: the transfer ends at once, as an event.
    TLockGuard lock(r.RecordLock);
    r.Dispatcher = nullptr;
    r.ProtocolError = ecBadProtocolFunction;
    ProtocolFinish(r);
    return;
  }
  StartTransfer(r, FProtocolType, transmit, FHandler, prepare);
}

void TMroCustomProtocol::AbortProtocol() {
  TransferRecord& r = *FRecord;
  TLockGuard lock(r.RecordLock);
  if (FHandler == nullptr || r.InProgress == 0 || r.Dispatcher == nullptr) return;
  FHandler(MsgProtocolCancel, 0, LPARAM(uint32_t(r.Dispatcher->Handle()) << 16));
}

void TMroCustomProtocol::PortNotifyCallback(TMroCustomComPort*, bool Opening) {
  if (!Opening && FRecord->InProgress != 0) AbortProtocol();
}

// --- Reports ---------------------------------------------------------------------------------

LRESULT TMroCustomProtocol::WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  TMroCustomProtocol* self = nullptr;
  {
    std::lock_guard g(WindowListLock());
    auto it = WindowList().find(hwnd);
    if (it != WindowList().end()) self = it->second;
  }
  if (self == nullptr || msg < MsgProtocolStatus || msg > MsgProtocolError)
    return DefWindowProc(hwnd, msg, wParam, lParam);
  try {
    return self->Dispatch(msg, wParam, lParam);
  } catch (const std::exception& e) {
    ReportUnhandledError(e);
    return 0;
  }
}

LRESULT TMroCustomProtocol::Dispatch(UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case MsgProtocolStatus:
      HandleStatus(uint16_t(wParam));
      return 0;
    case MsgProtocolLog:
      HandleLog(uint16_t(wParam));
      return 0;
    case MsgProtocolNextFile: {
      std::string name;
      HandleNextFile(name);
      if (name.empty()) return 0;
      name = CutName(name);
      std::memcpy(reinterpret_cast<char*>(lParam), name.c_str(), name.size() + 1);
      return 1;
    }
    case MsgProtocolAcceptFile: {
      bool accept = true;
      const char* buffer = reinterpret_cast<const char*>(lParam);
      std::string name = CutName(std::string(buffer, strnlen(buffer, kMaxPassString + 1)));
      HandleAccept(accept, name);
      if (!accept) return 0;
      if (FRecord->PathName[0] != 0) {
        name = CutName(name);
        std::memcpy(reinterpret_cast<char*>(lParam), name.c_str(), name.size() + 1);
      }
      return 1;
    }
    case MsgProtocolFinish:
      HandleFinish(int16_t(uint16_t(wParam)));
      return 0;
    case MsgProtocolResume: {
      TWriteFailAction action = TWriteFailAction(wParam);
      HandleResume(action);
      return LRESULT(action);
    }
    case MsgProtocolError:
      HandleError(int16_t(uint16_t(wParam)));
      return 0;
    default:
      return 0;
  }
}

void TMroCustomProtocol::HandleAccept(bool& accept, std::string& name) {
  if (OnProtocolAccept) OnProtocolAccept(this, accept, name);
}

void TMroCustomProtocol::HandleError(int32_t code) {
  if (OnProtocolError) OnProtocolError(this, code);
}

void TMroCustomProtocol::HandleFinish(int32_t code) {
  if (FComPort != nullptr) FComPort->DetachCallback(this);
  if (OnProtocolFinish) OnProtocolFinish(this, code);
}

void TMroCustomProtocol::HandleLog(uint16_t code) {
  if (FProtocolLog != nullptr) FProtocolLog->WriteLogEntry(code);
  if (OnProtocolLog) OnProtocolLog(this, code);
}

void TMroCustomProtocol::HandleNextFile(std::string& name) {
  if (OnProtocolNextFile) {
    OnProtocolNextFile(this, name);
    return;
  }
  char buffer[kMaxPathChars + 1];
  name = NextFileFromMask(*FRecord, buffer) ? std::string(buffer) : std::string();
}

void TMroCustomProtocol::HandleResume(TWriteFailAction& action) {
  if (OnProtocolResume) OnProtocolResume(this, action);
}

void TMroCustomProtocol::HandleStatus(uint16_t options) {
  if (FStatusDisplay != nullptr) FStatusDisplay->RefreshDisplay((options & soFirst) != 0, (options & soLast) != 0);
  if (OnProtocolStatus) OnProtocolStatus(this, options);
}

// --- The status base -------------------------------------------------------------------------

TMroAbstractStatus::TMroAbstractStatus(TComponent* owner) : TMroProtocolServant(owner) {}

TMroAbstractStatus::~TMroAbstractStatus() {
  AnnounceRemoval();
  if (FProtocol != nullptr && FProtocol->StatusDisplay() == this) FProtocol->SetStatusDisplay(nullptr);
}

void TMroAbstractStatus::InitDisplay() {
  BuildDisplay();
  FPosition = DisplayPosition();
  FCtl3D = DisplayCtl3D();
  FVisible = DisplayVisible();
  FCaption = DisplayCaption();
  SetCaption("Protocol Status");
}

void TMroAbstractStatus::SetPosition(TPosition v) {
  FPosition = v;
  if (HasDisplay()) ApplyPosition(v);
}
void TMroAbstractStatus::SetCtl3D(bool v) {
  FCtl3D = v;
  if (HasDisplay()) ApplyCtl3D(v);
}
void TMroAbstractStatus::SetVisible(bool v) {
  FVisible = v;
  if (HasDisplay()) ApplyVisible(v);
}
void TMroAbstractStatus::SetCaption(const std::string& v) {
  if (v == FCaption) return;
  FCaption = v;
  if (HasDisplay()) ApplyCaption(v);
}
void TMroProtocolServant::SetProtocol(TMroCustomProtocol* protocol) {
  FProtocol = protocol;
  if (protocol != nullptr) protocol->FreeNotification(this);
}

void TMroProtocolServant::Notification(TComponent* component, TOperation operation) {
  TMroBaseComponent::Notification(component, operation);
  if (operation == TOperation::opRemove && component == FProtocol) FProtocol = nullptr;
}

}  // namespace zav
