// What a run does to the files around it, whatever happens to it. Outputs are
// written to a temporary file and renamed over their names once complete, so
// a name holds either what it held before or the whole new output; links at
// output names are replaced as names, never written through; an interruption
// removes what is in progress; a container that changes under the run is
// never turned into a wrong output.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "bytes.hpp"
#include "cli_run.hpp"

namespace {

using namespace cli;
using test_support::hex;

// What an output name held before the run: recognisable, and of a size no
// output here has.
bytes earlier(int number) { return bytes(100 + static_cast<std::size_t>(number), static_cast<std::uint8_t>(0xA0 + number)); }

void write_earlier_outputs(const scratch_dir& dir, const std::string& base, int count) {
    for (int number = 1; number <= count; ++number) {
        write_file(dir / (base + "_" + std::to_string(number) + ".mid"), earlier(number));
    }
}

// Outputs 1..renamed hold the new songs, the others what they held before.
void expect_outputs(const scratch_dir& dir, const std::string& base, const std::vector<const song*>& songs,
                    int renamed, const std::string& context) {
    for (int number = 1; number <= static_cast<int>(songs.size()); ++number) {
        SCOPED_TRACE(context + ", output " + std::to_string(number));
        const fs::path path = dir / (base + "_" + std::to_string(number) + ".mid");
        expect_file(path, number <= renamed ? songs[static_cast<std::size_t>(number) - 1]->output() : earlier(number));
    }
}

bool is_temporary_name(const std::string& name) {
    return std::regex_match(name, std::regex(R"(\.tolvarin-[0-9a-f]{16}\.tmp)"));
}

struct owner_and_mode {
    uid_t owner;
    gid_t group;
    mode_t mode;
};

owner_and_mode owner_and_mode_of(const fs::path& path) {
    struct stat info {};
    EXPECT_EQ(lstat(path.c_str(), &info), 0) << path;
    return {info.st_uid, info.st_gid, info.st_mode & 07777};
}

// A run that fails part-way: the outputs before the failed one are new and
// complete, the failed one and those after it keep exactly what they held,
// and no temporary file is left.
TEST(output_protection, failed_rerun_keeps_earlier_outputs) {
    const song big = large_song(300000);  // 1.2 MB of output: two blocks and a patched length
    const std::vector<const song*> songs{&melody, &big, &only_end, &running_off};
    const std::vector<const song*> small_songs{&melody, &tempo_and_bend};
    // The byte of the second song's tempo that a rewrite in place changes.
    const std::size_t tempo_byte = 16 + melody.record().size() + 22 + 4;
    struct fault_case {
        const char* name;
        const std::vector<const song*>* songs;
        rlim_t file_size_limit;
        std::vector<std::string> environment;
        std::string message;
        int failed;  // the output the run fails on
    };
    const fault_case cases[] = {
        {"file size limit inside a large output", &songs, 1100000, {}, "Cannot write file : f_2.mid\n", 2},
        {"file size limit on the first output", &songs, 30, {}, "Cannot write file : f_1.mid\n", 1},
        {"disk full inside a large output", &songs, RLIM_INFINITY,
         {preload_faults(), "TOLVARIN_WRITE_FAULT=" + std::to_string(melody.output().size() + 5000)},
         "Cannot write file : f_2.mid\n", 2},
        {"disk full on the first output", &songs, RLIM_INFINITY, {preload_faults(), "TOLVARIN_WRITE_FAULT=10"},
         "Cannot write file : f_1.mid\n", 1},
        {"length patch fails", &songs, RLIM_INFINITY, {preload_faults(), "TOLVARIN_PWRITE_FAULT=2"},
         "Cannot write file : f_2.mid\n", 2},
        {"close reports lost data", &songs, RLIM_INFINITY, {preload_faults(), "TOLVARIN_CLOSE_FAULT=1"},
         "Cannot write file : f_1.mid\n", 1},
        // Truncated as soon as it is mapped: the first output already reads
        // a changed file.
        {"container truncated while mapped", &songs, RLIM_INFINITY, {preload_faults(), "TOLVARIN_MAP_FAULT=9000"},
         "Cannot read file : f.dat\n", 1},
        // Changed in place with its modification time set back: only the
        // status-change time tells. Without the check the second output
        // would carry the changed tempo, and the run would succeed.
        {"container rewritten with its time set back", &small_songs, RLIM_INFINITY,
         {preload_faults(), "TOLVARIN_REWRITE_AT=1", "TOLVARIN_REWRITE_OFFSET=" + std::to_string(tempo_byte)},
         "Cannot read file : f.dat\n", 1},
    };
    for (const fault_case& c : cases) {
        SCOPED_TRACE(c.name);
        scratch_dir dir;
        std::vector<bytes> records;
        for (const song* s : *c.songs) records.push_back(s->record());
        write_file(dir / "f.dat", test_support::container_of(records));
        const int count = static_cast<int>(c.songs->size());
        write_earlier_outputs(dir, "f", count);
        std::vector<std::string> environment = c.environment;
        environment.push_back("TOLVARIN_REWRITE_FILE=" + (dir / "f.dat").string());
        const run_result r = run_tool({"f.dat"}, {.cwd = dir.path(), .file_size_limit = c.file_size_limit,
                                                  .environment = environment});
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(after_banner(r.out), c.message);
        expect_outputs(dir, "f", *c.songs, c.failed - 1, c.name);
        EXPECT_EQ(dir.temporaries(), std::set<std::string>{});
    }
}

// Interrupted at chosen points (the fault library stops the process there,
// before its Nth write to a file or its Nth rename): every output name holds
// its earlier bytes or the whole new output, and the new ones are the first
// ones, since outputs are renamed in order. A catchable signal removes the
// temporary file and ends the process as that signal does; the banner has
// already reached the pipe. A rename under way is finished first, so at the
// Nth rename a catchable signal leaves N outputs new and a kill N - 1. A kill
// can leave one temporary file, never under an output's name. The second
// container is large enough to be converted on several threads (where the
// machine has several processors).
void interrupt_at(const std::vector<const song*>& songs, const std::vector<const char*>& points,
                  const std::vector<int>& signals) {
    std::vector<bytes> records;
    for (const song* s : songs) records.push_back(s->record());
    const bytes container = test_support::container_of(records);
    const int count = static_cast<int>(songs.size());
    for (const char* point : points) {
        for (const int signal_number : signals) {
            const std::string context = std::string(point) + ", signal " + std::to_string(signal_number);
            SCOPED_TRACE(context);
            scratch_dir dir;
            write_file(dir / "s.dat", container);
            write_earlier_outputs(dir, "s", count);
            const run_options options{.cwd = dir.path(),
                                      .environment = {preload_faults(), std::string("TOLVARIN_STOP_AT=") + point}};
            running_tool tool = start_tool({"s.dat"}, options);
            ASSERT_TRUE(wait_until_stopped(tool));
            kill(tool.pid, signal_number);
            kill(tool.pid, SIGCONT);
            const run_result r = finish_tool(tool, options);
            EXPECT_EQ(r.status, 1000 + signal_number);
            EXPECT_EQ(after_banner(r.out), "");
            const bool killed = signal_number == SIGKILL;
            int renamed = 0;
            if (std::string(point).rfind("rename:", 0) == 0) {
                renamed = std::atoi(point + 7) - (killed ? 1 : 0);
            } else {
                while (renamed < count && read_file(dir / ("s_" + std::to_string(renamed + 1) + ".mid")) ==
                                              songs[static_cast<std::size_t>(renamed)]->output()) {
                    ++renamed;
                }
            }
            expect_outputs(dir, "s", songs, renamed, context);
            const std::set<std::string> left = dir.temporaries();
            if (killed) {
                EXPECT_LE(left.size(), 1u);
                for (const std::string& name : left) EXPECT_TRUE(is_temporary_name(name)) << name;
            } else {
                EXPECT_EQ(left, std::set<std::string>{});
            }
        }
    }
}

TEST(output_protection, interrupted_run_leaves_earlier_or_complete_outputs) {
    const song first = large_song(300000, 0x10);  // 1.2 MB of output: several writes and a patch
    const song third = large_song(300000, 0x40);
    interrupt_at({&first, &melody, &third},
                 {"write:1", "write:2", "write:3", "write:5", "write:7", "rename:1", "rename:2", "rename:3"},
                 {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGKILL});
}

TEST(output_protection, interrupted_threaded_run_leaves_earlier_or_complete_outputs) {
    const song first = large_song(700000, 0x10);  // 2.1 MB of container, 2.8 MB of output each
    const song second = large_song(700000, 0x20);
    const song third = large_song(700000, 0x40);
    interrupt_at({&first, &second, &third}, {"write:1", "write:4", "rename:1", "rename:2"}, {SIGINT, SIGTERM, SIGKILL});
}

// The output name taken by a non-empty directory while the run is about to
// rename its second output over it (the fault library stops the run just
// before that rename): the rename fails, so the output is reported as a
// refused name, the directory keeps what it holds, the first output stands
// complete, the third keeps its earlier bytes, and the finished temporary
// file is removed rather than left beside the directory.
TEST(output_protection, rename_refused_at_the_last_moment_removes_the_temporary_file) {
    scratch_dir dir;
    write_file(dir / "n.dat",
               test_support::container_of({melody.record(), tempo_and_bend.record(), only_end.record()}));
    write_earlier_outputs(dir, "n", 3);
    const run_options options{.cwd = dir.path(), .environment = {preload_faults(), "TOLVARIN_STOP_AT=rename:2"}};
    running_tool tool = start_tool({"n.dat"}, options);
    ASSERT_TRUE(wait_until_stopped(tool));
    fs::remove(dir / "n_2.mid");
    write_file(dir / "n_2.mid/kept.txt", earlier(7));
    kill(tool.pid, SIGCONT);
    const run_result r = finish_tool(tool, options);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(after_banner(r.out), "No file or already opened : n_2.mid\n");
    expect_file(dir / "n_1.mid", melody.output());
    EXPECT_TRUE(fs::is_directory(fs::symlink_status(dir / "n_2.mid")));
    expect_file(dir / "n_2.mid/kept.txt", earlier(7));
    expect_file(dir / "n_3.mid", earlier(3));
    EXPECT_EQ(dir.files(), (std::set<std::string>{"n.dat", "n_1.mid", "n_2.mid/kept.txt", "n_3.mid"}));
    EXPECT_EQ(dir.temporaries(), std::set<std::string>{});
}

// A container cut short while several threads read it: every thread's read
// of the missing pages is caught, and the run ends as a read failure.
TEST(output_protection, container_cut_while_read_on_several_threads) {
    const song first = large_song(1500000, 0x10);  // 4.5 MB of container
    const song second = large_song(1500000, 0x30);
    const bytes container = test_support::container_of({first.record(), second.record()});
    for (const char* cut_at : {"1", "3"}) {
        SCOPED_TRACE(std::string("cut at write ") + cut_at);
        scratch_dir dir;
        write_file(dir / "t.dat", container);
        write_earlier_outputs(dir, "t", 2);
        const run_result r = run_tool({"t.dat"}, {.cwd = dir.path(),
                                                  .environment = {preload_faults(), std::string("TOLVARIN_TRUNCATE_AT=") + cut_at,
                                                                  "TOLVARIN_TRUNCATE_SIZE=1000000",
                                                                  "TOLVARIN_REWRITE_FILE=" + (dir / "t.dat").string()}});
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(after_banner(r.out), "Cannot read file : t.dat\n");
        expect_outputs(dir, "t", {&first, &second}, 0, cut_at);
        EXPECT_EQ(dir.temporaries(), std::set<std::string>{});
    }
}

// A hang-up that was ignored when the run started (nohup, background jobs)
// stays ignored: the run goes on to the end.
TEST(output_protection, ignored_hangup_stays_ignored) {
    scratch_dir dir;
    write_file(dir / "h.dat", four_song_container());
    write_earlier_outputs(dir, "h", 4);
    const run_options options{.cwd = dir.path(),
                              .environment = {preload_faults(), "TOLVARIN_STOP_AT=write:2"},
                              .ignore_hangup = true};
    running_tool tool = start_tool({"h.dat"}, options);
    ASSERT_TRUE(wait_until_stopped(tool));
    kill(tool.pid, SIGHUP);
    kill(tool.pid, SIGCONT);
    const run_result r = finish_tool(tool, options);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(after_banner(r.out), "");
    expect_outputs(dir, "h", {&melody, &tempo_and_bend, &only_end, &running_off}, 4, "nohup");
}

// Whatever is linked at an output name keeps its bytes: the link is replaced
// as a name. Each case sets up the scene, runs, and checks what must hold.
TEST(output_protection, links_at_output_names_are_replaced_as_names) {
    const bytes precious = hex("70 72 65 63 69 6F 75 73");
    const bytes container = test_support::container_of({melody.record(), only_end.record()});
    struct link_case {
        const char* name;
        void (*set_up)(const scratch_dir&);
        rlim_t file_size_limit;
        std::string message;  // after the banner
    };
    const link_case cases[] = {
        {"symlink to an outside file",
         [](const scratch_dir& d) { fs::create_symlink("other/precious.txt", d / "c_1.mid"); }, RLIM_INFINITY, ""},
        {"symlink to an outside file, write fails",
         [](const scratch_dir& d) { fs::create_symlink("other/precious.txt", d / "c_1.mid"); }, 30,
         "Cannot write file : c_1.mid\n"},
        {"symlink to the container", [](const scratch_dir& d) { fs::create_symlink("c.dat", d / "c_1.mid"); },
         RLIM_INFINITY, ""},
        {"dangling symlink", [](const scratch_dir& d) { fs::create_symlink("other/missing.txt", d / "c_1.mid"); },
         RLIM_INFINITY, ""},
        {"symlink to a directory", [](const scratch_dir& d) { fs::create_directory_symlink("other", d / "c_2.mid"); },
         RLIM_INFINITY, ""},
        {"hard link to an outside file",
         [](const scratch_dir& d) { fs::create_hard_link(d / "other/precious.txt", d / "c_1.mid"); }, RLIM_INFINITY,
         ""},
        // Renaming over it changes the container's status-change time, which
        // must not read as a change to the container.
        {"hard link to the container", [](const scratch_dir& d) { fs::create_hard_link(d / "c.dat", d / "c_1.mid"); },
         RLIM_INFINITY, ""},
    };
    for (const link_case& c : cases) {
        SCOPED_TRACE(c.name);
        scratch_dir dir;
        write_file(dir / "c.dat", container);
        write_file(dir / "other/precious.txt", precious);
        c.set_up(dir);
        const fs::path target = fs::is_symlink(dir / "c_1.mid") ? fs::read_symlink(dir / "c_1.mid") : fs::path();
        const run_result r = run_tool({"c.dat"}, {.cwd = dir.path(), .file_size_limit = c.file_size_limit});
        expect_file(dir / "c.dat", container);
        expect_file(dir / "other/precious.txt", precious);
        EXPECT_FALSE(fs::exists(dir / "other/missing.txt"));
        EXPECT_TRUE(fs::is_directory(dir / "other"));
        EXPECT_EQ(after_banner(r.out), c.message);
        EXPECT_EQ(dir.temporaries(), std::set<std::string>{});
        if (c.message.empty()) {
            EXPECT_EQ(r.status, 0);
            for (const char* output : {"c_1.mid", "c_2.mid"}) {
                EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(dir / output))) << output;
                EXPECT_EQ(fs::hard_link_count(dir / output), 1u) << output;
            }
            expect_file(dir / "c_1.mid", melody.output());
            expect_file(dir / "c_2.mid", only_end.output());
        } else {
            EXPECT_EQ(r.status, 255);
            // The failed output's name still holds the link, unchanged.
            EXPECT_TRUE(fs::is_symlink(dir / "c_1.mid"));
            EXPECT_EQ(fs::read_symlink(dir / "c_1.mid"), target);
        }
    }
}

