// The Convert command and the batch it runs.
//
// A pattern batch first writes the names of the matching files into a list
// file and then converts each name in it, so that outputs made during a
// level are never taken for sources of the same level.  A recursive batch
// does the same in every subdirectory, depth first, and comes back to each
// level by its absolute path, so the walk always ends where it began.
#include "convert/batch.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/app_state.h"
#include "browser/browser_ids.h"
#include "browser/lists.h"
#include "convert/convert_file.h"
#include "convert/convert_ids.h"
#include "plugins/plugin_ids.h"
#include "plugins/registry.h"
#include "support/ansi_search.h"
#include "support/ansi_text.h"
#include "support/closers.h"
#include "support/runtime.h"
#include "ui/notice.h"

namespace {

constexpr char no_format_text[] = "Please choose a source format and a target format.";
constexpr char no_list_file_text[] =
    "Unable to create the list of files to convert,\nneither in the root of the drive\nnor in the temporary "
    "folder.\nNothing was converted.";
constexpr int list_line_block = 256;
constexpr char file_left_out_text[] =
    "File %s:\nits name has letters that this\nsystem's code page lacks.\nIt was not converted.";
constexpr char directory_left_out_text[] =
    "Directory %s:\nits name has letters that this\nsystem's code page lacks.\nIts files were not converted.";

// An entry whose name the code page cannot write is never taken for
// another: it is named, as the system spells it, and left out.
void report_left_out(const char *text, const std::string &name)
{
    char notice[256];
    format_bounded(notice, sizeof notice, text, name.c_str());
    show_timed_notice(notice);
}

// Makes the list file, in the root of the current drive where that can be
// written, else in the user's temporary folder.  False when neither works.
bool create_list_file(char *list_path, std::size_t size)
{
    std::snprintf(list_path, size, "\\");
    int fd = creattemp(list_path, size, 0);
    if (fd == -1) {
        char temporary[ansi_path_capacity];
        const DWORD length = GetTempPathA(sizeof temporary, temporary);
        if (length == 0 || length >= sizeof temporary)
            return false;
        std::snprintf(list_path, size, "%s", temporary);
        fd = creattemp(list_path, size, 0);
    }
    if (fd == -1)
        return false;
    _close(fd);
    return true;
}

// One line of any length, without its CR LF; false at the end of the file.
bool read_list_line(FILE *list, std::string &line)
{
    line.clear();
    char block[list_line_block];
    while (std::fgets(block, sizeof block, list)) {
        line += block;
        if (!line.empty() && line.back() == '\n')
            break;
    }
    if (line.empty())
        return false;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    return true;
}

// Full path of `name`, or "" when it does not fit.
std::string full_path(const char *name)
{
    char full[ansi_path_capacity];
    const DWORD length = GetFullPathNameA(name, sizeof full, full, nullptr);
    return length > 0 && length < sizeof full ? std::string(full, length) : std::string();
}

// Identity of a directory (volume and file index), the same whatever path
// or link leads to it.
struct directory_identity {
    DWORD volume;
    DWORD index_high;
    DWORD index_low;
    bool operator==(const directory_identity &other) const
    {
        return volume == other.volume && index_high == other.index_high && index_low == other.index_low;
    }
};

bool identify_directory(const char *name, directory_identity &identity)
{
    handle_closer directory{CreateFileA(name, FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS, nullptr)};
    BY_HANDLE_FILE_INFORMATION information;
    if (directory.handle == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(directory.handle, &information))
        return false;
    identity = {information.dwVolumeSerialNumber, information.nFileIndexHigh, information.nFileIndexLow};
    return true;
}

// The directories from the start of the walk down to the current one: a
// directory met again below itself (through a link the system does not mark
// as one) is not walked a second time.
std::vector<directory_identity> walk_ancestors;

bool is_ancestor(const directory_identity &identity)
{
    for (const directory_identity &ancestor : walk_ancestors)
        if (ancestor == identity)
            return true;
    return false;
}

void convert_subdirectories(const char *pattern, const char *target_ext, convert_fn source_converter,
                            convert_fn target_converter)
{
    char level[ansi_path_capacity];
    const DWORD length = GetCurrentDirectoryA(sizeof level, level);
    if (length == 0 || length >= sizeof level)
        return;
    directory_identity here{};
    if (!identify_directory(".", here))
        return;
    walk_ancestors.push_back(here);
    struct ancestor_popper {
        ~ancestor_popper() { walk_ancestors.pop_back(); }
    } pop_on_return;

    ansi_search search("*.*");
    ansi_entry found;
    while (search.next(found)) {
        const DWORD attributes = found.attributes;
        if (!(attributes & FILE_ATTRIBUTE_DIRECTORY) || found.name == "." || found.name == "..")
            continue;
        // Junctions and links may lead back up: following one could walk forever.
        if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
            continue;
        if (!found.exact) {
            report_left_out(directory_left_out_text, found.name);
            continue;
        }
        directory_identity child{};
        if (!identify_directory(found.name.c_str(), child) || is_ancestor(child))
            continue;
        if (!SetCurrentDirectoryA(found.name.c_str()))
            continue;
        busy_step();
        convert_batch(pattern, target_ext, batch_recursive, source_converter, target_converter);
        if (!SetCurrentDirectoryA(level))
            return;
    }
}

std::string selected_item(HWND files, int index)
{
    const LRESULT length = SendMessageA(files, LB_GETTEXTLEN, static_cast<WPARAM>(index), 0);
    if (length == LB_ERR)
        return {};
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    SendMessageA(files, LB_GETTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&text[0]));
    text.resize(std::strlen(text.c_str()));
    return text;
}

}  // namespace

