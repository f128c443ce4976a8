// mero test and mero selftest against mero sim across null-modem cables: the
// verdicts, the reports a JUnit consumer reads, several units at once, and
// plans that are refused before any port opens.
#include <sys/stat.h>

#include <filesystem>
#include <regex>

#include "qc/RecordDb.h"
#include "tests/support/JUnitCheck.h"
#include "tests/support/PgServer.h"
#include "tests/support/ToolHarness.h"

namespace zav::test {
namespace {

class QcTool : public ToolTest {
 protected:
  // A simulated board on COM `simCom` with the profile below.
  Child& StartBoard(const std::string& simCom, const std::vector<std::string>& extra = {}) {
    WriteFile(dir + "/board.yaml", R"(banner: "boot\r\nREADY\r\n"
answers:
  - {command: "SN?", reply: "SN: ${serial}\r\n"}
  - {command: "VER?", reply: "VER 3.14\r\n", delay: 0.05}
  - {command: "STATUS", reply: "TEMP 41 ERROR 3\r\n"}
  - {command: "ID *", reply: "OK\r\n"}
  - {command: "VBAT?", reply: "VBAT 3.452 IBAT 0x78\r\n"}
)");
    std::vector<std::string> args{"sim", simCom, "--profile", dir + "/board.yaml"};
    args.insert(args.end(), extra.begin(), extra.end());
    Child& sim = Start(args);
    EXPECT_TRUE(WaitReady(sim, simCom)) << Err(sim);
    return sim;
  }

  // Checks every record in the scratch directory against the record's schema
  // with an independent validator; how many it checked, or why one failed.
  std::string ValidateRecords() {
    const char* script =
        "import json, sys, jsonschema\n"
        "schema = json.load(open(sys.argv[1]))\n"
        "jsonschema.Draft202012Validator.check_schema(schema)\n"
        "for f in sys.argv[2:]:\n"
        "    jsonschema.Draft202012Validator(schema).validate(json.load(open(f)))\n"
        "print(len(sys.argv) - 2, 'valid')\n";
    std::vector<std::string> argv{"/usr/bin/python3", "-c", script, ZAV_RECORD_SCHEMA};
    for (const auto& e : std::filesystem::directory_iterator(dir))
      if (e.path().extension() == ".json") argv.push_back(e.path().string());
    Child& v = StartProgram(argv);
    const int code = Wait(v);
    return code == 0 ? Out(v) : "exit " + std::to_string(code) + ": " + Out(v) + Err(v);
  }

  // The report files of one unit: {xml, log}.
  std::pair<std::string, std::string> Reports(const std::string& unit) {
    std::string xml, log;
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
      const std::string name = e.path().filename().string();
      if (name.rfind(unit + "-", 0) != 0) continue;
      if (e.path().extension() == ".xml") xml = ReadFile(e.path());
      if (e.path().extension() == ".log") log = ReadFile(e.path());
    }
    return {xml, log};
  }
};

const char* const kPlan = R"(name: Board QC
line: {baud: 115200}
unit-id: {send: "SN?\r", expect: 'SN: (\w+)', timeout: 2}
steps:
  - name: version
    send: "VER?\r"
    expect: 'VER (\d+)\.(\d+)'
    capture: [major, minor]
    check: {major: {min: 2, max: 9}}
  - name: echo id
    send: "ID ${unit}\r"
    expect: OK
  - name: label
    prompt: Is the LED on?
)";

