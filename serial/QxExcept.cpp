#include "serial/QxExcept.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/Component.h"
#include "serial/QxSrMgr.h"
#include "serial/ZiRode.h"

namespace zav {
namespace {

constexpr size_t kMaxErrorText = 255;

uint32_t Magnitude(int32_t code) {
  return code < 0 ? uint32_t(0) - uint32_t(code) : uint32_t(code);
}

// Cuts text to at most max bytes without splitting a UTF-8 sequence.
void CutUtf8(std::string& text, size_t max) {
  if (text.size() <= max) return;
  size_t end = max;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  text.resize(end);
}

// Windows-style error numbers and the errno of the same meaning.
struct SystemError {
  int32_t number;
  int errnoValue;
};

constexpr SystemError kSystemErrors[] = {
    {1, ENOSYS},   {2, ENOENT},      {3, ENOENT},       {4, EMFILE},      {5, EACCES},
    {6, EBADF},    {8, ENOMEM},      {14, ENOMEM},      {15, ENODEV},     {16, EBUSY},
    {17, EXDEV},   {19, EROFS},      {29, EIO},         {30, EIO},        {31, EIO},
    {32, EBUSY},   {39, ENOSPC},     {50, EOPNOTSUPP},  {80, EEXIST},     {87, EINVAL},
    {89, EAGAIN},  {108, EBUSY},     {109, EPIPE},      {111, ENAMETOOLONG}, {112, ENOSPC},
    {114, EBADF},  {120, ENOSYS},    {145, ENOTEMPTY},  {164, EAGAIN},    {170, EBUSY},
    {183, EEXIST}, {206, ENAMETOOLONG}, {223, EFBIG}, {267, ENOTDIR}, {995, ECANCELED}, {1460, ETIMEDOUT},
};

// strerror_r comes in two flavours; both end up here.
[[maybe_unused]] std::string FromStrerror(int rc, const char* buffer) { return rc == 0 ? buffer : ""; }
[[maybe_unused]] std::string FromStrerror(const char* text, const char*) { return text ? text : ""; }

template <class E>
[[noreturn]] void Raise(int32_t code) {
  throw E(code);
}

struct CodeClass {
  int32_t code;
  void (*raise)(int32_t);
};

// Codes with an exception class of their own; every other negative code
// outside -2 to -162 is raised as a plain EMROException.
constexpr CodeClass kCodeClasses[] = {
    {-1002, &Raise<EBadArgument>},
    {-1003, &Raise<EGotQuitMsg>},
    {-1004, &Raise<EBufferTooBig>},
    {-1005, &Raise<EPortNotAssigned>},
    {-1006, &Raise<EInternal>},
    {-1007, &Raise<EModemNotAssigned>},
    {-1008, &Raise<EPhonebookNotAssigned>},
    {-1009, &Raise<ECannotUseWithWinSock>},
    {-2001, &Raise<EBadId>},
    {-2002, &Raise<EBaudRate>},
    {-2003, &Raise<EByteSize>},
    {-2004, &Raise<EDefault>},
    {-2005, &Raise<EHardware>},
    {-2006, &Raise<EMemory>},
    {-2007, &Raise<ECommNotOpen>},
    {-2008, &Raise<EAlreadyOpen>},
    {-2009, &Raise<ENoHandles>},
    {-2010, &Raise<ENoTimers>},
    {-2011, &Raise<ENoPortSelected>},
    {-2012, &Raise<ENotOpenedByTapi>},
    {-3001, &Raise<ENullApi>},
    {-3003, &Raise<ERegisterHandlerFailed>},
    {-3004, &Raise<EPutBlockFail>},
    {-3005, &Raise<EGetBlockFail>},
    {-3006, &Raise<EOutputBufferTooSmall>},
    {-3007, &Raise<EBufferIsEmpty>},
    {-3008, &Raise<ETracingNotEnabled>},
    {-3009, &Raise<ELoggingNotEnabled>},
    {-3010, &Raise<EBaseAddressNotSet>},
    {-3011, &Raise<EDeviceGone>},
    {-4001, &Raise<EModemNotStarted>},
    {-4002, &Raise<EModemBusy>},
    {-4003, &Raise<EModemNotDialing>},
    {-4004, &Raise<ENotDialing>},
    {-4005, &Raise<EAlreadyDialing>},
    {-4006, &Raise<EModemNotResponding>},
    {-4007, &Raise<EModemRejectedCommand>},
    {-4008, &Raise<EModemStatusMismatch>},
    {-5002, &Raise<ETriggerTooLong>},
    {-5003, &Raise<EBadTriggerHandle>},
    {-6006, &Raise<EProtocol>},
    {-6008, &Raise<EProtocol>},
    {-6009, &Raise<EProtocol>},
    {-7001, &Raise<EKeyTooLong>},
    {-7002, &Raise<EDataTooLarge>},
    {-7003, &Raise<EInternal>},
    {-7004, &Raise<EIniWrite>},
    {-7005, &Raise<EIniRead>},
    {-7006, &Raise<EInternal>},
    {-7007, &Raise<ERecordExists>},
    {-7008, &Raise<ERecordNotFound>},
    {-7010, &Raise<EDatabaseFull>},
    {-7011, &Raise<EDatabaseEmpty>},
    {-7012, &Raise<EInternal>},
    {-7013, &Raise<EBadFieldList>},
    {-7014, &Raise<EBadFieldForIndex>},
    {-8001, &Raise<EFaxBadFormat>},
    {-8002, &Raise<EBadGraphicsFormat>},
    {-8003, &Raise<EConvertAbort>},
    {-8004, &Raise<EUnpackAbort>},
    {-8005, &Raise<ECantMakeBitmap>},
    {-8053, &Raise<EInvalidPageNumber>},
    {-8060, &Raise<EFaxBadMachine>},
    {-8061, &Raise<EFaxBadModemResult>},
    {-8062, &Raise<EFaxTrainError>},
    {-8063, &Raise<EFaxInitError>},
    {-8064, &Raise<EFaxBusy>},
    {-8065, &Raise<EFaxVoiceCall>},
    {-8066, &Raise<EFaxDataCall>},
    {-8067, &Raise<EFaxNoDialTone>},
    {-8068, &Raise<EFaxNoCarrier>},
    {-8069, &Raise<EFaxSessionError>},
    {-8070, &Raise<EFaxPageError>},
    {-13801, &Raise<ETapiAllocated>},
    {-13802, &Raise<ETapiBadDeviceID>},
    {-13803, &Raise<ETapiBearerModeUnavail>},
    {-13805, &Raise<ETapiCallUnavail>},
    {-13806, &Raise<ETapiCompletionOverrun>},
    {-13807, &Raise<ETapiConferenceFull>},
    {-13808, &Raise<ETapiDialBilling>},
    {-13809, &Raise<ETapiDialDialtone>},
    {-13810, &Raise<ETapiDialPrompt>},
    {-13811, &Raise<ETapiDialQuiet>},
    {-13812, &Raise<ETapiIncompatibleApiVersion>},
    {-13813, &Raise<ETapiIncompatibleExtVersion>},
    {-13814, &Raise<ETapiIniFileCorrupt>},
    {-13815, &Raise<ETapiInUse>},
    {-13816, &Raise<ETapiInvalAddress>},
    {-13817, &Raise<ETapiInvalAddressID>},
    {-13818, &Raise<ETapiInvalAddressMode>},
    {-13819, &Raise<ETapiInvalAddressState>},
    {-13820, &Raise<ETapiInvalAppHandle>},
    {-13821, &Raise<ETapiInvalAppName>},
    {-13822, &Raise<ETapiInvalBearerMode>},
    {-13823, &Raise<ETapiInvalCallComplMode>},
    {-13825, &Raise<ETapiInvalCallParams>},
    {-13826, &Raise<ETapiInvalCallPrivilege>},
    {-13827, &Raise<ETapiInvalCallSelect>},
    {-13828, &Raise<ETapiInvalCallState>},
    {-13829, &Raise<ETapiInvalCallStatelist>},
    {-13830, &Raise<ETapiInvalCard>},
    {-13831, &Raise<ETapiInvalCompletionID>},
    {-13832, &Raise<ETapiInvalConfCallHandle>},
    {-13833, &Raise<ETapiInvalConsultCallHandle>},
    {-13834, &Raise<ETapiInvalCountryCode>},
    {-13835, &Raise<ETapiInvalDeviceClass>},
    {-13836, &Raise<ETapiInvalDeviceHandle>},
    {-13837, &Raise<ETapiInvalDialParams>},
    {-13838, &Raise<ETapiInvalDigitList>},
    {-13839, &Raise<ETapiInvalDigitMode>},
    {-13840, &Raise<ETapiInvalDigits>},
    {-13841, &Raise<ETapiInvalExtVersion>},
    {-13842, &Raise<ETapiInvalGroupID>},
    {-13843, &Raise<ETapiInvalLineHandle>},
    {-13844, &Raise<ETapiInvalLineState>},
    {-13845, &Raise<ETapiInvalLocation>},
    {-13846, &Raise<ETapiInvalMediaList>},
    {-13847, &Raise<ETapiInvalMediaMode>},
    {-13848, &Raise<ETapiInvalMessageID>},
    {-13850, &Raise<ETapiInvalParam>},
    {-13851, &Raise<ETapiInvalParkID>},
    {-13852, &Raise<ETapiInvalParkMode>},
    {-13853, &Raise<ETapiInvalPointer>},
    {-13854, &Raise<ETapiInvalPrivSelect>},
    {-13855, &Raise<ETapiInvalRate>},
    {-13856, &Raise<ETapiInvalRequestMode>},
    {-13857, &Raise<ETapiInvalTerminalID>},
    {-13858, &Raise<ETapiInvalTerminalMode>},
    {-13859, &Raise<ETapiInvalTimeout>},
    {-13860, &Raise<ETapiInvalTone>},
    {-13861, &Raise<ETapiInvalToneList>},
    {-13862, &Raise<ETapiInvalToneMode>},
    {-13863, &Raise<ETapiInvalTransferMode>},
    {-13864, &Raise<ETapiLineMapperFailed>},
    {-13865, &Raise<ETapiNoConference>},
    {-13866, &Raise<ETapiNoDevice>},
    {-13867, &Raise<ETapiNoDriver>},
    {-13868, &Raise<ETapiNoMem>},
    {-13869, &Raise<ETapiNoRequest>},
    {-13870, &Raise<ETapiNotOwner>},
    {-13871, &Raise<ETapiNotRegistered>},
    {-13872, &Raise<ETapiOperationFailed>},
    {-13873, &Raise<ETapiOperationUnavail>},
    {-13874, &Raise<ETapiRateUnavail>},
    {-13875, &Raise<ETapiResourceUnavail>},
    {-13876, &Raise<ETapiRequestOverrun>},
    {-13877, &Raise<ETapiStructureTooSmall>},
    {-13878, &Raise<ETapiTargetNotFound>},
    {-13879, &Raise<ETapiTargetSelf>},
    {-13880, &Raise<ETapiUninitialized>},
    {-13881, &Raise<ETapiUserUserInfoTooBig>},
    {-13882, &Raise<ETapiReinit>},
    {-13883, &Raise<ETapiAddressBlocked>},
    {-13884, &Raise<ETapiBillingRejected>},
    {-13885, &Raise<ETapiInvalFeature>},
    {-13886, &Raise<ETapiNoMultipleInstance>},
    {-13928, &Raise<ETapiBusy>},
    {-13929, &Raise<ETapiNotSet>},
    {-13930, &Raise<ETapiNoSelect>},
    {-13931, &Raise<ETapiLoadFail>},
    {-13932, &Raise<ETapiGetAddrFail>},
    {-13933, &Raise<ETapi16Disabled>},
    {-13935, &Raise<ETapiVoiceNotSupported>},
    {-13936, &Raise<ETapiWaveFail>},
    {-13942, &Raise<ETapiTranslateFail>},
    {-13980, &Raise<ERasLoadFail>},
};

}  // namespace

EMROException::EMROException(int32_t code) : Exception(ErrorText(code)), ErrorCode(code) {}

EMROException::EMROException(const std::string& text) : Exception(text), ErrorCode(0) {}

std::string CleanSystemMessage(std::string text) {
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 32) c = ' ';
  }
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c == ' ' && !out.empty() && out.back() == ' ') continue;
    out += c;
  }
  return out;
}

