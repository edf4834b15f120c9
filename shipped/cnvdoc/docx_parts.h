/* The constant parts of the Word documents that the Word writer makes,
 * and the tables its varying parts are written from: the styles Morphex
 * defines, the kinds of list numbering, the picture types.  Each element
 * stands in the order the schema's sequences require: Word refuses a
 * document, or offers to repair it, where one does not. */
#ifndef CNVDOC_DOCX_PARTS_H
#define CNVDOC_DOCX_PARTS_H

#define XML_DECLARATION "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
#define NS_MAIN "http://schemas.openxmlformats.org/wordprocessingml/2006/main"
#define NS_RELATIONSHIPS "http://schemas.openxmlformats.org/officeDocument/2006/relationships"
#define RELATIONSHIP_TYPE NS_RELATIONSHIPS "/"
#define NS_PACKAGE_RELATIONSHIPS "http://schemas.openxmlformats.org/package/2006/relationships"

static const char content_types_part[] =
    XML_DECLARATION
    "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
    "<Default Extension=\"rels\" ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
    "<Default Extension=\"xml\" ContentType=\"application/xml\"/>"
    "<Default Extension=\"png\" ContentType=\"image/png\"/>"
    "<Default Extension=\"jpeg\" ContentType=\"image/jpeg\"/>"
    "<Default Extension=\"gif\" ContentType=\"image/gif\"/>"
    "<Default Extension=\"bmp\" ContentType=\"image/bmp\"/>"
    "<Default Extension=\"tiff\" ContentType=\"image/tiff\"/>"
    "<Override PartName=\"/word/document.xml\" "
    "ContentType=\"application/vnd.openxmlformats-officedocument.wordprocessingml.document.main+xml\"/>"
    "<Override PartName=\"/word/styles.xml\" "
    "ContentType=\"application/vnd.openxmlformats-officedocument.wordprocessingml.styles+xml\"/>"
    "<Override PartName=\"/word/numbering.xml\" "
    "ContentType=\"application/vnd.openxmlformats-officedocument.wordprocessingml.numbering+xml\"/>"
    "<Override PartName=\"/word/footnotes.xml\" "
    "ContentType=\"application/vnd.openxmlformats-officedocument.wordprocessingml.footnotes+xml\"/>"
    "<Override PartName=\"/word/settings.xml\" "
    "ContentType=\"application/vnd.openxmlformats-officedocument.wordprocessingml.settings+xml\"/>"
    "<Override PartName=\"/docProps/core.xml\" "
    "ContentType=\"application/vnd.openxmlformats-package.core-properties+xml\"/>"
    "<Override PartName=\"/docProps/app.xml\" "
    "ContentType=\"application/vnd.openxmlformats-officedocument.extended-properties+xml\"/>"
    "</Types>\n";

static const char package_relationships_part[] =
    XML_DECLARATION
    "<Relationships xmlns=\"" NS_PACKAGE_RELATIONSHIPS "\">"
    "<Relationship Id=\"rId1\" Type=\"" RELATIONSHIP_TYPE "officeDocument\" Target=\"word/document.xml\"/>"
    "<Relationship Id=\"rId2\" "
    "Type=\"http://schemas.openxmlformats.org/package/2006/relationships/metadata/core-properties\" "
    "Target=\"docProps/core.xml\"/>"
    "<Relationship Id=\"rId3\" Type=\"" RELATIONSHIP_TYPE "extended-properties\" Target=\"docProps/app.xml\"/>"
    "</Relationships>\n";

/* The document's own relationships come first, under the numbers below;
 * those of its links and pictures follow them. */
static const char document_relationships_head[] =
    XML_DECLARATION
    "<Relationships xmlns=\"" NS_PACKAGE_RELATIONSHIPS "\">"
    "<Relationship Id=\"rId1\" Type=\"" RELATIONSHIP_TYPE "styles\" Target=\"styles.xml\"/>"
    "<Relationship Id=\"rId2\" Type=\"" RELATIONSHIP_TYPE "numbering\" Target=\"numbering.xml\"/>"
    "<Relationship Id=\"rId3\" Type=\"" RELATIONSHIP_TYPE "footnotes\" Target=\"footnotes.xml\"/>"
    "<Relationship Id=\"rId4\" Type=\"" RELATIONSHIP_TYPE "settings\" Target=\"settings.xml\"/>";
