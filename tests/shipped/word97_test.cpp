// Word 97-2003 documents (.doc) through cnvdoc.dll: files LibreOffice made
// from documents with every feature the reader shows, and files Microsoft
// Word wrote, each judged by the words LibreOffice and antiword read in
// them; damaged files built from a real one, each refused with its reason.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tests/common/test_support.h"
#include "tests/shipped/document_test_support.h"
#include "tests/shipped/shipped_plugin.h"

namespace {

const char *const doc_format = "Document - Word 97-2003 (DOC)";

std::string office_path(const std::string &name)
{
    return std::string(MORPHEX_STRUCTURE_SAMPLES) + "\\..\\office\\" + name;
}

std::string office_sample(const std::string &name)
{
    return read_file(office_path(name));
}

// The words of a text: runs of letters, or of digits, a byte beyond ASCII
// counting as a letter, so that "x2" is two words whether a judge shows a
// superscript or a note's number beside its word or apart.
std::vector<std::string> words_of(const std::string &text)
{
    std::vector<std::string> words;
    std::string word;
    int kind = 0; // 1 letters, 2 digits
    for (unsigned char c : text) {
        const int now = (c >= '0' && c <= '9') ? 2 : (isalpha(c) || c >= 0x80) ? 1 : 0;
        if (now != kind && !word.empty()) {
            words.push_back(word);
            word.clear();
        }
        if (now)
            word += static_cast<char>(c);
        kind = now;
    }
    if (!word.empty())
        words.push_back(word);
    return words;
}

std::string joined(const std::vector<std::string> &words)
{
    std::string s;
    for (const std::string &w : words)
        s += w + " ";
    return s;
}

// The intermediate form as plain text: a note's reference as its number,
// the notes after the text (each after its number) when `with_notes`.
std::string plain_text(const std::string &doc, bool with_notes)
{
    std::string out;
    int notes = 0, notes_written = 0;
    for (std::size_t i = doc.find('\n') + 1; i < doc.size(); ++i) {
        if (doc.compare(i, 2, "\x1B[") != 0) {
            out += doc[i];
            continue;
        }
        const std::size_t end = doc.find(']', i);
        const std::string mark = doc.substr(i + 2, end - i - 2);
        if (mark.compare(0, 3, "fn ") == 0)
            out += " " + std::to_string(++notes) + " ";
        if (mark.compare(0, 5, "note ") == 0) {
            if (!with_notes)
                break;
            out += "\n" + std::to_string(++notes_written) + " ";
        }
        const std::size_t name_start = mark[0] == '/' ? 1 : 0, space = mark.find(' ');
        const std::string name = mark.substr(name_start, space == std::string::npos ? space : space - name_start);
        for (const char *block : {"p", "h", "li", "cell", "row", "table", "note", "br", "hr", "code"})
            if (name == block)
                out += ' ';
        i = end;
    }
    return out;
}

// LibreOffice's text begins with a byte order mark and shows list items
// with their labels ("•", "2.", "b.", "II."); the intermediate form gives
// them as numbers and styles.
std::string without_list_labels(const std::string &text)
{
    std::string out;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        if (start == 0 && line.compare(0, 3, "\xEF\xBB\xBF") == 0)
            line.erase(0, 3);
        const std::size_t first = line.find_first_not_of(' ');
        const std::size_t label_end = first == std::string::npos ? first : line.find(' ', first);
        if (first != 0 && label_end != std::string::npos) {
            const std::string label = line.substr(first, label_end - first);
            if (label == "\xE2\x80\xA2" || label == "\xE2\x97\xA6" || label.back() == '.' || label.back() == ')' ||
                label.find("-CrazyFormat") != std::string::npos) // a custom label of a Word test file
                line = line.substr(label_end + 1);
        }
        out += line + "\n";
        start = end + 1;
    }
    return out;
}

// Takes the words of `hidden`, in their order, out of `words`.
std::vector<std::string> without_words(std::vector<std::string> words, const std::string &hidden)
{
    const std::vector<std::string> gone = words_of(hidden);
    for (std::size_t i = 0; !gone.empty() && i + gone.size() <= words.size(); ++i)
        if (std::equal(gone.begin(), gone.end(), words.begin() + static_cast<std::ptrdiff_t>(i))) {
            words.erase(words.begin() + static_cast<std::ptrdiff_t>(i),
                        words.begin() + static_cast<std::ptrdiff_t>(i + gone.size()));
            break;
        }
    return words;
}

