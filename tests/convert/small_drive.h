// A drive that really fills up: a small tmpfs that the test harness mounts,
// as root, and names in MORPHEX_SMALL_DRIVE ("S:").  Tests that need it skip
// where it is not there.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/common/test_support.h"

// The system's own text for `code`, without its line end.
inline std::string system_text(DWORD code)
{
    char text[512] = "";
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                                  MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text, sizeof text, nullptr);
    while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n' || text[length - 1] == ' '))
        --length;
    return std::string(text, length);
}

// Makes `dir` current while alive (a directory on the small drive, for a
// list file in its root), and the directory current before it current again.
class InsideDirectory {
public:
    explicit InsideDirectory(const std::string &dir)
    {
        char previous[MAX_PATH];
        const DWORD length = GetCurrentDirectoryA(sizeof previous, previous);
        previous_.assign(previous, length < sizeof previous ? length : 0);
        entered_ = SetCurrentDirectoryA(dir.c_str()) != FALSE;
    }
    ~InsideDirectory() { SetCurrentDirectoryA(previous_.c_str()); }
    InsideDirectory(const InsideDirectory &) = delete;
    InsideDirectory &operator=(const InsideDirectory &) = delete;
    bool entered() const { return entered_; }

private:
    std::string previous_;
    bool entered_ = false;
};

// A fresh directory on the small drive, and a filler file in its root that
// takes the room the test does not leave free; both go at the end.
class SmallDrive {
public:
    SmallDrive()
    {
        char letter[8] = "";
        const DWORD length = GetEnvironmentVariableA("MORPHEX_SMALL_DRIVE", letter, sizeof letter);
        if (length == 0 || length >= sizeof letter) {
            why_not_ = "no small drive to fill: the test harness mounts one only when it runs as root and may "
                       "mount a tmpfs (MORPHEX_SMALL_DRIVE is not set)";
            return;
        }
        const std::string root = std::string(letter) + "\\";
        ULARGE_INTEGER free{}, total{};
        if (!GetDiskFreeSpaceExA(root.c_str(), &free, &total, nullptr)) {
            why_not_ = "the small drive " + root + " cannot be reached";
            return;
        }
        if (total.QuadPart > largest_drive) {
            why_not_ = root + " is not small: it would take too long to fill";
            return;
        }
        for (unsigned n = GetTickCount() ^ GetCurrentProcessId();; ++n) {
            char name[32];
            std::snprintf(name, sizeof name, "mxs%08x\\", n);
            if (CreateDirectoryA((root + name).c_str(), nullptr)) {
                dir_ = root + name;
                break;
            }
            if (GetLastError() != ERROR_ALREADY_EXISTS) {
                why_not_ = "cannot create a directory on " + root;
                return;
            }
        }
        filler_ = root + dir_.substr(root.size(), dir_.size() - root.size() - 1) + ".fill";
    }
    ~SmallDrive()
    {
        empty();
        if (!dir_.empty())
            remove_tree(dir_);
    }
    SmallDrive(const SmallDrive &) = delete;
    SmallDrive &operator=(const SmallDrive &) = delete;

    bool here() const { return !dir_.empty(); }
    const std::string &why_not() const { return why_not_; }
    const std::string &dir() const { return dir_; }  // absolute, ends in '\'

    // Fills the drive up to `leave_free` bytes (rounded to the system's
    // pages), with one file written until the drive refuses more.
    bool fill(ULONGLONG leave_free)
    {
        empty();
        HANDLE file = CreateFileA(filler_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                                  nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return false;
        const std::vector<char> block(64 * 1024, 'f');
        ULONGLONG size = 0;
        for (DWORD chunk : {64u * 1024u, 4096u, 1u}) {
            DWORD written = 0;
            while (WriteFile(file, block.data(), chunk, &written, nullptr) && written == chunk)
                size += written;
            size += written;
            LARGE_INTEGER at;
            at.QuadPart = static_cast<LONGLONG>(size);
            SetFilePointerEx(file, at, nullptr, FILE_BEGIN);
        }
        bool filled = true;
        if (leave_free > 0) {
            const ULONGLONG end = size > leave_free ? size - leave_free : 0;
            LARGE_INTEGER at;
            at.QuadPart = static_cast<LONGLONG>(end);
            filled = SetFilePointerEx(file, at, nullptr, FILE_BEGIN) && SetEndOfFile(file);
        }
        CloseHandle(file);
        return filled;
    }
    void empty() { DeleteFileA(filler_.c_str()); }

private:
    static constexpr ULONGLONG largest_drive = 16ull * 1024 * 1024;
    std::string why_not_;
    std::string dir_;
    std::string filler_;
};
