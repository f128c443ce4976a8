#include "qc/SelfTest.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <string>

#include "serial/QwUser.h"

namespace zav::qc {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr auto kLineSettle = milliseconds(300);  // a modem line follows within this
constexpr char kNotSupported[] = "not supported by this device";

class Selftest {
 public:
  Selftest(const SelftestSetup& s, const std::string& port) : s_(s) {
    unit_.Plan = "selftest";
    unit_.Port = port;
    unit_.Started = std::chrono::system_clock::now();
  }

  UnitResult Run() {
    const auto started = Clock::now();
    TMroBaseDispatcher& a = *s_.Port;
    TMroBaseDispatcher& b = s_.Peer ? *s_.Peer : a;
    const std::vector<long>& rates = s_.Rates.empty() ? SelftestRates() : s_.Rates;
    std::string refused;
    for (const long rate : rates) {
      const std::string at = " at " + std::to_string(rate);
      const std::vector<std::string> names =
          s_.Peer ? std::vector<std::string>{"pattern" + at + " to peer", "pattern" + at + " from peer"}
                  : std::vector<std::string>{"pattern" + at};
      if (Stopped() || !refused.empty()) {
        for (const auto& n : names) Skip(n, Stopped() ? "not run: stopped" : "not run: " + refused);
        continue;
      }
      if (a.ConfigureLine(rate, s_.Parity, s_.DataBits, s_.StopBits) < 0 ||
          b.ConfigureLine(rate, s_.Parity, s_.DataBits, s_.StopBits) < 0) {
        refused = "the device does not take " + std::to_string(rate) + " baud";
        for (const auto& n : names) {
          if (s_.RatesGiven)
            End({n, Verdict::Fail, 0, refused, {}});
          else
            Skip(n, refused);
        }
        continue;
      }
      Pattern(names[0], a, b, rate);
      if (s_.Peer) Pattern(names[1], b, a, rate);
    }
    ModemLines(a, b);
    a.SetDtr(true);
    a.SetRts(true);
    if (s_.Peer) {
      b.SetDtr(true);
      b.SetRts(true);
    }
    unit_.Seconds = std::chrono::duration<double>(Clock::now() - started).count();
    bool fail = false;
    for (const auto& st : unit_.Steps) fail = fail || st.Outcome == Verdict::Fail;
    unit_.Outcome = fail ? Verdict::Fail : Verdict::Pass;
    return unit_;
  }

 private:
  bool Stopped() const { return s_.Stop && s_.Stop(); }

  void End(StepResult r) {
    unit_.Transcript += TimeStamp(std::chrono::system_clock::now()) + " -- " + r.Name + ": " + VerdictText(r.Outcome) +
                        (r.Message.empty() ? "" : ": " + r.Message) + "\n";
    unit_.Steps.push_back(r);
    if (s_.StepEnded) s_.StepEnded(r);
  }
  void Skip(const std::string& name, const std::string& why) { End({name, Verdict::Skipped, 0, why, {}}); }

  static std::string LineErrors(TMroBaseDispatcher& d) {
    d.RefreshLineErrors();
    std::string seen;
    auto add = [&](const char* what) { seen += std::string(seen.empty() ? "" : ", ") + what; };
    for (int code; (code = d.TakeLineError()) != 0;) {
      if (code == 1) add("receive overflow");
      if (code == 2) add("overrun");
      if (code == 3) add("parity");
      if (code == 4) add("framing");
      if (code == 9) add("break");
    }
    if (d.TakeLineBreak() && seen.find("break") == std::string::npos) add("break");
    return seen;
  }

