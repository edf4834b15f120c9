// The program's help file, shown by the system help viewer.
#include "app/help.h"

#include <cstdio>
#include <cstring>

#include "support/paths.h"

namespace {

// File names hold at most 255 characters.
constexpr std::size_t help_path_size = 256;
constexpr DWORD first_version_without_winhelp = 6;

// The one entry point of hhctrl.ocx the program uses, loaded at run time so
// that Morphex starts where it is missing.
using html_help_fn = HWND(WINAPI *)(HWND, LPCSTR, UINT, DWORD_PTR);
constexpr UINT hh_display_toc = 0x0001;
constexpr UINT hh_close_all = 0x0012;

html_help_fn html_help_entry;
bool html_help_opened;

// Loaded once and kept: the HTML Help window runs inside this process.
html_help_fn load_html_help()
{
    static bool tried = false;
    if (!tried) {
        tried = true;
        if (HMODULE module = LoadLibraryA("hhctrl.ocx"))
            html_help_entry = reinterpret_cast<html_help_fn>(
                reinterpret_cast<void *>(GetProcAddress(module, "HtmlHelpA")));
    }
    return html_help_entry;
}

bool running_on_wine()
{
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

DWORD windows_major_version()
{
    OSVERSIONINFOA version{};
    version.dwOSVersionInfoSize = sizeof version;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    if (!GetVersionExA(&version))
        return 0;
#pragma GCC diagnostic pop
    return version.dwMajorVersion;
}

help_system this_system()
{
    return {windows_major_version(), running_on_wine(), load_html_help() != nullptr};
}

}  // namespace

help_viewer choose_help_viewer(const help_system &system)
{
    if (system.wine || system.windows_major < first_version_without_winhelp || !system.html_help)
        return help_viewer::winhelp;
    return help_viewer::html_help;
}

void help_file_name(const char *exe_path, char *help_path, std::size_t size, std::string_view extension)
{
    if (size == 0)
        return;
    const char *name = exe_path + directory_part_length(exe_path);
    const char *dot = std::strrchr(name, '.');
    const int stem = dot ? static_cast<int>(dot - exe_path) : static_cast<int>(std::strlen(exe_path));
    std::snprintf(help_path, size, "%.*s.%.*s", stem, exe_path, static_cast<int>(extension.size()),
                  extension.data());
}

void open_help(HWND owner)
{
    char exe_path[help_path_size];
    const DWORD length = GetModuleFileNameA(nullptr, exe_path, sizeof exe_path);
    if (length == 0 || length >= sizeof exe_path)
        return;
    char help_path[help_path_size];
    switch (choose_help_viewer(this_system())) {
    case help_viewer::html_help:
        help_file_name(exe_path, help_path, sizeof help_path, "CHM");
        html_help_entry(owner, help_path, hh_display_toc, 0);
        html_help_opened = true;
        break;
    case help_viewer::winhelp:
        help_file_name(exe_path, help_path, sizeof help_path, "HLP");
        WinHelpA(owner, help_path, HELP_FINDER, 0);
        break;
    }
}

void close_help()
{
    if (html_help_opened)
        html_help_entry(nullptr, nullptr, hh_close_all, 0);
}
