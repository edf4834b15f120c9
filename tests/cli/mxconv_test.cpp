// mxconv.exe run as a real process on real files, with the shipped
// cnvtext.dll and the test plug-ins: what it writes to disk, to its two
// output streams, and its exit status.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "morphex_version.h"
#include "tests/common/test_support.h"

namespace {

constexpr DWORD wait_ms = 120000;
constexpr DWORD exception_codes = 0xC0000000;

struct run_result {
    DWORD status;
    std::string out;
    std::string err;
};

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

bool contains(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

// Every file below `dir` with its content, for before-and-after checks.
void snapshot(const std::string &dir, const std::string &prefix, std::vector<std::string> &entries)
{
    for (const std::string &name : dir_entries(dir)) {
        const std::string full = dir + "\\" + name;
        if (dir_exists(full)) {
            entries.push_back(prefix + name + "\\");
            snapshot(full, prefix + name + "\\", entries);
        } else {
            entries.push_back(prefix + name + "=" + read_file(full));
        }
    }
}

// The batches' lists of files in the root of the test drive.
std::vector<std::string> root_list_files(const std::string &root)
{
    std::vector<std::string> found;
    WIN32_FIND_DATAA data;
    HANDLE search = FindFirstFileA((root + "MX*.LST").c_str(), &data);
    if (search != INVALID_HANDLE_VALUE) {
        do
            found.push_back(data.cFileName);
        while (FindNextFileA(search, &data));
        FindClose(search);
    }
    return found;
}

// A fresh directory with "work\" (current directory of mxconv) and
// "plugins\" (the plug-ins a test chooses).
class Mxconv : public TempDirTest {
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        make_dir("work");
        make_dir("plugins");
    }
    std::string work() const { return path("work\\"); }
    std::string plugins() const { return path("plugins"); }
    std::vector<std::string> list_files_in_root() const { return root_list_files(dir().substr(0, 3)); }
    void use_plugin(const char *plugin) { copy_test_plugin(plugin, plugins()); }

    // Runs mxconv.exe in work\ with `arguments`, reading both its output
    // streams through pipes until the process has closed them.
    // `while_running`, where given, is called with the process once it has
    // started, before its output is read.
    run_result run(const std::string &arguments, DWORD creation = CREATE_NO_WINDOW,
                   const std::function<void(HANDLE)> &while_running = nullptr)
    {
        const std::string exe = std::string(MORPHEX_BIN_DIR) + "/mxconv.exe";
        std::string command = "\"" + exe + "\" " + arguments;
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        HANDLE out_read, out_write, err_read, err_write;
        run_result result{static_cast<DWORD>(-1), "", ""};
        if (!CreatePipe(&out_read, &out_write, &inherit, 0) || !CreatePipe(&err_read, &err_write, &inherit, 0)) {
            ADD_FAILURE() << "no pipe: error " << GetLastError();
            return result;
        }
        SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);
        SetHandleInformation(err_read, HANDLE_FLAG_INHERIT, 0);
        HANDLE in = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0,
                                nullptr);
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = in;
        startup.hStdOutput = out_write;
        startup.hStdError = err_write;
        PROCESS_INFORMATION process{};
        const BOOL started = CreateProcessA(exe.c_str(), &command[0], nullptr, nullptr, TRUE, creation, nullptr,
                                            work().c_str(), &startup, &process);
        CloseHandle(in);
        CloseHandle(out_write);
        CloseHandle(err_write);
        EXPECT_TRUE(started) << "cannot start " << exe << ": error " << GetLastError();
        std::thread err_reader([&] { result.err = drain(err_read); });
        std::thread out_reader([&] { result.out = drain(out_read); });
        if (started && while_running)
            while_running(process.hProcess);
        out_reader.join();
        err_reader.join();
        CloseHandle(out_read);
        CloseHandle(err_read);
        if (started) {
            if (WaitForSingleObject(process.hProcess, wait_ms) == WAIT_TIMEOUT)
                TerminateProcess(process.hProcess, 1);
            GetExitCodeProcess(process.hProcess, &result.status);
            CloseHandle(process.hProcess);
            CloseHandle(process.hThread);
        }
        return result;
    }
    static std::string drain(HANDLE pipe)
    {
        std::string text;
        char block[4096];
        DWORD got;
        while (ReadFile(pipe, block, sizeof block, &got, nullptr) && got > 0)
            text.append(block, got);
        return text;
    }
    // The same with the plug-ins of plugins\ only.
    run_result run_with_plugins(const std::string &arguments)
    {
        return run("--plugins \"" + plugins() + "\" " + arguments);
    }
    run_result run_with_plugins_created(const std::string &arguments, DWORD creation,
                                        const std::function<void(HANDLE)> &while_running)
    {
        return run("--plugins \"" + plugins() + "\" " + arguments, creation, while_running);
    }
};

