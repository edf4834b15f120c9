// Entry point: the diagnostic switch, then the main window until it ends.
#include <windows.h>

#include "app/app_ids.h"
#include "app/app_state.h"
#include "app/engine_window.h"
#include "app/main_window.h"

namespace {

// Any first character will do: /d, -D and xd all switch trace mode on.
bool asks_for_trace(const char *command_line)
{
    return command_line && command_line[0] != '\0' && (command_line[1] == 'D' || command_line[1] == 'd');
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR command_line, int)
{
    app_instance = instance;
    if (asks_for_trace(command_line))
        trace_mode = 1;
    connect_engine_to_window();
    DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_MAIN), nullptr, main_window_proc, 0);
    return 0;
}
