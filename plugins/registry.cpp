// Plug-in discovery and the two format tables.
//
// Search rule: every entry of the directory that is current at start (or
// of the directory the caller names) whose name matches "cnv*.dll" (letter
// case ignored, "*" may be empty), in the order the directory search
// returns them.  Each match is loaded by its full path in that directory,
// so the library loaded is the file found and its own dependencies resolve
// beside it.  A match that cannot be loaded, or that has no _DLL_enum, is
// reported and skipped; loading goes on with the next.
// Loading stops after a plug-in one of whose lists did not fit its table.
//
// A plug-in writes its records into a scratch area far larger than a table,
// ending at an inaccessible page, and the host copies the accepted records
// over: no list, however long, can write into the host's tables.  _DLL_enum
// runs guarded: a plug-in that crashes in it (running into that page, say)
// is refused whole, with a notice, and loading goes on with the next.
#include "plugins/registry.h"

#include <windows.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "convert/engine_events.h"
#include "support/ansi_text.h"
#include "support/closers.h"
#include "support/guard.h"

format_entry source_formats[format_table_size];
format_entry target_formats[format_table_size];
format_origin source_origins[format_table_size];
format_origin target_origins[format_table_size];

namespace {

constexpr char plugin_pattern[] = "cnv*.dll";
constexpr char too_many_formats[] =
    "Too much conversion DLLs to load (more than 64 formats). Please move some DLLs in another directory and "
    "try again.";
constexpr char no_plugin_text[] = "No conversion DLL found.\nAborting...";
constexpr char no_plugin_caption[] = "Morphex - Conversion program\nMorphex Project\nText file conversion";
constexpr char plugin_fault_text[] =
    "The plug-in %s stopped with exception 0x%08X while declaring its formats.\nIts formats are not available.";
constexpr int notice_size = 256;
constexpr int trace_directory_size = 128;
constexpr std::size_t scratch_records = 4096;
// A plug-in with formats has at least one in a table; past this many, the
// plug-ins not written for threads share the last lock, still one caller
// at a time each.
constexpr int plugin_lock_count = 2 * format_table_size;

// One lock per plug-in that does not declare itself safe on several
// threads (_DLL_threads); SRW locks need no set-up and no release.
SRWLOCK plugin_locks[plugin_lock_count];
int plugin_locks_given;

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
    if (!engine_tracing())
        return;
    char text[notice_size];
    va_list args;
    va_start(args, format);
    vformat_bounded(text, sizeof text, format, args);
    va_end(args);
    engine_trace(text);
}

struct table_state {
    format_entry *table;
    format_origin *origins;
    int list;
    int count;
    guard_result enumeration{};  // of the last list asked for
};

// What the host keeps of the plug-in being loaded, beside its records.
struct plugin_state {
    const char *file_name;
    dll_lost_fn lost;
    dll_reason_fn reason;
    SRWLOCK *serial;
};

// Asks the plug-in for one list and takes what fits; false when the list
// would take its table past its size.
bool take_list(dll_enum_fn enumerate, const plugin_state &plugin, table_state &state)
{
    format_entry *scratch = scratch_area();
    if (!scratch)
        return false;
    std::memset(scratch, 0, scratch_records * sizeof(format_entry));
    state.enumeration = guarded_call(enumerate, scratch, state.list, 1);
    if (state.enumeration.faulted)
        return true;
    const int32_t written = state.enumeration.value;
    if (written <= 0)
        return true;
    if (static_cast<std::size_t>(written) > scratch_records || state.count + written > format_table_size) {
        engine_notice(engine_notice_kind::modal, too_many_formats);
        return false;
    }
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
        format_origin &origin = state.origins[state.count];
        origin.converter = record.converter;
        origin.lost = plugin.lost;
        origin.reason = plugin.reason;
        origin.serial = plugin.serial;
        std::snprintf(origin.plugin, sizeof origin.plugin, "%s", plugin.file_name);
        state.table[state.count++] = record;
    }
    return true;
}

// The lists show a plug-in's formats once both its lists have been taken,
// so that a plug-in refused half-way leaves nothing in them.
void announce_formats(HWND window, const table_state &state, int first)
{
    for (int slot = first; slot < state.count; ++slot)
        engine_format_accepted(window, state.list, state.table[slot].name);
}

// Takes back the records a plug-in had got accepted from `first` on.
void withdraw_formats(table_state &state, int first)
{
    while (state.count > first) {
        --state.count;
        std::memset(&state.table[state.count], 0, sizeof state.table[state.count]);
        std::memset(&state.origins[state.count], 0, sizeof state.origins[state.count]);
    }
}

// Null for a plug-in that declares, by _DLL_threads returning 1, that its
// converters may run on several threads at once; else the plug-in's own
// lock.  A declaration that crashes declares nothing.
SRWLOCK *serial_lock_for(HMODULE module)
{
    const auto threads =
        reinterpret_cast<dll_threads_fn>(reinterpret_cast<void *>(GetProcAddress(module, PLUGIN_THREADS_EXPORT)));
    if (threads) {
        const guard_result declared = guarded_call(threads);
        if (!declared.faulted && declared.value == 1)
            return nullptr;
    }
    const int index = plugin_locks_given < plugin_lock_count ? plugin_locks_given++ : plugin_lock_count - 1;
    InitializeSRWLock(&plugin_locks[index]);
    return &plugin_locks[index];
}

