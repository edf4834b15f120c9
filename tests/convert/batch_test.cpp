// The Convert command and its batches, on real directory trees.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "app/app_state.h"
#include "app/convert_command.h"
#include "browser/browser_ids.h"
#include "browser/lists.h"
#include "convert/batch.h"
#include "convert/convert_file.h"
#include "convert/convert_ids.h"
#include "plugins/plugin_ids.h"
#include "plugins/registry.h"
#include "tests/common/test_support.h"
#include "tests/convert/small_drive.h"

namespace {

std::vector<std::string> split_lines(const std::string &text)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find("\r\n", start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

std::string current_directory()
{
    char buffer[MAX_PATH];
    GetCurrentDirectoryA(sizeof buffer, buffer);
    return buffer;
}

// Names, relative to the test directory, of the files each call converted.
class Batch : public TempDirTest {
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        module_ = LoadLibraryA(MORPHEX_TEST_PLUGIN_DIR "/cnvprobe.dll");
        ASSERT_NE(nullptr, module_);
        if (!source_path) {
            ASSERT_TRUE(alloc_path_buffers());
        }
        std::memset(source_formats, 0, sizeof source_formats);
        std::memset(target_formats, 0, sizeof target_formats);
        put_format(source_formats[0], "Probe upper", "", plugin_function<convert_fn>(module_, "probe_upper"));
        put_format(target_formats[0], "Probe text", "txt", plugin_function<convert_fn>(module_, "probe_copy"));
        put_format(target_formats[1], "Probe mark", "prb", plugin_function<convert_fn>(module_, "probe_mark"));
        add_format(IDC_SOURCE_FORMAT, "Probe upper");
        add_format(IDC_TARGET_FORMAT, "Probe mark");
        add_format(IDC_TARGET_FORMAT, "Probe text");
        choose_target("Probe mark");
        log_ = path("probe.log");
        SetEnvironmentVariableA("MORPHEX_PROBE_LOG", log_.c_str());
        std::snprintf(file_pattern, pattern_size, "*.*");
        SetDlgItemTextA(main.hwnd(), IDC_PATTERN, "*.*");
    }
    void TearDown() override
    {
        SetEnvironmentVariableA("MORPHEX_PROBE_LOG", nullptr);
        replace_mode = 0;
        TempDirTest::TearDown();
    }
    void add_format(int combo, const char *name)
    {
        SendMessageA(main.item(combo), CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name));
        SendMessageA(main.item(combo), CB_SETCURSEL, 0, 0);
    }
    void choose_target(const char *name)
    {
        SendMessageA(main.item(IDC_TARGET_FORMAT), CB_SELECTSTRING, static_cast<WPARAM>(-1),
                     reinterpret_cast<LPARAM>(name));
    }
    void tick(int id, bool on) { CheckDlgButton(main.hwnd(), id, on ? BST_CHECKED : BST_UNCHECKED); }
    void set_pattern(const char *pattern) { SetDlgItemTextA(main.hwnd(), IDC_PATTERN, pattern); }
    void select(const char *item)
    {
        const LRESULT index = SendMessageA(main.item(IDC_FILES), LB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                           reinterpret_cast<LPARAM>(item));
        ASSERT_NE(LB_ERR, index) << item << " is not listed";
        SendMessageA(main.item(IDC_FILES), LB_SETSEL, TRUE, index);
    }
    // The sources of the first-stage calls, relative to the test directory.
    std::vector<std::string> converted()
    {
        std::vector<std::string> sources;
        for (const std::string &line : split_lines(read_file(log_))) {
            if (line.rfind("probe_upper ", 0) != 0)
                continue;
            std::string input = line.substr(12, line.find(" > ") - 12);
            if (input.size() > dir().size() && lstrcmpiA(input.substr(0, dir().size()).c_str(), dir().c_str()) == 0)
                input = input.substr(dir().size());
            sources.push_back(input);
        }
        DeleteFileA(log_.c_str());
        return sources;
    }
    std::vector<std::string> list_files_in_root()
    {
        std::vector<std::string> found;
        WIN32_FIND_DATAA data;
        const std::string root = dir().substr(0, 3) + "MX*.LST";
        HANDLE search = FindFirstFileA(root.c_str(), &data);
        if (search != INVALID_HANDLE_VALUE) {
            do
                found.push_back(data.cFileName);
            while (FindNextFileA(search, &data));
            FindClose(search);
        }
        return found;
    }

