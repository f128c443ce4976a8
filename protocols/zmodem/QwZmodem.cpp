// Zmodem: the area and its setters, and the transmit machine.
#include "protocols/zmodem/QwZmodem.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include "platform/FileNames.h"
#include "protocols/core/QwTPcl.h"
#include "serial/QwUser.h"
#include "serial/QxExcept.h"
#include "serial/QxSrMgr.h"

namespace zav {

TZmodemArea* ZmodemArea(TransferRecord& r) {
  return r.ProtocolType == ptZmodem ? dynamic_cast<TZmodemArea*>(r.Area.get()) : nullptr;
}

namespace {

void AllocateBuffers(TZmodemArea& a, uint32_t block) {
  a.DataBlock.assign(block, 0);
  a.WorkBuffer.assign(WorkBufferSize(block), 0);
  a.EscapedLength = 0;
}

}  // namespace

int32_t InitZmodem(TransferRecord& r) {
  InstallArea<TZmodemArea>(r, ptZmodem,
                           {.CheckType = bcmCrc32,
                            .BlockSize = kZmodemBlock,
                            .ReceiveTimeout = 364,
                            .HandshakeWait = 1092,
                            .FinishWait = 364,
                            .Overhead = 20,
                            .TurnDelay = 0});
  r.FileOpen = false;
  r.FileOffset = 0;
  r.SrcFileDate = 0;
  r.TransferOptions &= ~tfZmodem8K;
  r.PrepareWritingHook = ZmodemPrepareWriting;
  r.FinishWritingHook = ZmodemFinishWriting;
  return 0;
}

void DoneZmodem(TransferRecord& r) { RemoveArea<TZmodemArea>(r); }

int32_t SetZmodemNeverReplace(TransferRecord& r, bool on) {
  return SetInArea(r, ZmodemArea, [&](TZmodemArea& a) { a.NeverReplace = on; });
}

int32_t SetZmodemOptionOverride(TransferRecord& r, bool on) {
  return SetInArea(r, ZmodemArea, [&](TZmodemArea& a) { a.OptionOverride = on; });
}

namespace {

// The file option byte holds the option (low 7 bits) and the skip bit: each
// setter replaces only its own bits.
int32_t SetFileOptionBits(TransferRecord& r, uint8_t mask, uint8_t bits) {
  return SetInArea(r, ZmodemArea,
                   [&](TZmodemArea& a) { a.FileOption = uint8_t((a.FileOption & ~mask) | (bits & mask)); });
}

}  // namespace

int32_t SetZmodemSkipNoFile(TransferRecord& r, bool on) {
  return SetFileOptionBits(r, kSkipNoFileBit, on ? kSkipNoFileBit : 0);
}

int32_t SetZmodemFileOption(TransferRecord& r, uint8_t option) {
  return SetFileOptionBits(r, uint8_t(~kSkipNoFileBit), option);
}

int32_t SetZmodemRecover(TransferRecord& r, bool on) {
  return SetInArea(r, ZmodemArea, [&](TZmodemArea& a) { a.Recover = on; });
}

int32_t SetZmodemFinishRetry(TransferRecord& r, int32_t retries) {
  return SetInArea(r, ZmodemArea, [&](TZmodemArea& a) { a.FinishRetries = retries; });
}

int32_t SetZmodem8K(TransferRecord& r, bool on) {
  return SetInArea(r, ZmodemArea, [&](TZmodemArea& a) {
    a.Use8K = on;
    r.BlockSize = on ? kZmodemBlock8K : kZmodemBlock;
    AllocateBuffers(a, r.BlockSize);
    a.ReducedBlock = false;
    if (on)
      r.TransferOptions |= tfZmodem8K;
    else
      r.TransferOptions &= ~tfZmodem8K;
  });
}

// --- Transmit ---------------------------------------------------------------------------------

namespace {

using namespace zmodem_detail;

constexpr uint32_t kDataRetries = 20;
constexpr uint32_t kFinishResends = 2;
constexpr uint32_t kSubpacketSlack = 60;
constexpr int32_t kEofStatusTicks = 18;

void SetState(TZmodemArea& a, TZmodemState s) { a.ZmodemState = s; }

void PeerCancelled(TransferRecord& r, TZmodemArea& a) {
  r.ProtocolStatus = psCancelRequested;
  RefreshStatus(r);
  SetState(a, tzError);
}

void SendNak(TransferRecord& r, TZmodemArea& a) {
  a.HeaderData = {};
  SendBinaryHeader(r, a, ZNAK);
}

// The status of a waiting state's pass: the time-out, another trigger, or
// what the received bytes gave.
int32_t WaitStatus(TransferRecord& r, TZmodemArea& a, int32_t trigger) {
  if (trigger != 0) return trigger == r.TimeoutTrigger ? psTimeout : psNoHeader;
  const int32_t status = ParseInput(r, a);
  if (status == psGotHeader) a.SilentTicks = 0;
  return status;
}

// Counts an error; beyond `limit` the transfer ends with -6008.
bool CountError(TransferRecord& r, TZmodemArea& a, uint32_t limit) {
  ++r.TotalErrors;
  if (a.Retries.Retry(limit)) return true;
  SendAbort(r, a);
  GotError(r, ecTooManyErrors);
  return false;
}

uint32_t RingSize(TransferRecord& r) {
  uint32_t in = 0, out = 0;
  if (r.Dispatcher != nullptr) r.Dispatcher->QueueSizes(in, out);
  return out;
}

// Room the escaped subpacket waits for; never more than an empty ring has.
uint32_t RoomNeeded(TransferRecord& r, TZmodemArea& a) {
  return std::min(a.EscapedLength + kSubpacketSlack, RingSize(r));
}

bool HasRoom(TransferRecord& r, TZmodemArea& a) {
  return r.Dispatcher != nullptr && r.Dispatcher->OutputFree() >= RoomNeeded(r, a);
}

uint32_t NormalBlock(const TZmodemArea& a) { return a.Use8K ? kZmodemBlock8K : kZmodemBlock; }

void SendFileHeader(TransferRecord& r, TZmodemArea& a, const std::vector<uint8_t>& info) {
  SendBinaryHeader(r, a, ZFILE);
  std::vector<uint8_t> out(WorkBufferSize(uint32_t(info.size())));
  const uint32_t n = EncodeSubpacket(a.Encoder, info.data(), uint32_t(info.size()), ZCRCW, a.UseCrc32, out.data());
  Send(r, a, out.data(), n);
}

// The name the receiver gets: the path or its file name, "/" as separator;
// lower case where names are upper-cased on this side.
std::string NameToSend(TransferRecord& r) {
  const std::string path = BufferText(r.PathName);
  std::string name = (r.TransferOptions & tfIncludeDirectory) ? path : JustFilename(path);
  std::replace(name.begin(), name.end(), '\\', '/');
  if (r.UpcaseFileNames)
    for (char& c : name) c = char(std::tolower(static_cast<unsigned char>(c)));
  return name;
}

std::vector<uint8_t> FileInfoOf(TransferRecord& r) {
  int64_t date = 0;
  struct stat st {};
  // The exact modification time: the record's date stamp keeps only even seconds.
  if (r.SrcFileDate != 0 && stat(BufferText(r.PathName).c_str(), &st) == 0) date = int64_t(st.st_mtime);
  return BuildFileInfo(NameToSend(r), r.SrcFileLen, date);
}

// Purges the output: what the ring and the driver held never reaches the line.
void PurgeSent(TransferRecord& r, TZmodemArea& a) {
  const uint32_t dropped = r.Dispatcher != nullptr ? r.Dispatcher->OutputInFlight() : 0;
  PurgeOutputOfPort(r);
  a.Line.Add(-int64_t(dropped), MsClock(), LineCps(r));
}

// A ZRPOS while sending: back to the position, with smaller blocks for a while.
bool Reposition(TransferRecord& r, TZmodemArea& a) {
  const uint64_t position = std::min<uint64_t>(a.HeaderPosition, r.SrcFileLen);
  // Repeated requests for a place already asked for are what ends a line
  // that never lets a block through; a request further on is progress.
  if (position > a.LastRposPosition) a.Retries.Reset();
  a.LastRposPosition = position;
  if (!CountError(r, a, kDataRetries)) return false;
  r.FileOffset = position;
  r.BytesTransferred = int64_t(position);
  r.BytesRemaining = int64_t(r.SrcFileLen - position);
  if (r.BlockSize > kZmodemMinBlock) r.BlockSize /= 2;
  r.BlockLen = r.BlockSize;
  a.ReducedBlock = true;
  a.GoodBlocks = 0;
  PurgeSent(r, a);
  return true;
}

void FileDone(TransferRecord& r, TZmodemArea& a, uint16_t log) {
  r.FinishReadingHook(r);
  r.LogFileHook(r, log);
  a.FileActive = false;
  SetState(a, tzGetFile);
}

// --- States ---

void TxInitial(TransferRecord& r, TZmodemArea& a) {
  a.CancelCount = 0;
  static const uint8_t kStart[] = {'r', 'z', 13, 0};
  SendAttention(r, a, kStart);
  a.HeaderData = {};
  SendHexHeader(r, a, ZRQINIT);
  a.Retries.Reset();
  r.TotalErrors = 0;
  ArmTimer(r, r.TimeoutTrigger, r.HandshakeWait);
  SetState(a, tzHandshake);
}

void TxHandshake(TransferRecord& r, TZmodemArea& a, int32_t status) {
  if (status == psTimeout || status == psBlockCheckError) {
    if (!CountError(r, a, r.HandshakeRetry)) return SetState(a, tzError);
    a.HeaderData = {};
    SendHexHeader(r, a, ZRQINIT);
    ArmTimer(r, r.TimeoutTrigger, r.HandshakeWait);
    return;
  }
  if (status == psCancelRequested) return SetState(a, tzError);
  if (status != psGotHeader) return;
  const TZmodemHeader& h = a.Received;
  switch (h.Type) {
    case ZRINIT:
      a.ReceiverBufferSize = uint32_t(h.Data[ZP0]) + 256u * h.Data[ZP1];
      a.UseCrc32 = (h.Data[ZF0] & kCanCrc32) != 0;
      r.CheckType = a.UseCrc32 ? bcmCrc32 : bcmCrc16;
      a.Encoder.EscapeAll = (h.Data[ZF0] & kEscapeControls) != 0;
      // A receiver that was waiting already sent one ZRINIT; the answer to
      // this side's ZRQINIT may still follow.
      a.ZrinitToIgnore = 1;
      a.Retries.Reset();
      SetState(a, tzGetFile);
      break;
    case ZCHALLENGE:
      a.HeaderData = h.Data;
      SendHexHeader(r, a, ZACK);
      break;
    case ZRQINIT:
    case ZNAK:
      break;
    default:
      a.HeaderData = {};
      SendHexHeader(r, a, ZNAK);
      break;
  }
}

void TxGetFile(TransferRecord& r, TZmodemArea& a) {
  if (a.FirstFilePending) {
    a.FirstFilePending = false;  // the prepare routine found it
  } else if (!r.NextFileHook(r, r.PathName.data())) {
    r.PathName[0] = 0;
    return SetState(a, tzSendFinish);
  }
  a.FileSent = true;
  if (r.UpcaseFileNames) UpcasePathName(r, true);
  r.BytesTransferred = 0;
  r.BytesRemaining = 0;
  r.BlockErrors.Reset();
  r.FileOffset = 0;
  r.LogFileHook(r, lfTransmitStart);
  a.FileActive = true;
  r.PrepareReadingHook(r);
  if (r.ProtocolError != 0) {
    SendAbort(r, a);
    return SetState(a, tzError);
  }
  if (r.SrcFileLen > kZmodemMaxFileSize) {
    // Its positions do not fit the headers: refused, the batch goes on.
    ReportError(r, ecFileTooLarge);
    r.ProtocolStatus = psSkipFile;
    return FileDone(r, a, lfTransmitSkip);
  }
  NewTimer(r.TransferTimer, 1);
  a.TimingStarted = true;
  a.HeaderData = {};
  a.HeaderData[ZF0] = a.Recover ? kConvResume : 0;
  a.HeaderData[ZF1] = a.FileOption;
  a.FileInfo = FileInfoOf(r);
  a.LastRposPosition = 0;
  a.SilentTicks = 0;
  RefreshStatus(r);
  SetState(a, tzSendFile);
}

void TxSendFile(TransferRecord& r, TZmodemArea& a) {
  SendFileHeader(r, a, a.FileInfo);
  a.FileSentMs = MsClock();
  r.BytesTransferred = 0;
  r.BytesRemaining = int64_t(r.SrcFileLen);
  a.Retries.Reset();
  ArmTimer(r, r.TimeoutTrigger, r.HandshakeWait);
  SetState(a, tzCheckFile);
}

void ResendFile(TransferRecord& r, TZmodemArea& a) {
  if (!CountError(r, a, r.HandshakeRetry)) return SetState(a, tzError);
  a.HeaderData = {};
  a.HeaderData[ZF0] = a.Recover ? kConvResume : 0;
  a.HeaderData[ZF1] = a.FileOption;
  SendFileHeader(r, a, a.FileInfo);
  ArmTimer(r, r.TimeoutTrigger, r.HandshakeWait);
}

void TxCheckFile(TransferRecord& r, TZmodemArea& a, int32_t status) {
  if (status == psTimeout || status == psBlockCheckError) return ResendFile(r, a);
  if (status == psCancelRequested) return SetState(a, tzError);
  if (status != psGotHeader) return;
  switch (a.Received.Type) {
    case ZSKIP:
      r.ProtocolStatus = psSkipFile;
      r.ShowStatusHook(r, 0);
      FileDone(r, a, lfTransmitSkip);
      break;
    case ZRPOS: {
      const uint64_t position = std::min<uint64_t>(a.HeaderPosition, r.SrcFileLen);
      r.FileOffset = position;
      r.BytesTransferred = int64_t(position);
      r.BytesRemaining = int64_t(r.SrcFileLen - position);
      a.LastRposPosition = position;
      if (a.Retries.Count() == 0) a.AnswerMs = MsClock() - a.FileSentMs;
      SetState(a, tzStartData);
      break;
    }
    case ZCRC: {
      // The CRC-32 of the first ZP0..ZP3 bytes (all with 0), as the published
      // protocol's senders give it: finished with the inversion.
      const uint32_t crc = FileCrc32(r, BufferText(r.PathName), a.HeaderPosition);
      if (r.ProtocolError != 0) return SetState(a, tzError);
      a.HeaderData = PositionData(~crc);
      SendHexHeader(r, a, ZCRC);
      break;
    }
    case ZNAK:
      ResendFile(r, a);
      break;
    case ZRINIT:
      // A receiver asks again after its own time-out; only the answer to
      // this side's ZRQINIT is passed over.
      if (a.ZrinitToIgnore > 0)
        --a.ZrinitToIgnore;
      else
        ResendFile(r, a);
      break;
    case ZABORT:
    case ZCAN:
    case ZFIN:
      PeerCancelled(r, a);
      break;
    default:
      break;
  }
}

void TxStartData(TransferRecord& r, TZmodemArea& a) {
  DiscardInput(r, a);
  PurgeSent(r, a);
  a.BytesSinceWindow = 0;
  a.ZrinitToIgnore = 0;
  a.HeaderData = PositionData(uint32_t(r.FileOffset));
  SendBinaryHeader(r, a, ZDATA);
  SetState(a, tzEscapeData);
}

void BuildSubpacket(TZmodemArea& a) {
  a.EscapedLength = EncodeSubpacket(a.Encoder, a.DataBlock.data(), a.BlockLength, a.SubpacketEnd, a.UseCrc32,
                                    a.WorkBuffer.data());
  a.WorkStale = false;
}

void TxEscapeData(TransferRecord& r, TZmodemArea& a) {
  if (a.ReducedBlock && ++a.GoodBlocks > 4) {
    a.ReducedBlock = false;
    r.BlockSize = NormalBlock(a);
  }
  r.BlockLen = r.BlockSize;
  // A receiver with a buffer never gets more than it holds.
  if (a.ReceiverBufferSize != 0) r.BlockLen = std::min(r.BlockLen, a.ReceiverBufferSize);
  r.BlockLen = std::min<uint32_t>(r.BlockLen, uint32_t(a.DataBlock.size()));
  uint32_t count = r.BlockLen;
  r.LastBlock = r.ReadBlockHook(r, a.DataBlock.data(), count);
  if (r.ProtocolError != 0) {
    SendAbort(r, a);
    return SetState(a, tzError);
  }
  r.BlockLen = count;
  a.BlockLength = count;
  if (a.ReceiverBufferSize != 0) a.BytesSinceWindow += count;
  if (r.LastBlock)
    a.SubpacketEnd = ZCRCE;
  else if (a.ReceiverBufferSize != 0 && a.BytesSinceWindow >= a.ReceiverBufferSize)
    a.SubpacketEnd = ZCRCW;
  else
    a.SubpacketEnd = ZCRCG;
  BuildSubpacket(a);
  ArmTimer(r, r.TimeoutTrigger, r.TransmitTimeout);
  ArmStatus(r, r.OutBuffFreeTrigger, uint16_t(RoomNeeded(r, a)));
  SetState(a, tzSendData);
}

// Puts the escaped subpacket on the line when the ring has room for it.
void SendSubpacket(TransferRecord& r, TZmodemArea& a) {
  if (!HasRoom(r, a)) {
    ArmStatus(r, r.OutBuffFreeTrigger, uint16_t(RoomNeeded(r, a)));
    return;
  }
  // A header went out after the escaping: the escape of a leading CR
  // depends on the byte before it.
  if (a.WorkStale) BuildSubpacket(a);
  if (r.Dispatcher->WriteBlock(a.WorkBuffer.data(), a.EscapedLength) < 0) {
    ArmStatus(r, r.OutBuffFreeTrigger, uint16_t(RoomNeeded(r, a)));
    return;
  }
  a.Line.Add(a.EscapedLength, MsClock(), LineCps(r));
  a.Encoder.LastSent = a.WorkBuffer[a.EscapedLength - 1];
  r.FileOffset += a.BlockLength;
  r.BytesTransferred += int64_t(a.BlockLength);
  r.BytesRemaining -= int64_t(a.BlockLength);
  RefreshStatus(r);
  if (r.LastBlock) {
    // The retry count goes on: only progress (a ZACK, a ZRPOS further on)
    // starts it again, so a receiver that keeps asking for the same place
    // reaches the limit whether or not the end was sent meanwhile.
    SetState(a, tzSendEof);
  } else if (a.SubpacketEnd == ZCRCW) {
    ArmTimer(r, r.TimeoutTrigger, r.TransmitTimeout);
    SetState(a, tzWaitAck);
  } else {
    SetState(a, tzEscapeData);
  }
}

// What a sender waiting on its data or its end does alike: a time-out or a
// damaged header counts an error and the data goes again; a cancel, ZABORT
// or ZCAN ends the transfer; a ZRPOS goes back to the place asked for. True
// when a header is left for the caller.
bool AnswerToData(TransferRecord& r, TZmodemArea& a, int32_t status) {
  if (status == psTimeout || status == psBlockCheckError) {
    SetState(a, CountError(r, a, kDataRetries) ? tzStartData : tzError);
    return false;
  }
  if (status == psCancelRequested) {
    SetState(a, tzError);
    return false;
  }
  if (status != psGotHeader) return false;
  switch (a.Received.Type) {
    case ZABORT:
    case ZCAN: PeerCancelled(r, a); return false;
    case ZRPOS: SetState(a, Reposition(r, a) ? tzStartData : tzError); return false;
    default: return true;
  }
}

// A header while data flows or after a ZCRCW. `streaming`: the receiver is
// in the middle of the stream, where nothing but data may be sent.
void DataReply(TransferRecord& r, TZmodemArea& a, int32_t status, bool streaming) {
  if (!AnswerToData(r, a, status)) return;
  switch (a.Received.Type) {
    case ZACK:
      if (streaming) break;  // nothing waits for it
      a.Retries.Reset();
      SetState(a, tzStartData);
      break;
    case ZSKIP:
      PurgeSent(r, a);
      r.ProtocolStatus = psSkipFile;
      FileDone(r, a, lfTransmitSkip);
      break;
    case ZNAK:
      if (streaming) break;
      SetState(a, CountError(r, a, kDataRetries) ? tzStartData : tzError);
      break;
    default:
      if (streaming) break;
      SendNak(r, a);
      break;
  }
}

void TxSendData(TransferRecord& r, TZmodemArea& a, int32_t trigger) {
  if (trigger == r.TimeoutTrigger && trigger != 0) return DataReply(r, a, psTimeout, true);
  // What the receiver said comes first: after a ZRPOS the block is not wanted.
  if (InputReady(r, a)) {
    const int32_t status = ParseInput(r, a);
    if (status != psNoHeader) {
      r.ProtocolStatus = status;
      DataReply(r, a, status, true);
      if (a.ZmodemState != tzSendData) return;
    }
  }
  SendSubpacket(r, a);
}

void TxSendEof(TransferRecord& r, TZmodemArea& a) {
  a.HeaderData = PositionData(uint32_t(r.FileOffset));
  SendBinaryHeader(r, a, ZEOF);
  ArmStatus(r, r.OutBuffUsedTrigger, 0);
  ArmTimer(r, r.StatusTrigger, kEofStatusTicks);
  int32_t ticks = r.TransmitTimeout;
  if (r.ActualCPS != 0 && r.Dispatcher != nullptr) {
    int32_t seconds = int32_t(r.Dispatcher->OutputUsed() / r.ActualCPS) * 2;
    if (seconds <= 8) seconds = 10;
    ticks = Secs2Ticks(seconds);
  }
  a.EofWaitTicks = ticks;
  ArmTimer(r, r.TimeoutTrigger, ticks);
  SetState(a, tzDrainEof);
}

// What the receiver says after a ZEOF. No answer (or a garbled one) starts a
// data frame again at the end: a receiver that lost the ZDATA of the last
// frame passes a ZEOF for another place over without a word, but answers a
// ZDATA there with a ZRPOS for what it is missing.
void EofReply(TransferRecord& r, TZmodemArea& a, int32_t status) {
  if (status == psTimeout) {
    // A receiver that stays silent (after asking for a position, say) is
    // given up once the silence reaches the wait for any answer.
    a.SilentTicks += a.EofWaitTicks;
    if (a.SilentTicks >= r.TransmitTimeout) {
      SendAbort(r, a);
      GotError(r, ecTimeout);
      return SetState(a, tzError);
    }
    // Asked with the last block again: an empty frame at the end, asked
    // soon, was seen to leave a peer receiver spinning without an answer.
    r.FileOffset -= std::min<uint64_t>(r.FileOffset, r.BlockSize);
    r.BytesTransferred = int64_t(r.FileOffset);
    r.BytesRemaining = int64_t(r.SrcFileLen - r.FileOffset);
  }
  if (!AnswerToData(r, a, status)) return;
  switch (a.Received.Type) {
    case ZRINIT:
    case ZSKIP:
      FileDone(r, a, lfTransmitOk);
      break;
    case ZACK:
      break;
    case ZNAK:
      SetState(a, CountError(r, a, kDataRetries) ? tzSendEof : tzError);
      break;
    default:
      SendNak(r, a);
      break;
  }
}

// The first wait for the answer to a ZEOF once it has left the ring: what the
// driver still holds, or what the line cannot have carried yet of what was
// written if that is more, the receiver's answer time to the ZFILE twice over and a
// second. A receiver that lost the header of a frame passes a ZEOF for another
// place over without a word and waits for a header itself, so a silence past
// that is asked about at once rather than after the whole wait; a second
// silence in a row waits the whole wait.
int32_t EofAnswerWait(TransferRecord& r, const TZmodemArea& a) {
  if (a.SilentTicks > 0 || r.Dispatcher == nullptr || r.FinishWait <= 0) return r.FinishWait;
  const uint64_t queued = std::max<uint64_t>(r.Dispatcher->OutputInFlight(), a.Line.Left(MsClock(), LineCps(r)));
  const uint64_t queuedMs = queued * 1000 / LineCps(r);
  const uint64_t ms = queuedMs + 2 * uint64_t(a.AnswerMs) + 1000;
  return int32_t(std::min<uint64_t>(uint64_t(r.FinishWait), (ms + kMsPerTick - 1) / kMsPerTick));
}

void TxDrainEof(TransferRecord& r, TZmodemArea& a, int32_t trigger) {
  if (trigger != 0 && trigger == r.OutBuffUsedTrigger) {
    a.EofWaitTicks = EofAnswerWait(r, a);
    ArmTimer(r, r.TimeoutTrigger, a.EofWaitTicks);
    return SetState(a, tzCheckEof);
  }
  if (trigger != 0 && trigger == r.TimeoutTrigger) {
    GotError(r, ecTimeout);
    return SetState(a, tzError);
  }
  if (trigger != 0) return;
  const int32_t status = ParseInput(r, a);
  r.ProtocolStatus = status;
  EofReply(r, a, status);
}

void TxSendFinish(TransferRecord& r, TZmodemArea& a) {
  a.HeaderData = PositionData(uint32_t(r.FileOffset));
  SendHexHeader(r, a, ZFIN);
  ArmTimer(r, r.TimeoutTrigger, r.FinishWait);
  a.Retries.Reset();
  SetState(a, tzChkFinish);
}

void TxChkFinish(TransferRecord& r, TZmodemArea& a, int32_t status) {
  if (status == psTimeout || status == psBlockCheckError) {
    // Every file is through: a lost ZFIN is asked again a few times, and no
    // answer at all still ends the session well.
    if (a.Retries.Retry(kFinishResends)) {
      a.HeaderData = PositionData(uint32_t(r.FileOffset));
      SendHexHeader(r, a, ZFIN);
      ArmTimer(r, r.TimeoutTrigger, r.FinishWait);
      return;
    }
    r.ProtocolError = 0;
    r.ProtocolStatus = psOK;
    return SetState(a, tzCleanup);
  }
  if (status == psCancelRequested) return SetState(a, tzError);
  if (status != psGotHeader) return;
  switch (a.Received.Type) {
    case ZFIN: {
      static const uint8_t kOverAndOut[] = {'O', 'O'};
      Send(r, a, kOverAndOut, sizeof kOverAndOut);
      r.ProtocolStatus = psOK;
      SetState(a, tzCleanup);
      break;
    }
    case ZRINIT:
    case ZACK:
    case ZSKIP:
      break;  // late answers to a repeated ZEOF or file header
    default:
      r.ProtocolError = 0;
      r.ProtocolStatus = psOK;
      SetState(a, tzCleanup);
      break;
  }
}

void TxError(TransferRecord& r, TZmodemArea& a) {
  if (a.FileActive) {
    r.FinishReadingHook(r);
    r.LogFileHook(r, lfTransmitFail);
    a.FileActive = false;
  }
  // What is queued is of no use now, except this side's abort string.
  if (!a.AbortSent) PurgeSent(r, a);
  SetState(a, tzCleanup);
}

// Lets the last bytes (the "OO", the abort string) leave the ring before the
// finish: closing the port drops what is still in the ring (what the driver
// took goes out).
bool TxCleanup(TransferRecord& r, TZmodemArea& a, int32_t trigger) {
  if (a.EndNow) {
    // The caller of a cancel (a component going away) cannot wait.
  } else if (!a.Draining) {
    DiscardInput(r, a);
    SendAttention(r, a, a.Attention.data());
    if (r.Dispatcher != nullptr && r.Dispatcher->OutputUsed() > 0) {
      a.Draining = true;
      ArmStatus(r, r.OutBuffUsedTrigger, 0);
      ArmTimer(r, r.TimeoutTrigger, std::min<int32_t>(r.TransmitTimeout, Secs2Ticks(5)));
      return false;
    }
  } else if (trigger == 0 || (trigger != r.OutBuffUsedTrigger && trigger != r.TimeoutTrigger)) {
    DiscardInput(r, a);
    return false;
  }
  a.Draining = false;
  ShowLastStatus(r);
  SetState(a, tzDone);
  ProtocolFinish(r);
  return true;
}

// The head of a pass: false when the call ends after it.
bool TransmitHead(TransferRecord& r, TZmodemArea& a, UINT& msg, WPARAM& wParam) {
  if (msg == MsgProtocolCancel) a.EndNow = true;
  // A second cancel or a carrier loss during a cancel changes nothing, but
  // what is left of the end runs now.
  if (r.ProtocolStatus == psCancelRequested) {
    if (msg == MsgProtocolCancel) {
      msg = 0;
      if (a.ZmodemState != tzError) SetState(a, tzCleanup);
    }
    if (wParam != 0 && int32_t(wParam) == r.ModemTrigger) wParam = 0;
  }
  const bool cancel = msg == MsgProtocolCancel;
  if (cancel) UncountQueued(r);  // before the head purges the output
  const int32_t interval = r.StatusInterval;
  if (a.ZmodemState == tzDrainEof) r.StatusInterval = kEofStatusTicks;
  const bool finished = HandlerPassHead(r, msg, wParam, lkZmodem, uint8_t(skZmodemStates + a.ZmodemState));
  r.StatusInterval = interval;
  if (!a.TimingStarted) r.ElapsedTicks = 0;
  if (finished) {
    if (cancel) SendAbort(r, a);
    msg = 0;
    wParam = 0;
    SetState(a, tzError);
    return true;
  }
  return !(wParam != 0 && int32_t(wParam) == r.StatusTrigger);
}

void PrepareTransmitZmodem(TransferRecord& r) {
  TZmodemArea* ap = AreaToPrepare(r, ZmodemArea);
  if (ap == nullptr) return;
  TZmodemArea& a = *ap;
  r.BlockSize = NormalBlock(a);
  // The escaped block, its end and check must fit the ring at once.
  if (RingSize(r) < 2 * r.BlockSize + 30) {
    r.ProtocolError = ecOutputBufferTooSmall;
    return;
  }
  StartStatus(r, true);
  a.TimingStarted = false;
  a.Parser = TZmodemHeaderParser{};
  r.ForceStatus = false;
  a.ZmodemState = tzInitial;
  r.ProtocolError = 0;
  a.FileSent = a.FileActive = a.Draining = a.EndNow = a.AbortSent = false;
  a.Retries.Reset();
  a.CancelCount = 0;
  a.InputPos = a.InputLen = 0;
  a.LastHeaderType = kZmodemNoHeader;
  a.ReducedBlock = false;
  a.GoodBlocks = 0;
  a.ZrinitToIgnore = 0;
  a.Line = TLineBacklog{};
  a.Encoder = TZmodemEncoder{};
  a.UseCrc32 = true;
  NewTimer(r.TransferTimer, 1);
  // A mask that matches nothing, or a first file larger than the headers'
  // positions can carry, ends here, before the line is touched.
  if (!r.NextFileHook(r, r.PathName.data())) {
    r.PathName[0] = 0;
    a.ZmodemState = tzDone;
    ShowLastStatus(r);
    if (r.ProtocolError == 0) GotError(r, ecNoMatchingFiles);
    return;
  }
  struct stat st {};
  if (stat(BufferText(r.PathName).c_str(), &st) == 0 && uint64_t(st.st_size) > kZmodemMaxFileSize) {
    a.ZmodemState = tzDone;
    ShowLastStatus(r);
    GotError(r, ecFileTooLarge);
    return;
  }
  a.FirstFilePending = true;
}

void TransmitPass(TransferRecord& r, TZmodemArea& a, UINT msg, WPARAM wParam) {
  if (a.ZmodemState == tzDone) return;
  const uint32_t startMs = MsClock();
  for (;;) {
    if (!TransmitHead(r, a, msg, wParam)) return;
    const int32_t trigger = int32_t(wParam);
    bool ended = false;
    switch (a.ZmodemState) {
      case tzInitial: TxInitial(r, a); break;
      case tzHandshake: TxHandshake(r, a, r.ProtocolStatus = WaitStatus(r, a, trigger)); break;
      case tzGetFile: TxGetFile(r, a); break;
      case tzSendFile: TxSendFile(r, a); break;
      case tzCheckFile: TxCheckFile(r, a, r.ProtocolStatus = WaitStatus(r, a, trigger)); break;
      case tzStartData: TxStartData(r, a); break;
      case tzEscapeData: TxEscapeData(r, a); break;
      case tzSendData: TxSendData(r, a, trigger); break;
      case tzWaitAck: DataReply(r, a, r.ProtocolStatus = WaitStatus(r, a, trigger), false); break;
      case tzSendEof: TxSendEof(r, a); break;
      case tzDrainEof: TxDrainEof(r, a, trigger); break;
      case tzCheckEof: EofReply(r, a, r.ProtocolStatus = WaitStatus(r, a, trigger)); break;
      case tzSendFinish: TxSendFinish(r, a); break;
      case tzChkFinish: TxChkFinish(r, a, r.ProtocolStatus = WaitStatus(r, a, trigger)); break;
      case tzError: TxError(r, a); break;
      case tzCleanup: ended = TxCleanup(r, a, trigger); break;
      default: return;
    }
    if (r.ProtocolStatus == psNoHeader || r.ProtocolStatus == psGotHeader) r.ProtocolStatus = psOK;
    if (ended || a.ZmodemState == tzDone || r.Dispatcher == nullptr) return;
    // The trigger belonged to this pass; later passes look at the input.
    msg = 0;
    wParam = 0;
    const TZmodemState s = a.ZmodemState;
    if (s == tzCleanup) {
      if (a.Draining) return;
      continue;
    }
    if (s == tzSendData) {
      if (InputReady(r, a)) continue;
      if (!HasRoom(r, a) || MsClock() != startMs) return;
      wParam = WPARAM(r.OutBuffFreeTrigger);
      continue;
    }
    if (IsWaitingState(s) && !InputReady(r, a)) return;
  }
}

void ZmodemTransmitHandler(UINT msg, WPARAM wParam, LPARAM lParam) {
  RunHandlerPass(msg, wParam, lParam, ZmodemArea, TransmitPass);
}

int32_t ApplyZmodem(TransferRecord& r, const TProtocolSettings& s) {
  int32_t rc = SetZmodemOptionOverride(r, s.ZmodemOptionOverride);
  if (rc == 0) rc = SetZmodemFileOption(r, s.ZmodemFileOption);
  if (rc == 0) rc = SetZmodemSkipNoFile(r, s.ZmodemSkipNoFile);
  if (rc == 0) rc = SetZmodemRecover(r, s.ZmodemRecover);
  if (rc == 0) rc = SetZmodemFinishRetry(r, s.ZmodemFinishRetry);
  // The buffers are made again only for a change.
  if (rc == 0 && ZmodemArea(r)->Use8K != s.Zmodem8K) rc = SetZmodem8K(r, s.Zmodem8K);
  return rc;
}

void ReadZmodem(TransferRecord& r, TProtocolSettings& s) {
  TZmodemArea* a = ZmodemArea(r);
  if (a == nullptr) return;
  s.ZmodemOptionOverride = a->OptionOverride;
  s.ZmodemFileOption = uint8_t(a->FileOption & 0x7F);
  s.ZmodemSkipNoFile = (a->FileOption & kSkipNoFileBit) != 0;
  s.ZmodemRecover = a->Recover;
  s.ZmodemFinishRetry = a->FinishRetries;
  s.Zmodem8K = a->Use8K;
}

}  // namespace

const TEngine kZmodemEngine{.Name = "Zmodem", .LogKind = lkZmodem, .StateBase = skZmodemStates,
                            .Settings = TSettingsGroup::Zmodem,
                            .CheckMethods = (1 << bcmCrc16) | (1 << bcmCrc32),
                            .Init = [](TransferRecord& r, TProtocolType) { return InitZmodem(r); },
                            .Done = DoneZmodem, .Apply = ApplyZmodem, .Read = ReadZmodem,
                            .Prepare = {PrepareReceiveZmodem, PrepareTransmitZmodem},
                            .Handler = {ZmodemReceiveHandler, ZmodemTransmitHandler}};

}  // namespace zav
