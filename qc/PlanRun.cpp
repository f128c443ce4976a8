#include "qc/PlanRun.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <sstream>
#include <utility>

namespace zav::qc {

namespace {

using std::chrono::duration;
using std::chrono::duration_cast;
using std::chrono::milliseconds;

// What arrived since the last match is kept up to this much while nothing
// is searched, and a search that holds a partial match keeps at most the
// larger amount.
constexpr size_t kKeepIdle = 1 << 20;
constexpr size_t kKeepMax = 16 << 20;
constexpr size_t kTailBytes = 120;
constexpr size_t kTranscriptMax = 64u << 20;

double Seconds(SteadyTime from, SteadyTime to) { return duration<double>(to - from).count(); }

SteadyTime After(SteadyTime t, double seconds) {
  return t + duration_cast<SteadyTime::duration>(duration<double>(seconds));
}

std::string Fixed(double v, int digits = 2) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", digits, v);
  return buf;
}

std::string Number(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.15g", v);
  return buf;
}

bool SameFile(const std::string& a, const std::string& b) {
  std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
  if (!fa || !fb) return false;
  char ba[65536], bb[65536];
  while (true) {
    fa.read(ba, sizeof ba);
    fb.read(bb, sizeof bb);
    if (fa.gcount() != fb.gcount() || std::memcmp(ba, bb, size_t(fa.gcount())) != 0) return false;
    if (fa.gcount() == 0) return true;
  }
}

// A measured text as a number: decimal with sign and exponent, or hex with
// 0x; spaces around it are ignored.
std::optional<double> ParseValue(const std::string& text) {
  const size_t b = text.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return std::nullopt;
  const std::string t = text.substr(b, text.find_last_not_of(" \t\r\n") - b + 1);
  size_t i = t[0] == '+' || t[0] == '-' ? 1 : 0;
  const bool negative = t[0] == '-';
  if (t.size() > i + 2 && t[i] == '0' && (t[i + 1] == 'x' || t[i + 1] == 'X')) {
    double v = 0;
    for (size_t k = i + 2; k < t.size(); ++k) {
      const char c = char(std::tolower(static_cast<unsigned char>(t[k])));
      if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
      v = v * 16 + (std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : c - 'a' + 10);
    }
    return negative ? -v : v;
  }
  // Only digits, one point and an exponent: no inf, nan or hex floats.
  if (i >= t.size() || !(std::isdigit(static_cast<unsigned char>(t[i])) || t[i] == '.')) return std::nullopt;
  char* end = nullptr;
  const double v = std::strtod(t.c_str(), &end);
  if (*end != '\0' || !std::isfinite(v)) return std::nullopt;
  return v;
}

// Digits after the point in a measured text; -1 when it has an exponent or is hex.
int Decimals(const std::string& text) {
  if (text.find_first_of("eExX") != std::string::npos) return -1;
  const size_t point = text.find('.');
  if (point == std::string::npos) return 0;
  size_t n = 0;
  while (point + 1 + n < text.size() && std::isdigit(static_cast<unsigned char>(text[point + 1 + n]))) ++n;
  return int(n);
}

std::string WithPrecision(double v, int decimals) {
  if (decimals < 0) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%g", v);
    return buf;
  }
  return Fixed(v, decimals);
}

}  // namespace

const char* MeasureText(MeasureOutcome m) {
  switch (m) {
    case MeasureOutcome::Pass: return "PASS";
    case MeasureOutcome::Marginal: return "MARGINAL";
    case MeasureOutcome::Fail: return "FAIL";
    case MeasureOutcome::NotMeasured: break;
  }
  return "NOT MEASURED";
}

std::string Measurement::ValueText() const {
  if (!Value && Outcome == MeasureOutcome::NotMeasured) return "-";
  const size_t b = Text.find_first_not_of(" \t\r\n");
  const std::string t = b == std::string::npos ? "" : Text.substr(b, Text.find_last_not_of(" \t\r\n") - b + 1);
  if (!Value) return "\"" + Printable(Text, 60) + "\"";
  return Printable(t, 60) + (Unit.empty() ? "" : " " + Unit);
}

