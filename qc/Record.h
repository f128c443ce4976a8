// A unit's record: everything a factory keeps of one unit's test, as one
// JSON document (the file beside the JUnit report, the spool entry, the
// database rows all come from it).
#pragma once

#include <string>
#include <string_view>

#include "qc/PlanRun.h"

namespace zav::qc {

// What the host knows that the run does not.
struct RecordContext {
  std::string Station;   // empty: the host name
  std::string Operator;
  std::string Program = "mero";
  std::string Version;
  std::string Line;      // the port's settings, e.g. "115200 8N1"
};

// The files a unit's reports went into.
struct ReportFiles {
  std::string Xml, Log, Json;
  std::vector<std::string> Received;  // kept copies of the files the unit sent
};

// The record as JSON (pretty, UTF-8: bytes that are not are replaced).
// `id` names the record once and for all: the database keeps one row per id.
std::string RecordJson(const UnitResult& unit, const RecordContext& context, const ReportFiles& files,
                       const std::string& id);

// A fresh record id (a random UUID).
std::string NewRecordId();
// SHA-256 of `data` as lower-case hex.
std::string Sha256Hex(std::string_view data);
// UTC as ISO 8601 with milliseconds: 2026-12-09T22:55:01.123Z.
std::string IsoUtc(WallTime t);
// This machine's name, for a station not named otherwise.
std::string HostName();

}  // namespace zav::qc
