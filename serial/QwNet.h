// Network serial ports: a device of the dispatcher that reaches a serial port
// served on another machine (by ser2net or any RFC 2217 server) over TCP,
// with the same three threads and the same device operations as the termios
// device (QwWin32.h), so rings, triggers, logs, terminal and protocols work
// over it unchanged.
//
// Addresses: "rfc2217://HOST:PORT" speaks Telnet with Com Port Control (RFC
// 2217): line settings, flow control, DTR, RTS, break and purges go to the
// server; its modem-state and line-state notifications become the modem bits
// and line errors. "tcp://HOST:PORT" carries raw bytes: the line settings
// stay the server's, DTR/RTS/break do nothing, and the modem lines read like
// a null-modem cable's (CTS, DSR and DCD on). HOST is a name, an IPv4 address
// or an IPv6 address in brackets; "?timeout=MS" after the port sets the time
// allowed to connect and negotiate (default kDefaultConnectTimeoutMs).
//
// Opening never waits longer than that time: name lookup, a non-blocking
// connect and the Telnet negotiation share the one deadline. A failed open
// gives -1 with a socket error number for GetLastError (10061 connection
// refused, 10060 timed out, 11001 host not found, 10054 closed by the
// server, ...) and a sentence for the user in LastOpenErrorText().
//
// A server that refuses Com Port Control (or does not answer the request
// within the time allowed) leaves a port that carries data only, with a
// warning (Warnings()), as long as the settings asked for are the framing
// every server starts with: 8 data bits, no parity, 1 stop bit, no flow
// control; the baud rate then stays the server's. Other framing or any flow
// control fails with ecNotSupported, and LastOpenErrorText() says why:
// asking for 7E1 on a port that would silently stay 8N1 must not look like
// success. DTR, RTS and break are then ignored, as on a pseudo-terminal.
//
// Data goes at the rate of the far line (the baud rate and framing sent to
// the server, a percent over) plus a lead of 0.3 s of line time (at least
// 2 KiB), as a local UART's queue would take it: a server's buffers and TCP's
// would otherwise take megabytes at once, minutes of a slow line, and a
// protocol would wait that long for its answers. Without Com Port Control
// (tcp://, or refused) the rate is unknown and nothing is paced.
//
// A connection that drops (the server ends, a reset, the keep-alive gives
// up) is the device going away: DeviceGone() turns true, writes are dropped,
// and the port can only be closed, exactly as for an unplugged adapter.
//
// Threads: as the termios device's. The dispatcher thread reads and decodes
// the socket (Telnet replies it owes are queued); the output thread is the
// only writer of the socket, sending queued Telnet and Com Port Control
// messages between runs of data; the communications thread waits for the
// socket and for the modem and line changes the decoding found. A flood, a
// malformed or endless subnegotiation or a server that stops reading cannot
// make any of them spin or grow without bound, nor make a write, a line or
// settings change wait for the server (a settings change waits for the
// transmit ring to drain, as on any line). A close passes on what was
// written and waits at most kNetCloseMs for the server to end the connection,
// which ser2net does once it has handed everything to the device.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "serial/QwTelnet.h"
#include "serial/QwUser.h"

namespace zav {

constexpr int kDefaultConnectTimeoutMs = 5000;
constexpr int kNetCloseMs = 5000;

struct TNetAddress {
  bool Rfc2217 = true;  // else raw TCP
  std::string Host;     // a name or an address (an IPv6 one without brackets)
  uint16_t Port = 0;
  int TimeoutMs = kDefaultConnectTimeoutMs;
  std::string Text;  // as written
};

// Whether a device name is a network address ("rfc2217://" or "tcp://",
// any case), well formed or not.
bool IsNetworkAddress(const std::string& name);
// The address, or nothing with the reason in `error`.
std::optional<TNetAddress> ParseNetAddress(const std::string& text, std::string* error = nullptr);

class TMroNetDispatcher : public TMroBaseDispatcher {
 public:
  explicit TMroNetDispatcher(TComponent* owner);
  ~TMroNetDispatcher() override;

  bool DeviceGone() const override;
  std::string LastOpenErrorText() const override;
  // The last failure of the connection ("recv: connection reset by peer"),
  // empty while none.
  std::string LastDeviceError() const;
  // Things the user should know about an open port (a refused Com Port
  // Control, settings the server keeps).
  std::vector<std::string> Warnings() const;
  // The address opened (as written).
  std::string Address() const;
  // Com Port Control: accepted by the server (false for tcp:// or refused).
  bool ComPortAccepted() const;
  // What the server reported setting, and counts of hostile or broken input.
  telnet::TServerLine ServerLine() const;
  uint32_t ProtocolErrors() const;
  uint32_t DroppedSubnegotiations() const;

 protected:
  int32_t DeviceEscape(int function) override;
  int32_t DevicePurge(bool input) override;
  uint32_t DeviceReadErrors(TDeviceStatus& status) override;
  int32_t DeviceErrorHook(int32_t) override { return 0; }
  int32_t DeviceGetSettings(TDCB& dcb) override;
  int32_t DeviceRead(uint8_t* buffer, uint32_t count) override;
  int32_t DeviceSetSettings(const TDCB& dcb) override;
  int32_t DeviceWrite(const uint8_t* data, uint32_t count) override;
  bool DeviceSetupQueues(uint32_t, uint32_t) override { return true; }
  void StartThreads() override;
  void StopThreads() override;
  int32_t DeviceOpen(const std::string& name, uint32_t inSize, uint32_t outSize) override;
  int32_t DeviceClose() override;
  int32_t DeviceYield() override;
  void DeviceSetBreak(bool on) override;
  uint8_t DeviceModemStatus() override;
  void ReleaseResources() override;

 private:
  struct Impl;
  Impl* Impl_ = nullptr;
  friend struct NetThreads;

  bool DataWithin(int ms) override;
  void CloseSocket();
  int32_t Fail(const char* call, int err);
  // Queues Com Port Control requests (the codec's lock held by `send`) and
  // wakes the output thread.
  template <class F>
  void Control(F&& send);
};

}  // namespace zav
