// The B+ engine: recorded sessions replayed byte for byte against one end;
// two of our ends joined by an in-memory cable (both roles and directions,
// sizes, windows, block sizes, both checks, quoting, seeded noise, resume,
// refusals, cancel, a peer that talks nonsense or not at all); settings and
// the names of the states in the dispatch log.
#include "protocols/bplus/QwBPlus.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "serial/QxExcept.h"
#include "serial/QxSrMgr.h"
#include "tests/protocols/MemoryLinkSupport.h"

namespace zav::test {
namespace {

std::string RandomData(size_t size, uint32_t seed) {
  std::mt19937 gen(seed);
  std::string s(size, '\0');
  for (auto& c : s) c = char(gen() & 0xFF);
  return s;
}

// --- Recorded sessions -------------------------------------------------------------------------

// A session file: '<' lines are the peer's bytes, '>' lines ours, in hex.
struct TraceStep {
  bool ours;
  std::string bytes;
};

std::vector<TraceStep> ReadTrace(const std::string& name) {
  std::ifstream in(std::string(ZAV_PROTOCOL_TEST_DATA) + "/" + name);
  EXPECT_TRUE(in.good()) << name;
  std::vector<TraceStep> steps;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream words(line.substr(1));
    std::string word, bytes;
    while (words >> word) bytes += char(std::stoul(word, nullptr, 16));
    steps.push_back({line[0] == '>', bytes});
  }
  return steps;
}

// A packet of the peer's with the default quoting and the checksum.
std::string Packet(uint8_t digit, uint8_t type, const std::string& body) {
  std::vector<uint8_t> out;
  BPlusEncodePacket(out, digit, type, reinterpret_cast<const uint8_t*>(body.data()), body.size(),
                    TBPlusQuoteSet::Default(), false);
  return std::string(out.begin(), out.end());
}

std::string Hex(const std::string& bytes) {
  std::string out;
  char buf[4];
  for (unsigned char c : bytes) {
    std::snprintf(buf, sizeof buf, "%02X ", c);
    out += buf;
  }
  return out;
}

class BPlusTraceTest : public MemoryProtocolTest {
 protected:
  void Start(bool transmit) {
    protocol->SetProtocolType(ptBPlus);
    protocol->SetUpcaseFileNames(false);
    protocol->SetDestinationDirectory(scratch.path().string());
    if (transmit) {
      protocol->SetFileMask("GOLD.BIN");
      protocol->BeginTransmit();
    } else {
      protocol->BeginReceive();
    }
    DrainQueue();
  }
  // Replays the peer's side; what ours sends between two peer lines must be
  // exactly the '>' lines there.
  void Replay(const std::string& name) {
    std::string expected;
    size_t line = 0;
    auto check = [&] {
      device->Wire();
      const std::string sent = device->Sent().substr(checked_);
      EXPECT_EQ(Hex(sent), Hex(expected)) << name << " before line " << line;
      checked_ += sent.size();
      expected.clear();
    };
    for (const TraceStep& step : ReadTrace(name)) {
      ++line;
      if (step.ours) {
        expected += step.bytes;
        continue;
      }
      check();
      device->InjectReceived(step.bytes);
      device->DeviceEventPass(0xFFFFFFFF);
      DrainQueue();
    }
    check();
  }
  size_t checked_ = 0;
};

TEST_F(BPlusTraceTest, InitiatorSendsAFileWithAWindowOfTwoAndRecoversFromANak) {
  std::string data;
  for (int i = 0; i < 200; ++i) data += char(i);
  WriteWhole("GOLD.BIN", data);
  Start(true);
  Replay("bplus_initiator_send.trace");
  DrainQueue();
  ASSERT_TRUE(events.Finished());
  EXPECT_EQ(events.FinishCode(), 0);
  EXPECT_EQ(events.Count("log 5"), 1u);
  EXPECT_EQ(Record().BlockSize, 128u);
}

TEST_F(BPlusTraceTest, ResponderReceivesAFileThroughADamagedPacketAndADuplicate) {
  Start(false);
  Replay("bplus_responder_receive.trace");
  EXPECT_FALSE(events.Finished());  // still there for a late ENQ
  Advance(kBPlusLinger + 1);
  ASSERT_TRUE(events.Finished());
  EXPECT_EQ(events.FinishCode(), 0);
  EXPECT_EQ(ReadWhole("IN FILE.TXT"), std::string("hello\x03\x10world"));
  EXPECT_EQ(events.Count("log 1"), 1u);
}

// A peer's name with directories lands in the destination directory itself.
TEST_F(BPlusTraceTest, AReceivedNameNeverLeavesTheDestination) {
  fs::create_directories("in");
  protocol->SetProtocolType(ptBPlus);
  protocol->SetUpcaseFileNames(false);
  protocol->SetDestinationDirectory((scratch.path() / "in").string());
  protocol->BeginReceive();
  DrainQueue();
  std::vector<uint8_t> params;
  BPlusEncodeParamsPacket(params, 1, BPlusEncodeParams(TBPlusParams{}));
  for (const std::string& bytes : {std::string("\x05") + std::string(params.begin(), params.end()),
                                   std::string("\x10" "2") + Packet(3, 'T', "DB../../escape.bin") +
                                       Packet(4, 'N', "payload") + Packet(5, 'T', "C")}) {
    device->InjectReceived(bytes);
    device->DeviceEventPass(0xFFFFFFFF);
    DrainQueue();
  }
  Advance(kBPlusLinger + 1);
  EXPECT_EQ(events.FinishCode(), 0);
  EXPECT_EQ(ReadWhole(scratch.path() / "in" / "escape.bin"), "payload");
  EXPECT_FALSE(fs::exists(scratch.path().parent_path() / "escape.bin"));
}

// A host that will not resume: our Tr carries the part's length and CRC, the
// answer F r ends the receive with 4715 and the part stays as it was.
TEST_F(BPlusTraceTest, AResumeTheHostRefusesEndsTheReceiveAndKeepsThePart) {
  WriteWhole("part.bin", "0123456789");
  protocol->SetProtocolType(ptBPlus);
  protocol->SetUpcaseFileNames(false);
  protocol->SetDestinationDirectory(scratch.path().string());
  std::vector<TWriteFailAction> asked;
  protocol->OnProtocolResume = [&asked](TMroCustomProtocol*, TWriteFailAction& action) {
    asked.push_back(action);
    action = wfWriteResume;
  };
  std::vector<int32_t> statuses;
  protocol->OnProtocolStatus = [&](TMroCustomProtocol* p, uint16_t) { statuses.push_back(p->ProtocolStatus()); };
  protocol->BeginReceive();
  DrainQueue();
  TBPlusParams host;
  host.BS = 4;
  host.DR = 1;
  std::vector<uint8_t> params;
  BPlusEncodeParamsPacket(params, 1, BPlusEncodeParams(host));
  for (const std::string& bytes : {std::string("\x05") + std::string(params.begin(), params.end()),
                                   std::string("\x10" "2") + Packet(3, 'T', "DBpart.bin")}) {
    device->InjectReceived(bytes);
    device->DeviceEventPass(0xFFFFFFFF);
    DrainQueue();
  }
  const std::string digits = "0123456789";
  const uint16_t crc = BPlusCrc(reinterpret_cast<const uint8_t*>(digits.data()), digits.size());
  device->Wire();
  const std::string sent = device->Sent();
  EXPECT_NE(sent.find(Packet(4, 'T', "r10 " + std::to_string(crc))), std::string::npos) << Hex(sent);
  EXPECT_EQ(asked, std::vector<TWriteFailAction>{wfWriteRename});
  device->InjectReceived("\x10" "4" + Packet(5, 'F', "rNo resume"));
  device->DeviceEventPass(0xFFFFFFFF);
  DrainQueue();
  ASSERT_TRUE(events.Finished());
  EXPECT_EQ(events.FinishCode(), ecProtocolAbort);
  EXPECT_EQ(protocol->ProtocolStatus(), psResumeBad);
  EXPECT_NE(std::find(statuses.begin(), statuses.end(), 4722), statuses.end());
  device->Wire();
  EXPECT_EQ(device->Sent().substr(device->Sent().size() - 2), "\x10" "5");
  EXPECT_EQ(ReadWhole("part.bin"), "0123456789");
}

// --- Two of our ends ---------------------------------------------------------------------------

class BPlusLinkTest : public MemoryLinkTest {
 protected:
  void Use(LinkEnd& e, TBPlusRole role) {
    e.protocol->SetProtocolType(ptBPlus);
    e.protocol->SetUpcaseFileNames(false);
    e.protocol->SetDestinationDirectory(e.dir);
    ASSERT_EQ(SetBPlusRole(e.protocol->Record(), role), 0);
    e.events.events.clear();
  }
  TransferRecord& Rec(LinkEnd& e) { return e.protocol->Record(); }
  // The names the next-file event gives, one per question.
  static void Names(LinkEnd& e, std::vector<std::string> names) {
    e.protocol->OnProtocolNextFile = [names, next = size_t(0)](TMroCustomProtocol*, std::string& n) mutable {
      n = next < names.size() ? names[next++] : std::string();
    };
  }
  // `from` sends dir/name to `to`: the initiator is whichever `initiatorSends` says.
  void Transfer(bool initiatorSends, const std::string& name, int maxTicks = 20000) {
    LinkEnd& sender = a;
    LinkEnd& receiver = b;
    Use(sender, initiatorSends ? bprInitiator : bprResponder);
    Use(receiver, initiatorSends ? bprResponder : bprInitiator);
    Names(sender, {sender.dir + "/" + name});
    Names(receiver, {name});
    if (initiatorSends) {
      receiver.protocol->BeginReceive();
      sender.protocol->BeginTransmit();
    } else {
      sender.protocol->BeginTransmit();
      receiver.protocol->BeginReceive();
    }
    DrainQueue();
    ticks = Run(maxTicks, aToB, bToA);
  }
  Filter aToB, bToA;
  int ticks = 0;
};

TEST_F(BPlusLinkTest, FilesArriveWholeInBothRolesWithEverySizeWindowBlockAndCheck) {
  struct Case {
    bool initiatorSends;
    size_t size;
    uint32_t window, block;
    bool checksum, twoK;
  } cases[] = {
      {true, 0, 2, 2048, false, false},    {false, 0, 2, 2048, false, false},  {true, 1, 1, 512, true, false},
      {false, 1, 2, 2048, false, false},   {true, 511, 2, 512, false, false},  {false, 512, 2, 512, true, false},
      {true, 513, 5, 512, false, false},   {false, 513, 3, 128, false, false}, {true, 70000, 5, 2048, false, true},
      {false, 70000, 5, 2048, true, true}, {true, 3000, 4, 1024, true, true},
  };
  int n = 0;
  for (const Case& c : cases) {
    const std::string name = "f" + std::to_string(n++) + ".bin";
    SCOPED_TRACE(name + " size " + std::to_string(c.size) + (c.initiatorSends ? " initiator sends" : " responder sends"));
    const std::string data = RandomData(c.size, uint32_t(n));
    WriteWhole(a.dir + "/" + name, data);
    for (LinkEnd* e : {&a, &b}) {
      e->protocol->SetProtocolType(ptBPlus);
      ASSERT_EQ(SetBPlusWindow(Rec(*e), c.window), 0);
      ASSERT_EQ(SetBPlusBlockSize(Rec(*e), c.block), 0);
      e->protocol->SetBP2KTransmit(c.twoK);
      e->protocol->SetBlockCheckMethod(c.checksum ? bcmChecksum : bcmCrc16);
    }
    Transfer(c.initiatorSends, name);
    ASSERT_TRUE(a.events.Finished() && b.events.Finished()) << "no end after " << ticks << " ticks";
    EXPECT_EQ(a.events.FinishCode(), 0);
    EXPECT_EQ(b.events.FinishCode(), 0);
    EXPECT_EQ(ReadWhole(b.dir + "/" + name), data);
    EXPECT_EQ(b.events.Count("log 1"), 1u);
    EXPECT_EQ(a.events.Count("log 5"), 1u);
    const uint32_t expectBlock = std::min<uint32_t>(c.block, c.twoK ? 2048 : 1024);
    EXPECT_EQ(Rec(a).BlockSize, expectBlock);
    EXPECT_EQ(Rec(a).CheckType, c.checksum ? bcmChecksum : bcmCrc16);
  }
}

TEST_F(BPlusLinkTest, OneSessionCarriesSeveralFilesEitherWay) {
  const std::vector<std::string> names = {"first.bin", "second.bin", "third.bin"};
  for (size_t i = 0; i < names.size(); ++i) WriteWhole(a.dir + "/" + names[i], RandomData(700 * i + 1, uint32_t(i)));
  for (bool initiatorSends : {true, false}) {
    SCOPED_TRACE(initiatorSends ? "offered" : "asked for");
    for (const auto& n : names) fs::remove(b.dir + "/" + n);
    Use(a, initiatorSends ? bprInitiator : bprResponder);
    Use(b, initiatorSends ? bprResponder : bprInitiator);
    std::vector<std::string> paths;
    for (const auto& n : names) paths.push_back(a.dir + "/" + n);
    Names(a, paths);
    Names(b, names);
    b.protocol->BeginReceive();
    a.protocol->BeginTransmit();
    Run(20000);
    EXPECT_EQ(a.events.FinishCode(), 0);
    EXPECT_EQ(b.events.FinishCode(), 0);
    EXPECT_EQ(b.events.Count("log 1"), names.size());
    EXPECT_EQ(a.events.Count("log 5"), names.size());
    for (const auto& n : names) EXPECT_EQ(ReadWhole(b.dir + "/" + n), ReadWhole(a.dir + "/" + n)) << n;
  }
}

TEST_F(BPlusLinkTest, EveryByteValueAndANameWithBlanksUnderFullQuoting) {
  std::string data;
  for (int r = 0; r < 4; ++r)
    for (int i = 0; i < 256; ++i) data += char(i);
  WriteWhole(a.dir + "/all bytes.bin", data);
  // One side asks for everything quoted: the union holds for both directions.
  for (LinkEnd* e : {&a, &b}) e->protocol->SetProtocolType(ptBPlus);
  ASSERT_EQ(SetBPlusQuoteSet(Rec(b), TBPlusQuoteSet::All()), 0);
  std::string wire;
  aToB = [&wire](std::string& s) { wire += s; };
  Transfer(true, "all bytes.bin");
  EXPECT_EQ(a.events.FinishCode(), 0);
  EXPECT_EQ(b.events.FinishCode(), 0);
  EXPECT_EQ(ReadWhole(b.dir + "/all bytes.bin"), data);
  // After the first bytes (ENQ), nothing quotable crossed the line raw.
  for (size_t i = 1; i < wire.size(); ++i) {
    const uint8_t c = uint8_t(wire[i]);
    if (c == 0x10 || c == 0x03) continue;  // the framing
    EXPECT_FALSE(BPlusQuotable(c)) << "raw " << int(c) << " at " << i;
  }
}

TEST_F(BPlusLinkTest, NoisyLinesDeliverIdenticalFilesOrFailClearly) {
  const std::string data = RandomData(60000, 7);
  WriteWhole(a.dir + "/noisy.bin", data);
  int delivered = 0;
  for (uint32_t seed = 1; seed <= 6; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    // Heavier than the interop noise, and ten times that on the acknowledgements.
    LineNoise ab(5e-4, 5e-4, seed), ba(5e-3, 5e-3, seed + 100);
    aToB = [&ab](std::string& s) { ab(s); };
    bToA = [&ba](std::string& s) { ba(s); };
    fs::remove(b.dir + "/noisy.bin");
    Transfer(seed % 2 == 1, "noisy.bin", 40000);
    ASSERT_TRUE(a.events.Finished() && b.events.Finished());
    const bool ok = a.events.FinishCode() == 0 && b.events.FinishCode() == 0;
    if (ok) {
      ++delivered;
      EXPECT_EQ(ReadWhole(b.dir + "/noisy.bin"), data);
    } else {
      // A failure is a failure at the receiving end too, never a short file taken as whole.
      EXPECT_NE(b.events.FinishCode(), 0);
      EXPECT_EQ(b.events.Count("log 1"), 0u);
    }
    EXPECT_GT(ab.flipped + ab.dropped + ba.flipped + ba.dropped, 0);
  }
  EXPECT_GE(delivered, 5);  // with these seeds: all
}

TEST_F(BPlusLinkTest, AnInterruptedDownloadResumesAtTheLocalLength) {
  const std::string data = RandomData(50000, 3);
  for (bool initiatorSends : {true, false}) {
    SCOPED_TRACE(initiatorSends ? "Tr" : "Tu");
    const std::string name = initiatorSends ? "resume-tr.bin" : "resume-tu.bin";
    WriteWhole(a.dir + "/" + name, data);
    WriteWhole(b.dir + "/" + name, data.substr(0, 20000));
    std::vector<TWriteFailAction> asked;
    b.protocol->OnProtocolResume = [&asked](TMroCustomProtocol*, TWriteFailAction& action) {
      asked.push_back(action);
      action = wfWriteResume;
    };
    std::vector<int32_t> statuses;
    b.protocol->OnProtocolStatus = [&](TMroCustomProtocol* p, uint16_t) { statuses.push_back(p->ProtocolStatus()); };
    a.protocol->SetProtocolType(ptBPlus);
    b.protocol->SetProtocolType(ptBPlus);
    Transfer(initiatorSends, name);
    EXPECT_EQ(a.events.FinishCode(), 0);
    EXPECT_EQ(b.events.FinishCode(), 0);
    EXPECT_EQ(asked, std::vector<TWriteFailAction>{wfWriteRename});
    EXPECT_EQ(ReadWhole(b.dir + "/" + name), data);
    EXPECT_EQ(b.protocol->BytesTransferred(), 30000);
    EXPECT_NE(std::find(statuses.begin(), statuses.end(), 4722), statuses.end());
    EXPECT_NE(std::find(statuses.begin(), statuses.end(), 4723), statuses.end());
    b.protocol->OnProtocolResume = nullptr;
    b.protocol->OnProtocolStatus = nullptr;
    b.events.Attach(*b.protocol);
  }
}

TEST_F(BPlusLinkTest, APartThatDiffersIsSentAgainWholeAndWithoutResumeTheOldFileIsKept) {
  const std::string data = RandomData(9000, 4);
  WriteWhole(a.dir + "/d.bin", data);
  WriteWhole(b.dir + "/d.bin", "not the same start");
  b.protocol->OnProtocolResume = [](TMroCustomProtocol*, TWriteFailAction& action) { action = wfWriteResume; };
  for (LinkEnd* e : {&a, &b}) e->protocol->SetProtocolType(ptBPlus);
  Transfer(true, "d.bin");
  EXPECT_EQ(b.events.FinishCode(), 0);
  EXPECT_EQ(ReadWhole(b.dir + "/d.bin"), data);
  // The sender offers no resume: the receiver falls back to a new name.
  WriteWhole(b.dir + "/d.bin", "partial");
  for (LinkEnd* e : {&a, &b}) e->protocol->SetProtocolType(ptBPlus);
  ASSERT_EQ(SetBPlusOfferResume(Rec(a), false), 0);
  Transfer(true, "d.bin");
  EXPECT_EQ(b.events.FinishCode(), 0);
  EXPECT_EQ(ReadWhole(b.dir + "/d.bin"), "partial");
  EXPECT_EQ(ReadWhole(b.dir + "/$.bin"), data);
}

TEST_F(BPlusLinkTest, RefusalsEndBothSidesWithTheirCodes) {
  WriteWhole(a.dir + "/x.bin", "new contents");
  WriteWhole(b.dir + "/x.bin", "kept");
  // The receiver may not overwrite: it refuses with F.
  for (LinkEnd* e : {&a, &b}) e->protocol->SetProtocolType(ptBPlus);
  b.protocol->SetWriteFailAction(wfWriteFail);
  Transfer(true, "x.bin");
  EXPECT_EQ(b.events.FinishCode(), ecCantWriteFile);
  EXPECT_EQ(a.events.FinishCode(), ecProtocolAbort);
  EXPECT_EQ(ReadWhole(b.dir + "/x.bin"), "kept");
  // A request for a file the responder does not serve: F M.
  b.protocol->SetWriteFailAction(wfWriteRename);
  Use(a, bprResponder);
  Use(b, bprInitiator);
  Names(a, {a.dir + "/x.bin"});
  Names(b, {"absent.bin"});
  a.protocol->BeginTransmit();
  b.protocol->BeginReceive();
  Run(20000);
  EXPECT_EQ(b.events.FinishCode(), ecFileNotFound);
  EXPECT_EQ(a.events.FinishCode(), ecFileNotFound);
  EXPECT_FALSE(fs::exists(b.dir + "/absent.bin"));
}

TEST_F(BPlusLinkTest, ACancelEndsBothSides) {
  WriteWhole(a.dir + "/big.bin", RandomData(200000, 5));
  Use(a, bprInitiator);
  Use(b, bprResponder);
  Names(a, {a.dir + "/big.bin"});
  b.protocol->BeginReceive();
  a.protocol->BeginTransmit();
  bool cancelled = false;
  onPass = [&] {
    if (!cancelled && b.protocol->BytesTransferred() > 50000) {
      cancelled = true;
      b.protocol->AbortProtocol();
    }
  };
  Run(20000);
  ASSERT_TRUE(cancelled);
  EXPECT_EQ(b.events.FinishCode(), ecCancelRequested);
  EXPECT_EQ(a.events.FinishCode(), ecProtocolAbort);
  EXPECT_EQ(b.events.Count("log 2"), 1u);
  // The part stays (a B+ receive can resume).
  EXPECT_GT(fs::file_size(b.dir + "/big.bin"), 50000u);
}

TEST_F(BPlusLinkTest, NoAnswerAndEndlessGarbageEndByTheLimits) {
  // An initiator whose ENQs go nowhere: HandshakeRetry ENQs, then a time-out.
  WriteWhole(a.dir + "/q.bin", "q");
  Use(a, bprInitiator);
  a.protocol->SetHandshakeWait(5);
  Names(a, {a.dir + "/q.bin"});
  a.protocol->BeginTransmit();
  std::string sent;
  aToB = [&sent](std::string& s) {
    sent += s;
    s.clear();
  };
  b.events.events.push_back("finish 0");  // b takes no part
  Run(2000, aToB);
  EXPECT_EQ(a.events.FinishCode(), ecTimeout);
  EXPECT_EQ(sent, std::string(10, '\x05'));
  // A responder fed endless garbage, damaged packets and ENQs ends by the
  // error limit, its answers bounded.
  Use(b, bprResponder);
  b.events.events.clear();
  a.events.events.push_back("finish 0");
  b.protocol->BeginReceive();
  std::vector<uint8_t> start = {0x05};
  std::vector<uint8_t> params;
  TBPlusParams p;
  BPlusEncodeParamsPacket(params, 1, BPlusEncodeParams(p));
  std::string hostile(start.begin(), start.end());
  hostile.append(params.begin(), params.end());
  std::mt19937 gen(9);
  size_t answered = 0;
  for (int round = 0; round < 3000 && !b.events.Finished(); ++round) {
    std::string junk = "\x10" "B4N";
    for (int i = 0; i < 64; ++i) junk += char(gen() & 0xFF);
    junk += "\x03\x01\x05";
    b.device->InjectReceived(round == 0 ? hostile : junk);
    b.device->DeviceEventPass(0xFFFFFFFF);
    DrainQueue();
    answered += b.device->Wire().size();
    Tick();
  }
  EXPECT_TRUE(b.events.Finished());
  EXPECT_NE(b.events.FinishCode(), 0);
  EXPECT_LT(answered, 3000u * 8);
}

TEST(BPlusSettings, SettersCheckTheProtocolAndTheirRanges) {
  TransferRecord r;
  EXPECT_EQ(SetBPlusWindow(r, 2), ecBadProtocolFunction);
  ASSERT_EQ(InitBPlus(r), 0);
  EXPECT_EQ(r.CheckType, bcmCrc16);
  EXPECT_EQ(SetBPlusWindow(r, 0), ecBadArgument);
  EXPECT_EQ(SetBPlusWindow(r, kBPlusMaxWindow + 1), ecBadArgument);
  EXPECT_EQ(SetBPlusWindow(r, kBPlusMaxWindow), 0);
  EXPECT_EQ(SetBPlusBlockSize(r, 1000), ecBadArgument);
  EXPECT_EQ(SetBPlusBlockSize(r, 4096), ecBadArgument);
  EXPECT_EQ(SetBPlusBlockSize(r, 256), 0);
  EXPECT_EQ(SetBPlusWaits(r, 0, 5), ecBadArgument);
  EXPECT_EQ(SetBPlusErrorLimit(r, 0), ecBadArgument);
  EXPECT_EQ(SetBPlusRole(r, TBPlusRole(7)), ecBadArgument);
  DoneBPlus(r);
  EXPECT_EQ(BPlusArea(r), nullptr);
}

}  // namespace
}  // namespace zav::test
