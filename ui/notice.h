// Notices, the busy cursor and window placement.
#pragma once

#include <windows.h>

int show_notice(const char *text);
void show_timed_notice(const char *text);
int show_system_error(DWORD code);
// A message box with no owner, OK only (the "no plug-in" box and the like).
void show_message_box(const char *text, const char *caption);
void busy_step();
void center_window(HWND window, HWND over);

// Caption texts.
extern const char notice_caption[];
extern const char system_error_caption[];

// Number (1 to 12) of the busy cursor frame shown last; 0 before the first.
int busy_cursor_frame();

// Result of the notice shown last (0 after OK or close, -1 when a timed
// notice ended by itself).
int last_notice_result();

// Test seam: while an observer is set, no notice window opens; each notice is
// handed to the observer instead, and its return value is the notice's result.
enum class notice_kind { modal, timed, system_error, message_box };
using notice_observer = int (*)(notice_kind kind, const char *text);
void set_notice_observer(notice_observer observer);
