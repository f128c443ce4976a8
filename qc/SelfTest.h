// The built-in plan for checking a port itself: a loopback plug on one port
// (TX to RX, RTS to CTS, DTR to DSR, DCD and RI) or a null-modem cable to a
// second port. At each rate a counting pattern goes round and is compared
// byte by byte; then each modem-line pair is toggled both ways. A device
// without modem lines (a pseudo-terminal) has those checks skipped as "not
// supported by this device", never passed.
#pragma once

#include <chrono>
#include <functional>
#include <vector>

#include "qc/PlanRun.h"

namespace zav {
class TMroBaseDispatcher;
}

namespace zav::qc {

// The rates tried when none are given: up to the highest the device takes.
const std::vector<long>& SelftestRates();

struct SelftestSetup {
  TMroBaseDispatcher* Port = nullptr;
  TMroBaseDispatcher* Peer = nullptr;  // null: a loopback plug on Port
  std::vector<long> Rates;             // empty: SelftestRates()
  bool RatesGiven = false;             // a rate the device refuses fails
  int DataBits = 8, Parity = 0, StopBits = 1;
  // Lets up to this long pass while the ports' events are served.
  std::function<void(std::chrono::milliseconds)> Pump;
  std::function<void(const StepResult&)> StepEnded;  // progress
  std::function<bool()> Stop;                        // the user gave up
  // Line time of each pattern, in seconds (its size follows the rate).
  double PatternSeconds = 0.25;
};

// Runs every check; the unit's result has a step per check.
UnitResult RunSelftest(const SelftestSetup& setup, const std::string& portName);

}  // namespace zav::qc
