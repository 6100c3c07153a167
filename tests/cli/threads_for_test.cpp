// How many threads the command line asks the library for: one for the small
// containers people mostly have, which must not pay for threads.
#include <gtest/gtest.h>

#include "cli/driver.hpp"

namespace {

TEST(threads_for, only_large_containers_get_threads) {
    struct row {
        std::uint64_t bytes;
        unsigned processors;
        unsigned threads;
    };
    const row rows[] = {{64 << 10, 8, 1}, {(4 << 20) - 1, 8, 1}, {4 << 20, 2, 2}, {4 << 20, 1, 1},
                        {std::uint64_t{1} << 31, 64, 8}, {std::uint64_t{1} << 31, 8, 8}, {std::uint64_t{1} << 31, 0, 1}};
    for (const row& r : rows) EXPECT_EQ(tolvarin::threads_for(r.bytes, r.processors), r.threads) << r.bytes << " " << r.processors;
}

}  // namespace
