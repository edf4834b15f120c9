#include "browser/navigation.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <direct.h>
#include <string>
#include <string_view>
#include <vector>

#include "app/app_state.h"
#include "browser/browser_ids.h"
#include "browser/lists.h"
#include "support/ansi_text.h"
#include "support/ravel.h"
#include "support/runtime.h"

namespace {

// Counted in characters, whatever bytes they take.
constexpr std::size_t longest_whole_display = 30;

void show_path(bool shorten) {
    if (shorten && ansi_length(current_path) > longest_whole_display) {
        char shown[current_path_size];
        shorten_path(current_path, shown, sizeof shown);
        SetDlgItemTextA(main_window, IDC_PATH, shown);
    } else {
        SetDlgItemTextA(main_window, IDC_PATH, current_path);
    }
}

// The runtime reports directories in the OEM code page; the path is kept in
// ANSI like every other text of the program.
bool current_directory_ansi(char *directory, std::size_t size) {
    if (getcurdir(0, directory, size) != 0) return false;
    OemToCharA(directory, directory);
    return true;
}

int enter_drive(const char *target) {
    int drive = (target[0] | 0x20) - 'a';
    int previous = getdisk();
    if (drive < 0 || drive > 25 || setdisk(drive) != 0 || getdisk() != drive) return -1;
    support_lfn(drive);
    char directory[current_path_size];
    if (!current_directory_ansi(directory, sizeof directory)) {
        // The path keeps naming the old drive, so that drive stays current.
        if (previous >= 0) setdisk(previous);
        return -1;
    }
    char path[current_path_size];
    int n = std::snprintf(path, sizeof path, "%c%c\\%s", target[0], target[1], directory);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof path) return -1;
    if (path[n - 1] != '\\' && strapp(path, sizeof path, '\\') != 0) return -1;
    std::snprintf(current_path, current_path_size, "%s", path);
    return 0;
}

bool enter_parent() {
    if (_chdir("..") != 0) return false;
    std::size_t length = std::strlen(current_path);
    if (length <= 3) return true;
    current_path[length - 1] = '\0';
    char *last = std::strrchr(current_path, '\\');
    if (last) last[1] = '\0';
    return true;
}

bool enter_named(const char *name) {
    std::size_t length = std::strlen(current_path);
    // A name that would not fit the path is not entered: the path has to
    // keep naming the current directory.
    if (length + std::strlen(name) + 2 > current_path_size) return false;
    if (_chdir(name) != 0) return false;
    if (length > 0 && current_path[length - 1] == '\\') current_path[length - 1] = '\0';
    strapp(current_path, current_path_size, '\\');
    std::size_t used = std::strlen(current_path);
    std::snprintf(current_path + used, current_path_size - used, "%s", name);
    strapp(current_path, current_path_size, '\\');
    return true;
}

std::string current_item(int list_id) {
    HWND list = GetDlgItem(main_window, list_id);
    LRESULT index = SendMessageA(list, LB_GETCURSEL, 0, 0);
    if (index == LB_ERR) return {};
    LRESULT length = SendMessageA(list, LB_GETTEXTLEN, static_cast<WPARAM>(index), 0);
    if (length == LB_ERR) return {};
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    LRESULT got = SendMessageA(list, LB_GETTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(text.data()));
    text.resize(got == LB_ERR ? 0 : static_cast<std::size_t>(got));
    return text;
}

}  // namespace

void current_dir_string(char *buffer, std::size_t size) {
    if (size == 0) return;
    char path[current_path_size];
    int drive = getdisk();
    int n = std::snprintf(path, sizeof path, "%c:\\", 'A' + (drive >= 0 && drive < 26 ? drive : 2));
    char directory[current_path_size] = "";
    if (getcurdir(0, directory, sizeof directory) == 0)
        copy_bounded(path + n, sizeof path - static_cast<std::size_t>(n), directory);
    if (std::strlen(path) > 3) strapp(path, sizeof path, '\\');
    OemToCharA(path, path);
    minstr_ansi(path);
    copy_bounded(buffer, size, path);
}

int change_dir(const char *target) {
    std::string_view text(target);
    bool changed = false;
    if (text.size() >= 2 && text[1] == ':') {
        if (enter_drive(target) != 0) return -1;
        changed = true;
    } else if (text == "..") {
        changed = enter_parent();
    } else {
        changed = enter_named(target);
    }
    if (!changed) return 0;
    minstr_ansi(current_path);
    show_path(true);
    return 0;
}

void shorten_path(const char *path, char *shown, std::size_t size) {
    if (size == 0) return;
    std::string_view text(path);
    // Backslashes found character by character (in a double-byte code page
    // a second byte may look like one); lengths compared in characters.
    std::vector<std::size_t> slashes;
    for (std::size_t i = 0; i < text.size(); i += ansi_char_size(text, i))
        if (text[i] == '\\') slashes.push_back(i);
    // One directory leaves no middle to cut: it is shown whole.
    if (slashes.size() < 3) {
        copy_bounded(shown, size, text);
        return;
    }
    std::size_t front = slashes[1] + 1;
    std::size_t second_length = ansi_length(text.substr(front, slashes[2] - front));
    std::size_t without_second = ansi_length(text) - second_length - 1;
    std::size_t tail = without_second > longest_whole_display ? slashes[slashes.size() - 2] : slashes[2];
    format_bounded(shown, size, "%.*s...%s", static_cast<int>(front), path, path + tail);
}

void go_to_root() {
    if (_chdir("\\") == 0) {
        char *first = std::strchr(current_path, '\\');
        if (first) first[1] = '\0';
    }
    show_path(false);
    refresh_lists(file_pattern);
}

void go_to_parent() {
    change_dir("..");
    refresh_lists(file_pattern);
}

void enter_directory() {
    std::string item = current_item(IDC_DIRS);
    if (item.size() >= 2 && item.front() == '[' && item.back() == ']') {
        std::string target = item == "[..]" ? std::string("..") : item.substr(1, item.size() - 2);
        if (!target.empty()) change_dir(target.c_str());
    }
    refresh_lists(file_pattern);
}

void change_drive() {
    std::string item = current_item(IDC_DRIVES);
    std::size_t open = item.rfind('[');
    std::size_t close = item.find(']', open == std::string::npos ? 0 : open);
    if (open != std::string::npos && close != std::string::npos && close - open == 3) {
        std::string target = item.substr(open + 1, 2);
        for (char &c : target)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        change_dir(target.c_str());
    }
    refresh_lists(file_pattern);
}
