#include "plugins/morphex_plugin.h"
#include "shipped/cnvdoc/doc.h"
int32_t read_markdown(FILE *in, FILE *out) { (void)in; (void)out; return CONVERT_WRONG_FORMAT; }
