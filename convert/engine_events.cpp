// The engine's side of the seam: each event goes to the front end's
// function when it has one.
#include "convert/engine_events.h"

#include "support/runtime.h"

namespace {

constexpr int system_text_size = 256;

engine_events events;

}  // namespace

void set_engine_events(const engine_events &front_end)
{
    events = front_end;
}

void engine_notice(engine_notice_kind kind, const char *text)
{
    if (events.notice)
        events.notice(kind, text ? text : "", 0);
}

DWORD engine_system_error(DWORD code)
{
    if (code == 0)
        code = GetLastError();
    if (events.notice) {
        char text[system_text_size];
        system_message(code, text, sizeof text);
        events.notice(engine_notice_kind::system_error, text, code);
    }
    return code;
}

void engine_file_started(const char *source)
{
    if (events.file_started)
        events.file_started(source);
}

void engine_file_converted(const char *source, const char *output)
{
    if (events.file_converted)
        events.file_converted(source, output);
}

void engine_characters_lost(const char *source, std::int32_t count)
{
    if (events.characters_lost)
        events.characters_lost(source, count);
}

void engine_format_found(const char *source, const char *format)
{
    if (events.format_found)
        events.format_found(source, format);
}

void engine_converter_fault(const char *file, const char *format, DWORD code)
{
    if (events.converter_fault)
        events.converter_fault(file, format ? format : "", code);
}

void engine_busy_step()
{
    if (events.busy_step)
        events.busy_step();
}

bool engine_stop_requested()
{
    return events.stop_requested && events.stop_requested();
}

bool engine_tracing()
{
    return events.tracing && events.tracing();
}

void engine_trace(const char *text)
{
    if (events.trace)
        events.trace(text);
}

void engine_no_plugin(HWND owner, const char *text, const char *caption)
{
    if (events.no_plugin)
        events.no_plugin(owner, text, caption);
}

void engine_format_accepted(HWND owner, int list, const char *name)
{
    if (events.format_accepted)
        events.format_accepted(owner, list, name);
}
