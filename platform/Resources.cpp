#include "platform/Resources.h"

#include <map>
#include <mutex>

namespace zav {
namespace {

struct Table {
  std::mutex m;
  std::map<std::string, std::span<const uint8_t>> blobs;
};

Table& Resources() {
  static Table* t = new Table;  // used from static initialisers of other units
  return *t;
}

}  // namespace

void RegisterResource(const std::string& name, std::span<const uint8_t> data) {
  Table& t = Resources();
  std::lock_guard lock(t.m);
  t.blobs[name] = data;
}

void UnregisterResource(const std::string& name) {
  Table& t = Resources();
  std::lock_guard lock(t.m);
  t.blobs.erase(name);
}

std::optional<std::span<const uint8_t>> FindResource(const std::string& name) {
  Table& t = Resources();
  std::lock_guard lock(t.m);
  auto it = t.blobs.find(name);
  if (it == t.blobs.end()) return std::nullopt;
  return it->second;
}

}  // namespace zav
