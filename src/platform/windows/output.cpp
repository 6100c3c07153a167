// Output files on Windows, with the same protocol as on POSIX systems: the
// output name is checked without being opened for writing (and refused if it
// is the container's last name), the output is written to a temporary file
// ".tolvarin-<16 hex digits>.tmp" created beside it (never over an existing
// file), closed with the close checked, and only then moved over the output
// name, which replaces a link as a name.
//
// The console's control handler (Ctrl-C, Ctrl-Break, the console closing)
// runs on a thread of its own. It removes the temporary files in progress
// while holding the lock that every creation and every move takes, and never
// lets go of it, so no new temporary file can appear before the process ends.
// The files are opened with delete sharing so it can remove them while they
// are open.
#include <windows.h>

#include <cwchar>

#include "platform/output.hpp"
#include "platform/temporary_name.hpp"
#include "platform/windows/system.hpp"

namespace tolvarin {
namespace {

constexpr std::size_t max_io_chunk = std::size_t{1} << 30;
constexpr std::size_t max_temporaries = 64;

// Process-wide because the control handler can reach nothing else.
CRITICAL_SECTION temporaries_lock;
bool temporaries_lock_ready = false;
const wchar_t* temporaries[max_temporaries];

class temporaries_held {
public:
    temporaries_held() {
        if (temporaries_lock_ready) ::EnterCriticalSection(&temporaries_lock);
    }
    ~temporaries_held() {
        if (temporaries_lock_ready) ::LeaveCriticalSection(&temporaries_lock);
    }
    temporaries_held(const temporaries_held&) = delete;
    temporaries_held& operator=(const temporaries_held&) = delete;
};

BOOL WINAPI on_console_event(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT: break;
        default: return FALSE;
    }
    ::EnterCriticalSection(&temporaries_lock);
    for (const wchar_t*& name : temporaries) {
        if (name != nullptr) ::DeleteFileW(name);
        name = nullptr;
    }
    return FALSE;  // the default handler ends the process as the event would
}

// Call with the lock held.
bool register_temporary(const wchar_t* name) {
    for (const wchar_t*& slot : temporaries) {
        if (slot == nullptr) {
            slot = name;
            return true;
        }
    }
    return false;
}

void unregister_temporary(const wchar_t* name) {
    for (const wchar_t*& slot : temporaries) {
        if (slot == name) slot = nullptr;
    }
}

// The exclusive create keeps runs apart; these bits only make a clash unlikely.
std::uint64_t random_bits(std::uint64_t attempt) {
    LARGE_INTEGER counter{};
    ::QueryPerformanceCounter(&counter);
    return mix_bits(static_cast<std::uint64_t>(counter.QuadPart) ^ mix_bits(::GetCurrentProcessId()) ^
               mix_bits(::GetTickCount64()) ^ mix_bits(attempt));
}

// Joins the directory prefix and a name into `out`, which holds
// max_windows_path characters. False when the whole does not fit: names of
// MAX_PATH or more cannot be opened by every program, so they are refused
// before anything is written, as opening them was.
bool join_path(const wchar_t* prefix, const wchar_t* name, wchar_t (&out)[max_windows_path]) {
    const std::size_t prefix_length = std::wcslen(prefix);
    const std::size_t name_length = std::wcslen(name);
    if (prefix_length + name_length >= max_windows_path) return false;
    std::wmemcpy(out, prefix, prefix_length);
    std::wmemcpy(out + prefix_length, name, name_length + 1);
    return true;
}

// True when the output name is the container's own file and that file's last
// name, as when the container was given through a symbolic link to it:
// moving the output over it would delete the container. The name is opened
// as itself, not followed, so a link at the name is compared as the link
// (and replaced as a name, as any link is). Its link count is the one now,
// after the earlier outputs of this run have replaced whatever names of the
// file they held.
bool is_last_name_of_input(const wchar_t* name, const input_block& input) {
    if (!input.identity.known) return false;
    constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    const HANDLE handle = ::CreateFileW(name, FILE_READ_ATTRIBUTES, share_all, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info{};
    const bool known = ::GetFileInformationByHandle(handle, &info) != 0;
    ::CloseHandle(handle);
    const std::uint64_t index = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return known && info.dwVolumeSerialNumber == input.identity.volume && index == input.identity.file &&
           info.nNumberOfLinks <= 1;
}

// What stands at the output name decides whether the output may replace it:
// nothing, a regular file the user may write, or a link.
bool output_name_usable(const wchar_t* name) {
    const DWORD attributes = ::GetFileAttributesW(name);
    if (attributes == INVALID_FILE_ATTRIBUTES) return ::GetLastError() == ERROR_FILE_NOT_FOUND;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return true;
    return !(attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DEVICE));
}

}  // namespace

