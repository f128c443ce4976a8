// Renders the plot view offscreen with a fixed data set (three labelled
// series, 30 s at 100 lines a second, one spike) to a PNG: the picture in
// docs/plot.png. Not a benchmark.
//
//   plot_picture OUT.png
#include <QApplication>
#include <QDoubleSpinBox>
#include <QImage>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/PlotView.h"

int main(int argc, char* argv[]) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: plot_picture OUT.png\n");
    return 2;
  }
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  zav::TPlotView view(nullptr);
  view.resize(640, 560);
  view.WindowBox->setValue(30);
  view.show();
  const int64_t start = 10 * 3'600'000;  // 10:00:00
  for (int i = 0; i < 3000; ++i) {
    const double t = i / 100.0;
    char line[128];
    std::snprintf(line, sizeof line, "temp:%.2f humidity:%.1f current:%.1f\r\n", 21 + 2 * std::sin(t / 5),
                  40 + 3 * std::cos(t / 3) + ((i * 37) % 11) / 10.0,
                  i == 1750 ? 58.0 : 30 + 4 * std::sin(t * 2) + ((i * 53) % 7) / 5.0);
    const int64_t ms = start + i * 10;
    view.Received(reinterpret_cast<const uint8_t*>(line), std::strlen(line), zav::TLogTime{ms, ms});
  }
  view.Refresh();
  QApplication::processEvents();  // the status's new width
  if (!view.grab().save(argv[1], "PNG")) {
    std::fprintf(stderr, "plot_picture: cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
