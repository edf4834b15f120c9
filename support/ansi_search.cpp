// A directory search that names its entries in the ANSI code page.
#include "support/ansi_search.h"

#include "support/ansi_text.h"

namespace {

std::wstring widen(const char *text)
{
    const int units = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (units <= 0)
        return {};
    std::wstring wide(static_cast<std::size_t>(units), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text, -1, &wide[0], units);
    wide.resize(static_cast<std::size_t>(units) - 1);
    return wide;
}

// The name in the ANSI code page, and whether it is written exactly: no
// best-fit letter, no default character, no broken UTF-16.  One conversion
// for the names that are exact, the usual case.
bool narrow(const wchar_t *name, std::string &out)
{
    char buffer[ansi_path_capacity];
    const bool utf8 = ansi_is_utf8();
    const UINT code_page = utf8 ? CP_UTF8 : CP_ACP;
    BOOL used_default = FALSE;
    int bytes = utf8 ? WideCharToMultiByte(code_page, WC_ERR_INVALID_CHARS, name, -1, buffer, sizeof buffer, nullptr,
                                           nullptr)
                     : WideCharToMultiByte(code_page, WC_NO_BEST_FIT_CHARS, name, -1, buffer, sizeof buffer, nullptr,
                                           &used_default);
    if (bytes > 0 && !used_default) {
        out.assign(buffer, static_cast<std::size_t>(bytes) - 1);
        return true;
    }
    // The spelling of the ANSI file search: best-fit letters and defaults.
    bytes = WideCharToMultiByte(code_page, 0, name, -1, buffer, sizeof buffer, nullptr, nullptr);
    out.assign(buffer, bytes > 0 ? static_cast<std::size_t>(bytes) - 1 : 0);
    return false;
}

}  // namespace

ansi_search::ansi_search(const char *pattern)
    : search_{FindFirstFileW(widen(pattern ? pattern : "").c_str(), &found_)},
      pending_(search_.handle != INVALID_HANDLE_VALUE)
{
}

bool ansi_search::next(ansi_entry &entry)
{
    if (!pending_)
        return false;
    entry.exact = narrow(found_.cFileName, entry.name);
    entry.attributes = found_.dwFileAttributes;
    entry.size = static_cast<unsigned long long>(found_.nFileSizeHigh) << 32 | found_.nFileSizeLow;
    pending_ = FindNextFileW(search_.handle, &found_) != FALSE;
    return true;
}
