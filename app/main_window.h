// The main window and the About box.
#pragma once

#include <windows.h>

INT_PTR CALLBACK main_window_proc(HWND window, UINT msg, WPARAM wparam, LPARAM lparam);
INT_PTR CALLBACK about_box_proc(HWND dialog, UINT msg, WPARAM wparam, LPARAM lparam);
