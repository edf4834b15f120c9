// Two-stage conversion of one file: source -> intermediate -> output.
//
// No file of the user's is ever written over or removed by a conversion:
// the intermediate file and the output are made by exclusive creates under
// names nothing has yet, and in replace mode the converted file takes the
// source's name by one replacing rename, so the source is either replaced
// whole or left as it was.  Converters run guarded: one that crashes costs
// its file alone, whose intermediate and output go as after a refusal.
#include "convert/convert_file.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "convert/engine_events.h"
#include "convert/intermediate_header.h"
#include "convert/refusal_reason.h"
#include "plugins/registry.h"
#include "support/ansi_text.h"
#include "support/guard.h"
#include "support/paths.h"
#include "support/ravel.h"
#include "support/runtime.h"

char *source_path;
char *output_path;
char *intermediate_path;
int replace_mode;
int dry_run_mode;

namespace {

constexpr int notice_size = 256;
constexpr char unable_to_open_text[] =
    "Unable to open file\n%s.\n(It is probably still open\nin another application).";
constexpr char wrong_format_text[] = "File %s doesn't have the format you selected.";
constexpr char null_length_text[] = "File %s of null length.";
constexpr char io_failed_text[] = "Unable to convert file\n%s.\n%s";
// The system's text for an error fits in this, after the file name.
constexpr int system_text_size = 256;
constexpr char converter_fault_text[] =
    "The converter of format %s stopped with exception 0x%08X while converting %s.\nThe file was left as it was.";
constexpr char name_too_long_text[] = "The name of file\n%s\nis too long for this program.\nIt was not converted.";

// The system's code for the read or write that has just failed.  msvcrt
// turns the failed WriteFile into errno (ENOSPC for a full disk), which
// stays as it is when the converter goes on; GetLastError, the fallback,
// may by then hold the code of some other call.
DWORD failed_io_code()
{
    if (errno == ENOSPC)
        return ERROR_DISK_FULL;
    const DWORD code = GetLastError();
    return code != ERROR_SUCCESS ? code : ERROR_WRITE_FAULT;
}

// Closes a stream on every way out of a stage; flush first so that a
// converter's last writes reach the disk before the handle goes.  The first
// read or write that failed, the converter's own included, is kept as the
// system's error code: a stage that did not read its input whole, or whose
// output did not reach the disk whole, has failed, whatever the converter
// returned.
class stream_closer {
public:
    explicit stream_closer(FILE *stream = nullptr) : stream_(stream) {}
    ~stream_closer() { close(); }
    stream_closer(const stream_closer &) = delete;
    stream_closer &operator=(const stream_closer &) = delete;
    FILE *get() const { return stream_; }
    // Takes a stream in place of none.
    void adopt(FILE *stream)
    {
        close();
        stream_ = stream;
    }
    // Back to the start, for reading what was written; the failures so far
    // stay noted.
    void rewind()
    {
        if (stream_)
            std::rewind(stream_);
    }
    void flush()
    {
        if (!stream_)
            return;
        if (std::ferror(stream_))
            note_failure();
        errno = 0;
        SetLastError(ERROR_SUCCESS);
        if (std::fflush(stream_) != 0)
            note_failure();
    }
    void close()
    {
        if (!stream_)
            return;
        flush();
        errno = 0;
        SetLastError(ERROR_SUCCESS);
        if (std::fclose(stream_) != 0)
            note_failure();
        stream_ = nullptr;
    }
    // Cuts the file to nothing, for a work file about to go; what has
    // failed so far stays noted.
    void empty()
    {
        if (!stream_)
            return;
        std::fflush(stream_);
        _chsize(_fileno(stream_), 0);
    }
    // 0 while every read and write has succeeded.
    DWORD io_error() const { return io_error_; }

private:
    void note_failure()
    {
        if (io_error_ == ERROR_SUCCESS)
            io_error_ = failed_io_code();
    }
    FILE *stream_;
    DWORD io_error_ = ERROR_SUCCESS;
};

// The work file goes once it has served.  It is emptied first: its pages
// are then freed by this process, which wrote them, and not by the file's
// last close in the system, where under Wine they cost several times as
// much (tens of milliseconds for a large file, on every file of a batch).
void remove_work_file(stream_closer &work, const char *intermediate_path)
{
    work.empty();
    work.close();
    _unlink(intermediate_path);
}

void notify_timed(const char *format, const char *name)
{
    char text[notice_size];
    format_bounded(text, sizeof text, format, name);
    engine_notice(engine_notice_kind::timed, text);
}

void notify_modal(const char *format, const char *name)
{
    char text[notice_size];
    format_bounded(text, sizeof text, format, name);
    engine_notice(engine_notice_kind::modal, text);
}

// One notice for a file whose conversion could not be read or written
// whole: its name and the system's own words for why (a full disk, most
// often).
void report_io_failure(const char *name, DWORD code)
{
    char reason[system_text_size];
    system_message(code, reason, sizeof reason);
    std::size_t end = std::strlen(reason);
    while (end > 0 && (reason[end - 1] == '\r' || reason[end - 1] == '\n' || reason[end - 1] == ' '))
        --end;
    reason[end] = '\0';
    char text[path_buffer_size + system_text_size + sizeof io_failed_text];
    format_bounded(text, sizeof text, io_failed_text, name, reason);
    engine_notice(engine_notice_kind::modal, text);
}

// Opens a new file under `name` for "w+b", never an existing one: a taken
// name moves on to name_1, name_2 ... as extension_num names them.  Each
// candidate is tried by the exclusive create itself: the create that
// succeeds proves its name was free, so no free name costs a look-up of its
// own.  `first_number` 1 starts at name_1, for a name known to be taken.
FILE *create_new_stream(char *name, unsigned first_number)
{
    char base[path_buffer_size];
    std::snprintf(base, sizeof base, "%s", name);
    for (unsigned number = first_number;; ++number) {
        if (number > 0) {
            std::snprintf(name, path_buffer_size, "%s", base);
            if (extension_numbered(name, number) != 0)
                return nullptr;
        }
        HANDLE file = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            // A taken name (a file, or a directory, which some systems report
            // as access denied) moves on to the next one.
            const DWORD code = GetLastError();
            if (code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS || existe(name))
                continue;
            return nullptr;
        }
        const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_RDWR | _O_BINARY);
        if (fd == -1) {
            CloseHandle(file);
            DeleteFileA(name);
            return nullptr;
        }
        FILE *stream = _fdopen(fd, "w+b");
        if (!stream) {
            _close(fd);
            DeleteFileA(name);
        }
        return stream;
    }
}

