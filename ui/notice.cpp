// Notices, the busy cursor and window placement.
#include "ui/notice.h"

#include <algorithm>

#include "app/app_state.h"
#include "support/ansi_text.h"
#include "support/runtime.h"
#include "ui/ui_ids.h"

const char notice_caption[] = "Morphex - Morphex Project";
const char system_error_caption[] = "Morphex - System error";

namespace {

constexpr UINT timed_notice_ms = 3000;
constexpr int system_text_size = 256;

const char *notice_text = "";
const char *notice_title = notice_caption;
HWND notice_window;
int cursor_frame;
int last_result;
notice_observer observer;

// The height the notice's text needs at the width of its box.
int text_height(HWND box, const char *text)
{
    RECT needed;
    GetClientRect(box, &needed);
    HDC dc = GetDC(box);
    if (!dc)
        return 0;
    const HGDIOBJ old_font = SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageA(box, WM_GETFONT, 0, 0)));
    DrawTextA(dc, text, -1, &needed, DT_CALCRECT | DT_WORDBREAK | DT_CENTER);
    SelectObject(dc, old_font);
    ReleaseDC(box, dc);
    return needed.bottom - needed.top;
}

// A text longer than the box (a long name with the plug-in's reason under
// it) makes the box taller, and the dialog with it: the frame around the
// box grows, what lies below moves down.  Never past the screen.
void fit_notice_to_text(HWND dialog, const char *text)
{
    HWND box = GetDlgItem(dialog, IDC_NOTICE_TEXT);
    RECT box_rect, dialog_rect;
    if (!box || !GetWindowRect(box, &box_rect) || !GetWindowRect(dialog, &dialog_rect))
        return;
    const int room = GetSystemMetrics(SM_CYSCREEN) - (dialog_rect.bottom - dialog_rect.top);
    const int grow = std::min(text_height(box, text) - static_cast<int>(box_rect.bottom - box_rect.top), room);
    if (grow <= 0)
        return;
    MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT *>(&box_rect), 2);
    for (HWND child = GetWindow(dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        RECT rect;
        GetWindowRect(child, &rect);
        MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT *>(&rect), 2);
        const bool holds_box_end = rect.top < box_rect.bottom && rect.bottom >= box_rect.bottom;
        if (holds_box_end)
            SetWindowPos(child, nullptr, 0, 0, rect.right - rect.left, rect.bottom - rect.top + grow,
                         SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
        else if (rect.top >= box_rect.bottom)
            SetWindowPos(child, nullptr, rect.left, rect.top + grow, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
    SetWindowPos(dialog, nullptr, 0, 0, dialog_rect.right - dialog_rect.left,
                 dialog_rect.bottom - dialog_rect.top + grow, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

INT_PTR CALLBACK notice_proc(HWND dialog, UINT msg, WPARAM wparam, LPARAM)
{
    switch (msg) {
    case WM_INITDIALOG:
        fit_notice_to_text(dialog, notice_text);
        center_window(dialog, main_window);
        notice_window = dialog;
        SetDlgItemTextA(dialog, IDC_NOTICE_TEXT, notice_text);
        SetWindowTextA(dialog, notice_title);
        return FALSE;
    case WM_COMMAND:
        switch (LOWORD(wparam)) {
        case IDOK:
        case IDC_NOTICE_OK:
            EndDialog(dialog, 0);
            return TRUE;
        }
        return FALSE;
    case WM_SYSCOMMAND:
        if ((wparam & 0xFFF0) == SC_CLOSE) {
            EndDialog(dialog, 0);
            return TRUE;
        }
        return FALSE;
    case WM_DESTROY:
        notice_window = nullptr;
        return FALSE;
    }
    return FALSE;
}

// Runs on the UI thread from the notice's own modal loop.  Ending the dialog
// from here lets the modal loop destroy the window itself.
void CALLBACK end_timed_notice(HWND, UINT, UINT_PTR, DWORD)
{
    if (notice_window)
        EndDialog(notice_window, -1);
}

int run_notice(const char *text)
{
    notice_text = text ? text : "";
    notice_title = notice_caption;
    return static_cast<int>(DialogBoxParamA(app_instance, MAKEINTRESOURCEA(IDD_NOTICE), main_window,
                                            notice_proc, 0));
}

}  // namespace

void set_notice_observer(notice_observer new_observer)
{
    observer = new_observer;
}

int last_notice_result()
{
    return last_result;
}

int show_notice(const char *text)
{
    if (observer)
        return last_result = observer(notice_kind::modal, text);
    return last_result = run_notice(text);
}

void show_timed_notice(const char *text)
{
    if (observer) {
        last_result = observer(notice_kind::timed, text);
        return;
    }
    const UINT_PTR timer = SetTimer(nullptr, 0, timed_notice_ms, end_timed_notice);
    last_result = run_notice(text);
    if (timer)
        KillTimer(nullptr, timer);
}

int show_system_error(DWORD code)
{
    if (code == 0)
        code = GetLastError();
    char text[system_text_size];
    system_message(code, text, sizeof text);
    if (observer)
        observer(notice_kind::system_error, text);
    else
        MessageBoxA(nullptr, text, system_error_caption, MB_OK);
    return static_cast<int>(code);
}

void show_message_box(const char *text, const char *caption)
{
    if (observer) {
        observer(notice_kind::message_box, text);
        return;
    }
    MessageBoxA(nullptr, text, caption, MB_OK);
}

void busy_step()
{
    cursor_frame = cursor_frame % BUSY_FRAME_COUNT + 1;
    SetCursor(LoadCursorA(app_instance, MAKEINTRESOURCEA(IDC_BUSY_FIRST - 1 + cursor_frame)));
    MSG msg;
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
}

int busy_cursor_frame()
{
    return cursor_frame;
}

void center_window(HWND window, HWND over)
{
    HDC screen = GetDC(window);
    const int screen_width = GetDeviceCaps(screen, HORZRES);
    const int screen_height = GetDeviceCaps(screen, VERTRES);
    ReleaseDC(window, screen);

    RECT rect;
    GetWindowRect(window, &rect);
    const int width = rect.right - rect.left;
    const int height = rect.bottom - rect.top;

    RECT reference{0, 0, screen_width, screen_height};
    if (over)
        GetWindowRect(over, &reference);

    int x = (reference.right - reference.left - width) / 2 + reference.left;
    if (x < 0)
        x = 0;
    else if (x + width > screen_width)
        x = screen_width - width;
    int y = (reference.bottom - reference.top - height) / 2 + reference.top;
    if (y < 0)
        y = 0;
    else if (y + height > screen_height)
        y = screen_height - height;
    SetWindowPos(window, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}
