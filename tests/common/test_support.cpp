#include "tests/common/test_support.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "app/app_ids.h"
#include "app/app_state.h"
#include "browser/navigation.h"
#include "convert/convert_file.h"
#include "plugins/plugin_ids.h"
#include "plugins/registry.h"

namespace {

std::string current_directory() {
    char buffer[MAX_PATH];
    DWORD n = GetCurrentDirectoryA(MAX_PATH, buffer);
    return std::string(buffer, n);
}

std::string temp_root() {
    if (GetDriveTypeA("T:\\") != DRIVE_NO_ROOT_DIR) return "T:\\";
    char buffer[MAX_PATH];
    DWORD n = GetTempPathA(MAX_PATH, buffer);
    return std::string(buffer, n);
}

std::vector<recorded_notice> recorded;

int record_notice(notice_kind kind, const char *text) {
    recorded.push_back({kind, text ? text : ""});
    return kind == notice_kind::modal ? NoticeRecorder::modal_result : 0;
}

INT_PTR CALLBACK quiet_dialog_proc(HWND, UINT msg, WPARAM, LPARAM) {
    return msg == WM_INITDIALOG;
}

}  // namespace

int NoticeRecorder::modal_result = 0;

void TempDirTest::SetUp() {
    previous_dir_ = current_directory();
    std::string root = temp_root();
    for (unsigned n = GetTickCount() ^ GetCurrentProcessId();; ++n) {
        char name[32];
        std::snprintf(name, sizeof name, "mxt%08x\\", n);
        if (CreateDirectoryA((root + name).c_str(), nullptr)) {
            dir_ = root + name;
            break;
        }
        ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS)) << "cannot create a directory in " << root;
    }
    ASSERT_TRUE(SetCurrentDirectoryA(dir_.c_str())) << dir_;
}

void TempDirTest::TearDown() {
    SetCurrentDirectoryA(previous_dir_.c_str());
    if (!dir_.empty()) remove_tree(dir_);
}

void write_file(const std::string &name, const std::string &content) {
    FILE *f = std::fopen(name.c_str(), "wb");
    ASSERT_NE(f, nullptr) << "cannot write " << name;
    std::fwrite(content.data(), 1, content.size(), f);
    std::fclose(f);
}

std::string read_file(const std::string &name) {
    std::string content;
    FILE *f = std::fopen(name.c_str(), "rb");
    if (!f) return content;
    char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) content.append(buffer, n);
    std::fclose(f);
    return content;
}

bool file_exists(const std::string &name) {
    DWORD a = GetFileAttributesA(name.c_str());
    return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

bool dir_exists(const std::string &name) {
    DWORD a = GetFileAttributesA(name.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

void make_dir(const std::string &name) {
    ASSERT_TRUE(CreateDirectoryA(name.c_str(), nullptr)) << "cannot create " << name;
}

void remove_tree(const std::string &dir) {
    std::string base = dir;
    if (!base.empty() && base.back() != '\\') base += '\\';
    WIN32_FIND_DATAA data;
    HANDLE search = FindFirstFileA((base + "*").c_str(), &data);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::string name = data.cFileName;
            if (name == "." || name == "..") continue;
            std::string full = base + name;
            SetFileAttributesA(full.c_str(), FILE_ATTRIBUTE_NORMAL);
            bool is_link = data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT;
            if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !is_link)
                remove_tree(full);
            else if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveDirectoryA(full.c_str());
            else
                DeleteFileA(full.c_str());
        } while (FindNextFileA(search, &data));
        FindClose(search);
    }
    RemoveDirectoryA(base.c_str());
}

std::vector<std::string> dir_entries(const std::string &dir) {
    std::vector<std::string> names;
    std::string base = dir;
    if (!base.empty() && base.back() != '\\') base += '\\';
    WIN32_FIND_DATAA data;
    HANDLE search = FindFirstFileA((base + "*").c_str(), &data);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
        std::string name = data.cFileName;
        if (name != "." && name != "..") names.push_back(name);
    } while (FindNextFileA(search, &data));
    FindClose(search);
    std::sort(names.begin(), names.end());
    return names;
}

void copy_test_plugin(const std::string &plugin, const std::string &dir, const std::string &as) {
    std::string from = std::string(MORPHEX_TEST_PLUGIN_DIR) + "\\" + plugin;
    std::string base = dir;
    if (!base.empty() && base.back() != '\\') base += '\\';
    std::string to = base + (as.empty() ? plugin : as);
    ASSERT_TRUE(CopyFileA(from.c_str(), to.c_str(), FALSE)) << "cannot copy " << from << " to " << to;
}

bool close_directory(const std::string &name) {
    SECURITY_DESCRIPTOR descriptor;
    ACL acl;
    return InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) &&
           InitializeAcl(&acl, sizeof acl, ACL_REVISION) && SetSecurityDescriptorDacl(&descriptor, TRUE, &acl, FALSE) &&
           SetFileSecurityA(name.c_str(), DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, &descriptor);
}

void open_directory(const std::string &name) {
    SECURITY_DESCRIPTOR descriptor;
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
    SetFileSecurityA(name.c_str(), DACL_SECURITY_INFORMATION, &descriptor);
}

NoticeRecorder::NoticeRecorder() {
    recorded.clear();
    set_notice_observer(record_notice);
}

NoticeRecorder::~NoticeRecorder() {
    set_notice_observer(nullptr);
    modal_result = 0;
}

const std::vector<recorded_notice> &NoticeRecorder::notices() const { return recorded; }

