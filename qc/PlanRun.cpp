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

}  // namespace

const char* VerdictText(Verdict v) {
  switch (v) {
    case Verdict::Pass: return "PASS";
    case Verdict::Fail: return "FAIL";
    case Verdict::Error: return "ERROR";
    case Verdict::Skipped: return "SKIPPED";
    case Verdict::Running: break;
  }
  return "RUNNING";
}

std::string UnitResult::FirstFailure() const {
  for (const auto& s : Steps)
    if (s.Outcome == Verdict::Fail || s.Outcome == Verdict::Error) return s.Name;
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
  if (plan.UnitId) steps_.push_back(&*plan.UnitId);
  for (const auto& s : plan.Steps) steps_.push_back(&s);
  result_.Plan = plan.Name;
  result_.Port = std::move(port);
  result_.UnitId = givenId_;
  for (const Step* s : steps_) result_.Steps.push_back({s->Name, Verdict::Skipped, 0, {}, {}});
}

PlanRun::~PlanRun() = default;

void PlanRun::Start(SteadyTime now, WallTime wallNow) {
  if (started_) return;
  started_ = true;
  start_ = now;
  wallStart_ = wallNow;
  result_.Started = wallNow;
  Note(now, '-', "plan \"" + plan_.Name + "\" on " + result_.Port);
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

void PlanRun::Abort(const std::string& reason, SteadyTime now) {
  if (done_ || !started_) return;
  Note(now, '-', "stopped: " + reason);
  failed_ = true;
  EndStep(Verdict::Error, now, reason);
  for (size_t i = index_ + 1; i < steps_.size(); ++i) result_.Steps[i].Message = "not run: " + reason;
  index_ = steps_.size();
  Finish(now);
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
      if (index_ >= steps_.size()) {
        Finish(now);
        break;
      }
      if (failed_) {
        // The rest stay skipped.
        for (size_t i = index_; i < steps_.size(); ++i)
          result_.Steps[i].Message = "not run: an earlier step failed";
        index_ = steps_.size();
        Finish(now);
        break;
      }
      BeginStep(now);
      continue;
    }
    if (!RunPhase(now)) break;
  }
  inAdvance_ = false;
}

void PlanRun::BeginStep(SteadyTime now) {
  stepStart_ = now;
  phase_ = Phase::Begin;
  arrived_ = false;
  settleAt_.reset();
  search_.reset();
  transferEnd_.reset();
  answer_.reset();
  cancelled_ = false;
  result_.Steps[index_].Outcome = Verdict::Running;
  Note(now, '-', "step \"" + steps_[index_]->Name + "\"");
  host_.StepStarted(index_, steps_[index_]->Name);
}

bool PlanRun::EndStep(Verdict v, SteadyTime now, std::string message, std::string detail) {
  StepResult& r = result_.Steps[index_];
  r.Outcome = v;
  r.Seconds = Seconds(stepStart_, now);
  r.Message = std::move(message);
  r.Detail = std::move(detail);
  if (v != Verdict::Pass && !steps_[index_]->ContinueOnFailure) failed_ = true;
  if (v == Verdict::Error) failed_ = true;
  search_.reset();
  settleAt_.reset();
  phase_ = Phase::End;
  if (asking_) {
    asking_ = false;
    host_.AskWithdrawn();
  }
  Note(now, '-', std::string(VerdictText(v)) + (r.Message.empty() ? "" : ": " + r.Message));
  host_.StepEnded(index_, r);
  return true;
}

void PlanRun::Finish(SteadyTime now) {
  Note(now, '-', "end");
  Note(now, 0, {});
  done_ = true;
  result_.Seconds = Seconds(start_, now);
  bool fail = false, error = false;
  for (const auto& s : result_.Steps) {
    fail = fail || s.Outcome == Verdict::Fail;
    error = error || s.Outcome == Verdict::Error;
  }
  result_.Outcome = error ? Verdict::Error : fail ? Verdict::Fail : Verdict::Pass;
  if (result_.UnitId.empty()) {
    const auto id = vars_.find("unit");
    if (id != vars_.end()) result_.UnitId = id->second;
  }
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

std::string PlanRun::CheckVariables() const {
  for (const auto& c : steps_[index_]->Checks) {
    const auto v = vars_.find(c.Variable);
    if (v == vars_.end()) return c.Variable + " was not captured";
    const std::string& value = v->second;
    if (c.Min || c.Max) {
      char* end = nullptr;
      const double n = std::strtod(value.c_str(), &end);
      if (value.empty() || *end != '\0' || !std::isfinite(n))
        return c.Variable + " = \"" + Printable(value) + "\" is not a number";
      if (c.Min && n < *c.Min) return c.Variable + " = " + value + " is below the minimum " + Number(*c.Min);
      if (c.Max && n > *c.Max) return c.Variable + " = " + value + " is above the maximum " + Number(*c.Max);
    }
    if (c.Match && !c.Match->MatchesWhole(value))
      return c.Variable + " = \"" + Printable(value) + "\" does not match /" + c.Match->Source() + "/";
  }
  return {};
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
        if (!error.empty()) return EndStep(Verdict::Fail, now, error);
      }
      if (s.BreakMs) {
        Note(now, '-', "break " + std::to_string(*s.BreakMs) + " ms");
        const std::string error = host_.SendBreak(*s.BreakMs);
        if (!error.empty()) return EndStep(Verdict::Fail, now, error);
      }
      if (!s.SendFile.empty()) {
        std::ifstream in(s.SendFile, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (!in.good() && !in.eof()) return EndStep(Verdict::Fail, now, "cannot read " + s.SendFile);
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
        if (!transferEnd_->first) return EndStep(Verdict::Fail, now, "the transfer failed: " + transferEnd_->second);
        if (!t.Sending) {
          const std::string path = receiveDir_ + "/" + t.File;
          struct stat st {};
          if (stat(path.c_str(), &st) != 0) return EndStep(Verdict::Fail, now, "no file " + t.File + " arrived");
          if (t.Size && uint64_t(st.st_size) != *t.Size)
            return EndStep(Verdict::Fail, now,
                           t.File + " arrived with " + std::to_string(st.st_size) + " bytes, not " +
                               std::to_string(*t.Size));
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
        return EndStep(Verdict::Fail, now, "matching /" + s.Expect->Source() + "/ failed: " + search_->Error());
      if (!found) {
        if (now < deadline_) return false;
        return EndStep(Verdict::Fail, now,
                       "expected /" + s.Expect->Source() + "/ within " + Fixed(s.Timeout, 1) + " s",
                       ArrivedLast(now));
      }
      const auto& groups = search_->Groups();
      for (size_t i = 0; i < s.Capture.size(); ++i) vars_[s.Capture[i]] = groups[i + 1];
      text_.DropBefore(search_->MatchEnd());
      search_.reset();
      if (!givenId_.empty() && &s == steps_.front() && plan_.UnitId && vars_["unit"] != givenId_)
        return EndStep(Verdict::Fail, now,
                       "the unit says it is \"" + Printable(vars_["unit"]) + "\", not \"" + givenId_ + "\"");
      if (const std::string bad = CheckVariables(); !bad.empty()) return EndStep(Verdict::Fail, now, bad);
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
        return EndStep(Verdict::Fail, now, "matching /" + s.Absent->Source() + "/ failed: " + search_->Error());
      if (!over) return false;
      search_.reset();
      return next(Phase::Wait);
    }
    case Phase::Wait:
      if (s.Wait <= 0) return next(Phase::Prompt);
      if (first) deadline_ = After(now, s.Wait);
      if (now < deadline_) return false;
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
