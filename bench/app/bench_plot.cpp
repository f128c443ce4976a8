// The plot's figures:
//   parse   lines a second through the parser, in each format;
//   draw    the chart of 10 million values (3 series), zoomed out and in,
//           rendered into an image (best of 5);
//   stream  a far end (a child process) sends 3 series at 1000 lines a second
//           through a `mero null-modem --baud 921600` cable (a line paced to
//           that rate) into the bench window's open port with the plot shown;
//           then the plot's saved CSV is compared, row by row, with what was
//           sent.
//
//   bench_plot [STREAM_SECONDS]   (default 10; 0 skips the stream;
//                                  offscreen unless QT_QPA_PLATFORM says otherwise)
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QImage>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/MainForm.h"
#include "bench/app/WindowOnCom1.h"
#include "app/PlotView.h"
#include "app/QtMessagePump.h"
#include "app/TerminalMenu.h"
#include "serial/QxPort.h"
#include "terminal/PlotCsv.h"

#ifndef ZAV_MERO_PATH
#define ZAV_MERO_PATH "mero"  // found on PATH
#endif

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kLinesPerSecond = 1000;
constexpr long kBaud = 921600;

double Since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// The line the far end sends as number i.
std::string DeviceLine(long i) {
  char buf[96];
  std::snprintf(buf, sizeof buf, "%ld,%.4f,%.2f\r\n", i, std::sin(double(i) / 200), 25 + double(i % 1000) / 100);
  return buf;
}

void BenchParse() {
  const struct {
    const char* name;
    const char* format;
    const char* line;
  } cases[] = {{"numbers", "numbers", "12.345,-6.789,1.2e3\r\n"},
               {"labels", "labels", "temp:21.5 rpm:1200 volt:3.3\r\n"},
               {"regex", R"(T=(?<temp>[-\d.]+)C R=(?<rpm>\d+))", "status T=21.5C R=1200 ok\r\n"}};
  for (const auto& c : cases) {
    std::string block;
    for (int i = 0; i < 1000; ++i) block += c.line;
    const int blocks = 500;
    zav::TPlotParser parser(zav::TPlotFormat::FromText(c.format));
    size_t rows = 0;
    const auto start = Clock::now();
    for (int b = 0; b < blocks; ++b) rows += parser.Feed(block, zav::TLogTime{b, b}).size();
    const double s = Since(start);
    std::printf("parse %-8s %zu rows in %.3f s: %.2f M lines/s, %.1f MB/s\n", c.name, rows, s, double(rows) / s / 1e6,
                double(block.size()) * blocks / s / 1e6);
  }
}

// Renders the chart over [t0, t1) and gives the best time of 5, in ms.
double DrawMs(zav::TPlotView& view, double t0, double t1) {
  QImage image(view.Chart()->size(), QImage::Format_RGB32);
  view.Chart()->SetView(t0, t1);
  double best = 1e30;
  for (int r = 0; r < 5; ++r) {
    const auto start = Clock::now();
    view.Chart()->render(&image);
    best = std::min(best, Since(start) * 1000);
  }
  return best;
}

