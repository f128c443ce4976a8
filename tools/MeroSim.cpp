// mero sim: a device under test for benches without hardware. It greets with
// a banner, echoes what it receives when asked, and answers lines that match a
// pattern (shell-style * and ?) with their reply followed by CR LF.
//
// A profile file (YAML) gives the same and more: answers with delays, a
// serial number per run, and a faulty mode whose garbled or missing answers
// let a test plan's FAIL verdicts be tried without a faulty unit.
#include <fnmatch.h>
#include <unistd.h>
#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <cstdio>
#include <deque>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "Mero.h"

namespace zav::mero {

namespace {

const std::string kHelp = std::string(
                              "usage: mero sim PORT [--echo] [--banner TEXT] [--respond PATTERN=REPLY ...]\n"
                              "                [--profile FILE] [--serial SN] [--faulty] [--seed N]\n"
                              "A simulated device on PORT, running until SIGINT or SIGTERM.\n"
                              "  --echo                  send every received byte back\n"
                              "  --banner TEXT           send TEXT and CR LF once the port is open\n"
                              "  --respond PATTERN=REPLY answer a received line (ended by CR or LF)\n"
                              "                          matching PATTERN (* and ? wildcards) with\n"
                              "                          REPLY and CR LF; the first match answers\n"
                              "  --profile FILE          a device profile (YAML):\n"
                              "                            banner: TEXT      sent as the port opens\n"
                              "                            echo: true|false\n"
                              "                            answers:          the first match answers\n"
                              "                              - {command: PATTERN, reply: TEXT, delay: SECONDS}\n"
                              "                            faults: {garble: P, missing: P}  (with --faulty)\n"
                              "                          profile texts are sent as written (no CR LF added)\n"
                              "  --serial SN             the serial number ${serial} stands for in banners and\n"
                              "                          replies (default: SIM and six digits, new each run)\n"
                              "  --faulty                garble (one byte changed) or leave out answers with the\n"
                              "                          profile's probabilities (default 0.3 each)\n"
                              "  --seed N                the same seed garbles the same answers\n"
                              "TEXT and REPLY take the escapes \\r \\n \\t \\e \\\\ \\xHH.\n") +
                          kLineOptionsHelp;

constexpr size_t kMaxLine = 4096;

struct Answer {
  std::string pattern, reply;
  double delay = 0;
};

struct Profile {
  std::string banner;
  bool hasBanner = false, echo = false;
  std::vector<Answer> answers;
  double garble = 0.3, missing = 0.3;
};

// Reads a profile; a fault is a usage error naming FILE:LINE:COLUMN.
Profile LoadProfile(const std::string& path) {
  auto fail = [&](const YAML::Mark& at, const std::string& what) -> UsageError {
    return UsageError(path + ":" + std::to_string(at.line + 1) + ":" + std::to_string(at.column + 1) + ": " + what);
  };
  auto keys = [&](const YAML::Node& map, std::initializer_list<std::string> known) {
    if (!map.IsMap()) throw fail(map.Mark(), "a mapping is needed here");
    for (const auto& kv : map)
      if (std::find(known.begin(), known.end(), kv.first.as<std::string>()) == known.end())
        throw fail(kv.first.Mark(), "unknown key \"" + kv.first.as<std::string>() + "\"");
  };
  auto text = [&](const YAML::Node& n) {
    if (!n.IsScalar()) throw fail(n.Mark(), "a text is needed here");
    try {
      return Unescape(n.Scalar());
    } catch (const UsageError& e) {
      throw fail(n.Mark(), e.what());
    }
  };
  auto number = [&](const YAML::Node& n, double hi) {
    double v = 0;
    if (!n.IsScalar() || !YAML::convert<double>::decode(n, v) || !(v >= 0 && v <= hi))
      throw fail(n.Mark(), "a number from 0 to " + std::to_string(int(hi)) + " is needed here");
    return v;
  };
  YAML::Node root;
  try {
    root = YAML::LoadFile(path);
  } catch (const YAML::BadFile&) {
    throw UsageError("cannot read the profile " + path);
  } catch (const YAML::Exception& e) {
    throw fail(e.mark, e.msg);
  }
  Profile p;
  keys(root, {"banner", "echo", "answers", "faults"});
  if (root["banner"]) {
    p.banner = text(root["banner"]);
    p.hasBanner = true;
  }
  if (root["echo"]) {
    if (!YAML::convert<bool>::decode(root["echo"], p.echo)) throw fail(root["echo"].Mark(), "echo is true or false");
  }
  if (root["answers"]) {
    if (!root["answers"].IsSequence()) throw fail(root["answers"].Mark(), "answers is a list");
    for (const auto& a : root["answers"]) {
      keys(a, {"command", "reply", "delay"});
      if (!a["command"] || !a["reply"]) throw fail(a.Mark(), "an answer needs command and reply");
      p.answers.push_back({text(a["command"]), text(a["reply"]), a["delay"] ? number(a["delay"], 3600) : 0});
    }
  }
  if (root["faults"]) {
    keys(root["faults"], {"garble", "missing"});
    if (root["faults"]["garble"]) p.garble = number(root["faults"]["garble"], 1);
    if (root["faults"]["missing"]) p.missing = number(root["faults"]["missing"], 1);
  }
  return p;
}

std::string Fill(std::string text, const std::string& serial) {
  for (size_t at; (at = text.find("${serial}")) != std::string::npos;) text.replace(at, 9, serial);
  return text;
}

}  // namespace

int RunSim(ArgReader& args) {
  PortOptions options;
  bool echo = false;
  std::string banner;
  bool hasBanner = false;
  std::vector<Answer> responses;
  std::string profilePath, serial;
  bool faulty = false;
  std::optional<uint64_t> seed;
  std::string word;
  while (NextOption(args, kHelp, word, &options)) {
    if (word == "--echo") {
      echo = true;
    } else if (word == "--banner") {
      banner = Unescape(args.Value(word));
      hasBanner = true;
    } else if (word == "--respond") {
      const std::string rule = args.Value(word);
      const size_t eq = rule.find('=');
      if (eq == std::string::npos || eq == 0)
        throw UsageError("--respond needs PATTERN=REPLY, not \"" + rule + "\"");
      responses.push_back({rule.substr(0, eq), Unescape(rule.substr(eq + 1)) + "\r\n", 0});
    } else if (word == "--profile") {
      profilePath = args.Value(word);
    } else if (word == "--serial") {
      serial = args.Value(word);
    } else if (word == "--faulty") {
      faulty = true;
    } else if (word == "--seed") {
      seed = uint64_t(args.Number(word, 0, 0x7FFFFFFFFFFFFFFFL));
    } else if (word.rfind("--", 0) == 0 || !options.Port.empty()) {
      throw UsageError("unexpected \"" + word + "\"");
    } else {
      options.Port = word;
    }
  }
  if (options.Port.empty()) throw UsageError("no PORT given");
  Profile profile;
  if (!profilePath.empty()) profile = LoadProfile(profilePath);
  // Options on the command line come before the profile's.
  echo = echo || profile.echo;
  responses.insert(responses.end(), profile.answers.begin(), profile.answers.end());
  std::mt19937_64 random(seed.value_or(uint64_t(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                                       uint64_t(getpid())));
  if (serial.empty()) serial = "SIM" + std::to_string(100000 + random() % 900000);

  InstallStopSignals();
  ToolPort port(options);
  using Clock = std::chrono::steady_clock;
  std::string pending;  // waits for room in the transmit ring; never dropped
  std::deque<std::pair<Clock::time_point, std::string>> later;  // answers with a delay, in order
  if (hasBanner) pending = banner + "\r\n";
  if (profile.hasBanner) pending += Fill(profile.banner, serial);
  std::uniform_real_distribution<double> chance(0.0, 1.0);
  auto answer = [&](const Answer& a) {
    std::string reply = Fill(a.reply, serial);
    if (faulty && chance(random) < profile.missing) return;
    if (faulty && !reply.empty() && chance(random) < profile.garble)
      reply[random() % reply.size()] ^= char(1 << (random() % 7));
    const auto due = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(a.delay));
    if (a.delay <= 0 && later.empty())
      pending += reply;
    else
      later.emplace_back(std::max(due, later.empty() ? due : later.back().first), reply);
  };
  std::string line;
  bool overlong = false;  // the current line passed kMaxLine: it answers nothing
  port.Port().SetOnTriggerAvail([&](TMroCustomComPort*, uint16_t) {
    const std::string got = port.ReadAll();
    if (echo) pending += got;
    for (const char c : got) {
      if (c != '\r' && c != '\n') {
        if (line.size() < kMaxLine)
          line += c;
        else
          overlong = true;
        continue;
      }
      if (!line.empty() && !overlong) {
        for (const auto& a : responses) {
          if (fnmatch(a.pattern.c_str(), line.c_str(), 0) == 0) {
            answer(a);
            break;
          }
        }
      }
      line.clear();
      overlong = false;
    }
  });
  std::fprintf(stderr, "mero: simulating a device on %s (serial %s%s)\n", options.Port.c_str(), serial.c_str(),
               faulty ? ", faulty" : "");
  AnnounceReady(options);
  while (!StopRequested()) {
    if (port.DeviceGone()) {
      std::fprintf(stderr, "mero: %s: the device hung up\n", options.Port.c_str());
      return kExitFailed;
    }
    while (!later.empty() && later.front().first <= Clock::now()) {
      pending += later.front().second;
      later.pop_front();
    }
    port.SendSome(pending);
    auto wait = std::chrono::milliseconds(pending.empty() ? 500 : 20);
    if (!later.empty())
      wait = std::min(wait, std::chrono::ceil<std::chrono::milliseconds>(later.front().first - Clock::now()));
    WaitAndPump(-1, std::max(wait, std::chrono::milliseconds(0)));
  }
  port.Close();
  return kExitOk;
}

}  // namespace zav::mero
