// Output names: the container path split into drive, directory, base name and
// extension, and "<drive><directory><base name>_<n>.mid" built from them. The
// extension is dropped; the directory keeps its trailing separator, so the
// outputs land next to the container.
//
// The split works on the platform's native character type and follows either
// POSIX rules (only '/' separates, no drive) or Windows rules (an optional
// drive such as "C:", and both '\' and '/' as separators). Nothing here
// allocates: the parts are views into the path, and names are written into
// room the caller provides, so that running out of memory is a failure the
// driver reports, never an exception.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tolvarin {

enum class path_syntax { posix, windows };

#ifdef _WIN32
inline constexpr path_syntax native_path_syntax = path_syntax::windows;
#else
inline constexpr path_syntax native_path_syntax = path_syntax::posix;
#endif

template <class Char>
struct path_parts {
    std::basic_string_view<Char> drive;
    std::basic_string_view<Char> directory;
    std::basic_string_view<Char> base_name;
    std::basic_string_view<Char> extension;
};

template <class Char>
path_parts<Char> split_path(std::basic_string_view<Char> path, path_syntax syntax) {
    path_parts<Char> parts;
    if (syntax == path_syntax::windows && path.size() >= 2 && path[1] == Char(':')) {
        parts.drive = path.substr(0, 2);
        path.remove_prefix(2);
    }
    const auto is_separator = [syntax](Char c) {
        return c == Char('/') || (syntax == path_syntax::windows && c == Char('\\'));
    };
    std::size_t name_start = 0;
    for (std::size_t i = 0; i < path.size(); ++i) {
        if (is_separator(path[i])) name_start = i + 1;
    }
    parts.directory = path.substr(0, name_start);
    const std::basic_string_view<Char> name = path.substr(name_start);
    const std::size_t dot = name.rfind(Char('.'));
    if (dot == std::basic_string_view<Char>::npos) {
        parts.base_name = name;
    } else {
        parts.base_name = name.substr(0, dot);
        parts.extension = name.substr(dot);
    }
    return parts;
}

// What a name adds to the drive, directory and base name: "_", the song
// number (at most 10 digits) and ".mid".
inline constexpr std::size_t output_name_suffix_room = 15;

// The length of the drive and directory part that every output name starts with.
template <class Char>
std::size_t output_directory_length(const path_parts<Char>& parts) {
    return parts.drive.size() + parts.directory.size();
}

// Room an output name needs, terminator included.
template <class Char>
std::size_t output_name_room(const path_parts<Char>& parts) {
    return output_directory_length(parts) + parts.base_name.size() + output_name_suffix_room + 1;
}

// Writes "<drive><directory><base name>_<n>.mid" and a terminator into `out`,
// which has output_name_room(parts) characters, and returns its length. The
// name within its directory starts output_directory_length(parts) characters in.
template <class Char>
std::size_t make_output_name(const path_parts<Char>& parts, unsigned song_number, Char* out) {
    Char* at = out;
    for (const std::basic_string_view<Char> part : {parts.drive, parts.directory, parts.base_name}) {
        for (const Char c : part) *at++ = c;
    }
    *at++ = Char('_');
    char digits[10];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + song_number % 10);
        song_number /= 10;
    } while (song_number != 0);
    while (count > 0) *at++ = static_cast<Char>(digits[--count]);
    for (const char c : std::string_view(".mid")) *at++ = static_cast<Char>(c);
    *at = Char(0);
    return static_cast<std::size_t>(at - out);
}

}  // namespace tolvarin