class Word97 : public TempDirTest {
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        ASSERT_NE(nullptr, cnvdoc().module) << "cannot load cnvdoc.dll";
    }
    std::string read_doc(const std::string &bytes, const plugin_formats &plugin = cnvdoc())
    {
        std::string doc;
        EXPECT_EQ(0, run_converter(find_converter(plugin.sources, doc_format), bytes, doc));
        return doc;
    }
    std::string run_unix(const std::string &command) { return run_unix_in(dir(), command); }
    void read_fast_saved(unsigned prm, const char *shown);
};

// The hidden words LibreOffice's text shows, and the reader leaves out.
const struct {
    const char *name;
    const char *hidden;
} word_samples[] = {
    {"word97-features", ""},
    {"word97-hidden", "secret hidden words"},
    {"word97-textract-raw-text", ""},
    {"word97-textract-standardized", ""},
    {"word97-tika-various", ""},
    {"word97-tika-numbered-list", ""},
};

TEST_F(Word97, ReadsTheWordsLibreOfficeReads)
{
    for (const auto &sample : word_samples) {
        const std::string doc = read_doc(office_sample(std::string(sample.name) + ".doc"));
        const std::string libreoffice = office_sample(std::string(sample.name) + ".libreoffice.txt");
        ASSERT_FALSE(libreoffice.empty()) << sample.name;
        EXPECT_EQ(joined(without_words(words_of(without_list_labels(libreoffice)), sample.hidden)),
                  joined(words_of(plain_text(doc, false))))
            << sample.name << ": " << readable(doc);
    }
}

// antiword shows a picture as "[pic]", and the notes after the text.
TEST_F(Word97, ReadsTheWordsAntiwordReads)
{
    if (run_unix("command -v antiword").empty())
        GTEST_SKIP() << "antiword is not installed (scripts/setup.sh installs it)";
    for (const char *name : {"word97-features", "word97-textract-raw-text", "word97-textract-standardized"}) {
        const std::string file = std::string(name) + ".doc";
        write_file(file, office_sample(file));
        const std::string antiword = run_unix("antiword -w 0 -m UTF-8.txt " + file);
        std::vector<std::string> expected;
        for (const std::string &w : words_of(antiword))
            if (w != "pic")
                expected.push_back(w);
        const std::string doc = read_doc(office_sample(file));
        EXPECT_EQ(joined(expected), joined(words_of(plain_text(doc, true)))) << name << ": " << readable(doc);
    }
}

