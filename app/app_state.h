// Program-wide state of the application shell.
#pragma once

#include <windows.h>

// The pattern holds 79 characters of up to four bytes each (UTF-8).
constexpr int pattern_size = 79 * 4 + 1;
constexpr int current_path_size = 512;

extern HINSTANCE app_instance;  // every dialog, cursor and icon is loaded from it
extern HWND main_window;        // owner of every notice
extern int trace_mode;          // 1: plug-in loading shows each step
extern char file_pattern[pattern_size];
extern char current_path[current_path_size];
