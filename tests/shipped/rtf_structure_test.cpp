// The structure real RTF documents hold, through cnvdoc.dll: superscripts,
// small capitals, hidden text, footnotes, pictures, lists, blocks in table
// cells.  Our reader on RTF that word processors and pandoc write; our
// writer judged by Wine's RichEdit and by pandoc's RTF reader.
#include <windows.h>
#include <richedit.h>

#include <gtest/gtest.h>

#include <string>

#include "tests/common/test_support.h"
#include "tests/shipped/document_test_support.h"
#include "tests/shipped/shipped_plugin.h"

namespace {

// RTF streamed into a RichEdit control, as WordPad opens it; null where
// there is no RichEdit.  Its stream callback is __stdcall, which no lambda
// converts to on 32-bit Windows.
struct rich_edit_input {
    std::string data;
    size_t pos;
};

DWORD CALLBACK read_rich_edit_input(DWORD_PTR cookie, LPBYTE buffer, LONG size, LONG *done)
{
    rich_edit_input *from = reinterpret_cast<rich_edit_input *>(cookie);
    const size_t n = std::min(static_cast<size_t>(size), from->data.size() - from->pos);
    memcpy(buffer, from->data.data() + from->pos, n);
    from->pos += n;
    *done = static_cast<LONG>(n);
    return 0;
}

HWND rich_edit_with(const std::string &rtf)
{
    HWND edit = LoadLibraryA("riched20.dll") ? CreateWindowExW(0, RICHEDIT_CLASSW, L"", WS_POPUP | ES_MULTILINE, 0, 0,
                                                               600, 400, nullptr, nullptr, GetModuleHandleW(nullptr),
                                                               nullptr)
                                             : nullptr;
    rich_edit_input input{rtf, 0};
    EDITSTREAM in{reinterpret_cast<DWORD_PTR>(&input), 0, read_rich_edit_input};
    if (edit)
        SendMessageW(edit, EM_STREAMIN, SF_RTF, reinterpret_cast<LPARAM>(&in));
    return edit;
}

const char *const rtf_format = "Document - RTF";
const std::string header = "\x1B[morphex-text 3 eol=lf bom=0]\n";

std::string structure_sample(const std::string &name)
{
    return read_file(std::string(MORPHEX_STRUCTURE_SAMPLES) + "/" + name);
}

class RtfStructure : public TempDirTest {
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        ASSERT_NE(nullptr, cnvdoc().module) << "cannot load cnvdoc.dll";
    }
    std::string read_rtf(const std::string &rtf)
    {
        std::string doc;
        EXPECT_EQ(0, run_converter(find_converter(cnvdoc().sources, rtf_format), rtf, doc)) << rtf;
        return doc;
    }
    std::string write_rtf(const std::string &doc)
    {
        std::string rtf;
        EXPECT_EQ(0, run_converter(find_converter(cnvdoc().targets, rtf_format), doc, rtf)) << readable(doc);
        return rtf;
    }
    std::string run_unix(const std::string &command) { return run_unix_in(dir(), command); }
};

