// Ymodem: a batch of files, each announced by a header block (block 0 with
// its name, size and date) and sent by the Xmodem machine in 1K blocks; an
// empty header ends the batch. Ymodem-G streams the blocks unacknowledged.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "protocols/xymodem/QwXmodem.h"

namespace zav {

enum TYmodemState : uint8_t {
  tyInitial, tyHandshake, tyGetFlName, tySndFlName, tyDraining, tyRplyPndng, tyPrpXmdm, tySndXmdm, tyFinishd,
  tyFinDrain, tyDone,
  ryInitial, ryDelay, ryWtFrHSRply, ryWtFBlkStrt, ryCollBlck, ryProcBlck, ryOpenFile, ryPrepXmdm, ryRcvXmodem,
  ryFinished, ryDone
};

// MsgYmodemAbort (platform/MessageNumbers.h) ends a Ymodem transfer at once
// (status 4730, finish code -6016).
// Ticks between a file's end (or the start) and the request for the next header.
constexpr int32_t kYmodemRequestDelay = 1;

// What a header block says.
struct TYmodemHeader {
  bool End = false;  // the empty header that ends the batch
  std::string Name;
  bool HasSize = false;
  uint64_t Size = 0;
  bool HasDate = false;  // a date field is present
  int64_t Date = 0;      // seconds since 1970; 0 when the field does not read as a date
};

// The data of a header block: the name, a zero byte, the size in decimal and,
// with a date, a space and the date as 12 octal digits; zero bytes to 128, or
// to 1024 when that does not fit.
std::vector<uint8_t> BuildYmodemHeader(const std::string& name, uint64_t size, bool hasDate, int64_t date);
// Reads the data of a header block (`size` bytes).
TYmodemHeader ParseYmodemHeader(const uint8_t* data, uint32_t size);
// The name a header carries for `path`: its file-name part, or the relative
// path with `includeDirectory`; "\" becomes "/"; lower case with `lowerCase`.
std::string YmodemHeaderName(const std::string& path, bool includeDirectory, bool lowerCase);

struct TYmodemArea : TXmodemArea {
  TYmodemState YmodemState = tyDone;
  // The header block: sent from here (data at offset 3), collected here.
  std::vector<uint8_t> Header = std::vector<uint8_t>(kXmodemMaxFrame);
  uint32_t HeaderSize = 128;
  std::string SavedName;
  uint64_t SavedSize = 0;
  bool SizeKnown = false;
  // The exact date (seconds since 1970): the record's stamp has 2-second steps.
  int64_t SavedDate = 0;
  bool DateKnown = false;
  bool FileOffered = false;

  std::unique_ptr<TProtocolArea> Clone() const override { return std::make_unique<TYmodemArea>(*this); }
  // Cuts the file to the announced size and gives it the announced date.
  void FileReceived(TransferRecord& r) override;
  uint64_t DataLimit() const override { return SizeKnown ? SavedSize : UINT64_MAX; }
};

// The record's Ymodem area; null for other protocols.
TYmodemArea* YmodemArea(TransferRecord& r);
extern const TEngine kYmodemEngine, kYmodemGEngine;

int32_t InitYmodem(TransferRecord& r, TProtocolType type);
void DoneYmodem(TransferRecord& r);

}  // namespace zav
