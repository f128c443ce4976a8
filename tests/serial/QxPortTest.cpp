// The com port component: defaults, opening and its failures, setters on an
// open port, trace and log, renumbering, the deferred close, events through the
// port window, users, loading and copying. Most cases run over the in-memory
// device; the serial path runs on pseudo-terminal pairs.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "serial/QwWin32.h"
#include "serial/QxExcept.h"
#include "serial/QxPort.h"
#include "tests/support/MemoryDevice.h"
#include "tests/support/PtyPorts.h"
#include "tests/support/TestSupport.h"

namespace zav::test {
namespace {

namespace fs = std::filesystem;
using enum TTraceLogState;

// The in-memory device with its "threads" ended by the test: a close from
// inside a handler leaves them running until EndDeferredThreads, as the
// dispatcher thread would after its pass.
class TTestDispatcher : public TMemoryDispatcher {
 public:
  using TMemoryDispatcher::TMemoryDispatcher;
  void EndDeferredThreads() {
    if (Closing) ReleaseResources();
  }
};

// A port over in-memory devices; each open makes a new one.
class PortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port = new TMroComPort(&form);
    port->DispatcherFactory = [this](TMroCustomComPort& p) {
      auto d = std::make_unique<TTestDispatcher>(&p);
      d->failOpenWith = failOpenWith;
      device = d.get();
      ++made;
      return d;
    };
    RegisterPortPrompt([this](TMroCustomComPort&, uint16_t& chosen) {
      ++prompts;
      chosen = promptAnswer;
      return promptAnswer != 0;
    });
    RegisterErrorReporter([this](const std::exception& e) { reported.push_back(e.what()); });
  }
  void TearDown() override {
    RegisterPortPrompt({});
    RegisterErrorReporter({});
    DrainQueue();
  }

  void OpenOn(uint16_t com) {
    port->SetComNumber(com);
    port->SetOpen(true);
    ASSERT_EQ(port->PortPhase, TPortPhase::ppOpen);
  }
  TTestDispatcher& Device() { return *static_cast<TTestDispatcher*>(port->OwnedDispatcher.get()); }

  ScratchDir scratch;  // destroyed last: ports closed by the form dump here
  TComponent form{nullptr};
  TMroComPort* port = nullptr;
  TTestDispatcher* device = nullptr;
  uint32_t failOpenWith = 0;
  int made = 0;
  int prompts = 0;
  uint16_t promptAnswer = 0;
  std::vector<std::string> reported;
};

TEST_F(PortTest, AFreshPortHasTheDeclaredDefaults) {
  EXPECT_EQ(port->Version(), "v3.04");
  EXPECT_EQ(port->DeviceLayer(), TDeviceLayer::dlWin32);
  EXPECT_EQ(port->ComNumber(), 0);
  EXPECT_EQ(port->Baud(), 19200);
  EXPECT_TRUE(port->PromptForPort());
  EXPECT_EQ(port->Parity(), TParity::pNone);
  EXPECT_EQ(port->DataBits(), 8);
  EXPECT_EQ(port->StopBits(), 1);
  EXPECT_EQ(port->InSize(), 4096);
  EXPECT_EQ(port->OutSize(), 4096);
  EXPECT_TRUE(port->AutoOpen());
  EXPECT_FALSE(port->Open());
  EXPECT_TRUE(port->DTR());
  EXPECT_TRUE(port->RTS());
  EXPECT_EQ(port->HWFlowOptions(), 0u);
  EXPECT_EQ(port->SWFlowOptions(), TSWFlowOptions::swfNone);
  EXPECT_EQ(port->XOnChar(), 17);
  EXPECT_EQ(port->XOffChar(), 19);
  EXPECT_EQ(port->BufferFull(), 0);
  EXPECT_EQ(port->BufferResume(), 0);
  EXPECT_EQ(port->Tracing(), tlOff);
  EXPECT_EQ(port->TraceSize(), 10000u);
  EXPECT_EQ(port->TraceName(), "MERO.TRC");
  EXPECT_TRUE(port->TraceHex());
  EXPECT_FALSE(port->TraceAllHex());
  EXPECT_EQ(port->Logging(), tlOff);
  EXPECT_EQ(port->LogSize(), 10000u);
  EXPECT_EQ(port->LogName(), "MERO.LOG");
  EXPECT_TRUE(port->LogHex());
  EXPECT_FALSE(port->LogAllHex());
  EXPECT_TRUE(port->UseMSRShadow());
  EXPECT_TRUE(port->UseEventWord());
  EXPECT_EQ(port->CommNotificationLevel(), 10);
  EXPECT_EQ(port->TapiMode(), TTapiMode::tmAuto);
  EXPECT_FALSE(port->RS485Mode());
  EXPECT_EQ(port->AvailTriggerLength(), 1);
  EXPECT_EQ(port->ThreadPriorityRaise(), 0);
  EXPECT_EQ(port->PortPhase, TPortPhase::ppClosed);
  EXPECT_EQ(port->OwnedDispatcher, nullptr);
  EXPECT_EQ(port->PortWindow, 0u);
  EXPECT_EQ(port->OutputFree(), 4096u);
  EXPECT_EQ(port->OutputUsed(), 0u);
}

