#include "protocols/xymodem/QwYmodem.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/FileNames.h"
#include "protocols/core/QwTPcl.h"
#include "serial/QwUser.h"
#include "serial/QxExcept.h"
#include "serial/QxSrMgr.h"

namespace zav {

// --- Header codec ----------------------------------------------------------------------------

std::vector<uint8_t> BuildYmodemHeader(const std::string& name, uint64_t size, bool hasDate, int64_t date) {
  std::string text = name;
  text += '\0';
  text += std::to_string(size);
  if (hasDate && date > 0) {
    char octal[24];
    std::snprintf(octal, sizeof octal, " %012llo", static_cast<unsigned long long>(date));
    text += octal;
  }
  std::vector<uint8_t> block(text.size() > 128 ? kXmodemMaxBlock : 128, 0);
  std::memcpy(block.data(), text.data(), std::min(text.size(), block.size()));
  return block;
}

TYmodemHeader ParseYmodemHeader(const uint8_t* data, uint32_t size) {
  TYmodemHeader h;
  const uint32_t emptyLen = std::min<uint32_t>(size, 117);
  h.End = std::all_of(data, data + emptyLen, [](uint8_t b) { return b == 0; });
  if (h.End) return h;
  uint32_t i = 0;
  while (i < size && data[i] != 0) ++i;
  h.Name.assign(reinterpret_cast<const char*>(data), std::min<uint32_t>(i, 254));
  if (i < size) ++i;  // the zero byte
  // The size in decimal up to a space or a zero byte.
  std::string field;
  while (i < size && data[i] != 0 && data[i] != ' ') field += char(data[i++]);
  // Any size a file system holds (up to 18 digits); the wire has no limit.
  h.HasSize = !field.empty() && field.size() <= 18 &&
              std::all_of(field.begin(), field.end(), [](char c) { return c >= '0' && c <= '9'; });
  h.Size = h.HasSize ? uint64_t(std::stoull(field)) : 0;
  if (i < size && data[i] == ' ') {
    ++i;
    std::string date;
    while (i < size && data[i] != 0 && data[i] != ' ') date += char(data[i++]);
    h.HasDate = !date.empty();
    h.Date = h.HasDate ? int64_t(OctalValue(date)) : 0;
  }
  return h;
}

std::string YmodemHeaderName(const std::string& path, bool includeDirectory, bool lowerCase) {
  std::string name = path;
  std::replace(name.begin(), name.end(), '\\', '/');
  if (!includeDirectory) {
    name = JustFilename(name);
  } else {
    // The peer gets a relative path.
    while (name.rfind("./", 0) == 0) name.erase(0, 2);
    name.erase(0, name.find_first_not_of('/') == std::string::npos ? name.size() : name.find_first_not_of('/'));
  }
  if (lowerCase)
    for (char& c : name) c = char(std::tolower(static_cast<unsigned char>(c)));
  return name;
}

// --- Area ------------------------------------------------------------------------------------

TYmodemArea* YmodemArea(TransferRecord& r) {
  if (r.ProtocolType != ptYmodem && r.ProtocolType != ptYmodemG) return nullptr;
  return dynamic_cast<TYmodemArea*>(r.Area.get());
}

int32_t InitYmodem(TransferRecord& r, TProtocolType type) {
  if (type != ptYmodem && type != ptYmodemG) return ecBadProtocolFunction;
  TYmodemArea& a = InstallArea<TYmodemArea>(r, type, kXYmodemFigures);
  InitXmodemArea(r, a, type);
  a.YmodemState = tyDone;
  return 0;
}

void DoneYmodem(TransferRecord& r) { RemoveArea<TYmodemArea>(r); }

void TYmodemArea::FileReceived(TransferRecord& r) {
  if (!SizeKnown && !DateKnown) return;
  const std::string path = BufferText(r.PathName);
  const int fd = OpenReceivedFile(r, path, O_WRONLY);
  if (fd < 0) {
    GotError(r, -IoError(errno));
    return;
  }
  struct stat st {};
  // The file ends where the header said: the padding of the last block, and
  // anything the peer sent beyond, is cut away.
  if (SizeKnown && fstat(fd, &st) == 0 && uint64_t(st.st_size) > SavedSize) {
    if (ftruncate(fd, off_t(SavedSize)) != 0) {
      const int err = errno;
      ::close(fd);
      GotError(r, -IoError(err));
      return;
    }
    r.SrcFileLen = SavedSize;
  }
  r.BytesTransferred = int64_t(r.SrcFileLen);
  r.BytesRemaining = 0;
  if (DateKnown) {
    const timespec times[2] = {{time_t(SavedDate), 0}, {time_t(SavedDate), 0}};
    if (futimens(fd, times) == 0) {
      r.SrcFileDate = PackUnixDate(SavedDate);
    } else {
      // A date the file system does not take: the file is kept undated.
      r.ProtocolStatus = psInvalidDate;
      r.ShowStatusHook(r, 0);
    }
  }
  if (::close(fd) != 0) GotError(r, -IoError(errno));
}

// --- Shared pieces ---------------------------------------------------------------------------

namespace {

// The head of a Ymodem pass. A carrier loss, the abort message and a cancel
// end the transfer (true); otherwise the status pacing, which the Xmodem
// machine does itself while it runs.
bool YmodemHead(TransferRecord& r, TYmodemArea& a, UINT msg, int32_t trigger, bool transmit) {
  const uint8_t subKind = uint8_t(skYmodemStates + a.YmodemState);
  const bool carrier = XmodemTriggered(trigger, r.ModemTrigger);
  if (carrier || msg == MsgProtocolCancel || msg == MsgYmodemAbort) {
    if (r.Dispatcher != nullptr && r.Dispatcher->Logging()) r.Dispatcher->AddLogEntry(lkYmodem, subKind, 0, nullptr, 0);
    if (msg == MsgProtocolCancel) {
      XmodemCancel(r);
      r.ProtocolStatus = psCancelRequested;
    } else if (msg == MsgYmodemAbort) {
      r.ProtocolStatus = psAbort;
    } else {
      PurgeOutputOfPort(r);
      r.ProtocolStatus = psAbortNoCarrier;
    }
    r.ForceStatus = false;
    r.LogFileHook(r, transmit ? lfTransmitFail : lfReceiveFail);
    return true;
  }
  const bool xmodemRuns = transmit ? a.YmodemState == tySndXmdm : a.YmodemState == ryRcvXmodem;
  if (xmodemRuns) {
    if (r.Dispatcher != nullptr && r.Dispatcher->Logging()) r.Dispatcher->AddLogEntry(lkYmodem, subKind, 0, nullptr, 0);
    return false;
  }
  HandlerPassHead(r, 0, WPARAM(trigger), lkYmodem, subKind);
  return false;
}

void Finish(TransferRecord& r, TYmodemArea& a, TYmodemState done) {
  ShowLastStatus(r);
  ProtocolFinish(r);
  RestoreXmodemFlags(r, a);
  a.YmodemState = done;
}

int32_t SendHeader(TransferRecord& r, TYmodemArea& a, uint32_t size) {
  const uint32_t n = BuildXmodemFrame(a.Header.data(), 0, a.Header.data() + 3, size, a.CRCMode);
  return XmodemSend(r, a.Header.data(), n);
}

// The exact date of the file to send; the record's stamp when the file
// system cannot tell.
int64_t FileDate(const TransferRecord& r, const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) == 0 && st.st_mtime > 0) return int64_t(st.st_mtime);
  return r.SrcFileDate != 0 ? DosDateToUnix(r.SrcFileDate) : 0;
}

