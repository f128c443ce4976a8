// The Zmodem protocol: batch transmit of the files of the mask and batch
// receive into the destination directory, with hex and binary headers, CRC-16
// or CRC-32 checked data subpackets, streaming with optional receiver windows,
// restart from a position (ZRPOS), crash recovery and the file-management
// options of the ZFILE header.
//
// The codecs (escaping, headers, subpackets, file information, the header
// parser and the subpacket collector) are pure and live in QwZmodem_codec.cpp;
// what both machines share in QwZmodem_common.cpp; the transmit machine in
// QwZmodem.cpp; the receive machine and the file hooks in QwZmodem_receive.cpp. The handlers follow the engine's
// trigger-handler contract (QwTPcl.h): they run on the dispatcher thread under
// RecordLock.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "protocols/core/QwAbsPcl.h"

namespace zav {

// --- Framing ---------------------------------------------------------------------

constexpr uint8_t ZPAD = '*';
constexpr uint8_t ZDLE = 24;
constexpr uint8_t ZBIN = 'A';
constexpr uint8_t ZHEX = 'B';
constexpr uint8_t ZBIN32 = 'C';

// Frame types.
constexpr uint8_t ZRQINIT = 0, ZRINIT = 1, ZSINIT = 2, ZACK = 3, ZFILE = 4, ZSKIP = 5, ZNAK = 6, ZABORT = 7,
                  ZFIN = 8, ZRPOS = 9, ZDATA = 10, ZEOF = 11, ZFERR = 12, ZCRC = 13, ZCHALLENGE = 14, ZCOMPL = 15,
                  ZCAN = 16, ZFREECNT = 17, ZCOMMAND = 18;
constexpr uint8_t kZmodemNoHeader = 0xFF;  // no header sent or received yet

// Subpacket ends.
constexpr uint8_t ZCRCE = 'h', ZCRCG = 'i', ZCRCQ = 'j', ZCRCW = 'k';

// Header data bytes: positions are little-endian in ZP0..ZP3; the flag bytes
// are numbered the other way round (ZF0 is the fourth byte).
constexpr int ZP0 = 0, ZP1 = 1, ZP2 = 2, ZP3 = 3;
constexpr int ZF3 = 0, ZF2 = 1, ZF1 = 2, ZF0 = 3;

// ZRINIT flags (ZF0).
constexpr uint8_t kCanFullDuplex = 0x01, kCanOverlapIo = 0x02, kCanBreak = 0x04, kCanCrc32 = 0x20,
                  kEscapeControls = 0x40;
// ZFILE conversion (ZF0): resume an interrupted file.
constexpr uint8_t kConvResume = 3;
// ZFILE management (ZF1): skip the file unless it exists already.
constexpr uint8_t kSkipNoFileBit = 0x80;

constexpr uint32_t kZmodemBlock = 1024;
constexpr uint32_t kZmodemBlock8K = 8192;
constexpr uint32_t kZmodemMinBlock = 256;
// The longest subpacket a receiver takes: senders of the published protocol
// use up to 8192 bytes whether or not this side asked for them.
constexpr uint32_t kZmodemMaxSubpacket = 8192;
constexpr uint32_t kZmodemAttentionSize = 32;
// Escaped subpacket: every byte may double, plus ZDLE, the end and 4 escaped CRC bytes and XON.
constexpr uint32_t WorkBufferSize(uint32_t block) { return 2 * block + 16; }

enum TZmodemState : uint8_t {
  tzInitial, tzHandshake, tzGetFile, tzSendFile, tzCheckFile, tzStartData, tzEscapeData, tzSendData, tzWaitAck,
  tzSendEof, tzDrainEof, tzCheckEof, tzSendFinish, tzChkFinish, tzError, tzCleanup, tzDone,
  rzRqstFile, rzDelay, rzWaitFile, rzCollFile, rzSendInit, rzSndBlkPrp, rzSendBlock, rzSync, rzStartFile,
  rzStartData, rzCollData, rzGotData, rzWaitEof, rzEndOfFile, rzSendFinish, rzCollFin, rzError, rzWaitCancel,
  rzCleanup, rzDone
};
extern const TEngine kZmodemEngine;

// --- Pure codecs -------------------------------------------------------------------

using TZmodemHeaderData = std::array<uint8_t, 4>;

// A 32-bit position as header data and back.
TZmodemHeaderData PositionData(uint32_t position);
uint32_t DataPosition(const TZmodemHeaderData& data);

// Escapes bytes for the line. `LastSent` is the last byte put on the line
// (after any ZDLE); a CR after "@" is escaped so that no network turns the
// pair into a command.
struct TZmodemEncoder {
  bool EscapeAll = false;
  uint8_t LastSent = 0;
  // Writes b (escaped when needed) at out; returns the bytes written (1 or 2).
  uint32_t Put(uint8_t b, uint8_t* out);
  void Append(uint8_t b, std::vector<uint8_t>& out);
};

// "**" ZDLE "B", type and data as hex digits, CRC-16, CR, 0x8A and (unless
// ZFIN or ZACK) XON. Appends to out.
void AppendHexHeader(std::vector<uint8_t>& out, uint8_t type, const TZmodemHeaderData& data);
// "*" ZDLE "C" (CRC-32) or "A" (CRC-16), type, data and check, escaped.
void AppendBinaryHeader(TZmodemEncoder& enc, std::vector<uint8_t>& out, uint8_t type, const TZmodemHeaderData& data,
                        bool crc32);
// A data subpacket: the bytes escaped, ZDLE and the end, the check (over the
// data and the end), XON after ZCRCW. `out` holds WorkBufferSize(len) bytes;
// returns the length written.
uint32_t EncodeSubpacket(TZmodemEncoder& enc, const uint8_t* data, uint32_t len, uint8_t end, bool crc32,
                         uint8_t* out);

uint16_t ZmodemCrc16(const uint8_t* data, size_t len, uint16_t crc = 0);

// A received header.
struct TZmodemHeader {
  uint8_t Type = 0;
  TZmodemHeaderData Data{};
  uint8_t Format = 0;  // ZBIN, ZHEX or ZBIN32
};

// The header parser: fed byte by byte while a machine waits for a header.
// Five CAN bytes in a row are a cancel; XON and XOFF are ignored.
struct TZmodemHeaderParser {
  uint8_t State = 0;  // 0 wait "*", 1 expect ZDLE, 2 format, 3 binary, 4 binary CRC-32, 5 hex, 6 complete
  uint32_t HexCount = 0, BinaryCount = 0;
  bool PendingZdle = false;
  bool HighNibble = false;
  uint8_t Nibble = 0;
  std::array<uint8_t, 9> Bytes{};
};
enum class TZmodemFeed : uint8_t { None, Header, BadHeader, Cancel };
// `cancelCount` counts consecutive CAN bytes (shared with the collector).
TZmodemFeed FeedHeaderByte(TZmodemHeaderParser& p, uint32_t& cancelCount, uint8_t c, TZmodemHeader& out);

// Collects one data subpacket.
struct TZmodemCollector {
  uint32_t Count = 0;  // data bytes so far
  uint8_t Phase = 0;   // 0 data, 1 CRC bytes
  uint8_t End = 0;
  uint8_t CrcBytes = 0;
  bool PendingZdle = false;
  bool Crc32 = true;
  uint16_t Crc16 = 0;
  uint32_t Crc32Value = 0xFFFFFFFFu;
  void Start(bool crc32);
};
// Consumes bytes from in[0..n) into out (capacity `limit`); `used` tells how
// many were taken. Returns 0 while incomplete, else psCancelRequested,
// psBlockCheckError, psLongPacket or the end's status (4718..4721).
int32_t CollectSubpacket(TZmodemCollector& c, uint32_t& cancelCount, const uint8_t* in, size_t n, size_t& used,
                         uint8_t* out, uint32_t limit);

// The file information of a ZFILE subpacket.
struct TZmodemFileInfo {
  std::string Name;
  uint64_t Size = 0;
  bool HasDate = false;
  int64_t Date = 0;  // seconds since 1970
};
// name NUL size [" " date in 12 octal digits] NUL.
std::vector<uint8_t> BuildFileInfo(const std::string& name, uint64_t size, int64_t date);
// The largest file the 32-bit positions of the headers can carry.
constexpr uint64_t kZmodemMaxFileSize = UINT32_MAX;
// Reads a received subpacket; the name keeps at most 255 bytes.
TZmodemFileInfo ParseFileInfo(const uint8_t* data, size_t len);

// --- The engine ----------------------------------------------------------------------

// What the line still has to carry of the bytes written to it, at the line's
// rate: the far end cannot have them sooner, whatever the driver reports (a
// pseudo-terminal or a network port holds bytes it does not count). Kept in
// byte-milliseconds so that many small writes lose nothing to rounding.
struct TLineBacklog {
  uint64_t ByteMs = 0;  // bytes x 1000 not yet carried at AtMs
  uint32_t AtMs = 0;
  // Bytes left at `nowMs` (MsClock) for a line carrying `cps` bytes a second.
  uint64_t Left(uint32_t nowMs, uint32_t cps) const;
  // `n` bytes written at `nowMs`; a negative `n` takes back bytes that never
  // went (purged from the ring and the driver).
  void Add(int64_t n, uint32_t nowMs, uint32_t cps);
};

struct TZmodemArea : TProtocolArea {
  std::vector<uint8_t> DataBlock = std::vector<uint8_t>(kZmodemBlock);
  std::vector<uint8_t> WorkBuffer = std::vector<uint8_t>(WorkBufferSize(kZmodemBlock));
  uint32_t EscapedLength = 0;
  bool WorkStale = false;  // something went out after the work buffer was escaped
  uint8_t LastHeaderType = kZmodemNoHeader;
  bool LastHeaderSent = false;
  uint8_t SubpacketEnd = ZCRCG;
  uint8_t ReplyType = ZRINIT;
  TZmodemState ZmodemState = tzInitial;
  TZmodemHeaderParser Parser;
  TZmodemCollector Collector;
  bool OptionOverride = false;
  bool Recover = false;
  // A receive nobody asked for: an existing file is never replaced, whatever
  // the sender's option (the data arrives under a `$` name).
  bool NeverReplace = false;
  bool Crc32Active = true;
  bool UseCrc32 = true;
  TZmodemEncoder Encoder;  // escape-all and the last byte sent
  bool HexHeader = false;
  uint8_t FileOption = 5;  // low 7 bits the option, bit 7 skip-no-file
  uint8_t ConversionOption = 0, TransportOption = 0;
  int32_t FinishRetries = 3;
  uint32_t CancelCount = 0;
  uint32_t OCount = 0;
  uint32_t HeaderPosition = 0;
  std::array<uint8_t, kZmodemAttentionSize> Attention{};
  bool Use8K = false;
  bool ReducedBlock = false;
  uint32_t GoodBlocks = 0;
  uint32_t BytesSinceWindow = 0;
  TZmodemHeader Received;
  uint32_t ReceiverBufferSize = 0;
  TZmodemHeaderData HeaderData{};
  bool TimingStarted = false;
  bool FileSent = false;
  // Beyond the stored fields.
  TRetryCounter Retries;       // errors since the last progress
  uint32_t LastRposPosition = 0;
  int32_t EofWaitTicks = 0;    // the wait armed for the answer to the last ZEOF
  int32_t SilentTicks = 0;     // ZEOF waits in a row that heard no header
  TLineBacklog Line;           // what the line still has to carry of what was written
  uint32_t FileSentMs = 0;     // when the ZFILE went out
  uint32_t AnswerMs = 0;       // how long the receiver took to answer it
  bool FileActive = false;     // a file between its start and end log entries
  bool Draining = false;       // the finish waits for the last bytes to leave
  bool EndNow = false;         // a cancel call: the transfer ends within it
  bool AbortSent = false;      // the abort string is queued: it is not purged
  uint32_t BlockLength = 0;    // raw bytes in the work buffer's subpacket
  uint32_t ZrinitToIgnore = 0; // a receiver's second ZRINIT at the start
  std::vector<uint8_t> FileInfo;  // the ZFILE subpacket of the file being sent
  uint8_t FileManagement = 0;  // the option that decides for the file being received
  uint8_t SinitFlags = 0;      // ZF0 of a received ZSINIT
  uint8_t LineEndsDropped = 0; // after a hex ZSINIT
  uint32_t SinceHeader = 0;    // bytes read since the last header
  bool FirstFilePending = false;
  int32_t NoFileError = 0;     // what the file search reported when it found nothing
  int64_t FileSeconds = 0;     // the exact date of the file being received
  // Received bytes taken from the dispatcher and not yet used.
  std::vector<uint8_t> Input = std::vector<uint8_t>(8192);
  uint32_t InputPos = 0, InputLen = 0;
  // The pause of an attention string (tests replace it).
  void (*Pause)(int32_t ticks) = nullptr;

