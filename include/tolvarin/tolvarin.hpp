// The converter as a library: a Zarq container image in memory in, one
// Standard MIDI File per song out, byte for byte what the command line writes.
//
// A container holds up to four songs. Each is the 22-byte head of a
// single-track Standard MIDI File (header chunk, then the track chunk's tag
// and length) followed by the track's events in a compact form. The library
// walks the container's slots to find the songs (plan_container), converts
// them, all or one, into a sink the caller gives or into memory, and
// describes a song (how its track ended, its events) on request.
//
// Nothing here throws, prints, or touches a file, a console or a signal;
// there is no global state. Memory that cannot be had is a status. The image
// is only read, and only inside the caller's guard when one is given, so a
// caller whose image can fault (a mapped file cut short) can stop the
// reading safely. Worker threads are started only through the caller's
// starter when one is given.
//
// The caller's own objects (sink, guard, reader, starter) may throw. A throw
// stops the conversion; once every worker thread has stopped, the exception
// reaches the caller of convert or convert_song as it was thrown, whichever
// thread it was thrown on. The library throws nothing of its own.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>
#include <utility>

// Exported from the shared library, which hides everything else.
#if defined(__GNUC__)
#pragma GCC visibility push(default)
#endif
namespace tolvarin {

using byte_view = std::span<const std::uint8_t>;

// A reference to a callable, held for the length of a call: it neither owns
// nor copies what it refers to, and never allocates.
template <class Signature>
class function_ref;

template <class Result, class... Args>
class function_ref<Result(Args...)> {
public:
    template <class Callable>
        requires(!std::is_same_v<std::remove_cvref_t<Callable>, function_ref> &&
                 std::is_invocable_r_v<Result, Callable&, Args...>)
    function_ref(Callable&& callable) noexcept  // NOLINT: converts implicitly, as a callable argument should
        : object_(const_cast<void*>(static_cast<const void*>(&callable))),
          call_([](void* object, Args... args) -> Result {
              return (*static_cast<std::remove_reference_t<Callable>*>(object))(std::forward<Args>(args)...);
          }) {}

