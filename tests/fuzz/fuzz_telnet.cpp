// The Telnet / Com Port Control decoder of network ports fed what a server
// might send, in pieces of any size, with our own requests in between.
// Checked: the data decoded is never longer than what came, the same stream
// decodes alike however it is split, the replies stay within their cap, and
// data escaped by us comes back whole from a decoder in the same state.
//
// Input: a header byte (piece sizes), then the server's stream; its last
// quarter is also sent through EncodeData and decoded again.
#include <vector>

#include "serial/QwTelnet.h"
#include "tests/fuzz/FuzzInput.h"

namespace {

using zav::telnet::TTelnetClient;

[[noreturn]] void Broken(const char* what) { zav::fuzz::Broken("telnet", what); }

// A request of ours chosen by a byte, as a port's settings change.
void Request(TTelnetClient& c, uint8_t choice) {
  switch (choice % 6) {
    case 0: c.SetBaudRate(uint32_t(choice) * 0x01010101u); break;
    case 1: c.SetDataSize(uint8_t(5 + choice % 4)); break;
    case 2: c.SetParity(uint8_t(1 + choice % 5)); break;
    case 3: c.SetStopSize(uint8_t(1 + choice % 3)); break;
    case 4: c.SetControl(choice); break;
    default: c.PurgeData(uint8_t(1 + choice % 3)); break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zav::fuzz::TFuzzInput in(data, size);
  const int maxPiece = in.Range(1, 64);
  const auto stream = in.Rest();

  TTelnetClient whole, pieces;
  whole.Start();
  pieces.Start();
  std::vector<uint8_t> a(stream.size()), b(stream.size());
  const size_t gotWhole = whole.Receive(stream.data(), stream.size(), a.data());
  if (gotWhole > stream.size()) Broken("more data than bytes");
  a.resize(gotWhole);

  size_t gotPieces = 0;
  for (size_t at = 0; at < stream.size();) {
    const size_t n = std::min<size_t>(size_t(1 + stream[at] % maxPiece), stream.size() - at);
    // Decoding in place, as the device does.
    std::vector<uint8_t> piece(stream.begin() + long(at), stream.begin() + long(at + n));
    const size_t got = pieces.Receive(piece.data(), n, piece.data());
    if (got > n) Broken("more data than bytes in a piece");
    std::copy(piece.begin(), piece.begin() + long(got), b.begin() + long(gotPieces));
    gotPieces += got;
    Request(pieces, stream[at]);
    if (pieces.TakeOutgoing().size() > TTelnetClient::kMaxReplies + 64) Broken("replies beyond their cap");
    at += n;
  }
  b.resize(gotPieces);
  if (a != b) Broken("a split stream decodes differently");
  if (whole.TakeOutgoing().size() > TTelnetClient::kMaxReplies + 64) Broken("replies beyond their cap");
  if (whole.ComPort() != pieces.ComPort() || whole.ModemState() != pieces.ModemState() ||
      whole.Suspended() != pieces.Suspended())
    Broken("a split stream leaves another state");

  // Our data, escaped in the state the stream left, decodes back whole in a
  // decoder that agreed to the same.
  const auto tail = stream.subspan(stream.size() - stream.size() / 4);
  std::vector<uint8_t> encoded;
  whole.EncodeData(tail.data(), tail.size(), encoded);
  TTelnetClient mirror;
  mirror.Start();
  const uint8_t binary[] = {255, 251, 0};  // the far end sends binary ...
  if (whole.SendBinary()) mirror.Receive(binary, 3, std::vector<uint8_t>(3).data());
  std::vector<uint8_t> back(encoded.size());
  back.resize(mirror.Receive(encoded.data(), encoded.size(), back.data()));
  if (!std::equal(back.begin(), back.end(), tail.begin(), tail.end())) Broken("escaped data does not come back");
  return 0;
}
