#include "cli/driver.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "cli/messages.hpp"
#include "cli/output_name.hpp"
#include "platform/console.hpp"
#include "platform/input.hpp"
#include "platform/memory.hpp"
#include "platform/output.hpp"
#include "platform/process.hpp"
#include "tolvarin/tolvarin.hpp"

namespace tolvarin {
namespace {

// Each output's first MiB is gathered in one buffer per run and written
// once the output is complete, its length patched in memory; the rest goes
// straight out at its place, without a copy. A typical song fits in the
// buffer whole, and is written with a single call.
constexpr std::size_t output_block_size = std::size_t{1} << 20;

// Memory that may be refused. Taken with malloc, which says so by returning
// nothing: a refused `new`, even a non-throwing one, goes through an exception,
// and when memory is that short even the exception may not be had.
struct free_block {
    void operator()(void* block) const { std::free(block); }
};
template <class T>
using block_of = std::unique_ptr<T[], free_block>;

template <class T>
block_of<T> allocate(std::size_t count) {
    return block_of<T>(static_cast<T*>(std::malloc(count * sizeof(T))));
}

// The container may be a mapped file that another program cuts short: every
// read of it runs inside the platform's guard, which turns the fault into a
// failed read.
class container_guard final : public input_guard {
public:
    bool run(function_ref<void()> work) const override { return read_input_guarded(work); }
};

// The translation that runs ahead reads copies of the container from its
// file, where the platform can.
class container_reader final : public image_reader {
public:
    explicit container_reader(const input_block& input) : input_(input) {}
    bool read(std::uint32_t offset, std::span<std::uint8_t> into) const override {
        return read_input_at(input_, offset, into);
    }

private:
    const input_block& input_;
};

// The conversion's working memory in huge pages, where the system has them.
class working_memory final : public memory_source {
public:
    void* take(std::size_t size) override { return take_working_memory(size); }
    void give_back(void* block, std::size_t size) override { give_back_working_memory(block, size); }
};

// Each output's whole name, as messages show it, and its name within the
// directory: one block for all of them, the directory part on its own first.
struct output_names {
    block_of<native_char> block;
    native_char* directory = nullptr;
    native_char* names[max_songs] = {};
    const native_char* leaves[max_songs] = {};
};

bool make_output_names(const native_char* container_path, std::uint32_t count, output_names& out) {
    const path_parts<native_char> parts =
        split_path(std::basic_string_view<native_char>(container_path), native_path_syntax);
    const std::size_t directory_length = output_directory_length(parts);
    const std::size_t name_room = output_name_room(parts);
    out.block = allocate<native_char>(directory_length + 1 + max_songs * name_room);
    if (!out.block) return false;
    out.directory = out.block.get();
    for (std::uint32_t index = 0; index < count; ++index) {
        native_char* const name = out.directory + directory_length + 1 + index * name_room;
        make_output_name(parts, index + 1, name);
        out.names[index] = name;
        out.leaves[index] = name + directory_length;
    }
    std::copy(out.names[0], out.names[0] + directory_length, out.directory);
    out.directory[directory_length] = native_char(0);
    return true;
}

// What ended a run early, and at which output.
enum class failure { none, cannot_write, cannot_read, name_refused };

// Receives the outputs, one file at a time, in order. Each is created (as a
// temporary file) when its song begins, so at most one exists at a time and
// a refused name is reported after the outputs before it are complete. Its
// bytes are written at their places, from the conversion's threads. Once its
// track is complete, its length is patched, the file closed, the container
// checked, and the file renamed over its name. A write that fails stops the
// conversion with nothing recorded here: it is reported as a failed write.
class file_sink final : public placed_output_sink {
public:
    file_sink(input_block& input, const output_directory& dir, const output_names& names, std::uint8_t* buffer)
        : input_(input), dir_(dir), names_(names), buffer_(buffer) {}

    // Removes the temporary file of an output not renamed, on every way out.
    ~file_sink() {
        if (created_) discard_output(dir_, file_);
    }
    file_sink(const file_sink&) = delete;
    file_sink& operator=(const file_sink&) = delete;

    failure failed() const { return failed_; }
    std::uint32_t current() const { return current_; }

    bool begin_output(const song_place& song) override {
        current_ = song.number - 1;
        created_ = create_output(dir_, names_.leaves[current_], input_, file_);
        if (!created_) return fail(failure::name_refused);
        written_ = 0;
        return true;
    }

    // In order, for a conversion that gives the bytes so.
    bool write(byte_view bytes) override {
        written_ += bytes.size();
        return write_at(written_ - bytes.size(), bytes);
    }

