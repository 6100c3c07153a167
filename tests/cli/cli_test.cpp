// End-to-end runs of the built converter in temporary directories: console
// text, exit status, which files exist and their exact bytes.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bytes.hpp"
#include "cli_run.hpp"

namespace {

using namespace cli;
using test_support::hex;

TEST(cli, no_argument_prints_usage) {
    scratch_dir dir;
    const run_result r = run_tool({}, {dir.path()});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(after_banner(r.out), "Usage\n\tTolvarin.exe <Zarqfile>\n");
    EXPECT_TRUE(dir.files().empty());
}

TEST(cli, converts_every_sequence_and_prints_only_the_banner) {
    scratch_dir dir;
    write_file(dir / "tune.dat", four_song_container());
    const run_result r = run_tool({(dir / "tune.dat").string()});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(after_banner(r.out), "");
    EXPECT_EQ(dir.files(), (std::set<std::string>{"tune.dat", "tune_1.mid", "tune_2.mid", "tune_3.mid", "tune_4.mid"}));
    expect_file(dir / "tune_1.mid", melody.output());
    expect_file(dir / "tune_2.mid", tempo_and_bend.output());
    expect_file(dir / "tune_3.mid", only_end.output());
    expect_file(dir / "tune_4.mid", running_off.output());
    EXPECT_EQ(read_file(dir / "tune_3.mid").size(), 26u);
}

TEST(cli, spec_example_gives_34_bytes) {
    scratch_dir dir;
    write_file(dir / "one.dat", test_support::concat({bytes(16, 0), melody.record()}));
    ASSERT_EQ(run_tool({(dir / "one.dat").string()}).status, 0);
    const bytes out = read_file(dir / "one_1.mid");
    ASSERT_EQ(out.size(), 34u);
    EXPECT_EQ(test_support::hex_string(bytes(out.begin() + 18, out.end())),
              "00 00 00 0C 00 90 3C 40 60 80 3C 00 00 FF 2F 00");
}

TEST(cli, extra_arguments_are_ignored) {
    scratch_dir dir;
    write_file(dir / "a.dat", four_song_container());
    const run_result r = run_tool({(dir / "a.dat").string(), "--what", (dir / "missing.dat").string()});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(after_banner(r.out), "");
    EXPECT_EQ(dir.files().size(), 5u);
}

TEST(cli, relative_path_writes_next_to_the_container) {
    scratch_dir dir;
    write_file(dir / "songs/x.y.dat", test_support::container_of({melody.record()}));
    const run_result r = run_tool({"songs/x.y.dat"}, {dir.path()});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(dir.files(), (std::set<std::string>{"songs/x.y.dat", "songs/x.y_1.mid"}));
    expect_file(dir / "songs/x.y_1.mid", melody.output());
}

TEST(cli, bare_name_writes_in_current_directory) {
    scratch_dir dir;
    write_file(dir / "noext", test_support::container_of({melody.record(), only_end.record()}));
    ASSERT_EQ(run_tool({"noext"}, {dir.path()}).status, 0);
    expect_file(dir / "noext_1.mid", melody.output());
    expect_file(dir / "noext_2.mid", only_end.output());
}

TEST(cli, spaces_and_non_ascii_in_paths) {
    scratch_dir dir;
    const std::string name = "my songs/Überlied ♪.dat";
    write_file(dir / name, test_support::container_of({melody.record()}));
    ASSERT_EQ(run_tool({(dir / name).string()}).status, 0);
    expect_file(dir / "my songs/Überlied ♪_1.mid", melody.output());

    // A path is echoed as the exact bytes given, even bytes that are not UTF-8.
    const std::string odd = (dir.path() / "caf\xE9 \xFF.dat").string();
    const run_result r = run_tool({odd}, {.environment = {"LC_ALL=C.UTF-8"}});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(after_banner(r.out), "No file or already opened : " + odd + "\n");
}

TEST(cli, missing_file_is_reported_as_typed) {
    scratch_dir dir;
    const run_result r = run_tool({"./nowhere/../absent file.dat"}, {dir.path()});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(after_banner(r.out), "No file or already opened : ./nowhere/../absent file.dat\n");
    EXPECT_TRUE(dir.files().empty());
}

TEST(cli, directory_as_container_is_refused) {
    scratch_dir dir;
    fs::create_directory(dir / "folder.dat");
    const run_result r = run_tool({"folder.dat"}, {dir.path()});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(after_banner(r.out), "No file or already opened : folder.dat\n");
    EXPECT_TRUE(dir.files().empty());
}

// Files too short to hold what the walk needs end the run quietly with status 0.
TEST(cli, containers_without_a_whole_sequence_write_nothing) {
    const bytes short_files[] = {
        bytes{}, bytes(5, 0xFF), bytes(15, 0x80), bytes(16, 0x00),
        // A header block cut at 21 bytes.
        test_support::concat({bytes(16, 0), bytes(melody.header.begin(), melody.header.begin() + 21)})};
    for (const bytes& data : short_files) {
        scratch_dir dir;
        write_file(dir / "s.dat", data);
        const run_result r = run_tool({"s.dat"}, {dir.path()});
        EXPECT_EQ(r.status, 0) << data.size();
        EXPECT_EQ(after_banner(r.out), "");
        EXPECT_EQ(dir.files(), std::set<std::string>{"s.dat"}) << data.size();
    }
}

TEST(cli, sequence_whose_header_block_does_not_fit_ends_the_walk) {
    scratch_dir dir;
    bytes image = test_support::container_of({melody.record()});
    const auto tail_start = static_cast<std::uint32_t>(image.size());
    image.insert(image.end(), melody.header.begin(), melody.header.begin() + 10);
    test_support::put_u32_le(image, 4, tail_start - 4);
    write_file(dir / "c.dat", image);
    const run_result r = run_tool({"c.dat"}, {dir.path()});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(dir.files(), (std::set<std::string>{"c.dat", "c_1.mid"}));
    expect_file(dir / "c_1.mid", melody.output());
}

TEST(cli, sequence_cut_short_is_written_as_far_as_it_goes) {
    scratch_dir dir;
    // The last sequence ends inside a note off after its status byte.
    const song cut{test_support::header_block(), hex("00 90 3C 40 00 80"), hex("00 90 3C 40 00 80")};
    write_file(dir / "cut.dat", test_support::container_of({melody.record(), cut.record()}));
    EXPECT_EQ(run_tool({"cut.dat"}, {dir.path()}).status, 0);
    expect_file(dir / "cut_1.mid", melody.output());
    expect_file(dir / "cut_2.mid", cut.output());
}

TEST(cli, track_without_end_runs_through_later_sequences) {
    scratch_dir dir;
    const song open_ended{test_support::header_block(), hex("00 C0 05"), {}};
    const bytes image = test_support::container_of({open_ended.record(), only_end.record()});
    write_file(dir / "o.dat", image);
    EXPECT_EQ(run_tool({"o.dat"}, {dir.path()}).status, 0);
    // Under the remembered program change each following byte below 0x80 pairs
    // up as delta time and data byte; the second header block's 7F FF FF FF
    // length turns into 7F as data, FF FF FF continuing a delta time that the
    // second stream's 00 ends; its FF 2F 00 ends the track.
    const bytes track = test_support::concat({hex("00 C0 05"), only_end.header, hex("00 FF 2F 00")});
    expect_file(dir / "o_1.mid", test_support::concat(
        {test_support::with_track_length(open_ended.header, static_cast<std::uint32_t>(track.size())), track}));
    expect_file(dir / "o_2.mid", only_end.output());
}

TEST(cli, existing_output_is_overwritten) {
    scratch_dir dir;
    write_file(dir / "t.dat", test_support::container_of({melody.record()}));
    write_file(dir / "t_1.mid", bytes(5000, 0xAA));
    ASSERT_EQ(run_tool({"t.dat"}, {dir.path()}).status, 0);
    expect_file(dir / "t_1.mid", melody.output());
}

TEST(cli, output_that_cannot_be_created_stops_the_run) {
    scratch_dir dir;
    write_file(dir / "tune.dat", four_song_container());
    fs::create_directory(dir / "tune_2.mid");
    const run_result r = run_tool({(dir / "tune.dat").string()});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(after_banner(r.out), "No file or already opened : " + (dir / "tune_2.mid").string() + "\n");
    EXPECT_EQ(dir.files(), (std::set<std::string>{"tune.dat", "tune_1.mid"}));
    expect_file(dir / "tune_1.mid", melody.output());
}

// An output name longer than the system allows (a 251-character base name
// gives a 257-character output name) is refused like any output that cannot
// be created; the name is printed whole.
TEST(cli, output_name_too_long_for_the_system_is_refused) {
    scratch_dir dir;
    const std::string base(251, 'n');
    write_file(dir / (base + ".d"), test_support::container_of({melody.record()}));
    const run_result r = run_tool({base + ".d"}, {dir.path()});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(after_banner(r.out), "No file or already opened : " + base + "_1.mid\n");
    EXPECT_EQ(dir.files(), std::set<std::string>{base + ".d"});
}

TEST(cli, large_song_spans_many_output_blocks) {
    scratch_dir dir;
    const song big = large_song(700000);  // about 2.8 MB of track data
    write_file(dir / "big.dat", test_support::container_of({big.record(), melody.record()}));
    ASSERT_EQ(run_tool({"big.dat"}, {dir.path()}).status, 0);
    EXPECT_TRUE(read_file(dir / "big_1.mid") == big.output());
    expect_file(dir / "big_2.mid", melody.output());
}

TEST(cli, write_error_removes_the_incomplete_output) {
    const song big = large_song(300000);  // 1.2 MB of output
    struct limit_case {
        std::vector<bytes> records;
        rlim_t limit;
        std::set<std::string> left;
        std::string failed;
    };
    const limit_case cases[] = {
        // Fails in the middle of the second file, after a full block was written.
        {{melody.record(), big.record(), only_end.record()}, 1100000, {"w.dat", "w_1.mid"}, "w_2.mid"},
        // Fails on the single write of a small first file.
        {{melody.record(), only_end.record()}, 30, {"w.dat"}, "w_1.mid"},
    };
    for (const limit_case& c : cases) {
        scratch_dir dir;
        write_file(dir / "w.dat", test_support::container_of(c.records));
        const run_result r = run_tool({"w.dat"}, {dir.path(), c.limit});
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(after_banner(r.out), "Cannot write file : " + c.failed + "\n");
        EXPECT_EQ(dir.files(), c.left);
        if (c.left.count("w_1.mid")) expect_file(dir / "w_1.mid", melody.output());
    }
}

TEST(cli, unreadable_container_is_a_failure) {
    for (const char* mode : {"short", "eio"}) {
        scratch_dir dir;
        write_file(dir / "r.dat", four_song_container());
        const run_result r = run_tool({"r.dat"}, {dir.path(), RLIM_INFINITY,
                                       {preload_faults(),
                                        std::string("TOLVARIN_READ_FAULT=") + mode}});
        EXPECT_EQ(r.status, 255) << mode;
        EXPECT_EQ(after_banner(r.out), "Cannot read file : r.dat\n") << mode;
        EXPECT_EQ(dir.files(), std::set<std::string>{"r.dat"}) << mode;
    }
}

// The container is mapped; a file that someone truncates while it is mapped
// must neither crash the run nor leave a wrong output behind.
TEST(cli, container_truncated_while_mapped_is_a_read_failure) {
    const song big = large_song(3000);  // a 12 KB track: several pages
    const bytes image = test_support::container_of({big.record(), melody.record()});
    // 0: every page gone; 9000: the first pages stay and the rest of the
    // third reads as zeros, which only a second look at the file reveals.
    for (const char* size : {"0", "9000"}) {
        scratch_dir dir;
        write_file(dir / "m.dat", image);
        const run_result r = run_tool({"m.dat"}, {dir.path(), RLIM_INFINITY,
                                       {preload_faults(), std::string("TOLVARIN_MAP_FAULT=") + size}});
        EXPECT_EQ(r.status, 255) << size;
        EXPECT_EQ(after_banner(r.out), "Cannot read file : m.dat\n") << size;
        EXPECT_EQ(dir.files(), std::set<std::string>{"m.dat"}) << size;
    }
}

TEST(cli, container_that_cannot_be_mapped_is_read) {
    scratch_dir dir;
    write_file(dir / "n.dat", four_song_container());
    const run_result r = run_tool({"n.dat"}, {dir.path(), RLIM_INFINITY, {preload_faults(), "TOLVARIN_MAP_FAULT=refuse"}});
    EXPECT_EQ(r.status, 0);
    expect_file(dir / "n_1.mid", melody.output());
    expect_file(dir / "n_4.mid", running_off.output());
}

TEST(cli, container_of_4_gib_is_refused) {
    scratch_dir dir;
    {
        std::ofstream create(dir / "huge.dat");
    }
    std::error_code error;
    fs::resize_file(dir / "huge.dat", std::uintmax_t{1} << 32, error);  // sparse: no disk used
    if (error) GTEST_SKIP() << "cannot make a sparse 4 GiB file here: " << error.message();
    const run_result r = run_tool({"huge.dat"}, {dir.path()});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(after_banner(r.out), "File too large : huge.dat\n");
    EXPECT_EQ(dir.files(), std::set<std::string>{"huge.dat"});
}

// The largest container the 32-bit positions can address is 4 GiB - 1 bytes:
// it must pass the size check. A sparse file of that size, under an
// address-space limit too small to map or hold it, tells the size check from
// the allocation: the run must end on "Cannot alloc memory", not on "File too
// large". (Address-space limits do not work under the sanitizers.)
TEST(cli, container_of_4_gib_minus_1_passes_the_size_check) {
    if (TOLVARIN_SANITIZED) GTEST_SKIP() << "address-space limits do not work under the sanitizers";
    scratch_dir dir;
    {
        std::ofstream create(dir / "edge.dat");
    }
    std::error_code error;
    fs::resize_file(dir / "edge.dat", 0xFFFFFFFFu, error);
    if (error) GTEST_SKIP() << "cannot make a sparse file here: " << error.message();
    const run_result r = run_tool({"edge.dat"}, {.cwd = dir.path(), .address_space_limit = rlim_t{512} << 20});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(after_banner(r.out), "Cannot alloc memory\n");
    EXPECT_EQ(dir.files(), std::set<std::string>{"edge.dat"});
}

// A container that is a FIFO has no size to ask for: it is read to its end,
// here arriving in many writes, well over one 64 KiB pipe buffer in all.
TEST(cli, container_read_from_a_fifo) {
    scratch_dir dir;
    const song big = large_song(31000);  // about 93 KB of stream, 124 KB of track
    const bytes image = test_support::container_of({big.record(), melody.record()});
    ASSERT_GT(image.size(), 90000u);
    ASSERT_EQ(mkfifo((dir / "p.dat").c_str(), 0600), 0);
    std::thread writer([&] {
        // The FIFO opens for writing only once the converter has opened it for
        // reading; give up after 20 s rather than hang the suite.
        int fifo = -1;
        for (int tries = 0; tries < 2000 && fifo < 0; ++tries) {
            fifo = open((dir / "p.dat").c_str(), O_WRONLY | O_NONBLOCK);
            if (fifo < 0) usleep(10000);
        }
        if (fifo < 0) return;
        fcntl(fifo, F_SETFL, 0);
        for (std::size_t at = 0; at < image.size(); at += 7001) {
            const std::size_t count = std::min<std::size_t>(7001, image.size() - at);
            if (write(fifo, image.data() + at, count) != static_cast<ssize_t>(count)) break;
            if (at % 3 == 0) usleep(1000);
        }
        close(fifo);
    });
    const run_result r = run_tool({"p.dat"}, {dir.path()});
    writer.join();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(after_banner(r.out), "");
    EXPECT_TRUE(read_file(dir / "p_1.mid") == big.output());
    expect_file(dir / "p_2.mid", melody.output());
}

// Failures on the output side: the one-line message names the output, the
// status is -1, the incomplete output is gone, and earlier outputs are
// exactly what a clean run writes.
TEST(cli, output_faults_leave_no_incomplete_file) {
    const song big = large_song(300000);
    struct fault_case {
        const char* name;
        std::string fault;
        std::vector<bytes> records;
        std::string failed;
        bool first_kept;
    };
    const fault_case cases[] = {
        {"disk full inside a large file", "TOLVARIN_WRITE_FAULT=" + std::to_string(melody.output().size() + 5000),
         {melody.record(), big.record(), only_end.record()}, "f_2.mid", true},
        {"disk full on a small file", "TOLVARIN_WRITE_FAULT=10", {melody.record(), only_end.record()}, "f_1.mid", false},
        {"length patch fails", "TOLVARIN_PWRITE_FAULT=2", {melody.record(), big.record()}, "f_2.mid", true},
        {"close reports lost data", "TOLVARIN_CLOSE_FAULT=1", {melody.record()}, "f_1.mid", false},
    };
    for (const fault_case& c : cases) {
        scratch_dir dir;
        write_file(dir / "f.dat", test_support::container_of(c.records));
        const run_result r = run_tool({"f.dat"}, {dir.path(), RLIM_INFINITY, {preload_faults(), c.fault}});
        EXPECT_EQ(r.status, 255) << c.name;
        EXPECT_EQ(after_banner(r.out), "Cannot write file : " + c.failed + "\n") << c.name;
        const std::set<std::string> left =
            c.first_kept ? std::set<std::string>{"f.dat", "f_1.mid"} : std::set<std::string>{"f.dat"};
        EXPECT_EQ(dir.files(), left) << c.name;
        if (c.first_kept) expect_file(dir / "f_1.mid", melody.output());
    }
}

// Outputs the system refuses to create: run without root's rights so that
// permissions apply.
TEST(cli, refused_outputs_are_reported_by_name) {
    {
        scratch_dir dir;
        write_file(dir / "ro/w.dat", four_song_container());
        fs::permissions(dir.path(), fs::perms::all);
        fs::permissions(dir / "ro", fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                        fs::perms::others_read | fs::perms::others_exec);
        const run_result r = run_tool({"ro/w.dat"}, {.cwd = dir.path(), .unprivileged = true});
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(after_banner(r.out), "No file or already opened : ro/w_1.mid\n");
        EXPECT_EQ(dir.files(), std::set<std::string>{"ro/w.dat"});
    }
    {
        scratch_dir dir;
        write_file(dir / "w.dat", four_song_container());
        write_file(dir / "w_2.mid", bytes{1, 2, 3});
        fs::permissions(dir.path(), fs::perms::all);
        fs::permissions(dir / "w_2.mid", fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
        const run_result r = run_tool({"w.dat"}, {.cwd = dir.path(), .unprivileged = true});
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(after_banner(r.out), "No file or already opened : w_2.mid\n");
        expect_file(dir / "w_1.mid", melody.output());
        expect_file(dir / "w_2.mid", bytes{1, 2, 3});
        EXPECT_FALSE(fs::exists(dir / "w_3.mid"));
    }
}

}  // namespace