TEST_F(PortTest, SendingOnAFreshPortPromptsForThePortAndOpensIt) {
  promptAnswer = 3;
  port->SendString("AT");
  EXPECT_EQ(prompts, 1);
  EXPECT_EQ(port->ComNumber(), 3);
  EXPECT_TRUE(port->Open());
  EXPECT_EQ(port->PortPhase, TPortPhase::ppOpen);
  EXPECT_EQ(Device().Wire(), "AT");
  // The line was opened with the stored signals and speed.
  EXPECT_TRUE(Device().dtrLine);
  EXPECT_TRUE(Device().rtsLine);
  EXPECT_EQ(Device().CurrentBaud(), 19200);
}

TEST_F(PortTest, ARefusedPromptRaisesNoPortSelectedAndAsksAgainNextTime) {
  promptAnswer = 0;
  try {
    port->SendString("x");
    FAIL() << "no exception";
  } catch (const ENoPortSelected& e) {
    EXPECT_EQ(e.ErrorCode, ecNoPortSelected);
    EXPECT_STREQ(e.what(), "The ComNumber property of the TMroComPort has not been set");
  }
  EXPECT_EQ(port->ComNumber(), 0);
  EXPECT_FALSE(port->Open());
  EXPECT_EQ(made, 0);
  EXPECT_THROW(port->SetOpen(true), ENoPortSelected);
  EXPECT_EQ(prompts, 2);
  // Without prompting the dialog is never shown.
  port->SetPromptForPort(false);
  EXPECT_THROW(port->SetOpen(true), ENoPortSelected);
  EXPECT_EQ(prompts, 2);
}

TEST_F(PortTest, WithoutAutoOpenOperationsNeedAnOpenPortEvenForEmptyText) {
  port->SetAutoOpen(false);
  port->SetComNumber(1);
  for (const std::string text : {"abc", ""}) {
    try {
      port->SendString(text);
      FAIL() << "no exception for '" << text << "'";
    } catch (const ECommNotOpen& e) {
      EXPECT_EQ(e.ErrorCode, ecCommNotOpen);
      EXPECT_STREQ(e.what(), "ie_NOpen - device not open");
    }
  }
  EXPECT_THROW(port->ReadByte(), ECommNotOpen);
  EXPECT_THROW(port->InputReady(), ECommNotOpen);
  EXPECT_THROW(port->CreateTimerTrigger(), ECommNotOpen);
  EXPECT_EQ(made, 0);
  // Reads of the closed port's state answer without a dispatcher.
  EXPECT_EQ(port->LastLineError(), 0);
  EXPECT_FALSE(port->BreakReceived());
  EXPECT_NO_THROW(port->DeleteTrigger(8));
}

TEST_F(PortTest, FlowThresholdsAreComputedFromInSize) {
  port->SetRS485Mode(true);
  port->SetHWFlowOptions(hwfUseRTS | hwfRequireCTS);
  EXPECT_EQ(port->BufferFull(), 3686);
  EXPECT_EQ(port->BufferResume(), 410);
  EXPECT_FALSE(port->RS485Mode());

  TMroComPort sw(&form);
  sw.SetSWFlowOptions(TSWFlowOptions::swfBoth);
  EXPECT_EQ(sw.BufferFull(), 3072);
  EXPECT_EQ(sw.BufferResume(), 1024);

  TMroComPort full(&form);
  full.SetBufferFull(5000);
  EXPECT_EQ(full.BufferFull(), 3686);
  full.SetBufferResume(4000);  // above BufferFull: a tenth of it
  EXPECT_EQ(full.BufferResume(), 369);
}

TEST_F(PortTest, SoftwareFlowOnAnOpenPortReachesTheDevice) {
  OpenOn(1);
  port->SetSWFlowOptions(TSWFlowOptions::swfBoth);
  const TDCB& dcb = Device().settingsWrites.back();
  EXPECT_TRUE(dcb.Flags & dcbInX);
  EXPECT_TRUE(dcb.Flags & dcbOutX);
  EXPECT_EQ(dcb.XoffLim, 4096 - 3072);
  EXPECT_EQ(dcb.XonLim, 1024);
  port->SetSWFlowOptions(TSWFlowOptions::swfNone);
  EXPECT_FALSE(Device().settingsWrites.back().Flags & (dcbInX | dcbOutX));
}

TEST_F(PortTest, RS485OnRemovesRtsFlowAndDropsRts) {
  // Closed: both are only stored.
  port->SetHWFlowOptions(hwfUseRTS | hwfRequireDSR);
  port->SetRS485Mode(true);
  EXPECT_EQ(port->HWFlowOptions(), hwfRequireDSR);
  EXPECT_FALSE(port->RTS());
  // Open: the device toggles RTS itself, so the stored RTS no longer changes.
  port->SetRS485Mode(false);
  port->SetRTS(true);
  port->SetHWFlowOptions(hwfUseRTS | hwfRequireDSR);
  OpenOn(1);
  port->SetRS485Mode(true);
  EXPECT_TRUE(Device().Rs485());
  EXPECT_EQ(port->HWFlowOptions(), hwfRequireDSR);
  EXPECT_EQ(Device().LineSettings().Flags & dcbRtsControlMask, dcbRtsToggle);
  EXPECT_TRUE(port->RTS());
}

