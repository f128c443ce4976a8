#include "qc/Plan.h"

#include <sys/stat.h>
#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <set>
#include <sstream>

#include "protocols/core/ProtocolWords.h"
#include "qc/Record.h"

namespace zav::qc {

namespace {

// The protocol words a transfer step takes (those of mero send and recv).
// The transfer protocols' words, as the window and mero know them.
const std::vector<std::string> kProtocols = [] {
  std::vector<std::string> words;
  for (const ProtocolWord& p : kProtocolWords) words.emplace_back(p.word);
  return words;
}();

constexpr double kMaxSeconds = 86400;

class Reader {
 public:
  explicit Reader(std::string path) : path_(std::move(path)) {
    const size_t slash = path_.rfind('/');
    dir_ = slash == std::string::npos ? "." : path_.substr(0, slash == 0 ? 1 : slash);
  }

  [[noreturn]] void Fail(const YAML::Mark& at, const std::string& what) const {
    std::ostringstream s;
    s << path_ << ':' << (at.line + 1) << ':' << (at.column + 1) << ": " << what;
    throw PlanError(s.str());
  }
  [[noreturn]] void Fail(const YAML::Node& at, const std::string& what) const { Fail(at.Mark(), what); }

  // Every key of `map` must be one of `known`.
  void Keys(const YAML::Node& map, const std::string& what, std::initializer_list<const char*> known) const {
    if (!map.IsMap()) Fail(map, what + " must be a mapping");
    for (const auto& kv : map) {
      if (!kv.first.IsScalar()) Fail(kv.first, "a key of " + what + " must be a word");
      const std::string key = kv.first.Scalar();
      if (std::none_of(known.begin(), known.end(), [&](const char* k) { return key == k; })) {
        std::string list;
        for (const char* k : known) list += std::string(list.empty() ? "" : ", ") + k;
        Fail(kv.first, "unknown key \"" + key + "\" in " + what + " (known: " + list + ")");
      }
    }
  }

  std::string Text(const YAML::Node& n, const std::string& key) const {
    if (!n.IsScalar()) Fail(n, key + " must be a text");
    return n.Scalar();
  }

  double Number(const YAML::Node& n, const std::string& key, double lo, double hi) const {
    double v = 0;
    if (!n.IsScalar() || !YAML::convert<double>::decode(n, v) || !(v >= lo && v <= hi)) {
      std::ostringstream s;
      s << key << " must be a number from " << lo << " to " << hi;
      Fail(n, s.str());
    }
    return v;
  }

  long Whole(const YAML::Node& n, const std::string& key, long lo, long hi) const {
    long v = 0;
    if (!n.IsScalar() || !YAML::convert<long>::decode(n, v) || v < lo || v > hi)
      Fail(n, key + " must be a whole number from " + std::to_string(lo) + " to " + std::to_string(hi));
    return v;
  }

  bool Flag(const YAML::Node& n, const std::string& key) const {
    bool v = false;
    if (!n.IsScalar() || !YAML::convert<bool>::decode(n, v)) Fail(n, key + " must be true or false");
    return v;
  }

  size_t Choice(const YAML::Node& n, const std::string& key, const std::vector<std::string>& choices) const {
    const std::string text = Text(n, key);
    std::string all;
    for (size_t i = 0; i < choices.size(); ++i) {
      if (choices[i] == text) return i;
      all += (i ? "|" : "") + choices[i];
    }
    Fail(n, key + " must be " + all + ", not \"" + text + "\"");
  }

  std::shared_ptr<Pattern> Regex(const YAML::Node& n, const std::string& key) const {
    const std::string source = Text(n, key);
    std::string error;
    size_t offset = 0;
    auto p = Pattern::Compile(source, error, offset);
    if (!p) Fail(n, "bad regular expression in " + key + " at offset " + std::to_string(offset) + ": " + error);
    return p;
  }

  // A file the plan reads, beside the plan unless absolute; it must exist.
  std::string InputFile(const YAML::Node& n, const std::string& key) const {
    const std::string name = Text(n, key);
    if (name.empty()) Fail(n, key + " needs a file name");
    const std::string path = name.front() == '/' ? name : dir_ + "/" + name;
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) Fail(n, key + ": cannot read " + path + ": no such file");
    if (!S_ISREG(st.st_mode)) Fail(n, key + ": " + path + " is not a regular file");
    return path;
  }

