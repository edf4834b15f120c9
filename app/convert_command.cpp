// The Convert command: the options, the formats and the files chosen in the
// main window, handed to the engine's batch.
#include "app/convert_command.h"

#include <windows.h>

#include <cstring>
#include <string>

#include "app/app_state.h"
#include "app/engine_window.h"
#include "browser/browser_ids.h"
#include "browser/lists.h"
#include "convert/batch.h"
#include "convert/convert_file.h"
#include "convert/convert_ids.h"
#include "plugins/plugin_ids.h"
#include "plugins/registry.h"
#include "ui/notice.h"

namespace {

constexpr char no_format_text[] = "Please choose a source format and a target format.";

std::string selected_item(HWND files, int index)
{
    const LRESULT length = SendMessageA(files, LB_GETTEXTLEN, static_cast<WPARAM>(index), 0);
    if (length == LB_ERR)
        return {};
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    SendMessageA(files, LB_GETTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&text[0]));
    text.resize(std::strlen(text.c_str()));
    return text;
}

}  // namespace

void convert_command()
{
    const bool recursive = IsDlgButtonChecked(main_window, IDC_RECURSIVE) == BST_CHECKED;
    replace_mode = IsDlgButtonChecked(main_window, IDC_REPLACE) == BST_CHECKED ? 1 : 0;

    char source_name[FORMAT_NAME_SIZE] = "";
    char target_name[FORMAT_NAME_SIZE] = "";
    GetDlgItemTextA(main_window, IDC_SOURCE_FORMAT, source_name, sizeof source_name);
    GetDlgItemTextA(main_window, IDC_TARGET_FORMAT, target_name, sizeof target_name);
    const int source = find_format(source_name, source_formats);
    const int target = find_format(target_name, target_formats);
    if (source == format_table_size || target == format_table_size || source_name[0] == '\0' ||
        target_name[0] == '\0') {
        show_notice(no_format_text);
        return;
    }
    const convert_fn source_converter = source_formats[source].converter;
    const convert_fn target_converter = target_formats[target].converter;
    const char *target_ext = target_formats[target].ext;

    HWND files = GetDlgItem(main_window, IDC_FILES);
    const LRESULT selected = SendMessageA(files, LB_GETSELCOUNT, 0, 0);
    HCURSOR previous_cursor = SetCursor(nullptr);
    busy_step();
    start_loss_report();
    if (selected <= 0) {
        read_pattern_field();
        convert_batch(file_pattern, target_ext, recursive ? batch_recursive : batch_pattern, source_converter,
                      target_converter);
    } else {
        // The items are bare names in the directory the list was filled from.
        const std::string directory = file_list_directory();
        const int items = static_cast<int>(SendMessageA(files, LB_GETCOUNT, 0, 0));
        int index = -1;
        for (LRESULT done = 0; done < selected; ++done) {
            do
                ++index;
            while (index < items && SendMessageA(files, LB_GETSEL, static_cast<WPARAM>(index), 0) <= 0);
            if (index >= items)
                break;
            const std::string name = directory + selected_item(files, index);
            convert_batch(name.c_str(), target_ext, batch_one_file, source_converter, target_converter);
            SendMessageA(files, LB_SETSEL, FALSE, index);
        }
    }
    refresh_lists(file_pattern);
    SetCursor(previous_cursor);
    show_loss_report();
}
