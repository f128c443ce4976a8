// The history log: one entry per log code appended to a text file with CR LF
// line ends, opened and closed for each entry.
#include <langinfo.h>
#include <locale.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <string>

#include "protocols/core/QwTPcl.h"
#include "protocols/component/QxProtcl.h"
#include "serial/QxExcept.h"

namespace zav {

namespace {

std::string LocalDateTime() {
  const time_t now = time(nullptr);
  tm lt {};
  localtime_r(&now, &lt);
  return HistoryDateTime(lt, "");
}

[[noreturn]] void RaiseIo(int err) {
  const int32_t code = err == ENOENT ? 2 : err == EACCES || err == EPERM ? 5 : err == ENOSPC ? 101 : err;
  throw EInOutError(ErrorText(-code), code);
}

// "m:ss" of the elapsed ticks, padded on the left to six characters.
std::string ElapsedText(int32_t ticks) {
  const int64_t s = (int64_t(ticks) + 9) * 92 / 1675;
  char text[32];
  snprintf(text, sizeof text, "%lld:%02lld", static_cast<long long>(s / 60), static_cast<long long>(s % 60));
  std::string out = text;
  if (out.size() < 6) out.insert(0, 6 - out.size(), ' ');
  return out;
}

}  // namespace

std::string HistoryDateTime(const tm& when, const char* localeName) {
  // The locale's own object: the process's locale is never changed here.
  locale_t loc = newlocale(LC_TIME_MASK, localeName, locale_t(0));
  if (loc == locale_t(0)) loc = newlocale(LC_TIME_MASK, "C", locale_t(0));
  std::string date = nl_langinfo_l(D_FMT, loc);
  // The year always with four digits, as the log's own example writes it.
  for (size_t at = date.find("%D"); at != std::string::npos; at = date.find("%D")) date.replace(at, 2, "%m/%d/%y");
  for (size_t at = date.find("%y"); at != std::string::npos; at = date.find("%y", at)) date[at + 1] = 'Y';
  char text[128];
  const size_t n = strftime_l(text, sizeof text, (date + " %X").c_str(), &when, loc);
  freelocale(loc);
  return std::string(text, n);
}

std::function<std::string()> TMroProtocolLog::DateTimeText = LocalDateTime;

TMroProtocolLog::TMroProtocolLog(TComponent* owner) : TMroProtocolServant(owner) {}

TMroProtocolLog::~TMroProtocolLog() {
  AnnounceRemoval();
  if (FProtocol != nullptr && FProtocol->ProtocolLog() == this) FProtocol->SetProtocolLog(nullptr);
}

void TMroProtocolLog::WriteLogEntry(uint16_t code) {
  if (HistoryName.empty()) return;
  FILE* f = fopen(HistoryName.c_str(), "ab");
  if (f == nullptr) RaiseIo(errno);
  std::string text;
  if (FProtocol != nullptr) {
    TMroCustomProtocol& p = *FProtocol;
    const std::string name = ProtocolName(p.ProtocolType());
    const std::string dir = code <= 3 ? " receive " : " transmit ";
    const std::string file = p.FileName();
    std::string status = StatusText(p.ProtocolStatus());
    // A failure by an error (a file that could not be made, say) names the
    // error, never the "OK" of a status nothing changed.
    const bool failed = code == lfReceiveFail || code == lfTransmitFail;
    if (failed && p.ProtocolError() != 0 && p.ProtocolStatus() == psOK) status = ErrorText(p.ProtocolError());
    switch (code) {
      case lfReceiveStart:
      case lfTransmitStart:
        text = name + dir + "started on  " + DateTimeText() + " : " + file + "\r\n";
        break;
      case lfReceiveOk:
      case lfTransmitOk: {
        const int32_t ticks = p.ElapsedTicks();
        const int64_t secs = (int64_t(ticks) + 9) * 92 / 1675;
        const int64_t len = p.SrcFileLen();
        const int64_t cps = ticks >= 18 && secs > 0 ? len / secs : len;
        text = name + dir + "finished OK " + DateTimeText() + " : " + file + "\r\n" + "   Elapsed time: " +
               ElapsedText(ticks) + "   CPS: " + std::to_string(cps) + "   Size: " + std::to_string(len) +
               "\r\n\r\n";
        break;
      }
      case lfReceiveFail: text = name + " receive failed " + file + " " + status + "\r\n\r\n"; break;
      case lfReceiveSkip: text = name + " receive skipped " + file + " " + status + "\r\n\r\n"; break;
      case lfTransmitFail: text = name + " transmit failed " + file + " " + status + "\r\n\r\n"; break;
      case lfTransmitSkip: text = name + " transmit skipped " + file + " " + status + "\r\n\r\n"; break;
      default: break;
    }
  }
  const bool wrote = text.empty() || fwrite(text.data(), 1, text.size(), f) == text.size();
  const int writeErr = errno;
  if (FProtocol != nullptr && code == lfReceiveFail) {
    const int32_t error = FProtocol->ProtocolError();
    const TProtocolType type = FProtocol->ProtocolType();
    bool remove = false;
    if (DeleteFailed == TDeleteFailed::dfAlways)
      remove = error != ecCantWriteFile;
    else if (DeleteFailed == TDeleteFailed::dfNonRecoverable)
      remove = type != ptZmodem && type != ptBPlus && error != ecCantWriteFile;
    if (remove) std::remove(FProtocol->FileName().c_str());
  }
  const int closed = fclose(f);
  const int closeErr = errno;
  if (!wrote) RaiseIo(writeErr);
  if (closed != 0) RaiseIo(closeErr);
}

}  // namespace zav