#define EXPECT_STATUS(expected, result) \
    EXPECT_EQ(static_cast<DWORD>(expected), (result).status) << "stdout:\n" << (result).out << "stderr:\n" << (result).err

TEST_F(Mxconv, ConvertsWithTheShippedPluginAndSumsUp)
{
    write_file("work\\a.txt", "Gr\xc3\xbc\xc3\x9f" "e\r\n");
    write_file("work\\b.txt", "caf\xc3\xa9\r\n");
    write_file("work\\notes.doc", "not converted");
    const run_result result = run("-f \"Text - Unicode - UTF-8\" -t \"Text - Western - Windows (1252)\" *.txt");
    EXPECT_STATUS(0, result);
    EXPECT_EQ("Gr\xfc\xdf" "e\r\n", read_file(path("work\\a_1.txt"))) << "beside its source, never over it";
    EXPECT_EQ("caf\xe9\r\n", read_file(path("work\\b_1.txt")));
    EXPECT_EQ("Gr\xc3\xbc\xc3\x9f" "e\r\n", read_file(path("work\\a.txt"))) << "the source stays";
    EXPECT_EQ((std::vector<std::string>{"2 files converted, 0 failed, characters lost in 0 files."}),
              lines_of(result.out))
        << "no progress line when the output is no console";
    EXPECT_EQ("", result.err);
}

TEST_F(Mxconv, AFormatIsNamedByAnyPartOnlyOneNameHas)
{
    write_file("work\\a.txt", "x\xc3\xa9\n");
    struct naming {
        const char *arguments;
        DWORD status;
        const char *content;              // of a_1.txt, or null when nothing is converted
        std::vector<std::string> listed;  // names offered on standard error
    } cases[] = {
        {"-f utf-8 -t \"(1252), CR LF\"", 0, "x\xe9\r\n", {}},
        {"-f \"text - unicode - utf-8\" -t \"text - western - windows (1252)\"", 0, "x\xe9\n", {}},
        {"-f UTF-8 -t utf-8", 2, nullptr,
         {"    Text - Unicode - UTF-8", "    Text - Unicode - UTF-8 with BOM", "    Text - Unicode - UTF-8, CR LF",
          "    Text - Unicode - UTF-8, LF"}},
    };
    for (const naming &c : cases) {
        SCOPED_TRACE(c.arguments);
        const run_result result = run(std::string(c.arguments) + " a.txt");
        EXPECT_STATUS(c.status, result);
        EXPECT_EQ(c.content ? c.content : "", read_file(path("work\\a_1.txt")));
        DeleteFileA(path("work\\a_1.txt").c_str());
        std::vector<std::string> listed;
        for (const std::string &line : lines_of(result.err))
            if (line.rfind("    ", 0) == 0)
                listed.push_back(line);
        EXPECT_EQ(c.listed, listed) << result.err;
    }
    const run_result ambiguous = run("-f utf-8 -t utf a.txt");
    EXPECT_TRUE(contains(ambiguous.err, "the target format \"utf\" is ambiguous")) << ambiguous.err;
    const run_result unknown = run("-f ebcdic -t utf-8 a.txt");
    EXPECT_STATUS(2, unknown);
    EXPECT_TRUE(contains(unknown.err, "unknown source format \"ebcdic\"")) << unknown.err;
    const std::vector<std::string> offered = lines_of(unknown.err);
    EXPECT_NE(offered.end(), std::find(offered.begin(), offered.end(), "    Text - Unicode - UTF-8"))
        << "every source format offered: " << unknown.err;
}

