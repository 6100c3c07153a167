#include "platform/process.hpp"

#include <fcntl.h>
#include <unistd.h>

#include "platform/posix/system.hpp"

namespace tolvarin {

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

}  // namespace tolvarin
