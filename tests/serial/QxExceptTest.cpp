#include "serial/QxExcept.h"
#include "serial/ZiRode.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <utility>
#include <typeinfo>

#include "platform/Component.h"
#include "serial/QxSrMgr.h"

namespace zav {
namespace {

// Runs the check and reports what it raised: exact class, message, code.
struct Raised {
  bool raised = false;
  bool exactClass = false;
  std::string message;
  int32_t errorCode = 0;
};

template <class E>
Raised Expect(int32_t code) {
  Raised r;
  try {
    CheckErrorCode(nullptr, code);
  } catch (const Exception& e) {
    r.raised = true;
    r.exactClass = typeid(e) == typeid(E);
    r.message = e.Message();
    if (auto* m = dynamic_cast<const EMROException*>(&e)) r.errorCode = m->ErrorCode;
    if (auto* io = dynamic_cast<const EInOutError*>(&e)) r.errorCode = io->ErrorCode;
  }
  return r;
}

struct Mapped {
  int32_t code;
  Raised (*check)(int32_t);
  const char* text;  // null: the table's own text (fax and telephony rows)
};

const Mapped kMapped[] = {
    {-1002, &Expect<EBadArgument>, "Bad argument passed to function"},
    {-1003, &Expect<EGotQuitMsg>, "Got quit message"},
    {-1004, &Expect<EBufferTooBig>, "Terminal buffer greater than 65521"},
    {-1005, &Expect<EPortNotAssigned>, "ComPort component not assigned"},
    {-1006, &Expect<EInternal>, "Internal error creating window class"},
    {-1007, &Expect<EModemNotAssigned>, "Modem component not assigned"},
    {-1008, &Expect<EPhonebookNotAssigned>, "Phonebook component not assigned"},
    {-1009, &Expect<ECannotUseWithWinSock>, "Component not compatible with WinSock"},
    {-2001, &Expect<EBadId>, "ie_BadId - Specified comport doesn't exist"},
    {-2002, &Expect<EBaudRate>, "ie_Baudrate - unsupported baud rate"},
    {-2003, &Expect<EByteSize>, "ie_Bytesize - invalid byte size"},
    {-2004, &Expect<EDefault>, "ie_Default - error in default parameters"},
    {-2005, &Expect<EHardware>, "ie_Hardware - Specified comport in use"},
    {-2006, &Expect<EMemory>, "ie_Memory - unable to allocate queues"},
    {-2007, &Expect<ECommNotOpen>, "ie_NOpen - device not open"},
    {-2008, &Expect<EAlreadyOpen>, "ie_Open - device already open"},
    {-2009, &Expect<ENoHandles>, "No more handles, can't open port"},
    {-2010, &Expect<ENoTimers>, "No timers available"},
    {-2011, &Expect<ENoPortSelected>, "The ComNumber property of the TMroComPort has not been set"},
    {-2012, &Expect<ENotOpenedByTapi>, "Comport was not opened by Tapi"},
    {-3001, &Expect<ENullApi>, "No device layer specified"},
    {-3003, &Expect<ERegisterHandlerFailed>, "EnableCommNotification failed"},
    {-3004, &Expect<EPutBlockFail>, "Failed to put entire block"},
    {-3005, &Expect<EGetBlockFail>, "Failed to get entire block"},
    {-3006, &Expect<EOutputBufferTooSmall>, "Output buffer too small for block"},
    {-3007, &Expect<EBufferIsEmpty>, "Buffer is empty"},
    {-3008, &Expect<ETracingNotEnabled>, "Tracing not enabled"},
    {-3009, &Expect<ELoggingNotEnabled>, "Logging not enabled"},
    {-3010, &Expect<EBaseAddressNotSet>, "Base address not set"},
    {-4001, &Expect<EModemNotStarted>, "StartModem has not been called"},
    {-4002, &Expect<EModemBusy>, "Modem is busy elsewhere"},
    {-4003, &Expect<EModemNotDialing>, "Modem is not currently dialing"},
    {-4004, &Expect<ENotDialing>, "Dialer is not dialing"},
    {-4005, &Expect<EAlreadyDialing>, "Dialer is already dialing"},
    {-4006, &Expect<EModemNotResponding>, "Modem is not responding"},
    {-4007, &Expect<EModemRejectedCommand>, "Invalid command sent to modem"},
    {-4008, &Expect<EModemStatusMismatch>, "Wrong modem status requested"},
    {-5002, &Expect<ETriggerTooLong>, "Data trigger too long"},
    {-5003, &Expect<EBadTriggerHandle>, "Bad trigger handle"},
    {-6006, &Expect<EProtocol>, "Fatal time out"},
    {-6008, &Expect<EProtocol>, "Too many errors during protocol"},
    {-6009, &Expect<EProtocol>, "Block sequence error in Xmodem"},
    {-7001, &Expect<EKeyTooLong>, "Key string too long"},
    {-7002, &Expect<EDataTooLarge>, "Data string too long"},
    {-7003, &Expect<EInternal>, "No fields defined in database"},
    {-7004, &Expect<EIniWrite>, "Generic INI file write error"},
    {-7005, &Expect<EIniRead>, "Generic INI file read error"},
    {-7006, &Expect<EInternal>, "No index defined for database"},
    {-7007, &Expect<ERecordExists>, "Record already exists"},
    {-7008, &Expect<ERecordNotFound>, "Record not found in database"},
    {-7010, &Expect<EDatabaseFull>, "Maximum database records (999) reached"},
    {-7011, &Expect<EDatabaseEmpty>, "No records in database"},
    {-7012, &Expect<EInternal>, "iPrepareIniDatabase not called"},
    {-7013, &Expect<EBadFieldList>, "Bad field list in INI component"},
    {-7014, &Expect<EBadFieldForIndex>, "Bad field index in INI component"},
    {-8001, &Expect<EFaxBadFormat>, nullptr},
    {-8002, &Expect<EBadGraphicsFormat>, nullptr},
    {-8003, &Expect<EConvertAbort>, nullptr},
    {-8004, &Expect<EUnpackAbort>, nullptr},
    {-8005, &Expect<ECantMakeBitmap>, nullptr},
    {-8053, &Expect<EInvalidPageNumber>, nullptr},
    {-8060, &Expect<EFaxBadMachine>, nullptr},
    {-8061, &Expect<EFaxBadModemResult>, nullptr},
    {-8062, &Expect<EFaxTrainError>, nullptr},
    {-8063, &Expect<EFaxInitError>, nullptr},
    {-8064, &Expect<EFaxBusy>, nullptr},
    {-8065, &Expect<EFaxVoiceCall>, nullptr},
    {-8066, &Expect<EFaxDataCall>, nullptr},
    {-8067, &Expect<EFaxNoDialTone>, nullptr},
    {-8068, &Expect<EFaxNoCarrier>, nullptr},
    {-8069, &Expect<EFaxSessionError>, nullptr},
    {-8070, &Expect<EFaxPageError>, nullptr},
    {-13801, &Expect<ETapiAllocated>, nullptr},
    {-13802, &Expect<ETapiBadDeviceID>, nullptr},
    {-13803, &Expect<ETapiBearerModeUnavail>, nullptr},
    {-13805, &Expect<ETapiCallUnavail>, nullptr},
    {-13806, &Expect<ETapiCompletionOverrun>, nullptr},
    {-13807, &Expect<ETapiConferenceFull>, nullptr},
    {-13808, &Expect<ETapiDialBilling>, nullptr},
    {-13809, &Expect<ETapiDialDialtone>, nullptr},
    {-13810, &Expect<ETapiDialPrompt>, nullptr},
    {-13811, &Expect<ETapiDialQuiet>, nullptr},
    {-13812, &Expect<ETapiIncompatibleApiVersion>, nullptr},
    {-13813, &Expect<ETapiIncompatibleExtVersion>, nullptr},
    {-13814, &Expect<ETapiIniFileCorrupt>, nullptr},
    {-13815, &Expect<ETapiInUse>, nullptr},
    {-13816, &Expect<ETapiInvalAddress>, nullptr},
    {-13817, &Expect<ETapiInvalAddressID>, nullptr},
    {-13818, &Expect<ETapiInvalAddressMode>, nullptr},
    {-13819, &Expect<ETapiInvalAddressState>, nullptr},
    {-13820, &Expect<ETapiInvalAppHandle>, nullptr},
    {-13821, &Expect<ETapiInvalAppName>, nullptr},
    {-13822, &Expect<ETapiInvalBearerMode>, nullptr},
    {-13823, &Expect<ETapiInvalCallComplMode>, nullptr},
    {-13825, &Expect<ETapiInvalCallParams>, nullptr},
    {-13826, &Expect<ETapiInvalCallPrivilege>, nullptr},
    {-13827, &Expect<ETapiInvalCallSelect>, nullptr},
    {-13828, &Expect<ETapiInvalCallState>, nullptr},
    {-13829, &Expect<ETapiInvalCallStatelist>, nullptr},
    {-13830, &Expect<ETapiInvalCard>, nullptr},
    {-13831, &Expect<ETapiInvalCompletionID>, nullptr},
    {-13832, &Expect<ETapiInvalConfCallHandle>, nullptr},
    {-13833, &Expect<ETapiInvalConsultCallHandle>, nullptr},
    {-13834, &Expect<ETapiInvalCountryCode>, nullptr},
    {-13835, &Expect<ETapiInvalDeviceClass>, nullptr},
    {-13836, &Expect<ETapiInvalDeviceHandle>, nullptr},
    {-13837, &Expect<ETapiInvalDialParams>, nullptr},
    {-13838, &Expect<ETapiInvalDigitList>, nullptr},
    {-13839, &Expect<ETapiInvalDigitMode>, nullptr},
    {-13840, &Expect<ETapiInvalDigits>, nullptr},
    {-13841, &Expect<ETapiInvalExtVersion>, nullptr},
    {-13842, &Expect<ETapiInvalGroupID>, nullptr},
    {-13843, &Expect<ETapiInvalLineHandle>, nullptr},
    {-13844, &Expect<ETapiInvalLineState>, nullptr},
    {-13845, &Expect<ETapiInvalLocation>, nullptr},
    {-13846, &Expect<ETapiInvalMediaList>, nullptr},
    {-13847, &Expect<ETapiInvalMediaMode>, nullptr},
    {-13848, &Expect<ETapiInvalMessageID>, nullptr},
    {-13850, &Expect<ETapiInvalParam>, nullptr},
    {-13851, &Expect<ETapiInvalParkID>, nullptr},
    {-13852, &Expect<ETapiInvalParkMode>, nullptr},
    {-13853, &Expect<ETapiInvalPointer>, nullptr},
    {-13854, &Expect<ETapiInvalPrivSelect>, nullptr},
    {-13855, &Expect<ETapiInvalRate>, nullptr},
    {-13856, &Expect<ETapiInvalRequestMode>, nullptr},
    {-13857, &Expect<ETapiInvalTerminalID>, nullptr},
    {-13858, &Expect<ETapiInvalTerminalMode>, nullptr},
    {-13859, &Expect<ETapiInvalTimeout>, nullptr},
    {-13860, &Expect<ETapiInvalTone>, nullptr},
    {-13861, &Expect<ETapiInvalToneList>, nullptr},
    {-13862, &Expect<ETapiInvalToneMode>, nullptr},
    {-13863, &Expect<ETapiInvalTransferMode>, nullptr},
    {-13864, &Expect<ETapiLineMapperFailed>, nullptr},
    {-13865, &Expect<ETapiNoConference>, nullptr},
    {-13866, &Expect<ETapiNoDevice>, nullptr},
    {-13867, &Expect<ETapiNoDriver>, nullptr},
    {-13868, &Expect<ETapiNoMem>, nullptr},
    {-13869, &Expect<ETapiNoRequest>, nullptr},
    {-13870, &Expect<ETapiNotOwner>, nullptr},
    {-13871, &Expect<ETapiNotRegistered>, nullptr},
    {-13872, &Expect<ETapiOperationFailed>, nullptr},
    {-13873, &Expect<ETapiOperationUnavail>, nullptr},
    {-13874, &Expect<ETapiRateUnavail>, nullptr},
    {-13875, &Expect<ETapiResourceUnavail>, nullptr},
    {-13876, &Expect<ETapiRequestOverrun>, nullptr},
    {-13877, &Expect<ETapiStructureTooSmall>, nullptr},
    {-13878, &Expect<ETapiTargetNotFound>, nullptr},
    {-13879, &Expect<ETapiTargetSelf>, nullptr},
    {-13880, &Expect<ETapiUninitialized>, nullptr},
    {-13881, &Expect<ETapiUserUserInfoTooBig>, nullptr},
    {-13882, &Expect<ETapiReinit>, nullptr},
    {-13883, &Expect<ETapiAddressBlocked>, nullptr},
    {-13884, &Expect<ETapiBillingRejected>, nullptr},
    {-13885, &Expect<ETapiInvalFeature>, nullptr},
    {-13886, &Expect<ETapiNoMultipleInstance>, nullptr},
    {-13928, &Expect<ETapiBusy>, nullptr},
    {-13929, &Expect<ETapiNotSet>, nullptr},
    {-13930, &Expect<ETapiNoSelect>, nullptr},
    {-13931, &Expect<ETapiLoadFail>, nullptr},
    {-13932, &Expect<ETapiGetAddrFail>, nullptr},
    {-13933, &Expect<ETapi16Disabled>, nullptr},
    {-13935, &Expect<ETapiVoiceNotSupported>, nullptr},
    {-13936, &Expect<ETapiWaveFail>, nullptr},
    {-13942, &Expect<ETapiTranslateFail>, nullptr},
    {-13980, &Expect<ERasLoadFail>, "Failed to find/load RASAPI32.DLL"},
};

TEST(CheckErrorCode, EveryMappedCodeRaisesItsClassWithItsText) {
  EXPECT_EQ(std::size(kMapped), 165u);
  for (const Mapped& m : kMapped) {
    const Raised r = m.check(m.code);
    ASSERT_TRUE(r.raised) << m.code;
    EXPECT_TRUE(r.exactClass) << m.code;
    EXPECT_EQ(r.errorCode, m.code) << m.code;
    if (m.text != nullptr) {
      EXPECT_EQ(r.message, m.text) << m.code;
    } else {
      EXPECT_FALSE(r.message.empty()) << m.code;
      EXPECT_EQ(r.message, MeroErrorStrings().GetText(uint32_t(-m.code))) << m.code;
    }
  }
}

TEST(CheckErrorCode, FileErrorsRaiseTheFrameworkErrorsWithTheMagnitude) {
  struct Row {
    int32_t code;
    const char* text;
  } rows[] = {
      {-2, "File not found"},
      {-3, "Path not found"},
      {-4, "Too many open files"},
      {-5, "File access denied"},
      {-6, "Invalid file handle"},
      {-15, "Invalid drive"},
      {-18, "No more files"},
      {-100, "Attempt to read beyond end of file"},
      {-101, "Disk is full"},
      {-102, "File/device not assigned"},
      {-103, "File/device not open"},
      {-104, "File/device not open for input"},
      {-105, "File/device not open for output"},
      {-150, "Disk is write-protected"},
      {-151, "Unknown disk unit"},
      {-152, "Drive is not ready"},
      {-153, "Unknown command"},
      {-154, "Data error"},
      {-155, "Bad request structure length"},
      {-156, "Seek error"},
      {-157, "Unknown media type"},
      {-158, "Disk sector not found"},
      {-159, "Printer is out of paper"},
      {-160, "Device write error"},
      {-161, "Device read error"},
      {-162, "General failure"},
  };
  for (const Row& row : rows) {
    const Raised r = Expect<EInOutError>(row.code);
    EXPECT_TRUE(r.exactClass) << row.code;
    EXPECT_EQ(r.message, row.text) << row.code;
    EXPECT_EQ(r.errorCode, -row.code) << row.code;
  }
  const Raised memory = Expect<EOutOfMemory>(-8);
  EXPECT_TRUE(memory.exactClass);
  EXPECT_EQ(memory.message, "Insufficient memory");
}

TEST(CheckErrorCode, FileErrorWithoutEntryTakesTheSystemTextOnOneLine) {
  const Raised r = Expect<EInOutError>(-87);
  EXPECT_TRUE(r.exactClass);
  EXPECT_EQ(r.errorCode, 87);
  EXPECT_EQ(r.message, std::string(std::strerror(EINVAL)));
  EXPECT_FALSE(r.message.empty());
  EXPECT_EQ(r.message.find_first_of("\r\n"), std::string::npos);
  EXPECT_EQ(r.message.find("  "), std::string::npos);

  // No entry and no system text: the error still comes, with an empty message.
  const Raised none = Expect<EInOutError>(-7);
  EXPECT_TRUE(none.exactClass);
  EXPECT_EQ(none.message, "");
  EXPECT_EQ(none.errorCode, 7);
}

TEST(CheckErrorCode, OtherNegativeCodesAreGenericWithCodeZero) {
  // -1 and the codes whose rows say "generic", unmapped fax and telephony
  // codes, codes outside every group, and the extremes.
  const int32_t codes[] = {-1,    -163,  -999,   -1001,  -1010,  -3002,  -5001,  -6001,  -6002,
                           -6003, -6004, -6005,  -6007,  -6010,  -6011,  -6012,  -6013,  -6014,
                           -6015, -6016, -7009,  -8006,  -8050,  -8071,  -13824, -13804, -13934,
                           -13501, -15001, -99999, INT32_MIN};
  for (int32_t code : codes) {
    const Raised r = Expect<EMROException>(code);
    ASSERT_TRUE(r.raised) << code;
    EXPECT_TRUE(r.exactClass) << code;
    EXPECT_EQ(r.message, "Mero exception") << code;
    EXPECT_EQ(r.errorCode, 0) << code;
  }
}

TEST(CheckErrorCode, SuccessAndLoadingReturnTheCode) {
  EXPECT_EQ(CheckErrorCode(nullptr, 0), 0);
  EXPECT_EQ(CheckErrorCode(nullptr, 1), 1);
  EXPECT_EQ(CheckErrorCode(nullptr, INT32_MAX), INT32_MAX);

  TComponent component(nullptr);
  EXPECT_THROW(CheckErrorCode(&component, ecCommNotOpen), ECommNotOpen);
  component.BeginLoad();
  EXPECT_EQ(CheckErrorCode(&component, ecCommNotOpen), ecCommNotOpen);
  EXPECT_EQ(CheckErrorCode(&component, ecOutOfMemory), ecOutOfMemory);
  EXPECT_EQ(CheckErrorCode(&component, -1), -1);
  component.EndLoad();
  EXPECT_THROW(CheckErrorCode(&component, ecOutOfMemory), EOutOfMemory);
  EXPECT_THROW(CheckErrorCode(&component, -1), EMROException);
}

TEST(Exceptions, ClassesSitUnderTheirGroups) {
  try {
    CheckErrorCode(nullptr, ecCommNotOpen);
  } catch (const EOpenComm& e) {
    EXPECT_EQ(e.ErrorCode, -2007);
    EXPECT_STREQ(e.what(), "ie_NOpen - device not open");
  }
  EXPECT_THROW(CheckErrorCode(nullptr, ecBadTriggerHandle), ETrigger);
  EXPECT_THROW(CheckErrorCode(nullptr, ecBufferIsEmpty), ESerialIO);
  EXPECT_THROW(CheckErrorCode(nullptr, ecModemBusy), EModem);
  EXPECT_THROW(CheckErrorCode(nullptr, ecKeyTooLong), EINI);
  EXPECT_THROW(CheckErrorCode(nullptr, ecNoFieldsDefined), EGeneral);  // EInternal
  EXPECT_THROW(CheckErrorCode(nullptr, -8064), EFax);
  EXPECT_THROW(CheckErrorCode(nullptr, -13942), ETapi);
  EXPECT_THROW(CheckErrorCode(nullptr, ecRasLoadFail), ERas);
  EXPECT_THROW(CheckErrorCode(nullptr, ecBadArgument), std::exception);

  // A class with no code of its own still exists in its group.
  const ETapi& unmapped = ETapiInvalCallHandle(-13824);
  EXPECT_EQ(unmapped.ErrorCode, -13824);
  EXPECT_EQ(unmapped.Message(), "Invalid call handle");
}

TEST(Exceptions, BothConstructors) {
  const EMROException fromCode(ecBufferIsEmpty);
  EXPECT_EQ(fromCode.ErrorCode, ecBufferIsEmpty);
  EXPECT_EQ(fromCode.Message(), "Buffer is empty");
  const EMROException fromText("something broke");
  EXPECT_EQ(fromText.ErrorCode, 0);
  EXPECT_EQ(fromText.Message(), "something broke");
  EXPECT_EQ(fromText.HelpContext(), 0);
  const EBadArgument leaf(std::string("bad"));
  EXPECT_EQ(leaf.ErrorCode, 0);
}

TEST(ErrorText, TableTextSystemTextOrNothing) {
  EXPECT_EQ(ErrorText(0), "OK");
  EXPECT_EQ(ErrorText(-2001), ErrorText(2001));  // the magnitude names the entry
  EXPECT_EQ(ErrorText(-6005), "Cancel requested");
  EXPECT_EQ(ErrorText(-87), std::strerror(EINVAL));
  EXPECT_EQ(ErrorText(-12345), "");
  EXPECT_EQ(ErrorText(INT32_MIN), "");
}

TEST(ErrorText, SystemMessagesAreFlattened) {
  EXPECT_EQ(CleanSystemMessage("The parameter is incorrect.\r\n"), "The parameter is incorrect. ");
  EXPECT_EQ(CleanSystemMessage("a\t\tb   c\x01 d"), "a b c d");
  EXPECT_EQ(CleanSystemMessage(""), "");
  EXPECT_EQ(SystemErrorText(5), std::strerror(EACCES));
  EXPECT_EQ(SystemErrorText(7), "");
  EXPECT_EQ(SystemErrorText(-87), "");
}

// The device layer's one errno translation; each number's text is the
// system's message for an errno of the same meaning.
TEST(ErrorText, ErrnoBecomesThePlatformNumber) {
  const std::pair<int, uint32_t> cases[] = {
      {ENOENT, kErrFileNotFound},   {ENODEV, kErrFileNotFound},   {ENXIO, kErrFileNotFound},
      {ENOTTY, kErrFileNotFound},   {ENOTDIR, kErrPathNotFound},  {EMFILE, kErrTooManyFiles},
      {EACCES, kErrAccessDenied},   {EBUSY, kErrAccessDenied},    {EWOULDBLOCK, kErrAccessDenied},
      {EBADF, kErrInvalidHandle},   {ENOMEM, kErrNotEnoughMemory}, {EINVAL, kErrInvalidParameter},
      {EIO, kErrGeneralFailure},    {EPIPE, kErrGeneralFailure},
  };
  for (const auto& [err, number] : cases) {
    EXPECT_EQ(PlatformErrorNumber(err), number) << std::strerror(err);
    EXPECT_NE(SystemErrorText(int32_t(number)), "") << number;
  }
}

TEST(ErrorText, ToBufferCutsTo79Characters) {
  char buffer[80];
  EXPECT_STREQ(ErrorTextToBuffer(-2001, buffer), "ie_BadId - Specified comport doesn't exist");
  EXPECT_STREQ(ErrorTextToBuffer(7, buffer), "");
  const std::string longest = ErrorText(-2011);  // 58 characters: fits whole
  EXPECT_EQ(std::string(ErrorTextToBuffer(-2011, buffer)), longest);
}

}  // namespace
}  // namespace zav