// A container given through a symbolic link may be one of its own outputs:
// l.dat a link to l_2.mid. Renaming output 2 over l_2.mid would take the
// container's last name, and its bytes with it; so that output is refused
// before anything is written, as any name the run may not replace, and the
// outputs before it stand. A container that keeps another name (a hard
// link) loses nothing and is converted whole. What counts is the link count
// when the output is created: where outputs 1 and 2 are both names of the
// container, replacing output 1 leaves output 2 its last name. Mapped or
// read into memory, the container is known alike; a FIFO has no name to
// lose, so nothing is refused.
TEST(output_protection, container_reached_through_a_link_keeps_its_last_name) {
    const std::vector<const song*> songs{&melody, &tempo_and_bend, &only_end};
    const bytes container = test_support::container_of({melody.record(), tempo_and_bend.record(), only_end.record()});
    enum class source { mapped, read, fifo };
    struct last_name_case {
        const char* name;
        void (*set_up)(const scratch_dir&, const bytes& container);
        source loaded;
        int renamed;                          // outputs 1..renamed are new
        std::string message;                  // after the banner
        std::set<std::string> container_at;   // names still holding the container
    };
    const auto link_to_output_2 = [](const scratch_dir& d, const bytes& c) {
        write_file(d / "l_2.mid", c);
        fs::create_symlink("l_2.mid", d / "l.dat");
    };
    const auto link_to_hard_linked_output_2 = [](const scratch_dir& d, const bytes& c) {
        write_file(d / "l_2.mid", c);
        fs::create_hard_link(d / "l_2.mid", d / "keep.dat");
        fs::create_symlink("l_2.mid", d / "l.dat");
    };
    const auto outputs_1_and_2_are_its_names = [](const scratch_dir& d, const bytes& c) {
        write_file(d / "l_1.mid", c);
        fs::create_hard_link(d / "l_1.mid", d / "l_2.mid");
        fs::create_symlink("l_1.mid", d / "l.dat");
    };
    const std::string refused_2 = "No file or already opened : l_2.mid\n";
    const last_name_case cases[] = {
        {"link to its only name, mapped", link_to_output_2, source::mapped, 1, refused_2, {"l_2.mid", "l.dat"}},
        {"link to its only name, read", link_to_output_2, source::read, 1, refused_2, {"l_2.mid", "l.dat"}},
        {"link to a name with a hard link beside it, mapped", link_to_hard_linked_output_2, source::mapped, 3, "",
         {"keep.dat"}},
        {"link to a name with a hard link beside it, read", link_to_hard_linked_output_2, source::read, 3, "",
         {"keep.dat"}},
        {"outputs 1 and 2 its only names, mapped", outputs_1_and_2_are_its_names, source::mapped, 1, refused_2,
         {"l_2.mid"}},
        {"outputs 1 and 2 its only names, read", outputs_1_and_2_are_its_names, source::read, 1, refused_2,
         {"l_2.mid"}},
        {"FIFO", nullptr, source::fifo, 3, "", {}},
    };
    for (const last_name_case& c : cases) {
        SCOPED_TRACE(c.name);
        scratch_dir dir;
        pid_t feeder = -1;
        if (c.loaded == source::fifo) {
            ASSERT_EQ(mkfifo((dir / "l.dat").c_str(), 0666), 0);
            const std::string fifo = (dir / "l.dat").string();
            feeder = fork();
            if (feeder == 0) {
                alarm(60);
                const int end = open(fifo.c_str(), O_WRONLY);
                const bool fed = end >= 0 && write(end, container.data(), container.size()) ==
                                                 static_cast<ssize_t>(container.size());
                _exit(fed ? 0 : 1);
            }
            ASSERT_GT(feeder, 0);
        } else {
            c.set_up(dir, container);
        }
        for (int number = 1; number <= 3; ++number) {
            const fs::path output = dir / ("l_" + std::to_string(number) + ".mid");
            if (!fs::exists(fs::symlink_status(output))) write_file(output, earlier(number));
        }
        std::vector<std::string> environment;
        if (c.loaded == source::read) environment = {preload_faults(), "TOLVARIN_MAP_FAULT=refuse"};
        const run_result r = run_tool({"l.dat"}, {.cwd = dir.path(), .environment = environment});
        if (feeder > 0) {
            int fed = 0;
            ASSERT_EQ(waitpid(feeder, &fed, 0), feeder);
            EXPECT_TRUE(WIFEXITED(fed) && WEXITSTATUS(fed) == 0) << "the FIFO was not read";
        }
        EXPECT_EQ(r.status, c.message.empty() ? 0 : 255);
        EXPECT_EQ(after_banner(r.out), c.message);
        for (int number = 1; number <= 3; ++number) {
            const std::string output = "l_" + std::to_string(number) + ".mid";
            SCOPED_TRACE(output);
            if (number <= c.renamed) {
                EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(dir / output)));
                expect_file(dir / output, songs[static_cast<std::size_t>(number) - 1]->output());
            } else if (c.container_at.count(output) == 0) {
                expect_file(dir / output, earlier(number));
            }
        }
        for (const std::string& name : c.container_at) {
            SCOPED_TRACE("the container at " + name);
            expect_file(dir / name, container);
        }
        EXPECT_EQ(dir.temporaries(), std::set<std::string>{});
    }
}