TEST_F(QcTool, APassingUnitGetsItsIdReportsAndAResultsLine) {
  ASSERT_EQ(StartCable("1,2").size(), 2u);
  StartBoard("COM1", {"--serial", "AB12"});
  WriteFile(dir + "/plan.yaml", kPlan);
  const RunResult r = Run({"test", dir + "/plan.yaml", "--port", "COM2", "--report", dir, "--yes"});
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_TRUE(std::regex_search(r.out, std::regex(R"(COM2 +version +PASS +\d+\.\d\d s\n)"))) << r.out;
  EXPECT_NE(r.out.find("1 unit: 1 passed, 0 failed"), std::string::npos) << r.out;
  const auto [xml, log] = Reports("AB12");
  EXPECT_EQ(JUnitProblems(xml), "") << xml;
  EXPECT_NE(xml.find("<property name=\"unit-id\" value=\"AB12\"/>"), std::string::npos) << xml;
  EXPECT_NE(xml.find("<testsuite name=\"Board QC\" tests=\"4\" failures=\"0\""), std::string::npos) << xml;
  EXPECT_TRUE(std::regex_search(log, std::regex(R"(\d\d:\d\d:\d\d\.\d{3} > "ID AB12\\r")"))) << log;
  EXPECT_TRUE(std::regex_search(log, std::regex(R"(\d\d:\d\d:\d\d\.\d{3} < "VER 3\.14\\r\\n")"))) << log;
  const std::string csv = ReadFile(dir + "/results.csv");
  EXPECT_TRUE(std::regex_match(csv, std::regex("time,plan,port,unit,verdict,first failing step,seconds\n"
                                               "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d,Board QC,COM2,AB12,PASS,,"
                                               "\\d+\\.\\d{3}\n")))
      << csv;
}

TEST_F(QcTool, EachKindOfFailureIsReportedWithWhatArrived) {
  ASSERT_EQ(StartCable("3,4").size(), 2u);
  StartBoard("COM3");
  WriteFile(dir + "/fails.yaml", R"(name: failures
line: {baud: 57600}
steps:
  - {name: wrong text, send: "VER?\r", expect: 'VER 4\.\d+', timeout: 0.5, continue-on-failure: true}
  - {name: time-out, send: "NOPE\r", expect: 'YES', timeout: 0.3, continue-on-failure: true}
  - {name: unwanted text, send: "STATUS\r", absent: 'ERROR \d+', for: 0.5, continue-on-failure: true}
  - {name: out of range, send: "STATUS\r", expect: 'TEMP (\d+)', capture: t, check: {t: {max: 40}}, continue-on-failure: true}
  - {name: no answer, prompt: "Label fitted?"}
  - {name: never run, send: "VER?\r"}
)");
  const RunResult r = Run({"test", dir + "/fails.yaml", "--port", "COM4", "--report", dir});
  EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
  const std::string xml = Reports("COM4").first;
  EXPECT_EQ(JUnitProblems(xml), "") << xml;
  for (const char* expected :
       {"<failure message=\"expected /VER 4\\.\\d+/ within 0.5 s\" type=\"FAIL\">",
        "VER 3.14\\r\\n&quot;</failure>", "expected /YES/ within 0.3 s",
        "<failure message=\"unwanted /ERROR \\d+/ arrived: &quot;ERROR 3&quot;\"",
        "t = 41 is above the maximum 40", "the operator answered no to &quot;Label fitted?&quot;",
        "<skipped message=\"not run: an earlier step failed\"/>"})
    EXPECT_NE(xml.find(expected), std::string::npos) << expected << "\n" << xml;
  EXPECT_NE(ReadFile(dir + "/results.csv").find(",FAIL,wrong text,"), std::string::npos);
}

