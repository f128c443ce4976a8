// Peers on the loopback network for the network-port tests: ser2net serving a
// device with a private configuration, pyserial's RFC 2217 server in front of
// a loopback port, a listener that never answers, and a scripted server the
// test drives byte by byte. Every process is killed, and every socket closed,
// on destruction, whatever the test did. No test framework needed.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/TestSupport.h"

namespace zav::test {

// A port on 127.0.0.1 nothing listens on (just now).
uint16_t FreeLoopbackPort();
// Whether something listens on 127.0.0.1:port (from /proc/net/tcp: no
// connection is made, which would open a server's device).
bool Listening(uint16_t port);

// A child process whose standard output and error go to a file.
class TChildProcess {
 public:
  TChildProcess() = default;
  ~TChildProcess() { Kill(); }
  TChildProcess(const TChildProcess&) = delete;
  TChildProcess& operator=(const TChildProcess&) = delete;
  // Throws std::runtime_error when it cannot start.
  void Start(const std::vector<std::string>& argv, const std::string& outputPath);
  bool Running();
  // SIGKILL and wait; nothing when not running.
  void Kill();
  pid_t Pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
};

// ser2net serving `device` on 127.0.0.1 and a free port: Telnet with RFC
// 2217 (rfc2217://) or raw (tcp://). Throws std::runtime_error when it does
// not listen within a few seconds (its output is in the message).
class TSer2Net {
 public:
  explicit TSer2Net(const std::string& device, bool rfc2217 = true);
  std::string Address() const;
  uint16_t Port() const { return port_; }
  // Ends it at once (SIGKILL): its connections drop.
  void Kill() { child_.Kill(); }
  std::string Output() const { return ReadFile(dir_.path() / "ser2net.out"); }

 private:
  ScratchDir dir_{"zav-ser2net", false};
  uint16_t port_ = 0;
  bool rfc2217_;
  TChildProcess child_;
};

// pyserial's RFC 2217 server (tests/support/rfc2217_peer.py) in front of its
// loopback port: data comes back as sent, DSR follows DTR and CTS follows RTS.
// What our client asks for is in its log, one line each ("DTR on", "baud
// 9600", "break on", ...).
class TPyRfc2217Peer {
 public:
  TPyRfc2217Peer();
  std::string Address() const { return "rfc2217://127.0.0.1:" + std::to_string(port_); }
  std::string Log() const { return ReadFile(dir_.path() / "peer.out"); }
  // Waits until the log has `line` (true) or `ms` passed.
  bool WaitForLog(const std::string& line, int ms = 5000) const;

 private:
  ScratchDir dir_{"zav-rfc2217", false};
  uint16_t port_ = 0;
  TChildProcess child_;
};

// A listening socket whose queue is full and never taken: a connect to it
// gets no answer, like a host that drops what it is sent.
class TSilentListener {
 public:
  TSilentListener();
  ~TSilentListener();
  TSilentListener(const TSilentListener&) = delete;
  TSilentListener& operator=(const TSilentListener&) = delete;
  uint16_t Port() const { return port_; }

 private:
  int listener_ = -1;
  std::vector<int> fillers_;
  uint16_t port_ = 0;
};

// A server on 127.0.0.1 for one connection, driven by the test: it records
// what arrives and sends what it is told. Accepting and reading run on a
// thread of its own.
class TScriptedServer {
 public:
  // `greeting` is sent as soon as the client connects.
  explicit TScriptedServer(std::string greeting = {});
  ~TScriptedServer();
  TScriptedServer(const TScriptedServer&) = delete;
  TScriptedServer& operator=(const TScriptedServer&) = delete;
  uint16_t Port() const { return port_; }
  // Everything received so far.
  std::string Received() const;
  // Waits until what was received contains `part` (true) or `ms` passed.
  bool WaitFor(const std::string& part, int ms = 5000) const;
  // Sends bytes to the client (blocking; false once the client is gone).
  bool Send(const std::string& bytes);
  // Stops reading (the client's data backs up), or reads again.
  void PauseReading(bool paused);
  // Drops the connection.
  void Hangup();

 private:
  void Run();
  int listener_ = -1;
  uint16_t port_ = 0;
  std::string greeting_;
  mutable std::mutex m_;
  int client_ = -1;
  bool paused_ = false;
  std::string received_;
  int wake_[2] = {-1, -1};
  std::thread thread_;
};

}  // namespace zav::test
