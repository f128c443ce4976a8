// The serial device dispatcher: a termios device behind the dispatcher's device
// operations, with the communications, dispatcher and output threads.
//
// On Linux dlWin32 is the native serial layer: the device is opened with
// open(2), made exclusive with flock (and TIOCEXCL), set raw with termios2, and
// watched with poll. Every failed system call goes through one place
// (DeviceFailure): its errno becomes the platform error number of
// PlatformErrorNumber (QxExcept.h: 2 not found, 3 path not found, 5 access
// denied or in use, ...; a failed open also gives 2 for a node with no
// hardware behind it) for GetLastError and the operation's result, and
// "call: reason" is kept as the last device error. The errno behind the last
// failed open is kept too, so a caller can tell "permission denied" from
// "in use". An exception on one of the three threads goes to the registered
// error reporter (ReportUnhandledError).
#pragma once

#include <string>

#include "serial/QwUser.h"

namespace zav {

class TMroWin32Dispatcher : public TMroBaseDispatcher {
 public:
  explicit TMroWin32Dispatcher(TComponent* owner);
  ~TMroWin32Dispatcher() override;

  // errno of the last failed DeviceOpen (0 if none).
  int LastOpenErrno() const { return LastOpenErrno_; }
  // A sentence for the user about the last failed open, e.g. "permission denied
  // (is the user in the dialout group?)" or "in use by another program".
  std::string LastOpenErrorText() const override;
  // The last failed system call and its reason, e.g. "TIOCMBIS: no such
  // device"; empty when none failed since the port opened.
  std::string LastDeviceError() const;
  // A sentence for the user about an errno (the texts of LastOpenErrorText).
  static std::string ErrnoReason(int err);
  // The device path actually opened.
  const std::string& DevicePath() const { return DevicePath_; }
  // The device hung up or went away while open: writes fail from then on, and
  // the port can only be closed (and opened again).
  bool DeviceGone() const override;
  bool DeviceHasModemLines() const override;

 protected:
  int32_t DeviceEscape(int function) override;
  int32_t DevicePurge(bool input) override;
  uint32_t DeviceReadErrors(TDeviceStatus& status) override;
  int32_t DeviceErrorHook(int32_t code) override;
  int32_t DeviceGetSettings(TDCB& dcb) override;
  int32_t DeviceRead(uint8_t* buffer, uint32_t count) override;
  int32_t DeviceSetSettings(const TDCB& dcb) override;
  int32_t DeviceWrite(const uint8_t* data, uint32_t count) override;
  bool DeviceSetupQueues(uint32_t inSize, uint32_t outSize) override;
  void StartThreads() override;
  void StopThreads() override;
  int32_t DeviceOpen(const std::string& name, uint32_t inSize, uint32_t outSize) override;
  int32_t DeviceClose() override;
  int32_t DeviceYield() override;
  void DeviceSetBreak(bool on) override;
  uint8_t DeviceModemStatus() override;
  uint32_t DeviceOutputQueued() override;
  void ReleaseResources() override;

  // Takes over a descriptor opened elsewhere (the telephony variant).
  int32_t AdoptDescriptor(int fd);
  bool DataWithin(int ms) override;
  void ReceiveStalled() override;
  void CloseDescriptor();
  // Puts the device and a wake-up of its own in the dispatcher thread's watch.
  void WatchFromDispatcher(int fd);
  // Records a failed system call (errno `err`): sets the platform error number
  // as the thread's last error and returns minus that number.
  int32_t DeviceFailure(const char* call, int err);

  int Fd_ = -1;
  int LastOpenErrno_ = 0;
  std::string DevicePath_;

 private:
  struct Impl;
  Impl* Impl_ = nullptr;
  friend struct Win32Threads;
};

// A dispatcher over a device handle that another service opened already. A
// handle of 0 fails with -2007 ("ie_NOpen - device not open"), one that cannot
// be duplicated with -6 (invalid handle).
class TMroTAPI32Dispatcher : public TMroWin32Dispatcher {
 public:
  TMroTAPI32Dispatcher(TComponent* owner, int handle);
  ~TMroTAPI32Dispatcher() override;

 protected:
  int32_t DeviceOpen(const std::string& name, uint32_t inSize, uint32_t outSize) override;

 private:
  int Handle_;
};

}  // namespace zav
