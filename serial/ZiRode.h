// Library-wide constants: option bits, the last-error slot (message numbers
// are platform/MessageNumbers.h).
// The clock, event timers and file-name helpers live in the platform layer and
// are re-exported here for the library's units.
#pragma once

#include <cstdint>

#include "platform/Bits.h"
#include "platform/Clock.h"
#include "platform/FileNames.h"
#include "platform/MessageNumbers.h"
#include "platform/Messages.h"

namespace zav {


// The last platform error number of the calling thread (Windows numbering: 2 file
// not found, 3 path not found, 5 access denied, ...), as device operations leave it.
uint32_t GetLastError();
void SetLastError(uint32_t error);

// Platform error numbers the library uses (values fixed: callers and stored
// texts rely on them). A device operation's result is minus one of them.
constexpr uint32_t kErrFileNotFound = 2;
constexpr uint32_t kErrPathNotFound = 3;
constexpr uint32_t kErrTooManyFiles = 4;
constexpr uint32_t kErrAccessDenied = 5;  // also: in use by another program
constexpr uint32_t kErrInvalidHandle = 6;
constexpr uint32_t kErrNotEnoughMemory = 8;
constexpr uint32_t kErrWriteProtect = 19;
constexpr uint32_t kErrGeneralFailure = 31;
constexpr uint32_t kErrFileExists = 80;
constexpr uint32_t kErrDiskFull = 112;
constexpr uint32_t kErrNameTooLong = 206;
constexpr uint32_t kErrFileTooLarge = 223;
constexpr uint32_t kErrInvalidParameter = 87;
constexpr uint32_t kErrCommNotOpen = 2007;  // as the library's ie_NOpen

}  // namespace zav
