// Network serial ports: see QwNet.h.
#include "serial/QwNet.h"

#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "serial/PortMap.h"
#include "serial/QxExcept.h"

namespace zav {
namespace {

using Clock = std::chrono::steady_clock;
using telnet::TComPortState;
using telnet::TTelnetClient;

constexpr uint32_t EV_RXCHAR = 0x0001;
constexpr uint32_t EV_CTS = 0x0008;
constexpr uint32_t EV_DSR = 0x0010;
constexpr uint32_t EV_RLSD = 0x0020;
constexpr uint32_t EV_BREAK = 0x0040;
constexpr uint32_t EV_ERR = 0x0080;
constexpr uint32_t EV_RING = 0x0100;

constexpr int kStartAckMs = 3000;
constexpr int kRingFullPollMs = 10;       // how often a full ring is looked at again
constexpr uint32_t kSocketInQueue = 65536;  // "bytes waiting" while the socket is readable
constexpr size_t kSendChunk = 8192;       // ring bytes escaped and written at a time
constexpr int kNegotiateMs = 2000;        // the most an open waits for Com Port Control's answer
constexpr size_t kMaxEarly = 65536;       // data that arrives while the open negotiates
constexpr uint8_t kNullModemLines = mbCts | mbDsr | mbDcd;

// Socket error numbers (their texts are in the string table).
constexpr uint32_t kNoHostGiven = 9005, kInvalidArgument = 10022, kTimedOut = 10060, kRefused = 10061,
                   kReset = 10054, kHostNotFound = 11001, kHostTryAgain = 11002;

uint32_t SocketErrorNumber(int err) {
  switch (err) {
    case ECONNREFUSED: return kRefused;
    case ETIMEDOUT: return kTimedOut;
    case ECONNRESET: case EPIPE: return kReset;
    case ECONNABORTED: return 10053;
    case ENETDOWN: return 10050;
    case ENETUNREACH: return 10051;
    case EHOSTDOWN: return 10064;
    case EHOSTUNREACH: return 10065;
    case EADDRINUSE: return 10048;
    case EADDRNOTAVAIL: return 10049;
    case EAFNOSUPPORT: return 10047;
    case EACCES: case EPERM: return 10013;
    case EMFILE: case ENFILE: return 10024;
    case ENOBUFS: case ENOMEM: return 10055;
    default: return PlatformErrorNumber(err);
  }
}

std::string ConnectReason(int err, const TNetAddress& a) {
  const std::string where = a.Host + ":" + std::to_string(a.Port);
  switch (err) {
    case ECONNREFUSED: return "nothing listens at " + where + " (is the server running, on that port?)";
    case ETIMEDOUT:
      return "no answer from " + where + " within " + std::to_string(a.TimeoutMs) +
             " ms (is the host up, and the port open to this machine?)";
    case ENETUNREACH: case EHOSTUNREACH: return "no route to " + a.Host;
    default: return std::string(std::strerror(err)) + " (" + where + ")";
  }
}

int MsLeft(Clock::time_point deadline) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return int(std::clamp<int64_t>(ms, 0, INT_MAX));
}

void WakeFd(int fd) {
  if (fd < 0) return;
  uint64_t one = 1;
  [[maybe_unused]] ssize_t n = write(fd, &one, sizeof one);
}

void DrainFd(int fd) {
  if (fd < 0) return;
  uint64_t v;
  [[maybe_unused]] ssize_t n = read(fd, &v, sizeof v);
}

std::string Lower(std::string s) {
  for (char& c : s) c = char(std::tolower(uint8_t(c)));
  return s;
}

// A name looked up on a thread of its own, so that the open's deadline holds
// however slow the resolver is; a lookup given up on frees its own result.
struct TLookup {
  std::mutex m;
  std::condition_variable cv;
  bool done = false, abandoned = false;
  int rc = 0;
  addrinfo* result = nullptr;
};

// 0 with the addresses, an EAI_ code, or EAI_AGAIN when the deadline passed.
int Lookup(const TNetAddress& a, Clock::time_point deadline, addrinfo*& out) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_family = AF_UNSPEC;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
  const std::string port = std::to_string(a.Port);
  if (getaddrinfo(a.Host.c_str(), port.c_str(), &hints, &out) == 0) return 0;
  hints.ai_flags = AI_NUMERICSERV | AI_ADDRCONFIG;
  auto lookup = std::make_shared<TLookup>();
  std::thread([lookup, host = a.Host, port, hints] {
    addrinfo* result = nullptr;
    const int rc = getaddrinfo(host.c_str(), port.c_str(), &hints, &result);
    std::lock_guard g(lookup->m);
    if (lookup->abandoned) {
      if (result) freeaddrinfo(result);
      return;
    }
    lookup->rc = rc;
    lookup->result = result;
    lookup->done = true;
    lookup->cv.notify_all();
  }).detach();
  std::unique_lock g(lookup->m);
  if (!lookup->cv.wait_until(g, deadline, [&] { return lookup->done; })) {
    lookup->abandoned = true;
    return EAI_AGAIN;
  }
  out = lookup->result;
  return lookup->rc;
}