// Whether two names are the same to every file system: equal but for the
// case of ASCII letters.
bool same_name(const char *a, const char *b)
{
    const auto folded = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    for (; *a && *b; ++a, ++b)
        if (folded(*a) != folded(*b))
            return false;
    return *a == *b;
}

// The output beside the source under the target's extension.  Where that
// is the source's own name, the source (open at this moment) holds it, and
// the first name tried is name_1.
FILE *create_output_stream(const char *source, char *name, const char *target_ext)
{
    extension(name, target_ext ? target_ext : "");
    return create_new_stream(name, same_name(name, source) ? 1 : 0);
}

// The replace-mode output: a new file with a unique name in the source's
// own directory, so that the final rename stays on one volume.  The
// directory is made absolute first: the temporary-name service would take
// a bare "d:" for the drive's root, not for its current directory.
FILE *create_replacement_stream(const char *source, char *name)
{
    const int part = static_cast<int>(directory_part_length(source));
    char relative[path_buffer_size];
    std::snprintf(relative, sizeof relative, "%.*s", part, source);
    if (part == 0)
        std::snprintf(relative, sizeof relative, ".");
    char directory[ansi_path_capacity];
    const DWORD length = GetFullPathNameA(relative, sizeof directory, directory, nullptr);
    if (length == 0 || length >= sizeof directory)
        return nullptr;
    char temporary[ansi_path_capacity];
    if (GetTempFileNameA(directory, "mxo", 0, temporary) == 0)
        return nullptr;
    if (std::strlen(temporary) >= path_buffer_size) {
        DeleteFileA(temporary);
        return nullptr;
    }
    std::snprintf(name, path_buffer_size, "%s", temporary);
    FILE *stream = std::fopen(name, "w+b");
    if (!stream)
        DeleteFileA(name);
    return stream;
}

