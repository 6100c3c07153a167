// The library's interface as another program meets it: songs converted into
// a sink and into memory, one or all, on any number of threads; a sink, a
// guard or a thread starter that says no; and the C interface. Expected
// outputs are worked out by hand from the format, or come from the
// reference translation for containers too large for that.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "bytes.hpp"
#include "convert/convert.hpp"
#include "convert/pipeline.hpp"
#include "model.hpp"
#include "tolvarin/tolvarin.h"
#include "tolvarin/tolvarin.hpp"

namespace {

using test_support::bytes;
using test_support::hex;

// Three songs whose tracks are known by hand: the note off and the pitch bend
// gain their pad, the rest is copied.
struct known_song {
    bytes stream;
    bytes track;
};
const known_song songs[] = {
    {hex("00 90 3C 40 60 80 3C 00 FF 2F 00"), hex("00 90 3C 40 60 80 3C 00 00 FF 2F 00")},
    {hex("00 E0 40 00 FF 51 03 07 A1 20 00 FF 2F 00"), hex("00 E0 40 00 00 FF 51 03 07 A1 20 00 FF 2F 00")},
    {hex("00 FF 2F 00"), hex("00 FF 2F 00")},
};

bytes record(std::size_t index) {
    return test_support::concat({test_support::header_block(96 + static_cast<std::uint16_t>(index)), songs[index].stream});
}

bytes three_songs() { return test_support::container_of({record(0), record(1), record(2)}); }

// Song `index` as a file: its head with the track length, then the track.
bytes expected_output(std::size_t index) {
    const bytes& track = songs[index].track;
    return test_support::concat(
        {test_support::header_block(96 + static_cast<std::uint16_t>(index), static_cast<std::uint32_t>(track.size())),
         track});
}

bytes as_bytes(tolvarin::byte_view view) { return bytes(view.begin(), view.end()); }

TEST(api, every_song_into_memory) {
    const bytes image = three_songs();
    const tolvarin::container_plan plan = tolvarin::plan_container(image);
    ASSERT_EQ(plan.count, 3u);
    tolvarin::memory_outputs outputs;
    const tolvarin::conversion_result result = tolvarin::convert(image, plan, outputs);
    EXPECT_EQ(result.status, tolvarin::conversion_status::done);
    ASSERT_EQ(outputs.count(), 3u);
    for (std::uint32_t index = 0; index < 3; ++index) {
        SCOPED_TRACE(index);
        EXPECT_EQ(test_support::hex_string(as_bytes(outputs.output(index))), test_support::hex_string(expected_output(index)));
        const tolvarin::song_output& report = outputs.report(index);
        EXPECT_EQ(report.song.number, index + 1);
        EXPECT_EQ(report.track_length, songs[index].track.size());
        EXPECT_EQ(report.output_size, 22 + songs[index].track.size());
        // The stream ends at its end of track, so the translation stops just
        // behind the stream's last byte.
        EXPECT_EQ(report.end_position, plan.songs[index].first_event + songs[index].stream.size());
    }
}

TEST(api, one_song_into_memory) {
    const bytes image = three_songs();
    const tolvarin::container_plan plan = tolvarin::plan_container(image);
    for (std::uint32_t index = 0; index < 3; ++index) {
        tolvarin::memory_outputs outputs;
        EXPECT_EQ(tolvarin::convert_song(image, plan, index, outputs).status, tolvarin::conversion_status::done);
        ASSERT_EQ(outputs.count(), 1u);
        EXPECT_EQ(outputs.report(0).song.number, index + 1);
        EXPECT_EQ(test_support::hex_string(as_bytes(outputs.output(0))), test_support::hex_string(expected_output(index)));
    }
    tolvarin::memory_outputs none;
    EXPECT_EQ(tolvarin::convert_song(image, plan, 3, none).status, tolvarin::conversion_status::bad_argument);
    EXPECT_EQ(none.count(), 0u);
}

TEST(api, a_container_without_songs_converts_to_nothing) {
    for (const bytes& image : {bytes{}, bytes(16, 0), bytes(37, 0)}) {
        const tolvarin::container_plan plan = tolvarin::plan_container(image);
        tolvarin::memory_outputs outputs;
        EXPECT_EQ(tolvarin::convert(image, plan, outputs).status, tolvarin::conversion_status::done);
        EXPECT_EQ(outputs.count(), 0u);
    }
}

// A sink that records every call and refuses the one it is told to.
struct refusing_sink final : tolvarin::output_sink {
    std::string refuse;  // "begin 2", "write 3" or "end 1": the call and its output number
    std::vector<std::string> calls;
    bool refused = false;
    std::size_t calls_after_refusal = 0;

