// The main window: its set-up, and the dispatch of its commands to the
// operations of the browser, the conversion engine and the help.
#include "app/main_window.h"

#include <cstdio>

#include "app/app_ids.h"
#include "app/app_state.h"
#include "app/convert_command.h"
#include "app/help.h"
#include "browser/browser_ids.h"
#include "browser/lists.h"
#include "browser/navigation.h"
#include "convert/convert_file.h"
#include "convert/convert_ids.h"
#include "plugins/plugin_ids.h"
#include "plugins/registry.h"
#include "support/ravel.h"
#include "ui/notice.h"
#include "ui/ui_ids.h"

namespace {

constexpr WPARAM system_command_mask = 0xFFF0;
constexpr int small_icon_size = 16;

void add_system_menu_items(HWND window)
{
    HMENU menu = GetSystemMenu(window, FALSE);
    AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuA(menu, MF_STRING, IDM_ABOUT, "About Morphex...");
    AppendMenuA(menu, MF_STRING, IDM_HELP, "Help");
}

void initialise_main_window(HWND window)
{
    main_window = window;
    if (!alloc_path_buffers()) {
        EndDialog(window, 0);
        return;
    }
    center_window(window, nullptr);
    add_system_menu_items(window);
    load_plugins(window);
    SendDlgItemMessageA(window, IDC_SOURCE_FORMAT, CB_SETCURSEL, 0, 0);
    SendDlgItemMessageA(window, IDC_TARGET_FORMAT, CB_SETCURSEL, 0, 0);
    support_lfn(-1);
    std::snprintf(file_pattern, pattern_size, "*.*");
    SetDlgItemTextA(window, IDC_PATTERN, file_pattern);
    current_dir_string(current_path, current_path_size);
    SetDlgItemTextA(window, IDC_PATH, current_path);
    refresh_lists(file_pattern);
    auto icon = static_cast<HICON>(LoadImageA(app_instance, MAKEINTRESOURCEA(IDI_APP), IMAGE_ICON, small_icon_size,
                                              small_icon_size, LR_DEFAULTCOLOR));
    SendMessageA(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
}

void close_main_window()
{
    EndDialog(main_window, 0);
}

void show_about_box()
{
    DialogBoxParamA(app_instance, MAKEINTRESOURCEA(IDD_ABOUT), main_window, about_box_proc, 0);
}

void dispatch_command(int id, int notification)
{
    switch (id) {
    case IDOK: apply_pattern(); break;
    case IDCANCEL: close_main_window(); break;
    case IDC_CONVERT: convert_command(); break;
    case IDC_CLOSE: close_main_window(); break;
    case IDC_ROOT: go_to_root(); break;
    case IDC_PARENT: go_to_parent(); break;
    case IDC_HELP: open_help(main_window); break;
    case IDC_FILES: if (notification == LBN_SELCHANGE) show_selection_totals(); break;
    case IDC_DIRS: if (notification == LBN_DBLCLK) enter_directory(); break;
    case IDC_DRIVES: if (notification == LBN_DBLCLK) change_drive(); break;
    }
}

bool dispatch_system_command(WPARAM command)
{
    switch (command & system_command_mask) {
    case IDM_HELP: open_help(main_window); return true;
    case IDM_ABOUT: show_about_box(); return true;
    case SC_CLOSE: close_main_window(); return true;
    }
    return false;
}

// The system erases an owner-drawn button with the brush its parent gives;
// a hollow one leaves the icon beneath it visible.
INT_PTR icon_button_brush(HWND control)
{
    if ((GetWindowLongPtrA(control, GWL_STYLE) & BS_TYPEMASK) != BS_OWNERDRAW)
        return FALSE;
    return reinterpret_cast<INT_PTR>(GetStockObject(NULL_BRUSH));
}

}  // namespace

INT_PTR CALLBACK main_window_proc(HWND window, UINT msg, WPARAM wparam, LPARAM lparam)
{
    switch (msg) {
    case WM_INITDIALOG:
        initialise_main_window(window);
        return TRUE;
    case WM_COMMAND:
        dispatch_command(LOWORD(wparam), HIWORD(wparam));
        return TRUE;
    case WM_SYSCOMMAND:
        return dispatch_system_command(wparam) ? TRUE : FALSE;
    case WM_DRAWITEM:
        // The button over the icon only catches clicks: it draws nothing.
        return TRUE;
    case WM_CTLCOLORBTN:
        return icon_button_brush(reinterpret_cast<HWND>(lparam));
    case WM_DESTROY:
        close_help();
        EndDialog(window, 0);
        PostQuitMessage(0);
        return TRUE;
    }
    return FALSE;
}