// --- Transmit ---

void TyInitial(TransferRecord& r, TYmodemArea& a) {
  a.Handshakes.Reset();
  a.YmodemState = XmodemHandshakeRetry(r, a) ? tyHandshake : tyFinishd;
}

void TyHandshake(TransferRecord& r, TYmodemArea& a, int32_t trigger, bool data) {
  switch (XmodemAwaitHandshake(r, a, trigger, data)) {
    case TXmodemHandshake::Got: a.YmodemState = tyGetFlName; break;
    case TXmodemHandshake::Failed: a.YmodemState = tyFinishd; break;
    case TXmodemHandshake::Waiting: break;
  }
}

void TyGetFlName(TransferRecord& r, TYmodemArea& a) {
  if (!r.NextFileHook(r, r.PathName.data())) {
    r.PathName[0] = 0;
    a.YmodemState = tyFinishd;
    return;
  }
  r.PrepareReadingHook(r);
  if (r.ProtocolError != 0) {
    a.YmodemState = tyFinishd;
    return;
  }
  a.SavedName = BufferText(r.PathName);
  a.SavedSize = r.SrcFileLen;
  a.SavedDate = FileDate(r, a.SavedName);
  a.DateKnown = a.SavedDate > 0;
  const std::vector<uint8_t> header =
      BuildYmodemHeader(YmodemHeaderName(a.SavedName, (r.TransferOptions & tfIncludeDirectory) != 0,
                                         r.UpcaseFileNames),
                        a.SavedSize, a.DateKnown, a.SavedDate);
  std::memcpy(a.Header.data() + 3, header.data(), header.size());
  a.HeaderSize = uint32_t(header.size());
  r.SrcFileLen = a.HeaderSize;
  r.BytesRemaining = int64_t(a.HeaderSize);
  r.BytesTransferred = 0;
  r.ElapsedTicks = 0;
  r.PathName[0] = 0;
  a.YmodemState = tySndFlName;
}

