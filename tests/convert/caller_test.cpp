// The library as a caller meets it, where it once failed them: a mapped
// container cut short under the library's own threads, images of 4 GiB or
// more, plans that belong to another image, callbacks that throw on a worker
// thread, the working memory from the caller, a track of 4 GiB - 1 bytes,
// and the C interface's answers. Expected outputs come from the
// reference translation.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <fcntl.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>
#endif

#include "bytes.hpp"
#include "convert/convert.hpp"
#include "tolvarin/tolvarin.h"
#include "tolvarin/tolvarin.hpp"

namespace {

using test_support::bytes;
using test_support::hex;
using tolvarin::conversion_status;

// A song whose track repeats `pattern` to at least `size` bytes, then ends.
bytes song_of(const bytes& pattern, std::size_t size) {
    bytes stream;
    while (stream.size() < size) stream.insert(stream.end(), pattern.begin(), pattern.end());
    stream.insert(stream.end(), {0x00, 0xFF, 0x2F, 0x00});
    return test_support::concat({test_support::header_block(), stream});
}

const bytes mixed = hex("00 90 3C 40 05 3E 40 00 B0 07 64 03 80 3C 02 3E 00 FF 05 03 6C 61 6C 81 00 E0 40 02 41");


bytes three_songs() {
    return test_support::container_of({song_of(mixed, 40), song_of(hex("00 E0 40"), 10), song_of(hex("00 C5 07"), 3)});
}

// --- Images of 4 GiB or more, and plans of another image ---------------------

// Every entry point that takes an image or a plan, and what each answered.
struct answers {
    conversion_status all;
    conversion_status one;
    tolvarin::track_ending described;
    std::uint64_t bound;
};

answers ask_everything(tolvarin::byte_view image, const tolvarin::container_plan& plan) {
    tolvarin::memory_outputs all;
    tolvarin::memory_outputs one;
    answers got{tolvarin::convert(image, plan, all).status, tolvarin::convert_song(image, plan, 0, one).status,
                tolvarin::describe_song(image, plan, 0).ending, tolvarin::output_size_bound(plan, 0, image.size())};
    EXPECT_EQ(all.count() + one.count(), 0u);
    return got;
}

#if defined(__linux__) && UINTPTR_MAX > 0xFFFFFFFFu
TEST(caller, an_image_of_4_gib_or_more_is_refused_everywhere) {
    // Address space only: no page of it is ever touched.
    for (const std::size_t size : {std::size_t{1} << 32, (std::size_t{1} << 32) + 16}) {
        SCOPED_TRACE(size);
        void* const mapped = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        ASSERT_NE(mapped, MAP_FAILED);
        const tolvarin::byte_view image(static_cast<const std::uint8_t*>(mapped), size);
        const tolvarin::container_plan plan = tolvarin::plan_container(image);
        EXPECT_EQ(plan.count, 0u);
        EXPECT_EQ(plan.stopped, tolvarin::walk_end::image_too_large);
        // A plan that would fit a smaller image does not make it convertible.
        tolvarin::container_plan small = tolvarin::plan_container(three_songs());
        for (const tolvarin::container_plan& asked : {plan, small}) {
            const answers got = ask_everything(image, asked);
            EXPECT_EQ(got.all, conversion_status::bad_argument);
            EXPECT_EQ(got.one, conversion_status::bad_argument);
            EXPECT_EQ(got.described, tolvarin::track_ending::no_such_song);
            EXPECT_EQ(got.bound, 0u);
        }
        int status = TOLVARIN_OK;
        EXPECT_EQ(tolvarin_open_with_status(image.data(), size, &status), nullptr);
        EXPECT_EQ(status, TOLVARIN_IMAGE_TOO_LARGE);
        ::munmap(mapped, size);
    }
}
#endif

TEST(caller, a_plan_that_does_not_fit_the_image_is_refused) {
    const bytes image = three_songs();
    const tolvarin::container_plan plan = tolvarin::plan_container(image);
    ASSERT_EQ(plan.count, 3u);
    struct misfit {
        const char* name;
        void (*change)(tolvarin::container_plan&);
        std::size_t image_size;
    };
    const misfit cases[] = {
        {"the image cut before song 3's head ends", [](tolvarin::container_plan&) {}, 0},
        {"more songs than slots", [](tolvarin::container_plan& p) { p.count = 6; }, image.size()},
        {"a head running past the end", [](tolvarin::container_plan& p) { p.songs[0].position = 0xFFFFFFF0u; },
         image.size()},
        {"a head just one byte short",
         [](tolvarin::container_plan& p) {
             // Song 3's record is its head and 7 bytes of track: a head 8
             // bytes into it ends one byte past the image.
             p.songs[0].position = p.songs[2].position + 8;
             p.songs[0].first_event = p.songs[0].position + 22;
         },
         image.size()},
        {"a first event apart from the head", [](tolvarin::container_plan& p) { p.songs[1].first_event += 1; },
         image.size()},
        {"a planned end past the image", [](tolvarin::container_plan& p) { p.songs[0].planned_end = 0xFFFFFFFFu; },
         image.size()},
        {"song number 0", [](tolvarin::container_plan& p) { p.songs[0].number = 0; }, image.size()},
        {"song number 5", [](tolvarin::container_plan& p) { p.songs[2].number = 5; }, image.size()},
    };
    for (const misfit& c : cases) {
        SCOPED_TRACE(c.name);
        tolvarin::container_plan changed = plan;
        c.change(changed);
        // The first case keeps the plan and cuts the image inside song 3's head.
        const std::size_t size = c.image_size != 0 ? c.image_size : plan.songs[2].position + 21;
        const bytes cut(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(size));
        const answers got = ask_everything(cut, changed);
        EXPECT_EQ(got.all, conversion_status::bad_argument);
        EXPECT_EQ(got.one, conversion_status::bad_argument);
        EXPECT_EQ(got.described, tolvarin::track_ending::no_such_song);
        EXPECT_EQ(got.bound, 0u);
    }
    // The plan does fit its own image, and a head that ends exactly at the
    // image's end fits too.
    const bytes exact(image.begin(), image.begin() + plan.songs[2].position + 22);
    tolvarin::container_plan ending = plan;
    ending.songs[2].planned_end = static_cast<std::uint32_t>(exact.size());
    ending.songs[1].planned_end = ending.songs[2].position;
    tolvarin::memory_outputs outputs;
    EXPECT_EQ(tolvarin::convert(exact, ending, outputs).status, conversion_status::done);
    EXPECT_EQ(outputs.count(), 3u);
    EXPECT_EQ(tolvarin::output_size_bound(plan, 2, image.size()), 22u + 7 + 3);
}

// --- Callbacks that throw -----------------------------------------------------

struct thrown_by_caller : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Throws on any thread but the caller's. The caller's calls from the
// `wait_from`th on (those after the workers are started) wait, ten seconds at
// most, until a worker has thrown, so that the throw comes from a worker
// however the threads are scheduled.
class worker_thrower {
public:
    explicit worker_thrower(int wait_from) : wait_from_(wait_from) {}
    void operator()(const char* what) const {
        if (std::this_thread::get_id() != caller_) {
            thrown_.store(true);
            throw thrown_by_caller(what);
        }
        if (++calls_ < wait_from_) return;
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!thrown_.load() && std::chrono::steady_clock::now() < until) std::this_thread::yield();
    }

private:
    std::thread::id caller_ = std::this_thread::get_id();
    int wait_from_;
    mutable std::atomic<int> calls_{0};
    mutable std::atomic<bool> thrown_{false};
};

