#include <fcntl.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "platform.hpp"

namespace tolvarin {
namespace {

// Large reads and writes are split so that no single call exceeds what every
// kernel accepts in one go.
constexpr std::size_t max_io_chunk = std::size_t{1} << 30;
constexpr std::uint64_t max_input_size = 0xFFFFFFFFu;

bool read_exactly(int descriptor, std::uint8_t* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const std::size_t chunk = size - done < max_io_chunk ? size - done : max_io_chunk;
        const ssize_t got = ::read(descriptor, data + done, chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        done += static_cast<std::size_t>(got);
    }
    return true;
}

// Pipes and devices have no size to ask for: read them to their end.
load_status read_stream(int descriptor, input_block& block) {
    std::size_t capacity = 1 << 16;
    std::size_t size = 0;
    auto* data = static_cast<std::uint8_t*>(std::malloc(capacity));
    if (data == nullptr) return load_status::no_memory;
    for (;;) {
        if (size == capacity) {
            if (capacity > max_input_size) {
                std::free(data);
                return load_status::too_large;
            }
            auto* grown = static_cast<std::uint8_t*>(std::realloc(data, capacity * 2));
            if (grown == nullptr) {
                std::free(data);
                return load_status::no_memory;
            }
            data = grown;
            capacity *= 2;
        }
        const ssize_t got = ::read(descriptor, data + size, capacity - size);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            std::free(data);
            return load_status::cannot_read;
        }
        if (got == 0) break;
        size += static_cast<std::size_t>(got);
    }
    if (size > max_input_size) {
        std::free(data);
        return load_status::too_large;
    }
    block = {data, size, data};
    return load_status::loaded;
}

std::int64_t modification_time(const struct stat& info) {
    return static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
}

// Maps the file read-only, with its pages brought in at once: much cheaper
// than filling a fresh heap block of the same size. The descriptor stays open
// with the mapping so that changes to the file can be noticed.
bool map_file(int descriptor, const struct stat& info, input_block& block) {
    const auto size = static_cast<std::size_t>(info.st_size);
#ifdef MAP_POPULATE
    constexpr int flags = MAP_PRIVATE | MAP_POPULATE;
#else
    constexpr int flags = MAP_PRIVATE;
#endif
    void* const mapping = ::mmap(nullptr, size, PROT_READ, flags, descriptor, 0);
    if (mapping == MAP_FAILED) return false;
    block.data = static_cast<const std::uint8_t*>(mapping);
    block.size = size;
    block.mapped = size;
    block.descriptor = descriptor;
    block.modified = modification_time(info);
    return true;
}

load_status load_open_file(int descriptor, input_block& block) {
    struct stat info {};
    if (::fstat(descriptor, &info) != 0) return load_status::cannot_read;
    if (S_ISDIR(info.st_mode)) return load_status::cannot_open;
    if (!S_ISREG(info.st_mode)) return read_stream(descriptor, block);
    if (static_cast<std::uint64_t>(info.st_size) > max_input_size) return load_status::too_large;
    const auto size = static_cast<std::size_t>(info.st_size);
    if (size > 0 && map_file(descriptor, info, block)) return load_status::loaded;
    auto* data = static_cast<std::uint8_t*>(std::malloc(size == 0 ? 1 : size));
    if (data == nullptr) return load_status::no_memory;
    if (!read_exactly(descriptor, data, size)) {
        std::free(data);
        return load_status::cannot_read;
    }
    block = {data, size, data};
    return load_status::loaded;
}

}  // namespace

void prepare_process() {
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGXFSZ, SIG_IGN);
}

void print_text(std::string_view text) { std::fwrite(text.data(), 1, text.size(), stdout); }

void print_path_line(std::string_view prefix, const native_char* path) {
    print_text(prefix);
    print_text(path);
    print_text("\n");
}

void flush_console() { std::fflush(stdout); }

load_status load_input(const native_char* path, input_block& block) {
    const int descriptor = ::open(path, O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) return load_status::cannot_open;
    const load_status status = load_open_file(descriptor, block);
    if (block.descriptor != descriptor) ::close(descriptor);
    return status;
}

void release_input(input_block& block) {
    if (block.mapped != 0) ::munmap(const_cast<std::uint8_t*>(block.data), block.mapped);
    if (block.descriptor >= 0) ::close(block.descriptor);
    std::free(block.owned);
    block = {};
}

namespace {

// Where a fault on the mapped input returns to. A signal handler can reach
// nothing else, so this one pointer is process-wide; it is set only while
// read_input_guarded runs.
sigjmp_buf* input_fault_return = nullptr;

void on_input_fault(int) {
    if (input_fault_return != nullptr) siglongjmp(*input_fault_return, 1);
    ::signal(SIGBUS, SIG_DFL);
    ::raise(SIGBUS);
}

}  // namespace

bool read_input_guarded(void (*work)(void*), void* context) {
    struct sigaction action {};
    struct sigaction previous {};
    action.sa_handler = on_input_fault;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGBUS, &action, &previous);
    sigjmp_buf fault_return;
    bool completed = false;
    if (sigsetjmp(fault_return, 1) == 0) {
        input_fault_return = &fault_return;
        work(context);
        completed = true;
    }
    input_fault_return = nullptr;
    ::sigaction(SIGBUS, &previous, nullptr);
    return completed;
}

bool input_unchanged(const input_block& block) {
    if (block.mapped == 0) return true;
    struct stat info {};
    return ::fstat(block.descriptor, &info) == 0 && static_cast<std::size_t>(info.st_size) == block.size &&
           modification_time(info) == block.modified;
}

bool create_output(const native_string& name, output_file& file) {
    // O_NONBLOCK keeps a FIFO of the output's name from blocking the run; such
    // a name is then refused because it is not a regular file.
    const int descriptor =
        ::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK, 0666);
    if (descriptor < 0) return false;
    struct stat info {};
    if (::fstat(descriptor, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(descriptor);
        return false;
    }
    file.descriptor = descriptor;
    return true;
}

bool write_output(output_file& file, const std::uint8_t* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const std::size_t chunk = size - done < max_io_chunk ? size - done : max_io_chunk;
        const ssize_t put = ::write(file.descriptor, data + done, chunk);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        done += static_cast<std::size_t>(put);
    }
    return true;
}

bool write_output_at(output_file& file, std::uint64_t offset, const std::uint8_t* data,
                     std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t put = ::pwrite(file.descriptor, data + done, size - done,
                                     static_cast<off_t>(offset + done));
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        done += static_cast<std::size_t>(put);
    }
    return true;
}

bool close_output(output_file& file) {
    const int result = ::close(file.descriptor);
    file.descriptor = -1;
    return result == 0;
}

void remove_output(const native_string& name) { ::unlink(name.c_str()); }

}  // namespace tolvarin
