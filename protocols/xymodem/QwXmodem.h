// The Xmodem family: checksum, CRC, 1K blocks and the streaming "G" variant,
// one machine with three flags. Ymodem (QwYmodem.h) wraps this machine.
//
// A transmit waits for the receiver's handshake byte (NAK, "C" or "G"),
// sends numbered blocks and reads one reply per block (none with G), then
// ends with EOT. A receive sends the handshake byte, checks every block and
// answers it, and ends at the sender's EOT.
#pragma once

#include <cstdint>
#include <vector>

#include "protocols/core/QwAbsPcl.h"
#include "protocols/core/QwTPcl.h"

namespace zav {

enum TXmodemState : uint8_t {
  txInitial, txHandshake, txGetBlock, txWtFreeSpc, txSendBlock, txDraining, txRplyPnding, txEndDrain,
  txFirstEOT, txRestEOT, txEotReply, txFinished, txDone,
  rxInitial, rxWtFrHSRply, rxWtFrBlStrt, rxCollBlock, rxProcBlck, rxFinSkip, rxFinished, rxDone
};

// The bytes of the protocol.
constexpr uint8_t cSOH = 1, cSTX = 2, cEOT = 4, cACK = 6, cBS = 8, cNAK = 21, cCAN = 24;
constexpr uint8_t cCrcRequest = 'C', cStreamRequest = 'G';

constexpr uint32_t kXmodemMaxBlock = 1024;
// Start character, number, complement, 1024 data bytes, two CRC bytes.
constexpr uint32_t kXmodemMaxFrame = kXmodemMaxBlock + 5;
constexpr uint32_t kXmodemBlockErrorLimit = 5;
constexpr int32_t kXmodemDrainTicks = 1092;
// Quiet on the line that ends the reading away of a damaged block.
constexpr int32_t kXmodemQuietTicks = 2;

// The flags and the settings that follow from them; kept at the start of a
// transfer and put back at its end, so what a peer negotiated (checksum, a
// fall-back to 128-byte blocks) does not stick to the next transfer.
struct TXmodemFlags {
  bool CRCMode = false, OneKMode = false, GMode = false;
  bool AckRequired = true;
  uint32_t BlockErrorLimit = kXmodemBlockErrorLimit;
  uint32_t BlockSize = 128;
  uint8_t StartChar = cSOH;
  uint32_t BlockOverhead = 3;
  TBlockCheckMethod CheckType = bcmChecksum;
  uint32_t TurnDelay = 1000;
  TProtocolType ProtocolType = ptXmodem;
};

struct TXmodemArea : TProtocolArea {
  bool CRCMode = false;
  bool OneKMode = false;
  bool GMode = false;
  bool Ymodem = false;  // the area belongs to the Ymodem machine
  uint32_t BlockErrorLimit = kXmodemBlockErrorLimit;
  int32_t XYmodemBlockWait = 91;
  bool AckRequired = true;
  uint8_t StartChar = cSOH;
  uint8_t ReplyChar = cNAK;
  uint8_t HandshakeChar = cNAK;  // the receive's handshake byte (NAK, "C" or "G")
  uint32_t EotNakCount = 0, EotCount = 0, CanCount = 0;
  uint32_t BlockOverhead = 3;
  TXmodemState XmodemState = txInitial;
  TRetryCounter Handshakes;  // handshake requests sent
  bool FirstBlock = true;   // the receive has not seen a block start yet
  bool Resync = false;      // a damaged block is being read away until the line is quiet
  bool Refused = false;     // the receiver refused the current block at least once (not only silence)
  bool LastFileOk = false;  // the last file's exchange ended with its EOT acknowledged
  bool GotData = false;     // the file being received got a good block
  // Transmit: the frame under construction (data at offset 3). Receive: the
  // collected block (number, complement, data, check). Allocated by the first
  // state and freed by the last.
  std::vector<uint8_t> Block;
  TXmodemFlags Saved;

