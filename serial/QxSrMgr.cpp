#include "serial/QxSrMgr.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "platform/Resources.h"
#include "resources/strings/StringTables.h"

namespace zav {
namespace {

constexpr uint32_t kHeaderSize = 8;
constexpr uint32_t kEntrySize = 12;
constexpr size_t kMaxNameLength = 255;

// Message identifiers of the reader's own table.
constexpr uint32_t kMsgStringNotFound = 1;
constexpr uint32_t kMsgCannotLock = 2;
constexpr uint32_t kMsgResourceNotFound = 3;
constexpr uint32_t kMsgCannotOpen = 4;
constexpr uint32_t kMsgInvalid = 5;

// The reader's own table, once it is built. Until then (while it is being
// read, or when it is itself broken) the messages come from the copies below,
// so that a broken table can still be reported.
std::atomic<const TQxStringResource*> readerTable{nullptr};

const char* FallbackMessage(uint32_t id) {
  switch (id) {
    case kMsgStringNotFound: return "String not found: %d";
    case kMsgCannotLock: return "Cannot lock resource";
    case kMsgResourceNotFound: return "String resource not found: %s";
    case kMsgCannotOpen: return "Unable to open string resource: %s";
    default: return "Invalid QRString resource";
  }
}

// Replaces the first %d or %s of the message with arg (the message is never
// handed to printf: it comes from a table).
std::string ReaderMessage(uint32_t id, const std::string& arg = {}) {
  std::string text;
  if (const TQxStringResource* table = readerTable.load()) text = table->GetText(id);
  if (text.empty()) text = FallbackMessage(id);
  for (size_t i = 0; i + 1 < text.size(); ++i) {
    if (text[i] == '%' && (text[i + 1] == 'd' || text[i + 1] == 's')) {
      text.replace(i, 2, arg);
      break;
    }
  }
  return text;
}

uint32_t ReadU32(std::span<const uint8_t> data, uint64_t offset) {
  return uint32_t(data[offset]) | uint32_t(data[offset + 1]) << 8 |
         uint32_t(data[offset + 2]) << 16 | uint32_t(data[offset + 3]) << 24;
}

bool IsHighSurrogate(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLowSurrogate(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

// Units and UTF-8 bytes of the code point starting at text[i].
void CodePointSize(std::u16string_view text, size_t i, size_t& units, size_t& bytes) {
  char16_t u = text[i];
  units = 1;
  if (u < 0x80) {
    bytes = 1;
  } else if (u < 0x800) {
    bytes = 2;
  } else if (IsHighSurrogate(u) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
    units = 2;
    bytes = 4;
  } else {
    bytes = 3;  // a lone surrogate turns into U+FFFD, also 3 bytes
  }
}

}  // namespace

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    size_t units, bytes;
    CodePointSize(text, i, units, bytes);
    uint32_t cp = text[i];
    if (units == 2) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
    } else if (IsHighSurrogate(text[i]) || IsLowSurrogate(text[i])) {
      cp = 0xFFFD;
    }
    if (bytes == 1) {
      out += char(cp);
    } else if (bytes == 2) {
      out += char(0xC0 | cp >> 6);
      out += char(0x80 | (cp & 0x3F));
    } else if (bytes == 3) {
      out += char(0xE0 | cp >> 12);
      out += char(0x80 | (cp >> 6 & 0x3F));
      out += char(0x80 | (cp & 0x3F));
    } else {
      out += char(0xF0 | cp >> 18);
      out += char(0x80 | (cp >> 12 & 0x3F));
      out += char(0x80 | (cp >> 6 & 0x3F));
      out += char(0x80 | (cp & 0x3F));
    }
    i += units;
  }
  return out;
}

