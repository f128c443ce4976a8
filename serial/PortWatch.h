// A serial device coming back after it went away (an adapter pulled and
// plugged in again, a far end that ended and started anew).
//
// The device is known by a path that outlives it: its /dev/serial/by-id link,
// the override directory's com<n> entry, or the path that was opened. It is
// back once that path leads to a device node other than the one that went
// away. Arrivals are noticed without polling: a udev monitor on the tty
// subsystem (a device node appearing) and inotify on the path's directory (an
// override entry or a link made anew).
#pragma once

#include <sys/types.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "platform/Messages.h"
#include "platform/Thread.h"

struct udev;
struct udev_monitor;

namespace zav {

class TMroCustomComPort;

struct TDeviceIdentity {
  std::string Path;     // the path that outlives the device
  std::string ById;     // its by-id link, when it had one
  int ComNumber = 0;    // the COM number it was opened under (0: a path)
  bool NodeKnown = false;
  dev_t Rdev = 0;       // the node that was open
  ino_t Ino = 0;
};

// What an open of `name` ("COMn" / "\\.\COMn" or a device path) leads to now.
TDeviceIdentity IdentifyDevice(const std::string& name);
TDeviceIdentity IdentifyComNumber(int comNumber);
// Whether the identity's path leads to a device node again. While the old
// node is still held open (`oldHeld`) it may linger: it must be another one.
// Once let go its number may be handed out again, so any node counts.
bool DeviceBack(const TDeviceIdentity& gone, bool oldHeld);
// The COM number that leads to the identity's device now: the one it had when
// it still does, else the one whose device has the same by-id link.
int ComNumberNow(const TDeviceIdentity& gone);

// Watches for arrivals on its own thread and calls `onChange` there (never
// with a lock of ours held): with true after something arrived, with false
// for a retry that `RetryIn` asked for.
class TDeviceWatch {
 public:
  TDeviceWatch(const std::string& path, std::function<void(bool arrival)> onChange);
  ~TDeviceWatch();
  TDeviceWatch(const TDeviceWatch&) = delete;
  TDeviceWatch& operator=(const TDeviceWatch&) = delete;

  void RetryIn(int ms);
  // Whether udev events are seen (false in a container without udev: then the
  // directory watch alone notices arrivals).
  bool UdevWatched() const { return udevFd_ >= 0; }

 private:
  void Run();
  std::function<void(bool)> onChange_;
  std::string parentPath_;
  ::udev* udev_ = nullptr;
  ::udev_monitor* monitor_ = nullptr;
  int udevFd_ = -1;
  int inotifyFd_ = -1;
  int wakeFd_ = -1;
  std::atomic<int> retryMs_{-1};
  std::atomic<bool> stop_{false};
  TOwnedThread thread_;
};

// Reopens a com port whose device went away once it is back, with the same
// line settings (all held by the component). Runs on the GUI thread: it
// watches the port's OnDeviceGone and attaches to it as a callback user.
class TPortReconnect {
 public:
  // `name`: what the port was asked to open (empty: its COM number).
  TPortReconnect(TMroCustomComPort& port, std::string name = {});
  ~TPortReconnect();
  TPortReconnect(const TPortReconnect&) = delete;
  TPortReconnect& operator=(const TPortReconnect&) = delete;

  bool Enabled() const { return enabled_; }
  void SetEnabled(bool on);
  // The device went away and has not been reopened yet.
  bool Waiting() const { return waiting_; }
  // Stops waiting (the user closed the port or chose another).
  void Forget();

  std::function<void()> OnGone;                         // the device went away
  std::function<void()> OnBack;                         // reopened
  std::function<void(const std::string&)> OnFailed;     // a reopen failed (will try again)

 private:
  void Gone();
  void Check();
  TMroCustomComPort& port_;
  std::string name_;
  TDeviceIdentity identity_;
  bool enabled_ = true;
  bool waiting_ = false;
  int attempts_ = 0;
  HWND window_ = 0;
  std::unique_ptr<TDeviceWatch> watch_;
};

}  // namespace zav