void report_plugin_fault(const char *file_name, std::uint32_t exception_code)
{
    char text[sizeof plugin_fault_text + MAX_PATH];
    std::snprintf(text, sizeof text, plugin_fault_text, file_name, static_cast<unsigned>(exception_code));
    engine_notice(engine_notice_kind::modal, text);
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
    if (!module && engine_tracing())
        engine_system_error(load_error);

    dll_enum_fn enumerate = nullptr;
    DWORD lookup_error = load_error;
    if (module) {
        enumerate = reinterpret_cast<dll_enum_fn>(reinterpret_cast<void *>(GetProcAddress(module, PLUGIN_ENUM_EXPORT)));
        lookup_error = GetLastError();
    }
    if (!enumerate) {
        trace("Calling the init function in the DLL. Return = %lu", 0ul);
        engine_system_error(lookup_error);
        return true;
    }
    const plugin_state plugin{
        found_name,
        reinterpret_cast<dll_lost_fn>(reinterpret_cast<void *>(GetProcAddress(module, PLUGIN_LOST_EXPORT))),
        reinterpret_cast<dll_reason_fn>(reinterpret_cast<void *>(GetProcAddress(module, PLUGIN_REASON_EXPORT))),
        serial_lock_for(module)};
    const int sources_before = sources.count;
    const int targets_before = targets.count;
    const bool sources_fit = take_list(enumerate, plugin, sources);
    if (!sources.enumeration.faulted) {
        const bool targets_fit = take_list(enumerate, plugin, targets);
        if (!targets.enumeration.faulted) {
            announce_formats(window, sources, sources_before);
            announce_formats(window, targets, targets_before);
            return sources_fit && targets_fit;
        }
    }
    withdraw_formats(sources, sources_before);
    withdraw_formats(targets, targets_before);
    const guard_result &fault = sources.enumeration.faulted ? sources.enumeration : targets.enumeration;
    report_plugin_fault(found_name, fault.exception_code);
    return sources_fit;
}

// `search_pattern` finds the plug-in files of `directory` ("" when its name
// does not fit, and then nothing can be loaded).
void load_plugins_matching(HWND window, const char *directory, const char *search_pattern)
{
    std::memset(source_origins, 0, sizeof source_origins);
    std::memset(target_origins, 0, sizeof target_origins);
    plugin_locks_given = 0;
    if (engine_tracing()) {
        char shown[trace_directory_size];
        copy_bounded(shown, sizeof shown, directory);
        trace("Starting DLL enumeration loop with string %s in dir %s", plugin_pattern, shown);
    }
    WIN32_FIND_DATAA found;
    find_closer search{FindFirstFileA(search_pattern, &found)};
    if (search.handle == INVALID_HANDLE_VALUE) {
        engine_no_plugin(window, no_plugin_text, no_plugin_caption);
        return;
    }
    trace("Name of DLL found: %s.", found.cFileName);

    table_state sources{source_formats, source_origins, FORMAT_LIST_SOURCE, 0};
    table_state targets{target_formats, target_origins, FORMAT_LIST_TARGET, 0};
    do {
        if (!load_plugin(window, directory, found.cFileName, sources, targets))
            break;
    } while (FindNextFileA(search.handle, &found));
}

}  // namespace

void load_plugins(HWND window)
{
    char directory[ansi_path_capacity] = "";
    const DWORD length = GetCurrentDirectoryA(sizeof directory, directory);
    if (length == 0 || length >= sizeof directory)
        directory[0] = '\0';
    load_plugins_matching(window, directory, plugin_pattern);
}

void load_plugins_from(HWND window, const char *directory)
{
    char full[MAX_PATH] = "";
    const DWORD length = GetFullPathNameA(directory, sizeof full, full, nullptr);
    if (length == 0 || length >= sizeof full)
        full[0] = '\0';
    std::size_t end = std::strlen(full);
    while (end > 3 && (full[end - 1] == '\\' || full[end - 1] == '/'))
        full[--end] = '\0';
    char search_pattern[MAX_PATH + sizeof plugin_pattern];
    std::snprintf(search_pattern, sizeof search_pattern, "%s%s%s", full,
                  end > 0 && full[end - 1] != '\\' ? "\\" : "", plugin_pattern);
    load_plugins_matching(window, full, full[0] ? search_pattern : "");
}

namespace {

// Where the format whose converter is `converter` came from, null for none:
// both the record and its origin must name the converter, so that a table
// changed by hand since loading finds nothing.
const format_origin *origin_of(convert_fn converter, int list)
{
    if (!converter)
        return nullptr;
    const format_entry *table = list == FORMAT_LIST_SOURCE ? source_formats : target_formats;
    const format_origin *origins = list == FORMAT_LIST_SOURCE ? source_origins : target_origins;
    for (int slot = 0; slot < format_table_size; ++slot)
        if (table[slot].converter == converter && origins[slot].converter == converter)
            return &origins[slot];
    return nullptr;
}

}  // namespace

dll_lost_fn lost_counter_for(convert_fn target_converter)
{
    const format_origin *origin = origin_of(target_converter, FORMAT_LIST_TARGET);
    return origin ? origin->lost : nullptr;
}

dll_reason_fn refusal_reason_for(convert_fn converter, int list)
{
    const format_origin *origin = origin_of(converter, list);
    return origin ? origin->reason : nullptr;
}

SRWLOCK *serial_lock_for(convert_fn converter, int list)
{
    const format_origin *origin = origin_of(converter, list);
    return origin ? origin->serial : nullptr;
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

const char *find_format_name(convert_fn converter, const format_entry *table)
{
    if (!converter || !table)
        return nullptr;
    for (int slot = 0; slot < format_table_size; ++slot)
        if (table[slot].converter == converter)
            return table[slot].name;
    return nullptr;
}
