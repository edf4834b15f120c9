// cnvtext.dll, the shipped plain-text plug-in: its code pages against the
// system's, exact round trips, conversions of real samples, and refusals.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "convert/convert_file.h"
#include "plugins/morphex_plugin.h"
#include "plugins/plugin_ids.h"
#include "plugins/registry.h"
#include "tests/common/test_support.h"

namespace {

struct plugin_formats {
    HMODULE module = nullptr;
    std::vector<format_entry> sources;
    std::vector<format_entry> targets;
};

const plugin_formats &cnvtext()
{
    static plugin_formats formats = [] {
        plugin_formats f;
        f.module = LoadLibraryA(MORPHEX_BIN_DIR "/cnvtext.dll");
        auto enumerate = f.module ? plugin_function<dll_enum_fn>(f.module, PLUGIN_ENUM_EXPORT) : nullptr;
        if (enumerate) {
            std::vector<format_entry> area(256);
            f.sources.assign(area.begin(), area.begin() + enumerate(area.data(), FORMAT_LIST_SOURCE, 1));
            f.targets.assign(area.begin(), area.begin() + enumerate(area.data(), FORMAT_LIST_TARGET, 1));
        }
        return f;
    }();
    return formats;
}

convert_fn find(const std::vector<format_entry> &list, const std::string &name)
{
    for (const format_entry &entry : list)
        if (name == entry.name)
            return entry.converter;
    return nullptr;
}

std::string sample(const std::string &name)
{
    return read_file(std::string(MORPHEX_SAMPLES_DIR) + "/" + name);
}

class Cnvtext : public TempDirTest {
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        ASSERT_NE(nullptr, cnvtext().module) << "cannot load " MORPHEX_BIN_DIR "/cnvtext.dll";
    }

    // Runs one converter on real streams, as the host opens them.
    int run(convert_fn converter, const std::string &input, std::string &output)
    {
        if (!converter) {
            ADD_FAILURE() << "no such format";
            return -99;
        }
        write_file("in.bin", input);
        FILE *in = std::fopen("in.bin", "r+b");
        FILE *out = std::fopen("out.bin", "w+b");
        const int result = converter(in, out);
        std::fclose(in);
        std::fclose(out);
        output = read_file("out.bin");
        return result;
    }

    // Source format, then target format, through an intermediate.
    std::string convert(const std::string &source, const std::string &target, const std::string &input)
    {
        std::string intermediate, output;
        EXPECT_EQ(0, run(find(cnvtext().sources, source), input, intermediate)) << source;
        EXPECT_EQ(0, run(find(cnvtext().targets, target), intermediate, output)) << target;
        return output;
    }
};

std::string hex(const std::string &bytes)
{
    std::string out;
    char pair[4];
    for (unsigned char c : bytes) {
        std::snprintf(pair, sizeof pair, "%02X ", c);
        out += pair;
    }
    return out;
}

TEST_F(Cnvtext, FormatsFitTheirFields)
{
    ASSERT_EQ(32u, cnvtext().sources.size());
    ASSERT_EQ(41u, cnvtext().targets.size());
    for (const std::vector<format_entry> *list : {&cnvtext().sources, &cnvtext().targets})
        for (const format_entry &entry : *list) {
            EXPECT_LT(strnlen(entry.name, sizeof entry.name), sizeof entry.name);
            EXPECT_STREQ("txt", entry.ext) << entry.name;
            EXPECT_NE(nullptr, entry.converter) << entry.name;
        }
}

struct code_page_case {
    const char *format;
    UINT code_page;
};
const code_page_case eight_bit_pages[] = {
    {"Text - Western - Windows (1252)", 1252},
    {"Text - Western - DOS (437)", 437},
    {"Text - Western - DOS multilingual (850)", 850},
    {"Text - Western - ISO 8859-1", 28591},
};