  // A counting pattern from `out` to `in`, compared byte by byte.
  void Pattern(const std::string& name, TMroBaseDispatcher& out, TMroBaseDispatcher& in, long rate) {
    const int bitsPerChar = 1 + s_.DataBits + (s_.Parity != 0 ? 1 : 0) + s_.StopBits;
    const double lineBytes = double(rate) / bitsPerChar;
    const size_t size = std::clamp<size_t>(size_t(lineBytes * s_.PatternSeconds), 256, 1 << 20);
    const uint8_t mask = uint8_t((1u << s_.DataBits) - 1);
    std::string sent(size, '\0');
    for (size_t i = 0; i < size; ++i) sent[i] = char(uint8_t(i) & mask);
    in.PurgeInput();
    LineErrors(in);
    const auto start = Clock::now();
    const auto limit = start + milliseconds(long(3000.0 * size / lineBytes) + 2000);
    std::string got;
    size_t queued = 0;
    Clock::time_point last = start;
    while (got.size() < size && Clock::now() < limit && !Stopped()) {
      if (queued < size) {
        const uint32_t room = std::min<uint32_t>(out.OutputFree(), uint32_t(size - queued));
        if (room > 0 && out.WriteBlock(sent.data() + queued, room) >= 0) queued += room;
      }
      if (const uint32_t n = in.InputUsed(); n > 0) {
        const size_t at = got.size();
        got.resize(at + n);
        const int32_t rc = in.ReadBlock(got.data() + at, n);
        got.resize(at + size_t(std::max(rc, 0)));
        last = Clock::now();
      }
      if (got.size() < size) s_.Pump(milliseconds(5));
    }
    // Lined up against the pattern, a lost byte is one loss, not a shift
    // that makes every later byte look changed.
    size_t lost = 0, changed = 0, at = 0;
    for (const char c : got) {
      if (at >= size) {
        ++changed;
        continue;
      }
      size_t skip = 0;
      while (skip < 16 && at + skip < size && sent[at + skip] != c) ++skip;
      if (skip > 0 && (skip == 16 || at + skip == size)) {
        ++changed;
        ++at;
        continue;
      }
      lost += skip;
      at += skip + 1;
    }
    lost += size - std::min(size, at);
    const std::string errors = LineErrors(in);
    const double seconds = std::chrono::duration<double>(last - start).count();
    char text[200];
    std::snprintf(text, sizeof text, "%zu bytes, %zu lost, %zu changed, %.0f%% of the line's %.0f bytes/s", size, lost,
                  changed, seconds > 0 ? 100.0 * double(got.size()) / seconds / lineBytes : 0.0, lineBytes);
    std::string message = text;
    if (!errors.empty()) message += ", line errors: " + errors;
    const bool ok = lost == 0 && changed == 0 && errors.empty();
    End({name, ok ? Verdict::Pass : Verdict::Fail, std::chrono::duration<double>(Clock::now() - start).count(),
         message, {}});
  }

  // Sets a control line and waits for the input that it drives to follow.
  bool Follows(TMroBaseDispatcher& from, bool dtr, TMroBaseDispatcher& to, uint8_t bit, bool on) {
    if (dtr)
      from.SetDtr(on);
    else
      from.SetRts(on);
    const auto limit = Clock::now() + kLineSettle;
    while (true) {
      if (((to.ReadModemBits(0xFF) & bit) != 0) == on) return true;
      if (Clock::now() >= limit) return false;
      s_.Pump(milliseconds(10));
    }
  }

  void ModemLines(TMroBaseDispatcher& a, TMroBaseDispatcher& b) {
    struct Pair {
      const char* name;
      bool fromPeer, dtr;
      uint8_t bit;
    };
    std::vector<Pair> pairs = {{"RTS to CTS", false, false, mbCts},
                               {"DTR to DSR", false, true, mbDsr},
                               {"DTR to DCD", false, true, mbDcd}};
    if (s_.Peer) {
      // A null-modem cable crosses the lines; RI is not carried.
      pairs.push_back({"peer RTS to CTS", true, false, mbCts});
      pairs.push_back({"peer DTR to DSR", true, true, mbDsr});
      pairs.push_back({"peer DTR to DCD", true, true, mbDcd});
    } else {
      pairs.push_back({"DTR to RI", false, true, mbRi});
    }
    const bool supported = a.DeviceHasModemLines() && b.DeviceHasModemLines();
    for (const auto& p : pairs) {
      if (!supported || Stopped()) {
        Skip(p.name, supported ? "not run: stopped" : kNotSupported);
        continue;
      }
      TMroBaseDispatcher& from = p.fromPeer ? b : a;
      TMroBaseDispatcher& to = p.fromPeer ? a : b;
      const auto start = Clock::now();
      std::string failed;
      for (const bool on : {false, true, false, true})
        if (failed.empty() && !Follows(from, p.dtr, to, p.bit, on))
          failed = std::string("the input stayed ") + (on ? "off" : "on") + " when the line went " + (on ? "on" : "off");
      End({p.name, failed.empty() ? Verdict::Pass : Verdict::Fail,
           std::chrono::duration<double>(Clock::now() - start).count(), failed, {}});
    }
  }

  const SelftestSetup& s_;
  UnitResult unit_;
};

}  // namespace

const std::vector<long>& SelftestRates() {
  static const std::vector<long> rates = {9600,   19200,  38400,   57600,   115200,  230400,
                                          460800, 921600, 1000000, 1500000, 2000000, 3000000, 4000000};
  return rates;
}

UnitResult RunSelftest(const SelftestSetup& setup, const std::string& portName) {
  return Selftest(setup, portName).Run();
}

}  // namespace zav::qc