std::vector<std::string> NoticeRecorder::texts() const {
    std::vector<std::string> t;
    for (const auto &n : recorded) t.push_back(n.text);
    return t;
}

void NoticeRecorder::clear() { recorded.clear(); }

// The dialog is made from a copy of its template without WS_VISIBLE: under
// Xvfb without a window manager, hiding a mapped window makes Wine wait about
// two seconds for a withdrawal that never comes.
MainDialog::MainDialog() : hwnd_(nullptr) {
    HRSRC found = FindResourceA(app_instance, MAKEINTRESOURCEA(IDD_MAIN), reinterpret_cast<LPCSTR>(RT_DIALOG));
    HGLOBAL loaded = found ? LoadResource(app_instance, found) : nullptr;
    const void *resource = loaded ? LockResource(loaded) : nullptr;
    if (resource) {
        std::vector<BYTE> copy(static_cast<const BYTE *>(resource),
                               static_cast<const BYTE *>(resource) + SizeofResource(app_instance, found));
        const bool extended = copy.size() > 4 && copy[2] == 0xFF && copy[3] == 0xFF;
        DWORD style;
        BYTE *style_at = copy.data() + (extended ? 12 : 0);
        memcpy(&style, style_at, sizeof style);
        style &= ~static_cast<DWORD>(WS_VISIBLE);
        memcpy(style_at, &style, sizeof style);
        hwnd_ = CreateDialogIndirectParamA(app_instance, reinterpret_cast<LPCDLGTEMPLATEA>(copy.data()), nullptr,
                                           quiet_dialog_proc, 0);
    }
    main_window = hwnd_;
}

MainDialog::~MainDialog() {
    if (hwnd_) DestroyWindow(hwnd_);
    main_window = nullptr;
}

std::vector<std::string> list_box_items(HWND list) {
    std::vector<std::string> items;
    int n = static_cast<int>(SendMessageA(list, LB_GETCOUNT, 0, 0));
    for (int i = 0; i < n; ++i) {
        int len = static_cast<int>(SendMessageA(list, LB_GETTEXTLEN, i, 0));
        std::string text(len + 1, '\0');
        SendMessageA(list, LB_GETTEXT, i, reinterpret_cast<LPARAM>(&text[0]));
        text.resize(len);
        items.push_back(text);
    }
    return items;
}

std::vector<std::string> combo_items(HWND combo) {
    std::vector<std::string> items;
    int n = static_cast<int>(SendMessageA(combo, CB_GETCOUNT, 0, 0));
    for (int i = 0; i < n; ++i) {
        int len = static_cast<int>(SendMessageA(combo, CB_GETLBTEXTLEN, i, 0));
        std::string text(len + 1, '\0');
        SendMessageA(combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(&text[0]));
        text.resize(len);
        items.push_back(text);
    }
    return items;
}

void unload_plugins_in(const std::string &dir) {
    for (const std::string &name : dir_entries(dir)) {
        const std::string full = dir + name;
        while (HMODULE module = GetModuleHandleA(full.c_str())) FreeLibrary(module);
    }
}

void put_format(format_entry &entry, const char *name, const char *ext, convert_fn converter) {
    std::memset(&entry, 0, sizeof entry);
    std::snprintf(entry.name, sizeof entry.name, "%s", name);
    std::snprintf(entry.ext, sizeof entry.ext, "%s", ext);
    entry.converter = converter;
}

FILETIME last_write(const std::string &name) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    GetFileAttributesExA(name.c_str(), GetFileExInfoStandard, &data);
    return data.ftLastWriteTime;
}

void set_last_write(const std::string &name, WORD year, WORD month, WORD day) {
    SYSTEMTIME local{year, month, 0, day, 10, 20, 30, 0};
    FILETIME local_time, utc;
    SystemTimeToFileTime(&local, &local_time);
    LocalFileTimeToFileTime(&local_time, &utc);
    HANDLE file = CreateFileA(name.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                              nullptr);
    SetFileTime(file, nullptr, nullptr, &utc);
    CloseHandle(file);
}

HMODULE offer_probe_conversion(const MainDialog &main) {
    HMODULE probe = LoadLibraryA(MORPHEX_TEST_PLUGIN_DIR "/cnvprobe.dll");
    if (!probe) {
        ADD_FAILURE() << "cnvprobe.dll not loaded from " MORPHEX_TEST_PLUGIN_DIR;
        return nullptr;
    }
    if (!source_path && !alloc_path_buffers()) {
        ADD_FAILURE() << "no path buffers";
        return nullptr;
    }
    std::memset(source_formats, 0, sizeof source_formats);
    std::memset(target_formats, 0, sizeof target_formats);
    put_format(source_formats[0], "Probe upper", "", plugin_function<convert_fn>(probe, "probe_upper"));
    put_format(target_formats[0], "Probe mark", "prb", plugin_function<convert_fn>(probe, "probe_mark"));
    SendMessageA(main.item(IDC_SOURCE_FORMAT), CB_ADDSTRING, 0, reinterpret_cast<LPARAM>("Probe upper"));
    SendMessageA(main.item(IDC_SOURCE_FORMAT), CB_SETCURSEL, 0, 0);
    SendMessageA(main.item(IDC_TARGET_FORMAT), CB_ADDSTRING, 0, reinterpret_cast<LPARAM>("Probe mark"));
    SendMessageA(main.item(IDC_TARGET_FORMAT), CB_SETCURSEL, 0, 0);
    plugin_function<void(__cdecl *)(int, int)>(probe, "probe_set_results")(0, 0);
    current_dir_string(current_path, current_path_size);
    return probe;
}
