// The DOS-style C runtime routines the program is written against, built on
// msvcrt and KERNEL32.  Every subsystem uses these, never its own variant.
#pragma once

#include <io.h>

#include <cstddef>
#include <cstdint>

// Creates a new empty file with a unique name in the directory that `path`
// names and appends that name to `path` (a buffer of `size` bytes).  The
// directory ends in a backslash; "\" alone is the root of the current drive,
// "" the current directory.  The name is "MX" followed by six hexadecimal
// digits and ".LST" (MX3F09A2.LST), an 8.3 name on every volume.  The file is
// made by an exclusive create, so an existing file is never opened: a name
// that is taken is skipped for the next.  `attributes` are DOS attributes
// (0: normal; read-only, hidden, system, archive honoured).  Returns a
// runtime file descriptor open for reading and writing (close with _close),
// or -1 with `path` unchanged (directory missing or not writable, result
// longer than `size`).
int creattemp(char *path, std::size_t size, int attributes);

// Last-change date and time of the open file `fd` in the packed DOS form,
// local time: date in the high word, time in the low word, seconds in steps
// of two.  setftime needs a descriptor open for writing; flush pending
// writes first, or they change the time again.  0 or -1.
int getftime(int fd, std::uint32_t *date_time);
int setftime(int fd, std::uint32_t date_time);

// The DOS volume-label attribute bit: winnt.h no longer names it, the file
// search may still report it on old media.
constexpr unsigned long volume_label_attribute = 0x08;

int getdisk();            // current drive, 0 for A; -1 when it has no letter
int setdisk(int drive);   // makes drive (0 for A) current; 0 or -1

// Current directory of `drive` (0: current drive, 1: A, 2: B ...) without
// drive letter and leading backslash ("work\texts"), empty at the root.
// The text is in the OEM code page, as DOS gave it: callers turn it into
// ANSI with OemToCharA.  Fails (-1) when the drive does not exist or its
// current directory cannot be reached (no medium), when the directory has no
// drive letter (a UNC path), and when the text does not fit in `size` bytes.
int getcurdir(int drive, char *directory, std::size_t size);

// Length in bytes of the open file `fd`, -1 on failure.  msvcrt's <io.h>
// already declares a 32-bit filelength under the same name, which cannot be
// overloaded by return type, so the name is routed to the 64-bit one here.
#define filelength morphex_filelength
long long morphex_filelength(int fd);

// The system's message text for the error `code` (no trailing line break
// removed), or "Err. <code>" when the system has none.
void system_message(unsigned long code, char *text, std::size_t size);
