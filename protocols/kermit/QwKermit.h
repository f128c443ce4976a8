// The Kermit protocol: packets with a length, sequence number and type, the
// three block checks, control, 8-bit and repeat prefixing, long packets up to
// 1024 bytes and sliding windows up to 27 packets; batch transmit of the files
// FileMask selects and batch receive into DestinationDirectory.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "protocols/core/QwAbsPcl.h"
#include "protocols/kermit/QwKermitCodec.h"

namespace zav {

enum TKermitState : uint8_t {
  tkInit, tkInitReply, tkCollInit, tkOpenFile, tkSendFile, tkFileReply, tkCollFile, tkCheckTable, tkSendData,
  tkBlockReply, tkCollBlock, tkSendEof, tkEofReply, tkCollectEof, tkSendBreak, tkBreakReply, tkCollBreak,
  tkComplete, tkWaitCancel, tkError, tkDone,
  rkInit, rkGetInit, rkCollInit, rkGetFile, rkCollFile, rkGetData, rkCollData, rkComplete, rkWaitCancel, rkError,
  rkDone
};

constexpr uint32_t kKermitInputSize = 4096;
constexpr uint32_t kKermitChunkSize = 1024;

// One packet of the window.
struct TKermitSlot {
  uint32_t Len = 0;
  uint8_t Seq = 0;
  bool InUse = false;
  bool Acked = false;
  TRetryCounter Retries;
  int32_t SentTick = 0;  // when it first went out
  uint32_t SentEnd = 0;  // BytesWritten after its last sending
  uint32_t PrevEnd = 0;  // after the sending before that (SentEnd when sent once)
  uint32_t CarriedMs = 0;  // when the line will have carried the last sending (MsClock)
  uint32_t ShownEnd = 0;   // acknowledged: the end of the sending its answer showed carried
};

struct TKermitArea : TProtocolArea {
  TKermitParams Local;
  TKermitParams Remote = KermitRemoteDefaults();
  TKermitState KermitState = tkInit;
  TKermitReader Reader;

  // The negotiation's results.
  bool Negotiated = false;  // the Send-Init exchange is done
  bool HaveRemote = false;  // a Send-Init of the peer was read
  bool LongPackets = false;
  bool Quote8 = false;
  bool Repeat = false;
  uint8_t HibitChar = 0;      // the 8-bit prefix in use
  uint8_t CheckType = '1';    // the block check in use after the exchange
  uint32_t PacketLen = 80;    // the longest packet this side sends
  uint32_t SlotCount = 1;
  uint32_t RepeatThreshold = 4;
  uint32_t SWCTurnDelay = 0;

  bool InFile = false;   // the receiver has a file open
  bool Skipped = false;  // the receiver refused the file
  // Received names as sent: otherwise a name in Kermit's normal form (all
  // upper case) is stored in lower case, as on a case-sensitive system.
  bool LiteralNames = false;
  bool Discard = false;  // the sender's last "Z" said "D": the file goes
  bool PeerError = false;     // the peer sent "E"
  bool CancelSent = false;    // the cancel packets went out
  bool CancelAsked = false;   // the receiver asked the sender to stop
  uint8_t CancelOldest = 0;   // a cancelling sender's oldest unanswered packet
  uint8_t CancelFinal = 'E';  // what ends a cancel: "E", or "B" when the peer asked to stop
  uint8_t EndPhase = 0;       // 1: the end waits for the output to drain
  bool WaitingRoom = false;   // a data packet waits for room in the output
  bool TimeoutPending = false;  // the time-out fired and nothing answered it yet
  TRetryCounter Retries;  // failures since the last answer that moved on

  // Sequence numbers: the last one sent (transmit), the oldest one not yet
  // written (receive).
  uint8_t Seq = 0;
  uint8_t RxBase = 0;
  bool BaseAskedAgain = false;  // the oldest missing packet was NAKed again with the window full