std::string Measurement::LimitsText() const {
  if (!Min && !Max) return {};
  const int d = Value ? Decimals(Text) : -1;
  auto limit = [&](const std::optional<double>& v) { return v ? WithPrecision(*v, d) : std::string("-"); };
  return "[" + limit(Min) + ", " + limit(Max) + "]";
}

const char* VerdictText(Verdict v) {
  switch (v) {
    case Verdict::Pass: return "PASS";
    case Verdict::Fail: return "FAIL";
    case Verdict::Error: return "ERROR";
    case Verdict::Skipped: return "SKIPPED";
    case Verdict::Aborted: return "ABORTED";
    case Verdict::Running: break;
  }
  return "RUNNING";
}

std::string UnitResult::FirstFailure() const {
  for (const auto& s : Steps)
    if (!s.Teardown && (s.Outcome == Verdict::Fail || s.Outcome == Verdict::Error || s.Outcome == Verdict::Aborted))
      return s.Name;
  return {};
}

std::string Printable(std::string_view bytes, size_t limit) {
  std::string out;
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (out.size() >= limit) {
      out += "...";
      break;
    }
    const unsigned char c = static_cast<unsigned char>(bytes[i]);
    switch (c) {
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      case '\\': out += "\\\\"; break;
      case '"': out += "\\\""; break;
      default:
        if (c >= 0x20 && c < 0x7F) {
          out += char(c);
        } else {
          char hex[8];
          std::snprintf(hex, sizeof hex, "\\x%02X", c);
          out += hex;
        }
    }
  }
  return out;
}

PlanRun::PlanRun(const Plan& plan, RunHost& host, std::string port, std::string unitId, std::string receiveDir)
    : plan_(plan), host_(host), givenId_(std::move(unitId)), receiveDir_(std::move(receiveDir)) {
  for (const auto& s : plan.Setup) steps_.push_back(&s);
  if (plan.UnitId) steps_.push_back(&*plan.UnitId);
  for (const auto& s : plan.Steps) steps_.push_back(&s);
  teardownStart_ = steps_.size();
  for (const auto& s : plan.Teardown) steps_.push_back(&s);
  result_.Plan = plan.Name;
  result_.PlanFile = plan.Path;
  result_.PlanSha256 = plan.Sha256;
  result_.Port = std::move(port);
  result_.UnitId = givenId_;
  for (const Step* s : steps_) {
    StepResult r;
    r.Name = s->Name;
    r.Teardown = result_.Steps.size() >= teardownStart_;
    for (const auto& c : s->Checks) {
      Measurement m;
      m.Name = c.Name;
      m.Unit = c.Unit;
      m.Min = c.Min;
      m.Max = c.Max;
      m.MarginLow = c.MarginLow;
      m.MarginHigh = c.MarginHigh;
      r.Measurements.push_back(std::move(m));
    }
    result_.Steps.push_back(std::move(r));
  }
}

PlanRun::~PlanRun() = default;

void PlanRun::Start(SteadyTime now, WallTime wallNow) {
  if (started_) return;
  started_ = true;
  start_ = now;
  wallStart_ = wallNow;
  result_.Started = wallNow;
  Note(now, '-', "plan \"" + plan_.Name + "\" on " + result_.Port);
  firstTry_ = now;
  BeginStep(now);
  Advance(now);
}

void PlanRun::Received(std::string_view bytes, SteadyTime now) {
  if (bytes.empty() || done_) return;
  Note(now, '<', bytes);
  text_.Append(bytes);
  tail_.append(bytes);
  if (tail_.size() > kTailBytes) tail_.erase(0, tail_.size() - kTailBytes);
  lastArrival_ = now;
  arrived_ = true;
  // Only what a search may still match is worth keeping.
  if (search_)
    text_.DropBefore(std::min(search_->Needs(), text_.End() - std::min<uint64_t>(text_.End(), kKeepIdle)));
  text_.KeepLast(search_ ? kKeepMax : kKeepIdle);
  Advance(now);
}