TEST_F(PortTest, SettersOnAnOpenPortApplyAtOnce) {
  OpenOn(1);
  port->SetBaud(9600);
  EXPECT_EQ(Device().LineSettings().BaudRate, 9600u);
  port->SetParity(TParity::pEven);
  port->SetDataBits(7);
  EXPECT_EQ(Device().LineSettings().Parity, 2);
  EXPECT_EQ(Device().LineSettings().ByteSize, 7);
  port->SetDTR(false);
  EXPECT_FALSE(Device().dtrLine);
  port->SetAvailTriggerLength(5);
  EXPECT_EQ(Device().AvailThreshold(), 5u);
  port->SetThreadPriorityRaise(2);
  EXPECT_EQ(Device().PriorityBase(), 2);
  port->SetUseEventWord(false);
  EXPECT_EQ(Device().GetOptionBits() & 4u, 0u);
  port->SetUseEventWord(true);
  EXPECT_EQ(Device().GetOptionBits() & 4u, 4u);
}

TEST_F(PortTest, ARefusedLineSettingIsRaisedButStaysStored) {
  OpenOn(1);
  Device().setSettingsResult = ecBaudRate;
  EXPECT_THROW(port->SetBaud(12345), EBaudRate);
  EXPECT_EQ(port->Baud(), 12345);
}

TEST_F(PortTest, DtrUnderHardwareFlowKeepsItsStoredValue) {
  port->SetHWFlowOptions(hwfUseDTR);
  OpenOn(1);
  port->SetDTR(false);  // the dispatcher answers 1: the line is flow-controlled
  EXPECT_TRUE(port->DTR());
}

TEST_F(PortTest, StoredValuesAreAppliedWhenThePortOpens) {
  port->SetBaud(2400);
  port->SetDTR(false);
  port->SetAvailTriggerLength(7);
  port->SetXOnChar('A');
  port->SetSWFlowOptions(TSWFlowOptions::swfReceive);
  OpenOn(2);
  EXPECT_EQ(Device().CurrentBaud(), 2400);
  EXPECT_FALSE(Device().dtrLine);
  EXPECT_TRUE(Device().rtsLine);
  EXPECT_EQ(Device().AvailThreshold(), 7u);
  EXPECT_TRUE(Device().LineSettings().Flags & dcbInX);
  EXPECT_EQ(Device().GetOptionBits() & 4u, 4u);
  EXPECT_FALSE(port->ReapplyAll);
}

TEST_F(PortTest, TraceStateOnAClosedPortKeepsOnlyOffAndOn) {
  for (auto v : {tlDump, tlAppend, tlClear, tlPause}) {
    port->SetTracing(tlOn);
    port->SetTracing(v);
    EXPECT_EQ(port->Tracing(), tlOff);
  }
  port->SetLogging(tlOn);
  EXPECT_EQ(port->Logging(), tlOn);
  port->SetTracing(tlOn);
  OpenOn(1);
  EXPECT_TRUE(Device().Tracing());  // started by the open
  EXPECT_TRUE(Device().Logging());
}

TEST_F(PortTest, ClosingWritesTheTraceAndLogAndSwitchesThemOff) {
  port->SetTracing(tlOn);
  port->SetLogging(tlOn);
  OpenOn(1);
  port->SendString("AB");
  port->AddLogText("marker");
  port->SetOpen(false);
  EXPECT_EQ(port->Tracing(), tlOff);
  EXPECT_EQ(port->Logging(), tlOff);
  std::string trace = ReadFile("MERO.TRC");
  EXPECT_NE(trace.find("Transmit:"), std::string::npos) << trace;
  EXPECT_NE(trace.find("AB"), std::string::npos) << trace;
  EXPECT_NE(ReadFile("MERO.LOG").find("marker"), std::string::npos);
}

TEST_F(PortTest, TraceStateMachineOnAnOpenPort) {
  OpenOn(1);
  port->SetTracing(tlPause);  // not on: nothing
  EXPECT_EQ(port->Tracing(), tlOff);
  port->SetTracing(tlOn);
  port->SendString("x");
  port->SetTracing(tlPause);
  EXPECT_EQ(port->Tracing(), tlPause);
  port->SendString("y");  // not recorded
  port->SetTracing(tlOn);
  port->SendString("z");
  port->SetTracing(tlAppend);
  EXPECT_EQ(port->Tracing(), tlOff);
  std::string first = ReadFile("MERO.TRC");
  EXPECT_NE(first.find("xz"), std::string::npos) << first;
  port->SetTracing(tlOn);
  port->SendString("q");
  port->SetTracing(tlClear);  // entries dropped, still on
  EXPECT_EQ(port->Tracing(), tlOn);
  port->SendString("w");
  port->SetTracing(tlAppend);
  std::string both = ReadFile("MERO.TRC");
  EXPECT_EQ(both.find("q"), std::string::npos);
  EXPECT_NE(both.find("w"), std::string::npos);
  EXPECT_EQ(both.find(first), 0u);  // appended after the first dump
}

