#include "terminal/QXTrmMap.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "platform/Resources.h"

namespace zav {

void RegisterTerminalResources();  // resources/terminal

namespace {

constexpr size_t kMaxString = 63;

std::string Cut(const std::string& s) { return s.size() > kMaxString ? s.substr(0, kMaxString) : s; }

bool SameIgnoringCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(uint8_t(x)) == std::tolower(uint8_t(y));
         });
}

std::span<const uint8_t> FindTable(const std::string& name) {
  RegisterTerminalResources();
  std::string upper = name;
  for (char& c : upper) c = char(std::toupper(uint8_t(c)));
  auto found = FindResource(upper);
  return found ? *found : std::span<const uint8_t>();
}

// Reads an AHT3 table; every read is checked against the end.
class TableReader {
 public:
  explicit TableReader(std::span<const uint8_t> data) : data_(data) {}
  bool Signature() {
    if (data_.size() - pos_ < 4 || std::memcmp(data_.data() + pos_, "AHT3", 4) != 0) return false;
    pos_ += 4;
    return true;
  }
  bool U32(uint32_t& v) {
    if (data_.size() - pos_ < 4) return false;
    v = uint32_t(data_[pos_]) | uint32_t(data_[pos_ + 1]) << 8 | uint32_t(data_[pos_ + 2]) << 16 |
        uint32_t(data_[pos_ + 3]) << 24;
    pos_ += 4;
    return true;
  }
  bool Byte(uint8_t& v) {
    if (pos_ >= data_.size()) return false;
    v = data_[pos_++];
    return true;
  }
  bool String(std::string& s) {
    uint8_t len;
    if (!Byte(len) || data_.size() - pos_ < len) return false;
    s.assign(reinterpret_cast<const char*>(data_.data() + pos_), len);
    pos_ += len;
    return true;
  }

 private:
  std::span<const uint8_t> data_;
  size_t pos_ = 0;
};

}  // namespace

uint32_t QxMapHash(const std::string& s, uint32_t start) {
  uint32_t h = start;
  for (unsigned char c : s) {
    h = (h << 4) + c;
    const uint32_t g = h & 0xF0000000u;
    if (g != 0) h = (h ^ (g >> 24)) & ~g;
  }
  return h;
}

// ---------------------------------------------------------------------------

TCharQueue::TCharQueue() : buf_(32, '\0') {}

void TCharQueue::Add(char c) {
  if (len_ + 1 >= buf_.size()) buf_.resize(buf_.size() + 32, '\0');
  buf_[len_++] = c;
  buf_[len_] = '\0';
}

void TCharQueue::Clear() {
  len_ = 0;
  buf_[0] = '\0';
}

// ---------------------------------------------------------------------------

bool TQxKeyboardMapping::Add(const std::string& key, const std::string& value) {
  const std::string k = Cut(key);
  auto& bucket = buckets_[QxMapHash(k) % kBuckets];
  for (const Entry& e : bucket)
    if (e.Key == k) return false;
  bucket.push_front({k, Cut(value)});
  ++count_;
  return true;
}

std::string TQxKeyboardMapping::Get(const std::string& key) const {
  const std::string k = Cut(key);
  for (const Entry& e : buckets_[QxMapHash(k) % kBuckets])
    if (e.Key == k) return e.Value;
  return {};
}

void TQxKeyboardMapping::Clear() {
  for (auto& b : buckets_) b.clear();
  count_ = 0;
}

bool TQxKeyboardMapping::LoadFromResource(const std::string& name) { return LoadFromData(FindTable(name)); }

bool TQxKeyboardMapping::LoadFromData(std::span<const uint8_t> data) {
  Clear();
  TableReader r(data);
  uint32_t n = 0;
  if (!r.Signature() || !r.U32(n)) return false;
  for (uint32_t i = 0; i < n; ++i) {
    std::string key, value;
    if (!r.String(key) || !r.String(value)) {
      Clear();
      return false;
    }
    Add(key, value);
  }
  if (!r.Signature()) {
    Clear();
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------

const TQxCharSetMapping::Entry* TQxCharSetMapping::Find(const std::string& charSet, uint8_t ch) const {
  for (const Entry& e : buckets_[QxMapHash(charSet, ch) % kBuckets])
    if (e.Char == ch && e.CharSet == charSet) return &e;
  return nullptr;
}

bool TQxCharSetMapping::Add(const std::string& charSet, uint8_t first, uint8_t last, uint8_t firstGlyph,
                            const std::string& font) {
  if (first > last) return false;
  const std::string set = Cut(charSet);
  for (int c = first; c <= last; ++c)
    if (Find(set, uint8_t(c))) return false;
  const std::string f = Cut(font);
  for (int c = first; c <= last; ++c) {
    buckets_[QxMapHash(set, uint8_t(c)) % kBuckets].push_front({set, f, uint8_t(c), uint8_t(firstGlyph + (c - first))});
    ++count_;
  }
  return true;
}

void TQxCharSetMapping::BuildDrawList(const std::string& charSet, const uint8_t* text, size_t length) {
  nextItem_ = 0;
  itemCount_ = 0;
  if (length == 0) return;
  const std::string set = Cut(charSet);
  const std::string defaultFont = kDefaultFont;
  const std::string* font = nullptr;
  queue_.Clear();
  auto close = [&] {
    if (itemCount_ == items_.size()) items_.emplace_back();
    DrawItem& item = items_[itemCount_++];
    item.Font = *font;
    item.Text.assign(queue_.Text(), queue_.Length());
    queue_.Clear();
  };
  for (size_t i = 0; i < length; ++i) {
    const Entry* e = Find(set, text[i]);
    const std::string* f = e ? &e->Font : &defaultFont;
    if (font && *f != *font) close();
    font = f;
    queue_.Add(char(e ? e->Glyph : text[i]));
  }
  close();
}

bool TQxCharSetMapping::NextDrawItem(std::string& font, std::string& text) {
  if (nextItem_ >= itemCount_) return false;
  font = items_[nextItem_].Font;
  text = items_[nextItem_].Text;
  ++nextItem_;
  return true;
}

void TQxCharSetMapping::GetFontNames(std::vector<std::string>& list) const {
  list.clear();
  const std::string* previous = nullptr;
  for (const auto& bucket : buckets_) {
    for (const Entry& e : bucket) {
      const bool skip = (previous && SameIgnoringCase(*previous, e.Font)) ||
                        std::any_of(list.begin(), list.end(),
                                    [&](const std::string& n) { return SameIgnoringCase(n, e.Font); });
      previous = &e.Font;
      if (!skip) list.push_back(e.Font);
    }
  }
}

void TQxCharSetMapping::Clear() {
  nextItem_ = 0;
  itemCount_ = 0;
  for (auto& b : buckets_) b.clear();
  count_ = 0;
}

bool TQxCharSetMapping::LoadFromResource(const std::string& name) { return LoadFromData(FindTable(name)); }

bool TQxCharSetMapping::LoadFromData(std::span<const uint8_t> data) {
  Clear();
  TableReader r(data);
  uint32_t n = 0;
  if (!r.Signature() || !r.U32(n)) return false;
  for (uint32_t i = 0; i < n; ++i) {
    std::string set, font;
    uint8_t ch = 0, glyph = 0;
    if (!r.String(set) || !r.String(font) || !r.Byte(ch) || !r.Byte(glyph)) {
      Clear();
      return false;
    }
    Add(set, ch, ch, glyph, font);
  }
  if (!r.Signature()) {
    Clear();
    return false;
  }
  return true;
}

}  // namespace zav
