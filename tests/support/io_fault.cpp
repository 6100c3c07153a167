// Preloaded into the converter by the tests to make file I/O fail on cue.
//   TOLVARIN_READ_FAULT=eio     every read fails with EIO
//   TOLVARIN_READ_FAULT=short   the first read delivers 8 bytes, later ones report
//                               the end of the file, as a file that shrank would
//                               (with either, mapping a file fails, so it is read)
//   TOLVARIN_MAP_FAULT=refuse   mapping a file fails, so it is read instead
//   TOLVARIN_MAP_FAULT=N        a file, once mapped, is truncated to N bytes, as
//                               if another program did it at that moment
//   TOLVARIN_WRITE_FAULT=N      writes to files fail with ENOSPC once N bytes
//                               have gone to them (a disk that fills up)
//   TOLVARIN_PWRITE_FAULT=1     positioned writes fail with EIO
//   TOLVARIN_CLOSE_FAULT=1      closing a file reports EIO (after closing it),
//                               as a network file system may for lost data
// Standard output and error (descriptors 1 and 2) are never affected.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>

namespace {

template <class Function>
Function next_definition(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

bool fault_on(const char* variable, const char* value) {
    const char* set = std::getenv(variable);
    return set != nullptr && std::strcmp(set, value) == 0;
}

long long bytes_written = 0;
int reads = 0;

}  // namespace

extern "C" ssize_t read(int descriptor, void* buffer, size_t count) {
    static const auto real = next_definition<ssize_t (*)(int, void*, size_t)>("read");
    if (count > 0 && fault_on("TOLVARIN_READ_FAULT", "eio")) {
        errno = EIO;
        return -1;
    }
    if (count > 0 && fault_on("TOLVARIN_READ_FAULT", "short")) {
        return reads++ == 0 ? real(descriptor, buffer, count < 8 ? count : 8) : 0;
    }
    return real(descriptor, buffer, count);
}

extern "C" ssize_t write(int descriptor, const void* buffer, size_t count) {
    static const auto real = next_definition<ssize_t (*)(int, const void*, size_t)>("write");
    const char* limit = std::getenv("TOLVARIN_WRITE_FAULT");
    if (descriptor > 2 && limit != nullptr) {
        const long long room = std::atoll(limit) - bytes_written;
        if (room <= 0) {
            errno = ENOSPC;
            return -1;
        }
        if (static_cast<long long>(count) > room) count = static_cast<size_t>(room);
        const ssize_t done = real(descriptor, buffer, count);
        if (done > 0) bytes_written += done;
        return done;
    }
    return real(descriptor, buffer, count);
}

extern "C" ssize_t pwrite(int descriptor, const void* buffer, size_t count, off_t offset) {
    static const auto real = next_definition<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite");
    if (descriptor > 2 && fault_on("TOLVARIN_PWRITE_FAULT", "1")) {
        errno = EIO;
        return -1;
    }
    return real(descriptor, buffer, count, offset);
}

extern "C" int close(int descriptor) {
    static const auto real = next_definition<int (*)(int)>("close");
    const int result = real(descriptor);
    if (descriptor > 2 && result == 0 && fault_on("TOLVARIN_CLOSE_FAULT", "1")) {
        errno = EIO;
        return -1;
    }
    return result;
}

extern "C" void* mmap(void* address, size_t length, int protection, int flags, int descriptor, off_t offset) {
    static const auto real = next_definition<void* (*)(void*, size_t, int, int, int, off_t)>("mmap");
    const char* map_fault = std::getenv("TOLVARIN_MAP_FAULT");
    if (descriptor > 2 && (std::getenv("TOLVARIN_READ_FAULT") != nullptr ||
                           (map_fault != nullptr && std::strcmp(map_fault, "refuse") == 0))) {
        errno = ENODEV;
        return MAP_FAILED;
    }
    void* const mapping = real(address, length, protection, flags, descriptor, offset);
    if (descriptor > 2 && map_fault != nullptr && mapping != MAP_FAILED) {
        char path[64];
        std::snprintf(path, sizeof path, "/proc/self/fd/%d", descriptor);
        const int writable = open(path, O_WRONLY);
        if (writable < 0 || ftruncate(writable, std::atoll(map_fault)) != 0) std::abort();
        close(writable);
    }
    return mapping;
}
