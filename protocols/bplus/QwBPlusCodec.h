// The B+ packet codec: the two block checks, quoting, packet building, the
// incremental decoder of everything a peer sends (packets and the control
// sequences between them), the transport parameters and their negotiation,
// and the bodies of the resume packets. Pure functions and values: no I/O, no
// clock, no record, so each piece is tested on its own.
//
// Wire form of a packet:
//   DLE 'B' <digit> <type> <body, quoted> ETX <check, quoted>
// The check covers the digit, the type, the unquoted body and the ETX; it is
// one byte (the rotating checksum) or two (CRC-16 from 0xFFFF, high byte
// first). A quoted byte is DLE followed by its substitute (00-1F -> 40-5F,
// 80-9F -> 60-7F).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zav {

constexpr uint8_t kBpEtx = 0x03;
constexpr uint8_t kBpEnq = 0x05;
constexpr uint8_t kBpDle = 0x10;
constexpr uint8_t kBpNak = 0x15;
constexpr uint8_t kBpLeadIn = 'B';
constexpr uint8_t kBpWait = ';';
constexpr uint8_t kBpPlus = '+';
// The longest body the decoder takes (the 2048-byte block).
constexpr uint32_t kBPlusMaxBody = 2048;
// Four DLEs in a row: the panic abort.
constexpr uint32_t kBPlusPanicDles = 4;

// --- Block checks ---
uint8_t BPlusChecksumUpdate(uint8_t sum, uint8_t byte);
uint8_t BPlusChecksum(const uint8_t* data, size_t n, uint8_t sum = 0);
uint16_t BPlusCrcUpdate(uint16_t crc, uint8_t byte);
uint16_t BPlusCrc(const uint8_t* data, size_t n, uint16_t crc = 0xFFFF);

// --- Quoting ---
// Only 00-1F and 80-9F can be quoted.
constexpr bool BPlusQuotable(uint8_t c) { return (c & 0x60) == 0; }
constexpr uint8_t BPlusQuoteOf(uint8_t c) { return c < 0x80 ? uint8_t(c + 0x40) : uint8_t((c & 0x1F) + 0x60); }
// The byte a substitute stands for; false for a byte that is no substitute.
bool BPlusUnquote(uint8_t substitute, uint8_t& out);

// A set of quoted characters; its wire form is the eight mask bytes Q1..Q8
// (bit 7 of each byte is the lowest character of its group of eight).
class TBPlusQuoteSet {
 public:
  using Mask = std::array<uint8_t, 8>;
  static TBPlusQuoteSet FromMask(const Mask& mask);
  // ETX ENQ DLE XON XOFF NAK: the set before negotiation.
  static TBPlusQuoteSet Default();
  // Every quotable character: the set of '+' packets.
  static TBPlusQuoteSet All();
  // The historical quoting levels (0 to 3); a higher level is taken as 3.
  static TBPlusQuoteSet OfLevel(uint8_t level);
  Mask ToMask() const;
  bool Has(uint8_t c) const { return BPlusQuotable(c) && ((bits_ >> Index(c)) & 1) != 0; }
  void Add(uint8_t c) {
    if (BPlusQuotable(c)) bits_ |= uint64_t(1) << Index(c);
  }
  TBPlusQuoteSet operator|(const TBPlusQuoteSet& o) const { return TBPlusQuoteSet(bits_ | o.bits_); }
  bool operator==(const TBPlusQuoteSet& o) const { return bits_ == o.bits_; }

 private:
  explicit TBPlusQuoteSet(uint64_t bits = 0) : bits_(bits) {}
  static int Index(uint8_t c) { return (c & 0x1F) | ((c & 0x80) ? 32 : 0); }
  uint64_t bits_;
};

// ETX and DLE would break the framing; a raw ENQ or NAK inside a packet is
// read as the control byte (the packet is dropped), so that a resync gets
// through to a side left in the middle of a damaged packet. These four are
// quoted whatever the negotiated set says (quoting more than the peer asked
// for is harmless: every DLE pair is decoded).
bool BPlusAlwaysQuoted(uint8_t c);
// Appends one body or check byte, quoted when the set or the rule above has it.
void BPlusPutByte(std::vector<uint8_t>& out, uint8_t c, const TBPlusQuoteSet& set);

// Appends a whole packet. `digit` is 0..9.
void BPlusEncodePacket(std::vector<uint8_t>& out, uint8_t digit, uint8_t type, const uint8_t* body, size_t n,
                       const TBPlusQuoteSet& set, bool crc);
// A '+' packet: every quotable byte quoted, the checksum.
void BPlusEncodeParamsPacket(std::vector<uint8_t>& out, uint8_t digit, const std::vector<uint8_t>& params);