TEST_F(Word97, ShowsTheDocumentsStructure)
{
    const struct {
        const char *name;
        const char *shown;
    } cases[] = {
        {"word97-features", "<h level=1>Main heading</h>"},
        {"word97-features", "<h level=2>Second level</h>"},
        {"word97-features",
         "<p>Plain text with <b>bold</b>, <i>italic</i>, <u>underline</u>, <s>strike</s>, x<sup>2</sup> and "
         "H<sub>2</sub>O, and <sc>small caps</sc>.</p>"},
        {"word97-features", "<p>A link to <a href=http://example.com/page>the example site</a> here.</p>"},
        {"word97-features", "Cyrillic: Привет мир. Japanese: 日本語のテキスト."},
        {"word97-features", "<li level=1>Second bullet</li><li level=2>Nested bullet</li>"},
        {"word97-features", "<li level=1 number=1 new>Decimal one</li><li level=1 number=2>Decimal two</li>"},
        {"word97-features", "<li level=1 number=2 style=lower-alpha>Letter b</li>"},
        {"word97-features", "<li level=1 number=2 style=upper-roman>Roman two</li>"},
        {"word97-features", "<table><row><cell>Merged cell</cell><cell>C1</cell></row>"},
        {"word97-features",
         "<cell>B2<table cell><row><cell>Inner one</cell><cell>Inner two</cell></row></table></cell><cell></cell>"},
        {"word97-features", "A picture: <img src= type=image/png><bits iVBORw0KGgo"},
        {"word97-features", "a note<fn id=fn1></fn> ends it.</p><note id=fn1><p>The footnote text.</p></note>"},
        {"word97-hidden", "<p>Visible text and <sc>small capitals</sc> here.</p>"},
        {"word97-hidden", "<b>Bold <i>both</i></b> <s>gone</s> a<sup>up</sup> b<sub>down</sub>."},
        {"word97-hidden", "<p>Field: <a href=http://example.org/x>linked words</a> done.</p>"},
        {"word97-notes", "and an endnote<fn id=en1></fn>.</p>"},
        {"word97-notes", "<note id=fn1><p>A footnote.</p></note><note id=en1><p>An endnote.</p></note>"},
        {"word97-notes", "<p>Jump <a href=#place>to the target</a> now.</p>"},
        {"word97-textract-standardized", "<p>the <b>quick</b> brown <i>fox jumps</i> over the lazy dog</p>"},
        {"word97-textract-raw-text", "where <a href=http://hipsum.co>http://hipsum.co</a> comes"},
        {"word97-tika-various", "Footnote appears here<fn id=fn1></fn></p>"},
        {"word97-tika-various", "<note id=fn1><p>This is a footnote.</p></note>"},
        {"word97-tika-various", "<sup>superscript</sup> <sub>subscript</sub>"},
        {"word97-tika-various", "<li level=1 number=3>Number bullet 3</li>"},
        {"word97-tika-various", "<a href=http://tika.apache.org/>This is a hyperlink</a>"},
        {"word97-tika-various",
         "<cell>Row 2 Col 1</cell><cell>Row 2 Col 2</cell><cell>Row 2 Col 3</cell></row></table>"},
        {"word97-tika-various", "<p>ゾルゲと尾崎、淡々と最期</p>"},
        {"word97-tika-various", "<p>\xF0\x90\x8C\xB2\xF0\x90\x8C\xBF"}, // Gothic, beyond the 16-bit plane
        {"word97-tika-numbered-list", "<li level=3 number=2 style=lower-roman>Level</li><table><row><cell>"},
        {"word97-tika-numbered-list", "<li level=2 number=2 cell style=lower-alpha>Cell b</li>"},
        {"word97-tika-numbered-list", "<li level=3 number=3 style=lower-roman>List</li><li level=1 number=2>foo</li>"},
        {"word97-tika-numbered-list", "<li level=1 number=6>six</li><li level=1 number=7>seven</li>"},
        // a symbol inserted from the Symbol font, as the letter it shows
        {"word97-tika-symbols", "The wire lies at an angle, <i>\xCE\xB8</i>, with respect"},
        // list format overrides that start a level again
        {"word97-tika-list-overrides", "<li level=2 number=17 new>2.17</li><li level=2 number=18>2.18</li>"},
        {"word97-tika-list-overrides", "<li level=1 number=0>00</li><li level=1 number=1>01</li>"},
        {"word97-tika-3imgs",
         "<p>The quick brown fox jumps over the lazy dog</p><p><img src= type=image/png><bits iVBORw0KGgo"},
        {"word97-tika-3imgs", "<img src= type=image/jpeg><bits /9j/4AAQSkZJRg"},
        // a deletion tracked and not yet accepted is gone, an insertion stays
        {"word97-tika-features", "Maecenas eget elit insert this fringilla, est eu, volutpat urna."},
    };
    for (const auto &c : cases) {
        const std::string doc = readable(read_doc(office_sample(std::string(c.name) + ".doc")));
        EXPECT_NE(std::string::npos, doc.find(c.shown)) << c.name << " shows " << c.shown << "\nin " << doc;
    }
    const struct {
        const char *name;
        const char *hidden;
    } hidden[] = {
        {"word97-hidden", "secret"},
        {"word97-tika-features", "hidden text"},
        {"word97-hidden", "HYPERLINK"},
    };
    for (const auto &c : hidden) {
        const std::string doc = readable(read_doc(office_sample(std::string(c.name) + ".doc")));
        EXPECT_EQ(std::string::npos, doc.find(c.hidden)) << c.name << " hides " << c.hidden << "\nin " << doc;
    }
}

// A row's definition at its end says which of its cells are headers and
// which are merged into the cell before them (sprmTTableHeader and the
// fMerged of sprmTDefTable), which LibreOffice does not write: the table
// of the features sample patched to say so.
TEST_F(Word97, ReadsRowsDefinitions)
{
    std::string doc = office_sample("word97-features.doc");
    // the second row's definition, of three cells: the last one, empty, merged
    const std::size_t second_row = doc.find(std::string("\x08\xD6\x46\x00\x03", 5));
    ASSERT_NE(std::string::npos, second_row);
    doc[second_row + 5 + 2 * 4 + 20 * 2] |= 0x02;
    // an unneeded sprm after the first row's definition, of two cells, made sprmTTableHeader
    const std::size_t first_row = doc.find(std::string("\x08\xD6\x30\x00\x02", 5));
    const std::size_t unneeded = doc.find(std::string("\x66\x34\x00", 3), first_row);
    ASSERT_NE(std::string::npos, unneeded);
    doc.replace(unneeded, 3, std::string("\x04\x34\x01", 3));
    const std::string table = readable(read_doc(doc));
    for (const char *shown : {"<table><row><cell header>Merged cell</cell><cell header>C1</cell></row><row><cell>A2",
                              "<cell>Inner two</cell></row></table></cell></row></table>"})
        EXPECT_NE(std::string::npos, table.find(shown)) << shown << "\nin " << table;
}

