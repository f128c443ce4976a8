#include "protocols/bplus/QwBPlus.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/FileNames.h"
#include "protocols/core/QwTPcl.h"
#include "serial/QwUser.h"
#include "serial/QxExcept.h"
#include "serial/QxSrMgr.h"

namespace zav {

namespace {

using Step = TBPlusStep;
using Sent = TBPlusSent;

constexpr uint8_t kDataType = 'B';
constexpr size_t kPeekChunk = 512;

uint8_t Next(uint8_t digit) { return uint8_t((digit + 1) % 10); }

bool IsListening(TBPlusState s) { return s == bpWaitDle || s == bpWaitB || s == bpCollPacket || s == bpWaitAck; }

bool Sending(const TBPlusArea& a) { return a.Outstanding > 0 || a.Resyncing || a.Step == Step::Failing; }

// The listening state that says what we wait for: an acknowledgement, or the
// part of a packet the decoder is in.
void ToListen(TBPlusArea& a) {
  if (Sending(a)) {
    a.State = bpWaitAck;
    return;
  }
  switch (a.Decoder.CurrentPhase()) {
    case TBPlusDecoder::kIdle:
    case TBPlusDecoder::kAfterDlePlus: a.State = bpWaitDle; break;
    case TBPlusDecoder::kAfterDle: a.State = bpWaitB; break;
    default: a.State = bpCollPacket; break;
  }
}

// --- Output -------------------------------------------------------------------------------

void Mark(TBPlusArea& a) { a.OutEnds.push_back(a.Out.size()); }

// Packets in the output are bounded by the window; control bytes answer the
// peer's bytes, so a peer that floods us is answered only while the output
// keeps up.
constexpr size_t kOutLimit = kBPlusMaxWindow * (2 * kBPlusMaxBody + 16) + 4096;

void Put(TBPlusArea& a, std::initializer_list<uint8_t> bytes) {
  if (a.Out.size() - a.OutPos > kOutLimit) return;
  a.Out.insert(a.Out.end(), bytes);
  Mark(a);
}

void SendAck(TBPlusArea& a, uint8_t digit) { Put(a, {kBpDle, uint8_t('0' + digit)}); }

// Moves queued output into the transmit ring as far as it has room; the rest
// waits for the output-free trigger.
void Flush(TransferRecord& r, TBPlusArea& a) {
  TMroBaseDispatcher* d = r.Dispatcher;
  if (d == nullptr) return;
  while (a.OutPos < a.Out.size()) {
    const uint32_t free = d->OutputFree();
    if (free == 0) break;
    const uint32_t n = uint32_t(std::min<size_t>(free, a.Out.size() - a.OutPos));
    if (d->WriteBlock(a.Out.data() + a.OutPos, n) < 0) break;
    a.OutPos += n;
  }
  if (a.OutPos == a.Out.size()) {
    a.Out.clear();
    a.OutEnds.clear();
    a.OutPos = 0;
    return;
  }
  // A busy line may never drain completely: the pieces that went out whole
  // are dropped here (the one being written stays whole, for DropUnsent).
  if (a.OutPos >= kFileBufferSize) {
    const auto done = std::upper_bound(a.OutEnds.begin(), a.OutEnds.end(), a.OutPos);
    const size_t cut = done == a.OutEnds.begin() ? 0 : *(done - 1);
    a.Out.erase(a.Out.begin(), a.Out.begin() + long(cut));
    a.OutEnds.erase(a.OutEnds.begin(), done);
    for (size_t& end : a.OutEnds) end -= cut;
    a.OutPos -= cut;
  }
  uint32_t inSize = 0, outSize = 0;
  d->QueueSizes(inSize, outSize);
  const size_t left = a.Out.size() - a.OutPos;
  ArmStatus(r, r.OutBuffFreeTrigger, uint16_t(std::max<size_t>(1, std::min<size_t>(left, outSize / 2))));
}

// Drops whole pieces not yet begun (the piece being written is finished, so
// the line never carries a cut packet).
void DropUnsent(TBPlusArea& a) {
  size_t keep = a.OutPos, start = 0;
  for (size_t end : a.OutEnds) {
    if (end > a.OutPos) {
      if (start < a.OutPos) keep = end;
      break;
    }
    start = end;
  }
  a.Out.resize(keep);
  a.OutEnds.erase(std::remove_if(a.OutEnds.begin(), a.OutEnds.end(), [keep](size_t e) { return e > keep; }),
                  a.OutEnds.end());
}

// --- Timing -------------------------------------------------------------------------------

// The wait for an acknowledgement or a packet: the margin plus the time the
// line needs for our queued output and one packet at its largest.
int32_t WaitTicks(const TransferRecord& r, const TBPlusArea& a) {
  size_t queued = a.Out.size() - a.OutPos + 2 * size_t(a.Force.BlockSize) + 16;
  if (r.Dispatcher != nullptr) queued += r.Dispatcher->OutputUsed();
  return a.PacketWait + LineTicks(r, queued);
}

void Arm(TransferRecord& r, TBPlusArea& a, int32_t ticks) {
  ArmTimer(r, r.TimeoutTrigger, std::max(ticks, 1));
  a.Armed = true;
}

void ArmWait(TransferRecord& r, TBPlusArea& a) { Arm(r, a, WaitTicks(r, a)); }

// --- Packets ------------------------------------------------------------------------------

void SendPacket(TBPlusArea& a, uint8_t type, const uint8_t* body, size_t n, Sent kind, uint32_t dataLen = 0) {
  const uint8_t digit = Next(a.Seq);
  TBPlusArea::Slot& slot = a.Sent[digit];
  slot.Wire.clear();
  if (type == kBpPlus)
    BPlusEncodePacket(slot.Wire, digit, type, body, n, TBPlusQuoteSet::All(), false);
  else
    BPlusEncodePacket(slot.Wire, digit, type, body, n, a.Force.Quote, a.Force.Crc);
  slot.Kind = kind;
  slot.DataLen = dataLen;
  a.Out.insert(a.Out.end(), slot.Wire.begin(), slot.Wire.end());
  Mark(a);
  a.Seq = digit;
  a.SeqIsRx = false;
  ++a.Outstanding;
}

void SendText(TBPlusArea& a, uint8_t type, const std::string& body, Sent kind) {
  SendPacket(a, type, reinterpret_cast<const uint8_t*>(body.data()), body.size(), kind);
}

void SendParams(TBPlusArea& a) {
  const std::vector<uint8_t> params = BPlusEncodeParams(a.Mine);
  SendPacket(a, kBpPlus, params.data(), params.size(), Sent::Params);
}

// Progress: the error counts start again, and an error status left of them goes.
void Progress(TransferRecord& r, TBPlusArea& a) {
  if (a.Errors.Count() > 0 && r.ProtocolStatus >= psTimeout && r.ProtocolStatus <= psSequenceError)
    r.ProtocolStatus = psOK;
  a.Errors.Reset();
  a.AllTimeouts = true;
  a.Waits.Reset();
}

void Accept(TransferRecord& r, TBPlusArea& a, uint8_t digit) {
  a.Seq = digit;
  a.SeqIsRx = true;
  a.NakSent = false;
  Progress(r, a);
}

void SwitchTo(TransferRecord& r, TBPlusArea& a, const TBPlusInForce& f) {
  a.Force = f;
  a.DataBlock = f.BlockSize;
  a.SwitchPending = false;
  a.Negotiated = true;
  a.Decoder.SetCrc(f.Crc);
  r.BlockSize = f.BlockSize;
  r.CheckType = f.Crc ? bcmCrc16 : bcmChecksum;
}

// Back to what both sides assume before a session (ENQ in terminal mode).
void ResetToDefaults(TransferRecord& r, TBPlusArea& a) {
  a.Force = BPlusDefaults();
  a.SwitchPending = false;
  a.Negotiated = false;
  a.Decoder.SetCrc(false);
  a.Seq = 0;
  a.SeqIsRx = false;
  r.BlockSize = a.Force.BlockSize;
}

// --- End ----------------------------------------------------------------------------------

bool FinishCodeOf(int32_t status) {
  switch (status) {
    case psFileRejected: case psCantWriteFile: case psTimeout: case psProtocolError: case psCancelRequested:
    case psSequenceError: case psAbortNoCarrier: case psAbort: return true;
    default: return false;
  }
}

// Ends the transfer: a failure unless `ok`, and a failure never ends with 0.
void Finish(TransferRecord& r, TBPlusArea& a, bool ok = false) {
  Flush(r, a);
  if (!ok && r.ProtocolError == 0 && !FinishCodeOf(r.ProtocolStatus)) GotError(r, ecProtocolError);
  if (r.FileOpen) {
    if (a.File.Receiving)
      r.FinishWritingHook(r);
    else
      r.FinishReadingHook(r);
  }
  if (a.File.Active) {
    a.File.Active = false;
    UpdateElapsedTicks(r);
    r.LogFileHook(r, a.File.Receiving ? lfReceiveFail : lfTransmitFail);
  }
  if (ok) r.ProtocolStatus = psEndFile;
  ShowLastStatus(r);
  ProtocolFinish(r);
  a.State = bpDone;
}

// Sends F and waits for its acknowledgement. `error` (when not 0) is reported
// now; otherwise the status gives the finish code.
void Fail(TransferRecord& r, TBPlusArea& a, uint8_t code, const std::string& text, int32_t status, int32_t error,
          uint32_t tries = kBPlusFailTries) {
  if (status != 0) r.ProtocolStatus = status;
  if (error != 0 && r.ProtocolError == 0) GotError(r, error);
  DropUnsent(a);
  a.Outstanding = 0;
  a.Resyncing = false;
  SendText(a, 'F', std::string(1, char(code)) + text, Sent::Data);
  a.Outstanding = 0;
  a.FailDigit = a.Seq;
  a.FailResends.Reset();
  a.FailResendLimit = tries - 1;
  a.Step = Step::Failing;
  RefreshStatus(r);
  ArmWait(r, a);
  ToListen(a);
}

// An error without progress; false when the limit is reached (the transfer
// is failing then).
bool CountError(TransferRecord& r, TBPlusArea& a, bool timeout, int32_t status) {
  r.BlockErrors.Add();
  ++r.TotalErrors;
  r.ProtocolStatus = status;
  RefreshStatus(r);
  if (!timeout) a.AllTimeouts = false;
  if (a.Errors.Retry(a.ErrorLimit)) return true;
  if (a.AllTimeouts)
    Fail(r, a, 'E', "Time out", psTimeout, ecTimeout);
  else
    Fail(r, a, 'E', "Too many errors", psProtocolError, ecTooManyErrors);
  return false;
}

// A receiver's answer to a damaged, unexpected or missing packet.
// Once NAKed, the packets the peer had already sent behind the bad one are
// the same error: they are dropped quietly until the peer's resync (ENQ), a
// good packet or our own time-out.
void Nak(TransferRecord& r, TBPlusArea& a, bool timeout, int32_t status) {
  if (a.NakSent && !timeout) return;
  if (!CountError(r, a, timeout, status)) return;
  a.NakSent = true;
  Put(a, {kBpNak});
  ArmWait(r, a);
}

void StartResync(TransferRecord& r, TBPlusArea& a, bool timeout) {
  if (!CountError(r, a, timeout, timeout ? psTimeout : psBlockCheckError)) return;
  // A noisy line: shorter data packets from now on.
  a.DataBlock = std::max<uint32_t>(kBPlusMinDataBlock, a.DataBlock / 2);
  a.CleanRun = 0;
  DropUnsent(a);
  a.Resyncing = true;
  a.ResyncLast = -1;
  Put(a, {kBpEnq, kBpEnq});
  ArmWait(r, a);
}

// --- Files --------------------------------------------------------------------------------

// The length and CRC of a file we hold part of.
bool LocalFileCrc(const std::string& path, uint64_t& length, uint16_t& crc) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  std::vector<uint8_t> buf(kFileBufferSize);
  crc = 0xFFFF;
  length = 0;
  for (;;) {
    const ssize_t n = ::read(fd, buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ::close(fd);
      return n == 0;
    }
    crc = BPlusCrc(buf.data(), size_t(n), crc);
    length += uint64_t(n);
  }
}

// Opens the part we hold for writing on at its end.
bool OpenForResume(TransferRecord& r, uint64_t length) {
  const int fd = OpenReceivedFile(r, BufferText(r.PathName), O_WRONLY);
  if (fd < 0) {
    GotError(r, -IoError(errno));
    return false;
  }
  r.WorkFile = fd;
  r.FileBuffer.assign(kFileBufferSize, 0);
  r.FileOpen = true;
  r.FileOffset = r.BufferStart = r.LastOffset = length;
  r.BufferEnd = r.BufferStart + kFileBufferSize;
  return true;
}

// After Tf: the part we held is dropped and the file starts again.
bool RestartFile(TransferRecord& r) {
  if (!r.FileOpen || ::ftruncate(r.WorkFile, 0) != 0) {
    GotError(r, r.FileOpen ? -IoError(errno) : ecNotOpen);
    return false;
  }
  r.FileOffset = r.BufferStart = r.LastOffset = 0;
  r.BufferEnd = kFileBufferSize;
  return true;
}

// The CRC of the first `length` bytes of the file we send.
bool SentFileCrc(TransferRecord& r, TBPlusArea& a, uint64_t length, uint16_t& crc) {
  if (length > r.SrcFileLen) return false;
  crc = 0xFFFF;
  uint64_t offset = 0;
  while (offset < length) {
    r.FileOffset = offset;
    uint32_t count = uint32_t(std::min<uint64_t>(kBPlusMaxBody, length - offset));
    r.ReadBlockHook(r, a.Block.data(), count);
    if (r.ProtocolError != 0 || count == 0) return false;
    crc = BPlusCrc(a.Block.data(), count, crc);
    offset += count;
  }
  return true;
}

// The resume statuses are shown when they happen, not at the next pacing.
void ReportStatus(TransferRecord& r, int32_t status) {
  r.ProtocolStatus = status;
  r.ShowStatusHook(r, 0);
}

void StartFileStatus(TransferRecord& r) {
  r.BytesTransferred = 0;
  r.BlockNum = 0;
  r.BlockErrors.Reset();
  r.FileOffset = 0;
  NewTimer(r.TransferTimer, 1);
  RefreshStatus(r);
}

// The answer of the application to a file that exists: the resume query,
// whose "no answer" keeps the record's own action.
TWriteFailAction ExistingFileAction(TransferRecord& r) {
  const TWriteFailAction asked = SendResumeQuery(r);
  return asked == wfWriteNone ? r.WriteFailAction : asked;
}

// Creates the file to receive with the action chosen for it.
bool PrepareWriting(TransferRecord& r, TWriteFailAction action) {
  const TWriteFailAction saved = r.WriteFailAction;
  r.WriteFailAction = action == wfWriteResume ? wfWriteRename : action;
  r.ProtocolError = 0;
  r.PrepareWritingHook(r);
  r.WriteFailAction = saved;
  if (r.ProtocolStatus == psCantWriteFile && r.ProtocolError == 0) GotError(r, ecCantWriteFile);
  return r.ProtocolError == 0 && r.FileOpen;
}

// A file starts: its name in PathName, then the log entry.
void BeginFile(TransferRecord& r, TBPlusArea& a, bool receiving, const std::string& path) {
  SetBufferText(r.PathName, path);
  if (r.UpcaseFileNames) UpcasePathName(r, !receiving);
  a.File = {.Active = true, .Receiving = receiving};
  StartFileStatus(r);
  r.LogFileHook(r, receiving ? lfReceiveStart : lfTransmitStart);
}

void StartSending(TransferRecord& r, TBPlusArea& a, uint64_t from) {
  r.FileOffset = from;
  r.BytesRemaining = int64_t(r.SrcFileLen - std::min<uint64_t>(from, r.SrcFileLen));
  a.Step = Step::SendData;
  a.State = bpSendFile;
}

void StartReceiving(TransferRecord& r, TBPlusArea& a) {
  a.Step = Step::RecvData;
  ArmWait(r, a);
  ToListen(a);
}

// --- The session: both roles ----------------------------------------------------------------

void InitiatorNext(TransferRecord& r, TBPlusArea& a);

// A file went through: the sender's TC was acknowledged, or the receiver
// acknowledged it.
void FileDone(TransferRecord& r, TBPlusArea& a) {
  if (!a.File.Receiving && r.FileOpen) r.FinishReadingHook(r);
  a.File.Active = false;
  UpdateElapsedTicks(r);
  r.LogFileHook(r, a.File.Receiving ? lfReceiveOk : lfTransmitOk);
  RefreshStatus(r);
  if (a.Initiator) {
    InitiatorNext(r, a);
    return;
  }
  // Terminal mode, still taking a further T packet of this session.
  a.Step = Step::Terminal;
  a.Lingering = true;
  Arm(r, a, a.Linger);
  ToListen(a);
}

void SendRequest(TransferRecord& r, TBPlusArea& a);

// What the acknowledgement of each kind of packet starts. `implicit`: the
// peer's next packet acknowledged it, and that packet is handled next.
void OnAcked(TransferRecord& r, TBPlusArea& a, Sent kind, uint32_t dataLen, bool implicit) {
  switch (kind) {
    case Sent::Data:
      r.BytesTransferred += int64_t(dataLen);
      r.BytesRemaining -= int64_t(dataLen);
      RefreshStatus(r);
      // A quiet line earns the longer packets back.
      if (++a.CleanRun >= kBPlusCleanRun && a.DataBlock < a.Force.BlockSize) {
        a.DataBlock = std::min(a.Force.BlockSize, a.DataBlock * 2);
        a.CleanRun = 0;
      }
      break;
    case Sent::Restart: break;
    case Sent::Close: FileDone(r, a); break;
    case Sent::Params:
      if (a.Initiator) {
        a.Step = Step::PeerParams;
        ArmWait(r, a);
      } else {
        SwitchTo(r, a, a.Pending);
        a.Step = Step::Session;
        ArmWait(r, a);
      }
      break;
    case Sent::Download:
      // An ACK sends the file from its start; a packet (Tr or F) says more.
      if (implicit)
        a.Step = Step::Request;
      else
        StartSending(r, a, 0);
      break;
    case Sent::Upload:
      if (!PrepareWriting(r, a.Action)) {
        Fail(r, a, 'I', "Cannot write the file", 0, ecCantWriteFile);
        return;
      }
      StartReceiving(r, a);
      break;
    case Sent::ResumeUpload:
      if (!OpenForResume(r, a.ResumeLength)) {
        Fail(r, a, 'I', "Cannot write the file", 0, 0);
        return;
      }
      StartReceiving(r, a);
      break;
    case Sent::ResumeDownload: StartReceiving(r, a); break;
  }
}

// The `k` oldest outstanding packets are acknowledged.
void Acked(TransferRecord& r, TBPlusArea& a, uint32_t k, bool implicit) {
  if (k == 0) return;
  const uint8_t before = uint8_t((a.Seq + 10 - a.Outstanding) % 10);
  // What the packets were, taken before their slots can be used again.
  std::array<std::pair<Sent, uint32_t>, 10> acked;
  for (uint32_t i = 0; i < k; ++i) {
    const TBPlusArea::Slot& slot = a.Sent[(before + i + 1) % 10];
    acked[i] = {slot.Kind, slot.DataLen};
  }
  a.Outstanding -= k;
  Progress(r, a);
  for (uint32_t i = 0; i < k; ++i) {
    OnAcked(r, a, acked[i].first, acked[i].second, implicit);
    if (a.State == bpDone || a.Step == Step::Failing) return;
  }
  if (a.Step == Step::SendData) {
    if (a.Outstanding > 0) ArmWait(r, a);
    if (!a.Resyncing) a.State = bpSendFile;
  }
}

void PeerInTerminalMode(TransferRecord& r, TBPlusArea& a);

void ResyncDone(TransferRecord& r, TBPlusArea& a, uint8_t digit) {
  a.Resyncing = false;
  const uint32_t after = uint32_t((a.Seq + 10 - digit) % 10);  // our packets the peer lacks
  if (after <= a.Outstanding) {
    const uint32_t lacking = after;
    Acked(r, a, a.Outstanding - lacking, false);
    if (a.State == bpDone || a.Step == Step::Failing) return;
    for (uint32_t i = lacking; i > 0; --i) {
      const auto& wire = a.Sent[(a.Seq + 10 - i + 1) % 10].Wire;
      a.Out.insert(a.Out.end(), wire.begin(), wire.end());
      Mark(a);
    }
    if (a.Outstanding > 0) ArmWait(r, a);
    if (a.Step == Step::SendData) a.State = bpSendFile;
    return;
  }
  if (after == 9) {
    // The peer holds all ours and has sent one of its own that we lack.
    Acked(r, a, a.Outstanding, true);
    if (a.State == bpDone || a.Step == Step::Failing) return;
    Put(a, {kBpNak});
    ArmWait(r, a);
    return;
  }
  Fail(r, a, 'S', "Sequence error", psSequenceError, ecSequenceError);
}

void OnAck(TransferRecord& r, TBPlusArea& a, uint8_t digit) {
  if (a.Step == Step::Failing) {
    if (digit == a.FailDigit) Finish(r, a);
    return;
  }
  if (a.Resyncing) {
    if (a.ResyncLast == digit)
      ResyncDone(r, a, digit);
    else
      a.ResyncLast = digit;
    return;
  }
  if (a.Outstanding == 0) return;
  const uint8_t before = uint8_t((a.Seq + 10 - a.Outstanding) % 10);
  const uint32_t k = uint32_t((digit + 10 - before) % 10);
  if (k >= 1 && k <= a.Outstanding) Acked(r, a, k, false);
}

void OnTimeout(TransferRecord& r, TBPlusArea& a) {
  switch (a.Step) {
    case Step::Enquire:
      if (!a.Attempts.Retry(r.HandshakeRetry)) {
        r.ProtocolStatus = psTimeout;
        Finish(r, a);
        return;
      }
      Put(a, {kBpEnq});
      Arm(r, a, r.HandshakeWait);
      return;
    case Step::Terminal:
      if (a.Lingering) {
        Finish(r, a, true);
        return;
      }
      a.Attempts.Add();
      if (a.Attempts.Count() >= r.HandshakeRetry) {
        r.ProtocolStatus = psTimeout;
        Finish(r, a);
        return;
      }
      Arm(r, a, r.HandshakeWait);
      return;
    case Step::Linger: Finish(r, a, true); return;
    case Step::Failing:
      if (!a.FailResends.Retry(a.FailResendLimit)) {
        Finish(r, a);
        return;
      }
      a.Out.insert(a.Out.end(), a.Sent[a.FailDigit].Wire.begin(), a.Sent[a.FailDigit].Wire.end());
      Mark(a);
      ArmWait(r, a);
      return;
    default: break;
  }
  if (Sending(a)) {
    StartResync(r, a, true);
    return;
  }
  // A receiver that heard nothing whole: what it holds of a packet is dropped.
  a.Decoder.Reset();
  Nak(r, a, true, psTimeout);
}

// --- Requests (responder) and replies (initiator) --------------------------------------------

// A file to receive that may exist: what becomes of it (false: it may not be
// replaced, and the transfer is failing with `failCode`), and whether it is
// to be resumed: a regular, non-empty file (a link is never followed) whose
// length and CRC are taken, when the peer resumes.
bool PlaceExisting(TransferRecord& r, TBPlusArea& a, uint8_t failCode, bool peerResumes, bool& resume) {
  struct stat st {};
  const bool exists = ProbeReceivedFile(r, BufferText(r.PathName), st) == 0;
  a.Action = exists ? ExistingFileAction(r) : r.WriteFailAction;
  if (exists && a.Action == wfWriteFail) {
    Fail(r, a, failCode, "File exists", psCantWriteFile, ecCantWriteFile);
    return false;
  }
  resume = exists && a.Action == wfWriteResume && peerResumes && S_ISREG(st.st_mode) && st.st_size > 0 &&
           LocalFileCrc(BufferText(r.PathName), a.ResumeLength, a.ResumeCrc);
  return true;
}

// TD: a file for us.
void DownloadRequest(TransferRecord& r, TBPlusArea& a, const std::string& name) {
  const bool usable = PlaceReceivedName(r, name, (r.TransferOptions & tfHonorDirectory) != 0) == TPlaceResult::Placed;
  BeginFile(r, a, true, BufferText(r.PathName));
  if (!usable) {
    Fail(r, a, 'E', "Bad file name", psFileRejected, 0);
    return;
  }
  if (!AskAccept(r)) {
    Fail(r, a, 'A', "File rejected", psFileRejected, 0);
    return;
  }
  bool resume = false;
  if (!PlaceExisting(r, a, 'E', a.Force.DR > 0, resume)) return;
  if (resume && OpenForResume(r, a.ResumeLength)) {
    a.File.ResumeAsked = true;
    ReportStatus(r, psTryingResume);
    const std::vector<uint8_t> body = BPlusResumeBody('r', kDataType, a.ResumeLength, a.ResumeCrc, {});
    SendPacket(a, 'T', body.data(), body.size(), Sent::ResumeDownload);
    a.Step = Step::ResumeAsk;
    ArmWait(r, a);
    ToListen(a);
    return;
  }
  if (r.ProtocolError != 0 || !PrepareWriting(r, a.Action)) {
    Fail(r, a, 'I', "Cannot write the file", 0, r.ProtocolError == 0 ? ecCantWriteFile : 0);
    return;
  }
  SendAck(a, a.Seq);
  StartReceiving(r, a);
}

// The served file a request names: the same file name, else the same
// ignoring case.
bool FindServed(const TBPlusArea& a, const std::string& requested, std::string& path) {
  const std::string want = JustFilename(requested);
  for (int pass = 0; pass < 2; ++pass)
    for (const auto& served : a.Served) {
      const std::string name = JustFilename(served);
      if (pass == 0 ? name == want : strcasecmp(name.c_str(), want.c_str()) == 0) {
        path = served;
        return true;
      }
    }
  return false;
}

// TU or Tu: send a file of ours.
void UploadRequest(TransferRecord& r, TBPlusArea& a, const std::string& name, const TBPlusResume* resume) {
  std::string path;
  const bool found = FindServed(a, name, path);
  BeginFile(r, a, false, found ? path : name);
  if (!found) {
    Fail(r, a, 'M', "File not found", psFileDoesntExist, ecFileNotFound);
    return;
  }
  r.PrepareReadingHook(r);
  if (r.ProtocolError != 0) {
    Fail(r, a, 'I', "Cannot read the file", 0, 0);
    return;
  }
  SendAck(a, a.Seq);
  uint64_t from = 0;
  if (resume != nullptr) {
    uint16_t crc = 0;
    if (SentFileCrc(r, a, resume->Length, crc) && crc == resume->Crc) {
      from = resume->Length;
      ReportStatus(r, psHostResuming);
    } else if (a.Force.UR >= 2) {
      a.File.RestartFirst = true;
    } else {
      Fail(r, a, 'r', "Resume failed", psResumeBad, ecProtocolAbort);
      return;
    }
  }
  StartSending(r, a, from);
}

void OnRequest(TransferRecord& r, TBPlusArea& a, const std::vector<uint8_t>& body) {
  const std::string text(body.begin(), body.end());
  const uint8_t function = body.empty() ? 0 : body[0];
  if (function == 'D' || function == 'U') {
    const std::string name = text.size() > 2 ? text.substr(2) : std::string();
    if (function == 'D' && a.Transmit)
      Fail(r, a, 'E', "Not taking files", psFileRejected, 0);
    else if (function == 'U' && !a.Transmit)
      Fail(r, a, 'M', "No files to send", psFileDoesntExist, ecFileNotFound);
    else if (function == 'D')
      DownloadRequest(r, a, name);
    else
      UploadRequest(r, a, name, nullptr);
    return;
  }
  TBPlusResume resume;
  if (function == 'u' && BPlusParseResume(body.data(), body.size(), resume)) {
    if (!a.Transmit)
      Fail(r, a, 'M', "No files to send", psFileDoesntExist, ecFileNotFound);
    else
      UploadRequest(r, a, resume.Name, &resume);
    return;
  }
  Fail(r, a, 'N', "Unknown request", psProtocolError, ecProtocolError);
}

// Tr: the responder holds part of the file we offered.
void OnResumeRequest(TransferRecord& r, TBPlusArea& a, const std::vector<uint8_t>& body) {
  TBPlusResume resume;
  if (!BPlusParseResume(body.data(), body.size(), resume) || body[0] != 'r') {
    Fail(r, a, 'N', "Bad resume request", psProtocolError, ecProtocolError);
    return;
  }
  SendAck(a, a.Seq);
  uint16_t crc = 0;
  if (SentFileCrc(r, a, resume.Length, crc) && crc == resume.Crc) {
    ReportStatus(r, psHostResuming);
    StartSending(r, a, resume.Length);
  } else if (a.Force.DR >= 2) {
    a.File.RestartFirst = true;
    StartSending(r, a, 0);
  } else {
    Fail(r, a, 'r', "Resume failed", psResumeBad, ecProtocolAbort);
  }
}

// --- The initiator's files --------------------------------------------------------------------

// Sends the T packet of the file (transmit) or name (receive) at hand.
void SendRequest(TransferRecord& r, TBPlusArea& a) {
  if (a.Transmit) {
    BeginFile(r, a, false, BufferText(r.PathName));
    r.PrepareReadingHook(r);
    if (r.ProtocolError != 0) {
      Fail(r, a, 'A', "Cannot read the file", 0, 0);
      return;
    }
    const std::string body = std::string("D") + char(kDataType) + JustFilename(BufferText(r.PathName));
    SendText(a, 'T', body, Sent::Download);
  } else {
    const bool usable =
        PlaceReceivedName(r, a.RequestName, (r.TransferOptions & tfHonorDirectory) != 0) == TPlaceResult::Placed;
    BeginFile(r, a, true, BufferText(r.PathName));
    if (!usable) {
      Fail(r, a, 'A', "Bad file name", 0, ecNoFilename);
      return;
    }
    bool resume = false;
    if (!PlaceExisting(r, a, 'A', a.Force.UR > 0, resume)) return;
    if (resume) {
      a.File.ResumeAsked = true;
      ReportStatus(r, psTryingResume);
      const std::vector<uint8_t> body = BPlusResumeBody('u', kDataType, a.ResumeLength, a.ResumeCrc, a.RequestName);
      SendPacket(a, 'T', body.data(), body.size(), Sent::ResumeUpload);
    } else {
      SendText(a, 'T', std::string("U") + char(kDataType) + a.RequestName, Sent::Upload);
    }
  }
  a.Step = Step::Request;
  ArmWait(r, a);
  ToListen(a);
}

void FinishOk(TransferRecord& r, TBPlusArea& a) { Finish(r, a, true); }

void InitiatorNext(TransferRecord& r, TBPlusArea& a) {
  if (!a.RequestReady) {
    char name[kMaxPathChars + 1] = {0};
    if (!r.NextFileHook(r, name) || name[0] == 0) {
      if (r.ProtocolError != 0) {
        Fail(r, a, 'A', "No more files", 0, 0);
      } else if (a.Transmit) {
        FinishOk(r, a);
      } else {
        // We sent the last ACK: stay for a peer that did not hear it.
        a.Step = Step::Linger;
        Arm(r, a, a.Linger);
        ToListen(a);
      }
      return;
    }
    if (a.Transmit)
      SetBufferText(r.PathName, name);
    else
      a.RequestName = name;
  }
  a.RequestReady = false;
  SendRequest(r, a);
}

// DLE + + while we resync: the peer has left the session (terminal mode).
void PeerInTerminalMode(TransferRecord& r, TBPlusArea& a) {
  const TBPlusArea::Slot& last = a.Sent[a.Seq];
  a.Resyncing = false;
  if (a.Outstanding > 0 && last.Kind == Sent::Close) {
    // It left after our TC: the file arrived.
    Acked(r, a, a.Outstanding, false);
    return;
  }
  if (a.Initiator && (a.Step == Step::Request || a.Step == Step::OwnParams)) {
    // It never saw our request: a new session, then the request again.
    if (a.Step == Step::Request && a.File.Active) {
      if (r.FileOpen) r.FinishReadingHook(r);
      a.File.Active = false;
      a.RequestReady = true;
    }
    a.Outstanding = 0;
    DropUnsent(a);
    ResetToDefaults(r, a);
    SendParams(a);
    a.Step = Step::OwnParams;
    ArmWait(r, a);
    return;
  }
  Fail(r, a, 'S', "Session lost", psSequenceError, ecSequenceError);
}

// --- Packets ------------------------------------------------------------------------------

void OnPeerFailure(TransferRecord& r, TBPlusArea& a, const std::vector<uint8_t>& body) {
  SendAck(a, a.Event.digit);
  if (a.Step != Step::Failing) {
    const uint8_t code = body.empty() ? 'E' : body[0];
    if (code == 'r') {
      r.ProtocolStatus = psResumeBad;
      GotError(r, ecProtocolAbort);
    } else if (code == 'M') {
      r.ProtocolStatus = psFileDoesntExist;
      GotError(r, ecFileNotFound);
    } else {
      r.ProtocolStatus = psAbort;
      GotError(r, ecProtocolAbort);
    }
  }
  Finish(r, a);
}

// The parameters of the peer's '+': our answer (responder) or the switch
// (initiator).
void OnParams(TransferRecord& r, TBPlusArea& a, const std::vector<uint8_t>& body) {
  const TBPlusParams peer = BPlusDecodeParams(body.data(), body.size());
  const TBPlusInForce f = BPlusNegotiate(a.Mine, peer, kBPlusMaxWindow);
  SendAck(a, a.Seq);
  if (a.Initiator) {
    SwitchTo(r, a, f);
    InitiatorNext(r, a);
    return;
  }
  a.Pending = f;
  a.SwitchPending = true;
  a.Lingering = false;
  SendParams(a);
  a.Step = Step::OwnParams;
  ArmWait(r, a);
}

// A good packet with the digit we expect, by what we are doing.
void OnExpected(TransferRecord& r, TBPlusArea& a, const std::vector<uint8_t>& body) {
  const uint8_t type = a.Event.type;
  const uint8_t function = body.empty() ? 0 : body[0];
  switch (a.Step) {
    case Step::PeerParams:
      if (type == kBpPlus) return OnParams(r, a, body);
      break;
    case Step::Terminal:
    case Step::Session:
      a.Lingering = false;
      if (type == kBpPlus) return OnParams(r, a, body);
      if (type == 'T') {
        a.Step = Step::Session;
        return OnRequest(r, a, body);
      }
      break;
    case Step::Request:
      if (type == 'T' && function == 'r') return OnResumeRequest(r, a, body);
      break;
    case Step::RecvData:
      if (type == 'N') {
        a.State = bpRecvFile;
        return;
      }
      if (type == 'T' && function == 'C') {
        r.FinishWritingHook(r);
        if (r.ProtocolError != 0) return Fail(r, a, 'I', "Cannot write the file", 0, 0);
        SendAck(a, a.Seq);
        return FileDone(r, a);
      }
      if (type == 'T' && function == 'f' && a.File.ResumeAsked && !a.File.DataSeen) {
        ReportStatus(r, psResumeBad);
        if (!RestartFile(r)) return Fail(r, a, 'I', "Cannot write the file", 0, 0);
        a.File.DataSeen = true;
        SendAck(a, a.Seq);
        ArmWait(r, a);
        return;
      }
      break;
    default: break;
  }
  Fail(r, a, 'N', "Unexpected packet", psProtocolError, ecProtocolError);
}

void OnPacket(TransferRecord& r, TBPlusArea& a) {
  const std::vector<uint8_t>& body = a.Decoder.Body();
  const TBPlusEvent& e = a.Event;
  if (e.type == 'F') {
    // No session yet: a failure left over from an earlier one ends nothing.
    if ((a.Step == Step::Terminal && !a.Negotiated) || a.Step == Step::Enquire) return SendAck(a, e.digit);
    return OnPeerFailure(r, a, body);
  }
  if (a.Step == Step::Failing) return;
  if (a.Step == Step::Terminal && e.type == kBpPlus) {
    // A session starts: any digit.
    Accept(r, a, e.digit);
    return OnParams(r, a, body);
  }
  if (e.digit == Next(a.Seq) && (a.Step != Step::Terminal || a.Negotiated)) {
    if (a.Step == Step::RecvData && e.type == 'N' && body.size() > a.Force.BlockSize) {
      Nak(r, a, false, psLongPacket);
      return;
    }
    if (Sending(a)) {
      a.Resyncing = false;
      Acked(r, a, a.Outstanding, true);
      // What the acknowledgement started may have sent a packet of its own.
      if (a.State == bpDone || a.Step == Step::Failing || a.Outstanding > 0) return;
    }
    Accept(r, a, e.digit);
    return OnExpected(r, a, body);
  }
  if (e.digit == a.Seq && a.SeqIsRx) {
    // The peer missed our ACK of this one.
    r.ProtocolStatus = psDuplicateBlock;
    SendAck(a, a.Seq);
    return;
  }
  if (!Sending(a) && a.Step != Step::Terminal && a.Step != Step::Linger && a.Step != Step::Enquire)
    Nak(r, a, false, psSequenceError);
}

// --- Events between packets ---------------------------------------------------------------------

void OnEnq(TransferRecord& r, TBPlusArea& a) {
  a.NakSent = false;
  if (a.Step == Step::Terminal) {
    // Terminal mode: the session (re)starts from the defaults.
    // The wait goes on: ENQs alone never keep us here.
    ResetToDefaults(r, a);
    Put(a, {kBpDle, kBpPlus, kBpPlus, kBpDle, '0'});
    return;
  }
  if (a.Step != Step::Enquire) SendAck(a, a.Seq);
}

void OnEvent(TransferRecord& r, TBPlusArea& a, const TBPlusEvent& e) {
  switch (e.kind) {
    case TBPlusEvent::Ack: OnAck(r, a, e.digit); break;
    case TBPlusEvent::Nak:
      if (a.Step == Step::Failing) {
        OnTimeout(r, a);
      } else if (Sending(a) && !a.Resyncing) {
        StartResync(r, a, false);
      }
      break;
    case TBPlusEvent::Enq: OnEnq(r, a); break;
    case TBPlusEvent::Wait:
      // The peer is busy: more time, but not for ever.
      if (a.Step != Step::Terminal && a.Step != Step::Enquire && a.Waits.Retry(a.ErrorLimit)) ArmWait(r, a);
      break;
    case TBPlusEvent::PlusPlus:
      if (a.Step == Step::Enquire) {
        ResetToDefaults(r, a);
        SendParams(a);
        a.Step = Step::OwnParams;
        ArmWait(r, a);
      } else if (a.Resyncing && a.Initiator) {
        PeerInTerminalMode(r, a);
      }
      break;
    case TBPlusEvent::Header:
      // A packet with the next digit acknowledges our '+': it already uses
      // the negotiated check.
      if (a.SwitchPending && a.Outstanding > 0 && e.digit == Next(a.Seq) && e.type != kBpPlus)
        a.Decoder.SetCrc(a.Pending.Crc);
      break;
    case TBPlusEvent::Packet:
      a.Event = e;
      a.State = bpCheckPacket;
      break;
    case TBPlusEvent::BadPacket:
      if (a.SwitchPending) a.Decoder.SetCrc(a.Force.Crc);
      if (a.Step == Step::Failing || a.Step == Step::Terminal || a.Step == Step::Linger ||
          a.Step == Step::Enquire || Sending(a))
        break;
      Nak(r, a, false, e.fault == TBPlusEvent::TooLong ? psLongPacket : psBlockCheckError);
      break;
    case TBPlusEvent::PanicAbort:
      r.ProtocolStatus = psAbort;
      GotError(r, ecProtocolAbort);
      Finish(r, a);
      break;
    case TBPlusEvent::None: break;
  }
}

// Reads what the peer sent until a packet is complete or the state changes.
bool Listen(TransferRecord& r, TBPlusArea& a, int32_t trigger) {
  TMroBaseDispatcher* d = r.Dispatcher;
  Flush(r, a);
  a.Armed = false;
  uint8_t buf[kPeekChunk];
  while (d != nullptr && IsListening(a.State)) {
    const uint32_t avail = std::min<uint32_t>(d->InputUsed(), sizeof buf);
    if (avail == 0) break;
    const int32_t got = d->PeekBlock(buf, avail);
    if (got <= 0) break;
    uint32_t used = 0;
    while (used < uint32_t(got) && IsListening(a.State)) {
      const TBPlusEvent e = a.Decoder.Feed(buf[used++]);
      if (e.kind != TBPlusEvent::None) OnEvent(r, a, e);
    }
    d->ReadBlock(buf, used);
    if (a.State == bpDone) return false;
  }
  // A time-out counts only when nothing re-armed the timer since it fired.
  int32_t left = 0;
  if (trigger != 0 && trigger == r.TimeoutTrigger && !a.Armed && IsListening(a.State) &&
      (r.Dispatcher == nullptr || r.Dispatcher->TimerTicksLeft(r.TimeoutTrigger, left) < 0 || left <= 0))
    OnTimeout(r, a);
  if (a.State == bpDone) return false;
  if (IsListening(a.State)) {
    Flush(r, a);
    ToListen(a);
    return false;
  }
  return true;
}

// bpSendFile: packets of the file while the window has room.
void FillWindow(TransferRecord& r, TBPlusArea& a) {
  if (a.File.RestartFirst) {
    a.File.RestartFirst = false;
    SendText(a, 'T', "f", Sent::Restart);
  }
  while (a.Outstanding < a.Force.SendWindow && !a.File.EofQueued) {
    uint32_t count = std::min(a.DataBlock, a.Force.BlockSize);
    const bool last = r.ReadBlockHook(r, a.Block.data(), count);
    if (r.ProtocolError != 0) {
      Fail(r, a, 'I', "Cannot read the file", 0, 0);
      return;
    }
    if (count > 0) {
      SendPacket(a, 'N', a.Block.data(), count, Sent::Data, count);
      r.FileOffset += count;
      ++r.BlockNum;
    }
    if (last && a.Outstanding < a.Force.SendWindow) {
      SendText(a, 'T', "C", Sent::Close);
      a.File.EofQueued = true;
    }
  }
  if (a.Outstanding > 0) ArmWait(r, a);
  a.State = bpSendPacket;
}

// bpRecvFile: the data of the packet just accepted.
void WriteData(TransferRecord& r, TBPlusArea& a) {
  const std::vector<uint8_t>& body = a.Decoder.Body();
  if (!a.File.DataSeen && a.File.ResumeAsked) ReportStatus(r, psHostResuming);
  a.File.DataSeen = true;
  if (!body.empty() && r.WriteBlockHook(r, body.data(), uint32_t(body.size()))) {
    Fail(r, a, 'I', "Cannot write the file", 0, 0);
    return;
  }
  r.FileOffset += body.size();
  r.BytesTransferred += int64_t(body.size());
  ++r.BlockNum;
  RefreshStatus(r);
  SendAck(a, a.Seq);
  ArmWait(r, a);
  a.State = bpSendPacket;
}

void Begin(TransferRecord& r, TBPlusArea& a) {
  NewTimer(r.TransferTimer, 1);
  a.Decoder.Reset();
  ResetToDefaults(r, a);
  a.Attempts.Reset();
  if (a.Initiator) {
    a.Step = Step::Enquire;
    a.Attempts.Reset(1);
    Put(a, {kBpEnq});
  } else {
    a.Step = Step::Terminal;
    a.Lingering = false;
  }
  Arm(r, a, r.HandshakeWait);
  a.State = bpSendPacket;
}

// A cancel or carrier loss (the head has set the status and purged the
// transmit ring): a session in progress hears F A first.
void OnCancel(TransferRecord& r, TBPlusArea& a) {
  a.Out.clear();
  a.OutEnds.clear();
  a.OutPos = 0;
  const bool session = a.Step != Step::Terminal && a.Step != Step::Enquire && a.Step != Step::Linger &&
                       a.Step != Step::Failing && a.State != bpInitial;
  if (r.ProtocolStatus == psCancelRequested && session) {
    Fail(r, a, 'A', "Cancelled", psCancelRequested, 0, 1);
    return;
  }
  Finish(r, a);
}

// bpCheckPacket: the packet the decoder completed.
void CheckPacket(TransferRecord& r, TBPlusArea& a) {
  OnPacket(r, a);
  if (a.State == bpCheckPacket) a.State = bpSendPacket;
}

// bpSendPacket: what waits goes out, then the wait for the peer.
void SendPending(TransferRecord& r, TBPlusArea& a) {
  Flush(r, a);
  ToListen(a);
}

// One state's step; false when the pass ends here. The four listening
// states differ only in what the dispatch log shows (what the wait is in):
// one step serves them.
bool RunState(TransferRecord& r, TBPlusArea& a, int32_t trigger) {
  switch (a.State) {
    case bpInitial: Begin(r, a); return true;
    case bpWaitDle: case bpWaitB: case bpCollPacket: case bpWaitAck: return Listen(r, a, trigger);
    case bpCheckPacket: CheckPacket(r, a); return true;
    case bpRecvFile: WriteData(r, a); return true;
    case bpSendFile: FillWindow(r, a); return true;
    case bpSendPacket: SendPending(r, a); return true;
    case bpDone: return false;
  }
  return false;
}

TBPlusParams MyParams(const TransferRecord& r, const TBPlusArea& a) {
  TBPlusParams p;
  const uint8_t ahead = uint8_t(std::clamp<uint32_t>(a.Window, 1, kBPlusMaxWindow) - 1);
  p.WS = ahead;
  p.WR = ahead;
  const uint32_t block = std::min<uint32_t>(a.MaxBlockSize, (r.TransferOptions & tfBP2KTransmit) ? 2048 : 1024);
  p.BS = uint8_t(std::max<uint32_t>(block / 128, 1));
  p.CM = r.CheckType == bcmChecksum ? 0 : 1;
  p.DQ = 1;
  p.TL = 0;
  TBPlusQuoteSet set = a.QuoteSet;
  for (uint8_t c : {kBpEtx, kBpEnq, kBpDle, kBpNak}) set.Add(c);
  p.Q = set.ToMask();
  p.DR = a.OfferResume ? 2 : 0;
  p.UR = a.OfferResume ? 2 : 0;
  p.FI = 0;
  return p;
}

// A fresh session in an area, its settings kept.
void ResetSession(TBPlusArea& a) {
  TBPlusArea fresh;
  fresh.Role = a.Role;
  fresh.Window = a.Window;
  fresh.MaxBlockSize = a.MaxBlockSize;
  fresh.QuoteSet = a.QuoteSet;
  fresh.PacketWait = a.PacketWait;
  fresh.Linger = a.Linger;
  fresh.ErrorLimit = a.ErrorLimit;
  fresh.OfferResume = a.OfferResume;
  a = fresh;
  a.Block.assign(kBPlusMaxBody, 0);
}

void Prepare(TransferRecord& r, bool transmit) {
  TBPlusArea* ap = AreaToPrepare(r, BPlusArea);
  if (ap == nullptr) return;
  TBPlusArea& a = *ap;
  ResetSession(a);
  StartStatus(r, false);
  a.Transmit = transmit;
  a.Initiator = a.Role == bprInitiator || (a.Role == bprAuto && transmit);
  a.Mine = MyParams(r, a);
  r.BlockSize = uint32_t(a.Mine.BS) * 128;
  r.FindFirstPending = true;
  RefreshStatus(r);
  if (a.Initiator) {
    // The first file (or name) is known before any byte goes out.
    char name[kMaxPathChars + 1] = {0};
    if (!r.NextFileHook(r, name) || name[0] == 0) {
      r.PathName[0] = 0;
      if (!transmit && r.ProtocolError == 0) GotError(r, ecNoFilename);
      ShowLastStatus(r);
      a.State = bpDone;
      // Nothing to send and no error: the transfer ends here, with code 0.
      if (r.ProtocolError == 0) ProtocolFinish(r);
      return;
    }
    if (transmit)
      SetBufferText(r.PathName, name);
    else
      a.RequestName = name;
    a.RequestReady = true;
  } else if (transmit) {
    char name[kMaxPathChars + 1] = {0};
    while (a.Served.size() < kBPlusMaxServed && r.NextFileHook(r, name) && name[0] != 0) a.Served.push_back(name);
    if (r.ProtocolError != 0 || a.Served.empty()) {
      ShowLastStatus(r);
      a.State = bpDone;
      if (r.ProtocolError == 0) ProtocolFinish(r);
      return;
    }
  }
  a.State = bpInitial;
}

void HandlePass(TransferRecord& r, TBPlusArea& a, UINT msg, WPARAM wParam) {
  if (a.State == bpDone) return;
  for (;;) {
    // A trigger and a cancel are seen by one pass only.
    const int32_t trigger = int32_t(wParam);
    const UINT message = msg;
    wParam = 0;
    msg = 0;
    if (HandlerPassHead(r, message, WPARAM(trigger), lkBPlus, uint8_t(skBPlusStates + a.State))) {
      if (a.Step == Step::Failing || r.ProtocolStatus == psAbortNoCarrier)
        Finish(r, a);
      else
        OnCancel(r, a);
    }
    if (a.State == bpDone || !RunState(r, a, trigger) || a.State == bpDone) return;
  }
}

void Handle(UINT msg, WPARAM wParam, LPARAM lParam) { RunHandlerPass(msg, wParam, lParam, BPlusArea, HandlePass); }

}  // namespace