  SendText Send(const YAML::Node& n, const std::string& key) const {
    try {
      return ParseSendText(Text(n, key));
    } catch (const std::invalid_argument& e) {
      Fail(n, key + ": " + e.what());
    }
  }

  const std::string& Path() const { return path_; }

 private:
  std::string path_, dir_;
};

LineSettings ReadLine(const Reader& r, const YAML::Node& n) {
  r.Keys(n, "line", {"baud", "data", "parity", "stop", "flow"});
  LineSettings line;
  if (n["baud"]) line.Baud = r.Whole(n["baud"], "baud", 1, 100000000);
  if (n["data"]) line.DataBits = int(r.Whole(n["data"], "data", 5, 8));
  if (n["parity"])
    line.Parity = LineSettings::TParity(r.Choice(n["parity"], "parity", {"none", "odd", "even", "mark", "space"}));
  if (n["stop"]) line.StopBits = int(r.Whole(n["stop"], "stop", 1, 2));
  if (n["flow"]) line.Flow = LineSettings::TFlow(r.Choice(n["flow"], "flow", {"none", "rtscts", "xonxoff"}));
  return line;
}

// The names a step's send text uses must have been captured before it.
void CheckVariables(const Reader& r, const YAML::Node& at, const SendText& text, const std::set<std::string>& known) {
  for (const auto& piece : text.Pieces)
    if (piece.Variable && !known.count(piece.Text))
      r.Fail(at, "${" + piece.Text + "} is not captured by an earlier step");
}

// One entry of a step's measure: (its captures are already read).
Measure ReadMeasure(const Reader& r, const YAML::Node& m, const Step& s, const std::set<std::string>& captured,
                    const std::set<std::string>& earlier, std::set<std::string>& names) {
  r.Keys(m, "a measurement", {"name", "from", "elapsed-since", "unit", "min", "max", "marginal"});
  Measure k;
  if (bool(m["from"]) == bool(m["elapsed-since"])) r.Fail(m, "a measurement needs one of from or elapsed-since");
  if (m["from"]) {
    const YAML::Node f = m["from"];
    long group = 0;
    if (f.IsScalar() && YAML::convert<long>::decode(f, group)) {
      if (!s.Expect) r.Fail(f, "from: a group number needs the step's expect");
      if (group < 1 || size_t(group) > s.Expect->Groups())
        r.Fail(f, "from: group " + std::to_string(group) + " but the pattern has " +
                      std::to_string(s.Expect->Groups()) + " group(s)");
      k.Group = int(group);
    } else {
      k.Variable = r.Text(f, "from");
      if (!captured.count(k.Variable))
        r.Fail(f, "measurement of \"" + k.Variable + "\", which no step captures");
    }
  } else {
    k.Since = r.Text(m["elapsed-since"], "elapsed-since");
    if (!earlier.count(k.Since))
      r.Fail(m["elapsed-since"], "elapsed-since: no earlier step is named \"" + k.Since + "\"");
    k.Unit = "s";
  }
  if (m["name"]) {
    k.Name = r.Text(m["name"], "name");
    if (k.Name.empty()) r.Fail(m["name"], "name must not be empty");
  } else if (!k.Variable.empty()) {
    k.Name = k.Variable;
  } else {
    r.Fail(m, "a measurement needs a name");
  }
  if (!names.insert(k.Name).second)
    r.Fail(m["name"] ? m["name"] : m, "two measurements of the step are named \"" + k.Name + "\"");
  if (m["unit"]) {
    k.Unit = r.Text(m["unit"], "unit");
    if (!k.Since.empty() && k.Unit != "s" && k.Unit != "ms")
      r.Fail(m["unit"], "an elapsed time's unit is s or ms, not \"" + k.Unit + "\"");
  }
  if (m["min"]) k.Min = r.Number(m["min"], "min", -1e300, 1e300);
  if (m["max"]) k.Max = r.Number(m["max"], "max", -1e300, 1e300);
  if (k.Min && k.Max && *k.Min > *k.Max) r.Fail(m["max"], "max is below min");
  if (m["marginal"]) {
    const YAML::Node g = m["marginal"];
    if (g.IsScalar()) {
      const double f = r.Number(g, "marginal (a fraction of the range)", 0, 0.5);
      if (!k.Min || !k.Max) r.Fail(g, "a marginal fraction needs both min and max");
      const double range = *k.Max - *k.Min;
      k.MarginLow = *k.Min + f * range;
      k.MarginHigh = *k.Max - f * range;
    } else {
      r.Keys(g, "marginal", {"min", "max"});
      if (g["min"]) {
        if (!k.Min) r.Fail(g["min"], "marginal min goes with the measurement's min");
        k.MarginLow = r.Number(g["min"], "marginal min", *k.Min, k.Max ? *k.Max : 1e300);
      }
      if (g["max"]) {
        if (!k.Max) r.Fail(g["max"], "marginal max goes with the measurement's max");
        k.MarginHigh = r.Number(g["max"], "marginal max", k.Min ? *k.Min : -1e300, *k.Max);
      }
      if (!k.MarginLow && !k.MarginHigh) r.Fail(g, "marginal needs min or max");
      if (k.MarginLow && k.MarginHigh && *k.MarginLow > *k.MarginHigh)
        r.Fail(g, "marginal max is below marginal min");
    }
  }
  return k;
}

Step ReadStep(const Reader& r, const YAML::Node& n, const std::string& defaultName, std::set<std::string>& captured,
              const std::set<std::string>& earlier) {
  r.Keys(n, "a step",
         {"name", "send", "send-file", "expect", "timeout", "capture", "check", "measure", "set", "wait", "absent",
          "for", "transfer", "prompt", "break", "continue-on-failure", "retry"});
  Step s;
  s.Line = n.Mark().line + 1;
  s.Name = n["name"] ? r.Text(n["name"], "name") : defaultName;
  if (s.Name.empty()) r.Fail(n["name"], "name must not be empty");
  bool acts = false;
  if (n["set"]) {
    r.Keys(n["set"], "set", {"dtr", "rts"});
    if (n["set"]["dtr"]) s.Dtr = r.Flag(n["set"]["dtr"], "dtr");
    if (n["set"]["rts"]) s.Rts = r.Flag(n["set"]["rts"], "rts");
    acts = true;
  }
  if (n["break"]) {
    s.BreakMs = int(r.Whole(n["break"], "break", 1, 60000));
    acts = true;
  }
  if (n["send-file"]) {
    s.SendFile = r.InputFile(n["send-file"], "send-file");
    acts = true;
  }
  if (n["send"]) {
    s.Send = r.Send(n["send"], "send");
    CheckVariables(r, n["send"], s.Send, captured);
    acts = true;
  }
  if (n["transfer"]) {
    const YAML::Node t = n["transfer"];
    r.Keys(t, "transfer", {"protocol", "send", "receive", "size", "same-as"});
    TransferStep x;
    if (!t["protocol"]) r.Fail(t, "transfer needs a protocol");
    x.Protocol = kProtocols[r.Choice(t["protocol"], "protocol", kProtocols)];
    if (bool(t["send"]) == bool(t["receive"])) r.Fail(t, "transfer needs one of send or receive");
    if (t["send"]) {
      x.File = r.InputFile(t["send"], "send");
      if (t["size"] || t["same-as"]) r.Fail(t, "size and same-as check a received file");
    } else {
      x.Sending = false;
      x.File = r.Text(t["receive"], "receive");
      if (x.File.empty() || x.File.find('/') != std::string::npos || x.File == "." || x.File == "..")
        r.Fail(t["receive"], "receive takes a file name without a directory");
      if (t["size"]) x.Size = uint64_t(r.Whole(t["size"], "size", 0, 0x7FFFFFFFFFFFFFFF));
      if (t["same-as"]) x.SameAs = r.InputFile(t["same-as"], "same-as");
    }
    s.Transfer = x;
    acts = true;
  }
  if (n["expect"]) {
    s.Expect = r.Regex(n["expect"], "expect");
    acts = true;
  }
  if (n["timeout"]) {
    s.Timeout = r.Number(n["timeout"], "timeout", 0, kMaxSeconds);
    s.TimeoutGiven = true;
  }
  if (n["capture"]) {
    const YAML::Node c = n["capture"];
    if (!s.Expect) r.Fail(c, "capture goes with expect");
    if (c.IsSequence()) {
      for (const auto& name : c) s.Capture.push_back(r.Text(name, "capture"));
    } else {
      s.Capture.push_back(r.Text(c, "capture"));
    }
    if (s.Capture.size() > s.Expect->Groups())
      r.Fail(c, "capture names " + std::to_string(s.Capture.size()) + " groups but the pattern has " +
                    std::to_string(s.Expect->Groups()));
    for (const auto& name : s.Capture) {
      if (name.empty() || !std::all_of(name.begin(), name.end(), [](char ch) {
            return std::isalnum(static_cast<unsigned char>(ch)) || ch == '_' || ch == '-';
          }))
        r.Fail(c, "a variable name is letters, digits, _ and -, not \"" + name + "\"");
      captured.insert(name);
    }
  }
  std::set<std::string> measured;
  if (n["check"]) {
    const YAML::Node c = n["check"];
    if (!c.IsMap()) r.Fail(c, "check must be a mapping of variables");
    for (const auto& kv : c) {
      Measure k;
      k.FromCheck = true;
      k.Variable = r.Text(kv.first, "check");
      k.Name = k.Variable;
      if (!captured.count(k.Variable)) r.Fail(kv.first, "check of \"" + k.Variable + "\", which no step captures");
      r.Keys(kv.second, "check of " + k.Variable, {"min", "max", "match"});
      if (kv.second["min"]) k.Min = r.Number(kv.second["min"], "min", -1e300, 1e300);
      if (kv.second["max"]) k.Max = r.Number(kv.second["max"], "max", -1e300, 1e300);
      if (kv.second["match"]) k.Match = r.Regex(kv.second["match"], "match");
      if (!k.Min && !k.Max && !k.Match) r.Fail(kv.second, "check of " + k.Variable + " needs min, max or match");
      measured.insert(k.Name);
      s.Checks.push_back(std::move(k));
    }
    acts = true;
  }
  if (n["measure"]) {
    const YAML::Node m = n["measure"];
    if (m.IsSequence()) {
      if (m.size() == 0) r.Fail(m, "measure needs one measurement or more");
      for (const auto& one : m) s.Checks.push_back(ReadMeasure(r, one, s, captured, earlier, measured));
    } else {
      s.Checks.push_back(ReadMeasure(r, m, s, captured, earlier, measured));
    }
    acts = true;
  }
  if (n["absent"]) {
    s.Absent = r.Regex(n["absent"], "absent");
    if (!n["for"]) r.Fail(n["absent"], "absent needs for: SECONDS");
    acts = true;
  }
  if (n["for"]) {
    if (!s.Absent) r.Fail(n["for"], "for goes with absent");
    s.For = r.Number(n["for"], "for", 0, kMaxSeconds);
  }
  if (n["wait"]) {
    s.Wait = r.Number(n["wait"], "wait", 0, kMaxSeconds);
    acts = true;
  }
  if (n["prompt"]) {
    s.Prompt = r.Text(n["prompt"], "prompt");
    if (s.Prompt.empty()) r.Fail(n["prompt"], "prompt needs a question");
    acts = true;
  }
  if (n["continue-on-failure"]) s.ContinueOnFailure = r.Flag(n["continue-on-failure"], "continue-on-failure");
  if (n["retry"]) s.Retry = int(r.Whole(n["retry"], "retry", 0, 100));
  // A timeout limits what waits: an expect, a transfer or the operator.
  if (s.TimeoutGiven && !s.Expect && !s.Transfer && s.Prompt.empty())
    r.Fail(n["timeout"], "timeout goes with expect, transfer or prompt");
  if (!acts) r.Fail(n, "step \"" + s.Name + "\" does nothing (give it send, expect, absent, set, wait, ...)");
  return s;
}

}  // namespace

