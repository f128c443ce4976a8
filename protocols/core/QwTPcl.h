// The protocol engine core: the record's life and settings, the start and
// finish of a transfer, reports to the component's window, the file list of a
// mask, buffered file reading and writing, block checks and small helpers.
//
// Results are 0 or a negative error code (QxExcept.h). Errors met inside a
// transfer go through GotError: the component hears of them at once, and the
// transfer finishes with the same code.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <sys/stat.h>

#include <chrono>

#include "protocols/core/QwAbsPcl.h"
#include "serial/QxExcept.h"
#include "serial/ZiRode.h"

namespace zav {

// The longest a handler call can wait on the application: a question's wait
// (kQueryTimeoutMs below) and some.
inline constexpr std::chrono::milliseconds kHandlerCallLimit{60000 + 5000};

// --- Record life and settings ---
int32_t InitProtocolData(std::unique_ptr<TransferRecord>& record, TMroCustomComPort* port, uint32_t options);
// Frees the record once no handler call holds it. One that a call still
// holds after `limit` (a call that never ends: a fault) is kept, not freed
// under it, and reported; it is freed by a later call here once its calls end.
void DoneProtocolData(std::unique_ptr<TransferRecord>& record,
                      std::chrono::milliseconds limit = kHandlerCallLimit);
// Records and areas kept because a handler call still held them.
size_t KeptForHandlerCalls();
// Copies everything but the lock (the protocol area is cloned).
void CopyProtocolData(TransferRecord& dst, const TransferRecord& src);
void SetFileHooksToDefaults(TransferRecord& r);
// The record's figures an engine sets when it takes the record; an empty one
// keeps the record's value.
struct TRecordFigures {
  std::optional<TBlockCheckMethod> CheckType{};
  std::optional<uint32_t> BlockSize{};
  std::optional<int32_t> ReceiveTimeout{}, HandshakeWait{}, FinishWait{};
  std::optional<uint32_t> Overhead{}, TurnDelay{};
};
void SetRecordFigures(TransferRecord& r, const TRecordFigures& figures);
// An engine takes the record: its new area, its protocol type, the default
// file hooks and its own figures. Returns the area.
template <class Area>
Area& InstallArea(TransferRecord& r, TProtocolType type, const TRecordFigures& figures = {}) {
  auto area = std::make_unique<Area>();
  Area& a = *area;
  r.Area = std::move(area);
  r.ProtocolType = type;
  SetFileHooksToDefaults(r);
  SetRecordFigures(r, figures);
  return a;
}
// An engine lets the record go: its area is dropped when it is the engine's
// own. Returns whether it was.
template <class Area>
bool RemoveArea(TransferRecord& r) {
  if (dynamic_cast<Area*>(r.Area.get()) == nullptr) return false;
  r.Area.reset();
  return true;
}
void SetPort(TransferRecord& r, TMroCustomComPort* port);
void SetMessageWindow(TransferRecord& r, HWND window);
// ActualCPS := baud / (data bits + 2, + 1 with parity); bits 10 on a closed port.
void SetActualBaud(TransferRecord& r, int32_t baud);

// --- Transfers ---
void StartTransfer(TransferRecord& r, TProtocolType type, bool transmit, TTriggerHandler handler,
                   TPrepareRoutine prepare);
void ProtocolFinish(TransferRecord& r);
void GotError(TransferRecord& r, int32_t code);
// Tells the application of an error that does not end the transfer.
void ReportError(TransferRecord& r, int32_t code);
void ShowFirstStatus(TransferRecord& r);
void ShowLastStatus(TransferRecord& r);
void ResetTransferStatus(TransferRecord& r);
// The bytes, blocks and errors counted start again (a transfer's or a file's).
void ResetCounts(TransferRecord& r);
void UpdateElapsedTicks(TransferRecord& r);
// The head of an engine's prepare routine: the engine's area, or null (with
// ecBadProtocolFunction) when the record holds another protocol's.
template <class Area>
Area* AreaToPrepare(TransferRecord& r, Area* (*areaOf)(TransferRecord&)) {
  Area* a = areaOf(r);
  if (a == nullptr) r.ProtocolError = ecBadProtocolFunction;
  return a;
}
// A transfer's status starts afresh and its first report goes out; a
// transmit's search of the file mask starts again.
void StartStatus(TransferRecord& r, bool transmit);
// A transmit's first file from the file hook; false when there is none. The
// transfer then ends here, with code 0 when nothing failed, once `done` has
// put the engine in its final state.
template <class Done>
bool FirstFileToSend(TransferRecord& r, Done done) {
  if (r.NextFileHook(r, r.PathName.data())) return true;
  r.PathName[0] = 0;
  ShowLastStatus(r);
  done();
  if (r.ProtocolError == 0) ProtocolFinish(r);
  return false;
}

// A handler call's record: the one of the dispatcher named by lParam (data
// slot 1), null when either is gone. The call counts itself on the record
// while it lasts, so that the record is not freed (DoneProtocolData waits)
// while a call that found it still waits for its lock.
class THandlerCall {
 public:
  explicit THandlerCall(LPARAM lParam);
  ~THandlerCall();
  THandlerCall(const THandlerCall&) = delete;
  THandlerCall& operator=(const THandlerCall&) = delete;
  TransferRecord* Record() const { return record_; }

