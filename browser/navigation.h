// Directory navigation and the path display of the main window.
#pragma once

#include <cstddef>

void current_dir_string(char *buffer, std::size_t size);
int change_dir(const char *target);
// Display form of a current path of 31 characters or more (characters, not
// bytes), into `shown`; every cut falls between characters.
void shorten_path(const char *path, char *shown, std::size_t size);
void go_to_root();
void go_to_parent();
void enter_directory();
void change_drive();
