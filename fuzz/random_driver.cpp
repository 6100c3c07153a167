// A driver for a fuzz target where libFuzzer is not to be had (a build for
// another architecture run under qemu, or for WebAssembly run under Node):
// inputs are the seeds given, changed at random (bytes set, runs inserted,
// stretches removed or repeated, seeds spliced), fed to the target for as
// many seconds as asked. Without coverage to steer it, it only finds what
// chance finds; the target's own checks abort on a difference.
//   random_driver SECONDS SEED FILE...
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

using input = std::vector<std::uint8_t>;

struct random_bits {
    std::uint64_t state;
    std::uint64_t next() {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15u);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
        return z ^ (z >> 31);
    }
    std::size_t below(std::size_t bound) { return bound == 0 ? 0 : static_cast<std::size_t>(next() % bound); }
};

constexpr std::size_t largest_input = 600;

void mutate(input& data, const std::vector<input>& seeds, random_bits& bits) {
    const std::size_t changes = 1 + bits.below(8);
    for (std::size_t change = 0; change < changes; ++change) {
        const std::size_t at = bits.below(data.size() + 1);
        switch (bits.below(5)) {
        case 0:
            if (at < data.size()) data[at] = static_cast<std::uint8_t>(bits.next());
            break;
        case 1:
            data.insert(data.begin() + static_cast<std::ptrdiff_t>(at), 1 + bits.below(16),
                        static_cast<std::uint8_t>(bits.next()));
            break;
        case 2:
            data.erase(data.begin() + static_cast<std::ptrdiff_t>(at),
                       data.begin() + static_cast<std::ptrdiff_t>(at + bits.below(data.size() - at + 1)));
            break;
        case 3: {
            const std::size_t from = bits.below(data.size());
            const std::size_t count = bits.below(data.size() - from + 1);
            const input piece(data.begin() + static_cast<std::ptrdiff_t>(from),
                              data.begin() + static_cast<std::ptrdiff_t>(from + count));
            data.insert(data.begin() + static_cast<std::ptrdiff_t>(at), piece.begin(), piece.end());
            break;
        }
        default: {
            const input& other = seeds[bits.below(seeds.size())];
            const std::size_t from = bits.below(other.size());
            data.insert(data.begin() + static_cast<std::ptrdiff_t>(at), other.begin() + static_cast<std::ptrdiff_t>(from),
                        other.end());
            break;
        }
        }
        if (data.size() > largest_input) data.resize(largest_input);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: random_driver SECONDS SEED FILE...\n");
        return 2;
    }
    const auto seconds = std::chrono::seconds(std::strtoll(argv[1], nullptr, 10));
    random_bits bits{std::strtoull(argv[2], nullptr, 10)};
    std::vector<input> seeds;
    for (int arg = 3; arg < argc; ++arg) {
        std::ifstream file(argv[arg], std::ios::binary);
        seeds.emplace_back(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }
    const auto start = std::chrono::steady_clock::now();
    std::uint64_t executions = 0;
    for (const input& seed : seeds) {
        LLVMFuzzerTestOneInput(seed.data(), seed.size());
        ++executions;
    }
    while (std::chrono::steady_clock::now() - start < seconds) {
        for (int batch = 0; batch < 16; ++batch) {
            input data = seeds[bits.below(seeds.size())];
            mutate(data, seeds, bits);
            LLVMFuzzerTestOneInput(data.data(), data.size());
            ++executions;
        }
    }
    std::printf("%llu executions in %lld s\n", static_cast<unsigned long long>(executions),
                static_cast<long long>(seconds.count()));
    return 0;
}
