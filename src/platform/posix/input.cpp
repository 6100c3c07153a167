#include "platform/input.hpp"

#include <fcntl.h>
#include <setjmp.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/posix/system.hpp"

namespace tolvarin {
namespace {

// Large reads are split so that no single call exceeds what every kernel
// accepts in one go.
constexpr std::size_t max_io_chunk = std::size_t{1} << 30;
constexpr std::uint64_t max_input_size = 0xFFFFFFFFu;

bool read_exactly(int descriptor, std::uint8_t* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const std::size_t chunk = size - done < max_io_chunk ? size - done : max_io_chunk;
        const ssize_t got = retry_on_interrupt([&] { return ::read(descriptor, data + done, chunk); });
        if (got <= 0) return false;
        done += static_cast<std::size_t>(got);
    }
    return true;
}

// A block of the program's own memory, released with free.
input_block owned_block(std::uint8_t* data, std::size_t size) {
    input_block block{};
    block.data = data;
    block.size = size;
    block.owned = data;
    return block;
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
        const ssize_t got = retry_on_interrupt([&] { return ::read(descriptor, data + size, capacity - size); });
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
    block = owned_block(data, size);
    return load_status::loaded;
}

// A mapped file from this size on is read through copies (read_input_at)
// by the translation, into memory it reuses: the first touch of a mapped
// page costs more than copying it on some machines (a virtual machine that
// keeps its own page tables), however the page table entries were made.
// Then only the container walk, the tracks' openings and the rare step
// done again on the image touch the mapping's pages. A smaller file is
// read from the mapping: a few pages.
constexpr std::size_t least_copied_size = std::size_t{1} << 20;

// Maps the file read-only: much cheaper than filling a fresh heap block of
// the same size. The descriptor stays open with the mapping so that changes
// to the file can be noticed.
bool map_file(int descriptor, const struct stat& info, input_block& block) {
    const auto size = static_cast<std::size_t>(info.st_size);
    void* const mapping = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, descriptor, 0);
    if (mapping == MAP_FAILED) return false;
    block.data = static_cast<const std::uint8_t*>(mapping);
    block.size = size;
    block.mapped = size;
    block.descriptor = descriptor;
    block.identity = identity_of(info);
    block.stamp = stamp_of(info);
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
    block = owned_block(data, size);
    // Read into memory, the file still has a name an output could replace.
    block.identity = identity_of(info);
    return load_status::loaded;
}

// Where a fault on the mapped input returns to, for each thread. A signal
// handler can reach nothing but such variables; the handler is installed
// once, at start, and a thread's target is set only while it runs guarded work.
thread_local sigjmp_buf* input_fault_return = nullptr;

void on_input_fault(int) {
    if (input_fault_return != nullptr) siglongjmp(*input_fault_return, 1);
    ::signal(SIGBUS, SIG_DFL);
    ::raise(SIGBUS);
}

}  // namespace

// The handler leaves SIGBUS unblocked while it runs (SA_NODEFER), so that
// jumping out of it needs no signal mask restored: guarded work costs no
// system call.
void install_input_fault_handler() {
    struct sigaction action {};
    action.sa_handler = on_input_fault;
    action.sa_flags = SA_NODEFER;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGBUS, &action, nullptr);
}

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

bool read_input_guarded(function_ref<void()> work) {
    sigjmp_buf fault_return;
    bool completed = false;
    if (sigsetjmp(fault_return, 0) == 0) {
        input_fault_return = &fault_return;
        work();
        completed = true;
    }
    input_fault_return = nullptr;
    return completed;
}

bool input_unchanged(const input_block& block) {
    if (block.mapped == 0) return true;
    struct stat info {};
    return ::fstat(block.descriptor, &info) == 0 && stamp_of(info) == block.stamp;
}

bool input_readable_at(const input_block& block) {
    return block.mapped >= least_copied_size && block.descriptor >= 0;
}

bool read_input_at(const input_block& block, std::uint32_t offset, std::span<std::uint8_t> into) {
    std::size_t done = 0;
    while (done < into.size()) {
        const ssize_t got = retry_on_interrupt([&] {
            return ::pread(block.descriptor, into.data() + done, into.size() - done,
                           static_cast<off_t>(std::uint64_t{offset} + done));
        });
        if (got <= 0) return false;
        done += static_cast<std::size_t>(got);
    }
    return true;
}

}  // namespace tolvarin