// Each measurement is printed as it ends, with its limits in the value's
// precision, and kept in the unit's JUnit report.
TEST_F(QcTool, MeasurementsArePrintedAndReported) {
  ASSERT_EQ(StartCable("16,17").size(), 2u);
  StartBoard("COM16");
  WriteFile(dir + "/plan.yaml", R"(name: battery
steps:
  - {name: power_on, set: {dtr: true}}
  - name: battery
    send: "VBAT?\r"
    expect: 'VBAT (\S+) IBAT (\S+)'
    capture: vbat
    measure:
      - {from: vbat, unit: V, min: 3.2, max: 3.4}
      - {name: ibat, from: 2, unit: mA, max: 150, marginal: {max: 100}}
      - {name: answer_time, elapsed-since: power_on, unit: s, max: 5}
)");
  const RunResult r = Run({"test", dir + "/plan.yaml", "--port", "COM17", "--report", dir, "--station", "line-2",
                           "--operator", "=cmd"});
  EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
  EXPECT_NE(r.out.find("COM17        battery                      vbat = 3.452 V  [3.200, 3.400]  FAIL\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("COM17        battery                      ibat = 0x78 mA  [-, 150]  MARGINAL\n"),
            std::string::npos)
      << r.out;
  EXPECT_TRUE(std::regex_search(r.out, std::regex(R"(battery +answer_time = 0\.\d{3} s  \[-, 5\.000\]  PASS\n)")))
      << r.out;
  EXPECT_TRUE(std::regex_search(
      r.out, std::regex(R"(COM17 +battery +FAIL +\d+\.\d\d s  vbat = 3\.452 V is above the maximum 3\.400 V\n)")))
      << r.out;
  const std::string xml = Reports("COM17").first;
  EXPECT_EQ(JUnitProblems(xml), "") << xml;
  for (const char* expected : {"<property name=\"vbat\" value=\"3.452\"/>", "<property name=\"ibat\" value=\"120\"/>",
                               "<property name=\"ibat.outcome\" value=\"MARGINAL\"/>",
                               "<failure message=\"vbat = 3.452 V is above the maximum 3.400 V\" type=\"FAIL\">"})
    EXPECT_NE(xml.find(expected), std::string::npos) << expected << "\n" << xml;
  // The unit's record: valid by its schema, and in the report directory's database.
  EXPECT_EQ(ValidateRecords(), "1 valid\n");
  qc::RecordDb db(qc::DefaultDatabase(dir));
  const auto rows = db.Query(
      "SELECT u.station, u.operator, u.line, u.outcome, m.name, m.value, m.unit, m.max, m.outcome FROM units u"
      " JOIN measurements m USING (record_id) ORDER BY m.seq");
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0], (qc::SqlRow{"line-2", "=cmd", "115200 8N1", "FAIL", "vbat", "3.452", "V", "3.4", "FAIL"}));
  EXPECT_EQ(rows[1][4], "ibat");
  EXPECT_EQ(rows[1][8], "MARGINAL");
  for (const auto& e : std::filesystem::directory_iterator(dir + "/spool"))
    EXPECT_NE(e.path().extension(), ".json") << "still spooled: " << e.path();
}

// Two stations share one PostgreSQL server that stops in the middle of their
// run of units and starts again: every unit's record arrives exactly once.
TEST_F(QcTool, TwoStationsShareAServerThatStopsAndStartsAgain) {
  ASSERT_EQ(test::PgServer::Missing(), "");
  test::PgServer server;
  ASSERT_EQ(StartCable("20,21").size(), 2u);
  ASSERT_EQ(StartCable("22,23").size(), 2u);
  StartBoard("COM20");
  StartBoard("COM22");
  WriteFile(dir + "/plan.yaml", R"(name: shared
steps:
  - name: version
    send: "VER?\r"
    expect: 'VER (\d+)\.(\d+)'
    measure: {name: minor, from: 2, max: 20}
)");
  const std::vector<std::pair<std::string, std::string>> stations = {{"A", "COM21"}, {"B", "COM23"}};
  for (const auto& [name, port] : stations) mkdir((dir + "/" + name).c_str(), 0755);
  constexpr int kRounds = 6;
  for (int round = 0; round < kRounds; ++round) {
    if (round == 2) server.Stop();
    if (round == 4) server.Start();
    std::vector<Child*> runs;
    for (const auto& [name, port] : stations)
      runs.push_back(&Start({"test", dir + "/plan.yaml", "--port", port, "--unit-id", name + std::to_string(round),
                             "--report", dir + "/" + name, "--station", name, "--db", server.Url(), "--quiet"}));
    for (Child* run : runs) {
      EXPECT_EQ(Wait(*run), 0) << Out(*run) << Err(*run);
      // While the server is away the record waits, and says so.
      if (round == 2) {
        EXPECT_NE(Err(*run).find("1 record waits in "), std::string::npos) << Err(*run);
      }
    }
  }
  for (const auto& [name, port] : stations) {
    const RunResult flush = Run({"results", "--flush", "--report", dir + "/" + name, "--db", server.Url()});
    EXPECT_EQ(flush.exitCode, 0) << flush.err;
    EXPECT_EQ(flush.out, "0 records stored, 0 already there, 0 waiting\n");
  }
  qc::RecordDb db(server.Url());
  const auto units = db.Query("SELECT station, unit_id, COUNT(*) FROM units GROUP BY station, unit_id ORDER BY 1, 2");
  ASSERT_EQ(units.size(), size_t(2 * kRounds));
  for (size_t i = 0; i < units.size(); ++i) {
    EXPECT_EQ(units[i][0], stations[i / kRounds].first);
    EXPECT_EQ(units[i][1], stations[i / kRounds].first + std::to_string(i % kRounds));
    EXPECT_EQ(units[i][2], "1");
  }
  EXPECT_EQ(db.Query("SELECT COUNT(*) FROM measurements WHERE name = 'minor' AND value = 14").at(0).at(0),
            std::to_string(2 * kRounds));
}