// The calling thread's first two guarded reads (the heads, the openings)
// come before any worker is started.
class worker_throwing_guard final : public tolvarin::input_guard {
public:
    bool run(tolvarin::function_ref<void()> work) const override {
        thrower_("from a worker's guard");
        work();
        return true;
    }

private:
    worker_thrower thrower_{3};
};

class worker_throwing_reader final : public tolvarin::image_reader {
public:
    explicit worker_throwing_reader(const bytes& image) : image_(image) {}
    bool read(std::uint32_t offset, std::span<std::uint8_t> into) const override {
        thrower_("from a worker's reader");
        std::memcpy(into.data(), image_.data() + offset, into.size());
        return true;
    }

private:
    const bytes& image_;
    worker_thrower thrower_{1};
};

// A sink that takes bytes at their places, and throws when a worker writes.
class worker_throwing_sink final : public tolvarin::placed_output_sink {
public:
    bool begin_output(const tolvarin::song_place&) override { return true; }
    bool write(tolvarin::byte_view) override { return true; }
    bool write_at(std::uint64_t, tolvarin::byte_view) override {
        thrower_("from a worker's write");
        return true;
    }
    bool end_output(const tolvarin::song_output&) override { return true; }

private:
    worker_thrower thrower_{3};
};

TEST(caller, an_exception_from_a_callback_reaches_the_caller_from_any_thread) {
    if (TOLVARIN_TEST_THREADS < 4) GTEST_SKIP() << "the tests run on one thread here";
    std::vector<bytes> records;
    for (int song = 0; song < 3; ++song) records.push_back(song_of(mixed, 300 << 10));
    const bytes image = test_support::container_of(records);
    const tolvarin::container_plan plan = tolvarin::plan_container(image);
    struct thrower {
        const char* name;
        const char* message;
    };
    const thrower cases[] = {{"guard", "from a worker's guard"},
                             {"reader", "from a worker's reader"},
                             {"sink", "from a worker's write"}};
    for (const thrower& c : cases) {
        SCOPED_TRACE(c.name);
        const worker_throwing_guard guard;
        const worker_throwing_reader reader(image);
        tolvarin::memory_outputs sink;
        worker_throwing_sink placed;
        tolvarin::conversion_options options;
        options.threads = 4;
        if (std::string(c.name) == "guard") options.guard = &guard;
        if (std::string(c.name) == "reader") options.reader = &reader;
        tolvarin::conversion_tuning tuning;
        tuning.chunk_bytes = 4096;
        tuning.threaded_bytes = 0;
        tuning.share_writes = true;
        try {
            if (std::string(c.name) == "sink") {
                tolvarin::convert_tuned(image, plan, placed, options, tuning, &placed);
            } else {
                tolvarin::convert_tuned(image, plan, sink, options, tuning);
            }
            ADD_FAILURE() << "nothing was thrown";
        } catch (const thrown_by_caller& error) {
            EXPECT_STREQ(error.what(), c.message);
        }
    }
}

