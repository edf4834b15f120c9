// mxconv's output.  Texts are ANSI, like the file names they carry: a
// console gets them as UTF-16, so that its own code page does not garble
// them; a pipe or a file gets the bytes as they are.
#include "cli/console.h"

#include <windows.h>

#include <algorithm>

namespace {

constexpr std::size_t min_width = 20;

bool progress_shown_here;  // standard output is a console and progress is wanted
std::size_t progress_width;  // characters of the line last drawn

HANDLE handle_of(output_stream stream)
{
    return GetStdHandle(stream == output_stream::out ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
}

bool is_console(HANDLE handle)
{
    DWORD mode;
    return handle != INVALID_HANDLE_VALUE && handle != nullptr && GetConsoleMode(handle, &mode) != 0;
}

std::wstring widened(const std::string &text)
{
    if (text.empty())
        return {};
    const int length = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &wide[0], length);
    return wide;
}

void write_text(HANDLE handle, const std::string &text)
{
    DWORD written;
    if (is_console(handle)) {
        const std::wstring wide = widened(text);
        WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
    } else {
        WriteFile(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    }
}

std::size_t console_width(HANDLE handle)
{
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(handle, &info) || info.dwSize.X < 2)
        return 80;
    return static_cast<std::size_t>(info.dwSize.X);
}

}  // namespace

void start_output(bool progress_wanted)
{
    progress_shown_here = progress_wanted && is_console(handle_of(output_stream::out));
}

void write_line(output_stream stream, const std::string &text)
{
    clear_progress();
    std::string lines;
    for (char c : text) {
        if (c == '\n')
            lines += '\r';
        lines += c;
    }
    write_text(handle_of(stream), lines + "\r\n");
}

void show_progress(int files_done, const std::string &current_name)
{
    if (!progress_shown_here)
        return;
    HANDLE out = handle_of(output_stream::out);
    // One character short of the width, so that the cursor never wraps.
    const std::size_t width = std::max<std::size_t>(console_width(out), min_width) - 1;
    std::wstring line = widened(std::to_string(files_done) + " done  " + current_name);
    if (line.size() > width)
        line = L"..." + line.substr(line.size() - (width - 3));
    const std::size_t drawn = line.size();
    if (line.size() < progress_width)
        line.append(progress_width - line.size(), L' ');
    line.insert(0, L"\r");
    DWORD written;
    WriteConsoleW(out, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    progress_width = drawn;
}

void clear_progress()
{
    if (!progress_shown_here || progress_width == 0)
        return;
    const std::wstring blank = L"\r" + std::wstring(progress_width, L' ') + L"\r";
    DWORD written;
    WriteConsoleW(handle_of(output_stream::out), blank.data(), static_cast<DWORD>(blank.size()), &written,
                  nullptr);
    progress_width = 0;
}
