#include "protocols/core/QwTPcl.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <thread>
#include <stdexcept>
#include <vector>
#include <mutex>

#include "platform/FileNames.h"
#include "protocols/core/QwCrc.h"
#include "serial/QwUser.h"
#include "serial/QxExcept.h"
#include "serial/QxPort.h"
#include "serial/QxSrMgr.h"

namespace zav {

std::string BufferText(const std::array<char, kMaxPathChars + 1>& buffer) {
  return std::string(buffer.data(), strnlen(buffer.data(), buffer.size()));
}

void SetBufferText(std::array<char, kMaxPathChars + 1>& buffer, std::string_view text) {
  const size_t n = std::min(text.size(), kMaxPathChars);
  std::memcpy(buffer.data(), text.data(), n);
  buffer[n] = 0;
}

int32_t IoError(int err) {
  // A full disk is one code in every engine ("Disk is full"); every other
  // errno goes through the platform's one map, so its text is the system's.
  if (err == ENOSPC || err == EDQUOT) return -ecDiskFull;
  return int32_t(PlatformErrorNumber(err > 0 ? err : EIO));
}

namespace {

TMroBaseDispatcher* OpenDispatcher(TMroCustomComPort* port) {
  if (port == nullptr || port->PortPhase != TPortPhase::ppOpen) return nullptr;
  return port->OwnedDispatcher.get();
}

// The stamp of a file: DOS date in the high word, time in the low word.
uint32_t FileDateOf(int fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0) return 0;
  return PackUnixDate(int64_t(st.st_mtime));
}

// Writes all of `data`: an interrupted or short write goes on with the rest;
// a write that takes nothing means the disk is full.
bool WriteAll(TransferRecord& r, const uint8_t* data, size_t count) {
  TMroBaseDispatcher* d = r.Dispatcher;
  const bool rtsLow = (r.TransferOptions & tfRTSLowForWrite) && d != nullptr;
  if (rtsLow) d->SetRts(false);
  size_t done = 0;
  int err = 0;
  while (done < count) {
    const ssize_t n = ::write(r.WorkFile, data + done, count - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      err = n < 0 ? errno : ENOSPC;
      break;
    }
    done += size_t(n);
  }
  if (rtsLow) d->SetRts(true);
  if (done < count) {
    GotError(r, -IoError(err));
    return false;
  }
  return true;
}

// Writes the buffered bytes at BufferStart: those before FileOffset that were
// written (LastOffset), and never more than the buffer holds. A protocol that
// stepped back sends the bytes after FileOffset again.
bool FlushBuffer(TransferRecord& r) {
  const uint64_t end = std::min({r.FileOffset, r.LastOffset, r.BufferStart + kFileBufferSize});
  if (end <= r.BufferStart) return true;
  if (lseek(r.WorkFile, off_t(r.BufferStart), SEEK_SET) < 0) {
    GotError(r, -IoError(errno));
    return false;
  }
  return WriteAll(r, r.FileBuffer.data(), size_t(end - r.BufferStart));
}

void DestroyTriggers(TransferRecord& r) {
  TMroBaseDispatcher* d = r.Dispatcher;
  for (int32_t* h : {&r.StatusTrigger, &r.TimeoutTrigger, &r.OutBuffFreeTrigger, &r.OutBuffUsedTrigger,
                     &r.ModemTrigger}) {
    if (*h > 0 && d != nullptr) d->DeleteTrigger(*h);
    *h = 0;
  }
}

LRESULT SendReport(TransferRecord& r, UINT msg, WPARAM wParam, LPARAM lParam,
                   uint32_t timeoutMs = kReportTimeoutMs) {
  LRESULT result = 0;
  if (r.MessageWindow == 0) return 0;
  if (!SendMessageTimeout(r.MessageWindow, msg, wParam, lParam, SMTO_BLOCK | SMTO_ABORTIFHUNG, timeoutMs, &result))
    return 0;
  return result;
}

// A question the application answers (accept, resume): its handler may ask
// the user, so the answer is waited for up to kQueryTimeoutMs; a question
// left unanswered that long is logged with the reason.
LRESULT SendQuery(TransferRecord& r, UINT msg, WPARAM wParam, LPARAM lParam, const char* what) {
  if (r.MessageWindow == 0) return 0;
  LRESULT result = 0;
  if (SendMessageTimeout(r.MessageWindow, msg, wParam, lParam, SMTO_BLOCK | SMTO_ABORTIFHUNG, kQueryTimeoutMs,
                         &result))
    return result;
  if (r.Dispatcher != nullptr)
    r.Dispatcher->AddLogText(std::string(what) + ": no answer from the application within " +
                             std::to_string(kQueryTimeoutMs / 1000) + " s");
  return 0;
}

}  // namespace

// --- Record life and settings ---------------------------------------------------------

int32_t InitProtocolData(std::unique_ptr<TransferRecord>& record, TMroCustomComPort* port, uint32_t options) {
  record = std::make_unique<TransferRecord>();
  TransferRecord& r = *record;
  // A new record holds the default settings (TransferData's initialisers).
  r.ComPort = port;
  r.TransferOptions = options;
  TMroBaseDispatcher* d = OpenDispatcher(port);
  r.ActualCPS = d != nullptr ? uint32_t(d->CurrentBaud() / 10) : 0;
  SetBufferText(r.FileMask, "*.*");
  SetFileHooksToDefaults(r);
  r.ShowStatusHook = SendStatusReport;
  r.LogFileHook = SendLogReport;
  r.NextFileHook = SendNextFileQuery;
  r.AcceptFileHook = SendAcceptQuery;
  return 0;
}