// A connected non-blocking socket, or -1 with `err`: each address in turn,
// all within the one deadline (ETIMEDOUT once it passed).
int Connect(const addrinfo* list, Clock::time_point deadline, int& err) {
  err = ETIMEDOUT;
  for (const addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
    const int fd = socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
    if (fd < 0) {
      err = errno;
      continue;
    }
    if (connect(fd, ai->ai_addr, ai->ai_addrlen) == 0) return fd;
    if (errno != EINPROGRESS) {
      err = errno;
      close(fd);
      continue;
    }
    pollfd p{fd, POLLOUT, 0};
    int rc;
    do {
      rc = poll(&p, 1, MsLeft(deadline));
    } while (rc < 0 && errno == EINTR);
    if (rc <= 0) {
      err = rc == 0 ? ETIMEDOUT : errno;
      close(fd);
      return -1;
    }
    int soErr = 0;
    socklen_t len = sizeof soErr;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &soErr, &len) == 0 && soErr == 0) return fd;
    err = soErr != 0 ? soErr : errno;
    close(fd);
  }
  return -1;
}

void Tune(int fd) {
  const int one = 1;
  // A protocol's short acknowledgements go at once, not after 40 ms.
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  // A peer that went silent (a machine switched off, a cable pulled) is the
  // device going away after about half a minute, not never.
  setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
  const int idle = 10, interval = 5, count = 3;
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
  const unsigned unacknowledged = 30000;
  setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &unacknowledged, sizeof unacknowledged);
}