// --- Public ------------------------------------------------------------------------------------

TBPlusArea* BPlusArea(TransferRecord& r) {
  return r.ProtocolType == ptBPlus ? dynamic_cast<TBPlusArea*>(r.Area.get()) : nullptr;
}

int32_t InitBPlus(TransferRecord& r) {
  InstallArea<TBPlusArea>(r, ptBPlus, {.CheckType = bcmCrc16, .BlockSize = 1024}).Block.assign(kBPlusMaxBody, 0);
  return 0;
}

void DoneBPlus(TransferRecord& r) { RemoveArea<TBPlusArea>(r); }

int32_t SetBPlusRole(TransferRecord& r, TBPlusRole role) {
  return SetInArea(r, BPlusArea, role <= bprResponder, [&](TBPlusArea& a) { a.Role = role; });
}

int32_t SetBPlusWindow(TransferRecord& r, uint32_t packets) {
  return SetInArea(r, BPlusArea, packets >= 1 && packets <= kBPlusMaxWindow, [&](TBPlusArea& a) {
    a.Window = packets;
  });
}

int32_t SetBPlusBlockSize(TransferRecord& r, uint32_t bytes) {
  return SetInArea(r, BPlusArea, bytes >= 128 && bytes <= kBPlusMaxBody && bytes % 128 == 0, [&](TBPlusArea& a) {
    a.MaxBlockSize = bytes;
  });
}