void PlanRun::Tick(SteadyTime now) { Advance(now); }

void PlanRun::TransferEnded(bool ok, const std::string& message, SteadyTime now) {
  transferEnd_ = {ok, message};
  Advance(now);
}

void PlanRun::Answer(bool yes, SteadyTime now) {
  if (!asking_) return;  // late: the question was withdrawn
  asking_ = false;
  answer_ = yes;
  Advance(now);
}

void PlanRun::TransferNotStarted(const std::string& why, SteadyTime now) {
  transferNotStarted_ = true;
  TransferEnded(false, why, now);
}

void PlanRun::Abort(const std::string& reason, SteadyTime now, Verdict how, bool lineGone) {
  if (done_ || !started_) return;
  Note(now, '-', "stopped: " + reason);
  failed_ = true;
  skipReason_ = reason;
  const bool inTeardown = index_ >= teardownStart_;
  EndStep(how == Verdict::Aborted ? Verdict::Aborted : Verdict::Error, now, reason);
  // The teardown still runs after the steps; stopped in the teardown, the rest of it is not run.
  if (inTeardown || lineGone) {
    for (size_t i = index_ + 1; i < steps_.size(); ++i) result_.Steps[i].Message = "not run: " + reason;
    index_ = steps_.size() - 1;
  }
  Advance(now);
}

std::optional<SteadyTime> PlanRun::NextWake() const {
  if (done_ || !started_) return std::nullopt;
  std::optional<SteadyTime> at;
  switch (phase_) {
    case Phase::Expect:
    case Phase::Absent:
    case Phase::Wait: at = deadline_; break;
    case Phase::Prompt:
      if (steps_[index_]->TimeoutGiven && asking_) at = deadline_;
      break;
    case Phase::Transfer:
      if (steps_[index_]->TimeoutGiven && !cancelled_) at = deadline_;
      break;
    default: break;
  }
  if (settleAt_ && (!at || *settleAt_ < *at)) at = settleAt_;
  return at;
}

void PlanRun::Advance(SteadyTime now) {
  if (inAdvance_ || done_ || !started_) return;
  inAdvance_ = true;
  while (!done_) {
    if (phase_ == Phase::End) {
      ++index_;
      if (failed_ && index_ < teardownStart_) {
        // The rest stay skipped; the teardown runs.
        for (size_t i = index_; i < teardownStart_; ++i) result_.Steps[i].Message = "not run: " + skipReason_;
        index_ = teardownStart_;
      }
      if (index_ >= steps_.size()) {
        Finish(now);
        break;
      }
      result_.Steps[index_].Tries = 0;
      firstTry_ = now;
      BeginStep(now);
      continue;
    }
    if (!RunPhase(now)) break;
  }
  inAdvance_ = false;
}

void PlanRun::BeginStep(SteadyTime now) {
  stepStart_ = now;
  ++result_.Steps[index_].Tries;
  phase_ = Phase::Begin;
  arrived_ = false;
  settleAt_.reset();
  search_.reset();
  transferEnd_.reset();
  transferNotStarted_ = false;
  measured_ = false;
  answer_.reset();
  cancelled_ = false;
  result_.Steps[index_].Outcome = Verdict::Running;
  const int tries = result_.Steps[index_].Tries;
  Note(now, '-', "step \"" + steps_[index_]->Name + "\"" +
                     (tries > 1 ? ", try " + std::to_string(tries) + " of " + std::to_string(steps_[index_]->Retry + 1)
                                : std::string()));
  host_.StepStarted(index_, steps_[index_]->Name);
}

