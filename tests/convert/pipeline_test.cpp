// The chunked, threaded conversion against the byte-at-a-time reference:
// every output byte must be the same whatever the chunk size, the number of
// threads and the interleave width, on streams built to defeat the guesses
// the speculation makes, into a sink that takes the bytes in order or at
// their places from every thread. And the sink must see the tracks strictly
// one after the other, so that files are written and renamed in order.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bytes.hpp"
#include "convert/convert.hpp"
#include "convert/pipeline.hpp"
#include "tolvarin/tolvarin.hpp"

namespace {

using test_support::bytes;
using test_support::hex;
using test_support::repeat;

// Collects every output in memory, checking the order of calls: outputs
// begin one after the other, in song order, each ended before the next. Given
// bytes at their places (from any thread), it checks that each byte of an
// output comes exactly once, between its begin and its end.
struct memory_sink final : tolvarin::placed_output_sink {
    std::vector<bytes> outputs;
    std::atomic<bool> out_of_order = false;
    std::atomic<bool> open = false;
    long long refuse_after = -1;  // writes to accept before refusing
    std::atomic<long long> writes = 0;
    long long refuse_finish = -1;  // the output whose end is refused
    bool refuse_on_worker = false;  // refuse the writes made on another thread in the third output
    std::vector<std::size_t> finished;
    std::atomic<long long> calls_after_refusal = 0;
    std::atomic<bool> refused = false;
    std::vector<std::uint8_t> times_written;  // of each byte of the output under way
    std::atomic<long long> worker_writes = 0;
    std::thread::id caller = std::this_thread::get_id();
    std::mutex lock;

    memory_sink() = default;
    memory_sink(const memory_sink& other)
        : outputs(other.outputs), out_of_order(other.out_of_order.load()), open(other.open.load()),
          refuse_after(other.refuse_after), writes(other.writes.load()), refuse_finish(other.refuse_finish),
          refuse_on_worker(other.refuse_on_worker), finished(other.finished),
          calls_after_refusal(other.calls_after_refusal.load()), refused(other.refused.load()),
          worker_writes(other.worker_writes.load()) {}

    bool write_at(std::uint64_t offset, tolvarin::byte_view data) override {
        const bool on_worker = std::this_thread::get_id() != caller;
        if (!open) out_of_order = true;
        if (on_worker) ++worker_writes;
        if (refuse_on_worker && on_worker && outputs.size() == 3) return !(refused = true);
        if (refuse_after >= 0 && writes++ >= refuse_after) return !(refused = true);
        const std::lock_guard<std::mutex> held(lock);
        bytes& output = outputs.back();
        if (output.size() < offset + data.size()) {
            output.resize(offset + data.size());
            times_written.resize(offset + data.size());
        }
        std::copy(data.begin(), data.end(), output.begin() + static_cast<std::ptrdiff_t>(offset));
        for (std::size_t at = offset; at < offset + data.size(); ++at) ++times_written[at];
        return true;
    }

    bool begin_output(const tolvarin::song_place& song) override {
        if (refused) ++calls_after_refusal;
        if (open || song.number != outputs.size() + 1) out_of_order = true;
        outputs.emplace_back();
        times_written.clear();
        open = true;
        return true;
    }
    bool write(tolvarin::byte_view data) override {
        if (refused) ++calls_after_refusal;
        if (!open) out_of_order = true;
        if (refuse_after >= 0 && writes >= refuse_after) return !(refused = true);
        ++writes;
        outputs.back().insert(outputs.back().end(), data.begin(), data.end());
        return true;
    }
    bool end_output(const tolvarin::song_output& output) override {
        if (refused) ++calls_after_refusal;
        if (!open || output.song.number != outputs.size()) out_of_order = true;
        if (!times_written.empty() &&
            (times_written.size() != output.output_size ||
             std::any_of(times_written.begin(), times_written.end(), [](std::uint8_t n) { return n != 1; }))) {
            out_of_order = true;
        }
        open = false;
        std::copy(output.length_field.begin(), output.length_field.end(), outputs.back().begin() + 18);
        finished.push_back(output.song.number - 1);
        if (static_cast<long long>(output.song.number - 1) == refuse_finish) return !(refused = true);
        return true;
    }
};

struct conversion {
    tolvarin::conversion_result result;
    memory_sink sink;
    tolvarin::pipeline_stats stats;
};

// Gives the image's bytes by copying them, as a program reading its file
// would; counts its reads, notes any asked for past the image's end, and
// fails every read that reaches `fail_from` and beyond.
struct copying_reader final : tolvarin::image_reader {
    const bytes* image = nullptr;
    std::uint64_t fail_from = UINT64_MAX;
    long long fail_at_read = -1;  // this read and every one after it fail
    mutable std::atomic<long long> reads{0};
    mutable std::atomic<bool> past_the_end{false};

