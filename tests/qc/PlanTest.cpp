// Plan files and regular expressions on a stream cut at any byte.
#include <gtest/gtest.h>

#include "qc/Plan.h"
#include "qc/StreamMatch.h"
#include "tests/support/TestSupport.h"

namespace zav::qc {
namespace {

std::shared_ptr<Pattern> Compile(const std::string& source) {
  std::string error;
  size_t offset = 0;
  auto p = Pattern::Compile(source, error, offset);
  EXPECT_TRUE(p) << source << ": " << error;
  return p;
}

// Feeds `stream` in pieces of `cut` bytes; the groups of the first match, or
// {"<none>"}. A match that could still grow is taken at the end.
std::vector<std::string> Search(const std::string& pattern, const std::string& stream, size_t cut) {
  auto p = Compile(pattern);
  StreamText text;
  StreamSearch search(p, 0);
  for (size_t at = 0; at < stream.size(); at += cut) {
    text.Append(std::string_view(stream).substr(at, cut));
    if (search.Scan(text) == StreamSearch::Result::Match) return search.Groups();
    text.DropBefore(search.Needs());  // what a host does between reads
  }
  if (search.Scan(text, true) == StreamSearch::Result::Match) return search.Groups();
  return {"<none>"};
}

TEST(StreamSearch, FindsTheSameMatchHoweverTheStreamIsCut) {
  struct Case {
    std::string pattern, stream;
    std::vector<std::string> groups;
  };
  const std::vector<Case> cases = {
      {"READY", "boot...READY\r\n", {"READY"}},
      {R"(VER (\d+)\.(\d+))", "xx VER 2.10\r\n", {"VER 2.10", "2", "10"}},
      // Nothing follows the number: taken whole once the stream ends.
      {R"(VER (\d+)\.(\d+))", "VER 2.10", {"VER 2.10", "2", "10"}},
      {R"(\bOK\b)", "NOKAY OK\r", {"OK"}},
      {R"((?<=\[)\w+(?=\]))", "a[b]c [dd]", {"b"}},
      {"SN: (\\w+)", "SN: \r\nSN: AB12\r\n", {"SN: AB12", "AB12"}},
      {"(?m)^RESULT (\\w+)$", "NO RESULT x\nRESULT pass\n", {"RESULT pass", "pass"}},
      {"ERROR|FAULT", "all good\r\n", {"<none>"}},
      {"a(x)?b", "ab", {"ab", ""}},
  };
  for (const auto& c : cases)
    for (size_t cut : {size_t(1), size_t(2), size_t(3), size_t(7), c.stream.size()})
      EXPECT_EQ(Search(c.pattern, c.stream, cut), c.groups) << c.pattern << " cut " << cut;
}

TEST(StreamSearch, HoldsAMatchThatCanStillGrowUntilTheStreamEnds) {
  auto p = Compile(R"(T=(\d+))");
  StreamText text;
  StreamSearch search(p, 0);
  text.Append("T=12");
  EXPECT_EQ(search.Scan(text), StreamSearch::Result::Partial);
  text.Append("34;");
  ASSERT_EQ(search.Scan(text), StreamSearch::Result::Match);
  EXPECT_EQ(search.Groups()[1], "1234");
  EXPECT_EQ(search.MatchBegin(), 0u);
  EXPECT_EQ(search.MatchEnd(), 6u);
}

TEST(StreamSearch, OffsetsSurviveTrimmingAndAfterAMatchTheNextOneIsFound) {
  auto p = Compile("x(\\d)");
  StreamText text;
  text.Append(std::string(5000, '.'));
  StreamSearch search(p, 0);
  EXPECT_EQ(search.Scan(text), StreamSearch::Result::None);
  text.DropBefore(search.Needs());
  EXPECT_LE(text.View().size(), 1u);
  text.Append("x1x2");
  ASSERT_EQ(search.Scan(text), StreamSearch::Result::Match);
  EXPECT_EQ(search.MatchBegin(), 5000u);
  ASSERT_EQ(search.Scan(text), StreamSearch::Result::Match);
  EXPECT_EQ(search.Groups()[1], "2");
}

TEST(StreamSearch, RunawayBacktrackingIsAnErrorNotAHang) {
  auto p = Compile("(a+)+$");
  StreamText text;
  text.Append(std::string(40, 'a') + "b");
  StreamSearch search(p, 0);
  EXPECT_EQ(search.Scan(text, true), StreamSearch::Result::Error);
  EXPECT_FALSE(search.Error().empty());
}

TEST(PlanText, EscapesAndVariables) {
  EXPECT_EQ(UnescapeText(R"(a\r\n\t\e\\\x41\x7)"), std::string("a\r\n\t\x1b\\A\x07"));
  for (const char* bad : {"\\q", "\\x", "\\xg"}) EXPECT_THROW(UnescapeText(bad), std::invalid_argument) << bad;
  EXPECT_EQ(UnescapeText("end\\"), "end\\");
  const SendText t = ParseSendText("SET ${major}.${minor}\\r");
  ASSERT_EQ(t.Pieces.size(), 5u);
  EXPECT_TRUE(t.Pieces[1].Variable);
  EXPECT_EQ(t.Pieces[1].Text, "major");
  EXPECT_EQ(t.Pieces[4].Text, "\r");
  EXPECT_THROW(ParseSendText("${open"), std::invalid_argument);
}

const char* const kExample = R"(name: Power board QC
line: {baud: 115200, data: 8, parity: none, stop: 1, flow: none}
unit-id: {send: "SN?\r", expect: 'SN: (\w+)', timeout: 3}
steps:
  - name: banner
    expect: READY
    timeout: 5
  - name: version
    send: "VER?\r"
    expect: 'VER (\d+)\.(\d+)'
    capture: [major, minor]
    check: {major: {min: 2, max: 9}, minor: {match: '\d+'}}
  - name: quiet after reset
    set: {dtr: false, rts: true}
    wait: 0.2
  - name: no errors
    absent: 'ERROR|FAULT'
    for: 2
  - name: upload config
    transfer: {protocol: zmodem, send: config.bin}
  - name: label check
    prompt: "Is the green LED on?"
    continue-on-failure: true
  - name: poke
    break: 250
    send: 'ID ${unit}\r'
)";

TEST(PlanFile, TheDocumentedExampleLoads) {
  test::ScratchDir dir;
  ASSERT_TRUE(test::WriteFile("config.bin", "cfg"));
  ASSERT_TRUE(test::WriteFile("plan.yaml", kExample));
  const Plan plan = LoadPlan("plan.yaml");
  EXPECT_EQ(plan.Name, "Power board QC");
  EXPECT_EQ(plan.Line.Baud, 115200);
  ASSERT_TRUE(plan.UnitId);
  EXPECT_EQ(plan.UnitId->Timeout, 3);
  ASSERT_EQ(plan.Steps.size(), 7u);
  EXPECT_EQ(plan.Steps[1].Capture, (std::vector<std::string>{"major", "minor"}));
  ASSERT_EQ(plan.Steps[1].Checks.size(), 2u);
  EXPECT_EQ(*plan.Steps[1].Checks[0].Max, 9);
  EXPECT_EQ(plan.Steps[2].Dtr, false);
  EXPECT_EQ(plan.Steps[2].Rts, true);
  EXPECT_EQ(plan.Steps[3].For, 2);
  ASSERT_TRUE(plan.Steps[4].Transfer);
  EXPECT_EQ(plan.Steps[4].Transfer->File, "./config.bin");
  EXPECT_TRUE(plan.Steps[5].ContinueOnFailure);
  EXPECT_EQ(plan.Steps[6].BreakMs, 250);
  EXPECT_EQ(plan.Steps[6].Send.Pieces[1].Text, "unit");
}

// The measuring example of the README: measure: is one map or a list, a
// marginal fraction becomes its band, a group number its source.
TEST(PlanFile, TheMeasuringExampleLoads) {
  const Plan plan = ParsePlan(R"(name: Battery board QC
setup:
  - {name: power on, set: {dtr: true}}          # before the unit-id step
unit-id: {send: "SN?\r", expect: 'SN: (\w+)'}
steps:
  - name: boot
    expect: 'READY'
    timeout: 10
    measure: {name: boot_time, elapsed-since: power on, unit: s, max: 4}
  - name: battery
    send: "VBAT?\r"
    expect: 'VBAT (\S+) IBAT (\S+)'
    capture: vbat
    measure:
      - {from: vbat, unit: V, min: 3.2, max: 3.4, marginal: 0.1}
      - {name: ibat, from: 2, unit: mA, max: 150, marginal: {max: 120}}
    retry: 1
teardown:
  - {name: power off, set: {dtr: false}}         # after the last step, always
)", "p.yaml");
  ASSERT_EQ(plan.Setup.size(), 1u);
  ASSERT_EQ(plan.Teardown.size(), 1u);
  EXPECT_EQ(plan.Teardown[0].Dtr, false);
  EXPECT_EQ(plan.Steps[0].Checks.at(0).Since, "power on");
  EXPECT_EQ(plan.Steps[1].Retry, 1);
  const auto& vbat = plan.Steps[1].Checks.at(0);
  EXPECT_EQ(vbat.Variable, "vbat");
  EXPECT_EQ(vbat.Unit, "V");
  EXPECT_NEAR(*vbat.MarginLow, 3.22, 1e-9);
  EXPECT_NEAR(*vbat.MarginHigh, 3.38, 1e-9);
  const auto& ibat = plan.Steps[1].Checks.at(1);
  EXPECT_EQ(ibat.Group, 2);
  EXPECT_FALSE(ibat.MarginLow);
  EXPECT_EQ(*ibat.MarginHigh, 120);
}

TEST(PlanFile, EveryFaultNamesItsLineAndColumn) {
  struct Case {
    std::string text, where, what;
  };
  const std::string head = "name: p\nsteps:\n";
  const std::vector<Case> cases = {
      {"name: p\nsteps: [\n", "p.yaml:3:1", ""},
      {"name: p\nbogus: 1\nsteps: [{wait: 1}]\n", "p.yaml:2:1", "unknown key \"bogus\""},
      {head + "  - name: a\n    expct: X\n", "p.yaml:4:5", "unknown key \"expct\""},
      {head + "  - expect: '(unclosed'\n", "p.yaml:3:13", "bad regular expression"},
      {head + "  - expect: X\n    timeout: soon\n", "p.yaml:4:14", "timeout must be a number"},
      {head + "  - send: x\n    timeout: 2\n", "p.yaml:4:14", "timeout goes with expect, transfer or prompt"},
      {head + "  - send-file: missing.bin\n", "p.yaml:3:16", "no such file"},
      {head + "  - transfer: {protocol: zmodem, send: nothere}\n", "p.yaml:3:40", "no such file"},
      {head + "  - transfer: {protocol: telepathy, send: x}\n", "p.yaml:3:26", "protocol must be"},
      {head + "  - send: 'ID ${sn}'\n", "p.yaml:3:11", "${sn} is not captured"},
      {head + "  - expect: 'V(\\d)'\n    capture: [a, b]\n", "p.yaml:4:14", "the pattern has 1"},
      {head + "  - expect: 'V(\\d)'\n    check: {v: {min: 1}}\n", "p.yaml:4:13", "which no step captures"},
      {head + "  - absent: ERROR\n", "p.yaml:3:13", "absent needs for"},
      {head + "  - set: {dtr: maybe}\n", "p.yaml:3:16", "dtr must be true or false"},
      {head + "  - name: x\n", "p.yaml:3:5", "does nothing"},
      {head + "  - {name: a, wait: 1}\n  - {name: a, wait: 1}\n", "p.yaml:4:5", "two steps are named"},
      {"name: p\nline: {baud: fast}\nsteps: [{wait: 1}]\n", "p.yaml:2:14", "baud must be a whole number"},
      {"name: p\nunit-id: {expect: 'SN'}\nsteps: [{wait: 1}]\n", "p.yaml:2:19", "needs a group"},
      {"name: p\n", "p.yaml:1:1", "needs steps"},
      {head + "  - {wait: 1, retry: -1}\n", "p.yaml:3:22", "retry must be a whole number from 0 to 100"},
      {"name: p\nsetup: []\nsteps: [{wait: 1}]\n", "p.yaml:2:8", "setup must be a list of one step or more"},
      {"name: p\nsteps: [{name: a, wait: 1}]\nteardown: [{name: a, wait: 1}]\n", "p.yaml:3:12",
       "two steps are named \"a\""},
      {"name: p\nsetup: [{send: '${unit}'}]\nunit-id: {expect: 'SN (\\w+)'}\nsteps: [{wait: 1}]\n", "p.yaml:2:16",
       "${unit} is not captured"},
      // measure:
      {head + "  - {expect: 'V(\\d)', measure: {name: v}}\n", "p.yaml:3:32", "needs one of from or elapsed-since"},
      {head + "  - {expect: 'V(\\d)', measure: {from: 1}}\n", "p.yaml:3:32", "a measurement needs a name"},
      {head + "  - {expect: 'V(\\d)', measure: {name: v, from: 2}}\n", "p.yaml:3:48", "but the pattern has 1 group"},
      {head + "  - {wait: 1, measure: {name: v, from: 1}}\n", "p.yaml:3:40", "a group number needs the step's expect"},
      {head + "  - {wait: 1, measure: {from: vbat}}\n", "p.yaml:3:31", "\"vbat\", which no step captures"},
      {head + "  - {wait: 1, measure: {name: t, elapsed-since: power}}\n", "p.yaml:3:49",
       "no earlier step is named \"power\""},
      {head + "  - {wait: 1, measure: {name: t, elapsed-since: 'step 1'}}\n", "p.yaml:3:49",
       "no earlier step is named \"step 1\""},
      {head + "  - {name: a, wait: 1}\n  - {wait: 1, measure: {name: t, elapsed-since: a, unit: min}}\n",
       "p.yaml:4:58", "an elapsed time's unit is s or ms"},
      {head + "  - {expect: 'V(\\d)', measure: {name: v, from: 1, min: low}}\n", "p.yaml:3:56", "min must be a number"},
      {head + "  - {expect: 'V(\\d)', measure: {name: v, from: 1, min: 5, max: 4}}\n", "p.yaml:3:64",
       "max is below min"},
      {head + "  - {expect: 'V(\\d)', measure: {name: v, from: 1, max: 4, marginal: 0.1}}\n", "p.yaml:3:69",
       "a marginal fraction needs both min and max"},
      {head + "  - {expect: 'V(\\d)', measure: {name: v, from: 1, min: 0, max: 4, marginal: 0.6}}\n", "p.yaml:3:77",
       "from 0 to 0.5"},
      {head + "  - {expect: 'V(\\d)', measure: {name: v, from: 1, min: 0, max: 4, marginal: {max: 5}}}\n",
       "p.yaml:3:83", "marginal max must be a number from 0 to 4"},
      {head + "  - {expect: 'V(\\d)', measure: {name: v, from: 1, max: 4, marginal: {min: 1}}}\n", "p.yaml:3:75",
       "marginal min goes with the measurement's min"},
      {head + "  - {expect: 'V(\\d)', measure: {name: v, from: 1, min: 0, max: 4, marginal: {min: 3, max: 2}}}\n",
       "p.yaml:3:77", "marginal max is below marginal min"},
      {head + "  - {expect: 'V(\\d)', measure: {name: v, from: 1, limit: 4}}\n", "p.yaml:3:51",
       "unknown key \"limit\""},
      {head + "  - {expect: 'V(\\d)', measure: []}\n", "p.yaml:3:32", "needs one measurement or more"},
      {head + "  - expect: 'V(\\d)'\n    capture: v\n    check: {v: {max: 4}}\n    measure: {from: v}\n",
       "p.yaml:6:14", "two measurements of the step are named \"v\""},
  };
  test::ScratchDir dir;
  for (const auto& c : cases) {
    try {
      ParsePlan(c.text, "p.yaml");
      ADD_FAILURE() << "accepted:\n" << c.text;
    } catch (const PlanError& e) {
      const std::string got = e.what();
      EXPECT_EQ(got.rfind(c.where + ": ", 0), 0u) << got;
      EXPECT_NE(got.find(c.what), std::string::npos) << got;
    }
  }
}

}  // namespace
}  // namespace zav::qc
