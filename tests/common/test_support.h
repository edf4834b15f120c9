// Shared test helpers: a fresh temporary directory per test, files, and a
// recorder for the notices the program shows.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "plugins/morphex_plugin.h"
#include "ui/notice.h"

// Creates a fresh directory (on the test drive T: when the harness maps one,
// else in %TEMP%), makes it current, and removes it with everything in it
// afterwards, restoring the directory that was current before.
class TempDirTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    const std::string &dir() const { return dir_; }  // absolute, ends in '\'
    std::string path(const std::string &name) const { return dir_ + name; }

private:
    std::string dir_;
    std::string previous_dir_;
};

void write_file(const std::string &name, const std::string &content);
std::string read_file(const std::string &name);  // throws nothing; "" when missing
bool file_exists(const std::string &name);
bool dir_exists(const std::string &name);
void make_dir(const std::string &name);
void remove_tree(const std::string &dir);
// Names in `dir` (not "." or ".."), sorted.
std::vector<std::string> dir_entries(const std::string &dir);
// Takes every right to a directory away (an empty protected DACL, which Wine
// maps onto the Unix mode: the unprivileged test user cannot enter it), and
// gives them back (a null DACL) so that it can be removed.
bool close_directory(const std::string &name);
void open_directory(const std::string &name);
// Copies a test plug-in (by file name, e.g. "cnvbytes.dll") into `dir`.
void copy_test_plugin(const std::string &plugin, const std::string &dir, const std::string &as = "");
// Plug-ins stay loaded in the program; this frees every one loaded from
// `dir`, so that the directory can be removed.
void unload_plugins_in(const std::string &dir);
// A file's last write time, and setting it to a day of `year` at 10:20:30
// local time, long before any test runs.
FILETIME last_write(const std::string &name);
void set_last_write(const std::string &name, WORD year, WORD month = 6, WORD day = 15);
// One row of the program's format tables, filled as the registry fills it.
void put_format(format_entry &entry, const char *name, const char *ext, convert_fn converter);

struct recorded_notice {
    notice_kind kind;
    std::string text;
};

// While alive, every notice is recorded here instead of being shown.
class NoticeRecorder {
public:
    NoticeRecorder();
    ~NoticeRecorder();
    const std::vector<recorded_notice> &notices() const;
    std::vector<std::string> texts() const;
    void clear();
    // The result the next modal notices return (default 0, as after OK).
    static int modal_result;
};

// A hidden instance of the real main dialog (IDD_MAIN) with a do-nothing
// procedure, recorded as `main_window` while alive.
class MainDialog {
public:
    MainDialog();
    ~MainDialog();
    HWND hwnd() const { return hwnd_; }
    HWND item(int id) const { return GetDlgItem(hwnd_, id); }

private:
    HWND hwnd_;
};

// The probe plug-in (cnvprobe.dll) loaded, its results reset, and "Probe
// upper" to "Probe mark" made the one conversion in the program's tables and
// chosen in `main`, with the path buffers and the current path as the window
// keeps them; null where that cannot be done.
HMODULE offer_probe_conversion(const MainDialog &main);

// An exported function of a loaded DLL, as its real type.
template <typename Function>
Function plugin_function(HMODULE module, const char *name)
{
    return reinterpret_cast<Function>(reinterpret_cast<void *>(GetProcAddress(module, name)));
}

std::vector<std::string> list_box_items(HWND list);
std::vector<std::string> combo_items(HWND combo);
