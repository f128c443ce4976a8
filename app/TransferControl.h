// The bench window's transfers other than an ASCII send: the protocol
// choice, Receive, Zmodem auto-receive, the status window, and the start and
// end of each transfer through the window's protocol component.
//
// GUI thread only. The window owns it and its controls; handlers raise the
// components' exceptions and the controls call them through TForm1::Guard.
#pragma once

#include <QFont>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "protocols/core/QwAbsPcl.h"

class QCheckBox;
class QComboBox;
class QPushButton;
class QWidget;

namespace zav {

class TMroCustomProtocol;
class TMroProtocol;
class TQxProtocolStatus;
class TQxTerminal;

class TTransferControl {
 public:
  // Puts the controls on `window` in the row between Send and the terminal's
  // font button; `terminal` lets go of the port's bytes while a transfer runs.
  TTransferControl(QWidget* window, TMroProtocol* protocol, TQxTerminal* terminal, const QFont& font);
  ~TTransferControl();
  TTransferControl(const TTransferControl&) = delete;
  TTransferControl& operator=(const TTransferControl&) = delete;

  // The protocol Send and Receive use: ASCII (Send as the file panel does),
  // then every protocol with an engine both ways. The item data is the TProtocolType.
  QComboBox* ProtocolBox;
  QPushButton* ReceiveButton;
  QCheckBox* ZmodemAutoReceive;
  // The status window of every transfer but an ASCII send.
  std::unique_ptr<TQxProtocolStatus> StatusWindow;

  // Asks where a receive goes: a directory (`directory` true, for the
  // protocols that carry names) or a file to create, starting at `start`.
  // Nothing for a cancel. Tests replace the dialogs through this hook.
  using TTargetChooser = std::function<std::optional<std::string>(bool directory, const std::string& start)>;
  TTargetChooser TargetChooser;

  // The protocol chosen in ProtocolBox.
  TProtocolType ChosenProtocol() const;
  // The directory of the last receive (kept between runs); the working
  // directory before the first, or when the kept one is gone.
  std::string LastDirectory() const;
  void SetLastDirectory(const std::string& dir);
  // A transfer (the window's or a plan's) has started and not yet finished.
  bool Running() const { return running_ || plan_ != nullptr; }

  void ReceiveClick();
  void ProtocolBoxChange();
  // Starts a transfer: the terminal lets go of the port's bytes and the
  // status window follows the transfer until it ends. `unasked`: a Zmodem
  // receive the peer started (auto-receive), which never replaces an
  // existing file whatever the sender's option.
  void Start(TProtocolType type, bool transmit, const std::string& target, bool unasked = false);
  // A QC plan's transfer, run by the plan's own component: the status
  // window follows it and the terminal lets go of the port's bytes until it
  // ends.
  void PlanTransferBegan(TMroCustomProtocol& protocol, bool transmit);
  void PlanTransferEnded(int32_t code);
  // The end of every transfer, from the protocol component's finish report.
  void Finished(int32_t code);
  // The port's device went away: a running transfer ends now, with that as
  // its reason, rather than by its time-outs.
  void DeviceGone();
  // The terminal's bytes, watched for a Zmodem sender's request to start.
  void WatchForZmodem(const uint8_t* data, size_t count);

 private:
  void StartZmodemAutoReceive();

  QWidget* window_;
  TMroProtocol* protocol_;
  TQxTerminal* terminal_;
  bool running_ = false;
  TMroCustomProtocol* plan_ = nullptr;  // a plan's transfer runs on it
  bool deviceGone_ = false;
  // The longest tail of the terminal's bytes that begins a Zmodem request.
  size_t zmodemMatched_ = 0;
};

}  // namespace zav
