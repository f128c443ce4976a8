// The words and captions of the transfer protocols: one table for test
// plans, the bench window and mero, in the order they are offered.
#pragma once

#include <string_view>

#include "protocols/core/QwAbsPcl.h"
#include "protocols/core/QwTPcl.h"

namespace zav {

struct ProtocolWord {
  std::string_view word;     // as plans and mero name it
  TProtocolType type;
  std::string_view caption;  // as the window shows it
  bool carriesNames;         // sends names: a receive goes into a directory
};

inline constexpr ProtocolWord kProtocolWords[] = {
    {"ascii", ptAscii, "ASCII", false},
    {"xmodem", ptXmodem, "Xmodem", false},
    {"xmodem-crc", ptXmodemCRC, "Xmodem-CRC", false},
    {"xmodem-1k", ptXmodem1K, "Xmodem-1K", false},
    {"xmodem-1kg", ptXmodem1KG, "Xmodem-1K-G", false},
    {"ymodem", ptYmodem, "Ymodem", true},
    {"ymodem-g", ptYmodemG, "Ymodem-G", true},
    {"zmodem", ptZmodem, "Zmodem", true},
    {"kermit", ptKermit, "Kermit", true},
    {"bplus", ptBPlus, "B+", true},
};

// The entry of `word`, or null.
inline const ProtocolWord* FindProtocolWord(std::string_view word) {
  for (const ProtocolWord& p : kProtocolWords)
    if (p.word == word) return &p;
  return nullptr;
}

// The entry of `type` (the first one, ASCII, for a type without one).
inline const ProtocolWord& ProtocolWordOf(TProtocolType type) {
  for (const ProtocolWord& p : kProtocolWords)
    if (p.type == type) return p;
  return kProtocolWords[0];
}

// A protocol is offered once it runs both ways (ASCII: the component's own).
inline bool Offered(TProtocolType type) {
  if (type == ptAscii) return true;
  for (int direction : {0, 1})
    if (EngineOf(type).Prepare[direction] == nullptr || EngineOf(type).Handler[direction] == nullptr) return false;
  return true;
}

}  // namespace zav