uint32_t PlatformErrorNumber(int err) {
  switch (err) {
    case ENOENT: case ENXIO: case ENODEV: case ENOTTY: return kErrFileNotFound;
    case ENOTDIR: return kErrPathNotFound;
    case ENAMETOOLONG: return kErrNameTooLong;
    case EMFILE: case ENFILE: return kErrTooManyFiles;
    case EACCES: case EPERM: case EISDIR: case EBUSY: case EWOULDBLOCK: return kErrAccessDenied;
    case EROFS: return kErrWriteProtect;
    case EEXIST: return kErrFileExists;
    case ENOSPC: return kErrDiskFull;
    case EFBIG: return kErrFileTooLarge;
    case EBADF: return kErrInvalidHandle;
    case ENOMEM: return kErrNotEnoughMemory;
    case EINVAL: return kErrInvalidParameter;
    default: return kErrGeneralFailure;
  }
}

namespace {

std::mutex& ReporterLock() {
  static std::mutex m;
  return m;
}
TErrorReporter& Reporter() {
  static TErrorReporter r;
  return r;
}

}  // namespace

void RegisterErrorReporter(TErrorReporter reporter) {
  std::lock_guard g(ReporterLock());
  Reporter() = std::move(reporter);
}

void ReportUnhandledError(const std::exception& error) {
  TErrorReporter r;
  {
    std::lock_guard g(ReporterLock());
    r = Reporter();
  }
  if (r)
    r(error);
  else
    std::fprintf(stderr, "%s\n", error.what());
}