// As root, in a directory that another user owns: a link that user plants at
// an output name must not make the run overwrite a private file of root's.
TEST(output_protection, link_planted_by_another_user_is_not_followed) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to set up files of two users";
    scratch_dir dir;
    fs::permissions(dir.path(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                    fs::perms::others_read | fs::perms::others_exec);
    const bytes secret = hex("73 65 63 72 65 74");
    write_file(dir / "private/secret", secret);
    fs::permissions(dir / "private", fs::perms::owner_all);
    fs::permissions(dir / "private/secret", fs::perms::owner_read | fs::perms::owner_write);
    fs::create_directory(dir / "shared");
    ASSERT_EQ(chown((dir / "shared").c_str(), nobody, nogroup), 0);
    write_file(dir / "shared/c.dat", test_support::container_of({melody.record()}));
    fs::create_symlink("../private/secret", dir / "shared/c_1.mid");
    ASSERT_EQ(lchown((dir / "shared/c_1.mid").c_str(), nobody, nogroup), 0);

    const run_result r = run_tool({"shared/c.dat"}, {.cwd = dir.path()});
    EXPECT_EQ(r.status, 0);
    expect_file(dir / "private/secret", secret);
    EXPECT_EQ(owner_and_mode_of(dir / "private/secret").mode, 0600u);
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(dir / "shared/c_1.mid")));
    expect_file(dir / "shared/c_1.mid", melody.output());
}

