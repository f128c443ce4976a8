// Validates a JUnit report the way a consumer reads it: well-formed XML that
// satisfies the schema of the required elements (tests/data/qc/junit.xsd).
#pragma once

#include <string>

namespace zav::test {

// Empty when `xml` is valid; otherwise the parser's or validator's reasons.
std::string JUnitProblems(const std::string& xml);

}  // namespace zav::test