  std::unique_ptr<TProtocolArea> Clone() const override { return std::make_unique<TXmodemArea>(*this); }
  // A received file was closed after its EOT (Ymodem cuts it and dates it).
  virtual void FileReceived(TransferRecord&) {}
  // The bytes of the file that are kept: data beyond (Ymodem's announced
  // size) is acknowledged and discarded.
  virtual uint64_t DataLimit() const { return UINT64_MAX; }
};

// The ticks a sender waits for its last bytes to leave and the EOT's answer.
int32_t EndDrainTicks(const TransferRecord& r, const TXmodemArea& a);

// The record's Xmodem machine (also inside Ymodem); null for other protocols.
TXmodemArea* XmodemArea(TransferRecord& r);
extern const TEngine kXmodemEngine, kXmodemCRCEngine, kXmodem1KEngine, kXmodem1KGEngine;
// The one setting Xmodem and Ymodem keep: the wait for a reply or the next block.
int32_t ApplyXYmodem(TransferRecord& r, const TProtocolSettings& s);
void ReadXYmodem(TransferRecord& r, TProtocolSettings& s);

// --- Codecs ---
// The block check of `size` data bytes: CRC-16/XMODEM (two zero bytes fed at
// the end) or the 8-bit sum.
uint16_t XmodemCrc(const uint8_t* data, uint32_t size);
uint8_t XmodemChecksum(const uint8_t* data, uint32_t size);
// Writes the frame of one block into `out` (kXmodemMaxFrame bytes): start
// character (SOH for 128 bytes, STX for 1024), number, complement, `size`
// data bytes and the check. Returns the frame length.
uint32_t BuildXmodemFrame(uint8_t* out, uint8_t number, const uint8_t* data, uint32_t size, bool crc);

enum class TBlockVerdict { Good, Duplicate, BadNumber, BadCheck, OutOfSequence };
// Judges a received block: `block` holds the number, its complement, `size`
// data bytes and the check. `expected` is the wanted number (low 8 bits); the
// number before it is a duplicate unless `noPrevious` (a Ymodem header, block
// 0, has no block before it).
TBlockVerdict CheckXmodemBlock(const uint8_t* block, uint32_t size, bool crc, uint8_t expected, bool noPrevious);

// --- Area and settings ---
int32_t InitXmodem(TransferRecord& r, TProtocolType type);
// The record's figures of both engines: 5 bytes around a block, the line
// turned round after every block, no wait for a finish.
inline constexpr TRecordFigures kXYmodemFigures{.FinishWait = 0, .Overhead = 5, .TurnDelay = 1000};
// Fills an installed area's flags for `type` (shared with the Ymodem init).
void InitXmodemArea(TransferRecord& r, TXmodemArea& a, TProtocolType type);

// Setters: 0, or -6015 when the record holds neither Xmodem nor Ymodem.
int32_t SetXmodemCRC(TransferRecord& r, bool on);
int32_t SetXmodem1K(TransferRecord& r, bool on);
int32_t SetXmodemG(TransferRecord& r, bool on);
int32_t SetBlockErrorLimit(TransferRecord& r, uint32_t limit);
int32_t SetXYmodemBlockWait(TransferRecord& r, int32_t ticks);

// Flag changes inside the machines (no type check).
void ApplyXmodemCRC(TransferRecord& r, TXmodemArea& a, bool on);
void ApplyXmodem1K(TransferRecord& r, TXmodemArea& a, bool on);
void ApplyXmodemG(TransferRecord& r, TXmodemArea& a, bool on);
void DeriveXmodemType(TransferRecord& r, TXmodemArea& a);
void SaveXmodemFlags(TransferRecord& r, TXmodemArea& a);
void RestoreXmodemFlags(TransferRecord& r, TXmodemArea& a);
// The head of an Xmodem or Ymodem prepare routine: the area (null when the
// record holds another protocol's) with its flags saved, the status started
// (no error yet; a receive waits for its first block before it reports).
template <class Area>
Area* PrepareXYmodem(TransferRecord& r, Area* (*areaOf)(TransferRecord&), bool transmit) {
  Area* a = AreaToPrepare(r, areaOf);
  if (a == nullptr) return nullptr;
  SaveXmodemFlags(r, *a);
  StartStatus(r, transmit);
  if (!transmit) r.ForceStatus = false;
  return a;
}

// --- Pieces the Ymodem machine shares ---
// Purges the output, sends CAN CAN CAN BS BS BS, asks for a status report.
void XmodemCancel(TransferRecord& r);
// Purges what waits in the input, including bytes of the notification
// being handled.
void PurgeAllInput(TransferRecord& r);
bool XmodemByteReady(TransferRecord& r);
// How long a receive waits for the next block or the rest of one: twice the
// block wait, so a sender that heard nothing always sends again first and
// every answer stays paired with a block.
int32_t XmodemReceiveWait(const TXmodemArea& a);
// Ticks the line needs to carry `bytes` at ActualCPS (0 when unknown).
int32_t XmodemSend(TransferRecord& r, const uint8_t* bytes, uint32_t count);
void XmodemSendByte(TransferRecord& r, uint8_t c);
// A receive's request (NAK, "C", "G" or a repeat), and the wait for the
// sender's answer to it.
void XmodemRequest(TransferRecord& r, uint8_t c);
// One more handshake attempt; false (after -6006) when they are used up.
bool XmodemHandshakeRetry(TransferRecord& r, TXmodemArea& a);
// Reads the receiver's handshake byte: true on NAK, "C" or "G".
bool XmodemReadHandshake(TransferRecord& r, TXmodemArea& a);
// A CAN where a block starts: the third in a row cancels (true).
bool XmodemCountCancel(TransferRecord& r, TXmodemArea& a);
// Any other byte where a block starts: a protocol error shown, counts reset.
void XmodemUnexpectedByte(TransferRecord& r, TXmodemArea& a);
// Counts a block error; false (after -6008) beyond the limit.
bool XmodemCountBlockError(TransferRecord& r, TXmodemArea& a);
// A block-error count of a receive: beyond the limit the sender is told (false).
bool XmodemReceiveError(TransferRecord& r, TXmodemArea& a);
bool XmodemTriggered(int32_t trigger, int32_t handle);
bool XmodemReadOne(TransferRecord& r, uint8_t& c);
// The wait for the receiver's handshake: Got (the transfer's timer starts,
// the requests it repeated are read away), Failed (cancelled, or the
// retries used up) or still Waiting.
enum class TXmodemHandshake : uint8_t { Waiting, Got, Failed };
TXmodemHandshake XmodemAwaitHandshake(TransferRecord& r, TXmodemArea& a, int32_t trigger, bool data);
// The wait for `bytes` sent to leave: true once they may have, with the wait
// for the answer armed. They may still be on their way through the device's
// own queue: the wait starts when the line can have carried them.
bool XmodemSentOut(TransferRecord& r, const TXmodemArea& a, int32_t trigger, bool data, uint32_t bytes);
// A receive's resync after a damaged block (true while it runs): the line is
// read away until it is quiet, then the request goes again.
bool XmodemResyncing(TransferRecord& r, TXmodemArea& a, int32_t trigger, bool data);
// The byte where a block starts: Block (its size taken, the wait for the
// rest armed; the first one starts the transfer's timer), Eot, Cancelled
// (the third CAN in a row) or None (nothing yet, or a stray byte shown as a
// protocol error). A sender's EOT comes alone (it waits for the answer): one
// with bytes behind it is a block's data seen after its lost start.
enum class TXmodemStart : uint8_t { None, Block, Eot, Cancelled };
TXmodemStart XmodemAwaitStart(TransferRecord& r, TXmodemArea& a);
// The same wait in a receiver's state machine: a block start moves it to
// `collect`, a cancel to `finished`; true when an EOT came, which each
// engine answers its own way.
template <class State>
bool XmodemAwaitStartOrEot(TransferRecord& r, TXmodemArea& a, State& state, State collect, State finished) {
  switch (XmodemAwaitStart(r, a)) {
    case TXmodemStart::Block: state = collect; break;
    case TXmodemStart::Cancelled: state = finished; break;
    case TXmodemStart::Eot: return true;
    case TXmodemStart::None: break;
  }
  return false;
}
// Collects the rest of a block into `into`; true once it is whole. The wait
// is for silence, not for the whole block: a slow line takes longer than the
// block wait to carry 1K.
bool XmodemCollect(TransferRecord& r, TXmodemArea& a, uint8_t* into);
// The machines' steps; true when the machine reached its end. A Ymodem
// area's machine carries one file of the batch: its end is reported to the
// Ymodem machine (a status report) instead of finishing the transfer.
bool XmodemTransmitSteps(TransferRecord& r, TXmodemArea& a, UINT msg, WPARAM wParam);
bool XmodemReceiveSteps(TransferRecord& r, TXmodemArea& a, UINT msg, WPARAM wParam);

}  // namespace zav
