// Every window-message number the library and the application use, in one
// table: the dispatcher's notifications, the com port's, the protocol
// component's and the terminal's. No unit writes one of these as a bare number.
#pragma once

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
// A port watch to its own window: look at the device again (first parameter 1:
// a device arrived).
constexpr UINT MsgCheckDevice = 0x7E0C;
// Protocol component and its engine.
constexpr UINT MsgProtocolCancel = 0x7E14;
constexpr UINT MsgProtocolStatus = 0x7E15;
constexpr UINT MsgProtocolLog = 0x7E16;
constexpr UINT MsgProtocolNextFile = 0x7E17;
constexpr UINT MsgProtocolAcceptFile = 0x7E18;
constexpr UINT MsgProtocolFinish = 0x7E19;
constexpr UINT MsgProtocolResume = 0x7E1A;
constexpr UINT MsgProtocolError = 0x7E1B;
// The Ymodem receiver's second handler: abort the batch.
constexpr UINT MsgYmodemAbort = 0x7E1C;
// Terminal to itself: received bytes wait in its byte queue.
constexpr UINT MsgTerminalDataQueued = 0x7E47;

}  // namespace zav
