// The VT100 key map and character-set map: string-keyed hash tables loaded
// from the program's "AHT3" resources ("QXVT100KEYMAP", "QXVT100CHARSET").
//
// Strings are at most 63 bytes (longer ones are cut) and compare exactly. A
// missing resource, a wrong signature at either end or a truncated table
// leaves the table empty, never partly filled. GUI thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <forward_list>
#include <span>
#include <string>
#include <vector>

namespace zav {

// The tables' string hash; the key map starts from 0, the character-set map
// from the character code.
uint32_t QxMapHash(const std::string& s, uint32_t start = 0);

// A growing zero-terminated text: capacity 32, then 32 more at a time.
class TCharQueue {
 public:
  TCharQueue();
  void Add(char c);
  void Clear();
  std::string Copy() const { return std::string(buf_.data(), len_); }
  size_t Length() const { return len_; }
  const char* Text() const { return buf_.data(); }

 private:
  std::vector<char> buf_;
  size_t len_ = 0;
};

class TQxKeyboardMapping {
 public:
  static constexpr int kBuckets = 57;

  // False, and nothing changes, when the key is present: the first one wins.
  bool Add(const std::string& key, const std::string& value);
  // The value, or empty.
  std::string Get(const std::string& key) const;
  void Clear();
  int Count() const { return count_; }
  // Resource names match without regard to case. False when the table stays empty.
  bool LoadFromResource(const std::string& name);
  bool LoadFromData(std::span<const uint8_t> data);

 private:
  struct Entry {
    std::string Key;
    std::string Value;
  };
  std::forward_list<Entry> buckets_[kBuckets];
  int count_ = 0;
};

class TQxCharSetMapping {
 public:
  static constexpr int kBuckets = 199;
  static constexpr const char* kDefaultFont = "<Default>";

  // One entry per character first..last, glyphs counting up from firstGlyph.
  // False, and nothing added, when any of them is already mapped for the set.
  bool Add(const std::string& charSet, uint8_t first, uint8_t last, uint8_t firstGlyph, const std::string& font);
  // Translates `text` for the set into draw items: runs of characters with
  // the same font ("<Default>" for unmapped ones). Empties the list first.
  void BuildDrawList(const std::string& charSet, const uint8_t* text, size_t length);
  void BuildDrawList(const std::string& charSet, const std::string& text) {
    BuildDrawList(charSet, reinterpret_cast<const uint8_t*>(text.data()), text.size());
  }
  // Removes and returns the first draw item; false when none is left.
  bool NextDrawItem(std::string& font, std::string& text);
  // Every distinct font name of the table (names compared without case).
  void GetFontNames(std::vector<std::string>& list) const;
  void Clear();
  int Count() const { return count_; }
  bool LoadFromResource(const std::string& name);
  bool LoadFromData(std::span<const uint8_t> data);

 private:
  struct Entry {
    std::string CharSet;
    std::string Font;
    uint8_t Char;
    uint8_t Glyph;
  };
  struct DrawItem {
    std::string Font;
    std::string Text;
  };
  const Entry* Find(const std::string& charSet, uint8_t ch) const;

  std::forward_list<Entry> buckets_[kBuckets];
  int count_ = 0;
  TCharQueue queue_;
  std::vector<DrawItem> items_;  // reused from call to call
  size_t nextItem_ = 0;
  size_t itemCount_ = 0;
};

}  // namespace zav