// --- The working memory from the caller ----------------------------------------

// Gives blocks from malloc, or none once `blocks` were given; keeps count.
class counted_memory final : public tolvarin::memory_source {
public:
    explicit counted_memory(int blocks) : blocks_(blocks) {}
    void* take(std::size_t size) override {
        if (taken_ == blocks_) return nullptr;
        ++taken_;
        held_ += size;
        return std::malloc(size);
    }
    void give_back(void* block, std::size_t size) override {
        ++given_back_;
        held_ -= size;
        std::free(block);
    }
    int taken_ = 0;
    int given_back_ = 0;
    std::size_t held_ = 0;

private:
    int blocks_;
};

// Every conversion, on one thread or several, one song or all, takes one
// block and gives it back with the size it asked for; outputs are the
// reference's. With no block to be had, the conversion ends with no_memory
// before the sink sees anything.
TEST(caller, the_working_memory_comes_from_the_callers_source) {
    const bytes image = test_support::container_of({song_of(mixed, 200 << 10), song_of(hex("00 E0 40"), 90 << 10)});
    const tolvarin::container_plan plan = tolvarin::plan_container(image);
    const std::vector<bytes> expected = test_support::reference_outputs(image);
    for (const unsigned threads : {1u, 2u}) {
        if (threads > TOLVARIN_TEST_THREADS) continue;  // where the tests stay on one thread
        for (const bool one_song : {false, true}) {
            SCOPED_TRACE(std::to_string(threads) + (one_song ? " threads, song 2" : " threads, every song"));
            counted_memory memory(1);
            tolvarin::memory_outputs outputs;
            tolvarin::conversion_options options;
            options.threads = threads;
            tolvarin::conversion_tuning tuning;
            tuning.threaded_bytes = 0;
            tuning.memory = &memory;
            const tolvarin::conversion_result result =
                tolvarin::convert_songs(image, plan, one_song ? 1 : 0, 2, outputs, options, tuning);
            EXPECT_EQ(result.status, conversion_status::done);
            EXPECT_EQ(memory.taken_, 1);
            EXPECT_EQ(memory.given_back_, 1);
            EXPECT_EQ(memory.held_, 0u);
            ASSERT_EQ(outputs.count(), one_song ? 1u : 2u);
            const tolvarin::byte_view first = outputs.output(0);
            EXPECT_TRUE(bytes(first.begin(), first.end()) == expected[one_song ? 1 : 0]);

            counted_memory none(0);
            tuning.memory = &none;
            tolvarin::memory_outputs nothing;
            EXPECT_EQ(tolvarin::convert_songs(image, plan, 0, 2, nothing, options, tuning).status,
                      conversion_status::no_memory);
            EXPECT_EQ(nothing.count(), 0u);
            EXPECT_EQ(none.given_back_, 0);
        }
    }
    // As a program meets it through the header: the source is given to the
    // placed overloads, and every byte of each output arrives at its place.
    struct assembling_sink final : tolvarin::placed_output_sink {
        std::vector<bytes> outputs;
        bool begin_output(const tolvarin::song_place&) override {
            outputs.emplace_back();
            return true;
        }
        bool write(tolvarin::byte_view) override { return false; }
        bool write_at(std::uint64_t offset, tolvarin::byte_view data) override {
            bytes& output = outputs.back();
            if (output.size() < offset + data.size()) output.resize(offset + data.size());
            std::copy(data.begin(), data.end(), output.begin() + static_cast<std::ptrdiff_t>(offset));
            return true;
        }
        bool end_output(const tolvarin::song_output& output) override {
            std::copy(output.length_field.begin(), output.length_field.end(), outputs.back().begin() + 18);
            return true;
        }
    };
    counted_memory memory(2);
    assembling_sink every;
    EXPECT_EQ(tolvarin::convert(image, plan, every, {}, &memory).status, conversion_status::done);
    EXPECT_TRUE(every.outputs == expected);
    assembling_sink second;
    EXPECT_EQ(tolvarin::convert_song(image, plan, 1, second, {}, &memory).status, conversion_status::done);
    ASSERT_EQ(second.outputs.size(), 1u);
    EXPECT_TRUE(second.outputs[0] == expected[1]);
    EXPECT_EQ(memory.taken_, 2);
    EXPECT_EQ(memory.given_back_, 2);
    EXPECT_EQ(memory.held_, 0u);
}

