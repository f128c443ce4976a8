#include "serial/QxSrMgr.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "platform/Resources.h"

namespace zav {
namespace {

void PutU32(std::vector<uint8_t>& out, uint32_t v) {
  for (int k = 0; k < 4; ++k) out.push_back(uint8_t(v >> (8 * k)));
}

// An STR0 blob with the entries in the given order.
std::vector<uint8_t> MakeBlob(const std::vector<std::pair<uint32_t, std::u16string>>& entries) {
  std::vector<uint8_t> blob{'S', 'T', 'R', '0'};
  PutU32(blob, uint32_t(entries.size()));
  uint32_t offset = uint32_t(8 + 12 * entries.size());
  for (const auto& [id, text] : entries) {
    PutU32(blob, id);
    PutU32(blob, offset);
    PutU32(blob, uint32_t(text.size()));
    offset += uint32_t(2 * text.size());
  }
  for (const auto& entry : entries) {
    for (char16_t u : entry.second) {
      blob.push_back(uint8_t(u & 0xFF));
      blob.push_back(uint8_t(u >> 8));
    }
  }
  return blob;
}

// Registers a blob built in the test for the lifetime of the fixture.
class BlobTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (const std::string& name : names_) UnregisterResource(name);
  }
  void Register(const std::string& name, std::vector<uint8_t> blob) {
    blobs_.push_back(std::move(blob));
    RegisterResource(name, blobs_.back());
    names_.push_back(name);
  }
  // The message of the reader's error when opening name.
  std::string OpenError(const std::string& name) {
    try {
      TQxStringResource r(name);
    } catch (const EQrsStringResourceError& e) {
      return e.Message();
    }
    return "(no error)";
  }

 private:
  std::vector<std::vector<uint8_t>> blobs_;  // never reallocated data: each blob owns its bytes
  std::vector<std::string> names_;
};

std::vector<uint32_t> Ids(const TQxStringResource& table) {
  std::vector<uint32_t> ids;
  for (uint32_t i = 0; i < table.Count(); ++i) ids.push_back(table.IdAt(i));
  return ids;
}

// ---- The built-in tables -----------------------------------------------------

TEST(BuiltInTables, ErrorTableHasExactlyTheIdentifierRuns) {
  const char* runs =
      "0; 2 to 6; 8; 15; 18; 100 to 105; 150 to 162; 1001 to 1009; 2001 to 2012; 3001 to 3010; "
      "4001 to 4008; 4101; 4201 to 4213; 4301 to 4312; 4401 to 4403; 4500 to 4523; 4550 to 4553; "
      "4599 to 4611; 4630 to 4633; 4660 to 4671; 4700 to 4723; 4801 to 4808; 4820 to 4828; "
      "4840 to 4843; 5001 to 5003; 5501 to 5506; 6001 to 6016; 7001 to 7014; 8001 to 8005; "
      "8050 to 8055; 8060 to 8075; 8080 to 8092; 9001 to 9007; 10004; 10009; 10013 to 10014; "
      "10022; 10024; 10035 to 10071; 10091 to 10093; 10101; 11001 to 11004; 13501 to 13516; "
      "13533 to 13557; 13565; 13597 to 13601; 13650 to 13670; 13801 to 13803; 13805 to 13848; "
      "13850 to 13886; 13928 to 13945; 13980; 15001 to 15020; 15101 to 15351; 15501 to 15502; "
      "15601 to 15608; 15700 to 15742";
  std::vector<uint32_t> expected;
  std::istringstream in(runs);
  std::string run;
  while (std::getline(in, run, ';')) {
    uint32_t first = 0, last = 0;
    std::string to;
    std::istringstream r(run);
    r >> first;
    if (r >> to >> last) {
      for (uint32_t id = first; id <= last; ++id) expected.push_back(id);
    } else {
      expected.push_back(first);
    }
  }
  TQxStringResource& table = MeroErrorStrings();
  EXPECT_EQ(table.Count(), 830u);
  EXPECT_EQ(Ids(table), expected);
  for (uint32_t id : expected) EXPECT_FALSE(table.GetText(id).empty()) << id;
}

TEST(BuiltInTables, ReaderTableHoldsItsFiveMessages) {
  TQxStringResource& table = QxSrMgrStrings();
  ASSERT_EQ(table.Count(), 5u);
  EXPECT_EQ(Ids(table), (std::vector<uint32_t>{1, 2, 3, 4, 5}));
  EXPECT_EQ(table.GetText(1), "String not found: %d");
  EXPECT_EQ(table.GetText(2), "Cannot lock resource");
  EXPECT_EQ(table.GetText(3), "String resource not found: %s");
  EXPECT_EQ(table.GetText(4), "Unable to open string resource: %s");
  EXPECT_EQ(table.GetText(5), "Invalid QRString resource");
}

