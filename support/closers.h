// Small owners of system handles, so that no early return leaks one.
#pragma once

#include <windows.h>

#include <io.h>

// A directory search from FindFirstFileA.
struct find_closer {
    HANDLE handle;
    ~find_closer()
    {
        if (handle != INVALID_HANDLE_VALUE)
            FindClose(handle);
    }
    find_closer(const find_closer &) = delete;
    find_closer &operator=(const find_closer &) = delete;
};

// A file or other kernel object from CreateFileA and the like.
struct handle_closer {
    HANDLE handle;
    ~handle_closer()
    {
        if (handle != INVALID_HANDLE_VALUE)
            CloseHandle(handle);
    }
    handle_closer(const handle_closer &) = delete;
    handle_closer &operator=(const handle_closer &) = delete;
};

// A C runtime file descriptor.
struct fd_closer {
    int fd;
    ~fd_closer()
    {
        if (fd != -1)
            _close(fd);
    }
    fd_closer(const fd_closer &) = delete;
    fd_closer &operator=(const fd_closer &) = delete;
};
