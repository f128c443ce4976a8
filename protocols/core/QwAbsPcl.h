// The transfer record that every protocol engine shares, its enumerations and
// the routine types of the engines.
//
// One record belongs to one protocol component. Its trigger handler runs on
// the dispatcher thread and holds RecordLock for each whole call; the
// component's thread touches the record only while no transfer runs, or
// through a handler call (start, cancel) that takes the same lock.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Clock.h"
#include "platform/Lock.h"
#include "platform/Messages.h"

namespace zav {

class TMroCustomComPort;
class TMroBaseDispatcher;

enum TProtocolType : uint8_t {
  ptNoProtocol, ptXmodem, ptXmodemCRC, ptXmodem1K, ptXmodem1KG, ptYmodem, ptYmodemG,
  ptZmodem, ptKermit, ptAscii, ptBPlus
};
constexpr int kProtocolTypeCount = 11;

enum TBlockCheckMethod : uint8_t { bcmNone, bcmChecksum, bcmChecksum2, bcmCrc16, bcmCrc32, bcmCrcK };
enum TWriteFailAction : uint8_t { wfWriteNone, wfWriteFail, wfWriteRename, wfWriteAnyway, wfWriteResume };

// Bits of TransferOptions.
constexpr uint32_t tfIncludeDirectory = 0x001;
constexpr uint32_t tfHonorDirectory = 0x002;
constexpr uint32_t tfRTSLowForWrite = 0x004;
constexpr uint32_t tfAbortNoCarrier = 0x008;
constexpr uint32_t tfKermitLongPackets = 0x010;
constexpr uint32_t tfKermitSlidingWindows = 0x020;
constexpr uint32_t tfZmodem8K = 0x040;
constexpr uint32_t tfBP2KTransmit = 0x080;
constexpr uint32_t tfAsciiSuppressCtrlZ = 0x100;

// Log codes of LogFileHook.
constexpr uint16_t lfReceiveStart = 0;
constexpr uint16_t lfReceiveOk = 1;
constexpr uint16_t lfReceiveFail = 2;
constexpr uint16_t lfReceiveSkip = 3;
constexpr uint16_t lfTransmitStart = 4;
constexpr uint16_t lfTransmitOk = 5;
constexpr uint16_t lfTransmitFail = 6;
constexpr uint16_t lfTransmitSkip = 7;

// Status options of ShowStatusHook.
constexpr uint16_t soFirst = 0x01;
constexpr uint16_t soLast = 0x02;

// Status codes (texts in the error table).
constexpr int32_t psOK = 4700;
constexpr int32_t psProtocolHandshake = 4701;
constexpr int32_t psInvalidDate = 4702;
constexpr int32_t psFileRejected = 4703;
constexpr int32_t psFileRenamed = 4704;
constexpr int32_t psSkipFile = 4705;
constexpr int32_t psFileDoesntExist = 4706;
constexpr int32_t psCantWriteFile = 4707;
constexpr int32_t psTimeout = 4708;
constexpr int32_t psBlockCheckError = 4709;
constexpr int32_t psLongPacket = 4710;
constexpr int32_t psDuplicateBlock = 4711;
constexpr int32_t psProtocolError = 4712;
constexpr int32_t psCancelRequested = 4713;
constexpr int32_t psEndFile = 4714;
constexpr int32_t psResumeBad = 4715;
constexpr int32_t psSequenceError = 4716;
constexpr int32_t psAbortNoCarrier = 4717;
// Zmodem: subpacket ends as statuses, and two internal values (4725, 4726)
// that fall back to 4700 after a pass; B+: resume (4722, 4723).
constexpr int32_t psGotCrcE = 4718, psGotCrcG = 4719, psGotCrcW = 4720, psGotCrcQ = 4721;
constexpr int32_t psTryingResume = 4722;
constexpr int32_t psHostResuming = 4723;
constexpr int32_t psNoHeader = 4725;
constexpr int32_t psGotHeader = 4726;
constexpr int32_t psAbort = 4730;

constexpr uint32_t kFileBufferSize = 8192;
constexpr uint8_t kBlockFillChar = 26;
constexpr size_t kMaxPathChars = 255;

// Dispatch-log kinds of the protocols; sub-kind 8 is the finish entry.
constexpr uint8_t lkXmodem = 12, lkYmodem = 13, lkZmodem = 14, lkKermit = 15, lkAscii = 16, lkBPlus = 17;
constexpr uint8_t lskFinish = 8;

struct TransferRecord;
struct TEngine;

// A protocol's own part of the record. Each engine derives its area; Clone
// serves the component's copy of a whole record.
struct TProtocolArea {
  virtual ~TProtocolArea() = default;
  virtual std::unique_ptr<TProtocolArea> Clone() const = 0;
};

using TShowStatusHook = void (*)(TransferRecord& r, uint16_t options);
using TLogFileHook = void (*)(TransferRecord& r, uint16_t code);
using TNextFileHook = bool (*)(TransferRecord& r, char* name);  // name: 256 bytes
using TAcceptFileHook = bool (*)(TransferRecord& r, char* name);
using TPrepareReadingHook = void (*)(TransferRecord& r);
using TReadBlockHook = bool (*)(TransferRecord& r, uint8_t* block, uint32_t& count);
using TFinishReadingHook = void (*)(TransferRecord& r);
using TPrepareWritingHook = void (*)(TransferRecord& r);
using TWriteBlockHook = bool (*)(TransferRecord& r, const uint8_t* block, uint32_t count);
using TFinishWritingHook = void (*)(TransferRecord& r);

using TTriggerHandler = void (*)(UINT msg, WPARAM wParam, LPARAM lParam);
using TPrepareRoutine = void (*)(TransferRecord& r);

// The open search over a file mask: the matches, sorted, and the next one.
struct TSearchRec {
  std::vector<std::string> Names;
  size_t Next = 0;
};

// Failures since the last progress, held against a limit. Every engine counts
// its retries with it; each keeps its own limit and its own points of reset.
class TRetryCounter {
 public:
  // Counts one more failure; true while the count stays within `limit`.
  bool Retry(uint32_t limit) { return ++count_ <= limit; }
  void Add() { ++count_; }
  bool Exceeds(uint32_t limit) const { return count_ > limit; }
  void Reset(uint32_t count = 0) { count_ = count; }
  uint32_t Count() const { return count_; }

