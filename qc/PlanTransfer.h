// The transfer steps of a plan run, for every host alike: a protocol
// component of their own on the unit's port, set up the same way whoever
// shows the run (the component's defaults and the settings of an unattended
// transfer, never a window's own choices), started once all the plan put on
// the line before has gone and the line has settled after the last
// transfer. The host calls Pump after every event and by NextWake, on the
// thread that made it (the component's reports arrive there).
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "qc/PlanRun.h"
#include "protocols/component/QxProtcl.h"

namespace zav::qc {

// What an unattended transfer starts from, on top of the component's own
// defaults (mero send/recv put their options over it): a Zmodem peer's
// silence is a lost frame after 10 s, a Zmodem receiver waits for the
// sender's closing "OO", B+ sends as the initiator and receives as the
// responder, Kermit asks for 8-bit quoting on a line of 7 bits.
void ApplyUnattendedSettings(TMroCustomProtocol& protocol, bool sending);

// The protocol's type when its word names one whose engine runs both ways.
std::optional<TProtocolType> TransferType(const std::string& word);

class PlanTransfer {
 public:
  PlanTransfer(TMroCustomComPort& port, double settleSeconds);
  ~PlanTransfer();  // a running transfer is aborted
  PlanTransfer(const PlanTransfer&) = delete;
  PlanTransfer& operator=(const PlanTransfer&) = delete;

  // The step's transfer waits for Pump to start it.
  void Request(const TransferStep& step, const std::string& dir);
  // Starts what waits once `lineIdle` and the line has settled, and hands
  // the run the end of a transfer (or why one could not start). True when
  // the run heard something.
  bool Pump(PlanRun& run, SteadyTime now, bool lineIdle);
  // Ends the transfer: one that waits ends as cancelled at the next Pump.
  void Cancel();
  // The port went away: a running transfer ends saying so.
  void DeviceGone();
  // A transfer runs and takes the port's bytes.
  bool Running() const { return running_; }
  // A transfer waits to start or runs.
  bool Busy() const { return running_ || waiting_.has_value(); }
  // When a waiting transfer's settle time is over.
  std::optional<SteadyTime> NextWake() const;

  TMroProtocol& Protocol() { return *protocol_; }
  // Told on the component's thread as a transfer starts and as it ends (the
  // window shows it; the end also wakes the host).
  std::function<void(TMroProtocol&, bool sending)> Began;
  std::function<void(int32_t code)> Ended;

 private:
  void Begin(PlanRun& run, const TransferStep& step, const std::string& dir, SteadyTime now);

  struct Waiting {
    TransferStep step;
    std::string dir;
  };
  TComponent owner_{nullptr};
  TMroProtocol* protocol_;  // owned by owner_
  SteadyTime::duration settle_;
  std::optional<Waiting> waiting_;
  bool running_ = false;
  bool gone_ = false;
  std::optional<int32_t> finished_;
  std::optional<SteadyTime> endedAt_;
};

}  // namespace zav::qc
