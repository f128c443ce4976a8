// Raw-data resources of the program, found by name.
//
// The tables generated at build time (string tables, key and character-set
// maps) register themselves here from the unit that reads them; tests may
// register blobs of their own. Registration and lookup are thread-safe; the
// bytes must outlive the program (static data).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace zav {

void RegisterResource(const std::string& name, std::span<const uint8_t> data);
void UnregisterResource(const std::string& name);
std::optional<std::span<const uint8_t>> FindResource(const std::string& name);

}  // namespace zav
