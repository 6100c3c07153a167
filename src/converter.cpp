#include "converter.hpp"

#include "fast_translate.hpp"

#include <algorithm>
#include <limits>
#include <memory>
#include <cstdlib>
#include <string_view>

namespace tolvarin {
namespace {

// Output goes through one block buffer per run, written with block writes.
// A typical song fits in it whole, so its length is patched in memory and the
// file is written with a single call.
constexpr std::size_t output_block_size = std::size_t{1} << 20;
// The translation takes its fast path only while this much room is left.
constexpr std::size_t fast_output_room = 4096;

struct output_block {
    std::uint8_t* data;
    std::size_t size;
};

// Writes one sequence to `file`: the header block, the translated track, and
// the track length in bytes 18-21. False on any write error.
bool write_sequence(byte_view image, std::uint32_t position, output_block buffer,
                    output_file& file) {
    const byte_view header = image.subspan(position, header_block_size);
    std::copy(header.begin(), header.end(), buffer.data);
    std::size_t used = header_block_size;
    std::uint64_t flushed = 0;

    std::uint8_t* at = buffer.data + used;
    event_cursor track = open_track(image, position + static_cast<std::uint32_t>(header_block_size), at);
    used = static_cast<std::size_t>(at - buffer.data);
    while (!track.finished) {
        used += translate_events(image, track, std::numeric_limits<std::uint32_t>::max(),
                                 {buffer.data + used, buffer.size - used});
        if (!track.finished && buffer.size - used < fast_output_room) {
            if (!write_output(file, buffer.data, used)) return false;
            flushed += used;
            used = 0;
        }
    }

    // The length field is 32 bits: a track that outgrew it cannot be stored.
    const std::uint64_t track_length = flushed + used - header_block_size;
    if (track_length > std::numeric_limits<std::uint32_t>::max()) return false;
    const auto length_bytes = encode_track_length(static_cast<std::uint32_t>(track_length));
    if (flushed == 0) {
        std::copy(length_bytes.begin(), length_bytes.end(), buffer.data + track_length_offset);
        return write_output(file, buffer.data, used);
    }
    return write_output(file, buffer.data, used) &&
           write_output_at(file, track_length_offset, length_bytes.data(), length_bytes.size());
}

struct sequence_work {
    byte_view image;
    std::uint32_t position;
    output_block buffer;
    output_file* file;
    bool written;
};

void run_sequence_work(void* context) {
    auto& work = *static_cast<sequence_work*>(context);
    work.written = write_sequence(work.image, work.position, work.buffer, *work.file);
}

struct walk_work {
    byte_view image;
    sequence_list sequences;
};

void run_walk_work(void* context) {
    auto& work = *static_cast<walk_work*>(context);
    work.sequences = find_sequences(work.image);
}

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

// Removes the temporary file of an output that did not get renamed, on every
// way out of the loop below, an allocation failure included.
class output_in_progress {
public:
    output_in_progress(const output_directory& dir, output_file& file) : dir_(dir), file_(file) {}
    ~output_in_progress() { discard_output(dir_, file_); }
    output_in_progress(const output_in_progress&) = delete;
    output_in_progress& operator=(const output_in_progress&) = delete;

private:
    const output_directory& dir_;
    output_file& file_;
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

}  // namespace

bool extract_sequences(input_block& input, const native_char* container_path) {
    const byte_view image(input.data, input.size);
    // Every read of the input happens under the guard, and the input is
    // checked after each output: a file that changed while it was being read
    // would otherwise give a wrong output silently.
    walk_work walk{image, {}};
    if (!read_input_guarded(run_walk_work, &walk)) {
        print_path_line("Cannot read file : ", container_path);
        return false;
    }
    const sequence_list& sequences = walk.sequences;
    if (sequences.count == 0) return true;

    // One block for the output data, one for the names: the directory part on
    // its own, then the whole name of the output at hand, whose last part is
    // its name within the directory.
    const path_parts<native_char> parts =
        split_path(std::basic_string_view<native_char>(container_path), native_path_syntax);
    const std::size_t directory_length = output_directory_length(parts);
    const block_of<std::uint8_t> buffer(allocate<std::uint8_t>(output_block_size));
    const block_of<native_char> names(allocate<native_char>(directory_length + 1 + output_name_room(parts)));
    if (!buffer || !names) {
        print_text("Cannot alloc memory\n");
        return false;
    }
    native_char* const directory = names.get();
    native_char* const name = directory + directory_length + 1;
    const native_char* const leaf = name + directory_length;
    make_output_name(parts, 1, name);
    std::copy(name, name + directory_length, directory);
    directory[directory_length] = native_char(0);

    output_directory dir;
    if (!open_output_directory(directory, dir)) {
        print_path_line("No file or already opened : ", name);
        return false;
    }
    const directory_held dir_held(dir);

    for (std::uint32_t index = 0; index < sequences.count; ++index) {
        make_output_name(parts, index + 1, name);
        output_file file;
        if (!create_output(dir, leaf, input, file)) {
            print_path_line("No file or already opened : ", name);
            return false;
        }
        const output_in_progress in_progress(dir, file);
        sequence_work work{image, sequences.positions[index], {buffer.get(), output_block_size}, &file, false};
        const bool input_intact = read_input_guarded(run_sequence_work, &work) && input_unchanged(input);
        const bool closed = close_output(file);
        if (!input_intact) {
            print_path_line("Cannot read file : ", container_path);
            return false;
        }
        if (!closed || !work.written) {
            print_path_line("Cannot write file : ", name);
            return false;
        }
        if (!commit_output(dir, leaf, input, file)) {
            print_path_line("No file or already opened : ", name);
            return false;
        }
    }
    return true;
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