TEST_F(PortTest, TraceAndLogSizesAreCappedAndRestartARunningRecording) {
  port->SetTraceSize(5000000);
  EXPECT_EQ(port->TraceSize(), kMaxTraceSize);
  port->SetLogSize(20000000);
  EXPECT_EQ(port->LogSize(), kMaxLogSize);

  port->SetTracing(tlOn);
  OpenOn(1);
  port->SendString("old");
  port->SetTraceSize(100);
  EXPECT_EQ(port->Tracing(), tlOn);
  port->SendString("new");
  port->SetTracing(tlDump);
  std::string trace = ReadFile("MERO.TRC");
  EXPECT_EQ(trace.find("old"), std::string::npos) << trace;
  EXPECT_NE(trace.find("new"), std::string::npos);
  // A paused trace ends.
  port->SetTracing(tlOn);
  port->SetTracing(tlPause);
  port->SetTraceSize(200);
  EXPECT_EQ(port->Tracing(), tlOff);
  EXPECT_FALSE(Device().Tracing());
}

TEST_F(PortTest, RenumberingAnOpenPortKeepsTriggersAndTheRunningTrace) {
  port->SetTracing(tlOn);
  OpenOn(1);
  TMroBaseDispatcher* first = port->OwnedDispatcher.get();
  const int32_t timer = port->CreateTimerTrigger();
  const int32_t status = port->CreateStatusTrigger(3);
  port->SendString("AB");
  port->SetComNumber(4);
  EXPECT_EQ(port->ComNumber(), 4);
  EXPECT_EQ(made, 2);
  EXPECT_NE(port->OwnedDispatcher.get(), nullptr);
  EXPECT_EQ(port->PortPhase, TPortPhase::ppOpen);
  (void)first;
  // The old trace went to the file; a new, empty one runs.
  EXPECT_NE(ReadFile("MERO.TRC").find("AB"), std::string::npos);
  EXPECT_EQ(port->Tracing(), tlOn);
  EXPECT_TRUE(Device().Tracing());
  fs::remove("MERO.TRC");
  port->SendString("Z");
  port->SetOpen(false);
  std::string second = ReadFile("MERO.TRC");
  EXPECT_EQ(second.find("AB"), std::string::npos) << second;
  EXPECT_NE(second.find("Z"), std::string::npos);
  // The triggers live on in the second dispatcher (and are saved again).
  port->SetOpen(true);
  EXPECT_NO_THROW(port->ArmTimerTrigger(timer, 10, true));
  EXPECT_NO_THROW(port->ArmStatusTrigger(status, 100, true));
  EXPECT_THROW(port->ArmStatusTrigger(timer, 100, true), EBadTriggerHandle);
}

TEST_F(PortTest, DeviceLayerAcceptsOnlySupportedLayersOnAClosedPort) {
  port->SetDeviceLayer(TDeviceLayer::dlWinsock);
  EXPECT_EQ(port->DeviceLayer(), TDeviceLayer::dlWin32);
  port->SupportedLayers.insert(TDeviceLayer::dlFossil);
  OpenOn(1);
  port->SetDeviceLayer(TDeviceLayer::dlFossil);  // open: ignored
  EXPECT_EQ(port->DeviceLayer(), TDeviceLayer::dlWin32);
  port->SetOpen(false);
  port->SetDeviceLayer(TDeviceLayer::dlFossil);
  EXPECT_EQ(port->DeviceLayer(), TDeviceLayer::dlFossil);
}

TEST_F(PortTest, AnotherLayerWithoutAFactoryRaisesNullApi) {
  port->DispatcherFactory = nullptr;
  port->SupportedLayers.insert(TDeviceLayer::dlWin16);
  port->SetDeviceLayer(TDeviceLayer::dlWin16);
  port->SetComNumber(1);
  try {
    port->SetOpen(true);
    FAIL();
  } catch (const ENullApi& e) {
    EXPECT_STREQ(e.what(), "No device layer specified");
  }
  EXPECT_FALSE(port->Open());
}

TEST_F(PortTest, OpeningTwiceOpensOnce) {
  OpenOn(1);
  port->SetOpen(true);
  port->SendString("a");
  EXPECT_EQ(made, 1);
}

TEST_F(PortTest, FailedOpensAreTranslatedAndLeaveNothingBehind) {
  struct Case {
    uint32_t error;
    int32_t code;
    std::string text;
  };
  for (const Case& c : {Case{5, ecAlreadyOpen, "ie_Open - device already open"},
                        Case{2, ecBadId, "ie_BadId - Specified comport doesn't exist"},
                        Case{3, ecBadId, "ie_BadId - Specified comport doesn't exist"}}) {
    failOpenWith = c.error;
    port->SetComNumber(7);
    try {
      port->SetOpen(true);
      FAIL() << c.error;
    } catch (const EMROException& e) {
      EXPECT_EQ(e.ErrorCode, c.code);
      EXPECT_EQ(e.Message(), c.text);
    }
    EXPECT_FALSE(port->Open());
    EXPECT_EQ(port->PortPhase, TPortPhase::ppClosed);
    EXPECT_EQ(port->OwnedDispatcher, nullptr);
    EXPECT_EQ(port->PortWindow, 0u);
  }
  // Other system errors pass unchanged (an input/output error here).
  failOpenWith = 31;
  EXPECT_THROW(port->SetOpen(true), EInOutError);
  EXPECT_EQ(port->OwnedDispatcher, nullptr);
}

