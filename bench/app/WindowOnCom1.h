// The bench window as an operator sets it up for a stream benchmark: COM1
// chosen and the rate picked from the list, or typed in when it is not there.
// Error boxes are counted instead of shown.
#pragma once

#include <QComboBox>
#include <QString>
#include <cstdio>
#include <memory>
#include <string>

#include "app/MainForm.h"

namespace zav::bench {

inline std::unique_ptr<TForm1> WindowOnCom1(long baud, int& errorBoxes) {
  SetErrorBox([&errorBoxes](const std::string& text) {
    std::fprintf(stderr, "error box: %s\n", text.c_str());
    ++errorBoxes;
  });
  auto form = std::make_unique<TForm1>();
  form->show();
  form->com->setCurrentIndex(0);
  TForm1::Guard([&] { form->comChange(); });
  const QString rateText = QString::number(baud);
  if (const int listed = form->baud->findText(rateText); listed >= 0) {
    form->baud->setCurrentIndex(listed);
    TForm1::Guard([&] { form->baudChange(); });
  } else {
    form->baud->setEditText(rateText);
    TForm1::Guard([&] { form->baudTyped(); });
  }
  return form;
}

}  // namespace zav::bench