// A signal stops the unit (ABORTED, exit status 3), and the plan's teardown
// still talks to it before mero ends.
TEST_F(QcTool, ASignalAbortsTheUnitAndTheTeardownStillRuns) {
  ASSERT_EQ(StartCable("18,19").size(), 2u);
  StartBoard("COM18", {"--serial", "ST1"});
  WriteFile(dir + "/plan.yaml", R"(name: stop
steps:
  - {name: boot, expect: NEVER, timeout: 60}
teardown:
  - {name: goodbye, send: "SN?\r", expect: 'SN: ST1', timeout: 5}
)");
  Child& test = Start({"test", dir + "/plan.yaml", "--port", "COM19", "--report", dir});
  ASSERT_TRUE(WaitReady(test, "COM19")) << Err(test);
  EXPECT_EQ(Stop(test), 3) << Out(test) << Err(test);
  const std::string out = Out(test);
  EXPECT_TRUE(std::regex_search(out, std::regex(R"(COM19 +boot +ABORTED +\d+\.\d\d s  stopped by a signal\n)"))) << out;
  EXPECT_TRUE(std::regex_search(out, std::regex(R"(COM19 +goodbye +PASS )"))) << out;
  EXPECT_NE(out.find("1 unit: 0 passed, 0 failed, 1 not tested\n"), std::string::npos) << out;
  EXPECT_NE(ReadFile(dir + "/results.csv").find(",stop,COM19,,ABORTED,boot,"), std::string::npos);
}

TEST_F(QcTool, UnitsOnSeveralPortsRunAtOnceEachWithItsOwnVerdict) {
  ASSERT_EQ(StartCable("5,6").size(), 2u);
  ASSERT_EQ(StartCable("7,8").size(), 2u);
  StartBoard("COM5", {"--serial", "GOOD1"});
  // Every answer garbled: the version cannot match.
  WriteFile(dir + "/bad.yaml", "answers:\n  - {command: '*', reply: \"VXR 3.14\\r\\n\"}\nfaults: {garble: 1, missing: 0}\n");
  Child& bad = Start({"sim", "COM7", "--profile", dir + "/bad.yaml", "--faulty", "--seed", "7"});
  ASSERT_TRUE(WaitReady(bad, "COM7")) << Err(bad);
  WriteFile(dir + "/plan.yaml", R"(name: two
steps:
  - {name: version, send: "VER?\r", expect: 'VER (\d+)', timeout: 1}
)");
  const RunResult r =
      Run({"test", dir + "/plan.yaml", "--port", "COM6", "--port", "COM8", "--unit-id", "U6", "--unit-id", "U8",
           "--report", dir});
  EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
  EXPECT_NE(r.out.find("2 units: 1 passed, 1 failed"), std::string::npos) << r.out;
  EXPECT_NE(Reports("U6").first.find("failures=\"0\""), std::string::npos);
  EXPECT_NE(Reports("U8").first.find("failures=\"1\""), std::string::npos);
  const std::string csv = ReadFile(dir + "/results.csv");
  EXPECT_NE(csv.find(",two,COM6,U6,PASS,,"), std::string::npos) << csv;
  EXPECT_NE(csv.find(",two,COM8,U8,FAIL,version,"), std::string::npos) << csv;
}

