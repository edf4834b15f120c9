// The About box.
#include "app/main_window.h"

#include "app/app_ids.h"
#include "app/app_state.h"
#include "ui/notice.h"

INT_PTR CALLBACK about_box_proc(HWND dialog, UINT msg, WPARAM wparam, LPARAM)
{
    switch (msg) {
    case WM_INITDIALOG:
        center_window(dialog, main_window);
        return TRUE;
    case WM_COMMAND:
        switch (LOWORD(wparam)) {
        case IDCANCEL:
        case IDC_ABOUT_OK:
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
    }
    return FALSE;
}
