// Bit helpers on 32-bit words.
#pragma once

#include <cstdint>

namespace zav {

constexpr bool FlagIsSet(uint32_t value, uint32_t bits) { return (value & bits) != 0; }
constexpr void SetFlag(uint32_t& value, uint32_t bits) { value |= bits; }
constexpr void ClearFlag(uint32_t& value, uint32_t bits) { value &= ~bits; }

}  // namespace zav