double BenchDraw() {
  zav::TPlotView view(nullptr);
  view.resize(640, 600);
  view.show();
  QApplication::processEvents();  // lays the chart out at its size
  const long rows = 10'000'000 / 3 + 1;
  std::string block;
  for (long i = 0; i < rows; ++i) {
    block += DeviceLine(i);
    if (i % 10'000 == 9'999 || i + 1 == rows) {
      view.Received(reinterpret_cast<const uint8_t*>(block.data()), block.size(), zav::TLogTime{i, i});
      block.clear();
    }
  }
  std::printf("draw: %llu values in %zu series, %zu rows, a chart of %d x %d pixels\n",
              static_cast<unsigned long long>(view.Store().Values()), view.Store().SeriesCount(), view.Store().Rows(),
              view.Chart()->width(), view.Chart()->height());
  const double whole = DrawMs(view, 0, double(rows));
  std::printf("draw all 10 M values: %.2f ms\n", whole);
  if (const char* picture = std::getenv("BENCH_PLOT_PICTURE")) view.Chart()->grab().save(picture);
  std::printf("draw 1%% of them: %.2f ms\n", DrawMs(view, rows * 0.5, rows * 0.51));
  std::printf("draw 1000 rows: %.2f ms\n", DrawMs(view, rows * 0.5, rows * 0.5 + 1000));
  char path[] = "/tmp/zavplot-csv-XXXXXX";
  if (const int fd = mkstemp(path); fd >= 0) {
    close(fd);
    const auto start = Clock::now();
    view.SaveData(path);
    std::printf("save all 10 M values as CSV: %.0f ms, %.0f MB\n", Since(start) * 1000,
                double(std::filesystem::file_size(path)) / 1e6);
    std::remove(path);
  }
  return whole;
}

// The far end: waits for the go byte, then sends `seconds` of lines paced to
// 1000 a second, and exits.
[[noreturn]] void FarEnd(const std::string& device, int go, int seconds) {
  const int master = open(device.c_str(), O_RDWR | O_NOCTTY);
  if (master < 0) _exit(3);
  termios t{};
  tcgetattr(master, &t);
  cfmakeraw(&t);
  tcsetattr(master, TCSANOW, &t);
  char c;
  if (read(go, &c, 1) != 1) _exit(1);
  timespec start{};
  clock_gettime(CLOCK_MONOTONIC, &start);
  long sent = 0;
  const long total = long(seconds) * kLinesPerSecond;
  while (sent < total) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const double elapsed = double(now.tv_sec - start.tv_sec) + double(now.tv_nsec - start.tv_nsec) / 1e9;
    std::string out;
    for (const long due = std::min(total, long(elapsed * kLinesPerSecond) + 1); sent < due; ++sent)
      out += DeviceLine(sent);
    for (size_t at = 0; at < out.size();) {
      const ssize_t n = write(master, out.data() + at, out.size() - at);
      if (n > 0)
        at += size_t(n);
      else if (n < 0 && errno != EINTR && errno != EAGAIN)
        _exit(2);
    }
    usleep(2000);
  }
  tcdrain(master);
  _exit(0);
}

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return double(u.ru_utime.tv_sec) + double(u.ru_utime.tv_usec) / 1e6 + double(u.ru_stime.tv_sec) +
         double(u.ru_stime.tv_usec) / 1e6;
}

// The CSV's value cells, row by row, against the lines sent; gives the rows
// that differ or are missing.
long CompareCsv(const std::string& path, long lines) {
  std::ifstream in(path);
  std::string row;
  std::getline(in, row);  // the header
  long bad = 0, i = 0;
  for (; std::getline(in, row); ++i) {
    std::string cells = row.substr(row.find(',', row.find(',') + 1) + 1);
    std::string sent = DeviceLine(i);
    sent.resize(sent.size() - 2);
    // The CSV writes each number in its shortest form: compare as numbers.
    std::istringstream a(cells), b(sent);
    for (std::string x, y; std::getline(b, y, ',');) {
      if (!std::getline(a, x, ',') || std::stod(x) != std::stod(y)) {
        ++bad;
        break;
      }
    }
  }
  return bad + std::max(0L, lines - i);
}

// `mero null-modem --baud RATE`: its pid, and the two ends' device paths.
pid_t StartCable(std::vector<std::string>& ends) {
  int out[2];
  if (pipe(out) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1);
    close(out[0]);
    const std::string baud = std::to_string(kBaud);
    execlp(ZAV_MERO_PATH, "mero", "null-modem", "--baud", baud.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  std::string text;
  char buf[512];
  for (ssize_t n; std::count(text.begin(), text.end(), '\n') < 2 && (n = read(out[0], buf, sizeof buf)) > 0;)
    text.append(buf, size_t(n));
  close(out[0]);
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) ends.push_back(line.substr(0, line.find(' ')));
  return ends.size() == 2 ? pid : -1;
}

