// What the conversion engine tells its front end, and the little it asks of
// it.  The engine (convert/ and plugins/) knows no window and no console: a
// front end hands it one table of functions, and the engine calls them as
// things happen.  Any function left null is an event nobody listens to;
// with no table at all the engine works silently.
#pragma once

#include <windows.h>

#include <cstdint>

// How the user must be told: a notice to confirm, a notice that closes by
// itself, or the system's own text for a failed call.
enum class engine_notice_kind { modal, timed, system_error };

struct engine_events {
    // A failure or a message for the user, in the words the window shows.
    // For system_error `text` is the system's message for `code`.
    void (*notice)(engine_notice_kind kind, const char *text, DWORD code);
    // convert_file begins on `source` (the name it was given).  Every
    // event until the next busy_step belongs to that file.
    void (*file_started)(const char *source);
    // `source` is converted and its result lies under `output`; in a dry
    // run, the name the output would get.
    void (*file_converted)(const char *source, const char *output);
    // The target format's plug-in could not write `count` characters of
    // `source` and replaced them.
    void (*characters_lost)(const char *source, std::int32_t count);
    // A source format that finds each file's kind by its content took
    // `source` for `format` ("RTF", "Text (UTF-8)").
    void (*format_found)(const char *source, const char *format);
    // A converter (or _DLL_enum, with `file` the plug-in) ended in an
    // exception `code` instead of returning.
    void (*converter_fault)(const char *file, const char *format, DWORD code);
    // Between files and directory levels (never while convert_file runs):
    // the front end shows it is busy.
    void (*busy_step)();
    // Asked between files: true ends the batch there, as if no file were left.
    bool (*stop_requested)();
    // Whether plug-in loading reports each step through `trace`.
    bool (*tracing)();
    void (*trace)(const char *text);
    // load_plugins found no plug-in file; `owner` is the window it was given.
    void (*no_plugin)(HWND owner, const char *text, const char *caption);
    // A format was accepted into a table (list: FORMAT_LIST_SOURCE or
    // FORMAT_LIST_TARGET), in the order of acceptance.
    void (*format_accepted)(HWND owner, int list, const char *name);
};

// The front end's table; copied, so it may be a temporary.
void set_engine_events(const engine_events &events);

// Called by the engine.
void engine_notice(engine_notice_kind kind, const char *text);
// The system's text for `code` (0: the thread's last error); returns the code.
DWORD engine_system_error(DWORD code);
void engine_file_started(const char *source);
void engine_file_converted(const char *source, const char *output);
void engine_characters_lost(const char *source, std::int32_t count);
void engine_format_found(const char *source, const char *format);
void engine_converter_fault(const char *file, const char *format, DWORD code);
void engine_busy_step();
bool engine_stop_requested();
bool engine_tracing();
void engine_trace(const char *text);
void engine_no_plugin(HWND owner, const char *text, const char *caption);
void engine_format_accepted(HWND owner, int list, const char *name);
