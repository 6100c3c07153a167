#include "platform/console.hpp"

#include <sys/uio.h>
#include <unistd.h>

#include "platform/posix/system.hpp"

namespace tolvarin {
namespace {

// Writes the pieces of one line with one call (more only when the system
// takes part of it), straight to standard output: nothing waits in a buffer.
// A console that cannot be written to is no reason to stop converting.
void write_line(iovec* pieces, int count) {
    while (count > 0) {
        const ssize_t put = retry_on_interrupt([&] { return ::writev(STDOUT_FILENO, pieces, count); });
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

}  // namespace

void print_text(std::string_view text) {
    iovec pieces[] = {piece(text)};
    write_line(pieces, 1);
}

void print_path_line(std::string_view prefix, const native_char* path) {
    iovec pieces[] = {piece(prefix), piece(path), piece("\n")};
    write_line(pieces, 3);
}

}  // namespace tolvarin
