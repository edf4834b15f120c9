// The program's help file, shown by the system help viewer: the HTML Help
// file (morphex.chm) where HTML Help can show it, the WinHelp file
// (morphex.hlp) where it cannot.
#pragma once

#include <windows.h>
#include <cstddef>
#include <string_view>

enum class help_viewer { winhelp, html_help };

// What decides which viewer can show the help on the running system.
struct help_system {
    DWORD windows_major;  // 5 for Windows 2000 and XP, 6 from Vista on
    bool wine;            // Wine's HTML Help viewer needs a browser engine it may lack
    bool html_help;       // hhctrl.ocx loaded and exports HtmlHelpA
};

// HTML Help from Windows Vista on (where WinHelp is gone), when hhctrl.ocx
// is there and the system is not Wine; WinHelp everywhere else.
help_viewer choose_help_viewer(const help_system &system);

// Name of the help file that belongs to the executable `exe_path`: everything
// after its last '.' replaced by `extension` (".extension" appended when it
// has none), cut to `size` - 1 characters.
void help_file_name(const char *exe_path, char *help_path, std::size_t size, std::string_view extension = "HLP");

// Opens the help at its contents with the viewer the system can show.
void open_help(HWND owner);
// Closes the HTML Help windows the program opened (they live in its process).
void close_help();
