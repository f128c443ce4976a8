// A protocol component on a port over the in-memory device with the clock
// stopped: the user injects received bytes, moves time by ticks and reads what
// was sent. The protocol unit tests and the protocol fuzz targets share it;
// nothing here depends on the test framework.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/Component.h"
#include "protocols/core/QwTPcl.h"
#include "protocols/component/QxProtcl.h"
#include "serial/QxPort.h"
#include "tests/support/MemoryDevice.h"
#include "tests/support/TestSupport.h"

namespace zav::test {

// Records a component's events as short texts ("status 1", "log 4",
// "finish 0", "error -6003", "next").
struct EventLog {
  std::vector<std::string> events;
  void Attach(TMroCustomProtocol& p);
  bool Finished() const;
  // The first finish code; 1 when there was none.
  int32_t FinishCode() const;
  size_t Count(const std::string& e) const { return size_t(std::count(events.begin(), events.end(), e)); }
};

class TMemoryProtocolRig {
 public:
  // The scratch directory is the working directory; COM1 is open over a
  // fresh in-memory device with a 4096-byte transmit ring.
  explicit TMemoryProtocolRig(const std::string& scratchPrefix = "protocols");
  ~TMemoryProtocolRig();
  TMemoryProtocolRig(const TMemoryProtocolRig&) = delete;
  TMemoryProtocolRig& operator=(const TMemoryProtocolRig&) = delete;

  // Moves the clock on by whole ticks and runs a status and timer pass.
  void Advance(int ticks);
  // A status and timer pass, then the queued messages.
  void Pass();
  // Bytes arrive from the far end: a full device pass, then the queued messages.
  void Receive(const std::string& bytes);
  // Reopens the port (a fresh device) with another transmit-ring size.
  void ReopenWithOutSize(uint16_t size);
  TransferRecord& Record() { return protocol->Record(); }
  int32_t TicksLeft(int32_t handle);

  ScratchDir scratch;
  // Before the form: a transfer the form's end cancels still reports here.
  EventLog events;
  TComponent form{nullptr};
  TMroComPort* port = nullptr;
  TMroProtocol* protocol = nullptr;
  TMemoryDispatcher* device = nullptr;
  int64_t now_ = 0;
};

}  // namespace zav::test
