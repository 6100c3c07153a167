// The in-memory core alone, input bytes per second:
//   - one thread, 16 MiB tracks of five event mixes, at each level this
//     processor has (portable, avx2, avx512; neon on AArch64), forced: the
//     fast translation of one cursor (translate_events), and the chunked,
//     speculative conversion the program uses (run_pipeline on one thread);
//   - 64 MiB realistic and interleaved tracks converted on 1 and 2 threads.
// Output goes to a sink that only counts it, so that no write is measured.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "convert/convert.hpp"
#include "convert/pipeline.hpp"
#include "mixes.hpp"
#include "fast/fast_translate.hpp"
#include "fast/vector_machine.hpp"
#include "bench_support.hpp"
#include "tolvarin/tolvarin.hpp"

namespace {

using bench_support::counting_sink;

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
void serial(benchmark::State& state, mix kind, tolvarin::wide_level level) {
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

// The conversion as the program runs it, through the library, on `threads`
// threads, at the given level or the widest this processor has.
void converted(benchmark::State& state, mix kind, std::size_t size, unsigned threads,
               tolvarin::wide_level level = tolvarin::wide_level::vector) {
    const std::vector<std::uint8_t> image = make_image(kind, size);
    const tolvarin::container_plan plan = tolvarin::plan_container(image);
    counting_sink sink;
    tolvarin::pipeline_stats stats;
    tolvarin::conversion_tuning tuning;
    tuning.stats = &stats;
    tuning.force_portable = level == tolvarin::wide_level::portable;
    tuning.widest = level;
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

// The levels this processor can run, by the names the benchmark gives them.
std::vector<std::pair<tolvarin::wide_level, std::string>> levels() {
    std::vector<std::pair<tolvarin::wide_level, std::string>> all{{tolvarin::wide_level::portable, "portable"}};
#if defined(__aarch64__)
    const std::pair<tolvarin::wide_level, const char*> stretch_levels[] = {{tolvarin::wide_level::shuffle, "neon"}};
#else
    const std::pair<tolvarin::wide_level, const char*> stretch_levels[] = {{tolvarin::wide_level::shuffle, "avx2"},
                                                                          {tolvarin::wide_level::vector, "avx512"}};
#endif
    for (const auto& [level, name] : stretch_levels) {
        if (tolvarin::machine::stretch_level_available(level)) all.emplace_back(level, name);
    }
    return all;
}

// Every mix at every level, forced: the core of one cursor, and the
// conversion on one thread; then the 64 MiB track on one and two threads at
// the widest level.
void register_all() {
    const std::pair<mix, const char*> mixes[] = {{mix::note_ons, "running_note_ons"},
                                                 {mix::pads, "note_offs_and_pitch_bends"},
                                                 {mix::meta, "meta_events"},
                                                 {mix::realistic, "realistic"},
                                                 {mix::interleaved, "interleaved"}};
    for (const auto& [kind, name] : mixes) {
        for (const auto& [level, level_name] : levels()) {
            benchmark::RegisterBenchmark(("serial/" + std::string(name) + "/" + level_name).c_str(),
                                         [kind, level](benchmark::State& state) { serial(state, kind, level); })
                ->Unit(benchmark::kMillisecond);
        }
    }
    for (const auto& [kind, name] : mixes) {
        for (const auto& [level, level_name] : levels()) {
            benchmark::RegisterBenchmark(
                ("converted/" + std::string(name) + "/" + level_name).c_str(),
                [kind, level](benchmark::State& state) { converted(state, kind, mix_size, 1, level); })
                ->Unit(benchmark::kMillisecond);
        }
    }
    for (const auto& [kind, name] : {mixes[3], mixes[4]}) {
        for (const unsigned threads : {1u, 2u}) {
            benchmark::RegisterBenchmark(
                ("converted/" + std::string(name) + "_64_mib/" + std::to_string(threads) + "_threads").c_str(),
                [kind, threads](benchmark::State& state) { converted(state, kind, track_size, threads); })
                ->Unit(benchmark::kMillisecond)
                ->UseRealTime();
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    register_all();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
