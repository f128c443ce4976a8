// Zmodem: what both machines share: sending headers, the abort and attention
// strings, and reading received bytes through the header parser.
#include <algorithm>
#include <cstring>

#include "platform/Clock.h"
#include "protocols/core/QwTPcl.h"
#include "protocols/zmodem/QwZmodem.h"
#include "serial/QwUser.h"

namespace zav {

uint64_t TLineBacklog::Left(uint32_t nowMs, uint32_t cps) const {
  const uint64_t elapsed = (nowMs - AtMs) & 0x7FFFFFFFu;  // the clock wraps at 2^31 ms
  const uint64_t carried = elapsed * cps;
  return ByteMs > carried ? (ByteMs - carried + 999) / 1000 : 0;
}

void TLineBacklog::Add(int64_t n, uint32_t nowMs, uint32_t cps) {
  const uint64_t elapsed = (nowMs - AtMs) & 0x7FFFFFFFu;
  const uint64_t carried = elapsed * cps;
  ByteMs = ByteMs > carried ? ByteMs - carried : 0;
  if (n >= 0)
    ByteMs += uint64_t(n) * 1000;
  else
    ByteMs -= std::min(ByteMs, uint64_t(-n) * 1000);
  AtMs = nowMs;
}

namespace zmodem_detail {

namespace {
constexpr uint8_t kAttentionBreak = 221;
constexpr uint8_t kAttentionPause = 222;
constexpr int32_t kAttentionPauseTicks = 18;
constexpr int32_t kBreakTicks = 5;
// The breaks and pauses of one attention string together hold the dispatcher
// thread (and the record's lock) at most this long, however many the peer
// put in it: a cancel is never kept waiting behind them.
constexpr int32_t kAttentionBudgetTicks = 9;
constexpr int kAbortRun = 8;
}  // namespace

void Send(TransferRecord& r, TZmodemArea& a, const uint8_t* bytes, uint32_t n) {
  if (r.Dispatcher == nullptr || n == 0) return;
  if (r.Dispatcher->WriteBlock(bytes, n) < 0) return;
  a.Line.Add(n, MsClock(), LineCps(r));
  a.Encoder.LastSent = bytes[n - 1];
  a.WorkStale = true;
}

void NoteHeader(TZmodemArea& a, uint8_t type, bool sent) {
  a.LastHeaderType = type;
  a.LastHeaderSent = sent;
}

void SendHexHeader(TransferRecord& r, TZmodemArea& a, uint8_t type) {
  std::vector<uint8_t> out;
  AppendHexHeader(out, type, a.HeaderData);
  Send(r, a, out.data(), uint32_t(out.size()));
  NoteHeader(a, type, true);
}

void SendBinaryHeader(TransferRecord& r, TZmodemArea& a, uint8_t type) {
  std::vector<uint8_t> out;
  a.Crc32Active = a.UseCrc32;
  AppendBinaryHeader(a.Encoder, out, type, a.HeaderData, a.UseCrc32);
  Send(r, a, out.data(), uint32_t(out.size()));
  NoteHeader(a, type, true);
}

void UncountQueued(TransferRecord& r) {
  if (r.Dispatcher == nullptr) return;
  // The bytes still queued never reach the peer: take them back out of the
  // count, less the overhead they carried.
  const uint32_t n = r.Dispatcher->OutputUsed();
  if (n > r.BlockSize)
    r.BytesTransferred = r.BytesTransferred - int64_t(n) + int64_t((n / r.BlockSize) * r.Overhead);
}

void SendAbort(TransferRecord& r, TZmodemArea& a) {
  if (TMroBaseDispatcher* d = r.Dispatcher) {
    UncountQueued(r);
    d->PurgeOutput();
    uint8_t abort[2 * kAbortRun];
    std::memset(abort, ZDLE, kAbortRun);
    std::memset(abort + kAbortRun, 8, kAbortRun);
    Send(r, a, abort, sizeof abort);
    a.AbortSent = true;
  }
  r.ProtocolStatus = psCancelRequested;
  RefreshStatus(r);
}

void SendAttention(TransferRecord& r, TZmodemArea& a, const uint8_t* text) {
  int32_t budget = kAttentionBudgetTicks;
  for (uint32_t i = 0; i < kZmodemAttentionSize && text[i] != 0; ++i) {
    if (text[i] == kAttentionBreak) {
      const int32_t ticks = std::min(kBreakTicks, budget);
      budget -= ticks;
      if (r.Dispatcher != nullptr && ticks > 0) {
        if (a.Pause != nullptr) {
          a.Pause(ticks);
        } else {
          r.Dispatcher->SendBreakFor(ticks, false);
        }
      }
    } else if (text[i] == kAttentionPause) {
      const int32_t ticks = std::min(kAttentionPauseTicks, budget);
      budget -= ticks;
      if (ticks <= 0) continue;
      if (a.Pause != nullptr)
        a.Pause(ticks);
      else
        DelayTicks(ticks, false);
    } else {
      Send(r, a, &text[i], 1);
    }
  }
}

bool InputReady(TransferRecord& r, TZmodemArea& a) {
  return a.InputPos < a.InputLen || (r.Dispatcher != nullptr && r.Dispatcher->InputUsed() > 0);
}

namespace {
bool Refill(TransferRecord& r, TZmodemArea& a) {
  if (a.InputPos < a.InputLen) return true;
  a.InputPos = a.InputLen = 0;
  if (r.Dispatcher == nullptr) return false;
  const uint32_t n = std::min<uint32_t>(r.Dispatcher->InputUsed(), uint32_t(a.Input.size()));
  if (n == 0 || r.Dispatcher->ReadBlock(a.Input.data(), n) < 0) return false;
  a.InputLen = n;
  return true;
}
}  // namespace

bool NextByte(TransferRecord& r, TZmodemArea& a, uint8_t& c) {
  if (!Refill(r, a)) return false;
  c = a.Input[a.InputPos++];
  return true;
}

void DiscardInput(TransferRecord& r, TZmodemArea& a) {
  a.InputPos = a.InputLen = 0;
  PurgeInputOfPort(r);
  // Inside an availability call the purge only marks the bytes as taken;
  // they are read away here so that this call does not see them again.
  while (Refill(r, a)) a.InputPos = a.InputLen = 0;
}

int32_t ParseInput(TransferRecord& r, TZmodemArea& a) {
  uint8_t c = 0;
  while (NextByte(r, a, c)) {
    TZmodemHeader h;
    ++a.SinceHeader;
    switch (FeedHeaderByte(a.Parser, a.CancelCount, c, h)) {
      case TZmodemFeed::None:
        continue;
      case TZmodemFeed::Cancel:
        return psCancelRequested;
      case TZmodemFeed::BadHeader:
        a.SinceHeader = 0;
        ++r.TotalErrors;
        return psBlockCheckError;
      case TZmodemFeed::Header:
        a.SinceHeader = 0;
        break;
    }
    const uint32_t position = DataPosition(h.Data);
    // A ZEOF that crossed this side's ZRPOS belongs to the stream before it.
    if (h.Type == ZEOF && a.LastHeaderType == ZRPOS && a.LastHeaderSent && position != r.FileOffset) {
      NoteHeader(a, ZEOF, false);
      continue;
    }
    a.Received = h;
    a.HexHeader = h.Format == ZHEX;
    a.Crc32Active = h.Format == ZBIN32;
    // The position comes from the header that carries it.
    if (h.Type == ZACK || h.Type == ZRPOS || h.Type == ZDATA || h.Type == ZEOF || h.Type == ZCRC)
      a.HeaderPosition = position;
    NoteHeader(a, h.Type, false);
    return psGotHeader;
  }
  return psNoHeader;
}

bool IsWaitingState(TZmodemState s) {
  switch (s) {
    case tzHandshake: case tzCheckFile: case tzWaitAck: case tzDrainEof: case tzCheckEof: case tzChkFinish:
    case rzWaitFile: case rzCollFile: case rzSndBlkPrp: case rzSendBlock: case rzStartData: case rzCollData:
    case rzWaitEof: case rzCollFin:
      return true;
    default:
      return false;
  }
}

}  // namespace zmodem_detail

}  // namespace zav
