// The engine's events mapped onto the window's notices, busy cursor and
// format lists.
#include "app/engine_window.h"

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "app/app_state.h"
#include "convert/engine_events.h"
#include "plugins/morphex_plugin.h"
#include "plugins/plugin_ids.h"
#include "support/paths.h"
#include "ui/notice.h"

namespace {

constexpr char loss_heading[] = "Characters lost in the target format:";
// Files named in the notice; more than this and the last line counts the
// rest.  With the heading that makes six lines, all the notice shows.
constexpr std::size_t loss_lines = 5;

struct lost_file {
    std::string name;  // full path, so that a recursive batch's levels stay apart
    std::int32_t count;
    std::string found; // what a source format that detects took it for
};

std::vector<lost_file> losses;
// The file a detecting source format has just read, and what it took it
// for: its loss, if any, is told next.
lost_file last_found;
std::string loss_directory;  // current when the batch began, ends in '\'

void notify(engine_notice_kind kind, const char *text, DWORD code)
{
    switch (kind) {
    case engine_notice_kind::modal: show_notice(text); break;
    case engine_notice_kind::timed: show_timed_notice(text); break;
    case engine_notice_kind::system_error: show_system_error(code); break;
    }
}

void note_found_format(const char *source, const char *format)
{
    last_found = {full_path_of(source), 0, format};
}

void note_loss(const char *source, std::int32_t count)
{
    const std::string name = full_path_of(source);
    losses.push_back({name, count, last_found.name == name ? last_found.found : std::string()});
}

bool tracing()
{
    return trace_mode != 0;
}

void no_plugin(HWND owner, const char *text, const char *caption)
{
    show_message_box(text, caption);
    if (owner)
        EndDialog(owner, 0);
}

void add_format_name(HWND owner, int list, const char *name)
{
    const int combo = list == FORMAT_LIST_SOURCE ? IDC_SOURCE_FORMAT : IDC_TARGET_FORMAT;
    SendDlgItemMessageA(owner, combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name));
}

}  // namespace

void connect_engine_to_window()
{
    engine_events events{};
    events.notice = notify;
    events.characters_lost = note_loss;
    events.format_found = note_found_format;
    events.busy_step = busy_step;
    events.tracing = tracing;
    events.trace = show_timed_notice;
    events.no_plugin = no_plugin;
    events.format_accepted = add_format_name;
    set_engine_events(events);
}

void start_loss_report()
{
    losses.clear();
    last_found = {};
    loss_directory = current_directory_with_separator();
}

void show_loss_report()
{
    if (losses.empty())
        return;
    const std::size_t listed = losses.size() <= loss_lines ? losses.size() : loss_lines - 1;
    std::string text = loss_heading;
    for (std::size_t i = 0; i < listed; ++i)
        text += "\n" + relative_to(losses[i].name, loss_directory) +
                (losses[i].found.empty() ? "" : " (" + losses[i].found + ")") + ": " + std::to_string(losses[i].count);
    if (listed < losses.size())
        text += "\nand " + std::to_string(losses.size() - listed) + " more files";
    losses.clear();
    show_notice(text.c_str());
}