TEST_F(Mxconv, ExitStatusSaysHowTheRunWent)
{
    write_file("work\\good.txt", "fine\n");
    write_file("work\\empty.txt", "");
    const std::string formats = "-f utf-8 -t \"(1252), CR LF\" ";
    struct outcome {
        std::string arguments;
        DWORD status;
        std::string in_out;  // a line of standard output, or of standard error when it starts with "!"
    } cases[] = {
        {formats + "good.txt", 0, "1 file converted, 0 failed, characters lost in 0 files."},
        {formats + "*.txt", 1, "!File empty.txt of null length."},
        {formats + "nothing*.txt", 2, "!mxconv: no file matches nothing*.txt"},
        {formats + "missing.txt", 2, "!mxconv: no file matches missing.txt"},
        {formats + "--colour good.txt", 2, "!mxconv: unknown option --colour"},
        {"-f utf-8 good.txt", 2, "!mxconv: both a source format (-f) and a target format (-t) are needed"},
        {formats, 2, "!mxconv: no file named"},
        {"--plugins \"" + plugins() + "\" " + formats + "good.txt", 2,
         "!mxconv: no conversion plug-in (cnv*.dll) found in " + plugins()},
        {"--help", 0, "Usage: mxconv -f SOURCE -t TARGET [options] PATH..."},
        {"--version", 0, "mxconv (Morphex) " MORPHEX_VERSION_TEXT},
    };
    for (const outcome &c : cases) {
        SCOPED_TRACE(c.arguments);
        const run_result result = run(c.arguments);
        EXPECT_STATUS(c.status, result);
        const bool on_error = c.in_out[0] == '!';
        const std::vector<std::string> lines = lines_of(on_error ? result.err : result.out);
        const std::string wanted = on_error ? c.in_out.substr(1) : c.in_out;
        EXPECT_NE(lines.end(), std::find(lines.begin(), lines.end(), wanted))
            << "no line \"" << wanted << "\" in:\n" << (on_error ? result.err : result.out);
        for (const std::string &name : dir_entries(work()))
            if (name != "good.txt" && name != "empty.txt")
                DeleteFileA((work() + name).c_str());
    }
}

TEST_F(Mxconv, FormatsAreListedWithExtensionAndPlugin)
{
    use_plugin("cnvprobe.dll");
    const run_result result = run_with_plugins("--formats");
    EXPECT_STATUS(0, result);
    EXPECT_EQ((std::vector<std::string>{"Source formats:", "  Probe raw    -     cnvprobe.dll",
                                        "  Probe upper  -     cnvprobe.dll", "Target formats:",
                                        "  Probe mark  .prb  cnvprobe.dll", "  Probe text  .txt  cnvprobe.dll"}),
              lines_of(result.out));
}

TEST_F(Mxconv, TheWindowsLimitsOnPluginsApply)
{
    copy_test_plugin("cnvreg70b.dll", plugins());
    const run_result result = run_with_plugins("--formats");
    EXPECT_STATUS(2, result);
    const std::string too_many =
        "Too much conversion DLLs to load (more than 64 formats). Please move some DLLs in another directory and "
        "try again.";
    EXPECT_EQ((std::vector<std::string>{too_many, too_many, "mxconv: the plug-ins in " + plugins() + " gave no format",
                                        "Try \"mxconv --help\" for more information."}),
              lines_of(result.err))
        << "both lists of 70 refused, as in the window";
}

TEST_F(Mxconv, ADryRunNamesEachOutputAndChangesNothing)
{
    write_file("work\\a.doc", "alpha");
    write_file("work\\a.prb", "taken");
    make_dir("work\\sub");
    write_file("work\\sub\\b.doc", "beta");
    use_plugin("cnvprobe.dll");
    std::vector<std::string> before, after;
    snapshot(path("work"), "", before);
    const std::vector<std::string> lists_before = list_files_in_root();
    const run_result result = run_with_plugins("-f \"Probe upper\" -t mark -r --dry-run *.doc");
    snapshot(path("work"), "", after);
    EXPECT_STATUS(0, result);
    EXPECT_EQ(before, after);
    EXPECT_EQ(lists_before, list_files_in_root()) << "its lists of files are gone too";
    EXPECT_EQ((std::vector<std::string>{"a.doc -> a_1.prb", "sub\\b.doc -> sub\\b.prb",
                                        "2 files would be converted, 0 failed, characters lost in 0 files."}),
              lines_of(result.out));
}