std::string SystemErrorText(int32_t n) {
  for (const SystemError& e : kSystemErrors) {
    if (e.number != n) continue;
    char buffer[256] = {};
    std::string text = FromStrerror(strerror_r(e.errnoValue, buffer, sizeof buffer), buffer);
    CutUtf8(text, kMaxErrorText);
    return text;
  }
  return {};
}

std::string ErrorText(int32_t code) {
  const uint32_t n = Magnitude(code);
  std::string text = MeroErrorStrings().GetText(n);
  CutUtf8(text, kMaxErrorText);
  // Codes this library added after its text table was fixed.
  if (text.empty() && code == ecDeviceGone) text = "Device is gone (unplugged or hung up)";
  if (text.empty() && n <= uint32_t(INT32_MAX)) {
    text = SystemErrorText(int32_t(n));
    if (!text.empty()) text = CleanSystemMessage(std::move(text));
  }
  return text;
}

char* ErrorTextToBuffer(int32_t code, char (&buffer)[80]) {
  return MeroErrorStrings().GetTextToBuffer(Magnitude(code), buffer, sizeof buffer);
}

int32_t CheckErrorCode(const TComponent* component, int32_t code) {
  if (code >= 0 || (component != nullptr && component->Loading())) return code;
  if (code <= ecFileNotFound && code >= ecGeneralFailure) {
    std::string text = ErrorText(code);
    if (code == ecOutOfMemory) throw EOutOfMemory(std::move(text));
    throw EInOutError(std::move(text), -code);
  }
  for (const CodeClass& c : kCodeClasses) {
    if (c.code == code) c.raise(code);
  }
  throw EMROException("Mero exception");
}

}  // namespace zav
