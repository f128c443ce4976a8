#include "protocols/kermit/QwKermitCodec.h"

#include <algorithm>
#include <cstring>

#include "protocols/core/QwTPcl.h"

namespace zav {

TKermitParams KermitRemoteDefaults() {
  TKermitParams p;
  p.HibitPrefix = ' ';
  p.RepeatPrefix = ' ';
  return p;
}

size_t EncodeSendInit(const TKermitParams& p, uint8_t* out) {
  out[0] = KermitToChar(p.MaxLen);
  out[1] = KermitToChar(p.TimeoutSecs);
  out[2] = KermitToChar(p.PadCount);
  out[3] = KermitCtl(p.PadChar);
  out[4] = KermitToChar(p.Terminator);
  out[5] = p.CtlPrefix;
  out[6] = p.HibitPrefix;
  out[7] = p.CheckType;
  out[8] = p.RepeatPrefix;
  out[9] = KermitToChar(p.Capabilities & 0x3E);
  out[10] = KermitToChar(p.Windows & 31);
  out[11] = KermitToChar(p.LongLen / 95);
  out[12] = KermitToChar(p.LongLen % 95);
  return kKermitSendInitSize;
}

void DecodeSendInit(const uint8_t* data, size_t n, TKermitParams& p) {
  auto un = [](uint8_t c) { return uint8_t(std::max(0, KermitUnChar(c))); };
  if (n > 0) p.MaxLen = un(data[0]);
  if (n > 1) p.TimeoutSecs = un(data[1]);
  if (n > 2) p.PadCount = un(data[2]);
  if (n > 3) p.PadChar = KermitCtl(data[3]);
  if (n > 4) p.Terminator = un(data[4]);
  if (n > 5) p.CtlPrefix = data[5];
  if (n > 6) p.HibitPrefix = data[6];
  if (n > 7) p.CheckType = data[7];
  if (n > 8) p.RepeatPrefix = data[8];
  size_t at = 9;
  if (n > at) {
    p.Capabilities = un(data[at]);
    while (at < n && (un(data[at]) & kKermitCapMore) != 0) ++at;
    ++at;
  }
  if (n > at) p.Windows = un(data[at]) & 31;
  if (n > at + 2) p.LongLen = uint32_t(un(data[at + 1])) * 95 + un(data[at + 2]);
}

uint32_t KermitCheckLength(uint8_t checkType) {
  switch (checkType) {
    case '2': return 2;
    case '3': return 3;
    default: return 1;
  }
}

uint32_t KermitBlockCheck(uint8_t checkType, const uint8_t* bytes, size_t n, uint8_t* out) {
  if (checkType == '3') {
    uint16_t crc = 0;
    for (size_t i = 0; i < n; ++i) crc = UpdateCrcKermit(bytes[i], crc);
    out[0] = KermitToChar((crc >> 12) & 15);
    out[1] = KermitToChar((crc >> 6) & 63);
    out[2] = KermitToChar(crc & 63);
    return 3;
  }
  uint32_t s = 0;
  for (size_t i = 0; i < n; ++i) s += bytes[i];
  if (checkType == '2') {
    out[0] = KermitToChar((s >> 6) & 63);
    out[1] = KermitToChar(s & 63);
    return 2;
  }
  out[0] = KermitToChar((s + ((s >> 6) & 3)) & 63);
  return 1;
}

uint8_t KermitHeaderCheck(const uint8_t* header) {
  uint32_t s = 0;
  for (int i = 0; i < 5; ++i) s += header[i];
  s &= 0xFF;
  return KermitToChar((s + (s >> 6)) & 63);
}

size_t BuildKermitPacket(const TKermitFraming& f, uint8_t seq, uint8_t type, const uint8_t* data, size_t n,
                         uint8_t* out) {
  n = std::min<size_t>(n, kKermitMaxData);
  size_t at = 0;
  for (uint32_t i = 0; i < std::min<uint32_t>(f.PadCount, 94); ++i) out[at++] = f.PadChar;
  out[at++] = kKermitSOH;
  const size_t body = at;
  const uint32_t checkLen = KermitCheckLength(f.CheckType);
  const size_t len = n + 2 + checkLen;
  if (len > kKermitMaxShortLen) {
    const size_t x = len - 2;
    out[at++] = KermitToChar(0);
    out[at++] = KermitToChar(seq & 63);
    out[at++] = type;
    out[at++] = KermitToChar(uint32_t(x / 95));
    out[at++] = KermitToChar(uint32_t(x % 95));
    out[at] = KermitHeaderCheck(out + body);
    ++at;
  } else {
    out[at++] = KermitToChar(uint32_t(len));
    out[at++] = KermitToChar(seq & 63);
    out[at++] = type;
  }
  if (n > 0) std::memcpy(out + at, data, n);
  at += n;
  at += KermitBlockCheck(f.CheckType, out + body, at - body, out + at);
  out[at++] = f.Terminator;
  return at;
}

// --- Data fields -------------------------------------------------------------------------

size_t KermitEncode(const TKermitQuoting& q, const uint8_t* src, size_t n, uint8_t* out, size_t limit,
                    size_t& outLen) {
  size_t i = 0, o = 0;
  while (i < n) {
    const uint8_t c = src[i];
    size_t run = 1;
    if (q.RepeatPrefix != 0)
      while (i + run < n && src[i + run] == c && run < kKermitMaxRun) ++run;
    uint8_t unit[6];
    size_t u = 0;
    const bool counted = q.RepeatPrefix != 0 && run > q.RepeatThreshold;
    if (counted) {
      unit[u++] = q.RepeatPrefix;
      unit[u++] = KermitToChar(uint32_t(run));
    }
    uint8_t b = c;
    if (q.HibitPrefix != 0 && (b & 0x80) != 0) {
      unit[u++] = q.HibitPrefix;
      b &= 0x7F;
    }
    // Controls are C0 and DEL; a byte with the high bit goes as it is (a
    // peer's prefixed C1 control is still read).
    const uint8_t low = b & 0x7F;
    if (b < 32 || b == 127) {
      unit[u++] = q.CtlPrefix;
      b = KermitCtl(b);
    } else if (low == q.CtlPrefix || (q.RepeatPrefix != 0 && low == q.RepeatPrefix) ||
               (q.HibitPrefix != 0 && low == q.HibitPrefix)) {
      unit[u++] = q.CtlPrefix;
    }
    unit[u++] = b;
    if (o + u > limit) break;
    std::memcpy(out + o, unit, u);
    o += u;
    i += counted ? run : 1;
  }
  outLen = o;
  return i;
}

void KermitDecode(const TKermitQuoting& q, const uint8_t* data, size_t n, TKermitSink& sink) {
  size_t i = 0;
  while (i < n) {
    uint8_t c = data[i++];
    uint32_t count = 1;
    if (q.RepeatPrefix != 0 && c == q.RepeatPrefix) {
      if (i + 1 >= n) return;
      count = uint32_t(std::max(0, KermitUnChar(data[i++])));
      c = data[i++];
    }
    uint8_t high = 0;
    if (q.HibitPrefix != 0 && c == q.HibitPrefix) {
      if (i >= n) return;
      high = 0x80;
      c = data[i++];
    }
    if (c == q.CtlPrefix) {
      if (i >= n) return;
      c = data[i++];
      // Prefixed letters and "?" are controls; anything else (the prefixes
      // themselves) stands for itself.
      const uint8_t low = c & 0x7F;
      if ((low >= 64 && low <= 95) || low == 63) c = KermitCtl(c);
    }
    if (count > 0) sink.Put(uint8_t(c | high), count);
  }
}

// --- Reading packets ---------------------------------------------------------------------

TKermitReadResult TKermitReader::Feed(const uint8_t* bytes, size_t n, size_t& used, bool headerOnly,
                                      uint8_t (*checkOf)(const void* ctx, uint8_t type), const void* ctx) {
  used = 0;
  if (headerOnly && State >= 7) return krHeader;
  auto bad = [&] {
    State = 0;
    return krBad;
  };
  // The header is done: the data length follows from the check type.
  auto headerDone = [&](uint32_t total) -> bool {
    CheckType = checkOf(ctx, Type);
    CheckLen = KermitCheckLength(CheckType);
    if (total < CheckLen || total - CheckLen > kKermitMaxData) return false;
    DataLen = total - CheckLen;
    Got = 0;
    CheckPhase = 0;
    State = DataLen > 0 ? 7 : 8;
    return true;
  };
  while (used < n) {
    const uint8_t b = bytes[used++];
    if (b == kKermitSOH) {
      // A packet cut short by the start of the next one is a bad packet.
      const bool cut = State >= 2;
      State = 1;
      RawLen = 0;
      if (cut) return krBad;
      continue;
    }
    switch (State) {
      case 0:
        break;
      case 1: {
        const int32_t len = KermitUnChar(b);
        if (len < 0 || len == 1 || len == 2 || len > 94) return bad();
        Long = len == 0;
        Header[0] = Raw[RawLen++] = b;
        State = 2;
        break;
      }
      case 2:
        if (KermitUnChar(b) < 0 || KermitUnChar(b) > 63) return bad();
        Seq = uint8_t(KermitUnChar(b));
        Header[1] = Raw[RawLen++] = b;
        State = 3;
        break;
      case 3:
        if (b < 32 || b > 126) return bad();
        Type = b;
        Header[2] = Raw[RawLen++] = b;
        if (Long) {
          State = 4;
          break;
        }
        if (!headerDone(uint32_t(KermitUnChar(Header[0]) - 2))) return bad();
        if (headerOnly) return krHeader;
        break;
      case 4:
      case 5:
        if (KermitUnChar(b) < 0 || KermitUnChar(b) > 94) return bad();
        Header[State - 1] = Raw[RawLen++] = b;
        ++State;
        break;
      case 6:
        if (b != KermitHeaderCheck(Header)) return bad();
        Raw[RawLen++] = b;
        if (!headerDone(uint32_t(KermitUnChar(Header[3]) * 95 + KermitUnChar(Header[4])))) return bad();
        if (headerOnly) return krHeader;
        break;
      case 7:
        Data[Got++] = Raw[RawLen++] = b;
        if (Got >= DataLen) State = 8;
        break;
      case 8: {
        Check[CheckPhase++] = b;
        if (CheckPhase < CheckLen) break;
        State = 0;
        uint8_t want[3];
        KermitBlockCheck(CheckType, Raw, RawLen, want);
        return std::memcmp(want, Check, CheckLen) == 0 ? krGood : krBad;
      }
      default:
        State = 0;
        break;
    }
  }
  if (!headerOnly) return krMore;
  return State >= 7 ? krHeader : krNone;
}

}  // namespace zav
