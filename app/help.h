// The program's help file, shown by the system help viewer.
#pragma once

#include <windows.h>
#include <cstddef>

// Name of the help file that belongs to the executable `exe_path`: everything
// after its last '.' replaced by "HLP" (".HLP" appended when it has none).
void help_file_name(const char *exe_path, char *help_path, std::size_t size);
void open_help(HWND owner);
