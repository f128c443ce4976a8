// mero selftest: checks a port through a loopback plug, or two ports through
// a null-modem cable, with the same verdicts and reports as mero test.
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "MeroQc.h"
#include "qc/SelfTest.h"

namespace zav::mero {

namespace {

const std::string kHelp = std::string(
                              "usage: mero selftest PORT [--peer PORT2] [--rates R1,R2,...] [--report DIR]\n"
                              "                     [--station NAME] [--operator NAME] [--db URL]\n"
                              "Checks PORT through a loopback plug (TX to RX, RTS to CTS, DTR to DSR, DCD\n"
                              "and RI), or PORT and PORT2 through a null-modem cable: a counting pattern at\n"
                              "each rate from 9600 up to the highest the device takes (bytes lost or changed,\n"
                              "throughput against the line's limit, line errors), then each modem-line pair\n"
                              "toggled both ways. A device without modem lines (a pseudo-terminal) has those\n"
                              "checks skipped. Reports, records and exit status as mero test.\n"
                              "  --peer PORT2        the cable's other end\n"
                              "  --rates LIST        the rates to try, comma-separated (each must be taken)\n"
                              "  --report DIR        where reports go (default: the current directory)\n"
                              "  --data, --parity, --stop as below; the rates replace --baud.\n") +
                          kLineOptionsHelp;

std::vector<long> ParseRates(const std::string& text) {
  std::vector<long> rates;
  std::stringstream in(text);
  for (std::string part; std::getline(in, part, ',');) {
    char* end = nullptr;
    const long r = std::strtol(part.c_str(), &end, 10);
    if (part.empty() || *end != '\0' || r < 50 || r > 100000000)
      throw UsageError("--rates takes rates from 50 to 100000000 separated by commas, not \"" + text + "\"");
    rates.push_back(r);
  }
  if (rates.empty()) throw UsageError("--rates needs at least one rate");
  return rates;
}

}  // namespace

int RunSelftest(ArgReader& args) {
  PortOptions options;
  std::string peer;
  Keeping keeping;
  std::vector<long> rates;
  std::string word;
  while (NextOption(args, kHelp, word, &options)) {
    if (word == "--peer") {
      peer = args.Value(word);
    } else if (word == "--rates") {
      rates = ParseRates(args.Value(word));
    } else if (word == "--report") {
      keeping.Dir = args.Value(word);
    } else if (RecordOption(args, word, keeping)) {
    } else if (word.rfind("--", 0) == 0 || !options.Port.empty()) {
      throw UsageError("unexpected \"" + word + "\"");
    } else {
      options.Port = word;
    }
  }
  if (options.Port.empty()) throw UsageError("no PORT given");
  if (peer == options.Port) throw UsageError("--peer must be another port");
  CheckReportDir(keeping.Dir);
  keeping.Context.Version = ProgramVersion();
  options.Baud = rates.empty() ? qc::SelftestRates().front() : rates.front();
  InstallStopSignals();

  const std::string label = options.Port;
  qc::UnitResult unit;
  try {
    ToolPort port(options);
    std::unique_ptr<ToolPort> far;
    if (!peer.empty()) {
      PortOptions p = options;
      p.Port = peer;
      p.TraceFile.clear();
      p.LogFile.clear();
      far = std::make_unique<ToolPort>(p);
    }
    qc::SelftestSetup setup;
    setup.Port = &port.Dispatcher();
    setup.Peer = far ? &far->Dispatcher() : nullptr;
    setup.Rates = rates;
    setup.RatesGiven = !rates.empty();
    setup.DataBits = options.DataBits;
    setup.Parity = int(options.Parity);
    setup.StopBits = options.StopBits;
    setup.Pump = [](std::chrono::milliseconds ms) { WaitAndPump(-1, ms); };
    setup.StepEnded = [&](const qc::StepResult& r) { PrintStep(label, r); };
    setup.Stop = [&] { return StopRequested() || port.DeviceGone() || (far && far->DeviceGone()); };
    unit = qc::RunSelftest(setup, label + (peer.empty() ? "" : " to " + peer));
    if (port.DeviceGone() || (far && far->DeviceGone())) {
      unit.Outcome = qc::Verdict::Error;
      unit.Error = "the device hung up";
    }
  } catch (const ToolError& e) {
    std::fprintf(stderr, "mero: %s\n", e.what());
    unit = UnopenedUnit("selftest", label, {}, e.what());
  }
  const bool written = FinishUnit(label, unit, keeping, SettingsText(options));
  StoreRecords(keeping);
  const int code = Summary({unit});
  return written ? code : kExitFailed;
}

}  // namespace zav::mero
