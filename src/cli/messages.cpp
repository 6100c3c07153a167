#include "cli/messages.hpp"

#include "platform/console.hpp"

namespace tolvarin {

void say(message what, const native_char* path) {
    switch (what) {
        case message::usage:
            print_text("Usage\n");
            print_text("\tTolvarin.exe <Zarqfile>\n");
            return;
        case message::cannot_open: print_path_line("No file or already opened : ", path); return;
        case message::cannot_read: print_path_line("Cannot read file : ", path); return;
        case message::too_large: print_path_line("File too large : ", path); return;
        case message::cannot_write: print_path_line("Cannot write file : ", path); return;
        case message::no_memory: print_text("Cannot alloc memory\n"); return;
    }
}

}  // namespace tolvarin