// Each byte read alone, against the system's own conversion.
TEST_F(Cnvtext, CodePagesAgreeWithTheSystem)
{
    for (const code_page_case &page : eight_bit_pages) {
        for (int byte = 1; byte < 256; ++byte) {
            const char input[2] = {static_cast<char>(byte), 0};
            std::string intermediate;
            ASSERT_EQ(0, run(find(cnvtext().sources, page.format), input, intermediate)) << page.format;
            const std::string body = intermediate.substr(intermediate.find('\n') + 1);
            wchar_t read_back[4] = {};
            MultiByteToWideChar(CP_UTF8, 0, body.data(), static_cast<int>(body.size()), read_back, 4);
            wchar_t expected[2] = {};
            MultiByteToWideChar(page.code_page, 0, input, 1, expected, 2);
            if (byte == 0x1B) {
                EXPECT_EQ(std::wstring(L"\x1B\x1B"), std::wstring(read_back)) << "ESC is doubled";
                continue;
            }
            if (byte == '\r' || byte == '\n')
                continue;  // line ends are the header's business
            EXPECT_EQ(static_cast<unsigned>(expected[0]), static_cast<unsigned>(read_back[0]))
                << page.format << ", byte 0x" << std::hex << byte;
        }
    }
}

TEST_F(Cnvtext, EveryByteOfEachCodePageComesBackUnchanged)
{
    std::string every_byte;
    for (int byte = 1; byte < 256; ++byte)
        every_byte += static_cast<char>(byte);
    for (const code_page_case &page : eight_bit_pages) {
        const std::string back = convert(page.format, page.format, every_byte + "\r\nline\r\nend");
        EXPECT_EQ(hex(every_byte + "\r\nline\r\nend"), hex(back)) << page.format;
        const std::string crlf = "one\r\ntwo\r\n";
        EXPECT_EQ(crlf, convert(page.format, page.format, crlf)) << page.format;
    }
}

TEST_F(Cnvtext, UnicodeTextsComeBackUnchanged)
{
    std::wstring all;
    for (const code_page_case &page : eight_bit_pages)
        for (int byte = 1; byte < 256; ++byte) {
            const char c = static_cast<char>(byte);
            wchar_t w = 0;
            MultiByteToWideChar(page.code_page, 0, &c, 1, &w, 1);
            all += w;
        }
    all += L"\xD83D\xDE00 \xD834\xDD1E \x4E2D\x6587 \x1B\n";
    char utf8[8192];
    const int length = WideCharToMultiByte(CP_UTF8, 0, all.data(), static_cast<int>(all.size()), utf8, sizeof utf8,
                                           nullptr, nullptr);
    const std::string text(utf8, length);
    EXPECT_EQ(hex(text), hex(convert("Text - Unicode - UTF-8", "Text - Unicode - UTF-8", text)));
    EXPECT_EQ(hex("\xEF\xBB\xBF" + text), hex(convert("Text - Unicode - UTF-8", "Text - Unicode - UTF-8", "\xEF\xBB\xBF" + text)));
    const std::string utf16 = convert("Text - Unicode - UTF-8", "Text - Unicode - UTF-16", text);
    const std::string expected_utf16 =
        std::string("\xFF\xFE", 2) + std::string(reinterpret_cast<const char *>(all.data()), all.size() * 2);
    EXPECT_EQ(hex(expected_utf16), hex(utf16));
    EXPECT_EQ(hex(text), hex(convert("Text - Unicode - UTF-16", "Text - Unicode - UTF-8", utf16)));
}

TEST_F(Cnvtext, SamplesConvertAcrossEncodings)
{
    struct sample_case {
        const char *input;
        const char *source;
        const char *target;
        const char *expected;
    } cases[] = {
        {"german-1252-crlf.txt", "Text - Western - Windows (1252)", "Text - Unicode - UTF-8, LF", "german-utf8-lf.expected"},
        {"french-850-crlf.txt", "Text - Western - DOS multilingual (850)", "Text - Western - Windows (1252)",
         "french-1252-crlf.expected"},
        {"russian-utf8-crlf.txt", "Text - Unicode - UTF-8", "Text - Unicode - UTF-16", "russian-utf16.expected"},
        {"russian-utf8-crlf.txt", "Text - Unicode - UTF-8", "Text - Western - Windows (1252), CR LF",
         "russian-1252-crlf.expected"},
    };
    for (const sample_case &c : cases) {
        const std::string input = sample(c.input);
        ASSERT_FALSE(input.empty()) << c.input;
        EXPECT_EQ(hex(sample(c.expected)), hex(convert(c.source, c.target, input)))
            << c.input << " from " << c.source << " to " << c.target;
    }
}

