// The shipped plug-ins on two threads at once: every conversion keeps all
// its state in the call, so two threads converting their own files through
// the same loaded DLLs give what the same conversions give one after another.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "tests/common/test_support.h"
#include "tests/shipped/shipped_plugin.h"

namespace {

struct conversion {
    convert_fn reader, writer;
    std::string input;
    std::string name;  // for the failure message
};

struct outcome {
    int read, written;
    std::string output;
    bool operator==(const outcome &other) const
    {
        return read == other.read && written == other.written && output == other.output;
    }
};

// Both stages through files of the thread's own, as the host runs them.
outcome convert(const conversion &c, const std::string &prefix)
{
    const std::string in_name = prefix + "in", work_name = prefix + "work", out_name = prefix + "out";
    write_file(in_name, c.input);
    FILE *in = std::fopen(in_name.c_str(), "r+b");
    FILE *work = std::fopen(work_name.c_str(), "w+b");
    FILE *out = std::fopen(out_name.c_str(), "w+b");
    outcome result{-99, -99, ""};
    if (in && work && out) {
        result.read = c.reader(in, work);
        std::fflush(work);
        std::rewind(work);
        result.written = result.read < 0 ? -99 : c.writer(work, out);
    }
    for (FILE *stream : {in, work, out})
        if (stream)
            std::fclose(stream);
    result.output = read_file(out_name);
    return result;
}

// Each reader of a plug-in with the first writer, and the first reader with
// each writer (cnvtext's readers and writers are many), or every reader
// with every writer, on each of the plug-in's sample documents.
void add_conversions(std::vector<conversion> &list, const plugin_formats &plugin,
                     const std::vector<std::string> &samples, bool every_pair)
{
    for (const std::string &sample : samples) {
        // the sample over and over, so that the other thread's conversions
        // run while this one does (an RTF document ends at its last brace,
        // a package is read from its end)
        const std::string text = read_file(std::string(MORPHEX_DOC_SAMPLES) + "/" + sample);
        std::string input = text;
        const bool whole = sample.find(".rtf") != std::string::npos || sample.find(".docx") != std::string::npos;
        while (input.size() < 64 * 1024 && !text.empty() && !whole)
            input += text;
        for (const format_entry &source : plugin.sources)
            for (const format_entry &target : plugin.targets)
                if (every_pair || &source == &plugin.sources[0] || &target == &plugin.targets[0])
                    list.push_back({source.converter, target.converter, input,
                                    sample + ": " + source.name + " to " + target.name});
    }
}

// Documents to plain text: the document plug-in's readers with the text
// plug-in's writers, which render a document through the same iterator.
void add_documents_as_text(std::vector<conversion> &list, const plugin_formats &documents,
                           const plugin_formats &text, const std::vector<std::string> &samples)
{
    for (const std::string &sample : samples) {
        const std::string input = read_file(std::string(MORPHEX_DOC_SAMPLES) + "/" + sample);
        for (const format_entry &source : documents.sources)
            for (std::size_t t = 0; t < text.targets.size(); t += 7)
                list.push_back({source.converter, text.targets[t].converter, input,
                                sample + ": " + source.name + " to " + text.targets[t].name});
    }
}

class ShippedPluginsOnThreads : public TempDirTest {};

TEST_F(ShippedPluginsOnThreads, TwoThreadsGiveWhatOneGives)
{
    const plugin_formats text = load_formats(MORPHEX_BIN_DIR "/cnvtext.dll");
    const plugin_formats documents = load_formats(MORPHEX_BIN_DIR "/cnvdoc.dll");
    ASSERT_FALSE(text.sources.empty()) << "cannot load cnvtext.dll";
    ASSERT_FALSE(documents.sources.empty()) << "cannot load cnvdoc.dll";
    std::vector<conversion> list;
    add_conversions(list, text, {"letter-utf8-lf.txt", "greetings-utf16.txt", "menu-dos437.txt"}, false);
    add_conversions(list, documents, {"notes.md", "page.html", "letter.rtf", "notes.docx"}, true);
    add_documents_as_text(list, documents, text, {"notes.md", "page.html", "letter.rtf", "notes.docx"});

    std::vector<outcome> expected;
    for (const conversion &c : list)
        expected.push_back(convert(c, "one-"));

    // each thread takes the list from its own end, so that different
    // conversions meet at every moment
    constexpr int rounds = 2;
    std::vector<std::string> differences[2];
    const auto run = [&](int thread) {
        const std::string prefix = "thread" + std::to_string(thread) + "-";
        for (int round = 0; round < rounds; ++round)
            for (std::size_t i = 0; i < list.size(); ++i) {
                const std::size_t at = thread == 0 ? i : list.size() - 1 - i;
                const outcome got = convert(list[at], prefix);
                if (!(got == expected[at]) && differences[thread].size() < 5)
                    differences[thread].push_back(list[at].name + ": results " + std::to_string(got.read) + ", " +
                                                  std::to_string(got.written) + " and " +
                                                  std::to_string(got.output.size()) + " bytes, alone " +
                                                  std::to_string(expected[at].read) + ", " +
                                                  std::to_string(expected[at].written) + " and " +
                                                  std::to_string(expected[at].output.size()) + " bytes");
            }
    };
    std::thread first(run, 0), second(run, 1);
    first.join();
    second.join();
    for (const auto &thread : differences)
        for (const std::string &difference : thread)
            ADD_FAILURE() << difference;
    std::printf("%zu conversions, %d times on each of two threads\n", list.size(), rounds);
}

// What the test above proves, the plug-ins declare, so that mxconv --jobs
// runs them on every thread.
TEST_F(ShippedPluginsOnThreads, TheyDeclareThemselvesSafeOnThreads)
{
    for (const char *dll : {MORPHEX_BIN_DIR "/cnvtext.dll", MORPHEX_BIN_DIR "/cnvdoc.dll"}) {
        const plugin_formats plugin = load_formats(dll);
        const auto threads = plugin.module ? plugin_function<dll_threads_fn>(plugin.module, PLUGIN_THREADS_EXPORT)
                                           : nullptr;
        ASSERT_NE(nullptr, threads) << dll << ": no " << PLUGIN_THREADS_EXPORT;
        EXPECT_EQ(1, threads()) << dll;
    }
}

}  // namespace