// Writes all of `bytes` before the deadline; false when it could not.
bool WriteUntil(int fd, const uint8_t* bytes, size_t n, Clock::time_point deadline, int& err) {
  size_t at = 0;
  while (at < n) {
    const ssize_t k = send(fd, bytes + at, n - at, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (k > 0) {
      at += size_t(k);
      continue;
    }
    if (k < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      err = errno;
      return false;
    }
    pollfd p{fd, POLLOUT, 0};
    if (poll(&p, 1, MsLeft(deadline)) == 0) {
      err = ETIMEDOUT;
      return false;
    }
  }
  return true;
}

uint8_t RfcParity(uint8_t parity) {
  static const uint8_t map[] = {telnet::parNone, telnet::parOdd, telnet::parEven, telnet::parMark, telnet::parSpace};
  return parity < 5 ? map[parity] : telnet::parNone;
}

uint8_t RfcStopSize(uint8_t stopBits) {
  return stopBits == 0 ? telnet::stopOne : stopBits == 1 ? telnet::stopOneAndHalf : telnet::stopTwo;
}

uint8_t RfcFlow(const TDCB& dcb) {
  if ((dcb.Flags & dcbOutxCtsFlow) || (dcb.Flags & dcbRtsControlMask) == dcbRtsHandshake) return telnet::ctlFlowHardware;
  if (dcb.Flags & (dcbOutX | dcbInX)) return telnet::ctlFlowXonXoff;
  return telnet::ctlFlowNone;
}

std::string DescribeFraming(const TDCB& dcb) {
  static const char parity[] = "NOEMS";
  std::string s = std::to_string(dcb.ByteSize) + parity[std::min<int>(dcb.Parity, 4)] +
                  (dcb.StopBits == 0 ? "1" : dcb.StopBits == 1 ? "1.5" : "2");
  const uint8_t flow = RfcFlow(dcb);
  if (flow == telnet::ctlFlowHardware) s += " with RTS/CTS flow control";
  if (flow == telnet::ctlFlowXonXoff) s += " with XON/XOFF flow control";
  return s;
}

// Printable text of what a server said before it closed (ser2net's "Port
// already in use", say), for the user.
std::string SaidText(const std::vector<uint8_t>& bytes) {
  std::string s;
  for (uint8_t b : bytes) {
    if (s.size() >= 80) break;
    if (b >= 32 && b < 127)
      s += char(b);
    else if (!s.empty() && s.back() != ' ')
      s += ' ';
  }
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

// Lets data go at the rate the far line carries it, plus a lead. Without it
// a streaming protocol would hand megabytes to TCP and the server at once
// (ser2net's buffers and the kernel's took 4 MB, six minutes of a 115200
// line, in a test), and then wait on answers that come minutes later.
class TLinePacer {
 public:
  // Bytes per second the line carries; 0: unpaced.
  void SetRate(double rate) { rate_ = rate; }
  // Bytes that may be written now (SIZE_MAX unpaced).
  size_t Allowance(Clock::time_point now) {
    if (rate_ <= 0) return SIZE_MAX;
    Drain(now);
    const double lead = std::max(kMinLead, rate_ * kLeadSeconds);
    return queued_ < lead ? size_t(lead - queued_) + 1 : 0;
  }
  void Sent(size_t n, Clock::time_point now) {
    if (rate_ <= 0) return;
    Drain(now);
    queued_ += double(n);
  }
  // Milliseconds until some room is free again.
  int WaitMs() const {
    const double lead = std::max(kMinLead, rate_ * kLeadSeconds);
    return std::max(1, int((queued_ - lead * 0.75) * 1000 / rate_));
  }

 private:
  static constexpr double kMinLead = 2048;     // bytes the line may be behind, at least ...
  static constexpr double kLeadSeconds = 0.3;  // ... or this much of its time
  void Drain(Clock::time_point now) {
    queued_ = std::max(0.0, queued_ - std::chrono::duration<double>(now - at_).count() * rate_);
    at_ = now;
  }
  double rate_ = 0, queued_ = 0;
  Clock::time_point at_ = Clock::now();
};

// The bytes a second the line carries with these settings, a percent over
// the nominal rate: a far line a little slower lets a little more wait in
// the buffers, never the line idle for want of data.
double LineRate(const TDCB& dcb) {
  const double bits = 1 + dcb.ByteSize + (dcb.Parity ? 1 : 0) + (dcb.StopBits == 0 ? 1 : dcb.StopBits == 1 ? 1.5 : 2);
  return dcb.BaudRate > 0 ? dcb.BaudRate / bits * 1.01 : 0;
}

}  // namespace

// --- Addresses ---------------------------------------------------------------------

bool IsNetworkAddress(const std::string& name) {
  const std::string s = Lower(name.substr(0, 10));
  return s.rfind("rfc2217://", 0) == 0 || s.rfind("tcp://", 0) == 0;
}

std::optional<TNetAddress> ParseNetAddress(const std::string& text, std::string* error) {
  auto fail = [&](const std::string& why) -> std::optional<TNetAddress> {
    if (error) *error = why;
    return std::nullopt;
  };
  TNetAddress a;
  a.Text = text;
  std::string rest;
  const std::string lower = Lower(text);
  if (lower.rfind("rfc2217://", 0) == 0) {
    rest = text.substr(10);
  } else if (lower.rfind("tcp://", 0) == 0) {
    a.Rfc2217 = false;
    rest = text.substr(6);
  } else {
    return fail("not a network address (rfc2217://HOST:PORT or tcp://HOST:PORT)");
  }
  std::string query;
  if (const size_t q = rest.find('?'); q != std::string::npos) {
    query = rest.substr(q + 1);
    rest.erase(q);
  }
  if (!rest.empty() && rest.back() == '/') rest.pop_back();
  size_t colon;
  if (!rest.empty() && rest[0] == '[') {
    const size_t close = rest.find(']');
    if (close == std::string::npos) return fail("an IPv6 address needs its closing ]");
    a.Host = rest.substr(1, close - 1);
    colon = close + 1;
    if (colon >= rest.size() || rest[colon] != ':') return fail("no :PORT after the host");
  } else {
    colon = rest.rfind(':');
    if (colon == std::string::npos) return fail("no :PORT after the host");
    a.Host = rest.substr(0, colon);
  }
  if (a.Host.empty()) return fail("no host name or address");
  const std::string port = rest.substr(colon + 1);
  long value = 0;
  for (char c : port) {
    if (!std::isdigit(uint8_t(c)) || value > 65535) return fail("the port must be a number from 1 to 65535");
    value = value * 10 + (c - '0');
  }
  if (port.empty() || value < 1 || value > 65535) return fail("the port must be a number from 1 to 65535");
  a.Port = uint16_t(value);
  if (!query.empty()) {
    if (Lower(query).rfind("timeout=", 0) != 0) return fail("the only option is ?timeout=MS");
    const std::string ms = query.substr(8);
    long t = 0;
    for (char c : ms) {
      if (!std::isdigit(uint8_t(c)) || t > 3600000) return fail("timeout= must be milliseconds from 1 to 3600000");
      t = t * 10 + (c - '0');
    }
    if (ms.empty() || t < 1 || t > 3600000) return fail("timeout= must be milliseconds from 1 to 3600000");
    a.TimeoutMs = int(t);
  }
  return a;
}

// --- State ---------------------------------------------------------------------------

struct TMroNetDispatcher::Impl {
  TNetAddress address;
  std::atomic<int> sock{-1};
  int commWake = -1;    // ends the communications thread's wait (a mask of 0)
  int outputWake = -1;  // aborts the output thread's wait for room
  std::atomic<bool> gone{false};
  std::atomic<bool> eof{false};  // the server ended the stream: nothing more to read
  std::atomic<uint32_t> errors{0};         // line-error bits since the last read
  std::atomic<uint32_t> pendingEvents{0};  // modem and line events found while decoding
  std::atomic<uint8_t> modem{kNullModemLines};
  std::atomic<bool> suspended{false};  // the server asked us to hold our data
  std::atomic<double> lineRate{0};     // bytes a second of the far line (0: unknown, unpaced)
  std::atomic<bool> comAlive{false}, dispAlive{false}, outAlive{false};
  std::mutex joinMutex;  // one joiner at a time: the owner and a late release may meet
  std::mutex closeMutex;

  // The codec and the settings. A leaf lock: nothing is called while it is held.
  mutable std::mutex codecMutex;
  std::unique_ptr<TTelnetClient> codec;  // none for raw TCP
  TDCB shadow;                          // what was last asked for
  std::optional<TDCB> sentLine;         // what was last sent to the server
  int sentDtr = -1, sentRts = -1;        // the lines as last sent (-1: never)
  bool rateWarned = false;

  // Data decoded while the open negotiated, handed out first (InputLock).
  std::vector<uint8_t> early;
  std::atomic<size_t> earlySize{0};

  // The output thread's (and the close's, once the threads are gone).
  std::vector<uint8_t> control;  // Telnet and Com Port Control messages being sent
  size_t controlAt = 0;
  std::vector<uint8_t> encoded;  // one escaped run of data
  std::vector<uint8_t> torn;     // the rest of a unit a write stopped in: it goes first
  TLinePacer pacer;

  mutable std::mutex textMutex;
  std::string lastError, openError;
  std::vector<std::string> warnings;
};

TMroNetDispatcher::TMroNetDispatcher(TComponent* owner) : TMroBaseDispatcher(owner), Impl_(new Impl) {}

TMroNetDispatcher::~TMroNetDispatcher() {
  CloseOnDestroy();
  if (ThreadsRunning) StopThreads();
  {
    std::lock_guard lock(Impl_->joinMutex);
    ComThread.Join();
    DispThread.Join();
    OutThread.Join();
  }
  CloseSocket();
  for (int fd : {Impl_->commWake, Impl_->outputWake})
    if (fd >= 0) close(fd);
  delete Impl_;
}

bool TMroNetDispatcher::DeviceGone() const { return Impl_->gone; }

std::string TMroNetDispatcher::LastOpenErrorText() const {
  std::lock_guard g(Impl_->textMutex);
  return Impl_->openError;
}

std::string TMroNetDispatcher::LastDeviceError() const {
  std::lock_guard g(Impl_->textMutex);
  return Impl_->lastError;
}

std::vector<std::string> TMroNetDispatcher::Warnings() const {
  std::lock_guard g(Impl_->textMutex);
  return Impl_->warnings;
}

std::string TMroNetDispatcher::Address() const {
  std::lock_guard g(Impl_->codecMutex);
  return Impl_->address.Text;
}

bool TMroNetDispatcher::ComPortAccepted() const {
  std::lock_guard g(Impl_->codecMutex);
  return Impl_->codec && Impl_->codec->ComPort() == TComPortState::Accepted;
}

telnet::TServerLine TMroNetDispatcher::ServerLine() const {
  std::lock_guard g(Impl_->codecMutex);
  return Impl_->codec ? Impl_->codec->ServerLine() : telnet::TServerLine{};
}

uint32_t TMroNetDispatcher::ProtocolErrors() const {
  std::lock_guard g(Impl_->codecMutex);
  return Impl_->codec ? Impl_->codec->ProtocolErrors() : 0;
}

uint32_t TMroNetDispatcher::DroppedSubnegotiations() const {
  std::lock_guard g(Impl_->codecMutex);
  return Impl_->codec ? Impl_->codec->DroppedSubnegotiations() : 0;
}

int32_t TMroNetDispatcher::Fail(const char* call, int err) {
  const uint32_t number = SocketErrorNumber(err);
  {
    std::lock_guard g(Impl_->textMutex);
    Impl_->lastError = std::string(call) + ": " + std::strerror(err);
  }
  SetLastError(number);
  return -int32_t(number);
}

// --- Open and close --------------------------------------------------------------------

int32_t TMroNetDispatcher::DeviceOpen(const std::string& name, uint32_t, uint32_t) {
  Impl& im = *Impl_;
  {
    std::lock_guard g(im.textMutex);
    im.openError.clear();
    im.lastError.clear();
    im.warnings.clear();
  }
  const std::string target = ResolveDeviceName(name);  // a COM number mapped to an address
  auto fail = [&](uint32_t number, const std::string& reason) {
    std::lock_guard g(im.textMutex);
    im.openError = reason;
    im.lastError = "open: " + reason;
    SetLastError(number);
    return -1;
  };
  std::string why;
  const auto address = ParseNetAddress(target, &why);
  if (!address) return fail(target.empty() || why == "no host name or address" ? kNoHostGiven : kInvalidArgument,
                            (target.empty() ? name : target) + ": " + why);
  {
    std::lock_guard g(im.codecMutex);
    im.address = *address;
  }
  const auto deadline = Clock::now() + std::chrono::milliseconds(address->TimeoutMs);
  addrinfo* list = nullptr;
  const int rc = Lookup(*address, deadline, list);
  if (rc != 0) {
    return rc == EAI_AGAIN ? fail(kHostTryAgain, "no answer from the name service about " + address->Host)
                           : fail(kHostNotFound, "host " + address->Host + " not found");
  }
  int err = 0;
  const int fd = Connect(list, deadline, err);
  freeaddrinfo(list);
  if (fd < 0) return fail(SocketErrorNumber(err), ConnectReason(err, *address));
  Tune(fd);

  std::unique_ptr<TTelnetClient> codec;
  std::vector<uint8_t> early;
  if (address->Rfc2217) {
    // The opening requests, then the answers until the server has said yes
    // or no to Com Port Control (ser2net says it at once); the data that
    // comes meanwhile is kept for the first reads.
    codec = std::make_unique<TTelnetClient>(true);
    codec->Start();
    const auto until = std::min(deadline, Clock::now() + std::chrono::milliseconds(kNegotiateMs));
    uint8_t buf[4096];
    for (;;) {
      const std::vector<uint8_t> out = codec->TakeOutgoing();
      if (!WriteUntil(fd, out.data(), out.size(), until, err)) {
        close(fd);
        return fail(SocketErrorNumber(err), err == ETIMEDOUT ? "the server takes nothing" : std::strerror(err));
      }
      if (codec->ComPort() != TComPortState::Unknown || early.size() >= kMaxEarly) break;
      pollfd p{fd, POLLIN, 0};
      const int ready = poll(&p, 1, MsLeft(until));
      if (ready == 0) break;
      const ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (n <= 0) {
        const int e = n == 0 ? ECONNRESET : errno;
        close(fd);
        const std::string said = SaidText(early);
        return fail(SocketErrorNumber(e), "the server closed the connection" + (said.empty() ? "" : ": " + said));
      }
      const size_t got = codec->Receive(buf, size_t(n), buf);
      early.insert(early.end(), buf, buf + std::min(got, kMaxEarly - early.size()));
    }
    codec->TakeLog();  // the dispatch log starts after the open
    if (codec->ComPort() != TComPortState::Accepted) {
      std::lock_guard g(im.textMutex);
      im.warnings.push_back(std::string(codec->ComPort() == TComPortState::Refused
                                            ? "the server refused RFC 2217 Com Port Control"
                                            : "the server did not answer the request for RFC 2217 Com Port Control") +
                            ": only data passes; line settings, DTR, RTS and break stay the server's");
    }
  }

  for (int* w : {&im.commWake, &im.outputWake}) {
    if (*w >= 0) close(*w);
    *w = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  }
  if (im.commWake < 0 || im.outputWake < 0) {
    close(fd);
    return ecOutOfMemory;
  }
  const int initialModem = codec ? codec->ModemState() : -1;
  {
    std::lock_guard g(im.codecMutex);
    im.codec = std::move(codec);
    im.shadow = TDCB{};
    im.shadow.BaudRate = 0;  // unknown: the first settings are always sent
    im.shadow.Flags = dcbBinary;
    im.sentLine.reset();
    im.sentDtr = im.sentRts = -1;
    im.rateWarned = false;
  }
  im.early = std::move(early);
  im.earlySize = im.early.size();
  im.gone = false;
  im.eof = false;
  im.errors = 0;
  im.pendingEvents = 0;
  // The modem state a server reports at once (ser2net does) holds from the start.
  im.modem = initialModem >= 0 ? uint8_t(initialModem & 0xF0) : kNullModemLines;
  im.lineRate = 0;
  im.pacer = TLinePacer{};
  im.suspended = false;
  im.control.clear();
  im.controlAt = 0;
  im.torn.clear();
  im.sock = fd;
  DeviceHandle_ = fd;
  return fd;
}

int32_t TMroNetDispatcher::DeviceClose() {
  if (ThreadsRunning) {
    StopRequested = true;
    WakeFd(Impl_->commWake);
    if (DeviceEventReady) DeviceEventReady->Set();
    if (PassDone) PassDone->Set();
    if (ThreadAck) ThreadAck->Reset();
  }
  DeviceHandle_ = -1;
  // The socket goes once the threads are gone (ReleaseResources).
  if (!ThreadsRunning) CloseSocket();
  return 0;
}

void TMroNetDispatcher::ReleaseResources() {
  TMroBaseDispatcher::ReleaseResources();  // stops the threads first
  if (DeviceHandle_ < 0 && (!ThreadsRunning || DispThread.IsCurrentThread())) CloseSocket();
}

void TMroNetDispatcher::CloseSocket() {
  Impl& im = *Impl_;
  std::lock_guard lock(im.closeMutex);
  if (im.sock < 0) return;
  if (!im.gone) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(kNetCloseMs);
    // What was owed still goes: the rest of a unit a write stopped in, then
    // the messages still queued.
    std::vector<uint8_t> owed = im.torn;
    owed.insert(owed.end(), im.control.begin() + long(im.controlAt), im.control.end());
    {
      std::lock_guard g(im.codecMutex);
      if (im.codec) {
        const std::vector<uint8_t> more = im.codec->TakeOutgoing();
        owed.insert(owed.end(), more.begin(), more.end());
      }
    }
    int err = 0;
    WriteUntil(im.sock, owed.data(), owed.size(), deadline, err);
    // The server ends the connection once it has passed on to the device what
    // it holds (ser2net does). Closing before, with its bytes unread here,
    // would reset the connection, and a reset loses what it still holds.
    shutdown(im.sock, SHUT_WR);
    uint8_t buf[4096];
    for (;;) {
      pollfd p{im.sock, POLLIN, 0};
      if (poll(&p, 1, MsLeft(deadline)) <= 0) break;
      const ssize_t n = recv(im.sock, buf, sizeof buf, MSG_DONTWAIT);
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) break;
    }
  }
  close(im.sock);
  im.sock = -1;
  im.torn.clear();
  im.control.clear();
  im.controlAt = 0;
}