void TySndFlName(TransferRecord& r, TYmodemArea& a) {
  r.BlockNum = 0;
  const int32_t rc = SendHeader(r, a, a.HeaderSize);
  if (rc < 0) {
    GotError(r, rc);
    a.YmodemState = tyFinishd;
    return;
  }
  a.FileOffered = true;
  ArmTimer(r, r.TimeoutTrigger, kXmodemDrainTicks);
  ArmStatus(r, r.OutBuffUsedTrigger, 0);
  a.YmodemState = tyDraining;
}

void TyDraining(TransferRecord& r, TYmodemArea& a, int32_t trigger, bool data) {
  if (XmodemSentOut(r, a, trigger, data, a.HeaderSize)) a.YmodemState = tyRplyPndng;
}

void TyRplyPndng(TransferRecord& r, TYmodemArea& a, int32_t trigger, bool data) {
  if (data) {
    uint8_t c = 0;
    r.Dispatcher->PeekBlock(&c, 1);
    if (c == cACK) {
      XmodemReadOne(r, c);
      a.YmodemState = tyPrpXmdm;
    } else if (c == cCAN) {
      XmodemReadOne(r, c);
      r.ProtocolStatus = psCancelRequested;
      RefreshStatus(r);
      a.YmodemState = tyFinishd;
    } else if (a.GMode) {
      // A streaming receiver need not answer the header: this is its
      // request for the data, read by the Xmodem machine.
      a.YmodemState = tyPrpXmdm;
    } else {
      XmodemReadOne(r, c);
      if (!XmodemCountBlockError(r, a)) {
        a.YmodemState = tyFinishd;
      } else {
        r.ProtocolStatus = c == cNAK ? psBlockCheckError : psProtocolError;
        RefreshStatus(r);
        a.YmodemState = tySndFlName;
      }
    }
  } else if (XmodemTriggered(trigger, r.TimeoutTrigger)) {
    if (!XmodemCountBlockError(r, a)) {
      a.YmodemState = tyFinishd;
    } else {
      r.ProtocolStatus = psTimeout;
      RefreshStatus(r);
      a.YmodemState = tySndFlName;
    }
  }
}

void TyPrpXmdm(TransferRecord& r, TYmodemArea& a) {
  r.BytesTransferred = 0;
  r.ElapsedTicks = 0;
  SetBufferText(r.PathName, a.SavedName);
  if (r.UpcaseFileNames) UpcasePathName(r, true);
  r.SrcFileLen = a.SavedSize;
  r.BytesRemaining = int64_t(a.SavedSize);
  ApplyXmodem1K(r, a, true);
  RefreshStatus(r);
  a.XmodemState = txInitial;
  a.YmodemState = tySndXmdm;
}

void TySndXmdm(TransferRecord& r, TYmodemArea& a, int32_t trigger) {
  if (XmodemTransmitSteps(r, a, 0, WPARAM(trigger)))
    // A file that did not end with its EOT acknowledged (a cancel by the
    // receiver too) ends the batch.
    a.YmodemState = r.ProtocolError != 0 || !a.LastFileOk ? tyFinishd : tyInitial;
}

