// What a unit's run leaves behind: a JUnit report for CI systems, the
// transcript, the unit's record (JSON, also spooled for the database), and a
// line in the results log shared by every unit.
#pragma once

#include <string>

#include "qc/PlanRun.h"
#include "qc/Record.h"

namespace zav::qc {

// The unit's JUnit XML: one <testsuite> with the unit id and port as
// properties and a <testcase> per step (<failure>, <error> or <skipped/>).
std::string JUnitXml(const UnitResult& unit);
// Text as it goes inside XML or HTML: markup escaped, control bytes and bytes
// that are not UTF-8 shown as \xNN.
std::string XmlText(std::string_view text);
// A file name part from the unit id, else the port's name: letters, digits,
// '.', '_' and '-' kept, the rest '_'.
std::string UnitFileName(const UnitResult& unit);

// Writes UNIT-YYYYmmdd-HHMMSS.xml, .log and .json (the record) into `dir` (a
// later copy of the same name gets -2, -3, ...), keeps the files the unit
// sent in UNIT-...files/, appends the unit's line to dir/results.csv (with its
// header when the file is new) and puts the record in dir's spool for the
// database. Throws std::runtime_error.
ReportFiles WriteReports(const UnitResult& unit, const std::string& dir, const RecordContext& context = {});
// One results.csv line (no newline) and the header.
std::string ResultsLine(const UnitResult& unit);
extern const char* const kResultsHeader;

}  // namespace zav::qc
