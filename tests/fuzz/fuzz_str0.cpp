// The STR0 string-table reader fed arbitrary tables: a table is either
// refused with the reader's error or every entry it lists can be read, whole
// and cut to any buffer size.
#include <cstring>
#include <span>
#include <string>

#include "platform/Resources.h"
#include "tests/fuzz/FuzzInput.h"
#include "serial/QxSrMgr.h"

namespace {

[[noreturn]] void Broken(const char* what) { zav::fuzz::Broken("STR0", what); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zav;
  static const std::string kName = "FUZZ_STR0";
  RegisterResource(kName, std::span<const uint8_t>(data, size));
  try {
    TQxStringResource table(kName);
    if (size_t(table.Count()) * 12 + 8 > size) Broken("more entries than the table holds");
    char small[8];
    for (uint32_t i = 0; i < table.Count(); ++i) {
      const uint32_t id = table.IdAt(i);
      const std::string whole = table.GetText(id);
      const size_t cut = 1 + i % sizeof small;
      table.GetTextToBuffer(id, small, cut);
      const size_t got = std::strlen(small);
      if (got >= cut || whole.compare(0, got, small) != 0) Broken("a cut text is not a prefix that fits");
    }
    table.GetText(0xFFFFFFFFu);
  } catch (const EQrsStringResourceError&) {
    // A malformed table is refused: that is the answer wanted.
  }
  UnregisterResource(kName);
  return 0;
}