bool PlanRun::EndStep(Verdict v, SteadyTime now, std::string message, std::string detail) {
  StepResult& r = result_.Steps[index_];
  const Step& step = *steps_[index_];
  r.Outcome = v;
  r.Seconds = Seconds(firstTry_, now);
  r.Message = std::move(message);
  r.Detail = std::move(detail);
  stepEnds_[r.Name] = now;
  if (!measured_)
    for (auto& m : r.Measurements) {
      m.Message = "not measured: the step ended before it";
      host_.MeasurementEnded(index_, m);
    }
  measured_ = true;
  search_.reset();
  settleAt_.reset();
  if (asking_) {
    asking_ = false;
    host_.AskWithdrawn();
  }
  // A failure the unit made runs the step again while it has tries left.
  if (v == Verdict::Fail && r.Tries <= step.Retry) {
    Note(now, '-', "FAIL: " + r.Message + "; trying again");
    for (auto& m : r.Measurements) {
      m.Value.reset();
      m.Text.clear();
      m.Message.clear();
      m.Outcome = MeasureOutcome::NotMeasured;
    }
    BeginStep(now);
    phaseStarted_ = false;
    return true;
  }
  if (v == Verdict::Pass && r.Tries > 1) r.Message = "passed on try " + std::to_string(r.Tries);
  if (v != Verdict::Pass && r.Teardown) r.Message += " (teardown: the unit's verdict stands)";
  if (!r.Teardown && v != Verdict::Pass && !step.ContinueOnFailure) failed_ = true;
  if (!r.Teardown && (v == Verdict::Error || v == Verdict::Aborted)) failed_ = true;
  phase_ = Phase::End;
  Note(now, '-', std::string(VerdictText(v)) + (r.Message.empty() ? "" : ": " + r.Message));
  host_.StepEnded(index_, r);
  return true;
}

void PlanRun::Finish(SteadyTime now) {
  Note(now, '-', "end");
  Note(now, 0, {});
  done_ = true;
  result_.Seconds = Seconds(start_, now);
  // What the unit did wrong outweighs what kept the station from finishing.
  bool fail = false, error = false, aborted = false;
  for (const auto& s : result_.Steps) {
    if (s.Teardown) continue;
    fail = fail || s.Outcome == Verdict::Fail;
    error = error || s.Outcome == Verdict::Error;
    aborted = aborted || s.Outcome == Verdict::Aborted;
  }
  result_.Outcome = fail ? Verdict::Fail : aborted ? Verdict::Aborted : error ? Verdict::Error : Verdict::Pass;
  if (result_.UnitId.empty()) {
    const auto id = vars_.find("unit");
    if (id != vars_.end()) result_.UnitId = id->second;
  }
  result_.Variables = vars_;
}

std::string PlanRun::Filled(const SendText& text, std::string& missing) const {
  std::string out;
  for (const auto& piece : text.Pieces) {
    if (!piece.Variable) {
      out += piece.Text;
      continue;
    }
    const auto v = vars_.find(piece.Text);
    if (v == vars_.end()) {
      missing = piece.Text;
      return {};
    }
    out += v->second;
  }
  return out;
}

void PlanRun::LineSent(const std::string& bytes, SteadyTime now) {
  Note(now, '>', bytes);
  host_.Send(bytes);
}

std::string PlanRun::ArrivedLast(SteadyTime now) const {
  if (!arrived_) {
    if (tail_.empty()) return "nothing arrived";
    return "nothing arrived in this step; before it: \"" + Printable(tail_) + "\"";
  }
  return "last arrived " + Fixed(Seconds(stepStart_, lastArrival_)) + " s into the step (" +
         Fixed(Seconds(lastArrival_, now)) + " s ago): \"" + Printable(tail_) + "\"";
}