  std::array<uint8_t, kKermitMaxData> SendData{};
  uint32_t SendLen = 0;
  std::array<uint8_t, kKermitChunkSize> Chunk{};
  uint32_t ChunkIdx = 0, ChunkLen = 0;
  bool ChunkEof = false;
  std::array<uint8_t, kKermitInputSize> Input{};
  uint32_t InIdx = 0, InLen = 0;
  std::array<uint8_t, kKermitChunkSize> Out{};  // decoded bytes waiting to be written
  uint32_t OutLen = 0;

  // The window: slots from WinFirst on, WinCount of them in order of sequence.
  uint32_t WinFirst = 0, WinCount = 0;
  uint32_t SendSlot = 0;  // the slot tkSendData puts on the line
  // Smoothed ticks from a data packet's first sending to its acknowledgement
  // (packets sent again are not timed); -1 until one was measured.
  int32_t RoundTrip = -1;
  // When a packet last went again: an acknowledgement of one sent before
  // then may have waited for that gap to close, and says nothing of the line.
  int32_t LastResendTick = 0;
  bool Resent = false;
  // Where the latest sending an acknowledgement showed carried ended
  // (BytesWritten). The oldest packet in flight sent before it and still
  // unanswered goes again once the line has been quiet for a burst of
  // answers' time (TailWait), and then every packet sent before it (TailLost).
  uint32_t AnsweredEnd = 0;
  bool TailWait = false;
  TEventTimer TailTimer;  // the tail wait; every wait for answers ends by its end
  bool TailLost = false;
  bool OldestLostToo = false;  // a NAK showed a resend of the oldest lost as well: it goes next
  // When the line will have carried what was written (MsClock, from the
  // line's rate; an acknowledgement shows all before its packet carried, so a
  // line faster than its rate says is not held back): new data waits while
  // that is more than two packets ahead, so a packet sent again is not queued
  // behind a whole window.
  uint32_t LineFreeMs = 0;
  uint32_t BytesWritten = 0;  // all packets' bytes, modulo 2^32
  bool PaceWait = false;  // the timer runs for the line's room, not a reply
  std::array<TKermitSlot, kKermitMaxWindows> Slots{};
  std::vector<uint8_t> Store;  // SlotCount x kKermitMaxData bytes

  std::unique_ptr<TProtocolArea> Clone() const override { return std::make_unique<TKermitArea>(*this); }
};

// The record's Kermit area; null when the record holds another protocol.
TKermitArea* KermitArea(TransferRecord& r);
extern const TEngine kKermitEngine;

int32_t InitKermit(TransferRecord& r);
void DoneKermit(TransferRecord& r);

// Setters: 0, -6015 when the record does not hold ptKermit, -1002 for a value
// out of range.
int32_t SetKermitMaxLen(TransferRecord& r, uint32_t len);         // 20..94
int32_t SetKermitLongPackets(TransferRecord& r, uint32_t len);    // 0 (off) or 95..1024
int32_t SetKermitMaxWindows(TransferRecord& r, uint32_t windows);  // 0 (off) or 2..27
int32_t SetKermitSWCTurnDelay(TransferRecord& r, uint32_t delay);
int32_t SetKermitTimeoutSecs(TransferRecord& r, uint32_t secs);  // 1..94
int32_t SetKermitLiteralNames(TransferRecord& r, bool on);
// A name all in upper case (letters, at least one) in lower case; any other
// name as it is.
std::string KermitLocalName(const std::string& name);
int32_t SetKermitPadCharacter(TransferRecord& r, uint8_t c);
int32_t SetKermitPadCount(TransferRecord& r, uint32_t count);    // 0..94
int32_t SetKermitTerminator(TransferRecord& r, uint8_t c);       // 0..94
int32_t SetKermitCtlPrefix(TransferRecord& r, uint8_t c);        // a prefix character
int32_t SetKermitHighbitPrefix(TransferRecord& r, uint8_t c);    // a prefix character, "Y" or "N"
int32_t SetKermitRepeatPrefix(TransferRecord& r, uint8_t c);     // a prefix character or " "

// The Kermit file hook: the default, then the partial file is deleted when
// the sender's "Z" packet said "D" (discard).
void KermitFinishWriting(TransferRecord& r);

}  // namespace zav
