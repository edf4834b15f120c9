// A directory search that names its entries in the process's ANSI code page
// and knows which names that code page cannot hold.
//
// The ANSI file search writes a name the code page lacks letters for with
// best-fit letters or "?": Łetter.txt comes back as Letter.txt, the name of
// another file, and Привет.txt as ??????.txt, the name of none.  This search
// reads the directory through the wide search instead and marks such an
// entry as not exact, so that no caller takes it for another file.  With
// UTF-8 as the code page every well-formed name is exact, however long.
#pragma once

#include <windows.h>

#include <string>

#include "support/closers.h"

struct ansi_entry {
    // The whole name, never cut.  For an entry that is not exact, the name
    // as the ANSI file search spells it (for notices only).
    std::string name;
    DWORD attributes = 0;
    unsigned long long size = 0;
    // The name leads back to this entry and no other.
    bool exact = false;
};

class ansi_search {
public:
    // `pattern` as FindFirstFileA takes it, in the ANSI code page.
    explicit ansi_search(const char *pattern);
    ansi_search(const ansi_search &) = delete;
    ansi_search &operator=(const ansi_search &) = delete;
    // The next entry, in the order the system reports them; false at the end
    // (also when the pattern matched nothing or was refused).
    bool next(ansi_entry &entry);

private:
    WIN32_FIND_DATAW found_{};
    find_closer search_;
    bool pending_;
};
