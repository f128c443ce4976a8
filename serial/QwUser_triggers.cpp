// Triggers, handlers and the dispatcher thread's passes.
//
// Trigger and handler lists change under the status lock and are read under it
// too (handlers on the GUI thread may create and delete triggers while the
// dispatcher thread scans); the lock is always released before a handler runs.
#include <algorithm>
#include <cctype>
#include <cstring>

#include "serial/QwUser.h"
#include "serial/QxExcept.h"

namespace zav {
namespace {

using InRing = TRingIndex<kDispatchBufferSize>;

constexpr uint32_t kWindowSendTimeoutMs = 3000;
constexpr uint32_t kModemEvents = 0x2138;  // CTS, DSR, RLSD, RING, trailing ring
constexpr uint32_t kLineEvents = 0x00C0;   // BREAK, ERR

void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

}  // namespace

// --- Handles -----------------------------------------------------------------------

int32_t TMroBaseDispatcher::NewTriggerHandle() {
  if (NextHandleCounter < 4096) return NextHandleCounter++ * 8;
  auto taken = [&](int32_t h) {
    for (auto& t : TimerTriggers)
      if (t.Handle == h) return true;
    for (auto& t : StatusTriggers)
      if ((t.Handle & ~7) == h) return true;
    for (auto& t : DataTriggers)
      if (t.Handle == h) return true;
    return false;
  };
  int32_t h = 8;
  while (taken(h)) h += 8;
  return h;
}

// --- Trigger operations ----------------------------------------------------------------

int32_t TMroBaseDispatcher::SetAvailLength(uint32_t n) {
  TLockGuard status(StatusLock);
  AvailThreshold_ = n;
  if (Logging_) AddLogEntry(lkTriggerDataChange, lskAvailTrigger, n, nullptr, 0);
  WakeForNewWait();
  return 0;
}

int32_t TMroBaseDispatcher::CreateTimerTrigger() {
  TLockGuard status(StatusLock);
  TTimerTrigger t;
  t.Handle = NewTriggerHandle();
  TimerTriggers.push_back(t);
  if (Logging_) AddLogEntry(lkTriggerAlloc, lskTimerTrigger, uint32_t(t.Handle), nullptr, 0);
  return t.Handle;
}

int32_t TMroBaseDispatcher::CreateStatusTrigger(int kind) {
  if (kind < 0 || kind > stOutSent) return ecBadArgument;
  TLockGuard status(StatusLock);
  TStatusTrigger t;
  t.Handle = NewTriggerHandle() | kind;
  t.Kind = kind;
  StatusTriggers.push_back(t);
  uint8_t k = uint8_t(kind);
  if (Logging_) AddLogEntry(lkTriggerAlloc, lskStatusTrigger, uint32_t(t.Handle), &k, 1);
  return t.Handle;
}

int32_t TMroBaseDispatcher::CreateDataTrigger(const std::string& match, bool ignoreCase) {
  if (match.empty()) return ecBadArgument;
  if (match.size() > size_t(kMaxDataTriggerLength)) return ecTriggerTooLong;
  TLockGuard status(StatusLock);
  TDataTrigger t;
  t.Handle = NewTriggerHandle();
  t.Length = int32_t(match.size());
  t.IgnoreCase = ignoreCase ? 1 : 0;
  for (size_t i = 0; i < match.size(); ++i)
    t.MatchString[i] = ignoreCase ? char(std::toupper(uint8_t(match[i]))) : match[i];
  DataTriggers.push_back(t);
  return t.Handle;
}

int32_t TMroBaseDispatcher::ArmTimerTrigger(int32_t handle, int32_t ticks, bool activate) {
  TLockGuard status(StatusLock);
  auto it = std::find_if(TimerTriggers.begin(), TimerTriggers.end(), [&](auto& t) { return t.Handle == handle; });
  if (it == TimerTriggers.end()) return ecBadTriggerHandle;
  if (activate) {
    if (ticks != 0) it->Interval = ticks;
    NewTimer(it->Timer, it->Interval);
  }
  if (Logging_) {
    if (activate) {
      uint8_t data[4];
      Put32(data, uint32_t(ticks));
      AddLogEntry(lkTriggerDataChange, lskTimerTrigger, uint32_t(handle), data, 4);
    } else {
      AddLogEntry(lkTriggerDataChange, lskTimerTrigger, uint32_t(handle), "Deactivated", 11);
    }
  }
  it->Active = activate ? -1 : 0;
  WakeForNewWait();
  return 0;
}

int32_t TMroBaseDispatcher::ArmStatusTrigger(int32_t handle, uint16_t value, bool activate) {
  TLockGuard status(StatusLock);
  auto it =
      std::find_if(StatusTriggers.begin(), StatusTriggers.end(), [&](auto& t) { return t.Handle == handle; });
  if (it == StatusTriggers.end()) return ecBadTriggerHandle;
  if (activate) {
    switch (it->Kind) {
      case stModem: {
        uint8_t mask = uint8_t(value);
        it->Value = uint16_t(uint16_t(mask) << 8 | (mask & uint8_t(ModemBits_)));
        break;
      }
      case stLineError: {
        uint16_t bits = 0;
        if (value & 0x01) bits |= leOverrun;
        if (value & 0x02) bits |= leParity;
        if (value & 0x04) bits |= leFraming;
        if (value & 0x08) bits |= leBreak;
        it->Value = bits;
        break;
      }
      case stOutFree:
      case stOutUsed:
        it->Value = value;
        break;
      default:
        break;
    }
    if (Logging_) {
      uint8_t data[4] = {uint8_t(it->Value), uint8_t(it->Value >> 8), uint8_t(it->Enabled), uint8_t(it->Hit)};
      AddLogEntry(lkTriggerDataChange, lskStatusTrigger, uint32_t(handle), data, 4);
    }
  }
  it->Enabled = activate;
  WakeForNewWait();
  return 0;
}

int32_t TMroBaseDispatcher::TimerTicksLeft(int32_t handle, int32_t& ticks) {
  ticks = 0;
  TLockGuard status(StatusLock);
  for (auto& t : TimerTriggers) {
    if (t.Handle == handle) {
      ticks = RemainingTicks(t.Timer);
      return 0;
    }
  }
  return ecBadTriggerHandle;
}

int32_t TMroBaseDispatcher::DeleteTrigger(int32_t handle) {
  if (handle == kAvailTriggerHandle) {
    TLockGuard status(StatusLock);
    AvailThreshold_ = 0;
    return 0;
  }
  return FindTrigger(handle, true);
}

int32_t TMroBaseDispatcher::FindTrigger(int32_t handle, bool remove) {
  if (handle == 0 || handle == kAvailTriggerHandle) return ecBadTriggerHandle;
  TLockGuard status(StatusLock);
  for (size_t i = 0; i < TimerTriggers.size(); ++i) {
    if (TimerTriggers[i].Handle != handle) continue;
    if (remove) {
      TimerTriggers.erase(TimerTriggers.begin() + ptrdiff_t(i));
      if (Logging_) AddLogEntry(lkTriggerDispose, lskTimer, uint32_t(handle), nullptr, 0);
    }
    return 2;
  }
  for (size_t i = 0; i < StatusTriggers.size(); ++i) {
    if (StatusTriggers[i].Handle != handle) continue;
    if (remove) {
      StatusTriggers.erase(StatusTriggers.begin() + ptrdiff_t(i));
      uint8_t kind = uint8_t(handle & 7);
      if (Logging_) AddLogEntry(lkTriggerDispose, lskStatusTrigger, uint32_t(handle), &kind, 1);
    }
    return 4;
  }
  for (size_t i = 0; i < DataTriggers.size(); ++i) {
    if (DataTriggers[i].Handle != handle) continue;
    if (remove) {
      DataTriggers.erase(DataTriggers.begin() + ptrdiff_t(i));
      if (Logging_) AddLogEntry(lkTriggerDispose, lskData, uint32_t(handle), nullptr, 0);
    }
    return 3;
  }
  return ecBadTriggerHandle;
}

void TMroBaseDispatcher::SaveTriggers(TSavedTriggers& saved) {
  TLockGuard status(StatusLock);
  FreeSavedTriggers(saved);
  saved.AvailThreshold = AvailThreshold_;
  saved.Timers = TimerTriggers;
  saved.Datas = DataTriggers;
  saved.Statuses = StatusTriggers;
}

void TMroBaseDispatcher::RestoreTriggers(const TSavedTriggers& saved) {
  TLockGuard status(StatusLock);
  AvailThreshold_ = saved.AvailThreshold;
  TimerTriggers = saved.Timers;
  DataTriggers = saved.Datas;
  StatusTriggers = saved.Statuses;
  // New handles must not repeat a restored one (a fresh dispatcher counts from 1).
  int32_t highest = 0;
  for (auto& t : TimerTriggers) highest = std::max(highest, t.Handle);
  for (auto& t : DataTriggers) highest = std::max(highest, t.Handle);
  for (auto& t : StatusTriggers) highest = std::max(highest, t.Handle & ~7);
  NextHandleCounter = std::max(NextHandleCounter, highest / 8 + 1);
  WakeForNewWait();
}

void TMroBaseDispatcher::FreeSavedTriggers(TSavedTriggers& saved) {
  saved.AvailThreshold = 0;
  saved.Timers.clear();
  saved.Datas.clear();
  saved.Statuses.clear();
}

void TMroBaseDispatcher::ClearStatusHits() {
  TLockGuard status(StatusLock);
  for (auto& t : StatusTriggers) t.Hit = false;
  StatusHitPending = false;
}

bool TMroBaseDispatcher::MatchDataByte(std::array<int32_t, kMaxDataTriggerLength>& states, uint8_t c,
                                       int32_t length, bool ignoreCase, const char* string) {
  if (ignoreCase) c = uint8_t(std::toupper(c));
  const char ch = char(c);
  bool started = false;
  bool matched = false;
  bool examine = true;
  for (int32_t i = 0; i < length; ++i) {
    if (examine) {
      int32_t pos = states[size_t(i)];
      if (string[pos] == ch) {
        if (pos == length - 1) {
          states.fill(0);
          matched = true;
        } else {
          states[size_t(i)] = pos + 1;
        }
      } else if (string[0] == ch) {
        states[size_t(i)] = 1;
        started = true;
      } else {
        states[size_t(i)] = 0;
      }
    }
    if (states[size_t(i)] == 1) started = true;
    if (i == length - 1)
      examine = false;
    else if (started)
      examine = states[size_t(i + 1)] != 0;
    else
      examine = states[size_t(i + 1)] != 0 || string[0] == ch;
  }
  return matched;
}

// --- Handlers ---------------------------------------------------------------------------

void TMroBaseDispatcher::RegisterWindowHandler(HWND window) {
  TLockGuard status(StatusLock);
  WindowHandlers.push_back({window, false});
  HandlersPresent = true;
  if (Logging_) AddLogEntry(lkHandlerAlloc, lskWindow, window, nullptr, 0);
}

void TMroBaseDispatcher::RegisterProcHandler(TTriggerProc proc) {
  TLockGuard status(StatusLock);
  ProcHandlers.push_back({proc, false});
  HandlersPresent = true;
  if (Logging_) AddLogEntry(lkHandlerAlloc, lskProcedure, 0, nullptr, 0);
}

void TMroBaseDispatcher::RegisterMethodHandler(TTriggerMethod method) {
  TLockGuard status(StatusLock);
  MethodHandlers.push_back({std::move(method), false});
  HandlersPresent = true;
  if (Logging_) AddLogEntry(lkHandlerAlloc, lskMethod, 0, nullptr, 0);
}

namespace {

// Marks (during handler calls) or removes the first matching record.
template <class List, class Pred>
bool RemoveHandler(List& list, Pred matches, bool inDispatch, bool& handlersDeleted) {
  for (size_t i = 0; i < list.size(); ++i) {
    if (list[i].Deleted || !matches(list[i])) continue;
    if (inDispatch) {
      list[i].Deleted = true;
      handlersDeleted = true;
    } else {
      list.erase(list.begin() + ptrdiff_t(i));
    }
    return true;
  }
  return false;
}

}  // namespace

void TMroBaseDispatcher::UnregisterWindowHandler(HWND window) {
  TLockGuard status(StatusLock);
  if (RemoveHandler(
          WindowHandlers, [&](auto& h) { return h.Window == window; }, InDispatch, HandlersDeleted) &&
      Logging_)
    AddLogEntry(lkHandlerDispose, lskWindow, window, nullptr, 0);
  RefreshHandlerService(0);
}

void TMroBaseDispatcher::UnregisterProcHandler(TTriggerProc proc) {
  TLockGuard status(StatusLock);
  if (RemoveHandler(
          ProcHandlers, [&](auto& h) { return h.Proc == proc; }, InDispatch, HandlersDeleted) &&
      Logging_)
    AddLogEntry(lkHandlerDispose, lskProcedure, 0, nullptr, 0);
  RefreshHandlerService(0);
}

void TMroBaseDispatcher::UnregisterMethodHandler(const void* object) {
  TLockGuard status(StatusLock);
  if (RemoveHandler(
          MethodHandlers, [&](auto& h) { return h.Method.Object == object; }, InDispatch, HandlersDeleted) &&
      Logging_)
    AddLogEntry(lkHandlerDispose, lskMethod, 0, nullptr, 0);
  RefreshHandlerService(0);
}

void TMroBaseDispatcher::RefreshHandlerService(int kind) {
  TLockGuard status(StatusLock);
  auto live = [](auto& list) {
    return size_t(std::count_if(list.begin(), list.end(), [](auto& h) { return !h.Deleted; }));
  };
  bool others = live(WindowHandlers) > 1 || live(ProcHandlers) > 0 || live(MethodHandlers) > 0;
  switch (kind) {
    case 0:
      HandlersPresent = others || PortHandlerWanted;
      break;
    case 1:
      PortHandlerWanted = true;
      HandlersPresent = true;
      break;
    case 2:
      PortHandlerWanted = false;
      HandlersPresent = others;
      break;
    default:
      break;
  }
}

bool TMroBaseDispatcher::NotifyHandlers(UINT message, uint32_t first, uint16_t data) {
  {
    TLockGuard status(StatusLock);
    if (!HandlersPresent) return true;
    InDispatch = true;
  }
  const bool availKind = message == MsgTriggerAvail || message == MsgTriggerData;
  {
    TLockGuard in(InputLock);
    MaxHandlerRead = 0;
    InAvailDispatch_ = availKind;
  }
  const LPARAM second = LPARAM(uint32_t(DispatcherHandle) * 65536u + data);
  bool result = true;
  bool closed = false;

  // One call with the bookkeeping around it; false when the port closed. An
  // exception from a handler goes to the error reporter: the notification's
  // bookkeeping still completes and the other handlers are still called.
  auto call = [&](auto&& invoke) {
    {
      TLockGuard in(InputLock);
      HandlerReadCount = 0;
    }
    try {
      invoke();
    } catch (const std::exception& e) {
      ReportUnhandledError(e);
    } catch (...) {
      ReportUnhandledError(Exception("trigger handler: an unknown exception"));
    }
    {
      TLockGuard in(InputLock);
      MaxHandlerRead = std::max(MaxHandlerRead, HandlerReadCount);
    }
    TLockGuard status(StatusLock);
    return !Closing;
  };

  // Methods, then procedures, then windows; records are looked up by index
  // under the lock each time (removal is deferred while InDispatch is set).
  // A handler registered during this notification hears only the next one.
  size_t methods, procs, windowCount;
  {
    TLockGuard status(StatusLock);
    methods = MethodHandlers.size();
    procs = ProcHandlers.size();
    windowCount = WindowHandlers.size();
  }
  for (size_t i = 0; !closed; ++i) {
    TTriggerMethod m;
    {
      TLockGuard status(StatusLock);
      if (i >= methods || i >= MethodHandlers.size()) break;
      if (MethodHandlers[i].Deleted || !MethodHandlers[i].Method.Call) continue;
      m = MethodHandlers[i].Method;
    }
    closed = !call([&] { m.Call(message, WPARAM(first), second); });
  }
  for (size_t i = 0; !closed; ++i) {
    TTriggerProc p;
    {
      TLockGuard status(StatusLock);
      if (i >= procs || i >= ProcHandlers.size()) break;
      if (ProcHandlers[i].Deleted || !ProcHandlers[i].Proc) continue;
      p = ProcHandlers[i].Proc;
    }
    closed = !call([&] { p(message, WPARAM(first), second); });
  }
  bool windows;
  {
    TLockGuard status(StatusLock);
    windows = WindowHandlers.size() > 1 || PortHandlerWanted;
  }
  for (size_t i = 0; windows && !closed; ++i) {
    HWND w;
    {
      TLockGuard status(StatusLock);
      if (i >= windowCount || i >= WindowHandlers.size()) break;
      if (WindowHandlers[i].Deleted) continue;
      w = WindowHandlers[i].Window;
    }
    closed = !call([&] { SendMessageTimeout(w, message, WPARAM(first), second, SMTO_BLOCK, kWindowSendTimeoutMs, nullptr); });
  }

  if (closed) {
    result = false;
    TLockGuard in(InputLock);
    InAvailDispatch_ = false;
  } else if (availKind) {
    result = EndAvailNotification(message == MsgTriggerAvail, first);
  }
  {
    TLockGuard status(StatusLock);
    InDispatch = false;
    if (HandlersDeleted) {
      auto purge = [](auto& list) {
        list.erase(std::remove_if(list.begin(), list.end(), [](auto& h) { return h.Deleted; }), list.end());
      };
      purge(WindowHandlers);
      purge(ProcHandlers);
      purge(MethodHandlers);
      HandlersDeleted = false;
      RefreshHandlerService(0);
    }
  }
  TLockGuard in(InputLock);
  HandlerReadCount = 0;
  return result;
}

// --- Checks ----------------------------------------------------------------------------

uint32_t TMroBaseDispatcher::MsUntilNextTimer(uint32_t limit) {
  TLockGuard status(StatusLock);
  const int32_t now = CurrentTicks();
  const uint32_t intoTick = MsClock() % uint32_t(kMsPerTick);
  uint64_t best = limit;
  for (const auto& t : TimerTriggers) {
    if (t.Active == 0) continue;
    if (TimerExpired(t.Timer, now)) return 0;
    // A timer fires once the tick count has passed its expiry tick.
    const uint64_t ms = (uint64_t(RemainingTicks(t.Timer, now)) + 1) * kMsPerTick - intoTick;
    best = std::min(best, ms);
  }
  return uint32_t(best);
}

void TMroBaseDispatcher::PostDeviceGone() {
  std::vector<HWND> windows;
  {
    TLockGuard status(StatusLock);
    for (const auto& h : WindowHandlers)
      if (!h.Deleted) windows.push_back(h.Window);
  }
  for (HWND w : windows) PostMessage(w, MsgDeviceGone, 0, LPARAM(uint32_t(DispatcherHandle) << 16));
}

void TMroBaseDispatcher::WakeForNewWait() {
  // The dispatcher thread may be waiting with no time limit: it must see a
  // trigger armed elsewhere now rather than at the next device event. Armed
  // by its own handlers, it works out its next wait after the pass anyway.
  if (TriggersChanged && !DispThread.IsCurrentThread()) TriggersChanged->Set();
}

uint32_t TMroBaseDispatcher::NextPassWaitMs(uint32_t period) {
  const bool periodic = OutputLevelWatched() || InputUsed() > 0;
  return MsUntilNextTimer(periodic ? period : kInfinite);
}

bool TMroBaseDispatcher::OutputLevelWatched() {
  TLockGuard status(StatusLock);
  for (const auto& t : StatusTriggers)
    if (t.Enabled && t.Kind >= stOutFree && t.Kind <= stOutSent) return true;
  return false;
}

bool TMroBaseDispatcher::CheckStatusTriggers() {
  {
    TLockGuard status(StatusLock);
    if (StatusTriggers.empty()) return false;
  }
  // Output levels are read first: the output lock is never taken under the
  // status lock.
  uint32_t used = OutputUsed();
  uint32_t free = OutBufferSize - used;
  int32_t handle = 0;
  uint32_t level = 0;
  {
    TLockGuard status(StatusLock);
    for (auto& t : StatusTriggers) {
      if (!t.Enabled || t.Hit) continue;
      bool fire = false;
      switch (t.Kind) {
        case stModem:
          fire = ((uint8_t(t.Value) ^ uint8_t(ModemBits_)) & uint8_t(t.Value >> 8)) != 0;
          break;
        case stLineError: {
          uint32_t pending = PendingLineErrors_.load();
          if (t.Value & pending) {
            fire = true;
            t.Value = uint16_t(pending);
          }
          break;
        }
        case stOutFree:
          fire = free >= t.Value;
          level = free;
          break;
        case stOutUsed:
          fire = used <= t.Value;
          level = used;
          break;
        case stOutSent:
          fire = OutputSentPending.exchange(false);
          break;
        default:
          break;
      }
      if (!fire) continue;
      if (t.Kind != stOutFree && t.Kind != stOutUsed) level = 0;
      t.Enabled = false;
      t.Hit = true;
      StatusHitPending = true;
      handle = t.Handle;
      if (Logging_) AddLogEntry(lkTrigger, lskStatus, uint32_t(handle), nullptr, 0);
      break;
    }
  }
  if (handle == 0) return false;
  return NotifyHandlers(MsgTriggerStatus, uint32_t(handle), uint16_t(level));
}

bool TMroBaseDispatcher::CheckTimerTriggers() {
  int32_t handle = 0;
  {
    TLockGuard status(StatusLock);
    const int32_t now = CurrentTicks();
    for (auto& t : TimerTriggers) {
      if (t.Active == 0 || !TimerExpired(t.Timer, now)) continue;
      t.Active = 0;
      handle = t.Handle;
      if (Logging_) AddLogEntry(lkTrigger, lskTimer, uint32_t(handle), nullptr, 0);
      break;
    }
  }
  if (handle == 0) return false;
  return NotifyHandlers(MsgTriggerTimer, uint32_t(handle), 0);
}

uint32_t TMroBaseDispatcher::UnreadUpTo(uint32_t p) {
  // Bytes from the tail (after what handlers took) up to and including p.
  TLockGuard in(InputLock);
  const uint32_t start = InRing::Advance(InTail_, InAvailDispatch_ ? HandlerReadCount : 0);
  return InRing::Distance(start, p) + 1;
}

bool TMroBaseDispatcher::CheckDataTriggers() {
  uint32_t head;
  uint64_t arrived;
  {
    TLockGuard in(InputLock);
    if (InBuffer_.empty()) return false;
    head = InHead_;
    arrived = BytesArrived;
  }
  uint32_t p;
  {
    std::unique_lock<TCriticalSection> status(StatusLock);
    p = ScanPosition;
    if (DataTriggers.empty()) p = head;  // nothing to look for
    while (p != head) {
      const uint8_t c = InBuffer_[p];
      bool anyHit = false;
      int32_t maxLen = 0;
      for (auto& t : DataTriggers) {
        if (t.Length == 0) continue;
        bool hit = t.Matched != 0 || MatchDataByte(t.MatchStates, c, t.Length, t.IgnoreCase != 0, t.MatchString.data());
        t.Matched = hit ? -1 : 0;
        if (hit) {
          anyHit = true;
          maxLen = std::max(maxLen, t.Length);
        }
      }
      if (anyHit) {
        uint32_t threshold = AvailThreshold_;
        uint32_t lastAvail = LastAvailPosition;
        status.unlock();  // handlers run without the lock
        bool flag = false;
        if (threshold != 0 && lastAvail != p) {
          uint32_t upTo = UnreadUpTo(p);
          uint32_t before = upTo >= uint32_t(maxLen) ? upTo - uint32_t(maxLen) : 0;
          if (upTo >= uint32_t(maxLen) && before >= threshold) {
            {
              TLockGuard status(StatusLock);
              if (Logging_) AddLogEntry(lkTrigger, lskAvail, before, nullptr, 0);
              ScanPosition = p;
              LastAvailPosition = p;
            }
            flag = NotifyHandlers(MsgTriggerAvail, before, 0);
          }
        }
        // Later triggers first.
        for (size_t i = DataTriggers.size(); i-- > 0;) {
          int32_t handle, length;
          {
            TLockGuard status(StatusLock);
            if (i >= DataTriggers.size()) break;
            if (DataTriggers[i].Matched == 0) continue;
            DataTriggers[i].Matched = 0;
            handle = DataTriggers[i].Handle;
            length = DataTriggers[i].Length;
            if (Logging_) AddLogEntry(lkTrigger, lskData, uint32_t(handle), nullptr, 0);
          }
          flag = NotifyHandlers(MsgTriggerData, uint32_t(handle), uint16_t(length));
        }
        status.lock();
        ScanPosition = InRing::Advance(p, 1);
        return flag;
      }
      p = InRing::Advance(p, 1);
    }
    ScanPosition = p;
  }
  uint32_t n = InputUsed();
  {
    TLockGuard status(StatusLock);
    if (AvailThreshold_ == 0 || LastAvailArrived == arrived || n < AvailThreshold_) return false;
    if (Logging_) AddLogEntry(lkTrigger, lskAvail, n, nullptr, 0);
  }
  bool result = NotifyHandlers(MsgTriggerAvail, n, 0);
  TLockGuard status(StatusLock);
  LastAvailPosition = p;
  LastAvailArrived = arrived;
  return result;
}

// --- Passes ------------------------------------------------------------------------------

bool TMroBaseDispatcher::RepeatStatusChecks() {
  while (CheckStatusTriggers()) {
    TLockGuard status(StatusLock);
    if (Closing) return false;
  }
  TLockGuard status(StatusLock);
  return !Closing;
}

bool TMroBaseDispatcher::DeviceEventPass(uint32_t mask, bool extra) {
  auto closing = [&]() -> bool { return Closing; };
  auto inDispatch = [&] {
    TLockGuard status(StatusLock);
    return InDispatch;
  };
  if (mask & kModemEvents) {
    RefreshModemBits();
    if (!inDispatch()) {
      if (!RepeatStatusChecks()) return false;
      if (StatusHitPending) ClearStatusHits();
    }
  }
  if (mask & kLineEvents) {
    RefreshLineErrors();
    if (!inDispatch() && !RepeatStatusChecks()) return false;
  }
  FillInputBuffer();
  if (DeviceGone() && !GoneReported_.exchange(true)) PostDeviceGone();
  if (!inDispatch()) {
    if (!RepeatStatusChecks()) return false;
    while (CheckDataTriggers()) {
      if (closing()) return false;
    }
    if (closing()) return false;
  }
  if (StatusHitPending) ClearStatusHits();
  if (PassDone && !extra) PassDone->Set();
  return true;
}

void TMroBaseDispatcher::StatusAndTimerPass() {
  {
    TLockGuard status(StatusLock);
    if (Closing || InDispatch) return;
    StatusHitPending = false;
  }
  for (;;) {
    if (!CheckStatusTriggers() && !CheckTimerTriggers()) break;
    TLockGuard status(StatusLock);
    if (Closing) break;
  }
  if (StatusHitPending) ClearStatusHits();
}

}  // namespace zav