// Word saved RTF under the name .doc when asked to, and many programs still
// do: such a file is read as the RTF it is, its header saying so.
TEST_F(Word97, ReadsRtfNamedDoc)
{
    const std::string rtf = office_sample("word97-hidden.rtf"), doc = read_doc(rtf);
    EXPECT_EQ(0u, doc.find("\x1B[morphex-text 3 ")) << doc;
    EXPECT_NE(std::string::npos, doc.find("RTF")) << doc.substr(0, doc.find('\n'));
    EXPECT_NE(std::string::npos, readable(doc).find("<sc>small capitals</sc>")) << readable(doc);
}

// Every target writes what the reader read: the nested table's words, the
// Cyrillic text, the note and the picture reach HTML, Markdown and RTF.
TEST_F(Word97, MeetsEveryTarget)
{
    const std::string doc = read_doc(office_sample("word97-features.doc"));
    const struct {
        const char *target;
        std::vector<const char *> shown;
    } cases[] = {
        {"Document - HTML", {"<table>", "Inner two", "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82",
                             "The footnote text.", "data:image/png;base64,iVBORw0KGgo"}},
        {"Document - Markdown", {"Inner two", "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82", "[^1]",
                                 "# Main heading", "**bold**"}},
        {"Document - RTF", {"\\pict", "Inner two", "\\footnote", "\\nesttableprops"}},
    };
    for (const auto &c : cases) {
        std::string written;
        ASSERT_EQ(0, run_converter(find_converter(cnvdoc().targets, c.target), doc, written)) << c.target;
        for (const char *shown : c.shown)
            EXPECT_NE(std::string::npos, written.find(shown)) << c.target << " shows " << shown << "\nin " << written;
    }
}

// Blocks of 3 bytes and an output buffer of 3: nothing changes.
TEST_F(Word97, SmallBuffersChangeNothing)
{
    const plugin_formats small = load_formats(MORPHEX_TEST_PLUGIN_DIR "/cnvdocsmall.dll");
    ASSERT_NE(nullptr, small.module) << "cannot load cnvdocsmall.dll";
    for (const auto &sample : word_samples) {
        const std::string bytes = office_sample(std::string(sample.name) + ".doc");
        EXPECT_EQ(read_doc(bytes), read_doc(bytes, small)) << sample.name;
    }
}

// A compound file as a test patches it: its sectors, its allocation
// table, and the streams of its root storage.
struct compound {
    std::string bytes;
    unsigned shift() const { return get16(30); }
    unsigned get16(std::size_t at) const
    {
        return static_cast<unsigned char>(bytes[at]) | static_cast<unsigned char>(bytes[at + 1]) << 8;
    }
    uint32_t get32(std::size_t at) const { return get16(at) | static_cast<uint32_t>(get16(at + 2)) << 16; }
    void set16(std::size_t at, unsigned v)
    {
        bytes[at] = static_cast<char>(v);
        bytes[at + 1] = static_cast<char>(v >> 8);
    }
    void set32(std::size_t at, uint32_t v)
    {
        set16(at, v & 0xFFFF);
        set16(at + 2, v >> 16);
    }
    std::size_t sector(uint32_t s) const { return (static_cast<std::size_t>(s) + 1) << shift(); }
    std::size_t fat_entry(uint32_t s) const
    {
        const uint32_t per_sector = (1u << shift()) / 4;
        return sector(get32(76 + 4 * (s / per_sector))) + 4 * (s % per_sector);
    }
    // The bytes of a chain of sectors (of a test file, which has no loop).
    std::string chain(uint32_t s) const
    {
        std::string out;
        for (; s < 0xFFFFFFF0u && sector(s) < bytes.size(); s = get32(fat_entry(s)))
            out += bytes.substr(sector(s), std::size_t(1) << shift());
        return out;
    }
    // The directory entry of a stream, "" when there is none.
    std::string entry(const std::string &name) const
    {
        const std::string directory = chain(get32(48));
        for (std::size_t e = 0; e + 128 <= directory.size(); e += 128) {
            std::string entry_name;
            for (std::size_t i = 0; i + 2 < compound{directory}.get16(e + 64); i += 2)
                entry_name += directory[e + i];
            if (entry_name == name)
                return directory.substr(e, 128);
        }
        return "";
    }
    uint32_t stream_start(const std::string &name) const
    {
        const std::string e = entry(name);
        EXPECT_FALSE(e.empty()) << "no stream " << name;
        return e.empty() ? 0 : compound{e}.get32(116);
    }
    std::size_t word_document() const { return sector(stream_start("WordDocument")); }
    // A stream's bytes: those under 4096 bytes are in the mini stream.
    std::string stream(const std::string &name) const
    {
        const compound e{entry(name)};
        if (e.bytes.empty())
            return "";
        const uint32_t size = e.get32(120);
        if (size >= 4096)
            return chain(e.get32(116)).substr(0, size);
        const compound mini_fat{chain(get32(60))}, root{entry("Root Entry")};
        const std::string mini = chain(root.get32(116));
        std::string out;
        for (uint32_t s = e.get32(116); s < 0xFFFFFFF0u && out.size() < size; s = mini_fat.get32(4 * s))
            out += mini.substr(64 * std::size_t(s), 64);
        return out.substr(0, size);
    }
};

