// What a plan puts on the line, in the order the plan put it: bytes, modem-
// line changes and breaks. A line change or a break waits until every byte
// sent before it has left (the transmit ring and the driver's queue), so a
// plan that sends "RST\r" and then drops DTR drops it after the last byte; a
// break is timed here, never by a thread that waits. The host calls Pump
// after every event and by NextWake.
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <optional>
#include <string>

#include "qc/PlanRun.h"

namespace zav {
class TMroCustomComPort;
}

namespace zav::qc {

class PlanLine {
 public:
  explicit PlanLine(TMroCustomComPort& port) : port_(port) {}
  ~PlanLine();
  PlanLine(const PlanLine&) = delete;
  PlanLine& operator=(const PlanLine&) = delete;

  void Send(const std::string& bytes);
  void SetLines(std::optional<bool> dtr, std::optional<bool> rts);
  void Break(int ms);
  // Puts on the line what may go now. Returns why a line change or a break
  // failed (the rest of the queue is dropped then), or an empty text.
  std::string Pump(SteadyTime now);
  // When Pump must run again without an event: a break's end, or soon while
  // bytes are still leaving; nullopt when nothing waits.
  std::optional<SteadyTime> NextWake(SteadyTime now) const;
  // Everything queued is on the wire (a transfer may take the line).
  bool Idle() const { return queue_.empty() && !breakUntil_; }
  // Drops what has not gone (the line went away, the run stopped).
  void Clear();
  // Told after a line change has been made, so a display can follow it.
  std::function<void(std::optional<bool> dtr, std::optional<bool> rts)> LinesSet;

 private:
  struct Action {
    enum Kind { Bytes, Lines, BreakOn } kind;
    std::string bytes{};
    std::optional<bool> dtr{}, rts{};
    int ms = 0;
  };
  bool Drained();
  TMroCustomComPort& port_;
  std::deque<Action> queue_;
  std::optional<SteadyTime> breakUntil_;
};

}  // namespace zav::qc
