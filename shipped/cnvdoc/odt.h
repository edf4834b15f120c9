/* What the OpenDocument Text reader and writer share: the namespaces of
 * the parts they read and write, and the package's fixed names. */
#ifndef CNVDOC_ODT_H
#define CNVDOC_ODT_H

/* The namespaces an .odt's parts use, by the index the XML reader reports
 * for each: the reader resolves names by these URIs, the writer declares
 * them with these prefixes. */
enum odt_namespace {
    ODT_OFFICE, ODT_STYLE, ODT_TEXT, ODT_TABLE, ODT_DRAW, ODT_FO, ODT_XLINK, ODT_SVG, ODT_MANIFEST, ODT_META,
    ODT_DC, ODT_LOEXT, ODT_NAMESPACE_COUNT
};

static const char *const odt_prefixes[ODT_NAMESPACE_COUNT] = {
    "office", "style", "text", "table", "draw", "fo", "xlink", "svg", "manifest", "meta", "dc", "loext",
};
static const char *const odt_uris[ODT_NAMESPACE_COUNT] = {
    "urn:oasis:names:tc:opendocument:xmlns:office:1.0",
    "urn:oasis:names:tc:opendocument:xmlns:style:1.0",
    "urn:oasis:names:tc:opendocument:xmlns:text:1.0",
    "urn:oasis:names:tc:opendocument:xmlns:table:1.0",
    "urn:oasis:names:tc:opendocument:xmlns:drawing:1.0",
    "urn:oasis:names:tc:opendocument:xmlns:xsl-fo-compatible:1.0",
    "http://www.w3.org/1999/xlink",
    "urn:oasis:names:tc:opendocument:xmlns:svg-compatible:1.0",
    "urn:oasis:names:tc:opendocument:xmlns:manifest:1.0",
    "urn:oasis:names:tc:opendocument:xmlns:meta:1.0",
    "http://purl.org/dc/elements/1.1/",
    "urn:org:documentfoundation:names:experimental:office:xmlns:loext:1.0",
};

#define ODT_MIMETYPE "application/vnd.oasis.opendocument.text"
#define ODT_FORMAT_NAME "an OpenDocument text (.odt)"

#endif
