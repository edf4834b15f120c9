// The engine's events as the main window shows them: notices, the busy
// cursor, the format lists and the report of lost characters.
#pragma once

// Hands the engine the window's event table; once, before the engine runs.
void connect_engine_to_window();

// The files of one Convert command that lost characters: collected from the
// start of the batch, shown in one modal notice after it when there are any.
void start_loss_report();
void show_loss_report();
