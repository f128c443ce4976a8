// Kermit's wire format, free of any transfer state: the character functions,
// the Send-Init parameter field, packets with their block checks, the data
// field's prefixing (control, 8-bit and repeat) both ways, and a byte-driven
// packet reader.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zav {

constexpr uint8_t kKermitSOH = 1;
constexpr uint32_t kKermitMaxData = 1024;      // data bytes of one packet, either way
constexpr uint32_t kKermitMaxShortLen = 94;    // MAXL
constexpr uint32_t kKermitMinShortLen = 20;    // room for a Send-Init and a prefixed byte
constexpr uint32_t kKermitMaxLongLen = 1024;
constexpr uint32_t kKermitMaxWindows = 27;
constexpr uint32_t kKermitMaxRun = 94;
// Capability bits of CAPAS as the published protocol numbers them: the low bit
// says another capability byte follows.
constexpr uint8_t kKermitCapMore = 0x01;
constexpr uint8_t kKermitCapLong = 0x02;
constexpr uint8_t kKermitCapWindows = 0x04;
// The most a built packet can take: padding, header, data, check, EOL.
constexpr uint32_t kKermitMaxPacketBytes = 94 + 7 + kKermitMaxData + 3 + 1;

constexpr uint8_t KermitToChar(uint32_t x) { return uint8_t(x + 32); }
constexpr int32_t KermitUnChar(uint8_t c) { return int32_t(c) - 32; }
constexpr uint8_t KermitCtl(uint8_t c) { return uint8_t(c ^ 64); }
// A character that may serve as a prefix: 33 to 62 or 96 to 126.
constexpr bool IsKermitPrefixChar(uint8_t c) { return (c >= 33 && c <= 62) || (c >= 96 && c <= 126); }

// One side's parameters, in the order of the Send-Init field.
struct TKermitParams {
  uint8_t MaxLen = 80;         // MAXL: longest short packet this side takes
  uint8_t TimeoutSecs = 5;     // TIME
  uint8_t PadCount = 0;        // NPAD: padding this side wants before a packet
  uint8_t PadChar = 0;         // PADC
  uint8_t Terminator = 13;     // EOL: the byte this side wants after a packet
  uint8_t CtlPrefix = '#';     // QCTL
  uint8_t HibitPrefix = 'Y';   // QBIN: a prefix, "Y" (will if asked) or "N"
  uint8_t CheckType = '1';     // CHKT: "1", "2" or "3"
  uint8_t RepeatPrefix = '~';  // REPT: a prefix, or " " for none
  uint8_t Capabilities = 0;    // CAPAS
  uint8_t Windows = 0;         // WINDO
  uint32_t LongLen = 0;        // longest long packet this side takes; 0: none
};

// The set assumed for a peer before its Send-Init arrives.
TKermitParams KermitRemoteDefaults();

constexpr size_t kKermitSendInitSize = 13;
// The Send-Init field of `p` (13 bytes); WINDO goes out cut to 5 bits.
size_t EncodeSendInit(const TKermitParams& p, uint8_t* out);
// Overlays a received Send-Init field on `p`. Fields the peer left out keep
// their values; capability bytes flagged as continued are skipped, so the
// window and long-length fields are found behind the last one.
void DecodeSendInit(const uint8_t* data, size_t n, TKermitParams& p);

// 1, 2 or 3 bytes for "1", "2" and "3" (1 for anything else).
uint32_t KermitCheckLength(uint8_t checkType);
// The block check characters of `bytes` (everything after SOH); returns their count.
uint32_t KermitBlockCheck(uint8_t checkType, const uint8_t* bytes, size_t n, uint8_t* out);
// The header check of a long packet over its five header characters.
uint8_t KermitHeaderCheck(const uint8_t* header);

// How a packet goes on the line.
struct TKermitFraming {
  uint8_t PadCount = 0;
  uint8_t PadChar = 0;
  uint8_t Terminator = 13;
  uint8_t CheckType = '1';
};

// A whole packet into `out` (at least kKermitMaxPacketBytes); returns its
// length. A packet longer than 94 takes the long form. `n` is at most
// kKermitMaxData.
size_t BuildKermitPacket(const TKermitFraming& f, uint8_t seq, uint8_t type, const uint8_t* data, size_t n,
                         uint8_t* out);

// The prefixes in use for a data field.
struct TKermitQuoting {
  uint8_t CtlPrefix = '#';
  uint8_t HibitPrefix = 0;   // 0: no 8-bit quoting
  uint8_t RepeatPrefix = 0;  // 0: no repeat counts
  uint32_t RepeatThreshold = 4;  // runs longer than this are counted
};

// Encodes bytes from `src` into `out` while each encoded byte fits whole in
// `limit`; returns the source bytes taken and sets `outLen`.
size_t KermitEncode(const TKermitQuoting& q, const uint8_t* src, size_t n, uint8_t* out, size_t limit,
                    size_t& outLen);

// Decodes a data field, handing each decoded byte with its repeat count to
// `sink` (a prefix cut off at the end of the field is dropped).
class TKermitSink {
 public:
  virtual ~TKermitSink() = default;
  virtual void Put(uint8_t byte, uint32_t count) = 0;
};
void KermitDecode(const TKermitQuoting& q, const uint8_t* data, size_t n, TKermitSink& sink);

// Reads packets byte by byte. SOH restarts it anywhere (a packet it cuts
// short counts as bad); a packet is delivered as its header first (type,
// sequence, data length), then whole.
enum TKermitReadResult : uint8_t {
  krNone,      // no header yet
  krHeader,    // header complete, data follows
  krMore,      // packet incomplete
  krGood,      // packet complete with a good check
  krBad        // bad header or check; the reader waits for the next SOH
};

struct TKermitReader {
  uint8_t State = 0;       // 0 SOH, 1 LEN, 2 SEQ, 3 TYPE, 4 LENX1, 5 LENX2, 6 HCHECK, 7 data, 8 check
  uint8_t CheckPhase = 0;  // check bytes read so far
  bool Long = false;
  uint8_t Type = 0;
  uint8_t Seq = 0;
  uint32_t DataLen = 0;
  uint32_t Got = 0;
  uint32_t CheckLen = 1;
  uint8_t CheckType = '1';
  uint8_t Header[5] = {};
  uint8_t Check[3] = {};
  uint8_t Data[kKermitMaxData] = {};
  // The packet from LEN on, for its check.
  uint8_t Raw[6 + kKermitMaxData] = {};
  uint32_t RawLen = 0;

  void Reset() { State = 0; }
  // Takes bytes from `bytes` until the header is complete (when
  // `headerOnly`), the packet is complete or bad, or the bytes run out;
  // `used` tells how many were taken. `checkOf` gives the check type for a
  // packet type.
  TKermitReadResult Feed(const uint8_t* bytes, size_t n, size_t& used, bool headerOnly,
                         uint8_t (*checkOf)(const void* ctx, uint8_t type), const void* ctx);
};

}  // namespace zav
