// The built-in "STR0" string tables, generated at build time from the text
// sources in this folder.
#pragma once

#include <cstdint>
#include <span>

namespace zav {

std::span<const uint8_t> QxSrMgrStringsBlob();
std::span<const uint8_t> MeroErrorStringsEnglishBlob();

// Registers both tables as program resources ("QXSRMGR_STRINGS",
// "MERO_ERROR_STRINGS_ENGLISH"). Repeated calls are harmless.
void RegisterStringTables();

}  // namespace zav
