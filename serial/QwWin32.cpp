// The serial device dispatcher over a termios device.
#include "serial/QwWin32.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <mutex>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/FileNames.h"
#include "serial/PortMap.h"
#include "serial/QwWin32_parmrk.h"
#include "serial/QwWin32_termios2.h"
#include "serial/QxExcept.h"

namespace zav {
namespace {

constexpr uint32_t EV_RXCHAR = 0x0001;
constexpr uint32_t EV_CTS = 0x0008;
constexpr uint32_t EV_DSR = 0x0010;
constexpr uint32_t EV_RLSD = 0x0020;
constexpr uint32_t EV_BREAK = 0x0040;
constexpr uint32_t EV_ERR = 0x0080;
constexpr uint32_t EV_RING = 0x0100;

constexpr int kModemPollMs = 10;
constexpr uint32_t kLineDisciplineBuffer = 4095;  // the most one read of a tty returns
constexpr int kStartAckMs = 3000;

bool DirectoryMissing(const std::string& path) {
  const std::string dir = JustPathname(path);
  struct stat st {};
  return !dir.empty() && stat(dir.c_str(), &st) != 0;
}

void WakeFd(int fd) {
  if (fd < 0) return;
  uint64_t one = 1;
  [[maybe_unused]] ssize_t n = write(fd, &one, sizeof one);
}

// A descriptor closed with its owner.
class TFd {
 public:
  explicit TFd(int fd) : fd_(fd) {}
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  ~TFd() {
    if (fd_ >= 0) close(fd_);
  }
  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }

 private:
  int fd_;
};

void DrainFd(int fd) {
  if (fd < 0) return;
  uint64_t v;
  [[maybe_unused]] ssize_t n = read(fd, &v, sizeof v);
}

}  // namespace

// Device state shared by the three threads.
struct TMroWin32Dispatcher::Impl {
  int commWake = -1;    // ends the communications thread's wait (a mask of 0)
  int outputWake = -1;  // aborts the output thread's wait for room
  // The dispatcher thread's own watch: its eventfd (the events' wake-up) and
  // the device, edge-triggered, in one epoll set, so new bytes wake it at once.
  int dispatchWake = -1;
  int dispatchWatch = -1;
  std::atomic<bool> gone{false};  // hung up or removed
  std::atomic<uint32_t> errors{0};  // CE_ bits gathered since the last read
  bool modemSupported = true;
  bool icountSupported = true;
  serial_icounter_struct icount{};
  int lastModem = -1;
  TParmrkDecoder decoder;
  std::atomic<bool> marksOn{false};  // PARMRK is set: reads carry in-band marks
  TDCB shadow;  // what was last written, for the fields termios cannot hold
  bool haveOldTermios = false;
  termios oldTermios{};
  std::atomic<bool> comAlive{false}, dispAlive{false}, outAlive{false};
  std::mutex joinMutex;  // one joiner at a time: the owner and a late release may meet
  std::mutex fdMutex;
  std::atomic<uint32_t> wantEvents{0};
  mutable std::mutex errorMutex;
  std::string lastError;  // "call: reason" of the last failed system call
};

// --- Open and close ---------------------------------------------------------------

TMroWin32Dispatcher::TMroWin32Dispatcher(TComponent* owner) : TMroBaseDispatcher(owner), Impl_(new Impl) {}

TMroWin32Dispatcher::~TMroWin32Dispatcher() {
  CloseOnDestroy();
  if (ThreadsRunning) StopThreads();
  {
    std::lock_guard lock(Impl_->joinMutex);
    ComThread.Join();
    DispThread.Join();
    OutThread.Join();
  }
  CloseDescriptor();
  for (int fd : {Impl_->commWake, Impl_->outputWake, Impl_->dispatchWake, Impl_->dispatchWatch})
    if (fd >= 0) close(fd);
  delete Impl_;
}

bool TMroWin32Dispatcher::DeviceGone() const { return Impl_->gone; }

void TMroWin32Dispatcher::ReceiveStalled() { WakeFd(Impl_->commWake); }