std::string UnescapeText(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    // A backslash that ends the text is itself.
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    const char c = text[++i];
    switch (c) {
      case 'r': out += '\r'; break;
      case 'n': out += '\n'; break;
      case 't': out += '\t'; break;
      case 'e': out += '\x1b'; break;
      case '\\': out += '\\'; break;
      case 'x': {
        int value = 0, digits = 0;
        while (digits < 2 && i + 1 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1]))) {
          const char h = char(std::tolower(static_cast<unsigned char>(text[++i])));
          value = value * 16 + (std::isdigit(static_cast<unsigned char>(h)) ? h - '0' : h - 'a' + 10);
          ++digits;
        }
        if (digits == 0) throw std::invalid_argument("\\x needs hex digits in \"" + text + "\"");
        out += char(value);
        break;
      }
      default: throw std::invalid_argument(std::string("unknown escape \\") + c + " in \"" + text + "\"");
    }
  }
  return out;
}

SendText ParseSendText(const std::string& text) {
  SendText out;
  size_t at = 0;
  while (at < text.size()) {
    const size_t open = text.find("${", at);
    const std::string plain = text.substr(at, open == std::string::npos ? std::string::npos : open - at);
    if (!plain.empty()) out.Pieces.push_back({false, UnescapeText(plain)});
    if (open == std::string::npos) break;
    const size_t close = text.find('}', open);
    if (close == std::string::npos) throw std::invalid_argument("${ without } in \"" + text + "\"");
    const std::string name = text.substr(open + 2, close - open - 2);
    if (name.empty()) throw std::invalid_argument("${} names no variable");
    out.Pieces.push_back({true, name});
    at = close + 1;
  }
  return out;
}

