#include "terminal/ReceiveLog.h"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace zav {

TLogTime TLogTime::Now() {
  using namespace std::chrono;
  TLogTime t;
  t.MonotonicMs = duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
  const auto wall = system_clock::now();
  const std::time_t secs = system_clock::to_time_t(wall);
  std::tm local{};
  localtime_r(&secs, &local);
  const int64_t ms = duration_cast<milliseconds>(wall.time_since_epoch()).count() % 1000;
  t.LocalMsOfDay = ((int64_t(local.tm_hour) * 60 + local.tm_min) * 60 + local.tm_sec) * 1000 + (ms < 0 ? 0 : ms);
  t.LocalDay = sys_days(year(local.tm_year + 1900) / month(unsigned(local.tm_mon + 1)) / day(unsigned(local.tm_mday)))
                   .time_since_epoch()
                   .count();
  return t;
}

std::string FormatStamp(int64_t localMsOfDay) {
  const int64_t ms = ((localMsOfDay % 86'400'000) + 86'400'000) % 86'400'000;
  char buf[24];
  std::snprintf(buf, sizeof buf, "[%02d:%02d:%02d.%03d] ", int(ms / 3'600'000), int(ms / 60'000 % 60),
                int(ms / 1000 % 60), int(ms % 1000));
  return buf;
}

std::string FormatHexRow(uint64_t offset, std::string_view bytes) {
  static const char kDigits[] = "0123456789abcdef";
  char head[24];
  std::snprintf(head, sizeof head, "%08llx  ", static_cast<unsigned long long>(offset));
  std::string row = head;
  for (size_t i = 0; i < 16; ++i) {
    if (i < bytes.size()) {
      const auto b = static_cast<uint8_t>(bytes[i]);
      row += kDigits[b >> 4];
      row += kDigits[b & 15];
      row += ' ';
    } else {
      row += "   ";
    }
    if (i == 7) row += ' ';
  }
  row += " |";
  for (size_t i = 0; i < bytes.size() && i < 16; ++i) {
    const auto b = static_cast<uint8_t>(bytes[i]);
    row += b >= 0x20 && b < 0x7F ? char(b) : '.';
  }
  row += "|\n";
  return row;
}

TReceiveLog::TReceiveLog(Mode mode, bool stamps, int64_t gapMs) : mode_(mode), stamps_(stamps), gapMs_(gapMs) {}

std::string TReceiveLog::Emit() {
  std::string out = stamps_ ? FormatStamp(firstTime_.LocalMsOfDay) : std::string();
  if (mode_ == Mode::Hex) {
    out += FormatHexRow(offset_, held_);
    offset_ += held_.size();
  } else {
    out += held_;
    // A line given out before its end still ends here, so that the next
    // stamp starts a line of its own.
    if (held_.back() != '\n') out += '\n';
  }
  held_.clear();
  return out;
}

std::string TReceiveLog::Feed(std::string_view bytes, const TLogTime& now) {
  if (Passthrough()) return std::string(bytes);
  std::string out = Flush(now);
  const size_t unit = mode_ == Mode::Hex ? 16 : kMaxLine;
  for (const char c : bytes) {
    if (held_.empty()) firstTime_ = now;
    held_ += c;
    if (held_.size() == unit || (mode_ == Mode::Text && c == '\n')) out += Emit();
  }
  lastTime_ = now;
  return out;
}

std::string TReceiveLog::Flush(const TLogTime& now) {
  if (held_.empty() || now.MonotonicMs - lastTime_.MonotonicMs < gapMs_) return {};
  return Emit();
}

int64_t TReceiveLog::MsUntilFlush(const TLogTime& now) const {
  if (held_.empty()) return -1;
  const int64_t left = lastTime_.MonotonicMs + gapMs_ - now.MonotonicMs;
  return left > 0 ? left : 0;
}

std::string TReceiveLog::Finish() {
  std::string out = held_.empty() ? std::string() : Emit();
  if (mode_ == Mode::Hex && offset_ > 0) {
    char tail[24];
    std::snprintf(tail, sizeof tail, "%08llx\n", static_cast<unsigned long long>(offset_));
    out += tail;
  }
  return out;
}

}  // namespace zav