    Result operator()(Args... args) const { return call_(object_, std::forward<Args>(args)...); }

private:
    void* object_;
    Result (*call_)(void*, Args...);
};

// --- The container -----------------------------------------------------------

inline constexpr std::uint32_t max_songs = 4;
inline constexpr std::size_t container_header_size = 16;
inline constexpr std::size_t header_block_size = 22;
inline constexpr std::size_t track_length_offset = 18;  // where the head holds the track length
// An image must be smaller than this: positions in it are 32-bit.
inline constexpr std::uint64_t max_image_size = std::uint64_t{1} << 32;
constexpr bool image_too_large(std::uint64_t size) { return size >= max_image_size; }
// The longest track a Standard MIDI File's 32-bit length field can count.
inline constexpr std::uint64_t max_track_length = 0xFFFFFFFFu;

// Why the walk over the slots found no further song.
enum class walk_end : std::uint8_t {
    absent_slot,       // the next slot holds 0
    past_the_end,      // the next song would start at or past the end of the image
    head_cut_short,    // the next song's 22-byte head runs past the end of the image
    last_slot,         // the fourth song was found: there are no more slots
    image_too_large    // the image is 4 GiB or more: it was not walked, and has no songs
};

struct song_place {
    std::uint32_t number = 0;       // 1 to 4, as in the output's name
    std::uint32_t position = 0;     // where its 22-byte head starts
    std::uint32_t first_event = 0;  // the track's first byte, just behind the head
    // Where the track is expected to end: where the nearest song record
    // behind it starts, or the end of the image. A track without an end of
    // track runs on past it, through the other songs, to the end of the image.
    std::uint32_t planned_end = 0;
};

struct container_plan {
    std::array<song_place, max_songs> songs{};
    std::uint32_t count = 0;
    walk_end stopped = walk_end::absent_slot;
    // The position the walk stopped at: the song position that lies past the
    // end or whose head is cut short (0 for an absent slot or the last slot).
    std::uint64_t stopped_at = 0;
    // Bytes from each track's first event to its planned end, all songs together.
    std::uint64_t track_bytes = 0;
};

// Walks the slots in order: song 1 at offset 16, then each present slot in
// turn (a slot holds where its song starts, minus 4, little-endian). Stops at
// the first absent slot, at a position not below the image's size, at a head
// that does not fit, and after the fourth song. Never reads past the image.
// An image that can fault is read here too: call it inside the guard.
//
// A plan belongs to the image it was made from. Every function below that
// takes a plan checks it against the image (or its size) it is given: at most
// four songs, each head whole inside the image with its track just behind it,
// each planned end inside the image. A plan that fails the check is refused
// (bad_argument, or the answers for "no such song"), never trusted; one that
// passes it but was made from another image of that size gives that image's
// songs translated from this one's bytes.
container_plan plan_container(byte_view image);

// The most an output can be: the head, and 1.5 bytes for every byte from the
// track's first event to the end of the image (a note off or pitch bend of two
// bytes becomes three; nothing grows more). 0 for an index outside the plan,
// or a plan that does not fit an image of this size.
std::uint64_t output_size_bound(const container_plan& plan, std::uint32_t index, std::size_t image_size);

// --- Converting ---------------------------------------------------------------

// What a conversion reports about each output, once its track is complete.
struct song_output {
    song_place song;
    std::uint32_t track_length = 0;  // bytes of track behind the head
    std::uint64_t output_size = 0;   // head and track
    // The four bytes that belong at track_length_offset: the track length,
    // big-endian. The head was written with what the container held there.
    std::array<std::uint8_t, 4> length_field{};
    std::uint32_t end_position = 0;  // where in the image the track's translation stopped
};

// Where the outputs go, one at a time and in song order: begin_output, the
// output's bytes in order from its first (the head as the container holds
// it, then the track), and end_output with the length to patch in. A call
// that returns false stops the conversion; nothing more is asked of the sink.
// The sink is called on the calling thread only.
class output_sink {
public:
    virtual bool begin_output(const song_place& song) = 0;
    virtual bool write(byte_view bytes) = 0;
    virtual bool end_output(const song_output& output) = 0;

protected:
    ~output_sink() = default;
};

// A sink that takes each output's bytes at their places rather than in
// order, so that the stretches translated ahead on the conversion's worker
// threads are written there, as soon as the length of the output before
// them is known, instead of waiting their turn on the calling thread.
// Converting into it (the overloads of convert and convert_song below), each
// output is begin_output, then every one of its bytes exactly once through
// write_at (the head as the container holds it at offset 0, the track
// behind it), in stretches that never overlap and in no set order, then
// end_output with the length to patch in, once every write_at of the output
// has returned. write is not called. begin_output and end_output are called
// on the calling thread; write_at on it and on the worker threads, up to
// `threads` calls at once. A call that returns false stops the conversion:
// the calls already under way on other threads end, and nothing more is
// asked of the sink.
class placed_output_sink : public output_sink {
public:
    virtual bool write_at(std::uint64_t offset, byte_view bytes) = 0;

protected:
    ~placed_output_sink() = default;
};

// Where the image is read. A caller whose image can fault while it is read
// (a mapped file that another program cuts short) runs the reading inside
// its own guard, which can abandon it.
//
// The guard runs on every thread of the conversion, up to `threads` of them
// at once: whatever it keeps to return to (a jmp_buf) must be the thread's
// own (thread_local), never one shared. The library's own workers leave the
// signals that a faulting read raises (SIGBUS, SIGSEGV, SIGFPE, SIGILL)
// unblocked, so that the guard's handler receives them on the thread that
// faulted.
class input_guard {
public:
    // Runs `work` and returns true; or, when reading the image faulted and
    // the work was abandoned (a jump out of it), false. The frames inside
    // hold only trivially destructible objects, so such a jump is defined.
    virtual bool run(function_ref<void()> work) const = 0;

protected:
    ~input_guard() = default;
};

// The image's bytes had another way than by reading its memory: a caller
// whose image is a mapped file can read the file instead. The translation
// of the tracks' events then works on copies in memory of the conversion's
// own, which stays in use, and leaves most of the image's pages untouched;
// where the first touch of a page costs more than copying it (a virtual
// machine that keeps its own page tables), that is faster. The container's
// walk, the tracks' openings and a step whose copy ended inside an event
// still read the image.
class image_reader {
public:
    // Copies into `into` the image's bytes from `offset` on, all of them
    // (the caller asks for none past the image's end); false when they
    // cannot be had (the file was cut short, or a read failed), which ends
    // the conversion as an input fault. They must be the image's own bytes.
    // Called on up to `threads` threads at once.
    virtual bool read(std::uint32_t offset, std::span<std::uint8_t> into) const = 0;

protected:
    ~image_reader() = default;
};

// Starts the worker threads of a conversion and waits for them. Called on
// the calling thread only.
class worker_starter {
public:
    // Runs `entry` on a new thread; false when no thread can be had (the
    // conversion then goes on with fewer). `entry` stays valid until join_all.
    virtual bool start(function_ref<void()> entry) = 0;
    // Waits for every thread started.
    virtual void join_all() = 0;

protected:
    ~worker_starter() = default;
};

// The conversion's working memory: one block for each conversion, taken when
// it starts and given back when it ends, several MiB when it runs on several
// threads (room for every thread's translations ahead of the output), a few
// hundred KiB on one. Its pages are first touched while converting; a caller
// can give memory whose pages cost less to touch than malloc's (the command
// line gives huge pages where the system has them). Called on the calling
// thread only.
class memory_source {
public:
    // A block of `size` bytes, aligned as malloc's are, or nullptr (the
    // conversion then ends with no_memory).
    virtual void* take(std::size_t size) = 0;
    // Gives back a block that take gave, with the size it was asked for.
    virtual void give_back(void* block, std::size_t size) = 0;

protected:
    ~memory_source() = default;
};

// The processors this process may run on (its affinity where the system has
// one), at least 1.
unsigned usable_processors();

// Below this many bytes of tracks (from each converted song's first event to
// its planned end, together) a conversion runs on the calling thread alone,
// whatever `threads` asks: there, starting threads and their working memory
// costs far more than they give.
inline constexpr std::uint64_t threaded_track_bytes = std::uint64_t{4} << 20;

struct conversion_options {
    // 1: one thread; 0: as many as the processors the process may run on, at
    // most 8; more than 8: 8. The calling thread is one of them. Tracks of
    // fewer than threaded_track_bytes are converted on one thread.
    unsigned threads = 1;
    // Every read of the image happens inside it; none by default.
    const input_guard* guard = nullptr;
    // Starts the workers; by default threads of the library's own, with every
    // signal blocked but the faults a read can raise (see input_guard).
    worker_starter* starter = nullptr;
    // Reads the image for the translation of the events; none by default
    // (the translation reads the image itself).
    const image_reader* reader = nullptr;
};

enum class conversion_status : std::uint8_t {
    done,            // every output was handed to the sink, whole
    stopped,         // the sink returned false
    input_fault,     // reading the image faulted (the guard said so)
    no_memory,       // the working memory could not be had; the sink saw nothing
    track_too_long,  // a track would pass max_track_length bytes: its output was not ended
    bad_argument     // a song index outside the plan, a plan that does not fit the image,
                     // or an image of 4 GiB or more
};

struct conversion_result {
    conversion_status status = conversion_status::done;
    std::uint32_t song = 0;  // the index in the plan of the output that was under way, when not done
};

// Converts every song of the plan, in order.
conversion_result convert(byte_view image, const container_plan& plan, output_sink& sink,
                          const conversion_options& options = {});
// Converts the plan's song `index` (0 for song 1) alone.
conversion_result convert_song(byte_view image, const container_plan& plan, std::uint32_t index,
                               output_sink& sink, const conversion_options& options = {});
// The same, each output written at its places (see placed_output_sink), the
// working memory from `memory` (malloc when none). (The memory source is a
// parameter of these, not a member of conversion_options, so that programs
// built against the 1.1 headers keep working with this library.)
conversion_result convert(byte_view image, const container_plan& plan, placed_output_sink& sink,
                          const conversion_options& options = {}, memory_source* memory = nullptr);
conversion_result convert_song(byte_view image, const container_plan& plan, std::uint32_t index,
                               placed_output_sink& sink, const conversion_options& options = {},
                               memory_source* memory = nullptr);

// Outputs held whole in memory: a sink that keeps every output it is given
// whole, its length patched in. Memory comes from malloc and is released with
// the object (or by clear). An output that does not end whole (the
// conversion stopped, faulted, or memory ran out) is dropped and not
// counted. The object may take any number of conversions, one after the
// other; their outputs follow each other. It can be moved, not copied.
class memory_outputs final : public output_sink {
public:
    memory_outputs() = default;
    ~memory_outputs();
    memory_outputs(memory_outputs&& other) noexcept;
    memory_outputs& operator=(memory_outputs&& other) noexcept;
    memory_outputs(const memory_outputs&) = delete;
    memory_outputs& operator=(const memory_outputs&) = delete;