TEST_F(PortTest, AFailureInTheOpenedNotificationUndoesTheWholeOpen) {
  HWND window = 0;
  port->OnPortOpened = [&](TComponent*) {
    window = port->PortWindow;
    throw EMROException("refused");
  };
  port->SetComNumber(1);
  EXPECT_THROW(port->SetOpen(true), EMROException);
  EXPECT_NE(window, 0u);
  EXPECT_FALSE(IsWindow(window));
  EXPECT_EQ(port->PortWindow, 0u);
  EXPECT_EQ(port->OwnedDispatcher, nullptr);
  EXPECT_FALSE(port->Open());
  EXPECT_EQ(port->PortPhase, TPortPhase::ppClosed);
}

TEST_F(PortTest, TriggersCarriedOverSurviveAFailedReopen) {
  OpenOn(1);
  const int32_t t = port->CreateTimerTrigger();
  port->SetOpen(false);
  port->OnPortOpened = [](TComponent*) { throw EMROException("refused"); };
  EXPECT_THROW(port->SetOpen(true), EMROException);
  EXPECT_TRUE(port->TriggersSaved);
  port->OnPortOpened = nullptr;
  port->SetOpen(true);
  EXPECT_NO_THROW(port->ArmTimerTrigger(t, 5, true));
}

TEST_F(PortTest, TriggerNotificationsBecomeEventsOnThePortWindow) {
  OpenOn(1);
  std::vector<uint16_t> messages;
  uint16_t availCount = 0;
  std::vector<uint16_t> timers;
  port->SetOnTrigger([&](TMroCustomComPort*, uint16_t msg, uint16_t, uint16_t) { messages.push_back(msg); });
  port->SetOnTriggerAvail([&](TMroCustomComPort* cp, uint16_t count) {
    EXPECT_EQ(cp, port);
    availCount = count;
    std::string got;
    for (uint16_t i = 0; i < count; ++i) got += port->ReadByte();
    EXPECT_EQ(got, "abc");
  });
  port->SetOnTriggerTimer([&](TMroCustomComPort*, uint16_t h) { timers.push_back(h); });
  Device().InjectReceived("abc");
  Device().DeviceEventPass(0x0001);
  EXPECT_EQ(availCount, 3);
  EXPECT_FALSE(port->InputReady());  // the handler took them

  const int32_t t = port->CreateTimerTrigger();
  port->ArmTimerTrigger(t, 1, true);
  SetClockOffsetForTesting(10000);
  Device().StatusAndTimerPass();
  SetClockOffsetForTesting(0);
  EXPECT_EQ(timers, std::vector<uint16_t>{uint16_t(t)});
  EXPECT_EQ(messages, (std::vector<uint16_t>{uint16_t(MsgTriggerAvail), uint16_t(MsgTriggerTimer)}));
}

TEST_F(PortTest, StatusTriggersRaiseTheirKindsEvent) {
  OpenOn(1);
  int modem = 0;
  std::vector<std::pair<uint16_t, bool>> lineErrors;
  port->SetOnTriggerModemStatus([&](TComponent* sender) {
    EXPECT_EQ(sender, port);
    ++modem;
  });
  port->SetOnTriggerLineError([&](TMroCustomComPort*, uint16_t e, bool brk) { lineErrors.push_back({e, brk}); });
  const int32_t m = port->CreateStatusTrigger(1);
  port->ArmStatusTrigger(m, mbDeltaCts, true);
  const int32_t l = port->CreateStatusTrigger(2);
  port->ArmStatusTrigger(l, leFraming | leBreak, true);
  Device().SetModemLines(0x10);
  Device().DeviceEventPass(0x0008);
  EXPECT_EQ(modem, 1);
  Device().InjectLineErrors(leBreak);
  Device().DeviceEventPass(0x0040 | 0x0080);
  ASSERT_EQ(lineErrors.size(), 1u);
  EXPECT_TRUE(lineErrors[0].second);
}

TEST_F(PortTest, EventsAreOnlyServedWhileOneIsAssigned) {
  OpenOn(1);
  EXPECT_FALSE(Device().PortHandlerWantedNow());
  port->SetOnTriggerOutSent([](TComponent*) {});
  EXPECT_TRUE(Device().PortHandlerWantedNow());
  port->SetOnTriggerOutSent(nullptr);
  EXPECT_FALSE(Device().PortHandlerWantedNow());
}

