// Large pages on Windows need a privilege that ordinary users lack: the
// working memory is plain.
#include <cstdlib>

#include "platform/memory.hpp"

namespace tolvarin {

void* take_working_memory(std::size_t size) { return std::malloc(size); }

void give_back_working_memory(void* block, std::size_t) { std::free(block); }

}  // namespace tolvarin
