// Entry point: the build banner is fixed when this file is compiled.
#include "cli/driver.hpp"

namespace {
constexpr char banner[] = "Tolvarin BuildDate:[" __DATE__ " " __TIME__ "]\n";
}

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) { return tolvarin::run(argc, argv, banner); }
#else
int main(int argc, char** argv) { return tolvarin::run(argc, argv, banner); }
#endif