// --- A mapped container cut short under the library's own threads --------------

#if defined(__linux__) && !defined(__SANITIZE_THREAD__)
// Returns to the guard of the thread whose read faulted: each thread keeps
// its own place to return to.
thread_local sigjmp_buf* fault_return = nullptr;

void on_bus_fault(int) {
    if (fault_return != nullptr) siglongjmp(*fault_return, 1);
    ::signal(SIGBUS, SIG_DFL);
    ::raise(SIGBUS);
}

class bus_guard final : public tolvarin::input_guard {
public:
    bool run(tolvarin::function_ref<void()> work) const override {
        sigjmp_buf here;
        sigjmp_buf* const outer = fault_return;
        if (sigsetjmp(here, 1) == 0) {
            fault_return = &here;
            work();
            fault_return = outer;
            return true;
        }
        fault_return = outer;
        return false;
    }
};

TEST(caller, a_mapped_container_cut_short_is_an_input_fault_on_the_librarys_threads) {
    if (TOLVARIN_TEST_THREADS < 4) GTEST_SKIP() << "the tests run on one thread here";
    // Song 1 is long enough to be converted on several threads.
    const bytes image = test_support::container_of({song_of(mixed, 5 << 20), song_of(mixed, 1 << 10)});
    char path[] = "/tmp/tolvarin_cut_XXXXXX";
    const int file = ::mkstemp(path);
    ASSERT_GE(file, 0);
    ASSERT_EQ(::write(file, image.data(), image.size()), static_cast<ssize_t>(image.size()));
    void* const mapped = ::mmap(nullptr, image.size(), PROT_READ, MAP_SHARED, file, 0);
    ASSERT_NE(mapped, MAP_FAILED);
    struct sigaction action {};
    action.sa_handler = on_bus_fault;
    sigemptyset(&action.sa_mask);
    struct sigaction previous {};
    ::sigaction(SIGBUS, &action, &previous);

    const tolvarin::byte_view view(static_cast<const std::uint8_t*>(mapped), image.size());
    const tolvarin::container_plan plan = tolvarin::plan_container(view);
    ASSERT_EQ(plan.count, 2u);
    // Cut short from another descriptor, as another program would.
    const int other = ::open(path, O_WRONLY);
    ASSERT_GE(other, 0);
    ASSERT_EQ(::ftruncate(other, 600 << 10), 0);
    const bus_guard guard;
    for (const unsigned threads : {4u, 1u}) {
        SCOPED_TRACE(threads);
        tolvarin::conversion_options options;
        options.threads = threads;
        options.guard = &guard;
        tolvarin::memory_outputs outputs;
        EXPECT_EQ(tolvarin::convert_song(view, plan, 0, outputs, options).status, conversion_status::input_fault);
        EXPECT_EQ(outputs.count(), 0u);
    }
    ::sigaction(SIGBUS, &previous, nullptr);
    ::munmap(mapped, image.size());
    ::close(other);
    ::close(file);
    ::unlink(path);
}
#endif