std::string PlanRun::Measure(SteadyTime now, bool atEnd, const std::vector<std::string>& groups) {
  const Step& s = *steps_[index_];
  if (measured_ || (atEnd && s.Expect)) return {};
  measured_ = true;
  std::string first;
  for (size_t i = 0; i < s.Checks.size(); ++i) {
    const auto& c = s.Checks[i];
    Measurement& m = result_.Steps[index_].Measurements[i];
    const std::string unit = c.Unit.empty() ? "" : " " + c.Unit;
    auto end = [&](MeasureOutcome o, std::string message = {}) {
      m.Outcome = o;
      m.Message = std::move(message);
      const std::string limits = m.LimitsText();
      Note(now, '-', "measured " + m.Name + " = " + m.ValueText() + (limits.empty() ? "" : " " + limits) + " " +
                         MeasureText(o));
      if (o == MeasureOutcome::Fail && first.empty()) first = m.Message;
      host_.MeasurementEnded(index_, m);
    };
    if (!c.Since.empty()) {
      const auto from = stepEnds_.find(c.Since);
      if (from == stepEnds_.end()) {
        end(MeasureOutcome::NotMeasured, "not measured: step \"" + c.Since + "\" did not run");
        continue;
      }
      const double secs = Seconds(from->second, now);
      m.Text = c.Unit == "ms" ? Fixed(secs * 1000, 0) : Fixed(secs, 3);
    } else if (c.Group > 0) {
      m.Text = size_t(c.Group) < groups.size() ? groups[size_t(c.Group)] : std::string();
    } else {
      const auto v = vars_.find(c.Variable);
      if (v == vars_.end()) {
        end(MeasureOutcome::Fail, c.Variable + " was not captured");
        continue;
      }
      m.Text = v->second;
    }
    const std::string& value = m.Text;
    // A check with only a pattern takes any text; everything else is a number.
    if (!c.FromCheck || c.Min || c.Max) {
      m.Value = ParseValue(value);
      if (!m.Value) {
        end(MeasureOutcome::Fail, c.Name + " = \"" + Printable(value) + "\" is not a number");
        continue;
      }
      const int d = Decimals(value);
      auto limit = [&](double v) { return c.FromCheck ? Number(v) : WithPrecision(v, d) + unit; };
      const std::string shown = c.Name + " = " + (c.FromCheck ? value : m.ValueText());
      if (c.Min && *m.Value < *c.Min) {
        end(MeasureOutcome::Fail, shown + " is below the minimum " + limit(*c.Min));
        continue;
      }
      if (c.Max && *m.Value > *c.Max) {
        end(MeasureOutcome::Fail, shown + " is above the maximum " + limit(*c.Max));
        continue;
      }
    }
    if (c.Match && !c.Match->MatchesWhole(value)) {
      end(MeasureOutcome::Fail, c.Name + " = \"" + Printable(value) + "\" does not match /" + c.Match->Source() + "/");
      continue;
    }
    if ((c.MarginLow && *m.Value < *c.MarginLow) || (c.MarginHigh && *m.Value > *c.MarginHigh)) {
      end(MeasureOutcome::Marginal, c.Name + " = " + m.ValueText() + " is near its limit");
      continue;
    }
    end(MeasureOutcome::Pass);
  }
  return first;
}

// Looks for the step's pattern; a match that could still grow is taken once
// the line has been quiet for the plan's settle time.
bool PlanRun::Matched(SteadyTime now) {
  auto r = search_->Scan(text_, false);
  if (r == StreamSearch::Result::Partial) {
    settleAt_ = After(lastArrival_, plan_.Settle);
    if (now >= *settleAt_) r = search_->Scan(text_, true);
  } else {
    settleAt_.reset();
  }
  if (r == StreamSearch::Result::Match) settleAt_.reset();
  return r == StreamSearch::Result::Match;
}

