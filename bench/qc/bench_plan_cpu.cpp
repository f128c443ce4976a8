// What a plan run costs while the unit talks steadily: a far end (a child on
// the master side of a pseudo-terminal) sends text lines at 115200 baud,
// 11520 bytes a second, while `mero test` watches them with an absent step
// (two patterns) for the whole run. Reports the mero process's CPU use, once
// for that plan alone and once with a measured step before it (a value taken
// from the stream, with unit and limits) and the unit's record stored in the
// report directory's database.
//
//   bench_plan_cpu [SECONDS]     (default 10, per run)
#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

namespace {

// One run of mero test on a fresh pseudo-terminal; the CPU share, or -1.
double Run(int seconds, bool measured) {
  int master = -1, slave = -1;
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
    std::perror("openpty");
    return -1;
  }
  termios t{};
  tcgetattr(slave, &t);
  cfmakeraw(&t);
  tcsetattr(slave, TCSANOW, &t);
  const std::string port = ttyname(slave);
  char tmpl[] = "/tmp/bench-plan-XXXXXX";
  const std::string dir = mkdtemp(tmpl);
  std::ofstream plan(dir + "/plan.yaml");
  plan << "name: stream\nline: {baud: 115200}\nsteps:\n";
  if (measured)
    plan << "  - {name: supply, expect: 'V=(\\S+)', measure: {name: v, from: 1, unit: V, min: 3.0, max: 3.6, "
            "marginal: 0.1}, timeout: 2}\n";
  plan << "  - {name: watch, absent: 'FAULT|ERROR \\d+', for: " << seconds << "}\n";
  plan.close();

  // The unit: 115 bytes every 10 ms, the rate of a 115200 baud line.
  const pid_t unit = fork();
  if (unit == 0) {
    const std::string line = "T=21.5 V=3.30 I=120mA state=RUN seq=0000000 ok ok ok ok ok ok ok ok ok ok ok ok ok\r\n";
    auto next = std::chrono::steady_clock::now();
    for (int i = 0; i < (seconds + 2) * 100; ++i) {
      if (write(master, line.data(), line.size()) < 0) _exit(1);
      next += std::chrono::milliseconds(10);
      std::this_thread::sleep_until(next);
    }
    _exit(0);
  }
  const auto start = std::chrono::steady_clock::now();
  const pid_t mero = fork();
  if (mero == 0) {
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    execl(MERO_BINARY, "mero", "test", (dir + "/plan.yaml").c_str(), "--port", port.c_str(), "--report",
          dir.c_str(), nullptr);
    _exit(127);
  }
  int status = 0;
  rusage use{};
  wait4(mero, &status, 0, &use);
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  kill(unit, SIGTERM);
  waitpid(unit, nullptr, 0);
  close(master);
  close(slave);
  const bool stored = std::filesystem::exists(dir + "/results.db");
  std::filesystem::remove_all(dir);
  const double cpu = double(use.ru_utime.tv_sec + use.ru_stime.tv_sec) +
                     double(use.ru_utime.tv_usec + use.ru_stime.tv_usec) / 1e6;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || !stored) {
    std::fprintf(stderr, "mero test did not pass (status %d) or kept no record\n", status);
    return -1;
  }
  std::printf("mero test watched a 115200 baud stream for %.1f s%s: %.3f s of CPU, %.2f%%\n", wall,
              measured ? " with a measurement and its record" : "", cpu, 100.0 * cpu / wall);
  return 100.0 * cpu / wall;
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
  const double plain = Run(seconds, false);
  const double measured = Run(seconds, true);
  if (plain < 0 || measured < 0) return 1;
  std::printf("with the measurement and the record: %+.2f points\n", measured - plain);
  std::printf("RESULT plan_run_cpu_115200 %.2f %%\n", measured);
  return 0;
}
