// Plug-in discovery and the two format tables.
#pragma once

#include <windows.h>
#include "plugins/morphex_plugin.h"

constexpr int format_table_size = 64;

extern format_entry source_formats[format_table_size];
extern format_entry target_formats[format_table_size];

void load_plugins(HWND window);
// Index of the first slot whose name equals `name`, or format_table_size.
int find_format(const char *name, const format_entry *table);
// Name of the first slot of `table` whose converter is `converter`, or
// nullptr when none has it.
const char *find_format_name(convert_fn converter, const format_entry *table);
