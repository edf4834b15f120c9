// The structure of version 3 through every pair of document formats: a
// document written in one format, read back, written in another and read
// again keeps every feature that both formats hold.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/common/test_support.h"
#include "tests/shipped/shipped_plugin.h"

namespace {

// A two-pixel PNG, and a document with every feature of version 3.
const std::string png_base64 =
    "iVBORw0KGgoAAAANSUhEUgAAAAIAAAABCAIAAAB7QOjdAAAADUlEQVR4nGP4zwAE/wEHAAH/4iOeWQAAAABJRU5ErkJggg==";
const std::string whole_document = std::string("\x1B[morphex-text 3 eol=lf bom=0]\n") +
                                   "\x1B[p]E = mc\x1B[sup]2\x1B[/sup] and H\x1B[sub]2\x1B[/sub]O\x1B[fn id=1]\x1B[/fn].\x1B[/p]\n"
                                   "\x1B[li level=1 number=1 style=lower-roman]first\x1B[/li]\n"
                                   "\x1B[li level=1 number=2 style=lower-roman]second\x1B[/li]\n"
                                   "\x1B[p]\x1B[img src= type=image/png width=2 height=1]\x1B[bits " +
                                   png_base64 +
                                   "]two dots\x1B[/img]\x1B[/p]\n"
                                   "\x1B[table]\n\x1B[row]\n\x1B[cell]a\x1B[li level=1 cell]b\x1B[/li]\n\x1B[/cell]\n"
                                   "\x1B[cell]c\x1B[/cell]\n\x1B[/row]\n\x1B[/table]\n"
                                   "\x1B[dl]\n\x1B[dt]Term\x1B[/dt]\n\x1B[dd]\n\x1B[p]Its definition\x1B[/p]\n\x1B[/dd]\n"
                                   "\x1B[/dl]\n"
                                   "\x1B[note id=1]\n\x1B[p]A note.\x1B[/p]\n\x1B[/note]\n";

struct feature {
    const char *name;
    const char *mark;  // what shows it in the intermediate form
    const char *held_by; // the formats that hold it: h(tml), m(arkdown), r(tf), d(ocx), o(dt)
};

const feature features[] = {
    {"superscript", "\x1B[sup]2", "hmrdo"},
    {"subscript", "\x1B[sub]2", "hmrdo"},
    {"footnote", "\x1B[fn id=", "hmrdo"},
    {"note", "A note.", "hmrdo"},
    {"list style", "style=lower-roman", "hrdo"},
    {"picture with its data", "type=image/png", "hmrdo"},
    {"picture's bytes", "[bits iVBORw0KGgoAAAANSUhEUgAAAAIAAAAB", "hmrdo"},
    {"a list in a cell", " cell]b", "hrdo"},
    {"definition list", "\x1B[dt]Term\x1B[/dt]", "hdo"},
};

struct document_format {
    char letter;
    const char *name;
};
const document_format formats[] = {{'h', "Document - HTML"}, {'m', "Document - Markdown"}, {'r', "Document - RTF"},
                                   {'d', "Document - Word (DOCX)"}, {'o', "Document - OpenDocument Text (ODT)"}};

class StructureRoundTrip : public TempDirTest {
protected:
    const plugin_formats documents = load_formats(MORPHEX_BIN_DIR "/cnvdoc.dll");

    // Written in `format` and read back.
    std::string through(const std::string &doc, const char *format)
    {
        std::string written, read;
        EXPECT_EQ(0, run_converter(find_converter(documents.targets, format), doc, written)) << format;
        EXPECT_EQ(0, run_converter(find_converter(documents.sources, format), written, read)) << format << ":\n"
                                                                                              << written;
        return read;
    }
};

TEST_F(StructureRoundTrip, EveryPairKeepsWhatBothHold)
{
    ASSERT_FALSE(documents.sources.empty()) << "cannot load cnvdoc.dll";
    for (const document_format &first : formats)
        for (const document_format &second : formats) {
            const std::string once = through(whole_document, first.name);
            const std::string twice = through(once, second.name);
            for (const feature &f : features) {
                const std::string held = f.held_by;
                if (held.find(first.letter) == std::string::npos || held.find(second.letter) == std::string::npos)
                    continue;
                EXPECT_NE(std::string::npos, twice.find(f.mark))
                    << f.name << " lost through " << first.name << " then " << second.name << ":\n" << twice;
            }
        }
}

}  // namespace
