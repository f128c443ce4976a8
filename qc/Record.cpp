#include "qc/Record.h"

#include <openssl/evp.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>
#include <stdexcept>

namespace zav::qc {

namespace {

using nlohmann::json;

// A limit or a value: a number, or null when there is none.
json Optional(const std::optional<double>& v) { return v && std::isfinite(*v) ? json(*v) : json(nullptr); }

}  // namespace

std::string Sha256Hex(std::string_view data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_Digest(data.data(), data.size(), digest, &size, EVP_sha256(), nullptr) != 1)
    throw std::runtime_error("SHA-256 failed");
  std::string hex;
  char byte[3];
  for (unsigned int i = 0; i < size; ++i) {
    std::snprintf(byte, sizeof byte, "%02x", digest[i]);
    hex += byte;
  }
  return hex;
}

std::string NewRecordId() {
  unsigned char b[16];
  size_t got = 0;
  while (got < sizeof b) {
    const ssize_t n = getrandom(b + got, sizeof b - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw std::runtime_error("no random bytes for a record id");
    got += size_t(n);
  }
  b[6] = (b[6] & 0x0F) | 0x40;  // version 4
  b[8] = (b[8] & 0x3F) | 0x80;  // variant 1
  char text[40];
  std::snprintf(text, sizeof text, "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", b[0], b[1],
                b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
  return text;
}

std::string IsoUtc(WallTime t) {
  const auto ms = std::chrono::time_point_cast<std::chrono::milliseconds>(t).time_since_epoch().count();
  const std::time_t secs = std::time_t(ms >= 0 ? ms / 1000 : (ms - 999) / 1000);
  std::tm tm{};
  gmtime_r(&secs, &tm);
  char buf[40];
  const size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
  std::snprintf(buf + n, sizeof buf - n, ".%03dZ", int(((ms % 1000) + 1000) % 1000));
  return buf;
}

std::string HostName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0 || name[0] == 0) return "station";
  return name;
}

std::string RecordJson(const UnitResult& unit, const RecordContext& context, const ReportFiles& files,
                       const std::string& id) {
  json steps = json::array();
  for (const auto& s : unit.Steps) {
    json measurements = json::array();
    for (const auto& m : s.Measurements)
      measurements.push_back({{"name", m.Name},
                              {"value", Optional(m.Value)},
                              {"text", m.Text},
                              {"unit", m.Unit},
                              {"min", Optional(m.Min)},
                              {"max", Optional(m.Max)},
                              {"marginal_min", Optional(m.MarginLow)},
                              {"marginal_max", Optional(m.MarginHigh)},
                              {"outcome", MeasureText(m.Outcome)},
                              {"message", m.Message}});
    steps.push_back({{"name", s.Name},
                     {"teardown", s.Teardown},
                     {"outcome", VerdictText(s.Outcome)},
                     {"tries", s.Tries},
                     {"seconds", s.Seconds},
                     {"message", s.Message},
                     {"detail", s.Detail},
                     {"measurements", measurements}});
  }
  json variables = json::object();
  for (const auto& [name, value] : unit.Variables) variables[name] = value;
  const auto ended = unit.Started + std::chrono::duration_cast<WallTime::duration>(std::chrono::duration<double>(unit.Seconds));
  const json record = {
      {"record", 1},
      {"id", id},
      {"unit_id", unit.UnitId},
      {"station", context.Station.empty() ? HostName() : context.Station},
      {"operator", context.Operator},
      {"plan", {{"name", unit.Plan}, {"file", unit.PlanFile}, {"sha256", unit.PlanSha256}}},
      {"program", {{"name", context.Program}, {"version", context.Version}}},
      {"port", {{"name", unit.Port}, {"line", context.Line}}},
      {"started", IsoUtc(unit.Started)},
      {"ended", IsoUtc(ended)},
      {"seconds", unit.Seconds},
      {"outcome", VerdictText(unit.Outcome)},
      {"error", unit.Error},
      {"first_failure", unit.Error.empty() ? unit.FirstFailure() : std::string("open port")},
      {"steps", steps},
      {"variables", variables},
      {"files", {{"junit", files.Xml}, {"transcript", files.Log}, {"received", files.Received}}},
  };
  return record.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

}  // namespace zav::qc