// A compound file of version 4, its sectors of 4096 bytes, holding the
// streams given: the small ones in its mini stream, as the format wants.
std::string version4(const std::vector<std::pair<std::string, std::string>> &streams)
{
    const uint32_t end_of_chain = 0xFFFFFFFEu, free_sector = 0xFFFFFFFFu, no_entry = 0xFFFFFFFFu;
    std::vector<uint32_t> fat{0xFFFFFFFDu}; // sector 0 holds the table itself
    std::string body(4096, '\0');
    const auto add_chain = [&](const std::string &bytes) {
        const uint32_t first = static_cast<uint32_t>(fat.size());
        const uint32_t n = static_cast<uint32_t>((bytes.size() + 4095) / 4096);
        for (uint32_t k = 0; k < n; ++k)
            fat.push_back(k + 1 < n ? first + k + 1 : end_of_chain);
        body += bytes + std::string(n * 4096 - bytes.size(), '\0');
        return n ? first : end_of_chain;
    };
    const auto put32 = [](std::string &b, std::size_t at, uint32_t v) {
        compound c{b};
        c.set32(at, v);
        b = c.bytes;
    };
    std::string mini, mini_fat, directory(128 * (streams.size() + 1), '\0');
    for (std::size_t i = 0; i <= streams.size(); ++i) {
        const std::string name = i ? streams[i - 1].first : "Root Entry", &data = i ? streams[i - 1].second : mini;
        const std::size_t e = 128 * i;
        uint32_t start = end_of_chain;
        if (i && data.size() < 4096) {
            const uint32_t first = static_cast<uint32_t>(mini.size() / 64);
            const uint32_t n = static_cast<uint32_t>((data.size() + 63) / 64);
            for (uint32_t k = 0; k < n; ++k) {
                mini_fat += std::string(4, '\0');
                put32(mini_fat, mini_fat.size() - 4, k + 1 < n ? first + k + 1 : end_of_chain);
            }
            mini += data + std::string(n * 64 - data.size(), '\0');
            start = n ? first : end_of_chain;
        } else {
            start = add_chain(data);
        }
        for (std::size_t k = 0; k < name.size(); ++k)
            directory[e + 2 * k] = name[k];
        compound entry{directory};
        entry.set16(e + 64, static_cast<unsigned>(2 * name.size() + 2));
        entry.bytes[e + 66] = i ? 2 : 5;
        entry.bytes[e + 67] = 1;
        entry.set32(e + 68, no_entry);
        entry.set32(e + 72, i && i < streams.size() ? static_cast<uint32_t>(i + 1) : no_entry);
        entry.set32(e + 76, i ? no_entry : 1);
        entry.set32(e + 116, start);
        entry.set32(e + 120, static_cast<uint32_t>(data.size()));
        directory = entry.bytes;
        if (i == streams.size()) { // the root, written first, learns of the mini stream last
            put32(directory, 116, add_chain(mini));
            put32(directory, 120, static_cast<uint32_t>(mini.size()));
        }
    }
    const uint32_t mini_fat_start = add_chain(mini_fat), directory_start = add_chain(directory);
    compound file{std::string(4096, '\0') + body};
    file.bytes.replace(0, 8, "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1");
    for (const auto &field : std::vector<std::pair<std::size_t, uint32_t>>{
             {24, 0x3E}, {26, 4}, {28, 0xFFFE}, {30, 12}, {32, 6}})
        file.set16(field.first, field.second);
    for (const auto &field : std::vector<std::pair<std::size_t, uint32_t>>{
             {40, 1}, {44, 1}, {48, directory_start}, {56, 4096}, {60, mini_fat_start},
             {64, static_cast<uint32_t>((mini_fat.size() + 4095) / 4096)}, {68, end_of_chain}, {72, 0}, {76, 0}})
        file.set32(field.first, field.second);
    for (std::size_t k = 1; k < 109; ++k)
        file.set32(76 + 4 * k, free_sector);
    for (std::size_t k = 0; k < 1024; ++k)
        file.set32(4096 + 4 * k, k < fat.size() ? fat[k] : free_sector);
    return file.bytes;
}

