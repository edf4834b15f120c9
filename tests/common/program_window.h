// The windows of a running program, as the tests that run the real program
// and the package test's driver (a program of its own) find and read them:
// a top-level window by the start of its title or by its class, of one
// process or of any other; texts through the wide messages (Wine hands the
// ANSI list messages of another process back garbled), with a timeout.
// Header only, so that the driver needs no test library.
#pragma once

#include <windows.h>

#include <cwchar>
#include <string>
#include <vector>

struct top_window_query {
    const wchar_t *title_start = nullptr;  // the title begins so, or
    const wchar_t *class_name = nullptr;   // the class is exactly this
    DWORD process = 0;                     // a window of this process only, where not 0
    DWORD not_process = 0;                 // never of this process, where not 0
    bool visible_only = true;
};

namespace top_window_detail {

struct search {
    const top_window_query *query;
    HWND found;
};

inline bool matches(HWND window, const top_window_query &query)
{
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if ((query.process && process != query.process) || (query.not_process && process == query.not_process) ||
        (query.visible_only && !IsWindowVisible(window)))
        return false;
    wchar_t text[256] = L"";
    if (query.class_name) {
        GetClassNameW(window, text, 256);
        return std::wcscmp(text, query.class_name) == 0;
    }
    GetWindowTextW(window, text, 256);
    return std::wcsncmp(text, query.title_start, std::wcslen(query.title_start)) == 0;
}

inline BOOL CALLBACK match_window(HWND window, LPARAM parameter)
{
    auto *found = reinterpret_cast<search *>(parameter);
    if (!matches(window, *found->query))
        return TRUE;
    found->found = window;
    return FALSE;
}

}  // namespace top_window_detail

// The first window that answers the query, or null.
inline HWND find_top_window(const top_window_query &query)
{
    top_window_detail::search search{&query, nullptr};
    EnumWindows(top_window_detail::match_window, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// Latin-1 texts only: the tests' names and formats.
inline std::wstring widen(const std::string &text)
{
    return std::wstring(text.begin(), text.end());
}

inline std::string narrow(const std::wstring &text)
{
    std::string out;
    for (wchar_t c : text)
        out += static_cast<char>(c < 256 ? c : '?');
    return out;
}

constexpr UINT program_send_timeout_ms = 60000;

// A message to a window of another process; its result, 0 where it did not return.
inline LRESULT send_wide(HWND window, UINT msg, WPARAM wparam, LPARAM lparam)
{
    DWORD_PTR result = 0;
    SendMessageTimeoutW(window, msg, wparam, lparam, SMTO_BLOCK, program_send_timeout_ms, &result);
    return static_cast<LRESULT>(result);
}

namespace program_window_detail {

inline std::vector<std::string> item_texts(HWND control, UINT count_message, UINT text_message)
{
    std::vector<std::string> items;
    const int count = static_cast<int>(send_wide(control, count_message, 0, 0));
    for (int i = 0; i < count; ++i) {
        wchar_t text[512] = L"";
        send_wide(control, text_message, i, reinterpret_cast<LPARAM>(text));
        items.push_back(narrow(text));
    }
    return items;
}

}  // namespace program_window_detail

// The items of a list box or a combo box of another process.
inline std::vector<std::string> list_box_texts(HWND list)
{
    return program_window_detail::item_texts(list, LB_GETCOUNT, LB_GETTEXT);
}

inline std::vector<std::string> combo_box_texts(HWND combo)
{
    return program_window_detail::item_texts(combo, CB_GETCOUNT, CB_GETLBTEXT);
}
