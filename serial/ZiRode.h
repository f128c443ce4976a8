// Library-wide constants: message numbers, option bits, the last-error slot.
// The clock, event timers and file-name helpers live in the platform layer and
// are re-exported here for the library's units.
#pragma once

#include <cstdint>

#include "platform/Bits.h"
#include "platform/Clock.h"
#include "platform/FileNames.h"
#include "platform/Messages.h"

namespace zav {

// Notifications from a dispatcher to its handlers (second parameter: data +
// dispatcher handle * 65536).
constexpr UINT MsgTriggerAvail = 0x7E01;
constexpr UINT MsgTriggerData = 0x7E02;
constexpr UINT MsgTriggerTimer = 0x7E03;
constexpr UINT MsgTriggerStatus = 0x7E04;
// From a com port to attached windows, and to itself.
constexpr UINT MsgPortOpened = 0x7E08;
constexpr UINT MsgPortClosing = 0x7E09;
constexpr UINT MsgCloseDone = 0x7E0A;
// From a dispatcher to its windows, posted once: the device hung up or went away.
constexpr UINT MsgDeviceGone = 0x7E0B;
// Protocol component and its engine.
constexpr UINT MsgProtocolCancel = 0x7E14;
constexpr UINT MsgProtocolStatus = 0x7E15;
constexpr UINT MsgProtocolLog = 0x7E16;
constexpr UINT MsgProtocolNextFile = 0x7E17;
constexpr UINT MsgProtocolAcceptFile = 0x7E18;
constexpr UINT MsgProtocolFinish = 0x7E19;
constexpr UINT MsgProtocolResume = 0x7E1A;
constexpr UINT MsgProtocolError = 0x7E1B;
// Terminal to itself: received bytes wait in its byte queue.
constexpr UINT MsgTerminalDataQueued = 0x7E47;

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