#define DOCUMENT_RELATIONSHIPS_FIXED 4
static const char relationships_head[] = XML_DECLARATION "<Relationships xmlns=\"" NS_PACKAGE_RELATIONSHIPS "\">";
static const char relationships_tail[] = "</Relationships>\n";

static const char app_part[] =
    XML_DECLARATION
    "<Properties xmlns=\"http://schemas.openxmlformats.org/officeDocument/2006/extended-properties\">"
    "<Application>Morphex</Application></Properties>\n";

static const char core_head[] =
    XML_DECLARATION
    "<cp:coreProperties xmlns:cp=\"http://schemas.openxmlformats.org/package/2006/metadata/core-properties\" "
    "xmlns:dc=\"http://purl.org/dc/elements/1.1/\">";
static const char core_tail[] = "</cp:coreProperties>\n";

/* The footnotes' separators, which Word wants before any footnote, and
 * the compatibility of Word 2013 and later, in which they open a document
 * without calling it one of an older version. */
static const char settings_part[] =
    XML_DECLARATION
    "<w:settings xmlns:w=\"" NS_MAIN "\">"
    "<w:defaultTabStop w:val=\"720\"/>"
    "<w:characterSpacingControl w:val=\"doNotCompress\"/>"
    "<w:footnotePr><w:footnote w:id=\"-1\"/><w:footnote w:id=\"0\"/></w:footnotePr>"
    "<w:compat><w:compatSetting w:name=\"compatibilityMode\" w:uri=\"http://schemas.microsoft.com/office/word\" "
    "w:val=\"15\"/></w:compat>"
    "</w:settings>\n";

static const char footnotes_head[] =
    XML_DECLARATION
    "<w:footnotes xmlns:w=\"" NS_MAIN "\" xmlns:r=\"" NS_RELATIONSHIPS "\" "
    "xmlns:wp=\"http://schemas.openxmlformats.org/drawingml/2006/wordprocessingDrawing\" "
    "xmlns:a=\"http://schemas.openxmlformats.org/drawingml/2006/main\" "
    "xmlns:pic=\"http://schemas.openxmlformats.org/drawingml/2006/picture\">"
    "<w:footnote w:type=\"separator\" w:id=\"-1\"><w:p><w:pPr><w:spacing w:after=\"0\" w:line=\"240\" "
    "w:lineRule=\"auto\"/></w:pPr><w:r><w:separator/></w:r></w:p></w:footnote>"
    "<w:footnote w:type=\"continuationSeparator\" w:id=\"0\"><w:p><w:pPr><w:spacing w:after=\"0\" w:line=\"240\" "
    "w:lineRule=\"auto\"/></w:pPr><w:r><w:continuationSeparator/></w:r></w:p></w:footnote>";
static const char footnotes_tail[] = "</w:footnotes>\n";

static const char document_head[] =
    XML_DECLARATION
    "<w:document xmlns:w=\"" NS_MAIN "\" xmlns:r=\"" NS_RELATIONSHIPS "\" "
    "xmlns:wp=\"http://schemas.openxmlformats.org/drawingml/2006/wordprocessingDrawing\" "
    "xmlns:a=\"http://schemas.openxmlformats.org/drawingml/2006/main\" "
    "xmlns:pic=\"http://schemas.openxmlformats.org/drawingml/2006/picture\"><w:body>";
/* A Letter page with inch margins: 6.5 inches of text, which wide pictures
 * are fitted to. */
static const char document_tail[] =
    "<w:sectPr><w:pgSz w:w=\"12240\" w:h=\"15840\"/><w:pgMar w:top=\"1440\" w:right=\"1440\" w:bottom=\"1440\" "
    "w:left=\"1440\" w:header=\"720\" w:footer=\"720\" w:gutter=\"0\"/></w:sectPr></w:body></w:document>\n";
#define TEXT_WIDTH_TWIPS 9360
#define TEXT_WIDTH_EMU 5943600L
#define EMU_PER_PIXEL 9525L /* at 96 pixels an inch */

/* ---- styles ---- */