    bool read(std::uint32_t offset, std::span<std::uint8_t> into) const override {
        const long long number = reads++;
        if (fail_at_read >= 0 && number >= fail_at_read) return false;
        if (std::uint64_t{offset} + into.size() > image->size()) {
            past_the_end = true;
            return false;
        }
        if (std::uint64_t{offset} + into.size() > fail_from) return false;
        std::memcpy(into.data(), image->data() + offset, into.size());
        return true;
    }
};

struct read_through {
    const copying_reader* reader = nullptr;
    std::uint32_t read_beyond = 0;
};

unsigned at_most(unsigned threads) { return std::min(threads, static_cast<unsigned>(TOLVARIN_TEST_THREADS)); }

// Converts every song the container walk finds, through the library's API.
conversion convert(const bytes& image, unsigned threads, std::uint32_t chunk_bytes, unsigned lanes,
                   const memory_sink& sink = {}, bool stitcher_speculates = true, bool portable = false,
                   read_through through = {}, bool placed = false) {
    conversion result{{}, sink, {}};
    tolvarin::conversion_tuning tuning;
    tuning.force_portable = portable;
    tuning.read_beyond = through.read_beyond;
    tuning.chunk_bytes = chunk_bytes;
    tuning.lanes = lanes;
    tuning.stitcher_speculates = stitcher_speculates;
    tuning.stats = &result.stats;
    tuning.threaded_bytes = 0;  // threads on containers of any size
    tuning.share_writes = placed;
    tolvarin::conversion_options options;
    options.threads = at_most(threads);
    options.reader = through.reader;
    result.result = tolvarin::convert_tuned(image, tolvarin::plan_container(image), result.sink, options, tuning,
                                            placed ? &result.sink : nullptr);
    return result;
}


struct setting {
    unsigned threads;
    std::uint32_t chunk_bytes;
    unsigned lanes;
    // Run again with the speculation reading copies through a reader, this
    // many bytes past each group: 0 and a few bytes cut events at the copy's
    // end all the time.
    std::uint32_t read_beyond;
};

// Small chunks take the portable level whatever the processor has; from a
// few KiB on, the vector level where the processor has it, and each of
// these is run at the portable level too.
const setting settings[] = {{1, 1, 4, 0},       {2, 3, 4, 1},       {3, 7, 2, 5},      {8, 17, 4, 64},
                            {2, 64, 3, 3},      {4, 256, 1, 300},   {2, 4096, 4, 0},   {3, 9000, 3, 2000},
                            {1, 65536, 4, 65536}};

void expect_same_as_reference(const bytes& image, const std::string& what) {
    const std::vector<bytes> expected = test_support::reference_outputs(image);
    const bool has_groups = tolvarin::plan_container(image).count > 0;
    for (std::size_t index = 0; index < std::size(settings); ++index) {
        const setting& s = settings[index];
        for (const int way : {0, 1, 2}) {
            const bool portable = way == 1;
            const bool copies = way == 2;
            // Every other run into a sink that takes its bytes at their places.
            const bool placed = (index + static_cast<std::size_t>(way)) % 2 == 1;
            if (portable && s.chunk_bytes < 4096) continue;
            copying_reader reader;
            reader.image = &image;
            const conversion got = convert(image, s.threads, s.chunk_bytes, s.lanes, {}, true, portable,
                                           copies ? read_through{&reader, s.read_beyond} : read_through{}, placed);
            const std::string where = what + ": " + std::to_string(s.threads) + " threads, chunks of " +
                                      std::to_string(s.chunk_bytes) + ", " + std::to_string(s.lanes) + " lanes" +
                                      (portable ? ", portable" : "") + (placed ? ", placed" : "") +
                                      (copies ? ", copies read " + std::to_string(s.read_beyond) + " beyond" : "");
            if (copies) {
                EXPECT_FALSE(reader.past_the_end) << where;
                if (has_groups && got.stats.chunks_kept + got.stats.chunks_again > 0) {
                    EXPECT_GT(reader.reads, 0) << where;
                }
            }
            ASSERT_EQ(got.result.status, tolvarin::conversion_status::done) << where;
            EXPECT_FALSE(got.sink.out_of_order) << where;
            ASSERT_EQ(got.sink.outputs.size(), expected.size()) << where;
            for (std::size_t output = 0; output < expected.size(); ++output) {
                if (got.sink.outputs[output] != expected[output]) {
                    ADD_FAILURE() << where << ", output " << output << "\n got "
                                  << test_support::hex_string(got.sink.outputs[output]).substr(0, 600) << "\nwant "
                                  << test_support::hex_string(expected[output]).substr(0, 600);
                    return;
                }
            }
        }
    }
}

const bytes eot = hex("00 FF 2F 00");

bytes single(const bytes& stream) {
    return test_support::container_of({test_support::concat({test_support::header_block(), stream})});
}

// Streams that give the speculation no help, or false help.
TEST(pipeline, hostile_streams_give_the_reference_bytes) {
    struct hostile {
        const char* name;
        bytes image;
    };
    // Letters that look like status bytes inside text events.
    bytes statuses_in_text;
    for (unsigned length = 1; length < 80; ++length) {
        statuses_in_text.insert(statuses_in_text.end(), {0x00, 0xFF, 0x01, static_cast<std::uint8_t>(length)});
        for (unsigned i = 0; i < length; ++i) {
            statuses_in_text.push_back(static_cast<std::uint8_t>(i % 3 == 0 ? 0x90 : i % 3 == 1 ? 0xFF : 0x2F));
        }
        statuses_in_text.insert(statuses_in_text.end(), {0x05, 0x80, 0x3C, 0x05, 0x3E});
    }
    const hostile cases[] = {
        // One explicit note on, then only data bytes and one-byte delta times:
        // no byte of 0x80 or more shows where events start.
        {"no byte of 0x80 or more", single(test_support::concat({hex("00 90 3C 40"), repeat(hex("01 3C 40"), 3000), eot}))},
        {"running program changes", single(test_support::concat({hex("00 C3 05"), repeat(hex("02 06"), 3000), eot}))},
        {"running note offs", single(test_support::concat({hex("00 83 05"), repeat(hex("02 06"), 3000), eot}))},
        {"status bytes inside text", single(test_support::concat({statuses_in_text, eot}))},
        {"meta events only", single(test_support::concat({repeat(hex("00 FF 05 04 61 62 63 64 00 FF 51 03 07 A1 20"), 500), eot}))},
        // End of track inside the stream, with events behind it, at many offsets.
        {"end of track with more behind",
         single(test_support::concat({repeat(hex("00 90 3C 40"), 700), eot, repeat(hex("00 80 3C"), 900), eot}))},
        {"end of track cut short", single(test_support::concat({repeat(hex("00 E0 40"), 2000), hex("00 FF 2F")}))},
        {"long delta times", single(test_support::concat({repeat(hex("81 82 83 84 85 86 87 88 89 00 90 3C 40"), 400), eot}))},
        {"event cut short by the end", single(test_support::concat({repeat(hex("00 90 3C 40"), 1000), hex("00 FF 01 40 61 62")}))},
        {"long text events", single(test_support::concat({repeat(test_support::concat({hex("00 FF 01 FF"), bytes(255, 0x41)}), 40), eot}))},
        // A track without end of track runs on into the next song.
        {"track running into the next",
         test_support::container_of({test_support::concat({test_support::header_block(), repeat(hex("00 90 3C 40"), 900)}),
                                     test_support::concat({test_support::header_block(), repeat(hex("00 80 3C"), 900), eot}),
                                     test_support::concat({test_support::header_block(), hex("00 C0 05"), eot})})},
    };
    for (const hostile& c : cases) expect_same_as_reference(c.image, c.name);
}

// Containers made of random pieces, well-formed or not, with up to four
// songs in any order; the same as the reference, every setting.
TEST(pipeline, random_containers_give_the_reference_bytes) {
    std::mt19937 rng(1208);
    const bytes pieces[] = {hex("00"), hex("81 00"), hex("90 3C 40"), hex("3C 40"), hex("80 3C"), hex("3C"),
                            hex("E0 40"), hex("C3 05"), hex("FF 01 03 41 42 43"), hex("FF 51 03 07 A1 20"),
                            hex("F0 05 01 02"), hex("F8 20 00"), hex("FF 2F 00"), hex("F1 01 00"),
                            hex("FF 05 1D"),
                            hex("83 82 81 80 00")};
    for (int round = 0; round < 40; ++round) {
        std::vector<bytes> records;
        const int count = 1 + static_cast<int>(rng() % 4);
        for (int song = 0; song < count; ++song) {
            bytes stream;
            const std::size_t length = rng() % 3 == 0 ? rng() % 200 : rng() % 6000;
            while (stream.size() < length) {
                if (round % 4 == 0) {
                    stream.push_back(static_cast<std::uint8_t>(rng()));
                } else {
                    const bytes& piece = pieces[rng() % std::size(pieces)];
                    if (piece == hex("FF 2F 00") && rng() % 8 != 0) continue;
                    stream.insert(stream.end(), piece.begin(), piece.end());
                }
            }
            records.push_back(test_support::concat({test_support::header_block(), stream}));
        }
        bytes image = test_support::container_of(records);
        if (round % 5 == 1) image.resize(image.size() - rng() % 40);
        expect_same_as_reference(image, "round " + std::to_string(round));
    }
}

// A track whose events keep the speculation from ever meeting it is
// translated in order: the statistics say so, and the bytes are the same.
// Running note offs: nothing shows where their events start, and each
// phase pads other bytes.
TEST(pipeline, speculation_that_keeps_failing_gives_way) {
    const bytes image = single(test_support::concat({hex("00 80 3C"), repeat(hex("01 3C"), 300000), eot}));
    for (const bool portable : {false, true}) {
        const conversion got = convert(image, 2, 4096, 4, {}, true, portable);
        ASSERT_EQ(got.result.status, tolvarin::conversion_status::done);
        EXPECT_TRUE(got.sink.outputs[0] == test_support::reference_outputs(image)[0]) << portable;
        EXPECT_GT(got.stats.chunks_serial, 0u) << portable;
        EXPECT_LT(got.stats.chunks_again, got.stats.chunks_serial) << portable;
    }
}

// Streams whose speculation should nearly always stitch: the bytes are the
// reference's, and chunks translated again stay rare.
TEST(pipeline, ordinary_streams_are_stitched) {
    struct stitching {
        const char* name;
        bytes piece;
        std::size_t times;
        std::uint32_t chunk_bytes;
        std::uint64_t kept_per_again;
    };
    const stitching cases[] = {
        // The realistic case: explicit statuses often enough that every chunk
        // falls into step within its first few events.
        {"realistic mix", hex("00 90 3C 40 05 3E 40 00 B0 07 64 03 80 3C 02 3E 00 FF 05 03 6C 61 6C 81 00 E0 40 02 41"),
         20000, 4096, 100},
        // An explicit status only every 94 bytes: a chunk that starts inside a
        // stretch of running note ons reads it out of step and falls into step
        // only at the next explicit status, past its first few dozen events,
        // where boundaries are recorded sparsely. The true translation must
        // still meet one of those, stopping at each, rather than pass them all.
        {"late into step", test_support::concat({hex("00 90 3C 40"), repeat(hex("01 3C 40"), 30)}), 3000, 4099, 10},
        // Running note ons only: no chunk shows its phase, but whatever the
        // phase, their bytes are their output.
        {"running note ons", test_support::concat({hex("00 90 3C 40"), repeat(hex("01 3C 40"), 100000)}), 1, 4096, 30},
    };
    for (const stitching& c : cases) {
        const bytes image = single(test_support::concat({repeat(c.piece, c.times), eot}));
        for (const int way : {0, 1, 2}) {
            const bool portable = way == 1;
            copying_reader reader;
            reader.image = &image;
            // Copies read as the program reads them: 4 KiB past each group.
            const conversion got = convert(image, 2, c.chunk_bytes, 4, {}, true, portable,
                                           way == 2 ? read_through{&reader, 4 << 10} : read_through{});
            ASSERT_EQ(got.result.status, tolvarin::conversion_status::done) << c.name;
            EXPECT_TRUE(got.sink.outputs[0] == test_support::reference_outputs(image)[0]) << c.name;
            EXPECT_GT(got.stats.chunks_kept, c.kept_per_again * (got.stats.chunks_again + 1))
                << c.name << (portable ? ", portable" : way == 2 ? ", copies" : "") << ": " << got.stats.chunks_again
                << " translated again";
        }
    }
}

// A reader that cannot give the bytes (the file was cut short) ends the
// conversion as an input fault, wherever it happens, in a speculated track
// or in one translated in order (running note offs, which no chunk can place);
// every output the sink saw ended is the reference's.
TEST(pipeline, a_failing_reader_ends_as_an_input_fault) {
    const bytes first = test_support::concat({test_support::header_block(), repeat(hex("00 90 3C 40 00 B1 07 64"), 12000), eot});
    const bytes second = test_support::concat({test_support::header_block(), repeat(hex("00 E2 40 02 01 41"), 15000), eot});
    const bytes third = test_support::concat({test_support::header_block(), hex("00 80 3C"), repeat(hex("00 3C"), 60000), eot});
    const bytes image = test_support::container_of({first, second, third});
    const std::vector<bytes> expected = test_support::reference_outputs(image);
    for (const std::uint64_t fail_from : {std::uint64_t{10}, std::uint64_t{50000}, std::uint64_t{image.size() - 1000}}) {
        for (const unsigned threads : {1u, 2u, 4u}) {
            copying_reader reader;
            reader.image = &image;
            reader.fail_from = fail_from;
            const conversion got = convert(image, threads, 4096, 4, {}, true, false, read_through{&reader, 100});
            const std::string where = "failing from " + std::to_string(fail_from) + ", " + std::to_string(threads) + " threads";
            EXPECT_EQ(got.result.status, tolvarin::conversion_status::input_fault) << where;
            for (const std::size_t output : got.sink.finished) {
                EXPECT_TRUE(got.sink.outputs[output] == expected[output]) << where << ", output " << output;
            }
        }
    }
    // On one thread the reads come in a fixed order: each of them fails in
    // turn, speculation, stitch or translation in order.
    copying_reader counting;
    counting.image = &image;
    ASSERT_EQ(convert(image, 1, 4096, 4, {}, true, false, read_through{&counting, 100}).result.status,
              tolvarin::conversion_status::done);
    ASSERT_GT(counting.reads.load(), 40);
    for (long long failing = 0; failing < counting.reads.load(); ++failing) {
        copying_reader reader;
        reader.image = &image;
        reader.fail_at_read = failing;
        const conversion got = convert(image, 1, 4096, 4, {}, true, false, read_through{&reader, 100});
        EXPECT_EQ(got.result.status, tolvarin::conversion_status::input_fault) << "read " << failing << " failing";
        for (const std::size_t output : got.sink.finished) {
            EXPECT_TRUE(got.sink.outputs[output] == expected[output]) << "read " << failing << ", output " << output;
        }
    }
}

// A group whose speculation is still under way on a worker when the
// stitching thread needs it is translated in order instead (the worker's
// result is dropped when it comes). With a stitching thread that never
// speculates, that happens nearly every run; the bytes stay the same. (How
// often depends on the machine's timing: under an emulator it may not.)
TEST(pipeline, groups_taken_over_from_workers) {
    if (at_most(4) < 2) GTEST_SKIP() << "the tests run on one thread here";
    const bytes piece = hex("00 90 3C 40 05 3E 40 00 B0 07 64 03 80 3C 02 3E 00 FF 05 03 6C 61 6C 81 00 E0 40 02 41");
    const bytes image = single(test_support::concat({repeat(piece, 40000), eot}));
    const bytes expected = test_support::reference_outputs(image)[0];
    std::uint64_t taken_over = 0;
    for (int attempt = 0; attempt < 20 && taken_over == 0; ++attempt) {
        const conversion got = convert(image, 4, 1024, 4, {}, false);
        ASSERT_EQ(got.result.status, tolvarin::conversion_status::done);
        ASSERT_TRUE(got.sink.outputs[0] == expected) << "attempt " << attempt;
        taken_over += got.stats.groups_taken_over;
    }
    if (taken_over == 0) GTEST_SKIP() << "no group was taken over in 20 runs on this machine's timing";
}

// The track's pieces of a pipeline over `image`, the one track given; at a
// join, the part's pipeline's output from where the two met, taken when
// `trust` says so.
bytes pipeline_track_output(const bytes& image, const tolvarin::pipeline_track& track, const setting& s,
                            const bytes* part, bool trust, bool& met) {
    met = false;
    tolvarin::pipeline_settings use;
    use.threads = at_most(s.threads);
    use.tuning.chunk_bytes = s.chunk_bytes;
    use.tuning.lanes = s.lanes;
    use.tuning.threaded_bytes = 0;
    tolvarin::pipeline_handle handle;
    EXPECT_EQ(tolvarin::start_pipeline(image, {&track, 1}, use, handle), tolvarin::pipeline_start::started);
    bytes out;
    for (;;) {
        tolvarin::track_piece piece;
        const tolvarin::pipeline_step step = tolvarin::next_piece(*handle, piece);
        if (step == tolvarin::pipeline_step::piece) {
            out.insert(out.end(), piece.data, piece.data + piece.size);
        } else if (step == tolvarin::pipeline_step::join) {
            EXPECT_NE(part, nullptr);
            if (part == nullptr) return out;
            met = true;
            bool part_met = false;
            const bytes rest = pipeline_track_output(*part, {0, static_cast<std::uint32_t>(part->size()),
                                                             tolvarin::no_split, false}, s, nullptr, false, part_met);
            const std::uint64_t offset = tolvarin::join_offset(*handle);
            EXPECT_LE(offset, rest.size());
            EXPECT_TRUE(tolvarin::answer_join(*handle, trust, track.split));
            if (trust) out.insert(out.end(), rest.begin() + static_cast<std::ptrdiff_t>(offset), rest.end());
        } else {
            EXPECT_EQ(step, tolvarin::pipeline_step::track_end);
            break;
        }
    }
    EXPECT_FALSE(tolvarin::answer_join(*handle, true, 0));  // no join waits
    return out;
}

// A track split between two pipelines, each with its chunks, lanes and
// threads: the groups before the split and the part's own, stitched where
// their events fall together; or, the part's output refused, the rest in
// order on this side.
TEST(pipeline, a_split_track_is_the_whole_tracks_bytes) {
    const bytes piece = hex("00 90 3C 40 05 3E 40 00 B0 07 64 03 80 3C 02 3E 00 FF 05 03 6C 61 6C 81 00 E0 40 02 41");
    const bytes image = single(test_support::concat({repeat(piece, 400), eot}));
    const bytes expected = test_support::reference_outputs(image)[0];
    const bytes track(expected.begin() + 22, expected.end());
    const std::uint32_t first_event = 16 + 22;
    for (const setting& s : settings) {
        for (const std::uint32_t split : {first_event + 1, first_event + 4000, first_event + 11003}) {
            for (const bool trust : {true, false}) {
                SCOPED_TRACE(std::to_string(s.threads) + " threads, chunks of " + std::to_string(s.chunk_bytes) + ", " +
                             std::to_string(s.lanes) + " lanes, split at " + std::to_string(split) +
                             (trust ? "" : ", the part refused"));
                const bytes part(image.begin() + split, image.end());
                const tolvarin::pipeline_track whole{first_event, static_cast<std::uint32_t>(image.size()), split};
                bool met = false;
                const bytes got = pipeline_track_output(image, whole, s, &part, trust, met);
                EXPECT_EQ(test_support::hex_string(got), test_support::hex_string(track));
                EXPECT_TRUE(met);  // the mix shows its statuses within a few events
            }
        }
    }
}

// The sink decides: a refused write stops the conversion there, and a refused
// end stops it before the next output; either way nothing more is asked of
// the sink. A sink that takes bytes at their places may refuse on a worker
// thread: the conversion stops as it would on the calling thread, and the
// calling thread asks nothing more of the sink (other threads' writes already
// under way may end).
TEST(pipeline, a_refusing_sink_stops_the_conversion) {
    const bytes big = test_support::concat({test_support::header_block(), repeat(hex("00 90 3C 40"), 50000), eot});
    const bytes image = test_support::container_of({big, big, big});
    for (const unsigned threads : {1u, 2u, 4u}) {
        for (const bool placed : {false, true}) {
            const std::string where = std::to_string(threads) + (placed ? " threads, placed" : " threads");
            memory_sink refusing;
            refusing.refuse_after = 3;
            const conversion stopped = convert(image, threads, 1024, 4, refusing, true, false, {}, placed);
            EXPECT_EQ(stopped.result.status, tolvarin::conversion_status::stopped) << where;
            EXPECT_EQ(stopped.result.song, 0u) << where;
            EXPECT_TRUE(stopped.sink.finished.empty()) << where;
            if (!placed) {
                EXPECT_EQ(stopped.sink.writes, 3) << where;
                EXPECT_EQ(stopped.sink.calls_after_refusal, 0) << where;
            }

            memory_sink ending;
            ending.refuse_finish = 1;
            const conversion ended = convert(image, threads, 1024, 4, ending, true, false, {}, placed);
            EXPECT_EQ(ended.result.status, tolvarin::conversion_status::stopped) << where;
            EXPECT_EQ(ended.result.song, 1u) << where;
            EXPECT_EQ(ended.sink.finished, (std::vector<std::size_t>{0, 1})) << where;
            EXPECT_EQ(ended.sink.outputs.size(), 2u) << where;
            EXPECT_FALSE(ended.sink.out_of_order) << where;
            EXPECT_EQ(ended.sink.calls_after_refusal, 0) << where;
        }
    }
    if (at_most(2) < 2) return;
    // Refused on a worker, in the last output (whose groups are all claimed,
    // so that the workers take writes): the first two are whole, the last
    // never ends.
    memory_sink on_worker;
    on_worker.refuse_on_worker = true;
    const conversion got = convert(image, 2, 1024, 4, on_worker, true, false, {}, true);
    if (got.result.status == tolvarin::conversion_status::done) GTEST_SKIP() << "no worker wrote the last output";
    EXPECT_EQ(got.result.status, tolvarin::conversion_status::stopped);
    EXPECT_TRUE(got.sink.outputs[1] == test_support::reference_outputs(image)[1]);
    EXPECT_EQ(got.result.song, 2u);
    EXPECT_EQ(got.sink.finished, (std::vector<std::size_t>{0, 1}));
    EXPECT_EQ(got.sink.calls_after_refusal, 0);
}

}  // namespace
