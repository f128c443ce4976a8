#include "qc/Report.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <sstream>
#include <stdexcept>

#include "platform/CsvField.h"
#include "qc/RecordDb.h"

namespace zav::qc {

namespace {

// Text for an XML attribute or element: markup escaped, control bytes shown
// as \xHH and bytes that are not UTF-8 replaced, so any consumer parses it.
std::string Xml(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&apos;"; break;
        case '\n': out += '\n'; break;
        case '\t': out += '\t'; break;
        default:
          if (c < 0x20 || c == 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
          } else {
            out += char(c);
          }
      }
      ++i;
      continue;
    }
    // A whole UTF-8 sequence is kept; anything else becomes U+FFFD.
    const size_t len = c >= 0xF0 && c < 0xF5 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c < 0xE0 ? 2 : 0;
    bool ok = len > 0 && i + len <= text.size();
    for (size_t k = 1; ok && k < len; ++k) ok = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
    if (ok) {
      out.append(text.substr(i, len));
      i += len;
    } else {
      out += "\xEF\xBF\xBD";
      ++i;
    }
  }
  return out;
}

std::string Csv(const std::string& field) { return CsvField(field); }

std::string Time(WallTime t, const char* format) {
  const std::time_t secs = std::chrono::system_clock::to_time_t(t);
  std::tm tm{};
  localtime_r(&secs, &tm);
  char buf[64];
  std::strftime(buf, sizeof buf, format, &tm);
  return buf;
}

std::string Number(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.15g", v);
  return buf;
}

std::string Seconds(double s) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.3f", s);
  return buf;
}

// Creates `path` only when it does not exist yet.
bool CreateNew(const std::string& path, const std::string& data) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) {
    if (errno == EEXIST) return false;
    throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
  }
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const std::string why = std::strerror(errno);
      close(fd);
      throw std::runtime_error("cannot write " + path + ": " + why);
    }
    done += size_t(n);
  }
  if (close(fd) != 0) throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
  return true;
}

}  // namespace

// How much of the transcript's end a JUnit report carries.
constexpr size_t kReportTranscript = 256 * 1024;

const char* const kResultsHeader = "time,plan,port,unit,verdict,first failing step,seconds";

std::string UnitFileName(const UnitResult& unit) {
  std::string name = unit.UnitId.empty() ? unit.Port : unit.UnitId;
  const size_t slash = name.rfind('/');
  if (unit.UnitId.empty() && slash != std::string::npos) name = name.substr(slash + 1);
  for (char& c : name)
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '-')) c = '_';
  if (name.empty() || name.front() == '.') name.insert(0, "unit");
  return name.substr(0, 100);
}

std::string XmlText(std::string_view text) { return Xml(text); }

std::string JUnitXml(const UnitResult& unit) {
  int failures = 0, errors = 0, skipped = 0;
  for (const auto& s : unit.Steps) {
    failures += s.Outcome == Verdict::Fail;
    errors += s.Outcome == Verdict::Error || s.Outcome == Verdict::Aborted;
    skipped += s.Outcome == Verdict::Skipped;
  }
  const bool portError = !unit.Error.empty();
  const size_t tests = unit.Steps.size() + (portError ? 1 : 0);
  errors += portError ? 1 : 0;
  const std::string counts = " tests=\"" + std::to_string(tests) + "\" failures=\"" + std::to_string(failures) +
                             "\" errors=\"" + std::to_string(errors) + "\" skipped=\"" + std::to_string(skipped) +
                             "\" time=\"" + Seconds(unit.Seconds) + "\"";
  const std::string suite = Xml(unit.Plan);
  const std::string classname = Xml(unit.Plan + "." + UnitFileName(unit));
  std::ostringstream x;
  x << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  x << "<testsuites name=\"" << suite << "\"" << counts << ">\n";
  x << "  <testsuite name=\"" << suite << "\"" << counts << " timestamp=\""
    << Time(unit.Started, "%Y-%m-%dT%H:%M:%S") << "\">\n";
  x << "    <properties>\n";
  x << "      <property name=\"unit-id\" value=\"" << Xml(unit.UnitId) << "\"/>\n";
  x << "      <property name=\"port\" value=\"" << Xml(unit.Port) << "\"/>\n";
  x << "      <property name=\"verdict\" value=\"" << VerdictText(unit.Outcome) << "\"/>\n";
  x << "    </properties>\n";
  if (portError) {
    x << "    <testcase name=\"open port\" classname=\"" << classname << "\" time=\"0.000\">\n";
    x << "      <error message=\"" << Xml(unit.Error) << "\" type=\"port\"/>\n";
    x << "    </testcase>\n";
  }
  for (const auto& s : unit.Steps) {
    x << "    <testcase name=\"" << Xml(s.Name) << "\" classname=\"" << classname << "\" time=\""
      << Seconds(s.Seconds) << "\"";
    const bool properties = !s.Measurements.empty() || s.Tries > 1;
    if (s.Outcome == Verdict::Pass && !properties) {
      x << "/>\n";
      continue;
    }
    x << ">\n";
    // Each measurement as properties NAME (the value), NAME.unit, .min, .max,
    // .marginal-min, .marginal-max, .outcome and .text (what arrived when it
    // is not a number); "tries" when the step ran more than once.
    if (properties) {
      x << "      <properties>\n";
      auto property = [&](const std::string& name, const std::string& value) {
        x << "        <property name=\"" << Xml(name) << "\" value=\"" << Xml(value) << "\"/>\n";
      };
      for (const auto& m : s.Measurements) {
        property(m.Name, m.Value ? Number(*m.Value) : "");
        if (!m.Unit.empty()) property(m.Name + ".unit", m.Unit);
        if (m.Min) property(m.Name + ".min", Number(*m.Min));
        if (m.Max) property(m.Name + ".max", Number(*m.Max));
        if (m.MarginLow) property(m.Name + ".marginal-min", Number(*m.MarginLow));
        if (m.MarginHigh) property(m.Name + ".marginal-max", Number(*m.MarginHigh));
        property(m.Name + ".outcome", MeasureText(m.Outcome));
        if (!m.Value && m.Outcome != MeasureOutcome::NotMeasured) property(m.Name + ".text", m.Text);
      }
      if (s.Tries > 1) property("tries", std::to_string(s.Tries));
      x << "      </properties>\n";
    }
    switch (s.Outcome) {
      case Verdict::Pass: break;
      case Verdict::Fail:
      case Verdict::Error:
      case Verdict::Aborted: {
        const char* tag = s.Outcome == Verdict::Fail ? "failure" : "error";
        x << "      <" << tag << " message=\"" << Xml(s.Message) << "\" type=\"" << VerdictText(s.Outcome)
          << "\">" << Xml(s.Message + (s.Detail.empty() ? "" : "\n" + s.Detail)) << "</" << tag << ">\n";
        break;
      }
      default: x << "      <skipped message=\"" << Xml(s.Message) << "\"/>\n"; break;
    }
    x << "    </testcase>\n";
  }
  // A long transcript stays whole in the .log; the report keeps its end.
  std::string_view transcript = unit.Transcript;
  std::string cut;
  if (transcript.size() > kReportTranscript) {
    transcript.remove_prefix(transcript.size() - kReportTranscript);
    transcript.remove_prefix(std::min(transcript.size(), transcript.find('\n') + 1));
    cut = "[the transcript's start is in the .log file]\n";
  }
  x << "    <system-out>" << cut << Xml(transcript) << "</system-out>\n";
  x << "  </testsuite>\n</testsuites>\n";
  return x.str();
}

