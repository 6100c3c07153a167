// The platform's own text: paths and arguments come as wide characters on
// Windows and as bytes elsewhere, and are passed on as they came.
#pragma once

#include <cstddef>

namespace tolvarin {

#ifdef _WIN32
using native_char = wchar_t;
#else
using native_char = char;
#endif

// The longest path that every Windows program can open, terminator included.
inline constexpr std::size_t max_windows_path = 260;

}  // namespace tolvarin