// --- The decoder ---
struct TBPlusEvent {
  enum Kind : uint8_t {
    None,
    Ack,         // DLE digit
    Nak,         // NAK
    Enq,         // ENQ
    Wait,        // DLE ;
    PlusPlus,    // DLE + +: the answer of a side in terminal mode
    Header,      // the digit and type of a packet just begun (its trailer has not come yet)
    Packet,      // a complete packet with a good check
    BadPacket,   // a packet that ended damaged (see Fault)
    PanicAbort,  // four DLEs
  };
  enum Fault : uint8_t { NoFault, BadCheck, BadQuote, TooLong, BadHeader };
  Kind kind = None;
  uint8_t digit = 0;  // Ack, Header, Packet: 0..9
  uint8_t type = 0;   // Header, Packet
  Fault fault = NoFault;
};

// Takes a peer's bytes one at a time, resuming anywhere. Outside a packet,
// bytes that are neither DLE, ENQ nor NAK are ignored (terminal text, line
// noise). Inside a packet every DLE pair is decoded, whatever the quoting set,
// so DLE 'B' in a body is an STX and never a new lead-in; a raw ENQ or NAK
// there drops the packet and counts as itself.
class TBPlusDecoder {
 public:
  enum Phase : uint8_t { kIdle, kAfterDle, kAfterDlePlus, kDigit, kType, kBody, kBodyDle, kCheck, kCheckDle };

  // The check of packets other than '+' (which always carry the checksum);
  // may change between a Header event and the packet's end.
  void SetCrc(bool crc) { crc_ = crc; }
  bool Crc() const { return crc_; }
  void SetMaxBody(uint32_t n) { maxBody_ = n < kBPlusMaxBody ? n : kBPlusMaxBody; }
  TBPlusEvent Feed(uint8_t byte);
  void Reset();
  Phase CurrentPhase() const { return phase_; }
  // The unquoted body of the last Packet event (valid until the next Feed).
  const std::vector<uint8_t>& Body() const { return body_; }

 private:
  TBPlusEvent Outside(uint8_t b);
  TBPlusEvent Bad(TBPlusEvent::Fault fault, uint8_t b, bool reread);
  TBPlusEvent CheckByte(uint8_t b);
  void Covered(uint8_t b);

  Phase phase_ = kIdle;
  bool crc_ = false;
  uint32_t maxBody_ = kBPlusMaxBody;
  uint32_t dleRun_ = 0;
  uint8_t digit_ = 0, type_ = 0;
  uint8_t sum_ = 0;
  uint16_t crcValue_ = 0xFFFF;
  uint8_t check_[2] = {0, 0};
  uint32_t checkGot_ = 0;
  std::vector<uint8_t> body_;
};

// --- Transport parameters ---
// WS WR BS CM DQ TL Q1..Q8 DR UR FI, one byte each.
struct TBPlusParams {
  uint8_t WS = 0, WR = 0, BS = 0, CM = 0, DQ = 0, TL = 0;
  TBPlusQuoteSet::Mask Q{};
  bool HasMasks = true;  // false: the quoting set comes from DQ
  uint8_t DR = 0, UR = 0, FI = 0;
};
constexpr size_t kBPlusParamsLength = 17;
std::vector<uint8_t> BPlusEncodeParams(const TBPlusParams& p);
// Missing trailing parameters count as 0; bytes beyond FI are ignored.
TBPlusParams BPlusDecodeParams(const uint8_t* data, size_t n);

// The values in force after the exchange, for one side.
struct TBPlusInForce {
  uint32_t SendWindow = 1;  // packets this side may have unacknowledged
  uint32_t BlockSize = 512;
  bool Crc = false;
  TBPlusQuoteSet Quote = TBPlusQuoteSet::Default();
  uint8_t DR = 0, UR = 0, FI = 0, TL = 0;
};
// What a side works with before the exchange (and after ENQ in terminal mode).
TBPlusInForce BPlusDefaults();
// WS against the peer's WR (and WR against its WS), the minimum of the
// others, BS 0 read as 512 first, the union of the two quoting sets.
// `maxWindow` caps the window whatever both sides offer.
TBPlusInForce BPlusNegotiate(const TBPlusParams& mine, const TBPlusParams& peer, uint32_t maxWindow);

// --- Resume bodies ---
// Tr (the receiver of a download): 'r' <length> ' ' <crc>.
// Tu (the initiator asking for an upload): 'u' <data type> <length> ' ' <crc> ' ' <name>.
// Length and CRC are ASCII decimal.
std::vector<uint8_t> BPlusResumeBody(uint8_t function, uint8_t dataType, uint64_t length, uint16_t crc,
                                     const std::string& name);
struct TBPlusResume {
  uint8_t DataType = 'B';
  uint64_t Length = 0;
  uint16_t Crc = 0;
  std::string Name;
};
// Parses a body that starts with 'r' or 'u'; false when malformed.
bool BPlusParseResume(const uint8_t* body, size_t n, TBPlusResume& out);

}  // namespace zav
