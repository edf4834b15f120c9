// The DOS-style runtime routines on top of msvcrt and KERNEL32.
#include <windows.h>

#include <direct.h>
#include <fcntl.h>
#include <io.h>

#include <array>
#include <cstdio>
#include <cstring>

#include "support/ansi_text.h"
#include "support/runtime.h"

namespace {

constexpr int dos_attribute_mask =
    FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;

// Enough names to get past any crowd of leftovers, few enough to end soon
// when the directory cannot take a file at all.
constexpr int creattemp_attempts = 4096;

HANDLE os_handle(int fd) {
    const intptr_t h = _get_osfhandle(fd);
    return h == -1 ? INVALID_HANDLE_VALUE : reinterpret_cast<HANDLE>(h);
}

// Access denied is also what a directory of that name, or a file pending
// deletion, gives: the name is taken, not the directory closed.
bool name_taken(DWORD error, const char *name) {
    if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) return true;
    return error == ERROR_ACCESS_DENIED && GetFileAttributesA(name) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace

int creattemp(char *path, std::size_t size, int attributes) {
    if (!path || size == 0) return -1;
    const std::size_t dir_length = strnlen(path, size);
    if (dir_length >= size) return -1;
    const DWORD flags = (attributes & dos_attribute_mask) ? static_cast<DWORD>(attributes & dos_attribute_mask)
                                                          : FILE_ATTRIBUTE_NORMAL;
    static DWORD counter = GetTickCount() ^ (GetCurrentProcessId() << 12);
    std::array<char, ansi_path_capacity> name{};
    for (int attempt = 0; attempt < creattemp_attempts; ++attempt) {
        const unsigned number = static_cast<unsigned>(counter++) & 0xFFFFFFu;
        const int n = std::snprintf(name.data(), name.size(), "%.*sMX%06X.LST",
                                    static_cast<int>(dir_length), path, number);
        if (n < 0 || static_cast<std::size_t>(n) >= size || static_cast<std::size_t>(n) >= name.size()) return -1;
        const HANDLE h = CreateFileA(name.data(), GENERIC_READ | GENERIC_WRITE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                     CREATE_NEW, flags, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            if (name_taken(GetLastError(), name.data())) continue;
            return -1;
        }
        const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_RDWR | _O_BINARY);
        if (fd == -1) {
            CloseHandle(h);
            DeleteFileA(name.data());
            return -1;
        }
        std::memcpy(path, name.data(), static_cast<std::size_t>(n) + 1);
        return fd;
    }
    return -1;
}

int getftime(int fd, std::uint32_t *date_time) {
    const HANDLE h = os_handle(fd);
    FILETIME written{}, local{};
    WORD date = 0, time = 0;
    if (!date_time || h == INVALID_HANDLE_VALUE || !GetFileTime(h, nullptr, nullptr, &written) ||
        !FileTimeToLocalFileTime(&written, &local) || !FileTimeToDosDateTime(&local, &date, &time))
        return -1;
    *date_time = (static_cast<std::uint32_t>(date) << 16) | time;
    return 0;
}

int setftime(int fd, std::uint32_t date_time) {
    const HANDLE h = os_handle(fd);
    FILETIME local{}, written{};
    if (h == INVALID_HANDLE_VALUE ||
        !DosDateTimeToFileTime(static_cast<WORD>(date_time >> 16), static_cast<WORD>(date_time & 0xFFFF), &local) ||
        !LocalFileTimeToFileTime(&local, &written) || !SetFileTime(h, nullptr, nullptr, &written))
        return -1;
    return 0;
}

int getdisk() {
    const int drive = _getdrive();
    return drive > 0 ? drive - 1 : -1;
}

int setdisk(int drive) {
    if (drive < 0 || drive >= 26) return -1;
    return _chdrive(drive + 1) == 0 ? 0 : -1;
}

int getcurdir(int drive, char *directory, std::size_t size) {
    if (!directory || size == 0 || drive < 0 || drive > 26) return -1;
    std::array<char, ansi_path_capacity> full{};
    DWORD n = 0;
    if (drive == 0) {
        n = GetCurrentDirectoryA(static_cast<DWORD>(full.size()), full.data());
    } else {
        // "X:" alone resolves to that drive's own current directory.
        const std::array<char, 3> relative{static_cast<char>('A' + drive - 1), ':', '\0'};
        n = GetFullPathNameA(relative.data(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    }
    if (n < 3 || n >= full.size() || full[1] != ':' || full[2] != '\\') return -1;
    const DWORD attributes = GetFileAttributesA(full.data());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) return -1;
    const char *rest = full.data() + 3;
    std::size_t length = strlen(rest);
    if (length > 0 && rest[length - 1] == '\\') --length;
    if (length >= size) return -1;
    if (length > 0) CharToOemBuffA(rest, directory, static_cast<DWORD>(length));
    directory[length] = '\0';
    return 0;
}

long long morphex_filelength(int fd) {
    return _filelengthi64(fd);
}

void system_message(unsigned long code, char *text, std::size_t size) {
    if (!text || size == 0) return;
    text[0] = '\0';
    // The system's text may take more bytes than `size` (several for each
    // letter in UTF-8): it is cut at a character boundary, never lost whole.
    char *message = nullptr;
    if (FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
                       nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<char *>(&message),
                       0, nullptr) &&
        message)
        copy_bounded(text, size, message);
    if (message) LocalFree(message);
    if (text[0] == '\0') std::snprintf(text, size, "Err. %d", static_cast<int>(code));
}
