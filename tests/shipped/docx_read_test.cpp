// Word documents read by the document plug-in: files that Word, LibreOffice
// and pandoc wrote, each judged against pandoc's reading of it; the rules
// of Word's markup, each in a package of its own; and hostile packages,
// each refused with its reason.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "tests/shipped/document_test_support.h"

namespace {

const char docx_format[] = "Document - Word (DOCX)";
const std::string judge = "/usr/bin/python3 '" MORPHEX_TEST_SCRIPTS "/docx_judge.py' ";

class DocxRead : public TempDirTest {
protected:
    // The document read, as the intermediate form shows it to a person.
    std::string read_readable(const std::string &docx, int *result = nullptr)
    {
        std::string doc;
        const int status = run_converter(find_converter(cnvdoc().sources, docx_format), read_file(docx), doc);
        if (result)
            *result = status;
        return readable(doc);
    }

    // The document read and written as HTML, beside it.
    std::string to_html(const std::string &docx)
    {
        std::string doc, html;
        EXPECT_EQ(0, run_converter(find_converter(cnvdoc().sources, docx_format), read_file(docx), doc)) << docx;
        EXPECT_EQ(0, run_converter(find_converter(cnvdoc().targets, "Document - HTML"), doc, html)) << docx;
        write_file("ours.html", html);
        return html;
    }

