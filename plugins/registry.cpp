// Plug-in discovery and the two format tables.
//
// Search rule: every entry of the directory that is current at start whose
// name matches "cnv*.dll" (letter case ignored, "*" may be empty), in the
// order the directory search returns them.  Each match is loaded by its full
// path in that directory, so the library loaded is the file found and its
// own dependencies resolve beside it.  A match that cannot be loaded, or that
// has no _DLL_enum, is reported and skipped; loading goes on with the next.
// Loading stops after a plug-in one of whose lists did not fit its table.
//
// A plug-in writes its records into a scratch area far larger than a table,
// ending at an inaccessible page, and the host copies the accepted records
// over: no list, however long, can write into the host's tables.
#include "plugins/registry.h"

#include <windows.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "app/app_state.h"
#include "plugins/plugin_ids.h"
#include "support/ansi_text.h"
#include "support/closers.h"
#include "ui/notice.h"

format_entry source_formats[format_table_size];
format_entry target_formats[format_table_size];

namespace {

constexpr char plugin_pattern[] = "cnv*.dll";
constexpr char too_many_formats[] =
    "Too much conversion DLLs to load (more than 64 formats). Please move some DLLs in another directory and "
    "try again.";
constexpr char no_plugin_text[] = "No conversion DLL found.\nAborting...";
constexpr char no_plugin_caption[] = "Morphex - Conversion program\nMorphex Project\nText file conversion";
constexpr int notice_size = 256;
constexpr int trace_directory_size = 128;
constexpr std::size_t scratch_records = 4096;

// The records of the scratch area end exactly where the guard page begins.
format_entry *scratch_area()
{
    static format_entry *first = [] {
        SYSTEM_INFO system;
        GetSystemInfo(&system);
        const std::size_t page = system.dwPageSize;
        const std::size_t bytes = scratch_records * sizeof(format_entry);
        const std::size_t usable = (bytes + page - 1) / page * page;
        auto *base = static_cast<BYTE *>(VirtualAlloc(nullptr, usable + page, MEM_RESERVE | MEM_COMMIT,
                                                      PAGE_READWRITE));
        if (!base)
            return static_cast<format_entry *>(nullptr);
        DWORD old_protection;
        VirtualProtect(base + usable, page, PAGE_NOACCESS, &old_protection);
        return reinterpret_cast<format_entry *>(base + usable - bytes);
    }();
    return first;
}

void trace(const char *format, ...)
{
    if (!trace_mode)
        return;
    char text[notice_size];
    va_list args;
    va_start(args, format);
    vformat_bounded(text, sizeof text, format, args);
    va_end(args);
    show_timed_notice(text);
}

struct table_state {
    format_entry *table;
    int list;
    int combo_id;
    int count;
};

// Asks the plug-in for one list and takes what fits; false when the list
// would take its table past its size.
bool take_list(HWND window, dll_enum_fn enumerate, table_state &state)
{
    format_entry *scratch = scratch_area();
    if (!scratch)
        return false;
    std::memset(scratch, 0, scratch_records * sizeof(format_entry));
    const int32_t written = enumerate(scratch, state.list, 1);
    if (written <= 0)
        return true;
    if (static_cast<std::size_t>(written) > scratch_records || state.count + written > format_table_size) {
        show_notice(too_many_formats);
        return false;
    }
    HWND combo = GetDlgItem(window, state.combo_id);
    for (int32_t i = 0; i < written; ++i) {
        format_entry record = scratch[i];
        format_name_for_host(record.name, FORMAT_NAME_SIZE);
        format_name_for_host(record.ext, FORMAT_EXT_SIZE);
        if (state.list == FORMAT_LIST_TARGET && !record.converter) {
            trace("Format %s refused: it has no converter.", record.name);
            continue;
        }
        if (state.list == FORMAT_LIST_SOURCE)
            trace("Handled format: %s.", record.name);
        state.table[state.count++] = record;
        SendMessageA(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(record.name));
    }
    return true;
}

// Loads one match; false when loading must stop after it.
// `directory` is the searched directory, "" when its name does not fit.
bool load_plugin(HWND window, const char *directory, const char *found_name, table_state &sources,
                 table_state &targets)
{
    char full_path[ansi_path_capacity];
    const std::size_t length = std::strlen(directory);
    HMODULE module = nullptr;
    DWORD load_error = ERROR_FILENAME_EXCED_RANGE;
    if (length > 0) {
        const char *separator = directory[length - 1] == '\\' ? "" : "\\";
        const int n = std::snprintf(full_path, sizeof full_path, "%s%s%s", directory, separator, found_name);
        if (n > 0 && n < static_cast<int>(sizeof full_path)) {
            module = LoadLibraryExA(full_path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
            load_error = GetLastError();
        }
    }
    trace("Loading library %s\nValue of hInst = %llul.", found_name,
          static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(module)));
    if (!module && trace_mode)
        show_system_error(load_error);

    dll_enum_fn enumerate = nullptr;
    DWORD lookup_error = load_error;
    if (module) {
        enumerate = reinterpret_cast<dll_enum_fn>(reinterpret_cast<void *>(GetProcAddress(module, PLUGIN_ENUM_EXPORT)));
        lookup_error = GetLastError();
    }
    if (!enumerate) {
        trace("Calling the init function in the DLL. Return = %lu", 0ul);
        show_system_error(lookup_error);
        return true;
    }
    const bool sources_fit = take_list(window, enumerate, sources);
    const bool targets_fit = take_list(window, enumerate, targets);
    return sources_fit && targets_fit;
}

}  // namespace

void load_plugins(HWND window)
{
    char directory[ansi_path_capacity] = "";
    const DWORD length = GetCurrentDirectoryA(sizeof directory, directory);
    if (length == 0 || length >= sizeof directory)
        directory[0] = '\0';
    if (trace_mode) {
        char shown[trace_directory_size];
        copy_bounded(shown, sizeof shown, directory);
        trace("Starting DLL enumeration loop with string %s in dir %s", plugin_pattern, shown);
    }
    WIN32_FIND_DATAA found;
    find_closer search{FindFirstFileA(plugin_pattern, &found)};
    if (search.handle == INVALID_HANDLE_VALUE) {
        show_message_box(no_plugin_text, no_plugin_caption);
        EndDialog(window, 0);
        return;
    }
    trace("Name of DLL found: %s.", found.cFileName);

    table_state sources{source_formats, FORMAT_LIST_SOURCE, IDC_SOURCE_FORMAT, 0};
    table_state targets{target_formats, FORMAT_LIST_TARGET, IDC_TARGET_FORMAT, 0};
    do {
        if (!load_plugin(window, directory, found.cFileName, sources, targets))
            break;
    } while (FindNextFileA(search.handle, &found));
}

int find_format(const char *name, const format_entry *table)
{
    if (!name || !table)
        return format_table_size;
    for (int slot = 0; slot < format_table_size; ++slot)
        if (std::strncmp(name, table[slot].name, FORMAT_NAME_SIZE) == 0)
            return slot;
    return format_table_size;
}
