#include "protocols/ascii/QwAscii.h"

#include "protocols/core/QwTPcl.h"
#include "serial/QwUser.h"
#include "serial/QxExcept.h"
#include "serial/QxSrMgr.h"

namespace zav {

namespace {

constexpr uint32_t TicksOfMs(uint32_t ms) { return (ms + kMsPerTick - 1) / kMsPerTick; }

bool Write(TransferRecord& r, const uint8_t* bytes, uint32_t n) {
  if (r.Dispatcher == nullptr) return false;
  return r.Dispatcher->WriteBlock(bytes, n) >= 0;
}

void SetState(TAsciiArea& a, TAsciiState s) { a.AsciiState = s; }

// Sends the block from BlockPos on with the pacing. True when the block is
// complete; false when a delay went to the timer (or the output buffer had no
// room) and the state says what to wait for. Bytes with no delay between them
// are handed to the dispatcher together.
bool SendBlock(TransferRecord& r, TAsciiArea& a, uint32_t& acc) {
  auto busyWait = [&](uint32_t ms) {
    if (a.BusyWait != nullptr)
      a.BusyWait(ms);
    else
      DelayMs(ms);
    acc += ms;
  };
  // A delay is waited here while the batch of waits stays short; otherwise
  // the timer takes it (false).
  auto delay = [&](uint32_t ms, uint32_t ticks) {
    if (ms + acc < a.MaxDelayBatch) {
      busyWait(ms);
      return true;
    }
    ArmTimer(r, r.TimeoutTrigger, int32_t(ticks));
    SetState(a, taSendDelay);
    return false;
  };
  uint8_t pending[2 * kAsciiBlockBufferSize];
  uint8_t perByte[kAsciiBlockBufferSize];  // output bytes of each block byte taken
  uint32_t pendingBytes = 0, pendingTaken = 0, pendingFrom = a.BlockPos;
  auto commit = [&](uint32_t n) {
    r.BytesTransferred += int64_t(n);
    r.BytesRemaining -= int64_t(n);
  };
  // False when the output buffer had no room: sending resumes at the first
  // byte that did not go out, once there is room for it.
  auto flush = [&]() -> bool {
    if (pendingTaken == 0) return true;
    if (Write(r, pending, pendingBytes)) {
      commit(pendingBytes);
    } else {
      uint32_t offset = 0;
      for (uint32_t i = 0; i < pendingTaken; ++i) {
        if (perByte[i] > 0 && !Write(r, pending + offset, perByte[i])) {
          a.BlockPos = pendingFrom + i;
          pendingBytes = pendingTaken = 0;
          if (r.Dispatcher == nullptr) return false;
          ArmTimer(r, r.TimeoutTrigger, r.TransmitTimeout);
          ArmStatus(r, r.OutBuffFreeTrigger, uint16_t(perByte[i] + 1));
          SetState(a, taWaitFrSpc);
          return false;
        }
        commit(perByte[i]);
        offset += perByte[i];
      }
    }
    pendingBytes = pendingTaken = 0;
    pendingFrom = a.BlockPos;
    return true;
  };
  while (a.BlockPos < r.BlockLen) {
    const uint8_t c = a.Block[a.BlockPos];
    uint8_t* out = pending + pendingBytes;
    uint32_t n = 0;
    bool endBlock = false;
    if (c == 10) {
      if (a.AsciiLFTranslation == aetAddCRBefore) {
        out[n++] = 13;
        out[n++] = 10;
      } else if (a.AsciiLFTranslation != aetStrip) {
        out[n++] = 10;
      }
    } else if (c == 13) {
      out[n++] = 13;
      if (a.AsciiCRTranslation == aetAddLFAfter) out[n++] = 10;
      if (a.AsciiCRTranslation == aetStrip) n = 0;
    } else if (c == kAsciiEOFChar) {
      endBlock = (r.TransferOptions & tfAsciiSuppressCtrlZ) != 0;
    } else {
      out[n++] = c;
    }
    pendingBytes += n;
    perByte[pendingTaken++] = uint8_t(n);
    ++a.BlockPos;
    const bool lineDelay = c == a.AsciiEOLChar && a.AsciiLineDelay > 0;
    if (endBlock || lineDelay || a.AsciiCharDelay > 0) {
      if (!flush()) return r.Dispatcher == nullptr;
    }
    if (endBlock) {
      a.BlockPos = r.BlockLen;
      break;
    }
    if (lineDelay && !delay(a.AsciiLineDelay, a.LineDelayTicks)) return false;
    if (a.AsciiCharDelay > 0 && !delay(a.AsciiCharDelay, a.CharDelayTicks)) return false;
  }
  return flush() || r.Dispatcher == nullptr;
}

void TransmitFinished(TransferRecord& r, TAsciiArea& a) {
  // A cancel or carrier loss is a failure too, though its code is only set
  // by the finish.
  const bool failed =
      r.ProtocolError != 0 || r.ProtocolStatus == psCancelRequested || r.ProtocolStatus == psAbortNoCarrier;
  if (failed) PurgeInputOfPort(r);
  r.FinishReadingHook(r);
  r.LogFileHook(r, failed ? lfTransmitFail : lfTransmitOk);
  ShowLastStatus(r);
  ProtocolFinish(r);
  SetState(a, taDone);
}

bool InputReady(TransferRecord& r) { return r.Dispatcher != nullptr && r.Dispatcher->InputUsed() > 0; }

// Collects received bytes into the block; true when the block is complete.
bool Collect(TransferRecord& r, TAsciiArea& a, uint32_t& taken) {
  bool complete = false;
  taken = 0;
  while (InputReady(r) && r.CollectCount < r.BlockSize) {
    if (a.FirstCharPending) {
      a.FirstCharPending = false;
      NewTimer(r.TransferTimer, 1);
    }
    uint8_t c = 0;
    if (r.Dispatcher->ReadByte(c) < 0) break;
    ++taken;
    auto store = [&](uint8_t b) { a.Block[r.CollectCount++] = b; };
    if (c == 10) {
      if (a.AsciiLFTranslation == aetAddCRBefore) {
        store(13);
        store(10);
      } else if (a.AsciiLFTranslation != aetStrip) {
        store(10);
      }
    } else if (c == 13) {
      if (a.AsciiCRTranslation == aetAddLFAfter) {
        store(13);
        store(10);
      } else if (a.AsciiCRTranslation != aetStrip) {
        store(13);
      }
    } else if (c == kAsciiEOFChar) {
      if (!(r.TransferOptions & tfAsciiSuppressCtrlZ)) store(c);
      complete = true;
    } else {
      store(c);
    }
  }
  return complete || r.CollectCount >= r.BlockSize;
}

void ReceiveFinished(TransferRecord& r, TAsciiArea& a) {
  r.FinishWritingHook(r);
  const bool failed = r.ProtocolError != 0 || r.ProtocolStatus == psCancelRequested ||
                      r.ProtocolStatus == psAbortNoCarrier || r.ProtocolStatus == psFileRejected;
  r.LogFileHook(r, failed ? lfReceiveFail : lfReceiveOk);
  ShowLastStatus(r);
  ProtocolFinish(r);
  SetState(a, raDone);
}

}  // namespace

TAsciiArea* AsciiArea(TransferRecord& r) {
  return r.ProtocolType == ptAscii ? dynamic_cast<TAsciiArea*>(r.Area.get()) : nullptr;
}

int32_t InitAscii(TransferRecord& r) {
  InstallArea<TAsciiArea>(r, ptAscii, {.CheckType = bcmNone, .BlockSize = 60, .ReceiveTimeout = 364});
  return 0;
}

void DoneAscii(TransferRecord& r) { RemoveArea<TAsciiArea>(r); }

int32_t SetAsciiDelays(TransferRecord& r, uint32_t charMs, uint32_t lineMs) {
  return SetInArea(r, AsciiArea, [&](TAsciiArea& a) {
    a.AsciiCharDelay = charMs;
    a.AsciiLineDelay = lineMs;
    a.CharDelayTicks = TicksOfMs(charMs);
    a.LineDelayTicks = TicksOfMs(lineMs);
  });
}

int32_t SetAsciiEOLChar(TransferRecord& r, uint8_t c) {
  return SetInArea(r, AsciiArea, [&](TAsciiArea& a) { a.AsciiEOLChar = c; });
}

int32_t SetAsciiEOLTranslation(TransferRecord& r, TAsciiEOLTranslation cr, TAsciiEOLTranslation lf) {
  return SetInArea(r, AsciiArea, [&](TAsciiArea& a) {
    a.AsciiCRTranslation = cr;
    a.AsciiLFTranslation = lf;
  });
}

int32_t SetAsciiEOFTimeout(TransferRecord& r, int32_t ticks) {
  if (AsciiArea(r) == nullptr) return ecBadProtocolFunction;
  r.ReceiveTimeout = ticks;
  return 0;
}

// --- Transmit ----------------------------------------------------------------------------

namespace {

void PrepareTransmitAscii(TransferRecord& r) {
  TAsciiArea* a = AreaToPrepare(r, AsciiArea);
  if (a == nullptr) return;
  StartStatus(r, true);
  if (!FirstFileToSend(r, [a] { a->AsciiState = taDone; })) return;
  a->EOFSeen = false;
  r.BlockNum = 0;
  RefreshStatus(r);
  a->AsciiState = taInitial;
  r.ProtocolError = 0;
  r.LastBlock = false;
}

void TransmitPass(TransferRecord& r, TAsciiArea& a, UINT msg, WPARAM wParam) {
  if (a.AsciiState == taDone) return;
  // The busy-waits of this call: together they stay below MaxDelayBatch.
  uint32_t busyWaited = 0;
  for (;;) {
    const int32_t trigger = int32_t(wParam);
    const TAsciiState before = a.AsciiState;
    if (HandlerPassHead(r, msg, wParam, lkAscii, uint8_t(skAsciiStates + a.AsciiState))) SetState(a, taFinished);
    switch (a.AsciiState) {
      case taInitial:
        if (r.UpcaseFileNames) UpcasePathName(r, true);
        r.LogFileHook(r, lfTransmitStart);
        r.PrepareReadingHook(r);
        if (r.ProtocolError != 0) {
          SetState(a, taFinished);
        } else {
          ArmTimer(r, r.TimeoutTrigger, r.TransmitTimeout);
          NewTimer(r.TransferTimer, 1);
          SetState(a, taGetBlock);
        }
        break;
      case taGetBlock: {
        r.BlockLen = r.BlockSize;
        uint32_t count = r.BlockLen;
        r.LastBlock = r.ReadBlockHook(r, a.Block.data(), count);
        r.BlockLen = count;
        if (r.ProtocolError != 0 || r.BlockLen == 0) {
          SetState(a, taFinished);
        } else {
          a.BlockPos = 0;
          ArmTimer(r, r.TimeoutTrigger, r.TransmitTimeout);
          // Room that is already there needs no wait for the dispatcher's
          // next look at the output level.
          if (r.Dispatcher->OutputFree() >= r.BlockSize + 1) {
            SetState(a, taSendBlock);
          } else {
            ArmStatus(r, r.OutBuffFreeTrigger, uint16_t(r.BlockSize + 1));
            SetState(a, taWaitFrSpc);
          }
        }
        break;
      }
      case taWaitFrSpc:
        if (trigger != 0 && trigger == r.OutBuffFreeTrigger)
          SetState(a, taSendBlock);
        else if (trigger != 0 && trigger == r.TimeoutTrigger) {
          // The output never drained far enough: a time-out, not a success.
          GotError(r, ecTimeout);
          SetState(a, taFinished);
        }
        break;
      case taSendBlock:
        if (SendBlock(r, a, busyWaited)) {
          ++r.BlockNum;
          r.FileOffset += r.BlockSize;
          if (r.LastBlock) {
            ArmTimer(r, r.TimeoutTrigger, r.TransmitTimeout);
            ArmStatus(r, r.OutBuffUsedTrigger, 0);
            SetState(a, taFinDrain);
          } else {
            SetState(a, taGetBlock);
          }
          UpdateElapsedTicks(r);
          RefreshStatus(r);
        }
        break;
      case taSendDelay:
        if (trigger != 0 && trigger == r.TimeoutTrigger) SetState(a, taSendBlock);
        break;
      case taFinDrain:
        if (trigger != 0 && trigger == r.OutBuffUsedTrigger) {
          r.ProtocolStatus = psEndFile;
          SetState(a, taFinished);
        } else if (trigger != 0 && trigger == r.TimeoutTrigger) {
          GotError(r, ecTimeout);
          SetState(a, taFinished);
        }
        break;
      case taFinished:
        TransmitFinished(r, a);
        break;
      default:
        return;
    }
    // A trigger is consumed by the state that waited for it.
    if (a.AsciiState != before && (before == taWaitFrSpc || before == taSendDelay || before == taFinDrain)) wParam = 0;
    switch (a.AsciiState) {
      case taInitial:
      case taGetBlock:
      case taSendBlock:
      case taFinished:
        continue;
      default:
        return;
    }
  }
}

void AsciiTransmitHandler(UINT msg, WPARAM wParam, LPARAM lParam) {
  RunHandlerPass(msg, wParam, lParam, AsciiArea, TransmitPass);
}

// --- Receive -----------------------------------------------------------------------------

void PrepareReceiveAscii(TransferRecord& r) {
  TAsciiArea* a = AreaToPrepare(r, AsciiArea);
  if (a == nullptr) return;
  a->AsciiState = raInitial;
  a->EOFSeen = false;
  StartStatus(r, false);
  r.ProtocolError = 0;
  r.ForceStatus = false;
}

void ReceivePass(TransferRecord& r, TAsciiArea& a, UINT msg, WPARAM wParam) {
  if (a.AsciiState == raDone) return;
  for (;;) {
    const int32_t trigger = int32_t(wParam);
    if (HandlerPassHead(r, msg, wParam, lkAscii, uint8_t(skAsciiStates + a.AsciiState))) {
      // A cancel or carrier loss keeps what was already received: the block
      // being collected is written before the file is closed.
      if (a.AsciiState == raCollBlock && r.CollectCount > 0 && !r.WriteBlockHook(r, a.Block.data(), r.CollectCount)) {
        r.FileOffset += r.CollectCount;
        r.BytesTransferred += int64_t(r.CollectCount);
        r.CollectCount = 0;
      }
      SetState(a, raFinished);
    }
    bool again = false;
    switch (a.AsciiState) {
      case raInitial: {
        if (r.PathName[0] == 0) {
          GotError(r, ecNoFilename);
          ShowLastStatus(r);
          ProtocolFinish(r);
          SetState(a, raDone);
          break;
        }
        if (!BeginNamedReceive(r)) {
          // A refused file ends the receive (finish code -6011) instead of
          // asking again at every trigger.
          PurgeOutputOfPort(r);
          r.ProtocolStatus = psFileRejected;
          SetState(a, raFinished);
          again = true;
          break;
        }
        r.PrepareWritingHook(r);
        if (r.ProtocolStatus == psCantWriteFile && r.ProtocolError == 0) r.ProtocolError = ecCantWriteFile;
        if (r.ProtocolError != 0) {
          PurgeOutputOfPort(r);
          SetState(a, raFinished);
          again = true;
          break;
        }
        r.FileOffset = 0;
        r.BlockNum = 1;
        r.CollectCount = 0;
        RefreshStatus(r);
        ArmTimer(r, r.TimeoutTrigger, r.ReceiveTimeout);
        // Started again at the first byte; a receive that gets none still
        // reports a true elapsed time.
        NewTimer(r.TransferTimer, 1);
        a.FirstCharPending = true;
        SetState(a, raCollBlock);
        break;
      }
      case raCollBlock:
        if (trigger != 0 && trigger == r.TimeoutTrigger) {
          a.EOFSeen = true;
          SetState(a, raProcBlock);
          again = true;
        } else if (trigger == 0) {
          uint32_t taken = 0;
          const bool complete = Collect(r, a, taken);
          // Silence is counted from the last byte, not from the last block:
          // a slow sender is not cut off in the middle of a block.
          if (taken > 0) ArmTimer(r, r.TimeoutTrigger, r.ReceiveTimeout);
          if (complete) {
            SetState(a, raProcBlock);
            again = true;
          } else {
            again = InputReady(r);
          }
        }
        break;
      case raProcBlock: {
        uint32_t count = r.CollectCount;
        for (uint32_t i = 0; i < count; ++i) {
          if (a.Block[i] == kAsciiEOFChar) {
            count = i + 1;
            a.EOFSeen = true;
            break;
          }
        }
        r.BytesTransferred += int64_t(count);
        UpdateElapsedTicks(r);
        const bool failed = r.WriteBlockHook(r, a.Block.data(), count);
        if (!failed) {
          r.FileOffset += count;
          ArmTimer(r, r.TimeoutTrigger, r.ReceiveTimeout);
          RefreshStatus(r);
          r.CollectCount = 0;
        }
        if (failed || a.EOFSeen) {
          SetState(a, raFinished);
          again = true;
        } else {
          SetState(a, raCollBlock);
          wParam = 0;
          again = InputReady(r);
        }
        break;
      }
      case raFinished:
        ReceiveFinished(r, a);
        break;
      default:
        return;
    }
    if (!again) return;
  }
}

void AsciiReceiveHandler(UINT msg, WPARAM wParam, LPARAM lParam) {
  RunHandlerPass(msg, wParam, lParam, AsciiArea, ReceivePass);
}

int32_t ApplyAscii(TransferRecord& r, const TProtocolSettings& s) {
  int32_t rc = SetAsciiDelays(r, s.AsciiCharDelay, s.AsciiLineDelay);
  if (rc == 0) rc = SetAsciiEOLChar(r, s.AsciiEOLChar);
  if (rc == 0)
    rc = SetAsciiEOLTranslation(r, TAsciiEOLTranslation(s.AsciiCRTranslation),
                                TAsciiEOLTranslation(s.AsciiLFTranslation));
  if (rc == 0) rc = SetAsciiEOFTimeout(r, s.AsciiEOFTimeout);
  return rc;
}

void ReadAscii(TransferRecord& r, TProtocolSettings& s) {
  TAsciiArea* a = AsciiArea(r);
  if (a == nullptr) return;
  s.AsciiCharDelay = a->AsciiCharDelay;
  s.AsciiLineDelay = a->AsciiLineDelay;
  s.AsciiEOLChar = a->AsciiEOLChar;
  s.AsciiCRTranslation = a->AsciiCRTranslation;
  s.AsciiLFTranslation = a->AsciiLFTranslation;
  s.AsciiEOFTimeout = r.ReceiveTimeout;
}

}  // namespace

const TEngine kAsciiEngine{.Name = "Ascii", .LogKind = lkAscii, .StateBase = skAsciiStates,
                           .Settings = TSettingsGroup::Ascii,
                           .Init = [](TransferRecord& r, TProtocolType) { return InitAscii(r); },
                           .Done = DoneAscii, .Apply = ApplyAscii, .Read = ReadAscii,
                           .Prepare = {PrepareReceiveAscii, PrepareTransmitAscii},
                           .Handler = {AsciiReceiveHandler, AsciiTransmitHandler}};

}  // namespace zav