    MainDialog main;
    NoticeRecorder notices;
    HMODULE module_ = nullptr;
    std::string log_;
};

TEST_F(Batch, SelectedFilesAloneAreConvertedInListOrder)
{
    for (const char *name : {"c.txt", "a.txt", "b.txt", "d.doc"})
        write_file(name, name);
    refresh_lists("*.*");
    select("c.txt");
    select("a.txt");
    tick(IDC_RECURSIVE, true);
    set_pattern("*.doc");
    convert_command();
    EXPECT_EQ((std::vector<std::string>{"a.txt", "c.txt"}), converted());
    EXPECT_EQ("<A.TXT>", read_file("a.prb"));
    EXPECT_EQ("<C.TXT>", read_file("c.prb"));
    EXPECT_FALSE(file_exists("b.prb"));
    EXPECT_STREQ("*.*", file_pattern) << "the pattern field plays no part";
    EXPECT_EQ(0, SendMessageA(main.item(IDC_FILES), LB_GETSELCOUNT, 0, 0));
    EXPECT_TRUE(notices.notices().empty());
}

TEST_F(Batch, SelectedNamesComeFromTheDirectoryTheyWereListedFrom)
{
    make_dir("texts");
    write_file("texts\\a.txt", "inner");
    write_file("a.txt", "outer");
    refresh_lists("texts\\*.txt");
    select("a.txt");
    set_pattern("*.*");
    convert_command();
    EXPECT_EQ(std::vector<std::string>{"texts\\a.txt"}, converted());
    EXPECT_EQ("<INNER>", read_file("texts\\a.prb"));
    EXPECT_FALSE(file_exists("a.prb"));
}

TEST_F(Batch, RecursivePatternConvertsEachLevelBeforeItsSubdirectories)
{
    write_file("a.txt", "a");
    make_dir("one");
    write_file("one\\b.txt", "b");
    make_dir("one\\deep");
    write_file("one\\deep\\c.txt", "c");
    make_dir("two");
    write_file("two\\d.txt", "d");
    write_file("two\\skip.doc", "x");
    choose_target("Probe text");
    tick(IDC_RECURSIVE, true);
    set_pattern("*.txt");
    const std::string start = current_directory();
    convert_command();
    const std::vector<std::string> order = converted();
    ASSERT_EQ(4u, order.size()) << "outputs of a level must not be converted again";
    EXPECT_EQ("a.txt", order[0]);
    const auto at = [&](const char *name) { return std::find(order.begin(), order.end(), name) - order.begin(); };
    EXPECT_EQ(at("one\\b.txt") + 1, at("one\\deep\\c.txt")) << "depth first";
    EXPECT_NE(std::string::npos, static_cast<std::size_t>(at("two\\d.txt")));
    EXPECT_EQ("B", read_file("one\\b_1.txt"));
    EXPECT_EQ("C", read_file("one\\deep\\c_1.txt"));
    EXPECT_EQ(start, current_directory());
    EXPECT_TRUE(list_files_in_root().empty());
    EXPECT_TRUE(notices.notices().empty());
}

TEST_F(Batch, ListFileHoldsTheDirectoryPartAndNeverItself)
{
    make_dir("docs");
    write_file("docs\\a.txt", "");
    write_file("docs\\b.txt", "");
    make_dir("docs\\sub.txt");
    const std::string list = path("names.lst");
    FILE *stream = write_list_file("docs\\*.txt", list.c_str());
    ASSERT_NE(nullptr, stream);
    fclose(stream);
    std::vector<std::string> lines = split_lines(read_file(list));
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ((std::vector<std::string>{"docs\\a.txt", "docs\\b.txt"}), lines);
    const std::string content = read_file(list);
    EXPECT_EQ(2, std::count(content.begin(), content.end(), '\r')) << content;

    SetCurrentDirectoryA("docs");
    stream = write_list_file("*.*", "self.lst");
    ASSERT_NE(nullptr, stream);
    fclose(stream);
    lines = split_lines(read_file("self.lst"));
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ((std::vector<std::string>{"a.txt", "b.txt"}), lines) << "the list file must not list itself";
}