int32_t SetBPlusQuoteSet(TransferRecord& r, const TBPlusQuoteSet& set) {
  return SetInArea(r, BPlusArea, [&](TBPlusArea& a) { a.QuoteSet = set; });
}

int32_t SetBPlusWaits(TransferRecord& r, int32_t packetWaitTicks, int32_t lingerTicks) {
  return SetInArea(r, BPlusArea, packetWaitTicks >= 1 && lingerTicks >= 1, [&](TBPlusArea& a) {
    a.PacketWait = packetWaitTicks;
    a.Linger = lingerTicks;
  });
}

int32_t SetBPlusErrorLimit(TransferRecord& r, uint32_t errors) {
  return SetInArea(r, BPlusArea, errors >= 1, [&](TBPlusArea& a) { a.ErrorLimit = errors; });
}

int32_t SetBPlusOfferResume(TransferRecord& r, bool offer) {
  return SetInArea(r, BPlusArea, [&](TBPlusArea& a) { a.OfferResume = offer; });
}


const TEngine kBPlusEngine{.Name = "B+", .LogKind = lkBPlus, .StateBase = skBPlusStates,
                           .CheckMethods = (1 << bcmChecksum) | (1 << bcmCrc16),
                           .Init = [](TransferRecord& r, TProtocolType) { return InitBPlus(r); },
                           .Done = DoneBPlus,
                           .Prepare = {[](TransferRecord& r) { Prepare(r, false); },
                                       [](TransferRecord& r) { Prepare(r, true); }},
                           .Handler = {Handle, Handle}};

}  // namespace zav
