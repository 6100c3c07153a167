// Preloaded into the converter by the tests to make reading the container
// fail: TOLVARIN_READ_FAULT=eio fails every read with EIO; =short delivers 8
// bytes and then reports the end of the file, as a file that shrank would.
#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

extern "C" ssize_t read(int descriptor, void* buffer, size_t count) {
    using read_function = ssize_t (*)(int, void*, size_t);
    static const auto real_read = reinterpret_cast<read_function>(dlsym(RTLD_NEXT, "read"));
    static int reads = 0;
    const char* mode = std::getenv("TOLVARIN_READ_FAULT");
    if (mode != nullptr && count > 0) {
        if (std::strcmp(mode, "eio") == 0) {
            errno = EIO;
            return -1;
        }
        if (std::strcmp(mode, "short") == 0) {
            return reads++ == 0 ? real_read(descriptor, buffer, count < 8 ? count : 8) : 0;
        }
    }
    return real_read(descriptor, buffer, count);
}
