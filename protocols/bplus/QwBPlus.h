// The B+ protocol engine: both ends of a session on the engine core.
//
// Roles. The Initiator (the host side) starts a session with ENQ and directs
// it: it offers its files (TD, a transmit) or asks for named ones (TU, a
// receive). The Responder (the terminal side) answers ENQ in terminal mode and
// does what the Initiator directs: a responder started as a receive takes
// downloads and answers TU with F M; started as a transmit it serves the
// files of its list (the next-file hook, read once at the start) and refuses
// TD. By default a transmit is an Initiator and a receive a Responder.
//
// Design where the published protocol could not be read (all figures are
// settings of the area below):
// - Sequence: each side keeps one digit, that of the last packet it sent or
//   accepted; a new packet carries the next digit, a receiver accepts only the
//   next digit. ENQ in a session is answered with DLE and that digit. The ENQ
//   reply DLE + + DLE 0 makes the first '+' packet digit 1, the Responder's '+'
//   digit 2, the first T packet digit 3.
// - Session start: ENQ -> DLE + + DLE 0 -> '+' (full quoting, checksum) ->
//   ACK and the Responder's '+' -> ACK; each side switches to the negotiated
//   values right after that last ACK (sent or received). A Responder in
//   terminal mode takes a '+' with any digit. ENQ is sent every HandshakeWait
//   ticks, HandshakeRetry times; a Responder waits as long for its first ENQ.
// - Replies to T packets: TD is answered by ACK (data from the start), by Tr
//   (resume) or by F; TU and Tu by ACK followed by the file's packets
//   (N..., or Tf first after a failed resume check), or by F. A packet with the
//   next digit acknowledges everything outstanding, so a lost ACK costs nothing.
// - Resume: Tr is 'r' <length> ' ' <crc>, Tu is 'u' <type> <length> ' ' <crc>
//   ' ' <name>, decimal ASCII; the CRC-16 (from 0xFFFF) of the first <length>
//   bytes. A match continues with N packets from that offset; a mismatch sends
//   Tf (and the whole file) when the resume value in force is 2, else F r. Tf
//   has the body 'f', TC the body 'C'. File information (TI) is not offered.
// - Send-ahead: go-back-N. The window is 1 + WS in force (WS offered: the
//   Window setting - 1, at most kBPlusMaxWindow - 1; published peers offer 0
//   or 1). ACKs are cumulative. A NAK or an ACK time-out starts the resync:
//   ENQ ENQ, then two identical ACKs name the last packet the peer holds and
//   every later packet is sent again; a digit outside the outstanding packets
//   is a sequence failure (F S). Unsent whole packets are dropped from the
//   output when the resync starts. A receiver NAKs a damaged or out-of-order
//   packet once (the packets already behind it are dropped quietly until the
//   resync or a good packet) and NAKs a silence, re-acknowledges a copy of
//   the packet it accepted last, and answers DLE ; (Wait) by restarting its
//   timer (ErrorLimit times at most without progress).
// - Noise: the sender halves its data packets at each resync (down to 128
//   bytes) and doubles them after kBPlusCleanRun clean ones, up to the block
//   in force; the negotiated size is a maximum, so any peer takes them.
// - A file that exists at the receiver: the resume query (the record's
//   WriteFailAction, which the application may change; no answer keeps it).
//   wfWriteResume asks to resume when the resume value in force allows it,
//   else the file is received under a new name; wfWriteFail refuses the file.
// - Time-outs: PacketWait ticks plus the time the line needs for what is
//   queued on our side (at ActualCPS); ErrorLimit consecutive errors (damaged
//   packets, NAKs, time-outs) without progress end the transfer with F and
//   -6008 (-6006 when they were all time-outs).
// - Failure: F carries the next digit; its sender waits for the ACK (two more
//   tries), ignoring other packets; a received F is acknowledged with its own
//   digit and ends the transfer (-6016; F M -2), except before a session,
//   where one left over from an earlier session is only acknowledged. Four
//   DLEs end a transfer at once.
// - Quoting: ETX, ENQ, DLE and NAK are always quoted (and offered in our
//   mask), so a raw ENQ or NAK inside a packet is read as the control byte: a
//   resync reaches a side left inside a damaged packet.
// - End of a session: the Initiator that sent the last file ends when its TC
//   is acknowledged. The side that sent the last ACK (the receiver of the last
//   file) stays Linger ticks answering ENQs, so a lost last ACK is recovered;
//   a Responder then is in terminal mode (ENQ -> DLE + + DLE 0), takes a
//   further T packet, and ends after Linger ticks of silence. An Initiator
//   that meets DLE + + while its TC is outstanding takes the TC as delivered;
//   while a T packet is outstanding it negotiates again and repeats the T.
// - 2048-byte blocks: BS is block size / 128, so 0x10 offers 2048; offered
//   only with BP2KTransmit, and the minimum rule gives a peer that stops at
//   1024 its 1024.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "protocols/core/QwAbsPcl.h"
#include "protocols/bplus/QwBPlusCodec.h"