// The temporary name does not grow with the output's, so the longest name the
// file system allows still converts: a 249-byte base gives a 255-byte output.
TEST(output_protection, longest_output_name_converts) {
    scratch_dir dir;
    const std::string base(249, 'l');
    write_file(dir / (base + ".dat"), test_support::container_of({melody.record(), only_end.record()}));
    const run_result r = run_tool({base + ".dat"}, {.cwd = dir.path()});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(after_banner(r.out), "");
    ASSERT_EQ((base + "_1.mid").size(), 255u);
    expect_file(dir / (base + "_1.mid"), melody.output());
    expect_file(dir / (base + "_2.mid"), only_end.output());
    EXPECT_EQ(dir.temporaries(), std::set<std::string>{});
}

// Two runs at once whose outputs share a name (x.dat and x.bin both give
// x_1.mid): each output the name ever holds is one run's whole output.
TEST(output_protection, concurrent_runs_never_mix_outputs) {
    const song a = large_song(6000000, 0x10);  // 24 MB of output each
    const song b = large_song(6000000, 0x40);
    scratch_dir dir;
    write_file(dir / "x.dat", test_support::container_of({a.record()}));
    write_file(dir / "x.bin", test_support::container_of({b.record()}));
    const bytes a_output = a.output();
    const bytes b_output = b.output();
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const run_options options{.cwd = dir.path()};
        running_tool first = start_tool({"x.dat"}, options);
        running_tool second = start_tool({"x.bin"}, options);
        EXPECT_EQ(finish_tool(first, options).status, 0);
        EXPECT_EQ(finish_tool(second, options).status, 0);
        const bytes got = read_file(dir / "x_1.mid");
        EXPECT_TRUE(got == a_output || got == b_output) << got.size() << " bytes, neither run's output";
        EXPECT_EQ(dir.temporaries(), std::set<std::string>{});
    }
}

