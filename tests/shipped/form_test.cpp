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

}  // namespace
