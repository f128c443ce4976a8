// Reader of the library's "STR0" string tables.
//
// A table is a raw-data resource of the program (platform/Resources.h),
// little-endian:
//   0   4        magic "STR0"
//   4   4        count of entries
//   8   12*count entries: identifier, byte offset of the text from the start
//                of the resource, length of the text in UTF-16 units
//   ... texts in UTF-16LE without terminators
// Entries are sorted by ascending identifier; identifiers are unique.
//
// Texts are handed out in UTF-8. Two tables are always present: the reader's
// own messages ("QXSRMGR_STRINGS") and the error and status texts
// ("MERO_ERROR_STRINGS_ENGLISH").
//
// Thread safety: a reader never changes after construction, so lookups may run
// on any number of threads at once. ReportMissing is set once, before use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "serial/QxExcept.h"

namespace zav {

// Raised by the reader: missing, unloadable or malformed resource; a missing
// identifier when ReportMissing is set.
class EQrsStringResourceError : public Exception {
 public:
  using Exception::Exception;
};

class TQxStringResource {
 public:
  // Finds the resource by name (cut to 255 characters) and checks it:
  // not registered: "String resource not found: %s"; registered without data:
  // "Unable to open string resource: %s"; wrong magic, or a header, entry
  // table or text that does not fit, or identifiers out of order:
  // "Invalid QRString resource".
  explicit TQxStringResource(const std::string& resourceName);
  ~TQxStringResource();
  TQxStringResource(const TQxStringResource&) = delete;
  TQxStringResource& operator=(const TQxStringResource&) = delete;

  // When true, a missing identifier raises "String not found: %d" instead of
  // giving an empty text.
  bool ReportMissing = false;

  // The text of id, whole.
  std::string GetText(uint32_t id) const;

  // The text of id into buffer of size bytes, always zero-terminated (when
  // size > 0): whole UTF-16 units are dropped from the end until the UTF-8
  // form is shorter than size. A missing id gives an empty buffer.
  char* GetTextToBuffer(uint32_t id, char* buffer, size_t size) const;

  uint32_t Count() const { return count_; }
  // Identifier of the entry at index (0 <= index < Count()), in table order.
  uint32_t IdAt(uint32_t index) const;

 private:
  // The UTF-16 text of id; false when missing (and ReportMissing is false).
  bool Find(uint32_t id, std::u16string& text) const;

  std::string name_;
  std::span<const uint8_t> data_;
  uint32_t count_ = 0;
};

// Where the dispatch-log names live in the error table.
constexpr uint32_t idLogKindNames = 15001;     // + kind (0 to 19)
constexpr uint32_t idLogSubKindNames = 15100;  // + sub-kind (1 to 251)
constexpr uint32_t idLogHeader = 15501;        // column titles; 15502 the rule
constexpr uint32_t idModemBitNames = 15601;    // + bit (0 to 7), with a trailing blank
constexpr uint32_t idTelnetOptionNames = 15700;  // + option (0 to 42)

// First sub-kind of each protocol's states; a state's sub-kind is its base
// plus the state's value.
constexpr uint8_t skFaxStates = 30;
constexpr uint8_t skXmodemStates = 117;
constexpr uint8_t skYmodemStates = 138;
constexpr uint8_t skZmodemStates = 160;
constexpr uint8_t skKermitStates = 197;
constexpr uint8_t skAsciiStates = 229;
constexpr uint8_t skBPlusStates = 242;

// UTF-16 units to UTF-8; a lone surrogate becomes U+FFFD.
std::string Utf16ToUtf8(std::u16string_view text);

// The two process-wide readers. InitStringResources creates both (repeated
// calls are harmless) and raises when a built-in table is broken; the library
// calls it at program start, so such a fault stops the program there.
void InitStringResources();
TQxStringResource& QxSrMgrStrings();
TQxStringResource& MeroErrorStrings();

}  // namespace zav
