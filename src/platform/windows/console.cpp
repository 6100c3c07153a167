// Console text that shows every character of a path. It goes out
// unbuffered, in program order: to a console as UTF-16 (WriteConsoleW),
// anywhere else (a file, a pipe) as UTF-8. Line ends are CRLF, as text
// written by a Windows console program is.
#include "platform/console.hpp"

#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <cwchar>

namespace tolvarin {
namespace {

void write_bytes(HANDLE out, const void* data, std::size_t size) {
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0) {
        DWORD written = 0;
        const DWORD chunk = size < 0x10000000u ? static_cast<DWORD>(size) : 0x10000000u;
        if (!::WriteFile(out, bytes, chunk, &written, nullptr) || written == 0) return;
        bytes += written;
        size -= written;
    }
}

// Wide text to standard output: to a console as it is, anywhere else as UTF-8.
// A piece too large to convert at once for lack of memory goes out in parts
// that never split a surrogate pair.
void write_wide(const wchar_t* text, std::size_t length) {
    const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == nullptr || out == INVALID_HANDLE_VALUE || length == 0) return;
    DWORD mode = 0;
    if (::GetConsoleMode(out, &mode)) {
        while (length > 0) {
            DWORD written = 0;
            const DWORD chunk = length < 0x4000 ? static_cast<DWORD>(length) : 0x4000;
            if (!::WriteConsoleW(out, text, chunk, &written, nullptr) || written == 0) return;
            text += written;
            length -= written;
        }
        return;
    }
    const int wide_length = static_cast<int>(length);
    const int needed = ::WideCharToMultiByte(CP_UTF8, 0, text, wide_length, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) return;
    if (char* const utf8 = static_cast<char*>(std::malloc(static_cast<std::size_t>(needed)))) {
        ::WideCharToMultiByte(CP_UTF8, 0, text, wide_length, utf8, needed, nullptr, nullptr);
        write_bytes(out, utf8, static_cast<std::size_t>(needed));
        std::free(utf8);
        return;
    }
    char part[1024];
    while (length > 0) {
        std::size_t chunk = length < 256 ? length : 256;
        if (chunk < length && text[chunk - 1] >= 0xD800 && text[chunk - 1] < 0xDC00) --chunk;
        const int converted = ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(chunk), part, sizeof part,
                                                    nullptr, nullptr);
        if (converted <= 0) return;
        write_bytes(out, part, static_cast<std::size_t>(converted));
        text += chunk;
        length -= chunk;
    }
}

// The program's own texts are short ASCII; "\n" becomes CRLF. Returns the
// length written into `out`, which holds twice the text.
std::size_t widen_text(std::string_view text, wchar_t* out) {
    wchar_t* at = out;
    for (const char c : text) {
        if (c == '\n') *at++ = L'\r';
        *at++ = static_cast<wchar_t>(static_cast<unsigned char>(c));
    }
    return static_cast<std::size_t>(at - out);
}

// One line: the text, the path if any, CRLF; in one write when memory allows.
void write_line(std::string_view text, const wchar_t* path) {
    const std::size_t path_length = path != nullptr ? std::wcslen(path) : 0;
    const std::size_t room = 2 * text.size() + path_length + 2;
    if (auto* const line = static_cast<wchar_t*>(std::malloc(room * sizeof(wchar_t)))) {
        std::size_t length = widen_text(text, line);
        if (path != nullptr) {
            std::wmemcpy(line + length, path, path_length);
            length += path_length;
            line[length++] = L'\r';
            line[length++] = L'\n';
        }
        write_wide(line, length);
        std::free(line);
        return;
    }
    wchar_t small[256];
    for (std::size_t at = 0; at < text.size(); at += 128) {
        write_wide(small, widen_text(text.substr(at, 128), small));
    }
    if (path != nullptr) {
        write_wide(path, path_length);
        write_wide(L"\r\n", 2);
    }
}

}  // namespace

void print_text(std::string_view text) { write_line(text, nullptr); }

void print_path_line(std::string_view prefix, const native_char* path) { write_line(prefix, path); }

}  // namespace tolvarin
