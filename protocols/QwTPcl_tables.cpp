// The routine tables of the engines: each engine adds its row here.
#include "protocols/QwAscii.h"
#include "protocols/QwBPlus.h"
#include "protocols/QwTPcl.h"
#include "protocols/QwXmodem.h"
#include "protocols/QwYmodem.h"

namespace zav {

TPrepareRoutine PrepareTable[kProtocolTypeCount][2] = {
    {nullptr, nullptr},                            // ptNoProtocol
    {PrepareReceiveXmodem, PrepareTransmitXmodem}, // ptXmodem
    {PrepareReceiveXmodem, PrepareTransmitXmodem}, // ptXmodemCRC
    {PrepareReceiveXmodem, PrepareTransmitXmodem}, // ptXmodem1K
    {PrepareReceiveXmodem, PrepareTransmitXmodem}, // ptXmodem1KG
    {PrepareReceiveYmodem, PrepareTransmitYmodem}, // ptYmodem
    {PrepareReceiveYmodem, PrepareTransmitYmodem}, // ptYmodemG
    {nullptr, nullptr},                            // ptZmodem
    {nullptr, nullptr},                            // ptKermit
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
    {nullptr, nullptr}, {nullptr, nullptr}, {AsciiReceiveHandler, AsciiTransmitHandler},
    {BPlusReceiveHandler, BPlusTransmitHandler},  // ptBPlus
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

// Xmodem and Ymodem keep one setting: the wait for a reply or the next block.
int32_t ApplyXYmodem(TransferRecord& r, const TProtocolSettings& s) { return SetXYmodemBlockWait(r, s.XYmodemBlockWait); }

void ReadXYmodem(TransferRecord& r, TProtocolSettings& s) {
  if (TXmodemArea* a = XmodemArea(r)) s.XYmodemBlockWait = a->XYmodemBlockWait;
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
    {}, {},
    {InitAsciiRoutine, DoneAscii, ApplyAscii, ReadAscii},  // ptAscii
    {InitBPlusRoutine, DoneBPlus, nullptr, nullptr},       // ptBPlus
};

}  // namespace zav
