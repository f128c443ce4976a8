// A status window for a protocol component: file, bytes, progress, rate,
// elapsed and remaining time, the status text, and a Cancel button that
// aborts the transfer. Shown at the first report of a transfer, hidden at
// the last; a failed transfer can be shown again with its error (ShowOutcome),
// and the button then closes the window.
#pragma once

#include <memory>
#include <string>

#include "protocols/component/QxProtcl.h"

class QDialog;
class QLabel;
class QProgressBar;
class QPushButton;

namespace zav {

class TQxProtocolStatus : public TMroAbstractStatus {
 public:
  explicit TQxProtocolStatus(TComponent* owner);
  ~TQxProtocolStatus() override;

  void RefreshDisplay(bool first, bool last) override;
  // The end of a transfer: a failure (code below 0) shows the window with
  // the error's text and a Close button; success leaves it hidden.
  void ShowOutcome(int32_t code);

  // The display's parts, for tests.
  QDialog* Dialog() const { return dialog_; }
  QLabel* FileLabel() const { return file_; }
  QLabel* BytesLabel() const { return bytes_; }
  QLabel* RateLabel() const { return rate_; }
  QLabel* TimeLabel() const { return time_; }
  QLabel* StatusLabel() const { return status_; }
  QProgressBar* Progress() const { return progress_; }
  QPushButton* CancelButton() const { return cancel_; }

 protected:
  void BuildDisplay() override;
  void ReleaseDisplay() override;
  bool HasDisplay() const override { return dialog_ != nullptr; }
  void ApplyPosition(TPosition v) override;
  void ApplyCtl3D(bool) override {}
  void ApplyVisible(bool v) override;
  void ApplyCaption(const std::string& v) override;
  TPosition DisplayPosition() const override { return TPosition::poScreenCenter; }
  bool DisplayCtl3D() const override { return true; }
  bool DisplayVisible() const override;
  std::string DisplayCaption() const override;

 private:
  QDialog* dialog_ = nullptr;
  QLabel *file_ = nullptr, *bytes_ = nullptr, *rate_ = nullptr, *time_ = nullptr, *status_ = nullptr;
  QProgressBar* progress_ = nullptr;
  QPushButton* cancel_ = nullptr;
};

}  // namespace zav
