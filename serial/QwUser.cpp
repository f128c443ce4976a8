// Dispatcher core: registry, life cycle, rings, reading, writing, purging.
#include "serial/QwUser.h"

#include <algorithm>
#include <cstring>

#include "serial/QxExcept.h"

namespace zav {
namespace {

using InRing = TRingIndex<kDispatchBufferSize>;

// The registry: a dispatcher's handle is its index. Created on first use and
// kept for the life of the process (dispatchers come and go on many threads).
struct Registry {
  TCriticalSection lock;
  std::vector<TMroBaseDispatcher*> slots;
};

Registry& TheRegistry() {
  static Registry* r = new Registry;
  return *r;
}

}  // namespace

TCriticalSection& TMroBaseDispatcher::RegistryLock() { return TheRegistry().lock; }

TMroBaseDispatcher* TMroBaseDispatcher::LookupDispatcher(int32_t handle) {
  Registry& r = TheRegistry();
  if (handle < 0 || size_t(handle) >= r.slots.size()) return nullptr;
  return r.slots[size_t(handle)];
}

int32_t TMroBaseDispatcher::RegistryCount() {
  Registry& r = TheRegistry();
  TLockGuard g(r.lock);
  return int32_t(r.slots.size());
}

TMroBaseDispatcher::TMroBaseDispatcher(TComponent* owner) : Owner_(owner) {
  Registry& r = TheRegistry();
  TLockGuard g(r.lock);
  auto it = std::find(r.slots.begin(), r.slots.end(), nullptr);
  if (it != r.slots.end()) {
    *it = this;
    DispatcherHandle = int32_t(it - r.slots.begin());
  } else {
    r.slots.push_back(this);
    DispatcherHandle = int32_t(r.slots.size() - 1);
  }
}

TMroBaseDispatcher::~TMroBaseDispatcher() {
  // The device class has already stopped its threads and closed the device in
  // its own destructor (it must: its device operations are gone by now).
  Registry& r = TheRegistry();
  TLockGuard g(r.lock);
  if (DispatcherHandle >= 0 && size_t(DispatcherHandle) < r.slots.size()) r.slots[size_t(DispatcherHandle)] = nullptr;
  while (!r.slots.empty() && r.slots.back() == nullptr) r.slots.pop_back();
}

void TMroBaseDispatcher::CreateEvents() {
  using K = TEvent::Kind;
  DeviceEventReady = std::make_unique<TEvent>(K::AutoReset);
  PassDone = std::make_unique<TEvent>(K::AutoReset);
  ThreadAck = std::make_unique<TEvent>(K::AutoReset);
  OutputReady = std::make_unique<TEvent>(K::AutoReset);
  WriteDone = std::make_unique<TEvent>(K::ManualReset);
  OutputAbort = std::make_unique<TEvent>(K::AutoReset);
  TriggersChanged = std::make_unique<TEvent>(K::AutoReset);
}

int32_t TMroBaseDispatcher::InitializePort(const std::string& deviceName, int32_t baud, int parity, int dataBits,
                                           int stopBits, uint32_t inSize, uint32_t outSize, uint32_t options) {
  RingSeen = false;
  InDispatch = false;
  HandlersDeleted = false;
  CreateEvents();

  int32_t h = DeviceOpen(deviceName, inSize, outSize);
  if (h < 0) {
    int32_t err = h == ecOutOfMemory ? ecOutOfMemory : -int32_t(GetLastError());
    ShutdownPort();
    return err;
  }
  if (!DeviceSetupQueues(inSize, outSize)) {
    int32_t err = -int32_t(GetLastError());
    ShutdownPort();
    return err;
  }

  {
    TLockGuard in(InputLock);
    TLockGuard out(OutputLock);
    InBuffer_.assign(kDispatchBufferSize, 0);
    OutRing.Reset(outSize);
    TransmitRingChanged();
    DriverInSize = inSize;
    OutBufferSize = outSize;
  }
  PendingLineErrors_ = 0;
  GoneReported_ = false;
  ParityErrors_ = FramingErrors_ = Overruns_ = BreaksSeen_ = 0;
  OutputSentPending = false;
  Closing = false;
  InputFull_ = false;
  HandlerReadCount = 0;
  Rs485_ = false;
  UartBase_ = 0;

  DeviceGetSettings(LineSettings_);

  if (options & ipDtrHandshake) {
    DtrHandshake_ = true;
  } else {
    DtrHandshake_ = false;
    SetDtr(options & ipDtrOn);
  }
  if (options & ipRtsHandshake) {
    RtsHandshake_ = true;
  } else {
    RtsHandshake_ = false;
    SetRts(options & ipRtsOn);
  }

  ScanPosition = 0;
  ResetTriggers();
  InHead_ = InTail_ = 0;
  LastAvailPosition = 0;
  BytesArrived = LastAvailArrived = 0;
  for (auto& t : StatusTriggers) t.Hit = false;
  StatusHitPending = false;
  InAvailDispatch_ = false;

  ModemBits_ = 0;
  ReadModemBits(0xF0);

  CurrentBaud_ = 115200;
  int32_t rc = ConfigureLine(baud, parity, dataBits, stopBits);
  if (rc < 0) {
    ShutdownPort();
    return rc;
  }

  RefreshLineErrors();
  Tracing_ = false;
  TraceBuffer.clear();
  LogStartTime = MsClock();
  Logging_ = false;
  LogBuffer.clear();
  LogScratch.clear();

  StartThreads();
  return 0;
}

void TMroBaseDispatcher::ShutdownPort() {
  if (DeviceHandle_ >= 0) {
    ShuttingDown = true;
    PurgeOutput();
    ShuttingDown = false;
    PurgeInput();
    DeviceClose();
  }
  // Tested and set under the lock the dispatcher holds when it enters and
  // leaves a handler call, so the two threads agree on who releases.
  bool deferred;
  {
    TLockGuard status(StatusLock);
    deferred = InDispatch;
    if (deferred) Closing = true;  // the dispatcher thread finishes the release after the calls
  }
  if (!deferred) ReleaseResources();
}

void TMroBaseDispatcher::CloseOnDestroy() {
  if (Closing)
    ReleaseResources();
  else
    ShutdownPort();
}

void TMroBaseDispatcher::ReleaseResources() {
  if (ThreadsRunning) StopThreads();
  TLockGuard in(InputLock);
  TLockGuard out(OutputLock);
  OutRing.Reset(0);
  TransmitRingChanged();
  InBuffer_.clear();
  InBuffer_.shrink_to_fit();
  InHead_ = InTail_ = 0;
  InputFull_ = false;
}

// --- Writing -------------------------------------------------------------------

int32_t TMroBaseDispatcher::WriteBlock(const void* data, uint32_t count) {
  if (count == 0) return 0;
  const auto* bytes = static_cast<const uint8_t*>(data);
  int32_t result = 0;
  int32_t n;
  {
    TLockGuard out(OutputLock);
    if (OutRing.Size() == 0) return ecCommNotOpen;
    if (DeviceGone()) return ecDeviceGone;
    PendingLineErrors_ = DeviceReadErrors(DeviceStatus);
    uint32_t free = OutBufferSize - DeviceStatus.OutQueue;
    if (count > free) return ecOutputBufferTooSmall;
    if (Rs485_ && !DeviceTogglesRts()) {
      if (UartBase_ == 0) return ecBaseAddressNotSet;
      SetRts(true);
    }
    n = DeviceWrite(bytes, count);
    if (n <= 0) {
      n = -n;
      result = ecPutBlockFail;
      PendingLineErrors_ = DeviceReadErrors(DeviceStatus);
    }
    OutputSentPending = true;
  }
  // The output thread is woken once the lock it takes first is free, and only
  // when the ring holds something: a device may have taken the bytes at once.
  // Then whoever waits for the output level hears of it now, as the output
  // thread would have told after sending them.
  if (n > 0 && OutWaiting_.load() > 0) {
    if (OutputReady) OutputReady->Set();
  } else if (n > 0 && DeviceEventReady && OutputLevelWatched()) {
    DeviceEventReady->Set();
  }
  TLockGuard status(StatusLock);
  if (Logging_) AddLogEntry(lkDispatch, lskWriteCom, uint32_t(n), bytes, uint32_t(n));
  if (Tracing_) TraceBytes('T', bytes, uint32_t(n));
  return result;
}

int32_t TMroBaseDispatcher::WriteByte(uint8_t b) { return WriteBlock(&b, 1); }

void TMroBaseDispatcher::AddLogText(const std::string& text) {
  TLockGuard status(StatusLock);
  if (Logging_) AddLogEntry(lkUser, 0, 0, text.data(), uint32_t(text.size()));
}

// --- Transmit ring -------------------------------------------------------------

uint32_t TMroBaseDispatcher::OutputWaitingLocked() const { return OutRing.Waiting(); }

void TMroBaseDispatcher::AppendToTransmitRing(const uint8_t* data, uint32_t count) {
  TLockGuard out(OutputLock);
  OutRing.Append(data, count);
  TransmitRingChanged();
}

uint32_t TMroBaseDispatcher::SendTransmitRun(const TRunSender& send) {
  if (OutWaiting_.load() == 0) return 0;  // nothing to send: no need for the lock
  std::span<const uint8_t> run;
  uint64_t generation;
  {
    TLockGuard out(OutputLock);
    run = OutRing.NextRun();
    generation = OutRing.Generation();
    OutRunTaken_ = !run.empty();
  }
  if (run.empty()) return 0;
  const int64_t sent = send(run);
  TLockGuard out(OutputLock);
  OutRunTaken_ = false;
  if (sent == 0) return 0;
  const uint32_t gone = sent < 0 ? uint32_t(run.size()) : uint32_t(std::min<int64_t>(sent, int64_t(run.size())));
  if (OutRing.Generation() != generation) return 0;  // purged while it was sent
  OutRing.Consume(gone);
  TransmitRingChanged();
  return gone;
}

uint32_t TMroBaseDispatcher::TakeFromTransmitRing(uint8_t* out, uint32_t max) {
  uint32_t total = 0;
  while (total < max && OutWaiting_.load() > 0) {
    const uint32_t n = SendTransmitRun([&](std::span<const uint8_t> run) {
      const uint32_t take = std::min<uint32_t>(uint32_t(run.size()), max - total);
      std::memcpy(out + total, run.data(), take);
      return int64_t(take);
    });
    if (n == 0) break;
    total += n;
  }
  return total;
}

void TMroBaseDispatcher::ClearTransmitRing() {
  TLockGuard out(OutputLock);
  OutRing.Clear();
  TransmitRingChanged();
}

// --- Reading -------------------------------------------------------------------

uint32_t TMroBaseDispatcher::InputUsedLocked() const { return InRing::Used(InHead_, InTail_, InputFull_); }

bool TMroBaseDispatcher::InputReady() {
  TLockGuard in(InputLock);
  if (!InAvailDispatch_) return InHead_ != InTail_ || InputFull_;
  return InRing::Advance(InTail_, HandlerReadCount) != InHead_ ||
         (InputFull_ && HandlerReadCount < kDispatchBufferSize);
}

int32_t TMroBaseDispatcher::PeekByte(uint32_t n, uint8_t& out) {
  TLockGuard in(InputLock);
  if (n == 0 || InBuffer_.empty() || InputUsedLocked() < n) return ecBufferIsEmpty;
  out = InBuffer_[InRing::Advance(InTail_, n - 1)];
  return 0;
}

int32_t TMroBaseDispatcher::ReadByte(uint8_t& out) {
  TLockGuard in(InputLock);
  int32_t rc;
  if (!InAvailDispatch_) {
    rc = PeekByte(1, out);
    if (rc == 0) {
      InTail_ = InRing::Advance(InTail_, 1);
      InputFull_ = false;
    }
  } else {
    ++HandlerReadCount;
    rc = PeekByte(HandlerReadCount, out);
    if (rc != 0) --HandlerReadCount;
  }
  if (rc == 0) {
    TLockGuard status(StatusLock);
    if (Tracing_) AddTraceEntry('R', out);
  }
  return rc;
}

int32_t TMroBaseDispatcher::CopyUnread(void* buffer, uint32_t count, uint32_t skip) {
  uint32_t used = InputUsedLocked();
  if (InBuffer_.empty() || used < skip || used - skip < count) return ecBufferIsEmpty;
  uint32_t start = InRing::Advance(InTail_, skip);
  uint32_t first = std::min(count, kDispatchBufferSize - start);
  auto* out = static_cast<uint8_t*>(buffer);
  std::memcpy(out, InBuffer_.data() + start, first);
  std::memcpy(out + first, InBuffer_.data(), count - first);
  return int32_t(count);
}

int32_t TMroBaseDispatcher::ReadBlock(void* buffer, uint32_t count) {
  {
    TLockGuard in(InputLock);
    uint32_t skip = InAvailDispatch_ ? HandlerReadCount : 0;
    int32_t rc = CopyUnread(buffer, count, skip);
    if (rc < 0) return rc;
    if (!InAvailDispatch_) {
      InTail_ = InRing::Advance(InTail_, count);
      InputFull_ = false;
    } else {
      HandlerReadCount += count;
    }
  }
  TLockGuard status(StatusLock);
  if (Tracing_) TraceBytes('R', static_cast<const uint8_t*>(buffer), count);
  return int32_t(count);
}

int32_t TMroBaseDispatcher::PeekBlock(void* buffer, uint32_t count) {
  TLockGuard in(InputLock);
  return CopyUnread(buffer, count, InAvailDispatch_ ? HandlerReadCount : 0);
}

uint32_t TMroBaseDispatcher::InputUsed() {
  TLockGuard in(InputLock);
  uint32_t used = InputUsedLocked();
  return InAvailDispatch_ ? used - std::min(used, HandlerReadCount) : used;
}

uint32_t TMroBaseDispatcher::InputFree() {
  TLockGuard in(InputLock);
  uint32_t free = kDispatchBufferSize - InputUsedLocked();
  return InAvailDispatch_ ? free + HandlerReadCount : free;
}

int32_t TMroBaseDispatcher::PurgeInput() {
  int32_t rc = DevicePurge(true);
  {
    TLockGuard in(InputLock);
    if (InAvailDispatch_) {
      MaxHandlerRead = InputUsedLocked();
    } else {
      InTail_ = InHead_;
      HandlerReadCount = 0;
    }
    InputFull_ = false;
  }
  TLockGuard status(StatusLock);
  ResetDataMatches();
  return rc;
}

void TMroBaseDispatcher::QueueSizes(uint32_t& inSize, uint32_t& outSize) const {
  inSize = DriverInSize;
  outSize = OutBufferSize;
}

int32_t TMroBaseDispatcher::ResizeDriverQueues(uint32_t inSize, uint32_t outSize) {
  return DeviceSetupQueues(inSize, outSize) ? 0 : -int32_t(GetLastError());
}

uint32_t TMroBaseDispatcher::OutputUsed() {
  TLockGuard out(OutputLock);
  // Reading the device's status clears its error bits: keep them, or a line
  // error seen here would never reach TakeLineError or a line-status trigger.
  PendingLineErrors_ |= DeviceReadErrors(DeviceStatus) & 0x1F;
  return DeviceStatus.OutQueue;
}

uint32_t TMroBaseDispatcher::OutputInFlight() { return OutputUsed() + DeviceOutputQueued(); }

uint32_t TMroBaseDispatcher::OutputFree() {
  TLockGuard out(OutputLock);
  return OutBufferSize - OutputUsed();
}

int32_t TMroBaseDispatcher::PurgeOutput() { return DevicePurge(false); }

// --- Data slots and option bits ---------------------------------------------------

int32_t TMroBaseDispatcher::SetDataSlot(int slot, void* ref) {
  if (slot < 1 || slot > 3) return ecBadArgument;
  TLockGuard status(StatusLock);
  DataSlots[size_t(slot - 1)] = ref;
  return 0;
}

int32_t TMroBaseDispatcher::GetDataSlot(int slot, void*& ref) {
  if (slot < 1 || slot > 3) return ecBadArgument;
  TLockGuard status(StatusLock);
  ref = DataSlots[size_t(slot - 1)];
  return 0;
}

void TMroBaseDispatcher::SetOptionBits(uint32_t bits) {
  TLockGuard status(StatusLock);
  OptionBits |= bits;
}

void TMroBaseDispatcher::ClearOptionBits(uint32_t bits) {
  TLockGuard status(StatusLock);
  OptionBits &= ~bits;
}

uint32_t TMroBaseDispatcher::GetOptionBits() {
  TLockGuard status(StatusLock);
  return OptionBits;
}

// --- Filling the receive ring ----------------------------------------------------

uint32_t TMroBaseDispatcher::FlowBudget() {
  uint32_t flags, full, resume;
  {
    TLockGuard status(StatusLock);
    flags = LineSettings_.Flags;
    full = DriverInSize - std::min<uint32_t>(LineSettings_.XoffLim, DriverInSize);
    resume = LineSettings_.XonLim;
  }
  TLockGuard in(InputLock);
  if (InputFull_ || InBuffer_.empty()) return 0;
  const uint32_t used = InputUsedLocked();
  const bool flow = (flags & dcbInX) || (flags & dcbRtsControlMask) == dcbRtsHandshake ||
                    (flags & dcbDtrControlMask) == dcbDtrHandshake;
  if (!flow || full == 0) {
    FlowHeld = false;
    return kDispatchBufferSize - used;
  }
  if (FlowHeld && used <= resume) FlowHeld = false;
  if (!FlowHeld && used >= full) FlowHeld = true;
  return FlowHeld ? 0 : full - used;
}

bool TMroBaseDispatcher::FillInputBuffer() {
  const uint32_t budget = FlowBudget();
  TLockGuard in(InputLock);
  LastFillCount_ = 0;
  if (InputFull_) return true;
  if (InBuffer_.empty()) return false;
  uint32_t waiting;
  {
    TLockGuard out(OutputLock);
    RefreshLineErrors();
    waiting = DeviceStatus.InQueue;
  }
  if (waiting == 0) return false;

  // Not full here: the free space runs from the head to the tail, in one
  // piece up to the ring's end and maybe a second from its start.
  const uint32_t free = kDispatchBufferSize - InputUsedLocked();
  uint32_t firstPiece = InTail_ > InHead_ ? free : kDispatchBufferSize - InHead_;
  if (budget == 0) return true;  // held by flow control: the data waits in the driver
  uint32_t total = std::min({free, waiting, budget});
  // The first piece is asked for whole (the device gives what it has), unless
  // flow control allows less.
  firstPiece = std::min(firstPiece, budget);
  uint32_t secondPiece = total > firstPiece ? total - firstPiece : 0;

  auto readPiece = [&](uint32_t want) -> uint32_t {
    int32_t got = DeviceRead(InBuffer_.data() + InHead_, want);
    if (got < 0) {
      DeviceErrorHook(-1);
      got = 0;
    }
    {
      TLockGuard status(StatusLock);
      if (Logging_) AddLogEntry(lkDispatch, lskReadCom, uint32_t(got), InBuffer_.data() + InHead_, uint32_t(got));
    }
    InHead_ = InRing::Advance(InHead_, uint32_t(got));
    LastFillCount_ += uint32_t(got);
    BytesArrived += uint32_t(got);
    return uint32_t(got);
  };

  if (firstPiece > 0) {
    uint32_t got = readPiece(firstPiece);
    if (got < firstPiece) secondPiece = 0;
    if (got > 0) InputFull_ = InHead_ == InTail_;
  }
  if (secondPiece == 0) return true;
  readPiece(secondPiece);
  InputFull_ = InHead_ == InTail_;
  return true;
}

// --- Ending an availability or data-match notification ----------------------------

void TMroBaseDispatcher::BeginAvailNotification() {
  TLockGuard in(InputLock);
  MaxHandlerRead = 0;
  HandlerReadCount = 0;
  InAvailDispatch_ = true;
}

void TMroBaseDispatcher::BeginHandlerCall() {
  TLockGuard in(InputLock);
  HandlerReadCount = 0;
}

void TMroBaseDispatcher::EndHandlerCall() {
  TLockGuard in(InputLock);
  MaxHandlerRead = std::max(MaxHandlerRead, HandlerReadCount);
}

bool TMroBaseDispatcher::EndAvailNotification(bool isAvail, uint32_t announced) {
  TLockGuard in(InputLock);
  InAvailDispatch_ = false;
  HandlerReadCount = 0;
  InTail_ = InRing::Advance(InTail_, MaxHandlerRead);
  if (MaxHandlerRead != 0) InputFull_ = false;
  return !(isAvail && MaxHandlerRead != announced);
}

// --- Read-only views ---------------------------------------------------------------

bool TMroBaseDispatcher::Tracing() const {
  TLockGuard status(StatusLock);
  return Tracing_;
}
bool TMroBaseDispatcher::Logging() const {
  TLockGuard status(StatusLock);
  return Logging_;
}
uint8_t TMroBaseDispatcher::ModemBits() const {
  TLockGuard status(StatusLock);
  return uint8_t(ModemBits_);
}
int32_t TMroBaseDispatcher::CurrentBaud() const {
  TLockGuard status(StatusLock);
  return CurrentBaud_;
}
TDCB TMroBaseDispatcher::LineSettings() const {
  TLockGuard status(StatusLock);
  return LineSettings_;
}
bool TMroBaseDispatcher::Rs485() const {
  TLockGuard status(StatusLock);
  return Rs485_;
}
uint16_t TMroBaseDispatcher::UartBase() const {
  TLockGuard status(StatusLock);
  return UartBase_;
}
uint32_t TMroBaseDispatcher::AvailThreshold() const {
  TLockGuard status(StatusLock);
  return AvailThreshold_;
}
bool TMroBaseDispatcher::InDispatchNow() const {
  TLockGuard status(StatusLock);
  return InDispatch;
}
bool TMroBaseDispatcher::HandlersPresentNow() const {
  TLockGuard status(StatusLock);
  return HandlersPresent;
}
bool TMroBaseDispatcher::PortHandlerWantedNow() const {
  TLockGuard status(StatusLock);
  return PortHandlerWanted;
}
bool TMroBaseDispatcher::InAvailDispatch() const {
  TLockGuard in(InputLock);
  return InAvailDispatch_;
}
bool TMroBaseDispatcher::InputFull() const {
  TLockGuard in(InputLock);
  return InputFull_;
}
uint32_t TMroBaseDispatcher::InHead() const {
  TLockGuard in(InputLock);
  return InHead_;
}
uint32_t TMroBaseDispatcher::InTail() const {
  TLockGuard in(InputLock);
  return InTail_;
}
bool TMroBaseDispatcher::HasBuffers() const {
  TLockGuard in(InputLock);
  return !InBuffer_.empty();
}
bool TMroBaseDispatcher::OutFull() const {
  TLockGuard out(OutputLock);
  return OutRing.Full();
}

// --- Triggers (reset) -----------------------------------------------------------------

void TMroBaseDispatcher::ResetTriggers() {
  TLockGuard status(StatusLock);
  AvailThreshold_ = 0;
  TimerTriggers.clear();
  DataTriggers.clear();
  StatusTriggers.clear();
  NextHandleCounter = 1;
}

void TMroBaseDispatcher::ResetDataMatches() {
  TLockGuard status(StatusLock);
  for (auto& t : DataTriggers) t.MatchStates.fill(0);
}

}  // namespace zav
