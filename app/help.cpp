// The program's help file, shown by the system help viewer.
#include "app/help.h"

#include <cstdio>
#include <cstring>

#include "support/paths.h"

namespace {

constexpr std::size_t help_path_size = 256;

}  // namespace

void help_file_name(const char *exe_path, char *help_path, std::size_t size)
{
    if (size == 0)
        return;
    const char *name = exe_path + directory_part_length(exe_path);
    const char *dot = std::strrchr(name, '.');
    const int stem = dot ? static_cast<int>(dot - exe_path) : static_cast<int>(std::strlen(exe_path));
    std::snprintf(help_path, size, "%.*s.HLP", stem, exe_path);
}

void open_help(HWND owner)
{
    char exe_path[help_path_size];
    const DWORD length = GetModuleFileNameA(nullptr, exe_path, sizeof exe_path);
    if (length == 0 || length >= sizeof exe_path)
        return;
    char help_path[help_path_size];
    help_file_name(exe_path, help_path, sizeof help_path);
    WinHelpA(owner, help_path, HELP_FINDER, 0);
}
