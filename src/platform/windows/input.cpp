// The container, read whole through the C runtime's wide stream functions
// into a private heap block, which nothing can change under the run.
#include "platform/input.hpp"

#include <windows.h>

#include <io.h>

#include <cstdio>
#include <cstdlib>

namespace tolvarin {
namespace {

constexpr std::uint64_t max_input_size = 0xFFFFFFFFu;

// Which file the open container is: its volume's serial number and its file
// index, as an output name is compared with it. A pipe, a console or a device
// has no name an output could replace, and is left unidentified.
void remember_identity(std::FILE* file, input_block& block) {
    const auto handle = reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(file)));
    BY_HANDLE_FILE_INFORMATION info{};
    if (handle == INVALID_HANDLE_VALUE || ::GetFileType(handle) != FILE_TYPE_DISK ||
        !::GetFileInformationByHandle(handle, &info)) {
        return;
    }
    block.identity = {true, info.dwVolumeSerialNumber,
                      (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
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
                remember_identity(file, block);
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
bool read_input_guarded(function_ref<void()> work) {
    work();
    return true;
}

bool input_unchanged(const input_block&) { return true; }

// The container is read through its mapping alone.
bool input_readable_at(const input_block&) { return false; }

bool read_input_at(const input_block&, std::uint32_t, std::span<std::uint8_t>) { return false; }

}  // namespace tolvarin