std::string ResultsLine(const UnitResult& unit) {
  return Csv(Time(unit.Started, "%Y-%m-%d %H:%M:%S")) + "," + Csv(unit.Plan) + "," + Csv(unit.Port) + "," +
         Csv(unit.UnitId) + "," + VerdictText(unit.Outcome) + "," +
         Csv(unit.Error.empty() ? unit.FirstFailure() : "open port") + "," + Seconds(unit.Seconds);
}

ReportFiles WriteReports(const UnitResult& unit, const std::string& dir, const RecordContext& context) {
  const std::string base = dir + "/" + UnitFileName(unit) + "-" + Time(unit.Started, "%Y%m%d-%H%M%S");
  ReportFiles files;
  std::string stem;
  // The set takes the first free suffix, so two runs in one second keep both.
  for (int copy = 1;; ++copy) {
    stem = copy == 1 ? base : base + "-" + std::to_string(copy);
    if (!CreateNew(stem + ".xml", JUnitXml(unit))) {
      if (copy > 1000) throw std::runtime_error("cannot find a free report name for " + base);
      continue;
    }
    files.Xml = stem + ".xml";
    files.Log = stem + ".log";
    files.Json = stem + ".json";
    // The others follow their report's name; an old stray one is replaced.
    unlink(files.Log.c_str());
    unlink(files.Json.c_str());
    CreateNew(files.Log, unit.Transcript);
    break;
  }
  // What the unit sent is kept beside its record (the run's own copy goes
  // with its temporary directory).
  if (!unit.ReceivedFiles.empty()) {
    namespace fs = std::filesystem;
    const std::string kept = stem + ".files";
    std::error_code err;
    fs::create_directory(kept, err);
    for (const auto& f : unit.ReceivedFiles) {
      const std::string to = kept + "/" + fs::path(f).filename().string();
      if (!err) fs::copy_file(f, to, fs::copy_options::overwrite_existing, err);
      if (err) throw std::runtime_error("cannot keep " + f + " in " + kept + ": " + err.message());
      files.Received.push_back(to);
    }
  }
  const std::string id = NewRecordId();
  const std::string record = RecordJson(unit, context, files, id);
  CreateNew(files.Json, record);
  // One line per unit; a lock keeps lines of units that end together whole.
  const std::string csv = dir + "/results.csv";
  const int fd = open(csv.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) throw std::runtime_error("cannot write " + csv + ": " + std::strerror(errno));
  flock(fd, LOCK_EX);
  struct stat st {};
  fstat(fd, &st);
  const std::string line = (st.st_size == 0 ? std::string(kResultsHeader) + "\n" : "") + ResultsLine(unit) + "\n";
  const ssize_t n = write(fd, line.data(), line.size());
  const int err = errno;
  flock(fd, LOCK_UN);
  close(fd);
  if (n != ssize_t(line.size())) throw std::runtime_error("cannot write " + csv + ": " + std::strerror(err));
  // Named by its start so the spool goes in oldest first; the id keeps names apart.
  std::string when = IsoUtc(unit.Started);
  when.erase(std::remove_if(when.begin(), when.end(), [](char c) { return c == ':' || c == '-'; }), when.end());
  SpoolRecord(dir, record, when + "-" + id);
  return files;
}

}  // namespace zav::qc
