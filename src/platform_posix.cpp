#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
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

// Which file the container is, and what the change check compares, taken
// field by field: no arithmetic on times, which may lie anywhere in their
// range. The times are consulted for a mapped file only.
void remember_file_state(const struct stat& info, input_block& block) {
    block.identified = true;
    block.device = static_cast<std::uint64_t>(info.st_dev);
    block.inode = static_cast<std::uint64_t>(info.st_ino);
    block.modified_seconds = static_cast<std::int64_t>(info.st_mtim.tv_sec);
    block.modified_nanoseconds = static_cast<std::int64_t>(info.st_mtim.tv_nsec);
    block.changed_seconds = static_cast<std::int64_t>(info.st_ctim.tv_sec);
    block.changed_nanoseconds = static_cast<std::int64_t>(info.st_ctim.tv_nsec);
}

// Maps the file read-only: much cheaper than filling a fresh heap block of
// the same size. Its pages come in as the threads that read them touch them,
// spread over those threads, rather than all at once before any can start.
// The descriptor stays open with the mapping so that changes to the file can
// be noticed.
bool map_file(int descriptor, const struct stat& info, input_block& block) {
    const auto size = static_cast<std::size_t>(info.st_size);
    void* const mapping = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, descriptor, 0);
    if (mapping == MAP_FAILED) return false;
    block.data = static_cast<const std::uint8_t*>(mapping);
    block.size = size;
    block.mapped = size;
    block.descriptor = descriptor;
    remember_file_state(info, block);
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
    remember_file_state(info, block);
    return load_status::loaded;
}

// Writes the pieces of one line with one call (more only when the system
// takes part of it), straight to standard output: nothing waits in a buffer.
// A console that cannot be written to is no reason to stop converting.
void write_line(iovec* pieces, int count) {
    while (count > 0) {
        const ssize_t put = ::writev(STDOUT_FILENO, pieces, count);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return;
        auto done = static_cast<std::size_t>(put);
        while (count > 0 && done >= pieces->iov_len) {
            done -= pieces->iov_len;
            ++pieces;
            --count;
        }
        if (count > 0) {
            pieces->iov_base = static_cast<char*>(pieces->iov_base) + done;
            pieces->iov_len -= done;
        }
    }
}

iovec piece(std::string_view text) { return {const_cast<char*>(text.data()), text.size()}; }

// Where a fault on the mapped input returns to, for each thread. A signal
// handler can reach nothing but such variables; the handler is installed
// once, at start, and a thread's target is set only while it runs guarded work.
thread_local sigjmp_buf* input_fault_return = nullptr;

void on_input_fault(int) {
    if (input_fault_return != nullptr) siglongjmp(*input_fault_return, 1);
    ::signal(SIGBUS, SIG_DFL);
    ::raise(SIGBUS);
}

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

struct worker_start {
    const function_ref<void()>* entry;
#ifdef __linux__
    bool moved;
    cpu_set_t allowed;  // the process's processors, given back once running
#endif
};

void* run_worker(void* start) {
    const worker_start what = *static_cast<worker_start*>(start);
    std::free(start);
#ifdef __linux__
    if (what.moved) ::sched_setaffinity(0, sizeof what.allowed, &what.allowed);
#endif
    (*what.entry)();
    return nullptr;
}

}  // namespace

void prepare_process() {
    // A descriptor 0-2 that is closed would go to the next file opened, and
    // console text would land in an output. Fill the gap with the null device
    // (or, failing that, the root directory, which cannot be written either).
    for (int standard = 0; standard <= 2; ++standard) {
        if (::fcntl(standard, F_GETFD) != -1 || errno != EBADF) continue;
        int filler = ::open("/dev/null", O_RDWR);
        if (filler < 0) filler = ::open("/", O_RDONLY | O_DIRECTORY);
        if (filler >= 0 && filler != standard) {
            ::dup2(filler, standard);
            ::close(filler);
        }
    }
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGXFSZ, SIG_IGN);
    install_input_fault_handler();
    install_interruption_cleanup();
}

void print_text(std::string_view text) {
    iovec pieces[] = {piece(text)};
    write_line(pieces, 1);
}

void print_path_line(std::string_view prefix, const native_char* path) {
    iovec pieces[] = {piece(prefix), piece(path), piece("\n")};
    write_line(pieces, 3);
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

bool start_worker(const function_ref<void()>& entry, worker_thread& thread) {
    auto* const start = static_cast<worker_start*>(std::malloc(sizeof(worker_start)));
    if (start == nullptr) return false;
    start->entry = &entry;
#ifdef __linux__
    // A new thread starts on the creating thread's processor and waits there
    // until the scheduler moves it, which takes long enough to matter when
    // another program keeps the other processors busy. It starts on another
    // of the process's processors instead, and may go anywhere once running.
    pthread_attr_t attributes;
    pthread_attr_t* use = nullptr;
    start->moved = false;
    if (::sched_getaffinity(0, sizeof start->allowed, &start->allowed) == 0 && CPU_COUNT(&start->allowed) > 1 &&
        ::pthread_attr_init(&attributes) == 0) {
        cpu_set_t elsewhere = start->allowed;
        const int here = ::sched_getcpu();
        if (here >= 0) CPU_CLR(static_cast<std::size_t>(here), &elsewhere);
        if (CPU_COUNT(&elsewhere) > 0 && ::pthread_attr_setaffinity_np(&attributes, sizeof elsewhere, &elsewhere) == 0) {
            start->moved = true;
            use = &attributes;
        } else {
            ::pthread_attr_destroy(&attributes);
        }
    }
#else
    pthread_attr_t* const use = nullptr;
#endif
    // The new thread takes the signal mask of this one: interruptions blocked.
    const sigset_t interruptions = interruption_set();
    sigset_t previous;
    ::pthread_sigmask(SIG_BLOCK, &interruptions, &previous);
    const bool started = ::pthread_create(&thread.handle, use, run_worker, start) == 0;
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
#ifdef __linux__
    if (use != nullptr) ::pthread_attr_destroy(use);
#endif
    if (!started) std::free(start);
    return started;
}

void join_worker(worker_thread& thread) { ::pthread_join(thread.handle, nullptr); }

bool input_unchanged(const input_block& block) {
    if (block.mapped == 0) return true;
    struct stat info {};
    return ::fstat(block.descriptor, &info) == 0 && static_cast<std::size_t>(info.st_size) == block.size &&
           static_cast<std::int64_t>(info.st_mtim.tv_sec) == block.modified_seconds &&
           static_cast<std::int64_t>(info.st_mtim.tv_nsec) == block.modified_nanoseconds &&
           static_cast<std::int64_t>(info.st_ctim.tv_sec) == block.changed_seconds &&
           static_cast<std::int64_t>(info.st_ctim.tv_nsec) == block.changed_nanoseconds;
}

}  // namespace tolvarin
