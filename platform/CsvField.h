// One field of a CSV file as a spreadsheet reads it back.
#pragma once

#include <string>
#include <string_view>

namespace zav {

// Quoted when it holds a comma, a quote or a line end. Text that came from a
// device and that a spreadsheet would take for a formula (=, +, -, @, or a
// tab or CR first) gets a quote mark in front, so it stays text.
inline std::string CsvField(std::string_view raw) {
  const bool formula = !raw.empty() && std::string_view("=+-@\t\r").find(raw.front()) != std::string_view::npos;
  std::string text = formula ? "'" + std::string(raw) : std::string(raw);
  if (!formula && text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + '"';
}

}  // namespace zav
