#define PCRE2_CODE_UNIT_WIDTH 8
#include "qc/StreamMatch.h"

#include <pcre2.h>

#include <algorithm>

namespace zav::qc {

namespace {

// Bounds a pattern that backtracks without end: its step fails instead of
// holding the unit forever.
constexpr uint32_t kMatchLimit = 10'000'000;

std::string ErrorMessage(int code) {
  PCRE2_UCHAR buf[256];
  if (pcre2_get_error_message(code, buf, sizeof buf) < 0) return "error " + std::to_string(code);
  return reinterpret_cast<const char*>(buf);
}

}  // namespace

std::shared_ptr<Pattern> Pattern::Compile(const std::string& source, std::string& error, size_t& errorOffset) {
  int code = 0;
  PCRE2_SIZE offset = 0;
  pcre2_code* compiled = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(source.data()), source.size(), 0, &code,
                                       &offset, nullptr);
  if (compiled == nullptr) {
    error = ErrorMessage(code);
    errorOffset = offset;
    return nullptr;
  }
  std::shared_ptr<Pattern> p(new Pattern);
  p->source_ = source;
  p->code_ = compiled;
  pcre2_pattern_info(compiled, PCRE2_INFO_CAPTURECOUNT, &p->groups_);
  uint32_t behind = 0;
  pcre2_pattern_info(compiled, PCRE2_INFO_MAXLOOKBEHIND, &behind);
  // \b and friends look one byte back too.
  p->lookBehind_ = std::max<size_t>(behind, 1);
  // Without JIT (a machine that forbids executable memory) the interpreter
  // gives the same results, only slower.
  p->jit_ = pcre2_jit_compile(compiled, PCRE2_JIT_COMPLETE | PCRE2_JIT_PARTIAL_HARD) == 0;
  return p;
}

Pattern::~Pattern() { pcre2_code_free(code_); }

bool Pattern::MatchesWhole(std::string_view value) const {
  pcre2_match_data* data = pcre2_match_data_create_from_pattern(code_, nullptr);
  pcre2_match_context* context = pcre2_match_context_create(nullptr);
  pcre2_set_match_limit(context, kMatchLimit);
  const int rc = pcre2_match(code_, reinterpret_cast<PCRE2_SPTR>(value.data()), value.size(), 0,
                             PCRE2_ANCHORED | PCRE2_ENDANCHORED, data, context);
  pcre2_match_context_free(context);
  pcre2_match_data_free(data);
  return rc >= 0;
}

std::string_view StreamText::From(uint64_t from) const {
  if (from <= base_) return text_;
  if (from >= End()) return {};
  return std::string_view(text_).substr(size_t(from - base_));
}

void StreamText::DropBefore(uint64_t offset) {
  if (offset <= base_) return;
  const size_t n = size_t(std::min<uint64_t>(offset - base_, text_.size()));
  text_.erase(0, n);
  base_ += n;
}

void StreamText::KeepLast(size_t limit) {
  if (text_.size() > limit) DropBefore(End() - limit);
}

StreamSearch::StreamSearch(std::shared_ptr<const Pattern> pattern, uint64_t from)
    : pattern_(std::move(pattern)), next_(from) {
  data_ = pcre2_match_data_create_from_pattern(pattern_->code_, nullptr);
  context_ = pcre2_match_context_create(nullptr);
  pcre2_set_match_limit(context_, kMatchLimit);
}

StreamSearch::~StreamSearch() {
  pcre2_match_context_free(context_);
  pcre2_match_data_free(data_);
}

uint64_t StreamSearch::Needs() const { return next_ - std::min<uint64_t>(next_, pattern_->LookBehind()); }

StreamSearch::Result StreamSearch::Scan(const StreamText& text, bool final) {
  // The subject is everything since the last match, so ^ and look-behinds see
  // it; PCRE2 starts at `start` and does not scan the bytes before it again.
  next_ = std::clamp(next_, text.Begin(), text.End());
  const std::string_view subject = text.View();
  const size_t start = size_t(next_ - text.Begin());
  const int rc = pcre2_match(pattern_->code_, reinterpret_cast<PCRE2_SPTR>(subject.data()), subject.size(), start,
                             final ? 0 : PCRE2_PARTIAL_HARD, data_, context_);
  const PCRE2_SIZE* ov = pcre2_get_ovector_pointer(data_);
  if (rc == PCRE2_ERROR_NOMATCH) {
    next_ = text.End();
    return Result::None;
  }
  if (rc == PCRE2_ERROR_PARTIAL) {
    next_ = text.Begin() + ov[0];
    return Result::Partial;
  }
  if (rc < 0) {
    error_ = ErrorMessage(rc);
    return Result::Error;
  }
  matchBegin_ = text.Begin() + ov[0];
  matchEnd_ = text.Begin() + ov[1];
  groups_.assign(pattern_->Groups() + 1, std::string());
  for (int i = 0; i < rc && size_t(i) < groups_.size(); ++i)
    if (ov[2 * i] != PCRE2_UNSET) groups_[i].assign(subject.substr(ov[2 * i], ov[2 * i + 1] - ov[2 * i]));
  next_ = std::max(matchEnd_, matchBegin_ + 1);
  return Result::Match;
}

}  // namespace zav::qc