TEST_F(Mxconv, TheReportHasOneRowPerFile)
{
    use_plugin("cnvlost.dll");
    write_file("work\\caf\xe9, cr\xe8me.txt", "cr\xe8me br\xfbl\xe9" "e");
    write_file("work\\plain.txt", "plain");
    write_file("work\\void.txt", "");
    const run_result result = run_with_plugins("-f lost -t ascii --report ..\\report.csv *.txt");
    EXPECT_STATUS(1, result);
    EXPECT_EQ("cr?me br?l?e", read_file(path("work\\caf\xe9, cr\xe8me.asc")));
    std::vector<std::string> rows = lines_of(read_file(path("report.csv")));
    ASSERT_FALSE(rows.empty());
    EXPECT_EQ("\xEF\xBB\xBF" "source,outcome,output,characters lost,message,found as", rows[0]) << "UTF-8 with its mark";
    rows.erase(rows.begin());
    std::sort(rows.begin(), rows.end());
    EXPECT_EQ((std::vector<std::string>{"\"caf\xc3\xa9, cr\xc3\xa8me.txt\",converted,\"caf\xc3\xa9, cr\xc3\xa8me.asc\",3,,",
                                        "plain.txt,converted,plain.asc,0,,",
                                        "void.txt,failed,,0,File void.txt of null length.,"}),
              rows);
    EXPECT_TRUE(contains(result.out, "2 files converted, 1 failed, characters lost in 1 file.")) << result.out;
}

// A refusal's reason follows the notice's text on its one line, on standard
// error and in the report alike; a plug-in without _DLL_reason gives the
// notice alone, as before.
TEST_F(Mxconv, ARefusalCarriesThePluginsReason)
{
    use_plugin("cnvreason.dll");
    use_plugin("cnvnoreason.dll");
    const std::string wrong = " doesn't have the format you selected.";
    const std::string empty = " of null length.";
    struct refusal {
        const char *file;
        const char *input;
        std::string with_reason;     // from cnvreason.dll, on standard error and in the report
        std::string without_reason;  // from cnvnoreason.dll
    } cases[] = {
        {"a.txt", "-1 plain", "File a.txt" + wrong + " The table in line 12 has no end.", "File a.txt" + wrong},
        {"b.txt", "-2 lines", "File b.txt" + empty + " First line second line third line", "File b.txt" + empty},
        {"c.txt", "-1 long", "File c.txt" + wrong + " Limit met: " + std::string(198 - 11, 'x'), "File c.txt" + wrong},
        {"d.txt", "-1 accents", "File d.txt" + wrong + " Caf\xC3\xA9: \xE2\x82\xAC sign", "File d.txt" + wrong},
        {"e.txt", "-1 crash", "File e.txt" + wrong, "File e.txt" + wrong},
        {"f.txt", "-2 null", "File f.txt" + empty, "File f.txt" + empty},
    };
    for (const refusal &c : cases)
        write_file(std::string("work\\") + c.file, c.input);
    for (const bool said : {true, false}) {
        const std::string plugin = said ? "Reason" : "Quiet";
        const run_result result = run_with_plugins("-f \"" + plugin + " read\" -t \"" + plugin +
                                                   " keep\" -q --report ..\\report.csv *.txt");
        EXPECT_STATUS(1, result);
        const std::vector<std::string> lines = lines_of(result.err);
        const std::vector<std::string> rows = lines_of(read_file(path("report.csv")));
        for (const refusal &c : cases) {
            const std::string &line = said ? c.with_reason : c.without_reason;
            EXPECT_NE(lines.end(), std::find(lines.begin(), lines.end(), line))
                << plugin << ", " << c.input << ": no line \"" << line << "\" in:\n" << result.err;
            const std::string row = std::string(c.file) + ",failed,,0," + line + ",";
            EXPECT_NE(rows.end(), std::find(rows.begin(), rows.end(), row))
                << plugin << ", " << c.input << ": no row \"" << row << "\" in:\n" << read_file(path("report.csv"));
        }
    }
}