TEST_F(PortTest, ClosingInsideAHandlerFinishesLaterAndAReopenFollows) {
  OpenOn(1);
  std::vector<uint16_t> messages;
  port->SetOnTrigger([&](TMroCustomComPort*, uint16_t msg, uint16_t, uint16_t) { messages.push_back(msg); });
  port->SetOnTriggerAvail([&](TMroCustomComPort*, uint16_t) {
    port->SetOpen(false);
    EXPECT_EQ(port->PortPhase, TPortPhase::ppClosing);  // the dispatcher is still in its pass
    // While closing, the operations do nothing.
    EXPECT_NO_THROW(port->SendString("lost"));
    EXPECT_EQ(port->ReadByte(), 0);
    EXPECT_FALSE(port->InputReady());
    EXPECT_EQ(port->CreateTimerTrigger(), 0);
    port->SetOpen(true);
    EXPECT_TRUE(port->ReopenPending);
    EXPECT_FALSE(port->Open());
  });
  Device().InjectReceived("x");
  Device().DeviceEventPass(0x0001);
  EXPECT_EQ(made, 1);
  // The close waits, re-posting its message, while the threads still run.
  for (int i = 0; i < 5; ++i) PumpOneMessage();
  EXPECT_EQ(port->PortPhase, TPortPhase::ppClosing);
  EXPECT_NE(port->OwnedDispatcher, nullptr);
  device->EndDeferredThreads();
  ASSERT_TRUE(PumpUntil([&] { return port->PortPhase == TPortPhase::ppOpen; }));
  EXPECT_EQ(made, 2);
  EXPECT_TRUE(port->Open());
  EXPECT_FALSE(port->ReopenPending);
  EXPECT_NE(std::find(messages.begin(), messages.end(), uint16_t(MsgCloseDone)), messages.end());
}

TEST_F(PortTest, AskingToCloseAgainDuringTheCloseCancelsThePendingReopen) {
  OpenOn(1);
  port->SetOnTriggerAvail([&](TMroCustomComPort*, uint16_t) {
    port->SetOpen(false);
    port->SetOpen(true);
    port->SetOpen(false);
  });
  Device().InjectReceived("x");
  Device().DeviceEventPass(0x0001);
  device->EndDeferredThreads();
  ASSERT_TRUE(PumpUntil([&] { return port->PortPhase == TPortPhase::ppClosed; }));
  DrainQueue();
  EXPECT_EQ(made, 1);
  EXPECT_FALSE(port->Open());
  EXPECT_EQ(port->OwnedDispatcher, nullptr);
}

TEST_F(PortTest, AFailedTraceDumpStillClosesThePortThenRaises) {
  port->SetTraceName("/nonexistent-dir/MERO.TRC");
  port->SetTracing(tlOn);
  OpenOn(1);
  port->SendString("x");
  EXPECT_ANY_THROW(port->SetOpen(false));
  EXPECT_EQ(port->PortPhase, TPortPhase::ppClosed);
  EXPECT_EQ(port->OwnedDispatcher, nullptr);
  EXPECT_EQ(port->Tracing(), tlOff);
}

TEST_F(PortTest, UsersAreToldLastToFirstAndDetachIndividually) {
  std::vector<std::string> told;
  HWND w = CreateMessageWindow([&](HWND, UINT msg, WPARAM, LPARAM) -> LRESULT {
    if (msg == MsgPortOpened) told.push_back("window opened");
    if (msg == MsgPortClosing) told.push_back("window closing");
    return 0;
  });
  int a = 0, b = 0;
  auto callback = [&](const char* name, const void* object) {
    return TPortCallback{object, [&told, name](TMroCustomComPort*, bool opening) {
                           told.push_back(std::string(name) + (opening ? " opened" : " closing"));
                         }};
  };
  EXPECT_EQ(port->AttachWindow(w), 0);
  EXPECT_EQ(port->AttachCallback(callback("a", &a)), 1);
  EXPECT_EQ(port->AttachCallback(callback("b", &b)), 2);
  port->OnPortOpened = [&](TComponent*) { told.push_back("event opened"); };
  port->OnPortClosing = [&](TComponent*) { told.push_back("event closing"); };
  OpenOn(1);
  port->SetOpen(false);
  EXPECT_EQ(told, (std::vector<std::string>{"b opened", "a opened", "window opened", "event opened", "b closing",
                                            "a closing", "window closing", "event closing"}));
  port->DetachCallback(&a);
  port->DetachWindow(w);
  ASSERT_EQ(port->Users.size(), 1u);
  EXPECT_EQ(port->Users[0].Callback.Object, &b);
  DestroyMessageWindow(w);
}

TEST_F(PortTest, LocateComPortSearchesDepthFirst) {
  TComponent owner(nullptr);
  auto* panel = new TComponent(&owner);
  auto* inner = new TMroComPort(panel);
  new TComponent(&owner);
  new TMroComPort(&owner);
  EXPECT_EQ(TMroCustomComPort::LocateComPort(&owner), inner);
  TComponent empty(nullptr);
  new TComponent(&empty);
  EXPECT_EQ(TMroCustomComPort::LocateComPort(&empty), nullptr);
}