// --- The C interface's answers ------------------------------------------------

TEST(c_interface, names_its_version_and_statuses) {
    EXPECT_STREQ(tolvarin_version(), TOLVARIN_VERSION_STRING);
    EXPECT_EQ(std::to_string(TOLVARIN_VERSION_MAJOR) + "." + std::to_string(TOLVARIN_VERSION_MINOR) + "." +
                  std::to_string(TOLVARIN_VERSION_PATCH),
              TOLVARIN_VERSION_STRING);
    // Every status has a sentence of its own.
    std::vector<std::string> texts;
    for (int status = -4; status <= 4; ++status) texts.emplace_back(tolvarin_status_text(status));
    std::vector<std::string> distinct = texts;
    std::sort(distinct.begin(), distinct.end());
    EXPECT_EQ(std::unique(distinct.begin(), distinct.end()), distinct.end());
    EXPECT_EQ(std::count(texts.begin(), texts.end(), "unknown status"), 0);
    EXPECT_STREQ(tolvarin_status_text(-5), "unknown status");
    EXPECT_STREQ(tolvarin_status_text(5), "unknown status");
}

TEST(c_interface, a_description_answers_only_once_it_succeeded) {
    // Song 1: an unknown type of 80 or more, then a text. Song 2: nothing.
    const bytes image = test_support::container_of(
        {test_support::concat({test_support::header_block(), hex("00 FF 90 00 FF 05 02 61 62 00 FF 2F 00")}),
         song_of(hex(""), 0)});
    tolvarin_session* const session = tolvarin_open(image.data(), image.size());
    ASSERT_NE(session, nullptr);
    EXPECT_EQ(tolvarin_track_ending(session), TOLVARIN_BAD_ARGUMENT);  // nothing described yet
    ASSERT_EQ(tolvarin_describe_song(session, 0), TOLVARIN_OK);
    EXPECT_EQ(tolvarin_track_ending(session), TOLVARIN_END_OF_TRACK);
    EXPECT_EQ(tolvarin_event_count(session), 3u);
    EXPECT_EQ(tolvarin_met_unknown_meta_type(session, 0x90), 1);
    EXPECT_EQ(tolvarin_met_unknown_meta_type(session, 0x10), 0);
    EXPECT_EQ(tolvarin_met_unknown_meta_type(session, 0x190), 0);
    EXPECT_EQ(tolvarin_text_type(session), 5u);
    EXPECT_EQ(tolvarin_text_position(session), 16u + 22 + 7);
    EXPECT_EQ(tolvarin_text_length(session), 2u);
    // A failed description takes the answers away.
    EXPECT_EQ(tolvarin_describe_song(session, 2), TOLVARIN_BAD_ARGUMENT);
    EXPECT_EQ(tolvarin_track_ending(session), TOLVARIN_BAD_ARGUMENT);
    EXPECT_EQ(tolvarin_event_count(session), 0u);
    EXPECT_EQ(tolvarin_text_type(session), 0u);
    EXPECT_EQ(tolvarin_set_threads(nullptr, 2), TOLVARIN_BAD_ARGUMENT);
    tolvarin_close(session);
}