    // The whole outputs held.
    std::uint32_t count() const { return count_; }
    // Output `index` (0 for the first held), its length patched; empty for
    // an index not below count().
    byte_view output(std::uint32_t index) const;
    // What the conversion reported of output `index`; all zero for an index
    // not below count().
    song_output report(std::uint32_t index) const;
    // Whether the last output was dropped because memory ran out.
    bool out_of_memory() const { return out_of_memory_; }
    // Releases every output held.
    void clear();

    bool begin_output(const song_place& song) override;
    // False (the conversion stops) outside begin_output ... end_output.
    bool write(byte_view bytes) override;
    bool end_output(const song_output& output) override;

private:
    struct held {
        std::uint8_t* data = nullptr;
        std::size_t size = 0;
        std::size_t capacity = 0;
        song_output report{};
    };
    held* outputs_ = nullptr;  // count_ whole outputs, then the one under way
    std::uint32_t count_ = 0;
    std::uint32_t room_ = 0;  // outputs the array has room for
    bool under_way_ = false;
    bool out_of_memory_ = false;
};

// --- Describing a song --------------------------------------------------------

enum class track_ending : std::uint8_t {
    end_of_track,  // its end-of-track event
    end_of_image,  // the image ended just behind a whole event, with no end of track
    cut_short,     // the image ended inside an event or its delta time
    no_such_song   // nothing was described: the index is outside the plan, the
                   // plan does not fit the image, or the image is 4 GiB or more
};

struct song_description {
    track_ending ending = track_ending::no_such_song;
    // The track went on past its planned end into another song's record (it
    // had no end of track where one was expected).
    bool ran_past_next_song = false;
    std::uint32_t end_position = 0;  // where the track's translation stopped
    // Whole events written, the end of track included; an event cut short by
    // the end of the image is not counted.
    std::uint64_t events = 0;
    // Bit t set: a meta or system event of type t, outside the types the
    // format gives a length or a fixed size, was met (it is written as its
    // status and type alone).
    std::array<std::uint64_t, 4> unknown_meta_types{};
    // The first text event (types 01-07: text, copyright, name, instrument,
    // lyric, marker, cue point), if any: its type and where its bytes lie in
    // the image, as far as the image holds them.
    bool has_text = false;
    std::uint8_t text_type = 0;
    std::uint32_t text_position = 0;
    std::uint32_t text_length = 0;
};

// Walks the song's events once, without writing them. Call it inside the
// guard if the image can fault. A song that cannot be described answers
// ending == no_such_song and nothing else.
song_description describe_song(byte_view image, const container_plan& plan, std::uint32_t index);

}  // namespace tolvarin
#if defined(__GNUC__)
#pragma GCC visibility pop
#endif