void TMroWin32Dispatcher::WatchFromDispatcher(int fd) {
  // Without it the dispatcher thread waits on its events alone, as before.
  const int wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  const int watch = epoll_create1(EPOLL_CLOEXEC);
  epoll_event w{}, d{};
  w.events = EPOLLIN;
  w.data.fd = wake;
  d.events = EPOLLIN | EPOLLET;
  d.data.fd = fd;
  if (wake < 0 || watch < 0 || epoll_ctl(watch, EPOLL_CTL_ADD, wake, &w) != 0 ||
      epoll_ctl(watch, EPOLL_CTL_ADD, fd, &d) != 0) {
    if (wake >= 0) close(wake);
    if (watch >= 0) close(watch);
    return;
  }
  Impl_->dispatchWake = DispatchWakeFd = wake;
  Impl_->dispatchWatch = DispatchWatchFd = watch;
}

bool TMroWin32Dispatcher::DataWithin(int ms) {
  // A stream usually goes on: waiting a moment here saves handing the next
  // block over through the communications thread.
  if (Fd_ < 0 || Impl_->gone) return false;
  pollfd p{Fd_, POLLIN, 0};
  const int rc = poll(&p, 1, ms);
  if (rc < 0 && errno != EINTR) DeviceFailure("poll", errno);
  return rc == 1 && (p.revents & POLLIN) && !(p.revents & POLLHUP);
}

int32_t TMroWin32Dispatcher::DeviceFailure(const char* call, int err) {
  const uint32_t number = PlatformErrorNumber(err);
  {
    std::lock_guard lock(Impl_->errorMutex);
    Impl_->lastError = std::string(call) + ": " + ErrnoReason(err);
  }
  SetLastError(number);
  return -int32_t(number);
}

std::string TMroWin32Dispatcher::LastDeviceError() const {
  std::lock_guard lock(Impl_->errorMutex);
  return Impl_->lastError;
}

std::string TMroWin32Dispatcher::LastOpenErrorText() const {
  return LastOpenErrno_ == 0 ? std::string() : ErrnoReason(LastOpenErrno_);
}

std::string TMroWin32Dispatcher::ErrnoReason(int err) {
  switch (err) {
    case EACCES:
    case EPERM:
      return "permission denied (is the user in the dialout group?)";
    case EBUSY:
    case EWOULDBLOCK:
      return "in use by another program";
    case ENOENT:
    case ENXIO:
    case ENODEV:
      return "no such device";
    case ENOTTY:
      return "not a serial device";
    case EIO:
      return "no hardware behind the device";
    default:
      return std::strerror(err);
  }
}

int32_t TMroWin32Dispatcher::DeviceOpen(const std::string& name, uint32_t, uint32_t) {
  LastOpenErrno_ = 0;
  std::string path = ResolveDeviceName(name);
  auto fail = [&](const char* call, int err) {
    LastOpenErrno_ = err;
    DeviceFailure(call, err);
    // For an open, a node with no hardware behind it is not found either; a
    // missing device is "path not found" when its directory is missing too.
    if (err == EIO) SetLastError(kErrFileNotFound);
    if (err == ENOENT && DirectoryMissing(path)) SetLastError(kErrPathNotFound);
    return -1;
  };
  if (path.empty()) return fail("open", ENOENT);
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return fail("open", errno);
  termios probe{};
  if (tcgetattr(fd, &probe) != 0) {
    int err = errno;
    close(fd);
    return fail("tcgetattr", err == ENOTTY || err == EINVAL ? ENOTTY : err);
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    return fail("flock", EBUSY);
  }
  // No hardware behind the node: the first modem-line read fails with EIO.
  int lines = 0;
  if (ioctl(fd, TIOCMGET, &lines) != 0 && errno == EIO) {
    close(fd);
    return fail("TIOCMGET", EIO);
  }
  // Other openers are refused from now on; the flock above already keeps our
  // own kind away, so a driver without it is no reason to fail.
  if (ioctl(fd, TIOCEXCL) != 0) DeviceFailure("TIOCEXCL", errno);
  Impl_->oldTermios = probe;
  Impl_->haveOldTermios = true;
  return AdoptDescriptor(fd);
}

