// The routine tables of the engines: each engine adds its row here.
#include "protocols/QwAscii.h"
#include "protocols/QwBPlus.h"
#include "protocols/QwTPcl.h"

namespace zav {

TPrepareRoutine PrepareTable[kProtocolTypeCount][2] = {
    {nullptr, nullptr},                            // ptNoProtocol
    {nullptr, nullptr},                            // ptXmodem
    {nullptr, nullptr},                            // ptXmodemCRC
    {nullptr, nullptr},                            // ptXmodem1K
    {nullptr, nullptr},                            // ptXmodem1KG
    {nullptr, nullptr},                            // ptYmodem
    {nullptr, nullptr},                            // ptYmodemG
    {nullptr, nullptr},                            // ptZmodem
    {nullptr, nullptr},                            // ptKermit
    {PrepareReceiveAscii, PrepareTransmitAscii},   // ptAscii
    {PrepareReceiveBPlus, PrepareTransmitBPlus},   // ptBPlus
};

TTriggerHandler HandlerTable[kProtocolTypeCount][2] = {
    {nullptr, nullptr}, {nullptr, nullptr}, {nullptr, nullptr}, {nullptr, nullptr},
    {nullptr, nullptr}, {nullptr, nullptr}, {nullptr, nullptr}, {nullptr, nullptr},
    {nullptr, nullptr}, {AsciiReceiveHandler, AsciiTransmitHandler}, {BPlusReceiveHandler, BPlusTransmitHandler},
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

}  // namespace

TProtocolRoutines ProtocolRoutines[kProtocolTypeCount] = {
    {}, {}, {}, {}, {}, {}, {}, {}, {},
    {InitAsciiRoutine, DoneAscii, ApplyAscii, ReadAscii},  // ptAscii
    {InitBPlusRoutine, DoneBPlus, nullptr, nullptr},       // ptBPlus
};

}  // namespace zav
