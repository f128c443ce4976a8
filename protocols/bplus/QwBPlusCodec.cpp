#include "protocols/bplus/QwBPlusCodec.h"

#include <algorithm>

namespace zav {

// --- Block checks ------------------------------------------------------------------------

uint8_t BPlusChecksumUpdate(uint8_t sum, uint8_t byte) {
  const uint8_t rotated = uint8_t((sum << 1) | (sum >> 7));
  const uint32_t total = uint32_t(rotated) + byte;
  // End-around carry: the sum can never carry a second time.
  return uint8_t((total & 0xFF) + (total >> 8));
}

uint8_t BPlusChecksum(const uint8_t* data, size_t n, uint8_t sum) {
  for (size_t i = 0; i < n; ++i) sum = BPlusChecksumUpdate(sum, data[i]);
  return sum;
}

namespace {

struct CrcTable {
  uint16_t t[256];
  CrcTable() {
    for (uint32_t i = 0; i < 256; ++i) {
      uint16_t c = uint16_t(i << 8);
      for (int k = 0; k < 8; ++k) c = uint16_t((c & 0x8000) ? (c << 1) ^ 0x1021 : c << 1);
      t[i] = c;
    }
  }
};

const CrcTable& Table() {
  static const CrcTable table;
  return table;
}

}  // namespace

uint16_t BPlusCrcUpdate(uint16_t crc, uint8_t byte) {
  return uint16_t((crc << 8) ^ Table().t[((crc >> 8) ^ byte) & 0xFF]);
}

uint16_t BPlusCrc(const uint8_t* data, size_t n, uint16_t crc) {
  for (size_t i = 0; i < n; ++i) crc = BPlusCrcUpdate(crc, data[i]);
  return crc;
}

// --- Quoting ------------------------------------------------------------------------------

bool BPlusUnquote(uint8_t substitute, uint8_t& out) {
  if (substitute >= 0x40 && substitute <= 0x5F) {
    out = uint8_t(substitute - 0x40);
    return true;
  }
  if (substitute >= 0x60 && substitute <= 0x7F) {
    out = uint8_t(substitute - 0x60 + 0x80);
    return true;
  }
  return false;
}

TBPlusQuoteSet TBPlusQuoteSet::FromMask(const Mask& mask) {
  TBPlusQuoteSet set;
  for (int c = 0; c < 256; ++c) {
    if (!BPlusQuotable(uint8_t(c))) continue;
    const int low = c & 0x7F;
    const uint8_t byte = mask[size_t((c < 0x80 ? 0 : 4) + low / 8)];
    if (byte & (0x80 >> (low % 8))) set.Add(uint8_t(c));
  }
  return set;
}

TBPlusQuoteSet::Mask TBPlusQuoteSet::ToMask() const {
  Mask mask{};
  for (int c = 0; c < 256; ++c) {
    if (!Has(uint8_t(c))) continue;
    const int low = c & 0x7F;
    mask[size_t((c < 0x80 ? 0 : 4) + low / 8)] |= uint8_t(0x80 >> (low % 8));
  }
  return mask;
}

TBPlusQuoteSet TBPlusQuoteSet::Default() { return OfLevel(1); }

TBPlusQuoteSet TBPlusQuoteSet::All() { return TBPlusQuoteSet(~uint64_t(0)); }

TBPlusQuoteSet TBPlusQuoteSet::OfLevel(uint8_t level) {
  if (level >= 3) return All();
  TBPlusQuoteSet set;
  for (uint8_t c : {0x03, 0x05, 0x10, 0x11, 0x13, 0x15}) set.Add(c);
  if (level == 0) set.Add(0x00);
  if (level == 2) {
    set.Add(0x91);
    set.Add(0x93);
  }
  return set;
}

bool BPlusAlwaysQuoted(uint8_t c) { return c == kBpEtx || c == kBpEnq || c == kBpDle || c == kBpNak; }

void BPlusPutByte(std::vector<uint8_t>& out, uint8_t c, const TBPlusQuoteSet& set) {
  if (BPlusAlwaysQuoted(c) || set.Has(c)) {
    out.push_back(kBpDle);
    out.push_back(BPlusQuoteOf(c));
  } else {
    out.push_back(c);
  }
}

void BPlusEncodePacket(std::vector<uint8_t>& out, uint8_t digit, uint8_t type, const uint8_t* body, size_t n,
                       const TBPlusQuoteSet& set, bool crc) {
  const uint8_t seq = uint8_t('0' + digit % 10);
  out.insert(out.end(), {kBpDle, kBpLeadIn, seq, type});
  uint8_t sum = BPlusChecksumUpdate(BPlusChecksumUpdate(0, seq), type);
  uint16_t crcValue = BPlusCrcUpdate(BPlusCrcUpdate(0xFFFF, seq), type);
  for (size_t i = 0; i < n; ++i) {
    BPlusPutByte(out, body[i], set);
    sum = BPlusChecksumUpdate(sum, body[i]);
    crcValue = BPlusCrcUpdate(crcValue, body[i]);
  }
  out.push_back(kBpEtx);
  sum = BPlusChecksumUpdate(sum, kBpEtx);
  crcValue = BPlusCrcUpdate(crcValue, kBpEtx);
  if (crc) {
    BPlusPutByte(out, uint8_t(crcValue >> 8), set);
    BPlusPutByte(out, uint8_t(crcValue & 0xFF), set);
  } else {
    BPlusPutByte(out, sum, set);
  }
}

void BPlusEncodeParamsPacket(std::vector<uint8_t>& out, uint8_t digit, const std::vector<uint8_t>& params) {
  BPlusEncodePacket(out, digit, kBpPlus, params.data(), params.size(), TBPlusQuoteSet::All(), false);
}

// --- The decoder --------------------------------------------------------------------------

void TBPlusDecoder::Reset() {
  phase_ = kIdle;
  dleRun_ = 0;
  body_.clear();
}

void TBPlusDecoder::Covered(uint8_t b) {
  sum_ = BPlusChecksumUpdate(sum_, b);
  crcValue_ = BPlusCrcUpdate(crcValue_, b);
}

TBPlusEvent TBPlusDecoder::Outside(uint8_t b) {
  phase_ = kIdle;
  if (b == kBpDle) phase_ = kAfterDle;
  if (b == kBpEnq) return {TBPlusEvent::Enq};
  if (b == kBpNak) return {TBPlusEvent::Nak};
  return {};
}

// A damaged packet ends here. A DLE that broke it may begin what follows.
TBPlusEvent TBPlusDecoder::Bad(TBPlusEvent::Fault fault, uint8_t b, bool reread) {
  phase_ = reread && b == kBpDle ? kAfterDle : kIdle;
  TBPlusEvent e{TBPlusEvent::BadPacket};
  e.digit = digit_;
  e.type = type_;
  e.fault = fault;
  return e;
}

TBPlusEvent TBPlusDecoder::CheckByte(uint8_t b) {
  check_[checkGot_++] = b;
  const bool twoBytes = crc_ && type_ != kBpPlus;
  if (checkGot_ < (twoBytes ? 2u : 1u)) {
    phase_ = kCheck;
    return {};
  }
  phase_ = kIdle;
  const bool good = twoBytes ? (uint16_t(check_[0] << 8 | check_[1]) == crcValue_) : check_[0] == sum_;
  if (!good) return Bad(TBPlusEvent::BadCheck, b, false);
  TBPlusEvent e{TBPlusEvent::Packet};
  e.digit = digit_;
  e.type = type_;
  return e;
}

TBPlusEvent TBPlusDecoder::Feed(uint8_t b) {
  dleRun_ = b == kBpDle ? dleRun_ + 1 : 0;
  if (dleRun_ >= kBPlusPanicDles) {
    Reset();
    return {TBPlusEvent::PanicAbort};
  }
  // Inside a packet a raw ENQ or NAK is never data (see BPlusAlwaysQuoted).
  if ((b == kBpEnq || b == kBpNak) && phase_ >= kDigit) return Outside(b);
  switch (phase_) {
    case kIdle:
      return Outside(b);
    case kAfterDle:
      phase_ = kIdle;
      if (b == kBpLeadIn) {
        phase_ = kDigit;
        return {};
      }
      if (b >= '0' && b <= '9') {
        TBPlusEvent e{TBPlusEvent::Ack};
        e.digit = uint8_t(b - '0');
        return e;
      }
      if (b == kBpWait) return {TBPlusEvent::Wait};
      if (b == kBpPlus) {
        phase_ = kAfterDlePlus;
        return {};
      }
      return Outside(b);
    case kAfterDlePlus:
      if (b == kBpPlus) {
        phase_ = kIdle;
        return {TBPlusEvent::PlusPlus};
      }
      return Outside(b);
    case kDigit:
      if (b < '0' || b > '9') return Bad(TBPlusEvent::BadHeader, b, true);
      digit_ = uint8_t(b - '0');
      type_ = 0;
      sum_ = 0;
      crcValue_ = 0xFFFF;
      Covered(b);
      phase_ = kType;
      return {};
    case kType: {
      if (b == kBpDle || b == kBpEtx) return Bad(TBPlusEvent::BadHeader, b, true);
      type_ = b;
      Covered(b);
      body_.clear();
      checkGot_ = 0;
      phase_ = kBody;
      TBPlusEvent e{TBPlusEvent::Header};
      e.digit = digit_;
      e.type = type_;
      return e;
    }
    case kBody:
    case kBodyDle: {
      uint8_t c = b;
      if (phase_ == kBody) {
        if (b == kBpDle) {
          phase_ = kBodyDle;
          return {};
        }
        if (b == kBpEtx) {
          Covered(b);
          phase_ = kCheck;
          return {};
        }
      } else if (!BPlusUnquote(b, c)) {
        return Bad(TBPlusEvent::BadQuote, b, true);
      }
      phase_ = kBody;
      if (body_.size() >= maxBody_) return Bad(TBPlusEvent::TooLong, b, false);
      body_.push_back(c);
      Covered(c);
      return {};
    }
    case kCheck:
      if (b == kBpDle) {
        phase_ = kCheckDle;
        return {};
      }
      return CheckByte(b);
    case kCheckDle: {
      uint8_t c = 0;
      if (!BPlusUnquote(b, c)) return Bad(TBPlusEvent::BadQuote, b, true);
      return CheckByte(c);
    }
  }
  return {};
}

// --- Transport parameters ------------------------------------------------------------------

std::vector<uint8_t> BPlusEncodeParams(const TBPlusParams& p) {
  std::vector<uint8_t> out{p.WS, p.WR, p.BS, p.CM, p.DQ, p.TL};
  out.insert(out.end(), p.Q.begin(), p.Q.end());
  out.insert(out.end(), {p.DR, p.UR, p.FI});
  return out;
}

TBPlusParams BPlusDecodeParams(const uint8_t* data, size_t n) {
  auto at = [&](size_t i) -> uint8_t { return i < n ? data[i] : 0; };
  TBPlusParams p;
  p.WS = at(0);
  p.WR = at(1);
  p.BS = at(2);
  p.CM = at(3);
  p.DQ = at(4);
  p.TL = at(5);
  for (size_t i = 0; i < 8; ++i) p.Q[i] = at(6 + i);
  p.HasMasks = n > 6;
  p.DR = at(14);
  p.UR = at(15);
  p.FI = at(16);
  return p;
}

TBPlusInForce BPlusDefaults() { return TBPlusInForce{}; }

TBPlusInForce BPlusNegotiate(const TBPlusParams& mine, const TBPlusParams& peer, uint32_t maxWindow) {
  auto quoteOf = [](const TBPlusParams& p) {
    return p.HasMasks ? TBPlusQuoteSet::FromMask(p.Q) : TBPlusQuoteSet::OfLevel(p.DQ);
  };
  // A block size of 0 means 512: read it so before the minimum, or a peer's 0
  // would win over the other side's smaller real request.
  auto blocks = [](uint8_t bs) -> uint32_t { return bs == 0 ? 4 : bs; };
  TBPlusInForce f;
  f.SendWindow = std::min<uint32_t>(1 + std::min(mine.WS, peer.WR), std::max<uint32_t>(maxWindow, 1));
  f.BlockSize = std::min<uint32_t>(std::min(blocks(mine.BS), blocks(peer.BS)) * 128, kBPlusMaxBody);
  f.Crc = std::min(mine.CM, peer.CM) >= 1;
  f.Quote = quoteOf(mine) | quoteOf(peer);
  f.DR = std::min(mine.DR, peer.DR);
  f.UR = std::min(mine.UR, peer.UR);
  f.FI = std::min(mine.FI, peer.FI);
  f.TL = std::min(mine.TL, peer.TL);
  return f;
}

// --- Resume bodies --------------------------------------------------------------------------

std::vector<uint8_t> BPlusResumeBody(uint8_t function, uint8_t dataType, uint64_t length, uint16_t crc,
                                     const std::string& name) {
  std::string text(1, char(function));
  if (function == 'u') text += char(dataType);
  text += std::to_string(length) + ' ' + std::to_string(crc);
  if (function == 'u') text += ' ' + name;
  return std::vector<uint8_t>(text.begin(), text.end());
}

namespace {

bool Decimal(const uint8_t* body, size_t n, size_t& i, uint64_t limit, uint64_t& out) {
  const size_t start = i;
  out = 0;
  while (i < n && body[i] >= '0' && body[i] <= '9') {
    const uint64_t digit = body[i] - '0';
    if (out > (limit - digit) / 10) return false;
    out = out * 10 + digit;
    ++i;
  }
  return i > start;
}

}  // namespace

bool BPlusParseResume(const uint8_t* body, size_t n, TBPlusResume& out) {
  if (n < 1 || (body[0] != 'r' && body[0] != 'u')) return false;
  const bool upload = body[0] == 'u';
  size_t i = 1;
  out = TBPlusResume{};
  if (upload) {
    if (n < 2) return false;
    out.DataType = body[1];
    i = 2;
  }
  uint64_t crc = 0;
  if (!Decimal(body, n, i, UINT64_MAX, out.Length)) return false;
  if (i >= n || body[i++] != ' ') return false;
  if (!Decimal(body, n, i, 0xFFFF, crc)) return false;
  out.Crc = uint16_t(crc);
  if (upload) {
    if (i >= n || body[i++] != ' ' || i >= n) return false;
    out.Name.assign(reinterpret_cast<const char*>(body + i), n - i);
  }
  return true;
}

}  // namespace zav
