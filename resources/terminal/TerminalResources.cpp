// Registers the generated key and character-set maps under their resource
// names. Called by the map loader on first use, so a static library cannot
// lose the tables to the linker.
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>

#include "platform/Resources.h"

namespace zav {
namespace resources {
extern const uint8_t kQxVt100KeyMap[];
extern const size_t kQxVt100KeyMapSize;
extern const uint8_t kQxVt100CharSet[];
extern const size_t kQxVt100CharSetSize;
}  // namespace resources

void RegisterTerminalResources() {
  static std::once_flag once;
  std::call_once(once, [] {
    RegisterResource("QXVT100KEYMAP", std::span(resources::kQxVt100KeyMap, resources::kQxVt100KeyMapSize));
    RegisterResource("QXVT100CHARSET", std::span(resources::kQxVt100CharSet, resources::kQxVt100CharSetSize));
  });
}

}  // namespace zav
