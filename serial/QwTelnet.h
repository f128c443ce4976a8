// The client side of Telnet (RFC 854, 855) with Com Port Control (RFC 2217),
// as a pure codec: bytes from the server in, data and state out; data and
// requests for the server in, bytes to send out. No I/O and no threads: the
// network device (QwNet.h) owns one and serialises the calls.
//
// What a hostile server can do to it is bounded: the data it decodes is never
// longer than the bytes it was given; a subnegotiation longer than
// kMaxSubnegotiation is dropped whole (its bytes never reach the data); the
// replies it queues stop at kMaxReplies bytes; nothing is ever expanded or
// decompressed. Options it does not know are refused once per request.
//
// CR: while the server has not agreed to send binary, CR NUL from it is CR;
// while we do not send binary, a CR we send goes as CR NUL (RFC 854's NVT).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace zav::telnet {

constexpr uint8_t kIac = 255, kDont = 254, kDo = 253, kWont = 252, kWill = 251, kSb = 250, kSe = 240;
constexpr uint8_t kCr = 13, kNul = 0;
constexpr uint8_t kOptBinary = 0, kOptSga = 3, kOptComPort = 44;

// Com Port Control commands, client to server; the server answers with the
// same number plus kServerOffset.
constexpr uint8_t cpSignature = 0, cpSetBaudRate = 1, cpSetDataSize = 2, cpSetParity = 3, cpSetStopSize = 4,
                  cpSetControl = 5, cpNotifyLineState = 6, cpNotifyModemState = 7, cpFlowSuspend = 8,
                  cpFlowResume = 9, cpSetLineStateMask = 10, cpSetModemStateMask = 11, cpPurgeData = 12;
constexpr uint8_t kServerOffset = 100;
// SET-CONTROL values.
constexpr uint8_t ctlFlowNone = 1, ctlFlowXonXoff = 2, ctlFlowHardware = 3, ctlBreakOn = 5, ctlBreakOff = 6,
                  ctlDtrOn = 8, ctlDtrOff = 9, ctlRtsOn = 11, ctlRtsOff = 12;
// PURGE-DATA values: the server's buffer of data from the device (receive),
// of data for the device (transmit), or both.
constexpr uint8_t purgeReceive = 1, purgeTransmit = 2, purgeBoth = 3;
// SET-PARITY values (none, odd, even, mark, space) and SET-STOPSIZE values.
constexpr uint8_t parNone = 1, parOdd = 2, parEven = 3, parMark = 4, parSpace = 5;
constexpr uint8_t stopOne = 1, stopTwo = 2, stopOneAndHalf = 3;
// NOTIFY-LINESTATE bits.
constexpr uint8_t lsOverrun = 0x02, lsParity = 0x04, lsFraming = 0x08, lsBreak = 0x10;
// NOTIFY-MODEMSTATE bits: states in the high nibble (CD 0x80, RI 0x40, DSR
// 0x20, CTS 0x10), the same layout as the dispatcher's modem bits.
constexpr uint8_t msRiTrailingEdge = 0x04;

// Dispatch-log sub-kinds of the telnet entries (the log names them).
constexpr uint8_t lskSentWill = 20, lskSentWont = 21, lskSentDo = 22, lskSentDont = 23, lskRecvWill = 24,
                  lskRecvWont = 25, lskRecvDo = 26, lskRecvDont = 27, lskCommand = 28;

enum class TComPortState { Unknown, Accepted, Refused };

// What the server reported setting, each 0 until it did.
struct TServerLine {
  uint32_t BaudRate = 0;
  uint8_t DataSize = 0, Parity = 0, StopSize = 0, Control = 0, Purged = 0;
};

// One line for the dispatch log: a negotiation (sub-kind, option) or a Com
// Port command (lskCommand, command, its value bytes).
struct TLogItem {
  uint8_t SubKind = 0;
  uint8_t Value = 0;
  std::vector<uint8_t> Data;
};

class TTelnetClient {
 public:
  static constexpr size_t kMaxSubnegotiation = 64;  // RFC 2217's longest is a short signature
  static constexpr size_t kMaxReplies = 4096;       // answers to the server waiting to be sent
  static constexpr size_t kMaxLogItems = 64;

  // `comPort`: ask for Com Port Control (rfc2217://); without it only the
  // Telnet options (binary) are negotiated.
  explicit TTelnetClient(bool comPort = true);

  // Queues the opening requests: binary both ways and, if asked for, Com
  // Port Control.
  void Start();