    // Called on several threads at once, for stretches that never overlap:
    // each copies into its own part of the buffer, or writes its own part of
    // the file.
    bool write_at(std::uint64_t offset, byte_view bytes) override {
        std::size_t gathered = 0;
        if (offset < output_block_size) {
            gathered = static_cast<std::size_t>(std::min<std::uint64_t>(bytes.size(), output_block_size - offset));
            std::memcpy(buffer_ + offset, bytes.data(), gathered);
        }
        return gathered == bytes.size() ||
               write_output_at(file_, offset + gathered, bytes.data() + gathered, bytes.size() - gathered);
    }

    bool end_output(const song_output& output) override {
        std::copy(output.length_field.begin(), output.length_field.end(), buffer_ + track_length_offset);
        const auto gathered = static_cast<std::size_t>(std::min<std::uint64_t>(output.output_size, output_block_size));
        const bool written = write_output_at(file_, 0, buffer_, gathered);
        const bool closed = close_output(file_);
        // The container is checked once an output's bytes are all read: a
        // file that changed while it was being read would otherwise give a
        // wrong output silently.
        if (!input_unchanged(input_)) return fail(failure::cannot_read);
        if (!written || !closed) return fail(failure::cannot_write);
        if (!commit_output(dir_, names_.leaves[current_], input_, file_)) return fail(failure::name_refused);
        return true;
    }

private:
    bool fail(failure what) {
        failed_ = what;
        return false;
    }

    input_block& input_;
    const output_directory& dir_;
    const output_names& names_;
    std::uint8_t* buffer_;
    output_file file_{};
    bool created_ = false;
    std::uint32_t current_ = 0;
    std::uint64_t written_ = 0;  // by write, in order
    failure failed_ = failure::none;
};

class directory_held {
public:
    explicit directory_held(output_directory& dir) : dir_(dir) {}
    ~directory_held() { close_output_directory(dir_); }
    directory_held(const directory_held&) = delete;
    directory_held& operator=(const directory_held&) = delete;

private:
    output_directory& dir_;
};

// Says what stopped the conversion; true when nothing did.
bool report(const conversion_result& result, const file_sink& sink, const input_block& input,
            const native_char* container_path, const output_names& names) {
    switch (result.status) {
        case conversion_status::done: return true;
        case conversion_status::input_fault: say(message::cannot_read, container_path); return false;
        case conversion_status::no_memory: say(message::no_memory); return false;
        case conversion_status::bad_argument: break;  // not given here: the plan is the library's own
        case conversion_status::track_too_long: break;
        case conversion_status::stopped:
            if (sink.failed() == failure::cannot_read) {
                say(message::cannot_read, container_path);
                return false;
            }
            if (sink.failed() == failure::name_refused) {
                say(message::cannot_open, names.names[sink.current()]);
                return false;
            }
            break;
    }
    // A write that failed on a container that changed meanwhile is reported
    // as the change, its likely cause.
    if (!input_unchanged(input)) {
        say(message::cannot_read, container_path);
    } else {
        say(message::cannot_write, names.names[result.song]);
    }
    return false;
}

}  // namespace

bool write_songs(input_block& input, const native_char* container_path) {
    const byte_view image(input.data, input.size);
    container_plan plan;
    if (!read_input_guarded([&] { plan = plan_container(image); })) {
        say(message::cannot_read, container_path);
        return false;
    }
    if (plan.count == 0) return true;

    output_names names;
    const block_of<std::uint8_t> buffer = allocate<std::uint8_t>(output_block_size);
    if (!make_output_names(container_path, plan.count, names) || !buffer) {
        say(message::no_memory);
        return false;
    }
    output_directory dir;
    if (!open_output_directory(names.directory, dir)) {
        say(message::cannot_open, names.names[0]);
        return false;
    }
    const directory_held dir_held(dir);

    // Every processor the process may use, for containers large enough that
    // threads pay (the library decides); the library's own workers.
    const container_guard guard;
    conversion_options options;
    options.threads = 0;
    options.guard = &guard;
    const container_reader reader(input);
    if (input_readable_at(input)) options.reader = &reader;
    working_memory memory;
    file_sink sink(input, dir, names, buffer.get());
    const conversion_result result = convert(image, plan, sink, options, &memory);
    return report(result, sink, input, container_path, names);
}

int run(int argc, native_char** argv, std::string_view banner) {
    prepare_process();
    print_text(banner);
    if (argc < 2) {
        say(message::usage);
        return exit_failure;
    }
    const native_char* const container_path = argv[1];

    input_block input;
    const load_status status = load_input(container_path, input);
    switch (status) {
        case load_status::loaded: break;
        case load_status::cannot_open: say(message::cannot_open, container_path); break;
        case load_status::too_large: say(message::too_large, container_path); break;
        case load_status::cannot_read: say(message::cannot_read, container_path); break;
        case load_status::no_memory: say(message::no_memory); break;
    }
    if (status != load_status::loaded) return exit_failure;

    const bool written = write_songs(input, container_path);
    release_input(input);
    return written ? exit_success : exit_failure;
}

}  // namespace tolvarin
