// The routine tables of the engines: each engine adds its row here.
#include "protocols/ascii/QwAscii.h"
#include "protocols/bplus/QwBPlus.h"
#include "protocols/kermit/QwKermit.h"
#include "protocols/core/QwTPcl.h"
#include "protocols/xymodem/QwXmodem.h"
#include "protocols/xymodem/QwYmodem.h"
#include "protocols/zmodem/QwZmodem.h"

#include <algorithm>

namespace zav {

TPrepareRoutine PrepareTable[kProtocolTypeCount][2] = {
    {nullptr, nullptr},                            // ptNoProtocol
    {PrepareReceiveXmodem, PrepareTransmitXmodem}, // ptXmodem
    {PrepareReceiveXmodem, PrepareTransmitXmodem}, // ptXmodemCRC
    {PrepareReceiveXmodem, PrepareTransmitXmodem}, // ptXmodem1K
    {PrepareReceiveXmodem, PrepareTransmitXmodem}, // ptXmodem1KG
    {PrepareReceiveYmodem, PrepareTransmitYmodem}, // ptYmodem
    {PrepareReceiveYmodem, PrepareTransmitYmodem}, // ptYmodemG
    {PrepareReceiveZmodem, PrepareTransmitZmodem}, // ptZmodem
    {PrepareReceiveKermit, PrepareTransmitKermit}, // ptKermit
    {PrepareReceiveAscii, PrepareTransmitAscii},   // ptAscii
    {PrepareReceiveBPlus, PrepareTransmitBPlus},   // ptBPlus
};

TTriggerHandler HandlerTable[kProtocolTypeCount][2] = {
    {nullptr, nullptr},
    {XmodemReceiveHandler, XmodemTransmitHandler},  // ptXmodem
    {XmodemReceiveHandler, XmodemTransmitHandler},  // ptXmodemCRC
    {XmodemReceiveHandler, XmodemTransmitHandler},  // ptXmodem1K
    {XmodemReceiveHandler, XmodemTransmitHandler},  // ptXmodem1KG
    {YmodemReceiveHandler, YmodemTransmitHandler},  // ptYmodem
    {YmodemReceiveHandler, YmodemTransmitHandler},  // ptYmodemG
    {ZmodemReceiveHandler, ZmodemTransmitHandler},  // ptZmodem
    {KermitReceiveHandler, KermitTransmitHandler},  // ptKermit
    {AsciiReceiveHandler, AsciiTransmitHandler},    // ptAscii
    {BPlusReceiveHandler, BPlusTransmitHandler},    // ptBPlus
};

namespace {

int32_t InitAsciiRoutine(TransferRecord& r, TProtocolType) { return InitAscii(r); }
int32_t InitBPlusRoutine(TransferRecord& r, TProtocolType) { return InitBPlus(r); }

int32_t ApplyAscii(TransferRecord& r, const TProtocolSettings& s) {
  int32_t rc = SetAsciiDelays(r, s.AsciiCharDelay, s.AsciiLineDelay);
  if (rc == 0) rc = SetAsciiEOLChar(r, s.AsciiEOLChar);
  if (rc == 0)
    rc = SetAsciiEOLTranslation(r, TAsciiEOLTranslation(s.AsciiCRTranslation), TAsciiEOLTranslation(s.AsciiLFTranslation));
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

int32_t InitKermitRoutine(TransferRecord& r, TProtocolType) { return InitKermit(r); }

// The component's clamping: a length above 94 asks for long packets (at most
// 1024), one of 94 or less for short ones only; 0 and 1 windows are none.
int32_t ApplyKermit(TransferRecord& r, const TProtocolSettings& s) {
  int32_t rc = 0;
  if (s.KermitMaxLen > int32_t(kKermitMaxShortLen)) {
    rc = SetKermitLongPackets(r, uint32_t(std::min<int32_t>(s.KermitMaxLen, kKermitMaxLongLen)));
  } else {
    rc = SetKermitMaxLen(r, uint32_t(std::max<int32_t>(s.KermitMaxLen, 0)));
    if (rc == 0) rc = SetKermitLongPackets(r, 0);
  }
  const int32_t windows = s.KermitMaxWindows <= 1 ? 0 : std::min<int32_t>(s.KermitMaxWindows, kKermitMaxWindows);
  if (rc == 0) rc = SetKermitMaxWindows(r, uint32_t(windows));
  if (rc == 0) rc = SetKermitSWCTurnDelay(r, uint32_t(std::max<int32_t>(s.KermitSWCTurnDelay, 0)));
  if (rc == 0) rc = SetKermitTimeoutSecs(r, uint32_t(std::max<int32_t>(s.KermitTimeoutSecs, 0)));
  if (rc == 0) rc = SetKermitLiteralNames(r, s.KermitLiteralNames);
  if (rc == 0) rc = SetKermitPadCharacter(r, uint8_t(s.KermitPadCharacter));
  if (rc == 0) rc = SetKermitPadCount(r, uint32_t(std::max<int32_t>(s.KermitPadCount, 0)));
  if (rc == 0) rc = SetKermitTerminator(r, uint8_t(s.KermitTerminator));
  if (rc == 0) rc = SetKermitCtlPrefix(r, uint8_t(s.KermitCtlPrefix));
  if (rc == 0) rc = SetKermitHighbitPrefix(r, uint8_t(s.KermitHighbitPrefix));
  if (rc == 0) rc = SetKermitRepeatPrefix(r, uint8_t(s.KermitRepeatPrefix));
  return rc;
}

void ReadKermit(TransferRecord& r, TProtocolSettings& s) {
  TKermitArea* a = KermitArea(r);
  if (a == nullptr) return;
  s.KermitMaxLen = (r.TransferOptions & tfKermitLongPackets) ? int32_t(a->Local.LongLen) : a->Local.MaxLen;
  s.KermitMaxWindows = a->Local.Windows;
  s.KermitSWCTurnDelay = int32_t(a->SWCTurnDelay);
  s.KermitTimeoutSecs = a->Local.TimeoutSecs;
  s.KermitLiteralNames = a->LiteralNames;
  s.KermitPadCharacter = char(a->Local.PadChar);
  s.KermitPadCount = a->Local.PadCount;
  s.KermitTerminator = char(a->Local.Terminator);
  s.KermitCtlPrefix = char(a->Local.CtlPrefix);
  s.KermitHighbitPrefix = char(a->Local.HibitPrefix);
  s.KermitRepeatPrefix = char(a->Local.RepeatPrefix);
}

// Xmodem and Ymodem keep one setting: the wait for a reply or the next block.
int32_t ApplyXYmodem(TransferRecord& r, const TProtocolSettings& s) { return SetXYmodemBlockWait(r, s.XYmodemBlockWait); }

void ReadXYmodem(TransferRecord& r, TProtocolSettings& s) {
  if (TXmodemArea* a = XmodemArea(r)) s.XYmodemBlockWait = a->XYmodemBlockWait;
}

int32_t InitZmodemRoutine(TransferRecord& r, TProtocolType) { return InitZmodem(r); }

int32_t ApplyZmodem(TransferRecord& r, const TProtocolSettings& s) {
  int32_t rc = SetZmodemOptionOverride(r, s.ZmodemOptionOverride);
  if (rc == 0) rc = SetZmodemFileOption(r, s.ZmodemFileOption);
  if (rc == 0) rc = SetZmodemSkipNoFile(r, s.ZmodemSkipNoFile);
  if (rc == 0) rc = SetZmodemRecover(r, s.ZmodemRecover);
  if (rc == 0) rc = SetZmodemFinishRetry(r, s.ZmodemFinishRetry);
  // The buffers are made again only for a change.
  if (rc == 0 && ZmodemArea(r)->Use8K != s.Zmodem8K) rc = SetZmodem8K(r, s.Zmodem8K);
  return rc;
}

void ReadZmodem(TransferRecord& r, TProtocolSettings& s) {
  TZmodemArea* a = ZmodemArea(r);
  if (a == nullptr) return;
  s.ZmodemOptionOverride = a->OptionOverride;
  s.ZmodemFileOption = uint8_t(a->FileOption & 0x7F);
  s.ZmodemSkipNoFile = (a->FileOption & kSkipNoFileBit) != 0;
  s.ZmodemRecover = a->Recover;
  s.ZmodemFinishRetry = a->FinishRetries;
  s.Zmodem8K = a->Use8K;
}

}  // namespace

TProtocolRoutines ProtocolRoutines[kProtocolTypeCount] = {
    {},
    {InitXmodem, nullptr, ApplyXYmodem, ReadXYmodem},          // ptXmodem
    {InitXmodem, nullptr, ApplyXYmodem, ReadXYmodem},          // ptXmodemCRC
    {InitXmodem, nullptr, ApplyXYmodem, ReadXYmodem},          // ptXmodem1K
    {InitXmodem, nullptr, ApplyXYmodem, ReadXYmodem},          // ptXmodem1KG
    {InitYmodem, DoneYmodem, ApplyXYmodem, ReadXYmodem},       // ptYmodem
    {InitYmodem, DoneYmodem, ApplyXYmodem, ReadXYmodem},       // ptYmodemG
    {InitZmodemRoutine, DoneZmodem, ApplyZmodem, ReadZmodem},  // ptZmodem
    {InitKermitRoutine, DoneKermit, ApplyKermit, ReadKermit},  // ptKermit
    {InitAsciiRoutine, DoneAscii, ApplyAscii, ReadAscii},  // ptAscii
    {InitBPlusRoutine, DoneBPlus, nullptr, nullptr},       // ptBPlus
};

}  // namespace zav