TEST(BuiltInTables, ProtocolStatusTextsAreExactWithTheirTrailingBlanks) {
  const char* texts[] = {"OK",
                         "Protocol handshaking in progress",
                         "Bad date/time stamp received and ignored",
                         "File rejected",
                         "File renamed",
                         "File skipped",
                         "File doesn't exist locally, skipped",
                         "File skipped ",
                         "Time out in protocol",
                         "Bad checksum or CRC",
                         "Block too long",
                         "Duplicate block received and ignored ",
                         "Error in protocol",
                         "Cancel requested",
                         "At end of file",
                         "B+ host refused resume request",
                         "Block was out of sequence",
                         "Aborting on carrier loss",
                         "Got CrcE packet (Zmodem)",
                         "Got CrcG packet (Zmodem)",
                         "Got CrcW packet (Zmodem)",
                         "Got CrcQ packet (Zmodem)",
                         "B+ is trying to resume a download",
                         "B+ host is resuming"};
  for (uint32_t i = 0; i < 24; ++i) EXPECT_EQ(MeroErrorStrings().GetText(4700 + i), texts[i]) << 4700 + i;
}

TEST(BuiltInTables, DispatchLogNames) {
  TQxStringResource& t = MeroErrorStrings();
  const char* kinds[] = {"No event", "Dispatch", "Trigger", "Error",  "Thread", "TrigAllc", "TrigDisp",
                         "TrgHdAlc", "TrgHdDsp", "TrDatChg", "Telnet", "Fax",    "XModem",   "YModem",
                         "ZModem",   "Kermit",   "Ascii",    "BPlus",  "Packet", "User"};
  for (uint32_t k = 0; k < 20; ++k) EXPECT_EQ(t.GetText(idLogKindNames + k), kinds[k]);
  const char* subKinds[] = {"ReadCom",   "WriteCom",   "Line status", "Modem status", "Avail",     "Timer",
                            "Data",      "Status",     "Start",       "Exit",         "Sleep",     "Wake",
                            "Data",      "Timer",      "Status",      "Avail",        "Window",    "Procedure",
                            "Method",    "Sent WILL",  "Sent WON'T",  "Sent DO",      "Sent DON'T", "Recv WILL",
                            "Recv WON'T", "Recv DO",   "Recv DON'T",  "Command",      "Sent Term"};
  for (uint32_t s = 1; s <= 29; ++s) EXPECT_EQ(t.GetText(idLogSubKindNames + s), subKinds[s - 1]);
  const char* bits[] = {"DCTS ", "DDSR ", "TERI ", "DDCD ", "CTS ", "DSR ", "RI ", "DCD "};
  for (uint32_t b = 0; b < 8; ++b) EXPECT_EQ(t.GetText(idModemBitNames + b), bits[b]);
  EXPECT_EQ(t.GetText(idLogHeader), "Time      Type      SubType       Data      OtherData");
  EXPECT_EQ(t.GetText(idLogHeader + 1), "--------  --------  ------------  --------  ---------");
}

TEST(BuiltInTables, ProtocolStateNamesSitAtTheirBasePlusState) {
  TQxStringResource& t = MeroErrorStrings();
  auto name = [&](uint32_t base, uint32_t state) { return t.GetText(idLogSubKindNames + base + state); };
  EXPECT_EQ(name(skAsciiStates, 0), "taInitial");
  EXPECT_EQ(name(skAsciiStates, 9), "raCollBlock");
  EXPECT_EQ(name(skAsciiStates, 12), "raDone");
  EXPECT_EQ(name(skXmodemStates, 0), "txInitial");
  EXPECT_EQ(name(skXmodemStates, 13), "rxInitial");
  EXPECT_EQ(name(skXmodemStates, 20), "rxDone");
  EXPECT_EQ(name(skYmodemStates, 11), "ryInitial");
  EXPECT_EQ(name(skYmodemStates, 21), "ryDone");
  EXPECT_EQ(name(skZmodemStates, 17), "rzRqstFile");
  EXPECT_EQ(name(skZmodemStates, 36), "rzDone");
  EXPECT_EQ(name(skKermitStates, 21), "rkInit");
  EXPECT_EQ(name(skKermitStates, 31), "rkDone");
  // The runs meet without gaps or overlaps.
  EXPECT_EQ(name(skFaxStates, 0), "tfInitial");
  EXPECT_EQ(t.GetText(idLogSubKindNames + skXmodemStates - 1), "rfWaitFreeSpace");
  EXPECT_EQ(skKermitStates + 32, skAsciiStates);
  EXPECT_EQ(skAsciiStates + 13, skBPlusStates);
  EXPECT_EQ(t.GetText(idTelnetOptionNames + 24), "Terminal type");
}