    bool have_pandoc() { return run_unix_in(dir(), "command -v pandoc >/dev/null && echo yes").find("yes") == 0; }
};

// Each file as pandoc reads it: the same words in the same order, and as
// many headings, items, cells, links and pictures, but where pandoc reads
// otherwise (it writes merged cells as one, leaves out an empty header row
// and a linked picture, takes indented paragraphs for quotes, and raised
// text for plain).
TEST_F(DocxRead, DocumentsOfOtherWritersReadAsPandocReadsThem)
{
    if (!have_pandoc())
        GTEST_SKIP() << "pandoc is not installed";
    const struct {
        const char *file;
        const char *pandoc_reads_otherwise;
    } cases[] = {
        {"word-hyperlinks.docx", ""},
        {"word-character-styles.docx", ""},
        {"word-paragraph-styles.docx", ""},
        {"word-comments.docx", ""},
        {"word-numbering.docx", ""},
        {"word-merged-cells.docx", "td|th"},
        {"word-empty-tables.docx", "td|th"},
        {"word-pictures.docx", "img"},
        {"libreoffice-field-notes.docx", "sup,sub,blockquote"},
    };
    for (const auto &c : cases) {
        const std::string source = std::string(MORPHEX_OFFICE_SAMPLES "\\") + c.file;
        CopyFileA(source.c_str(), "document.docx", FALSE);
        to_html("document.docx");
        const std::string verdict =
            run_unix_in(dir(), judge + "same ours.html document.docx '" + c.pandoc_reads_otherwise + "'");
        EXPECT_EQ("ok\n", verdict) << c.file << ":\n" << read_file("ours.html");
    }
}

// A document that pandoc writes from Markdown with every feature it holds
// in Word: read back as pandoc reads it.
TEST_F(DocxRead, PandocsDocumentReadsAsPandocReadsIt)
{
    if (!have_pandoc())
        GTEST_SKIP() << "pandoc is not installed";
    const std::string made = run_unix_in(dir(), "pandoc -f markdown '" + unix_path(MORPHEX_STRUCTURE_SAMPLES
                                                                                   "\\field-notes.md") +
                                                    "' -o document.docx && echo made");
    ASSERT_EQ("made\n", made);
    const std::string html = to_html("document.docx");
    EXPECT_EQ("ok\n", run_unix_in(dir(), judge + "same ours.html document.docx")) << html;
    for (const char *held : {"<sub>2</sub>", "<dt>Tide table</dt>", "<ol type=\"a\"", "<td>North</td>",
                             "data:image/png;base64,iVBORw0KGgo", "Its second paragraph"})
        EXPECT_NE(std::string::npos, html.find(held)) << held << " not in:\n" << html;
}

// Word's rules, one package each around a body of markup.
TEST_F(DocxRead, MarkupReadsAsWordShowsIt)
{
    const struct {
        const char *rule;
        const char *body;
        const char *read;
    } cases[] = {
        {"headings by style, base style, outline level; a style based on itself",
         R"(<w:p><w:pPr><w:pStyle w:val="Chapter"/></w:pPr><w:r><w:t>Title</w:t></w:r></w:p>)"
         R"(<w:p><w:pPr><w:outlineLvl w:val="2"/></w:pPr><w:r><w:t>Third</w:t></w:r></w:p>)"
         R"(<w:p><w:pPr><w:pStyle w:val="Loop"/></w:pPr><w:r><w:t>loop</w:t></w:r></w:p>)",
         "<h level=2>Title</h><h level=3>Third</h><p>loop</p>"},
        {"toggles: a bold character style in a bold paragraph style turns bold off; hidden text left out",
         R"(<w:p><w:pPr><w:pStyle w:val="BoldBody"/></w:pPr><w:r><w:t xml:space="preserve">all </w:t></w:r>)"
         R"(<w:r><w:rPr><w:rStyle w:val="Strong"/></w:rPr><w:t>not</w:t></w:r><w:r><w:rPr><w:b w:val="0"/><w:i/>)"
         R"(<w:vertAlign w:val="superscript"/></w:rPr><w:t>up</w:t></w:r><w:r><w:rPr><w:vanish/></w:rPr>)"
         R"(<w:t>secret</w:t></w:r></w:p>)",
         "<p><b>all </b>not<i><sup>up</sup></i></p>"},
        {"tracked changes accepted; content controls read through",
         R"(<w:p><w:r><w:t xml:space="preserve">kept </w:t></w:r><w:ins><w:r><w:t xml:space="preserve">added </w:t>)"
         R"(</w:r></w:ins><w:del><w:r><w:delText>gone </w:delText></w:r></w:del><w:moveFrom><w:r><w:t>moved</w:t>)"
         R"(</w:r></w:moveFrom><w:sdt><w:sdtPr><w:alias w:val="x"/></w:sdtPr><w:sdtContent><w:r><w:t>control)"
         R"(</w:t></w:r></w:sdtContent></w:sdt></w:p>)",
         "<p>kept added control</p>"},
        {"links: a HYPERLINK field, a page field's result, a relationship with an anchor",
         R"(<w:p><w:r><w:fldChar w:fldCharType="begin"/></w:r><w:r><w:instrText xml:space="preserve"> HYPERLINK )"
         R"("http://a.org/" </w:instrText></w:r><w:r><w:fldChar w:fldCharType="separate"/></w:r><w:r><w:t>site)"
         R"(</w:t></w:r><w:r><w:fldChar w:fldCharType="end"/></w:r><w:fldSimple w:instr=" PAGE "><w:r><w:t>3)"
         R"(</w:t></w:r></w:fldSimple><w:hyperlink r:id="rLink" w:anchor="top"><w:r><w:t>x</w:t></w:r>)"
         R"(</w:hyperlink></w:p>)",
         "<p><a href=http://a.org/>site</a>3<a href=http://example.org/#top>x</a></p>"},
        {"a text box once: the choice, not its fallback",
         R"(<w:p><w:r><mc:AlternateContent><mc:Choice Requires="wps"><w:drawing><wps:txbx><w:txbxContent><w:p>)"
         R"(<w:r><w:t>boxed</w:t></w:r></w:p></w:txbxContent></wps:txbx></w:drawing></mc:Choice><mc:Fallback>)"
         R"(<w:pict><v:textbox><w:txbxContent><w:p><w:r><w:t>boxed</w:t></w:r></w:p></w:txbxContent></v:textbox>)"
         R"(</w:pict></mc:Fallback></mc:AlternateContent></w:r><w:r><w:t>after</w:t></w:r></w:p>)",
         "<p>boxed</p><p>after</p>"},
        {"numbering: levels, counting on, a start override, a bulleted list",
         R"(<w:p><w:pPr><w:numPr><w:ilvl w:val="0"/><w:numId w:val="1"/></w:numPr></w:pPr><w:r><w:t>a</w:t></w:r></w:p>)"
         R"(<w:p><w:pPr><w:numPr><w:ilvl w:val="1"/><w:numId w:val="1"/></w:numPr></w:pPr><w:r><w:t>b</w:t></w:r></w:p>)"
         R"(<w:p><w:pPr><w:numPr><w:ilvl w:val="0"/><w:numId w:val="1"/></w:numPr></w:pPr><w:r><w:t>c</w:t></w:r></w:p>)"
         R"(<w:p><w:pPr><w:numPr><w:ilvl w:val="0"/><w:numId w:val="3"/></w:numPr></w:pPr><w:r><w:t>d</w:t></w:r></w:p>)"
         R"(<w:p><w:pPr><w:numPr><w:ilvl w:val="0"/><w:numId w:val="2"/></w:numPr></w:pPr><w:r><w:t>e</w:t></w:r></w:p>)",
         "<li level=1 number=1>a</li><li level=2 number=1 style=lower-roman>b</li><li level=1 number=2>c</li>"
         "<li level=1 number=7 new>d</li><li level=1 new>e</li>"},
        {"tabs, line breaks, hyphens, a symbol; a page break is no line",
         R"(<w:p><w:r><w:t>a</w:t><w:tab/><w:t>b</w:t><w:br/><w:t>c</w:t><w:noBreakHyphen/><w:softHyphen/>)"
         R"(<w:sym w:font="Symbol" w:char="F061"/><w:br w:type="page"/></w:r></w:p>)",
         "<p>a\tb<br>c\xE2\x80\x91\xC2\xAD" "a</p>"},
        {"code from a fixed-pitch style, its empty line kept; a quote; a footnote",
         R"(<w:p><w:pPr><w:pStyle w:val="Listing2"/></w:pPr><w:r><w:t>line 1</w:t></w:r></w:p><w:p><w:pPr>)"
         R"(<w:pStyle w:val="Listing2"/></w:pPr></w:p><w:p><w:pPr><w:pStyle w:val="Listing"/></w:pPr><w:r>)"
         R"(<w:t>line 3</w:t></w:r></w:p><w:p><w:pPr><w:pStyle w:val="Zitat"/></w:pPr><w:r><w:t>q</w:t></w:r></w:p>)"
         R"(<w:p><w:r><w:t>n</w:t></w:r><w:r><w:footnoteReference w:id="1"/></w:r></w:p>)",
         "<code>line 1\n\nline 3</code><quote><p>q</p></quote><p>n<fn id=f1></fn></p><note id=f1><p>A note.</p></note>"},
        {"tables: a header row, a merged cell, paragraphs, a list and a table in a cell",
         R"(<w:tbl><w:tblPr><w:tblLook w:firstRow="1"/></w:tblPr><w:tr><w:tc><w:tcPr><w:gridSpan w:val="2"/>)"
         R"(</w:tcPr><w:p><w:r><w:t>wide</w:t></w:r></w:p></w:tc></w:tr><w:tr><w:tc><w:p><w:r><w:t>a</w:t></w:r></w:p>)"
         R"(<w:p><w:r><w:t>a2</w:t></w:r></w:p></w:tc><w:tc><w:p><w:pPr><w:numPr><w:ilvl w:val="0"/>)"
         R"(<w:numId w:val="2"/></w:numPr></w:pPr><w:r><w:t>item</w:t></w:r></w:p><w:tbl><w:tr><w:tc><w:p><w:r>)"
         R"(<w:t>inner</w:t></w:r></w:p></w:tc></w:tr></w:tbl></w:tc></w:tr></w:tbl>)",
         "<table><row><cell header>wide</cell><cell header></cell></row><row><cell>a<br>a2</cell><cell>"
         "<li level=1 cell>item</li><table cell><row><cell>inner</cell></row></table></cell></row></table>"},
        {"a list going on after a nested one; an empty paragraph with a border below; a centred cell",
         R"(<w:p><w:pPr><w:numPr><w:ilvl w:val="0"/><w:numId w:val="1"/></w:numPr></w:pPr><w:r><w:t>a</w:t></w:r></w:p>)"
         R"(<w:p><w:pPr><w:numPr><w:ilvl w:val="1"/><w:numId w:val="2"/></w:numPr></w:pPr><w:r><w:t>b</w:t></w:r></w:p>)"
         R"(<w:p><w:pPr><w:numPr><w:ilvl w:val="0"/><w:numId w:val="1"/></w:numPr></w:pPr><w:r><w:t>c</w:t></w:r></w:p>)"
         R"(<w:p><w:pPr><w:pBdr><w:bottom w:val="single" w:sz="6"/></w:pBdr></w:pPr></w:p><w:tbl><w:tr><w:tc><w:p>)"
         R"(<w:pPr><w:jc w:val="center"/></w:pPr><w:r><w:t>mid</w:t></w:r></w:p></w:tc></w:tr></w:tbl>)",
         "<li level=1 number=1>a</li><li level=2 number=1>b</li><li level=1 number=2>c</li><hr><table><row><cell align=center>"
         "mid</cell></row></table>"},
        {"XML: CDATA, references, a prefix of the document's own, the default namespace",
         R"(<w:p><w:r><w:t><![CDATA[a<b]]> &amp; &#x263A;&#65;</w:t></w:r></w:p><x:p xmlns:x="http://schemas.)"
         R"(openxmlformats.org/wordprocessingml/2006/main"><x:r><x:t>prefixed</x:t></x:r></x:p><p xmlns="http://)"
         R"(schemas.openxmlformats.org/wordprocessingml/2006/main"><r><t>default</t></r></p>)",
         "<p>a<b & \xE2\x98\xBA" "A</p><p>prefixed</p><p>default</p>"},
        {"the namespaces of Strict",
         R"(<!-- strict --><w:p><w:pPr><w:pStyle w:val="Heading2"/></w:pPr><w:hyperlink r:id="rLink"><w:r><w:rPr>)"
         R"(<w:i/></w:rPr><w:t>strict</w:t></w:r></w:hyperlink></w:p>)",
         "<h level=2><a href=http://example.org/><i>strict</i></a></h>"},
    };
    for (const auto &c : cases) {
        write_file("body.xml", c.body);
        ASSERT_EQ("ok\n", run_unix_in(dir(), judge + "pack body.xml document.docx")) << c.rule;
        EXPECT_EQ(c.read, read_readable("document.docx")) << c.rule << "\n" << c.body;
    }
}

