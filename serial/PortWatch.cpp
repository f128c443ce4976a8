#include "serial/PortWatch.h"

#include <libudev.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <optional>

#include "serial/PortMap.h"
#include "serial/QwNet.h"
#include "serial/QxPort.h"
#include "platform/MessageNumbers.h"

namespace zav {
namespace {

namespace fs = std::filesystem;

// A node may appear before udev has given it its owner and mode: a failed
// reopen is tried again this often, this many times after each arrival.
constexpr int kRetryMs = 200;
constexpr int kRetriesPerArrival = 15;

void NoteNode(TDeviceIdentity& id, const std::string& device) {
  struct stat st {};
  if (stat(device.c_str(), &st) == 0 && S_ISCHR(st.st_mode)) {
    id.NodeKnown = true;
    id.Rdev = st.st_rdev;
    id.Ino = st.st_ino;
  }
}

}  // namespace

TDeviceIdentity IdentifyComNumber(int comNumber) {
  TDeviceIdentity id;
  id.ComNumber = comNumber;
  const std::optional<TPortInfo> info = LookupPort(comNumber);
  if (!info || IsNetworkAddress(info->Device)) return id;
  if (info->Override)
    id.Path = PortsOverrideDir() + "/com" + std::to_string(comNumber);
  else
    id.Path = info->ById.empty() ? info->Device : info->ById;
  id.ById = info->ById;
  NoteNode(id, info->Device);
  return id;
}

TDeviceIdentity IdentifyDevice(const std::string& name) {
  if (const int com = ParseComName(name); com > 0) return IdentifyComNumber(com);
  TDeviceIdentity id;
  if (IsNetworkAddress(name)) return id;
  id.Path = name;
  NoteNode(id, name);
  return id;
}

bool DeviceBack(const TDeviceIdentity& gone, bool oldHeld) {
  if (gone.Path.empty()) return false;
  struct stat st {};
  if (stat(gone.Path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) return false;
  return !(oldHeld && gone.NodeKnown && st.st_rdev == gone.Rdev && st.st_ino == gone.Ino);
}

int ComNumberNow(const TDeviceIdentity& gone) {
  if (gone.ComNumber == 0 || gone.ById.empty()) return gone.ComNumber;
  // Numbers without an override follow the ports present: the adapter may now
  // sit elsewhere in that order.
  for (const TPortInfo& p : EnumeratePorts())
    if (p.ById == gone.ById) return p.ComNumber;
  return gone.ComNumber;
}

// --- The watch thread ------------------------------------------------------------

TDeviceWatch::TDeviceWatch(const std::string& path, std::function<void(bool)> onChange)
    : onChange_(std::move(onChange)) {
  wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  udev_ = udev_new();
  if (udev_) monitor_ = udev_monitor_new_from_netlink(udev_, "udev");
  if (monitor_ && udev_monitor_filter_add_match_subsystem_devtype(monitor_, "tty", nullptr) == 0 &&
      udev_monitor_enable_receiving(monitor_) == 0)
    udevFd_ = udev_monitor_get_fd(monitor_);
  // The nearest directory that exists above the path: an override entry or a
  // by-id link is made there (or the directory itself is).
  inotifyFd_ = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (inotifyFd_ >= 0 && !path.empty()) {
    std::error_code ec;
    for (fs::path dir = fs::path(path).parent_path(); !dir.empty(); dir = dir.parent_path()) {
      if (fs::is_directory(dir, ec)) {
        inotify_add_watch(inotifyFd_, dir.c_str(), IN_CREATE | IN_MOVED_TO | IN_ATTRIB | IN_CLOSE_WRITE);
        // The path's own directory too once it is made.
        if (dir != fs::path(path).parent_path())
          inotify_add_watch(inotifyFd_, dir.c_str(), IN_CREATE | IN_MOVED_TO | IN_ONLYDIR);
        break;
      }
      if (dir == dir.root_path()) break;
    }
  }
  parentPath_ = fs::path(path).parent_path().string();
  thread_.Start([this] { Run(); });
}

TDeviceWatch::~TDeviceWatch() {
  stop_ = true;
  const uint64_t one = 1;
  if (wakeFd_ >= 0) [[maybe_unused]] ssize_t n = write(wakeFd_, &one, sizeof one);
  thread_.Join();
  if (monitor_) udev_monitor_unref(monitor_);
  if (udev_) udev_unref(udev_);
  if (inotifyFd_ >= 0) close(inotifyFd_);
  if (wakeFd_ >= 0) close(wakeFd_);
}

void TDeviceWatch::RetryIn(int ms) {
  retryMs_ = ms;
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t n = write(wakeFd_, &one, sizeof one);
}

void TDeviceWatch::Run() {
  using Clock = std::chrono::steady_clock;
  std::optional<Clock::time_point> retryAt;
  while (!stop_) {
    pollfd fds[3] = {{wakeFd_, POLLIN, 0}, {udevFd_, POLLIN, 0}, {inotifyFd_, POLLIN, 0}};
    int timeout = -1;
    if (retryAt)
      timeout = int(std::max<int64_t>(
          0, std::chrono::duration_cast<std::chrono::milliseconds>(*retryAt - Clock::now()).count() + 1));
    const int rc = poll(fds, 3, timeout);
    if (rc < 0 && errno != EINTR) return;
    if (stop_) return;
    bool arrival = false, retry = false;
    if (fds[0].revents & POLLIN) {
      uint64_t v;
      [[maybe_unused]] ssize_t n = read(wakeFd_, &v, sizeof v);
      if (const int ms = retryMs_.exchange(-1); ms >= 0) retryAt = Clock::now() + std::chrono::milliseconds(ms);
    }
    if (fds[1].revents & POLLIN) {
      while (udev_device* dev = udev_monitor_receive_device(monitor_)) {
        const char* action = udev_device_get_action(dev);
        if (action && std::string(action) != "remove") arrival = true;
        udev_device_unref(dev);
      }
    }
    if (fds[2].revents & POLLIN) {
      alignas(inotify_event) char buf[4096];
      while (read(inotifyFd_, buf, sizeof buf) > 0) arrival = true;
      // The path's directory may have just been made: watch it as well.
      if (!parentPath_.empty())
        inotify_add_watch(inotifyFd_, parentPath_.c_str(), IN_CREATE | IN_MOVED_TO | IN_ATTRIB | IN_CLOSE_WRITE);
    }
    if (retryAt && Clock::now() >= *retryAt) {
      retryAt.reset();
      retry = true;
    }
    if (arrival || retry) onChange_(arrival);
  }
}

// --- Reopening ---------------------------------------------------------------------

TPortReconnect::TPortReconnect(TMroCustomComPort& port, std::string name) : port_(port), name_(std::move(name)) {
  window_ = CreateMessageWindow([this](HWND h, UINT msg, WPARAM w, LPARAM l) -> LRESULT {
    if (msg != MsgCheckDevice) return DefWindowProc(h, msg, w, l);
    if (w) attempts_ = 0;
    Check();
    return 0;
  });
  port_.OnDeviceGone = [this](TComponent*) { Gone(); };
  auto identify = [this] {
    identity_ = name_.empty() ? IdentifyComNumber(port_.ComNumber()) : IdentifyDevice(name_);
  };
  port_.AttachCallback({this, [this, identify](TMroCustomComPort*, bool opening) {
                          if (opening && !waiting_) identify();
                        }});
  if (port_.Open()) identify();
}

TPortReconnect::~TPortReconnect() {
  watch_.reset();
  port_.OnDeviceGone = nullptr;
  port_.DetachCallback(this);
  DestroyMessageWindow(window_);
}

void TPortReconnect::SetEnabled(bool on) {
  enabled_ = on;
  if (!on) {
    watch_.reset();
  } else if (waiting_ && !watch_) {
    Gone();
  }
}

void TPortReconnect::Forget() {
  waiting_ = false;
  watch_.reset();
}

void TPortReconnect::Gone() {
  if (!waiting_) {
    waiting_ = true;
    attempts_ = 0;
    if (OnGone) OnGone();
  }
  if (!enabled_ || identity_.Path.empty() || watch_) return;
  const HWND w = window_;
  watch_ = std::make_unique<TDeviceWatch>(identity_.Path, [w](bool arrival) {
    PostMessage(w, MsgCheckDevice, arrival ? 1 : 0, 0);
  });
  // It may be back already.
  PostMessage(window_, MsgCheckDevice, 1, 0);
}

void TPortReconnect::Check() {
  if (!waiting_ || !enabled_ || !watch_) return;
  const bool reopened = [&] { return port_.Open() && !port_.DeviceGone(); }();
  if (!reopened) {
    if (port_.PortPhase == TPortPhase::ppClosing) {  // the old device's close finishes first
      watch_->RetryIn(kRetryMs / 4);
      return;
    }
    if (!DeviceBack(identity_, port_.Open())) return;
    try {
      if (port_.Open()) port_.SetOpen(false);
      const int com = ComNumberNow(identity_);
      if (com > 0 && com != port_.ComNumber()) port_.SetComNumber(uint16_t(com));
      port_.SetOpen(true);
    } catch (const std::exception& e) {
      if (++attempts_ <= kRetriesPerArrival) watch_->RetryIn(kRetryMs);
      if (OnFailed) OnFailed(e.what());
      return;
    }
    if (!port_.Open() || port_.DeviceGone()) {
      watch_->RetryIn(kRetryMs / 4);
      return;
    }
  }
  waiting_ = false;
  watch_.reset();
  identity_ = name_.empty() ? IdentifyComNumber(port_.ComNumber()) : IdentifyDevice(name_);
  if (OnBack) OnBack();
}

}  // namespace zav