// The plug-ins shipped beside mxconv say why they refuse a file.
TEST_F(Mxconv, TheShippedPluginsSayWhy)
{
    write_file("work\\picture.md", std::string("\x89PNG\r\n\x1A\n\0\0\0\rIHDR", 16));
    write_file("work\\broken.txt", "caf\xC3\x28 au lait");
    const struct {
        const char *arguments, *line;
    } cases[] = {
        {"-f \"Document - Markdown\" -t \"Document - HTML\" *.md",
         "File picture.md doesn't have the format you selected. It is not Markdown: byte 8 is a NUL, which binary "
         "files hold and text never does. It begins with 89 50 4E 47 0D 0A 1A 0A ..."},
        {"-f utf-8 -t \"UTF-16\" *.txt",
         "File broken.txt doesn't have the format you selected. At byte 3 (C3 28 20 61): not a character in utf-8."},
    };
    for (const auto &c : cases) {
        const run_result result = run(std::string("-q ") + c.arguments);
        EXPECT_STATUS(1, result);
        EXPECT_EQ(c.line, lines_of(result.err).at(0)) << c.arguments << ":\n" << result.err;
    }
}

// One batch over a folder of documents of every kind, some under a name
// that lies: each is read as what it is, converted as its own source format
// converts it, and the report says what each was taken for; what is no
// document is refused with what it looks like.
TEST_F(Mxconv, AnyDocumentIsReadAsWhatItIs)
{
    const std::string rtf = read_file(MORPHEX_SAMPLES_DIR "\\letter.rtf");
    const std::string html = read_file(MORPHEX_SAMPLES_DIR "\\page.html");
    const std::string docx = read_file(MORPHEX_OFFICE_SAMPLES "\\word-hyperlinks.docx");
    const std::string doc = read_file(MORPHEX_OFFICE_SAMPLES "\\word97-tika-various.doc");
    const std::string odt = read_file(MORPHEX_OFFICE_SAMPLES "\\odt-pandoc-features.odt");
    ASSERT_FALSE(rtf.empty() || html.empty() || docx.empty() || doc.empty() || odt.empty()) << "no samples";
    const struct {
        const char *name;
        std::string content;
        const char *own_format;  // converted alone with it, for the output it must give; null: refused
        const char *found_or_reason;
    } cases[] = {
        {"letter.rtf", rtf, "Document - RTF", "RTF"},
        {"saved-by-word.doc", rtf, "Document - RTF", "RTF"},
        {"page.htm", html, "Document - HTML", "HTML"},
        {"web-app.doc", html, "Document - HTML", "HTML"},
        {"notes.txt", "Plain *text*, not Markdown\nsecond line\n\nnext paragraph\n", nullptr, "Text (UTF-8)"},
        {"picture.doc", std::string("\x89PNG\r\n\x1A\n\0\0\0\rIHDR", 16), nullptr,
         "It is not a document: it is a PNG image."},
        {"paper.doc", "%PDF-1.4\n", nullptr, "It is not a document: it is a PDF document."},
        {"report.docx", docx, "Document - Word (DOCX)", "Word (DOCX)"},
        {"minutes.doc", doc, "Document - Word 97-2003 (DOC)", "Word 97-2003 (DOC)"},
        {"brochure.odt", odt, "Document - OpenDocument Text (ODT)", "OpenDocument Text (ODT)"},
        {"cut-short.docx", std::string("PK\x03\x04", 4) + std::string(26, '\0') + "word/document.xml", nullptr,
         "It is not a Word document (.docx): it is no ZIP package, or it is cut short"},
    };
    make_dir("own");
    for (const auto &c : cases) {
        write_file(std::string("work\\") + c.name, c.content);
        if (c.own_format) {
            write_file(std::string("own\\") + c.name, c.content);
            EXPECT_STATUS(0, run(std::string("-q -f \"") + c.own_format + "\" -t \"Document - HTML\" ..\\own\\" + c.name));
        }
    }
    run("-q -f \"Any (detected)\" -t \"Document - HTML\" --report ..\\report.csv *");
    const std::string report = read_file(path("report.csv"));
    for (const auto &c : cases) {
        const std::string stem = std::string(c.name).substr(0, std::string(c.name).find('.'));
        if (c.own_format) {
            const std::string own = read_file(path("own\\" + stem + ".html"));
            EXPECT_FALSE(own.empty()) << c.name << " alone gave nothing";
            EXPECT_EQ(own, read_file(path("work\\" + stem + ".html"))) << c.name;
        }
        EXPECT_TRUE(contains(report, std::string(c.name) + ",")) << c.name << " not in:\n" << report;
        EXPECT_TRUE(contains(report, c.found_or_reason)) << c.name << ": no \"" << c.found_or_reason << "\" in:\n"
                                                        << report;
    }
    EXPECT_TRUE(contains(read_file(path("work\\notes.html")), "Plain *text*, not Markdown<br>"))
        << "plain text is not Markdown:\n" << read_file(path("work\\notes.html"));
}

