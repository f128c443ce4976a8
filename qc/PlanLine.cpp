#include "qc/PlanLine.h"

#include <algorithm>

#include "serial/QxPort.h"

namespace zav::qc {

namespace {

// How soon to look again while bytes are still leaving: a 9600 line sends
// about 20 bytes in that time.
constexpr auto kDrainPoll = std::chrono::milliseconds(20);

}  // namespace

PlanLine::~PlanLine() {
  // Never leave the line in break.
  if (breakUntil_) {
    try {
      port_.SetLineBreak(false);
    } catch (const std::exception&) {
    }
  }
}

void PlanLine::Send(const std::string& bytes) {
  if (bytes.empty()) return;
  if (!queue_.empty() && queue_.back().kind == Action::Bytes)
    queue_.back().bytes += bytes;
  else
    queue_.push_back({Action::Bytes, bytes});
}

void PlanLine::SetLines(std::optional<bool> dtr, std::optional<bool> rts) {
  queue_.push_back({Action::Lines, {}, dtr, rts});
}

void PlanLine::Break(int ms) { queue_.push_back({Action::BreakOn, {}, {}, {}, std::max(1, ms)}); }

void PlanLine::Clear() {
  queue_.clear();
  if (breakUntil_) {
    breakUntil_.reset();
    try {
      port_.SetLineBreak(false);
    } catch (const std::exception&) {
    }
  }
}

bool PlanLine::Drained() { return port_.OutputInFlight() == 0; }

std::string PlanLine::Pump(SteadyTime now) {
  try {
    if (breakUntil_) {
      if (now < *breakUntil_) return {};
      breakUntil_.reset();
      port_.SetLineBreak(false);
    }
    while (!queue_.empty()) {
      Action& a = queue_.front();
      if (a.kind == Action::Bytes) {
        const size_t n = std::min<size_t>({a.bytes.size(), port_.OutputFree(), 0xFFFF});
        if (n > 0) {
          port_.SendBlock(a.bytes.data(), uint16_t(n));
          a.bytes.erase(0, n);
        }
        if (!a.bytes.empty()) return {};  // the ring is full: later
        queue_.pop_front();
        continue;
      }
      if (!Drained()) return {};  // after the bytes before it have left
      if (a.kind == Action::Lines) {
        if (a.dtr) port_.SetDTR(*a.dtr);
        if (a.rts) port_.SetRTS(*a.rts);
        const auto dtr = a.dtr, rts = a.rts;
        queue_.pop_front();
        if (LinesSet) LinesSet(dtr, rts);
        continue;
      }
      port_.SetLineBreak(true);
      breakUntil_ = now + std::chrono::milliseconds(a.ms);
      queue_.pop_front();
      return {};
    }
  } catch (const std::exception& e) {
    Clear();
    return e.what();
  }
  return {};
}

std::optional<SteadyTime> PlanLine::NextWake(SteadyTime now) const {
  if (breakUntil_) return *breakUntil_;
  if (!queue_.empty()) return now + kDrainPoll;
  return std::nullopt;
}

}  // namespace zav::qc
