// The peers are there and a cable carries their bytes: lrzsz sends to itself
// through a cable, the way every protocol test pairs ours with a peer.
#include "tests/interop/InteropSupport.h"

namespace zav::test {
namespace {

TEST_F(InteropTest, PeersAreInstalledAndTalkThroughTheCable) {
  const std::string out = MakeDir("out"), in = MakeDir("in");
  const std::string data = RandomBytes(20000, 1);
  WriteFile(out + "/peer.bin", data);
  const PairResult r = Transfer(StdioPeer({"sz", "-q", "peer.bin"}, out), StdioPeer({"rz", "-q"}, in));
  ASSERT_EQ(r.sender, 0) << Describe(r);
  ASSERT_EQ(r.receiver, 0) << Describe(r);
  EXPECT_EQ(ReadFile(in + "/peer.bin"), data);
  for (const char* peer : {"kermit", "gkermit", "sx", "rx", "sb", "rb"}) {
    Child& found = StartProgram({"sh", "-c", std::string("command -v ") + peer});
    EXPECT_EQ(Wait(found), 0) << peer << " is not installed (scripts/deps installs it)";
  }
}

}  // namespace
}  // namespace zav::test