TEST_F(Mxconv, ReplaceModeKeepsNameAndDate)
{
    use_plugin("cnvprobe.dll");
    write_file("work\\old.txt", "old words");
    set_last_write(path("work\\old.txt"), 2001);
    const FILETIME before = last_write(path("work\\old.txt"));
    const run_result result = run_with_plugins("-f upper -t \"Probe text\" --replace old.txt");
    EXPECT_STATUS(0, result);
    EXPECT_EQ("OLD WORDS", read_file(path("work\\old.txt")));
    const FILETIME now = last_write(path("work\\old.txt"));
    const ULONGLONG a = (static_cast<ULONGLONG>(before.dwHighDateTime) << 32) | before.dwLowDateTime;
    const ULONGLONG b = (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    EXPECT_LE((a > b ? a - b : b - a), 20000000ull) << "date kept to two seconds";
    EXPECT_EQ(std::vector<std::string>{"old.txt"}, dir_entries(work())) << "nothing left beside it";
}

TEST_F(Mxconv, RecursionWalksTheDirectoryThePathNames)
{
    use_plugin("cnvprobe.dll");
    make_dir("work\\docs");
    make_dir("work\\docs\\deep");
    make_dir("work\\other");
    write_file("work\\docs\\a.txt", "a");
    write_file("work\\docs\\deep\\b.txt", "b");
    write_file("work\\docs\\deep\\skip.doc", "c");
    write_file("work\\other\\c.txt", "c");
    run_result result = run_with_plugins("-f upper -t mark -r docs\\*.txt");
    EXPECT_STATUS(0, result);
    EXPECT_EQ("<A>", read_file(path("work\\docs\\a.prb")));
    EXPECT_EQ("<B>", read_file(path("work\\docs\\deep\\b.prb")));
    EXPECT_FALSE(file_exists(path("work\\docs\\deep\\skip.prb")));
    EXPECT_FALSE(file_exists(path("work\\other\\c.prb"))) << "only below docs";

    result = run_with_plugins("-f upper -t mark other");
    EXPECT_STATUS(0, result);
    EXPECT_EQ("<C>", read_file(path("work\\other\\c.prb"))) << "a directory stands for all its files";
    EXPECT_TRUE(contains(result.out, "1 file converted")) << result.out;
}

TEST_F(Mxconv, AConverterFaultFailsThatFileAndTheBatchGoesOn)
{
    use_plugin("cnvfault.dll");
    write_file("work\\1-bad.txt", "abc fault:av");
    write_file("work\\2-good.txt", "fine");
    const run_result result = run_with_plugins("-f \"plain read\" -t \"fault write\" -q *.txt");
    EXPECT_STATUS(1, result);
    EXPECT_EQ("<fine>", read_file(path("work\\2-good.flt"))) << "the batch went on";
    EXPECT_FALSE(file_exists(path("work\\1-bad.flt")));
    EXPECT_EQ("abc fault:av", read_file(path("work\\1-bad.txt")));
    EXPECT_TRUE(contains(result.err, "0xC0000005")) << result.err;
    EXPECT_EQ("", result.out) << "-q: no summary";
}

// One tree of sources for the runs with several jobs: name clashes (three
// stems x, a name already taken, a source whose output name is its own),
// a subdirectory, and files that fail by a refusal and by a fault.
struct tree_file {
    std::string name;
    std::string content;
};

std::vector<tree_file> jobs_tree()
{
    std::vector<tree_file> tree = {
        {"x.txt", "ex \xe9t\xe9"}, {"x.md", "fault:av"}, {"x.doc", "ex doc \xe0"}, {"x.flt", "taken"},
        {"y.asc", "why \xff"},     {"empty.txt", ""},    {"sub\\x.txt", "deep \xe9"}, {"sub\\z.txt", "fault:div"},
    };
    for (int i = 0; i < 12; ++i)
        tree.push_back({std::string(i < 6 ? "" : "sub\\") + "n" + std::to_string(i) + ".txt",
                        std::string(static_cast<std::size_t>(i), '\xe9') + " n"});
    return tree;
}

// The same tree converted with -j 1 and with -j 4 gives the same files byte
// for byte, the same report, the same lines and the same exit status.
TEST_F(Mxconv, ManyJobsGiveWhatOneJobGives)
{
    use_plugin("cnvlost.dll");
    use_plugin("cnvfault.dll");
    const struct {
        const char *arguments;
        DWORD status;
    } cases[] = {
        {"-f lost -t ascii -r", 1},
        {"-f \"plain read\" -t \"fault write\" -r", 1},
        {"-f \"fault read\" -t \"fault write\" -r --replace", 1},
        {"-f lost -t ascii -r --dry-run", 0},
    };
    for (const auto &c : cases) {
        std::vector<std::string> trees[2], reports[2];
        run_result results[2];
        for (int run_index = 0; run_index < 2; ++run_index) {
            remove_tree(work());
            make_dir("work");
            make_dir("work\\sub");
            for (const tree_file &file : jobs_tree())
                write_file("work\\" + file.name, file.content);
            const std::string jobs = run_index == 0 ? "-j 1 " : "--jobs=4 ";
            results[run_index] = run_with_plugins(jobs + c.arguments + " --report ..\\report.csv *.*");
            snapshot(path("work"), "", trees[run_index]);
            reports[run_index] = lines_of(read_file(path("report.csv")));
        }
        SCOPED_TRACE(c.arguments);
        EXPECT_STATUS(c.status, results[0]);
        EXPECT_EQ(results[0].status, results[1].status) << results[1].err;
        EXPECT_EQ(trees[0], trees[1]) << "the files, -j 1 first";
        EXPECT_EQ(reports[0], reports[1]) << "the report, -j 1 first";
        EXPECT_EQ(results[0].err, results[1].err) << "standard error, -j 1 first";
        EXPECT_EQ(results[0].out, results[1].out) << "standard output, -j 1 first";
        EXPECT_EQ(1 + jobs_tree().size(), reports[0].size()) << "a row per source:\n" << read_file(path("report.csv"));
        for (const std::string &entry : trees[1])
            EXPECT_TRUE(entry.find(".tmp=") == std::string::npos && entry.find(".~mx=") == std::string::npos)
                << "no work or temporary file left: " << entry;
    }
}

// Three sources of one stem and a taken name: the outputs take x.flt's
// next names in the order the files are listed, as one job gives them.
TEST_F(Mxconv, ClashingNamesAreChosenInTheOrderOfTheFiles)
{
    use_plugin("cnvfault.dll");
    write_file("work\\x.txt", "one");
    write_file("work\\x.md", "two");
    write_file("work\\x.doc", "three");
    write_file("work\\x.flt", "taken");
    const run_result result = run_with_plugins("-j 4 -f \"plain read\" -t \"fault write\" --report ..\\r.csv x.txt "
                                               "x.md x.doc");
    EXPECT_STATUS(0, result);
    const struct {
        const char *source, *output, *content;
    } cases[] = {{"x.txt", "x_1.flt", "<one>"}, {"x.md", "x_2.flt", "<two>"}, {"x.doc", "x_3.flt", "<three>"}};
    const std::vector<std::string> rows = lines_of(read_file(path("r.csv")));
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(cases[i].content, read_file(path("work\\") + cases[i].output)) << cases[i].source;
        EXPECT_EQ(std::string(cases[i].source) + ",converted," + cases[i].output + ",0,,", rows.at(i + 1))
            << "row " << i + 1 << " in file order";
    }
}