void install_interruption_cleanup() {
    ::InitializeCriticalSection(&temporaries_lock);
    temporaries_lock_ready = true;
    ::SetConsoleCtrlHandler(on_console_event, TRUE);
}

bool open_output_directory(const native_char* directory, output_directory& dir) {
    dir.prefix = directory;
    return true;
}

void close_output_directory(output_directory& dir) { dir.prefix = nullptr; }

bool create_output(const output_directory& dir, const native_char* leaf, const input_block& input,
                   output_file& file) {
    file.handle = nullptr;
    file.open = file.exists = false;
    wchar_t name[max_windows_path];
    if (!join_path(dir.prefix, leaf, name) || !output_name_usable(name) || is_last_name_of_input(name, input)) {
        return false;
    }
    for (std::uint64_t attempt = 0; attempt < 100; ++attempt) {
        wchar_t temporary[temporary_name_size];
        make_temporary_name(random_bits(attempt), temporary);
        if (!join_path(dir.prefix, temporary, file.temporary)) return false;
        const temporaries_held held;
        const HANDLE handle = ::CreateFileW(file.temporary, GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                            FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            if (!register_temporary(file.temporary)) {
                ::CloseHandle(handle);
                ::DeleteFileW(file.temporary);
                return false;
            }
            file.handle = handle;
            file.open = file.exists = true;
            return true;
        }
        const DWORD error = ::GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) return false;
    }
    return false;
}

// An offset in the OVERLAPPED structure makes each write say where it goes,
// so writes from several threads on the one handle (opened for synchronous
// use) never share a file position.
bool write_output_at(const output_file& file, std::uint64_t offset, const std::uint8_t* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const std::size_t chunk = size - done < max_io_chunk ? size - done : max_io_chunk;
        const std::uint64_t at = offset + done;
        OVERLAPPED place{};
        place.Offset = static_cast<DWORD>(at);
        place.OffsetHigh = static_cast<DWORD>(at >> 32);
        DWORD put = 0;
        if (!::WriteFile(file.handle, data + done, static_cast<DWORD>(chunk), &put, &place) || put == 0) return false;
        done += put;
    }
    return true;
}

bool close_output(output_file& file) {
    const bool closed = ::CloseHandle(file.handle) != 0;
    file.handle = nullptr;
    file.open = false;
    return closed;
}

bool commit_output(const output_directory& dir, const native_char* leaf, input_block&, output_file& file) {
    wchar_t name[max_windows_path];
    const bool joined = join_path(dir.prefix, leaf, name);
    const temporaries_held held;
    const bool moved = joined && ::MoveFileExW(file.temporary, name, MOVEFILE_REPLACE_EXISTING) != 0;
    if (!moved) ::DeleteFileW(file.temporary);
    unregister_temporary(file.temporary);
    file.exists = false;
    return moved;
}

void discard_output(const output_directory&, output_file& file) {
    if (file.open) close_output(file);
    if (file.exists) {
        const temporaries_held held;
        ::DeleteFileW(file.temporary);
        unregister_temporary(file.temporary);
        file.exists = false;
    }
}

}  // namespace tolvarin
