#include <windows.h>

#include <gtest/gtest.h>

#include "app/app_state.h"
#include "app/engine_window.h"

int main(int argc, char **argv) {
    app_instance = GetModuleHandleA(nullptr);
    // The engine reports as it does in morphex.exe.
    connect_engine_to_window();
    // Failures must print, never pop up a box that waits for a person.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
