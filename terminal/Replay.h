// A recorded byte stream through a headless terminal: the emulator (TTY or
// VT100) on a host with no port and no drawing, then the screen dump. Used by
// `mero replay`, the golden tests and the fuzz targets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "terminal/QXTrmEmu.h"

namespace zav {

class TReplaySession {
 public:
  // Screen sizes a session takes (the buffer needs two rows and columns).
  static constexpr int kMinSize = 2, kMaxSize = 255;

  // rows and cols of 0 keep the buffer's 24 x 80; otherwise both are in
  // kMinSize .. kMaxSize (std::invalid_argument), and the history grows to
  // hold the rows when it is smaller.
  TReplaySession(bool vt100, int rows = 0, int cols = 0);
  ~TReplaySession();
  TReplaySession(const TReplaySession&) = delete;
  TReplaySession& operator=(const TReplaySession&) = delete;

  // Hands `size` bytes to the emulator in blocks of at most `chunk` (> 0).
  void Feed(const uint8_t* data, size_t size, size_t chunk);
  // The screen dump (ScreenDump.h); `full` false keeps the header and [text].
  std::string Dump(bool full) const;

  TQxTerminalEmulator& Emulator() { return *emulator_; }
  int Bells() const;

 private:
  class Host;
  std::unique_ptr<Host> host_;
  std::unique_ptr<TQxTerminalEmulator> emulator_;
  TQxVT100Emulator* vt100_ = nullptr;
};

}  // namespace zav
