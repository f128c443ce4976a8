#include "protocols/xymodem/QwXmodem.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "protocols/core/QwTPcl.h"
#include "serial/QwUser.h"
#include "serial/QxExcept.h"
#include "serial/QxSrMgr.h"

namespace zav {

// --- Codecs ----------------------------------------------------------------------------------

uint16_t XmodemCrc(const uint8_t* data, uint32_t size) {
  uint16_t crc = 0;
  for (uint32_t i = 0; i < size; ++i) crc = UpdateCrc16(data[i], crc);
  crc = UpdateCrc16(0, crc);
  return UpdateCrc16(0, crc);
}

uint8_t XmodemChecksum(const uint8_t* data, uint32_t size) {
  uint8_t sum = 0;
  for (uint32_t i = 0; i < size; ++i) sum = UpdateChecksum(data[i], sum);
  return sum;
}

uint32_t BuildXmodemFrame(uint8_t* out, uint8_t number, const uint8_t* data, uint32_t size, bool crc) {
  if (data != out + 3) std::memmove(out + 3, data, size);
  out[0] = size == kXmodemMaxBlock ? cSTX : cSOH;
  out[1] = number;
  out[2] = uint8_t(255 - number);
  if (crc) {
    const uint16_t check = XmodemCrc(out + 3, size);
    out[3 + size] = uint8_t(check >> 8);
    out[4 + size] = uint8_t(check & 0xFF);
    return size + 5;
  }
  out[3 + size] = XmodemChecksum(out + 3, size);
  return size + 4;
}

TBlockVerdict CheckXmodemBlock(const uint8_t* block, uint32_t size, bool crc, uint8_t expected, bool noPrevious) {
  if (block[1] != uint8_t(255 - block[0])) return TBlockVerdict::BadNumber;
  const uint8_t* data = block + 2;
  const bool checkOk = crc ? XmodemCrc(data, size) == uint16_t((data[size] << 8) | data[size + 1])
                           : XmodemChecksum(data, size) == data[size];
  if (!checkOk) return TBlockVerdict::BadCheck;
  if (!noPrevious && block[0] == uint8_t(expected - 1)) return TBlockVerdict::Duplicate;
  if (block[0] != expected) return TBlockVerdict::OutOfSequence;
  return TBlockVerdict::Good;
}

// --- Area and settings -----------------------------------------------------------------------

TXmodemArea* XmodemArea(TransferRecord& r) {
  if (r.ProtocolType < ptXmodem || r.ProtocolType > ptYmodemG) return nullptr;
  return dynamic_cast<TXmodemArea*>(r.Area.get());
}

void ApplyXmodemCRC(TransferRecord& r, TXmodemArea& a, bool on) {
  if (a.OneKMode || a.Ymodem) on = true;
  a.CRCMode = on;
  r.CheckType = on ? bcmCrc16 : bcmChecksum;
  a.BlockOverhead = on ? 4 : 3;
}

void ApplyXmodem1K(TransferRecord& r, TXmodemArea& a, bool on) {
  a.OneKMode = on;
  if (on) {
    r.BlockSize = kXmodemMaxBlock;
    a.StartChar = cSTX;
    ApplyXmodemCRC(r, a, true);
  } else {
    r.BlockSize = 128;
    a.StartChar = cSOH;
  }
}

void ApplyXmodemG(TransferRecord& r, TXmodemArea& a, bool on) {
  a.GMode = on;
  if (on) {
    ApplyXmodem1K(r, a, true);
    r.TurnDelay = 0;
    a.AckRequired = false;
  } else {
    r.TurnDelay = 1000;
    a.AckRequired = true;
    a.BlockErrorLimit = kXmodemBlockErrorLimit;
  }
}

void DeriveXmodemType(TransferRecord& r, TXmodemArea& a) {
  if (a.Ymodem)
    r.ProtocolType = a.GMode ? ptYmodemG : ptYmodem;
  else if (!a.CRCMode)
    r.ProtocolType = ptXmodem;
  else if (!a.OneKMode)
    r.ProtocolType = ptXmodemCRC;
  else
    r.ProtocolType = a.GMode ? ptXmodem1KG : ptXmodem1K;
}

void InitXmodemArea(TransferRecord& r, TXmodemArea& a, TProtocolType type) {
  a.Ymodem = type == ptYmodem || type == ptYmodemG;
  a.AckRequired = true;
  a.XYmodemBlockWait = 91;
  a.BlockErrorLimit = kXmodemBlockErrorLimit;
  a.OneKMode = false;
  ApplyXmodemCRC(r, a, type != ptXmodem);
  ApplyXmodem1K(r, a, type != ptXmodem && type != ptXmodemCRC);
  ApplyXmodemG(r, a, type == ptXmodem1KG || type == ptYmodemG);
  if (a.Ymodem) a.AckRequired = false;
  a.XmodemState = txDone;
  DeriveXmodemType(r, a);
}

int32_t InitXmodem(TransferRecord& r, TProtocolType type) {
  if (type < ptXmodem || type > ptXmodem1KG) return ecBadProtocolFunction;
  InitXmodemArea(r, InstallArea<TXmodemArea>(r, type, kXYmodemFigures), type);
  return 0;
}

namespace {

template <class Change>
int32_t ChangeFlags(TransferRecord& r, Change change) {
  return SetInArea(r, XmodemArea, [&](TXmodemArea& a) {
    change(a);
    DeriveXmodemType(r, a);
  });
}

}  // namespace

int32_t SetXmodemCRC(TransferRecord& r, bool on) {
  return ChangeFlags(r, [&](TXmodemArea& a) { ApplyXmodemCRC(r, a, on); });
}

int32_t SetXmodem1K(TransferRecord& r, bool on) {
  return ChangeFlags(r, [&](TXmodemArea& a) { ApplyXmodem1K(r, a, on); });
}

int32_t SetXmodemG(TransferRecord& r, bool on) {
  return ChangeFlags(r, [&](TXmodemArea& a) { ApplyXmodemG(r, a, on); });
}

int32_t SetBlockErrorLimit(TransferRecord& r, uint32_t limit) {
  return SetInArea(r, XmodemArea, [&](TXmodemArea& a) { a.BlockErrorLimit = limit; });
}

int32_t SetXYmodemBlockWait(TransferRecord& r, int32_t ticks) {
  return SetInArea(r, XmodemArea, [&](TXmodemArea& a) { a.XYmodemBlockWait = ticks; });
}

void SaveXmodemFlags(TransferRecord& r, TXmodemArea& a) {
  a.Saved = {a.CRCMode,     a.OneKMode, a.GMode,      a.AckRequired, a.BlockErrorLimit, r.BlockSize,
             a.StartChar,   a.BlockOverhead, r.CheckType, r.TurnDelay, r.ProtocolType};
}

void RestoreXmodemFlags(TransferRecord& r, TXmodemArea& a) {
  const TXmodemFlags& s = a.Saved;
  a.CRCMode = s.CRCMode;
  a.OneKMode = s.OneKMode;
  a.GMode = s.GMode;
  a.AckRequired = s.AckRequired;
  a.BlockErrorLimit = s.BlockErrorLimit;
  r.BlockSize = s.BlockSize;
  a.StartChar = s.StartChar;
  a.BlockOverhead = s.BlockOverhead;
  r.CheckType = s.CheckType;
  r.TurnDelay = s.TurnDelay;
  r.ProtocolType = s.ProtocolType;
}

// --- Shared pieces ---------------------------------------------------------------------------

bool XmodemByteReady(TransferRecord& r) { return r.Dispatcher != nullptr && r.Dispatcher->InputReady(); }

int32_t XmodemReceiveWait(const TXmodemArea& a) { return 2 * a.XYmodemBlockWait; }

// The wait for the rest of a block once it has begun: its line time and a
// second of quiet. A block that lost a byte on the line never completes, and
// its sender waits for an answer: it is asked for again then, not after the
// whole receive wait. A streaming (G) sender gets the whole wait.
int32_t XmodemRestOfBlockWait(const TransferRecord& r, const TXmodemArea& a, uint32_t rest) {
  if (a.GMode) return XmodemReceiveWait(a);
  return std::min(XmodemReceiveWait(a), LineTicks(r, rest) + Secs2Ticks(1));
}

int32_t XmodemSend(TransferRecord& r, const uint8_t* bytes, uint32_t count) {
  if (r.Dispatcher == nullptr) return ecNotOpen;
  return r.Dispatcher->WriteBlock(bytes, count);
}

void XmodemSendByte(TransferRecord& r, uint8_t c) { XmodemSend(r, &c, 1); }

void XmodemCancel(TransferRecord& r) {
  static const uint8_t kCancel[] = {cCAN, cCAN, cCAN, cBS, cBS, cBS};
  PurgeOutputOfPort(r);
  XmodemSend(r, kCancel, sizeof kCancel);
  RefreshStatus(r);
}

void PurgeAllInput(TransferRecord& r) {
  TMroBaseDispatcher* d = r.Dispatcher;
  if (d == nullptr) return;
  d->PurgeInput();
  // Inside a notification the purge takes effect when it ends; the bytes
  // left to this handler are read away now, so no later pass sees them.
  uint8_t sink[256];
  for (uint32_t n = d->InputUsed(); n > 0; n = d->InputUsed())
    if (d->ReadBlock(sink, std::min<uint32_t>(n, sizeof sink)) < 0) break;
}

bool XmodemHandshakeRetry(TransferRecord& r, TXmodemArea& a) {
  if (!a.Handshakes.Retry(r.HandshakeRetry)) {
    GotError(r, ecTimeout);
    return false;
  }
  ArmTimer(r, r.TimeoutTrigger, r.HandshakeWait);
  if (a.Handshakes.Count() > 1) {
    r.BlockErrors.Add();
    ++r.TotalErrors;
    RefreshStatus(r);
  }
  return true;
}

bool XmodemReadHandshake(TransferRecord& r, TXmodemArea& a) {
  uint8_t c = 0;
  if (r.Dispatcher == nullptr || r.Dispatcher->ReadByte(c) < 0) return false;
  switch (c) {
    case cNAK:
    case cCrcRequest:
      // A receiver that asks for acknowledged blocks gets them, whatever
      // this side would have streamed.
      if (a.GMode) ApplyXmodemG(r, a, false);
      a.CRCMode = c == cCrcRequest;
      r.CheckType = a.CRCMode ? bcmCrc16 : bcmChecksum;
      a.BlockOverhead = a.CRCMode ? 4 : 3;
      break;
    case cStreamRequest:
      ApplyXmodemG(r, a, true);
      a.CRCMode = true;
      r.CheckType = bcmCrc16;
      a.BlockOverhead = 4;
      break;
    case cCAN:
      r.ProtocolStatus = psCancelRequested;
      RefreshStatus(r);
      return false;
    default:
      r.ProtocolStatus = psProtocolError;
      RefreshStatus(r);
      return false;
  }
  DeriveXmodemType(r, a);
  return true;
}

bool XmodemCountCancel(TransferRecord& r, TXmodemArea& a) {
  a.EotCount = 0;
  if (++a.CanCount < 3) return false;
  XmodemCancel(r);
  r.ProtocolStatus = psCancelRequested;
  return true;
}

void XmodemUnexpectedByte(TransferRecord& r, TXmodemArea& a) {
  r.ProtocolStatus = psProtocolError;
  RefreshStatus(r);
  a.EotCount = a.CanCount = 0;
}

bool XmodemCountBlockError(TransferRecord& r, TXmodemArea& a) {
  ++r.TotalErrors;
  if (r.BlockErrors.Retry(a.BlockErrorLimit)) return true;
  GotError(r, ecTooManyErrors);
  r.ProtocolStatus = psProtocolError;
  RefreshStatus(r);
  return false;
}

void XmodemRequest(TransferRecord& r, uint8_t c) {
  XmodemSendByte(r, c);
  ArmTimer(r, r.TimeoutTrigger, r.HandshakeWait);
}

bool XmodemTriggered(int32_t trigger, int32_t handle) { return trigger != 0 && trigger == handle; }

bool XmodemReadOne(TransferRecord& r, uint8_t& c) {
  return r.Dispatcher != nullptr && r.Dispatcher->ReadByte(c) == 0;
}

bool XmodemReceiveError(TransferRecord& r, TXmodemArea& a) {
  if (XmodemCountBlockError(r, a)) return true;
  XmodemCancel(r);
  return false;
}

TXmodemHandshake XmodemAwaitHandshake(TransferRecord& r, TXmodemArea& a, int32_t trigger, bool data) {
  if (data) {
    if (XmodemReadHandshake(r, a)) {
      NewTimer(r.TransferTimer, 1);
      r.BlockErrors.Reset();
      if (a.GMode) a.BlockErrorLimit = 0;
      // Requests the receiver repeated while it waited are not replies.
      PurgeAllInput(r);
      return TXmodemHandshake::Got;
    }
    if (r.ProtocolStatus == psCancelRequested || !XmodemHandshakeRetry(r, a)) return TXmodemHandshake::Failed;
  } else if (XmodemTriggered(trigger, r.TimeoutTrigger) && !XmodemHandshakeRetry(r, a)) {
    return TXmodemHandshake::Failed;
  }
  return TXmodemHandshake::Waiting;
}

bool XmodemSentOut(TransferRecord& r, const TXmodemArea& a, int32_t trigger, bool data, uint32_t bytes) {
  if (!data && !XmodemTriggered(trigger, r.OutBuffUsedTrigger) && !XmodemTriggered(trigger, r.TimeoutTrigger))
    return false;
  ArmTimer(r, r.TimeoutTrigger, a.XYmodemBlockWait + LineTicks(r, bytes + 5));
  return true;
}

bool XmodemResyncing(TransferRecord& r, TXmodemArea& a, int32_t trigger, bool data) {
  if (!a.Resync) return false;
  if (data) {
    PurgeAllInput(r);
    ArmTimer(r, r.TimeoutTrigger, kXmodemQuietTicks);
  } else if (XmodemTriggered(trigger, r.TimeoutTrigger)) {
    a.Resync = false;
    XmodemRequest(r, a.ReplyChar);
  }
  return true;
}

TXmodemStart XmodemAwaitStart(TransferRecord& r, TXmodemArea& a) {
  uint8_t c = 0;
  if (!XmodemReadOne(r, c)) return TXmodemStart::None;
  if (c == cEOT && XmodemByteReady(r)) c = 0;
  switch (c) {
    case cSOH:
    case cSTX:
      if (a.FirstBlock) {
        a.FirstBlock = false;
        NewTimer(r.TransferTimer, 1);
        if (a.GMode) a.BlockErrorLimit = 0;
      }
      r.BlockSize = c == cSOH ? 128 : kXmodemMaxBlock;
      r.CollectCount = 0;
      a.EotCount = a.CanCount = 0;
      ArmTimer(r, r.TimeoutTrigger, XmodemRestOfBlockWait(r, a, r.BlockSize + a.BlockOverhead));
      return TXmodemStart::Block;
    case cEOT: a.CanCount = 0; return TXmodemStart::Eot;
    case cCAN: return XmodemCountCancel(r, a) ? TXmodemStart::Cancelled : TXmodemStart::None;
    default: XmodemUnexpectedByte(r, a); return TXmodemStart::None;
  }
}

bool XmodemCollect(TransferRecord& r, TXmodemArea& a, uint8_t* into) {
  const uint32_t need = r.BlockSize + a.BlockOverhead;
  const uint32_t n = std::min(r.Dispatcher->InputUsed(), need - r.CollectCount);
  if (n > 0 && r.Dispatcher->ReadBlock(into + r.CollectCount, n) >= 0) r.CollectCount += n;
  if (n > 0) ArmTimer(r, r.TimeoutTrigger, XmodemRestOfBlockWait(r, a, need - std::min(need, r.CollectCount)));
  return r.CollectCount >= need;
}

namespace {

// The head of a pass: the dispatch-log entry, cancel or carrier loss (true:
// the machine goes to its finished state), the status pacing.
bool XmodemHead(TransferRecord& r, TXmodemArea& a, UINT msg, int32_t trigger) {
  // The modem trigger is a carrier loss only while the carrier is absent.
  int32_t headTrigger = trigger;
  if (XmodemTriggered(trigger, r.ModemTrigger) && r.Dispatcher != nullptr && r.Dispatcher->CarrierPresent())
    headTrigger = 0;
  if (!HandlerPassHead(r, msg, WPARAM(headTrigger), lkXmodem, uint8_t(skXmodemStates + a.XmodemState))) return false;
  if (msg == MsgProtocolCancel) XmodemCancel(r);
  RefreshStatus(r);
  return true;
}

// The end of the machine: Ymodem hears of it through a status report and
// goes on; alone, the transfer finishes.
void EndMachine(TransferRecord& r, TXmodemArea& a, bool fromYmodem) {
  a.Block.clear();
  a.Block.shrink_to_fit();
  if (fromYmodem) {
    r.ShowStatusHook(r, 0);
    return;
  }
  ShowLastStatus(r);
  ProtocolFinish(r);
  RestoreXmodemFlags(r, a);
}

// The end of the machine with a file's outcome, logged with `logCode`.
void EndFile(TransferRecord& r, TXmodemArea& a, bool fromYmodem, bool ok, uint16_t logCode, TXmodemState done) {
  r.LogFileHook(r, logCode);
  a.LastFileOk = ok;
  a.XmodemState = done;
  EndMachine(r, a, fromYmodem);
}

// --- Transmit ---

// Reads the block at FileOffset into the frame buffer; false on a read error.
bool ReadBlockData(TransferRecord& r, TXmodemArea& a) {
  uint8_t* data = a.Block.data() + 3;
  std::memset(data, kBlockFillChar, r.BlockSize);
  uint32_t count = r.BlockSize;
  r.ProtocolError = 0;
  r.LastBlock = r.ReadBlockHook(r, data, count);
  r.BlockLen = count;
  return r.ProtocolError == 0;
}

void FreeSpaceCheck(TransferRecord& r, TXmodemArea& a) {
  const uint32_t need = r.BlockSize + 5;
  if (r.Dispatcher == nullptr || r.Dispatcher->OutputFree() >= need) {
    a.XmodemState = txSendBlock;
    return;
  }
  ArmTimer(r, r.TimeoutTrigger, r.TransmitTimeout);
  ArmStatus(r, r.OutBuffFreeTrigger, uint16_t(need));
  a.XmodemState = txWtFreeSpc;
}

void Acknowledge(TransferRecord& r) {
  r.ProtocolStatus = psOK;
  r.BytesTransferred += int64_t(r.BlockLen);
  r.BytesRemaining = std::max<int64_t>(0, r.BytesRemaining - int64_t(r.BlockLen));
  ++r.BlockNum;
  r.FileOffset += r.BlockSize;
}

// With G the receiver only ever speaks to stop the stream: a CAN or a NAK
// among the bytes waiting.
bool StreamStopped(TransferRecord& r) {
  bool stopped = false;
  uint8_t c = 0;
  while (XmodemByteReady(r) && XmodemReadOne(r, c)) stopped = stopped || c == cCAN || c == cNAK;
  return stopped;
}

enum class TReply { Acked, Cancelled, Refused };

TReply GetReply(TransferRecord& r, TXmodemArea& a) {
  if (a.GMode) {
    if (StreamStopped(r)) {
      r.ProtocolStatus = psCancelRequested;
      RefreshStatus(r);
      return TReply::Cancelled;
    }
    Acknowledge(r);
    return TReply::Acked;
  }
  uint8_t c = 0;
  XmodemReadOne(r, c);
  if (c == cACK) {
    Acknowledge(r);
    return TReply::Acked;
  }
  RefreshStatus(r);
  if (c == cCAN) {
    r.ProtocolStatus = psCancelRequested;
    return TReply::Cancelled;
  }
  r.BlockErrors.Add();
  ++r.TotalErrors;
  r.ProtocolStatus = c == cNAK ? psBlockCheckError : psProtocolError;
  a.Refused = true;
  return TReply::Refused;
}

void TxInitial(TransferRecord& r, TXmodemArea& a) {
  a.Block.assign(kXmodemMaxFrame, 0);
  if (r.UpcaseFileNames) UpcasePathName(r, true);
  r.LogFileHook(r, lfTransmitStart);
  r.ProtocolStatus = psProtocolHandshake;
  RefreshStatus(r);
  r.PrepareReadingHook(r);
  if (r.ProtocolError != 0) {
    a.XmodemState = txFinished;
    return;
  }
  r.BlockNum = 1;
  a.Handshakes.Reset();
  a.XmodemState = XmodemHandshakeRetry(r, a) ? txHandshake : txFinished;
}

void TxHandshake(TransferRecord& r, TXmodemArea& a, int32_t trigger, bool data) {
  switch (XmodemAwaitHandshake(r, a, trigger, data)) {
    case TXmodemHandshake::Got:
      r.FileOffset = 0;
      r.TotalErrors = 0;
      r.ProtocolStatus = psOK;
      a.XmodemState = txGetBlock;
      break;
    case TXmodemHandshake::Failed: a.XmodemState = txFinished; break;
    case TXmodemHandshake::Waiting: break;
  }
}

// A block read afresh (no errors counted on it yet); false on a read error,
// which ends the transfer with it: the receiver is told.
bool ReadFreshBlock(TransferRecord& r, TXmodemArea& a) {
  r.BlockErrors.Reset();
  a.Refused = false;
  if (ReadBlockData(r, a)) return true;
  XmodemCancel(r);
  a.XmodemState = txFinished;
  return false;
}

void TxGetBlock(TransferRecord& r, TXmodemArea& a) {
  r.BlockLen = r.BlockSize;
  if (ReadFreshBlock(r, a)) FreeSpaceCheck(r, a);
}

void TxWtFreeSpc(TransferRecord& r, TXmodemArea& a, int32_t trigger, bool data) {
  if (XmodemTriggered(trigger, r.OutBuffFreeTrigger)) {
    a.XmodemState = txSendBlock;
  } else if (XmodemTriggered(trigger, r.TimeoutTrigger)) {
    GotError(r, ecTimeout);
    a.XmodemState = txFinished;
  } else if (data && a.GMode && StreamStopped(r)) {
    r.ProtocolStatus = psCancelRequested;
    RefreshStatus(r);
    a.XmodemState = txFinished;
  }
}

void TxSendBlock(TransferRecord& r, TXmodemArea& a) {
  if (r.BlockLen == 0) {
    a.XmodemState = txFirstEOT;
    return;
  }
  if (r.BlockErrors.Exceeds(a.BlockErrorLimit)) {
    // Smaller blocks help a receiver that refuses 1K ones, not one
    // that never answers.
    if (r.BlockSize != kXmodemMaxBlock || !a.Refused) {
      XmodemCancel(r);
      GotError(r, ecTooManyErrors);
      a.XmodemState = txFinished;
      return;
    }
    // The receiver does not take 1024-byte blocks: the same position
    // goes on in 128-byte blocks.
    a.OneKMode = false;
    r.BlockSize = 128;
    a.StartChar = cSOH;
    if (!ReadFreshBlock(r, a)) return;
  }
  const uint32_t n = BuildXmodemFrame(a.Block.data(), uint8_t(r.BlockNum), a.Block.data() + 3, r.BlockSize,
                                      a.CRCMode);
  const int32_t rc = XmodemSend(r, a.Block.data(), n);
  if (rc < 0) {
    PurgeOutputOfPort(r);
    GotError(r, rc);
    a.XmodemState = txFinished;
    return;
  }
  RefreshStatus(r);
  if (!a.GMode) {
    ArmTimer(r, r.TimeoutTrigger, kXmodemDrainTicks);
    ArmStatus(r, r.OutBuffUsedTrigger, 0);
    a.XmodemState = txDraining;
  } else if (GetReply(r, a) != TReply::Acked) {
    PurgeOutputOfPort(r);
    a.XmodemState = txFinished;
  } else if (r.LastBlock) {
    ArmTimer(r, r.TimeoutTrigger, EndDrainTicks(r, a));
    ArmStatus(r, r.OutBuffUsedTrigger, 0);
    a.XmodemState = txEndDrain;
  } else {
    a.XmodemState = txGetBlock;
  }
}

void TxDraining(TransferRecord& r, TXmodemArea& a, int32_t trigger, bool data) {
  if (XmodemSentOut(r, a, trigger, data, r.BlockSize)) a.XmodemState = txRplyPnding;
}

void TxRplyPnding(TransferRecord& r, TXmodemArea& a, int32_t trigger, bool data) {
  if (data) {
    switch (GetReply(r, a)) {
      case TReply::Acked: a.XmodemState = r.LastBlock ? txFirstEOT : txGetBlock; break;
      case TReply::Cancelled:
        PurgeOutputOfPort(r);
        a.XmodemState = txFinished;
        break;
      case TReply::Refused: FreeSpaceCheck(r, a); break;
    }
  } else if (XmodemTriggered(trigger, r.TimeoutTrigger)) {
    // No reply counts as a refusal, so a receiver that went away ends
    // the transfer after the block-error limit.
    r.BlockErrors.Add();
    ++r.TotalErrors;
    r.ProtocolStatus = psTimeout;
    RefreshStatus(r);
    FreeSpaceCheck(r, a);
  }
}

void TxEndDrain(TransferRecord& r, TXmodemArea& a, int32_t trigger) {
  if (XmodemTriggered(trigger, r.OutBuffUsedTrigger) || XmodemTriggered(trigger, r.TimeoutTrigger)) a.XmodemState = txFirstEOT;
}

void TxFirstEOT(TransferRecord& r, TXmodemArea& a) {
  r.ProtocolStatus = psOK;
  r.BlockErrors.Reset();
  a.EotNakCount = 0;
  PurgeAllInput(r);
  XmodemSendByte(r, cEOT);
  ArmTimer(r, r.TimeoutTrigger, r.TransmitTimeout);
  a.XmodemState = txEotReply;
}

void TxRestEOT(TransferRecord& r, TXmodemArea& a) {
  PurgeAllInput(r);
  if (r.BlockErrors.Exceeds(a.BlockErrorLimit)) {
    XmodemCancel(r);
    GotError(r, ecTooManyErrors);
    a.XmodemState = txFinished;
    return;
  }
  XmodemSendByte(r, cEOT);
  ArmTimer(r, r.TimeoutTrigger, a.XYmodemBlockWait);
  a.XmodemState = txEotReply;
}

void TxEotReply(TransferRecord& r, TXmodemArea& a, int32_t trigger, bool data) {
  if (data) {
    uint8_t c = 0;
    XmodemReadOne(r, c);
    if (c == cACK) {
      r.ProtocolStatus = psEndFile;
      a.XmodemState = txFinished;
    } else if (c == cCAN) {
      r.ProtocolStatus = psCancelRequested;
      RefreshStatus(r);
      a.XmodemState = txFinished;
    } else if (c == cNAK) {
      if (++a.EotNakCount >= 3) {
        XmodemCancel(r);
        GotError(r, ecTooManyErrors);
        a.XmodemState = txFinished;
      } else {
        a.XmodemState = txRestEOT;
      }
    } else {
      r.BlockErrors.Add();
      ++r.TotalErrors;
      r.ProtocolStatus = psProtocolError;
      RefreshStatus(r);
      a.XmodemState = txRestEOT;
    }
  } else if (XmodemTriggered(trigger, r.TimeoutTrigger)) {
    // Unanswered EOTs count, so a vanished receiver ends it here too.
    r.BlockErrors.Add();
    ++r.TotalErrors;
    r.ProtocolStatus = psTimeout;
    RefreshStatus(r);
    a.XmodemState = txRestEOT;
  }
}

void TxFinished(TransferRecord& r, TXmodemArea& a, bool fromYmodem) {
  const bool ok = r.ProtocolStatus == psEndFile && r.ProtocolError == 0;
  if (!ok) PurgeAllInput(r);
  r.FinishReadingHook(r);
  EndFile(r, a, fromYmodem, ok, ok ? lfTransmitOk : lfTransmitFail, txDone);
}

void TransmitStep(TransferRecord& r, TXmodemArea& a, int32_t trigger, bool data, bool fromYmodem) {
  switch (a.XmodemState) {
    case txInitial: TxInitial(r, a); break;
    case txHandshake: TxHandshake(r, a, trigger, data); break;
    case txGetBlock: TxGetBlock(r, a); break;
    case txWtFreeSpc: TxWtFreeSpc(r, a, trigger, data); break;
    case txSendBlock: TxSendBlock(r, a); break;
    case txDraining: TxDraining(r, a, trigger, data); break;
    case txRplyPnding: TxRplyPnding(r, a, trigger, data); break;
    case txEndDrain: TxEndDrain(r, a, trigger); break;
    case txFirstEOT: TxFirstEOT(r, a); break;
    case txRestEOT: TxRestEOT(r, a); break;
    case txEotReply: TxEotReply(r, a, trigger, data); break;
    case txFinished: TxFinished(r, a, fromYmodem); break;
    default:
      break;
  }
}

// --- Receive ---

// A sender that cancels in the middle of a block leaves its cancel string in
// the block being collected: three CANs then backspaces at its end (while
// more may come), or three CANs at the end of a block that stalled or failed
// its check.
bool EndsWithCancel(const uint8_t* bytes, uint32_t n, bool stalled) {
  uint32_t bs = 0, can = 0;
  while (bs < n && bytes[n - 1 - bs] == cBS) ++bs;
  while (can + bs < n && bytes[n - 1 - bs - can] == cCAN) ++can;
  return can >= 3 && (stalled || bs >= 3);
}

void CancelledInBlock(TransferRecord& r, TXmodemArea& a) {
  XmodemCancel(r);
  r.ProtocolStatus = psCancelRequested;
  a.XmodemState = rxFinished;
}

// A damaged block is answered once the line has gone quiet: the rest of it,
// or a copy the sender already started, is read away first, so the next
// block start seen is a real one.
void Resync(TransferRecord& r, TXmodemArea& a) {
  PurgeAllInput(r);
  a.ReplyChar = cNAK;
  a.Resync = true;
  ArmTimer(r, r.TimeoutTrigger, kXmodemQuietTicks);
}

// Closes the received file; one that failed before any block arrived is
// removed, so an empty file never stands for a transfer that did not happen.
void FinishReceivedFile(TransferRecord& r, TXmodemArea& a, bool ok) {
  const bool wasOpen = r.FileOpen;
  r.FinishWritingHook(r);
  if (wasOpen && !ok && !a.GotData) ::unlink(BufferText(r.PathName).c_str());
}

void ProcessBlock(TransferRecord& r, TXmodemArea& a) {
  const TBlockVerdict verdict =
      CheckXmodemBlock(a.Block.data(), r.BlockSize, a.CRCMode, uint8_t(r.BlockNum), r.BlockNum == 0);
  switch (verdict) {
    case TBlockVerdict::Good:
      a.ReplyChar = cACK;
      ++r.BlockNum;
      r.BytesTransferred += int64_t(r.BlockSize);
      r.BytesRemaining = std::max<int64_t>(0, r.BytesRemaining - int64_t(r.BlockSize));
      r.BlockErrors.Reset();
      r.ProtocolError = 0;
      r.ProtocolStatus = psOK;
      RefreshStatus(r);
      r.BlockLen = r.BlockSize;
      if (!a.GMode) XmodemSendByte(r, cACK);
      {
        const uint64_t limit = a.DataLimit();
        const uint32_t keep = r.FileOffset >= limit ? 0 : uint32_t(std::min<uint64_t>(r.BlockLen, limit - r.FileOffset));
        if (keep > 0 && r.WriteBlockHook(r, a.Block.data() + 2, keep)) {
          XmodemCancel(r);
          a.XmodemState = rxFinished;
          return;
        }
        r.FileOffset += keep;
        a.GotData = true;
      }
      ArmTimer(r, r.TimeoutTrigger, XmodemReceiveWait(a));
      a.XmodemState = rxWtFrBlStrt;
      return;

    case TBlockVerdict::BadNumber:
    case TBlockVerdict::BadCheck:
      // A number that does not match its complement is damage like a bad
      // check, not a sequence error.
      if (EndsWithCancel(a.Block.data(), r.CollectCount, true)) {
        CancelledInBlock(r, a);
        return;
      }
      if (!XmodemCountBlockError(r, a) || a.GMode) break;
      r.ProtocolStatus = psBlockCheckError;
      RefreshStatus(r);
      Resync(r, a);
      a.XmodemState = rxWtFrHSRply;
      return;

    case TBlockVerdict::Duplicate:
      // A stream has no repeats: with G a duplicate is an error.
      if (a.GMode) {
        XmodemCountBlockError(r, a);
        break;
      }
      a.ReplyChar = cACK;
      r.BlockErrors.Reset();
      r.ProtocolStatus = psDuplicateBlock;
      XmodemSendByte(r, cACK);
      if (a.Ymodem && r.BlockNum == 1) {
        // Our answer to the Ymodem header got lost: answer it again and ask
        // for the data once more.
        XmodemSendByte(r, a.HandshakeChar);
        a.ReplyChar = a.HandshakeChar;
      }
      ArmTimer(r, r.TimeoutTrigger, r.HandshakeWait);
      a.XmodemState = rxWtFrHSRply;
      return;

    case TBlockVerdict::OutOfSequence:
      r.ProtocolStatus = psSequenceError;
      GotError(r, ecSequenceError);
      break;
  }
  XmodemCancel(r);
  if (r.ProtocolError == 0) GotError(r, ecTooManyErrors);
  a.XmodemState = rxFinished;
}

void RxInitial(TransferRecord& r, TXmodemArea& a, bool fromYmodem) {
  a.Block.assign(kXmodemMaxFrame, 0);
  if (r.PathName[0] == 0) {
    GotError(r, ecNoFilename);
    XmodemCancel(r);
    a.LastFileOk = false;
    a.XmodemState = rxDone;
    EndMachine(r, a, fromYmodem);
    return;
  }
  if (!BeginNamedReceive(r)) {
    XmodemCancel(r);
    r.ProtocolStatus = psFileRejected;
    a.XmodemState = rxFinSkip;
    return;
  }
  r.PrepareWritingHook(r);
  if (r.ProtocolStatus == psCantWriteFile && r.ProtocolError == 0) r.ProtocolError = ecCantWriteFile;
  if (r.ProtocolError != 0) {
    XmodemCancel(r);
    a.XmodemState = rxFinSkip;
    return;
  }
  r.FileOffset = 0;
  a.HandshakeChar = a.GMode ? cStreamRequest : a.CRCMode ? cCrcRequest : cNAK;
  a.ReplyChar = a.HandshakeChar;
  XmodemSendByte(r, a.ReplyChar);
  r.BlockNum = 1;
  a.EotCount = a.CanCount = 0;
  a.FirstBlock = true;
  a.GotData = false;
  a.Resync = false;
  ArmTimer(r, r.TimeoutTrigger, r.HandshakeWait);
  a.BlockOverhead = a.CRCMode ? 4 : 3;
  a.XmodemState = rxWtFrHSRply;
}

void RxWtFrHSRply(TransferRecord& r, TXmodemArea& a, int32_t trigger, bool data) {
  if (XmodemResyncing(r, a, trigger, data)) return;
  if (data) {
    a.XmodemState = rxWtFrBlStrt;
  } else if (XmodemTriggered(trigger, r.TimeoutTrigger)) {
    if (!XmodemReceiveError(r, a)) {
      a.XmodemState = rxFinished;
      return;
    }
    if (a.ReplyChar == cCrcRequest && r.BlockErrors.Exceeds(3)) {
      // No sender answers "C": ask for the checksum instead.
      r.BlockErrors.Reset();
      r.CheckType = bcmChecksum;
      a.ReplyChar = a.HandshakeChar = cNAK;
      a.CRCMode = false;
      a.BlockOverhead -= 1;
    }
    XmodemRequest(r, a.ReplyChar);
  }
}

void RxWtFrBlStrt(TransferRecord& r, TXmodemArea& a, int32_t trigger, bool data) {
  if (data) {
    if (!XmodemAwaitStartOrEot(r, a, a.XmodemState, rxCollBlock, rxFinished)) return;
    // The first EOT is asked again: a damaged block can look like one.
    if (++a.EotCount == 1) {
      XmodemSendByte(r, cNAK);
      ArmTimer(r, r.TimeoutTrigger, a.XYmodemBlockWait);
    } else {
      r.ProtocolStatus = psEndFile;
      XmodemSendByte(r, cACK);
      a.XmodemState = rxFinished;
    }
  } else if (XmodemTriggered(trigger, r.TimeoutTrigger)) {
    if (a.EotCount > 0) {
      XmodemSendByte(r, cACK);
      r.ProtocolStatus = psEndFile;
      a.XmodemState = rxFinished;
    } else if (!XmodemReceiveError(r, a)) {
      a.XmodemState = rxFinished;
    } else if (a.CanCount > 0) {
      r.ProtocolStatus = psCancelRequested;
      a.XmodemState = rxFinished;
    } else {
      XmodemSendByte(r, a.ReplyChar);
      ArmTimer(r, r.TimeoutTrigger, XmodemReceiveWait(a));
      a.XmodemState = rxWtFrHSRply;
    }
  }
}

void RxCollBlock(TransferRecord& r, TXmodemArea& a, int32_t trigger, bool data) {
  if (data) {
    a.ReplyChar = cNAK;
    if (XmodemCollect(r, a, a.Block.data()))
      a.XmodemState = rxProcBlck;
    else if (EndsWithCancel(a.Block.data(), r.CollectCount, false))
      CancelledInBlock(r, a);
  } else if (XmodemTriggered(trigger, r.TimeoutTrigger)) {
    if (EndsWithCancel(a.Block.data(), r.CollectCount, true)) {
      CancelledInBlock(r, a);
      return;
    }
    a.ReplyChar = cNAK;
    XmodemSendByte(r, cNAK);
    r.ProtocolStatus = psTimeout;
    RefreshStatus(r);
    ArmTimer(r, r.TimeoutTrigger, XmodemReceiveWait(a));
    a.XmodemState = rxWtFrBlStrt;
  }
}

void RxProcBlck(TransferRecord& r, TXmodemArea& a) {
  ProcessBlock(r, a);
}

void RxFinSkip(TransferRecord& r, TXmodemArea& a, bool fromYmodem) {
  FinishReceivedFile(r, a, false);
  EndFile(r, a, fromYmodem, false, lfReceiveSkip, rxDone);
}

void RxFinished(TransferRecord& r, TXmodemArea& a, bool fromYmodem) {
  FinishReceivedFile(r, a, r.ProtocolStatus == psEndFile && r.ProtocolError == 0);
  bool ok = r.ProtocolStatus == psEndFile && r.ProtocolError == 0;
  if (ok && fromYmodem) {
    a.FileReceived(r);
    ok = r.ProtocolError == 0;
  }
  EndFile(r, a, fromYmodem, ok, ok ? lfReceiveOk : lfReceiveFail, rxDone);
}

void ReceiveStep(TransferRecord& r, TXmodemArea& a, int32_t trigger, bool data, bool fromYmodem) {
  switch (a.XmodemState) {
    case rxInitial: RxInitial(r, a, fromYmodem); break;
    case rxWtFrHSRply: RxWtFrHSRply(r, a, trigger, data); break;
    case rxWtFrBlStrt: RxWtFrBlStrt(r, a, trigger, data); break;
    case rxCollBlock: RxCollBlock(r, a, trigger, data); break;
    case rxProcBlck: RxProcBlck(r, a); break;
    case rxFinSkip: RxFinSkip(r, a, fromYmodem); break;
    case rxFinished: RxFinished(r, a, fromYmodem); break;
    default:
      break;
  }
}

// What the machine does after a step: its end, a wait for a trigger, a wait
// unless a byte is there already, or the next step at once.
enum class TAfterStep { End, Wait, WaitForByte, Go };

TAfterStep AfterTransmitStep(TXmodemState s) {
  switch (s) {
    case txDone: return TAfterStep::End;
    case txWtFreeSpc:
    case txEndDrain: return TAfterStep::Wait;
    case txHandshake:
    case txDraining:
    case txRplyPnding:
    case txEotReply: return TAfterStep::WaitForByte;
    default: return TAfterStep::Go;
  }
}

TAfterStep AfterReceiveStep(TXmodemState s) {
  switch (s) {
    case rxDone: return TAfterStep::End;
    case rxWtFrHSRply:
    case rxWtFrBlStrt:
    case rxCollBlock: return TAfterStep::WaitForByte;
    default: return TAfterStep::Go;
  }
}

// Steps a machine while it can go on; a cancel or carrier loss at the head
// of a step sends it to `finished`. True at its end.
template <class Step>
bool RunSteps(TransferRecord& r, TXmodemArea& a, UINT msg, WPARAM wParam, TXmodemState finished, Step step,
              TAfterStep (*after)(TXmodemState)) {
  if (msg == MsgTriggerAvail) wParam = 0;
  for (;;) {
    const int32_t trigger = int32_t(wParam);
    if (XmodemHead(r, a, msg, trigger)) a.XmodemState = finished;
    const bool data = trigger == 0 && XmodemByteReady(r);
    step(r, a, trigger, data, a.Ymodem);
    // Later passes act on the state and on waiting bytes only.
    msg = 0;
    wParam = 0;
    switch (after(a.XmodemState)) {
      case TAfterStep::End: return true;
      case TAfterStep::Wait: return false;
      case TAfterStep::WaitForByte:
        if (!XmodemByteReady(r)) return false;
        continue;
      case TAfterStep::Go: continue;
    }
  }
}

}  // namespace

bool XmodemTransmitSteps(TransferRecord& r, TXmodemArea& a, UINT msg, WPARAM wParam) {
  return RunSteps(r, a, msg, wParam, txFinished, TransmitStep, AfterTransmitStep);
}

bool XmodemReceiveSteps(TransferRecord& r, TXmodemArea& a, UINT msg, WPARAM wParam) {
  return RunSteps(r, a, msg, wParam, rxFinished, ReceiveStep, AfterReceiveStep);
}

// --- Starts and handlers ---------------------------------------------------------------------

namespace {

// The Xmodem area of a record started as one of the Xmodem types.
TXmodemArea* PlainXmodemArea(TransferRecord& r) {
  TXmodemArea* a = XmodemArea(r);
  return a != nullptr && !a->Ymodem ? a : nullptr;
}

// A direction's handler: its steps run until the transfer is done.
template <auto Steps>
void Handler(UINT msg, WPARAM wParam, LPARAM lParam) {
  RunHandlerPass(msg, wParam, lParam, PlainXmodemArea, [](TransferRecord& r, TXmodemArea& a, UINT m, WPARAM w) {
    if (a.XmodemState != txDone && a.XmodemState != rxDone) Steps(r, a, m, w);
  });
}

void PrepareTransmitXmodem(TransferRecord& r) {
  TXmodemArea* a = PrepareXYmodem(r, PlainXmodemArea, true);
  if (a == nullptr) return;
  if (!FirstFileToSend(r, [a] { a->XmodemState = txDone; })) return;
  RefreshStatus(r);
  a->XmodemState = txInitial;
  r.ProtocolError = 0;
  r.LastBlock = false;
}

void PrepareReceiveXmodem(TransferRecord& r) {
  TXmodemArea* a = PrepareXYmodem(r, PlainXmodemArea, false);
  if (a == nullptr) return;
  a->XmodemState = rxInitial;
}

}  // namespace

// How long the streamed tail may take to leave: the output buffer's worth at
// the line's speed plus a block wait, twice.
int32_t EndDrainTicks(const TransferRecord& r, const TXmodemArea& a) {
  if (r.FinishWait > 0) return r.FinishWait;
  return (LineTicks(r, kFileBufferSize) + a.XYmodemBlockWait) * 2;
}

int32_t ApplyXYmodem(TransferRecord& r, const TProtocolSettings& s) {
  return SetXYmodemBlockWait(r, s.XYmodemBlockWait);
}

void ReadXYmodem(TransferRecord& r, TProtocolSettings& s) {
  if (TXmodemArea* a = XmodemArea(r)) s.XYmodemBlockWait = a->XYmodemBlockWait;
}

namespace {

// The four Xmodem types differ in name and block check; checksum and CRC
// switch into each other.
constexpr TEngine XmodemVariant(const char* name, TProtocolType sibling, TBlockCheckMethod siblingCheck) {
  return {.Name = name, .LogKind = lkXmodem, .StateBase = skXmodemStates, .Settings = TSettingsGroup::XYmodem,
          .SiblingCheck = siblingCheck, .Sibling = sibling, .Init = InitXmodem, .Apply = ApplyXYmodem,
          .Read = ReadXYmodem, .Prepare = {PrepareReceiveXmodem, PrepareTransmitXmodem},
          .Handler = {Handler<XmodemReceiveSteps>, Handler<XmodemTransmitSteps>}};
}

}  // namespace

const TEngine kXmodemEngine = XmodemVariant("Xmodem", ptXmodemCRC, bcmCrc16);
const TEngine kXmodemCRCEngine = XmodemVariant("XmodemCRC", ptXmodem, bcmChecksum);
const TEngine kXmodem1KEngine = XmodemVariant("Xmodem1K", ptNoProtocol, bcmNone);
const TEngine kXmodem1KGEngine = XmodemVariant("Xmodem1KG", ptNoProtocol, bcmNone);

}  // namespace zav