// A regular file that an output replaces passes on its permission bits (never
// set-user-ID, set-group-ID or sticky) and, when root runs the program, its
// owner, so its user can still write it. A new name gets 0666 less the umask,
// and so does a name that held a symbolic link: a link's own bits are 0777
// and its owner whoever made it, nothing the new file should take. The
// link's target, a file of another user's, lends nothing either.
TEST(output_protection, replaced_file_passes_on_permissions_and_owner) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to hand files to another user";
    enum class held_by { nothing, file, link };
    struct access_case {
        const char* name;
        held_by existing;
        uid_t owner;
        gid_t group;
        mode_t mode;
        mode_t umask;
        bool unprivileged;
        owner_and_mode expected;
    };
    const access_case cases[] = {
        {"another user's file, run as root", held_by::file, nobody, nogroup, 0640, 022, false, {nobody, nogroup, 0640}},
        {"set-user-ID file", held_by::file, 0, 0, 04755, 022, false, {0, 0, 0755}},
        {"private file of the user", held_by::file, nobody, nogroup, 0600, 022, true, {nobody, nogroup, 0600}},
        {"new name", held_by::nothing, 0, 0, 0, 027, false, {0, 0, 0640}},
        {"new name, plain umask", held_by::nothing, 0, 0, 0, 022, true, {nobody, nogroup, 0644}},
        {"another user's link, plain umask", held_by::link, nobody, nogroup, 0640, 022, false, {0, 0, 0644}},
        {"another user's link, private umask", held_by::link, nobody, nogroup, 0640, 077, false, {0, 0, 0600}},
    };
    for (const access_case& c : cases) {
        SCOPED_TRACE(c.name);
        scratch_dir dir;
        fs::permissions(dir.path(), fs::perms::all);
        write_file(dir / "p.dat", test_support::container_of({melody.record()}));
        if (c.existing == held_by::file) {
            write_file(dir / "p_1.mid", earlier(1));
            ASSERT_EQ(chown((dir / "p_1.mid").c_str(), c.owner, c.group), 0);
            ASSERT_EQ(chmod((dir / "p_1.mid").c_str(), c.mode), 0);
        } else if (c.existing == held_by::link) {
            write_file(dir / "target.txt", earlier(1));
            ASSERT_EQ(chown((dir / "target.txt").c_str(), c.owner, c.group), 0);
            ASSERT_EQ(chmod((dir / "target.txt").c_str(), c.mode), 0);
            fs::create_symlink("target.txt", dir / "p_1.mid");
            ASSERT_EQ(lchown((dir / "p_1.mid").c_str(), c.owner, c.group), 0);
        }
        const run_result r = run_tool({"p.dat"}, {.cwd = dir.path(), .unprivileged = c.unprivileged, .umask = c.umask});
        EXPECT_EQ(r.status, 0);
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(dir / "p_1.mid")));
        expect_file(dir / "p_1.mid", melody.output());
        const owner_and_mode got = owner_and_mode_of(dir / "p_1.mid");
        EXPECT_EQ(got.owner, c.expected.owner);
        EXPECT_EQ(got.group, c.expected.group);
        EXPECT_EQ(got.mode, c.expected.mode);
        if (c.existing == held_by::link) {
            expect_file(dir / "target.txt", earlier(1));
            const owner_and_mode target = owner_and_mode_of(dir / "target.txt");
            EXPECT_EQ(target.owner, c.owner);
            EXPECT_EQ(target.mode, c.mode);
        }
    }
}

