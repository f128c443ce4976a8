// Runs the mero binary as a child process for end-to-end tests: every child is
// tracked and ended in the fixture's teardown, and every file lives in a
// scratch directory removed afterwards.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace zav::test {

struct RunResult {
  int exitCode = -1;  // -1: killed after the time limit
  std::string out, err;
};

class ToolTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Starts mero with `args`; stdin is a pipe kept by the test (StdinFd) when
  // `keepStdin`, else the contents of `input`. stdout and stderr go to files.
  struct Child {
    pid_t pid = -1;
    int stdinFd = -1;
    std::string outPath, errPath;
  };
  Child& Start(const std::vector<std::string>& args, const std::string& input = {}, bool keepStdin = false,
               const std::vector<std::string>& wrapper = {}, int stdinFd = -1);
  // Starts any program (found on PATH) in `cwd` (empty: the test's own). With
  // a `device`, its stdin and stdout are that device opened read-write (how
  // the stdio peers such as sz and gkermit are put on a line); otherwise stdin
  // is empty and stdout goes to a file.
  Child& StartProgram(const std::vector<std::string>& argv, const std::string& cwd = {},
                      const std::string& device = {});
  // Waits for a child's exit (killing it after `limit`).
  int Wait(Child& child, std::chrono::seconds limit = std::chrono::seconds(20));
  RunResult Run(const std::vector<std::string>& args, const std::string& input = {},
                std::chrono::seconds limit = std::chrono::seconds(20), const std::vector<std::string>& wrapper = {});
  std::string Out(const Child& c) const { return ReadFile(c.outPath); }
  std::string Err(const Child& c) const { return ReadFile(c.errPath); }
  void CloseStdin(Child& c);

  // A null-modem cable; its two device paths. With `coms` ("A,B") the ends
  // are also mapped in the override directory.
  std::vector<std::string> StartCable(const std::string& coms = {});
  // A cable with line options (--baud, --delay, --flip, ...); `cable`, when
  // given, receives the child so its stderr can be read after it stopped.
  std::vector<std::string> StartCable(const std::vector<std::string>& options, Child** cable = nullptr);
  // Ends a child with SIGTERM and waits for it.
  int Stop(Child& child, std::chrono::seconds limit = std::chrono::seconds(10));
  // Waits for the child's ready line on stderr ("mero: PORT: open ..."; any
  // port when `port` is empty): printed once the command has finished opening,
  // so what the far end sends from then on is taken. False when the child
  // ended first (or, as a safety net, after `limit`).
  bool WaitReady(const Child& child, const std::string& port = {},
                 std::chrono::seconds limit = std::chrono::seconds(60)) const;
  // The child has ended (it is not reaped: Wait still gives its status).
  static bool Ended(const Child& child);

  static std::string ReadFile(const std::string& path);
  static void WriteFile(const std::string& path, const std::string& data);
  // Polls `done` until it holds or `limit` passes.
  static bool WaitFor(const std::function<bool()>& done, std::chrono::seconds limit = std::chrono::seconds(10));

  std::string dir;       // scratch directory
  std::string portsDir;  // the override directory the children use

 private:
  Child& NewChild();
  std::vector<Child*> children_;
};

}  // namespace zav::test
