// Renders the plot offscreen with a fixed data set (three labelled series,
// 30 s at 100 lines a second, one spike) to a PNG: the plot view alone
// (docs/plot.png), or with --window the bench window with the plot beside
// its terminal (docs/zavterm-plot.png). Not a benchmark.
//
//   plot_picture OUT.png [--window]
#include <QAction>
#include <QApplication>
#include <QDoubleSpinBox>
#include <QImage>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "app/MainForm.h"
#include "app/PlotView.h"
#include "app/TerminalMenu.h"

namespace {

// The device's lines, 10 ms apart from 10:00:00.
void FeedData(zav::TPlotView& view) {
  const int64_t start = 10 * 3'600'000;
  for (int i = 0; i < 3000; ++i) {
    const double t = i / 100.0;
    char line[128];
    std::snprintf(line, sizeof line, "temp:%.2f humidity:%.1f current:%.1f\r\n", 21 + 2 * std::sin(t / 5),
                  40 + 3 * std::cos(t / 3) + ((i * 37) % 11) / 10.0,
                  i == 1750 ? 58.0 : 30 + 4 * std::sin(t * 2) + ((i * 53) % 7) / 5.0);
    const int64_t ms = start + i * 10;
    view.Received(reinterpret_cast<const uint8_t*>(line), std::strlen(line), zav::TLogTime{ms, ms});
  }
}

}  // namespace

int main(int argc, char* argv[]) {
  const bool window = argc == 3 && std::strcmp(argv[2], "--window") == 0;
  if (argc != 2 && !window) {
    std::fprintf(stderr, "usage: plot_picture OUT.png [--window]\n");
    return 2;
  }
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  std::unique_ptr<zav::TForm1> form;
  std::unique_ptr<zav::TPlotView> alone;
  zav::TPlotView* view = nullptr;
  if (window) {
    form = std::make_unique<zav::TForm1>();
    form->show();
    form->TerminalMenu->PlotAction->trigger();
    view = form->TerminalMenu->Plot();
  } else {
    alone = std::make_unique<zav::TPlotView>(nullptr);
    alone->resize(640, 560);
    alone->show();
    view = alone.get();
  }
  view->WindowBox->setValue(30);
  FeedData(*view);
  view->Refresh();
  QApplication::processEvents();  // the status's new width
  QWidget* shown = window ? static_cast<QWidget*>(form.get()) : view;
  if (!shown->grab().save(argv[1], "PNG")) {
    std::fprintf(stderr, "plot_picture: cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
