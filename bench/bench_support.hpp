// What the benchmark programs share: a sink that only counts (so that no
// write is measured) and reading a container file whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <fstream>
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

// False when the file cannot be opened or read whole. (Reading through
// istreambuf_iterator leaves the stream's own state bits alone, so they
// cannot say whether the end was reached: the size is asked first instead.)
inline bool read_container(const char* path, std::vector<std::uint8_t>& image) {
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    if (!file) return false;
    const std::streamoff size = file.tellg();
    if (size < 0) return false;
    image.resize(static_cast<std::size_t>(size));
    file.seekg(0);
    file.read(reinterpret_cast<char*>(image.data()), size);
    return file.gcount() == size;
}

}  // namespace bench_support