TEST_F(PortTest, AssignCopiesTheConfigurationButNotEverything) {
  TMroComPort src(&form);
  src.SetComNumber(5);
  src.SetBaud(57600);
  src.SetHWFlowOptions(hwfRequireCTS);
  src.SetTracing(tlOn);
  src.SetTraceName("X.TRC");
  src.SetUseEventWord(false);
  src.SetCommNotificationLevel(3);
  int opened = 0;
  src.OnPortOpened = [&](TComponent*) { ++opened; };
  int cbObject = 0;
  src.AttachCallback({&cbObject, [](TMroCustomComPort*, bool) {}});
  port->Assign(&src);
  EXPECT_EQ(port->ComNumber(), 5);
  EXPECT_EQ(port->Baud(), 57600);
  EXPECT_EQ(port->HWFlowOptions(), hwfRequireCTS);
  EXPECT_EQ(port->BufferFull(), 3686);
  EXPECT_EQ(port->Tracing(), tlOn);
  EXPECT_EQ(port->TraceName(), "X.TRC");
  EXPECT_TRUE(port->UseEventWord());
  EXPECT_EQ(port->CommNotificationLevel(), 10);
  EXPECT_FALSE(port->Open());
  ASSERT_EQ(port->Users.size(), 1u);
  EXPECT_TRUE(port->OnPortOpened != nullptr);
  TComponent plain(nullptr);
  EXPECT_ANY_THROW(port->Assign(&plain));
}

TEST_F(PortTest, AssignFromAnOpenPortCarriesItsTriggers) {
  OpenOn(1);
  const int32_t t = port->CreateTimerTrigger();
  TMroComPort copy(&form);
  copy.DispatcherFactory = port->DispatcherFactory;
  copy.Assign(port);
  EXPECT_TRUE(copy.TriggersSaved);
  port->SetOpen(false);
  copy.SetOpen(true);
  EXPECT_NO_THROW(copy.ArmTimerTrigger(t, 5, true));
  EXPECT_FALSE(copy.TriggersSaved);
}

TEST_F(PortTest, APortLoadedOpenOpensAfterLoading) {
  TComponent loadForm(nullptr);
  auto* p = new TMroComPort(&loadForm);
  p->DispatcherFactory = port->DispatcherFactory;
  loadForm.BeginLoad();
  p->SetComNumber(2);
  p->SetOpen(true);
  EXPECT_TRUE(p->OpenAfterLoad);
  EXPECT_EQ(made, 0);
  loadForm.EndLoad();
  EXPECT_EQ(made, 1);
  EXPECT_TRUE(p->Open());
  EXPECT_FALSE(p->OpenAfterLoad);
  EXPECT_EQ(p->PortPhase, TPortPhase::ppOpen);
}

TEST_F(PortTest, AFailedOpenAfterLoadingIsReportedNotThrown) {
  TComponent loadForm(nullptr);
  auto* p = new TMroComPort(&loadForm);
  p->DispatcherFactory = port->DispatcherFactory;
  failOpenWith = 2;
  loadForm.BeginLoad();
  p->SetComNumber(9);
  p->SetOpen(true);
  EXPECT_NO_THROW(loadForm.EndLoad());
  EXPECT_FALSE(p->Open());
  ASSERT_EQ(reported.size(), 1u);
  EXPECT_EQ(reported[0], "ie_BadId - Specified comport doesn't exist");
}

TEST_F(PortTest, DestroyingAnOpenPortClosesIt) {
  const int32_t before = TMroBaseDispatcher::RegistryCount();
  auto* p = new TMroComPort(&form);
  p->DispatcherFactory = port->DispatcherFactory;
  p->SetTracing(tlOn);
  p->SetComNumber(1);
  p->SetOpen(true);
  p->SendString("bye");
  HWND w = p->PortWindow;
  delete p;
  EXPECT_FALSE(IsWindow(w));
  EXPECT_EQ(TMroBaseDispatcher::RegistryCount(), before);
  EXPECT_NE(ReadFile("MERO.TRC").find("bye"), std::string::npos);
}

// --- The serial device on pseudo-terminals ------------------------------------------------

// Pseudo-terminal pairs mapped as COM numbers (tests/support/PtyPorts.h).
class PtyPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RegisterErrorReporter([this](const std::exception& e) { reported.push_back(e.what()); });
  }
  void TearDown() override {
    RegisterErrorReporter({});
    DrainQueue();
  }

  // Makes a pair, links its slave as com<n>; returns the master.
  int AddPort(int com) { return ports.AddPort(com).master; }
  static std::string ReadMaster(int master, size_t want) { return ReadFarEnd(master, want); }

  TPtyPortMap ports;
  ScratchDir scratch;
  TComponent form{nullptr};
  std::vector<std::string> reported;
};

TEST_F(PtyPortTest, SendsAndReceivesThroughTheSerialDevice) {
  const int master = AddPort(1);
  TMroComPort port(&form);
  port.SetComNumber(1);
  std::string received;
  port.SetOnTriggerAvail([&](TMroCustomComPort* cp, uint16_t count) {
    for (uint16_t i = 0; i < count; ++i) received += cp->ReadByte();
  });
  port.SetOpen(true);
  ASSERT_EQ(port.PortPhase, TPortPhase::ppOpen);
  EXPECT_NE(dynamic_cast<TMroWin32Dispatcher*>(port.OwnedDispatcher.get()), nullptr);
  port.SendString("hello");
  EXPECT_EQ(ReadMaster(master, 5), "hello");
  ASSERT_EQ(write(master, "world", 5), 5);
  EXPECT_TRUE(PumpUntil([&] { return received.size() >= 5; }));
  EXPECT_EQ(received, "world");
  port.SetOpen(false);
  EXPECT_TRUE(PumpUntil([&] { return port.PortPhase == TPortPhase::ppClosed; }));
  EXPECT_EQ(port.OwnedDispatcher, nullptr);
}

