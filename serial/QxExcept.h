// Result codes, the exception classes raised at the components' surface, and
// the texts of the codes.
//
// Every library operation returns a 32-bit signed result: 0 or positive is
// success, negative a failure. Components turn a failure into an exception
// with CheckErrorCode. The text of code -n is entry n of the error table
// "MERO_ERROR_STRINGS_ENGLISH" (see QxSrMgr.h).
//
// Thread safety: everything here may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <utility>

namespace zav {

// ---- Result codes ---------------------------------------------------------

constexpr int32_t ecOK = 0;

// File and device errors of the operating system and the runtime.
constexpr int32_t ecFileNotFound = -2;
constexpr int32_t ecPathNotFound = -3;
constexpr int32_t ecTooManyFiles = -4;
constexpr int32_t ecAccessDenied = -5;
constexpr int32_t ecInvalidHandle = -6;
constexpr int32_t ecOutOfMemory = -8;
constexpr int32_t ecInvalidDrive = -15;
constexpr int32_t ecNoMoreFiles = -18;
constexpr int32_t ecNameTooLong = -206;
constexpr int32_t ecFileTooLarge = -223;  // larger than the protocol can carry
constexpr int32_t ecDiskRead = -100;
constexpr int32_t ecDiskFull = -101;
constexpr int32_t ecNotAssigned = -102;
constexpr int32_t ecNotOpen = -103;
constexpr int32_t ecNotOpenInput = -104;
constexpr int32_t ecNotOpenOutput = -105;
constexpr int32_t ecWriteProtected = -150;
constexpr int32_t ecUnknownUnit = -151;
constexpr int32_t ecDriveNotReady = -152;
constexpr int32_t ecUnknownCommand = -153;
constexpr int32_t ecCrcError = -154;
constexpr int32_t ecBadRequestLength = -155;
constexpr int32_t ecSeekError = -156;
constexpr int32_t ecUnknownMedia = -157;
constexpr int32_t ecSectorNotFound = -158;
constexpr int32_t ecOutOfPaper = -159;
constexpr int32_t ecWriteFault = -160;
constexpr int32_t ecReadFault = -161;
constexpr int32_t ecGeneralFailure = -162;

// General library errors.
constexpr int32_t ecBadHandle = -1001;
constexpr int32_t ecBadArgument = -1002;
constexpr int32_t ecGotQuitMsg = -1003;
constexpr int32_t ecBufferTooBig = -1004;
constexpr int32_t ecPortNotAssigned = -1005;
constexpr int32_t ecInternal = -1006;
constexpr int32_t ecModemNotAssigned = -1007;
constexpr int32_t ecPhonebookNotAssigned = -1008;
constexpr int32_t ecCannotUseWithWinSock = -1009;

// Opening a port.
constexpr int32_t ecBadId = -2001;
constexpr int32_t ecBaudRate = -2002;
constexpr int32_t ecByteSize = -2003;
constexpr int32_t ecDefault = -2004;
constexpr int32_t ecHardware = -2005;
constexpr int32_t ecMemory = -2006;
constexpr int32_t ecCommNotOpen = -2007;
constexpr int32_t ecAlreadyOpen = -2008;
constexpr int32_t ecNoHandles = -2009;
constexpr int32_t ecNoTimers = -2010;
constexpr int32_t ecNoPortSelected = -2011;
constexpr int32_t ecNotOpenedByTapi = -2012;

// Serial input and output.
constexpr int32_t ecNullApi = -3001;
constexpr int32_t ecNotSupported = -3002;
constexpr int32_t ecRegisterHandlerFailed = -3003;
constexpr int32_t ecPutBlockFail = -3004;
constexpr int32_t ecGetBlockFail = -3005;
constexpr int32_t ecOutputBufferTooSmall = -3006;
constexpr int32_t ecBufferIsEmpty = -3007;
constexpr int32_t ecTracingNotEnabled = -3008;
constexpr int32_t ecLoggingNotEnabled = -3009;
constexpr int32_t ecBaseAddressNotSet = -3010;
// The device hung up or was removed (an unplugged adapter, a closed far end).
constexpr int32_t ecDeviceGone = -3011;

// Modem and dialer.
constexpr int32_t ecModemNotStarted = -4001;
constexpr int32_t ecModemBusy = -4002;
constexpr int32_t ecModemNotDialing = -4003;
constexpr int32_t ecNotDialing = -4004;
constexpr int32_t ecAlreadyDialing = -4005;
constexpr int32_t ecModemNotResponding = -4006;
constexpr int32_t ecModemRejectedCommand = -4007;
constexpr int32_t ecModemStatusMismatch = -4008;

// Triggers.
constexpr int32_t ecNoMoreTriggers = -5001;
constexpr int32_t ecTriggerTooLong = -5002;
constexpr int32_t ecBadTriggerHandle = -5003;

// File-transfer protocols.
constexpr int32_t ecBadFileList = -6001;
constexpr int32_t ecNoSearchMask = -6002;
constexpr int32_t ecNoMatchingFiles = -6003;
constexpr int32_t ecDirNotFound = -6004;
constexpr int32_t ecCancelRequested = -6005;
constexpr int32_t ecTimeout = -6006;
constexpr int32_t ecProtocolError = -6007;
constexpr int32_t ecTooManyErrors = -6008;
constexpr int32_t ecSequenceError = -6009;
constexpr int32_t ecNoFilename = -6010;
constexpr int32_t ecFileRejected = -6011;
constexpr int32_t ecCantWriteFile = -6012;
constexpr int32_t ecTableFull = -6013;
constexpr int32_t ecAbortNoCarrier = -6014;
constexpr int32_t ecBadProtocolFunction = -6015;
constexpr int32_t ecProtocolAbort = -6016;

// INI database.
constexpr int32_t ecKeyTooLong = -7001;
constexpr int32_t ecDataTooLarge = -7002;
constexpr int32_t ecNoFieldsDefined = -7003;
constexpr int32_t ecIniWrite = -7004;
constexpr int32_t ecIniRead = -7005;
constexpr int32_t ecNoIndexKey = -7006;
constexpr int32_t ecRecordExists = -7007;
constexpr int32_t ecRecordNotFound = -7008;
constexpr int32_t ecMustHaveIdxVal = -7009;
constexpr int32_t ecDatabaseFull = -7010;
constexpr int32_t ecDatabaseEmpty = -7011;
constexpr int32_t ecDatabaseNotPrepared = -7012;
constexpr int32_t ecBadFieldList = -7013;
constexpr int32_t ecBadFieldForIndex = -7014;

// Telephony and remote access.
constexpr int32_t ecRasLoadFail = -13980;

// ---- Exceptions -------------------------------------------------------------

class TComponent;

// The framework's base exception: a message and a help context.
class Exception : public std::exception {
 public:
  explicit Exception(std::string message, int32_t helpContext = 0)
      : message_(std::move(message)), helpContext_(helpContext) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& Message() const { return message_; }
  int32_t HelpContext() const { return helpContext_; }

