// The structure GitHub's Markdown holds beyond CommonMark (bare addresses,
// footnotes, sub- and superscript, pictures with their data) through the
// Markdown reader and writer, judged by cmark-gfm where it is installed.
#include <windows.h>

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "plugins/morphex_plugin.h"
#include "tests/common/test_support.h"
#include "tests/shipped/document_test_support.h"
#include "tests/shipped/shipped_plugin.h"

namespace {

const char *const markdown_format = "Document - Markdown";

// Every match of a pattern's first group, in order.
std::vector<std::string> all_of(const std::string &text, const std::string &pattern)
{
    std::vector<std::string> found;
    const std::regex re(pattern);
    for (std::sregex_iterator m(text.begin(), text.end(), re), end; m != end; ++m)
        found.push_back((*m)[1]);
    return found;
}

std::string joined(const std::vector<std::string> &items)
{
    std::string out;
    for (const std::string &item : items)
        out += item + " ";
    return out;
}

class MarkdownStructure : public TempDirTest {
protected:
    std::string read_as_doc(const std::string &markdown)
    {
        std::string doc;
        EXPECT_EQ(0, run_converter(find_converter(cnvdoc().sources, markdown_format), markdown, doc)) << markdown;
        return doc;
    }

    std::string write_as_markdown(const std::string &doc)
    {
        std::string markdown;
        EXPECT_EQ(0, run_converter(find_converter(cnvdoc().targets, markdown_format), doc, markdown)) << doc;
        return markdown;
    }

