#include "browser/lists.h"

#include <windows.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <io.h>
#include <string>
#include <string_view>
#include <vector>

#include "app/app_state.h"
#include "browser/browser_ids.h"
#include "support/ansi_search.h"
#include "support/ansi_text.h"
#include "support/closers.h"
#include "support/paths.h"
#include "support/ravel.h"
#include "support/runtime.h"

namespace {

constexpr int drive_item_size = 32;
constexpr int drive_slots = 26;
constexpr std::size_t pattern_characters = 79;

struct drive_cache_state {
    int count = 0;
    std::array<std::array<char, drive_item_size>, drive_slots> items{};
};
drive_cache_state drive_cache;
int drive_builds = 0;

char list_directory[pattern_size];

HWND control(int id) { return GetDlgItem(main_window, id); }

// strlwr in the C locale: A to Z only, whatever the code page.
void lower_ascii(char *text) {
    for (; *text; ++text)
        if (*text >= 'A' && *text <= 'Z') *text = static_cast<char>(*text - 'A' + 'a');
}

// A sorted list box finds each new item's place by a binary search with
// CompareString(NORM_IGNORECASE) in its own locale and moves every item
// behind it. The items are sorted here by that same comparison and appended
// in that order. Names the comparison finds equal would land where the list
// box's search puts them, so then it places every item itself.
void add_sorted(HWND list, const std::vector<std::string> &items) {
    std::vector<std::wstring> wide(items.size());
    size_t bytes = 0;
    for (size_t i = 0; i < items.size(); ++i) {
        int n = MultiByteToWideChar(CP_ACP, 0, items[i].c_str(), -1, nullptr, 0);
        if (n > 0) {
            wide[i].resize(static_cast<size_t>(n));
            MultiByteToWideChar(CP_ACP, 0, items[i].c_str(), -1, wide[i].data(), n);
        }
        bytes += items[i].size() + 1;
    }
    const LCID locale = static_cast<LCID>(SendMessageA(list, LB_GETLOCALE, 0, 0));
    auto compare = [&](size_t a, size_t b) {
        return CompareStringW(locale, NORM_IGNORECASE, wide[a].c_str(), -1, wide[b].c_str(), -1);
    };
    std::vector<size_t> order(items.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return compare(a, b) == CSTR_LESS_THAN; });
    bool distinct = true;
    for (size_t i = 1; i < order.size() && distinct; ++i) distinct = compare(order[i - 1], order[i]) == CSTR_LESS_THAN;

    SendMessageA(list, LB_INITSTORAGE, items.size(), static_cast<LPARAM>(bytes));
    if (distinct) {
        for (size_t i : order)
            SendMessageA(list, LB_INSERTSTRING, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(items[i].c_str()));
    } else {
        for (const auto &item : items) SendMessageA(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item.c_str()));
    }
}

void show_counters(unsigned count, unsigned long long total) {
    char text[24] = {};
    auto result = std::to_chars(text, text + sizeof text - 1, total);
    *result.ptr = '\0';
    SetDlgItemTextA(main_window, IDC_LENGTH, text);
    SetDlgItemInt(main_window, IDC_COUNT, count, FALSE);
}

void remember_directory(const char *pattern) {
    size_t length = std::min(directory_part_length(pattern), sizeof list_directory - 1);
    std::memcpy(list_directory, pattern, length);
    list_directory[length] = '\0';
}

std::string item_text(HWND list, int index) {
    LRESULT length = SendMessageA(list, LB_GETTEXTLEN, static_cast<WPARAM>(index), 0);
    if (length == LB_ERR) return {};
    std::string text(static_cast<size_t>(length) + 1, '\0');
    LRESULT got = SendMessageA(list, LB_GETTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(text.data()));
    text.resize(got == LB_ERR ? 0 : static_cast<size_t>(got));
    return text;
}

unsigned long long shared_read_size(const std::string &name) {
    handle_closer file{CreateFileA(name.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr)};
    if (file.handle == INVALID_HANDLE_VALUE) return 0;
    LARGE_INTEGER size;
    return GetFileSizeEx(file.handle, &size) ? static_cast<unsigned long long>(size.QuadPart) : 0;
}

unsigned long long runtime_size(const std::string &name) {
    fd_closer file{sec_open_ro(name.c_str())};
    if (file.fd == -1) return 0;
    long long length = filelength(file.fd);
    return length < 0 ? 0 : static_cast<unsigned long long>(length);
}

}  // namespace

void refresh_lists(const char *pattern) {
    fill_list(IDC_FILES, pattern, list_mode::files);
    fill_list(IDC_DIRS, "*.*", list_mode::directories);
    fill_drive_list(IDC_DRIVES);
}