static const char styles_head[] =
    XML_DECLARATION
    "<w:styles xmlns:w=\"" NS_MAIN "\">"
    "<w:docDefaults><w:rPrDefault><w:rPr><w:rFonts w:ascii=\"Calibri\" w:eastAsia=\"Calibri\" w:hAnsi=\"Calibri\" "
    "w:cs=\"Times New Roman\"/><w:sz w:val=\"22\"/><w:szCs w:val=\"22\"/></w:rPr>"
    "</w:rPrDefault><w:pPrDefault><w:pPr><w:spacing w:after=\"120\" w:line=\"264\" w:lineRule=\"auto\"/></w:pPr>"
    "</w:pPrDefault></w:docDefaults>";
static const char styles_tail[] = "</w:styles>\n";

#define STYLE_DEFAULT 1u
#define STYLE_QUICK 2u  /* in Word's gallery of quick styles */
#define STYLE_HIDDEN 4u /* shown in Word's lists once a document uses it */

/* A style: its properties as the children of its w:pPr, w:rPr and w:tblPr
 * (NULL: none), each list in its element's own order, and a table style's
 * formatting of its header row (w:tblStylePr). */
typedef struct docx_style {
    const char *type, *id, *name, *based_on, *next;
    unsigned flags;
    int priority; /* Word's order of recommended styles; 0: none given */
    const char *paragraph, *run, *table, *conditional;
} docx_style;

#define CODE_FONT "<w:rFonts w:ascii=\"Courier New\" w:hAnsi=\"Courier New\" w:cs=\"Courier New\"/>"
#define GRID_BORDER(side) "<w:" side " w:val=\"single\" w:sz=\"4\" w:space=\"0\" w:color=\"auto\"/>"

/* Headings carry the outline level Word's navigation pane and tables of
 * contents go by: heading n's is n - 1, which the macro's one-based
 * number would give one too high, so each is written out. */