    // cmark-gfm's HTML for a Markdown file of this test's directory, "" when
    // it is not installed.
    std::string cmark_gfm(const std::string &file, const std::string &extensions)
    {
        return run_unix_in(dir(), "command -v cmark-gfm >/dev/null && cmark-gfm " + extensions + " " + file);
    }
};

TEST_F(MarkdownStructure, ReaderFindsWhatGitHubFinds)
{
    const struct {
        std::string markdown, expected;
    } cases[] = {
        {"see www.a.com/x, http://b.org/p?q=1. and ftp://c.net",
         "<p>see <a href=http://www.a.com/x>www.a.com/x</a>, <a href=http://b.org/p?q=1>http://b.org/p?q=1</a>. and "
         "<a href=ftp://c.net>ftp://c.net</a></p>"},
        // a ')' that nothing opens, an entity at the end, a '<' end the address
        {"(http://a.com/x_(y)) www.b.com/&amp; www.c.com<b>", "<p>(<a href=http://a.com/x_(y)>http://a.com/x_(y)</a>) "
                                                              "<a href=http://www.b.com/>www.b.com/</a>& "
                                                              "<a href=http://www.c.com>www.c.com</a><raw><b></raw></p>"},
        // inside brackets, a word or code no address is taken
        {"xhttp://a.com foo.www.b.com `www.c.com` [d http://e.com", "<p>xhttp://a.com foo.www.b.com <c>www.c.com</c> "
                                                                   "[d http://e.com</p>"},
        {"mail foo_bar@x.com, mailto:a@b.com or a@b.c1", "<p>mail <a href=mailto:foo_bar@x.com>foo_bar@x.com</a>, "
                                                         "<a href=mailto:a@b.com>mailto:a@b.com</a> or a@b.c1</p>"},
        {"**www.a.com** and _a@b.com_", "<p><b><a href=http://www.a.com>www.a.com</a></b> and "
                                        "<i><a href=mailto:a@b.com>a@b.com</a></i></p>"},
        {"a[^1] b[^X] c[^none] d[^1](x)\n\n[^1]: One\n    more\n\n    Two\n\n[^x]: Ex",
         "<p>a<fn id=1></fn> b<fn id=x></fn> c[^none] d<a href=x>^1</a></p><note id=1><p>One\nmore</p><p>Two</p></note>"
         "<note id=x><p>Ex</p></note>"},
        // a definition interrupts a paragraph and holds a list, whose text goes on lazily (as in cmark-gfm)
        {"text\n[^n]: - item\nafter[^n]", "<p>text</p><note id=n><li level=1>item\nafter<fn id=n></fn></li></note>"},
        // a closing tag without its opening one is no mark, as for <u> and <em>
        {"x<sup>2</sup> H<SUB>2</SUB>O </sup>", "<p>x<sup>2</sup> H<sub>2</sub>O </p>"},
        {"![dot](data:image/png;base64,iVBORw0KGgo= \"T\") ![pic](p.png) ![bad](data:image/png;base64,%%%)",
         "<p><img src= title=T type=image/png><bits iVBORw0KGgo=>dot</img> <img src=p.png>pic</img> "
         "<img src=data:image/png;base64,%25%25%25>bad</img></p>"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.expected, readable(read_as_doc(c.markdown))) << c.markdown;
}

// The link targets we read from bare addresses are those cmark-gfm finds.
TEST_F(MarkdownStructure, BareAddressesAsCmarkGfmTakesThem)
{
    const char *const cases[] = {
        "www.commonmark.org/help?a=1&b=2.", "Visit https://example.com/a_(b)c) now", "http://localhost:8080/x",
        "HTTPS://EXAMPLE.COM/Path", "www.a_b.c_d and www.x.y_z.com", "(www.a.com) *www.b.com* ~www.c.com~",
        "http://a.com/~u_x* and http://b.com/q\"", "foo@bar.baz, a.b-c+d@ex-ample.co.uk. and x@y", "http://.com www.",
        "see http://a.com/&hl; and https://b.com/&amp;x", "mailto:a@b.com xmpp x@y.z1", "a@b@c.com",
    };
    for (const char *markdown : cases) {
        write_file("in.md", markdown);
        const std::string html = cmark_gfm("in.md", "-e autolink");
        if (html.empty())
            GTEST_SKIP() << "cmark-gfm is not installed";
        const std::string ours = joined(all_of(read_as_doc(markdown), "\x1B\\[a href=([^\\]]*)\\]"));
        // the intermediate escapes what would end a mark as %XX; cmark-gfm what a URL may not hold
        std::string theirs = joined(all_of(html, "href=\"([^\"]*)\""));
        theirs = std::regex_replace(theirs, std::regex("&amp;"), "&");
        EXPECT_EQ(theirs, ours) << markdown << "\ncmark-gfm: " << html;
    }
}

// Our Markdown rendered by cmark-gfm holds what the document held.
TEST_F(MarkdownStructure, WriterIsReadByCmarkGfm)
{
    const std::string doc = "\x1B[morphex-text 3]\n\x1B[p]E = mc\x1B[sup]2\x1B[/sup], H\x1B[sub]2\x1B[/sub]O, "
                            "\x1B[sc]Small\x1B[/sc] caps\x1B[fn id=a]\x1B[/fn] (see\x1B[fn id=b]\x1B[/fn]): "
                            "\x1B[img src= type=image/png]\x1B[bits iVBORw0KGgo=]dot\x1B[/img] http://not.a.link "
                            "www.nor.this\x1B[/p]\n\x1B[li level=1 number=3 style=lower-alpha]third\x1B[/li]\n"
                            "\x1B[note id=b]\n\x1B[p]Bee.\x1B[/p]\n\x1B[/note]\n\x1B[note id=a]\n\x1B[p]Ay.\x1B[/p]\n"
                            "\x1B[p]More of it.\x1B[/p]\n\x1B[/note]\n";
    const std::string markdown = write_as_markdown(doc);
    write_file("ours.md", markdown);
    const std::string html = cmark_gfm("ours.md", "-e footnotes -e autolink -e table --unsafe");
    if (html.empty())
        GTEST_SKIP() << "cmark-gfm is not installed";
    for (const char *part : {"mc<sup>2</sup>", "H<sub>2</sub>O", "Small caps<sup class=\"footnote-ref\"><a href=\"#fn-1\"",
                             "<a href=\"#fn-2\"", "<img src=\"data:image/png;base64,iVBORw0KGgo=\" alt=\"dot\"",
                             // a bare address stays bare, for GitHub to link, as the writer always left it
                             "<a href=\"http://not.a.link\">http://not.a.link</a>", "<ol start=\"3\">", "<section class=\"footnotes\"",
                             "<li id=\"fn-1\">\n<p>Ay.</p>\n<p>More of it.", "<li id=\"fn-2\">\n<p>Bee."})
        EXPECT_NE(std::string::npos, html.find(part)) << part << "\nMarkdown:\n" << markdown << "\ncmark-gfm:\n" << html;
}

// Real files: a README and what pandoc writes as GitHub's Markdown.
TEST_F(MarkdownStructure, SamplesReadWhole)
{
    const struct {
        const char *file;
        std::vector<const char *> parts;
    } samples[] = {
        {"readme.md",
         {"<a href=http://www.example.com/docs>www.example.com/docs</a>",
          "<a href=https://github.com/example/widget>https://github.com/example/widget</a>.",
          "<a href=mailto:team@example.org>team@example.org</a>",
          "<a href=http://example.com/faq_(old)>http://example.com/faq_(old)</a>)", "compiler.<fn id=cc></fn>",
          "<note id=cc><p>GCC 12 or Clang 15.</p></note><note id=win><p>Through MinGW-w64.</p><p>Tested under Wine.</p>"}},
        {"pandoc-gfm.md",
         {"H<sub>2</sub>O and its square is x<sup>2</sup>.<fn id=1></fn>", "<p>Term<br>Its definition.</p>",
          "<note id=1><p>A note on water.</p><p>With a second paragraph.</p></note>"}},
    };
    for (const auto &s : samples) {
        const std::string doc = readable(read_as_doc(read_file(std::string(MORPHEX_STRUCTURE_SAMPLES "/") + s.file)));
        for (const char *part : s.parts)
            EXPECT_NE(std::string::npos, doc.find(part)) << s.file << ": " << part << "\nread as\n" << doc;
    }
}

// Markdown written from what Markdown held reads back the same, but for
// the footnotes' ids, which become their numbers.
TEST_F(MarkdownStructure, RoundTripKeepsEveryFeature)
{
    const std::string markdown = read_file(std::string(MORPHEX_STRUCTURE_SAMPLES "/readme.md")) +
                                 "\nx<sup>2</sup> H<sub>2</sub>O ![d](data:image/gif;base64,R0lGODlhAQABAAAAACw=) "
                                 "[^a]\n\n[^a]: > quoted\n    - item\n";
    const auto without_ids = [](const std::string &doc) {
        return std::regex_replace(readable(doc), std::regex("(fn|note) id=[^>]*"), "$1");
    };
    const std::string doc = read_as_doc(markdown), written = write_as_markdown(doc);
    EXPECT_EQ(without_ids(doc), without_ids(read_as_doc(written))) << markdown << "\nwritten as\n" << written;
}

// The intermediate form with its marks written {name args} for ESC [ name args ].
std::string form(const std::string &marks)
{
    std::string out = "\x1B[morphex-text 3]\n";
    for (char c : marks)
        out += c == '{' ? std::string("\x1B[") : c == '}' ? std::string("]") : std::string(1, c);
    return out;
}

// What GitHub's Markdown has no syntax for goes as HTML blocks, which
// cmark-gfm passes on whole: the HTML we meant, the words intact, whatever
// containers the block stands in; a table of one-line cells stays a pipe table.
TEST_F(MarkdownStructure, DefinitionListsAndBlockCellsAsHtml)
{
    const struct {
        std::string doc;
        std::vector<const char *> html;
    } cases[] = {
        {"{p}Before{/p}\n{dl}\n{dt}Te{b}rm{/b} & <x>{/dt}\n{dd}\n{p}Def \"q\" {i}it{/i} {c}a<b{/c} "
         "{a href=http://x.com/?a&b}link{/a} x{sup}2{/sup}{/p}\n{/dd}\n{/dl}\n{p}After{/p}\n",
         {"<p>Before</p>\n<dl>\n<dt>Te<strong>rm</strong> &amp; &lt;x&gt;</dt>\n<dd>Def &quot;q&quot; <em>it</em> "
          "<code>a&lt;b</code> <a href=\"http://x.com/?a&amp;b\">link</a> x<sup>2</sup></dd>\n</dl>\n<p>After</p>"}},
        // several blocks in a definition; code with a blank line, in an item and in a quote
        {"{li level=1}item{/li}\n{dl item=1}\n{dt}T{/dt}\n{dd}\n{p}One{/p}\n{li level=1}sub{/li}\n"
         "{code lang=c}a\n\n  b{/code}\n{/dd}\n{/dl}\n{li level=1}next{/li}\n{quote}\n{dl}\n{dt}Q{/dt}\n{dd}\n"
         "{p}A{/p}\n{/dd}\n{/dl}\n{/quote}\n{p}end{/p}\n",
         {"<li>\n<p>item</p>\n<dl>\n<dt>T</dt>\n<dd>\n<p>One</p>\n<ul>\n<li>sub</li>\n</ul>\n"
          "<pre><code class=\"language-c\">a&#10;&#10;  b</code></pre>\n</dd>\n</dl>\n</li>\n<li>\n<p>next</p>",
          "<blockquote>\n<dl>\n<dt>Q</dt>\n<dd>A</dd>\n</dl>\n</blockquote>\n<p>end</p>"}},
        {"{table}\n{row}\n{cell header}H1{/cell}\n{cell header align=center}H2{/cell}\n{/row}\n{row}\n"
         "{cell}text{li level=1 cell}a{/li}\n{li level=2 cell}a2{/li}\n{li level=1 number=4 cell}b{/li}\n{/cell}\n"
         "{cell}{p cell}p1{/p}\n{p cell}p2 | x{/p}\n{table cell}\n{row}\n{cell}inner{/cell}\n{/row}\n{/table}\n{/cell}\n"
         "{/row}\n{/table}\n{p}after{/p}\n",
         {"<table>\n<tr>\n<th>H1</th>\n<th align=\"center\">H2</th>\n</tr>\n<tr>\n<td>text\n<ul>\n<li>a\n<ul>\n"
          "<li>a2</li>\n</ul></li>\n</ul>\n<ol start=\"4\">\n<li>b</li>\n</ol></td>\n<td>\n<p>p1</p>\n<p>p2 | x</p>\n"
          "<table>\n<tr>\n<td>inner</td>\n</tr>\n</table></td>\n</tr>\n</table>\n<p>after</p>"}},
        {"{table}\n{row}\n{cell}plain{/cell}\n{/row}\n{/table}\n{p}next{/p}\n",
         {"<table>\n<thead>\n<tr>\n<th>plain</th>\n</tr>\n</thead>\n</table>\n<p>next</p>"}},
    };
    for (const auto &c : cases) {
        const std::string markdown = write_as_markdown(form(c.doc));
        write_file("ours.md", markdown);
        const std::string html = cmark_gfm("ours.md", "-e table --unsafe");
        if (html.empty())
            GTEST_SKIP() << "cmark-gfm is not installed";
        for (const char *part : c.html)
            EXPECT_NE(std::string::npos, html.find(part))
                << c.doc << "\nexpected: " << part << "\nMarkdown:\n" << markdown << "\ncmark-gfm:\n" << html;
    }
}

}  // namespace
