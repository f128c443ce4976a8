// Result codes, the exception classes raised at the components' surface, and
// the texts of the codes.
//
// Every library operation returns a 32-bit signed result: 0 or positive is
// success, negative a failure. Components turn a failure into an exception
// with CheckErrorCode.
#pragma once

#include <cstdint>

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

}  // namespace zav
