// Console output, all on standard output, in call order. Each call is one
// line, written at once, so an interrupted run still shows what it printed;
// a console that cannot be written to is no reason to stop converting.
#pragma once

#include <string_view>

#include "platform/native.hpp"

namespace tolvarin {

void print_text(std::string_view text);
// `prefix`, then the path exactly as given, then a line break.
void print_path_line(std::string_view prefix, const native_char* path);

}  // namespace tolvarin