TEST_F(Batch, LongListLinesAreReadWhole)
{
    const std::string directory(200, 'd');
    const std::string name = std::string(80, 'n') + ".txt";
    make_dir(directory);
    write_file(directory + "\\" + name, "x");
    std::snprintf(file_pattern, pattern_size, "%s", "");
    set_pattern((directory.substr(0, 60) + "*\\*.txt").c_str());
    // Patterns cannot reach that far; convert_batch is called as the command would.
    convert_batch((directory + "\\*.txt").c_str(), "prb", batch_pattern, source_formats[0].converter,
                  target_formats[1].converter);
    ASSERT_EQ(1u, notices.notices().size()) << "one name, not pieces of it";
    EXPECT_NE(std::string::npos, notices.texts()[0].find(directory.substr(0, 100))) << notices.texts()[0];
    EXPECT_TRUE(converted().empty());
}

TEST_F(Batch, PatternIsSearchedAsTyped)
{
    write_file("caf\xe9.txt", "accent");
    write_file("plain.txt", "plain");
    set_pattern("caf\xe9*.txt");
    convert_command();
    EXPECT_EQ(std::vector<std::string>{"caf\xe9.txt"}, converted());
    EXPECT_STREQ("caf\xe9*.txt", file_pattern);
    EXPECT_EQ(std::vector<std::string>{"caf\xe9.txt"}, list_box_items(main.item(IDC_FILES)))
        << "the lists are refreshed with the pattern";
}

TEST_F(Batch, EmptyOrUnmatchedPatternConvertsNothingSilently)
{
    write_file("a.txt", "a");
    for (const char *pattern : {"", "*.none"}) {
        set_pattern(pattern);
        convert_command();
        EXPECT_TRUE(converted().empty()) << "pattern \"" << pattern << "\"";
        EXPECT_TRUE(notices.notices().empty()) << "pattern \"" << pattern << "\"";
        EXPECT_TRUE(list_files_in_root().empty());
    }
    EXPECT_EQ((std::vector<std::string>{"a.txt"}), dir_entries(dir()));
}

TEST_F(Batch, ReplaceModeFollowsTheBoxAtEachCommand)
{
    write_file("a.txt", "first");
    choose_target("Probe text");
    set_pattern("a.txt");
    tick(IDC_REPLACE, true);
    convert_command();
    EXPECT_EQ("FIRST", read_file("a.txt"));
    EXPECT_FALSE(file_exists("a_1.txt"));
    tick(IDC_REPLACE, false);
    convert_command();
    EXPECT_EQ("FIRST", read_file("a.txt"));
    EXPECT_EQ("FIRST", read_file("a_1.txt"));
    EXPECT_EQ(0, replace_mode);
}

TEST_F(Batch, NoChosenFormatConvertsNothing)
{
    write_file("a.txt", "a");
    SendMessageA(main.item(IDC_TARGET_FORMAT), CB_SETCURSEL, static_cast<WPARAM>(-1), 0);
    convert_command();
    EXPECT_TRUE(converted().empty());
    EXPECT_EQ(std::vector<std::string>{"Please choose a source format and a target format."}, notices.texts());
}

