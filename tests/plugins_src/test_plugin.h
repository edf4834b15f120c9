/* What the test plug-ins share: one row of a format list, filled as a
 * plug-in fills it (the rest of the row zero, each text cut to its field). */
#pragma once

#include <string.h>

#include "plugins/morphex_plugin.h"

static inline void put_entry(format_entry *entry, const char *name, const char *ext, convert_fn converter)
{
    memset(entry, 0, sizeof *entry);
    strncpy(entry->name, name, sizeof entry->name - 1);
    strncpy(entry->ext, ext, sizeof entry->ext - 1);
    entry->converter = converter;
}