// What a damaged or hostile package may hold costs little, and is refused
// with what is wrong with it.
TEST_F(DocxRead, HostilePackagesAreRefusedWithTheirReason)
{
    ASSERT_EQ("ok\n", run_unix_in(dir(), judge + "hostile ."));
    const struct {
        const char *file;
        const char *reason;
    } cases[] = {
        {"truncated.docx", "It is not a Word document (.docx): it is no ZIP package, or it is cut short (the list of "
                           "its parts at its end is missing)."},
        {"no-body.docx", "It holds no document: its part word/document.xml is missing."},
        {"bomb.docx", "It is refused: its part \"word/document.xml\" inflates to more than a document of its size "
                      "holds (256 MiB), as a ZIP bomb does."},
        {"doctype.docx", "It is refused: its part word/document.xml declares a document type, where entities could "
                         "be defined; no document's writer puts one there."},
        {"deep.docx", "It is refused: its part word/document.xml nests elements deeper than 512, as no document does."},
        {"entity.docx", "It is damaged: its part word/document.xml is not well-formed XML (a reference to an entity "
                        "that XML does not define, at byte 12)."},
        {"damaged.docx", "It is damaged: its part \"word/document.xml\" fails its checksum."},
        {"encrypted.docx", "It is encrypted: the Word document is protected by a password, and is read only once it is "
                           "saved without one."},
    };
    const auto reason = reinterpret_cast<dll_reason_fn>(
        reinterpret_cast<void *>(GetProcAddress(cnvdoc().module, "_DLL_reason")));
    ASSERT_NE(nullptr, reason);
    for (const auto &c : cases) {
        int result = 0;
        read_readable(c.file, &result);
        EXPECT_EQ(CONVERT_WRONG_FORMAT, result) << c.file;
        EXPECT_STREQ(c.reason, reason()) << c.file;
    }
    for (const char *file : {"real.docx", "zip64.docx"}) {
        int result = -1;
        EXPECT_EQ("<p>words</p>", read_readable(file, &result)) << file << ": the package they were made from";
        EXPECT_EQ(0, result) << file;
    }
}

} // namespace