TEST_F(Batch, AClosedSubdirectoryIsSkipped)
{
    write_file("a.txt", "a");
    make_dir("closed");
    write_file("closed\\hidden.txt", "h");
    make_dir("open");
    write_file("open\\b.txt", "b");
    const bool closed = close_directory(path("closed")) && !SetCurrentDirectoryA(path("closed").c_str());
    SetCurrentDirectoryA(dir().c_str());
    if (!closed) {
        open_directory(path("closed"));
        GTEST_SKIP() << "a directory with a DACL denying everyone can still be entered (running as root?)";
    }
    choose_target("Probe mark");
    tick(IDC_RECURSIVE, true);
    set_pattern("*.txt");
    const std::string start = current_directory();
    convert_command();
    std::vector<std::string> order = converted();
    std::sort(order.begin(), order.end());
    EXPECT_EQ((std::vector<std::string>{"a.txt", "open\\b.txt"}), order);
    EXPECT_EQ(start, current_directory());
    open_directory(path("closed"));
}

// Lets the current user read and enter a directory but not write into it.
bool make_read_only_directory(const std::string &name)
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return false;
    BYTE user_buffer[256];
    DWORD length = 0;
    const bool known = GetTokenInformation(token, TokenUser, user_buffer, sizeof user_buffer, &length);
    CloseHandle(token);
    if (!known)
        return false;
    PSID user = reinterpret_cast<TOKEN_USER *>(user_buffer)->User.Sid;
    BYTE acl_buffer[256];
    auto *acl = reinterpret_cast<ACL *>(acl_buffer);
    SECURITY_DESCRIPTOR descriptor;
    return InitializeAcl(acl, sizeof acl_buffer, ACL_REVISION) &&
           AddAccessAllowedAce(acl, ACL_REVISION, FILE_GENERIC_READ | FILE_GENERIC_EXECUTE, user) &&
           InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) &&
           SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE) &&
           SetFileSecurityA(name.c_str(), DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, &descriptor);
}

TEST_F(Batch, ListFileGoesToTheTemporaryFolderWhenTheRootIsClosed)
{
    write_file("a.txt", "a");
    const std::string root = dir().substr(0, 3);
    const std::string probe = root + "probe.tmp";
    const bool closed = make_read_only_directory(root) && !CreateDirectoryA(probe.c_str(), nullptr);
    RemoveDirectoryA(probe.c_str());
    if (!closed) {
        open_directory(root);
        GTEST_SKIP() << "the root of the test drive stays writable (running as root?)";
    }
    set_pattern("*.txt");
    convert_command();
    open_directory(root);
    EXPECT_EQ(std::vector<std::string>{"a.txt"}, converted());
    EXPECT_TRUE(notices.notices().empty()) << notices.texts()[0];
    char temporary[MAX_PATH];
    GetTempPathA(sizeof temporary, temporary);
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((std::string(temporary) + "MX*.LST").c_str(), &found);
    EXPECT_EQ(INVALID_HANDLE_VALUE, search) << "a list file was left in " << temporary;
    if (search != INVALID_HANDLE_VALUE)
        FindClose(search);
}

TEST_F(Batch, ALinkBackToAParentIsNotFollowed)
{
    write_file("a.txt", "a");
    make_dir("sub");
    write_file("sub\\b.txt", "b");
    if (!CreateSymbolicLinkA(path("sub\\loop").c_str(), dir().c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY)) {
        GTEST_SKIP() << "no directory symbolic links here (error " << GetLastError() << ")";
    }
    if (!file_exists("sub\\loop\\a.txt")) {
        RemoveDirectoryA(path("sub\\loop").c_str());
        GTEST_SKIP() << "the link made here does not lead back to its parent";
    }
    tick(IDC_RECURSIVE, true);
    set_pattern("*.txt");
    convert_command();
    std::vector<std::string> order = converted();
    std::sort(order.begin(), order.end());
    EXPECT_EQ((std::vector<std::string>{"a.txt", "sub\\b.txt"}), order);
    RemoveDirectoryA(path("sub\\loop").c_str());
}