FILE *write_list_file(const char *pattern, const char *list_path)
{
    FILE *list = std::fopen(list_path, "w+b");
    if (!list)
        return nullptr;
    const char *last_separator = std::strrchr(pattern, '\\');
    const std::string directory_part(pattern, last_separator ? last_separator - pattern + 1 : 0);
    const std::string list_full_path = full_path(list_path);
    ansi_search search(pattern);
    ansi_entry found;
    while (search.next(found)) {
        if (found.attributes & (FILE_ATTRIBUTE_DIRECTORY | volume_label_attribute))
            continue;
        if (!found.exact) {
            report_left_out(file_left_out_text, found.name);
            continue;
        }
        const std::string name = directory_part + found.name;
        if (!list_full_path.empty() && lstrcmpiA(full_path(name.c_str()).c_str(), list_full_path.c_str()) == 0)
            continue;
        std::fputs(name.c_str(), list);
        std::fputs("\r\n", list);
    }
    std::rewind(list);
    return list;
}

void convert_batch(const char *pattern, const char *target_ext, int mode, convert_fn source_converter,
                   convert_fn target_converter)
{
    busy_step();
    if (mode == batch_one_file) {
        convert_file(pattern, target_ext, source_converter, target_converter);
        return;
    }
    char list_path[ansi_path_capacity];
    if (!create_list_file(list_path, sizeof list_path)) {
        show_notice(no_list_file_text);
        return;
    }
    FILE *list = write_list_file(pattern, list_path);
    if (!list) {
        std::remove(list_path);
        show_notice(no_list_file_text);
        return;
    }
    std::rewind(list);
    busy_step();
    std::string line;
    while (read_list_line(list, line)) {
        if (!line.empty())
            convert_file(line.c_str(), target_ext, source_converter, target_converter);
        busy_step();
    }
    std::fflush(list);
    std::fclose(list);
    std::remove(list_path);
    if (mode == batch_recursive)
        convert_subdirectories(pattern, target_ext, source_converter, target_converter);
}

void convert_command()
{
    const bool recursive = IsDlgButtonChecked(main_window, IDC_RECURSIVE) == BST_CHECKED;
    replace_mode = IsDlgButtonChecked(main_window, IDC_REPLACE) == BST_CHECKED ? 1 : 0;

    char source_name[FORMAT_NAME_SIZE] = "";
    char target_name[FORMAT_NAME_SIZE] = "";
    GetDlgItemTextA(main_window, IDC_SOURCE_FORMAT, source_name, sizeof source_name);
    GetDlgItemTextA(main_window, IDC_TARGET_FORMAT, target_name, sizeof target_name);
    const int source = find_format(source_name, source_formats);
    const int target = find_format(target_name, target_formats);
    if (source == format_table_size || target == format_table_size || source_name[0] == '\0' ||
        target_name[0] == '\0') {
        show_notice(no_format_text);
        return;
    }
    const convert_fn source_converter = source_formats[source].converter;
    const convert_fn target_converter = target_formats[target].converter;
    const char *target_ext = target_formats[target].ext;

    HWND files = GetDlgItem(main_window, IDC_FILES);
    const LRESULT selected = SendMessageA(files, LB_GETSELCOUNT, 0, 0);
    HCURSOR previous_cursor = SetCursor(nullptr);
    busy_step();
    if (selected <= 0) {
        read_pattern_field();
        convert_batch(file_pattern, target_ext, recursive ? batch_recursive : batch_pattern, source_converter,
                      target_converter);
    } else {
        // The items are bare names in the directory the list was filled from.
        const std::string directory = file_list_directory();
        const int items = static_cast<int>(SendMessageA(files, LB_GETCOUNT, 0, 0));
        int index = -1;
        for (LRESULT done = 0; done < selected; ++done) {
            do
                ++index;
            while (index < items && SendMessageA(files, LB_GETSEL, static_cast<WPARAM>(index), 0) <= 0);
            if (index >= items)
                break;
            const std::string name = directory + selected_item(files, index);
            convert_batch(name.c_str(), target_ext, batch_one_file, source_converter, target_converter);
            SendMessageA(files, LB_SETSEL, FALSE, index);
        }
    }
    refresh_lists(file_pattern);
    SetCursor(previous_cursor);
}
