// Batches: one named file, the files a pattern matches, and recursion.
//
// A pattern batch first writes the names of the matching files into a list
// file and then converts each name in it, so that outputs made during a
// level are never taken for sources of the same level.  A recursive batch
// does the same in every subdirectory, depth first, naming each by its path
// from where the walk began: the current directory never changes.
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

// The directories from the start of the walk down to the one being walked:
// a directory met again below itself (through a link the system does not
// mark as one) is not walked a second time.
using ancestor_list = std::vector<directory_identity>;

bool is_ancestor(const ancestor_list &ancestors, const directory_identity &identity)
{
    for (const directory_identity &ancestor : ancestors)
        if (ancestor == identity)
            return true;
    return false;
}

// The files of one directory that `pattern` matches, each handed to `visit`
// as the pattern's directory part and its name, in the order of the level's
// list file.
// False when no list file could be made: the level's subdirectories are
// then left alone too.
bool visit_level(const std::string &pattern, const batch_visitor &visit)
{
    char list_path[ansi_path_capacity];
    FILE *list = make_list_file(pattern.c_str(), list_path, sizeof list_path);
    if (!list) {
        engine_notice(engine_notice_kind::modal, no_list_file_text);
        return false;
    }
    std::rewind(list);
    engine_busy_step();
    std::string line;
    while (!engine_stop_requested() && read_list_line(list, line)) {
        if (!line.empty())
            visit(line.c_str());
        engine_busy_step();
    }
    std::fflush(list);
    std::fclose(list);
    std::remove(list_path);
    return true;
}

// Each subdirectory of `directory` ("" for the current one, else ending in
// a separator or a drive's colon), depth first: its files that `name`
// matches, then its own subdirectories.  The walk names every directory by
// its path from where it began and never changes the current directory,
// which every thread of the process shares.
void visit_subdirectories(const std::string &directory, const std::string &name, const batch_visitor &visit,
                          ancestor_list &ancestors)
{
    directory_identity here{};
    if (!identify_directory((directory + ".").c_str(), here))
        return;
    ancestors.push_back(here);
    struct ancestor_popper {
        ancestor_list &list;
        ~ancestor_popper() { list.pop_back(); }
    } pop_on_return{ancestors};

    ansi_search search((directory + "*.*").c_str());
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
            report_left_out(directory_left_out_text, directory + found.name);
            continue;
        }
        const std::string child_path = directory + found.name + "\\";
        directory_identity child{};
        if (!identify_directory((child_path + ".").c_str(), child) || is_ancestor(ancestors, child))
            continue;
        engine_busy_step();
        const bool listed = visit_level(child_path + name, visit);
        if (engine_stop_requested())
            return;
        if (listed)
            visit_subdirectories(child_path, name, visit, ancestors);
    }
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

void walk_batch(const char *pattern, int mode, const batch_visitor &visit)
{
    engine_busy_step();
    if (mode == batch_one_file) {
        visit(pattern);
        return;
    }
    if (!visit_level(pattern, visit) || mode != batch_recursive || engine_stop_requested())
        return;
    // A pattern that names its directory ("c:\\texts\\*.txt", "docs/*.txt",
    // "d:*.txt") has had that directory's files converted; below it the walk
    // goes on with the file-name part alone.  Applied as written at every
    // level, the pattern would find the same files again at each one.
    const std::size_t part = directory_part_length(pattern);
    ancestor_list ancestors;
    visit_subdirectories(std::string(pattern, part), std::string(pattern + part), visit, ancestors);
}

void convert_batch(const char *pattern, const char *target_ext, int mode, convert_fn source_converter,
                   convert_fn target_converter)
{
    walk_batch(pattern, mode, [&](const char *name) {
        convert_file(name, target_ext, source_converter, target_converter);
    });
}
