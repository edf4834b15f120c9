// Two-stage conversion of one file: source -> intermediate -> output.
//
// No file of the user's is ever written over or removed by a conversion:
// the intermediate file and the output are made by exclusive creates under
// names nothing has yet, and in replace mode the converted file takes the
// source's name by one replacing rename, so the source is either replaced
// whole or left as it was.
#include "convert/convert_file.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "support/ansi_text.h"
#include "support/ravel.h"
#include "support/runtime.h"
#include "ui/notice.h"

char *source_path;
char *output_path;
char *intermediate_path;
int replace_mode;

namespace {

constexpr int notice_size = 256;
constexpr char unable_to_open_text[] =
    "Unable to open file\n%s.\n(It is probably still open\nin another application).";
constexpr char null_length_text[] = "File %s of null length.";
constexpr char name_too_long_text[] = "The name of file\n%s\nis too long for this program.\nIt was not converted.";
// Names tried for one file before giving up (name, name_1 ... ).
constexpr int create_attempts = 1000;

// Closes a stream on every way out of a stage; flush first so that a
// converter's last writes reach the disk before the handle goes.
class stream_closer {
public:
    explicit stream_closer(FILE *stream = nullptr) : stream_(stream) {}
    ~stream_closer() { close(); }
    stream_closer(const stream_closer &) = delete;
    stream_closer &operator=(const stream_closer &) = delete;
    FILE *get() const { return stream_; }
    void close()
    {
        if (stream_) {
            std::fflush(stream_);
            std::fclose(stream_);
            stream_ = nullptr;
        }
    }

private:
    FILE *stream_;
};

void notify_timed(const char *format, const char *name)
{
    char text[notice_size];
    format_bounded(text, sizeof text, format, name);
    show_timed_notice(text);
}

void notify_modal(const char *format, const char *name)
{
    char text[notice_size];
    format_bounded(text, sizeof text, format, name);
    show_notice(text);
}

// Opens a new file under `name` for "w+b", never an existing one: when the
// name is taken, extension_num moves it on to the next free name.
FILE *create_new_stream(char *name)
{
    for (int attempt = 0; attempt < create_attempts; ++attempt) {
        HANDLE file = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            // A taken name (a file, or a directory, which some systems report
            // as access denied) moves on to the next free one.
            if (!existe(name) || extension_num(name) != 0)
                return nullptr;
            continue;
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
    return nullptr;
}

// The replace-mode output: a new file with a unique name in the source's
// own directory, so that the final rename stays on one volume.
FILE *create_replacement_stream(const char *source, char *name)
{
    char directory[path_buffer_size];
    std::snprintf(directory, sizeof directory, "%s", source);
    char *end = std::strrchr(directory, '\\');
    char *slash = std::strrchr(directory, '/');
    if (slash && (!end || slash > end))
        end = slash;
    if (end)
        end[1] = '\0';
    else if (directory[0] != '\0' && directory[1] == ':')
        directory[2] = '\0';
    else
        std::snprintf(directory, sizeof directory, ".");
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

}  // namespace

bool alloc_path_buffers()
{
    char *block = static_cast<char *>(salloc(3 * path_buffer_size));
    if (!block) {
        show_notice("Not enough memory to hold the file names.\nNo file can be converted.");
        return false;
    }
    source_path = block;
    output_path = block + path_buffer_size;
    intermediate_path = block + 2 * path_buffer_size;
    return true;
}

void report_wrong_format(const char *file_name)
{
    notify_modal("File %s doesn't have the format you selected.", file_name);
}

void convert_file(const char *source, const char *target_ext, convert_fn source_converter,
                  convert_fn target_converter)
{
    if (!source_path || !source)
        return;
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
    std::uint32_t source_time = 0;
    if (replace_mode == 1)
        getftime(_fileno(source_stream.get()), &source_time);

    const bool first_stage = source_converter != nullptr;
    if (first_stage) {
        extension_temp(intermediate_path);
        stream_closer intermediate(create_new_stream(intermediate_path));
        if (!intermediate.get()) {
            notify_modal("Unable to create the work file\n%s.\nNothing was converted.", intermediate_path);
            return;
        }
        enreg_noms(source_path, intermediate_path);
        const int result = source_converter(source_stream.get(), intermediate.get());
        intermediate.close();
        source_stream.close();
        if (result == CONVERT_WRONG_FORMAT) {
            report_wrong_format(source_path);
            _unlink(intermediate_path);
            return;
        }
        if (result == CONVERT_EMPTY_INPUT) {
            notify_timed(null_length_text, source_path);
            _unlink(intermediate_path);
            return;
        }
    } else {
        source_stream.close();
    }

    stream_closer second_input(std::fopen(intermediate_path, "r+b"));
    if (!second_input.get()) {
        if (first_stage)
            _unlink(intermediate_path);
        notify_timed(unable_to_open_text, intermediate_path);
        return;
    }

    FILE *output_stream = nullptr;
    if (replace_mode == 1) {
        output_stream = create_replacement_stream(source_path, output_path);
    } else {
        extension(output_path, target_ext ? target_ext : "");
        output_stream = create_new_stream(output_path);
    }
    stream_closer output(output_stream);
    if (!output.get()) {
        second_input.close();
        if (first_stage)
            _unlink(intermediate_path);
        notify_modal("Unable to create the output file\n%s.\nNothing was converted.", output_path);
        return;
    }

    enreg_noms(intermediate_path, output_path);
    const int result = target_converter(second_input.get(), output.get());
    second_input.close();
    std::fflush(output.get());
    if (replace_mode == 1)
        setftime(_fileno(output.get()), source_time);
    output.close();

    if (first_stage)
        _unlink(intermediate_path);

    if (result == CONVERT_WRONG_FORMAT) {
        report_wrong_format(source_path);
        _unlink(output_path);
        return;
    }
    if (result == CONVERT_EMPTY_INPUT) {
        notify_timed(null_length_text, intermediate_path);
        _unlink(output_path);
        return;
    }
    if (replace_mode == 1 && !MoveFileExA(output_path, source_path, MOVEFILE_REPLACE_EXISTING)) {
        _unlink(output_path);
        notify_timed("Unable to replace file\n%s.\n(It is probably still open\nin another application).",
                     source_path);
    }
}
