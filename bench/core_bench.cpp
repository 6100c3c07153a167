// The in-memory core alone, input bytes per second:
//   - one thread, 16 MiB tracks of five event mixes: the fast translation of
//     one cursor (translate_events), and the chunked, speculative conversion
//     the program uses (run_pipeline on one thread);
//   - one 64 MiB realistic track converted on 1 and 2 threads.
// Output goes to a sink that only counts it, so that no write is measured.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "convert/convert.hpp"
#include "convert/pipeline.hpp"
#include "mixes.hpp"
#include "fast/fast_translate.hpp"
#include "tolvarin/tolvarin.hpp"

namespace {

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

enum class mix { note_ons, pads, meta, realistic, interleaved };

// A container image: 16-byte header, a header block, then the stream.
std::vector<std::uint8_t> make_image(mix kind, std::size_t stream_size) {
    random_source rng{static_cast<std::uint64_t>(kind) + 1};
    std::vector<std::uint8_t> image(16 + tolvarin::header_block_size, 0);
    if (kind == mix::interleaved) {  // channels interleaved, as songs stored in one track are
        bench_mixes::random_source source{stream_size};
        bench_mixes::mix_counts counts;
        bench_mixes::make_interleaved_track(image, image.size() + stream_size, source, counts);
        return image;
    }
    image.reserve(16 + tolvarin::header_block_size + stream_size + 512);
    image.push_back(0x00);
    switch (kind) {
        case mix::note_ons: image.insert(image.end(), {0x90, 0x3C, 0x40}); break;
        case mix::pads: image.insert(image.end(), {0x80, 0x3C}); break;
        case mix::meta: image.insert(image.end(), {0xFF, 0x03, 0x00}); break;
        case mix::realistic: image.insert(image.end(), {0xFF, 0x51, 0x03, 0x07, 0xA1, 0x20}); break;
    }
    std::uint8_t running = 0;
    const auto status = [&](std::uint8_t value) {
        if (value != running) image.push_back(value);
        running = value;
    };
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
                if (rng.below(8) == 0) image.push_back(rng.below(2) == 0 ? 0xE0 : 0x80);
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
            case mix::realistic: {  // what songs hold: see make_container.cpp
                const std::uint32_t roll = rng.below(100);
                if (roll < 42) {
                    status(0x93);
                    image.push_back(static_cast<std::uint8_t>(rng.below(128)));
                    image.push_back(static_cast<std::uint8_t>(1 + rng.below(127)));
                } else if (roll < 57) {
                    status(rng.below(4) == 0 ? 0xE3 : 0x83);
                    image.push_back(static_cast<std::uint8_t>(rng.below(128)));
                } else if (roll < 83) {
                    status(0xB3);
                    image.push_back(static_cast<std::uint8_t>(rng.below(120)));
                    image.push_back(static_cast<std::uint8_t>(rng.below(128)));
                } else if (roll < 90) {
                    status(0xC3);
                    image.push_back(static_cast<std::uint8_t>(rng.below(128)));
                } else if (roll < 96) {
                    const std::uint8_t length = static_cast<std::uint8_t>(2 + rng.below(30));
                    image.insert(image.end(), {0xFF, static_cast<std::uint8_t>(rng.below(2) == 0 ? 0x05 : 0x01), length});
                    for (std::uint8_t i = 0; i < length; ++i) image.push_back(static_cast<std::uint8_t>('a' + rng.below(26)));
                } else {
                    image.insert(image.end(), {0xFF, 0x51, 0x03});
                    for (int i = 0; i < 3; ++i) image.push_back(static_cast<std::uint8_t>(rng.below(256)));
                }
                break;
            }
        }
    }
    image.insert(image.end(), {0x00, 0xFF, 0x2F, 0x00});
    return image;
}

constexpr auto first_event = static_cast<std::uint32_t>(16 + tolvarin::header_block_size);

void set_rate(benchmark::State& state, const std::vector<std::uint8_t>& image) {
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(image.size() - first_event));
}

// The fast translation of one cursor, into a reused 1 MiB block.
void serial(benchmark::State& state, mix kind, tolvarin::wide_level level = tolvarin::wide_level::portable) {
    const std::vector<std::uint8_t> image = make_image(kind, std::size_t{16} << 20);
    std::vector<std::uint8_t> block(std::size_t{1} << 20);
    for (auto _ : state) {
        tolvarin::event_cursor cursor{first_event, tolvarin::no_running, false};
        while (!cursor.finished) {
            benchmark::DoNotOptimize(
                tolvarin::translate_events(image, cursor, std::numeric_limits<std::uint32_t>::max(), block, level));
        }
    }
    set_rate(state, image);
}

// A sink that only counts what it is given.
struct counting_sink final : tolvarin::output_sink {
    std::size_t written = 0;
    bool begin_output(const tolvarin::song_place&) override { return true; }
    bool write(tolvarin::byte_view bytes) override {
        written += bytes.size();
        return true;
    }
    bool end_output(const tolvarin::song_output&) override { return true; }
};

// The conversion as the program runs it, through the library, on `threads` threads.
void converted(benchmark::State& state, mix kind, std::size_t size, unsigned threads, bool portable = false) {
    const std::vector<std::uint8_t> image = make_image(kind, size);
    const tolvarin::container_plan plan = tolvarin::plan_container(image);
    counting_sink sink;
    tolvarin::pipeline_stats stats;
    tolvarin::conversion_tuning tuning;
    tuning.stats = &stats;
    tuning.force_portable = portable;
    tolvarin::conversion_options options;
    options.threads = threads;
    for (auto _ : state) {
        tolvarin::convert_tuned(image, plan, sink, options, tuning);
        benchmark::DoNotOptimize(sink.written);
    }
    set_rate(state, image);
    state.counters["threads"] = stats.threads;
}

constexpr std::size_t mix_size = std::size_t{16} << 20;
constexpr std::size_t track_size = std::size_t{64} << 20;

BENCHMARK_CAPTURE(serial, running_note_ons, mix::note_ons)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(serial, note_offs_and_pitch_bends, mix::pads)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(serial, meta_events, mix::meta)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(serial, realistic, mix::realistic)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(serial, interleaved, mix::interleaved)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(serial, realistic_vector, mix::realistic, tolvarin::wide_level::vector)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(serial, interleaved_vector, mix::interleaved, tolvarin::wide_level::vector)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(converted, running_note_ons, mix::note_ons, mix_size, 1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(converted, note_offs_and_pitch_bends, mix::pads, mix_size, 1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(converted, meta_events, mix::meta, mix_size, 1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(converted, realistic, mix::realistic, mix_size, 1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(converted, interleaved, mix::interleaved, mix_size, 1)->Unit(benchmark::kMillisecond);
// The same at the portable level, which processors without the vector path take.
BENCHMARK_CAPTURE(converted, running_note_ons_portable, mix::note_ons, mix_size, 1, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(converted, note_offs_and_pitch_bends_portable, mix::pads, mix_size, 1, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(converted, meta_events_portable, mix::meta, mix_size, 1, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(converted, realistic_portable, mix::realistic, mix_size, 1, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(converted, interleaved_portable, mix::interleaved, mix_size, 1, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(converted, realistic_64_mib_1_thread, mix::realistic, track_size, 1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(converted, realistic_64_mib_2_threads, mix::realistic, track_size, 2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(converted, interleaved_64_mib_2_threads, mix::interleaved, track_size, 2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
