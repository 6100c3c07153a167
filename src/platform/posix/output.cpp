// Output files on POSIX systems, written so that a file is never half-written
// under its own name and never written through a link:
//
//   1. the output name is looked at without following links, and refused if
//      it is held by anything but a regular file or a symbolic link, by a
//      file the user could not write or replace, or by the container's own
//      file where it is that file's last name;
//   2. a temporary file ".tolvarin-<16 hex digits>.tmp" is created beside it,
//      exclusively, so no other run and no planted link can be written into;
//   3. the output is written, patched and closed there, every step checked;
//   4. only then is it renamed over the output name, which replaces a link
//      (or a hard-linked file) as a name and leaves whatever it led to as it
//      was.
//
// Every step works relative to a descriptor of the output directory, so
// nothing can be swapped under a path between a check and its use.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/random.h>
#endif

#include <atomic>
#include <cerrno>

#include "platform/output.hpp"
#include "platform/posix/system.hpp"
#include "platform/temporary_name.hpp"

namespace tolvarin {
namespace {

constexpr std::size_t max_io_chunk = std::size_t{1} << 30;

// The temporary files in progress, for the interruption handler, which can
// reach nothing but process-wide state. An entry's directory is -1 when the
// entry is free, -2 while its owner fills in the name, and the descriptor of
// its directory while the file exists. Interruption signals are blocked
// whenever a file is created, renamed or removed together with its entry, so
// the handler never sees an entry that disagrees with the file system.
constexpr int free_entry = -1;
constexpr int claimed_entry = -2;
constexpr std::size_t max_temporaries = 64;

struct temporary_entry {
    std::atomic<int> directory{free_entry};
    char name[temporary_name_size];
};

temporary_entry temporaries[max_temporaries];

constexpr int interruption_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// Async-signal-safe calls only: remove what is in progress, then let the
// signal do what it would have done had the program not caught it.
void on_interruption(int signal_number) {
    for (temporary_entry& entry : temporaries) {
        const int directory = entry.directory.load(std::memory_order_acquire);
        if (directory >= 0) ::unlinkat(directory, entry.name, 0);
    }
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    ::sigaction(signal_number, &fallback, nullptr);
    ::raise(signal_number);
    sigset_t just_this;
    sigemptyset(&just_this);
    sigaddset(&just_this, signal_number);
    ::pthread_sigmask(SIG_UNBLOCK, &just_this, nullptr);
}

// Holds the interruption signals back for the life of the object; one that
// arrives meanwhile is handled when they are let through again.
class interruptions_held {
public:
    interruptions_held() {
        const sigset_t set = interruption_set();
        ::pthread_sigmask(SIG_BLOCK, &set, &previous_);
    }
    ~interruptions_held() { ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
    interruptions_held(const interruptions_held&) = delete;
    interruptions_held& operator=(const interruptions_held&) = delete;

private:
    sigset_t previous_;
};

int claim_entry() {
    for (std::size_t index = 0; index < max_temporaries; ++index) {
        int expected = free_entry;
        if (temporaries[index].directory.compare_exchange_strong(expected, claimed_entry)) {
            return static_cast<int>(index);
        }
    }
    return -1;
}

void release_entry(int index) { temporaries[index].directory.store(free_entry, std::memory_order_release); }

// One seed per run from the system, then a counter through the mixer.
std::uint64_t random_bits() {
    static std::atomic<std::uint64_t> seed{0};
    static std::atomic<std::uint64_t> counter{0};
    std::uint64_t base = seed.load(std::memory_order_relaxed);
    if (base == 0) {
#ifdef __linux__
        if (::getrandom(&base, sizeof base, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof base)) base = 0;
#endif
        if (base == 0) {
            timespec now {};
            ::clock_gettime(CLOCK_REALTIME, &now);
            base = mix_bits(static_cast<std::uint64_t>(now.tv_sec) ^ mix_bits(static_cast<std::uint64_t>(now.tv_nsec)) ^
                       mix_bits(static_cast<std::uint64_t>(::getpid())));
        }
        base |= 1;
        seed.store(base, std::memory_order_relaxed);
    }
    return mix_bits(base ^ mix_bits(counter.fetch_add(1, std::memory_order_relaxed)));
}

// What stands at the output name decides whether the output may replace it.
// `existing` is filled when something does.
bool output_name_usable(int directory, const char* leaf, struct stat& existing, bool& exists) {
    exists = false;
    if (::fstatat(directory, leaf, &existing, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT;
    exists = true;
    if (S_ISLNK(existing.st_mode)) {
        // A link is replaced as a name, whatever it leads to.
    } else if (S_ISREG(existing.st_mode)) {
        // A file the user may not write stays as it is, as it would if it
        // were opened for writing in place.
        if (::faccessat(directory, leaf, W_OK, AT_EACCESS) != 0) return false;
    } else {
        return false;  // a directory, FIFO, device or socket
    }
    // In a sticky directory only the owner of a name (or of the directory)
    // may replace it; find out now rather than at the rename.
    struct stat folder {};
    if (::fstat(directory, &folder) != 0) return false;
    const uid_t user = ::geteuid();
    return !(folder.st_mode & S_ISVTX) || user == 0 || existing.st_uid == user || folder.st_uid == user;
}

// The file an output replaces passes on who may read and write it: its
// permission bits (never set-user-ID, set-group-ID or sticky) and, when root
// runs the program, its owner and group, so that the user who owned it can
// still write it. Set before the first byte is written, so the content is
// never more exposed than the file it replaces. Not every file system keeps
// owners and permissions; the output is good either way, hence no failure.
bool pass_on_access(int descriptor, const struct stat& existing) {
    const bool owner_kept = ::geteuid() != 0 || ::fchown(descriptor, existing.st_uid, existing.st_gid) == 0;
    return ::fchmod(descriptor, existing.st_mode & 0777) == 0 && owner_kept;
}

}  // namespace

sigset_t interruption_set() {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal_number : interruption_signals) sigaddset(&set, signal_number);
    return set;
}

void install_interruption_cleanup() {
    struct sigaction action {};
    action.sa_handler = on_interruption;
    action.sa_mask = interruption_set();
    for (const int signal_number : interruption_signals) {
        struct sigaction previous {};
        if (::sigaction(signal_number, &action, &previous) == 0 && previous.sa_handler == SIG_IGN) {
            ::sigaction(signal_number, &previous, nullptr);  // ignored at start: stays ignored
        }
    }
}

bool open_output_directory(const native_char* directory, output_directory& dir) {
#if defined(O_PATH)
    constexpr int flags = O_PATH | O_DIRECTORY | O_CLOEXEC;  // needs no read permission
#elif defined(O_SEARCH)
    constexpr int flags = O_SEARCH | O_DIRECTORY | O_CLOEXEC;
#else
    constexpr int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif
    dir.descriptor = ::open(directory[0] == '\0' ? "." : directory, flags);
    return dir.descriptor >= 0;
}

void close_output_directory(output_directory& dir) {
    if (dir.descriptor >= 0) ::close(dir.descriptor);
    dir.descriptor = -1;
}

bool create_output(const output_directory& dir, const native_char* leaf, const input_block& input,
                   output_file& file) {
    file = {};
    struct stat existing {};
    bool exists = false;
    if (!output_name_usable(dir.descriptor, leaf, existing, exists)) return false;
    const bool replaces_file = exists && S_ISREG(existing.st_mode);
    const file_identity at_name = identity_of(existing);
    file.replaces_input = replaces_file && input.identity.known && at_name.volume == input.identity.volume &&
                          at_name.file == input.identity.file;
    // The output name is the container's own file, as when the container was
    // given through a symbolic link to it. The rename would take that name
    // away; where it is the file's last, the container would be deleted, so
    // the name is refused. The link count is the one at this name now, not
    // when the container was loaded: an earlier output of this run may have
    // replaced another of its names.
    if (file.replaces_input && existing.st_nlink <= 1) return false;

    const int index = claim_entry();
    if (index < 0) return false;
    temporary_entry& entry = temporaries[index];
    for (std::uint64_t attempt = 0; attempt < 100; ++attempt) {
        make_temporary_name(random_bits(), entry.name);
        const interruptions_held held;
        const int descriptor = ::openat(dir.descriptor, entry.name,
                                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (descriptor >= 0) {
            entry.directory.store(dir.descriptor, std::memory_order_release);
            file.descriptor = descriptor;
            file.entry = index;
            file.open = true;
            file.exists = true;
            break;
        }
        if (errno != EEXIST) break;
    }
    if (!file.exists) {
        release_entry(index);
        return false;
    }
    if (replaces_file) pass_on_access(file.descriptor, existing);
    return true;
}

bool write_output_at(const output_file& file, std::uint64_t offset, const std::uint8_t* data,
                     std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const std::size_t chunk = size - done < max_io_chunk ? size - done : max_io_chunk;
        const ssize_t put = retry_on_interrupt(
            [&] { return ::pwrite(file.descriptor, data + done, chunk, static_cast<off_t>(offset + done)); });
        if (put <= 0) return false;
        done += static_cast<std::size_t>(put);
    }
    return true;
}

bool close_output(output_file& file) {
    const int result = ::close(file.descriptor);
    file.descriptor = -1;
    file.open = false;
    return result == 0;
}

bool commit_output(const output_directory& dir, const native_char* leaf, input_block& input,
                   output_file& file) {
    temporary_entry& entry = temporaries[file.entry];
    bool renamed = false;
    {
        const interruptions_held held;
        renamed = ::renameat(dir.descriptor, entry.name, dir.descriptor, leaf) == 0;
        if (!renamed) ::unlinkat(dir.descriptor, entry.name, 0);
        release_entry(file.entry);
        file.exists = false;
        file.entry = -1;
    }
    // Replacing a hard link of the container drops its link count, which
    // changes its status-change time: that is this run's own doing, not a
    // change to its bytes, so the check, which watches a mapped container
    // through its descriptor, takes the new time as its own.
    if (renamed && file.replaces_input && input.descriptor >= 0) {
        struct stat info {};
        if (::fstat(input.descriptor, &info) == 0) {
            const file_stamp now = stamp_of(info);
            file_stamp unchanged_but_for_links = input.stamp;
            unchanged_but_for_links.changed_seconds = now.changed_seconds;
            unchanged_but_for_links.changed_nanoseconds = now.changed_nanoseconds;
            if (now == unchanged_but_for_links) input.stamp = now;
        }
    }
    return renamed;
}

void discard_output(const output_directory& dir, output_file& file) {
    if (file.open) close_output(file);
    if (file.exists) {
        const interruptions_held held;
        ::unlinkat(dir.descriptor, temporaries[file.entry].name, 0);
        release_entry(file.entry);
        file.exists = false;
        file.entry = -1;
    }
}

}  // namespace tolvarin
