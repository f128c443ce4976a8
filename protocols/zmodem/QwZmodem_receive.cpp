// Zmodem receive: the machine, and the file hooks that decide between resume,
// append, overwrite and skip and that give the file the sender's date.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "platform/FileNames.h"
#include "protocols/core/QwTPcl.h"
#include "protocols/zmodem/QwZmodem.h"
#include "serial/QwUser.h"
#include "serial/QxExcept.h"
#include "serial/QxSrMgr.h"

namespace zav {

namespace {

using namespace zmodem_detail;

constexpr uint32_t kDataRetries = 20;
constexpr uint8_t kReceiverFlags = kCanFullDuplex | kCanOverlapIo | kCanBreak | kCanCrc32;
constexpr int32_t kRequestDelayTicks = 9;

void SetState(TZmodemArea& a, TZmodemState s) { a.ZmodemState = s; }

int32_t WaitStatus(TransferRecord& r, TZmodemArea& a, int32_t trigger) {
  if (trigger != 0) return trigger == r.TimeoutTrigger ? psTimeout : psNoHeader;
  return ParseInput(r, a);
}

// Counts a retry (the total was counted where the error was seen); beyond
// `limit` the abort string goes out and the transfer fails with -6008.
bool Retry(TransferRecord& r, TZmodemArea& a, uint32_t limit) {
  if (a.Retries.Retry(limit)) return true;
  SendAbort(r, a);
  GotError(r, ecTooManyErrors);
  return false;
}

bool CountError(TransferRecord& r, TZmodemArea& a, uint32_t limit) {
  ++r.TotalErrors;
  return Retry(r, a, limit);
}

// Free bytes of the destination's file system, as much as 32 bits tell.
uint32_t FreeSpace(TransferRecord& r) {
  const std::string dir = BufferText(r.DestinationDirectory);
  struct statvfs fs {};
  if (statvfs(dir.empty() ? "." : dir.c_str(), &fs) != 0) return 0;
  const uint64_t bytes = uint64_t(fs.f_bavail) * uint64_t(fs.f_frsize);
  return uint32_t(std::min<uint64_t>(bytes, UINT32_MAX));
}

// Feeds waiting bytes to the subpacket collector: 0 while incomplete.
int32_t Collect(TransferRecord& r, TZmodemArea& a) {
  while (InputReady(r, a)) {
    uint8_t first = 0;
    if (!NextByte(r, a, first)) break;
    --a.InputPos;  // the byte stays for the collector
    size_t used = 0;
    const int32_t status = CollectSubpacket(a.Collector, a.CancelCount, a.Input.data() + a.InputPos,
                                            a.InputLen - a.InputPos, used, a.DataBlock.data(),
                                            uint32_t(a.DataBlock.size()));
    a.InputPos += uint32_t(used);
    r.CollectCount = a.Collector.Count;
    if (status == psBlockCheckError || status == psLongPacket) {
      r.BlockErrors.Add();
      ++r.TotalErrors;
    }
    if (status != 0) return status;
  }
  return 0;
}

void StartCollecting(TransferRecord& r, TZmodemArea& a) {
  r.BlockLen = 0;
  a.Collector.Start(a.Crc32Active);
}

// --- States ---

void RxRqstFile(TransferRecord& r, TZmodemArea& a) {
  a.CancelCount = 0;
  a.HeaderData = {};
  a.HeaderData[ZF0] = kReceiverFlags;
  ArmTimer(r, r.TimeoutTrigger, kRequestDelayTicks);
  SetState(a, rzDelay);
}

void RxDelay(TransferRecord& r, TZmodemArea& a) {
  SendHexHeader(r, a, a.ReplyType);
  // A ZSKIP answers one ZFILE; asked again, this side is ready for the next.
  a.ReplyType = ZRINIT;
  a.HeaderData = {};
  a.HeaderData[ZF0] = kReceiverFlags;
  a.Parser.State = 0;
  ArmTimer(r, r.TimeoutTrigger, r.HandshakeWait);
  SetState(a, rzWaitFile);
}

void RxWaitFile(TransferRecord& r, TZmodemArea& a, int32_t status) {
  if (status == psTimeout || status == psBlockCheckError) {
    if (status == psTimeout) ++r.TotalErrors;
    SetState(a, Retry(r, a, r.HandshakeRetry) ? rzRqstFile : rzCleanup);
    return;
  }
  if (status == psCancelRequested) return SetState(a, rzError);
  if (status != psGotHeader) return;
  ArmTimer(r, r.TimeoutTrigger, r.HandshakeWait);
  const TZmodemHeader& h = a.Received;
  switch (h.Type) {
    case ZRQINIT:
    case ZEOF:
      // A sender that asks again, or repeats the end of a file this side
      // already closed, gets a ZRINIT; a peer that never stops asking ends
      // by the retry limit.
      SetState(a, CountError(r, a, r.HandshakeRetry) ? rzRqstFile : rzCleanup);
      break;
    case ZSINIT:
      a.Retries.Reset();
      a.SinitFlags = h.Data[ZF0];
      a.LineEndsDropped = 0;
      StartCollecting(r, a);
      SetState(a, a.HexHeader ? rzSndBlkPrp : rzSendBlock);
      break;
    case ZFILE:
      a.ConversionOption = h.Data[ZF0];
      a.TransportOption = h.Data[ZF2];
      a.FileManagement = a.OptionOverride ? a.FileOption : h.Data[ZF1];
      // No option from the sender: an existing file is kept.
      if ((a.FileManagement & 0x7F) == 0) a.FileManagement |= 7;
      a.Retries.Reset();
      r.TotalErrors = 0;
      StartCollecting(r, a);
      SetState(a, rzCollFile);
      break;
    case ZFIN:
    case ZCOMPL:
      a.Retries.Reset();
      SetState(a, rzSendFinish);
      break;
    case ZFREECNT:
      a.HeaderData = PositionData(FreeSpace(r));
      SendHexHeader(r, a, ZACK);
      break;
    case ZCOMMAND:
      // Commands from the peer are never run.
      a.HeaderData = {};
      SendHexHeader(r, a, ZNAK);
      if (!CountError(r, a, r.HandshakeRetry)) SetState(a, rzCleanup);
      break;
    default:
      break;
  }
}

// A subpacket after ZFILE or ZSINIT that did not arrive whole: the sender is
// asked for the header again.
void AskAgain(TransferRecord& r, TZmodemArea& a) {
  if (!Retry(r, a, r.HandshakeRetry)) return SetState(a, rzCleanup);
  a.HeaderData = {};
  SendHexHeader(r, a, ZNAK);
  ArmTimer(r, r.TimeoutTrigger, r.HandshakeWait);
  SetState(a, rzWaitFile);
}

void RxCollFile(TransferRecord& r, TZmodemArea& a, int32_t trigger, TZmodemState complete) {
  if (trigger != 0) {
    if (trigger != r.TimeoutTrigger) return;
    ++r.TotalErrors;
    return AskAgain(r, a);
  }
  const int32_t status = Collect(r, a);
  if (status == 0) return;
  r.ProtocolStatus = status;
  if (status == psCancelRequested) return SetState(a, rzError);
  if (status == psBlockCheckError || status == psLongPacket) return AskAgain(r, a);
  SetState(a, complete);
}

void RxSendInit(TransferRecord& r, TZmodemArea& a) {
  a.Attention.fill(0);
  std::memcpy(a.Attention.data(), a.DataBlock.data(), std::min<uint32_t>(a.Collector.Count, kZmodemAttentionSize - 1));
  a.Encoder.EscapeAll = (a.SinitFlags & kEscapeControls) != 0;
  a.HeaderData = {};
  SendHexHeader(r, a, ZACK);
  ArmTimer(r, r.TimeoutTrigger, r.HandshakeWait);
  a.HeaderData[ZF0] = kReceiverFlags;
  SetState(a, rzWaitFile);
}

// The line end of a hex ZSINIT header comes before its subpacket.
void RxSndBlkPrp(TransferRecord& r, TZmodemArea& a, int32_t trigger) {
  if (trigger != 0) {
    if (trigger != r.TimeoutTrigger) return;
    ++r.TotalErrors;
    SetState(a, Retry(r, a, r.HandshakeRetry) ? rzRqstFile : rzCleanup);
    return;
  }
  uint8_t c = 0;
  while (a.LineEndsDropped < 2 && NextByte(r, a, c)) {
    if (c != 13 && c != 10 && c != 0x8D && c != 0x8A) {
      --a.InputPos;
      a.LineEndsDropped = 2;
      break;
    }
    ++a.LineEndsDropped;
  }
  if (a.LineEndsDropped >= 2) SetState(a, rzSendBlock);
}

void RxSync(TransferRecord& r, TZmodemArea& a) {
  DiscardInput(r, a);
  a.SinceHeader = 0;
  a.HeaderData = PositionData(uint32_t(r.FileOffset));
  SendHexHeader(r, a, ZRPOS);
  r.BytesRemaining = int32_t(r.SrcFileLen - std::min(r.FileOffset, r.SrcFileLen));
  r.BytesTransferred = int32_t(r.FileOffset);
  a.Parser.State = 0;
  ArmTimer(r, r.TimeoutTrigger, r.HandshakeWait);
  SetState(a, rzStartData);
}

void SkipFile(TransferRecord& r, TZmodemArea& a) {
  a.ReplyType = ZSKIP;
  r.ProtocolStatus = psSkipFile;
  r.LogFileHook(r, lfReceiveSkip);
  RefreshStatus(r);
  SetState(a, rzRqstFile);
}

void RxStartFile(TransferRecord& r, TZmodemArea& a) {
  const TZmodemFileInfo info = ParseFileInfo(a.DataBlock.data(), a.Collector.Count);
  r.SrcFileLen = info.Size;
  r.BytesRemaining = int64_t(std::min<uint64_t>(info.Size, INT64_MAX));
  r.BytesTransferred = 0;
  r.FileOffset = 0;
  a.FileSeconds = info.HasDate ? info.Date : int64_t(time(nullptr));
  r.SrcFileDate = PackUnixDate(a.FileSeconds);
  r.ProtocolStatus = psOK;
  // The name stays inside the destination directory: "/" and "\" separate,
  // ".." and absolute parts are dropped, and a path beyond 255 bytes is refused.
  const bool placed =
      PlaceReceivedName(r, info.Name, (r.TransferOptions & tfHonorDirectory) != 0) == TPlaceResult::Placed;
  if (placed && r.UpcaseFileNames) UpcasePathName(r, false);
  r.LogFileHook(r, lfReceiveStart);
  if (info.Size > kZmodemMaxFileSize) {
    // Its positions would pass the headers' 32 bits.
    ReportError(r, ecFileTooLarge);
    return SkipFile(r, a);
  }
  if (!AskAccept(r, placed)) return SkipFile(r, a);
  r.PrepareWritingHook(r);
  if (r.ProtocolError != 0) {
    // The file's start is in the log: so is its end.
    r.LogFileHook(r, lfReceiveFail);
    SendAbort(r, a);
    return SetState(a, rzError);
  }
  if (r.ProtocolStatus == psFileDoesntExist || r.ProtocolStatus == psCantWriteFile) return SkipFile(r, a);
  NewTimer(r.TransferTimer, 1);
  a.TimingStarted = true;
  a.FileActive = true;
  RefreshStatus(r);
  SetState(a, rzSync);
}

// An error in the data phase: the sender is interrupted and asked for the
// data from this side's position.
void SyncAfterError(TransferRecord& r, TZmodemArea& a, bool counted) {
  if (!(counted ? Retry(r, a, kDataRetries) : CountError(r, a, kDataRetries))) return SetState(a, rzError);
  SendAttention(r, a, a.Attention.data());
  SetState(a, rzSync);
}

// Data and no header for longer than the old stream can still be on its way
// after this side's ZRPOS: the header of the new frame was lost. Asked again
// at once rather than after a time-out (a stream of data resets none).
bool HeaderLost(TransferRecord& r, const TZmodemArea& a) {
  constexpr uint32_t kInFlight = 16384;
  const uint32_t perSecond = LineCps(r);
  return a.SinceHeader > kInFlight + 2 * perSecond;
}

// The waits for a header in the data phase: a lost header or a time-out asks
// for the data again, a cancel ends; true when a header is there to act on.
bool HeaderArrived(TransferRecord& r, TZmodemArea& a, int32_t status) {
  if (status == psNoHeader && HeaderLost(r, a)) status = psTimeout;
  if (status == psTimeout || status == psBlockCheckError) {
    if (status == psTimeout) ++r.TotalErrors;
    SetState(a, Retry(r, a, r.HandshakeRetry) ? rzSync : rzError);
    return false;
  }
  if (status == psCancelRequested) {
    SetState(a, rzError);
    return false;
  }
  return status == psGotHeader;
}

void RxStartData(TransferRecord& r, TZmodemArea& a, int32_t status) {
  if (!HeaderArrived(r, a, status)) return;
  switch (a.Received.Type) {
    case ZDATA:
      if (a.HeaderPosition != r.FileOffset) return SyncAfterError(r, a, false);
      StartCollecting(r, a);
      ArmTimer(r, r.TimeoutTrigger, r.HandshakeWait);
      SetState(a, rzCollData);
      break;
    case ZEOF:
      r.ProtocolStatus = psEndFile;
      SetState(a, rzEndOfFile);
      break;
    default:
      // ZNAK, a repeated ZFILE or anything else: ask for the position again.
      SyncAfterError(r, a, false);
      break;
  }
}

// Writes the collected bytes at FileOffset; false on a write error.
bool WriteCollected(TransferRecord& r, TZmodemArea& a) {
  const uint32_t count = a.Collector.Count;
  // Past the headers' 32-bit positions the offset would wrap and overwrite
  // the start of the file: the receive ends instead.
  if (r.FileOffset + count > kZmodemMaxFileSize) {
    GotError(r, ecFileTooLarge);
    return false;
  }
  if (r.WriteBlockHook(r, a.DataBlock.data(), count)) return false;
  r.FileOffset += count;
  r.BytesTransferred += int64_t(count);
  r.BytesRemaining -= int64_t(count);
  RefreshStatus(r);
  a.Retries.Reset();  // progress
  StartCollecting(r, a);
  return true;
}

void Acknowledge(TransferRecord& r, TZmodemArea& a) {
  a.HeaderData = PositionData(uint32_t(r.FileOffset));
  SendHexHeader(r, a, ZACK);
}

void RxCollData(TransferRecord& r, TZmodemArea& a, int32_t trigger) {
  if (trigger != 0) {
    if (trigger != r.TimeoutTrigger) return;
    r.ProtocolStatus = psTimeout;
    return SyncAfterError(r, a, false);
  }
  ArmTimer(r, r.TimeoutTrigger, r.HandshakeWait);
  const int32_t status = Collect(r, a);
  if (status == 0) return;
  r.ProtocolStatus = status;
  switch (status) {
    case psCancelRequested:
      return SetState(a, rzError);
    case psBlockCheckError:
    case psLongPacket:
      return SyncAfterError(r, a, true);
    default:
      break;
  }
  if (!WriteCollected(r, a)) {
    SendAbort(r, a);
    return SetState(a, rzError);
  }
  a.SinceHeader = 0;
  switch (status) {
    case psGotCrcE:
      SetState(a, rzWaitEof);
      break;
    case psGotCrcW:
      Acknowledge(r, a);
      SetState(a, rzStartData);
      break;
    case psGotCrcQ:
      Acknowledge(r, a);
      break;
    default:
      break;
  }
}

void FinishFile(TransferRecord& r, TZmodemArea& a) {
  r.ProtocolStatus = psEndFile;
  r.ShowStatusHook(r, 0);
  r.FinishWritingHook(r);
  r.LogFileHook(r, r.ProtocolError != 0 ? lfReceiveFail : lfReceiveOk);
  a.FileActive = false;
  SetState(a, rzRqstFile);
}

void RxEndOfFile(TransferRecord& r, TZmodemArea& a) {
  // Data missing before the end: the sender goes back for it.
  if (a.HeaderPosition != r.FileOffset) return SyncAfterError(r, a, false);
  FinishFile(r, a);
}

void RxWaitEof(TransferRecord& r, TZmodemArea& a, int32_t status) {
  if (!HeaderArrived(r, a, status)) return;
  if (a.Received.Type == ZEOF) return RxEndOfFile(r, a);
  SyncAfterError(r, a, false);
}

void RxSendFinish(TransferRecord& r, TZmodemArea& a) {
  a.HeaderData = PositionData(uint32_t(r.FileOffset));
  SendHexHeader(r, a, ZFIN);
  ArmTimer(r, r.TimeoutTrigger, r.FinishWait);
  a.OCount = 0;
  SetState(a, rzCollFin);
}

void RxCollFin(TransferRecord& r, TZmodemArea& a, int32_t trigger) {
  if (trigger != 0) {
    if (trigger != r.TimeoutTrigger) return;
    // Every file is in: a missing "OO" is no failure.
    if (a.Retries.Retry(uint32_t(std::max(a.FinishRetries, 0)))) return SetState(a, rzSendFinish);
    r.ProtocolStatus = psOK;
    return SetState(a, rzCleanup);
  }
  uint8_t c = 0;
  while (NextByte(r, a, c)) {
    if (c == 'O' && ++a.OCount >= 2) {
      r.ProtocolStatus = psOK;
      return SetState(a, rzCleanup);
    }
  }
}

void RxError(TransferRecord& r, TZmodemArea& a) {
  if (r.FileOpen) {
    r.FinishWritingHook(r);
    r.LogFileHook(r, lfReceiveFail);
  }
  a.FileActive = false;
  if (!a.EndNow && r.Dispatcher != nullptr && r.Dispatcher->OutputUsed() > 0) {
    ArmTimer(r, r.TimeoutTrigger, r.TransmitTimeout);
    ArmStatus(r, r.OutBuffUsedTrigger, 0);
    a.Draining = true;
    return SetState(a, rzWaitCancel);
  }
  SetState(a, rzCleanup);
}

// Waits for the abort string to leave the ring.
void RxWaitCancel(TransferRecord& r, TZmodemArea& a, int32_t trigger) {
  if (trigger == 0) {
    DiscardInput(r, a);
    return;
  }
  a.Draining = false;
  SetState(a, rzCleanup);
}

void RxCleanup(TransferRecord& r, TZmodemArea& a) {
  ShowLastStatus(r);
  DiscardInput(r, a);
  SetState(a, rzDone);
  ProtocolFinish(r);
}

bool ReceiveHead(TransferRecord& r, TZmodemArea& a, UINT& msg, WPARAM& wParam) {
  // The caller of a cancel (a component going away) cannot wait: the
  // transfer ends within the call.
  if (msg == MsgProtocolCancel) a.EndNow = true;
  if (r.ProtocolStatus == psCancelRequested) {
    if (msg == MsgProtocolCancel) {
      msg = 0;
      if (a.ZmodemState == rzWaitCancel) SetState(a, rzCleanup);
    }
    if (wParam != 0 && int32_t(wParam) == r.ModemTrigger) wParam = 0;
  }
  const bool cancel = msg == MsgProtocolCancel;
  const bool finished = HandlerPassHead(r, msg, wParam, lkZmodem, uint8_t(skZmodemStates + a.ZmodemState));
  if (!a.TimingStarted) r.ElapsedTicks = 0;
  if (finished) {
    // The sender is told to stop too.
    if (cancel) SendAbort(r, a);
    msg = 0;
    wParam = 0;
    SetState(a, rzError);
  }
  return true;
}

}  // namespace

void PrepareReceiveZmodem(TransferRecord& r) {
  TZmodemArea* ap = AreaToPrepare(r, ZmodemArea);
  if (ap == nullptr) return;
  TZmodemArea& a = *ap;
  StartStatus(r, false);
  a.TimingStarted = false;
  DiscardInput(r, a);
  a.ReplyType = ZRINIT;
  a.ZmodemState = rzRqstFile;
  a.Parser = TZmodemHeaderParser{};
  r.ProtocolError = 0;
  a.FileActive = a.Draining = a.EndNow = a.AbortSent = false;
  a.Retries.Reset();
  a.CancelCount = 0;
  a.LastHeaderType = kZmodemNoHeader;
  a.Encoder = TZmodemEncoder{};
  a.Attention.fill(0);
  // Any sender may use subpackets of up to 8K, asked for or not.
  if (a.DataBlock.size() < kZmodemMaxSubpacket) a.DataBlock.assign(kZmodemMaxSubpacket, 0);
  NewTimer(r.TransferTimer, 1);
}

namespace {

void ReceivePass(TransferRecord& r, TZmodemArea& a, UINT msg, WPARAM wParam) {
  if (a.ZmodemState == rzDone) return;
  for (;;) {
    ReceiveHead(r, a, msg, wParam);
    const int32_t trigger = int32_t(wParam);
    switch (a.ZmodemState) {
      case rzRqstFile: RxRqstFile(r, a); break;
      case rzDelay: RxDelay(r, a); break;
      case rzWaitFile: RxWaitFile(r, a, r.ProtocolStatus = WaitStatus(r, a, trigger)); break;
      case rzCollFile: RxCollFile(r, a, trigger, rzStartFile); break;
      case rzSendInit: RxSendInit(r, a); break;
      case rzSndBlkPrp: RxSndBlkPrp(r, a, trigger); break;
      case rzSendBlock: RxCollFile(r, a, trigger, rzSendInit); break;
      case rzSync: RxSync(r, a); break;
      case rzStartFile: RxStartFile(r, a); break;
      case rzStartData: RxStartData(r, a, r.ProtocolStatus = WaitStatus(r, a, trigger)); break;
      case rzCollData: RxCollData(r, a, trigger); break;
      case rzWaitEof: RxWaitEof(r, a, r.ProtocolStatus = WaitStatus(r, a, trigger)); break;
      case rzEndOfFile: RxEndOfFile(r, a); break;
      case rzSendFinish: RxSendFinish(r, a); break;
      case rzCollFin: RxCollFin(r, a, trigger); break;
      case rzError: RxError(r, a); break;
      case rzWaitCancel: RxWaitCancel(r, a, trigger); break;
      case rzCleanup: RxCleanup(r, a); break;
      default: return;
    }
    if (r.ProtocolStatus == psNoHeader || r.ProtocolStatus == psGotHeader) r.ProtocolStatus = psOK;
    if (a.ZmodemState == rzDone || r.Dispatcher == nullptr) return;
    msg = 0;
    wParam = 0;
    const TZmodemState s = a.ZmodemState;
    if (s == rzWaitCancel) return;
    if (IsWaitingState(s) && !InputReady(r, a)) return;
  }
}

}  // namespace

void ZmodemReceiveHandler(UINT msg, WPARAM wParam, LPARAM lParam) {
  RunHandlerPass(msg, wParam, lParam, ZmodemArea, ReceivePass);
}

// --- File hooks -------------------------------------------------------------------------------

namespace {

enum class TWriteChoice { Create, Resume, Append, Skip, Rename };

// What the file option says for an existing file of `size` bytes last
// changed at `localSeconds`.
TWriteChoice ChooseForExisting(uint8_t option, const TZmodemArea& a, uint64_t incomingSize, uint64_t size,
                               int64_t localSeconds) {
  const int64_t diff = a.FileSeconds - localSeconds;
  const bool newer = diff > 1;  // older, or within a second, is not newer
  const bool sameDate = diff >= -1 && diff <= 1;
  switch (option & 7) {
    case 1: return !newer && size >= incomingSize ? TWriteChoice::Skip : TWriteChoice::Create;
    case 2:
    case 5: return newer ? TWriteChoice::Create : TWriteChoice::Skip;
    case 3: return TWriteChoice::Append;
    case 6: return sameDate && size == incomingSize ? TWriteChoice::Skip : TWriteChoice::Create;
    case 7: return TWriteChoice::Skip;
    default: return TWriteChoice::Create;
  }
}

}  // namespace

void ZmodemPrepareWriting(TransferRecord& r) {
  TZmodemArea* a = ZmodemArea(r);
  if (a == nullptr) return DefPrepareWriting(r);
  r.FileBuffer.assign(kFileBufferSize, 0);
  if (a->Recover) a->ConversionOption |= kConvResume;
  std::string path = BufferText(r.PathName);
  struct stat st {};
  const int probe = ProbeReceivedFile(r, path, st);
  const bool exists = probe == 0;
  auto fail = [&](int err) {
    r.FileBuffer.clear();
    if (!SkipsWhenUnplaceable(r, err)) GotError(r, -IoError(err));
  };
  auto skip = [&](int32_t status) {
    r.FileBuffer.clear();
    r.ProtocolStatus = status;
    RefreshStatus(r);
  };
  if (!exists && probe != ENOENT) return fail(probe);
  // Only a regular file is ever written: a link, a directory, a device or a
  // pipe of that name is left alone.
  if (exists && !S_ISREG(st.st_mode)) return skip(psCantWriteFile);
  const uint64_t size = exists ? uint64_t(st.st_size) : 0;
  TWriteChoice choice = TWriteChoice::Create;
  if (exists && a->NeverReplace) {
    choice = TWriteChoice::Rename;
  } else if (exists && size < r.SrcFileLen && (a->ConversionOption & kConvResume) == kConvResume) {
    choice = TWriteChoice::Resume;
  } else if (!exists) {
    if (a->FileManagement & kSkipNoFileBit) return skip(psFileDoesntExist);
  } else {
    choice = ChooseForExisting(a->FileManagement, *a, r.SrcFileLen, size, int64_t(st.st_mtime));
    if (choice == TWriteChoice::Skip) return skip(psCantWriteFile);
  }
  int fd = -1;
  if (choice == TWriteChoice::Rename) {
    fd = CreateRenamedFile(r, path);
    SetBufferText(r.PathName, path);
  } else {
    int flags = O_WRONLY;
    if (choice == TWriteChoice::Create) flags |= O_CREAT | O_TRUNC;
    // Appended data lands behind the old whatever offset the writes use.
    if (choice == TWriteChoice::Append) flags |= O_APPEND;
    fd = OpenReceivedFile(r, path, flags);
  }
  if (fd < 0) return fail(errno);
  const uint64_t start = choice == TWriteChoice::Resume ? size : 0;
  r.ShowStatusHook(r, 0);
  r.WorkFile = fd;
  r.FileOffset = r.BufferStart = r.LastOffset = start;
  r.BufferEnd = start + kFileBufferSize;
  r.FileOpen = true;
}

void ZmodemFinishWriting(TransferRecord& r) {
  TZmodemArea* a = ZmodemArea(r);
  const bool wasOpen = r.FileOpen;
  const std::string path = BufferText(r.PathName);
  DefFinishWriting(r);
  // Only a file received whole takes the sender's date: a partial one keeps
  // its own, so that a later comparison never takes it for current.
  if (a == nullptr || !wasOpen || r.ProtocolError != 0 || r.ProtocolStatus != psEndFile) return;
  const timespec times[2] = {{0, UTIME_NOW}, {time_t(a->FileSeconds), 0}};
  if (utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0) r.SrcFileDate = PackUnixDate(a->FileSeconds);
}

}  // namespace zav