TEST(BuiltInTables, RepeatedInitialisationKeepsTheSameReaders) {
  TQxStringResource* errors = &MeroErrorStrings();
  TQxStringResource* own = &QxSrMgrStrings();
  InitStringResources();
  InitStringResources();
  EXPECT_EQ(&MeroErrorStrings(), errors);
  EXPECT_EQ(&QxSrMgrStrings(), own);
}

// ---- Lookups -----------------------------------------------------------------

TEST(Lookup, MissingIdentifierGivesAnEmptyTextOrTheReadersErrorWhenReported) {
  EXPECT_EQ(MeroErrorStrings().GetText(7), "");
  EXPECT_EQ(MeroErrorStrings().GetText(0xFFFFFFFFu), "");
  char buffer[8] = "garbage";
  EXPECT_STREQ(MeroErrorStrings().GetTextToBuffer(7, buffer, sizeof buffer), "");

  TQxStringResource table("MERO_ERROR_STRINGS_ENGLISH");
  table.ReportMissing = true;
  EXPECT_EQ(table.GetText(2001), "ie_BadId - Specified comport doesn't exist");
  try {
    table.GetText(7);
    FAIL() << "no error for a missing identifier";
  } catch (const EQrsStringResourceError& e) {
    EXPECT_EQ(e.Message(), "String not found: 7");
  }
  EXPECT_THROW(table.GetTextToBuffer(7, buffer, sizeof buffer), EQrsStringResourceError);
}

TEST(Lookup, GetTextToBufferCutsToTheRoomLeftForTheTerminator) {
  TQxStringResource& t = MeroErrorStrings();
  char buffer[64];
  std::memset(buffer, 'x', sizeof buffer);
  t.GetTextToBuffer(2001, buffer, 20);
  EXPECT_STREQ(buffer, "ie_BadId - Specifie");
  EXPECT_EQ(buffer[20], 'x');  // nothing beyond the room given

  t.GetTextToBuffer(2001, buffer, 43);  // 42 characters and the terminator fit
  EXPECT_STREQ(buffer, "ie_BadId - Specified comport doesn't exist");
  t.GetTextToBuffer(2001, buffer, 42);  // one short: the last character goes
  EXPECT_STREQ(buffer, "ie_BadId - Specified comport doesn't exis");

  std::memset(buffer, 'x', sizeof buffer);
  t.GetTextToBuffer(2001, buffer, 1);
  EXPECT_EQ(buffer[0], '\0');
  EXPECT_EQ(buffer[1], 'x');
  t.GetTextToBuffer(2001, buffer, 0);  // no room at all: nothing written
  EXPECT_EQ(buffer[1], 'x');
  EXPECT_EQ(t.GetTextToBuffer(2001, nullptr, 10), nullptr);
}

class Utf8Cutting : public BlobTest {};

