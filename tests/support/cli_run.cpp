#include "cli_run.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace cli {
namespace {

std::string read_all(int descriptor) {
    std::string text;
    char chunk[4096];
    ssize_t got;
    while ((got = read(descriptor, chunk, sizeof chunk)) > 0) text.append(chunk, static_cast<std::size_t>(got));
    close(descriptor);
    return text;
}

}  // namespace

running_tool start_tool(const std::vector<std::string>& args, const run_options& options) {
    int out_pipe[2];
    if (pipe(out_pipe) != 0) throw std::runtime_error("pipe");
    char err_name[] = "/tmp/tolvarin-stderr-XXXXXX";
    const int err_file = mkstemp(err_name);
    if (err_file < 0) throw std::runtime_error("mkstemp");
    unlink(err_name);
    const pid_t child = fork();
    if (child == 0) {
        dup2(out_pipe[1], STDOUT_FILENO);
        dup2(err_file, STDERR_FILENO);
        close(out_pipe[0]);
        close(out_pipe[1]);
        close(err_file);
        if (options.close_standard_output) {
            close(STDIN_FILENO);
            close(STDOUT_FILENO);
        }
        if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(120);
        if (options.unprivileged && geteuid() == 0 && (setgid(nogroup) != 0 || setuid(nobody) != 0)) _exit(123);
        if (TOLVARIN_SANITIZED) putenv(const_cast<char*>("ASAN_OPTIONS=verify_asan_link_order=0"));
        umask(options.umask);
        const rlimit no_core{0, 0};
        setrlimit(RLIMIT_CORE, &no_core);
        if (options.file_size_limit != RLIM_INFINITY) {
            const rlimit limit{options.file_size_limit, options.file_size_limit};
            if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(121);
        }
        if (options.address_space_limit != RLIM_INFINITY) {
            const rlimit limit{options.address_space_limit, options.address_space_limit};
            if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(124);
        }
        // The test runner may have left these blocked or ignored; the
        // converter must start as a shell would start it.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        for (const int number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) signal(number, SIG_DFL);
        if (options.ignore_hangup) signal(SIGHUP, SIG_IGN);
        for (const std::string& entry : options.environment) putenv(const_cast<char*>(entry.c_str()));
        std::vector<char*> argv{const_cast<char*>(TOLVARIN_BINARY)};
        for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        execv(TOLVARIN_BINARY, argv.data());
        _exit(122);
    }
    close(out_pipe[1]);
    return {child, out_pipe[0], err_file};
}

run_result finish_tool(running_tool& tool, const run_options& options) {
    run_result result;
    result.out = read_all(tool.out);
    int status = 0;
    waitpid(tool.pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
    lseek(tool.err, 0, SEEK_SET);
    result.err = read_all(tool.err);
    if (options.stderr_must_be_empty) {
        EXPECT_EQ(result.err, "") << "standard error of the converter";
    }
    tool = {};
    return result;
}

run_result run_tool(const std::vector<std::string>& args, const run_options& options) {
    running_tool tool = start_tool(args, options);
    return finish_tool(tool, options);
}

bool wait_until_stopped(running_tool& tool) {
    int status = 0;
    return waitpid(tool.pid, &status, WUNTRACED) == tool.pid && WIFSTOPPED(status);
}

bool writes_a_file(const std::vector<std::string>& args, run_options options, run_result& result) {
    options.environment.push_back(preload_faults());
    options.environment.push_back("TOLVARIN_STOP_AT=write:1");
    running_tool tool = start_tool(args, options);
    int status = 0;
    waitpid(tool.pid, &status, WUNTRACED);
    if (WIFSTOPPED(status)) {
        kill(tool.pid, SIGKILL);
        kill(tool.pid, SIGCONT);
        waitpid(tool.pid, &status, 0);
        close(tool.out);
        close(tool.err);
        return true;
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
    char chunk[4096];
    ssize_t got;
    while ((got = read(tool.out, chunk, sizeof chunk)) > 0) result.out.append(chunk, static_cast<std::size_t>(got));
    close(tool.out);
    lseek(tool.err, 0, SEEK_SET);
    while ((got = read(tool.err, chunk, sizeof chunk)) > 0) result.err.append(chunk, static_cast<std::size_t>(got));
    close(tool.err);
    return false;
}

std::string preload_faults() { return std::string("LD_PRELOAD=") + IO_FAULT_LIBRARY; }

// The banner's date and time are fixed at build time; only their form is
// known here: "Tolvarin BuildDate:[Mmm dd yyyy hh:mm:ss]" with the day
// space-padded, as compilers write the build date.
bool is_banner(const std::string& line) {
    const std::string prefix = "Tolvarin BuildDate:[";
    const std::string months = "JanFebMarAprMayJunJulAugSepOctNovDec";
    if (line.size() != prefix.size() + 22 || line.compare(0, prefix.size(), prefix) != 0) return false;
    const std::string stamp = line.substr(prefix.size());  // "Dec  8 2026 06:24:27]\n"
    const auto digit = [&](std::size_t i) { return stamp[i] >= '0' && stamp[i] <= '9'; };
    const std::size_t month = months.find(stamp.substr(0, 3));
    return month != std::string::npos && month % 3 == 0 && stamp[3] == ' ' &&
           (stamp[4] == ' ' || (stamp[4] >= '1' && stamp[4] <= '3')) && digit(5) && stamp[6] == ' ' &&
           digit(7) && digit(8) && digit(9) && digit(10) && stamp[11] == ' ' && digit(12) && digit(13) &&
           stamp[14] == ':' && digit(15) && digit(16) && stamp[17] == ':' && digit(18) && digit(19) &&
           stamp.substr(20) == "]\n";
}

std::string after_banner(const std::string& out) {
    const std::size_t end = out.find('\n');
    if (end == std::string::npos) {
        ADD_FAILURE() << "no banner line in: " << out;
        return out;
    }
    EXPECT_TRUE(is_banner(out.substr(0, end + 1))) << out.substr(0, end + 1);
    return out.substr(end + 1);
}

scratch_dir::scratch_dir() {
    std::string pattern = (fs::temp_directory_path() / "tolvarin-cli-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp");
    path_ = pattern;
}

scratch_dir::~scratch_dir() {
    std::error_code ignored;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
    for (auto it = fs::recursive_directory_iterator(path_, ignored); it != fs::recursive_directory_iterator();
         it.increment(ignored)) {
        if (it->is_directory(ignored) && !it->is_symlink(ignored)) {
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
        }
    }
    fs::remove_all(path_, ignored);
}

std::set<std::string> scratch_dir::files() const {
    std::set<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(path_)) {
        if (entry.is_regular_file()) names.insert(fs::relative(entry.path(), path_).string());
    }
    return names;
}

std::set<std::string> scratch_dir::temporaries() const {
    std::set<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(path_)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(".tolvarin-", 0) == 0) names.insert(fs::relative(entry.path(), path_).string());
    }
    return names;
}

