// Where a path's directory part ends: the one rule for every part of the
// program that splits a path into its directory and its file name.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string_view>

// Length of the directory part of `path`: everything up to and including its
// last '\' or '/', or, when it has neither, its drive ("d:" of "d:*.txt");
// 0 when it has none.  The system accepts both slashes, and "d:" names the
// drive's current directory, so a name searched for as written must be
// opened with the same prefix.  A colon after the drive letter is not a
// separator, and the second byte of a double-byte character of the ANSI
// code page is never taken for a backslash.
inline std::size_t directory_part_length(std::string_view path)
{
    std::size_t end = 0;
    const bool drive = path.size() >= 2 && path[1] == ':' &&
                       ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'));
    if (drive)
        end = 2;
    for (std::size_t i = end; i < path.size(); ++i) {
        const char c = path[i];
        if (c == '\\' || c == '/')
            end = i + 1;
        else if (IsDBCSLeadByte(static_cast<BYTE>(c)) && i + 1 < path.size())
            ++i;
    }
    return end;
}

// What follows the directory part: the file name, or the search pattern.
inline std::string_view file_name_part(std::string_view path)
{
    return path.substr(directory_part_length(path));
}
