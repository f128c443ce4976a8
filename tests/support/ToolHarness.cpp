#include "ToolHarness.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace zav::test {

void ToolTest::SetUp() {
  char tmpl[] = "/tmp/mero-tools-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  dir = tmpl;
  portsDir = dir + "/ports";
  setenv("ZAVTERM_PORTS_DIR", portsDir.c_str(), 1);
}

void ToolTest::TearDown() {
  for (Child* c : children_) {
    if (c->pid > 0) {
      kill(c->pid, SIGTERM);
      Wait(*c, std::chrono::seconds(5));
    }
    if (c->stdinFd >= 0) close(c->stdinFd);
    delete c;
  }
  children_.clear();
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
}

namespace {

// Forks and execs argv with the given descriptors as stdin, stdout and stderr.
pid_t Spawn(std::vector<std::string> all, int in, int out, int err, const std::string& cwd) {
  std::vector<char*> argv;
  for (auto& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

}  // namespace

ToolTest::Child& ToolTest::NewChild() {
  auto* c = new Child;
  children_.push_back(c);
  const std::string base = dir + "/child" + std::to_string(children_.size());
  c->outPath = base + ".out";
  c->errPath = base + ".err";
  return *c;
}

ToolTest::Child& ToolTest::Start(const std::vector<std::string>& args, const std::string& input, bool keepStdin,
                                 const std::vector<std::string>& wrapper, int stdinFd) {
  Child& c = NewChild();
  int in[2];
  if (stdinFd >= 0) {
    in[0] = dup(stdinFd);
    in[1] = -1;
  } else if (keepStdin) {
    EXPECT_EQ(pipe2(in, O_CLOEXEC), 0);
  } else {
    const std::string inPath = c.outPath.substr(0, c.outPath.size() - 4) + ".in";
    WriteFile(inPath, input);
    in[0] = open(inPath.c_str(), O_RDONLY | O_CLOEXEC);
    in[1] = -1;
  }
  std::vector<std::string> all = wrapper;
  all.push_back(MERO_BINARY);
  all.insert(all.end(), args.begin(), args.end());
  const int out = open(c.outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const int err = open(c.errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  c.pid = Spawn(all, in[0], out, err, {});
  close(in[0]);
  close(out);
  close(err);
  c.stdinFd = in[1];
  return c;
}

ToolTest::Child& ToolTest::StartProgram(const std::vector<std::string>& argv, const std::string& cwd,
                                        const std::string& device) {
  Child& c = NewChild();
  int in = -1, out = -1;
  if (!device.empty()) {
    in = open(device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    EXPECT_GE(in, 0) << device;
    out = dup(in);
  } else {
    in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    out = open(c.outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  }
  const int err = open(c.errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  c.pid = Spawn(argv, in, out, err, cwd);
  close(in);
  close(out);
  close(err);
  return c;
}

int ToolTest::Stop(Child& child, std::chrono::seconds limit) {
  if (child.pid > 0) kill(child.pid, SIGTERM);
  return Wait(child, limit);
}

void ToolTest::CloseStdin(Child& c) {
  if (c.stdinFd >= 0) close(c.stdinFd);
  c.stdinFd = -1;
}

int ToolTest::Wait(Child& child, std::chrono::seconds limit) {
  if (child.pid <= 0) return -1;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  int status = 0;
  for (;;) {
    const pid_t r = waitpid(child.pid, &status, WNOHANG);
    if (r == child.pid) break;
    if (std::chrono::steady_clock::now() > deadline) {
      kill(child.pid, SIGKILL);
      waitpid(child.pid, &status, 0);
      child.pid = -1;
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  child.pid = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

RunResult ToolTest::Run(const std::vector<std::string>& args, const std::string& input, std::chrono::seconds limit,
                        const std::vector<std::string>& wrapper) {
  Child& c = Start(args, input, false, wrapper);
  RunResult r;
  r.exitCode = Wait(c, limit);
  r.out = Out(c);
  r.err = Err(c);
  return r;
}

std::vector<std::string> ToolTest::StartCable(const std::string& coms) {
  std::vector<std::string> options;
  if (!coms.empty()) options = {"--com", coms};
  return StartCable(options);
}

std::vector<std::string> ToolTest::StartCable(const std::vector<std::string>& options, Child** cable) {
  std::vector<std::string> args{"null-modem"};
  args.insert(args.end(), options.begin(), options.end());
  Child& c = Start(args, {}, true);
  if (cable != nullptr) *cable = &c;
  std::vector<std::string> paths;
  EXPECT_TRUE(WaitFor([&] {
    std::istringstream lines(Out(c));
    paths.clear();
    for (std::string line; std::getline(lines, line);) paths.push_back(line.substr(0, line.find(' ')));
    return paths.size() == 2;
  })) << Err(c);
  return paths;
}

bool ToolTest::Ended(const Child& child) {
  if (child.pid <= 0) return true;
  siginfo_t info{};
  return waitid(P_PID, id_t(child.pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid != 0;
}

bool ToolTest::WaitReady(const Child& child, const std::string& port, std::chrono::seconds limit) const {
  auto ready = [&] {
    std::istringstream lines(Err(child));
    for (std::string line; std::getline(lines, line);) {
      if (line.rfind("mero: ", 0) != 0) continue;
      const size_t at = port.empty() ? line.find(": open", 6) : (line.compare(6, port.size(), port) == 0 ? 6 + port.size() : std::string::npos);
      if (at != std::string::npos && line.compare(at, 6, ": open") == 0) return true;
    }
    return false;
  };
  bool seen = false;
  WaitFor([&] { return (seen = ready()) || Ended(child); }, limit);
  return seen || ready();
}

std::string ToolTest::ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void ToolTest::WriteFile(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary);
  out << data;
}

bool ToolTest::WaitFor(const std::function<bool()>& done, std::chrono::seconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

}  // namespace zav::test