// The same streams in a compound file of version 4 read the same.
TEST_F(Word97, ReadsVersion4CompoundFiles)
{
    for (const char *name : {"word97-features.doc", "word97-tika-various.doc", "word97-tika-3imgs.doc"}) {
        const compound original{office_sample(name)};
        std::vector<std::pair<std::string, std::string>> streams;
        for (const char *stream : {"WordDocument", "0Table", "1Table", "Data"})
            if (!original.entry(stream).empty())
                streams.emplace_back(stream, original.stream(stream));
        ASSERT_GE(streams.size(), 2u) << name;
        EXPECT_EQ(read_doc(original.bytes), read_doc(version4(streams))) << name;
    }
}

// A fast save appends what changed to the end of the WordDocument stream
// and names it in a longer piece table, the sprms it changed in a property
// list beside it.  No such file is at hand: the features sample's text
// from 10 characters before the end of its main text is moved to the
// stream's end, its piece made bold by a property list of its own, or
// italic by the single sprm a piece may carry instead (a Prm0).  (The
// formatted pages name no properties for what moved, as a real fast save's
// would: the move begins after the note's reference, which needs its own.)
TEST_F(Word97, ReadsFastSavedPieceTables)
{
    const struct {
        unsigned prm;
        const char *shown;
    } cases[] = {{1, "<b> ends it.</b>"}, {0x56 << 1 | 1 << 8, "<i> ends it.</i>"}};
    for (const auto &c : cases)
        read_fast_saved(c.prm, c.shown);
}

void Word97::read_fast_saved(unsigned prm, const char *shown)
{
    const compound original{office_sample("word97-features.doc")};
    std::string word = original.stream("WordDocument");
    const std::string table_name = compound{word}.get16(10) & 0x0200 ? "1Table" : "0Table";
    std::string table = original.stream(table_name);
    compound fib{word};
    const compound clx{table.substr(fib.get32(154 + 8 * 33), fib.get32(154 + 8 * 33 + 4))};
    ASSERT_EQ('\x02', clx.bytes[0]) << "a piece table without property lists";
    const uint32_t pieces = (clx.get32(1) - 4) / 12, split = fib.get32(76) - 10; // ccpText less 10
    std::string cps, pcds;
    for (uint32_t k = 0; k < pieces; ++k) {
        const uint32_t cp = clx.get32(5 + 4 * k), cp_end = clx.get32(5 + 4 * (k + 1));
        const std::string pcd = clx.bytes.substr(5 + 4 * (pieces + 1) + 8 * k, 8);
        cps += clx.bytes.substr(5 + 4 * k, 4);
        pcds += pcd;
        if (split <= cp || split >= cp_end)
            continue;
        const uint32_t fc = compound{pcd}.get32(2), compressed = fc & 0x40000000u;
        const uint32_t width = compressed ? 1 : 2, at = compressed ? (fc & 0x3FFFFFFFu) / 2 : fc;
        compound moved{std::string(4, '\0') + std::string(4, '\0') + pcd};
        moved.set32(4, split);
        moved.set32(8 + 2, compressed ? static_cast<uint32_t>(2 * word.size()) | compressed
                                      : static_cast<uint32_t>(word.size()));
        moved.set16(8 + 6, prm);
        word += word.substr(at + (split - cp) * width, (cp_end - split) * width);
        cps += moved.bytes.substr(4, 4);
        pcds += moved.bytes.substr(8, 8);
    }
    cps += clx.bytes.substr(5 + 4 * pieces, 4);
    compound longer{std::string("\x01\x03\x00\x35\x08\x01", 6) + "\x02" + std::string(4, '\0') + cps + pcds};
    longer.set32(7, static_cast<uint32_t>(cps.size() + pcds.size()));
    fib.bytes = word;
    fib.set32(154 + 8 * 33, static_cast<uint32_t>(table.size()));
    fib.set32(154 + 8 * 33 + 4, static_cast<uint32_t>(longer.bytes.size()));
    fib.set16(10, fib.get16(10) | 0x0004); // fComplex
    table += longer.bytes;
    std::vector<std::pair<std::string, std::string>> streams{{"WordDocument", fib.bytes}, {table_name, table}};
    streams.emplace_back("Data", original.stream("Data"));
    const std::string before = read_doc(original.bytes), after = read_doc(version4(streams));
    EXPECT_EQ(joined(words_of(plain_text(before, true))), joined(words_of(plain_text(after, true))));
    EXPECT_NE(std::string::npos, readable(after).find(shown)) << readable(after);
}