// --- Device operations ---------------------------------------------------------------------

template <class F>
void TMroNetDispatcher::Control(F&& send) {
  bool queued = false;
  {
    std::lock_guard g(Impl_->codecMutex);
    if (!Impl_->codec || Impl_->gone) return;
    send(*Impl_->codec);
    queued = Impl_->codec->HasOutgoing();
  }
  if (queued && OutputReady) OutputReady->Set();
}

int32_t TMroNetDispatcher::DeviceEscape(int function) {
  const bool dtr = function == kEscSetDtr || function == kEscClrDtr;
  const bool on = function == kEscSetDtr || function == kEscSetRts;
  if (!dtr && function != kEscSetRts && function != kEscClrRts) return 0;  // no UART base address here
  // The line is set again and again (each settings change asserts it anew):
  // only a change goes to the server.
  Control([&](TTelnetClient& c) {
    int& sent = dtr ? Impl_->sentDtr : Impl_->sentRts;
    if (sent == int(on)) return;
    sent = int(on);
    c.SetControl(dtr ? (on ? telnet::ctlDtrOn : telnet::ctlDtrOff) : (on ? telnet::ctlRtsOn : telnet::ctlRtsOff));
  });
  return 0;
}

void TMroNetDispatcher::DeviceSetBreak(bool on) {
  Control([&](TTelnetClient& c) { c.SetControl(on ? telnet::ctlBreakOn : telnet::ctlBreakOff); });
}