// A plug-in without _DLL_threads is never entered by two threads at once,
// while one with it is (its calls wait for company).
TEST_F(Mxconv, APluginNotWrittenForThreadsIsEnteredByOneAtATime)
{
    for (int i = 0; i < 6; ++i)
        write_file("work\\c" + std::to_string(i) + ".txt", "c");
    const struct {
        const char *plugin;
        const char *each;  // every output when the plug-in is entered alone
        bool alone;
    } cases[] = {{"cnvcount.dll", "c callers 1", true}, {"cnvcountmt.dll", "c callers 2", false}};
    for (const auto &c : cases) {
        remove_tree(plugins());
        make_dir("plugins");
        use_plugin(c.plugin);
        const run_result result = run_with_plugins("-j 4 -f \"count read\" -t \"count write\" -q c*.txt");
        EXPECT_STATUS(0, result);
        int together = 0;
        for (int i = 0; i < 6; ++i) {
            const std::string output = path("work\\c" + std::to_string(i) + ".cnt");
            const std::string content = read_file(output);
            if (c.alone) {
                EXPECT_EQ(c.each, content) << c.plugin << ": " << output;
            }
            together += content == "c callers 2";
            DeleteFileA(output.c_str());
        }
        if (!c.alone) {
            EXPECT_GT(together, 0) << c.plugin << ": two calls meet when the plug-in allows it";
        }
    }
}

