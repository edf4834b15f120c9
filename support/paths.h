// Where a path's directory part ends: the one rule for every part of the
// program that splits a path into its directory and its file name; and the
// full paths and the names relative to a batch's directory that the window
// and mxconv both show.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>
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

// The full path of `name`, or `name` as it is where the full one does not fit.
inline std::string full_path_of(const std::string &name)
{
    char full[MAX_PATH];
    const DWORD length = GetFullPathNameA(name.c_str(), sizeof full, full, nullptr);
    return length > 0 && length < sizeof full ? std::string(full, length) : name;
}

// The current directory, ending in '\'; "" where it does not fit.
inline std::string current_directory_with_separator()
{
    char directory[MAX_PATH];
    const DWORD length = GetCurrentDirectoryA(sizeof directory, directory);
    if (length == 0 || length >= sizeof directory)
        return std::string();
    std::string text(directory, length);
    if (text.back() != '\\' && text.back() != '/')
        text += '\\';
    return text;
}

// `path` relative to `directory` (which ends in '\') where it lies below it,
// the case of letters aside as the file system does; else `path` whole.
inline std::string relative_to(const std::string &path, const std::string &directory)
{
    const std::size_t prefix = directory.size();
    if (prefix > 0 && path.size() > prefix &&
        CompareStringA(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, path.c_str(), static_cast<int>(prefix),
                       directory.c_str(), static_cast<int>(prefix)) == CSTR_EQUAL)
        return path.substr(prefix);
    return path;
}