void TyFinishd(TransferRecord& r, TYmodemArea& a) {
  r.FinishReadingHook(r);
  if (a.FileOffered && r.ProtocolStatus != psCancelRequested && r.ProtocolStatus != psAbort) {
    std::memset(a.Header.data() + 3, 0, 128);
    SendHeader(r, a, 128);
    ArmTimer(r, r.TimeoutTrigger, EndDrainTicks(r, a));
    ArmStatus(r, r.OutBuffUsedTrigger, 0);
    a.YmodemState = tyFinDrain;
  } else {
    Finish(r, a, tyDone);
  }
}

void TyFinDrain(TransferRecord& r, TYmodemArea& a, int32_t trigger) {
  if (XmodemTriggered(trigger, r.TimeoutTrigger) || XmodemTriggered(trigger, r.OutBuffUsedTrigger)) Finish(r, a, tyDone);
}

void TransmitStep(TransferRecord& r, TYmodemArea& a, int32_t trigger, bool data) {
  switch (a.YmodemState) {
    case tyInitial: TyInitial(r, a); break;
    case tyHandshake: TyHandshake(r, a, trigger, data); break;
    case tyGetFlName: TyGetFlName(r, a); break;
    case tySndFlName: TySndFlName(r, a); break;
    case tyDraining: TyDraining(r, a, trigger, data); break;
    case tyRplyPndng: TyRplyPndng(r, a, trigger, data); break;
    case tyPrpXmdm: TyPrpXmdm(r, a); break;
    case tySndXmdm: TySndXmdm(r, a, trigger); break;
    case tyFinishd: TyFinishd(r, a); break;
    case tyFinDrain: TyFinDrain(r, a, trigger); break;
    default:
      break;
  }
}

// --- Receive ---

void ProcessHeader(TransferRecord& r, TYmodemArea& a) {
  const TBlockVerdict verdict = CheckXmodemBlock(a.Header.data(), r.BlockSize, a.CRCMode, 0, true);
  if (verdict == TBlockVerdict::BadCheck || verdict == TBlockVerdict::BadNumber) {
    if (!XmodemReceiveError(r, a)) {
      a.YmodemState = ryFinished;
      return;
    }
    // Answered once the line is quiet, as a damaged data block is.
    PurgeAllInput(r);
    r.ProtocolStatus = psBlockCheckError;
    RefreshStatus(r);
    a.ReplyChar = cNAK;
    a.Resync = true;
    ArmTimer(r, r.TimeoutTrigger, kXmodemQuietTicks);
    a.YmodemState = ryWtFrHSRply;
    return;
  }
  if (verdict != TBlockVerdict::Good) {
    XmodemCancel(r);
    r.ProtocolStatus = psSequenceError;
    GotError(r, ecSequenceError);
    a.YmodemState = ryFinished;
    return;
  }
  XmodemSendByte(r, cACK);
  r.BlockErrors.Reset();
  r.ProtocolStatus = psOK;
  RefreshStatus(r);
  const TYmodemHeader h = ParseYmodemHeader(a.Header.data() + 2, r.BlockSize);
  if (h.End) {
    a.YmodemState = ryFinished;
    return;
  }
  // A name from the peer stays inside the destination directory; nothing
  // usable leaves it empty, which the Xmodem machine refuses.
  // Its directories are made once the application accepted the file.
  if (PlaceReceivedName(r, h.Name, (r.TransferOptions & tfHonorDirectory) != 0) != TPlaceResult::Placed)
    r.PathName[0] = 0;
  else if (r.UpcaseFileNames)
    UpcasePathName(r, false);
  a.SizeKnown = h.HasSize;
  a.SavedSize = h.Size;
  r.SrcFileLen = h.Size;
  r.BytesRemaining = int64_t(h.Size);
  a.DateKnown = h.HasDate && h.Date > 0;
  a.SavedDate = h.Date;
  if (h.HasDate && h.Date == 0) {
    r.ProtocolStatus = psInvalidDate;
    r.ShowStatusHook(r, 0);
  }
  r.BytesTransferred = 0;
  r.ElapsedTicks = 0;
  ApplyXmodem1K(r, a, true);
  a.YmodemState = ryPrepXmdm;
}