namespace zav {

enum TBPlusState : uint8_t {
  bpInitial, bpWaitDle, bpWaitB, bpCollPacket, bpCheckPacket, bpSendPacket, bpWaitAck, bpSendFile, bpRecvFile,
  bpDone
};

enum TBPlusRole : uint8_t { bprAuto, bprInitiator, bprResponder };

// What the session is doing; together with the state it says what the next
// byte or time-out means.
enum class TBPlusStep : uint8_t {
  Terminal,    // responder: no session, or one that ended with a file (lingering)
  Enquire,     // initiator: ENQ sent, waiting for DLE + +
  OwnParams,   // our '+' is outstanding
  PeerParams,  // initiator: waiting for the responder's '+'
  Session,     // responder: negotiated, waiting for a T packet
  Request,     // initiator: a T packet (TD, TU, Tu) is outstanding
  ResumeAsk,   // responder: Tr is outstanding
  SendData,    // sending a file's packets
  RecvData,    // receiving a file's packets
  Linger,      // initiator: the last file received; answering a late ENQ
  Failing,     // our F is outstanding
};

// What an outstanding packet is, for what its acknowledgement starts.
enum class TBPlusSent : uint8_t { Params, Download, Upload, ResumeUpload, ResumeDownload, Data, Close, Restart };

constexpr uint32_t kBPlusMaxWindow = 5;
constexpr uint32_t kBPlusMaxServed = 1000;
constexpr int32_t kBPlusPacketWait = 36;  // ticks: 2 s
constexpr int32_t kBPlusLinger = 54;      // ticks: 3 s
constexpr uint32_t kBPlusErrorLimit = 10;
constexpr uint32_t kBPlusFailTries = 3;
// Each resync halves the data packets down to this; kBPlusCleanRun packets
// without one double them again up to the block in force.
constexpr uint32_t kBPlusMinDataBlock = 128;
constexpr uint32_t kBPlusCleanRun = 16;

struct TBPlusArea : TProtocolArea {
  // --- Settings ---
  TBPlusRole Role = bprAuto;
  uint32_t Window = 2;           // packets offered ahead, 1..kBPlusMaxWindow
  uint32_t MaxBlockSize = 2048;  // above 1024 only with BP2KTransmit
  TBPlusQuoteSet QuoteSet = TBPlusQuoteSet::Default();
  int32_t PacketWait = kBPlusPacketWait;
  int32_t Linger = kBPlusLinger;
  uint32_t ErrorLimit = kBPlusErrorLimit;
  bool OfferResume = true;  // DR and UR 2 (Tr, Tu and Tf)

