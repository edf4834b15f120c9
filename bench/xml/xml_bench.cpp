// bench_xml BODY.xml: every event of a Word document's body read by the
// package layer's XML reader, and by the platform's XmlLite (through the
// memory stream Windows gives), best of three each, in the same run.
// XmlLite hands names and text over in UTF-16, which is why the document
// plug-in reads with its own.
#include <windows.h>
#include <objidl.h>
#include <shlwapi.h>
#include <xmllite.h>

#include <cstdio>
#include <string>

#include "bench/common/bench_support.h"

extern "C" {
#include "shipped/core/xml.h"
}

namespace {

std::string read_whole(const char *name)
{
    std::string data;
    if (FILE *f = std::fopen(name, "rb")) {
        char block[1 << 16];
        std::size_t got;
        while ((got = std::fread(block, 1, sizeof block, f)) > 0)
            data.append(block, got);
        std::fclose(f);
    }
    return data;
}

long long ours(const std::string &body)
{
    static const char *const uris[] = {"http://schemas.openxmlformats.org/wordprocessingml/2006/main"};
    xml_reader reader;
    xml_event event;
    long long count = 0, characters = 0;
    int kind;
    xml_begin(&reader, reinterpret_cast<const unsigned char *>(body.data()), body.size(), "body", uris, nullptr, 1);
    while ((kind = xml_next(&reader, &event)) != XML_END_OF_INPUT && kind != XML_FAILED) {
        ++count;
        if (kind == XML_TEXT)
            characters += static_cast<long long>(event.text_length);
    }
    xml_end(&reader);
    return kind == XML_FAILED ? -1 : count + characters;
}

using create_reader_fn = HRESULT(WINAPI *)(REFIID, void **, IMalloc *);

long long xmllite(const std::string &body, create_reader_fn create)
{
    IXmlReader *reader = nullptr;
    IStream *stream = SHCreateMemStream(reinterpret_cast<const BYTE *>(body.data()), static_cast<UINT>(body.size()));
    long long count = 0, characters = 0;
    XmlNodeType type;
    if (!stream || FAILED(create(__uuidof(IXmlReader), reinterpret_cast<void **>(&reader), nullptr)) ||
        FAILED(reader->SetInput(stream)))
        return -1;
    while (reader->Read(&type) == S_OK) {
        const WCHAR *text;
        UINT length;
        if (type == XmlNodeType_Element) {
            reader->GetLocalName(&text, &length);
            const WCHAR *uri;
            reader->GetNamespaceUri(&uri, &length);
            count += 1 + reader->IsEmptyElement();
            for (HRESULT more = reader->MoveToFirstAttribute(); more == S_OK; more = reader->MoveToNextAttribute())
                reader->GetValue(&text, &length);
            reader->MoveToElement();
        } else if (type == XmlNodeType_EndElement) {
            ++count;
        } else if (type == XmlNodeType_Text || type == XmlNodeType_Whitespace || type == XmlNodeType_CDATA) {
            reader->GetValue(&text, &length);
            ++count;
            characters += length;
        }
    }
    reader->Release();
    stream->Release();
    return count + characters;
}

template <typename Read> double best_of_three(Read read, long long *result)
{
    double best = 1e9;
    for (int round = 0; round < 3; ++round) {
        LARGE_INTEGER start;
        QueryPerformanceCounter(&start);
        *result = read();
        const double took = seconds_since(start);
        best = took < best ? took : best;
    }
    return best;
}

} // namespace

int main(int argc, char **argv)
{
    const std::string body = argc > 1 ? read_whole(argv[1]) : std::string();
    HMODULE library = LoadLibraryA("xmllite.dll");
    auto create = library ? reinterpret_cast<create_reader_fn>(
                                reinterpret_cast<void *>(GetProcAddress(library, "CreateXmlReader")))
                          : nullptr;
    if (body.empty() || !create) {
        std::fprintf(stderr, "usage: bench_xml BODY.xml (XmlLite must be there)\n");
        return 1;
    }
    CoInitialize(nullptr);
    long long ours_count = 0, lite_count = 0;
    const double ours_time = best_of_three([&] { return ours(body); }, &ours_count);
    const double lite_time = best_of_three([&] { return xmllite(body, create); }, &lite_count);
    std::printf("%.1f MiB of XML: ours %.3f s (%.0f MiB/s), XmlLite %.3f s: XmlLite/ours %.1fx (events %lld, %lld)\n",
                static_cast<double>(body.size()) / (1 << 20), ours_time,
                static_cast<double>(body.size()) / (1 << 20) / ours_time, lite_time, lite_time / ours_time, ours_count,
                lite_count);
    CoUninitialize();
    return 0;
}
