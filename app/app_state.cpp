#include "app/app_state.h"

HINSTANCE app_instance;
HWND main_window;
int trace_mode;
char file_pattern[pattern_size] = "*.*";
char current_path[current_path_size];