int32_t TMroWin32Dispatcher::AdoptDescriptor(int fd) {
  DispatchWatchFd = DispatchWakeFd = -1;
  for (int* w : {&Impl_->commWake, &Impl_->outputWake, &Impl_->dispatchWake, &Impl_->dispatchWatch}) {
    if (*w >= 0) close(*w);
    *w = -1;
  }
  Impl_->commWake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  Impl_->outputWake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (Impl_->commWake < 0 || Impl_->outputWake < 0) {
    if (Impl_->commWake >= 0) close(Impl_->commWake);
    if (Impl_->outputWake >= 0) close(Impl_->outputWake);
    Impl_->commWake = Impl_->outputWake = -1;
    close(fd);
    return ecOutOfMemory;
  }
  // Capabilities: a driver without modem lines or error counters answers
  // ENOTTY or EINVAL; any other failure is worth a record as well.
  auto supports = [this](int rc, const char* call) {
    if (rc == 0) return true;
    if (errno != ENOTTY && errno != EINVAL) DeviceFailure(call, errno);
    return false;
  };
  int lines = 0;
  Impl_->modemSupported = supports(ioctl(fd, TIOCMGET, &lines), "TIOCMGET");
  Impl_->icountSupported = supports(ioctl(fd, TIOCGICOUNT, &Impl_->icount), "TIOCGICOUNT");
  {
    std::lock_guard lock(Impl_->errorMutex);
    Impl_->lastError.clear();
  }
  WatchFromDispatcher(fd);
  Impl_->lastModem = -1;
  Impl_->gone = false;
  Impl_->errors = 0;
  Impl_->decoder.Reset();
  Fd_ = fd;
  DeviceHandle_ = fd;
  DevicePath_ = "";
  char link[64];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  char target[4096];
  ssize_t n = readlink(link, target, sizeof target - 1);
  if (n > 0) DevicePath_.assign(target, size_t(n));
  return fd;
}

int32_t TMroWin32Dispatcher::DeviceClose() {
  if (ThreadsRunning) {
    StopRequested = true;
    WakeFd(Impl_->commWake);
    if (DeviceEventReady) DeviceEventReady->Set();  // no need to sit out the 50 ms
    if (PassDone) PassDone->Set();
    if (ThreadAck) ThreadAck->Reset();
  }
  DeviceHandle_ = -1;
  // The descriptor itself goes once the threads are gone (ReleaseResources):
  // a number closed under a running thread could be reused by another file.
  if (!ThreadsRunning) CloseDescriptor();
  return 0;
}

void TMroWin32Dispatcher::ReleaseResources() {
  TMroBaseDispatcher::ReleaseResources();  // stops the threads first
  // Only the calling thread may still run now (the dispatcher thread releasing
  // on its way out), and it does not touch the device any more.
  if (DeviceHandle_ < 0 && (!ThreadsRunning || DispThread.IsCurrentThread())) CloseDescriptor();
}

void TMroWin32Dispatcher::CloseDescriptor() {
  std::lock_guard lock(Impl_->fdMutex);
  if (Fd_ < 0) return;
  // A device that went away fails these; the close goes on all the same.
  if (ioctl(Fd_, TIOCNXCL) != 0) DeviceFailure("TIOCNXCL", errno);
  // Output the driver still holds gets the time the line needs to send it,
  // and two seconds for a far side that reads late (a pseudo-terminal's
  // reader on a busy machine); what is left after that is dropped, so close()
  // cannot wait half a minute for a line that does not take it. Nothing
  // queued means no flush: on a pseudo-terminal a flush would discard bytes
  // the far side has not read yet.
  int queued = 0;
  if (ioctl(Fd_, TIOCOUTQ, &queued) == 0 && queued > 0) {
    const int64_t needMs = int64_t(queued) * 10 * 1000 / std::max<int64_t>(CurrentBaud(), 50) + 2000;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::min<int64_t>(needMs, 5000));
    while (queued > 0 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      if (ioctl(Fd_, TIOCOUTQ, &queued) != 0) break;
    }
    if (queued > 0 && tcflush(Fd_, TCOFLUSH) != 0) DeviceFailure("tcflush", errno);
  }
  if (Impl_->haveOldTermios && tcsetattr(Fd_, TCSANOW, &Impl_->oldTermios) != 0) DeviceFailure("tcsetattr", errno);
  Impl_->haveOldTermios = false;
  close(Fd_);
  Fd_ = -1;
}

// --- Device operations ------------------------------------------------------------

uint32_t TMroWin32Dispatcher::DeviceOutputQueued() {
  int queued = 0;
  if (Fd_ < 0 || ioctl(Fd_, TIOCOUTQ, &queued) != 0 || queued < 0) return 0;
  return uint32_t(queued);
}