// A song of 4 MiB or more converted through the C interface on several
// threads gives the reference's bytes.
TEST(c_interface, converts_on_the_threads_asked_for) {
    const bytes image = test_support::container_of({song_of(mixed, 5 << 20)});
    const std::vector<bytes> expected = test_support::reference_outputs(image);
    tolvarin_session* const session = tolvarin_open(image.data(), image.size());
    ASSERT_NE(session, nullptr);
    // Where the tests must stay on one thread, 0 would start threads too.
    const std::uint32_t every = TOLVARIN_TEST_THREADS > 1 ? 0 : 1;
    for (const std::uint32_t threads : {every, 1u, static_cast<std::uint32_t>(TOLVARIN_TEST_THREADS)}) {
        SCOPED_TRACE(threads);
        ASSERT_EQ(tolvarin_set_threads(session, threads), TOLVARIN_OK);
        ASSERT_EQ(tolvarin_start_song(session, 0), TOLVARIN_OK);
        bytes track;
        int status = 0;
        while ((status = tolvarin_next_piece(session)) == TOLVARIN_TRACK_PIECE) {
            track.insert(track.end(), tolvarin_piece_data(session), tolvarin_piece_data(session) + tolvarin_piece_size(session));
        }
        ASSERT_EQ(status, TOLVARIN_HEAD_PIECE);
        const bytes head(tolvarin_piece_data(session), tolvarin_piece_data(session) + tolvarin_piece_size(session));
        EXPECT_EQ(tolvarin_next_piece(session), TOLVARIN_DONE);
        EXPECT_TRUE(test_support::concat({head, track}) == expected[0]);
    }
    tolvarin_close(session);
}


// --- A track of exactly 4 GiB - 1 bytes, and one byte more ----------------------

#if defined(__linux__) && UINTPTR_MAX > 0xFFFFFFFFu && TOLVARIN_FULL_SPEED
// An image of 2.7 GB made of one 64 MiB block mapped again and again behind
// a first page of its own: a track of running note offs (each two bytes, a
// delta time and a key, written as three with the pad), whose output grows
// by half. The first page holds the container's header, the head, and `n`
// explicit note offs (three bytes each, written as four); the running ones
// follow to the image's end, which ends the track. With n = 3 the track is
// 12 + 3 * 1431655761 = 0xFFFFFFFF bytes; with n = 1, 4 + 3 * 1431655764 =
// 0x100000000. The image is 2863311569 bytes either way.
class repeated_image {
public:
    static constexpr std::size_t size = 2863311569;
    static constexpr std::size_t page = 4096;
    static constexpr std::size_t block = std::size_t{64} << 20;