// Makes `drive_directory` the current directory of its drive, as the
// command prompt does, and another drive current, for as long as it lives:
// "t:*.txt" then names files that are not in the current directory.
class drive_relative_place {
public:
    explicit drive_relative_place(const std::string &drive_directory)
        : variable_{'=', static_cast<char>(std::toupper(static_cast<unsigned char>(drive_directory[0]))), ':', '\0'}
    {
        std::string directory = drive_directory;
        if (directory.size() > 3 && directory.back() == '\\')
            directory.pop_back();
        SetEnvironmentVariableA(variable_, directory.c_str());
        GetCurrentDirectoryA(sizeof start_, start_);
        other_drive_ = variable_[1] != 'Z' && SetCurrentDirectoryA("Z:\\");
    }
    ~drive_relative_place()
    {
        SetCurrentDirectoryA(start_);
        SetEnvironmentVariableA(variable_, nullptr);
    }
    bool ready() const { return other_drive_; }
    // The pattern's drive prefix ("t:").
    std::string drive() const { return std::string(1, static_cast<char>(std::tolower(variable_[1]))) + ":"; }

private:
    char variable_[4];
    char start_[MAX_PATH] = "";
    bool other_drive_ = false;
};

// A directory part written with a forward slash, or as a bare drive, names
// the same directory for the search and for the conversion.
TEST_F(Batch, SlashAndDrivePatternsConvertTheFilesOfTheirDirectory)
{
    for (int mode : {0, 1}) {
        for (const char *form : {"docs/*.txt", "docs\\*.txt", "drive"}) {
            make_dir("docs");
            write_file("docs\\a.txt", "inner");
            write_file("a.txt", "outer");
            const std::string label = std::string(form) + (mode ? ", replace mode" : "");
            choose_target("Probe mark");
            tick(IDC_REPLACE, mode == 1);
            notices.clear();
            if (std::string(form) == "drive") {
                drive_relative_place place(path("docs"));
                if (!place.ready()) {
                    ADD_FAILURE() << "no other drive to stand on";
                    continue;
                }
                set_pattern((place.drive() + "*.txt").c_str());
                convert_command();
            } else {
                set_pattern(form);
                convert_command();
            }
            EXPECT_EQ(std::vector<std::string>{"docs\\a.txt"}, converted()) << label;
            EXPECT_EQ(mode ? "<INNER>" : "inner", read_file("docs\\a.txt")) << label;
            EXPECT_EQ(mode ? "" : "<INNER>", read_file("docs\\a.prb")) << label;
            EXPECT_EQ("outer", read_file("a.txt")) << label << ": the namesake in the current directory";
            EXPECT_FALSE(file_exists("a.prb")) << label;
            EXPECT_TRUE(notices.notices().empty()) << label << ": " << notices.texts()[0];
            remove_tree(path("docs\\"));
            DeleteFileA("a.txt");
        }
    }
}

// A recursive pattern that names its own directory converts each file once:
// that directory's files, then its subdirectories' with the file-name part.
TEST_F(Batch, RecursivePatternNamingItsDirectoryConvertsEachFileOnce)
{
    const std::vector<std::string> tree = {"texts\\x.txt", "texts\\one\\y.txt", "texts\\one\\deep\\w.txt",
                                           "texts\\two\\z.txt"};
    for (const char *form : {"absolute", "texts/*.txt", "drive"}) {
        for (int mode : {0, 1}) {
            for (const char *directory : {"texts", "texts\\one", "texts\\one\\deep", "texts\\two", "other"})
                make_dir(directory);
            for (const std::string &name : tree)
                write_file(name, "q");
            write_file("other\\q.txt", "q");
            const std::string label = std::string(form) + (mode ? ", replace mode" : "");
            choose_target("Probe mark");
            tick(IDC_RECURSIVE, true);
            tick(IDC_REPLACE, mode == 1);
            notices.clear();
            const std::string start = current_directory();
            if (std::string(form) == "drive") {
                drive_relative_place place(path("texts"));
                ASSERT_TRUE(place.ready()) << "no other drive to stand on";
                set_pattern((place.drive() + "*.txt").c_str());
                convert_command();
                EXPECT_EQ("Z:\\", current_directory()) << label;
            } else {
                set_pattern(std::string(form) == "absolute" ? path("texts\\*.txt").c_str() : form);
                convert_command();
            }
            EXPECT_EQ(start, current_directory()) << label;
            std::vector<std::string> order = converted();
            EXPECT_EQ("texts\\x.txt", order.empty() ? "" : order.front()) << label << ": the named directory first";
            std::vector<std::string> expected = tree;
            std::sort(order.begin(), order.end());
            std::sort(expected.begin(), expected.end());
            EXPECT_EQ(expected, order) << label;
            for (const std::string &name : tree) {
                const std::string output = name.substr(0, name.size() - 3) + "prb";
                EXPECT_EQ(mode ? "<Q>" : "q", read_file(name)) << label << ": " << name;
                EXPECT_EQ(mode ? "" : "<Q>", read_file(output)) << label << ": " << output;
            }
            EXPECT_EQ((std::vector<std::string>{"q.txt"}), dir_entries(path("other\\"))) << label;
            EXPECT_TRUE(notices.notices().empty()) << label << ": " << notices.texts()[0];
            EXPECT_TRUE(list_files_in_root().empty()) << label;
            remove_tree(path("texts\\"));
            remove_tree(path("other\\"));
        }
    }
}

