// The intermediate form where its grammar is subtle, read by both shipped
// plug-ins through the document core: the text plug-in's rendering and the
// document plug-in's Markdown writer take each case the same way (Markdown
// escapes a bracket that would start a link, and a list starts at its first
// level).
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "tests/common/test_support.h"
#include "tests/shipped/shipped_plugin.h"

namespace {

struct grammar_case {
    const char *what;
    const char *body;      // after the header
    const char *as_text;   // the text plug-in's UTF-8 writer
    const char *as_markdown;
};

const grammar_case grammar_cases[] = {
    {"a doubled ESC is one ESC of text", "\x1B[p]a\x1B\x1B" "b\x1B[/p]\n", "a\x1B" "b\n", "a\x1B" "b\n"},
    {"a mark cut by a line end is text", "\x1B[p]a \x1B[b bold\nmore\x1B[/p]\n", "a \x1B[b bold more\n",
     "a \x1B\\[b bold\nmore\n"},
    {"a mark cut by the end of the file is text", "\x1B[p]a \x1B[b", "a \x1B[b\n", "a \x1B\\[b\n"},
    {"an unknown mark goes, its text stays", "\x1B[p]a\x1B[frob x=1]b\x1B[/frob]c\x1B[/p]\n", "abc\n", "abc\n"},
    {"an unknown key is ignored", "\x1B[li level=2 colour=red]x\x1B[/li]\n", "  - x\n", "- x\n"},
    {"a value's %XX escapes are undone", "\x1B[p]\x1B[a href=http://x.org/a%20b%5D]t\x1B[/a]\x1B[/p]\n",
     "t (http://x.org/a b])\n", "[t](<http://x.org/a b]>)\n"},
    {"a closing mark with nothing open is dropped", "\x1B[p]a\x1B[/b]b\x1B[/p]\n", "ab\n", "ab\n"},
};

class TheFormsGrammar : public TempDirTest {};

TEST_F(TheFormsGrammar, ReadsAlikeInBothPlugins)
{
    const plugin_formats text = load_formats(MORPHEX_BIN_DIR "/cnvtext.dll");
    const plugin_formats documents = load_formats(MORPHEX_BIN_DIR "/cnvdoc.dll");
    const convert_fn as_text = find_converter(text.targets, "Text - Unicode - UTF-8");
    const convert_fn as_markdown = find_converter(documents.targets, "Document - Markdown");
    ASSERT_TRUE(as_text && as_markdown) << "cannot load the shipped plug-ins";
    for (const grammar_case &c : grammar_cases) {
        const std::string input = std::string("\x1B[morphex-text 2 eol=lf bom=0]\n") + c.body;
        std::string got_text, got_markdown;
        EXPECT_EQ(0, run_converter(as_text, input, got_text)) << c.what;
        EXPECT_EQ(c.as_text, got_text) << c.what << "\ninput: " << input;
        EXPECT_EQ(0, run_converter(as_markdown, input, got_markdown)) << c.what;
        EXPECT_EQ(c.as_markdown, got_markdown) << c.what << "\ninput: " << input;
    }
}

// The marks of version 3 as plain text: what a person would type.
TEST_F(TheFormsGrammar, Version3BecomesPlainText)
{
    const struct {
        const char *what, *body, *expected;
    } cases[] = {
        {"superscript, subscript and a footnote",
         "\x1B[p]mc\x1B[sup]2\x1B[/sup] H\x1B[sub]2\x1B[/sub]O\x1B[fn id=a]\x1B[/fn].\x1B[/p]\n"
         "\x1B[note id=a]\n\x1B[p]A note.\x1B[/p]\n\x1B[/note]\n",
         "mc^2 H_2O[1].\n\n[1] A note.\n"},
        {"notes numbered as their references stand",
         "\x1B[p]x\x1B[fn id=b]\x1B[/fn]y\x1B[fn id=a]\x1B[/fn]\x1B[/p]\n\x1B[note id=a]\n\x1B[p]A\x1B[/p]\n"
         "\x1B[/note]\n\x1B[note id=b]\n\x1B[p]B\x1B[/p]\n\x1B[/note]\n",
         "x[1]y[2]\n\n[2] A\n\n[1] B\n"},
        {"list styles and an outline label",
         "\x1B[li level=1 number=3 style=lower-alpha]x\x1B[/li]\n\x1B[li level=1 number=4 style=upper-roman]y"
         "\x1B[/li]\n\x1B[li level=1 number=1 label=2.1.]z\x1B[/li]\n",
         "c. x\nIV. y\n2.1. z\n"},
        {"a definition list", "\x1B[dl]\n\x1B[dt]Term\x1B[/dt]\n\x1B[dd]\n\x1B[p]One.\x1B[/p]\n\x1B[p]Two.\x1B[/p]\n"
         "\x1B[/dd]\n\x1B[/dl]\n",
         "Term\n    One.\n\n    Two.\n"},
        {"blocks and a table in a cell",
         "\x1B[table]\n\x1B[row]\n\x1B[cell]a\x1B[li level=1 cell]b\x1B[/li]\n\x1B[table cell]\n\x1B[row]\n"
         "\x1B[cell]c\x1B[/cell]\n\x1B[/row]\n\x1B[/table]\n\x1B[/cell]\n\x1B[cell]d\x1B[/cell]\n\x1B[/row]\n"
         "\x1B[/table]\n",
         "a - b c\td\n"},
    };
    const plugin_formats text = load_formats(MORPHEX_BIN_DIR "/cnvtext.dll");
    const convert_fn as_text = find_converter(text.targets, "Text - Unicode - UTF-8");
    ASSERT_TRUE(as_text) << "cannot load cnvtext.dll";
    for (const auto &c : cases) {
        std::string got;
        const std::string input = std::string("\x1B[morphex-text 3 eol=lf bom=0]\n") + c.body;
        EXPECT_EQ(0, run_converter(as_text, input, got)) << c.what;
        EXPECT_EQ(c.expected, got) << c.what << "\ninput: " << input;
    }
}

}  // namespace