bool PlanRun::RunPhase(SteadyTime now) {
  const Step& s = *steps_[index_];
  const bool first = !std::exchange(phaseStarted_, true);
  auto next = [&](Phase p) {
    phase_ = p;
    phaseStarted_ = false;
    return true;
  };
  switch (phase_) {
    case Phase::Begin: {
      if (s.Dtr || s.Rts) {
        const std::string error = host_.SetLines(s.Dtr, s.Rts);
        Note(now, '-', std::string("set") + (s.Dtr ? (*s.Dtr ? " DTR on" : " DTR off") : "") +
                           (s.Rts ? (*s.Rts ? " RTS on" : " RTS off") : ""));
        if (!error.empty()) return EndStep(Verdict::Error, now, error);
      }
      if (s.BreakMs) {
        Note(now, '-', "break " + std::to_string(*s.BreakMs) + " ms");
        const std::string error = host_.SendBreak(*s.BreakMs);
        if (!error.empty()) return EndStep(Verdict::Error, now, error);
      }
      if (!s.SendFile.empty()) {
        std::ifstream in(s.SendFile, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (!in.good() && !in.eof()) return EndStep(Verdict::Error, now, "cannot read " + s.SendFile);
        LineSent(bytes, now);
      }
      if (!s.Send.Empty()) {
        std::string missing;
        const std::string bytes = Filled(s.Send, missing);
        if (!missing.empty())
          return EndStep(Verdict::Fail, now, "${" + missing + "} has no value (its step did not capture it)");
        LineSent(bytes, now);
      }
      return next(Phase::Transfer);
    }
    case Phase::Transfer: {
      if (!s.Transfer) return next(Phase::Expect);
      const TransferStep& t = *s.Transfer;
      if (first) {
        if (s.TimeoutGiven) deadline_ = After(now, s.Timeout);
        Note(now, '-', std::string(t.Sending ? "transfer: send " : "transfer: receive ") + t.File + " by " + t.Protocol);
        host_.StartTransfer(t, receiveDir_);
        return true;
      }
      if (transferEnd_) {
        if (cancelled_)
          return EndStep(Verdict::Fail, now, "the transfer took longer than " + Fixed(s.Timeout, 1) + " s");
        if (transferNotStarted_)
          return EndStep(Verdict::Error, now, "the transfer could not start: " + transferEnd_->second);
        if (!transferEnd_->first) return EndStep(Verdict::Fail, now, "the transfer failed: " + transferEnd_->second);
        if (!t.Sending) {
          const std::string path = receiveDir_ + "/" + t.File;
          struct stat st {};
          if (stat(path.c_str(), &st) != 0) return EndStep(Verdict::Fail, now, "no file " + t.File + " arrived");
          if (t.Size && uint64_t(st.st_size) != *t.Size)
            return EndStep(Verdict::Fail, now,
                           t.File + " arrived with " + std::to_string(st.st_size) + " bytes, not " +
                               std::to_string(*t.Size));
          result_.ReceivedFiles.push_back(path);
          if (!t.SameAs.empty() && !SameFile(path, t.SameAs))
            return EndStep(Verdict::Fail, now, t.File + " arrived but differs from " + t.SameAs);
        }
        return next(Phase::Expect);
      }
      if (s.TimeoutGiven && !cancelled_ && now >= deadline_) {
        cancelled_ = true;
        host_.CancelTransfer();
        return true;
      }
      return false;
    }
    case Phase::Expect: {
      if (!s.Expect) return next(Phase::Absent);
      if (first) {
        search_ = std::make_unique<StreamSearch>(s.Expect, text_.Begin());
        deadline_ = After(now, s.Timeout);
      }
      bool found = Matched(now);
      if (!found && now >= deadline_) found = search_->Scan(text_, true) == StreamSearch::Result::Match;
      if (!found && !search_->Error().empty())
        return EndStep(Verdict::Error, now, "matching /" + s.Expect->Source() + "/ failed: " + search_->Error());
      if (!found) {
        if (now < deadline_) return false;
        return EndStep(Verdict::Fail, now,
                       "expected /" + s.Expect->Source() + "/ within " + Fixed(s.Timeout, 1) + " s",
                       ArrivedLast(now));
      }
      // A copy: the search goes before the measurements read the groups.
      const std::vector<std::string> groups = search_->Groups();
      for (size_t i = 0; i < s.Capture.size(); ++i) vars_[s.Capture[i]] = groups[i + 1];
      text_.DropBefore(search_->MatchEnd());
      search_.reset();
      if (!givenId_.empty() && plan_.UnitId && &s == &*plan_.UnitId && vars_["unit"] != givenId_)
        return EndStep(Verdict::Fail, now,
                       "the unit says it is \"" + Printable(vars_["unit"]) + "\", not \"" + givenId_ + "\"");
      if (const std::string bad = Measure(now, false, groups); !bad.empty()) return EndStep(Verdict::Fail, now, bad);
      return next(Phase::Absent);
    }
    case Phase::Absent: {
      if (!s.Absent) return next(Phase::Wait);
      if (first) {
        search_ = std::make_unique<StreamSearch>(s.Absent, text_.Begin());
        deadline_ = After(now, s.For);
      }
      const bool over = now >= deadline_;
      const auto r = search_->Scan(text_, over);
      if (r == StreamSearch::Result::Match) {
        const std::string what = search_->Groups()[0];
        text_.DropBefore(search_->MatchEnd());
        return EndStep(Verdict::Fail, now, "unwanted /" + s.Absent->Source() + "/ arrived: \"" + Printable(what) + "\"",
                       ArrivedLast(now));
      }
      if (r == StreamSearch::Result::Error)
        return EndStep(Verdict::Error, now, "matching /" + s.Absent->Source() + "/ failed: " + search_->Error());
      if (!over) return false;
      search_.reset();
      return next(Phase::Wait);
    }
    case Phase::Wait:
      if (s.Wait > 0) {
        if (first) deadline_ = After(now, s.Wait);
        if (now < deadline_) return false;
      }
      // A step without expect measures at its end (before its prompt).
      if (const std::string bad = Measure(now, true, {}); !bad.empty()) return EndStep(Verdict::Fail, now, bad);
      return next(Phase::Prompt);
    case Phase::Prompt:
      if (s.Prompt.empty()) return EndStep(Verdict::Pass, now);
      if (first) {
        Note(now, '-', "asked: " + s.Prompt);
        if (s.TimeoutGiven) deadline_ = After(now, s.Timeout);
        asking_ = true;
        host_.Ask(s.Prompt);
        return true;
      }
      if (!answer_) {
        if (!s.TimeoutGiven || now < deadline_) return false;
        return EndStep(Verdict::Fail, now,
                       "no answer to \"" + s.Prompt + "\" within " + Fixed(s.Timeout, 1) + " s");
      }
      Note(now, '-', *answer_ ? "answered yes" : "answered no");
      if (!*answer_) return EndStep(Verdict::Fail, now, "the operator answered no to \"" + s.Prompt + "\"");
      return EndStep(Verdict::Pass, now);
    case Phase::End: break;
  }
  return false;
}

std::string TimeStamp(WallTime t) {
  const auto ms = duration_cast<milliseconds>(t.time_since_epoch()).count();
  const std::time_t secs = std::time_t(ms / 1000);
  std::tm tm{};
  localtime_r(&secs, &tm);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03d", tm.tm_hour, tm.tm_min, tm.tm_sec, int(ms % 1000));
  return buf;
}

std::string PlanRun::Stamp(SteadyTime now) const {
  return TimeStamp(wallStart_ + duration_cast<WallTime::duration>(now - start_));
}

// The transcript: a line per received or sent line (a piece ends at LF, at a
// change of direction or at a note), stamped with its first byte's time.
// Direction 0 only flushes what is pending.
void PlanRun::Note(SteadyTime now, char direction, std::string_view bytes) {
  auto emit = [&](const std::string& line) {
    if (result_.Transcript.size() + line.size() > kTranscriptMax) {
      static const std::string cut = "[the transcript stops here: it reached its size limit]\n";
      if (result_.Transcript.size() + cut.size() <= kTranscriptMax + cut.size() &&
          result_.Transcript.rfind(cut) == std::string::npos)
        result_.Transcript += cut;
      return;
    }
    result_.Transcript += line;
  };
  auto flush = [&] {
    if (pendingDir_ != 0 && !pending_.empty())
      emit(pendingStamp_ + ' ' + pendingDir_ + " \"" + Printable(pending_, kTranscriptMax) + "\"\n");
    pending_.clear();
    pendingDir_ = 0;
  };
  if (direction != '<' && direction != '>') {
    flush();
    if (direction == '-') emit(Stamp(now) + " -- " + std::string(bytes) + "\n");
    return;
  }
  if (pendingDir_ != direction) flush();
  for (const char c : bytes) {
    if (pending_.empty()) {
      pendingDir_ = direction;
      pendingStamp_ = Stamp(now);
    }
    pending_ += c;
    if (c == '\n' || pending_.size() >= 4096) flush();
  }
}

}  // namespace zav::qc
