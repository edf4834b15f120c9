// Naming a format on the command line.
#pragma once

#include <string>
#include <vector>

#include "plugins/registry.h"

// A filled slot of a table: one that load_plugins accepted a record into.
bool slot_filled(const format_origin *origins, int slot);

enum class format_match { found, unknown, ambiguous };

// The slot named by `text`: the first record whose name is `text` exactly;
// else the one name equal to it with letter case ignored; else the one name
// that contains it with letter case ignored.  When no name fits, or several
// do, `candidates` holds the names to choose from (every name, or those that
// fit), sorted.
format_match choose_format(const std::string &text, const format_entry *table, const format_origin *origins,
                           int &slot, std::vector<std::string> &candidates);

// The filled slots of a table, ordered by name as the window's lists are.
std::vector<int> slots_by_name(const format_entry *table, const format_origin *origins);
