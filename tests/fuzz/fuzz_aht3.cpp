// The AHT3 readers (key map and character-set map) fed arbitrary tables: a
// table loads whole or leaves the map empty, and a loaded map answers lookups.
#include <span>
#include <string>
#include <vector>

#include "terminal/QXTrmMap.h"
#include "tests/fuzz/FuzzInput.h"

namespace {

[[noreturn]] void Broken(const char* what) { zav::fuzz::Broken("AHT3", what); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zav;
  const std::span<const uint8_t> table(data, size);
  const std::string probe(reinterpret_cast<const char*>(data), std::min<size_t>(size, 16));

  TQxKeyboardMapping keys;
  const bool keysLoaded = keys.LoadFromData(table);
  if (!keysLoaded && keys.Count() != 0) Broken("a refused key map kept entries");
  keys.Get(probe);
  keys.Get("\x1b[A");

  TQxCharSetMapping sets;
  const bool setsLoaded = sets.LoadFromData(table);
  if (!setsLoaded && sets.Count() != 0) Broken("a refused character-set map kept entries");
  std::vector<std::string> fonts;
  sets.GetFontNames(fonts);
  for (const std::string& set : {std::string("vt100"), std::string("line"), probe}) {
    sets.BuildDrawList(set, probe);
    std::string font, text;
    size_t chars = 0;
    while (sets.NextDrawItem(font, text)) chars += text.size();
    if (chars != probe.size()) Broken("the draw list lost or added characters");
  }
  return 0;
}