#define HEADING_STYLE(n, level, before, size)                                                                       \
    {"paragraph", "Heading" #n, "heading " #n, "Normal", "Normal", STYLE_QUICK, 9,                                  \
     "<w:keepNext/><w:keepLines/><w:spacing w:before=\"" #before "\" w:after=\"80\"/><w:outlineLvl w:val=\"" #level \
     "\"/>",                                                                                                        \
     "<w:b/><w:bCs/><w:sz w:val=\"" #size "\"/><w:szCs w:val=\"" #size "\"/>", NULL, NULL}

static const docx_style docx_styles[] = {
    {"paragraph", "Normal", "Normal", NULL, NULL, STYLE_DEFAULT | STYLE_QUICK, 0, NULL, NULL, NULL, NULL},
    HEADING_STYLE(1, 0, 360, 36),
    HEADING_STYLE(2, 1, 320, 32),
    HEADING_STYLE(3, 2, 280, 28),
    HEADING_STYLE(4, 3, 240, 26),
    HEADING_STYLE(5, 4, 240, 24),
    HEADING_STYLE(6, 5, 240, 22),
    HEADING_STYLE(7, 6, 240, 22),
    HEADING_STYLE(8, 7, 240, 22),
    HEADING_STYLE(9, 8, 240, 22),
    {"paragraph", "Title", "Title", "Normal", "Normal", STYLE_QUICK, 10, "<w:spacing w:after=\"240\"/>",
     "<w:b/><w:bCs/><w:sz w:val=\"48\"/><w:szCs w:val=\"48\"/>", NULL, NULL},
    {"paragraph", "Quote", "Quote", "Normal", "Normal", STYLE_QUICK, 29, "<w:ind w:left=\"720\" w:right=\"720\"/>",
     "<w:color w:val=\"404040\"/>", NULL, NULL},
    /* the items of a tight list: no space between them, as Word's own lists */
    {"paragraph", "ListParagraph", "List Paragraph", "Normal", NULL, STYLE_QUICK, 34,
     "<w:ind w:left=\"720\"/><w:contextualSpacing/>", NULL, NULL, NULL},
    {"paragraph", "SourceCode", "Source Code", "Normal", NULL, 0, 0,
     "<w:spacing w:after=\"0\" w:line=\"240\" w:lineRule=\"auto\"/>", CODE_FONT "<w:sz w:val=\"20\"/>", NULL, NULL},
    {"paragraph", "DefinitionTerm", "Definition Term", "Normal", "Definition", 0, 0,
     "<w:keepNext/><w:spacing w:after=\"0\"/>", "<w:b/><w:bCs/>", NULL, NULL},
    {"paragraph", "Definition", "Definition", "Normal", NULL, 0, 0, "<w:ind w:left=\"720\"/>", NULL, NULL, NULL},
    {"paragraph", "FootnoteText", "footnote text", "Normal", NULL, STYLE_HIDDEN, 99,
     "<w:spacing w:after=\"0\" w:line=\"240\" w:lineRule=\"auto\"/>", "<w:sz w:val=\"20\"/><w:szCs w:val=\"20\"/>",
     NULL, NULL},
    {"character", "DefaultParagraphFont", "Default Paragraph Font", NULL, NULL, STYLE_DEFAULT | STYLE_HIDDEN, 1,
     NULL, NULL, NULL, NULL},
    {"character", "Hyperlink", "Hyperlink", "DefaultParagraphFont", NULL, STYLE_HIDDEN, 99, NULL,
     "<w:color w:val=\"0563C1\"/><w:u w:val=\"single\"/>", NULL, NULL},
    {"character", "VerbatimChar", "Verbatim Char", "DefaultParagraphFont", NULL, 0, 0, NULL,
     CODE_FONT "<w:sz w:val=\"20\"/>", NULL, NULL},
    {"character", "FootnoteReference", "footnote reference", "DefaultParagraphFont", NULL, STYLE_HIDDEN, 99, NULL,
     "<w:vertAlign w:val=\"superscript\"/>", NULL, NULL},
    {"table", "TableNormal", "Normal Table", NULL, NULL, STYLE_DEFAULT | STYLE_HIDDEN, 99, NULL, NULL,
     "<w:tblInd w:w=\"0\" w:type=\"dxa\"/><w:tblCellMar><w:top w:w=\"0\" w:type=\"dxa\"/>"
     "<w:left w:w=\"108\" w:type=\"dxa\"/><w:bottom w:w=\"0\" w:type=\"dxa\"/><w:right w:w=\"108\" w:type=\"dxa\"/>"
     "</w:tblCellMar>",
     NULL},
    /* cells' paragraphs without the space after that the text's have */
    {"table", "TableGrid", "Table Grid", "TableNormal", NULL, 0, 59,
     "<w:spacing w:after=\"0\" w:line=\"240\" w:lineRule=\"auto\"/>", NULL,
     "<w:tblBorders>" GRID_BORDER("top") GRID_BORDER("left") GRID_BORDER("bottom") GRID_BORDER("right")
         GRID_BORDER("insideH") GRID_BORDER("insideV") "</w:tblBorders>",
     "<w:tblStylePr w:type=\"firstRow\"><w:rPr><w:b/><w:bCs/></w:rPr></w:tblStylePr>"},
};

/* ---- numbering ---- */

/* The kinds of list, each one definition of nine levels that every list
 * of its kind numbers from: bullets first, then the list_style values in
 * their order. */
typedef struct list_kind {
    const char *format; /* w:numFmt */
    const char *bullets[3]; /* a bulleted kind's marks, round the levels; NULL: numbered "%n." */
} list_kind;

#define LIST_KIND_BULLET 0
static const list_kind list_kinds[] = {
    {"bullet", {"\xE2\x80\xA2", "\xE2\x97\xA6", "\xE2\x96\xAA"}},
    {"decimal", {NULL, NULL, NULL}},
    {"lowerLetter", {NULL, NULL, NULL}},
    {"upperLetter", {NULL, NULL, NULL}},
    {"lowerRoman", {NULL, NULL, NULL}},
    {"upperRoman", {NULL, NULL, NULL}},
};

static const char numbering_head[] = XML_DECLARATION "<w:numbering xmlns:w=\"" NS_MAIN "\">";
static const char numbering_tail[] = "</w:numbering>\n";

/* ---- pictures ---- */

/* The picture types Word shows, by media type, and their part's extension
 * (one the content types above name). */
typedef struct picture_type {
    const char *media_type, *extension;
} picture_type;

static const picture_type picture_types[] = {
    {"image/bmp", "bmp"}, {"image/gif", "gif"}, {"image/jpeg", "jpeg"}, {"image/jpg", "jpeg"},
    {"image/png", "png"}, {"image/tiff", "tiff"},
};

#endif
