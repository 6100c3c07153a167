// The Windows platform layer: wide-character paths throughout, files through
// the C runtime's wide stream functions, and console text that shows every
// character of a path. Console output goes out unbuffered, in program order:
// to a console as UTF-16 (WriteConsoleW), anywhere else (a file, a pipe) as
// UTF-8. Line ends are CRLF, as text written by a Windows console program is.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform.hpp"

namespace tolvarin {
namespace {

constexpr std::uint64_t max_input_size = 0xFFFFFFFFu;

void write_wide(const std::wstring& text) {
    const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == nullptr || out == INVALID_HANDLE_VALUE || text.empty()) return;
    DWORD mode = 0;
    if (::GetConsoleMode(out, &mode)) {
        DWORD written = 0;
        ::WriteConsoleW(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        return;
    }
    const int length = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                             nullptr, nullptr);
    if (length <= 0) return;
    std::string utf8(static_cast<std::size_t>(length), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(), length, nullptr,
                          nullptr);
    DWORD written = 0;
    ::WriteFile(out, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
}

// The program's own texts are ASCII; "\n" becomes CRLF.
std::wstring widen_text(std::string_view text) {
    std::wstring wide;
    for (const char c : text) {
        if (c == '\n') wide += L'\r';
        wide += static_cast<wchar_t>(static_cast<unsigned char>(c));
    }
    return wide;
}

bool read_exactly(std::FILE* file, std::uint8_t* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const std::size_t got = std::fread(data + done, 1, size - done, file);
        if (got == 0) return false;
        done += got;
    }
    return true;
}

}  // namespace

void prepare_process() { install_interruption_cleanup(); }

void print_text(std::string_view text) { write_wide(widen_text(text)); }

void print_path_line(std::string_view prefix, const native_char* path) {
    write_wide(widen_text(prefix) + path + L"\r\n");
}

load_status load_input(const native_char* path, input_block& block) {
    std::FILE* const file = ::_wfopen(path, L"rb");
    if (file == nullptr) return load_status::cannot_open;
    load_status status = load_status::cannot_read;
    if (::_fseeki64(file, 0, SEEK_END) == 0) {
        const long long size = ::_ftelli64(file);
        if (size >= 0 && static_cast<std::uint64_t>(size) > max_input_size) {
            status = load_status::too_large;
        } else if (size >= 0 && ::_fseeki64(file, 0, SEEK_SET) == 0) {
            auto* data = static_cast<std::uint8_t*>(std::malloc(size == 0 ? 1 : static_cast<std::size_t>(size)));
            if (data == nullptr) {
                status = load_status::no_memory;
            } else if (!read_exactly(file, data, static_cast<std::size_t>(size))) {
                std::free(data);
            } else {
                block.data = data;
                block.size = static_cast<std::size_t>(size);
                block.owned = data;
                status = load_status::loaded;
            }
        }
    }
    std::fclose(file);
    return status;
}

void release_input(input_block& block) {
    std::free(block.owned);
    block = {};
}

// The input is a private heap copy here, so nothing can change under it.
bool read_input_guarded(void (*work)(void*), void* context) {
    work(context);
    return true;
}

bool input_unchanged(const input_block&) { return true; }

}  // namespace tolvarin