 private:
  uint32_t count_ = 0;
};

// Everything of a record but its lock: copied as a whole by the component.
struct TransferData {
  int32_t StatusTrigger = 0;
  int32_t TimeoutTrigger = 0;
  int32_t OutBuffFreeTrigger = 0;
  int32_t OutBuffUsedTrigger = 0;
  int32_t ModemTrigger = 0;
  HWND MessageWindow = 0;
  TMroCustomComPort* ComPort = nullptr;
  // The port's dispatcher while a transfer runs (from the start to the finish):
  // the handler works on it directly and never on the component's state.
  TMroBaseDispatcher* Dispatcher = nullptr;
  TProtocolType ProtocolType = ptNoProtocol;
  TBlockCheckMethod CheckType = bcmNone;
  uint32_t HandshakeRetry = 10;
  int32_t HandshakeWait = 182;
  uint32_t BlockSize = 128;
  uint32_t BlockNum = 0;
  uint32_t TransferOptions = 0;
  int32_t TransmitTimeout = 1092;
  int32_t FinishWait = 364;
  int32_t ReceiveTimeout = 0;
  int32_t ProtocolStatus = psOK;
  uint32_t BlockLen = 0;
  int32_t ProtocolError = 0;
  uint64_t SrcFileLen = 0;
  uint32_t SrcFileDate = 0;
  uint32_t FileCrc = 0;
  TTriggerHandler TriggerHandler = nullptr;
  bool ForceStatus = false;
  int32_t InProgress = 0;
  TRetryCounter BlockErrors;  // failures of the block in hand
  uint32_t TotalErrors = 0;
  uint32_t ActualCPS = 0;
  uint32_t Overhead = 0;
  uint32_t TurnDelay = 0;
  int32_t StatusInterval = 10;
  int64_t BytesRemaining = 0, BytesTransferred = 0;
  // A transmit's bytes that were counted but have not left for the line yet
  // (the transmit ring and the system's queue), as of the last status report.
  bool Transmitting = false;
  int64_t BytesInFlight = 0;
  int32_t ElapsedTicks = 0;
  TEventTimer TransferTimer;
  bool EndPending = false;
  bool FileOpen = false;
  bool LastBlock = false;
  uint32_t CollectCount = 0;
  TWriteFailAction WriteFailAction = wfWriteRename;
  uint64_t BufferStart = 0, BufferEnd = 0, LastOffset = 0, FileOffset = 0, EndOfData = 0;
  std::vector<uint8_t> FileBuffer;  // kFileBufferSize bytes while FileOpen
  bool UpcaseFileNames = true;
  bool FindFirstPending = true;
  std::array<char, kMaxPathChars + 1> PathName{};
  std::array<char, kMaxPathChars + 1> FileMask{};
  TSearchRec SearchRec;
  bool SearchOpen = false;
  TShowStatusHook ShowStatusHook = nullptr;
  TLogFileHook LogFileHook = nullptr;
  TNextFileHook NextFileHook = nullptr;
  TAcceptFileHook AcceptFileHook = nullptr;
  TPrepareReadingHook PrepareReadingHook = nullptr;
  TReadBlockHook ReadBlockHook = nullptr;
  TFinishReadingHook FinishReadingHook = nullptr;
  TPrepareWritingHook PrepareWritingHook = nullptr;
  TWriteBlockHook WriteBlockHook = nullptr;
  TFinishWritingHook FinishWritingHook = nullptr;
  int WorkFile = -1;  // file descriptor while FileOpen
  std::array<char, kMaxPathChars + 1> DestinationDirectory{};
  // The name buffer of an accept question: it lives with the record, so a
  // report that times out can never be answered into freed memory.
  std::array<char, kMaxPathChars + 1> AcceptName{};
};

// Which kept settings an engine takes.
enum class TSettingsGroup : uint8_t { None, XYmodem, Zmodem, Kermit, Ascii };

// The settings a protocol component keeps across protocol switches; each
// engine takes its own from here when the component switches to it.
struct TProtocolSettings {
  int32_t XYmodemBlockWait = 91;
  bool ZmodemOptionOverride = false, ZmodemSkipNoFile = false, ZmodemRecover = false, Zmodem8K = false;
  uint8_t ZmodemFileOption = 5;  // zfoWriteNewer
  int32_t ZmodemFinishRetry = 0;
  int32_t KermitMaxLen = 80, KermitMaxWindows = 0, KermitSWCTurnDelay = 0, KermitPadCount = 0;
  int32_t KermitTimeoutSecs = 5;
  bool KermitLiteralNames = false;
  char KermitPadCharacter = 0, KermitTerminator = 13, KermitCtlPrefix = '#', KermitHighbitPrefix = 'Y';
  char KermitRepeatPrefix = '~';
  uint32_t AsciiCharDelay = 0, AsciiLineDelay = 0;
  uint8_t AsciiEOLChar = 13;
  uint8_t AsciiCRTranslation = 0, AsciiLFTranslation = 0;
  int32_t AsciiEOFTimeout = 364;
};

struct TransferRecord : TransferData {
  TransferRecord() = default;
  TransferRecord(const TransferRecord&) = delete;
  TransferRecord& operator=(const TransferRecord&) = delete;

  std::unique_ptr<TProtocolArea> Area;  // the protocol area; null for ptNoProtocol
  TCriticalSection RecordLock;
  // Handler calls that found this record and have not returned (THandlerCall).
  std::atomic<int32_t> HandlerCalls{0};
};

// Zero-terminated buffers of the record.
std::string BufferText(const std::array<char, kMaxPathChars + 1>& buffer);
// Stores at most 255 characters.
void SetBufferText(std::array<char, kMaxPathChars + 1>& buffer, std::string_view text);

}  // namespace zav
