// File, directory and drive lists of the main window (`main_window`).
#pragma once

#include <cstddef>

enum class list_mode { files, directories };

void refresh_lists(const char *pattern);
void fill_list(int list_id, const char *pattern, list_mode mode);
int build_drive_items();
// The drive item of drive number `drive` (0 is A) with volume label `label`
// ("" or null: none), at most 31 bytes, its bracketed part always whole and
// the label cut at a character boundary.
void format_drive_item(int drive, const char *label, char *item, std::size_t size);
int fill_drive_list(int list_id);
void show_selection_totals();
// Takes the text of the pattern field into the pattern: its first 79
// characters, whatever bytes they take.
void read_pattern_field();
void apply_pattern();

// Directory part (up to and including the last backslash, or empty) of the
// pattern that last filled the file list: its items are bare names there.
const char *file_list_directory();

// Drive cache state (for tests): number of cached items (0: not built),
// how many times build_drive_items ran, and a reset so the next refresh
// builds it again.
int drive_cache_count();
int drive_cache_builds();
void drive_cache_clear();