TEST_F(Mxconv, TheNumberOfJobsIsAWholeNumberFromOneTo64)
{
    write_file("work\\a.txt", "a");
    const struct {
        const char *option;
        DWORD status;
    } cases[] = {{"-j 1", 0}, {"-j 64", 0}, {"--jobs 3", 0}, {"-j 0", 2}, {"-j 65", 2}, {"--jobs=x", 2}, {"-j", 2}};
    for (const auto &c : cases) {
        const run_result result = run(std::string("-f utf-8 -t \"(1252), CR LF\" a.txt ") + c.option);
        EXPECT_STATUS(c.status, result) << c.option;
        if (c.status == 2) {
            EXPECT_TRUE(contains(result.err, "option -j") || contains(result.err, "option --jobs"))
                << c.option << ": " << result.err;
        }
        DeleteFileA(path("work\\a_1.txt").c_str());
    }
}

// Ctrl+C while several files are under way: they finish and take their
// names, no other begins, and nothing partial is left, neither an output
// nor a work file.  cnvcount.dll, entered by one thread at a time, spends a
// while on each file, so the break comes with most files still to do.
TEST_F(Mxconv, CtrlCFinishesTheFilesUnderWayAndLeavesNothingPartial)
{
    use_plugin("cnvcount.dll");
    constexpr int files = 24;
    for (int i = 0; i < files; ++i)
        write_file("work\\c" + std::to_string(i) + ".txt", "c");
    bool sent = false, ended_first = false;
    DWORD send_error = 0;
    const run_result result = run_with_plugins_created(
        "-j 4 -f \"count read\" -t \"count write\" --report ..\\report.csv c*.txt", CREATE_NEW_CONSOLE,
        [&](HANDLE process) {
            // The break once the first output has its name.
            DWORD waited;
            while ((waited = WaitForSingleObject(process, 10)) == WAIT_TIMEOUT && dir_entries(work()).size() <= files) {
            }
            ended_first = waited == WAIT_OBJECT_0;
            FreeConsole();
            if (AttachConsole(GetProcessId(process))) {
                SetConsoleCtrlHandler(nullptr, TRUE);
                sent = GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0) != 0;
                send_error = GetLastError();
                FreeConsole();
            } else {
                send_error = GetLastError();
            }
        });
    ASSERT_FALSE(ended_first) << "mxconv ended before any file was under way:\n" << result.err;
    if (!sent)
        GTEST_SKIP() << "no Ctrl+C could be sent to mxconv's console here (error " << send_error << ")";
    EXPECT_STATUS(1, result);
    EXPECT_TRUE(contains(result.err, "mxconv: stopped by Ctrl+C before the end")) << result.err;
    int converted = 0;
    for (const std::string &name : dir_entries(work())) {
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".cnt") == 0) {
            EXPECT_EQ("c callers 1", read_file(work() + name)) << name << ": whole";
            ++converted;
        } else {
            EXPECT_TRUE(name.size() > 4 && name.compare(name.size() - 4, 4, ".txt") == 0)
                << name << ": no temporary or work file is left";
        }
    }
    EXPECT_LT(converted, files) << "no file is begun after the break";
    EXPECT_EQ(static_cast<std::size_t>(converted) + 1, lines_of(read_file(path("report.csv"))).size())
        << "a row for each file begun, all converted:\n" << read_file(path("report.csv"));
}

}  // namespace
