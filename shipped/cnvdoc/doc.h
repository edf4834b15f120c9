/* cnvdoc.dll - documents in RTF, HTML and Markdown.
 *
 * Every reader turns its format into the intermediate form through the
 * document core's builder (shipped/core/form.h); every writer reads it
 * through the core's iterator. */
#ifndef CNVDOC_DOC_H
#define CNVDOC_DOC_H

#include "shipped/core/code_pages.h"
#include "shipped/core/form.h"

/* A code block's language as doc_block takes it: at most room - 1 bytes of
 * s[0..size), never half a character, and the NUL.  The readers keep it in
 * DOC_LANGUAGE_SIZE bytes. */
#define DOC_LANGUAGE_SIZE 64
void copy_language(char *lang, size_t room, const unsigned char *s, size_t size);
/* Unicode value of a Windows-1252 byte in 0x80..0x9F, as browsers read
 * numeric references there. */
uint32_t windows_1252_char(unsigned char byte);

/* Text of an HTML5 named character reference (name with its ";" where it
 * has one), NULL when there is no such name. */
const char *named_reference(const char *name, size_t length);

/* Whether a Markdown delimiter run (`*`, `_` or `~`) of `count` bytes at
 * s[at] can open emphasis, close it, or both, judged by the characters
 * around it as the Markdown reader judges them. */
#define DELIMITER_OPENS 1
#define DELIMITER_CLOSES 2
int delimiter_run_use(const char *s, size_t n, size_t at, size_t count);

/* The converters. */
int32_t read_markdown(FILE *in, FILE *out);
int32_t write_markdown(FILE *in, FILE *out);
int32_t read_html(FILE *in, FILE *out);
int32_t write_html(FILE *in, FILE *out);
int32_t read_rtf(FILE *in, FILE *out);
int32_t read_docx(FILE *in, FILE *out);
int32_t write_rtf(FILE *in, FILE *out);
int32_t write_docx(FILE *in, FILE *out);
int32_t read_odt(FILE *in, FILE *out);
int32_t write_odt(FILE *in, FILE *out);
/* The readers that a detected document goes to, `found` (what the file was
 * taken for) recorded in the intermediate's header. */
int32_t read_rtf_found(FILE *in, FILE *out, const char *found);
int32_t read_word97(FILE *in, FILE *out);
int32_t read_word97_found(FILE *in, FILE *out, const char *found);
int32_t read_html_found(FILE *in, FILE *out, const char *found);
int32_t read_docx_found(FILE *in, FILE *out, const char *found);
int32_t read_odt_found(FILE *in, FILE *out, const char *found);
int32_t read_any(FILE *in, FILE *out);

#endif