TEST_F(QcTool, TransferStepsSendToRzAndCheckWhatSzSends) {
  const auto ends = StartCable("9,10");
  ASSERT_EQ(ends.size(), 2u);
  const std::string far = dir + "/far";
  mkdir(far.c_str(), 0755);
  WriteFile(dir + "/config.bin", std::string(5000, 'c') + "end");
  WriteFile(far + "/log.bin", std::string(3000, 'L'));
  WriteFile(dir + "/log.bin", std::string(3000, 'L'));
  Child& peer = Start({"exec", "COM9", "--cwd", far, "--", "sh", "-c", "rz -q && sz -q log.bin"});
  WriteFile(dir + "/plan.yaml", R"(name: files
steps:
  - {name: upload, transfer: {protocol: zmodem, send: config.bin}, timeout: 30}
  - {name: download, transfer: {protocol: zmodem, receive: log.bin, size: 3000, same-as: log.bin}, timeout: 30}
)");
  const RunResult r = Run({"test", dir + "/plan.yaml", "--port", "COM10", "--report", dir}, {},
                          std::chrono::seconds(60));
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_EQ(Wait(peer), 0) << Err(peer);
  EXPECT_EQ(ReadFile(far + "/config.bin"), std::string(5000, 'c') + "end");
}

TEST_F(QcTool, ABadPlanNamesItsLineAndColumnAndNeverOpensAPort) {
  ASSERT_EQ(StartCable("11,12").size(), 2u);
  WriteFile(dir + "/bad.yaml", "name: bad\nsteps:\n  - name: x\n    expect: '(open'\n");
  const RunResult r = Run({"test", dir + "/bad.yaml", "--port", "COM12", "--report", dir});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_EQ(r.err.rfind(dir + "/bad.yaml:4:13: bad regular expression in expect at offset 5: ", 0), 0u) << r.err;
  EXPECT_FALSE(std::filesystem::exists(dir + "/results.csv"));
  const RunResult check = Run({"test", "--check", dir + "/bad.yaml"});
  EXPECT_EQ(check.exitCode, 2);
  EXPECT_EQ(check.err, r.err);
  WriteFile(dir + "/good.yaml", "name: good\nsteps:\n  - {wait: 0.1}\n");
  const RunResult good = Run({"test", "--check", dir + "/good.yaml"});
  EXPECT_EQ(good.exitCode, 0) << good.err;
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"test", dir + "/good.yaml"},
           {"test", dir + "/good.yaml", "--port", "COM1", "--port", "COM1"},
           {"test", dir + "/good.yaml", "--port", "COM1", "--unit-id", "a", "--unit-id", "b"},
           {"test", dir + "/good.yaml", "--port", "COM1", "--report", dir + "/nothere"}})
    EXPECT_EQ(Run(args).exitCode, 2) << args.back();
}

TEST_F(QcTool, ASimProfileFaultNamesItsLineAndColumn) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"banner: hi\nanswer: []\n", ":2:1: unknown key \"answer\""},
      {"answers:\n  - {command: X, reply: Y, delay: soon}\n", ":2:35: a number from 0 to 3600"},
      {"answers:\n  - {command: X}\n", ":2:5: an answer needs command and reply"},
      {"faults: {garble: 2}\n", ":1:18: a number from 0 to 1"},
      {"banner: 'bad \\q'\n", ":1:9: unknown escape \\q"},
  };
  for (const auto& [text, error] : cases) {
    WriteFile(dir + "/p.yaml", text);
    const RunResult r = Run({"sim", "COM1", "--profile", dir + "/p.yaml"});
    EXPECT_EQ(r.exitCode, 2) << text;
    EXPECT_NE(r.err.find(dir + "/p.yaml" + error), std::string::npos) << r.err;
  }
  EXPECT_EQ(Run({"null-modem", "--loopback", "--com", "1,2"}).exitCode, 2);
}

