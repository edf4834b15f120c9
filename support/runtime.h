// The DOS-style C runtime routines the program is written against, built on
// msvcrt and KERNEL32.  Every subsystem uses these, never its own variant.
#pragma once

#include <cstddef>
#include <cstdint>

// Creates a new empty file with a unique name in the directory that `path`
// names (ending in a backslash, or empty for the current directory) and
// appends that name to `path`.  Never opens an existing file.  Returns a
// runtime file descriptor, or -1 (path unchanged) on failure.
int creattemp(char *path, std::size_t size, int attributes);

// Last-change date and time in the packed DOS form (date in the high word,
// time in the low word, seconds in steps of two).
int getftime(int fd, std::uint32_t *date_time);
int setftime(int fd, std::uint32_t date_time);

int getdisk();            // current drive, 0 for A
int setdisk(int drive);   // makes drive (0 for A) current; 0 or -1
// Current directory of `drive` (0: current drive, 1: A) without drive letter
// and leading backslash, empty at the root, in the OEM code page.  0 or -1.
int getcurdir(int drive, char *directory, std::size_t size);

long long filelength(int fd);  // -1 on failure