void RyInitial(TransferRecord& r, TYmodemArea& a) {
  r.SrcFileLen = 0;
  r.BytesRemaining = 0;
  r.BytesTransferred = 0;
  r.ElapsedTicks = 0;
  r.BlockNum = 0;
  r.PathName[0] = 0;
  std::fill(a.Header.begin(), a.Header.end(), 0);
  ApplyXmodem1K(r, a, false);
  ApplyXmodemCRC(r, a, true);
  a.BlockErrorLimit = a.Saved.BlockErrorLimit;
  a.HandshakeChar = a.ReplyChar = a.GMode ? cStreamRequest : cCrcRequest;
  a.SizeKnown = a.DateKnown = false;
  a.Resync = false;
  ArmTimer(r, r.TimeoutTrigger, kYmodemRequestDelay);
  a.YmodemState = ryDelay;
}

void RyDelay(TransferRecord& r, TYmodemArea& a, int32_t trigger) {
  if (XmodemTriggered(trigger, r.TimeoutTrigger)) {
    a.EotCount = a.CanCount = 0;
    XmodemRequest(r, a.ReplyChar);
    a.YmodemState = ryWtFrHSRply;
  }
}

void RyWtFrHSRply(TransferRecord& r, TYmodemArea& a, int32_t trigger, bool data) {
  if (XmodemResyncing(r, a, trigger, data)) return;
  if (data) {
    if (a.GMode) a.BlockErrorLimit = 0;
    a.YmodemState = ryWtFBlkStrt;
  } else if (XmodemTriggered(trigger, r.TimeoutTrigger)) {
    if (!XmodemReceiveError(r, a)) {
      a.YmodemState = ryFinished;
      return;
    }
    XmodemRequest(r, r.BlockErrors.Exceeds(a.BlockErrorLimit) ? cNAK : a.ReplyChar);
  }
}

void RyWtFBlkStrt(TransferRecord& r, TYmodemArea& a, int32_t trigger, bool data) {
  if (data) {
    if (!XmodemAwaitStartOrEot(r, a, a.YmodemState, ryCollBlck, ryFinished)) return;
    // The sender missed our answer to its last EOT: answer again and ask
    // for the next header.
    XmodemSendByte(r, cACK);
    a.YmodemState = ryInitial;
  } else if (XmodemTriggered(trigger, r.TimeoutTrigger)) {
    if (a.CanCount > 0) {
      r.ProtocolStatus = psCancelRequested;
      a.YmodemState = ryFinished;
    } else {
      a.YmodemState = XmodemReceiveError(r, a) ? ryInitial : ryFinished;
    }
  }
}

void RyCollBlck(TransferRecord& r, TYmodemArea& a, int32_t trigger, bool data) {
  if (data) {
    if (XmodemCollect(r, a, a.Header.data())) a.YmodemState = ryProcBlck;
  } else if (XmodemTriggered(trigger, r.TimeoutTrigger)) {
    r.ProtocolStatus = psTimeout;
    a.YmodemState = XmodemReceiveError(r, a) ? ryInitial : ryFinished;
  }
}

void RyProcBlck(TransferRecord& r, TYmodemArea& a) {
  ProcessHeader(r, a);
}

void RyPrepXmdm(TransferRecord& r, TYmodemArea& a) {
  a.XmodemState = rxInitial;
  ResetTransferStatus(r);
  r.ProtocolStatus = psProtocolHandshake;
  r.SrcFileLen = a.SavedSize;
  a.YmodemState = ryRcvXmodem;
}

void RyRcvXmodem(TransferRecord& r, TYmodemArea& a, int32_t trigger) {
  if (XmodemReceiveSteps(r, a, 0, WPARAM(trigger))) {
    if (r.ProtocolError != 0 || !a.LastFileOk) {
      a.YmodemState = ryFinished;
    } else {
      ArmTimer(r, r.TimeoutTrigger, r.HandshakeWait);
      RefreshStatus(r);
      a.YmodemState = ryInitial;
    }
  }
}

void RyFinished(TransferRecord& r, TYmodemArea& a) {
  // A cancel in the middle of a file: what arrived is written first.
  if (r.FileOpen) r.FinishWritingHook(r);
  Finish(r, a, ryDone);
}

void ReceiveStep(TransferRecord& r, TYmodemArea& a, int32_t trigger, bool data) {
  switch (a.YmodemState) {
    case ryInitial: RyInitial(r, a); break;
    case ryDelay: RyDelay(r, a, trigger); break;
    case ryWtFrHSRply: RyWtFrHSRply(r, a, trigger, data); break;
    case ryWtFBlkStrt: RyWtFBlkStrt(r, a, trigger, data); break;
    case ryCollBlck: RyCollBlck(r, a, trigger, data); break;
    case ryProcBlck: RyProcBlck(r, a); break;
    case ryPrepXmdm: RyPrepXmdm(r, a); break;
    case ryRcvXmodem: RyRcvXmodem(r, a, trigger); break;
    case ryFinished: RyFinished(r, a); break;
    default:
      break;
  }
}

