// Working memory for the conversion, whose pages are cheap to touch for the
// first time: the converter's memory is a few MiB touched once, and where
// entering each 4 KiB page costs a fault (dear in a virtual machine that
// keeps its own page tables), pages of 2 MiB take 512 times fewer.
#pragma once

#include <cstddef>

namespace tolvarin {

// A block of `size` bytes, or nullptr. On Linux a block of 1 MiB or more is
// a mapping of its own, 2 MiB-aligned and asked for huge pages (granted
// where transparent huge pages are on for such requests); smaller blocks,
// and every block elsewhere, come from malloc.
void* take_working_memory(std::size_t size);
// Gives back a block of take_working_memory, with the size it was asked for.
void give_back_working_memory(void* block, std::size_t size);

}  // namespace tolvarin