int32_t TMroWin32Dispatcher::DeviceEscape(int function) {
  int bit = 0;
  unsigned long req = 0;
  switch (function) {
    case kEscSetRts: bit = TIOCM_RTS; req = TIOCMBIS; break;
    case kEscClrRts: bit = TIOCM_RTS; req = TIOCMBIC; break;
    case kEscSetDtr: bit = TIOCM_DTR; req = TIOCMBIS; break;
    case kEscClrDtr: bit = TIOCM_DTR; req = TIOCMBIC; break;
    default: return 0;  // no UART base address on this platform
  }
  // A pseudo-terminal has no modem lines: not supported, not an error; nor is
  // a device that went away (writes are dropped as well).
  if (Fd_ < 0 || !Impl_->modemSupported || Impl_->gone) return 0;
  if (ioctl(Fd_, req, &bit) != 0) return DeviceFailure(req == TIOCMBIS ? "TIOCMBIS" : "TIOCMBIC", errno);
  return 0;
}

bool TMroWin32Dispatcher::DeviceHasModemLines() const { return Fd_ >= 0 && Impl_ && Impl_->modemSupported; }

int32_t TMroWin32Dispatcher::DevicePurge(bool input) {
  if (input) {
    {
      TLockGuard in(InputLock);  // the decoder belongs to the reading side
      Impl_->decoder.Reset();
    }
    if (Fd_ >= 0 && tcflush(Fd_, TCIFLUSH) != 0) return DeviceFailure("tcflush", errno);
    return 0;
  }
  // The ring is emptied before the output thread is stopped: emptied after,
  // the thread could take a run of the old bytes in between, write it once the
  // purge had returned, or wait for room for it that a flushed pseudo-terminal
  // never reports, with the bytes written next stuck behind it. A close is the
  // exception: the thread first sends what the driver takes without waiting
  // (a cancel written just before the close still reaches the far end).
  if (!ShuttingDown) ClearTransmitRing();
  if (Impl_->outAlive && !OutThread.IsCurrentThread()) {
    OutputAbort->Set();
    WakeFd(Impl_->outputWake);
    // The acknowledgement comes from the idle wait or from the abandoned write;
    // a thread that is ending instead is not waited for.
    while (!ThreadAck->Wait(50) && Impl_->outAlive) {
    }
  }
  if (ShuttingDown) {
    ClearTransmitRing();
    return 0;  // CloseDescriptor gives the driver's queue its time
  }
  if (Fd_ >= 0 && tcflush(Fd_, TCOFLUSH) != 0) return DeviceFailure("tcflush", errno);
  return 0;
}

uint32_t TMroWin32Dispatcher::DeviceReadErrors(TDeviceStatus& status) {
  TLockGuard out(OutputLock);
  // FIONREAD takes the tty's termios lock for writing and so stalls the
  // kernel's own delivery of input; a zero-time poll answers "anything there?"
  // without that, and a read returns at most what the line discipline holds.
  pollfd p{Fd_, POLLIN, 0};
  const int rc = Fd_ >= 0 ? poll(&p, 1, 0) : 0;
  if (rc < 0 && errno != EINTR) DeviceFailure("poll", errno);
  status.InQueue = rc == 1 && (p.revents & POLLIN) ? kLineDisciplineBuffer : 0;
  status.OutQueue = OutputWaitingLocked();
  return Impl_->errors.exchange(0);
}

int32_t TMroWin32Dispatcher::DeviceErrorHook(int32_t) { return 0; }

int32_t TMroWin32Dispatcher::DeviceGetSettings(TDCB& dcb) {
  dcb = Impl_->shadow;
  if (Fd_ < 0) return -int32_t(kErrInvalidHandle);
  TTermios2 t;
  if (const int err = GetTermios2(Fd_, t); err != 0) return DeviceFailure("TCGETS2", err);
  dcb.BaudRate = t.ospeed;
  switch (t.cflag & CSIZE) {
    case CS5: dcb.ByteSize = 5; break;
    case CS6: dcb.ByteSize = 6; break;
    case CS7: dcb.ByteSize = 7; break;
    default: dcb.ByteSize = 8; break;
  }
  if (!(t.cflag & PARENB))
    dcb.Parity = 0;
  else if (t.cflag & CMSPAR)
    dcb.Parity = (t.cflag & PARODD) ? 3 : 4;
  else
    dcb.Parity = (t.cflag & PARODD) ? 1 : 2;
  dcb.StopBits = (t.cflag & CSTOPB) ? (dcb.ByteSize == 5 ? 1 : 2) : 0;
  dcb.Flags = (dcb.Flags & ~(dcbOutX | dcbInX)) | ((t.iflag & IXON) ? dcbOutX : 0) | ((t.iflag & IXOFF) ? dcbInX : 0);
  dcb.XonChar = t.cc[VSTART];
  dcb.XoffChar = t.cc[VSTOP];
  dcb.Flags |= dcbBinary;
  return 0;
}