    bool answer(const std::string& call) {
        if (refused) ++calls_after_refusal;
        calls.push_back(call);
        refused = refused || call == refuse;
        return call != refuse;
    }
    std::uint32_t current = 0;
    int writes = 0;
    bool begin_output(const tolvarin::song_place& song) override {
        current = song.number;
        writes = 0;
        return answer("begin " + std::to_string(song.number));
    }
    bool write(tolvarin::byte_view) override { return answer("write " + std::to_string(++writes)); }
    bool end_output(const tolvarin::song_output& output) override {
        return answer("end " + std::to_string(output.song.number));
    }
};

// Whichever call a sink refuses, the conversion stops there, says which
// output was under way, and asks nothing more of the sink. Each song here
// is written in two pieces: its head, and its track (one piece, as the
// tracks are short).
TEST(api, a_sink_that_refuses_stops_the_conversion) {
    struct refusal {
        const char* refuse;
        std::uint32_t song;
        std::size_t calls;
    };
    const refusal cases[] = {{"begin 1", 0, 1}, {"write 1", 0, 2}, {"write 2", 0, 3}, {"end 1", 0, 4},
                             {"begin 2", 1, 5}, {"end 3", 2, 12}};
    const bytes image = three_songs();
    const tolvarin::container_plan plan = tolvarin::plan_container(image);
    for (const refusal& c : cases) {
        SCOPED_TRACE(c.refuse);
        refusing_sink sink;
        sink.refuse = c.refuse;
        const tolvarin::conversion_result result = tolvarin::convert(image, plan, sink);
        EXPECT_EQ(result.status, tolvarin::conversion_status::stopped);
        EXPECT_EQ(result.song, c.song);
        EXPECT_EQ(sink.calls.size(), c.calls);
        EXPECT_EQ(sink.calls.back(), c.refuse);
        EXPECT_EQ(sink.calls_after_refusal, 0u);
    }
    // The same with tracks of many pieces, on threads that run ahead of the
    // sink: a refused write stops inside the first output, a refused end
    // before the third begins, and the outputs before came in order.
    const bytes big = test_support::concat(
        {test_support::header_block(), test_support::repeat(hex("00 90 3C 40"), 50000), hex("00 FF 2F 00")});
    const bytes large = test_support::container_of({big, big, big});
    tolvarin::conversion_tuning tuning;
    tuning.chunk_bytes = 1024;
    tuning.threaded_bytes = 0;
    for (const unsigned threads : {1u, 2u, 4u}) {
        if (threads > TOLVARIN_TEST_THREADS) continue;
        for (const refusal& c : {refusal{"write 3", 0, 4}, refusal{"end 2", 1, 0}}) {
            SCOPED_TRACE(std::string(c.refuse) + " on " + std::to_string(threads));
            refusing_sink sink;
            sink.refuse = c.refuse;
            tolvarin::conversion_options options;
            options.threads = threads;
            const tolvarin::conversion_result result =
                tolvarin::convert_tuned(large, tolvarin::plan_container(large), sink, options, tuning);
            EXPECT_EQ(result.status, tolvarin::conversion_status::stopped);
            EXPECT_EQ(result.song, c.song);
            if (c.calls != 0) {
                EXPECT_EQ(sink.calls.size(), c.calls);
            }
            EXPECT_EQ(sink.calls.back(), c.refuse);
            EXPECT_EQ(sink.calls_after_refusal, 0u);
            std::vector<std::string> outline;  // every call but the writes
            for (const std::string& call : sink.calls) {
                if (call.rfind("write", 0) != 0) outline.push_back(call);
            }
            const std::vector<std::string> expected_outline =
                c.song == 0 ? std::vector<std::string>{"begin 1"}
                            : std::vector<std::string>{"begin 1", "end 1", "begin 2", "end 2"};
            EXPECT_EQ(outline, expected_outline);
        }
    }
}

// A large container of many songs' worth of events, in four songs, gives the
// same bytes on every number of threads (0: as many as there are
// processors; 9: no more than 8), and they are the reference's.
TEST(api, every_thread_count_gives_the_same_bytes) {
    const bytes piece = hex("00 90 3C 40 05 3E 40 00 B0 07 64 03 80 3C 02 3E 00 FF 05 03 6C 61 6C 81 00 E0 40 02 41");
    std::vector<bytes> records;
    for (int song = 0; song < 4; ++song) {
        bytes stream;
        for (int i = 0; i < 6000 + 1000 * song; ++i) stream.insert(stream.end(), piece.begin(), piece.end());
        stream.insert(stream.end(), {0x00, 0xFF, 0x2F, 0x00});
        records.push_back(test_support::concat({test_support::header_block(), stream}));
    }
    const bytes image = test_support::container_of(records);
    const tolvarin::container_plan plan = tolvarin::plan_container(image);
    std::vector<bytes> expected;
    for (std::uint32_t index = 0; index < plan.count; ++index) {
        const bytes track = test_support::reference_translate(image, plan.songs[index].first_event);
        expected.push_back(test_support::concat(
            {test_support::header_block(96, static_cast<std::uint32_t>(track.size())), track}));
    }
    tolvarin::conversion_tuning tuning;
    tuning.chunk_bytes = 4096;  // many groups, so that every thread has some
    tuning.threaded_bytes = 0;
    // Where the tests must stay on one thread (see tests/CMakeLists.txt), 0
    // would start threads too.
    const unsigned first = TOLVARIN_TEST_THREADS > 1 ? 0 : 1;
    const unsigned last = TOLVARIN_TEST_THREADS > 1 ? 9 : 1;
    for (unsigned threads = first; threads <= last; ++threads) {
        SCOPED_TRACE(threads);
        tolvarin::conversion_options options;
        options.threads = threads;
        tolvarin::memory_outputs outputs;
        ASSERT_EQ(tolvarin::convert_tuned(image, plan, outputs, options, tuning).status, tolvarin::conversion_status::done);
        ASSERT_EQ(outputs.count(), 4u);
        for (std::uint32_t index = 0; index < 4; ++index) EXPECT_TRUE(as_bytes(outputs.output(index)) == expected[index]);
    }
}

// A guard decides whether reading went well: a fault at any of its calls
// ends the conversion as an input fault, and an output under way is never
// ended.
class faulting_guard final : public tolvarin::input_guard {
public:
    explicit faulting_guard(int fault_at) : fault_at_(fault_at) {}
    bool run(tolvarin::function_ref<void()> work) const override {
        if (++calls_ == fault_at_) return false;
        work();
        return true;
    }
    int calls() const { return calls_; }

private:
    int fault_at_;
    mutable int calls_ = 0;
};

TEST(api, a_guard_that_faults_ends_the_conversion) {
    const bytes image = three_songs();
    const tolvarin::container_plan plan = tolvarin::plan_container(image);
    const faulting_guard counting(-1);
    tolvarin::conversion_options options;
    options.guard = &counting;
    tolvarin::memory_outputs whole;
    ASSERT_EQ(tolvarin::convert(image, plan, whole, options).status, tolvarin::conversion_status::done);
    ASSERT_GE(counting.calls(), 3);  // the heads, the openings, the tracks
    for (int fault_at = 1; fault_at <= counting.calls(); ++fault_at) {
        SCOPED_TRACE(fault_at);
        const faulting_guard guard(fault_at);
        options.guard = &guard;
        refusing_sink sink;
        const tolvarin::conversion_result result = tolvarin::convert(image, plan, sink, options);
        EXPECT_EQ(result.status, tolvarin::conversion_status::input_fault);
        // The output under way when the fault came is not ended.
        EXPECT_EQ(std::count(sink.calls.begin(), sink.calls.end(), "end " + std::to_string(result.song + 1)), 0);
    }
}

// memory_outputs as a value: returned from a function, given conversion
// after conversion, holding only whole outputs (a fault, wherever it comes,
// leaves those before the song under way), answering nothing past them.
tolvarin::memory_outputs converted(const bytes& image) {
    tolvarin::memory_outputs outputs;
    EXPECT_EQ(tolvarin::convert(image, tolvarin::plan_container(image), outputs).status, tolvarin::conversion_status::done);
    return outputs;
}

TEST(api, memory_outputs_hold_whole_outputs_of_every_conversion) {
    const bytes image = three_songs();
    const tolvarin::container_plan plan = tolvarin::plan_container(image);
    tolvarin::memory_outputs outputs = converted(image);
    ASSERT_EQ(tolvarin::convert(image, plan, outputs).status, tolvarin::conversion_status::done);
    ASSERT_EQ(outputs.count(), 6u);
    tolvarin::memory_outputs moved = std::move(outputs);
    EXPECT_EQ(outputs.count(), 0u);  // NOLINT: a moved-from object is empty
    for (std::uint32_t index = 0; index < 6; ++index) {
        EXPECT_EQ(test_support::hex_string(as_bytes(moved.output(index))), test_support::hex_string(expected_output(index % 3)));
        EXPECT_EQ(moved.report(index).song.number, index % 3 + 1);
    }
    EXPECT_TRUE(moved.output(6).empty());
    EXPECT_EQ(moved.report(99).output_size, 0u);
    for (int fault_at = 1;; ++fault_at) {
        SCOPED_TRACE(fault_at);
        moved.clear();
        const faulting_guard guard(fault_at);
        tolvarin::conversion_options options;
        options.guard = &guard;
        const tolvarin::conversion_result result = tolvarin::convert(image, plan, moved, options);
        if (result.status == tolvarin::conversion_status::done) break;  // past the last read
        ASSERT_EQ(moved.count(), result.song);
        for (std::uint32_t index = 0; index < result.song; ++index) EXPECT_TRUE(as_bytes(moved.output(index)) == expected_output(index));
        ASSERT_EQ(tolvarin::convert_song(image, plan, 2, moved).status, tolvarin::conversion_status::done);
        EXPECT_TRUE(as_bytes(moved.output(result.song)) == expected_output(2));
    }
    // Out of turn: nothing is written or ended before an output begins.
    tolvarin::memory_outputs fresh;
    EXPECT_FALSE(fresh.write(hex("01 02")));
    EXPECT_FALSE(fresh.end_output(tolvarin::song_output{}));
    EXPECT_EQ(fresh.count(), 0u);
}

// Threads come from the caller's starter when it gives one; a starter that
// gives none leaves the conversion on the calling thread, with the same bytes.
class counted_starter final : public tolvarin::worker_starter {
public:
    explicit counted_starter(unsigned allowed) : allowed_(allowed) {}
    bool start(tolvarin::function_ref<void()> entry) override {
        ++asked;
        if (started_ >= allowed_) return false;
        threads_.emplace_back([entry] { entry(); });
        ++started_;
        return true;
    }
    void join_all() override {
        for (std::thread& thread : threads_) thread.join();
        threads_.clear();
        ++joins;
    }
    unsigned asked = 0;
    unsigned joins = 0;

private:
    unsigned allowed_;
    unsigned started_ = 0;
    std::vector<std::thread> threads_;
};

TEST(api, threads_come_from_the_callers_starter) {
    if (TOLVARIN_TEST_THREADS < 4) GTEST_SKIP() << "the tests run on one thread here";
    bytes stream;
    for (int i = 0; i < 200000; ++i) stream.insert(stream.end(), {0x00, 0x90, 0x3C, 0x40});
    const bytes image = test_support::container_of({test_support::concat({test_support::header_block(), stream})});
    const tolvarin::container_plan plan = tolvarin::plan_container(image);
    tolvarin::memory_outputs expected;
    ASSERT_EQ(tolvarin::convert(image, plan, expected).status, tolvarin::conversion_status::done);
    for (const unsigned allowed : {0u, 1u, 3u}) {
        SCOPED_TRACE(allowed);
        counted_starter starter(allowed);
        tolvarin::pipeline_stats stats;
        tolvarin::conversion_tuning tuning;
        tuning.stats = &stats;
        tuning.threaded_bytes = 0;
        tolvarin::conversion_options options;
        options.threads = 4;
        options.starter = &starter;
        tolvarin::memory_outputs outputs;
        ASSERT_EQ(tolvarin::convert_tuned(image, plan, outputs, options, tuning).status, tolvarin::conversion_status::done);
        EXPECT_TRUE(as_bytes(outputs.output(0)) == as_bytes(expected.output(0)));
        EXPECT_EQ(starter.asked, std::min(allowed + 1, 3u));
        EXPECT_EQ(starter.joins, 1u);
        EXPECT_EQ(stats.threads, allowed + 1);
    }
}

// Below 4 MiB of tracks a conversion stays on the calling thread, whatever
// it asks for.
TEST(api, threads_start_only_for_4_mib_of_tracks) {
    if (TOLVARIN_TEST_THREADS < 4) GTEST_SKIP() << "the tests run on one thread here";
    for (const std::uint64_t track : {tolvarin::threaded_track_bytes - 1, tolvarin::threaded_track_bytes}) {
        SCOPED_TRACE(track);
        bytes stream(static_cast<std::size_t>(track) - 4, 0x00);  // delta times, with no status to run
        stream.insert(stream.end(), {0x00, 0xFF, 0x2F, 0x00});
        const bytes image = test_support::container_of({test_support::concat({test_support::header_block(), stream})});
        const tolvarin::container_plan plan = tolvarin::plan_container(image);
        ASSERT_EQ(plan.track_bytes, track);
        for (const unsigned asked : {0u, 8u}) {
            counted_starter starter(8);
            tolvarin::conversion_options options;
            options.threads = asked;
            options.starter = &starter;
            tolvarin::memory_outputs outputs;
            ASSERT_EQ(tolvarin::convert(image, plan, outputs, options).status, tolvarin::conversion_status::done);
            EXPECT_EQ(starter.asked > 0, track >= tolvarin::threaded_track_bytes) << asked;
            EXPECT_EQ(outputs.report(0).track_length, track);
        }
    }
}

// The C interface: the plan, the bound, a description, and each song's
// output in pieces, its head last.
TEST(c_interface, converts_in_pieces_with_the_head_last) {
    const bytes image = three_songs();
    tolvarin_session* const session = tolvarin_open(image.data(), image.size());
    ASSERT_NE(session, nullptr);
    EXPECT_EQ(tolvarin_song_count(session), 3u);
    EXPECT_EQ(tolvarin_walk_end(session), TOLVARIN_WALK_ABSENT_SLOT);
    EXPECT_EQ(tolvarin_song_number(session, 1), 2u);
    EXPECT_EQ(tolvarin_song_position(session, 1), 16u + record(0).size());
    const std::size_t behind_song_3 = image.size() - (16 + record(0).size() + record(1).size() + 22);
    EXPECT_EQ(tolvarin_output_bound(session, 2), 22 + behind_song_3 + behind_song_3 / 2);
    for (std::uint32_t index = 0; index < 3; ++index) {
        SCOPED_TRACE(index);
        ASSERT_EQ(tolvarin_start_song(session, index), TOLVARIN_OK);
        bytes track;
        bytes head;
        int status = 0;
        while ((status = tolvarin_next_piece(session)) == TOLVARIN_TRACK_PIECE) {
            ASSERT_TRUE(head.empty());
            track.insert(track.end(), tolvarin_piece_data(session), tolvarin_piece_data(session) + tolvarin_piece_size(session));
        }
        ASSERT_EQ(status, TOLVARIN_HEAD_PIECE);
        head.assign(tolvarin_piece_data(session), tolvarin_piece_data(session) + tolvarin_piece_size(session));
        EXPECT_EQ(tolvarin_next_piece(session), TOLVARIN_DONE);
        EXPECT_EQ(test_support::hex_string(test_support::concat({head, track})),
                  test_support::hex_string(expected_output(index)));
        EXPECT_EQ(tolvarin_output_size(session), expected_output(index).size());
    }
    ASSERT_EQ(tolvarin_describe_song(session, 1), TOLVARIN_OK);
    EXPECT_EQ(tolvarin_track_ending(session), TOLVARIN_END_OF_TRACK);
    EXPECT_EQ(tolvarin_event_count(session), 3u);  // pitch bend, tempo, end of track
    EXPECT_EQ(tolvarin_text_type(session), 0u);
    EXPECT_EQ(tolvarin_start_song(session, 3), TOLVARIN_BAD_ARGUMENT);
    EXPECT_EQ(tolvarin_describe_song(session, 3), TOLVARIN_BAD_ARGUMENT);
    tolvarin_close(session);
}

TEST(c_interface, refuses_what_it_cannot_take) {
    int status = 99;
    EXPECT_EQ(tolvarin_open(nullptr, 5), nullptr);
    EXPECT_EQ(tolvarin_open_with_status(nullptr, 5, &status), nullptr);
    EXPECT_EQ(status, TOLVARIN_BAD_ARGUMENT);
    tolvarin_session* const empty = tolvarin_open_with_status(nullptr, 0, &status);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(status, TOLVARIN_OK);
    EXPECT_EQ(tolvarin_song_count(empty), 0u);
    EXPECT_EQ(tolvarin_walk_end(empty), TOLVARIN_WALK_PAST_THE_END);
    EXPECT_EQ(tolvarin_walk_stopped_at(empty), 16u);
    EXPECT_EQ(tolvarin_next_piece(empty), TOLVARIN_BAD_ARGUMENT);  // no song started
    EXPECT_EQ(tolvarin_start_song(empty, 0), TOLVARIN_BAD_ARGUMENT);
    tolvarin_close(empty);
    tolvarin_close(nullptr);
}

// One song converted on two sessions, as the page's two workers convert it:
// this side's pieces and, when it meets the part, the part's output from the
// offset on. The part is the image's bytes from `split` on, `part_size` of
// them; its track is planned to end where the next song's record starts.
struct split_conversion {
    bytes output;
    int joined = -1;  // tolvarin_join's answer; -1 when no join came
};

split_conversion convert_split(const bytes& image, std::uint32_t index, std::uint32_t split, std::size_t part_size) {
    split_conversion result;
    tolvarin_session* const session = tolvarin_open(image.data(), image.size());
    std::uint32_t track_end = static_cast<std::uint32_t>(image.size());
    for (std::uint32_t other = 0; other < tolvarin_song_count(session); ++other) {
        const std::uint32_t at = tolvarin_song_position(session, other);
        if (at > split && at < track_end) track_end = at;
    }
    EXPECT_EQ(tolvarin_start_song_split(session, index, split), TOLVARIN_OK);
    bytes track;
    int status = 0;
    while ((status = tolvarin_next_piece(session)) == TOLVARIN_TRACK_PIECE || status == TOLVARIN_JOIN) {
        if (status == TOLVARIN_TRACK_PIECE) {
            track.insert(track.end(), tolvarin_piece_data(session), tolvarin_piece_data(session) + tolvarin_piece_size(session));
            continue;
        }
        EXPECT_EQ(result.joined, -1);  // one join at most
        tolvarin_session* const part = tolvarin_open_part(image.data() + split, part_size, track_end - split);
        bytes part_output;
        int part_status = 0;
        while ((part_status = tolvarin_next_piece(part)) == TOLVARIN_TRACK_PIECE) {
            part_output.insert(part_output.end(), tolvarin_piece_data(part), tolvarin_piece_data(part) + tolvarin_piece_size(part));
        }
        EXPECT_EQ(part_status, TOLVARIN_DONE);
        const std::uint64_t offset = tolvarin_join_offset(session);
        result.joined = tolvarin_join(session, part_size, part_output.size(), tolvarin_part_end(part));
        if (result.joined == 1) track.insert(track.end(), part_output.begin() + static_cast<std::ptrdiff_t>(offset), part_output.end());
        tolvarin_close(part);
    }
    EXPECT_EQ(status, TOLVARIN_HEAD_PIECE);
    const bytes head(tolvarin_piece_data(session), tolvarin_piece_data(session) + tolvarin_piece_size(session));
    EXPECT_EQ(tolvarin_next_piece(session), TOLVARIN_DONE);
    tolvarin_close(session);
    result.output = test_support::concat({head, track});
    return result;
}

TEST(c_interface, a_song_split_between_two_sessions_is_the_whole_songs_output) {
    // The first song long, with a short one behind it; the reference gives
    // both outputs. Running note ons alone never show their running status:
    // the part, reading them under none, is never met, and this side
    // translates all of it.
    const bytes mix = hex("00 90 3C 40 05 3E 40 00 B0 07 64 03 80 3C 02 3E 00 FF 05 03 6C 61 6C 81 00 E0 40 02 41");
    const bytes end = hex("00 FF 2F 00");
    const bytes realistic = test_support::concat({test_support::repeat(mix, 700), end});
    const bytes running = test_support::concat({hex("00 90 3C 40"), test_support::repeat(hex("05 3E 40"), 6000), end});
    // A meta event of 200 bytes in each of a few events: splits land inside.
    bytes long_text = test_support::concat({hex("00 FF 01 C8"), bytes(200, 0x41), hex("10 C3 05")});
    const bytes texts = test_support::concat({test_support::repeat(test_support::concat({long_text, mix}), 40), end});
    struct split_case {
        const char* name;
        bytes stream;
        bool meets;  // the join comes wherever the split is (at the first event it always does)
    };
    const split_case cases[] = {{"realistic", realistic, true}, {"running note ons", running, false}, {"long texts", texts, true}};
    for (const split_case& test : cases) {
        SCOPED_TRACE(test.name);
        const bytes image = test_support::container_of(
            {test_support::concat({test_support::header_block(96), test.stream}), record(0)});
        const std::vector<bytes> expected = test_support::reference_outputs(image);
        const std::uint32_t first_event = 16 + 22;
        const std::uint32_t second_song = first_event + static_cast<std::uint32_t>(test.stream.size());
        for (std::uint32_t split = first_event; split < second_song; split += 977) {
            SCOPED_TRACE(split);
            // The part to the image's end; to a little past the track's
            // end (its end of track inside); and cut short inside the track,
            // where the part's output cannot be trusted.
            const split_conversion whole = convert_split(image, 0, split, image.size() - split);
            EXPECT_EQ(test_support::hex_string(whole.output), test_support::hex_string(expected[0]));
            const bool meets = test.meets || split == first_event;
            EXPECT_EQ(whole.joined, meets ? 1 : -1);
            const split_conversion past_end = convert_split(image, 0, split, second_song + 8 - split);
            EXPECT_EQ(test_support::hex_string(past_end.output), test_support::hex_string(expected[0]));
            EXPECT_EQ(past_end.joined, meets ? 1 : -1);
            const std::size_t short_part = std::min<std::size_t>(300, second_song - split - 1);
            const split_conversion cut = convert_split(image, 0, split, short_part);
            EXPECT_EQ(test_support::hex_string(cut.output), test_support::hex_string(expected[0]));
            EXPECT_EQ(cut.joined, meets ? 0 : -1);
        }
    }
}

TEST(c_interface, a_part_starts_with_a_delta_time_and_no_running_status) {
    // Unlike a song's track, a part gets no opening offer: its first byte is
    // a delta time's, whatever its value. It stops at its end of track, or
    // at its end.
    struct part_case {
        const char* name;
        bytes part;
        bytes output;      // empty: not worked out (an event cut short)
        std::uint32_t end;
    };
    const part_case cases[] = {
        {"a status byte first is a delta time's first byte", hex("83 60 90 3C 40 00 FF 2F 00"),
         hex("83 60 90 3C 40 00 FF 2F 00"), 9},
        {"a note off gains its pad; the end of track ends it", hex("60 80 3C 00 FF 2F 00 12 34"),
         hex("60 80 3C 00 00 FF 2F 00"), 7},
        {"no running status: a data byte first needs a status", hex("00 3C 40 00 90 3C 40 00 FF 2F 00"), {}, 11},
        {"cut short", hex("00 90 3C"), {}, 3},
    };
    for (const part_case& test : cases) {
        SCOPED_TRACE(test.name);
        tolvarin_session* const part = tolvarin_open_part(test.part.data(), test.part.size(), 4);
        ASSERT_NE(part, nullptr);
        EXPECT_EQ(tolvarin_start_song(part, 0), TOLVARIN_BAD_ARGUMENT);
        bytes output;
        int status = 0;
        while ((status = tolvarin_next_piece(part)) == TOLVARIN_TRACK_PIECE) {
            EXPECT_EQ(tolvarin_part_end(part), 0u);  // not before it is done
            output.insert(output.end(), tolvarin_piece_data(part), tolvarin_piece_data(part) + tolvarin_piece_size(part));
        }
        EXPECT_EQ(status, TOLVARIN_DONE);
        EXPECT_EQ(tolvarin_next_piece(part), TOLVARIN_DONE);
        EXPECT_EQ(tolvarin_part_end(part), test.end);
        if (!test.output.empty()) EXPECT_EQ(test_support::hex_string(output), test_support::hex_string(test.output));
        tolvarin_close(part);
    }
}

TEST(c_interface, refuses_a_split_out_of_place) {
    const bytes image = three_songs();
    tolvarin_session* const session = tolvarin_open(image.data(), image.size());
    const std::uint32_t first_event = tolvarin_song_position(session, 1) + 22;
    EXPECT_EQ(tolvarin_start_song_split(session, 1, first_event - 1), TOLVARIN_BAD_ARGUMENT);
    EXPECT_EQ(tolvarin_start_song_split(session, 1, static_cast<std::uint32_t>(image.size())), TOLVARIN_BAD_ARGUMENT);
    ASSERT_EQ(tolvarin_start_song_split(session, 1, first_event), TOLVARIN_OK);
    EXPECT_EQ(tolvarin_join(session, 1, 1, 0), TOLVARIN_BAD_ARGUMENT);  // no join waits
    ASSERT_EQ(tolvarin_start_song(session, 1), TOLVARIN_OK);
    EXPECT_EQ(tolvarin_join(session, 1, 1, 0), TOLVARIN_BAD_ARGUMENT);  // not split
    tolvarin_close(session);
}

}  // namespace
