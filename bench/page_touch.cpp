// What reading a mapped container costs before any translation: the time to
// enter its page table entries in one call (MADV_POPULATE_READ), to touch each
// of its pages once from the program, and to touch them all again. On a
// machine where the first touch of a page from the program is dear (a virtual
// machine that keeps its own page tables), that first pass is a cost the
// whole program pays and a core converting memory it already holds does not.
// For comparison, the time to read the file into one buffer of 256 KiB,
// piece after piece (the kernel copies, the buffer's pages stay the same).
//   page_touch FILE
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

double milliseconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

std::uint64_t touch_pages(const volatile std::uint8_t* data, std::size_t size, std::size_t page) {
    std::uint64_t sum = 0;
    for (std::size_t offset = 0; offset < size; offset += page) sum += data[offset];
    return sum;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: page_touch FILE\n");
        return 2;
    }
    const int descriptor = ::open(argv[1], O_RDONLY);
    struct stat info {};
    if (descriptor < 0 || ::fstat(descriptor, &info) != 0 || info.st_size == 0) {
        std::fprintf(stderr, "page_touch: cannot read %s\n", argv[1]);
        return 1;
    }
    const auto size = static_cast<std::size_t>(info.st_size);
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    void* const mapping = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, descriptor, 0);
    if (mapping == MAP_FAILED) return 1;
    auto start = std::chrono::steady_clock::now();
#ifdef MADV_POPULATE_READ
    ::madvise(mapping, size, MADV_POPULATE_READ);
#endif
    const double populate = milliseconds_since(start);
    const auto* const data = static_cast<const volatile std::uint8_t*>(mapping);
    start = std::chrono::steady_clock::now();
    std::uint64_t sum = touch_pages(data, size, page);
    const double first = milliseconds_since(start);
    start = std::chrono::steady_clock::now();
    sum += touch_pages(data, size, page);
    const double again = milliseconds_since(start);
    std::vector<std::uint8_t> buffer(std::size_t{256} << 10);
    start = std::chrono::steady_clock::now();
    for (std::size_t offset = 0; offset < size;) {
        const ssize_t got = ::pread(descriptor, buffer.data(), buffer.size(), static_cast<off_t>(offset));
        if (got <= 0) break;
        offset += static_cast<std::size_t>(got);
        sum += buffer[0];
    }
    const double pieces = milliseconds_since(start);
    std::printf("{\"pages\": %zu, \"populate_ms\": %.3f, \"first_touch_ms\": %.3f, \"second_touch_ms\": %.3f, "
                "\"read_in_pieces_ms\": %.3f, \"sum\": %llu}\n",
                size / page, populate, first, again, pieces, static_cast<unsigned long long>(sum));
    return 0;
}