int32_t TMroWin32Dispatcher::DeviceSetSettings(const TDCB& dcb) {
  if (Fd_ < 0) return -int32_t(kErrInvalidHandle);
  TTermios2 t;
  if (const int err = GetTermios2(Fd_, t); err != 0) return DeviceFailure("TCGETS2", err);
  // Raw, with in-band marks for line errors and breaks.
  // In-band marks only where line errors can happen: PARMRK takes the line
  // discipline off its raw fast path, which a pseudo-terminal (no UART, no
  // errors) would pay for in throughput.
  const bool lineErrors = Impl_->modemSupported || Impl_->icountSupported;
  Impl_->marksOn = lineErrors;
  t.iflag = (lineErrors ? PARMRK : 0) | ((dcb.Flags & dcbOutX) ? IXON : 0) | ((dcb.Flags & dcbInX) ? IXOFF : 0);
  if (dcb.Parity != 0) t.iflag |= INPCK;
  t.oflag = 0;
  t.lflag = 0;
  t.cflag = CREAD | CLOCAL | HUPCL;
  switch (dcb.ByteSize) {
    case 5: t.cflag |= CS5; break;
    case 6: t.cflag |= CS6; break;
    case 7: t.cflag |= CS7; break;
    default: t.cflag |= CS8; break;
  }
  switch (dcb.Parity) {
    case 1: t.cflag |= PARENB | PARODD; break;
    case 2: t.cflag |= PARENB; break;
    case 3: t.cflag |= PARENB | CMSPAR | PARODD; break;
    case 4: t.cflag |= PARENB | CMSPAR; break;
    default: break;
  }
  if (dcb.StopBits != 0) t.cflag |= CSTOPB;  // with 5 data bits the UART makes it 1.5
  // CTS flow and RTS handshake are one switch on this platform.
  if ((dcb.Flags & dcbOutxCtsFlow) || (dcb.Flags & dcbRtsControlMask) == dcbRtsHandshake) t.cflag |= CRTSCTS;
  std::memset(t.cc, 0, sizeof t.cc);
  t.cc[VMIN] = 1;
  t.cc[VTIME] = 0;
  t.cc[VSTART] = dcb.XonChar;
  t.cc[VSTOP] = dcb.XoffChar;
  t.ispeed = t.ospeed = dcb.BaudRate;
  Impl_->shadow = dcb;
  int err = SetTermios2(Fd_, t);
  if ((dcb.Flags & dcbRtsControlMask) == dcbRtsToggle) {
    serial_rs485 rs{};
    rs.flags = SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
    // ENOTTY: the driver has no RS-485 support and RTS stays as it is.
    if (ioctl(Fd_, TIOCSRS485, &rs) != 0 && errno != ENOTTY) DeviceFailure("TIOCSRS485", errno);
  }
  if (err == 0) return 0;
  // A rate or size the driver refuses is EINVAL (87); the rest a failure of
  // the device (31), never a missing one: it is open.
  const int32_t rc = DeviceFailure("TCSETS2", err);
  return rc == -int32_t(kErrInvalidParameter) ? rc : -int32_t(kErrGeneralFailure);
}

int32_t TMroWin32Dispatcher::DeviceRead(uint8_t* buffer, uint32_t count) {
  if (Fd_ < 0 || count == 0) return 0;
  ssize_t n = read(Fd_, buffer, count);
  if (n < 0) {
    if (errno == EAGAIN || errno == EINTR) return 0;
    Impl_->gone = true;
    DeviceFailure("read", errno);
    return -1;
  }
  if (n == 0) {  // hung up or removed
    Impl_->gone = true;
    return -1;
  }
  if (!Impl_->marksOn) return int32_t(n);
  uint32_t marks = 0, breaks = 0;
  size_t got = Impl_->decoder.Decode(buffer, size_t(n), marks, breaks);
  if (marks || breaks) {
    // Without the driver's counters a mark is taken as a framing error.
    uint32_t bits = (breaks ? leBreak : 0) | (marks && !Impl_->icountSupported ? leFraming : 0);
    Impl_->errors |= bits;
    // With the driver's counters those count them all, breaks included.
    if (!Impl_->icountSupported) {
      CountLineErrors(leFraming, marks);
      CountLineErrors(leBreak, breaks);
    }
  }
  return int32_t(got);
}