uint8_t TMroNetDispatcher::DeviceModemStatus() { return Impl_->modem.load() & 0xF0; }

int32_t TMroNetDispatcher::DeviceGetSettings(TDCB& dcb) {
  std::lock_guard g(Impl_->codecMutex);
  dcb = Impl_->shadow;
  return Impl_->sock < 0 ? -int32_t(kErrInvalidHandle) : 0;
}

int32_t TMroNetDispatcher::DeviceSetSettings(const TDCB& dcb) {
  Impl& im = *Impl_;
  std::string refused, warning;
  {
    std::lock_guard g(im.codecMutex);
    if (im.sock < 0) return -int32_t(kErrInvalidHandle);
    im.shadow = dcb;
    if (!im.codec) return 0;  // raw TCP: the settings are the server's
    TTelnetClient& c = *im.codec;
    const bool framingDefault = dcb.ByteSize == 8 && dcb.Parity == 0 && dcb.StopBits == 0;
    if (c.ComPort() == TComPortState::Accepted) {
      // Only what changed, so that a flow or DTR change does not resend the
      // rate (some servers reopen the line for it).
      const TDCB* last = im.sentLine ? &*im.sentLine : nullptr;
      if (!last || last->BaudRate != dcb.BaudRate) c.SetBaudRate(dcb.BaudRate);
      if (!last || last->ByteSize != dcb.ByteSize) c.SetDataSize(dcb.ByteSize);
      if (!last || last->Parity != dcb.Parity) c.SetParity(RfcParity(dcb.Parity));
      if (!last || last->StopBits != dcb.StopBits) c.SetStopSize(RfcStopSize(dcb.StopBits));
      if (!last || RfcFlow(*last) != RfcFlow(dcb)) c.SetControl(RfcFlow(dcb));
      im.sentLine = dcb;
      im.lineRate = LineRate(dcb);
    } else if (!framingDefault || RfcFlow(dcb) != telnet::ctlFlowNone) {
      refused = "the server does not take RFC 2217 Com Port Control, so " + DescribeFraming(dcb) +
                " cannot be set (only 8N1 without flow control passes, at the server's rate)";
    } else if (!im.rateWarned) {
      im.rateWarned = true;
      warning = "the line rate stays the server's (" + std::to_string(dcb.BaudRate) + " was asked for)";
    }
  }
  if (!refused.empty()) {
    std::lock_guard g(im.textMutex);
    im.openError = refused;
    im.lastError = "settings: " + refused;
    return ecNotSupported;
  }
  if (!warning.empty()) {
    std::lock_guard g(im.textMutex);
    im.warnings.push_back(warning);
  }
  if (OutputReady) OutputReady->Set();
  return 0;
}

