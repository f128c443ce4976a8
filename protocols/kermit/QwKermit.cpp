#include "protocols/kermit/QwKermit.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

#include "platform/FileNames.h"
#include "protocols/core/QwTPcl.h"
#include "serial/QwUser.h"
#include "serial/QxExcept.h"
#include "serial/QxSrMgr.h"

namespace zav {

namespace {

constexpr const char* kSyncLost = "Failed to syncronize protocol";
constexpr const char* kCantWrite = "Error opening or writing file";
constexpr const char* kCancelled = "Transfer cancelled";

uint8_t CheckCharOf(TBlockCheckMethod m) {
  switch (m) {
    case bcmChecksum2: return '2';
    case bcmCrcK: return '3';
    default: return '1';
  }
}

TBlockCheckMethod CheckMethodOf(uint8_t c) {
  switch (c) {
    case '2': return bcmChecksum2;
    case '3': return bcmCrcK;
    default: return bcmChecksum;
  }
}

void SetState(TKermitArea& a, TKermitState s) { a.KermitState = s; }

int32_t TimeTicks(const TKermitArea& a) { return Secs2Ticks(std::max<int32_t>(1, a.Local.TimeoutSecs)); }

// Arms the time-out; one that fired before is answered by this.
void ArmTimeout(TransferRecord& r, TKermitArea& a, int32_t ticks) {
  ArmTimer(r, r.TimeoutTrigger, ticks);
  a.TimeoutPending = false;
  a.PaceWait = false;
}

void ResizeStore(TKermitArea& a) { a.Store.assign(size_t(a.SlotCount) * kKermitMaxData, 0); }

// --- Input and packets -------------------------------------------------------------------

// Moves received bytes from the dispatcher into the input buffer.
void FillInput(TransferRecord& r, TKermitArea& a) {
  if (r.Dispatcher == nullptr) return;
  if (a.InIdx >= a.InLen) {
    a.InIdx = a.InLen = 0;
  } else if (a.InIdx > kKermitInputSize / 2) {
    std::memmove(a.Input.data(), a.Input.data() + a.InIdx, a.InLen - a.InIdx);
    a.InLen -= a.InIdx;
    a.InIdx = 0;
  }
  const uint32_t room = kKermitInputSize - a.InLen;
  const uint32_t waiting = std::min(room, r.Dispatcher->InputUsed());
  if (waiting == 0) return;
  const int32_t got = r.Dispatcher->ReadBlock(a.Input.data() + a.InLen, waiting);
  if (got > 0) a.InLen += uint32_t(got);
}

bool InputHolds(TransferRecord& r, const TKermitArea& a) {
  return a.InIdx < a.InLen || (r.Dispatcher != nullptr && r.Dispatcher->InputUsed() > 0);
}

// The check type of a received packet: Send-Init packets and everything
// before the exchange use type 1.
uint8_t CheckOfType(const void* ctx, uint8_t type) {
  const auto& a = *static_cast<const TKermitArea*>(ctx);
  return !a.Negotiated || type == 'S' ? '1' : a.CheckType;
}

TKermitReadResult ReadPacket(TransferRecord& r, TKermitArea& a, bool headerOnly) {
  FillInput(r, a);
  size_t used = 0;
  const TKermitReadResult res =
      a.Reader.Feed(a.Input.data() + a.InIdx, a.InLen - a.InIdx, used, headerOnly, CheckOfType, &a);
  a.InIdx += uint32_t(used);
  if (res == krGood && (r.ProtocolStatus == psTimeout || r.ProtocolStatus == psBlockCheckError))
    r.ProtocolStatus = psOK;
  return res;
}

TKermitFraming Framing(const TKermitArea& a, uint8_t checkType) {
  // The peer says how it wants its packets padded and ended.
  const TKermitParams& p = a.HaveRemote ? a.Remote : a.Local;
  return {p.PadCount, p.PadChar, p.Terminator, checkType};
}

bool SendPacketWith(TransferRecord& r, TKermitArea& a, uint8_t type, uint8_t seq, const uint8_t* data, size_t n,
                    uint8_t checkType) {
  if (r.Dispatcher == nullptr) return false;
  uint8_t packet[kKermitMaxPacketBytes];
  const size_t len = BuildKermitPacket(Framing(a, checkType), seq, type, data, n, packet);
  if (r.Dispatcher->WriteBlock(packet, uint32_t(len)) < 0) return false;
  const uint32_t now = MsClock();
  if (int32_t(a.LineFreeMs - now) < 0) a.LineFreeMs = now;
  a.LineFreeMs += uint32_t(uint64_t(len) * 1000 / LineCps(r));
  a.BytesWritten += uint32_t(len);
  return true;
}

bool SendPacket(TransferRecord& r, TKermitArea& a, uint8_t type, uint8_t seq, const uint8_t* data = nullptr,
                size_t n = 0) {
  return SendPacketWith(r, a, type, seq, data, n, a.Negotiated ? a.CheckType : '1');
}

bool SendText(TransferRecord& r, TKermitArea& a, uint8_t type, uint8_t seq, const std::string& text) {
  return SendPacket(r, a, type, seq, reinterpret_cast<const uint8_t*>(text.data()),
                    std::min<size_t>(text.size(), a.PacketLen > 10 ? a.PacketLen - 10 : 1));
}

// The bytes a built packet of `n` data bytes takes on the line.
uint32_t PacketBytes(const TKermitArea& a, uint32_t n) {
  const TKermitParams& p = a.HaveRemote ? a.Remote : a.Local;
  return p.PadCount + 1 + (n + 2 + KermitCheckLength(a.CheckType) > 94 ? 6 : 3) + n + 3 + 1;
}

// --- Parameters --------------------------------------------------------------------------

// The prefixes of a data field: each side sends with its own control prefix.
TKermitQuoting Quoting(const TKermitArea& a, bool received) {
  TKermitQuoting q;
  q.CtlPrefix = received && a.HaveRemote ? a.Remote.CtlPrefix : a.Local.CtlPrefix;
  q.HibitPrefix = a.Quote8 ? a.HibitChar : 0;
  q.RepeatPrefix = a.Repeat ? a.Local.RepeatPrefix : 0;
  q.RepeatThreshold = a.RepeatThreshold;
  return q;
}

uint32_t DataLimit(const TKermitArea& a) { return std::max<uint32_t>(a.PacketLen, 10) - 5; }

// Our Send-Init field, or our answer to the peer's (its results in it).
size_t OwnSendInit(const TransferRecord& r, const TKermitArea& a, bool answer, uint8_t* out) {
  TKermitParams p = a.Local;
  p.Capabilities = 0;
  if (r.TransferOptions & tfKermitLongPackets) p.Capabilities |= kKermitCapLong;
  if (r.TransferOptions & tfKermitSlidingWindows) p.Capabilities |= kKermitCapWindows;
  if (!(r.TransferOptions & tfKermitSlidingWindows)) p.Windows = 0;
  if (!(r.TransferOptions & tfKermitLongPackets)) p.LongLen = 0;
  if (answer) {
    p.CheckType = a.CheckType;
    if (a.Quote8) p.HibitPrefix = a.HibitChar;
  }
  return EncodeSendInit(p, out);
}

// Takes the peer's Send-Init (or its answer to ours).
void ProcessSendInit(TransferRecord& r, TKermitArea& a, const uint8_t* data, size_t n, bool receiver) {
  a.Quote8 = false;
  a.Repeat = false;
  a.Remote = KermitRemoteDefaults();
  DecodeSendInit(data, n, a.Remote);
  if (!IsKermitPrefixChar(a.Remote.CtlPrefix)) a.Remote.CtlPrefix = '#';
  a.HaveRemote = true;
  const TKermitParams& l = a.Local;
  const TKermitParams& p = a.Remote;
  const uint32_t remoteMax = p.MaxLen == 0 ? 80 : std::clamp<uint32_t>(p.MaxLen, 10, kKermitMaxShortLen);
  const uint32_t maxLen = std::min<uint32_t>(l.MaxLen, remoteMax);
  a.Repeat = p.RepeatPrefix == l.RepeatPrefix && IsKermitPrefixChar(l.RepeatPrefix);
  if (IsKermitPrefixChar(p.HibitPrefix) && l.HibitPrefix != 'N') {
    a.Quote8 = true;
    a.HibitChar = p.HibitPrefix;
  } else if (IsKermitPrefixChar(l.HibitPrefix) && p.HibitPrefix == 'Y') {
    a.Quote8 = true;
    a.HibitChar = l.HibitPrefix;
  }
  // A prefix that collides with another one would make the field ambiguous.
  if (a.Quote8 && (a.HibitChar == l.CtlPrefix || (a.Repeat && a.HibitChar == l.RepeatPrefix))) a.Quote8 = false;
  a.LongPackets = false;
  uint32_t longLen = 0;
  if ((p.Capabilities & kKermitCapLong) && (r.TransferOptions & tfKermitLongPackets)) {
    a.LongPackets = true;
    // The peer's limit, within our own.
    longLen = p.LongLen == 0 ? maxLen : std::min<uint32_t>(p.LongLen, std::max<uint32_t>(l.LongLen, maxLen));
    longLen = std::clamp<uint32_t>(longLen, 10, kKermitMaxLongLen);
  }
  uint32_t slots = 1;
  if ((p.Capabilities & kKermitCapWindows) && (r.TransferOptions & tfKermitSlidingWindows))
    slots = std::clamp<uint32_t>(std::min<uint32_t>(l.Windows, p.Windows & 31), 1, kKermitMaxWindows);
  if (receiver) {
    a.CheckType = p.CheckType >= '1' && p.CheckType <= '3' ? p.CheckType : '1';
  } else {
    a.CheckType = p.CheckType == l.CheckType ? l.CheckType : '1';
  }
  if (slots > 1) r.TurnDelay = a.SWCTurnDelay;
  a.PacketLen = a.LongPackets ? longLen : maxLen;
  r.BlockSize = a.PacketLen;
  if (slots != a.SlotCount || a.Store.size() != size_t(slots) * kKermitMaxData) {
    a.SlotCount = slots;
    ResizeStore(a);
  }
}

// --- Errors and cancel ---------------------------------------------------------------------

// A time-out or a bad packet; true when the retries are used up (the error
// is reported).
bool CountError(TransferRecord& r, TKermitArea& a, int32_t status) {
  r.ProtocolStatus = status;
  RefreshStatus(r);
  ++r.TotalErrors;
  r.BlockErrors.Add();
  if (a.Retries.Retry(r.HandshakeRetry)) return false;
  GotError(r, r.ProtocolError != 0 ? r.ProtocolError : ecProtocolError);
  return true;
}

void PeerSentError(TransferRecord& r, TKermitArea& a, const uint8_t* data, uint32_t n) {
  a.PeerError = true;
  if (r.Dispatcher != nullptr)
    r.Dispatcher->AddLogText("Kermit error packet: " + std::string(reinterpret_cast<const char*>(data), n));
  if (r.ProtocolError == 0) GotError(r, ecProtocolAbort);
}

void Ack(TransferRecord& r, TKermitArea& a, uint8_t seq);

// The oldest packet a sender has not seen acknowledged: the data packet in
// flight longest, else the last packet sent.
uint8_t OldestUnanswered(const TKermitArea& a) {
  for (uint32_t k = 0; k < a.WinCount; ++k) {
    const TKermitSlot& s = a.Slots[(a.WinFirst + k) % a.SlotCount];
    if (s.InUse) return s.Seq;
  }
  return a.Seq;
}

// An error packet that ends the session whatever the receiver expects: a
// receiver may take only the sequence number it waits for, and a sender does
// not know which of its unanswered packets arrived (a cancel purges what was
// still queued). The packet goes with every number from the oldest unanswered
// one to the one after the last sent.
void SendErrorToReceiver(TransferRecord& r, TKermitArea& a, uint8_t oldest, const std::string& text) {
  const uint8_t last = uint8_t((a.Seq + 1) & 63);
  for (uint8_t seq = oldest;; seq = uint8_t((seq + 1) & 63)) {
    SendText(r, a, 'E', seq, text);
    if (seq == last) break;
  }
  a.Seq = last;
}

// The packet that ends a cancelled session: an error packet, or a break when
// the peer asked to stop and answered our discard.
void SendCancelFinal(TransferRecord& r, TKermitArea& a, bool answered) {
  if (!answered && !a.CancelAsked) {
    SendErrorToReceiver(r, a, a.CancelOldest, kCancelled);
    return;
  }
  a.Seq = uint8_t((a.Seq + 1) & 63);
  if (a.CancelFinal == 'B')
    SendPacket(r, a, 'B', a.Seq);
  else
    SendText(r, a, 'E', a.Seq, kCancelled);
}

// The cancel packet. The final packet follows once the peer has answered it
// (or after a short wait): a peer may drop what waits on the line when it
// takes the cancel, and a final packet sent with it would be lost.
TKermitState StartCancel(TransferRecord& r, TKermitArea& a, bool receiver, uint8_t final) {
  a.CancelAsked = receiver && a.InFile;
  if (receiver) a.Seq = uint8_t((a.RxBase - 1) & 63);
  if (a.CancelAsked) {
    // The stop rides on the acknowledgements of the window's last packets:
    // those queued before may have been purged with the output, and a sender
    // heeds it on the oldest packet it still waits for. A NAK for the next
    // packet brings that one at once, to be answered the same way.
    const uint8_t z = 'Z';
    for (uint32_t k = a.SlotCount; k >= 1; --k) SendPacket(r, a, 'Y', uint8_t((a.RxBase - k) & 63), &z, 1);
    SendPacket(r, a, 'N', a.RxBase);
  } else {
    const uint8_t d = 'D';
    a.CancelOldest = receiver ? a.Seq : OldestUnanswered(a);
    a.Seq = uint8_t((a.Seq + 1) & 63);
    SendPacket(r, a, 'Z', a.Seq, &d, 1);
  }
  a.CancelSent = true;
  a.CancelFinal = final;
  if (!a.Negotiated) {
    SendCancelFinal(r, a, true);
    return receiver ? rkError : tkError;
  }
  a.Reader.Reset();
  ArmTimeout(r, a, std::min(TimeTicks(a), Secs2Ticks(2)));
  return receiver ? rkWaitCancel : tkWaitCancel;
}

// The peer's answer to the cancel packet (or the wait's end): the final
// packet goes. True when the cancel is over. Answers to earlier packets still
// on their way are passed over.
bool WaitCancel(TransferRecord& r, TKermitArea& a) {
  const TKermitReadResult res = ReadPacket(r, a, false);
  const TKermitReader& p = a.Reader;
  if (res != krGood) {
    if (!a.TimeoutPending) return false;
    SendCancelFinal(r, a, false);
    return true;
  }
  if (p.Type == 'E') return true;
  if (!a.CancelAsked) {
    if (p.Seq != a.Seq) return false;
    SendCancelFinal(r, a, true);
    return true;
  }
  // We asked the sender to stop. A data packet still coming hears it again;
  // the sender's discard is acknowledged (and the part deleted), and its
  // break after it too: the session ends as the sender expects.
  switch (p.Type) {
    case 'D': {
      const uint8_t z = 'Z';
      SendPacket(r, a, 'Y', p.Seq, &z, 1);
      return false;
    }
    case 'Z':
      a.Discard = p.DataLen >= 1 && p.Data[0] == 'D';
      Ack(r, a, p.Seq);
      a.Seq = p.Seq;
      ArmTimeout(r, a, std::min(TimeTicks(a), Secs2Ticks(2)));
      return false;
    case 'B':
      Ack(r, a, p.Seq);
      return true;
    default:
      a.Seq = p.Seq;
      SendCancelFinal(r, a, true);
      return true;
  }
}

// At the end of a failed transfer: the peer hears why, unless it ended it. A
// sender's last packet may or may not have arrived: the error packet goes with
// its sequence number and the next.
void SendFinalError(TransferRecord& r, TKermitArea& a, bool sender) {
  if (a.PeerError || a.CancelSent) return;
  if (r.ProtocolError == 0) {
    switch (r.ProtocolStatus) {
      case psCancelRequested: case psAbortNoCarrier: case psFileRejected: case psCantWriteFile: break;
      default: GotError(r, ecProtocolError);
    }
  }
  if (r.ProtocolStatus == psAbortNoCarrier) return;
  const std::string text = ErrorText(r.ProtocolError != 0 ? r.ProtocolError : ecProtocolError);
  if (sender && a.Negotiated) {
    SendErrorToReceiver(r, a, OldestUnanswered(a), text);
  } else {
    a.Seq = uint8_t((a.Seq + 1) & 63);
    SendText(r, a, 'E', a.Seq, text);
  }
  a.CancelSent = true;
}

// The end of a transfer: once what is queued has left the transmit ring (a
// close would drop it: the last acknowledgement, an error packet), the
// transfer finishes. False while it waits. The start's own pass never waits:
// its handler is not registered yet when that pass failed.
bool FinishWhenDrained(TransferRecord& r, TKermitArea& a, int32_t trigger, bool startPass) {
  if (!startPass && r.Dispatcher != nullptr && r.Dispatcher->OutputUsed() > 0) {
    if (a.EndPhase == 0) {
      a.EndPhase = 1;
      ArmStatus(r, r.OutBuffUsedTrigger, 0);
      ArmTimeout(r, a, r.FinishWait);
      return false;
    }
    if (!a.TimeoutPending && (trigger == 0 || trigger != r.OutBuffUsedTrigger)) return false;
  }
  ShowLastStatus(r);
  ProtocolFinish(r);
  return true;
}

// --- Transmit: files and the window --------------------------------------------------------

void ReadChunk(TransferRecord& r, TKermitArea& a) {
  uint32_t count = kKermitChunkSize;
  const bool last = r.ReadBlockHook(r, a.Chunk.data(), count);
  a.ChunkIdx = 0;
  a.ChunkLen = r.ProtocolError != 0 ? 0 : count;
  a.ChunkEof = last || r.ProtocolError != 0;
  r.FileOffset += a.ChunkLen;
}

// Encodes the next data field from the file into SendData; its length (0 at
// the end of the file).
uint32_t EncodeFromFile(TransferRecord& r, TKermitArea& a) {
  const TKermitQuoting q = Quoting(a, false);
  const size_t limit = DataLimit(a);
  size_t out = 0;
  while (out < limit) {
    if (a.ChunkIdx >= a.ChunkLen) {
      if (a.ChunkEof) break;
      ReadChunk(r, a);
      if (r.ProtocolError != 0) return 0;
      continue;
    }
    size_t added = 0;
    const size_t taken =
        KermitEncode(q, a.Chunk.data() + a.ChunkIdx, a.ChunkLen - a.ChunkIdx, a.SendData.data() + out, limit - out, added);
    if (taken == 0) break;
    a.ChunkIdx += uint32_t(taken);
    out += added;
    r.BytesTransferred += int64_t(taken);
    r.BytesRemaining -= int64_t(taken);
  }
  if (out == 0 && a.ChunkEof && a.ChunkIdx >= a.ChunkLen) r.ProtocolStatus = psEndFile;
  a.SendLen = uint32_t(out);
  return a.SendLen;
}

// Opens the next file of the batch: 1 opened, 0 none left, -1 failed.
int OpenNextFile(TransferRecord& r, TKermitArea& a) {
  RefreshStatus(r);
  a.Retries.Reset();
  // The counts of the last file stay for the last report when none follows.
  if (!r.NextFileHook(r, r.PathName.data())) {
    r.PathName[0] = 0;
    return r.ProtocolError != 0 ? -1 : 0;
  }
  r.BytesTransferred = 0;
  r.BytesRemaining = 0;
  r.BlockNum = 0;
  r.BlockErrors.Reset();
  r.TotalErrors = 0;
  if (r.UpcaseFileNames) UpcasePathName(r, true);
  r.PrepareReadingHook(r);
  if (r.ProtocolError != 0) return -1;
  r.FileOffset = 0;
  a.ChunkIdx = a.ChunkLen = 0;
  a.ChunkEof = false;
  ReadChunk(r, a);
  if (r.ProtocolError != 0) return -1;
  r.LogFileHook(r, lfTransmitStart);
  a.Seq = uint8_t((a.Seq + 1) & 63);
  NewTimer(r.TransferTimer, 1);
  return 1;
}

uint8_t* SlotData(TKermitArea& a, uint32_t idx) { return a.Store.data() + size_t(idx) * kKermitMaxData; }

void ResetWindow(TKermitArea& a) {
  a.WinFirst = a.WinCount = 0;
  a.AnsweredEnd = a.BytesWritten;
  a.TailLost = a.OldestLostToo = a.TailWait = false;
  for (auto& s : a.Slots) s = TKermitSlot{};
}

bool WindowFull(const TKermitArea& a) { return a.WinCount >= a.SlotCount; }

bool SlotsInUse(const TKermitArea& a) {
  for (uint32_t k = 0; k < a.WinCount; ++k)
    if (a.Slots[(a.WinFirst + k) % a.SlotCount].InUse) return true;
  return false;
}

// The in-use slot that holds `seq` in the transmit window, or -1.
int FindSlot(const TKermitArea& a, uint8_t seq) {
  for (uint32_t k = 0; k < a.WinCount; ++k) {
    const uint32_t idx = (a.WinFirst + k) % a.SlotCount;
    if (a.Slots[idx].InUse && a.Slots[idx].Seq == seq) return int(idx);
  }
  return -1;
}

// How long a sender waits for an acknowledgement: twice the measured round
// trip and a longest packet's line time, at least a second and at most the
// time-out set. A damaged last packet of a window (nothing after it shows the
// gap) is then sent again within about a second, not after the whole time-out.
int32_t ReplyTicks(const TransferRecord& r, const TKermitArea& a) {
  if (a.RoundTrip < 0) return TimeTicks(a);
  const int32_t wait = 2 * a.RoundTrip + LineTicks(r, PacketBytes(a, a.PacketLen)) + 1;
  return std::clamp(wait, std::min(Secs2Ticks(1), TimeTicks(a)), TimeTicks(a));
}

// Byte counts wrap: they are compared by difference.
bool EndsAfter(uint32_t end, uint32_t other) { return int32_t(end - other) > 0; }

// The end of the sending an answer to `s` now answers: one that comes before
// the line can have carried the last sending answers the one before.
uint32_t AnsweredSending(const TKermitSlot& s) {
  const bool early = s.Retries.Count() > 0 && int32_t(MsClock() - s.CarriedMs) < 0;
  return early ? s.PrevEnd : s.SentEnd;
}

// The bytes of an answer without data.
uint32_t AnswerBytes(const TKermitArea& a) { return PacketBytes(a, 0); }

// Arms the wait for answers to data packets: it ends by the tail wait's end.
// Other waits (for room, for a control packet's answer) do not.
void ArmAnswerWait(TransferRecord& r, TKermitArea& a, int32_t ticks) {
  if (a.TailWait) ticks = std::min(ticks, RemainingTicks(a.TailTimer));
  ArmTimeout(r, a, ticks);
}

// The oldest packet in flight is unanswered though sent before the latest
// sending acknowledged: its answer would have come in the same burst. The
// wait for it is a burst of answers' line time, not the reply time-out.
void ArmTailWait(TransferRecord& r, TKermitArea& a) {
  a.TailWait = false;
  if (a.WinCount == 0 || !a.Slots[a.WinFirst].InUse || !EndsAfter(a.AnsweredEnd, a.Slots[a.WinFirst].SentEnd)) return;
  const int32_t ticks = LineTicks(r, uint64_t(a.SlotCount) * AnswerBytes(a)) + 3;
  if (ticks >= ReplyTicks(r, a)) return;
  NewTimer(a.TailTimer, ticks);
  a.TailWait = true;
  ArmTimeout(r, a, ticks);
}

// Acknowledges a slot; the window moves past the acknowledged oldest ones.
void AckSlot(TransferRecord& r, TKermitArea& a, uint32_t idx) {
  int32_t sinceResend = a.Slots[idx].SentTick - a.LastResendTick;
  if (sinceResend < -kTickWrap / 2) sinceResend += kTickWrap;
  if (a.Slots[idx].InUse && a.Slots[idx].Retries.Count() == 0 && (!a.Resent || sinceResend > 0)) {
    const int32_t now = CurrentTicks();
    int32_t sample = now - a.Slots[idx].SentTick;
    if (sample < 0) sample += kTickWrap;
    a.RoundTrip = a.RoundTrip < 0 ? sample : (7 * a.RoundTrip + sample + 4) / 8;
  }
  if (a.Slots[idx].InUse) {  // what followed the packet is all the line can still hold
    a.Slots[idx].ShownEnd = AnsweredSending(a.Slots[idx]);
    if (EndsAfter(a.Slots[idx].ShownEnd, a.AnsweredEnd)) a.AnsweredEnd = a.Slots[idx].ShownEnd;
    const uint64_t after = a.BytesWritten - a.Slots[idx].SentEnd;
    const uint32_t carriedBy = MsClock() + uint32_t(after * 1000 / LineCps(r));
    if (int32_t(a.LineFreeMs - carriedBy) > 0) a.LineFreeMs = carriedBy;
  }
  a.Slots[idx].InUse = false;
  a.Slots[idx].Acked = true;
  while (a.WinCount > 0 && !a.Slots[a.WinFirst].InUse) {
    a.WinFirst = (a.WinFirst + 1) % a.SlotCount;
    --a.WinCount;
  }
  a.Retries.Reset();
  a.TailLost = false;
  ArmTailWait(r, a);
  ArmAnswerWait(r, a, ReplyTicks(r, a));
}

// Puts `idx` up for sending; false when its retries are used up.
bool Resend(TransferRecord& r, TKermitArea& a, uint32_t idx) {
  TKermitSlot& s = a.Slots[idx];
  if (!s.Retries.Retry(r.HandshakeRetry)) {
    GotError(r, r.ProtocolError != 0 ? r.ProtocolError : ecProtocolError);
    return false;
  }
  a.SendSlot = idx;
  a.WaitingRoom = false;
  a.LastResendTick = CurrentTicks();
  a.Resent = true;
  return true;
}

// The oldest packet in flight that was lost, or whose answer was, or -1: it
// goes again at once, not after the time-out. The line keeps order, and a
// receiver answers packets as they come, or holds its answers back behind a
// gap and sends them in order once it is filled; either way an acknowledgement
// of a later packet whose answered sending went after this one's shows it.
int LostSlot(const TKermitArea& a) {
  int lost = -1;
  bool answered = false;
  uint32_t latest = 0;  // the latest answered sending of a later packet
  for (uint32_t k = a.WinCount; k-- > 0;) {
    const uint32_t idx = (a.WinFirst + k) % a.SlotCount;
    const TKermitSlot& s = a.Slots[idx];
    if (!s.InUse) {
      if (s.Acked && (!answered || EndsAfter(s.ShownEnd, latest))) latest = s.ShownEnd;
      answered = answered || s.Acked;
    } else if ((answered && EndsAfter(latest, s.SentEnd)) || (a.TailLost && EndsAfter(a.AnsweredEnd, s.SentEnd))) {
      lost = int(idx);
    }
  }
  return lost;
}

// After a time-out or a bad packet: the oldest packet in flight goes again.
TKermitState ResendOldest(TransferRecord& r, TKermitArea& a, int32_t status) {
  if (CountError(r, a, status)) return tkError;
  // A time-out drops a packet half read; after a bad one the reader may
  // already be inside the next.
  if (status == psTimeout) a.Reader.Reset();
  if (a.WinCount == 0) return tkCheckTable;
  return Resend(r, a, a.WinFirst) ? tkSendData : tkError;
}

// The wait for a reply to the last control packet sent.
void ArmReply(TransferRecord& r, TKermitArea& a) { ArmTimeout(r, a, r.HandshakeWait); }

void SendSendInit(TransferRecord& r, TKermitArea& a) {
  uint8_t field[kKermitSendInitSize];
  const size_t n = OwnSendInit(r, a, false, field);
  SendPacketWith(r, a, 'S', 0, field, n, '1');
}

bool IsAckOf(const TKermitReader& p, uint8_t seq) {
  return (p.Type == 'Y' && p.Seq == seq) || (p.Type == 'N' && p.Seq == ((seq + 1) & 63));
}

// --- Receive: the window ----------------------------------------------------------------

// Collects decoded bytes and writes them in pieces.
class FileSink : public TKermitSink {
 public:
  FileSink(TransferRecord& r, TKermitArea& a) : r_(r), a_(a) {}
  void Put(uint8_t byte, uint32_t count) override {
    r_.BytesTransferred += int64_t(count);
    while (count > 0 && !failed_) {
      const uint32_t n = std::min<uint32_t>(count, kKermitChunkSize - a_.OutLen);
      std::memset(a_.Out.data() + a_.OutLen, byte, n);
      a_.OutLen += n;
      count -= n;
      if (a_.OutLen == kKermitChunkSize) Flush();
    }
  }
  bool Flush() {
    if (failed_ || a_.OutLen == 0) return !failed_;
    if (r_.WriteBlockHook(r_, a_.Out.data(), a_.OutLen)) {
      failed_ = true;
      return false;
    }
    r_.FileOffset += a_.OutLen;
    a_.OutLen = 0;
    return true;
  }
  bool Failed() const { return failed_; }

