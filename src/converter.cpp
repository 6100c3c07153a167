#include "converter.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string_view>

#include "pipeline.hpp"

namespace tolvarin {
namespace {

// Small pieces of output are gathered in one block buffer per run and
// written with block writes; large pieces go straight out, without a copy. A
// typical song fits in the buffer whole, so its length is patched in memory
// and the file is written with a single call.
constexpr std::size_t output_block_size = std::size_t{1} << 20;
constexpr std::size_t direct_write_size = std::size_t{16} << 10;

// Memory that may be refused. Taken with malloc, which says so by returning
// nothing: a refused `new`, even a non-throwing one, goes through an exception,
// and when memory is that short even the exception may not be had.
struct free_block {
    void operator()(void* block) const { std::free(block); }
};
template <class T>
using block_of = std::unique_ptr<T[], free_block>;

template <class T>
T* allocate(std::size_t count) {
    return static_cast<T*>(std::malloc(count * sizeof(T)));
}

// The container walk, and a copy of each header block, so that nothing
// outside the guarded work reads the input.
struct walk_work {
    byte_view image;
    sequence_list sequences;
    std::uint8_t headers[max_sequences][header_block_size];
};

void run_walk_work(void* context) {
    auto& work = *static_cast<walk_work*>(context);
    work.sequences = find_sequences(work.image);
    for (std::uint32_t index = 0; index < work.sequences.count; ++index) {
        const byte_view header = work.image.subspan(work.sequences.positions[index], header_block_size);
        std::copy(header.begin(), header.end(), work.headers[index]);
    }
}

// What ended a run early, and at which output.
enum class failure { none, cannot_write, cannot_read, name_refused, no_memory };

struct output_entry {
    native_char* name;        // the whole name, as messages show it
    const native_char* leaf;  // its name within the directory
    output_file file;
    bool created;
};

// Receives the pipeline's output: one output file at a time, in order. Each
// is created (as a temporary file) when its first bytes arrive, so at most
// one exists at a time and a refused name is reported after the outputs
// before it are complete. It begins with its sequence's header block; once
// its track is complete, its length is patched, the file closed, the
// container checked, and the file renamed over its name.
struct file_sink {
    input_block* input;
    const walk_work* walk;
    const output_directory* dir;
    output_entry* outputs;
    std::uint8_t* buffer;
    std::size_t current;
    std::size_t used;
    std::uint64_t flushed;
    std::uint64_t track_bytes;
    failure failed;
    std::size_t failed_at;
};

bool fail(file_sink& sink, failure what, std::size_t index) {
    sink.failed = what;
    sink.failed_at = index;
    return false;
}

bool begin_output(file_sink& sink, std::size_t index) {
    output_entry& entry = sink.outputs[index];
    if (!create_output(*sink.dir, entry.leaf, *sink.input, entry.file)) return fail(sink, failure::name_refused, index);
    entry.created = true;
    std::copy(sink.walk->headers[index], sink.walk->headers[index] + header_block_size, sink.buffer);
    sink.current = index;
    sink.used = header_block_size;
    sink.flushed = 0;
    sink.track_bytes = 0;
    return true;
}

bool flush(file_sink& sink) {
    output_file& file = sink.outputs[sink.current].file;
    if (sink.used > 0 && !write_output(file, sink.buffer, sink.used)) return false;
    sink.flushed += sink.used;
    sink.used = 0;
    return true;
}

bool append_output(void* context, std::size_t index, const std::uint8_t* data, std::size_t size) {
    auto& sink = *static_cast<file_sink*>(context);
    if (index != sink.current && !begin_output(sink, index)) return false;
    sink.track_bytes += size;
    // The length field is 32 bits: a track that outgrew it cannot be stored.
    if (sink.track_bytes > std::numeric_limits<std::uint32_t>::max()) return fail(sink, failure::cannot_write, index);
    // A song that fits in the buffer whole is written with one call; in a
    // larger one, large pieces go straight out.
    const bool small_so_far = sink.flushed == 0 && output_block_size - sink.used >= size;
    if (small_so_far || (size < direct_write_size && output_block_size - sink.used >= size)) {
        std::memcpy(sink.buffer + sink.used, data, size);
        sink.used += size;
        return true;
    }
    if (!flush(sink)) return fail(sink, failure::cannot_write, index);
    if (size >= direct_write_size) {
        if (!write_output(sink.outputs[index].file, data, size)) return fail(sink, failure::cannot_write, index);
        sink.flushed += size;
        return true;
    }
    std::memcpy(sink.buffer, data, size);
    sink.used = size;
    return true;
}

bool finish_output(void* context, std::size_t index) {
    auto& sink = *static_cast<file_sink*>(context);
    if (index != sink.current && !begin_output(sink, index)) return false;
    output_entry& entry = sink.outputs[index];
    const auto length_bytes = encode_track_length(static_cast<std::uint32_t>(sink.track_bytes));
    bool written = false;
    if (sink.flushed == 0) {
        std::copy(length_bytes.begin(), length_bytes.end(), sink.buffer + track_length_offset);
        written = flush(sink);
    } else {
        written = flush(sink) &&
                  write_output_at(entry.file, track_length_offset, length_bytes.data(), length_bytes.size());
    }
    const bool closed = close_output(entry.file);
    // The container is checked once an output's bytes are all read: a file
    // that changed while it was being read would otherwise give a wrong
    // output silently.
    if (!input_unchanged(*sink.input)) return fail(sink, failure::cannot_read, index);
    if (!written || !closed) return fail(sink, failure::cannot_write, index);
    if (!commit_output(*sink.dir, entry.leaf, *sink.input, entry.file)) {
        return fail(sink, failure::name_refused, index);
    }
    return true;
}

// Removes the temporary files of outputs not renamed, on every way out.
class outputs_in_progress {
public:
    outputs_in_progress(const output_directory& dir, output_entry* outputs, std::size_t count)
        : dir_(dir), outputs_(outputs), count_(count) {}
    ~outputs_in_progress() {
        for (std::size_t index = 0; index < count_; ++index) {
            if (outputs_[index].created) discard_output(dir_, outputs_[index].file);
        }
    }
    outputs_in_progress(const outputs_in_progress&) = delete;
    outputs_in_progress& operator=(const outputs_in_progress&) = delete;

private:
    const output_directory& dir_;
    output_entry* outputs_;
    std::size_t count_;
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

// Where a track's chunks are planned to end: where the next sequence record
// starts (a track normally ends just before it), or the end of the image.
std::uint32_t planned_end(const sequence_list& sequences, std::uint32_t index, std::size_t image_size) {
    auto end = static_cast<std::uint64_t>(image_size);
    for (std::uint32_t other = 0; other < sequences.count; ++other) {
        const std::uint32_t position = sequences.positions[other];
        if (position > sequences.positions[index] && position < end) end = position;
    }
    return static_cast<std::uint32_t>(end);
}

}  // namespace

bool extract_sequences(input_block& input, const native_char* container_path) {
    const byte_view image(input.data, input.size);
    walk_work walk{image, {}, {}};
    if (!read_input_guarded(run_walk_work, &walk)) {
        print_path_line("Cannot read file : ", container_path);
        return false;
    }
    const sequence_list& sequences = walk.sequences;
    if (sequences.count == 0) return true;

    // One block for the output buffer, one for the names: the directory part
    // on its own, then each output's whole name, whose last part is its name
    // within the directory.
    const path_parts<native_char> parts =
        split_path(std::basic_string_view<native_char>(container_path), native_path_syntax);
    const std::size_t directory_length = output_directory_length(parts);
    const std::size_t name_room = output_name_room(parts);
    const block_of<std::uint8_t> buffer(allocate<std::uint8_t>(output_block_size));
    const block_of<native_char> names(allocate<native_char>(directory_length + 1 + max_sequences * name_room));
    if (!buffer || !names) {
        print_text("Cannot alloc memory\n");
        return false;
    }
    native_char* const directory = names.get();
    output_entry outputs[max_sequences] = {};
    for (std::uint32_t index = 0; index < sequences.count; ++index) {
        native_char* const name = directory + directory_length + 1 + index * name_room;
        make_output_name(parts, index + 1, name);
        outputs[index].name = name;
        outputs[index].leaf = name + directory_length;
    }
    std::copy(outputs[0].name, outputs[0].name + directory_length, directory);
    directory[directory_length] = native_char(0);

    output_directory dir;
    if (!open_output_directory(directory, dir)) {
        print_path_line("No file or already opened : ", outputs[0].name);
        return false;
    }
    const directory_held dir_held(dir);
    const outputs_in_progress in_progress(dir, outputs, sequences.count);

    pipeline_track tracks[max_sequences];
    std::uint64_t bytes = 0;
    for (std::uint32_t index = 0; index < sequences.count; ++index) {
        tracks[index] = {sequences.positions[index] + static_cast<std::uint32_t>(header_block_size),
                         planned_end(sequences, index, image.size())};
        if (tracks[index].planned_end > tracks[index].first_event) {
            bytes += tracks[index].planned_end - tracks[index].first_event;
        }
    }
    file_sink state{&input, &walk, &dir, outputs, buffer.get(), max_sequences, 0, 0, 0, failure::none, 0};
    const pipeline_sink sink{&state, append_output, finish_output};
    pipeline_settings settings;
    settings.threads = threads_for(bytes, processor_count());
    const pipeline_result result = run_pipeline(image, {tracks, sequences.count}, sink, settings);
    if (result == pipeline_result::input_fault) {
        print_path_line("Cannot read file : ", container_path);
        return false;
    }
    if (result == pipeline_result::no_memory) state.failed = failure::no_memory;
    switch (state.failed) {
        case failure::none: return true;
        case failure::cannot_write:
            // A write that failed on a container that changed meanwhile is
            // reported as the change, its likely cause.
            if (!input_unchanged(input)) {
                print_path_line("Cannot read file : ", container_path);
            } else {
                print_path_line("Cannot write file : ", outputs[state.failed_at].name);
            }
            break;
        case failure::cannot_read: print_path_line("Cannot read file : ", container_path); break;
        case failure::name_refused:
            print_path_line("No file or already opened : ", outputs[state.failed_at].name);
            break;
        case failure::no_memory: print_text("Cannot alloc memory\n"); break;
    }
    return false;
}

int run(int argc, native_char** argv, std::string_view banner) {
    prepare_process();
    print_text(banner);
    if (argc < 2) {
        print_text("Usage\n");
        print_text("\tTolvarin.exe <Zarqfile>\n");
        return exit_failure;
    }
    const native_char* const container_path = argv[1];

    input_block input;
    const load_status status = load_input(container_path, input);
    switch (status) {
        case load_status::loaded: break;
        case load_status::cannot_open:
            print_path_line("No file or already opened : ", container_path);
            break;
        case load_status::too_large: print_path_line("File too large : ", container_path); break;
        case load_status::cannot_read:
            print_path_line("Cannot read file : ", container_path);
            break;
        case load_status::no_memory: print_text("Cannot alloc memory\n"); break;
    }
    if (status != load_status::loaded) return exit_failure;

    const bool extracted = extract_sequences(input, container_path);
    release_input(input);
    return extracted ? exit_success : exit_failure;
}

}  // namespace tolvarin