// Names the run must not replace are refused before anything is written,
// with the output-name line, and left exactly as they were. Each case sets up
// the folder of r.dat, whose first output r_1.mid is refused.
void earlier_output_anyone_may_write(const fs::path& folder) {
    write_file(folder / "r_1.mid", earlier(1));
    fs::permissions(folder / "r_1.mid",
                    fs::perms::all & ~fs::perms::owner_exec & ~fs::perms::group_exec & ~fs::perms::others_exec);
}

TEST(output_protection, names_that_cannot_be_replaced_are_refused_first) {
    struct refusal_case {
        const char* name;
        void (*set_up)(const fs::path& folder);
        bool unprivileged;
    };
    const refusal_case cases[] = {
        // The user may write the file, but not create a file beside it.
        {"directory the user cannot write",
         [](const fs::path& f) {
             earlier_output_anyone_may_write(f);
             fs::permissions(f, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                    fs::perms::others_read | fs::perms::others_exec);
         },
         true},
        // A sticky directory lets only a name's owner replace it.
        {"sticky directory, another user's output",
         [](const fs::path& f) {
             earlier_output_anyone_may_write(f);
             fs::permissions(f, fs::perms::all | fs::perms::sticky_bit);
         },
         true},
        {"read-only file",
         [](const fs::path& f) {
             write_file(f / "r_1.mid", earlier(1));
             fs::permissions(f / "r_1.mid", fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
             fs::permissions(f, fs::perms::all);
         },
         true},
        {"FIFO", [](const fs::path& f) { ASSERT_EQ(mkfifo((f / "r_1.mid").c_str(), 0666), 0); }, false},
        // Given through a link to its first output: replacing r_1.mid would
        // delete the container, which has no other name.
        {"the container's last name",
         [](const fs::path& f) {
             fs::rename(f / "r.dat", f / "r_1.mid");
             fs::create_symlink("r_1.mid", f / "r.dat");
         },
         false},
    };
    for (const refusal_case& c : cases) {
        SCOPED_TRACE(c.name);
        scratch_dir dir;
        fs::permissions(dir.path(), fs::perms::all);
        write_file(dir / "f/r.dat", test_support::container_of({melody.record()}));
        c.set_up(dir / "f");
        const fs::path output = dir / "f/r_1.mid";
        const bool regular = fs::is_regular_file(fs::symlink_status(output));
        const bytes before = regular ? read_file(output) : bytes{};
        // Refused before anything is written: the run never reaches a write to a file.
        run_result r;
        ASSERT_FALSE(writes_a_file({"f/r.dat"}, {.cwd = dir.path(), .unprivileged = c.unprivileged}, r))
            << "a file was written before the refusal";
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(after_banner(r.out), "No file or already opened : f/r_1.mid\n");
        if (regular) expect_file(output, before);
        EXPECT_EQ(dir.temporaries(), std::set<std::string>{});
    }
}

// Times are compared field by field: a modification time past the year 2262
// (beyond nanoseconds in 64 bits) is as good as any other.
TEST(output_protection, far_future_modification_time) {
    scratch_dir dir;
    write_file(dir / "t.dat", four_song_container());
    const timespec times[2] = {{10413792000, 0}, {10413792000, 999999999}};  // 2300-01-01
    ASSERT_EQ(utimensat(AT_FDCWD, (dir / "t.dat").c_str(), times, 0), 0);
    struct stat info {};
    ASSERT_EQ(stat((dir / "t.dat").c_str(), &info), 0);
    if (info.st_mtim.tv_sec != times[1].tv_sec) GTEST_SKIP() << "this file system cannot store the year 2300";
    const run_result r = run_tool({"t.dat"}, {.cwd = dir.path()});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(after_banner(r.out), "");
    expect_file(dir / "t_1.mid", melody.output());
    expect_file(dir / "t_4.mid", running_off.output());
}

// Started with standard input and output closed: nothing the program prints
// may land in a file it opens.
TEST(output_protection, closed_standard_output_never_receives_an_output) {
    for (const bool fails : {false, true}) {
        SCOPED_TRACE(fails ? "failing run" : "successful run");
        scratch_dir dir;
        write_file(dir / "o.dat", test_support::container_of({melody.record(), only_end.record()}));
        if (fails) fs::create_directory(dir / "o_2.mid");
        const run_result r = run_tool({"o.dat"}, {.cwd = dir.path(), .close_standard_output = true});
        EXPECT_EQ(r.status, fails ? 255 : 0);
        EXPECT_EQ(r.out, "");
        expect_file(dir / "o_1.mid", melody.output());
        if (!fails) expect_file(dir / "o_2.mid", only_end.output());
        EXPECT_EQ(dir.temporaries(), std::set<std::string>{});
    }
}

// Short of memory at every point of the run: the program prints its own lines
// only and ends with 0 or -1, never a word on standard error, and leaves
// only complete outputs. A limit so low that the system's loader cannot
// start the program (nothing printed) is not the program's failure.
TEST(output_protection, short_of_address_space) {
    if (TOLVARIN_SANITIZED) GTEST_SKIP() << "address-space limits do not work under the sanitizers";
    const song big = large_song(300000);
    const song huge = large_song(700000, 0x20);
    // A small container, where every allocation of the run comes soon after
    // start-up; one whose output needs several blocks; and one converted on
    // several threads (where the machine has several processors), whose
    // threads may not all get a stack: fewer threads, then, never a failure.
    struct sweep {
        std::vector<const song*> songs;
        rlim_t step;
        int enough_successes;
    };
    const sweep sweeps[] = {{{&melody, &tempo_and_bend, &only_end, &running_off}, 4 << 10, 40},
                            {{&melody, &big, &only_end}, 4 << 10, 40},
                            {{&huge, &big, &huge}, 512 << 10, 48}};
    for (const sweep& sweep : sweeps) {
        const std::vector<const song*>& songs = sweep.songs;
        std::vector<bytes> records;
        for (const song* s : songs) records.push_back(s->record());
        const bytes container = test_support::container_of(records);
        SCOPED_TRACE(std::to_string(container.size()) + "-byte container");
        const auto run_with = [&](rlim_t limit, const scratch_dir& dir) {
            write_file(dir / "m.dat", container);
            return run_tool({"m.dat"}, {.cwd = dir.path(), .address_space_limit = limit, .stderr_must_be_empty = false});
        };
        // The system's loader reports with status 127 (or the kernel kills
        // the process, or refuses to start it) before the program prints.
        const auto loader_gave_up = [](const run_result& r) {
            return r.out.empty() && (r.status == 127 || r.status == 122 || r.status == 1000 + SIGSEGV ||
                                     r.status == 1000 + SIGKILL || r.status == 1000 + SIGBUS);
        };
        // Coarse steps up to where the program starts at all, then fine steps
        // through the range where its own allocations begin to succeed.
        rlim_t start = rlim_t{2} << 20;
        for (;; start += 256 << 10) {
            ASSERT_LT(start, rlim_t{256} << 20) << "the program never started";
            scratch_dir dir;
            if (!loader_gave_up(run_with(start, dir))) break;
        }
        start -= 256 << 10;
        int failures = 0;
        int successes = 0;
        int successes_in_a_row = 0;
        for (rlim_t limit = start; limit < start + (rlim_t{64} << 20) && successes_in_a_row < sweep.enough_successes;
             limit += sweep.step) {
            SCOPED_TRACE("address space " + std::to_string(limit >> 10) + " KiB");
            scratch_dir dir;
            const run_result r = run_with(limit, dir);
            if (loader_gave_up(r)) continue;
            EXPECT_EQ(r.err, "");
            const std::string said = after_banner(r.out);
            if (r.status == 0) {
                EXPECT_EQ(said, "");
                for (std::size_t number = 1; number <= songs.size(); ++number) {
                    expect_file(dir / ("m_" + std::to_string(number) + ".mid"), songs[number - 1]->output());
                }
                ++successes;
                ++successes_in_a_row;
            } else {
                EXPECT_EQ(r.status, 255);
                EXPECT_EQ(said, "Cannot alloc memory\n");
                EXPECT_EQ(dir.files(), std::set<std::string>{"m.dat"});
                ++failures;
                successes_in_a_row = 0;
            }
            EXPECT_EQ(dir.temporaries(), std::set<std::string>{});
        }
        EXPECT_GT(failures, 0) << "no limit made the program itself run short";
        EXPECT_GT(successes, 0);
    }
}

}  // namespace