 private:
  std::string message_;
  int32_t helpContext_;
};

// The framework's input/output error; ErrorCode is the positive error number.
class EInOutError : public Exception {
 public:
  EInOutError(std::string message, int32_t errorCode)
      : Exception(std::move(message)), ErrorCode(errorCode) {}
  int32_t ErrorCode;
};

// The framework's out-of-memory error.
class EOutOfMemory : public Exception {
 public:
  explicit EOutOfMemory(std::string message) : Exception(std::move(message)) {}
};

// Base of every library exception.
class EMROException : public Exception {
 public:
  // ErrorCode = code, message = ErrorText(code).
  explicit EMROException(int32_t code);
  // ErrorCode = 0, message = text.
  explicit EMROException(const std::string& text);
  explicit EMROException(const char* text) : EMROException(std::string(text)) {}
  int32_t ErrorCode;
};

// The classes add nothing but their type.
#define ZAV_EXCEPTION_CLASS(Name, Parent) \
  class Name : public Parent {            \
   public:                                \
    using Parent::Parent;                 \
  };

// Group classes.
ZAV_EXCEPTION_CLASS(EGeneral, EMROException)
ZAV_EXCEPTION_CLASS(EOpenComm, EMROException)
ZAV_EXCEPTION_CLASS(ESerialIO, EMROException)
ZAV_EXCEPTION_CLASS(EModem, EMROException)
ZAV_EXCEPTION_CLASS(ETrigger, EMROException)
ZAV_EXCEPTION_CLASS(EProtocol, EMROException)
ZAV_EXCEPTION_CLASS(EINI, EMROException)
ZAV_EXCEPTION_CLASS(EFax, EMROException)
ZAV_EXCEPTION_CLASS(ETapi, EMROException)
ZAV_EXCEPTION_CLASS(ERas, EMROException)

// EGeneral leaves.
ZAV_EXCEPTION_CLASS(EBadArgument, EGeneral)
ZAV_EXCEPTION_CLASS(EGotQuitMsg, EGeneral)
ZAV_EXCEPTION_CLASS(EBufferTooBig, EGeneral)
ZAV_EXCEPTION_CLASS(EPortNotAssigned, EGeneral)
ZAV_EXCEPTION_CLASS(EInternal, EGeneral)
ZAV_EXCEPTION_CLASS(EModemNotAssigned, EGeneral)
ZAV_EXCEPTION_CLASS(EPhonebookNotAssigned, EGeneral)
ZAV_EXCEPTION_CLASS(ECannotUseWithWinSock, EGeneral)

// EOpenComm leaves.
ZAV_EXCEPTION_CLASS(EBadId, EOpenComm)
ZAV_EXCEPTION_CLASS(EBaudRate, EOpenComm)
ZAV_EXCEPTION_CLASS(EByteSize, EOpenComm)
ZAV_EXCEPTION_CLASS(EDefault, EOpenComm)
ZAV_EXCEPTION_CLASS(EHardware, EOpenComm)
ZAV_EXCEPTION_CLASS(EMemory, EOpenComm)
ZAV_EXCEPTION_CLASS(ECommNotOpen, EOpenComm)
ZAV_EXCEPTION_CLASS(EAlreadyOpen, EOpenComm)
ZAV_EXCEPTION_CLASS(ENoHandles, EOpenComm)
ZAV_EXCEPTION_CLASS(ENoTimers, EOpenComm)
ZAV_EXCEPTION_CLASS(ENoPortSelected, EOpenComm)
ZAV_EXCEPTION_CLASS(ENotOpenedByTapi, EOpenComm)

// ESerialIO leaves.
ZAV_EXCEPTION_CLASS(ENullApi, ESerialIO)
ZAV_EXCEPTION_CLASS(ERegisterHandlerFailed, ESerialIO)
ZAV_EXCEPTION_CLASS(EPutBlockFail, ESerialIO)
ZAV_EXCEPTION_CLASS(EGetBlockFail, ESerialIO)
ZAV_EXCEPTION_CLASS(EOutputBufferTooSmall, ESerialIO)
ZAV_EXCEPTION_CLASS(EBufferIsEmpty, ESerialIO)
ZAV_EXCEPTION_CLASS(ETracingNotEnabled, ESerialIO)
ZAV_EXCEPTION_CLASS(ELoggingNotEnabled, ESerialIO)
ZAV_EXCEPTION_CLASS(EBaseAddressNotSet, ESerialIO)
ZAV_EXCEPTION_CLASS(EDeviceGone, ESerialIO)

// EModem leaves.
ZAV_EXCEPTION_CLASS(EModemNotStarted, EModem)
ZAV_EXCEPTION_CLASS(EModemBusy, EModem)
ZAV_EXCEPTION_CLASS(EModemNotDialing, EModem)
ZAV_EXCEPTION_CLASS(EModemNotResponding, EModem)
ZAV_EXCEPTION_CLASS(EModemRejectedCommand, EModem)
ZAV_EXCEPTION_CLASS(EModemStatusMismatch, EModem)
ZAV_EXCEPTION_CLASS(EAlreadyDialing, EModem)
ZAV_EXCEPTION_CLASS(ENotDialing, EModem)

// ETrigger leaves.
ZAV_EXCEPTION_CLASS(ETriggerTooLong, ETrigger)
ZAV_EXCEPTION_CLASS(EBadTriggerHandle, ETrigger)

// EINI leaves.
ZAV_EXCEPTION_CLASS(EKeyTooLong, EINI)
ZAV_EXCEPTION_CLASS(EDataTooLarge, EINI)
ZAV_EXCEPTION_CLASS(EIniWrite, EINI)
ZAV_EXCEPTION_CLASS(EIniRead, EINI)
ZAV_EXCEPTION_CLASS(ERecordExists, EINI)
ZAV_EXCEPTION_CLASS(ERecordNotFound, EINI)
ZAV_EXCEPTION_CLASS(EDatabaseFull, EINI)
ZAV_EXCEPTION_CLASS(EDatabaseEmpty, EINI)
ZAV_EXCEPTION_CLASS(EBadFieldList, EINI)
ZAV_EXCEPTION_CLASS(EBadFieldForIndex, EINI)

// EFax leaves.
ZAV_EXCEPTION_CLASS(EFaxBadFormat, EFax)
ZAV_EXCEPTION_CLASS(EBadGraphicsFormat, EFax)
ZAV_EXCEPTION_CLASS(EConvertAbort, EFax)
ZAV_EXCEPTION_CLASS(EUnpackAbort, EFax)
ZAV_EXCEPTION_CLASS(ECantMakeBitmap, EFax)
ZAV_EXCEPTION_CLASS(EInvalidPageNumber, EFax)
ZAV_EXCEPTION_CLASS(EFaxBadMachine, EFax)
ZAV_EXCEPTION_CLASS(EFaxBadModemResult, EFax)
ZAV_EXCEPTION_CLASS(EFaxTrainError, EFax)
ZAV_EXCEPTION_CLASS(EFaxInitError, EFax)
ZAV_EXCEPTION_CLASS(EFaxBusy, EFax)
ZAV_EXCEPTION_CLASS(EFaxVoiceCall, EFax)
ZAV_EXCEPTION_CLASS(EFaxDataCall, EFax)
ZAV_EXCEPTION_CLASS(EFaxNoDialTone, EFax)
ZAV_EXCEPTION_CLASS(EFaxNoCarrier, EFax)
ZAV_EXCEPTION_CLASS(EFaxSessionError, EFax)
ZAV_EXCEPTION_CLASS(EFaxPageError, EFax)

// ETapi leaves.
ZAV_EXCEPTION_CLASS(ETapiAllocated, ETapi)
ZAV_EXCEPTION_CLASS(ETapiBadDeviceID, ETapi)
ZAV_EXCEPTION_CLASS(ETapiBearerModeUnavail, ETapi)
ZAV_EXCEPTION_CLASS(ETapiCallUnavail, ETapi)
ZAV_EXCEPTION_CLASS(ETapiCompletionOverrun, ETapi)
ZAV_EXCEPTION_CLASS(ETapiConferenceFull, ETapi)
ZAV_EXCEPTION_CLASS(ETapiDialBilling, ETapi)
ZAV_EXCEPTION_CLASS(ETapiDialDialtone, ETapi)
ZAV_EXCEPTION_CLASS(ETapiDialPrompt, ETapi)
ZAV_EXCEPTION_CLASS(ETapiDialQuiet, ETapi)
ZAV_EXCEPTION_CLASS(ETapiIncompatibleApiVersion, ETapi)
ZAV_EXCEPTION_CLASS(ETapiIncompatibleExtVersion, ETapi)
ZAV_EXCEPTION_CLASS(ETapiIniFileCorrupt, ETapi)
ZAV_EXCEPTION_CLASS(ETapiInUse, ETapi)
ZAV_EXCEPTION_CLASS(ETapiInvalAddress, ETapi)
ZAV_EXCEPTION_CLASS(ETapiInvalAddressID, ETapi)
ZAV_EXCEPTION_CLASS(ETapiInvalAddressMode, ETapi)
ZAV_EXCEPTION_CLASS(ETapiInvalAddressState, ETapi)
ZAV_EXCEPTION_CLASS(ETapiInvalAppHandle, ETapi)
ZAV_EXCEPTION_CLASS(ETapiInvalAppName, ETapi)
ZAV_EXCEPTION_CLASS(ETapiInvalBearerMode, ETapi)
ZAV_EXCEPTION_CLASS(ETapiInvalCallComplMode, ETapi)
ZAV_EXCEPTION_CLASS(ETapiInvalCallHandle, ETapi)
ZAV_EXCEPTION_CLASS(ETapiInvalCallParams, ETapi)
ZAV_EXCEPTION_CLASS(ETapiInvalCallPrivilege, ETapi)
ZAV_EXCEPTION_CLASS(ETapiInvalCallSelect, ETapi)
ZAV_EXCEPTION_CLASS(ETapiInvalCallState, ETapi)
ZAV_EXCEPTION_CLASS(ETapiInvalCallStatelist, ETapi)
ZAV_EXCEPTION_CLASS(ETapiInvalCard, ETapi)
ZAV_EXCEPTION_CLASS(ETapiInvalCompletionID, ETapi)
ZAV_EXCEPTION_CLASS(ETapiInvalConfCallHandle, ETapi)
ZAV_EXCEPTION_CLASS(ETapiInvalConsultCallHandle, ETapi)
ZAV_EXCEPTION_CLASS(ETapiInvalCountryCode, ETapi)
ZAV_EXCEPTION_CLASS(ETapiInvalDeviceClass, ETapi)
ZAV_EXCEPTION_CLASS(ETapiInvalDeviceHandle, ETapi)
ZAV_EXCEPTION_CLASS(ETapiInvalDialParams, ETapi)
ZAV_EXCEPTION_CLASS(ETapiInvalDigitList, ETapi)
ZAV_EXCEPTION_CLASS(ETapiInvalDigitMode, ETapi)
ZAV_EXCEPTION_CLASS(ETapiInvalDigits, ETapi)
ZAV_EXCEPTION_CLASS(ETapiInvalExtVersion, ETapi)
ZAV_EXCEPTION_CLASS(ETapiInvalGroupID, ETapi)
ZAV_EXCEPTION_CLASS(ETapiInvalLineHandle, ETapi)
ZAV_EXCEPTION_CLASS(ETapiInvalLineState, ETapi)
ZAV_EXCEPTION_CLASS(ETapiInvalLocation, ETapi)
ZAV_EXCEPTION_CLASS(ETapiInvalMediaList, ETapi)
ZAV_EXCEPTION_CLASS(ETapiInvalMediaMode, ETapi)
ZAV_EXCEPTION_CLASS(ETapiInvalMessageID, ETapi)
ZAV_EXCEPTION_CLASS(ETapiInvalParam, ETapi)
ZAV_EXCEPTION_CLASS(ETapiInvalParkID, ETapi)
ZAV_EXCEPTION_CLASS(ETapiInvalParkMode, ETapi)
ZAV_EXCEPTION_CLASS(ETapiInvalPointer, ETapi)
ZAV_EXCEPTION_CLASS(ETapiInvalPrivSelect, ETapi)
ZAV_EXCEPTION_CLASS(ETapiInvalRate, ETapi)
ZAV_EXCEPTION_CLASS(ETapiInvalRequestMode, ETapi)
ZAV_EXCEPTION_CLASS(ETapiInvalTerminalID, ETapi)
ZAV_EXCEPTION_CLASS(ETapiInvalTerminalMode, ETapi)
ZAV_EXCEPTION_CLASS(ETapiInvalTimeout, ETapi)
ZAV_EXCEPTION_CLASS(ETapiInvalTone, ETapi)
ZAV_EXCEPTION_CLASS(ETapiInvalToneList, ETapi)
ZAV_EXCEPTION_CLASS(ETapiInvalToneMode, ETapi)
ZAV_EXCEPTION_CLASS(ETapiInvalTransferMode, ETapi)
ZAV_EXCEPTION_CLASS(ETapiLineMapperFailed, ETapi)
ZAV_EXCEPTION_CLASS(ETapiNoConference, ETapi)
ZAV_EXCEPTION_CLASS(ETapiNoDevice, ETapi)
ZAV_EXCEPTION_CLASS(ETapiNoDriver, ETapi)
ZAV_EXCEPTION_CLASS(ETapiNoMem, ETapi)
ZAV_EXCEPTION_CLASS(ETapiNoRequest, ETapi)
ZAV_EXCEPTION_CLASS(ETapiNotOwner, ETapi)
ZAV_EXCEPTION_CLASS(ETapiNotRegistered, ETapi)
ZAV_EXCEPTION_CLASS(ETapiOperationFailed, ETapi)
ZAV_EXCEPTION_CLASS(ETapiOperationUnavail, ETapi)
ZAV_EXCEPTION_CLASS(ETapiRateUnavail, ETapi)
ZAV_EXCEPTION_CLASS(ETapiResourceUnavail, ETapi)
ZAV_EXCEPTION_CLASS(ETapiRequestOverrun, ETapi)
ZAV_EXCEPTION_CLASS(ETapiStructureTooSmall, ETapi)
ZAV_EXCEPTION_CLASS(ETapiTargetNotFound, ETapi)
ZAV_EXCEPTION_CLASS(ETapiTargetSelf, ETapi)
ZAV_EXCEPTION_CLASS(ETapiUninitialized, ETapi)
ZAV_EXCEPTION_CLASS(ETapiUserUserInfoTooBig, ETapi)
ZAV_EXCEPTION_CLASS(ETapiReinit, ETapi)
ZAV_EXCEPTION_CLASS(ETapiAddressBlocked, ETapi)
ZAV_EXCEPTION_CLASS(ETapiBillingRejected, ETapi)
ZAV_EXCEPTION_CLASS(ETapiInvalFeature, ETapi)
ZAV_EXCEPTION_CLASS(ETapiNoMultipleInstance, ETapi)
ZAV_EXCEPTION_CLASS(ETapiBusy, ETapi)
ZAV_EXCEPTION_CLASS(ETapiNotSet, ETapi)
ZAV_EXCEPTION_CLASS(ETapiNoSelect, ETapi)
ZAV_EXCEPTION_CLASS(ETapiLoadFail, ETapi)
ZAV_EXCEPTION_CLASS(ETapiGetAddrFail, ETapi)
ZAV_EXCEPTION_CLASS(ETapi16Disabled, ETapi)
ZAV_EXCEPTION_CLASS(ETapiVoiceNotSupported, ETapi)
ZAV_EXCEPTION_CLASS(ETapiWaveFail, ETapi)
ZAV_EXCEPTION_CLASS(ETapiTranslateFail, ETapi)

// ERas leaves.
ZAV_EXCEPTION_CLASS(ERasLoadFail, ERas)

#undef ZAV_EXCEPTION_CLASS

// ---- Texts and the check ----------------------------------------------------

// The message of an error code (its magnitude names the table entry), at most
// 255 bytes, never split inside a UTF-8 sequence. Without a table entry the
// system's text for the matching errno is used, on one line with single
// blanks; without that, the text is empty.
std::string ErrorText(int32_t code);

// The table text of the code's magnitude, cut to fit the 80-byte buffer and
// zero-terminated. Returns buffer.
char* ErrorTextToBuffer(int32_t code, char (&buffer)[80]);

// Returns code when it is 0 or positive, or while component is being loaded
// (a null component never is). Otherwise raises: codes -2 to -162 as
// EInOutError (EOutOfMemory for -8), codes with a class of their own as that
// class, every other negative code as EMROException("Mero exception").
int32_t CheckErrorCode(const TComponent* component, int32_t code);

// The system's message for a Windows-style error number n, taken from the
// errno of the same meaning; empty when there is none. Exposed for tests.
std::string SystemErrorText(int32_t n);

// Turns every character below 32 into a blank and collapses runs of blanks.
std::string CleanSystemMessage(std::string text);

// The platform error number (ZiRode.h) of an errno: ENOENT, ENXIO, ENODEV and
// ENOTTY (no such serial device) 2; ENOTDIR 3; EMFILE, ENFILE 4; EACCES,
// EPERM, EISDIR, EBUSY, EWOULDBLOCK (denied or in use) 5; EBADF 6; ENOMEM 8;
// EROFS 19; EEXIST 80; EINVAL 87; ENOSPC 112; ENAMETOOLONG 206; EFBIG 223;
// anything else 31.
uint32_t PlatformErrorNumber(int err);

// The application's top-level error handler: errors raised while the port
// window serves a trigger, while a loaded port opens, or on a dispatcher's own
// threads are reported here instead of passing on. Default: one line on
// stderr. Thread-safe; the reporter is called on the thread of the error.
using TErrorReporter = std::function<void(const std::exception& error)>;
void RegisterErrorReporter(TErrorReporter reporter);
void ReportUnhandledError(const std::exception& error);

}  // namespace zav
