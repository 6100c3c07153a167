// The in-memory core alone: translate_track over a 16 MiB compact stream into
// a reused 1 MiB block, for three event mixes. Reports input bytes per second.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "container.hpp"
#include "event_stream.hpp"

namespace {

constexpr std::size_t stream_size = std::size_t{16} << 20;

struct random_source {
    std::uint64_t state;
    std::uint32_t below(std::uint32_t n) {
        state = state * 6364136223846793005u + 1442695040888963407u;
        return static_cast<std::uint32_t>(state >> 33) % n;
    }
};

void put_delta(std::vector<std::uint8_t>& out, random_source& rng) {
    if (rng.below(5) == 0) out.push_back(static_cast<std::uint8_t>(0x81 + rng.below(0x7F)));
    out.push_back(static_cast<std::uint8_t>(rng.below(0x80)));
}

enum class mix { note_ons, pads, meta };

// A container image: 16-byte header, a header block, then the stream.
std::vector<std::uint8_t> make_image(mix kind) {
    random_source rng{static_cast<std::uint64_t>(kind) + 1};
    std::vector<std::uint8_t> image(16 + tolvarin::header_block_size, 0);
    image.reserve(16 + tolvarin::header_block_size + stream_size + 512);
    image.push_back(0x00);
    switch (kind) {
        case mix::note_ons: image.insert(image.end(), {0x90, 0x3C, 0x40}); break;
        case mix::pads: image.insert(image.end(), {0x80, 0x3C}); break;
        case mix::meta: image.insert(image.end(), {0xFF, 0x03, 0x00}); break;
    }
    while (image.size() < 16 + tolvarin::header_block_size + stream_size) {
        put_delta(image, rng);
        switch (kind) {
            case mix::note_ons:  // running note ons, now and then a controller
                if (rng.below(16) == 0) {
                    image.insert(image.end(), {0xB0, 0x07, 0x64});
                    put_delta(image, rng);
                    image.push_back(0x90);
                }
                image.push_back(static_cast<std::uint8_t>(rng.below(128)));
                image.push_back(static_cast<std::uint8_t>(rng.below(128)));
                break;
            case mix::pads:  // running note offs, and pitch-bend sweeps
                if (rng.below(8) == 0) {
                    image.push_back(rng.below(2) == 0 ? 0xE0 : 0x80);
                }
                image.push_back(static_cast<std::uint8_t>(rng.below(128)));
                break;
            case mix::meta:  // lyrics, markers and tempo changes
                if (rng.below(4) == 0) {
                    image.insert(image.end(), {0xFF, 0x51, 0x03, 0x07, 0xA1, 0x20});
                } else {
                    const std::uint8_t length = static_cast<std::uint8_t>(4 + rng.below(40));
                    image.insert(image.end(), {0xFF, 0x05, length});
                    for (std::uint8_t i = 0; i < length; ++i) image.push_back(static_cast<std::uint8_t>('a' + rng.below(26)));
                }
                break;
        }
    }
    image.insert(image.end(), {0x00, 0xFF, 0x2F, 0x00});
    return image;
}

void translate(benchmark::State& state, mix kind) {
    const std::vector<std::uint8_t> image = make_image(kind);
    std::vector<std::uint8_t> block(std::size_t{1} << 20);
    const auto first_event = static_cast<std::uint32_t>(16 + tolvarin::header_block_size);
    std::size_t written = 0;
    for (auto _ : state) {
        tolvarin::track_state track = tolvarin::start_track(first_event);
        while (!track.finished) {
            written += tolvarin::translate_track(image, track, block);
            benchmark::DoNotOptimize(block.data());
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(image.size() - first_event));
    state.counters["out/in"] = static_cast<double>(written) /
                               (static_cast<double>(state.iterations()) * static_cast<double>(image.size() - first_event));
}

BENCHMARK_CAPTURE(translate, running_note_ons, mix::note_ons)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(translate, note_offs_and_pitch_bends, mix::pads)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(translate, meta_events, mix::meta)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