 private:
  TransferRecord& r_;
  TKermitArea& a_;
  bool failed_ = false;
};

class NameSink : public TKermitSink {
 public:
  void Put(uint8_t byte, uint32_t count) override {
    while (count-- > 0 && name.size() < kMaxPathChars) name += char(byte);
  }
  std::string name;
};

void Ack(TransferRecord& r, TKermitArea& a, uint8_t seq) { SendPacket(r, a, 'Y', seq); }
void Nak(TransferRecord& r, TKermitArea& a, uint8_t seq) { SendPacket(r, a, 'N', seq); }

uint32_t RxSlot(const TKermitArea& a, uint32_t offset) { return (a.WinFirst + offset) % a.SlotCount; }

// Writes the oldest slots while they are there; false on a write error.
bool WriteReady(TransferRecord& r, TKermitArea& a) {
  FileSink sink(r, a);
  const TKermitQuoting q = Quoting(a, true);
  while (a.WinCount > 0 && a.Slots[a.WinFirst].InUse) {
    TKermitSlot& s = a.Slots[a.WinFirst];
    KermitDecode(q, SlotData(a, a.WinFirst), s.Len, sink);
    if (sink.Failed()) return false;
    s = TKermitSlot{};
    a.WinFirst = (a.WinFirst + 1) % a.SlotCount;
    --a.WinCount;
    a.RxBase = uint8_t((a.RxBase + 1) & 63);
    a.BaseAskedAgain = false;
    ++r.BlockNum;
  }
  return true;
}

// A data packet through the receive window; false on a write error.
bool StoreData(TransferRecord& r, TKermitArea& a, const TKermitReader& p) {
  const uint32_t offset = uint32_t((p.Seq - a.RxBase) & 63);
  if (offset < a.SlotCount) {
    const uint32_t idx = RxSlot(a, offset);
    TKermitSlot& s = a.Slots[idx];
    if (!s.InUse) {
      std::memcpy(SlotData(a, idx), p.Data, p.DataLen);
      s.Len = p.DataLen;
      s.Seq = p.Seq;
      s.InUse = true;
      s.Acked = true;
    }
    if (offset >= a.WinCount) {
      // Ahead of the newest: every number skipped is asked for, before the
      // answer to this one (a sender takes a packet sent before one
      // answered and not itself answered as lost).
      for (uint32_t k = a.WinCount; k < offset; ++k)
        if (!a.Slots[RxSlot(a, k)].InUse) Nak(r, a, uint8_t((a.RxBase + k) & 63));
    }
    Ack(r, a, p.Seq);
    if (offset >= a.WinCount) a.WinCount = offset + 1;
    return WriteReady(r, a);
  }
  // A packet already written whose acknowledgement was lost.
  if (offset >= 64 - a.SlotCount) Ack(r, a, p.Seq);
  return true;
}

// --- Passes ---------------------------------------------------------------------------------

bool TransmitAgain(TransferRecord& r, const TKermitArea& a) {
  switch (a.KermitState) {
    case tkInit: case tkOpenFile: case tkSendFile: case tkCheckTable: case tkSendEof: case tkSendBreak:
    case tkError:
      return true;
    case tkComplete:
      return a.EndPhase == 0;
    case tkSendData:
      return !a.WaitingRoom;
    case tkDone:
      return false;
    case tkBlockReply:
      if (!a.PaceWait && !WindowFull(a) && !(a.ChunkEof && a.ChunkIdx >= a.ChunkLen)) return true;
      if (a.OldestLostToo || LostSlot(a) >= 0) return true;  // resends go at once
      return InputHolds(r, a);
    default:
      return InputHolds(r, a);
  }
}

bool ReceiveAgain(TransferRecord& r, const TKermitArea& a) {
  switch (a.KermitState) {
    case rkInit: case rkError:
      return true;
    case rkComplete:
      return a.EndPhase == 0;
    case rkDone:
      return false;
    default:
      return InputHolds(r, a);
  }
}

void BeginTransfer(TransferRecord& r, TKermitArea& a, TKermitState first) {
  a.KermitState = first;
  a.Local.CheckType = CheckCharOf(r.CheckType);
  a.Remote = KermitRemoteDefaults();
  a.Negotiated = a.HaveRemote = false;
  a.LongPackets = a.Quote8 = a.Repeat = false;
  a.CheckType = '1';
  a.PacketLen = a.Local.MaxLen;
  a.InFile = a.Skipped = a.Discard = a.PeerError = a.CancelSent = a.WaitingRoom = false;
  a.EndPhase = 0;
  a.TimeoutPending = false;
  a.Retries.Reset();
  a.RoundTrip = -1;
  a.Resent = false;
  a.Seq = a.RxBase = 0;
  a.InIdx = a.InLen = 0;
  a.OutLen = 0;
  a.ChunkIdx = a.ChunkLen = 0;
  a.ChunkEof = false;
  a.Reader.Reset();
  ResetWindow(a);
}

}  // namespace

// --- Area, init and settings ------------------------------------------------------------------

TKermitArea* KermitArea(TransferRecord& r) {
  return r.ProtocolType == ptKermit ? dynamic_cast<TKermitArea*>(r.Area.get()) : nullptr;
}

int32_t InitKermit(TransferRecord& r) {
  TKermitArea& a = InstallArea<TKermitArea>(r, ptKermit);
  r.FileOffset = 0;
  r.TransferOptions &= ~(tfKermitLongPackets | tfKermitSlidingWindows);
  r.FinishWritingHook = KermitFinishWriting;
  a.RepeatThreshold = 4;
  a.PacketLen = a.Local.LongLen != 0 ? a.Local.LongLen : a.Local.MaxLen;
  r.BlockSize = a.PacketLen;
  a.SlotCount = std::max<uint32_t>(1, a.Local.Windows);
  r.CheckType = CheckMethodOf(a.Local.CheckType);
  ResizeStore(a);
  return 0;
}

void DoneKermit(TransferRecord& r) {
  if (!RemoveArea<TKermitArea>(r)) return;
  r.TransferOptions &= ~(tfKermitLongPackets | tfKermitSlidingWindows);
}

int32_t SetKermitMaxLen(TransferRecord& r, uint32_t len) {
  TKermitArea* a = KermitArea(r);
  if (a == nullptr) return ecBadProtocolFunction;
  if (len < kKermitMinShortLen || len > kKermitMaxShortLen) return ecBadArgument;
  a->Local.MaxLen = uint8_t(len);
  if (!(r.TransferOptions & tfKermitLongPackets)) {
    a->PacketLen = len;
    r.BlockSize = len;
  }
  return 0;
}

int32_t SetKermitLongPackets(TransferRecord& r, uint32_t len) {
  TKermitArea* a = KermitArea(r);
  if (a == nullptr) return ecBadProtocolFunction;
  if (len != 0 && (len <= kKermitMaxShortLen || len > kKermitMaxLongLen)) return ecBadArgument;
  if (len == 0) {
    r.TransferOptions &= ~tfKermitLongPackets;
    a->Local.Capabilities &= uint8_t(~kKermitCapLong);
    a->Local.LongLen = 0;
    a->PacketLen = a->Local.MaxLen;
    r.BlockSize = 80;
  } else {
    r.TransferOptions |= tfKermitLongPackets;
    a->Local.Capabilities |= kKermitCapLong;
    a->Local.LongLen = len;
    a->PacketLen = len;
    r.BlockSize = len;
    // A long packet deserves more than a 6-bit checksum.
    if (a->Local.CheckType == '1' || r.CheckType == bcmChecksum) {
      a->Local.CheckType = '2';
      r.CheckType = bcmChecksum2;
    }
  }
  ResizeStore(*a);
  return 0;
}

int32_t SetKermitMaxWindows(TransferRecord& r, uint32_t windows) {
  TKermitArea* a = KermitArea(r);
  if (a == nullptr) return ecBadProtocolFunction;
  if (windows > kKermitMaxWindows) return ecBadArgument;
  if (windows == 0) {
    r.TransferOptions &= ~tfKermitSlidingWindows;
    a->Local.Capabilities &= uint8_t(~kKermitCapWindows);
    a->Local.Windows = 0;
    a->SlotCount = 1;
  } else {
    r.TransferOptions |= tfKermitSlidingWindows;
    a->Local.Capabilities |= kKermitCapWindows;
    a->Local.Windows = uint8_t(windows);
    a->SlotCount = windows;
  }
  ResizeStore(*a);
  return 0;
}

int32_t SetKermitSWCTurnDelay(TransferRecord& r, uint32_t delay) {
  return SetInArea(r, KermitArea, [&](TKermitArea& a) { a.SWCTurnDelay = delay; });
}

int32_t SetKermitLiteralNames(TransferRecord& r, bool on) {
  return SetInArea(r, KermitArea, [&](TKermitArea& a) { a.LiteralNames = on; });
}

std::string KermitLocalName(const std::string& name) {
  const bool anyUpper = std::any_of(name.begin(), name.end(), [](char c) { return c >= 'A' && c <= 'Z'; });
  const bool anyLower = std::any_of(name.begin(), name.end(), [](char c) { return c >= 'a' && c <= 'z'; });
  if (!anyUpper || anyLower) return name;
  std::string out = name;
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return out;
}

int32_t SetKermitTimeoutSecs(TransferRecord& r, uint32_t secs) {
  return SetInArea(r, KermitArea, secs >= 1 && secs <= 94, [&](TKermitArea& a) {
    a.Local.TimeoutSecs = uint8_t(secs);
  });
}

int32_t SetKermitPadCharacter(TransferRecord& r, uint8_t c) {
  return SetInArea(r, KermitArea, [&](TKermitArea& a) { a.Local.PadChar = c; });
}

int32_t SetKermitPadCount(TransferRecord& r, uint32_t count) {
  return SetInArea(r, KermitArea, count <= 94, [&](TKermitArea& a) { a.Local.PadCount = uint8_t(count); });
}

int32_t SetKermitTerminator(TransferRecord& r, uint8_t c) {
  return SetInArea(r, KermitArea, c <= 94 && c != kKermitSOH, [&](TKermitArea& a) { a.Local.Terminator = c; });
}

int32_t SetKermitCtlPrefix(TransferRecord& r, uint8_t c) {
  return SetInArea(r, KermitArea, IsKermitPrefixChar(c), [&](TKermitArea& a) { a.Local.CtlPrefix = c; });
}

int32_t SetKermitHighbitPrefix(TransferRecord& r, uint8_t c) {
  return SetInArea(r, KermitArea, IsKermitPrefixChar(c) || c == 'Y' || c == 'N', [&](TKermitArea& a) {
    a.Local.HibitPrefix = c;
  });
}

int32_t SetKermitRepeatPrefix(TransferRecord& r, uint8_t c) {
  return SetInArea(r, KermitArea, IsKermitPrefixChar(c) || c == ' ', [&](TKermitArea& a) { a.Local.RepeatPrefix = c; });
}

void KermitFinishWriting(TransferRecord& r) {
  const bool open = r.FileOpen;
  DefFinishWriting(r);
  TKermitArea* a = KermitArea(r);
  if (open && a != nullptr && a->Discard && r.PathName[0] != 0) ::unlink(r.PathName.data());
}

// --- Transmit ------------------------------------------------------------------------------------

namespace {

void PrepareTransmitKermit(TransferRecord& r) {
  TKermitArea* a = AreaToPrepare(r, KermitArea);
  if (a == nullptr) return;
  StartStatus(r, true);
  BeginTransfer(r, *a, tkInit);
  RefreshStatus(r);
  r.ProtocolError = 0;
}

// --- The answer to a packet ----------------------------------------------------------------------
// Send-Init, File header, EOF and Break each await one answer: the packet's
// header first (the reply state), then the rest (the collect state). A bad
// packet or a time-out counts an error and sends the packet again (`resend`);
// too many end the transfer.

void AwaitReply(TransferRecord& r, TKermitArea& a, bool timedOut, TKermitState collect, TKermitState resend) {
  const TKermitReadResult res = ReadPacket(r, a, true);
  if (res == krHeader)
    SetState(a, collect);
  else if (res == krBad || timedOut)
    SetState(a, CountError(r, a, timedOut ? psTimeout : psBlockCheckError) ? tkError : resend);
}

// True when a whole answer is in a.Reader to act on.
bool CollectReply(TransferRecord& r, TKermitArea& a, bool timedOut, TKermitState resend) {
  const TKermitReadResult res = ReadPacket(r, a, false);
  if (res == krMore) {
    if (timedOut) SetState(a, CountError(r, a, psTimeout) ? tkError : resend);
    return false;
  }
  if (res == krBad) {
    SetState(a, CountError(r, a, psBlockCheckError) ? tkError : resend);
    return false;
  }
  return true;
}

// --- Transmit states -----------------------------------------------------------------------------

void TxInit(TransferRecord& r, TKermitArea& a) {
  a.Seq = 0;
  a.Negotiated = false;
  PurgeInputOfPort(r);
  a.InIdx = a.InLen = 0;
  a.Reader.Reset();
  SendSendInit(r, a);
  ArmReply(r, a);
  SetState(a, tkInitReply);
}

// The next file, or the Break when none is left (after a file sent, with no
// error left of the search).
void TxOpenFile(TransferRecord& r, TKermitArea& a, bool afterFile = false) {
  const int opened = OpenNextFile(r, a);
  if (opened > 0) {
    SetState(a, tkSendFile);
  } else if (opened == 0) {
    if (afterFile) r.ProtocolError = 0;
    a.Seq = uint8_t((a.Seq + 1) & 63);
    SetState(a, tkSendBreak);
  } else {
    SetState(a, tkError);
  }
}

void TxSendFile(TransferRecord& r, TKermitArea& a) {
  const std::string path = BufferText(r.PathName);
  const std::string name = (r.TransferOptions & tfIncludeDirectory) ? path : JustFilename(path);
  size_t len = 0;
  KermitEncode(Quoting(a, false), reinterpret_cast<const uint8_t*>(name.data()), name.size(), a.SendData.data(),
               DataLimit(a), len);
  SendPacket(r, a, 'F', a.Seq, a.SendData.data(), len);
  ArmReply(r, a);
  SetState(a, tkFileReply);
}

// Fills the window: the next data packet, or on to the answers and the EOF.
// Milliseconds of written packets the line has still to carry beyond the
// lead new data may keep: two of the longest packets, and at least four ticks
// so that the line never idles between the ticks that look again.
int32_t LineAhead(const TransferRecord& r, const TKermitArea& a) {
  const uint64_t packets = 2 * uint64_t(PacketBytes(a, a.PacketLen)) * 1000 / LineCps(r);
  const uint32_t lead = uint32_t(std::max<uint64_t>(packets, 4 * kMsPerTick));
  return int32_t(a.LineFreeMs - MsClock() - lead);
}

void TxCheckTable(TransferRecord& r, TKermitArea& a) {
  if (std::exchange(a.OldestLostToo, false) && a.WinCount > 0 && a.Slots[a.WinFirst].InUse)
    return SetState(a, Resend(r, a, a.WinFirst) ? tkSendData : tkError);
  if (const int lost = LostSlot(a); lost >= 0) return SetState(a, Resend(r, a, uint32_t(lost)) ? tkSendData : tkError);
  a.TailLost = false;
  if (WindowFull(a)) return SetState(a, tkBlockReply);
  if (const int32_t ahead = LineAhead(r, a); ahead > 0) {
    ArmAnswerWait(r, a, (ahead + int32_t(kMsPerTick) - 1) / int32_t(kMsPerTick));
    a.PaceWait = true;
    return SetState(a, tkBlockReply);
  }
  const uint32_t n = EncodeFromFile(r, a);
  if (r.ProtocolError != 0) return SetState(a, tkError);
  if (n == 0) {
    if (SlotsInUse(a)) return SetState(a, tkBlockReply);
    a.Seq = uint8_t((a.Seq + 1) & 63);
    return SetState(a, tkSendEof);
  }
  const uint32_t idx = (a.WinFirst + a.WinCount) % a.SlotCount;
  ++a.WinCount;
  a.Seq = uint8_t((a.Seq + 1) & 63);
  TKermitSlot& s = a.Slots[idx];
  s = TKermitSlot{n, a.Seq, true, false, {}};
  s.SentEnd = a.BytesWritten;  // not yet sent: no answer can show it lost
  std::memcpy(SlotData(a, idx), a.SendData.data(), n);
  ++r.BlockNum;
  RefreshStatus(r);
  a.SendSlot = idx;
  a.WaitingRoom = false;
  SetState(a, tkSendData);
}

void TxSendData(TransferRecord& r, TKermitArea& a, bool timedOut) {
  const TKermitSlot& s = a.Slots[a.SendSlot];
  if (a.WaitingRoom && timedOut) {
    GotError(r, ecTimeout);
    return SetState(a, tkError);
  }
  if (r.Dispatcher->OutputFree() >= PacketBytes(a, s.Len)) {
    a.WaitingRoom = false;
    if (s.Retries.Count() == 0) a.Slots[a.SendSlot].SentTick = CurrentTicks();
    SendPacket(r, a, 'D', s.Seq, SlotData(a, a.SendSlot), s.Len);
    TKermitSlot& sent = a.Slots[a.SendSlot];
    sent.PrevEnd = sent.Retries.Count() == 0 ? a.BytesWritten : sent.SentEnd;
    sent.SentEnd = a.BytesWritten;
    sent.CarriedMs = a.LineFreeMs;
    ArmAnswerWait(r, a, ReplyTicks(r, a));
    SetState(a, tkBlockReply);
  } else {
    // Wait for room for the whole packet, at most TransmitTimeout.
    if (!a.WaitingRoom) ArmTimeout(r, a, r.TransmitTimeout);
    a.WaitingRoom = true;
    ArmStatus(r, r.OutBuffFreeTrigger, uint16_t(std::min<uint32_t>(PacketBytes(a, s.Len), 65535)));
  }
}

void TxBlockReply(TransferRecord& r, TKermitArea& a, bool timedOut) {
  if (timedOut && a.PaceWait) {  // the line has room: on with the window, waiting for replies afresh
    a.PaceWait = false;
    ArmAnswerWait(r, a, ReplyTicks(r, a));
    timedOut = false;
  }
  if (timedOut && a.TailWait && RemainingTicks(a.TailTimer) == 0) {
    a.TailWait = false;
    ArmTimeout(r, a, ReplyTicks(r, a));
    if (!InputHolds(r, a)) {  // the burst of answers is over: what it left out goes again
      a.TailLost = true;
      return SetState(a, tkCheckTable);
    }
    timedOut = false;  // an answer came in time: it is read first
  }
  const TKermitReadResult res = ReadPacket(r, a, true);
  if (res == krHeader)
    SetState(a, tkCollBlock);
  else if (res == krBad || timedOut)
    SetState(a, ResendOldest(r, a, timedOut ? psTimeout : psBlockCheckError));
  else
    SetState(a, tkCheckTable);
}

// A NAK resends its packet; one for the packet after the newest acknowledges that one.
void TxNakOfData(TransferRecord& r, TKermitArea& a, uint8_t seq) {
  const int idx = FindSlot(a, seq);
  const uint32_t newest = a.WinCount > 0 ? (a.WinFirst + a.WinCount - 1) % a.SlotCount : 0;
  if (idx >= 0) {
    // A receiver asks for a packet when one after it came: a resend of the
    // oldest sent before the packet asked for and still unanswered was lost.
    const TKermitSlot& oldest = a.Slots[a.WinFirst];
    a.OldestLostToo = uint32_t(idx) != a.WinFirst && oldest.InUse && oldest.Retries.Count() > 0 &&
                      EndsAfter(AnsweredSending(a.Slots[idx]), oldest.SentEnd);
    return SetState(a, Resend(r, a, uint32_t(idx)) ? tkSendData : tkError);
  }
  if (a.WinCount > 0 && a.Slots[newest].InUse && seq == ((a.Slots[newest].Seq + 1) & 63)) AckSlot(r, a, newest);
  SetState(a, tkCheckTable);
}

void TxCollBlock(TransferRecord& r, TKermitArea& a, bool timedOut) {
  const TKermitReadResult res = ReadPacket(r, a, false);
  if (res == krMore) {
    if (timedOut && a.TailWait) {  // an answer is coming: the line is not quiet
      a.TailWait = false;
      ArmTimeout(r, a, ReplyTicks(r, a));
    } else if (timedOut)
      SetState(a, ResendOldest(r, a, psTimeout));
    return;
  }
  if (res == krBad) return SetState(a, ResendOldest(r, a, psBlockCheckError));
  const TKermitReader& p = a.Reader;
  if (p.Type == 'Y') {
    if (p.DataLen > 0 && (p.Data[0] == 'X' || p.Data[0] == 'Z' || p.Data[0] == 'D')) {
      // The receiver asks to stop: the file is discarded and the session ended.
      r.ProtocolStatus = psCancelRequested;
      PurgeOutputOfPort(r);
      return SetState(a, StartCancel(r, a, false, 'B'));
    }
    const int idx = FindSlot(a, p.Seq);
    if (idx >= 0) AckSlot(r, a, uint32_t(idx));
    SetState(a, tkCheckTable);
  } else if (p.Type == 'N') {
    TxNakOfData(r, a, p.Seq);
  } else if (p.Type == 'E') {
    PeerSentError(r, a, p.Data, p.DataLen);
    SetState(a, tkError);
  } else {
    SetState(a, ResendOldest(r, a, psSequenceError));
  }
}

void TxSendEof(TransferRecord& r, TKermitArea& a) {
  if (r.FileOpen) {
    r.FinishReadingHook(r);
    r.LogFileHook(r, lfTransmitOk);
  }
  SendPacket(r, a, 'Z', a.Seq);
  ArmReply(r, a);
  SetState(a, tkEofReply);
}

void TxSendBreak(TransferRecord& r, TKermitArea& a) {
  SendPacket(r, a, 'B', a.Seq);
  ArmReply(r, a);
  SetState(a, tkBreakReply);
}

// The acknowledgement of the Send-Init, a File header, an EOF or the Break:
// one step for the reply states (the header) and the collect states (the
// rest). A late acknowledgement of an earlier packet is passed over where
// one can come; a NAK, or whatever else retries, counts an error and sends
// the packet again.
struct TAwaitedAck {
  TKermitState reply, collect, resend;
  int32_t wrongStatus;    // the error an unexpected answer counts
  bool lateAckWaits;      // a "Y" of an earlier packet is passed over
  bool onlyNakRetries;    // anything but a NAK (or "Y") ends the transfer
  bool peerStopEnds;      // a "Z" answer is the receiver asking to stop
  void (*acked)(TransferRecord& r, TKermitArea& a);
};

void InitAcked(TransferRecord& r, TKermitArea& a) {
  const TKermitReader& p = a.Reader;
  ProcessSendInit(r, a, p.Data, p.DataLen, false);
  a.Negotiated = true;
  a.Retries.Reset();
  SetState(a, tkOpenFile);
}

void FileAcked(TransferRecord&, TKermitArea& a) {
  a.Retries.Reset();
  ResetWindow(a);
  SetState(a, tkCheckTable);
}

void EofAcked(TransferRecord& r, TKermitArea& a) {
  a.Retries.Reset();
  r.ProtocolStatus = psOK;
  TxOpenFile(r, a, true);
}

void BreakAcked(TransferRecord& r, TKermitArea& a) {
  r.ProtocolStatus = psOK;
  SetState(a, tkComplete);
}

constexpr TAwaitedAck kAwaitedAcks[] = {
    {tkInitReply, tkCollInit, tkInit, psProtocolHandshake, false, false, false, InitAcked},
    {tkFileReply, tkCollFile, tkSendFile, psSequenceError, true, false, true, FileAcked},
    {tkEofReply, tkCollectEof, tkSendEof, psSequenceError, true, false, false, EofAcked},
    {tkBreakReply, tkCollBreak, tkSendBreak, psSequenceError, true, true, false, BreakAcked},
};

void TxAwaitAck(TransferRecord& r, TKermitArea& a, bool timedOut) {
  const TAwaitedAck& w = *std::find_if(std::begin(kAwaitedAcks), std::end(kAwaitedAcks), [&](const TAwaitedAck& x) {
    return a.KermitState == x.reply || a.KermitState == x.collect;
  });
  if (a.KermitState == w.reply) return AwaitReply(r, a, timedOut, w.collect, w.resend);
  if (!CollectReply(r, a, timedOut, w.resend)) return;
  const TKermitReader& p = a.Reader;
  // The Send-Init's answer carries the peer's parameters: only a "Y" does.
  const bool acked = w.resend == tkInit ? p.Type == 'Y' && p.Seq == 0 : IsAckOf(p, a.Seq);
  if (acked) return w.acked(r, a);
  if (p.Type == 'Y' && w.lateAckWaits) return SetState(a, w.reply);
  const bool ends = p.Type == 'E' || (p.Type == 'Z' && w.peerStopEnds) || (w.onlyNakRetries && p.Type != 'N');
  if (!ends) return SetState(a, CountError(r, a, w.wrongStatus) ? tkError : w.resend);
  if (p.Type == 'E')
    PeerSentError(r, a, p.Data, p.DataLen);
  else if (p.Type == 'Z' && w.peerStopEnds)
    r.ProtocolStatus = psCancelRequested;
  SetState(a, tkError);
}

void TxError(TransferRecord& r, TKermitArea& a) {
  if (r.FileOpen) r.FinishReadingHook(r);
  SendFinalError(r, a, true);
  r.LogFileHook(r, lfTransmitFail);
  SetState(a, tkComplete);
}

// One state's step; false for a state this machine does not have.
bool TransmitStep(TransferRecord& r, TKermitArea& a, int32_t trigger, bool timedOut, bool startPass) {
  switch (a.KermitState) {
    case tkInit: TxInit(r, a); break;
    case tkOpenFile: TxOpenFile(r, a); break;
    case tkSendFile: TxSendFile(r, a); break;
    case tkInitReply: case tkCollInit: case tkFileReply: case tkCollFile:
    case tkEofReply: case tkCollectEof: case tkBreakReply: case tkCollBreak: TxAwaitAck(r, a, timedOut); break;
    case tkCheckTable: TxCheckTable(r, a); break;
    case tkSendData: TxSendData(r, a, timedOut); break;
    case tkBlockReply: TxBlockReply(r, a, timedOut); break;
    case tkCollBlock: TxCollBlock(r, a, timedOut); break;
    case tkSendEof: TxSendEof(r, a); break;
    case tkSendBreak: TxSendBreak(r, a); break;
    case tkWaitCancel:
      if (WaitCancel(r, a)) SetState(a, tkError);
      break;
    case tkError: TxError(r, a); break;
    case tkComplete:
      if (FinishWhenDrained(r, a, trigger, startPass)) SetState(a, tkDone);
      break;
    default: return false;
  }
  return true;
}

// --- Receive -------------------------------------------------------------------------------------

void PrepareReceiveKermit(TransferRecord& r) {
  TKermitArea* a = AreaToPrepare(r, KermitArea);
  if (a == nullptr) return;
  StartStatus(r, false);
  BeginTransfer(r, *a, rkInit);
  r.PathName[0] = 0;
  r.ForceStatus = false;
  r.ProtocolError = 0;
}

// The answer to a Send-Init: our parameters with the results.
void AnswerSendInit(TransferRecord& r, TKermitArea& a, uint8_t seq) {
  uint8_t field[kKermitSendInitSize];
  const size_t n = OwnSendInit(r, a, true, field);
  SendPacketWith(r, a, 'Y', seq, field, n, '1');
  a.Negotiated = true;
}

// An "F" packet: the file it names is opened in the destination directory.
TKermitState ReceiveFileHeader(TransferRecord& r, TKermitArea& a, const TKermitReader& p) {
  NameSink name;
  KermitDecode(Quoting(a, true), p.Data, p.DataLen, name);
  const std::string sent = a.LiteralNames ? name.name : KermitLocalName(name.name);
  const bool usable =
      PlaceReceivedName(r, sent, (r.TransferOptions & tfHonorDirectory) != 0) == TPlaceResult::Placed;
  if (!usable) r.PathName[0] = 0;
  r.ShowStatusHook(r, 0);
  if (!AskAccept(r, usable)) {
    r.ProtocolStatus = psFileRejected;
    a.Skipped = true;
    return StartCancel(r, a, true, 'E');
  }
  r.FileOffset = 0;
  a.RxBase = uint8_t((p.Seq + 1) & 63);
  a.Retries.Reset();
  a.OutLen = 0;
  r.BytesRemaining = 0;
  ResetCounts(r);
  NewTimer(r.TransferTimer, 1);
  r.PrepareWritingHook(r);
  if (r.ProtocolStatus == psCantWriteFile && r.ProtocolError == 0) GotError(r, ecCantWriteFile);
  if (r.ProtocolError != 0) {
    a.Seq = p.Seq;
    SendText(r, a, 'E', p.Seq, kCantWrite);
    a.CancelSent = true;
    return rkError;
  }
  // A Kermit receive logs no start: its history has a file's outcome only.
  a.InFile = true;
  Ack(r, a, p.Seq);
  ResetWindow(a);
  ArmTimeout(r, a, TimeTicks(a));
  return rkGetData;
}

// The end of a file: whatever the window holds is written, the file closed.
TKermitState ReceiveEof(TransferRecord& r, TKermitArea& a, const TKermitReader& p) {
  if (p.DataLen >= 1 && p.Data[0] == 'D') {
    // The sender gave the file up: it goes (the finish hook deletes it).
    a.Discard = true;
    Ack(r, a, p.Seq);
    r.ProtocolStatus = psCancelRequested;
    a.CancelSent = true;
    return rkError;
  }
  bool failed = false;
  if (a.WinCount > 0) {
    // A packet in the middle never came.
    GotError(r, ecTableFull);
    failed = true;
  }
  FileSink sink(r, a);
  if (!failed && !sink.Flush()) failed = true;
  if (!failed) {
    r.FinishWritingHook(r);
    failed = r.ProtocolError != 0;
  }
  if (failed) {
    SendText(r, a, 'E', p.Seq, kCantWrite);
    a.CancelSent = true;
    return rkError;
  }
  UpdateElapsedTicks(r);
  r.LogFileHook(r, lfReceiveOk);
  // A completed file is no longer the one a later failure concerns.
  r.PathName[0] = 0;
  a.InFile = false;
  Ack(r, a, p.Seq);
  a.RxBase = uint8_t((p.Seq + 1) & 63);
  a.Retries.Reset();
  r.ProtocolStatus = psOK;
  ArmTimeout(r, a, TimeTicks(a));
  return rkGetFile;
}

// A duplicate that says the peer lost our answer: answered again, counted.
TKermitState Duplicate(TransferRecord& r, TKermitArea& a, const TKermitReader& p, TKermitState stay) {
  Ack(r, a, p.Seq);
  if (!CountError(r, a, psDuplicateBlock)) return stay;
  SendText(r, a, 'E', p.Seq, kSyncLost);
  a.CancelSent = true;
  return rkError;
}

// --- Receive states ------------------------------------------------------------------------------

void RxGetInit(TransferRecord& r, TKermitArea& a, bool timedOut) {
  const TKermitReadResult res = ReadPacket(r, a, true);
  if (res == krHeader) {
    SetState(a, rkCollInit);
  } else if (res == krBad) {
    if (CountError(r, a, psBlockCheckError)) SetState(a, rkError);
  } else if (timedOut) {
    // A sender that starts late is waited for until the user cancels:
    // silence before the first packet is no error.
    r.ProtocolStatus = psTimeout;
    RefreshStatus(r);
    ArmTimeout(r, a, r.HandshakeWait);
  }
}

void RxCollInit(TransferRecord& r, TKermitArea& a, bool timedOut) {
  const TKermitReadResult res = ReadPacket(r, a, false);
  const TKermitReader& p = a.Reader;
  if (res == krMore) {
    if (timedOut) {
      a.Reader.Reset();
      SetState(a, CountError(r, a, psTimeout) ? rkError : rkGetInit);
      ArmTimeout(r, a, r.HandshakeWait);
    }
  } else if (res == krGood && p.Type == 'S') {
    ProcessSendInit(r, a, p.Data, p.DataLen, true);
    AnswerSendInit(r, a, p.Seq);
    a.RxBase = uint8_t((p.Seq + 1) & 63);
    a.Retries.Reset();
    ArmTimeout(r, a, TimeTicks(a));
    SetState(a, rkGetFile);
  } else if (res == krGood && p.Type == 'E') {
    PeerSentError(r, a, p.Data, p.DataLen);
    SetState(a, rkError);
  } else {
    SetState(a, CountError(r, a, res == krBad ? psBlockCheckError : psProtocolHandshake) ? rkError : rkGetInit);
  }
}

void RxGetFile(TransferRecord& r, TKermitArea& a, bool timedOut) {
  const TKermitReadResult res = ReadPacket(r, a, true);
  if (res == krHeader) return SetState(a, rkCollFile);
  if (res != krBad && !timedOut) return;
  if (CountError(r, a, timedOut ? psTimeout : psBlockCheckError)) return SetState(a, rkError);
  Nak(r, a, a.RxBase);
  if (timedOut) ArmTimeout(r, a, TimeTicks(a));
}

// A bad data packet whose long header passed its check names its sequence:
// when that is a packet the window still misses (a resend damaged again), it
// is asked for at once. A sender that was asked once would otherwise leave it
// to a time-out. Only a known gap is named, never a number the sender may not
// have sent (a NAK of the one after its newest would acknowledge that).
void NakDamagedResend(TransferRecord& r, TKermitArea& a) {
  const TKermitReader& p = a.Reader;
  if (!p.Long || p.Type != 'D') return;
  const uint32_t offset = uint32_t((p.Seq - a.RxBase) & 63);
  if (offset < a.WinCount && !a.Slots[RxSlot(a, offset)].InUse) Nak(r, a, p.Seq);
}

// Collects the packet after its header; a time-out or a bad packet counts an
// error and NAKs the awaited one (a bad one only when `nakBad`; without it,
// a damaged resend is asked for), back to `await`. True when a whole packet
// is in a.Reader to act on.
bool CollectPacket(TransferRecord& r, TKermitArea& a, bool timedOut, TKermitState await, bool nakBad) {
  const TKermitReadResult res = ReadPacket(r, a, false);
  if (res == krMore) {
    if (!timedOut) return false;
    a.Reader.Reset();
    if (CountError(r, a, psTimeout)) {
      SetState(a, rkError);
      return false;
    }
    Nak(r, a, a.RxBase);
    ArmTimeout(r, a, TimeTicks(a));
    SetState(a, await);
    return false;
  }
  if (res == krBad) {
    if (CountError(r, a, psBlockCheckError)) {
      SetState(a, rkError);
      return false;
    }
    if (nakBad) Nak(r, a, a.RxBase);
    else NakDamagedResend(r, a);
    SetState(a, await);
    return false;
  }
  return true;
}

void RxCollFile(TransferRecord& r, TKermitArea& a, bool timedOut) {
  if (!CollectPacket(r, a, timedOut, rkGetFile, true)) return;
  const TKermitReader& p = a.Reader;
  ArmTimeout(r, a, TimeTicks(a));
  switch (p.Type) {
    case 'B':
      Ack(r, a, p.Seq);
      r.ProtocolStatus = psOK;
      SetState(a, rkComplete);
      break;
    case 'F': SetState(a, ReceiveFileHeader(r, a, p)); break;
    case 'S':
      ProcessSendInit(r, a, p.Data, p.DataLen, true);
      AnswerSendInit(r, a, p.Seq);
      a.RxBase = uint8_t((p.Seq + 1) & 63);
      SetState(a, rkGetFile);
      break;
    case 'X': SetState(a, rkGetFile); break;
    case 'Z': SetState(a, Duplicate(r, a, p, rkGetFile)); break;
    case 'E':
      PeerSentError(r, a, p.Data, p.DataLen);
      SetState(a, rkError);
      break;
    default:
      GotError(r, ecProtocolError);
      SetState(a, rkError);
      break;
  }
}

// The receive time-out while a packet is missing from the window: a quiet
// line then means the sender waits (its window is full, or the file ended)
// or the packet's resend was damaged too, so it is asked for again once the
// line has been quiet for a few packets' time, not after the whole time-out.
// Once the window has filled behind it the sender can send nothing new: a
// resend queued behind the window comes next, so the first wait is a
// packet's time (the sender would otherwise sit out its time-out).
int32_t ReceiveWaitTicks(const TransferRecord& r, const TKermitArea& a) {
  const bool gap = a.WinCount > 0 && !a.Slots[RxSlot(a, 0)].InUse;
  if (!gap) return TimeTicks(a);
  const uint32_t packets = a.WinCount == a.SlotCount && !a.BaseAskedAgain ? 1 : 3;
  return std::min(TimeTicks(a), LineTicks(r, packets * uint64_t(PacketBytes(a, a.PacketLen))) + 4);
}

void RxGetData(TransferRecord& r, TKermitArea& a, bool timedOut) {
  const TKermitReadResult res = ReadPacket(r, a, true);
  if (res == krHeader) {
    SetState(a, rkCollData);
  } else if (res == krBad) {
    if (CountError(r, a, psBlockCheckError))
      SetState(a, rkError);
    else if (a.SlotCount == 1)
      Nak(r, a, a.RxBase);
  } else if (timedOut) {
    if (CountError(r, a, psTimeout)) return SetState(a, rkError);
    Nak(r, a, a.RxBase);
    if (a.WinCount == a.SlotCount) a.BaseAskedAgain = true;
    ArmTimeout(r, a, ReceiveWaitTicks(r, a));
  }
}

void RxCollData(TransferRecord& r, TKermitArea& a, bool timedOut) {
  if (!CollectPacket(r, a, timedOut, rkGetData, a.SlotCount == 1)) return;
  const TKermitReader& p = a.Reader;
  switch (p.Type) {
    case 'D':
      RefreshStatus(r);
      if (!StoreData(r, a, p)) {
        SendText(r, a, 'E', p.Seq, kCantWrite);
        a.CancelSent = true;
        SetState(a, rkError);
        break;
      }
      a.Retries.Reset();
      ArmTimeout(r, a, ReceiveWaitTicks(r, a));
      SetState(a, rkGetData);
      break;
    case 'Z': SetState(a, ReceiveEof(r, a, p)); break;
    case 'F': SetState(a, Duplicate(r, a, p, rkGetData)); break;
    case 'E':
      PeerSentError(r, a, p.Data, p.DataLen);
      SetState(a, rkError);
      break;
    default: SetState(a, CountError(r, a, psSequenceError) ? rkError : rkGetData); break;
  }
}

void RxError(TransferRecord& r, TKermitArea& a) {
  if (a.Skipped) r.ProtocolStatus = psFileRejected;
  SendFinalError(r, a, false);
  if (a.InFile && !a.Discard) {
    // What was acknowledged is kept: a failure decides only later
    // (through the history's setting) whether the part stays.
    const int32_t error = r.ProtocolError;
    FileSink sink(r, a);
    sink.Flush();
    if (r.ProtocolError == 0) r.ProtocolError = error;
  }
  r.FinishWritingHook(r);
  r.LogFileHook(r, a.Skipped ? lfReceiveSkip : lfReceiveFail);
  a.InFile = false;
  PurgeInputOfPort(r);
  SetState(a, rkComplete);
}

// One state's step; false for a state this machine does not have.
bool ReceiveStep(TransferRecord& r, TKermitArea& a, int32_t trigger, bool timedOut, bool startPass) {
  switch (a.KermitState) {
    case rkInit:
      a.RxBase = 0;
      ArmTimeout(r, a, r.HandshakeWait);
      SetState(a, rkGetInit);
      break;
    case rkGetInit: RxGetInit(r, a, timedOut); break;
    case rkCollInit: RxCollInit(r, a, timedOut); break;
    case rkGetFile: RxGetFile(r, a, timedOut); break;
    case rkCollFile: RxCollFile(r, a, timedOut); break;
    case rkGetData: RxGetData(r, a, timedOut); break;
    case rkCollData: RxCollData(r, a, timedOut); break;
    case rkWaitCancel:
      if (WaitCancel(r, a)) SetState(a, rkError);
      break;
    case rkError: RxError(r, a); break;
    case rkComplete:
      if (a.EndPhase == 0) PurgeInputOfPort(r);
      if (FinishWhenDrained(r, a, trigger, startPass)) SetState(a, rkDone);
      break;
    default: return false;
  }
  return true;
}

// What tells the two machines apart in a handler pass.
struct TDirection {
  TKermitState Done, Complete, WaitCancel, Error;
  bool Receiver;
  bool (*Step)(TransferRecord& r, TKermitArea& a, int32_t trigger, bool timedOut, bool startPass);
  bool (*Again)(TransferRecord& r, const TKermitArea& a);
};
constexpr TDirection kTransmit{tkDone, tkComplete, tkWaitCancel, tkError, false, TransmitStep, TransmitAgain};
constexpr TDirection kReceive{rkDone, rkComplete, rkWaitCancel, rkError, true, ReceiveStep, ReceiveAgain};

// A handler pass: the head, then one state's step after another while the
// machine can go on without waiting.
void Pass(const TDirection& d, TransferRecord& r, TKermitArea& a, UINT msg, WPARAM wParam) {
  if (a.KermitState == d.Done) return;
  // The start calls the handler once itself, with no message.
  const bool startPass = msg == 0;
  if (wParam != 0 && int32_t(wParam) == r.TimeoutTrigger) a.TimeoutPending = true;
  for (;;) {
    const int32_t trigger = int32_t(wParam);
    const bool timedOut = a.TimeoutPending;
    if (HandlerPassHead(r, msg, wParam, lkKermit, uint8_t(skKermitStates + a.KermitState))) {
      if (a.KermitState != d.Complete && a.KermitState != d.WaitCancel && a.KermitState != d.Error)
        SetState(a, r.ProtocolStatus == psCancelRequested ? StartCancel(r, a, d.Receiver, 'E') : d.Error);
    }
    if (!d.Step(r, a, trigger, timedOut, startPass)) return;
    // The trigger belongs to the first pass.
    msg = 0;
    wParam = 0;
    if (a.KermitState == d.Done || r.Dispatcher == nullptr || !d.Again(r, a)) return;
  }
}

void KermitTransmitHandler(UINT msg, WPARAM wParam, LPARAM lParam) {
  RunHandlerPass(msg, wParam, lParam, KermitArea,
                 [](TransferRecord& r, TKermitArea& a, UINT m, WPARAM w) { Pass(kTransmit, r, a, m, w); });
}

void KermitReceiveHandler(UINT msg, WPARAM wParam, LPARAM lParam) {
  RunHandlerPass(msg, wParam, lParam, KermitArea,
                 [](TransferRecord& r, TKermitArea& a, UINT m, WPARAM w) { Pass(kReceive, r, a, m, w); });
}

// The component's clamping: a length above 94 asks for long packets (at most
// 1024), one of 94 or less for short ones only; 0 and 1 windows are none.
int32_t ApplyKermit(TransferRecord& r, const TProtocolSettings& s) {
  int32_t rc = 0;
  if (s.KermitMaxLen > int32_t(kKermitMaxShortLen)) {
    rc = SetKermitLongPackets(r, uint32_t(std::min<int32_t>(s.KermitMaxLen, kKermitMaxLongLen)));
  } else {
    rc = SetKermitMaxLen(r, uint32_t(std::max<int32_t>(s.KermitMaxLen, 0)));
    if (rc == 0) rc = SetKermitLongPackets(r, 0);
  }
  const int32_t windows = s.KermitMaxWindows <= 1 ? 0 : std::min<int32_t>(s.KermitMaxWindows, kKermitMaxWindows);
  if (rc == 0) rc = SetKermitMaxWindows(r, uint32_t(windows));
  if (rc == 0) rc = SetKermitSWCTurnDelay(r, uint32_t(std::max<int32_t>(s.KermitSWCTurnDelay, 0)));
  if (rc == 0) rc = SetKermitTimeoutSecs(r, uint32_t(std::max<int32_t>(s.KermitTimeoutSecs, 0)));
  if (rc == 0) rc = SetKermitLiteralNames(r, s.KermitLiteralNames);
  if (rc == 0) rc = SetKermitPadCharacter(r, uint8_t(s.KermitPadCharacter));
  if (rc == 0) rc = SetKermitPadCount(r, uint32_t(std::max<int32_t>(s.KermitPadCount, 0)));
  if (rc == 0) rc = SetKermitTerminator(r, uint8_t(s.KermitTerminator));
  if (rc == 0) rc = SetKermitCtlPrefix(r, uint8_t(s.KermitCtlPrefix));
  if (rc == 0) rc = SetKermitHighbitPrefix(r, uint8_t(s.KermitHighbitPrefix));
  if (rc == 0) rc = SetKermitRepeatPrefix(r, uint8_t(s.KermitRepeatPrefix));
  return rc;
}

void ReadKermit(TransferRecord& r, TProtocolSettings& s) {
  TKermitArea* a = KermitArea(r);
  if (a == nullptr) return;
  s.KermitMaxLen = (r.TransferOptions & tfKermitLongPackets) ? int32_t(a->Local.LongLen) : a->Local.MaxLen;
  s.KermitMaxWindows = a->Local.Windows;
  s.KermitSWCTurnDelay = int32_t(a->SWCTurnDelay);
  s.KermitTimeoutSecs = a->Local.TimeoutSecs;
  s.KermitLiteralNames = a->LiteralNames;
  s.KermitPadCharacter = char(a->Local.PadChar);
  s.KermitPadCount = a->Local.PadCount;
  s.KermitTerminator = char(a->Local.Terminator);
  s.KermitCtlPrefix = char(a->Local.CtlPrefix);
  s.KermitHighbitPrefix = char(a->Local.HibitPrefix);
  s.KermitRepeatPrefix = char(a->Local.RepeatPrefix);
}

}  // namespace

const TEngine kKermitEngine{.Name = "Kermit", .LogKind = lkKermit, .StateBase = skKermitStates,
                            .Settings = TSettingsGroup::Kermit,
                            .CheckMethods = (1 << bcmChecksum) | (1 << bcmChecksum2) | (1 << bcmCrcK),
                            .Init = [](TransferRecord& r, TProtocolType) { return InitKermit(r); },
                            .Done = DoneKermit, .Apply = ApplyKermit, .Read = ReadKermit,
                            .Prepare = {PrepareReceiveKermit, PrepareTransmitKermit},
                            .Handler = {KermitReceiveHandler, KermitTransmitHandler}};

}  // namespace zav