// Gives the finished file `temporary` the output name beside `source`, the
// first free one of name, name_1, name_2 ... as create_output_stream would
// have chosen; the rename that succeeds proves its name was free.  `name`
// holds the name taken, or the last one tried.
bool rename_to_new_name(const char *temporary, const char *source, char *name, const char *target_ext)
{
    std::snprintf(name, path_buffer_size, "%s", source);
    extension(name, target_ext ? target_ext : "");
    char base[path_buffer_size];
    std::snprintf(base, sizeof base, "%s", name);
    for (unsigned number = same_name(name, source) ? 1 : 0;; ++number) {
        if (number > 0) {
            std::snprintf(name, path_buffer_size, "%s", base);
            if (extension_numbered(name, number) != 0)
                return false;
        }
        if (MoveFileExA(temporary, name, 0))
            return true;
        const DWORD code = GetLastError();
        if (code != ERROR_FILE_EXISTS && code != ERROR_ALREADY_EXISTS && !existe(name))
            return false;
    }
}

// An output to be named later: a new file beside the source under a name
// of this process's and thread's ("mxo" and eight hexadecimal digits,
// ".tmp"), by one exclusive create.  A temporary-name service would look
// the directory up once more and open the file twice, which under Wine
// costs a scan of the directory each time.
FILE *create_waiting_stream(const char *source, char *name)
{
    static volatile LONG made;
    const unsigned number = (GetCurrentProcessId() << 16) ^ (GetCurrentThreadId() << 8) ^
                            static_cast<unsigned>(InterlockedIncrement(&made));
    const int part = static_cast<int>(directory_part_length(source));
    const int length = std::snprintf(name, path_buffer_size, "%.*smxo%08X.tmp", part, source, number);
    if (length < 0 || length >= path_buffer_size)
        return nullptr;
    return create_new_stream(name, 0);
}

// A converter that crashed: its format is named from the table the chosen
// format came from.
void report_converter_fault(convert_fn converter, const format_entry *table, std::uint32_t exception_code,
                            const char *file_name)
{
    const char *format_name = find_format_name(converter, table);
    if (!format_name)
        format_name = "(unknown)";
    char text[sizeof converter_fault_text + FORMAT_NAME_SIZE + path_buffer_size];
    std::snprintf(text, sizeof text, converter_fault_text, format_name, static_cast<unsigned>(exception_code),
                  file_name);
    engine_notice(engine_notice_kind::modal, text);
    engine_converter_fault(file_name, format_name, exception_code);
}

// A converter's refusal (-1 or -2) of the file `name` (the work file, for an
// empty one of the second stage): the notice as it has always read, and
// below it, on a line of its own, the plug-in's reason when it gave one.
void report_refusal(std::int32_t result, const char *name, const refusal_reason &reason)
{
    const bool empty = result == CONVERT_EMPTY_INPUT;
    char text[notice_size + 1 + sizeof reason.text];
    format_bounded(text, notice_size, empty ? null_length_text : wrong_format_text, name);
    if (reason.text[0] != '\0') {
        const std::size_t end = std::strlen(text);
        std::snprintf(text + end, sizeof text - end, "\n%s", reason.text);
    }
    engine_notice(empty ? engine_notice_kind::timed : engine_notice_kind::modal, text);
}

bool refused(std::int32_t result)
{
    return result == CONVERT_WRONG_FORMAT || result == CONVERT_EMPTY_INPUT;
}

// What one call of a converter gave: its result, the reason for a refusal,
// and for a target the characters it lost.
struct converter_turn {
    guard_result call;
    refusal_reason reason;
    std::int32_t lost;
};

