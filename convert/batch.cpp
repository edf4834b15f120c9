// Batches: one named file, the files a pattern matches, and recursion.
//
// A pattern batch first writes the names of the matching files into a list
// file and then converts each name in it, so that outputs made during a
// level are never taken for sources of the same level.  A recursive batch
// does the same in every subdirectory, depth first, and comes back to each
// level by its absolute path, so the walk always ends where it began.
#include "convert/batch.h"

#include <windows.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "convert/convert_file.h"
#include "convert/engine_events.h"
#include "support/ansi_search.h"
#include "support/ansi_text.h"
#include "support/closers.h"
#include "support/paths.h"
#include "support/runtime.h"

namespace {

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
    engine_notice(engine_notice_kind::timed, notice);
}

// Makes an empty list file in `directory` ("\\" is the root of the current
// drive) and puts its name into `list_path`.
bool create_list_file_in(const char *directory, char *list_path, std::size_t size)
{
    std::snprintf(list_path, size, "%s", directory);
    const int fd = creattemp(list_path, size, 0);
    if (fd == -1)
        return false;
    _close(fd);
    return true;
}

// The list file, made and written whole: in the root of the current drive
// where that works, else in the user's temporary folder (a root that cannot
// be written, or a full drive that takes the file but not its lines).  Null,
// with nothing left behind, when neither works.  The names left out are
// reported once, however many places were tried.
FILE *make_list_file(const char *pattern, char *list_path, std::size_t size)
{
    char temporary[ansi_path_capacity];
    const DWORD length = GetTempPathA(sizeof temporary, temporary);
    const bool has_temporary = length > 0 && length < sizeof temporary;
    const std::array<const char *, 2> directories{"\\", has_temporary ? temporary : nullptr};
    std::vector<std::string> left_out;
    FILE *list = nullptr;
    for (const char *directory : directories) {
        if (!directory || !create_list_file_in(directory, list_path, size))
            continue;
        left_out.clear();
        if ((list = write_list_file(pattern, list_path, &left_out)))
            break;
        std::remove(list_path);
    }
    for (const std::string &name : left_out)
        report_left_out(file_left_out_text, name);
    return list;
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
        if (engine_stop_requested())
            return;
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
        engine_busy_step();
        convert_batch(pattern, target_ext, batch_recursive, source_converter, target_converter);
        if (!SetCurrentDirectoryA(level))
            return;
    }
}

// A pattern that names its directory ("c:\\texts\\*.txt", "docs/*.txt",
// "d:*.txt") has had that directory's files converted; below it the walk
// goes on from that directory with the file-name part alone.  Applied as
// written at every level, the pattern would find the same files again at
// each one.
void convert_pattern_subdirectories(const char *pattern, const char *target_ext, convert_fn source_converter,
                                    convert_fn target_converter)
{
    const std::size_t part = directory_part_length(pattern);
    if (part == 0) {
        convert_subdirectories(pattern, target_ext, source_converter, target_converter);
        return;
    }
    char start[ansi_path_capacity];
    const DWORD length = GetCurrentDirectoryA(sizeof start, start);
    if (length == 0 || length >= sizeof start)
        return;
    const std::string directory(pattern, part);
    if (!SetCurrentDirectoryA(directory.c_str()))
        return;
    const std::string name(pattern + part);
    convert_subdirectories(name.c_str(), target_ext, source_converter, target_converter);
    SetCurrentDirectoryA(start);
}

}  // namespace

FILE *write_list_file(const char *pattern, const char *list_path, std::vector<std::string> *left_out)
{
    FILE *list = std::fopen(list_path, "w+b");
    if (!list)
        return nullptr;
    const std::string directory_part(pattern, directory_part_length(pattern));
    const std::string list_full_path = full_path(list_path);
    ansi_search search(pattern);
    ansi_entry found;
    while (search.next(found)) {
        if (found.attributes & (FILE_ATTRIBUTE_DIRECTORY | volume_label_attribute))
            continue;
        if (!found.exact) {
            if (left_out)
                left_out->push_back(found.name);
            continue;
        }
        const std::string name = directory_part + found.name;
        if (!list_full_path.empty() && lstrcmpiA(full_path(name.c_str()).c_str(), list_full_path.c_str()) == 0)
            continue;
        if (std::fputs(name.c_str(), list) == EOF || std::fputs("\r\n", list) == EOF)
            break;
    }
    // A list cut short by a full drive would leave files out unsaid.
    if (std::fflush(list) != 0 || std::ferror(list)) {
        std::fclose(list);
        return nullptr;
    }
    std::rewind(list);
    return list;
}

void convert_batch(const char *pattern, const char *target_ext, int mode, convert_fn source_converter,
                   convert_fn target_converter)
{
    engine_busy_step();
    if (mode == batch_one_file) {
        convert_file(pattern, target_ext, source_converter, target_converter);
        return;
    }
    char list_path[ansi_path_capacity];
    FILE *list = make_list_file(pattern, list_path, sizeof list_path);
    if (!list) {
        engine_notice(engine_notice_kind::modal, no_list_file_text);
        return;
    }
    std::rewind(list);
    engine_busy_step();
    std::string line;
    while (!engine_stop_requested() && read_list_line(list, line)) {
        if (!line.empty())
            convert_file(line.c_str(), target_ext, source_converter, target_converter);
        engine_busy_step();
    }
    std::fflush(list);
    std::fclose(list);
    std::remove(list_path);
    if (mode == batch_recursive && !engine_stop_requested())
        convert_pattern_subdirectories(pattern, target_ext, source_converter, target_converter);
}
