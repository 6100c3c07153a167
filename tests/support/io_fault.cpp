// Preloaded into the converter by the tests to make file I/O fail on cue.
//   TOLVARIN_READ_FAULT=eio     every read fails with EIO
//   TOLVARIN_READ_FAULT=short   the first read delivers 8 bytes, later ones report
//                               the end of the file, as a file that shrank would
//                               (with either, mapping a file fails, so it is read)
//   TOLVARIN_MAP_FAULT=refuse   mapping a file fails, so it is read instead
//   TOLVARIN_MAP_FAULT=N        a file, once mapped, is truncated to N bytes, as
//                               if another program did it at that moment
//   TOLVARIN_WRITE_FAULT=N      writes to files (write or pwrite) fail with
//                               ENOSPC once N bytes have gone to them (a disk
//                               that fills up)
//   TOLVARIN_PWRITE_FAULT=N     the Nth positioned write at offset 0 fails with
//                               EIO: the converter writes an output's start,
//                               its length patched in, once the rest is written
//   TOLVARIN_CLOSE_FAULT=1      closing a file reports EIO (after closing it),
//                               as a network file system may for lost data
//   TOLVARIN_STOP_AT=write:N    the process stops itself (SIGSTOP) just before
//   TOLVARIN_STOP_AT=rename:N   its Nth write to a file (write or pwrite) or its
//                               Nth rename, so a test can act at that point
//   TOLVARIN_REWRITE_AT=N       just before the Nth write to a file, the file
//   TOLVARIN_REWRITE_FILE=path  at `path` gets the byte at
//   TOLVARIN_REWRITE_OFFSET=k   offset k changed in place, and its access and
//                               modification times set back to what they were:
//                               a change only the status-change time shows
//   TOLVARIN_TRUNCATE_AT=N      just before the Nth write to a file, the file
//   TOLVARIN_TRUNCATE_SIZE=k    at TOLVARIN_REWRITE_FILE is cut to k bytes,
//                               while the program may be reading it on
//                               several threads
// Standard output and error (descriptors 1 and 2) are never affected.
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
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

// The converter writes its outputs from several threads.
std::atomic<long long> bytes_written{0};
int reads = 0;
std::atomic<long long> file_writes{0};
std::atomic<long long> head_writes{0};
long long renames = 0;

bool stop_requested(const char* kind, long long count) {
    const char* set = std::getenv("TOLVARIN_STOP_AT");
    if (set == nullptr) return false;
    const std::size_t length = std::strlen(kind);
    return std::strncmp(set, kind, length) == 0 && set[length] == ':' && std::atoll(set + length + 1) == count;
}

void rewrite_in_place() {
    const char* path = std::getenv("TOLVARIN_REWRITE_FILE");
    const char* offset = std::getenv("TOLVARIN_REWRITE_OFFSET");
    struct stat before {};
    if (path == nullptr || offset == nullptr || stat(path, &before) != 0) std::abort();
    const int file = open(path, O_RDWR);
    unsigned char byte = 0;
    const off_t at = std::atoll(offset);
    if (file < 0 || pread(file, &byte, 1, at) != 1) std::abort();
    byte ^= 0x01;
    static const auto real_pwrite = next_definition<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite");
    if (real_pwrite(file, &byte, 1, at) != 1) std::abort();
    const timespec times[2] = {before.st_atim, before.st_mtim};
    if (futimens(file, times) != 0) std::abort();
    close(file);
}

// Called before every write to a file.
void before_file_write() {
    const long long write_number = ++file_writes;
    const char* rewrite_at = std::getenv("TOLVARIN_REWRITE_AT");
    if (rewrite_at != nullptr && std::atoll(rewrite_at) == write_number) rewrite_in_place();
    const char* truncate_at = std::getenv("TOLVARIN_TRUNCATE_AT");
    if (truncate_at != nullptr && std::atoll(truncate_at) == write_number) {
        const char* path = std::getenv("TOLVARIN_REWRITE_FILE");
        const char* size = std::getenv("TOLVARIN_TRUNCATE_SIZE");
        if (path == nullptr || size == nullptr || truncate(path, std::atoll(size)) != 0) std::abort();
    }
    if (stop_requested("write", write_number)) raise(SIGSTOP);
}

}  // namespace

extern "C" int renameat(int from_directory, const char* from, int to_directory, const char* to) {
    static const auto real = next_definition<int (*)(int, const char*, int, const char*)>("renameat");
    if (stop_requested("rename", ++renames)) raise(SIGSTOP);
    return real(from_directory, from, to_directory, to);
}

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

// A write to a file within what is left of TOLVARIN_WRITE_FAULT's bytes.
template <class Write>
ssize_t within_room(size_t count, Write&& write) {
    const char* limit = std::getenv("TOLVARIN_WRITE_FAULT");
    if (limit == nullptr) return write(count);
    const long long room = std::atoll(limit) - bytes_written.fetch_add(static_cast<long long>(count));
    if (room <= 0) {
        bytes_written -= static_cast<long long>(count);
        errno = ENOSPC;
        return -1;
    }
    const size_t allowed = static_cast<long long>(count) > room ? static_cast<size_t>(room) : count;
    const ssize_t done = write(allowed);
    bytes_written -= static_cast<long long>(count) - (done > 0 ? done : 0);
    return done;
}

extern "C" ssize_t write(int descriptor, const void* buffer, size_t count) {
    static const auto real = next_definition<ssize_t (*)(int, const void*, size_t)>("write");
    if (descriptor <= 2) return real(descriptor, buffer, count);
    before_file_write();
    return within_room(count, [&](size_t allowed) { return real(descriptor, buffer, allowed); });
}

extern "C" ssize_t pwrite(int descriptor, const void* buffer, size_t count, off_t offset) {
    static const auto real = next_definition<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite");
    if (descriptor <= 2) return real(descriptor, buffer, count, offset);
    before_file_write();
    const char* head_fault = std::getenv("TOLVARIN_PWRITE_FAULT");
    if (head_fault != nullptr && offset == 0 && ++head_writes == std::atoll(head_fault)) {
        errno = EIO;
        return -1;
    }
    return within_room(count, [&](size_t allowed) { return real(descriptor, buffer, allowed, offset); });
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