// The converter, then its reason or its count of lost characters, as one
// turn of its plug-in: another thread's call in between would change them.
// A reason or a count that crashes is contained like the converter: there
// is none.
converter_turn take_turn(convert_fn converter, int list, FILE *in, FILE *out)
{
    converter_turn turn{};
    const plugin_call_lock lock(converter, list);
    turn.call = guarded_call(converter, in, out);
    if (turn.call.faulted)
        return turn;
    if (refused(turn.call.value)) {
        turn.reason = refusal_reason_of(converter, list);
    } else if (const dll_lost_fn count_lost = list == FORMAT_LIST_TARGET ? lost_counter_for(converter) : nullptr) {
        const guard_result counted = guarded_call(count_lost);
        turn.lost = counted.faulted ? 0 : counted.value;
    }
    return turn;
}

// A dry run's answer: the name the output would get, in output_path.
void report_output_name(conversion_job &job, const char *target_ext)
{
    if (job.replace_mode != 1) {
        extension(job.output_path, target_ext ? target_ext : "");
        if (existe(job.output_path))
            extension_num(job.output_path);
    }
    engine_file_converted(job.source_path, job.output_path);
}

}  // namespace

bool alloc_path_buffers()
{
    char *block = static_cast<char *>(salloc(3 * path_buffer_size));
    if (!block) {
        engine_notice(engine_notice_kind::modal,
                      "Not enough memory to hold the file names.\nNo file can be converted.");
        return false;
    }
    source_path = block;
    output_path = block + path_buffer_size;
    intermediate_path = block + 2 * path_buffer_size;
    return true;
}

void report_wrong_format(const char *file_name)
{
    notify_modal(wrong_format_text, file_name);
}