 private:
  TransferRecord* record_ = nullptr;
};

// The head of every engine's trigger handler: the call's record under its
// lock for the whole call, and the engine's area in it. Nothing runs when the
// record is gone, holds another engine's area (the protocol was switched) or
// has no dispatcher (the transfer ended). MsgTriggerAvail's wParam is a byte
// count, not a trigger: the pass sees 0.
template <class Area, class Pass>
void RunHandlerPass(UINT msg, WPARAM wParam, LPARAM lParam, Area* (*areaOf)(TransferRecord&), Pass pass) {
  const THandlerCall call(lParam);
  TransferRecord* r = call.Record();
  if (r == nullptr) return;
  TLockGuard lock(r->RecordLock);
  Area* a = areaOf(*r);
  if (a == nullptr || r->Dispatcher == nullptr) return;
  if (msg == MsgTriggerAvail) wParam = 0;
  pass(*r, *a, msg, wParam);
}

// The body of an engine's setter: ecBadProtocolFunction when the record holds
// another protocol's area, ecBadArgument when the value is not `valid`,
// otherwise `set` changes the area and the result is 0.
template <class Area, class Set>
int32_t SetInArea(TransferRecord& r, Area* (*areaOf)(TransferRecord&), bool valid, Set set) {
  Area* a = areaOf(r);
  if (a == nullptr) return ecBadProtocolFunction;
  if (!valid) return ecBadArgument;
  set(*a);
  return 0;
}
template <class Area, class Set>
int32_t SetInArea(TransferRecord& r, Area* (*areaOf)(TransferRecord&), Set set) {
  return SetInArea(r, areaOf, true, set);
}

// Waits until no handler call that found `r` is left (true), at most
// `limit` (false: a call is still under way): a call that found it before its
// transfer ended may still wait for its lock, and the record's area must not
// change or go under it.
bool WaitForHandlerCalls(TransferRecord& r, std::chrono::milliseconds limit = kHandlerCallLimit);
// The record's area goes, or is kept while a handler call still holds it
// (reported as DoneProtocolData's record is).
void DropArea(TransferRecord& r, std::chrono::milliseconds limit = kHandlerCallLimit);

// The common head of a handler pass: the dispatch-log entry, then cancel or
// carrier loss (returns true: the caller goes to its "finished" state), then
// the status pacing.
bool HandlerPassHead(TransferRecord& r, UINT msg, WPARAM wParam, uint8_t logKind, uint8_t subKind);
// Asks for a status report at the next handler pass (paced by StatusInterval).
inline void RefreshStatus(TransferRecord& r) { r.ForceStatus = true; }
void PurgeOutputOfPort(TransferRecord& r);
void PurgeInputOfPort(TransferRecord& r);

// Trigger operations on the transfer's dispatcher (ignored when it is gone).
void ArmTimer(TransferRecord& r, int32_t handle, int32_t ticks);
void ArmStatus(TransferRecord& r, int32_t handle, uint16_t value);

// --- Reports to the component's window ---
void SendStatusReport(TransferRecord& r, uint16_t options);
void SendLogReport(TransferRecord& r, uint16_t code);
bool SendNextFileQuery(TransferRecord& r, char* name);
bool SendAcceptQuery(TransferRecord& r, char* name);
// The accept question for the file in PathName, asked only when its name is
// `usable`: false when refused. An accepted file takes the name the answer
// gave, if any.
bool AskAccept(TransferRecord& r, bool usable = true);
// A receive's file named by the application in PathName: upper case where
// that is set, its start logged, then the accept question (false: refused).
bool BeginNamedReceive(TransferRecord& r);
TWriteFailAction SendResumeQuery(TransferRecord& r);
constexpr uint32_t kReportTimeoutMs = 1000;
// The accept and resume questions wait this long: a handler may ask the user.
constexpr uint32_t kQueryTimeoutMs = 60000;

// --- The file list of a mask ---
bool NextFileFromMask(TransferRecord& r, char* name);
void CloseSearch(TransferRecord& r);

// --- Default file hooks ---
void DefPrepareReading(TransferRecord& r);
bool DefReadBlock(TransferRecord& r, uint8_t* block, uint32_t& count);
void DefFinishReading(TransferRecord& r);
void DefPrepareWriting(TransferRecord& r);
bool DefWriteBlock(TransferRecord& r, const uint8_t* block, uint32_t count);
void DefFinishWriting(TransferRecord& r);

// --- Names ---
// PathName in upper case where that is safe on a case-sensitive system: only
// the file-name part, and for a file to read only when the upper-case name
// exists (otherwise the name stays as it is).
void UpcasePathName(TransferRecord& r, bool forReading);
// The place of a file named by the peer: its name joined to the destination
// directory, never outside it. With `keepDirs` the name's own relative
// directories are kept (absolute parts and ".." dropped). False when nothing
// usable is left of the name.
// A path over 255 bytes is never cut: false, with the whole path in `out`.
bool BuildReceivePath(const TransferRecord& r, const std::string& peerName, bool keepDirs, std::string& out);

// --- The one way from a received name to an open file ---
// A peer's name with its control bytes (below 0x20, 0x7F, and C1 controls,
// alone or in UTF-8) replaced by "_", so no name carries a terminal escape.
std::string CleanPeerName(const std::string& name);
enum class TPlaceResult { Placed, Unusable, TooLong };
// Cleans and places a peer's name in PathName. Unusable (nothing left) and TooLong leave the cleaned
// name in PathName for the log only; TooLong is reported as "File name too
// long" without ending the transfer: the engine skips the file.
TPlaceResult PlaceReceivedName(TransferRecord& r, const std::string& peerName, bool keepDirs);
// The state of a received path without following a link anywhere below the
// destination: 0 (st filled, a link is S_ISLNK), or the errno (ENOENT: free;
// ENOTDIR: a directory part is a file or a link).
int ProbeReceivedFile(const TransferRecord& r, const std::string& path, struct stat& st);
// Opens a received path relative to the destination directory one name at a
// time with O_NOFOLLOW: no link is followed, for the file or a directory on
// its path. With O_CREAT and HonorDirectory the missing directories are
// made (after the application accepted the file). A link in the file's place
// fails with EEXIST. -1 with errno on failure.
int OpenReceivedFile(const TransferRecord& r, const std::string& path, int flags);
// The `$` names of an existing file: the first character replaced by "$",
// then "$2", "$3", ... in its place.
std::string DollarName(const std::string& path, uint32_t attempt);
constexpr uint32_t kMaxRenameAttempts = 999;
// Creates the first free `$` name of `path` (never replacing a file) and
// stores it in `path`. -1 with errno when none is free.
int CreateRenamedFile(TransferRecord& r, std::string& path);
// ENOTDIR (a directory part is a file): the file is skipped with status
// psCantWriteFile, true. Any other error: false.
bool SkipsWhenUnplaceable(TransferRecord& r, int err);

// --- The line's time ---
// The speed assumed while the line's is unknown (a closed port): 9600 baud.
constexpr uint32_t kUnknownLineCps = 960;
// Characters a second on the line.
inline uint32_t LineCps(const TransferRecord& r) { return r.ActualCPS > 0 ? r.ActualCPS : kUnknownLineCps; }
// The 55 ms ticks the line needs for `bytes`, one more than their whole
// ticks (at most 2^24).
int32_t LineTicks(const TransferRecord& r, uint64_t bytes);

// --- Block checks ---
uint8_t UpdateChecksum(uint8_t byte, uint8_t sum);
uint16_t UpdateCrc16(uint8_t byte, uint16_t crc);
uint32_t UpdateCrc32(uint8_t byte, uint32_t crc);
uint16_t UpdateCrcKermit(uint8_t byte, uint16_t crc);
// CRC-32 over the first `limit` bytes of a file (all with 0), without the final
// inversion; stored in FileCrc.
uint32_t FileCrc32(TransferRecord& r, const std::string& fileName, uint32_t limit);

// --- Other helpers ---
// errno as a positive error number: 101 for a full disk (ecDiskFull in every
// engine), otherwise the platform's number (PlatformErrorNumber), whose text
// is the system's reason.
int32_t IoError(int err);
std::string OctalStr(uint32_t value);  // 12 digits
// Octal text: blanks around and leading zeros skipped, at most 11 digits 0
// to 7; anything else is 0.
uint64_t OctalValue(const std::string& text);
uint32_t OctalStr2Long(const std::string& text);  // 0 beyond 32 bits
uint32_t PackUnixDate(int64_t unixSeconds);  // a DOS date/time stamp
int64_t DosDateToUnix(uint32_t dosDate);
std::string StatusText(int32_t code);  // empty outside 4700..4723 and 4730

// One protocol type as the core and the component see it. Each engine
// defines its descriptors in its own unit; EngineOf is the one list.
struct TEngine {
  const char* Name = "None";
  uint8_t LogKind = 0;    // dispatch-log kind of its handler passes
  uint8_t StateBase = 0;  // first dispatch-log sub-kind of its states
  TSettingsGroup Settings = TSettingsGroup::None;
  uint32_t CheckMethods = 0;  // block checks it may be set to, bits 1 << method
  // A block check it only has as another protocol type (Xmodem's checksum and CRC).
  TBlockCheckMethod SiblingCheck = bcmNone;
  TProtocolType Sibling = ptNoProtocol;
  // Makes the area (no Init: the record's default file hooks, no area).
  int32_t (*Init)(TransferRecord& r, TProtocolType type) = nullptr;
  void (*Done)(TransferRecord& r) = nullptr;
  // The kept settings: apply pushes them into the record, read refreshes them.
  int32_t (*Apply)(TransferRecord& r, const TProtocolSettings& s) = nullptr;
  void (*Read)(TransferRecord& r, TProtocolSettings& s) = nullptr;
  TPrepareRoutine Prepare[2] = {};  // receive, transmit
  TTriggerHandler Handler[2] = {};
};
// The engine of a protocol type; an empty one for ptNoProtocol and unknown values.
const TEngine& EngineOf(int type);
// A state's name as the dispatch log prints it (the string table is the one list).
std::string EngineStateName(TProtocolType type, int state);

}  // namespace zav