void fill_list(int list_id, const char *pattern, list_mode mode) {
    HWND list = control(list_id);
    SendMessageA(list, WM_SETREDRAW, FALSE, 0);
    SendMessageA(list, LB_RESETCONTENT, 0, 0);
    unsigned count = 0;
    unsigned long long total = 0;
    std::vector<std::string> items;
    if (mode == list_mode::files) remember_directory(pattern);

    // A name the code page cannot write would be taken for another file's
    // (or none): such entries are not offered.
    ansi_search search(pattern);
    ansi_entry entry;
    while (search.next(entry)) {
        if (!entry.exact) continue;
        bool directory = entry.attributes & FILE_ATTRIBUTE_DIRECTORY;
        if (mode == list_mode::directories) {
            if (!directory || entry.name == ".") continue;
            lower_ascii(&entry.name[0]);
            items.push_back("[" + entry.name + "]");
        } else {
            if (directory || (entry.attributes & volume_label_attribute)) continue;
            items.push_back(std::move(entry.name));
            ++count;
            total += entry.size;
        }
    }
    add_sorted(list, items);
    SendMessageA(list, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(list, nullptr, TRUE);
    if (mode == list_mode::files) show_counters(count, total);
}

void format_drive_item(int drive, const char *label, char *item, std::size_t size) {
    if (size == 0) return;
    item[0] = '\0';
    if (drive != 0 && label && label[0] != '\0') {
        char lowered[256];
        copy_bounded(lowered, sizeof lowered, label);
        if (lowered[0] != '\0') lower_ansi(lowered + ansi_char_size(lowered, 0));
        // The drive command reads the letter between the brackets: the
        // label gives way, at a character boundary, so that " [X:]" always fits.
        const int label_room = static_cast<int>(std::min<std::size_t>(size, drive_item_size)) - 1 - 5;
        if (label_room > 0) {
            copy_bounded(item, static_cast<std::size_t>(label_room) + 1, lowered);
            strapp(item, size, ' ');
        }
    }
    strapp(item, size, '[');
    strapp(item, size, static_cast<char>('A' + drive));
    strapp(item, size, ':');
    strapp(item, size, ']');
}

int build_drive_items() {
    ++drive_builds;
    DWORD mask = GetLogicalDrives();
    int count = 0;
    for (int i = 0; i < drive_slots && (mask >> i) != 0; ++i) {
        if (!(mask & (1u << i))) continue;
        char root[4] = {static_cast<char>('A' + i), ':', '\\', '\0'};
        char label[256] = "";
        // Drive A is a floppy drive: asking it would wait for the medium.
        if (i != 0 && !GetVolumeInformationA(root, label, sizeof label, nullptr, nullptr, nullptr, nullptr, 0))
            label[0] = '\0';
        format_drive_item(i, label, drive_cache.items[static_cast<size_t>(count)].data(), drive_item_size);
        ++count;
    }
    return count;
}

int fill_drive_list(int list_id) {
    if (drive_cache.count == 0) drive_cache.count = build_drive_items();
    HWND list = control(list_id);
    SendMessageA(list, LB_RESETCONTENT, 0, 0);
    for (int i = 0; i < drive_cache.count; ++i)
        SendMessageA(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(drive_cache.items[static_cast<size_t>(i)].data()));
    return drive_cache.count;
}

void show_selection_totals() {
    HWND list = control(IDC_FILES);
    LRESULT selected = SendMessageA(list, LB_GETSELCOUNT, 0, 0);
    unsigned long long total = 0;
    unsigned count = 0;
    std::string directory = list_directory;
    if (selected > 0) {
        std::vector<int> indices(static_cast<size_t>(selected));
        LRESULT got = SendMessageA(list, LB_GETSELITEMS, indices.size(), reinterpret_cast<LPARAM>(indices.data()));
        indices.resize(got == LB_ERR ? 0 : static_cast<size_t>(got));
        for (int index : indices) total += shared_read_size(directory + item_text(list, index));
        count = static_cast<unsigned>(indices.size());
    } else {
        LRESULT items = SendMessageA(list, LB_GETCOUNT, 0, 0);
        for (int index = 0; index < items; ++index) total += runtime_size(directory + item_text(list, index));
        count = items > 0 ? static_cast<unsigned>(items) : 0;
    }
    show_counters(count, total);
}

void read_pattern_field() {
    std::array<char, ansi_path_capacity> text{};
    GetDlgItemTextA(main_window, IDC_PATTERN, text.data(), static_cast<int>(text.size()));
    const std::string_view whole(text.data());
    copy_bounded(file_pattern, pattern_size, whole.substr(0, ansi_prefix(whole, pattern_characters)));
}

void apply_pattern() {
    read_pattern_field();
    refresh_lists(file_pattern);
}

const char *file_list_directory() { return list_directory; }

int drive_cache_count() { return drive_cache.count; }
int drive_cache_builds() { return drive_builds; }
void drive_cache_clear() { drive_cache.count = 0; }