TQxStringResource::TQxStringResource(const std::string& resourceName)
    : name_(resourceName.substr(0, kMaxNameLength)) {
  std::optional<std::span<const uint8_t>> found = FindResource(name_);
  if (!found) throw EQrsStringResourceError(ReaderMessage(kMsgResourceNotFound, name_));
  if (found->data() == nullptr || found->empty()) {
    throw EQrsStringResourceError(ReaderMessage(kMsgCannotOpen, name_));
  }
  data_ = *found;

  // The whole table is checked once here, so a lookup can never read outside
  // the resource and the binary search always sees sorted identifiers.
  const EQrsStringResourceError invalid(ReaderMessage(kMsgInvalid));
  if (data_.size() < kHeaderSize || std::memcmp(data_.data(), "STR0", 4) != 0) throw invalid;
  count_ = ReadU32(data_, 4);
  const uint64_t tableEnd = kHeaderSize + uint64_t(kEntrySize) * count_;
  if (tableEnd > data_.size()) throw invalid;
  for (uint32_t i = 0; i < count_; ++i) {
    const uint64_t entry = kHeaderSize + uint64_t(kEntrySize) * i;
    const uint64_t offset = ReadU32(data_, entry + 4);
    const uint64_t length = ReadU32(data_, entry + 8);
    if (offset + 2 * length > data_.size()) throw invalid;
    if (i > 0 && ReadU32(data_, entry) <= ReadU32(data_, entry - kEntrySize)) throw invalid;
  }
}

TQxStringResource::~TQxStringResource() {
  const TQxStringResource* self = this;
  readerTable.compare_exchange_strong(self, nullptr);
}

uint32_t TQxStringResource::IdAt(uint32_t index) const {
  return index < count_ ? ReadU32(data_, kHeaderSize + uint64_t(kEntrySize) * index) : 0;
}

bool TQxStringResource::Find(uint32_t id, std::u16string& text) const {
  // The resource is static data checked at construction; "locking" it is
  // only making sure it is still there.
  if (data_.empty()) throw EQrsStringResourceError(ReaderMessage(kMsgCannotLock));
  int64_t lo = 0;
  int64_t hi = int64_t(count_) - 1;
  while (lo <= hi) {
    const int64_t mid = (lo + hi) / 2;
    const uint64_t entry = kHeaderSize + uint64_t(kEntrySize) * uint64_t(mid);
    const uint32_t midId = ReadU32(data_, entry);
    if (midId < id) {
      lo = mid + 1;
    } else if (midId > id) {
      hi = mid - 1;
    } else {
      const uint64_t offset = ReadU32(data_, entry + 4);
      const uint32_t length = ReadU32(data_, entry + 8);
      text.resize(length);
      for (uint32_t k = 0; k < length; ++k) {
        text[k] = char16_t(data_[offset + 2 * k] | data_[offset + 2 * k + 1] << 8);
      }
      return true;
    }
  }
  if (ReportMissing) {
    throw EQrsStringResourceError(ReaderMessage(kMsgStringNotFound, std::to_string(id)));
  }
  return false;
}

std::string TQxStringResource::GetText(uint32_t id) const {
  std::u16string text;
  if (!Find(id, text)) return {};
  return Utf16ToUtf8(text);
}

char* TQxStringResource::GetTextToBuffer(uint32_t id, char* buffer, size_t size) const {
  if (buffer == nullptr || size == 0) return buffer;
  buffer[0] = '\0';
  std::u16string text;
  if (!Find(id, text)) return buffer;
  // Whole code points only: the longest prefix whose UTF-8 form leaves room
  // for the terminator.
  size_t units = 0;
  size_t bytes = 0;
  while (units < text.size()) {
    size_t u, b;
    CodePointSize(text, units, u, b);
    if (bytes + b >= size) break;
    units += u;
    bytes += b;
  }
  const std::string utf8 = Utf16ToUtf8(std::u16string_view(text).substr(0, units));
  std::memcpy(buffer, utf8.data(), utf8.size());
  buffer[utf8.size()] = '\0';
  return buffer;
}

namespace {

// Makes sure the generated tables are registered before a built-in reader
// looks for them, whatever the order of static initialisation.
const std::string& BuiltIn(const std::string& name) {
  RegisterStringTables();
  return name;
}

}  // namespace

TQxStringResource& QxSrMgrStrings() {
  static const std::string name = "QXSRMGR_STRINGS";
  static TQxStringResource table(BuiltIn(name));
  readerTable.store(&table);
  return table;
}

TQxStringResource& MeroErrorStrings() {
  static const std::string name = "MERO_ERROR_STRINGS_ENGLISH";
  static TQxStringResource table(BuiltIn(name));
  return table;
}

void InitStringResources() {
  QxSrMgrStrings();
  MeroErrorStrings();
}

namespace {

// Both process-wide readers exist from program start; a broken built-in table
// ends the program here, before anything else runs, with the reader's message.
bool StartUp() {
  try {
    InitStringResources();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    std::abort();
  }
  return true;
}

const bool started = StartUp();

}  // namespace

}  // namespace zav
