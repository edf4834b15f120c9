// cnvtext.dll, the shipped plain-text plug-in: its code pages against the
// system's, exact round trips, conversions of real samples, and refusals.
#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <algorithm>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "convert/convert_file.h"
#include "plugins/morphex_plugin.h"
#include "plugins/plugin_ids.h"
#include "plugins/registry.h"
#include "tests/common/test_support.h"
#include "tests/shipped/shipped_plugin.h"

using namespace std::string_literals;

namespace {

const plugin_formats &cnvtext()
{
    static plugin_formats formats = load_formats(MORPHEX_BIN_DIR "/cnvtext.dll");
    return formats;
}

// The same source built with blocks of 3 bytes.
const plugin_formats &cnvtext_small_blocks()
{
    static plugin_formats formats = load_formats(MORPHEX_TEST_PLUGIN_DIR "/cnvsmall.dll");
    return formats;
}

convert_fn find(const std::vector<format_entry> &list, const std::string &name)
{
    return find_converter(list, name);
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

    int run(convert_fn converter, const std::string &input, std::string &output)
    {
        return run_converter(converter, input, output);
    }

    // Source format, then target format, through an intermediate.
    std::string convert(const std::string &source, const std::string &target, const std::string &input,
                        const plugin_formats &plugin = cnvtext())
    {
        std::string intermediate, output;
        EXPECT_EQ(0, run(find(plugin.sources, source), input, intermediate)) << source;
        EXPECT_EQ(0, run(find(plugin.targets, target), intermediate, output)) << target;
        return output;
    }

    std::string convert_intermediate(const std::string &target, const std::string &intermediate)
    {
        std::string output;
        EXPECT_EQ(0, run(find(cnvtext().targets, target), intermediate, output)) << target;
        return output;
    }

    static int lost()
    {
        auto count = plugin_function<dll_lost_fn>(cnvtext().module, PLUGIN_LOST_EXPORT);
        return count ? count() : -99;
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
    ASSERT_EQ(40u, cnvtext().sources.size());
    ASSERT_EQ(49u, cnvtext().targets.size());
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
    // pages Python has no codec for: the system is the reference
    {"Text - Arabic - Mac", 10004},
    {"Text - Hebrew - Mac", 10005},
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
            // a byte whose character an earlier byte has too stands for itself, so that it comes back
            if (page.code_page == 10005 && byte == 0xDE)
                expected[0] = 0xF700 + byte;
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

// Code points of a UTF-8 text (U+FFFD for what is not UTF-8).
std::vector<uint32_t> code_points(const std::string &utf8)
{
    std::vector<uint32_t> out;
    for (std::size_t i = 0; i < utf8.size();) {
        const unsigned char b = utf8[i];
        const int length = b < 0x80 ? 1 : b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 0;
        if (length == 0 || i + length > utf8.size()) {
            out.push_back(0xFFFD);
            ++i;
            continue;
        }
        uint32_t c = length == 1 ? b : b & (0x7F >> length);
        for (int k = 1; k < length; ++k)
            c = c << 6 | (utf8[i + k] & 0x3F);
        out.push_back(c);
        i += length;
    }
    return out;
}

std::string body_of(const std::string &intermediate)
{
    return intermediate.substr(intermediate.find('\n') + 1);
}

std::string header_of(const std::string &intermediate)
{
    return intermediate.substr(0, intermediate.find('\n'));
}

std::string from_hex(const std::string &hex_text)
{
    std::string bytes;
    for (std::size_t i = 0; i + 1 < hex_text.size(); i += 2)
        bytes += static_cast<char>(std::stoi(hex_text.substr(i, 2), nullptr, 16));
    return bytes;
}

struct reference_sequence {
    std::string bytes;
    uint32_t code_point;
    std::string encoded;
};

// Every sequence of a code page as Python's codecs read and write it, made
// at build time by code_page_reference.py.
std::vector<reference_sequence> reference(const std::string &codec)
{
    std::vector<reference_sequence> sequences;
    std::istringstream lines(read_file(std::string(MORPHEX_CODE_PAGES_DIR) + "/" + codec + ".txt"));
    std::string bytes, code_point, encoded;
    while (lines >> bytes >> code_point >> encoded)
        sequences.push_back({from_hex(bytes), static_cast<uint32_t>(std::stoul(code_point, nullptr, 16)),
                             from_hex(encoded)});
    return sequences;
}

// Each code page reads every sequence it defines as Python's codec does,
// writes each character back as the codec does, and an eight-bit page gives
// back every byte unchanged, the undefined ones too.
TEST_F(Cnvtext, EveryCodePageMapsAsPythonsCodecs)
{
    const struct {
        const char *format;
        const char *codec;
    } pages[] = {
        {"Text - Central European - Windows (1250)", "cp1250"}, {"Text - Cyrillic - Windows (1251)", "cp1251"},
        {"Text - Western - Windows (1252)", "cp1252"}, {"Text - Greek - Windows (1253)", "cp1253"},
        {"Text - Turkish - Windows (1254)", "cp1254"}, {"Text - Hebrew - Windows (1255)", "cp1255"},
        {"Text - Arabic - Windows (1256)", "cp1256"}, {"Text - Baltic - Windows (1257)", "cp1257"},
        {"Text - Vietnamese - Windows (1258)", "cp1258"}, {"Text - Thai - Windows (874)", "cp874"},
        {"Text - Western - DOS (437)", "cp437"}, {"Text - Greek - DOS (737)", "cp737"},
        {"Text - Western - DOS multilingual (850)", "cp850"}, {"Text - Central European - DOS (852)", "cp852"},
        {"Text - Turkish - DOS (857)", "cp857"}, {"Text - Cyrillic - DOS (866)", "cp866"},
        {"Text - Western - ISO 8859-1", "latin_1"}, {"Text - Central European - ISO 8859-2", "iso8859_2"},
        {"Text - Cyrillic - ISO 8859-5", "iso8859_5"}, {"Text - Greek - ISO 8859-7", "iso8859_7"},
        {"Text - Turkish - ISO 8859-9", "iso8859_9"}, {"Text - Western - ISO 8859-15", "iso8859_15"},
        {"Text - Cyrillic - KOI8-R (Russian)", "koi8_r"}, {"Text - Cyrillic - KOI8-U (Ukrainian)", "koi8_u"},
        {"Text - Western - Mac OS Roman", "mac_roman"}, {"Text - Japanese - Shift_JIS (932)", "cp932"},
        {"Text - Chinese Simplified - GBK (936)", "cp936"}, {"Text - Korean - Unified Hangul (949)", "cp949"},
        {"Text - Chinese Traditional - Big5 (950)", "cp950"}, {"Text - Greek - Mac", "mac_greek"},
        {"Text - Cyrillic - Mac", "mac_cyrillic"}, {"Text - Japanese - Mac", "shift_jis"},
        {"Text - Chinese Traditional - Mac", "big5"}, {"Text - Korean - Mac", "euc_kr"},
        {"Text - Chinese Simplified - Mac", "gb2312"},
    };
    for (const auto &page : pages) {
        std::vector<reference_sequence> sequences = reference(page.codec);
        ASSERT_GT(sequences.size(), 100u) << page.codec << ": no reference in " MORPHEX_CODE_PAGES_DIR;
        // NUL, CR, LF and ESC are the form's own business, tested elsewhere.
        sequences.erase(std::remove_if(sequences.begin(), sequences.end(),
                                       [](const reference_sequence &s) {
                                           return s.bytes.size() == 1 && std::strchr("\r\n\x1B", s.bytes[0]);
                                       }),
                        sequences.end());
        std::string input, written_back;
        for (const reference_sequence &s : sequences) {
            input += s.bytes;
            written_back += s.encoded;
        }
        std::string intermediate, output;
        ASSERT_EQ(0, run(find(cnvtext().sources, page.format), input, intermediate)) << page.format;
        const std::vector<uint32_t> read = code_points(body_of(intermediate));
        ASSERT_EQ(sequences.size(), read.size()) << page.format;
        int failures = 0;
        for (std::size_t i = 0; i < sequences.size() && failures < 5; ++i)
            if (read[i] != sequences[i].code_point) {
                ADD_FAILURE() << page.format << ": " << hex(sequences[i].bytes) << "read as U+" << std::hex
                              << read[i] << ", Python's codec says U+" << sequences[i].code_point;
                ++failures;
            }
        ASSERT_EQ(0, run(find(cnvtext().targets, page.format), intermediate, output)) << page.format;
        EXPECT_EQ(0, lost()) << page.format;
        if (output != written_back) {
            std::size_t at = 0;
            for (const reference_sequence &s : sequences) {
                if (output.compare(at, s.encoded.size(), s.encoded) != 0) {
                    ADD_FAILURE() << page.format << ": U+" << std::hex << s.code_point << " written as "
                                  << hex(output.substr(at, s.encoded.size())) << ", Python's codec writes "
                                  << hex(s.encoded);
                    break;
                }
                at += s.encoded.size();
            }
        }
        if (sequences.size() > 250 && sequences.size() < 256) {
            std::string every_byte;
            for (int byte = 1; byte < 256; ++byte)
                every_byte += static_cast<char>(byte);
            EXPECT_EQ(hex(every_byte), hex(convert(page.format, page.format, every_byte))) << page.format;
        }
    }
}

// Inputs that cut characters, line ends, pairs and marks at every place.
std::vector<std::pair<std::string, std::string>> streaming_cases()
{
    std::string long_text;
    const std::string line = "Gr\xC3\xBC\xC3\x9F" "e \xE2\x80\x93 \xF0\x9F\x98\x80 \xE4\xB8\xAD\xE6\x96\x87 \x1B x\r\n";
    while (long_text.size() < 600000)  // more than one block of the shipped build
        long_text += line;
    std::string mixed = long_text + "lone LF\nlone CR\rend";
    std::string late_invalid = long_text + "caf\xE9\r\n";
    std::string blank_lines;
    while (blank_lines.size() < 600000)
        blank_lines += "\r\n";  // fourfold in UTF-16
    // UTF-16 big-endian comes back big-endian, through the same block loops
    std::string big_endian = "\xFE\xFF";
    while (big_endian.size() < 300000)
        for (const char16_t unit : std::u16string(u"Gr\u00FC\u00DFe \u2013 \u0416\u4E2D x\r\n"))
            big_endian += {static_cast<char>(unit >> 8), static_cast<char>(unit & 0xFF)};
    return {
        {"Text - Unicode - UTF-8", blank_lines},
        {"Text - Unicode - UTF-8", long_text},
        {"Text - Unicode - UTF-8", mixed},
        {"Text - Unicode - UTF-8", "\xEF\xBB\xBF" "a\r\nb\r\n"},
        {"Text - Any encoding (detected)", late_invalid},
        {"Text - Any encoding (detected)", mixed},
        {"Text - Any encoding (detected)", std::string("h\0i\0\r\0\n\0\x1B\0=\xD8\x00\xDE", 14)},
        {"Text - Unicode - UTF-16", std::string("\xFE\xFF\0h\0\r\0\n\0\r\xD8=\xDE\0\0\n", 16)},
        {"Text - Unicode - UTF-16", big_endian},
        {"Text - Western - Windows (1252)", "caf\xE9\r\nna\xEFve\r\n\x80\x81\xFF"},
        {"Text - Cyrillic - KOI8-R (Russian)", "\xF0\xD2\xC9\xD7\xC5\xD4\n\xED\xC9\xD2\n"},
        {"Text - Japanese - Shift_JIS (932)", "\x93\xFA\x96\x7B\x8C\xEA\r\n\x83\x65\x83\x4C\x83\x58\x83\x67\xB1\xB2"},
        {"Text - Chinese Traditional - Big5 (950)", "\xA4\xA4\xA4\xE5\n"},
    };
}

// The blocks are a matter of memory only: with blocks of 3 bytes every
// conversion gives the same bytes as with the shipped size.
TEST_F(Cnvtext, SmallBlocksGiveTheSameBytes)
{
    ASSERT_NE(nullptr, cnvtext_small_blocks().module) << "cannot load cnvsmall.dll";
    const char *const targets[] = {"Text - Unicode - UTF-8", "Text - Unicode - UTF-16", "Text - Unicode - UTF-8, LF",
                                   "Text - Western - Windows (1252), CR LF", "Text - Japanese - Shift_JIS (932)"};
    for (const auto &c : streaming_cases()) {
        std::string intermediate, small_intermediate;
        const int read = run(find(cnvtext().sources, c.first), c.second, intermediate);
        EXPECT_EQ(read, run(find(cnvtext_small_blocks().sources, c.first), c.second, small_intermediate))
            << c.first << " on " << hex(c.second.substr(0, 40));
        EXPECT_EQ(0, read) << c.first << " on " << hex(c.second.substr(0, 40));
        EXPECT_TRUE(intermediate == small_intermediate)
            << c.first << ": " << hex(intermediate.substr(0, 80)) << "\nwith small blocks: "
            << hex(small_intermediate.substr(0, 80));
        for (const char *target : targets) {
            std::string output, small_output;
            EXPECT_EQ(run(find(cnvtext().targets, target), intermediate, output),
                      run(find(cnvtext_small_blocks().targets, target), intermediate, small_output));
            EXPECT_TRUE(output == small_output) << c.first << " to " << target << ": " << hex(output.substr(0, 60))
                                                << "\nwith small blocks: " << hex(small_output.substr(0, 60));
        }
        if (c.first != "Text - Any encoding (detected)"s) {
            EXPECT_TRUE(convert(c.first, c.first, c.second, cnvtext_small_blocks()) == c.second)
                << c.first << " and back with small blocks";
        }
    }
}

// The hot loops take 16 bytes at a time; the build with blocks of 3 bytes
// never does, so it judges them: a character, a line end or a fault at every
// offset from a block's start, and a character cut by a block's end.
TEST_F(Cnvtext, BlockLoopsAgreeWithTheCharacterPath)
{
    ASSERT_NE(nullptr, cnvtext_small_blocks().module) << "cannot load cnvsmall.dll";
    const struct {
        const char *source;
        std::string piece;
    } cases[] = {
        {"Text - Unicode - UTF-8", "\xC3\xA9"},
        {"Text - Unicode - UTF-8", "\xE2\x80\x93"},
        {"Text - Unicode - UTF-8", "\xE4\xB8\xAD\xC3\xA9"},
        {"Text - Unicode - UTF-8", "\xF0\x9F\x98\x80"},
        {"Text - Unicode - UTF-8", "\x1B"},
        {"Text - Unicode - UTF-8", "\xC3" "a"},
        {"Text - Unicode - UTF-8", "\x80"},
        {"Text - Unicode - UTF-8", "\xE0\x80\x80"},
        {"Text - Unicode - UTF-8", "\xED\xA0\x80"},
        {"Text - Unicode - UTF-8", "\xF4\x90\x80\x80"},
        {"Text - Unicode - UTF-8", "\xE2\x80\r\n"},
        // the bounds of each length, the last checked against the bytes before it
        {"Text - Unicode - UTF-8", "\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xF0\x90\x80\x80\xF4\x8F\xBF\xBF"},
        {"Text - Unicode - UTF-8", "\xE4\xB8\xAD\xC1\xBF"},
        {"Text - Unicode - UTF-8", "\xF0\x8F\xBF\xBF"},
        {"Text - Unicode - UTF-8", "\xF5\x80\x80\x80"},
        {"Text - Unicode - UTF-8", "\xE2\x80\xE2\x80\x93"},
        // an LF first: the text's line ends are LF until a CR LF says otherwise
        {"Text - Unicode - UTF-8", "\xD0\x96\n"},
        {"Text - Any encoding (detected)", "\xC3\xA9\xE9"},
        {"Text - Cyrillic - Windows (1251)", "\xC0\xE1\xE2"},
        // a line end the table takes inside a block, and ones it must leave
        {"Text - Cyrillic - Windows (1251)", "\xC0\r\n\xE1"},
        {"Text - Cyrillic - Windows (1251)", "\xC0\r\xE1"},
        {"Text - Cyrillic - Windows (1251)", "\xC0\n\r\r\n"},
        {"Text - Japanese - Shift_JIS (932)", "\x93\xFA\x83\x65"},
        {"Text - Japanese - Shift_JIS (932)", "\x93\r\n"},
        {"Text - Japanese - Shift_JIS (932)", "\x93\xFA\r\n\xA0\x81\x7F"},
    };
    const char *const targets[] = {"Text - Unicode - UTF-8", "Text - Unicode - UTF-16",
                                   "Text - Western - Windows (1252), CR LF", "Text - Japanese - Shift_JIS (932)"};
    for (const auto &c : cases) {
        // the piece at each offset of a line, then three times in a row
        std::string text;
        for (int offset = 0; offset < 48; ++offset)
            text += std::string(offset, 'a') + c.piece + std::string(48 - offset, 'b') + "\r\n";
        for (int offset = 0; offset < 48; ++offset)
            text += std::string(offset, 'a') + c.piece + c.piece + c.piece + std::string(80, 'c');
        // a mark ends the writer's run of text just after the piece
        for (int offset = 0; offset < 36; ++offset)
            text += std::string(offset, 'a') + c.piece + std::string(offset % 4, 'd') + "\x1B\x1B" +
                    std::string(40, 'e');
        // and the end of the file ends the reader's; what a refused text
        // wrote, the host throws away
        for (int offset = 0; offset < 20; ++offset) {
            const std::string input = text + std::string(offset, 'a') + c.piece;
            std::string intermediate, small_intermediate;
            const int result = run(find(cnvtext().sources, c.source), input, intermediate);
            EXPECT_EQ(run(find(cnvtext_small_blocks().sources, c.source), input, small_intermediate), result)
                << c.source << " on " << hex(c.piece) << " at the end";
            EXPECT_TRUE(result != 0 || intermediate == small_intermediate)
                << c.source << " on " << hex(c.piece) << " at the end";
        }
        for (const std::string &input : {text, text.substr(0, text.size() / 2 + 7)}) {
            std::string intermediate, small_intermediate;
            const int result = run(find(cnvtext().sources, c.source), input, intermediate);
            EXPECT_EQ(run(find(cnvtext_small_blocks().sources, c.source), input, small_intermediate), result)
                << c.source << " on " << hex(c.piece);
            EXPECT_TRUE(result != 0 || intermediate == small_intermediate)
                << c.source << " on " << hex(c.piece) << ": " << hex(intermediate.substr(0, 120))
                << "\nwith small blocks: " << hex(small_intermediate.substr(0, 120));
            // the writers on the same text, valid or not
            const std::string header = "\x1B[morphex-text 1 eol=crlf bom=0 encoding=utf-8]\n";
            for (const std::string &written : {intermediate, header + input}) {
                for (const char *target : targets) {
                    std::string output, small_output;
                    const int result = run(find(cnvtext().targets, target), written, output);
                    EXPECT_EQ(run(find(cnvtext_small_blocks().targets, target), written, small_output), result)
                        << hex(c.piece) << " to " << target;
                    EXPECT_TRUE(result != 0 || output == small_output)
                        << hex(c.piece) << " to " << target << ": " << hex(output.substr(0, 120))
                        << "\nwith small blocks: " << hex(small_output.substr(0, 120));
                }
            }
        }
    }
}

TEST_F(Cnvtext, DetectionFindsTheEncoding)
{
    char ansi[8] = "";
    GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_IDEFAULTANSICODEPAGE, ansi, sizeof ansi);
    const std::string user_page = std::string("windows-") + ansi;
    std::string late_invalid(300000, 'a');
    late_invalid += "caf\xE9";
    const struct {
        std::string input;
        int result;
        std::string found;  // the header's encoding and bom fields
        std::string body;
    } cases[] = {
        {"\xEF\xBB\xBF" "abc", 0, "bom=1 encoding=utf-8", "abc"},
        {"\xFF\xFEh\0i\0"s, 0, "bom=1 encoding=utf-16le", "hi"},
        {std::string("\xFE\xFF\0h\0i", 6), 0, "bom=1 encoding=utf-16be", "hi"},
        {"Gr\xC3\xBC\xC3\x9F" "e", 0, "bom=0 encoding=utf-8", "Gr\xC3\xBC\xC3\x9F" "e"},
        {"plain ASCII", 0, "bom=0 encoding=utf-8", "plain ASCII"},
        {std::string("h\0i\0\n\0", 6), 0, "bom=0 encoding=utf-16le", "hi\n"},
        {std::string("\0h\0i\0\n", 6), 0, "bom=0 encoding=utf-16be", "hi\n"},
        {"Gr\xFC\xDF" "e", 0, "bom=0 encoding=" + user_page, ""},
        {late_invalid, 0, "bom=0 encoding=" + user_page, ""},
        {std::string("MZ\x90\0\x03\0\0\0\x04\0\0\0\xFF\xFF\0\0\xB8", 17), CONVERT_WRONG_FORMAT, "", ""},
        {std::string("\x7F" "ELF\x02\x01\x01\0\0\0\0\0\0\0\0\0\x03\0>\0\x01\0\0\0", 24), CONVERT_WRONG_FORMAT,
         "", ""},
        {"", CONVERT_EMPTY_INPUT, "", ""},
    };
    for (const auto &c : cases) {
        std::string intermediate;
        EXPECT_EQ(c.result, run(find(cnvtext().sources, "Text - Any encoding (detected)"), c.input, intermediate))
            << hex(c.input.substr(0, 24));
        if (c.result != 0)
            continue;
        EXPECT_NE(std::string::npos, header_of(intermediate).find(c.found))
            << hex(c.input.substr(0, 24)) << "gives " << header_of(intermediate).substr(1);
        if (!c.body.empty()) {
            EXPECT_EQ(c.body, body_of(intermediate)) << hex(c.input.substr(0, 24));
        }
    }
    if (user_page == "windows-1252") {
        EXPECT_EQ("Gr\xC3\xBC\xC3\x9F" "e",
                  body_of([&] {
                      std::string intermediate;
                      run(find(cnvtext().sources, "Text - Any encoding (detected)"), "Gr\xFC\xDF" "e", intermediate);
                      return intermediate;
                  }()));
    }
}

TEST_F(Cnvtext, Utf16KeepsItsByteOrderAndMark)
{
    const std::string cases[] = {
        std::string("\xFE\xFF\0h\0\xE9\0\r\0\n\xD8=\xDE\0", 14),  // big-endian with a mark
        std::string("\xFF\xFEh\0\xE9\0\r\0\n\0=\xD8\0\xDE", 14),  // little-endian with a mark
    };
    for (const std::string &text : cases)
        EXPECT_EQ(hex(text), hex(convert("Text - Unicode - UTF-16", "Text - Unicode - UTF-16", text)));
    const std::string big_endian_bare("\0h\0i\0\r\0\n", 8), little_endian_bare("h\0i\0\r\0\n\0", 8);
    for (const std::string &text : {big_endian_bare, little_endian_bare})
        EXPECT_EQ(hex(text), hex(convert("Text - Any encoding (detected)", "Text - Unicode - UTF-16", text)));
    EXPECT_EQ(hex("\xFF\xFEh\0i\0\r\0\n\0"s),
              hex(convert("Text - Unicode - UTF-8", "Text - Unicode - UTF-16", "hi\r\n")))
        << "from another encoding: little-endian with a mark";
}

// Marks have no place in plain text and are dropped; one that is not closed
// on its line is text, and so is everything after it.
TEST_F(Cnvtext, MarksAreDroppedAndMalformedOnesAreText)
{
    const struct {
        std::string intermediate;
        std::string text;
    } cases[] = {
        {"\x1B[morphex-text 1 eol=lf bom=0]\nbefore \x1B[b]bold\x1B[/b] after\n", "before bold after\n"},
        {"\x1B[morphex-text 1 eol=lf bom=0]\nan \x1B[unclosed mark\nand the rest\n", "an \x1B[unclosed mark\nand the rest\n"},
        {"\x1B[morphex-text 1 eol=lf bom=0]\ncut at the end \x1B[mark", "cut at the end \x1B[mark"},
        {"\x1B[morphex-text 1 eol=lf bom=0]\nESC \x1B\x1B kept", "ESC \x1B kept"},
        {"\x1B[unclosed at the start\nrest", "\x1B[unclosed at the start\nrest"},
        {"\x1B[morphex-text 1 eol=lf bom=0 \x1B[x]\nrest", "\x1B[morphex-text 1 eol=lf bom=0 \nrest"},
        {"no header \x1B[x]at all\n", "no header at all\n"},
    };
    for (const auto &c : cases)
        for (const plugin_formats *plugin : {&cnvtext(), &cnvtext_small_blocks()}) {
            std::string output;
            EXPECT_EQ(0, run(find(plugin->targets, "Text - Unicode - UTF-8, LF"), c.intermediate, output))
                << hex(c.intermediate);
            EXPECT_EQ(hex(c.text), hex(output)) << "from " << hex(c.intermediate);
        }
}

TEST_F(Cnvtext, LostCharactersAreCounted)
{
    const struct {
        const char *target;
        std::string text;
        int lost;
    } cases[] = {
        {"Text - Western - Windows (1252)", "Dvo\xC5\x99\xC3\xA1k \xE2\x80\x9E \xE4\xB8\xAD\n", 2},
        {"Text - Western - Windows (1252)", "Gr\xC3\xBC\xC3\x9F" "e\n", 0},
        {"Text - Cyrillic - Windows (1251)", "\xD0\x9C\xD0\xBE\xD1\x81\xD0\xBA\xD0\xB2\xD0\xB0 caf\xC3\xA9", 1},
        {"Text - Japanese - Shift_JIS (932)", "\xE6\x97\xA5\xE6\x9C\xAC \xD0\x96 \xC3\xA9\xE2\x82\xAC", 2},
        {"Text - Unicode - UTF-16", "\xE4\xB8\xAD\xF0\x9F\x98\x80", 0},
    };
    for (const auto &c : cases) {
        convert("Text - Unicode - UTF-8", c.target, c.text);
        EXPECT_EQ(c.lost, lost()) << c.target << " from " << hex(c.text);
    }
    std::string intermediate;
    run(find(cnvtext().sources, "Text - Unicode - UTF-8"), "abc", intermediate);
    EXPECT_EQ(0, lost()) << "a reader loses nothing";
}

// A stream of the C runtime on a file handle that lacks a right: every read
// or every write of it fails, as on a failing disk.
FILE *stream_on_handle(const char *name, DWORD access, DWORD disposition, const char *mode)
{
    HANDLE handle = CreateFileA(name, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, disposition,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return nullptr;
    return _fdopen(_open_osfhandle(reinterpret_cast<intptr_t>(handle), 0), mode);
}

// A stream that cannot be read or written is a failure of the stream, not
// of the format: the converter says so and leaves the error flag set.
TEST_F(Cnvtext, ReadAndWriteErrorsAreNotAWrongFormat)
{
    write_file("text.txt", "some text\r\n");
    write_file("intermediate.bin", "\x1B[morphex-text 1 eol=crlf bom=0]\nsome text\n");
    const struct {
        convert_fn converter;
        const char *input;
    } cases[] = {
        {find(cnvtext().sources, "Text - Western - Windows (1252)"), "text.txt"},
        {find(cnvtext().sources, "Text - Any encoding (detected)"), "text.txt"},
        {find(cnvtext().targets, "Text - Unicode - UTF-8"), "intermediate.bin"},
        {find(cnvtext().targets, "Text - Japanese - Shift_JIS (932)"), "intermediate.bin"},
    };
    for (const auto &c : cases) {
        FILE *unreadable = stream_on_handle(c.input, GENERIC_WRITE, OPEN_EXISTING, "r+b");
        FILE *out = std::fopen("out.bin", "w+b");
        ASSERT_TRUE(unreadable && out);
        EXPECT_EQ(-3, c.converter(unreadable, out)) << c.input << " on a handle that cannot read";
        EXPECT_NE(0, std::ferror(unreadable));
        std::fclose(unreadable);
        std::fclose(out);
        FILE *in = std::fopen(c.input, "r+b");
        FILE *unwritable = stream_on_handle("out.bin", GENERIC_READ, CREATE_ALWAYS, "w+b");
        ASSERT_TRUE(in && unwritable);
        EXPECT_EQ(-3, c.converter(in, unwritable)) << c.input << " to a handle that cannot write";
        std::fflush(unwritable);
        EXPECT_NE(0, std::ferror(unwritable));
        std::fclose(in);
        std::fclose(unwritable);
    }
}

// A document from another plug-in (the intermediate form, version 2, with
// block marks) written as plain text.
TEST_F(Cnvtext, DocumentsBecomePlainText)
{
    auto m = [](const std::string &mark) { return "\x1B[" + mark + "]"; };
    const std::string document =
        m("morphex-text 2 eol=lf bom=0") + "\n" +
        m("h level=1") + "Morphex" + m("/h") + "\n" +
        m("p") + "A " + m("b") + "bold" + m("/b") + " and " + m("i") + "so" + m("i") + "f" + m("/i") + "t" + m("/i") + "\nline end, " +
        m("a href=https://example.org/a%20b") + "the site" + m("/a") + " and " + m("a href=https://x.org") +
        "https://x.org" + m("/a") + "." + m("/p") + "\n" +
        m("li level=1") + "one" + m("/li") + "\n" +
        m("li level=2 number=1") + "nested first" + m("/li") + "\n" +
        m("li level=2 number=2") + "second" + m("br") + "broken" + m("/li") + "\n" +
        m("li level=1") + "two" + m("/li") + "\n" +
        m("li level=1 number=0") + "zero" + m("/li") + "\n" +
        m("p item=1") + "more of zero" + m("/p") + "\n" + m("code item=1") + "x\n" + m("/code") + "\n" +
        m("li level=1") + m("/li") + m("code item=1") + "y\n" + m("/code") + "\n" + m("li level=1") + m("/li") + "\n" +
        m("quote") + "\n" + m("p") + "quoted" + m("/p") + "\n" + m("p") + "again" + m("/p") + "\n" + m("/quote") + "\n" +
        m("code lang=python") + "x = 1\n\nprint(x)\n" + m("/code") + "\n" +
        m("hr") + "\n" +
        m("table") + m("row") + m("cell header") + "A" + m("/cell") + m("cell header") + "B" + m("/cell") + m("/row") +
        m("row") + m("cell") + "1" + m("/cell") + m("cell") + "2" + m("/cell") + m("/row") + m("/table") + "\n" +
        m("p") + "Unknown " + m("x") + "kept" + m("/x") + " and \x1B\x1B literal, \xC3\xA9t\xC3\xA9, a \x1B[malformed\n" +
        m("/p") + "\n";
    const std::string text =
        "Morphex\n"
        "\n"
        "A bold and soft line end, the site (https://example.org/a b) and https://x.org.\n"
        "\n"
        "- one\n"
        "  1. nested first\n"
        "  2. second\n"
        "     broken\n"
        "- two\n"
        "0. zero\n"
        "\n"
        "   more of zero\n"
        "\n"
        "   x\n"
        "\n"
        "- y\n"
        "\n"
        "- \n"
        "\n"
        "> quoted\n"
        ">\n"
        "> again\n"
        "\n"
        "x = 1\n"
        "\n"
        "print(x)\n"
        "\n"
        "----\n"
        "\n"
        "A\tB\n"
        "1\t2\n"
        "\n"
        "Unknown kept and \x1B literal, \xC3\xA9t\xC3\xA9, a \x1B[malformed\n";
    std::string crlf;
    for (char c : text)
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    for (const plugin_formats *plugin : {&cnvtext(), &cnvtext_small_blocks()}) {
        std::string output;
        EXPECT_EQ(0, run(find(plugin->targets, "Text - Unicode - UTF-8"), document, output));
        EXPECT_EQ(text, output);
        EXPECT_EQ(0, run(find(plugin->targets, "Text - Unicode - UTF-8, CR LF"), document, output));
        EXPECT_EQ(crlf, output);
        EXPECT_EQ(0, run(find(plugin->targets, "Text - Western - Windows (1252)"), document, output));
        EXPECT_EQ("A bold and soft", output.substr(9, 15));
        EXPECT_NE(std::string::npos, output.find(" \xE9t\xE9, ")) << output;
    }
    // Version 2 without blocks is text, and comes back as it was.
    const std::string plain = m("morphex-text 2 eol=crlf bom=0") + "\n  plain " + m("b") + "text" + m("/b") + "\nend\n";
    EXPECT_EQ("  plain text\r\nend\r\n", convert_intermediate("Text - Unicode - UTF-8", plain));
}

// Quotes in list items and lists in quotes, inside each other: each line
// bears the marks of every quote around it, each at the text of the item
// that quote stands in.
TEST_F(Cnvtext, QuotesAndListsNestInEachOther)
{
    auto m = [](const std::string &mark) { return "\x1B[" + mark + "]"; };
    const std::string document = m("morphex-text 2 eol=lf bom=0") + "\n" + m("li level=1") + "a" + m("/li") +
                                 m("quote item=1") + m("p") + "b" + m("/p") + m("li level=2") + "c" + m("/li") +
                                 m("quote item=2") + m("li level=3 number=1") + "e" + m("/li") + m("quote item=3") +
                                 m("p") + "f" + m("/p") + m("/quote") + m("/quote") + m("p") + "g" + m("/p") +
                                 m("/quote") + m("li level=1") + "h" + m("/li") + "\n";
    std::string output;
    EXPECT_EQ(0, run(find(cnvtext().targets, "Text - Unicode - UTF-8"), document, output));
    EXPECT_EQ("- a\n\n  > b\n  >\n  > - c\n  >\n  >   > 1. e\n  >   >\n  >   >    > f\n  >\n  > g\n\n- h\n", output);
}

// What the Markdown reader adds to a document: an image is its alternative
// text, raw HTML its source as typed.
TEST_F(Cnvtext, ImagesAndRawHtmlBecomeTheirText)
{
    auto m = [](const std::string &mark) { return "\x1B[" + mark + "]"; };
    const std::string document = m("morphex-text 2 eol=lf bom=0") + "\n" + m("p") + "See " +
                                 m("img src=chart.png title=Sales") + "the chart" + m("/img") + " in " + m("raw") +
                                 "<b>" + m("/raw") + "bold." + m("/p") + "\n" + m("html") + "<div>\n  x\n</div>" +
                                 m("/html") + "\n" + m("li level=1 loose") + "one" + m("/li") + "\n" + m("p item=1") +
                                 "more" + m("/p") + "\n";
    std::string output;
    EXPECT_EQ(0, run(find(cnvtext().targets, "Text - Unicode - UTF-8"), document, output));
    EXPECT_EQ("See the chart in <b>bold.\n\n<div>\n  x\n</div>\n\n- one\n\n  more\n", output);
}

}  // namespace