bool WaitForHandlerCalls(TransferRecord& r, std::chrono::milliseconds limit) {
  // Calls count themselves under the registry lock: once it was free, no
  // call that found the record is left uncounted.
  { TLockGuard registry(TMroBaseDispatcher::RegistryLock()); }
  // Bounded: a call may wait on a report to this thread, up to the longest
  // wait of a question.
  const auto until = std::chrono::steady_clock::now() + limit;
  while (r.HandlerCalls.load(std::memory_order_acquire) > 0) {
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

namespace {

// What a handler call still held when it was to be freed: a whole record, or
// the area a protocol switch took from a record that lives on.
struct TKeptForCalls {
  const TransferRecord* owner;
  std::unique_ptr<TransferRecord> record;
  std::unique_ptr<TProtocolArea> area;
};
std::mutex gKeptLock;
std::vector<TKeptForCalls> gKept;

// Frees what no call holds any more. An area's owner is alive: a record is
// only freed through DoneProtocolData, which drops its areas first.
void SweepKept() {
  std::lock_guard lock(gKeptLock);
  std::erase_if(gKept, [](const TKeptForCalls& k) {
    return k.owner->HandlerCalls.load(std::memory_order_acquire) == 0;
  });
}

void Keep(TKeptForCalls kept, const char* what, std::chrono::milliseconds waited) {
  const std::string text = std::string("a handler call did not end within ") +
                           std::to_string(waited.count()) + " ms: " + what + " is kept rather than freed under it";
  {
    std::lock_guard lock(gKeptLock);
    gKept.push_back(std::move(kept));
  }
  ReportUnhandledError(std::runtime_error(text));
}

}  // namespace

size_t KeptForHandlerCalls() {
  std::lock_guard lock(gKeptLock);
  return gKept.size();
}

void DropArea(TransferRecord& r, std::chrono::milliseconds limit) {
  SweepKept();
  if (!r.Area) return;
  if (WaitForHandlerCalls(r, limit)) {
    r.Area.reset();
    return;
  }
  Keep({&r, nullptr, std::move(r.Area)}, "the protocol area", limit);
}

void DoneProtocolData(std::unique_ptr<TransferRecord>& record, std::chrono::milliseconds limit) {
  SweepKept();
  if (!record) return;
  const bool ended = WaitForHandlerCalls(*record, limit);
  if (ended) {
    // Areas it left behind are free now too.
    std::lock_guard lock(gKeptLock);
    std::erase_if(gKept, [&](const TKeptForCalls& k) { return k.owner == record.get(); });
  }
  if (ended) {
    if (record->FileOpen && record->WorkFile >= 0) ::close(record->WorkFile);
    record.reset();
    return;
  }
  // Its file stays open too: the call may still write to it.
  TransferRecord* const owner = record.get();
  Keep({owner, std::move(record), nullptr}, "the transfer record", limit);
}

void CopyProtocolData(TransferRecord& dst, const TransferRecord& src) {
  static_cast<TransferData&>(dst) = static_cast<const TransferData&>(src);
  dst.Area = src.Area ? src.Area->Clone() : nullptr;
  // The copy never shares the source's open file.
  if (dst.FileOpen) {
    dst.FileOpen = false;
    dst.WorkFile = -1;
    dst.FileBuffer.clear();
  }
}

void SetFileHooksToDefaults(TransferRecord& r) {
  r.PrepareReadingHook = DefPrepareReading;
  r.ReadBlockHook = DefReadBlock;
  r.FinishReadingHook = DefFinishReading;
  r.PrepareWritingHook = DefPrepareWriting;
  r.WriteBlockHook = DefWriteBlock;
  r.FinishWritingHook = DefFinishWriting;
}

void SetRecordFigures(TransferRecord& r, const TRecordFigures& f) {
  const auto take = [](auto& to, const auto& from) {
    if (from) to = *from;
  };
  take(r.CheckType, f.CheckType);
  take(r.BlockSize, f.BlockSize);
  take(r.ReceiveTimeout, f.ReceiveTimeout);
  take(r.HandshakeWait, f.HandshakeWait);
  take(r.FinishWait, f.FinishWait);
  take(r.Overhead, f.Overhead);
  take(r.TurnDelay, f.TurnDelay);
}

void SetPort(TransferRecord& r, TMroCustomComPort* port) { r.ComPort = port; }
void SetMessageWindow(TransferRecord& r, HWND window) { r.MessageWindow = window; }

void SetActualBaud(TransferRecord& r, int32_t baud) {
  int32_t bits = 10;
  if (TMroBaseDispatcher* d = OpenDispatcher(r.ComPort)) {
    int32_t b = 0;
    int parity = 0, dataBits = 8, stopBits = 1;
    if (d->QueryLine(b, parity, dataBits, stopBits) >= 0) bits = dataBits + 2 + (parity != 0 ? 1 : 0);
  }
  r.ActualCPS = baud > 0 ? uint32_t(baud / bits) : 0;
}

// --- Start and finish ------------------------------------------------------------------

void StartTransfer(TransferRecord& r, TProtocolType type, bool transmit, TTriggerHandler handler,
                   TPrepareRoutine prepare) {
  TLockGuard lock(r.RecordLock);
  r.ProtocolType = type;
  r.Transmitting = transmit;
  r.BytesInFlight = 0;
  r.TriggerHandler = handler;
  r.FindFirstPending = true;
  TMroBaseDispatcher* d = OpenDispatcher(r.ComPort);
  r.Dispatcher = d;
  if (d == nullptr) {
    r.ProtocolError = ecNotOpen;
    ProtocolFinish(r);
    return;
  }
  d->SetAvailLength(1);
  r.TimeoutTrigger = d->CreateTimerTrigger();
  r.StatusTrigger = d->CreateTimerTrigger();
  r.OutBuffFreeTrigger = d->CreateStatusTrigger(3);
  r.OutBuffUsedTrigger = d->CreateStatusTrigger(4);
  r.ModemTrigger = d->CreateStatusTrigger(1);
  if (r.TimeoutTrigger < 0 || r.StatusTrigger < 0 || r.OutBuffFreeTrigger < 0 || r.OutBuffUsedTrigger < 0 ||
      r.ModemTrigger < 0) {
    r.ProtocolError = ecNoMoreTriggers;
    ProtocolFinish(r);
    return;
  }
  d->SetDataSlot(1, &r);
  // The status shows the time since the start until an engine's data phase
  // starts the clock again.
  NewTimer(r.TransferTimer, 1);
  if (prepare != nullptr) prepare(r);
  if (r.ProtocolError != 0) {
    ProtocolFinish(r);
    return;
  }
  const LPARAM lParam = LPARAM(uint32_t(d->Handle()) << 16);
  // Registered before the first pass: a trigger that pass arms may fire on
  // the dispatcher thread at once, and a hit with no handler to take it is
  // lost. Such a call waits for the record's lock, held until the start is
  // done; a first pass that finishes the transfer unregisters it again.
  if (handler != nullptr) {
    d->RegisterProcHandler(handler);
    handler(0, 0, lParam);
  }
  if (r.ProtocolError != 0) return;
  if (r.Dispatcher == nullptr) return;  // the first pass already finished
  d->ArmTimerTrigger(r.StatusTrigger, r.StatusInterval, true);
  if (r.TransferOptions & tfAbortNoCarrier) {
    if (!d->CarrierPresent()) {
      r.ProtocolError = ecAbortNoCarrier;
      ProtocolFinish(r);
      return;
    }
    d->ArmStatusTrigger(r.ModemTrigger, 0x80, true);
  }
}

void ProtocolFinish(TransferRecord& r) {
  TMroBaseDispatcher* d = r.Dispatcher;
  DestroyTriggers(r);
  if (d != nullptr && r.TriggerHandler != nullptr) d->UnregisterProcHandler(r.TriggerHandler);
  CloseSearch(r);
  if (r.FileOpen) {
    if (r.WorkFile >= 0) ::close(r.WorkFile);
    r.WorkFile = -1;
    r.FileOpen = false;
    r.FileBuffer.clear();
  }
  if (r.ProtocolError == 0) {
    switch (r.ProtocolStatus) {
      case psFileRejected: r.ProtocolError = ecFileRejected; break;
      case psCantWriteFile: r.ProtocolError = ecCantWriteFile; break;
      case psTimeout: r.ProtocolError = ecTimeout; break;
      case psProtocolError: r.ProtocolError = ecProtocolError; break;
      case psCancelRequested: r.ProtocolError = ecCancelRequested; break;
      case psSequenceError: r.ProtocolError = ecSequenceError; break;
      case psAbortNoCarrier: r.ProtocolError = ecAbortNoCarrier; break;
      case psAbort: r.ProtocolError = ecProtocolAbort; break;
      default: break;
    }
  }
  if (d != nullptr) {
    const std::string text = "ErrorCode:" + std::to_string(r.ProtocolError);
    d->AddLogEntry(EngineOf(r.ProtocolType).LogKind, lskFinish, 0, text.data(), uint32_t(text.size()));
    void* slot = nullptr;
    if (d->GetDataSlot(1, slot) >= 0 && slot == &r) d->SetDataSlot(1, nullptr);
  }
  r.Dispatcher = nullptr;
  if (r.MessageWindow != 0)
    PostMessage(r.MessageWindow, MsgProtocolFinish, WPARAM(uint16_t(int16_t(r.ProtocolError))),
                LPARAM(&r));
}

void GotError(TransferRecord& r, int32_t code) {
  ReportError(r, code);
  r.ProtocolError = code;
}

void ReportError(TransferRecord& r, int32_t code) {
  SendReport(r, MsgProtocolError, WPARAM(uint16_t(int16_t(code))), 0);
}

void ShowFirstStatus(TransferRecord& r) {
  r.ShowStatusHook(r, r.InProgress == 0 ? soFirst : 0);
  ++r.InProgress;
}

void StartStatus(TransferRecord& r, bool transmit) {
  if (transmit) r.FindFirstPending = true;
  ResetTransferStatus(r);
  ShowFirstStatus(r);
}

bool AskAccept(TransferRecord& r, bool usable) {
  SetBufferText(r.AcceptName, BufferText(r.PathName));
  if (!usable || !r.AcceptFileHook(r, r.AcceptName.data())) return false;
  if (r.AcceptName[0] != 0) SetBufferText(r.PathName, BufferText(r.AcceptName));
  return true;
}

bool BeginNamedReceive(TransferRecord& r) {
  if (r.UpcaseFileNames) UpcasePathName(r, false);
  r.LogFileHook(r, lfReceiveStart);
  return AskAccept(r);
}

void ShowLastStatus(TransferRecord& r) {
  if (r.InProgress == 0) return;
  r.BytesInFlight = 0;
  --r.InProgress;
  r.ShowStatusHook(r, r.InProgress == 0 ? soLast : 0);
}

void ResetCounts(TransferRecord& r) {
  r.BytesTransferred = 0;
  r.BlockNum = 0;
  r.BlockErrors.Reset();
  r.TotalErrors = 0;
}

void ResetTransferStatus(TransferRecord& r) {
  if (r.InProgress == 0) {
    r.SrcFileLen = 0;
    r.BytesRemaining = 0;
  }
  ResetCounts(r);
  r.ElapsedTicks = 0;
  r.ProtocolStatus = psOK;
  r.ProtocolError = 0;
}

void UpdateElapsedTicks(TransferRecord& r) { r.ElapsedTicks = ElapsedTicks(r.TransferTimer); }

THandlerCall::THandlerCall(LPARAM lParam) {
  // Found and counted under the registry lock: DoneProtocolData takes it
  // before it looks at the count.
  TLockGuard registry(TMroBaseDispatcher::RegistryLock());
  TMroBaseDispatcher* d = TMroBaseDispatcher::LookupDispatcher(int32_t(uint32_t(lParam) >> 16));
  void* ref = nullptr;
  if (d == nullptr || d->GetDataSlot(1, ref) < 0 || ref == nullptr) return;
  record_ = static_cast<TransferRecord*>(ref);
  record_->HandlerCalls.fetch_add(1, std::memory_order_acq_rel);
}

THandlerCall::~THandlerCall() {
  if (record_ != nullptr) record_->HandlerCalls.fetch_sub(1, std::memory_order_acq_rel);
}

bool HandlerPassHead(TransferRecord& r, UINT msg, WPARAM wParam, uint8_t logKind, uint8_t subKind) {
  TMroBaseDispatcher* d = r.Dispatcher;
  if (d != nullptr && d->Logging()) d->AddLogEntry(logKind, subKind, 0, nullptr, 0);
  bool finished = false;
  if ((wParam != 0 && int32_t(wParam) == r.ModemTrigger) || msg == MsgProtocolCancel) {
    r.ProtocolStatus = msg == MsgProtocolCancel ? psCancelRequested : psAbortNoCarrier;
    PurgeOutputOfPort(r);
    r.ForceStatus = false;
    finished = true;
  }
  if (!finished && ((wParam != 0 && int32_t(wParam) == r.StatusTrigger) || r.ForceStatus)) {
    UpdateElapsedTicks(r);
    int32_t left = 0;
    if (d == nullptr || d->TimerTicksLeft(r.StatusTrigger, left) < 0) left = 0;
    if (left <= 0) {
      // What still waits for the line is not sent yet: the rate never
      // exceeds what the line carries.
      r.BytesInFlight = r.Transmitting && d != nullptr ? int64_t(d->OutputInFlight()) : 0;
      r.ShowStatusHook(r, 0);
      if (d != nullptr) d->ArmTimerTrigger(r.StatusTrigger, r.StatusInterval, true);
      r.ForceStatus = false;
    }
  }
  return finished;
}

void PurgeOutputOfPort(TransferRecord& r) {
  if (r.Dispatcher != nullptr) r.Dispatcher->PurgeOutput();
}

void PurgeInputOfPort(TransferRecord& r) {
  if (r.Dispatcher != nullptr) r.Dispatcher->PurgeInput();
}

void ArmTimer(TransferRecord& r, int32_t handle, int32_t ticks) {
  if (r.Dispatcher != nullptr) r.Dispatcher->ArmTimerTrigger(handle, ticks, true);
}

void ArmStatus(TransferRecord& r, int32_t handle, uint16_t value) {
  if (r.Dispatcher != nullptr) r.Dispatcher->ArmStatusTrigger(handle, value, true);
}

// --- Reports ------------------------------------------------------------------------------

void SendStatusReport(TransferRecord& r, uint16_t options) { SendReport(r, MsgProtocolStatus, options, LPARAM(&r)); }

void SendLogReport(TransferRecord& r, uint16_t code) { SendReport(r, MsgProtocolLog, code, LPARAM(&r)); }

bool SendNextFileQuery(TransferRecord& r, char* name) {
  return SendReport(r, MsgProtocolNextFile, 0, LPARAM(name)) != 0;
}

bool SendAcceptQuery(TransferRecord& r, char* name) {
  return SendQuery(r, MsgProtocolAcceptFile, 0, LPARAM(name), "accept") == 1;
}

TWriteFailAction SendResumeQuery(TransferRecord& r) {
  return TWriteFailAction(SendQuery(r, MsgProtocolResume, r.WriteFailAction, LPARAM(&r), "resume"));
}

// --- The file list of a mask ------------------------------------------------------------

void CloseSearch(TransferRecord& r) {
  r.SearchRec = TSearchRec{};
  r.SearchOpen = false;
}

namespace {

// Lists the regular files of the mask's directory whose names match it.
// 0, 3 when the directory is missing, or 18 when nothing matches.
int32_t FindFirst(const std::string& mask, TSearchRec& rec) {
  const std::string dir = JustPathname(mask);
  const std::string pattern = JustFilename(mask);
  rec = TSearchRec{};
  DIR* dp = opendir(dir.empty() ? "." : dir.c_str());
  if (dp == nullptr) return errno == ENOENT || errno == ENOTDIR ? 3 : IoError(errno);
  while (dirent* e = readdir(dp)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    if (fnmatch(pattern.c_str(), name.c_str(), 0) != 0) continue;
    struct stat st {};
    const std::string full = AddTrailingSlash(dir) + name;
    if (stat(full.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    rec.Names.push_back(name);
  }
  closedir(dp);
  std::sort(rec.Names.begin(), rec.Names.end());
  return rec.Names.empty() ? 18 : 0;
}

}  // namespace

bool NextFileFromMask(TransferRecord& r, char* name) {
  const std::string mask = BufferText(r.FileMask);
  name[0] = 0;
  if (mask.empty()) {
    GotError(r, ecNoSearchMask);
    return false;
  }
  int32_t result = 0;
  if (r.FindFirstPending) {
    result = FindFirst(mask, r.SearchRec);
    r.SearchOpen = true;
    if (result == 18) {
      GotError(r, ecNoMatchingFiles);
      CloseSearch(r);
      return false;
    }
    if (result == 0) r.FindFirstPending = false;
  } else if (!r.SearchOpen || r.SearchRec.Next >= r.SearchRec.Names.size()) {
    result = 18;
  }
  if (result != 0) {
    if (result == 3)
      GotError(r, ecDirNotFound);
    else if (result != 18)
      GotError(r, -result);
    CloseSearch(r);
    return false;
  }
  const std::string dir = JustPathname(mask);
  std::string full = (dir.empty() ? std::string() : AddTrailingSlash(dir)) + r.SearchRec.Names[r.SearchRec.Next++];
  full.resize(std::min(full.size(), kMaxPathChars));
  std::memcpy(name, full.c_str(), full.size() + 1);
  return true;
}

// --- Reading ---------------------------------------------------------------------------------

void DefPrepareReading(TransferRecord& r) {
  r.ProtocolError = 0;
  if (r.FileOpen) return;
  const std::string path = BufferText(r.PathName);
  if (path.empty()) {
    GotError(r, ecFileNotFound);
    return;
  }
  r.FileBuffer.assign(kFileBufferSize, 0);
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st {};
  if (fd >= 0 && (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode))) {
    const int err = S_ISDIR(st.st_mode) ? EACCES : errno;
    ::close(fd);
    r.FileBuffer.clear();
    GotError(r, -IoError(err));
    return;
  }
  if (fd < 0) {
    const int err = errno;
    r.FileBuffer.clear();
    GotError(r, -IoError(err));
    return;
  }
  r.WorkFile = fd;
  r.SrcFileLen = uint64_t(st.st_size);
  r.BytesRemaining = int64_t(r.SrcFileLen);
  r.ShowStatusHook(r, 0);
  r.SrcFileDate = FileDateOf(fd);
  r.FileOffset = r.BufferStart = r.BufferEnd = r.LastOffset = 0;
  r.EndPending = false;
  r.FileOpen = true;
}

bool DefReadBlock(TransferRecord& r, uint8_t* block, uint32_t& count) {
  if (r.FileOffset >= r.SrcFileLen) {
    count = 0;
    return true;
  }
  if (count > kFileBufferSize) count = kFileBufferSize;
  if (r.BufferEnd < r.FileOffset) r.BufferEnd = r.FileOffset;
  // A step back within the window reads nothing; before its start the window
  // is read again from there.
  if (r.FileOffset < r.LastOffset && r.FileOffset < r.BufferStart) r.BufferEnd = r.FileOffset;
  if (r.BufferEnd < r.FileOffset + count) {
    uint32_t keep = uint32_t(r.BufferEnd - r.FileOffset);
    // A window that holds the end of the data has fill behind it: only the
    // data is kept, and reading goes on where the data ended.
    if (r.EndPending && r.EndOfData < r.BufferEnd)
      keep = r.EndOfData > r.FileOffset ? uint32_t(r.EndOfData - r.FileOffset) : 0;
    if (keep > 0) std::memmove(r.FileBuffer.data(), r.FileBuffer.data() + (r.FileOffset - r.BufferStart), keep);
    ssize_t got = -1;
    if (lseek(r.WorkFile, off_t(r.FileOffset + keep), SEEK_SET) >= 0) {
      uint32_t total = 0;
      while (total < kFileBufferSize - keep) {
        const ssize_t n = ::read(r.WorkFile, r.FileBuffer.data() + keep + total, kFileBufferSize - keep - total);
        if (n < 0) {
          if (errno == EINTR) continue;
          total = UINT32_MAX;
          break;
        }
        if (n == 0) break;
        total += uint32_t(n);
      }
      if (total != UINT32_MAX) got = ssize_t(total);
    }
    if (got < 0) {
      GotError(r, -IoError(errno));
      count = 0;
      return true;
    }
    r.BufferStart = r.FileOffset;
    r.BufferEnd = r.FileOffset + kFileBufferSize;
    if (uint32_t(got) < kFileBufferSize - keep) {
      r.EndOfData = r.BufferStart + keep + uint32_t(got);
      std::memset(r.FileBuffer.data() + keep + got, kBlockFillChar, kFileBufferSize - keep - uint32_t(got));
      r.EndPending = true;
    } else {
      r.EndPending = false;
    }
  }
  std::memcpy(block, r.FileBuffer.data() + (r.FileOffset - r.BufferStart), count);
  r.LastOffset = r.FileOffset;
  if (!r.EndPending || r.FileOffset + count < r.EndOfData) return false;
  count = uint32_t(r.EndOfData - r.FileOffset);
  return true;
}

void DefFinishReading(TransferRecord& r) {
  if (!r.FileOpen) return;
  ::close(r.WorkFile);
  r.WorkFile = -1;
  r.FileBuffer.clear();
  r.FileOpen = false;
}

// --- Writing ---------------------------------------------------------------------------------

namespace {

// The length of the valid UTF-8 sequence at `at` (0 when there is none).
size_t Utf8Length(const std::string& s, size_t at) {
  const auto c = static_cast<unsigned char>(s[at]);
  size_t n = 0;
  uint32_t cp = 0;
  if (c >= 0xC2 && c <= 0xDF) n = 2, cp = c & 0x1F;
  else if (c >= 0xE0 && c <= 0xEF) n = 3, cp = c & 0x0F;
  else if (c >= 0xF0 && c <= 0xF4) n = 4, cp = c & 0x07;
  else return 0;
  if (at + n > s.size()) return 0;
  for (size_t i = 1; i < n; ++i) {
    const auto b = static_cast<unsigned char>(s[at + i]);
    if ((b & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b & 0x3F);
  }
  const uint32_t least = n == 2 ? 0x80 : n == 3 ? 0x800 : 0x10000;
  if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  // A C1 control written in UTF-8 is still a control.
  if (cp < 0xA0) return 0;
  return n;
}

// The directory a received path is opened in, and the path below it: the
// destination directory when the path lies inside it, otherwise the path's
// own directory (a name the application chose).
void SplitReceivePath(const TransferRecord& r, const std::string& path, std::string& base, std::string& rel) {
  const std::string dest = BufferText(r.DestinationDirectory);
  const std::string root = AddTrailingSlash(dest);
  if (!dest.empty() && path.size() > root.size() && path.compare(0, root.size(), root) == 0) {
    base = dest;
    rel = path.substr(root.size());
  } else if (dest.empty() && !path.empty() && path[0] != '/') {
    base = ".";
    rel = path;
  } else {
    base = JustPathname(path);
    if (base.empty()) base = ".";
    rel = JustFilename(path);
  }
}

class TDirFd {
 public:
  explicit TDirFd(int fd = -1) : fd_(fd) {}
  ~TDirFd() { Reset(-1); }
  TDirFd(const TDirFd&) = delete;
  TDirFd& operator=(const TDirFd&) = delete;
  void Reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  int Get() const { return fd_; }
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

// Opens the directory that holds the last name of `rel` below `base`, one
// name at a time and never through a symbolic link; missing directories are
// made when `makeDirs`. -1 with errno on failure (ENOTDIR: a part of the path
// is a file or a link).
int OpenParentBelow(const std::string& base, const std::string& rel, bool makeDirs, std::string& last) {
  TDirFd dir(::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.Get() < 0) return -1;
  size_t from = 0;
  for (size_t slash = rel.find('/'); slash != std::string::npos; from = slash + 1, slash = rel.find('/', from)) {
    const std::string part = rel.substr(from, slash - from);
    if (part.empty() || part == ".") continue;
    int next = ::openat(dir.Get(), part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0 && errno == ENOENT && makeDirs) {
      if (::mkdirat(dir.Get(), part.c_str(), 0755) != 0 && errno != EEXIST) return -1;
      next = ::openat(dir.Get(), part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    }
    if (next < 0) {
      if (errno == ELOOP) errno = ENOTDIR;
      return -1;
    }
    dir.Reset(next);
  }
  last = rel.substr(from);
  return dir.Release();
}

}  // namespace

std::string CleanPeerName(const std::string& name) {
  std::string out;
  out.reserve(name.size());
  for (size_t i = 0; i < name.size();) {
    const auto c = static_cast<unsigned char>(name[i]);
    if (c >= 0x80) {
      const size_t n = Utf8Length(name, i);
      if (n > 0) {
        out.append(name, i, n);
        i += n;
        continue;
      }
      // A C1 byte (alone, or as a UTF-8 control) is replaced; other bytes
      // of another code page stay.
      const bool c1 = c < 0xA0 || (c == 0xC2 && i + 1 < name.size() &&
                                   static_cast<unsigned char>(name[i + 1]) >= 0x80 &&
                                   static_cast<unsigned char>(name[i + 1]) < 0xA0);
      if (c1 && c == 0xC2) ++i;
      out += c1 ? '_' : char(c);
      ++i;
      continue;
    }
    out += c < 0x20 || c == 0x7F ? '_' : char(c);
    ++i;
  }
  return out;
}

TPlaceResult PlaceReceivedName(TransferRecord& r, const std::string& peerName, bool keepDirs) {
  const std::string clean = CleanPeerName(peerName);
  std::string path;
  const TPlaceResult result = BuildReceivePath(r, clean, keepDirs, path) ? TPlaceResult::Placed
                              : path.empty()                             ? TPlaceResult::Unusable
                                                                         : TPlaceResult::TooLong;
  if (result != TPlaceResult::Placed) {
    // Shown as sent (cleaned); never used as a place to write.
    SetBufferText(r.PathName, JustFilename(clean));
    if (result == TPlaceResult::TooLong) ReportError(r, ecNameTooLong);
    return result;
  }
  SetBufferText(r.PathName, path);
  return result;
}

int ProbeReceivedFile(const TransferRecord& r, const std::string& path, struct stat& st) {
  std::string base, rel, last;
  SplitReceivePath(r, path, base, rel);
  TDirFd dir(OpenParentBelow(base, rel, false, last));
  if (dir.Get() < 0) return errno;
  if (last.empty()) return ENOENT;
  return ::fstatat(dir.Get(), last.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : errno;
}

int OpenReceivedFile(const TransferRecord& r, const std::string& path, int flags) {
  std::string base, rel, last;
  SplitReceivePath(r, path, base, rel);
  const bool makeDirs = (flags & O_CREAT) != 0 && (r.TransferOptions & tfHonorDirectory) != 0;
  TDirFd dir(OpenParentBelow(base, rel, makeDirs, last));
  if (dir.Get() < 0) return -1;
  if (last.empty()) {
    errno = ENOENT;
    return -1;
  }
  const int fd = ::openat(dir.Get(), last.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0 && errno == ELOOP) errno = EEXIST;  // a link is an existing file, never followed
  return fd;
}

std::string DollarName(const std::string& path, uint32_t attempt) {
  const std::string dir = JustPathname(path);
  const std::string name = JustFilename(path);
  std::string out = "$";
  if (attempt > 1) out += std::to_string(attempt);
  out += name.size() > 1 ? name.substr(1) : std::string();
  return (dir.empty() ? std::string() : AddTrailingSlash(dir)) + out;
}

int CreateRenamedFile(TransferRecord& r, std::string& path) {
  for (uint32_t attempt = 1; attempt <= kMaxRenameAttempts; ++attempt) {
    const std::string candidate = DollarName(path, attempt);
    if (candidate.size() > kMaxPathChars) break;
    const int fd = OpenReceivedFile(r, candidate, O_WRONLY | O_CREAT | O_EXCL);
    if (fd >= 0) {
      path = candidate;
      return fd;
    }
    if (errno != EEXIST) return -1;
  }
  errno = EEXIST;
  return -1;
}

bool SkipsWhenUnplaceable(TransferRecord& r, int err) {
  // A directory part that is a file (or a link) makes only this file
  // impossible: it is skipped, not the session.
  if (err != ENOTDIR) return false;
  r.ProtocolStatus = psCantWriteFile;
  RefreshStatus(r);
  return true;
}

void DefPrepareWriting(TransferRecord& r) {
  r.FileBuffer.assign(kFileBufferSize, 0);
  std::string path = BufferText(r.PathName);
  auto fail = [&](int err) {
    r.FileBuffer.clear();
    if (!SkipsWhenUnplaceable(r, err)) GotError(r, -IoError(err));
  };
  struct stat st {};
  const int probe = ProbeReceivedFile(r, path, st);
  const bool exists = probe == 0;
  if (!exists && probe != ENOENT) return fail(probe);
  if (exists && r.WriteFailAction == wfWriteFail) {
    r.ProtocolStatus = psCantWriteFile;
    RefreshStatus(r);
    r.FileBuffer.clear();
    return;
  }
  // Only a regular file is ever replaced: a link, a directory or a device of
  // that name stays, and the data arrives under a new name.
  const bool rename = exists && (r.WriteFailAction == wfWriteRename || !S_ISREG(st.st_mode));
  int fd = -1;
  if (rename) {
    fd = CreateRenamedFile(r, path);
    SetBufferText(r.PathName, path);
  } else {
    fd = OpenReceivedFile(r, path, O_WRONLY | O_CREAT | O_TRUNC);
  }
  if (fd < 0) return fail(errno);
  r.ShowStatusHook(r, 0);
  r.WorkFile = fd;
  r.FileOffset = 0;
  r.BufferStart = 0;
  r.LastOffset = 0;
  r.BufferEnd = kFileBufferSize;
  r.FileOpen = true;
}

bool DefWriteBlock(TransferRecord& r, const uint8_t* block, uint32_t count) {
  r.ProtocolError = 0;
  if (!r.FileOpen) {
    GotError(r, ecNotOpen);
    return true;
  }
  if (count > kFileBufferSize) {
    // Larger than the window: flush, then write straight through.
    if (!FlushBuffer(r)) return true;
    if (lseek(r.WorkFile, off_t(r.FileOffset), SEEK_SET) < 0 || !WriteAll(r, block, count)) {
      if (r.ProtocolError == 0) GotError(r, -IoError(errno));
      return true;
    }
    r.BufferStart = r.FileOffset + count;
    r.BufferEnd = r.BufferStart + kFileBufferSize;
    r.LastOffset = r.BufferStart;
    return false;
  }
  // A step back, a jump ahead or a full window: what the window holds goes
  // to the file and a new window starts at FileOffset.
  if (r.FileOffset != r.LastOffset || r.FileOffset < r.BufferStart || r.BufferEnd < r.FileOffset + count) {
    if (!FlushBuffer(r)) return true;
    r.BufferStart = r.FileOffset;
    r.BufferEnd = r.FileOffset + kFileBufferSize;
    r.LastOffset = r.FileOffset;
  }
  std::memcpy(r.FileBuffer.data() + (r.FileOffset - r.BufferStart), block, count);
  r.LastOffset = r.FileOffset + count;
  return false;
}

void DefFinishWriting(TransferRecord& r) {
  if (!r.FileOpen) return;
  FlushBuffer(r);
  struct stat st {};
  if (fstat(r.WorkFile, &st) == 0) r.SrcFileLen = uint64_t(st.st_size);
  r.SrcFileDate = FileDateOf(r.WorkFile);
  if (::close(r.WorkFile) != 0) GotError(r, -IoError(errno));
  r.WorkFile = -1;
  r.FileBuffer.clear();
  r.FileOpen = false;
}

// --- Names -----------------------------------------------------------------------------------

void UpcasePathName(TransferRecord& r, bool forReading) {
  const std::string path = BufferText(r.PathName);
  const std::string dir = JustPathname(path);
  std::string name = JustFilename(path);
  for (char& c : name) c = char(std::toupper(static_cast<unsigned char>(c)));
  const std::string upper = (dir.empty() ? std::string() : AddTrailingSlash(dir)) + name;
  if (upper == path) return;
  if (forReading && !ExistFile(upper)) return;
  SetBufferText(r.PathName, upper);
}

bool BuildReceivePath(const TransferRecord& r, const std::string& peerName, bool keepDirs, std::string& out) {
  std::vector<std::string> parts;
  std::string part;
  auto flush = [&] {
    if (!part.empty() && part != "." && part != "..") parts.push_back(part);
    part.clear();
  };
  for (char c : peerName) {
    if (c == '/' || c == '\\' || c == ':')
      flush();
    else if (c != 0)
      part += c;
  }
  flush();
  out.clear();
  if (parts.empty()) return false;
  std::string rel;
  if (keepDirs) {
    for (size_t i = 0; i < parts.size(); ++i) rel += (i ? "/" : "") + parts[i];
  } else {
    rel = parts.back();
  }
  out = AddTrailingSlash(BufferText(r.DestinationDirectory)) + rel;
  // Never cut: a cut name is another name (`out` keeps the whole path).
  return out.size() <= kMaxPathChars;
}

// --- Block checks ----------------------------------------------------------------------------

int32_t LineTicks(const TransferRecord& r, uint64_t bytes) {
  return int32_t(std::min<uint64_t>(bytes * 1000 / LineCps(r) / kMsPerTick + 1, 1u << 24));
}

uint8_t UpdateChecksum(uint8_t byte, uint8_t sum) { return uint8_t(sum + byte); }

uint16_t UpdateCrc16(uint8_t byte, uint16_t crc) { return crc_detail::Crc16Step(byte, crc); }

uint32_t UpdateCrc32(uint8_t byte, uint32_t crc) { return crc_detail::Crc32Step(byte, crc); }

uint16_t UpdateCrcKermit(uint8_t byte, uint16_t crc) {
  for (int i = 0; i < 8; ++i) {
    const bool mix = ((crc ^ byte) & 1) != 0;
    crc = uint16_t(crc >> 1);
    if (mix) crc ^= 0x8408;
    byte = uint8_t(byte >> 1);
  }
  return crc;
}

uint32_t FileCrc32(TransferRecord& r, const std::string& fileName, uint32_t limit) {
  r.FileCrc = 0;
  const int fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    GotError(r, -IoError(errno));
    return 0;
  }
  uint32_t crc = 0xFFFFFFFFu;
  std::vector<uint8_t> buf(kFileBufferSize);
  uint64_t left = limit == 0 ? UINT64_MAX : limit;
  while (left > 0) {
    const ssize_t n = ::read(fd, buf.data(), size_t(std::min<uint64_t>(left, buf.size())));
    if (n <= 0) break;
    for (ssize_t i = 0; i < n; ++i) crc = UpdateCrc32(buf[size_t(i)], crc);
    left -= uint64_t(n);
  }
  ::close(fd);
  r.FileCrc = crc;
  return crc;
}

// --- Other helpers ---------------------------------------------------------------------------

std::string OctalStr(uint32_t value) {
  std::string s(12, '0');
  for (int i = 11; i >= 0 && value != 0; --i, value >>= 3) s[size_t(i)] = char('0' + (value & 7));
  return s;
}

uint64_t OctalValue(const std::string& text) {
  size_t b = 0, e = text.size();
  while (e > b && static_cast<unsigned char>(text[e - 1]) < 33) --e;
  while (b < e && (static_cast<unsigned char>(text[b]) < 33 || text[b] == '0')) ++b;
  if (e - b > 11) return 0;
  uint64_t v = 0;
  for (size_t i = b; i < e; ++i) {
    if (text[i] < '0' || text[i] > '7') return 0;
    v = v * 8 + uint64_t(text[i] - '0');
  }
  return v;
}

uint32_t OctalStr2Long(const std::string& text) {
  // Eleven digits hold 33 bits: a value beyond 32 is no value.
  const uint64_t v = OctalValue(text);
  return v > UINT32_MAX ? 0 : uint32_t(v);
}

uint32_t PackUnixDate(int64_t unixSeconds) {
  const time_t t = time_t(unixSeconds);
  tm lt {};
  if (localtime_r(&t, &lt) == nullptr || lt.tm_year < 80) return 0;
  const uint32_t date = uint32_t(((lt.tm_year - 80) << 9) | ((lt.tm_mon + 1) << 5) | lt.tm_mday);
  const uint32_t tod = uint32_t((lt.tm_hour << 11) | (lt.tm_min << 5) | (lt.tm_sec / 2));
  return (date << 16) | tod;
}

int64_t DosDateToUnix(uint32_t dosDate) {
  if (dosDate == 0) return 0;
  tm lt {};
  const uint32_t date = dosDate >> 16, tod = dosDate & 0xFFFF;
  lt.tm_year = int((date >> 9) & 0x7F) + 80;
  lt.tm_mon = int((date >> 5) & 0x0F) - 1;
  lt.tm_mday = int(date & 0x1F);
  lt.tm_hour = int(tod >> 11);
  lt.tm_min = int((tod >> 5) & 0x3F);
  lt.tm_sec = int(tod & 0x1F) * 2;
  lt.tm_isdst = -1;
  const time_t t = mktime(&lt);
  return t == time_t(-1) ? 0 : int64_t(t);
}

std::string StatusText(int32_t code) {
  if ((code >= 4700 && code <= 4723) || code == 4730) return MeroErrorStrings().GetText(uint32_t(code));
  return {};
}

}  // namespace zav