void convert_file(conversion_job &job, const char *source, const char *target_ext, convert_fn source_converter,
                  convert_fn target_converter)
{
    job.output_waiting = false;
    char *const source_path = job.source_path;
    char *const output_path = job.output_path;
    char *const intermediate_path = job.intermediate_path;
    if (!source_path || !source)
        return;
    engine_file_started(source);
    if (!target_converter) {
        notify_modal("The target format chosen for %s cannot write files.\nPlease choose another target format.",
                     source);
        return;
    }
    // A longer name would be cut into the name of some other file.
    if (std::strlen(source) >= path_buffer_size) {
        notify_timed(name_too_long_text, source);
        return;
    }
    std::snprintf(source_path, path_buffer_size, "%s", source);
    std::snprintf(output_path, path_buffer_size, "%s", source);
    std::snprintf(intermediate_path, path_buffer_size, "%s", source);

    stream_closer source_stream(std::fopen(source_path, "r+b"));
    if (!source_stream.get()) {
        notify_timed(unable_to_open_text, source_path);
        return;
    }
    if (job.dry_run_mode == 1) {
        source_stream.close();
        report_output_name(job, target_ext);
        return;
    }
    std::uint32_t source_time = 0;
    if (job.replace_mode == 1)
        getftime(_fileno(source_stream.get()), &source_time);

    // The target stage reads the intermediate file through the stream the
    // source stage wrote, or the source itself: neither is opened again.
    const bool first_stage = source_converter != nullptr;
    stream_closer intermediate;
    if (first_stage) {
        extension_temp(intermediate_path);
        intermediate.adopt(create_new_stream(intermediate_path, 0));
        if (!intermediate.get()) {
            notify_modal("Unable to create the work file\n%s.\nNothing was converted.", intermediate_path);
            return;
        }
        enreg_noms(source_path, intermediate_path);
        const converter_turn turn =
            take_turn(source_converter, FORMAT_LIST_SOURCE, source_stream.get(), intermediate.get());
        const guard_result &call = turn.call;
        intermediate.flush();
        source_stream.close();
        if (call.faulted) {
            remove_work_file(intermediate, intermediate_path);
            report_converter_fault(source_converter, source_formats, call.exception_code, source_path);
            return;
        }
        const DWORD io_error =
            intermediate.io_error() != ERROR_SUCCESS ? intermediate.io_error() : source_stream.io_error();
        if (io_error != ERROR_SUCCESS) {
            remove_work_file(intermediate, intermediate_path);
            report_io_failure(source_path, io_error);
            return;
        }
        if (refused(call.value)) {
            report_refusal(call.value, source_path, turn.reason);
            remove_work_file(intermediate, intermediate_path);
            return;
        }
        if (const found_format found = found_format_of(intermediate.get()); found.name[0])
            engine_format_found(source_path, found.name);
    }
    stream_closer &second_input = first_stage ? intermediate : source_stream;
    second_input.rewind();
    // The second stage's input, once read: the work file goes, the source
    // is closed.
    const auto release_second_input = [&] {
        if (first_stage)
            remove_work_file(intermediate, intermediate_path);
        else
            source_stream.close();
    };

    // An output named later is written under a temporary name of its own
    // beside the source, as in replace mode, and takes its name once done.
    const bool named_later = job.output_named_later && job.replace_mode != 1;
    FILE *output_stream = nullptr;
    if (job.replace_mode == 1)
        output_stream = create_replacement_stream(source_path, output_path);
    else if (named_later)
        output_stream = create_waiting_stream(source_path, output_path);
    else
        output_stream = create_output_stream(source_path, output_path, target_ext);
    stream_closer output(output_stream);
    if (!output.get()) {
        release_second_input();
        if (named_later) {
            std::snprintf(output_path, path_buffer_size, "%s", source_path);
            extension(output_path, target_ext ? target_ext : "");
        }
        notify_modal("Unable to create the output file\n%s.\nNothing was converted.", output_path);
        return;
    }

    enreg_noms(intermediate_path, output_path);
    const converter_turn turn = take_turn(target_converter, FORMAT_LIST_TARGET, second_input.get(), output.get());
    const guard_result &call = turn.call;
    if (call.faulted) {
        release_second_input();
        output.close();
        _unlink(output_path);
        report_converter_fault(target_converter, target_formats, call.exception_code, source_path);
        return;
    }
    const int result = call.value;
    const bool converted = !refused(result);
    const std::int32_t lost = turn.lost;
    // The output first, while errno still tells how the converter's own
    // writes ended.
    output.flush();
    release_second_input();
    if (job.replace_mode == 1 && output.io_error() == ERROR_SUCCESS)
        setftime(_fileno(output.get()), source_time);
    output.close();

    const DWORD io_error = output.io_error() != ERROR_SUCCESS ? output.io_error() : second_input.io_error();
    if (io_error != ERROR_SUCCESS) {
        _unlink(output_path);
        report_io_failure(source_path, io_error);
        return;
    }
    if (!converted) {
        report_refusal(result, result == CONVERT_EMPTY_INPUT ? intermediate_path : source_path, turn.reason);
        _unlink(output_path);
        return;
    }
    if (job.replace_mode == 1 && !MoveFileExA(output_path, source_path, MOVEFILE_REPLACE_EXISTING)) {
        _unlink(output_path);
        notify_timed("Unable to replace file\n%s.\n(It is probably still open\nin another application).",
                     source_path);
        return;
    }
    if (named_later) {
        std::snprintf(job.waiting.source, sizeof job.waiting.source, "%s", source_path);
        std::snprintf(job.waiting.temporary, sizeof job.waiting.temporary, "%s", output_path);
        job.waiting.lost = lost;
        job.output_waiting = true;
        return;
    }
    engine_file_converted(source_path, job.replace_mode == 1 ? source_path : output_path);
    if (lost > 0)
        engine_characters_lost(source_path, lost);
}

void convert_file(const char *source, const char *target_ext, convert_fn source_converter,
                  convert_fn target_converter)
{
    conversion_job job{source_path, output_path, intermediate_path, replace_mode, dry_run_mode, false, false, {}};
    convert_file(job, source, target_ext, source_converter, target_converter);
}

void name_waiting_output(const waiting_output &waiting, const char *target_ext)
{
    char name[path_buffer_size];
    if (!rename_to_new_name(waiting.temporary, waiting.source, name, target_ext)) {
        DeleteFileA(waiting.temporary);
        notify_modal("Unable to create the output file\n%s.\nNothing was converted.", name);
        return;
    }
    engine_file_converted(waiting.source, name);
    if (waiting.lost > 0)
        engine_characters_lost(waiting.source, waiting.lost);
}
