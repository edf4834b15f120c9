// What the document plug-in's tests share: the plug-in loaded once, the
// intermediate form as a person reads it, and Unix programs (the reference
// readers: cmark-gfm, pandoc, Python) run from a test's directory.
#pragma once

#include <windows.h>

#include <string>

#include "tests/common/test_support.h"
#include "tests/shipped/shipped_plugin.h"

inline const plugin_formats &cnvdoc()
{
    static plugin_formats formats = load_formats(MORPHEX_BIN_DIR "/cnvdoc.dll");
    return formats;
}

// The intermediate form as a person reads it: "<p>text</p>", the header
// and the line ends after marks left out.
inline std::string readable(const std::string &doc)
{
    std::string out;
    std::size_t i = doc.compare(0, 15, "\x1B[morphex-text ") == 0 ? doc.find('\n') + 1 : 0;
    bool in_mark = false;
    for (; i < doc.size(); ++i) {
        if (doc.compare(i, 2, "\x1B[") == 0) {
            out += '<';
            in_mark = true;
            ++i;
        } else if (in_mark && doc[i] == ']') {
            out += '>';
            in_mark = false;
        } else if (!(doc[i] == '\n' && !out.empty() && out.back() == '>' && !in_mark)) {
            out += doc[i];
        }
    }
    return out;
}

// Where Wine keeps a file on the Unix side; "" outside Wine.
inline std::string unix_path(const std::string &windows_path)
{
    using unix_name_fn = char *(CDECL *)(LPCWSTR);
    const auto unix_name = reinterpret_cast<unix_name_fn>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
    if (!unix_name)
        return "";
    wchar_t wide[MAX_PATH];
    MultiByteToWideChar(CP_ACP, 0, windows_path.c_str(), -1, wide, MAX_PATH);
    char *name = unix_name(wide);
    if (!name)
        return "";
    std::string out = name;
    HeapFree(GetProcessHeap(), 0, name);
    return out;
}

// A command run by the Unix shell (Wine starts Unix programs) in `dir`, the
// test's current directory: its output, or "" when it did not finish.
inline std::string run_unix_in(const std::string &dir, const std::string &command)
{
    const std::string here = unix_path(dir);
    if (here.empty())
        return "";
    DeleteFileA("unix-done.txt");
    std::string line = "Z:\\bin\\sh -c \"cd '" + here + "' && (" + command +
                       ") > unix-out.txt 2>&1; echo $? > unix-done.tmp; mv unix-done.tmp unix-done.txt\"";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return "";
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    for (int waited = 0; waited < 600 && !file_exists("unix-done.txt"); ++waited)
        Sleep(100);
    return file_exists("unix-done.txt") ? read_file("unix-out.txt") : "";
}