Plan ParsePlan(const std::string& text, const std::string& path) {
  Reader r(path);
  YAML::Node root;
  try {
    root = YAML::Load(text);
  } catch (const YAML::Exception& e) {
    r.Fail(e.mark, e.msg);
  }
  if (!root.IsMap()) r.Fail(root, "a plan is a mapping with name and steps");
  r.Keys(root, "the plan", {"name", "line", "unit-id", "steps", "settle", "setup", "teardown"});
  Plan plan;
  plan.Path = path;
  plan.Sha256 = Sha256Hex(text);
  if (!root["name"]) r.Fail(root, "the plan needs a name");
  plan.Name = r.Text(root["name"], "name");
  if (plan.Name.empty()) r.Fail(root["name"], "name must not be empty");
  if (root["line"]) plan.Line = ReadLine(r, root["line"]);
  if (root["settle"]) plan.Settle = r.Number(root["settle"], "settle", 0, 10);
  std::set<std::string> captured;
  std::set<std::string> names, earlier;  // earlier: what elapsed-since may name
  // A setup or teardown list of steps, named "setup 1", ... unless named.
  auto stepList = [&](const char* key, std::vector<Step>& into) {
    const YAML::Node list = root[key];
    if (!list) return;
    if (!list.IsSequence() || list.size() == 0) r.Fail(list, std::string(key) + " must be a list of one step or more");
    for (size_t i = 0; i < list.size(); ++i) {
      into.push_back(ReadStep(r, list[i], std::string(key) + " " + std::to_string(i + 1), captured, earlier));
      earlier.insert(into.back().Name);
      if (!names.insert(into.back().Name).second)
        r.Fail(list[i], "two steps are named \"" + into.back().Name + "\"");
    }
  };
  stepList("setup", plan.Setup);
  if (root["unit-id"]) {
    const YAML::Node u = root["unit-id"];
    r.Keys(u, "unit-id", {"send", "expect", "timeout"});
    if (!u["expect"]) r.Fail(u, "unit-id needs expect with a group that names the unit");
    Step s;
    s.Name = "unit id";
    s.Line = u.Mark().line + 1;
    if (u["send"]) s.Send = r.Send(u["send"], "send");
    CheckVariables(r, u, s.Send, captured);
    s.Expect = r.Regex(u["expect"], "expect");
    if (s.Expect->Groups() < 1) r.Fail(u["expect"], "the unit-id pattern needs a group, as in 'SN: (\\w+)'");
    s.Capture = {"unit"};
    if (u["timeout"]) s.Timeout = r.Number(u["timeout"], "timeout", 0, kMaxSeconds);
    captured.insert("unit");
    plan.UnitId = std::move(s);
  }
  if (!root["steps"]) r.Fail(root, "the plan needs steps");
  const YAML::Node steps = root["steps"];
  if (!steps.IsSequence() || steps.size() == 0) r.Fail(steps, "steps must be a list of one step or more");
  if (plan.UnitId) earlier.insert(plan.UnitId->Name);
  for (size_t i = 0; i < steps.size(); ++i) {
    plan.Steps.push_back(ReadStep(r, steps[i], "step " + std::to_string(i + 1), captured, earlier));
    earlier.insert(plan.Steps.back().Name);
    if (!names.insert(plan.Steps.back().Name).second)
      r.Fail(steps[i], "two steps are named \"" + plan.Steps.back().Name + "\"");
  }
  stepList("teardown", plan.Teardown);
  return plan;
}

Plan LoadPlan(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw PlanError(path + ":1:1: cannot read the plan");
  std::ostringstream text;
  text << in.rdbuf();
  return ParsePlan(text.str(), path);
}

}  // namespace zav::qc