// A picture's alternative text is its shape's description, which none of
// the samples at hand has: one is added to the first shape that shows a
// picture in the drawings of the floating pictures' sample, the drawings
// copied to the end of the table stream with their containers' lengths
// grown to hold it.
TEST_F(Word97, ReadsPicturesDescriptions)
{
    const compound original{office_sample("word97-tika-3imgs.doc")};
    compound fib{original.stream("WordDocument")};
    const std::string table_name = fib.get16(10) & 0x0200 ? "1Table" : "0Table";
    std::string table = original.stream(table_name);
    compound drawings{table.substr(fib.get32(154 + 8 * 50), fib.get32(154 + 8 * 50 + 4))};
    const std::string description("T\0h\0e\0 \0l\0o\0g\0o\0\0\0", 18);
    const uint32_t grown = static_cast<uint32_t>(6 + description.size());
    std::vector<std::pair<std::size_t, std::size_t>> open; // containers around a record: header, end
    bool added = false;
    for (std::size_t at = 0; !added && at + 8 <= drawings.bytes.size();) {
        while (!open.empty() && open.back().second <= at)
            open.pop_back();
        if (open.empty() && at > 0 && drawings.get16(at + 2) != 0xF002)
            ++at; // the byte before each drawing that says whose it is
        const unsigned kind = drawings.get16(at), type = drawings.get16(at + 2);
        const uint32_t length = drawings.get32(at + 4);
        bool shows_picture = false;
        for (unsigned k = 0; type == 0xF00B && k < kind >> 4; ++k)
            shows_picture |= (drawings.get16(at + 8 + 6 * k) & 0x3FFF) == 0x0104;
        if (shows_picture) {
            std::string property(6, '\0');
            compound entry{property};
            entry.set16(0, 0x8381); // wzDescription, its data after the properties'
            entry.set32(2, static_cast<uint32_t>(description.size()));
            drawings.bytes.insert(at + 8 + length, description);
            drawings.bytes.insert(at + 8 + 6 * (kind >> 4), entry.bytes);
            drawings.set16(at, kind + 0x10);
            drawings.set32(at + 4, length + grown);
            for (const auto &container : open)
                drawings.set32(container.first + 4, drawings.get32(container.first + 4) + grown);
            added = true;
        } else if ((kind & 0xF) == 0xF) {
            open.emplace_back(at, at + 8 + length);
            at += 8;
        } else {
            at += 8 + length;
        }
    }
    ASSERT_TRUE(added) << "no shape shows a picture";
    fib.set32(154 + 8 * 50, static_cast<uint32_t>(table.size()));
    fib.set32(154 + 8 * 50 + 4, static_cast<uint32_t>(drawings.bytes.size()));
    table += drawings.bytes;
    std::vector<std::pair<std::string, std::string>> streams{{"WordDocument", fib.bytes}, {table_name, table}};
    if (!original.entry("Data").empty())
        streams.emplace_back("Data", original.stream("Data"));
    const std::string doc = readable(read_doc(version4(streams)));
    EXPECT_NE(std::string::npos, doc.find("The logo</img>")) << doc.substr(0, 300);
}

