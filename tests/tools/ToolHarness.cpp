#include "ToolHarness.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
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

ToolTest::Child& ToolTest::Start(const std::vector<std::string>& args, const std::string& input, bool keepStdin,
                                 const std::vector<std::string>& wrapper, int stdinFd) {
  auto* c = new Child;
  children_.push_back(c);
  const std::string base = dir + "/child" + std::to_string(children_.size());
  c->outPath = base + ".out";
  c->errPath = base + ".err";
  int in[2];
  if (stdinFd >= 0) {
    in[0] = dup(stdinFd);
    in[1] = -1;
  } else if (keepStdin) {
    EXPECT_EQ(pipe2(in, O_CLOEXEC), 0);
  } else {
    const std::string inPath = base + ".in";
    WriteFile(inPath, input);
    in[0] = open(inPath.c_str(), O_RDONLY | O_CLOEXEC);
    in[1] = -1;
  }
  std::vector<std::string> all = wrapper;
  all.push_back(MERO_BINARY);
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  const int out = open(c->outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const int err = open(c->errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out, 1);
    dup2(err, 2);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  close(in[0]);
  close(out);
  close(err);
  c->pid = pid;
  c->stdinFd = in[1];
  return *c;
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
  std::vector<std::string> args{"null-modem"};
  if (!coms.empty()) args.insert(args.end(), {"--com", coms});
  Child& c = Start(args, {}, true);
  std::vector<std::string> paths;
  EXPECT_TRUE(WaitFor([&] {
    std::istringstream lines(Out(c));
    paths.clear();
    for (std::string line; std::getline(lines, line);) paths.push_back(line.substr(0, line.find(' ')));
    return paths.size() == 2;
  })) << Err(c);
  return paths;
}

bool ToolTest::DeviceLocked(const std::string& path) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  const bool locked = flock(fd, LOCK_EX | LOCK_NB) != 0;
  if (!locked) flock(fd, LOCK_UN);
  close(fd);
  return locked;
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
