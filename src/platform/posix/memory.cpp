#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>

#include "platform/memory.hpp"

namespace tolvarin {
namespace {

#if defined(__linux__) && defined(MADV_HUGEPAGE)
constexpr std::size_t huge_page = std::size_t{2} << 20;
constexpr std::size_t mapped_from = std::size_t{1} << 20;

std::size_t mapped_size(std::size_t size) { return (size + huge_page - 1) / huge_page * huge_page; }
#endif

}  // namespace

void* take_working_memory(std::size_t size) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (size >= mapped_from && size <= SIZE_MAX - 2 * huge_page) {
        // Mapped with a huge page's worth to spare, the ends trimmed so that
        // what stays starts on a huge page's boundary: the kernel gives huge
        // pages only to whole aligned 2 MiB stretches.
        const std::size_t length = mapped_size(size);
        void* const mapped =
            ::mmap(nullptr, length + huge_page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapped == MAP_FAILED) return nullptr;
        const auto start = reinterpret_cast<std::uintptr_t>(mapped);
        const std::uintptr_t aligned = (start + huge_page - 1) / huge_page * huge_page;
        if (aligned > start) ::munmap(mapped, aligned - start);
        if (const std::uintptr_t tail = start + huge_page - aligned; tail > 0) {
            ::munmap(reinterpret_cast<void*>(aligned + length), tail);
        }
        // Only advice: without huge pages the block is ordinary memory.
        ::madvise(reinterpret_cast<void*>(aligned), length, MADV_HUGEPAGE);
        return reinterpret_cast<void*>(aligned);
    }
#endif
    return std::malloc(size);
}

void give_back_working_memory(void* block, std::size_t size) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (size >= mapped_from && size <= SIZE_MAX - 2 * huge_page) {
        ::munmap(block, mapped_size(size));
        return;
    }
#endif
    std::free(block);
}

}  // namespace tolvarin