  std::unique_ptr<TProtocolArea> Clone() const override { return std::make_unique<TZmodemArea>(*this); }
};

// The record's Zmodem area; null when the record holds another protocol.
TZmodemArea* ZmodemArea(TransferRecord& r);

int32_t InitZmodem(TransferRecord& r);
void DoneZmodem(TransferRecord& r);

// Setters: 0, or -6015 when the record does not hold ptZmodem.
int32_t SetZmodemOptionOverride(TransferRecord& r, bool on);
int32_t SetZmodemSkipNoFile(TransferRecord& r, bool on);
int32_t SetZmodemFileOption(TransferRecord& r, uint8_t option);
int32_t SetZmodemRecover(TransferRecord& r, bool on);
int32_t SetZmodemFinishRetry(TransferRecord& r, int32_t retries);
int32_t SetZmodem8K(TransferRecord& r, bool on);
int32_t SetZmodemNeverReplace(TransferRecord& r, bool on);

void PrepareReceiveZmodem(TransferRecord& r);
void ZmodemReceiveHandler(UINT msg, WPARAM wParam, LPARAM lParam);

// The file hooks of a receive: resume, skip and the file options; the date.
void ZmodemPrepareWriting(TransferRecord& r);
void ZmodemFinishWriting(TransferRecord& r);

// --- Shared by the two machines (QwZmodem_common.cpp) ---
namespace zmodem_detail {
void Send(TransferRecord& r, TZmodemArea& a, const uint8_t* bytes, uint32_t n);
void SendHexHeader(TransferRecord& r, TZmodemArea& a, uint8_t type);
void SendBinaryHeader(TransferRecord& r, TZmodemArea& a, uint8_t type);
// Takes the bytes still queued out of BytesTransferred.
void UncountQueued(TransferRecord& r);
void SendAbort(TransferRecord& r, TZmodemArea& a);
void SendAttention(TransferRecord& r, TZmodemArea& a, const uint8_t* text);
bool InputReady(TransferRecord& r, TZmodemArea& a);
// Takes the next waiting byte (refilling from the dispatcher); false when none.
bool NextByte(TransferRecord& r, TZmodemArea& a, uint8_t& c);
void DiscardInput(TransferRecord& r, TZmodemArea& a);
// Runs the header parser on the waiting input: psGotHeader (Received holds
// it), psBlockCheckError, psCancelRequested or psNoHeader.
int32_t ParseInput(TransferRecord& r, TZmodemArea& a);
void NoteHeader(TZmodemArea& a, uint8_t type, bool sent);
// A state that waits for the peer: a pass goes on in it only while input waits.
bool IsWaitingState(TZmodemState s);
}  // namespace zmodem_detail

}  // namespace zav
