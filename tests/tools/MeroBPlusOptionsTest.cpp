// mero send and recv with --protocol bplus: options that do not fit together
// are usage errors before any port opens; the help lists the B+ options.
#include "tests/support/ToolHarness.h"

namespace zav::test {
namespace {

using BPlusOptions = ToolTest;

TEST_F(BPlusOptions, WrongCombinationsAreUsageErrors) {
  WriteFile(dir + "/f.bin", "x");
  const std::string f = dir + "/f.bin";
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"recv", "COM1", "--protocol", "bplus", "--role", "initiator"},
           {"recv", "COM1", "--protocol", "bplus", "--get", "f.bin"},
           {"recv", "COM1", "--protocol", "bplus", "--file", "f.bin"},
           {"send", "COM1", "--protocol", "bplus", "--get", "f.bin", f},
           {"send", "COM1", "--protocol", "bplus", "--resume", f},
           {"send", "COM1", "--protocol", "bplus", "--block-size", "1000", f},
           {"send", "COM1", "--protocol", "bplus", "--block-size", "4096", f},
           {"send", "COM1", "--protocol", "bplus", "--window", "6", f},
           {"send", "COM1", "--protocol", "bplus", "--role", "host", f},
           {"send", "COM1", "--protocol", "bplus", "--quote", "some", f},
           {"send", "COM1", "--protocol", "bplus", "--linger", "0", f}}) {
    const RunResult r = Run(args);
    std::string line;
    for (const auto& a : args) line += a + " ";
    EXPECT_EQ(r.exitCode, 2) << line << r.err;
  }
  const RunResult help = Run({"recv", "--help", "--protocol", "bplus"});
  EXPECT_EQ(help.exitCode, 0);
  for (const char* option : {"--role", "--get", "--resume", "--window", "--block-size", "--checksum", "--linger"})
    EXPECT_NE(help.out.find(option), std::string::npos) << option;
}

}  // namespace
}  // namespace zav::test