std::size_t count_of(const std::string &text, const std::string &what)
{
    std::size_t count = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

const std::string png_hex = "89504e470d0a1a0a0000000d4948445200000014000000";

TEST_F(RtfStructure, ReaderReadsWhatDocumentsHold)
{
    const struct {
        const char *what;
        std::string rtf, expected;
    } cases[] = {
        {"super, sub, small capitals, \\plain ends them", "{\\rtf1 H{\\sub 2}O 2\\super 10\\nosupersub  {\\scaps Caps}\\super x\\plain y\\par}",
         "<p>H<sub>2</sub>O 2<sup>10</sup> <sc>Caps</sc><sup>x</sup>y</p>"},
        {"hidden text is left out", "{\\rtf1 This is hidden: {\\v secret}\\v more\\v0 shown\\par}",
         "<p>This is hidden: shown</p>"},
        {"a footnote as Word writes one",
         "{\\rtf1 Text{\\super\\chftn}{\\footnote\\pard\\plain{\\super\\chftn} The {\\b note}.\\par Two.} after\\par}",
         "<p>Text<fn id=1></fn> after</p><note id=1><p>The <b>note</b>.</p><p>Two.</p></note>"},
        {"a PNG, its fallback skipped",
         "{\\rtf1 {\\*\\shppict{\\pict\\pngblip\\picw20\\pich10\\picwgoal600\\pichgoal300\\picscalex50\\picscaley50 " +
             png_hex + "}}{\\nonshppict{\\pict\\wmetafile8 0102}}\\par}",
         "<p><img src= type=image/png width=20 height=10><bits iVBORw0KGgoAAAANSUhEUgAAABQAAAA=></img></p>"},
        {"a JPEG as \\bin bytes", "{\\rtf1 {\\pict\\jpegblip\\picw2\\pich3\\bin3 ABC}\\par}",
         "<p><img src= type=image/jpeg width=2 height=3><bits QUJD></img></p>"},
        {"a metafile keeps nothing, the text goes on", "{\\rtf1 a{\\pict\\wmetafile8\\picw5 0a0b}b\\par}", "<p>ab</p>"},
        {"Mac Japanese by \\ansicpg", "{\\rtf1\\mac\\ansicpg10001 \\'93\\'fa\\'96\\'7b\\'8c\\'ea\\par}",
         "<p>\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E</p>"},
        {"Mac Japanese by \\fcharset78", "{\\rtf1{\\fonttbl{\\f1\\fcharset78 Osaka;}}\\f1 \\'93\\'fa\\'96\\'7b\\par}",
         "<p>\xE6\x97\xA5\xE6\x9C\xAC</p>"},
        {"Mac Hebrew by \\fcharset83, Mac Arabic by \\ansicpg",
         "{\\rtf1\\mac\\ansicpg10004{\\fonttbl{\\f1\\fcharset83 Raanana;}}\\'c7\\'e4 {\\f1 \\'f9\\'ec\\'e5\\'ed}\\par}",
         "<p>\xD8\xA7\xD9\x84 \xD7\xA9\xD7\x9C\xD7\x95\xD7\x9D</p>"},
        {"roman markers, not the letter i", "{\\rtf1{\\listtext i.\\tab}one\\par{\\listtext ii.\\tab}two\\par"
         "{\\listtext iv.\\tab}four\\par{\\listtext v.\\tab}five\\par}",
         "<li level=1 number=1 style=lower-roman>one</li><li level=1 number=2 style=lower-roman>two</li>"
         "<li level=1 number=4 style=lower-roman>four</li><li level=1 number=5 style=lower-roman>five</li>"},
        {"letters, the ninth one i", "{\\rtf1{\\listtext h)\\tab}h\\par{\\listtext i)\\tab}i\\par}",
         "<li level=1 number=8 style=lower-alpha>h</li><li level=1 number=9 style=lower-alpha>i</li>"},
        {"roman markers typed by hand", "{\\rtf1\\fi-360\\li720 ii.\\tab two\\par}", "<li level=1 number=2 style=lower-roman>two</li>"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.expected, readable(read_rtf(c.rtf))) << c.what << ":\n" << c.rtf;
    // a document that is one picture is not empty
    EXPECT_NE(std::string::npos, read_rtf("{\\rtf1{\\pict\\pngblip " + png_hex + "}}").find("type=image/png"));
}

// pandoc -s -t rtf of a Markdown file: see samples/structure/README.txt.
TEST_F(RtfStructure, ReaderReadsPandocsRtf)
{
    const std::string doc = readable(read_rtf(structure_sample("pandoc-notes.rtf")));
    for (const char *kept : {"H<sub>2</sub>O and 2<sup>10</sup> is 1024.<fn id=1></fn> A second claim.<fn id=2></fn>",
                             "<note id=1><p>The note\xE2\x80\x99s <i>first</i> paragraph.</p></note>",
                             "<note id=2><p>Another note.</p></note>",
                             "<li level=1 number=2 style=lower-alpha>second step</li>",
                             "<li level=1 number=3 style=lower-roman>three</li>"})
        EXPECT_NE(std::string::npos, doc.find(kept)) << kept << "\nnot in\n" << doc;
}

// LibreOffice's RTF and its web page of a document with footnotes, scripts,
// list styles and a list in a cell (samples/structure/README.txt): each
// read with all of them.
TEST_F(RtfStructure, ReadersReadLibreOfficesRtfAndWebPage)
{
    for (const char *format : {rtf_format, "Document - HTML"}) {
        const bool rtf = format == rtf_format;
        std::string doc;
        ASSERT_EQ(0, run_converter(find_converter(cnvdoc().sources, format),
                                   structure_sample(rtf ? "libreoffice-field-notes.rtf" : "libreoffice-field-notes.html"),
                                   doc));
        doc = readable(doc);
        for (const char *kept : {"H<sub>2</sub>O and the area is 3 m<sup>2</sup>; the guide says so.<fn id=",
                                 "<p>A note of two paragraphs.</p><p>Its second paragraph, with <i>emphasis</i>.",
                                 "<li level=1 number=3 style=lower-alpha>leave early</li>",
                                 "number=3 style=lower-roman", "third point</li>", "<cell><li level=1 cell>tide gauge</li>"})
            EXPECT_NE(std::string::npos, doc.find(kept)) << format << ": " << kept << "\nnot in\n" << doc;
        EXPECT_EQ(2u, count_of(doc, "<fn id=")) << format << ": " << doc;
        EXPECT_EQ(2u, count_of(doc, "<note id=")) << format << ": " << doc;
    }
}

const std::string featured = header +
    "\x1B[p]H\x1B[sub]2\x1B[/sub]O and 2\x1B[sup]10\x1B[/sup] in \x1B[sc]Caps\x1B[/sc].\x1B[fn id=1]\x1B[/fn] more\x1B[/p]\n"
    "\x1B[p]\x1B[img src= type=image/png width=20 height=10]\x1B[bits iVBORw0KGgoAAAANSUhEUgAAABQAAAA=]\x1B[/img]\x1B[/p]\n"
    "\x1B[note id=1]\n\x1B[p]The \x1B[b]note\x1B[/b].\x1B[/p]\n\x1B[p]Its second paragraph.\x1B[/p]\n\x1B[/note]\n";

TEST_F(RtfStructure, WrittenIsReadBackWithEveryFeature)
{
    const std::string written = write_rtf(featured);
    EXPECT_EQ(readable(featured), readable(read_rtf(written))) << written;
    // a note no reference names keeps its text
    const std::string lone = header + "\x1B[p]a\x1B[/p]\n\x1B[note id=z]\n\x1B[p]orphan\x1B[/p]\n\x1B[/note]\n";
    EXPECT_NE(std::string::npos, readable(read_rtf(write_rtf(lone))).find("orphan")) << write_rtf(lone);
    // a definition: its term bold, the definition indented under it
    const std::string definitions = write_rtf(header + "\x1B[dl]\x1B[dt]Term\x1B[/dt]\x1B[dd]\x1B[p]Def\x1B[/p]\x1B[/dd]\x1B[/dl]");
    EXPECT_NE(std::string::npos, definitions.find("{\\b Term}\\par")) << definitions;
    EXPECT_NE(std::string::npos, definitions.find("\\li720\\f0\\fs24 Def\\par")) << definitions;
}

TEST_F(RtfStructure, RichEditShowsSuperscriptsAndSubscripts)
{
    const rich_edit_input s{write_rtf(header + "\x1B[p]H\x1B[sub]2\x1B[/sub]O x\x1B[sup]3\x1B[/sup]\x1B[/p]"), 0};
    HWND edit = rich_edit_with(s.data);
    if (!edit)
        GTEST_SKIP() << "no RichEdit control";
    const struct {
        int at;
        DWORD effect;
    } expected[] = {{1, CFE_SUBSCRIPT}, {5, CFE_SUPERSCRIPT}, {0, 0}};
    for (const auto &e : expected) {
        SendMessageW(edit, EM_SETSEL, e.at, e.at + 1);
        CHARFORMAT2W format{};
        format.cbSize = sizeof format;
        SendMessageW(edit, EM_GETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&format));
        EXPECT_EQ(e.effect, format.dwEffects & (CFE_SUBSCRIPT | CFE_SUPERSCRIPT)) << "character " << e.at << " of\n" << s.data;
    }
    DestroyWindow(edit);
}

TEST_F(RtfStructure, PandocReadsOurFootnotesAndScripts)
{
    write_file("ours.rtf", write_rtf(featured));
    const std::string markdown = run_unix("command -v pandoc >/dev/null || { echo no pandoc; exit; }; "
                                          "pandoc -f rtf -t markdown ours.rtf");
    if (markdown.empty() || markdown == "no pandoc\n")
        GTEST_SKIP() << "pandoc is not installed, or Wine starts no Unix programs";
    for (const char *kept : {"H~2~O", "2^10^", "[Caps]{.smallcaps}", "[^1]", "[^1]: The **note**.", "Its second paragraph."})
        EXPECT_NE(std::string::npos, markdown.find(kept)) << kept << " not in pandoc's reading:\n" << markdown
                                                          << "\nof\n" << read_file("ours.rtf");
}

// A list table as Word writes one: list 7 counts in letters from c, its
// second level in roman; list 8's second level shows "2.1." labels.
const std::string list_table =
    "{\\*\\listtable{\\list\\listtemplateid5{\\listlevel\\levelnfc4\\levelnfcn4\\levelstartat3{\\leveltext\\'02\\'00.;}"
    "{\\levelnumbers\\'01;}}{\\listlevel\\levelnfc2\\levelstartat1{\\leveltext\\'02\\'01.;}{\\levelnumbers\\'01;}}\\listid7}"
    "{\\list{\\listlevel\\levelnfc0\\levelstartat2{\\leveltext\\'02\\'00.;}{\\levelnumbers\\'01;}}"
    "{\\listlevel\\levelnfc0{\\leveltext\\'04\\'00.\\'01.;}{\\levelnumbers\\'01\\'03;}}"
    "{\\listlevel\\levelnfc23{\\leveltext\\'01\\u8226 ?;}{\\levelnumbers;}}\\listid8}}"
    "{\\*\\listoverridetable{\\listoverride\\listid7\\listoverridecount0\\ls1}{\\listoverride\\listid8\\ls2}}";

TEST_F(RtfStructure, ReaderNumbersListsInTheirStyle)
{
    const struct {
        const char *what;
        std::string rtf, expected;
    } cases[] = {
        {"list table: letters from \\levelstartat, counted; roman below",
         "{\\rtf1" + list_table + "\\pard\\ls1 a\\par\\pard\\ls1\\ilvl0 b\\par\\pard\\ls1\\ilvl1 c\\par\\ls1\\ilvl1 d\\par"
         "\\pard\\ls1 e\\par}",
         "<li level=1 number=3 style=lower-alpha>a</li><li level=1 number=4 style=lower-alpha>b</li>"
         "<li level=2 number=1 style=lower-roman>c</li><li level=2 number=2 style=lower-roman>d</li>"
         "<li level=1 number=5 style=lower-alpha>e</li>"},
        {"list table: the marker's number wins; outline labels; a bullet level",
         "{\\rtf1" + list_table + "\\pard\\ls2{\\listtext 4.\\tab}four\\par\\pard\\ls2\\ilvl1{\\listtext 4.1.\\tab}x\\par"
         "\\pard\\ls2\\ilvl1 y\\par\\pard\\ls2\\ilvl2{\\listtext 9.\\tab}dot\\par}",
         "<li level=1 number=4>four</li><li level=2 number=1 label=4.1.>x</li><li level=2 number=2 label=4.2.>y</li>"
         "<li level=3>dot</li>"},
        {"a level the list does not define: the marker says",
         "{\\rtf1" + list_table + "\\pard\\ls1\\ilvl5{\\listtext iii.\\tab}x\\par\\pard\\ls9{\\listtext B.\\tab}y\\par}",
         "<li level=6 number=3 style=lower-roman>x</li><li level=1 number=2 style=upper-alpha>y</li>"},
        {"WordPad: \\pn and \\pntext on every item",
         "{\\rtf1\\pard{\\pntext\\f0 a.\\tab}{\\*\\pn\\pnlvlbody\\pnf0\\pnindent0\\pnstart1\\pnlcltr{\\pntxta.}}\\fi-360\\li720 "
         "one\\par{\\pntext\\f0 b.\\tab}{\\*\\pn\\pnlvlbody\\pnf0\\pnindent0\\pnstart1\\pnlcltr{\\pntxta.}}two\\par"
         "{\\pntext\\f0 i.\\tab}three\\par\\pard after\\par}",
         "<li level=1 number=1 style=lower-alpha>one</li><li level=1 number=2 style=lower-alpha>two</li>"
         "<li level=1 number=9 style=lower-alpha>three</li><p>after</p>"},
        {"\\pn once: the paragraphs after it until \\pard are numbered on",
         "{\\rtf1\\pard{\\*\\pn\\pnlvlbody\\pnstart4\\pnucrm}\\fi-360\\li720 one\\par two\\par three\\par\\pard after\\par"
         "{\\*\\pn\\pnlvlbody\\pnstart4\\pnucrm}again\\par}",
         "<li level=1 number=4 style=upper-roman>one</li><li level=1 number=5 style=upper-roman>two</li>"
         "<li level=1 number=6 style=upper-roman>three</li><p>after</p><li level=1 number=4 style=upper-roman>again</li>"},
        {"\\pn: bullets, decimal, an outline level",
         "{\\rtf1\\pard{\\*\\pn\\pnlvlblt{\\pntxtb\\'b7}}x\\par\\pard{\\*\\pn\\pnlvlbody\\pndec\\pnstart7}y\\par"
         "\\pard{\\*\\pn\\pnlvl2\\pnlcrm\\pnstart2}z\\par}",
         "<li level=1>x</li><li level=1 number=7>y</li><li level=2 number=2 style=lower-roman>z</li>"},
        {"\\pnlvlcont: the item's next paragraph, no number of its own",
         "{\\rtf1\\pard{\\pntext I.\\tab}{\\*\\pn\\pnlvlbody\\pnucrm}\\fi-720\\li720 one\\par"
         "\\pard{\\*\\pn\\pnlvlcont\\pndec}more\\par\\pard{\\pntext II.\\tab}{\\*\\pn\\pnlvlbody\\pnucrm}two\\par}",
         "<li level=1 number=1 style=upper-roman>one</li><p>more</p><li level=1 number=2 style=upper-roman>two</li>"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.expected, readable(read_rtf(c.rtf))) << c.what << ":\n" << c.rtf;
}

TEST_F(RtfStructure, WrittenListsKeepTheirStyle)
{
    const std::string doc = header +
        "\x1B[li level=1 number=3 style=lower-alpha]c\x1B[/li]\n\x1B[li level=1 number=4 style=lower-alpha]d\x1B[/li]\n"
        "\x1B[li level=2 number=4 style=lower-roman]iv\x1B[/li]\n\x1B[li level=2 number=5 style=lower-roman]v\x1B[/li]\n"
        "\x1B[li level=1 number=27 style=upper-alpha]AA\x1B[/li]\n\x1B[p]apart\x1B[/p]\n"
        "\x1B[li level=1 number=9 style=upper-roman]IX\x1B[/li]\n\x1B[li level=2 number=1 label=9.1.]x\x1B[/li]\n"
        "\x1B[li level=2 number=2 label=9.2.]y\x1B[/li]\n\x1B[li level=1 number=7]seven\x1B[/li]\n";
    const std::string written = write_rtf(doc);
    EXPECT_EQ(readable(doc), readable(read_rtf(written))) << written;
    // what WordPad shows (\pntext) and what Word numbers by (\levelnfc, \levelstartat)
    for (const char *shown : {"{\\pntext\\f0 c.\\tab}", "{\\pntext\\f0 iv.\\tab}", "{\\pntext\\f0 AA.\\tab}",
                              "{\\pntext\\f0 IX.\\tab}", "{\\pntext\\f0 9.2.\\tab}", "\\pnlcltr", "\\pnucrm",
                              "\\levelnfc4\\levelnfcn4\\leveljc0\\leveljcn0\\levelfollow0\\levelstartat3",
                              "\\levelnfc2\\levelnfcn2\\leveljc0\\leveljcn0\\levelfollow0\\levelstartat4",
                              "{\\leveltext\\'04\\'00.\\'01.;}{\\levelnumbers\\'01\\'03;}"})
        EXPECT_NE(std::string::npos, written.find(shown)) << shown << " not in\n" << written;
}

// RichEdit numbers by the old marks (\pn): each item in its style, from its number.
TEST_F(RtfStructure, RichEditNumbersWrittenListsInTheirStyle)
{
    const rich_edit_input s{write_rtf(header + "\x1B[li level=1 number=3 style=lower-alpha]c\x1B[/li]\n"
                                               "\x1B[li level=1 number=4 style=upper-roman]d\x1B[/li]\n"
                                               "\x1B[li level=1 number=5]e\x1B[/li]\n"),
                            0};
    HWND edit = rich_edit_with(s.data);
    if (!edit)
        GTEST_SKIP() << "no RichEdit control";
    const struct {
        int at;
        WORD numbering, start;
    } expected[] = {{0, PFN_LCLETTER, 3}, {2, PFN_UCROMAN, 4}, {4, PFN_ARABIC, 5}};
    for (const auto &e : expected) {
        SendMessageW(edit, EM_SETSEL, e.at, e.at);
        PARAFORMAT2 format{};
        format.cbSize = sizeof format;
        SendMessageW(edit, EM_GETPARAFORMAT, 0, reinterpret_cast<LPARAM>(&format));
        EXPECT_EQ(e.numbering, format.wNumbering) << "paragraph at " << e.at << " of\n" << s.data;
        EXPECT_EQ(e.start, format.wNumberingStart) << "paragraph at " << e.at << " of\n" << s.data;
    }
    DestroyWindow(edit);
}

TEST_F(RtfStructure, CellsKeepTheirListItems)
{
    const std::string row = "{\\rtf1\\trowd\\cellx1000\\cellx2000\\pard\\intbl ";
    const struct {
        const char *what;
        std::string rtf, expected;
    } cases[] = {
        {"lines, then list items, in one cell",
         row + "a\\par b\\par{\\listtext 1.\\tab}one\\par{\\listtext 2.\\tab}two\\par\\cell c\\cell\\row\\pard after\\par}",
         "<table><row><cell>a<br>b<li level=1 number=1 cell>one</li><li level=1 number=2 cell>two</li></cell>"
         "<cell>c</cell></row></table><p>after</p>"},
        {"a cell that begins with an item; its level from \\ilvl",
         row + "\\ls1\\ilvl1{\\listtext b)\\tab}x\\cell\\row}",
         "<table><row><cell><li level=2 number=2 cell style=lower-alpha>x</li></cell></row></table>"},
        {"paragraphs without items stay lines", row + "a\\par b\\par\\cell\\par\\par c\\cell\\row}",
         "<table><row><cell>a<br>b</cell><cell>c</cell></row></table>"},
        {"a table in a cell (\\itap2) is a table in the cell; its fallback for older readers (\\nonesttables) is not read",
         row + "before\\par\\pard\\intbl\\itap2 in1\\nestcell{\\nonesttables\\tab}in2\\nestcell{\\nonesttables\\tab}"
               "{\\*\\nesttableprops\\trowd\\itap2\\cellx500\\cellx1000\\nestrow}{\\nonesttables\\par}\\pard\\intbl after\\cell\\row}",
         "<table><row><cell>before<table cell><row><cell>in1</cell><cell>in2</cell></row></table><p cell>after</p></cell>"
         "</row></table>"},
        {"a header row's items", "{\\rtf1\\trowd\\trhdr\\cellx1000\\pard\\intbl{\\b H}\\par{\\pntext\\'b7\\tab}{\\b I}\\cell\\row}",
         "<table><row><cell header>H<li level=1 cell>I</li></cell></row></table>"},
    };
    for (const auto &c : cases) {
        const std::string read = read_rtf(c.rtf);
        EXPECT_EQ(c.expected, readable(read)) << c.what << ":\n" << c.rtf;
        // what is read is written so that it reads back the same
        const std::string written = write_rtf(read);
        EXPECT_EQ(readable(read), readable(read_rtf(written))) << c.what << ":\n" << written;
    }
}

} // namespace
