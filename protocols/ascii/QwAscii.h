// The ASCII protocol: a text file sent as a raw byte stream paced by a
// character delay and a line delay, with optional line-end translation; and a
// byte stream received into a file until an end-of-file byte or silence.
#pragma once

#include <cstdint>
#include <vector>

#include "protocols/core/QwAbsPcl.h"

namespace zav {

enum TAsciiEOLTranslation : uint8_t { aetNone, aetStrip, aetAddCRBefore, aetAddLFAfter };

enum TAsciiState : uint8_t {
  taInitial, taGetBlock, taWaitFrSpc, taSendBlock, taSendDelay, taFinDrain, taFinished, taDone,
  raInitial, raCollBlock, raProcBlock, raFinished, raDone
};

constexpr uint8_t kAsciiEOFChar = 26;
constexpr uint32_t kAsciiBlockBufferSize = 1024;
constexpr uint32_t kAsciiMaxDelayBatch = 250;

struct TAsciiArea : TProtocolArea {
  std::vector<uint8_t> Block = std::vector<uint8_t>(kAsciiBlockBufferSize);
  bool EOFSeen = false;
  uint32_t AsciiCharDelay = 0;
  uint32_t AsciiLineDelay = 0;
  uint32_t CharDelayTicks = 0;
  uint32_t LineDelayTicks = 0;
  uint32_t MaxDelayBatch = kAsciiMaxDelayBatch;
  uint32_t BlockPos = 0;
  TAsciiEOLTranslation AsciiCRTranslation = aetNone;
  TAsciiEOLTranslation AsciiLFTranslation = aetNone;
  uint8_t AsciiEOLChar = 13;
  TAsciiState AsciiState = taInitial;
  bool FirstCharPending = false;
  // The millisecond busy-wait of the pacing (tests watch it).
  void (*BusyWait)(uint32_t ms) = nullptr;

  std::unique_ptr<TProtocolArea> Clone() const override { return std::make_unique<TAsciiArea>(*this); }
};

// The record's ASCII area; null when the record holds another protocol.
TAsciiArea* AsciiArea(TransferRecord& r);
extern const TEngine kAsciiEngine;

int32_t InitAscii(TransferRecord& r);
void DoneAscii(TransferRecord& r);

// Setters: 0, or -6015 when the record does not hold ptAscii.
int32_t SetAsciiDelays(TransferRecord& r, uint32_t charMs, uint32_t lineMs);
int32_t SetAsciiEOLChar(TransferRecord& r, uint8_t c);
int32_t SetAsciiEOLTranslation(TransferRecord& r, TAsciiEOLTranslation cr, TAsciiEOLTranslation lf);
int32_t SetAsciiEOFTimeout(TransferRecord& r, int32_t ticks);

}  // namespace zav