int32_t TMroWin32Dispatcher::DeviceWrite(const uint8_t* data, uint32_t count) {
  if (Impl_->gone) return 0;
  // With the output thread idle and nothing ahead in the ring, what the driver
  // takes without waiting goes now: an answer to the far end (the next block
  // after an acknowledgement) then does not wait for the thread to wake. The
  // rest, and any failure, is the output thread's as before.
  uint32_t taken = 0;
  if (Fd_ >= 0 && !ShuttingDown && TransmitIdleLocked()) {
    const ssize_t n = write(Fd_, data, count);
    if (n > 0) taken = uint32_t(n);
  }
  if (taken < count) AppendToTransmitRing(data + taken, count - taken);  // the caller wakes the output thread
  return int32_t(count);
}

bool TMroWin32Dispatcher::DeviceSetupQueues(uint32_t, uint32_t) {
  // The kernel's queues are fixed; the sizes are those of our own rings.
  return true;
}

int32_t TMroWin32Dispatcher::DeviceYield() {
  std::this_thread::yield();
  return 0;
}

void TMroWin32Dispatcher::DeviceSetBreak(bool on) {
  if (Fd_ < 0 || Impl_->gone) return;
  // A pseudo-terminal takes it and does nothing.
  if (ioctl(Fd_, on ? TIOCSBRK : TIOCCBRK) != 0) DeviceFailure(on ? "TIOCSBRK" : "TIOCCBRK", errno);
}

uint8_t TMroWin32Dispatcher::DeviceModemStatus() {
  // Without modem lines (a pseudo-terminal) the line looks like a null-modem
  // cable with its handshake lines looped back: CTS, DSR and carrier on.
  if (Fd_ < 0 || !Impl_->modemSupported) return mbCts | mbDsr | mbDcd;
  int lines = 0;
  if (ioctl(Fd_, TIOCMGET, &lines) != 0) {
    DeviceFailure("TIOCMGET", errno);
    return 0;
  }
  return uint8_t(((lines & TIOCM_CTS) ? mbCts : 0) | ((lines & TIOCM_DSR) ? mbDsr : 0) |
                 ((lines & TIOCM_RI) ? mbRi : 0) | ((lines & TIOCM_CD) ? mbDcd : 0));
}

// --- Threads -----------------------------------------------------------------------

// The three thread bodies, kept together as one friend of the dispatcher.
struct Win32Threads {
  using D = TMroWin32Dispatcher;

  // Modem-line and error-counter changes since the last look, as event bits.
  static uint32_t PollLines(D& d) {
    D::Impl& im = *d.Impl_;
    uint32_t events = 0;
    if (im.modemSupported) {
      int lines = 0;
      if (ioctl(d.Fd_, TIOCMGET, &lines) == 0) {
        if (im.lastModem >= 0) {
          int changed = lines ^ im.lastModem;
          if (changed & TIOCM_CTS) events |= EV_CTS;
          if (changed & TIOCM_DSR) events |= EV_DSR;
          if (changed & TIOCM_CD) events |= EV_RLSD;
          if ((im.lastModem & TIOCM_RI) && !(lines & TIOCM_RI)) {
            events |= EV_RING;
            d.RingSeen = true;
          }
        }
        im.lastModem = lines;
      } else {
        if (errno == EIO || errno == ENODEV) im.gone = true;
        d.DeviceFailure("TIOCMGET", errno);
      }
    }
    if (im.icountSupported) {
      serial_icounter_struct c{};
      if (ioctl(d.Fd_, TIOCGICOUNT, &c) == 0) {
        uint32_t bits = 0;
        if (c.overrun != im.icount.overrun) bits |= leOverrun;
        if (c.buf_overrun != im.icount.buf_overrun) bits |= leRxOverflow;
        if (c.parity != im.icount.parity) bits |= leParity;
        if (c.frame != im.icount.frame) bits |= leFraming;
        if (c.brk != im.icount.brk) bits |= leBreak;
        d.CountLineErrors(leOverrun, c.overrun - im.icount.overrun);
        d.CountLineErrors(leRxOverflow, c.buf_overrun - im.icount.buf_overrun);
        d.CountLineErrors(leParity, c.parity - im.icount.parity);
        d.CountLineErrors(leFraming, c.frame - im.icount.frame);
        d.CountLineErrors(leBreak, c.brk - im.icount.brk);
        if (bits) {
          im.errors |= bits;
          events |= (bits & leBreak) ? EV_BREAK : 0;
          events |= (bits & ~leBreak) ? EV_ERR : 0;
        }
        im.icount = c;
      } else {
        d.DeviceFailure("TIOCGICOUNT", errno);
      }
    }
    return events;
  }

