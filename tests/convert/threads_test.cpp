// How many threads a conversion runs on: one for the small containers people
// mostly have, which must not pay for threads, whatever the caller asks.
#include <gtest/gtest.h>

#include "convert/threads.hpp"

namespace {

TEST(threads_to_use, only_large_containers_get_threads) {
    constexpr std::uint64_t threshold = std::uint64_t{4} << 20;
    struct row {
        unsigned asked;
        std::uint64_t bytes;
        unsigned processors;
        unsigned threads;
    };
    const row rows[] = {{0, 64 << 10, 8, 1},     {0, threshold - 1, 8, 1},  {8, threshold - 1, 8, 1},
                        {0, threshold, 2, 2},    {0, threshold, 1, 1},      {0, std::uint64_t{1} << 31, 64, 8},
                        {0, std::uint64_t{1} << 31, 8, 8}, {0, std::uint64_t{1} << 31, 0, 1},
                        {3, threshold, 8, 3},    {1, threshold, 8, 1},      {9, threshold, 2, 8},
                        {0xFFFFFFFFu, threshold, 2, 8}};
    for (const row& r : rows) {
        EXPECT_EQ(tolvarin::threads_to_use(r.asked, r.bytes, threshold, r.processors), r.threads)
            << r.asked << " " << r.bytes << " " << r.processors;
    }
    EXPECT_EQ(tolvarin::threaded_track_bytes, threshold);
}

}  // namespace