// Sets the temporary folder for as long as it lives.
class temporary_folder {
public:
    explicit temporary_folder(const std::string &directory)
    {
        for (int i = 0; i < 2; ++i) {
            saved_[i].resize(MAX_PATH);
            const DWORD length = GetEnvironmentVariableA(names_[i], &saved_[i][0], MAX_PATH);
            had_[i] = length > 0 && length < MAX_PATH;
            saved_[i].resize(had_[i] ? length : 0);
            SetEnvironmentVariableA(names_[i], directory.c_str());
        }
    }
    ~temporary_folder()
    {
        for (int i = 0; i < 2; ++i)
            SetEnvironmentVariableA(names_[i], had_[i] ? saved_[i].c_str() : nullptr);
    }

private:
    const char *names_[2] = {"TMP", "TEMP"};
    std::string saved_[2];
    bool had_[2] = {false, false};
};

std::vector<std::string> list_files_in(const std::string &directory)
{
    std::vector<std::string> found;
    for (const std::string &name : dir_entries(directory))
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".LST") == 0)
            found.push_back(name);
    return found;
}

// A list that cannot be written whole converts nothing and says so; where
// the temporary folder can hold it, the batch goes on from there.
TEST_F(Batch, AFullDriveForTheListFileIsReported)
{
    SmallDrive drive;
    if (!drive.here())
        GTEST_SKIP() << drive.why_not();
    const std::string root = drive.dir().substr(0, 3);
    write_file(drive.dir() + "a.txt", "first");
    write_file(drive.dir() + "b.txt", "second");
    InsideDirectory inside(drive.dir());
    ASSERT_TRUE(inside.entered());
    set_pattern("*.txt");
    ASSERT_TRUE(drive.fill(0));
    {
        temporary_folder full(drive.dir());
        convert_command();
    }
    EXPECT_EQ(std::vector<std::string>{
                  "Unable to create the list of files to convert,\nneither in the root of the drive\nnor in the "
                  "temporary folder.\nNothing was converted."},
              notices.texts());
    EXPECT_TRUE(converted().empty());
    EXPECT_TRUE(list_files_in(root).empty());
    EXPECT_EQ((std::vector<std::string>{"a.txt", "b.txt"}), dir_entries(drive.dir()));

    notices.clear();
    convert_command();
    drive.empty();
    EXPECT_EQ(2u, converted().size()) << "the list went to the temporary folder";
    ASSERT_EQ(2u, notices.notices().size()) << "one notice for each file the full drive could not take";
    for (const std::string &text : notices.texts())
        EXPECT_EQ(0u, text.find("Unable to convert file\n")) << text;
    EXPECT_EQ("first", read_file(drive.dir() + "a.txt"));
    EXPECT_EQ("second", read_file(drive.dir() + "b.txt"));
    EXPECT_EQ((std::vector<std::string>{"a.txt", "b.txt"}), dir_entries(drive.dir()));
    EXPECT_TRUE(list_files_in(root).empty());
}

}  // namespace