uint32_t TMroNetDispatcher::DeviceReadErrors(TDeviceStatus& status) {
  TLockGuard out(OutputLock);
  Impl& im = *Impl_;
  uint32_t in = uint32_t(std::min<size_t>(im.earlySize, kSocketInQueue));
  if (in == 0 && im.sock >= 0 && !im.eof) {
    pollfd p{im.sock, POLLIN, 0};
    if (poll(&p, 1, 0) == 1 && (p.revents & (POLLIN | POLLHUP | POLLERR))) in = kSocketInQueue;
  }
  status.InQueue = in;
  status.OutQueue = OutputWaitingLocked();
  return im.errors.exchange(0);
}

bool TMroNetDispatcher::DataWithin(int ms) {
  // A stream usually goes on: a moment's wait here saves handing the next
  // block over through the communications thread.
  Impl& im = *Impl_;
  if (im.earlySize > 0) return true;
  if (im.sock < 0 || im.gone) return false;
  pollfd p{im.sock, POLLIN, 0};
  return poll(&p, 1, ms) == 1 && (p.revents & POLLIN);
}

int32_t TMroNetDispatcher::DeviceRead(uint8_t* buffer, uint32_t count) {
  Impl& im = *Impl_;
  if (count == 0) return 0;
  if (!im.early.empty()) {
    const size_t n = std::min<size_t>(count, im.early.size());
    std::memcpy(buffer, im.early.data(), n);
    im.early.erase(im.early.begin(), im.early.begin() + long(n));
    im.earlySize = im.early.size();
    return int32_t(n);
  }
  if (im.sock < 0 || im.eof) return 0;
  const ssize_t n = recv(im.sock, buffer, count, MSG_DONTWAIT);
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
    im.gone = true;
    im.eof = true;
    Fail("recv", errno);
    return -1;
  }
  if (n == 0) {
    if (!im.gone) {
      std::lock_guard g(im.textMutex);
      im.lastError = "recv: the server closed the connection";
    }
    im.gone = true;
    im.eof = true;
    return -1;
  }
  if (!im.codec) return int32_t(n);
  size_t got;
  int modemState;
  uint8_t lineState;
  bool ring, suspended, owed;
  std::deque<telnet::TLogItem> log;
  {
    std::lock_guard g(im.codecMutex);
    TTelnetClient& c = *im.codec;
    got = c.Receive(buffer, size_t(n), buffer);
    modemState = c.ModemState();
    lineState = c.TakeLineState();
    ring = c.TakeRing();
    suspended = c.Suspended();
    owed = c.HasOutgoing();
    log = c.TakeLog();
  }
  uint32_t events = 0;
  if (modemState >= 0) {
    const uint8_t now = uint8_t(modemState) & 0xF0;
    const uint8_t before = im.modem.exchange(now);
    const uint8_t changed = now ^ before;
    if (changed & mbCts) events |= EV_CTS;
    if (changed & mbDsr) events |= EV_DSR;
    if (changed & mbDcd) events |= EV_RLSD;
    if ((before & mbRi) && !(now & mbRi)) ring = true;
  }
  if (ring) {
    RingSeen = true;
    events |= EV_RING;
  }
  const uint32_t errors = ((lineState & telnet::lsOverrun) ? leOverrun : 0) |
                          ((lineState & telnet::lsParity) ? leParity : 0) |
                          ((lineState & telnet::lsFraming) ? leFraming : 0) |
                          ((lineState & telnet::lsBreak) ? leBreak : 0);
  if (errors) {
    im.errors |= errors;
    CountLineErrors(errors);
    events |= ((errors & leBreak) ? EV_BREAK : 0) | ((errors & ~leBreak) ? EV_ERR : 0);
  }
  // This pass has looked at the modem lines already: the next one takes them.
  if (events) {
    im.pendingEvents |= events;
    WakeFd(im.commWake);
  }
  const bool resumed = im.suspended.exchange(suspended) && !suspended;
  if ((owed || resumed) && OutputReady) OutputReady->Set();
  for (const auto& item : log)
    AddLogEntry(lkTelnet, item.SubKind, item.Value, item.Data.data(), uint32_t(item.Data.size()));
  return int32_t(got);
}