void write_file(const fs::path& path, const bytes& data) {
    fs::create_directories(path.parent_path());
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

bytes read_file(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    return bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

void expect_file(const fs::path& path, const bytes& expected) {
    const bytes got = read_file(path);
    if (got.size() > 4096 || expected.size() > 4096) {
        EXPECT_TRUE(got == expected) << path << ": " << got.size() << " bytes, expected " << expected.size();
    } else {
        EXPECT_EQ(test_support::hex_string(got), test_support::hex_string(expected)) << path;
    }
}

bytes song::record() const { return test_support::concat({header, stream}); }

bytes song::output() const {
    return test_support::concat(
        {test_support::with_track_length(header, static_cast<std::uint32_t>(track.size())), track});
}

using test_support::hex;

const song melody{test_support::header_block(96), hex("00 90 3C 40 60 80 3C 00 FF 2F 00"),
                  hex("00 90 3C 40 60 80 3C 00 00 FF 2F 00")};
const song tempo_and_bend{test_support::header_block(480, 0),
                          hex("00 FF 51 03 07 A1 20 00 C0 05 00 E0 40 83 60 90 3C 40 00 FF 2F 00"),
                          hex("00 FF 51 03 07 A1 20 00 C0 05 00 E0 40 00 83 60 90 3C 40 00 FF 2F 00")};
const song only_end{test_support::header_block(120, 0x7FFFFFFF), hex("00 FF 2F 00"), hex("00 FF 2F 00")};
const song running_off{test_support::header_block(24), hex("00 80 3C 05 3E 00 FF 2F 00"),
                       hex("00 80 3C 00 05 3E 00 00 FF 2F 00")};

bytes four_song_container() {
    return test_support::container_of(
        {melody.record(), tempo_and_bend.record(), only_end.record(), running_off.record()});
}

song large_song(int events, std::uint8_t first_note) {
    song s{test_support::header_block(), {}, {}};
    s.stream.reserve(static_cast<std::size_t>(events) * 3 + 4);
    s.track.reserve(static_cast<std::size_t>(events) * 4 + 4);
    for (int i = 0; i < events; ++i) {
        const auto note = static_cast<std::uint8_t>((first_note + i / 2) & 0x7F);
        const bytes in = (i % 2 == 0) ? bytes{0x00, 0x80, note} : bytes{0x81, 0x05, note};
        s.stream.insert(s.stream.end(), in.begin(), in.end());
        s.track.insert(s.track.end(), in.begin(), in.end());
        s.track.push_back(0x00);
    }
    const bytes eot = hex("00 FF 2F 00");
    s.stream.insert(s.stream.end(), eot.begin(), eot.end());
    s.track.insert(s.track.end(), eot.begin(), eot.end());
    return s;
}

}  // namespace cli
