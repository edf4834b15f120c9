// Plug-in discovery and the two format tables.
#pragma once

#include <windows.h>
#include "plugins/morphex_plugin.h"

constexpr int format_table_size = 64;

extern format_entry source_formats[format_table_size];
extern format_entry target_formats[format_table_size];

// Where each accepted record came from, slot for slot; all zero in a slot
// that load_plugins did not fill.
struct format_origin {
    convert_fn converter;  // the record's converter when it was accepted
    dll_lost_fn lost;      // the plug-in's _DLL_lost, or null
    dll_reason_fn reason;  // the plug-in's _DLL_reason, or null
    SRWLOCK *serial;       // held around each call, for a plug-in without _DLL_threads
    char plugin[MAX_PATH]; // the plug-in's file name, as the search found it
};
extern format_origin source_origins[format_table_size];
extern format_origin target_origins[format_table_size];

// Loads the plug-ins of the current directory.  `window` is the owner that
// the engine's events carry back to the front end (the format lists to fill,
// the window to end when there is no plug-in); it may be null.
void load_plugins(HWND window);
// The same for the plug-ins of `directory`.
void load_plugins_from(HWND window, const char *directory);
// The _DLL_lost of the plug-in that declared the target format whose
// converter this is, or null.
dll_lost_fn lost_counter_for(convert_fn target_converter);
// The _DLL_reason of the plug-in that declared the format of `list`
// (FORMAT_LIST_SOURCE or FORMAT_LIST_TARGET) whose converter this is, or null.
dll_reason_fn refusal_reason_for(convert_fn converter, int list);
// The lock of the plug-in that declared the format of `list` whose
// converter this is, or null when its converters may run on several
// threads at once.
SRWLOCK *serial_lock_for(convert_fn converter, int list);

// Holds the plug-in's lock, where it has one, from a call into it until the
// host has asked what it has to say about that call (_DLL_reason,
// _DLL_lost): a plug-in not written for threads is entered by one thread at
// a time.
class plugin_call_lock {
public:
    plugin_call_lock(convert_fn converter, int list) : lock_(serial_lock_for(converter, list))
    {
        if (lock_)
            AcquireSRWLockExclusive(lock_);
    }
    ~plugin_call_lock()
    {
        if (lock_)
            ReleaseSRWLockExclusive(lock_);
    }
    plugin_call_lock(const plugin_call_lock &) = delete;
    plugin_call_lock &operator=(const plugin_call_lock &) = delete;

private:
    SRWLOCK *lock_;
};

// Index of the first slot whose name equals `name`, or format_table_size.
int find_format(const char *name, const format_entry *table);
// Name of the first slot of `table` whose converter is `converter`, or
// nullptr when none has it.
const char *find_format_name(convert_fn converter, const format_entry *table);
