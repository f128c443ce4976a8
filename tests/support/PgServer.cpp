#include "tests/support/PgServer.h"

#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <vector>

#include "tests/support/TestSupport.h"

namespace zav::test {

namespace {

namespace fs = std::filesystem;

// The newest server Debian installed: /usr/lib/postgresql/NN/bin.
std::string BinDir() {
  std::string best;
  int bestVersion = -1;
  std::error_code err;
  for (const auto& e : fs::directory_iterator("/usr/lib/postgresql", err)) {
    const std::string name = e.path().filename().string();
    const int version = std::atoi(name.c_str());
    if (version > bestVersion && fs::exists(e.path() / "bin" / "initdb") && fs::exists(e.path() / "bin" / "pg_ctl")) {
      bestVersion = version;
      best = (e.path() / "bin").string();
    }
  }
  return best;
}

int FreePort() {
  const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (s < 0 || bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    if (s >= 0) close(s);
    throw std::runtime_error("no free port for the database server");
  }
  close(s);
  return ntohs(a.sin_port);
}

// The user the server runs as: ourselves, or "postgres" when we are root.
const passwd* ServerUser() { return geteuid() == 0 ? getpwnam("postgres") : nullptr; }

}  // namespace

std::string PgServer::Missing() {
  if (BinDir().empty()) return "no PostgreSQL server binaries under /usr/lib/postgresql (package postgresql)";
  if (geteuid() == 0 && !getpwnam("postgres")) return "running as root and there is no postgres user to run the server";
  return {};
}

PgServer::PgServer() : dir_(std::make_unique<ScratchDir>("zav-pg", false)), bin_(BinDir()) {
  if (const std::string why = Missing(); !why.empty()) throw std::runtime_error(why);
  data_ = (dir_->path() / "data").string();
  log_ = (dir_->path() / "server.log").string();
  if (const passwd* pw = ServerUser()) {
    if (chown(dir_->path().c_str(), pw->pw_uid, pw->pw_gid) != 0)
      throw std::runtime_error("cannot give the server's directory to postgres");
  }
  Run({bin_ + "/initdb", "-D", data_, "-U", "zav", "-A", "trust", "-E", "UTF8", "--locale=C", "--no-sync"},
      "initdb");
  port_ = FreePort();
  Start();
}

PgServer::~PgServer() {
  try {
    Stop();
  } catch (const std::exception&) {
    // The scratch directory goes anyway; a server left behind would show in the log.
  }
}

void PgServer::Start() {
  if (running_) return;
  const std::string options = "-p " + std::to_string(port_) + " -k " + dir_->path().string() +
                              " -c listen_addresses=127.0.0.1 -c fsync=off";
  Run({bin_ + "/pg_ctl", "-D", data_, "-l", log_, "-o", options, "-w", "-t", "60", "start"}, "pg_ctl start");
  running_ = true;
}

void PgServer::Stop() {
  if (!running_) return;
  running_ = false;
  Run({bin_ + "/pg_ctl", "-D", data_, "-m", "fast", "-w", "-t", "60", "stop"}, "pg_ctl stop");
}

std::string PgServer::Url() const { return "postgresql://zav@127.0.0.1:" + std::to_string(port_) + "/postgres"; }

void PgServer::Run(const std::vector<std::string>& argv, const std::string& what) {
  const std::string out = (dir_->path() / "command.out").string();
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const passwd* pw = ServerUser();
  const uid_t uid = pw ? pw->pw_uid : 0;
  const gid_t gid = pw ? pw->pw_gid : 0;
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("cannot start " + what);
  if (pid == 0) {
    const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
      dup2(fd, 1);
      dup2(fd, 2);
    }
    if (pw && (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0)) _exit(126);
    if (chdir(dir_->path().c_str()) != 0) _exit(126);
    execv(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    throw std::runtime_error(what + " failed: " + ReadFile(out) + ReadFile(log_));
}

}  // namespace zav::test
