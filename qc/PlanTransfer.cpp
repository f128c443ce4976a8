#include "qc/PlanTransfer.h"

#include "protocols/bplus/QwBPlus.h"
#include "protocols/core/ProtocolWords.h"
#include "serial/QxExcept.h"

namespace zav::qc {

namespace {

// In 55 ms ticks: 10 s of silence, as the common Zmodem programs wait (the
// engine's own value is a minute); 2 s for the closing "OO", which a sender
// on a pseudo-terminal may lose at its exit.
constexpr int32_t kZmodemHandshakeWait = 182;
constexpr int32_t kZmodemReceiveFinishWait = 36;

}  // namespace

void ApplyUnattendedSettings(TMroCustomProtocol& p, bool sending) {
  switch (p.ProtocolType()) {
    case ptZmodem:
      if (!sending) p.SetFinishWait(kZmodemReceiveFinishWait);
      p.SetHandshakeWait(kZmodemHandshakeWait);
      break;
    case ptBPlus:
      if (const int32_t rc = SetBPlusRole(p.Record(), sending ? bprInitiator : bprResponder); rc != 0)
        throw Exception(ErrorText(rc));
      break;
    case ptKermit:
      if (const TMroCustomComPort* port = p.ComPort();
          port != nullptr && (port->DataBits() < 8 || port->Parity() != TParity::pNone))
        p.SetKermitHighbitPrefix('&');
      break;
    default:
      break;
  }
}

std::optional<TProtocolType> TransferType(const std::string& word) {
  const ProtocolWord* w = FindProtocolWord(word);
  if (w == nullptr || !Offered(w->type)) return std::nullopt;
  return w->type;
}

PlanTransfer::PlanTransfer(TMroCustomComPort& port, double settleSeconds)
    : protocol_(new TMroProtocol(&owner_)),
      settle_(std::chrono::duration_cast<SteadyTime::duration>(std::chrono::duration<double>(settleSeconds))) {
  protocol_->SetComPort(&port);
  // Names as the plan gives them: upper-casing would pick or make another file.
  protocol_->SetUpcaseFileNames(false);
  protocol_->OnProtocolFinish = [this](TMroCustomProtocol*, int32_t code) {
    if (!running_) return;
    finished_ = std::exchange(gone_, false) ? ecDeviceGone : code;
    if (Ended) Ended(*finished_);
  };
}

PlanTransfer::~PlanTransfer() {
  if (running_) protocol_->AbortProtocol();
  protocol_->OnProtocolFinish = nullptr;
}

void PlanTransfer::Request(const TransferStep& step, const std::string& dir) {
  waiting_ = Waiting{step, dir};
}

std::optional<SteadyTime> PlanTransfer::NextWake() const {
  if (!waiting_ || !endedAt_) return std::nullopt;
  return *endedAt_ + settle_;
}

bool PlanTransfer::Pump(PlanRun& run, SteadyTime now, bool lineIdle) {
  if (finished_) {
    const int32_t code = *std::exchange(finished_, std::nullopt);
    running_ = false;
    endedAt_ = now;
    run.TransferEnded(code == 0, code == 0 ? std::string() : ErrorText(code), now);
    return true;
  }
  // The peer may still be ending the last transfer; and what the plan put on
  // the line before goes first.
  if (!waiting_ || running_ || !lineIdle || (endedAt_ && now < *endedAt_ + settle_)) return false;
  const Waiting w = std::move(*waiting_);
  waiting_.reset();
  Begin(run, w.step, w.dir, now);
  return true;
}

void PlanTransfer::Begin(PlanRun& run, const TransferStep& t, const std::string& dir, SteadyTime now) {
  const std::optional<TProtocolType> type = TransferType(t.Protocol);
  if (!type) return run.TransferNotStarted("no protocol " + t.Protocol, now);
  TMroProtocol& p = *protocol_;
  try {
    p.SetProtocolType(*type);
    ApplyUnattendedSettings(p, t.Sending);
    if (t.Sending) {
      p.SetFileMask(t.File);
    } else if (ProtocolWordOf(*type).carriesNames) {
      p.SetDestinationDirectory(dir);  // the run looks for the file under its own name there
    } else {
      p.SetFileName(dir + "/" + t.File);
    }
    running_ = true;
    gone_ = false;
    if (Began) Began(p, t.Sending);
    if (t.Sending)
      p.BeginTransmit();
    else
      p.BeginReceive();
  } catch (const std::exception& e) {
    if (running_ && Ended) Ended(ecCancelRequested);  // the host undoes what it showed
    running_ = false;
    run.TransferNotStarted(e.what(), now);
  }
}

void PlanTransfer::Cancel() {
  if (waiting_) {
    waiting_.reset();
    finished_ = ecCancelRequested;
    return;
  }
  if (running_) protocol_->AbortProtocol();
}

void PlanTransfer::DeviceGone() {
  if (!running_) return;
  gone_ = true;
  protocol_->AbortProtocol();
}

}  // namespace zav::qc
