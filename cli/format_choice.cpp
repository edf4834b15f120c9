// Naming a format on the command line: exact names first, then unique
// case-insensitive matches, so that "utf-8" finds "Text - UTF-8" where no
// other name of that table contains it.
#include "cli/format_choice.h"

#include <windows.h>

#include <algorithm>

namespace {

std::string folded(const char *text)
{
    std::string copy(text);
    if (!copy.empty())
        CharLowerBuffA(&copy[0], static_cast<DWORD>(copy.size()));
    return copy;
}

bool name_before(const std::string &a, const std::string &b)
{
    return lstrcmpiA(a.c_str(), b.c_str()) < 0;
}

// The slot of the one distinct name among `slots`, or format_table_size.
int single_name(const std::vector<int> &slots, const format_entry *table, std::vector<std::string> &names)
{
    names.clear();
    for (int slot : slots)
        if (std::find(names.begin(), names.end(), table[slot].name) == names.end())
            names.push_back(table[slot].name);
    std::sort(names.begin(), names.end(), name_before);
    return names.size() == 1 ? slots.front() : format_table_size;
}

}  // namespace

bool slot_filled(const format_origin *origins, int slot)
{
    return origins[slot].plugin[0] != '\0';
}

std::vector<int> slots_by_name(const format_entry *table, const format_origin *origins)
{
    std::vector<int> slots;
    for (int slot = 0; slot < format_table_size; ++slot)
        if (slot_filled(origins, slot))
            slots.push_back(slot);
    std::stable_sort(slots.begin(), slots.end(),
                     [table](int a, int b) { return lstrcmpiA(table[a].name, table[b].name) < 0; });
    return slots;
}

format_match choose_format(const std::string &text, const format_entry *table, const format_origin *origins,
                           int &slot, std::vector<std::string> &candidates)
{
    candidates.clear();
    slot = find_format(text.c_str(), table);
    if (slot != format_table_size && slot_filled(origins, slot))
        return format_match::found;

    const std::string wanted = folded(text.c_str());
    std::vector<int> equal, containing, every;
    for (int i = 0; i < format_table_size; ++i) {
        if (!slot_filled(origins, i))
            continue;
        every.push_back(i);
        const std::string name = folded(table[i].name);
        if (name == wanted)
            equal.push_back(i);
        if (!wanted.empty() && name.find(wanted) != std::string::npos)
            containing.push_back(i);
    }
    for (const std::vector<int> *matches : {&equal, &containing}) {
        if (matches->empty())
            continue;
        slot = single_name(*matches, table, candidates);
        if (slot == format_table_size)
            return format_match::ambiguous;
        candidates.clear();
        return format_match::found;
    }
    slot = format_table_size;
    single_name(every, table, candidates);
    return format_match::unknown;
}
