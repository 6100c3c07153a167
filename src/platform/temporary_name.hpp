// The temporary file an output is written to before it is renamed over its
// name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tolvarin {

// An output is written to a temporary file beside its name first:
// ".tolvarin-" + 16 hex digits + ".tmp". Its length does not grow with the
// output's name, so any output name the file system allows has a temporary
// name it allows too. Room for it, terminator included:
inline constexpr std::size_t temporary_name_size = 31;

template <class Char>
void make_temporary_name(std::uint64_t bits, Char (&name)[temporary_name_size]) {
    Char* at = name;
    for (const char c : std::string_view(".tolvarin-")) *at++ = static_cast<Char>(c);
    for (int shift = 60; shift >= 0; shift -= 4) *at++ = static_cast<Char>("0123456789abcdef"[(bits >> shift) & 0xF]);
    for (const char c : std::string_view(".tmp")) *at++ = static_cast<Char>(c);
    *at = Char(0);
}

// Spreads the bits of a seed or counter over the whole word, so that
// temporary names made from nearby values differ everywhere. The names need
// not be secret: the exclusive create is what keeps runs apart, and the
// spread only makes a clash, and so a retry, unlikely.
inline std::uint64_t mix_bits(std::uint64_t value) {
    value += 0x9E3779B97F4A7C15u;
    value = (value ^ (value >> 30)) * 0xBF58476D1CE4E5B9u;
    value = (value ^ (value >> 27)) * 0x94D049BB133111EBu;
    return value ^ (value >> 31);
}

}  // namespace tolvarin