TEST_F(Cnvtext, MissingLettersLoseTheirAccentOrBecomeAQuestionMark)
{
    EXPECT_EQ("Dvor\xE1k \x84 ?\n", convert("Text - Unicode - UTF-8", "Text - Western - Windows (1252)",
                                           "Dvo\xC5\x99\xC3\xA1k \xE2\x80\x9E \xE4\xB8\xAD\n"));
    EXPECT_EQ("L\xA2" "dz\r\n", convert("Text - Unicode - UTF-8", "Text - Western - DOS (437), CR LF", "\xC5\x81\xC3\xB3\xC4\x91\xC5\xBA\n"))
        << "\xC3\xB3 is in code page 437, the others lose their accent";
}

TEST_F(Cnvtext, ReadersRefuseWhatIsNotTheirFormat)
{
    struct refusal {
        const char *format;
        std::string input;
        int expected;
    } cases[] = {
        {"Text - Unicode - UTF-8", "abc\xC3\x28", CONVERT_WRONG_FORMAT},
        {"Text - Unicode - UTF-8", "\xED\xA0\x80", CONVERT_WRONG_FORMAT},       // a surrogate
        {"Text - Unicode - UTF-8", "\xC0\xAF", CONVERT_WRONG_FORMAT},           // overlong
        {"Text - Western - Windows (1252)", std::string("MZ\x90\0\x03", 5), CONVERT_WRONG_FORMAT},
        {"Text - Unicode - UTF-16", "ab", CONVERT_WRONG_FORMAT},                // no byte order mark
        {"Text - Unicode - UTF-16", std::string("\xFF\xFE\x3D\xD8", 4), CONVERT_WRONG_FORMAT},  // lone surrogate
        {"Text - Unicode - UTF-8", "", CONVERT_EMPTY_INPUT},
        {"Text - Western - DOS (437)", "", CONVERT_EMPTY_INPUT},
        {"Text - Unicode - UTF-8", "\xEF\xBB\xBF", CONVERT_EMPTY_INPUT},
    };
    for (const refusal &c : cases) {
        std::string output;
        EXPECT_EQ(c.expected, run(find(cnvtext().sources, c.format), c.input, output))
            << c.format << " on " << hex(c.input);
    }
}

TEST_F(Cnvtext, TheHostReportsRefusals)
{
    NoticeRecorder notices;
    if (!source_path) {
        ASSERT_TRUE(alloc_path_buffers());
    }
    write_file("binary.dat", std::string("MZ\0\0", 4));
    write_file("empty.txt", "");
    write_file("good.txt", "Gr\xFC\xDF" "e\r\n");
    const convert_fn reader = find(cnvtext().sources, "Text - Western - Windows (1252)");
    const convert_fn writer = find(cnvtext().targets, "Text - Unicode - UTF-8, LF");
    convert_file("binary.dat", "txt", reader, writer);
    convert_file("empty.txt", "txt", reader, writer);
    convert_file("good.txt", "txt", reader, writer);
    EXPECT_EQ((std::vector<std::string>{"File binary.dat doesn't have the format you selected.",
                                        "File empty.txt of null length."}),
              notices.texts());
    EXPECT_EQ("Gr\xC3\xBC\xC3\x9F" "e\n", read_file("good_1.txt"));
}

// The SDK's example, found and loaded as any plug-in is, and run by the host.
TEST_F(Cnvtext, SdkExampleWorksInTheHost)
{
    copy_test_plugin("cnvexample.dll", dir());
    MainDialog main;
    NoticeRecorder notices;
    std::memset(source_formats, 0, sizeof source_formats);
    std::memset(target_formats, 0, sizeof target_formats);
    load_plugins(main.hwnd());
    EXPECT_EQ(std::vector<std::string>{"Example - reversed lines"}, combo_items(main.item(IDC_SOURCE_FORMAT)));
    EXPECT_EQ(std::vector<std::string>{"Example - plain text"}, combo_items(main.item(IDC_TARGET_FORMAT)));
    if (!source_path) {
        ASSERT_TRUE(alloc_path_buffers());
    }
    write_file("lines.doc", "abc\r\nhello\n");
    convert_file("lines.doc", target_formats[0].ext, source_formats[0].converter, target_formats[0].converter);
    EXPECT_EQ("cba\nolleh\n", read_file("lines.txt"));
    EXPECT_TRUE(notices.notices().empty());
    std::memset(source_formats, 0, sizeof source_formats);
    std::memset(target_formats, 0, sizeof target_formats);
    FreeLibrary(GetModuleHandleA(path("cnvexample.dll").c_str()));
}

}  // namespace