TEST_F(Utf8Cutting, NeverSplitsASequenceOrASurrogatePair) {
  // a (1 byte), e acute (2), euro sign (3), a character outside the BMP (4).
  Register("TEST_UTF", MakeBlob({{1, u"a\u00E9\u20AC\U0001F600"}, {2, std::u16string(1, char16_t(0xD800))}}));
  TQxStringResource t("TEST_UTF");
  EXPECT_EQ(t.GetText(1), "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
  EXPECT_EQ(t.GetText(2), "\xEF\xBF\xBD");  // a lone surrogate
  char buffer[16];
  EXPECT_STREQ(t.GetTextToBuffer(1, buffer, 11), "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
  EXPECT_STREQ(t.GetTextToBuffer(1, buffer, 10), "a\xC3\xA9\xE2\x82\xAC");
  EXPECT_STREQ(t.GetTextToBuffer(1, buffer, 7), "a\xC3\xA9\xE2\x82\xAC");
  EXPECT_STREQ(t.GetTextToBuffer(1, buffer, 6), "a\xC3\xA9");
  EXPECT_STREQ(t.GetTextToBuffer(1, buffer, 3), "a");
  EXPECT_STREQ(t.GetTextToBuffer(1, buffer, 2), "a");
}

class Search : public BlobTest {};

TEST_F(Search, FindsEveryEntryAndNothingBetweenOrBeyond) {
  std::vector<std::pair<uint32_t, std::u16string>> entries;
  for (uint32_t id = 5; id < 3000; id += 7) {
    std::string s = "text " + std::to_string(id);
    entries.push_back({id, std::u16string(s.begin(), s.end())});
  }
  entries.push_back({0xFFFFFFFFu, u"last"});
  Register("TEST_SEARCH", MakeBlob(entries));
  TQxStringResource t("TEST_SEARCH");
  ASSERT_EQ(t.Count(), entries.size());
  for (const auto& [id, text] : entries) {
    EXPECT_EQ(t.GetText(id), std::string(text.begin(), text.end())) << id;
    EXPECT_EQ(t.GetText(id + 1), "") << id + 1;
    EXPECT_EQ(t.GetText(id - 1), "") << id - 1;
  }
  EXPECT_EQ(t.GetText(0), "");
}

TEST_F(Search, EmptyTableAndEmptyTexts) {
  Register("TEST_EMPTY_TABLE", MakeBlob({}));
  TQxStringResource empty("TEST_EMPTY_TABLE");
  EXPECT_EQ(empty.Count(), 0u);
  EXPECT_EQ(empty.GetText(1), "");

  Register("TEST_EMPTY_TEXT", MakeBlob({{3, u""}}));
  TQxStringResource t("TEST_EMPTY_TEXT");
  t.ReportMissing = true;  // present though empty: no error
  EXPECT_EQ(t.GetText(3), "");
}

// ---- Broken resources -----------------------------------------------------------

class BrokenResource : public BlobTest {};

TEST_F(BrokenResource, MissingOrEmptyResourceNamesItself) {
  EXPECT_EQ(OpenError("NO_SUCH_TABLE"), "String resource not found: NO_SUCH_TABLE");
  Register("TEST_NO_DATA", {});
  EXPECT_EQ(OpenError("TEST_NO_DATA"), "Unable to open string resource: TEST_NO_DATA");
}

TEST_F(BrokenResource, NameIsCutTo255Characters) {
  Register(std::string(255, 'N'), MakeBlob({{1, u"found"}}));
  TQxStringResource t(std::string(300, 'N'));
  EXPECT_EQ(t.GetText(1), "found");
}

TEST_F(BrokenResource, WrongMagicOrTruncatedBlobIsInvalid) {
  const std::vector<uint8_t> good = MakeBlob({{1, u"one"}, {2, u"two"}});

  std::vector<uint8_t> magic = good;
  magic[3] = '1';
  Register("TEST_MAGIC", magic);
  EXPECT_EQ(OpenError("TEST_MAGIC"), "Invalid QRString resource");

  Register("TEST_SHORT_HEADER", std::vector<uint8_t>(good.begin(), good.begin() + 6));
  EXPECT_EQ(OpenError("TEST_SHORT_HEADER"), "Invalid QRString resource");

  // Cut inside the entry table, and cut inside the last text.
  Register("TEST_CUT_TABLE", std::vector<uint8_t>(good.begin(), good.begin() + 8 + 12 + 5));
  EXPECT_EQ(OpenError("TEST_CUT_TABLE"), "Invalid QRString resource");
  Register("TEST_CUT_TEXT", std::vector<uint8_t>(good.begin(), good.end() - 1));
  EXPECT_EQ(OpenError("TEST_CUT_TEXT"), "Invalid QRString resource");

  // A count far beyond the data.
  std::vector<uint8_t> count = good;
  count[7] = 0xFF;
  Register("TEST_COUNT", count);
  EXPECT_EQ(OpenError("TEST_COUNT"), "Invalid QRString resource");

  Register("TEST_GOOD", good);
  EXPECT_EQ(OpenError("TEST_GOOD"), "(no error)");
}

TEST_F(BrokenResource, UnsortedOrRepeatedIdentifiersAreInvalid) {
  Register("TEST_UNSORTED", MakeBlob({{2, u"two"}, {1, u"one"}}));
  EXPECT_EQ(OpenError("TEST_UNSORTED"), "Invalid QRString resource");
  Register("TEST_TWICE", MakeBlob({{1, u"one"}, {1, u"again"}}));
  EXPECT_EQ(OpenError("TEST_TWICE"), "Invalid QRString resource");
}

TEST_F(BrokenResource, ReaderErrorIsNotALibraryException) {
  Register("TEST_MAGIC2", {'X', 'T', 'R', '0', 0, 0, 0, 0});
  try {
    TQxStringResource r("TEST_MAGIC2");
    FAIL() << "no error";
  } catch (const EMROException&) {
    FAIL() << "raised as a library exception";
  } catch (const Exception& e) {
    EXPECT_NE(dynamic_cast<const EQrsStringResourceError*>(&e), nullptr);
  }
}

}  // namespace
}  // namespace zav