  // --- The session ---
  TBPlusState State = bpInitial;
  TBPlusStep Step = TBPlusStep::Terminal;
  bool Initiator = false;
  bool Transmit = false;
  TBPlusDecoder Decoder;
  TBPlusEvent Event;  // the packet bpCheckPacket handles
  TBPlusParams Mine;
  TBPlusInForce Force = BPlusDefaults();
  TBPlusInForce Pending = BPlusDefaults();
  bool SwitchPending = false;
  bool Negotiated = false;  // a responder's session survives its terminal mode
  uint8_t Seq = 0;          // the digit of the last packet sent or accepted
  bool SeqIsRx = false;     // ... and that packet was accepted
  uint32_t Outstanding = 0;
  struct Slot {
    std::vector<uint8_t> Wire;
    TBPlusSent Kind = TBPlusSent::Data;
    uint32_t DataLen = 0;
  };
  std::array<Slot, 10> Sent;  // the outstanding packets by digit
  bool Resyncing = false;
  int ResyncLast = -1;
  uint8_t FailDigit = 0;
  TRetryCounter FailResends;    // of our F, up to FailResendLimit
  uint32_t FailResendLimit = 0;
  int32_t FailStatus = 0, FailError = 0;
  TRetryCounter Errors;     // since the last progress, up to ErrorLimit
  bool AllTimeouts = true;
  TRetryCounter Waits;      // DLE ; since the last progress
  bool NakSent = false;     // a receiver's NAK waits for the peer's resync
  uint32_t DataBlock = 512;  // the data packets' size now (the block in force at most)
  uint32_t CleanRun = 0;     // data packets acknowledged since the last resync
  bool Armed = false;       // the timer was armed in this handler pass
  TRetryCounter Attempts;  // ENQs sent, or handshake waits
  bool Lingering = false;

  // Output not yet in the transmit ring, with the end of each piece.
  std::vector<uint8_t> Out;
  size_t OutPos = 0;
  std::vector<size_t> OutEnds;

  // --- The file ---
  // What is known of the file in hand; a file starts with all of it afresh.
  struct FileState {
    bool Active = false;        // its start was logged and its end not yet
    bool Receiving = false;     // it is received
    bool EofQueued = false;     // TC is queued
    bool ResumeAsked = false;   // Tr or Tu went out for it
    bool DataSeen = false;      // a data packet of it arrived
    bool RestartFirst = false;  // Tf goes before its first packet
  } File;
  uint64_t ResumeLength = 0;
  uint16_t ResumeCrc = 0;
  TWriteFailAction Action = wfWriteRename;
  std::string RequestName;   // receive initiator: the name asked for
  bool RequestReady = false;  // a file (or name) waits for its T packet
  std::vector<std::string> Served;  // transmit responder: the files it serves
  std::vector<uint8_t> Block;

  std::unique_ptr<TProtocolArea> Clone() const override { return std::make_unique<TBPlusArea>(*this); }
};

// The record's B+ area; null when the record holds another protocol.
TBPlusArea* BPlusArea(TransferRecord& r);
extern const TEngine kBPlusEngine;

int32_t InitBPlus(TransferRecord& r);
void DoneBPlus(TransferRecord& r);

// Setters: 0, -6015 when the record does not hold ptBPlus, -1002 for a value
// out of range (window 1..kBPlusMaxWindow, block 128..2048 in steps of 128,
// waits at least one tick, error limit at least 1).
int32_t SetBPlusRole(TransferRecord& r, TBPlusRole role);
int32_t SetBPlusWindow(TransferRecord& r, uint32_t packets);
int32_t SetBPlusBlockSize(TransferRecord& r, uint32_t bytes);
int32_t SetBPlusQuoteSet(TransferRecord& r, const TBPlusQuoteSet& set);
int32_t SetBPlusWaits(TransferRecord& r, int32_t packetWaitTicks, int32_t lingerTicks);
int32_t SetBPlusErrorLimit(TransferRecord& r, uint32_t errors);
int32_t SetBPlusOfferResume(TransferRecord& r, bool offer);

}  // namespace zav