TEST_F(Word97, RefusesDamagedFilesSayingWhy)
{
    const auto reason = reinterpret_cast<dll_reason_fn>(
        reinterpret_cast<void *>(GetProcAddress(cnvdoc().module, "_DLL_reason")));
    ASSERT_NE(nullptr, reason);
    const std::string original = office_sample("word97-features.doc");
    ASSERT_FALSE(original.empty());
    const struct {
        const char *damage;
        std::function<void(compound &)> patch;
        const char *reason;
    } cases[] = {
        {"a FAT loop",
         [](compound &f) { f.set32(f.fat_entry(f.stream_start("WordDocument")), f.stream_start("WordDocument")); },
         "The compound file that holds the document is damaged: a stream's sector chain loops back to sector "},
        {"a chain past the end", [](compound &f) { f.set32(f.fat_entry(f.stream_start("WordDocument")), 0x00FFFFF0); },
         "The compound file that holds the document is damaged: a stream's sector chain leads to sector 16777200, "
         "past the end of the file."},
        {"a directory past the end", [](compound &f) { f.set32(48, 0x00FFFFF0); },
         "The compound file that holds the document is damaged: its directory leads to sector 16777200, past the end "
         "of the file."},
        {"a piece table pointing outside the stream",
         [](compound &f) {
             // the piece table's header: its mark, its length, and the first piece's first CP
             const uint32_t clx_length = f.get32(f.word_document() + 154 + 8 * 33 + 4);
             std::string header = "\x02" + std::string(4, '\0') + std::string(4, '\0');
             for (int i = 0; i < 4; ++i)
                 header[1 + i] = static_cast<char>((clx_length - 5) >> (8 * i));
             const std::size_t at = f.bytes.find(header);
             ASSERT_NE(std::string::npos, at) << "no piece table";
             const uint32_t pieces = (clx_length - 5 - 4) / 12;
             f.set32(at + 5 + 4 * (pieces + 1) + 2, 0x3FFFFF00);
         },
         "The Word document is damaged: its piece table points past the end of its text stream (byte 1073741568 "},
        {"an encrypted file",
         [](compound &f) { f.set16(f.word_document() + 10, f.get16(f.word_document() + 10) | 0x0100); },
         "It is a Word document encrypted with a password, which this reader does not decrypt."},
        {"an obfuscated file",
         [](compound &f) { f.set16(f.word_document() + 10, f.get16(f.word_document() + 10) | 0x8100); },
         "It is an obfuscated Word document (XOR-encrypted with a password), which this reader does not decrypt."},
        {"a Word 95 file", [](compound &f) { f.set16(f.word_document() + 2, 104); },
         "It is a Word 6 or Word 95 document (nFib 104), which this reader does not read: open it in Word or "
         "LibreOffice and save it as a Word 97-2003 document."},
        {"a file cut short", [](compound &f) { f.bytes.resize(300); },
         "The compound file that holds the document is damaged: it ends at byte 300, within its header."},
        {"a text file", [](compound &f) { f.bytes = "plain text, not a .doc"; },
         "It is not a Word 97-2003 document: it begins with 70 6C 61 69 6E 20 74 65 ..."},
        {"a .docx file", [](compound &f) { f.bytes = std::string("PK\x03\x04", 4) + std::string(40, '\0'); },
         "It is a ZIP package, as a Word 2007 or later document (.docx) is, not a Word 97-2003 document."},
    };
    const struct {
        const char *name;
        const char *reason;
    } refused[] = {
        {"word97-tika-word6.doc",
         "It is a Word 6 or Word 95 document (nFib 101), which this reader does not read: open it in Word or "
         "LibreOffice and save it as a Word 97-2003 document."},
        {"word97-tika-password.doc",
         "It is a Word document encrypted with a password, which this reader does not decrypt."},
    };
    for (const auto &c : refused) {
        std::string output;
        EXPECT_EQ(CONVERT_WRONG_FORMAT,
                  run_converter(find_converter(cnvdoc().sources, doc_format), office_sample(c.name), output))
            << c.name;
        EXPECT_STREQ(c.reason, reason()) << c.name;
    }
    for (const auto &c : cases) {
        compound file{original};
        c.patch(file);
        std::string output;
        EXPECT_EQ(CONVERT_WRONG_FORMAT, run_converter(find_converter(cnvdoc().sources, doc_format), file.bytes, output))
            << c.damage;
        const std::string given = reason() ? reason() : "";
        EXPECT_EQ(0u, given.find(c.reason)) << c.damage << "\n  expected: " << c.reason << "\n  given:    " << given;
    }
}

// Damage anywhere in a file, a byte at a time every 41 bytes: each is read
// or refused with its reason, and what is read stays in proportion to the
// input (for these, within three times it and a mebibyte).
TEST_F(Word97, DamageAnywhereIsReadOrRefused)
{
    const auto reason = reinterpret_cast<dll_reason_fn>(
        reinterpret_cast<void *>(GetProcAddress(cnvdoc().module, "_DLL_reason")));
    for (const char *name : {"word97-features.doc", "word97-tika-various.doc"}) {
        const std::string original = office_sample(name);
        for (std::size_t at = 0; at < original.size(); at += 41) {
            std::string damaged = original, output;
            damaged[at] = static_cast<char>(~damaged[at]);
            const int result = run_converter(find_converter(cnvdoc().sources, doc_format), damaged, output);
            EXPECT_TRUE(result == 0 || (result == CONVERT_WRONG_FORMAT && reason() && *reason()))
                << name << " with byte " << at << " changed: " << result;
            EXPECT_LE(output.size(), 3 * damaged.size() + (1u << 20)) << name << " with byte " << at << " changed";
        }
    }
}

} // namespace