  // Decodes `n` bytes from the server; the data goes to `out`, which may be
  // `in` itself. Returns the number of data bytes (never more than n).
  size_t Receive(const uint8_t* in, size_t n, uint8_t* out);

  // Appends `n` data bytes for the server to `out`, escaped: IAC doubled, CR
  // as CR NUL while we do not send binary.
  void EncodeData(const uint8_t* data, size_t n, std::vector<uint8_t>& out) const;
  // The length of the escaped unit that EncodeData began with `first` in
  // binary state `binary` (1, or 2 for a doubled IAC or a CR NUL): where a
  // write may stop without tearing the stream.
  static size_t UnitLength(uint8_t first, bool binary) { return first == kIac || (first == kCr && !binary) ? 2 : 1; }

  // Com Port Control requests; queued only once the server accepted it.
  // Values as RFC 2217 has them.
  void SetBaudRate(uint32_t baud);
  void SetDataSize(uint8_t bits);
  void SetParity(uint8_t parity);
  void SetStopSize(uint8_t stop);
  void SetControl(uint8_t value);
  void PurgeData(uint8_t which);

  // Bytes waiting to go to the server (replies and requests), taken whole.
  bool HasOutgoing() const { return !Outgoing_.empty(); }
  std::vector<uint8_t> TakeOutgoing();

  // State.
  TComPortState ComPort() const { return ComPortState_; }
  bool SendBinary() const { return Us_[kOptBinary] == kYes; }
  bool ReceiveBinary() const { return Him_[kOptBinary] == kYes; }
  // The last NOTIFY-MODEMSTATE value; -1 before the first.
  int ModemState() const { return ModemState_; }
  // NOTIFY-LINESTATE bits gathered since the last call.
  uint8_t TakeLineState();
  // A ring's trailing edge reported since the last call.
  bool TakeRing();
  // The server asked us to hold our data (FLOWCONTROL-SUSPEND) and has not
  // yet resumed.
  bool Suspended() const { return Suspended_; }
  const TServerLine& ServerLine() const { return Server_; }
  const std::string& ServerSignature() const { return Signature_; }
  // Malformed or misdirected input, over-long subnegotiations, replies
  // dropped for room: counts since construction.
  uint32_t ProtocolErrors() const { return ProtocolErrors_; }
  uint32_t DroppedSubnegotiations() const { return DroppedSubnegotiations_; }
  uint32_t DroppedReplies() const { return DroppedReplies_; }
  // Negotiation and command lines for the dispatch log, oldest first; the
  // oldest go when more than kMaxLogItems wait.
  std::deque<TLogItem> TakeLog();

 private:
  enum TQ : uint8_t { kNo, kYes, kWantYes, kWantNo };
  enum class TState : uint8_t { Data, Iac, Negotiate, SbOption, SbData, SbIac, SbSkip, SbSkipIac };

  void Command(uint8_t byte);  // the byte after IAC, outside a subnegotiation
  void Negotiate(uint8_t verb, uint8_t option);
  void Subnegotiation();
  void ComPortCommand(uint8_t command, const uint8_t* value, size_t n);
  void SendNegotiation(uint8_t verb, uint8_t option, bool reply);
  void SendComPort(uint8_t command, const uint8_t* value, size_t n);
  void Log(uint8_t subKind, uint8_t value, const uint8_t* data = nullptr, size_t n = 0);
  void UpdateComPort();
  bool WeSupport(uint8_t option) const;
  bool HeMaySupport(uint8_t option) const;

  bool WantComPort_;
  TState State_ = TState::Data;
  uint8_t Verb_ = 0;
  bool AfterCr_ = false;  // the last data byte was a CR (a NUL after it goes)
  uint8_t SbOption_ = 0;
  std::vector<uint8_t> Sb_;
  TQ Us_[256] = {};
  TQ Him_[256] = {};
  TComPortState ComPortState_ = TComPortState::Unknown;
  bool MasksSent_ = false;
  std::vector<uint8_t> Outgoing_;
  int ModemState_ = -1;
  uint8_t LineState_ = 0;
  bool Ring_ = false;
  bool Suspended_ = false;
  TServerLine Server_;
  std::string Signature_;
  uint32_t ProtocolErrors_ = 0, DroppedSubnegotiations_ = 0, DroppedReplies_ = 0;
  std::deque<TLogItem> Log_;
};

}  // namespace zav::telnet