int32_t TMroNetDispatcher::DeviceWrite(const uint8_t* data, uint32_t count) {
  if (Impl_->gone) return 0;
  AppendToTransmitRing(data, count);  // the caller wakes the output thread
  return int32_t(count);
}

int32_t TMroNetDispatcher::DevicePurge(bool input) {
  Impl& im = *Impl_;
  if (input) {
    {
      // What the socket holds now goes too, decoded: the Telnet state and
      // the notifications in it stay.
      TLockGuard in(InputLock);
      im.early.clear();
      im.earlySize = 0;
      uint8_t buf[4096];
      for (uint32_t total = 0; total < kSocketInQueue;) {
        const int32_t n = DeviceRead(buf, sizeof buf);
        if (n <= 0) break;
        total += uint32_t(n);
      }
    }
    Control([](TTelnetClient& c) { c.PurgeData(telnet::purgeReceive); });
    return 0;
  }
  // Emptied first, so that the output thread cannot take a run of the old
  // bytes between its acknowledgement and the emptying; while closing, the
  // thread first sends what the socket takes without waiting.
  if (!ShuttingDown) ClearTransmitRing();
  if (im.outAlive && !OutThread.IsCurrentThread()) {
    OutputAbort->Set();
    WakeFd(im.outputWake);
    while (!ThreadAck->Wait(50) && im.outAlive) {
    }
  }
  if (ShuttingDown) ClearTransmitRing();
  // While closing, what has been written stays written: the close passes it on.
  if (!ShuttingDown) Control([](TTelnetClient& c) { c.PurgeData(telnet::purgeTransmit); });
  return 0;
}

int32_t TMroNetDispatcher::DeviceYield() {
  std::this_thread::yield();
  return 0;
}

// --- Threads -------------------------------------------------------------------------------

struct NetThreads {
  using D = TMroNetDispatcher;
  enum class TWrite { Done, Aborted, Stopped, Failed };