// The unit could not be tested: exit status 3, not a failed unit.
TEST_F(QcTool, APortThatDoesNotOpenGivesAnErrorReport) {
  WriteFile(dir + "/good.yaml", "name: good\nsteps:\n  - {wait: 0.1}\n");
  const RunResult r = Run({"test", dir + "/good.yaml", "--port", dir + "/no-such-tty", "--report", dir});
  EXPECT_EQ(r.exitCode, 3) << r.out;
  EXPECT_NE(r.out.find("1 unit: 0 passed, 0 failed, 1 not tested\n"), std::string::npos) << r.out;
  const std::string xml = Reports("no-such-tty").first;
  EXPECT_EQ(JUnitProblems(xml), "") << xml;
  EXPECT_NE(xml.find("<testcase name=\"open port\""), std::string::npos) << xml;
  EXPECT_NE(xml.find("<error message="), std::string::npos) << xml;
  EXPECT_NE(ReadFile(dir + "/results.csv").find(",ERROR,open port,"), std::string::npos);
}

TEST_F(QcTool, SelftestThroughALoopbackAndACable) {
  Child& plug = Start({"null-modem", "--loopback", "--com", "13"});
  ASSERT_TRUE(WaitReady(plug)) << Err(plug);
  const RunResult loop = Run({"selftest", "COM13", "--rates", "9600,115200", "--report", dir});
  EXPECT_EQ(loop.exitCode, 0) << loop.out << loop.err;
  EXPECT_TRUE(std::regex_search(loop.out, std::regex(R"(pattern at 115200 +PASS .* 2880 bytes, 0 lost, 0 changed)")))
      << loop.out;
  EXPECT_TRUE(std::regex_search(loop.out, std::regex(R"(DTR to RI +SKIPPED .*not supported by this device)")))
      << loop.out;
  EXPECT_NE(Reports("COM13").first.find("tests=\"6\" failures=\"0\" errors=\"0\" skipped=\"4\""), std::string::npos);

  ASSERT_EQ(StartCable("14,15").size(), 2u);
  const RunResult cable = Run({"selftest", "COM14", "--peer", "COM15", "--rates", "19200", "--report", dir});
  EXPECT_EQ(cable.exitCode, 0) << cable.out << cable.err;
  EXPECT_NE(cable.out.find("pattern at 19200 from peer"), std::string::npos) << cable.out;
  // Nothing comes back on an open cable end with no one at the other side.
  const RunResult open = Run({"selftest", "COM14", "--rates", "9600", "--report", dir});
  EXPECT_EQ(open.exitCode, 1) << open.out;
  EXPECT_NE(open.out.find("256 bytes, 256 lost"), std::string::npos) << open.out;
}

// mero report on what is not there or not right: the words say what, the
// exit status says whose fault, and reading never makes a database.
TEST_F(QcTool, ReportSaysWhatIsWrongAndMakesNothing) {
  const std::string empty = dir + "/empty";
  std::filesystem::create_directories(empty);
  struct Case {
    std::vector<std::string> args;
    int exit;
    const char* says;  // in stdout (exit 0) or stderr
  };
  const Case cases[] = {
      {{"report", "--dir", empty}, 0, "No unit records match (all records): nothing to report."},
      {{"report", "--dir", empty, "--plan", "Board", "--unit", "SN*"}, 0,
       "No unit records match (plan Board, units SN*): nothing to report."},
      {{"report", "--dir", empty, "--from", "2026-13-01"}, 2, "not a date (YYYY-MM-DD): 2026-13-01"},
      {{"report", "--dir", empty, "--everything"}, 2, "unexpected \"--everything\""},
      {{"report", "--db", "postgresql://nobody@127.0.0.1:1/none"}, 1, "cannot connect to the database"},
      {{"report", "--dir", empty, "--html", dir + "/no/such/dir/page.html"}, 1, "cannot write"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.back());
    const RunResult r = Run(c.args);
    EXPECT_EQ(r.exitCode, c.exit) << r.err;
    EXPECT_NE((c.exit == 0 ? r.out : r.err).find(c.says), std::string::npos) << r.out << r.err;
  }
  EXPECT_FALSE(std::filesystem::exists(empty + "/results.db"));
}

}  // namespace
}  // namespace zav::test