    explicit repeated_image(int explicit_note_offs) {
        const std::size_t blocks = (size - page + block - 1) / block;
        reserved_ = page + blocks * block;
        base_ = static_cast<std::uint8_t*>(
            ::mmap(nullptr, reserved_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0));
        if (base_ == MAP_FAILED) return;
        ::mmap(base_, page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
        bytes first = test_support::concat({bytes(16, 0), test_support::header_block()});
        for (int i = 0; i < explicit_note_offs; ++i) first.insert(first.end(), {0x00, 0x80, 0x3C});
        // The running note offs start at an odd offset, so the first page
        // ends inside one and every block starts with its key.
        while (first.size() < page) first.push_back((page - first.size()) % 2 == 0 ? 0x00 : 0x3C);
        std::memcpy(base_, first.data(), page);
        const int memory = ::memfd_create("repeated", 0);
        if (memory < 0 || ::ftruncate(memory, static_cast<off_t>(block)) != 0) return;
        auto* const pattern = static_cast<std::uint8_t*>(::mmap(nullptr, block, PROT_READ | PROT_WRITE, MAP_SHARED, memory, 0));
        for (std::size_t i = 0; i < block; ++i) pattern[i] = i % 2 == 0 ? 0x3C : 0x00;
        ::munmap(pattern, block);
        for (std::size_t i = 0; i < blocks; ++i) {
            if (::mmap(base_ + page + i * block, block, PROT_READ, MAP_SHARED | MAP_FIXED, memory, 0) == MAP_FAILED) return;
        }
        ::close(memory);
        ready_ = true;
    }
    ~repeated_image() {
        if (base_ != MAP_FAILED) ::munmap(base_, reserved_);
    }
    repeated_image(const repeated_image&) = delete;
    repeated_image& operator=(const repeated_image&) = delete;

    bool ready() const { return ready_; }
    tolvarin::byte_view view() const { return {base_, size}; }

private:
    std::uint8_t* base_ = static_cast<std::uint8_t*>(MAP_FAILED);
    std::size_t reserved_ = 0;
    bool ready_ = false;
};

struct counting_sink final : tolvarin::output_sink {
    std::uint64_t written = 0;
    bool ended = false;
    tolvarin::song_output report;
    bool begin_output(const tolvarin::song_place&) override { return true; }
    bool write(tolvarin::byte_view bytes) override {
        written += bytes.size();
        return true;
    }
    bool end_output(const tolvarin::song_output& output) override {
        ended = true;
        report = output;
        return true;
    }
};

TEST(caller, a_track_of_4_gib_minus_1_is_the_longest_converted) {
    struct longest {
        int explicit_note_offs;
        bool fits;
    };
    for (const longest c : {longest{3, true}, longest{1, false}}) {
        SCOPED_TRACE(c.explicit_note_offs);
        const repeated_image image(c.explicit_note_offs);
        ASSERT_TRUE(image.ready());
        const tolvarin::container_plan plan = tolvarin::plan_container(image.view());
        ASSERT_EQ(plan.count, 1u);

        counting_sink sink;
        tolvarin::conversion_options options;
        options.threads = TOLVARIN_TEST_THREADS > 1 ? 2 : 1;
        const tolvarin::conversion_result result = tolvarin::convert(image.view(), plan, sink, options);
        EXPECT_EQ(result.status, c.fits ? conversion_status::done : conversion_status::track_too_long);
        EXPECT_EQ(sink.ended, c.fits);
        if (c.fits) {
            EXPECT_EQ(sink.written, 22 + std::uint64_t{0xFFFFFFFF});
            EXPECT_EQ(sink.report.track_length, 0xFFFFFFFFu);
            EXPECT_TRUE(sink.report.length_field == (std::array<std::uint8_t, 4>{0xFF, 0xFF, 0xFF, 0xFF}));
        }

        tolvarin_session* const session = tolvarin_open(image.view().data(), image.view().size());
        ASSERT_NE(session, nullptr);
        tolvarin_set_threads(session, options.threads);
        ASSERT_EQ(tolvarin_start_song(session, 0), TOLVARIN_OK);
        std::uint64_t track = 0;
        int status = 0;
        while ((status = tolvarin_next_piece(session)) == TOLVARIN_TRACK_PIECE) track += tolvarin_piece_size(session);
        EXPECT_EQ(status, c.fits ? TOLVARIN_HEAD_PIECE : TOLVARIN_TRACK_TOO_LONG);
        if (c.fits) {
            EXPECT_EQ(track, 0xFFFFFFFFu);
            const bytes head(tolvarin_piece_data(session), tolvarin_piece_data(session) + tolvarin_piece_size(session));
            EXPECT_EQ(test_support::hex_string(bytes(head.begin() + 18, head.end())), test_support::hex_string(hex("FF FF FF FF")));
        }
        tolvarin_close(session);
    }
}
#endif

}  // namespace