  static void Com(D& d) {
    D::Impl& im = *d.Impl_;
    d.RunningThreads++;
    d.ThreadAck->Set();
    while (!d.StopRequested) {
      // Receive events only while the ring has room: poll is level-triggered,
      // and data left in the socket must wait rather than spin.
      const bool wantData = !im.gone && d.RingAcceptsData();
      pollfd fds[2] = {{im.commWake, POLLIN, 0}, {im.sock, short(wantData ? POLLIN : 0), 0}};
      const int rc = poll(fds, im.gone ? 1 : 2, !wantData && !im.gone ? kRingFullPollMs : -1);
      if (rc < 0 && errno != EINTR) {
        d.Fail("poll", errno);
        im.gone = true;
        break;
      }
      if (fds[0].revents & POLLIN) {
        DrainFd(im.commWake);
        if (d.StopRequested) break;
      }
      uint32_t events = im.pendingEvents.exchange(0);
      if (!im.gone && (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL))) {
        // Reset or shut: a last pass reads what is left and meets the end.
        im.gone = true;
        events |= EV_ERR | EV_RXCHAR;
      } else if (fds[1].revents & POLLIN) {
        events |= EV_RXCHAR;
      }
      if (events == 0) continue;
      d.DeviceEventMask = events;
      d.DeviceEventReady->Set();
      d.PassDone->Wait();
    }
    d.ThreadAck->Set();
    d.ThreadExit(im.comAlive, false);
  }

  static bool TakeAbort(D& d) {
    DrainFd(d.Impl_->outputWake);
    return d.OutputAbort->Wait(0);
  }

  // Writes bytes[at..n) to the socket; `at` follows what went.
  static TWrite Write(D& d, const uint8_t* bytes, size_t n, size_t& at) {
    D::Impl& im = *d.Impl_;
    while (at < n) {
      const ssize_t k = send(im.sock, bytes + at, n - at, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (k > 0) {
        at += size_t(k);
        continue;
      }
      if (k < 0 && errno == EINTR) continue;
      if (k < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
        d.Fail("send", errno);
        im.gone = true;
        return TWrite::Failed;
      }
      pollfd fds[2] = {{im.outputWake, POLLIN, 0}, {im.sock, POLLOUT, 0}};
      if (poll(fds, 2, -1) < 0 && errno != EINTR) {
        d.Fail("poll", errno);
        im.gone = true;
        return TWrite::Failed;
      }
      if ((fds[0].revents & POLLIN) && TakeAbort(d)) return TWrite::Aborted;
      if (d.StopRequested) return TWrite::Stopped;
    }
    return TWrite::Done;
  }

  // One run of the transmit ring, escaped. A write stopped part-way consumes
  // the ring bytes whose units went; a unit cut through keeps its rest.
  static TWrite SendData(D& d, size_t allowed) {
    D::Impl& im = *d.Impl_;
    TWrite result = TWrite::Done;
    d.SendTransmitRun([&](std::span<const uint8_t> run) -> int64_t {
      const size_t take = std::min({run.size(), kSendChunk, allowed});
      bool binary = true;
      im.encoded.clear();
      {
        std::lock_guard g(im.codecMutex);
        if (im.codec) {
          im.codec->EncodeData(run.data(), take, im.encoded);
          binary = im.codec->SendBinary();
        } else {
          im.encoded.assign(run.begin(), run.begin() + long(take));
        }
      }
      size_t at = 0;
      result = Write(d, im.encoded.data(), im.encoded.size(), at);
      if (result == TWrite::Failed) return -1;
      int64_t units = int64_t(take);
      if (result != TWrite::Done) {
        units = 0;
        for (size_t pos = 0; pos < at; ++units) {
          const size_t len = TTelnetClient::UnitLength(im.encoded[pos], binary);
          if (pos + len > at) im.torn.assign(im.encoded.begin() + long(at), im.encoded.begin() + long(pos + len));
          pos += len;
        }
      }
      im.pacer.Sent(size_t(units), Clock::now());
      return units;
    });
    return result;
  }

  static void DropAll(D& d) {
    while (d.SendTransmitRun([](std::span<const uint8_t>) -> int64_t { return -1; }) > 0) {
    }
    d.Impl_->torn.clear();
    d.Impl_->control.clear();
    d.Impl_->controlAt = 0;
  }

  // Sends until nothing is left to send (or the server holds our data), an
  // abort comes or the threads stop, or the line must catch up first: then
  // the milliseconds to wait (else -1). Messages go between runs of data,
  // never inside a unit, and never wait for the line.
  static int OutputLoop(D& d) {
    D::Impl& im = *d.Impl_;
    for (;;) {
      if (im.gone) {
        DropAll(d);
        return -1;
      }
      TWrite result;
      if (!im.torn.empty()) {
        size_t at = 0;
        result = Write(d, im.torn.data(), im.torn.size(), at);
        im.torn.erase(im.torn.begin(), im.torn.begin() + long(at));
      } else {
        if (im.controlAt == im.control.size()) {
          std::lock_guard g(im.codecMutex);
          im.control = im.codec ? im.codec->TakeOutgoing() : std::vector<uint8_t>{};
          im.controlAt = 0;
        }
        if (im.controlAt < im.control.size()) {
          result = Write(d, im.control.data(), im.control.size(), im.controlAt);
        } else if (!im.suspended && d.OutputWaitingNow() > 0) {
          im.pacer.SetRate(im.lineRate);
          const size_t allowed = im.pacer.Allowance(Clock::now());
          if (allowed == 0) return im.pacer.WaitMs();
          result = SendData(d, allowed);
        } else {
          return -1;
        }
      }
      switch (result) {
        case TWrite::Aborted: d.ThreadAck->Set(); return -1;
        case TWrite::Stopped: return -1;
        case TWrite::Failed: DropAll(d); return -1;
        case TWrite::Done: break;
      }
      // Someone waits for room or for the output to be sent: a pass now
      // rather than at the next 50 ms tick.
      if (d.OutputLevelWatched()) d.DeviceEventReady->Set();
    }
  }

  static void Out(D& d) {
    d.RunningThreads++;
    d.ThreadAck->Set();
    int waitMs = -1;  // the line catching up, or nothing to do
    while (!d.StopRequested && !d.Closing) {
      const int which = TEvent::WaitForPair(*d.OutputReady, *d.OutputAbort, waitMs < 0 ? kInfinite : uint32_t(waitMs));
      if (which == 1) {
        DrainFd(d.Impl_->outputWake);
        d.ThreadAck->Set();
        continue;
      }
      if (d.StopRequested) break;
      waitMs = OutputLoop(d);
    }
    d.ThreadExit(d.Impl_->outAlive, false);
  }
};

void TMroNetDispatcher::StartThreads() {
  TLockGuard status(StatusLock);
  if (ThreadsRunning) throw Exception("Dispatcher already started");
  ThreadsRunning = true;
  StopRequested = false;
  Impl_->comAlive = Impl_->dispAlive = Impl_->outAlive = true;
  ComThread.Start([this] { NetThreads::Com(*this); });
  ThreadAck->Wait(kStartAckMs);
  DispThread.Start([this] { DispatcherThreadBody(Impl_->dispAlive); });
  ThreadAck->Wait(kStartAckMs);
  OutThread.Start([this] { NetThreads::Out(*this); });
  ThreadAck->Wait(kStartAckMs);
}

void TMroNetDispatcher::StopThreads() {
  if (!ThreadsRunning) return;
  StopRequested = true;
  auto waitFor = [&](std::atomic<bool>& alive, TOwnedThread& thread) {
    AwaitThreadEnd(alive, thread, Impl_->joinMutex);
  };
  if (Impl_->outAlive) {
    OutputAbort->Set();
    WakeFd(Impl_->outputWake);
  }
  waitFor(Impl_->outAlive, OutThread);
  if (Impl_->comAlive) {
    WakeFd(Impl_->commWake);
    PassDone->Set();
    ThreadAck->Reset();
  }
  waitFor(Impl_->comAlive, ComThread);
  DeviceEventReady->Set();
  waitFor(Impl_->dispAlive, DispThread);
}

}  // namespace zav