int BenchStream(int argc, char* argv[], int seconds) {
  std::vector<std::string> ends;
  const pid_t cable = StartCable(ends);
  if (cable < 0) {
    std::fprintf(stderr, "bench_plot: the cable (%s null-modem) did not start\n", ZAV_MERO_PATH);
    return 1;
  }
  int goPipe[2];
  if (pipe(goPipe) != 0) return 1;
  const pid_t child = fork();  // before any thread exists
  if (child == 0) {
    close(goPipe[1]);
    FarEnd(ends[1], goPipe[0], seconds);
  }
  close(goPipe[0]);
  namespace fs = std::filesystem;
  char tmpl[] = "/tmp/zavplot-XXXXXX";
  const fs::path dir = mkdtemp(tmpl);
  fs::create_symlink(ends[0], dir / "com1");
  setenv("ZAVTERM_PORTS_DIR", dir.c_str(), 1);

  QApplication app(argc, argv);
  const double draw = BenchDraw();
  zav::TQtMessagePump pump(&app);
  int failures = 0;
  auto form = zav::bench::WindowOnCom1(kBaud, failures);
  zav::TTerminalMenu& menu = *form->TerminalMenu;
  menu.PlotAction->trigger();
  const long lines = long(seconds) * kLinesPerSecond;
  bool ok = !failures && form->MroComPort1->Open();
  double cpu = 0, wall = 0, drainMs = -1;
  if (ok) {
    Clock::time_point start, farEndDone;
    double cpuStart = 0;
    bool running = true;
    QTimer sampler;
    sampler.setInterval(20);
    QObject::connect(&sampler, &QTimer::timeout, [&] {
      if (running && waitpid(child, nullptr, WNOHANG) == child) {
        running = false;
        farEndDone = Clock::now();
        cpu = CpuSeconds() - cpuStart;
        wall = std::chrono::duration<double>(farEndDone - start).count();
      }
      if (!running && (menu.Plot()->Store().Rows() >= size_t(lines) || Since(farEndDone) > 10)) {
        drainMs = Since(farEndDone) * 1000;
        app.quit();
      }
    });
    QTimer::singleShot(200, [&] {
      start = Clock::now();
      cpuStart = CpuSeconds();
      if (write(goPipe[1], "g", 1) != 1) app.quit();
      sampler.start();
    });
    app.exec();
  }
  const std::string csv = (dir / "plot.csv").string();
  zav::TForm1::Guard([&] { menu.Plot()->SaveData(csv); });
  const long bad = ok ? CompareCsv(csv, lines) : lines;
  std::printf(
      "stream: %ld lines of 3 series at %d lines/s, %ld baud, over %.2f s; window CPU %.2f s = %.1f%% of a core\n",
      lines, kLinesPerSecond, kBaud, wall, cpu, wall > 0 ? cpu / wall * 100 : 0);
  std::printf("stream: %zu rows kept (%.0f ms after the far end stopped), %ld rows of the CSV missing or wrong\n",
              menu.Plot()->Store().Rows(), drainMs, bad);
  form.reset();
  zav::SetErrorBox({});
  close(goPipe[1]);
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  kill(cable, SIGTERM);
  waitpid(cable, nullptr, 0);
  fs::remove_all(dir);
  std::printf("RESULT plot_draw_10m %.2f ms\n", draw);
  return ok && bad == 0 && failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char* argv[]) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 10;
  if (seconds < 0) {
    std::fprintf(stderr, "usage: bench_plot [STREAM_SECONDS]\n");
    return 2;
  }
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  BenchParse();
  if (seconds > 0) return BenchStream(argc, argv, seconds);
  QApplication app(argc, argv);
  std::printf("RESULT plot_draw_10m %.2f ms\n", BenchDraw());
  return 0;
}