  // The communications thread: waits for new bytes (edge-triggered, so a
  // pass still reading is not waited for and each arrival costs one wake-up),
  // hang-up, modem-line and error-counter changes, and hands them to the
  // dispatcher thread as event bits (new bytes only where that thread does
  // not watch the device itself).
  static void Com(D& d) {
    D::Impl& im = *d.Impl_;
    d.RunningThreads++;
    d.ThreadAck->Set();
    const TFd ep(epoll_create1(EPOLL_CLOEXEC));
    auto watch = [&](int op, int fd, uint32_t events, uint32_t tag) {
      epoll_event ev{};
      ev.events = events;
      ev.data.u32 = tag;
      if (epoll_ctl(ep.Get(), op, fd, &ev) == 0) return true;
      d.DeviceFailure("epoll_ctl", errno);
      return false;
    };
    enum : uint32_t { kWakeTag, kDeviceTag };
    // Bytes are watched only while the ring has room: what stays in the
    // driver is looked at again (arming reports it) once the ring has room.
    bool armed = !im.gone && d.RingAcceptsData();
    if (!ep.Valid() || !watch(EPOLL_CTL_ADD, im.commWake, EPOLLIN, kWakeTag) ||
        (!im.gone && !watch(EPOLL_CTL_ADD, d.Fd_, EPOLLET | (armed ? EPOLLIN : 0u), kDeviceTag))) {
      if (!ep.Valid()) d.DeviceFailure("epoll_create1", errno);
      im.gone = true;  // nothing can be watched: the port reads as gone
      d.DeviceEventMask.fetch_or(EV_ERR | EV_RXCHAR);
      d.DeviceEventReady->Set();
    }
    // With the dispatcher thread watching the device too, a new arrival is
    // its news; reported from here are only the bytes found on arming again,
    // which waited in the driver while the ring had no room (no new edge
    // wakes the dispatcher thread for those).
    const bool dispatcherWatches = im.dispatchWatch >= 0;
    bool rearmed = armed;  // bytes already waiting at the start count as found on arming
    while (!d.StopRequested && ep.Valid()) {
      const bool wantData = !im.gone && d.RingAcceptsData();
      if (!im.gone && wantData != armed) {
        watch(EPOLL_CTL_MOD, d.Fd_, EPOLLET | (wantData ? EPOLLIN : 0u), kDeviceTag);
        armed = wantData;
        rearmed = wantData;
      }
      const bool linesPolled = im.modemSupported || im.icountSupported;
      const int timeout = (linesPolled || !wantData) && !im.gone ? kModemPollMs : -1;
      epoll_event got[2];
      const int n = epoll_wait(ep.Get(), got, 2, timeout);
      if (n < 0 && errno != EINTR) {
        d.DeviceFailure("epoll_wait", errno);
        im.gone = true;
        break;
      }
      uint32_t device = 0;
      for (int i = 0; i < n; ++i) {
        if (got[i].data.u32 == kWakeTag) DrainFd(im.commWake);
        else device |= got[i].events;
      }
      if (d.StopRequested) break;
      uint32_t events = 0;
      if (!im.gone && (device & (EPOLLHUP | EPOLLERR))) {
        im.gone = true;
        epoll_ctl(ep.Get(), EPOLL_CTL_DEL, d.Fd_, nullptr);
        events |= EV_ERR | EV_RXCHAR;  // a last pass reads what is left and sees the end
      } else if ((device & EPOLLIN) && (!dispatcherWatches || rearmed)) {
        events |= EV_RXCHAR;
      }
      rearmed = false;  // the wait after arming reported what was there
      if (!im.gone && linesPolled) events |= PollLines(d);
      if (events == 0) continue;
      d.DeviceEventMask.fetch_or(events);
      d.DeviceEventReady->Set();
    }
    d.ThreadAck->Set();
    d.ThreadExit(im.comAlive, false);
  }