// A direction's handler: its steps run until the transfer is done.
template <auto Steps>
void Handler(UINT msg, WPARAM wParam, LPARAM lParam) {
  RunHandlerPass(msg, wParam, lParam, YmodemArea, [](TransferRecord& r, TYmodemArea& a, UINT m, WPARAM w) {
    if (a.YmodemState != tyDone && a.YmodemState != ryDone) Steps(r, a, m, w);
  });
}

// What a direction's loop knows of its states.
struct TYmodemLoop {
  bool transmit;
  TYmodemState finished;                // where a cancel or carrier loss goes
  std::array<TYmodemState, 2> pauses;   // the pass ends here
  TYmodemState xmodem, prepare;         // the Xmodem machine, started at once after `prepare`
  std::array<TYmodemState, 3> reading;  // states that go on while bytes wait
  void (*step)(TransferRecord& r, TYmodemArea& a, int32_t trigger, bool data);
};

const TYmodemLoop kTransmitLoop{true, tyFinishd, {tyDone, tyFinDrain}, tySndXmdm, tyPrpXmdm,
                                {tyHandshake, tyDraining, tyRplyPndng}, TransmitStep};
const TYmodemLoop kReceiveLoop{false, ryFinished, {ryDone, ryDelay}, ryRcvXmodem, ryPrepXmdm,
                               {ryWtFrHSRply, ryWtFBlkStrt, ryCollBlck}, ReceiveStep};

void Steps(TransferRecord& r, TYmodemArea& a, UINT msg, WPARAM wParam, const TYmodemLoop& loop) {
  auto among = [&](const auto& states) {
    return std::find(states.begin(), states.end(), a.YmodemState) != states.end();
  };
  for (;;) {
    const int32_t trigger = int32_t(wParam);
    if (YmodemHead(r, a, msg, trigger, loop.transmit)) a.YmodemState = loop.finished;
    const bool data = trigger == 0 && XmodemByteReady(r);
    const TYmodemState before = a.YmodemState;
    loop.step(r, a, trigger, data);
    msg = 0;
    wParam = 0;
    if (among(loop.pauses)) return;
    // The Xmodem machine waits on its own; it starts at once.
    if (a.YmodemState == loop.xmodem && before != loop.prepare) return;
    if (among(loop.reading) && !XmodemByteReady(r)) return;
  }
}

void TransmitSteps(TransferRecord& r, TYmodemArea& a, UINT msg, WPARAM wParam) {
  Steps(r, a, msg, wParam, kTransmitLoop);
}

void ReceiveSteps(TransferRecord& r, TYmodemArea& a, UINT msg, WPARAM wParam) {
  Steps(r, a, msg, wParam, kReceiveLoop);
}

void PrepareTransmitYmodem(TransferRecord& r) {
  TYmodemArea* a = PrepareXYmodem(r, YmodemArea, true);
  if (a == nullptr) return;
  a->FileOffered = false;
  a->LastFileOk = false;
  a->YmodemState = tyInitial;
  r.ProtocolError = 0;
  RefreshStatus(r);
}

void PrepareReceiveYmodem(TransferRecord& r) {
  TYmodemArea* a = PrepareXYmodem(r, YmodemArea, false);
  if (a == nullptr) return;
  a->FirstBlock = true;
  a->YmodemState = ryInitial;
}

constexpr TEngine YmodemVariant(const char* name) {
  return {.Name = name, .LogKind = lkYmodem, .StateBase = skYmodemStates, .Settings = TSettingsGroup::XYmodem,
          .Init = InitYmodem, .Done = DoneYmodem, .Apply = ApplyXYmodem, .Read = ReadXYmodem,
          .Prepare = {PrepareReceiveYmodem, PrepareTransmitYmodem},
          .Handler = {Handler<ReceiveSteps>, Handler<TransmitSteps>}};
}

}  // namespace

const TEngine kYmodemEngine = YmodemVariant("Ymodem");
const TEngine kYmodemGEngine = YmodemVariant("YmodemG");

}  // namespace zav
