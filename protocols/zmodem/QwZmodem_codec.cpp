// Zmodem codecs: escaping, hex and binary headers, data subpackets, the header
// parser, the subpacket collector and the file information. Pure: no record,
// no device.
#include <cstring>

#include "protocols/core/QwCrc.h"
#include "protocols/core/QwTPcl.h"
#include "protocols/zmodem/QwZmodem.h"

namespace zav {

namespace {

constexpr uint8_t kXon = 17, kXoff = 19;
constexpr uint8_t kCan = 24;
constexpr uint32_t kCancelRun = 5;
constexpr uint32_t kCrc32Residue = 0xDEBB20E3u;
constexpr char kHexDigits[] = "0123456789abcdef";

// How a byte goes on the line: 0 plain, 1 always escaped, 2 escaped after "@"
// (CR with or without its high bit), 3 escaped only when all controls are.
struct EscapeTable {
  uint8_t kind[256];
  constexpr EscapeTable() : kind() {
    for (int b = 0; b < 256; ++b) kind[b] = (b & 0x60) == 0 ? 3 : 0;
    for (int b : {16, 17, 19, 24, 144, 145, 147}) kind[b] = 1;
    kind[13] = kind[141] = 2;
  }
};
constexpr EscapeTable kEscape;

bool IsFlowByte(uint8_t c) { return c == kXon || c == kXoff || c == (kXon | 0x80) || c == (kXoff | 0x80); }

using crc_detail::Crc16Step;
using crc_detail::Crc32Step;

// A ZDLE pair's value; -1 for a frame end, which has no value.
int Unescape(uint8_t c) {
  switch (c) {
    case ZCRCE: case ZCRCG: case ZCRCQ: case ZCRCW: return -1;
    case 'l': return 127;
    case 'm': return 255;
    default: return c ^ 0x40;
  }
}

int HexValue(uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

void AppendHex(std::vector<uint8_t>& out, uint8_t b) {
  out.push_back(uint8_t(kHexDigits[b >> 4]));
  out.push_back(uint8_t(kHexDigits[b & 15]));
}

uint32_t Crc32Of(const uint8_t* data, size_t len, uint32_t crc = 0xFFFFFFFFu) {
  for (size_t i = 0; i < len; ++i) crc = Crc32Step(data[i], crc);
  return crc;
}

// The check of a header or subpacket, over `len` bytes: a good CRC-16 runs to
// 0 over data and check, a good CRC-32 to its residue.
bool CheckOk(const uint8_t* bytes, size_t len, bool crc32) {
  return crc32 ? Crc32Of(bytes, len) == kCrc32Residue : ZmodemCrc16(bytes, len) == 0;
}

}  // namespace

TZmodemHeaderData PositionData(uint32_t position) {
  return {uint8_t(position), uint8_t(position >> 8), uint8_t(position >> 16), uint8_t(position >> 24)};
}

uint32_t DataPosition(const TZmodemHeaderData& d) {
  return uint32_t(d[0]) | uint32_t(d[1]) << 8 | uint32_t(d[2]) << 16 | uint32_t(d[3]) << 24;
}

uint16_t ZmodemCrc16(const uint8_t* data, size_t len, uint16_t crc) {
  for (size_t i = 0; i < len; ++i) crc = Crc16Step(data[i], crc);
  return crc;
}

// --- Sending -------------------------------------------------------------------------

uint32_t TZmodemEncoder::Put(uint8_t b, uint8_t* out) {
  const uint8_t kind = kEscape.kind[b];
  // CR is a control too: escaped always when every control is.
  const bool escape = kind == 1 || (kind == 2 && ((LastSent & 0x7F) == '@' || EscapeAll)) || (kind == 3 && EscapeAll);
  if (!escape) {
    out[0] = b;
    LastSent = b;
    return 1;
  }
  out[0] = ZDLE;
  out[1] = uint8_t(b ^ 0x40);
  LastSent = out[1];
  return 2;
}

void TZmodemEncoder::Append(uint8_t b, std::vector<uint8_t>& out) {
  uint8_t pair[2];
  const uint32_t n = Put(b, pair);
  out.insert(out.end(), pair, pair + n);
}

void AppendHexHeader(std::vector<uint8_t>& out, uint8_t type, const TZmodemHeaderData& data) {
  uint8_t raw[5] = {type, data[0], data[1], data[2], data[3]};
  const uint16_t crc = ZmodemCrc16(raw, 5);
  const uint8_t tail[2] = {0, 0};
  const uint16_t check = ZmodemCrc16(tail, 2, crc);
  out.insert(out.end(), {ZPAD, ZPAD, ZDLE, ZHEX});
  for (uint8_t b : raw) AppendHex(out, b);
  AppendHex(out, uint8_t(check >> 8));
  AppendHex(out, uint8_t(check));
  out.push_back(13);
  out.push_back(0x8A);
  if (type != ZFIN && type != ZACK) out.push_back(kXon);
}

void AppendBinaryHeader(TZmodemEncoder& enc, std::vector<uint8_t>& out, uint8_t type, const TZmodemHeaderData& data,
                        bool crc32) {
  const uint8_t raw[5] = {type, data[0], data[1], data[2], data[3]};
  out.insert(out.end(), {ZPAD, ZDLE, crc32 ? ZBIN32 : ZBIN});
  enc.LastSent = crc32 ? ZBIN32 : ZBIN;
  for (uint8_t b : raw) enc.Append(b, out);
  if (crc32) {
    const uint32_t crc = ~Crc32Of(raw, 5);
    for (int i = 0; i < 4; ++i) enc.Append(uint8_t(crc >> (8 * i)), out);
  } else {
    const uint8_t tail[2] = {0, 0};
    const uint16_t crc = ZmodemCrc16(tail, 2, ZmodemCrc16(raw, 5));
    enc.Append(uint8_t(crc >> 8), out);
    enc.Append(uint8_t(crc), out);
  }
}

uint32_t EncodeSubpacket(TZmodemEncoder& enc, const uint8_t* data, uint32_t len, uint8_t end, bool crc32,
                         uint8_t* out) {
  uint32_t n = 0;
  uint32_t c32 = 0xFFFFFFFFu;
  uint16_t c16 = 0;
  if (crc32) {
    for (uint32_t i = 0; i < len; ++i) c32 = Crc32Step(data[i], c32);
  } else {
    for (uint32_t i = 0; i < len; ++i) c16 = Crc16Step(data[i], c16);
  }
  for (uint32_t i = 0; i < len; ++i) {
    const uint8_t b = data[i];
    // Plain bytes are the common case.
    if (kEscape.kind[b] == 0) {
      out[n++] = b;
    } else {
      if (n > 0) enc.LastSent = out[n - 1];
      n += enc.Put(b, out + n);
    }
  }
  if (n > 0) enc.LastSent = out[n - 1];
  out[n++] = ZDLE;
  out[n++] = end;
  enc.LastSent = end;
  if (crc32) {
    c32 = ~Crc32Step(end, c32);
    for (int i = 0; i < 4; ++i) n += enc.Put(uint8_t(c32 >> (8 * i)), out + n);
  } else {
    c16 = Crc16Step(end, c16);
    c16 = Crc16Step(0, Crc16Step(0, c16));
    n += enc.Put(uint8_t(c16 >> 8), out + n);
    n += enc.Put(uint8_t(c16), out + n);
  }
  if (end == ZCRCW) {
    out[n++] = kXon;
    enc.LastSent = kXon;
  }
  return n;
}

// --- Receiving headers -------------------------------------------------------------------

TZmodemFeed FeedHeaderByte(TZmodemHeaderParser& p, uint32_t& cancelCount, uint8_t c, TZmodemHeader& out) {
  if (c == kCan) {
    if (++cancelCount >= kCancelRun) {
      p.State = 0;
      p.PendingZdle = false;
      return TZmodemFeed::Cancel;
    }
  } else if (!IsFlowByte(c)) {
    cancelCount = 0;
  }
  if (IsFlowByte(c)) return TZmodemFeed::None;
  if (p.State == 6) p.State = 0;
  auto restart = [&](TZmodemFeed result) {
    p.State = 0;
    p.PendingZdle = false;
    return result;
  };
  switch (p.State) {
    case 0:
      if (c == ZPAD) p.State = 1;
      return TZmodemFeed::None;
    case 1:
      if (c == ZDLE)
        p.State = 2;
      else if (c != ZPAD)
        p.State = 0;
      return TZmodemFeed::None;
    case 2:
      p.BinaryCount = p.HexCount = 0;
      p.PendingZdle = false;
      p.HighNibble = true;
      if (c == ZBIN)
        p.State = 3;
      else if (c == ZBIN32)
        p.State = 4;
      else if (c == ZHEX)
        p.State = 5;
      else
        p.State = 0;
      return TZmodemFeed::None;
    case 3:
    case 4: {
      int value = c;
      if (p.PendingZdle) {
        p.PendingZdle = false;
        if (c == kCan) return restart(TZmodemFeed::None);  // the start of a cancel run
        value = Unescape(c);
        if (value < 0) return restart(TZmodemFeed::BadHeader);
      } else if (c == ZDLE) {
        p.PendingZdle = true;
        return TZmodemFeed::None;
      }
      const bool crc32 = p.State == 4;
      p.Bytes[p.BinaryCount++] = uint8_t(value);
      if (p.BinaryCount < (crc32 ? 9u : 7u)) return TZmodemFeed::None;
      if (!CheckOk(p.Bytes.data(), p.BinaryCount, crc32)) return restart(TZmodemFeed::BadHeader);
      out.Type = p.Bytes[0];
      std::memcpy(out.Data.data(), &p.Bytes[1], 4);
      out.Format = crc32 ? ZBIN32 : ZBIN;
      p.State = 6;
      return TZmodemFeed::Header;
    }
    case 5: {
      const int v = HexValue(c);
      if (v < 0) return restart(TZmodemFeed::BadHeader);
      if (p.HighNibble) {
        p.Nibble = uint8_t(v);
        p.HighNibble = false;
        return TZmodemFeed::None;
      }
      p.HighNibble = true;
      p.Bytes[p.HexCount++] = uint8_t(p.Nibble << 4 | v);
      if (p.HexCount < 7) return TZmodemFeed::None;
      if (!CheckOk(p.Bytes.data(), 7, false)) return restart(TZmodemFeed::BadHeader);
      out.Type = p.Bytes[0];
      std::memcpy(out.Data.data(), &p.Bytes[1], 4);
      out.Format = ZHEX;
      p.State = 6;
      return TZmodemFeed::Header;
    }
    default:
      return restart(TZmodemFeed::None);
  }
}

// --- Receiving subpackets --------------------------------------------------------------------

void TZmodemCollector::Start(bool crc32) {
  Count = 0;
  Phase = 0;
  End = 0;
  CrcBytes = 0;
  PendingZdle = false;
  Crc32 = crc32;
  Crc16 = 0;
  Crc32Value = 0xFFFFFFFFu;
}

int32_t CollectSubpacket(TZmodemCollector& c, uint32_t& cancelCount, const uint8_t* in, size_t n, size_t& used,
                         uint8_t* out, uint32_t limit) {
  size_t i = 0;
  int32_t result = 0;
  while (i < n && result == 0) {
    const uint8_t b = in[i++];
    if (b == kCan) {
      if (++cancelCount >= kCancelRun) {
        result = psCancelRequested;
        break;
      }
    } else if (!IsFlowByte(b)) {
      cancelCount = 0;
    }
    if (IsFlowByte(b)) continue;
    int value = b;
    if (c.PendingZdle) {
      c.PendingZdle = b == kCan;  // a CAN after ZDLE starts another pair (a cancel run)
      if (c.PendingZdle) continue;
      value = Unescape(b);
      if (value < 0) {
        if (c.Phase != 0) {  // an end among the check bytes
          result = psBlockCheckError;
          break;
        }
        c.End = b;
        c.Phase = 1;
        if (c.Crc32)
          c.Crc32Value = Crc32Step(b, c.Crc32Value);
        else
          c.Crc16 = Crc16Step(b, c.Crc16);
        continue;
      }
    } else if (b == ZDLE) {
      c.PendingZdle = true;
      continue;
    }
    const uint8_t v = uint8_t(value);
    if (c.Crc32)
      c.Crc32Value = Crc32Step(v, c.Crc32Value);
    else
      c.Crc16 = Crc16Step(v, c.Crc16);
    if (c.Phase == 0) {
      if (c.Count >= limit) {
        result = psLongPacket;
        break;
      }
      out[c.Count++] = v;
      continue;
    }
    if (++c.CrcBytes < (c.Crc32 ? 4 : 2)) continue;
    const bool good = c.Crc32 ? c.Crc32Value == kCrc32Residue : c.Crc16 == 0;
    if (!good) {
      result = psBlockCheckError;
      break;
    }
    switch (c.End) {
      case ZCRCE: result = psGotCrcE; break;
      case ZCRCG: result = psGotCrcG; break;
      case ZCRCQ: result = psGotCrcQ; break;
      default: result = psGotCrcW; break;
    }
  }
  used = i;
  return result;
}

// --- File information ------------------------------------------------------------------------

std::vector<uint8_t> BuildFileInfo(const std::string& name, uint64_t size, int64_t date) {
  std::string text = name;
  text += '\0';
  text += std::to_string(size);
  if (date > 0 && date <= int64_t(UINT32_MAX)) text += " " + OctalStr(uint32_t(date));
  text += '\0';
  return std::vector<uint8_t>(text.begin(), text.end());
}

TZmodemFileInfo ParseFileInfo(const uint8_t* data, size_t len) {
  TZmodemFileInfo info;
  size_t i = 0;
  while (i < len && data[i] != 0) ++i;
  info.Name.assign(reinterpret_cast<const char*>(data), std::min<size_t>(i, kMaxPathChars));
  ++i;
  // The fields after the name, each up to a space or the end: size in
  // decimal, date in octal; what a sender adds behind (mode, serial, counts)
  // is not used.
  auto token = [&] {
    while (i < len && data[i] == ' ') ++i;
    const size_t start = i;
    while (i < len && data[i] != ' ' && data[i] != 0) ++i;
    return std::string(reinterpret_cast<const char*>(data) + start, i - start);
  };
  if (i >= len) return info;
  const std::string size = token();
  uint64_t value = 0;
  bool number = !size.empty();
  for (char ch : size) {
    if (ch < '0' || ch > '9') {
      number = false;
      break;
    }
    // Kept above the 32-bit limit (held at 2^63), so the receiver can refuse it.
    value = value > (uint64_t(INT64_MAX) - 9) / 10 ? uint64_t(INT64_MAX) : value * 10 + uint64_t(ch - '0');
  }
  info.Size = number ? value : 0;
  if (i < len && data[i] == 0) return info;
  const std::string date = token();
  const uint32_t seconds = OctalStr2Long(date);
  if (seconds != 0) {
    info.HasDate = true;
    info.Date = seconds;
  }
  return info;
}

}  // namespace zav