  // Takes a pending abort of the output: the event and its wake-up descriptor.
  static bool TakeAbort(D& d) {
    DrainFd(d.Impl_->outputWake);
    return d.OutputAbort->Wait(0);
  }

  // Sends the transmit ring. Returns false when an abort arrived.
  static bool OutputLoop(D& d) {
    enum { kGoOn, kStop, kAborted } outcome = kGoOn;
    for (;;) {
      const uint32_t sent = d.SendTransmitRun([&](std::span<const uint8_t> run) -> int64_t {
        for (;;) {
          const ssize_t n = write(d.Fd_, run.data(), run.size());
          if (n >= 0) return n;
          // Failed for good: the run is dropped (the writer has long returned).
          if (errno != EAGAIN && errno != EINTR) return d.DeviceFailure("write", errno);
          pollfd fds[2] = {{d.Impl_->outputWake, POLLIN, 0}, {d.Fd_, POLLOUT, 0}};
          if (poll(fds, 2, -1) < 0 && errno != EINTR) return d.DeviceFailure("poll", errno);
          if ((fds[0].revents & POLLIN) && TakeAbort(d)) {
            d.ThreadAck->Set();
            outcome = kAborted;
            return 0;
          }
          if (d.StopRequested) {
            outcome = kStop;
            return 0;
          }
        }
      });
      if (outcome == kAborted) return false;
      if (sent == 0) return true;  // nothing left, or told to stop
      // Someone waits for room or for the output to be sent: a pass now rather
      // than at the next 50 ms tick.
      if (d.OutputLevelWatched()) d.DeviceEventReady->Set();
    }
  }

  static void Out(D& d) {
    d.RunningThreads++;
    d.ThreadAck->Set();
    while (!d.StopRequested && !d.Closing) {
      int which = TEvent::WaitForPair(*d.OutputReady, *d.OutputAbort);
      if (which == 0) {
        if (d.StopRequested) break;
        OutputLoop(d);
      } else if (which == 1) {
        DrainFd(d.Impl_->outputWake);
        d.ThreadAck->Set();
      }
    }
    d.ThreadExit(d.Impl_->outAlive, false);
  }
};

void TMroWin32Dispatcher::StartThreads() {
  TLockGuard status(StatusLock);
  if (ThreadsRunning) throw Exception("Dispatcher already started");
  ThreadsRunning = true;
  StopRequested = false;
  Impl_->comAlive = Impl_->dispAlive = Impl_->outAlive = true;
  ComThread.Start([this] { Win32Threads::Com(*this); });
  ThreadAck->Wait(kStartAckMs);
  DispThread.Start([this] { DispatcherThreadBody(Impl_->dispAlive); });
  ThreadAck->Wait(kStartAckMs);
  OutThread.Start([this] { Win32Threads::Out(*this); });
  ThreadAck->Wait(kStartAckMs);
}

void TMroWin32Dispatcher::StopThreads() {
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

// --- The telephony variant ------------------------------------------------------------

TMroTAPI32Dispatcher::TMroTAPI32Dispatcher(TComponent* owner, int handle)
    : TMroWin32Dispatcher(owner), Handle_(handle) {}

// The threads stop while this object is whole: one that makes a virtual call
// during the base's destructor would race with the vtable's change.
TMroTAPI32Dispatcher::~TMroTAPI32Dispatcher() { CloseOnDestroy(); }

int32_t TMroTAPI32Dispatcher::DeviceOpen(const std::string&, uint32_t, uint32_t) {
  if (Handle_ == 0) {
    SetLastError(kErrCommNotOpen);
    return ecCommNotOpen;
  }
  int fd = fcntl(Handle_, F_DUPFD_CLOEXEC, 0);
  if (fd < 0) {
    DeviceFailure("F_DUPFD", errno);
    SetLastError(kErrInvalidHandle);  // whatever the reason: the handle given is of no use
    return -1;
  }
  return AdoptDescriptor(fd);
}

}  // namespace zav
