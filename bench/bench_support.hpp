// What the benchmark programs share: a sink that only counts (so that no
// write is measured) and reading a container file whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <vector>

#include "tolvarin/tolvarin.hpp"

namespace bench_support {

struct counting_sink final : tolvarin::output_sink {
    std::size_t written = 0;
    bool begin_output(const tolvarin::song_place&) override { return true; }
    bool write(tolvarin::byte_view bytes) override {
        written += bytes.size();
        return true;
    }
    bool end_output(const tolvarin::song_output&) override { return true; }
};

// False when the file cannot be read.
inline bool read_container(const char* path, std::vector<std::uint8_t>& image) {
    std::ifstream file(path, std::ios::binary);
    image.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    return !file.bad() && file.eof();
}

}  // namespace bench_support
