// Why a converter refused its input, in its plug-in's words (_DLL_reason).
#pragma once

#include <cstddef>

#include "plugins/morphex_plugin.h"

// The most of a plug-in's reason that is read and shown, in bytes: a
// notice's line, not a report.
constexpr std::size_t reason_shown_bytes = 200;

// One line in the host's code page, empty when the plug-in gave no reason.
struct refusal_reason {
    char text[reason_shown_bytes + 1];
};

// Asks the plug-in that declared `converter` in `list` (FORMAT_LIST_SOURCE
// or FORMAT_LIST_TARGET) why the call that has just returned -1 or -2
// refused.  Call it before anything else of that plug-in's.
refusal_reason refusal_reason_of(convert_fn converter, int list);
