// Converts a container as the command line does, through the library: reads
// it into memory, finds its songs, converts them into memory and writes each
// output to OUTPUT_DIRECTORY as <base>_<n>.mid, <base> being the container's
// name without its extension.
//
//   convert_in_memory songs/tune.dat out     writes out/tune_1.mid, out/tune_2.mid, ...
//
// Built against an installed library with CMake (see CMakeLists.txt here), or:
//   c++ -std=c++20 -O2 convert_in_memory.cpp $(pkg-config --cflags --libs tolvarin) -o convert_in_memory
#include <tolvarin/tolvarin.hpp>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: convert_in_memory CONTAINER OUTPUT_DIRECTORY\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot open %s\n", argv[1]);
        return 1;
    }
    const std::vector<std::uint8_t> image{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};

    // Where the songs are; then every song converted, each output held whole
    // with its track length filled in.
    const tolvarin::container_plan plan = tolvarin::plan_container(image);
    tolvarin::memory_outputs outputs;
    const tolvarin::conversion_result result = tolvarin::convert(image, plan, outputs);
    if (result.status != tolvarin::conversion_status::done) {
        std::fprintf(stderr, "cannot convert song %u of %s\n", result.song + 1, argv[1]);
        return 1;
    }

    const std::string name = std::filesystem::path(argv[1]).filename().string();
    const std::string base = name.substr(0, name.rfind('.'));
    for (std::uint32_t i = 0; i < outputs.count(); ++i) {
        const std::string number = std::to_string(outputs.report(i).song.number);
        const std::filesystem::path path = std::filesystem::path(argv[2]) / (base + "_" + number + ".mid");
        const tolvarin::byte_view bytes = outputs.output(i);
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        out.close();
        if (!out) {
            std::fprintf(stderr, "cannot write %s\n", path.string().c_str());
            return 1;
        }
    }
    return 0;
}
