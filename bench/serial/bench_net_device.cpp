// The network device over the loopback network, unpaced: a Telnet server of
// a few lines on a thread of this program (it refuses Com Port Control, so
// that no line rate paces the data; the escaping is the same), and the
// dispatcher
//  - sending 64 MiB through its transmit ring (the server un-escapes and counts);
//  - receiving 64 MiB through its receive ring with an availability handler;
//  - both again as raw TCP (tcp://), to show what the Telnet escaping costs.
// The data is random, so one byte in 256 is an IAC that goes doubled. The
// last line is the slower direction of the Telnet stream in MB/s.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/Event.h"
#include "serial/QwNet.h"

using namespace zav;
using Clock = std::chrono::steady_clock;

namespace {

constexpr size_t kStream = size_t(64) << 20;

// A server for one connection: binary both ways, no Com Port Control; then
// it either sinks what comes (counting the data it carries) or sends
// `kStream` bytes of data.
class Server {
 public:
  Server(bool telnet, bool sink) : telnet_(telnet), sink_(sink) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listener_, 1) != 0) std::abort();
    socklen_t len = sizeof a;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { Run(); });
  }
  ~Server() {
    thread_.join();
    close(listener_);
  }
  std::string Address() const { return std::string(telnet_ ? "rfc2217" : "tcp") + "://127.0.0.1:" + std::to_string(port_); }
  TEvent done;

 private:
  static void SendAll(int fd, const uint8_t* p, size_t n) {
    while (n > 0) {
      const ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
      if (w <= 0) return;
      p += w;
      n -= size_t(w);
    }
  }
  void Run() {
    const int fd = accept(listener_, nullptr, nullptr);
    if (telnet_) {
      const uint8_t agree[] = {255, 253, 0, 255, 251, 0, 255, 254, 44};
      SendAll(fd, agree, sizeof agree);
    }
    std::vector<uint8_t> buf(1 << 16);
    if (sink_) {
      size_t data = 0;
      bool iac = false;
      int skip = 0;  // bytes of a negotiation or a subnegotiation still to pass over
      while (data < kStream) {
        const ssize_t n = recv(fd, buf.data(), buf.size(), 0);
        if (n <= 0) break;
        if (!telnet_) {
          data += size_t(n);
          continue;
        }
        for (ssize_t i = 0; i < n; ++i) {
          const uint8_t b = buf[size_t(i)];
          if (skip == 1) {  // a negotiation's option
            skip = 0;
          } else if (skip == 2) {  // inside a subnegotiation: until IAC SE
            if (iac && b == 240) skip = 0;
            iac = !iac && b == 255;
          } else if (iac) {
            iac = false;
            if (b == 255) ++data;
            else if (b == 250) skip = 2;
            else if (b >= 251) skip = 1;
          } else if (b == 255) {
            iac = true;
          } else {
            ++data;
          }
        }
      }
      done.Set();
    } else {
      std::mt19937 gen(1);
      std::vector<uint8_t> block;
      for (size_t sent = 0; sent < kStream; sent += 4096) {
        block.clear();
        for (int i = 0; i < 4096; ++i) {
          const uint8_t b = uint8_t(gen());
          block.push_back(b);
          if (b == 255 && telnet_) block.push_back(255);
        }
        SendAll(fd, block.data(), block.size());
      }
      done.Wait(120000);
    }
    shutdown(fd, SHUT_WR);
    while (recv(fd, buf.data(), buf.size(), 0) > 0) {
    }
    close(fd);
  }
  bool telnet_, sink_;
  int listener_ = -1;
  uint16_t port_ = 0;
  std::thread thread_;
};

double Send(bool telnet) {
  Server server(telnet, true);
  TMroNetDispatcher d(nullptr);
  if (d.InitializePort(server.Address(), 115200, 0, 8, 1, 4096, 65535, 0) != 0) std::abort();
  std::mt19937 gen(2);
  std::vector<uint8_t> block(4096);
  for (auto& b : block) b = uint8_t(gen());
  const auto t0 = Clock::now();
  for (size_t sent = 0; sent < kStream;) {
    if (d.OutputFree() >= block.size() && d.WriteBlock(block.data(), uint32_t(block.size())) == 0)
      sent += block.size();
    else
      std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  if (!server.done.Wait(120000)) std::abort();
  const double s = std::chrono::duration<double>(Clock::now() - t0).count();
  d.ShutdownPort();
  return double(kStream) / s / 1e6;
}

double Receive(bool telnet) {
  Server server(telnet, false);
  TMroNetDispatcher d(nullptr);
  if (d.InitializePort(server.Address(), 115200, 0, 8, 1, 4096, 4096, 0) != 0) std::abort();
  std::atomic<size_t> got{0};
  TEvent done;
  std::vector<char> sink(8192);
  d.SetAvailLength(1);
  d.RegisterMethodHandler({&got, [&](UINT msg, WPARAM n, LPARAM) {
                             if (msg != 0x7E01) return;
                             if (d.ReadBlock(sink.data(), uint32_t(n)) > 0 && (got += n) >= kStream) done.Set();
                           }});
  const auto t0 = Clock::now();
  if (!done.Wait(120000)) std::abort();
  const double s = std::chrono::duration<double>(Clock::now() - t0).count();
  server.done.Set();
  d.ShutdownPort();
  return double(kStream) / s / 1e6;
}

}  // namespace

int main() {
  const double sendTelnet = Send(true), receiveTelnet = Receive(true);
  const double sendRaw = Send(false), receiveRaw = Receive(false);
  std::printf("telnet send      %8.1f MB/s\n", sendTelnet);
  std::printf("telnet receive   %8.1f MB/s\n", receiveTelnet);
  std::printf("tcp send         %8.1f MB/s\n", sendRaw);
  std::printf("tcp receive      %8.1f MB/s\n", receiveRaw);
  std::printf("RESULT net_loopback_throughput %.1f MB/s\n", std::min(sendTelnet, receiveTelnet));
  return 0;
}
