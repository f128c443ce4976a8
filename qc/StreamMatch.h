// Regular expressions on a byte stream that arrives in pieces.
//
// A `StreamText` holds what arrived since the last match; a `StreamSearch`
// looks for one pattern in it and remembers how far it has looked, so every
// byte is scanned once however the stream is cut. A match that could still
// grow with the next byte (`VER 2.1` of `VER (\d+)\.(\d+)` before the `0`
// arrives) is held back as partial; `Scan(text, true)` takes it as it stands
// once the stream has gone quiet. Patterns are PCRE2, JIT-compiled where the
// machine allows, matched on bytes (no UTF unless the pattern asks for it).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// PCRE2's own types, declared here so its header stays out of ours.
struct pcre2_real_code_8;
struct pcre2_real_match_data_8;
struct pcre2_real_match_context_8;

namespace zav::qc {

// A compiled pattern; shareable across searches of one thread.
class Pattern {
 public:
  // Compiles `source`; on failure returns null and sets `error` and the byte
  // offset in the pattern where it went wrong.
  static std::shared_ptr<Pattern> Compile(const std::string& source, std::string& error, size_t& errorOffset);
  ~Pattern();
  Pattern(const Pattern&) = delete;
  Pattern& operator=(const Pattern&) = delete;

  const std::string& Source() const { return source_; }
  uint32_t Groups() const { return groups_; }
  // Bytes before the start of a match that the pattern may look at.
  size_t LookBehind() const { return lookBehind_; }
  // True when the whole of `value` matches.
  bool MatchesWhole(std::string_view value) const;

 private:
  friend class StreamSearch;
  Pattern() = default;
  std::string source_;
  pcre2_real_code_8* code_ = nullptr;
  uint32_t groups_ = 0;
  size_t lookBehind_ = 0;
  bool jit_ = false;
};

// What arrived since the last match, as one string whose front is dropped
// when no search needs it any more. Offsets are counted from the stream's
// start, so they survive the trimming.
class StreamText {
 public:
  void Append(std::string_view bytes) { text_.append(bytes); }
  uint64_t Begin() const { return base_; }
  uint64_t End() const { return base_ + text_.size(); }
  std::string_view View() const { return text_; }
  // The bytes in [from, End()).
  std::string_view From(uint64_t from) const;
  // Forgets everything before `offset`.
  void DropBefore(uint64_t offset);
  // Keeps at most the last `limit` bytes.
  void KeepLast(size_t limit);

 private:
  std::string text_;
  uint64_t base_ = 0;
};

// One pattern looked for in a StreamText, resumable after more bytes come.
class StreamSearch {
 public:
  enum class Result { None, Partial, Match, Error };

  // Looks from stream offset `from` on (bytes before it are context only).
  StreamSearch(std::shared_ptr<const Pattern> pattern, uint64_t from);
  ~StreamSearch();
  StreamSearch(const StreamSearch&) = delete;
  StreamSearch& operator=(const StreamSearch&) = delete;

  // Looks at what came since the last scan. With `final`, a match that could
  // still grow is taken as it stands.
  Result Scan(const StreamText& text, bool final = false);
  // After Result::Match: the match's stream offsets and its groups (group 0
  // is the whole match; a group that took no part is empty).
  uint64_t MatchBegin() const { return matchBegin_; }
  uint64_t MatchEnd() const { return matchEnd_; }
  const std::vector<std::string>& Groups() const { return groups_; }
  // After Result::Error: PCRE2's text.
  const std::string& Error() const { return error_; }
  // The earliest offset this search still needs (context included).
  uint64_t Needs() const;
  const Pattern& Source() const { return *pattern_; }

 private:
  std::shared_ptr<const Pattern> pattern_;
  pcre2_real_match_data_8* data_ = nullptr;
  pcre2_real_match_context_8* context_ = nullptr;
  uint64_t next_;  // no match starts before this offset
  uint64_t matchBegin_ = 0, matchEnd_ = 0;
  std::vector<std::string> groups_;
  std::string error_;
};

}  // namespace zav::qc