TEST_F(PtyPortTest, AMissingPortIsBadIdAndAHeldOneIsAlreadyOpen) {
  AddPort(2);
  TMroComPort missing(&form);
  missing.SetComNumber(3);
  try {
    missing.SetOpen(true);
    FAIL();
  } catch (const EBadId& e) {
    EXPECT_STREQ(e.what(), "ie_BadId - Specified comport doesn't exist");
  }
  EXPECT_EQ(missing.OwnedDispatcher, nullptr);

  TMroComPort holder(&form);
  holder.SetComNumber(2);
  holder.SetOpen(true);
  TMroComPort second(&form);
  second.SetComNumber(2);
  try {
    second.SetOpen(true);
    FAIL();
  } catch (const EAlreadyOpen& e) {
    EXPECT_STREQ(e.what(), "ie_Open - device already open");
  }
  EXPECT_EQ(second.PortPhase, TPortPhase::ppClosed);
  EXPECT_EQ(second.PortWindow, 0u);
  EXPECT_TRUE(holder.Open());
}

TEST_F(PtyPortTest, RenumberingWithARunningTraceOnRealDevices) {
    AddPort(1);
  const int second = AddPort(2);
  TMroComPort port(&form);
  port.SetComNumber(1);
  port.SetTracing(tlOn);
  port.SetOpen(true);
  const int32_t timer = port.CreateTimerTrigger();
  port.SendString("one");
  port.SetComNumber(2);
  ASSERT_EQ(port.PortPhase, TPortPhase::ppOpen);
  EXPECT_NE(ReadFile("MERO.TRC").find("one"), std::string::npos);
  EXPECT_EQ(port.Tracing(), tlOn);
  EXPECT_NO_THROW(port.ArmTimerTrigger(timer, 2, true));
  port.SendString("two");
  EXPECT_EQ(ReadMaster(second, 3), "two");
  fs::remove("MERO.TRC");
  port.SetOpen(false);
  ASSERT_TRUE(PumpUntil([&] { return port.PortPhase == TPortPhase::ppClosed; }));
  std::string trace = ReadFile("MERO.TRC");
  EXPECT_EQ(trace.find("one"), std::string::npos);
  EXPECT_NE(trace.find("two"), std::string::npos);
}

TEST_F(PtyPortTest, ClosingFromAnEventWaitsForTheDispatcherAndReopens) {
  const int master = AddPort(1);
  TMroComPort port(&form);
  port.SetComNumber(1);
  int avail = 0;
  port.SetOnTriggerAvail([&](TMroCustomComPort* cp, uint16_t) {
    ++avail;
    cp->PurgeInput();
    cp->SetOpen(false);
    cp->SetOpen(true);
  });
  port.SetOpen(true);
  TMroBaseDispatcher* first = port.OwnedDispatcher.get();
  ASSERT_EQ(write(master, "x", 1), 1);
  ASSERT_TRUE(PumpUntil([&] { return avail == 1 && port.PortPhase == TPortPhase::ppOpen && port.Open(); }));
  EXPECT_FALSE(port.ReopenPending);
  (void)first;
  port.SendString("again");
  EXPECT_EQ(ReadMaster(master, 5), "again");
  EXPECT_TRUE(reported.empty());
}

}  // namespace
}  // namespace zav::test

namespace zav::test {
namespace {

// Each step adds line errors as the device reports them; the counts add up
// from the open, are not taken by the line-error reads, and start over at the
// next open.
TEST_F(PortTest, LineErrorCountsAddUpSinceTheOpen) {
  struct Step {
    uint32_t bits, count;
    TLineErrorCounts expected;
  };
  const std::vector<Step> steps = {
      {leParity, 1, {1, 0, 0, 0}},
      {leParity | leFraming, 3, {4, 3, 0, 0}},
      {leOverrun | leRxOverflow, 2, {4, 3, 4, 0}},
      {leBreak, 1, {4, 3, 4, 1}},
  };
  OpenOn(1);
  EXPECT_FALSE(port->LineErrorCounts().Any());
  for (const Step& s : steps) {
    Device().InjectLineErrors(s.bits, s.count);
    Device().RefreshLineErrors();
    port->LastLineError();
    port->BreakReceived();
    EXPECT_EQ(port->LineErrorCounts(), s.expected) << s.bits;
  }
  EXPECT_EQ(FormatLineErrorCounts(port->LineErrorCounts()), "parity 4, framing 3, overruns 4, breaks 1");
  port->SetOpen(false);
  EXPECT_FALSE(port->LineErrorCounts().Any());
}

}  // namespace
}  // namespace zav::test
