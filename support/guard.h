// Calls into plug-in code that may crash.
//
// A guarded call runs one plug-in function on the calling thread with an
// exception handler of the host's registered around it, in the call's own
// stack frame.  The plug-in's own handlers are asked first, as always: an
// exception that the plug-in takes itself (a memory probe, a C++ exception
// caught inside it) never reaches the guard.  One that leaves the plug-in
// unhandled (access violation, illegal or privileged instruction, division
// by zero, stack overflow, a C++ exception escaping it, any other) ends the
// call: the frames of the plug-in are unwound, the call returns a fault
// with the exception's code, and after a stack overflow the stack's guard
// page is set again so that the next overflow is caught too.  Outside a
// guarded call a crash stays a crash.
//
// A function that never returns is not caught: the call waits as long.
#pragma once

#include <cstdint>
#include <type_traits>

// What a C++ exception thrown with g++ (x86_64, SEH unwinding) is raised as
// when no frame of the plug-in catches it: the characters "GCC".
constexpr std::uint32_t gcc_cxx_exception_code = 0x20474343;
// The same for a plug-in built with Microsoft's compiler ("msc").
constexpr std::uint32_t msvc_cxx_exception_code = 0xE06D7363;

struct guard_result {
    bool faulted;                  // an exception left the call unhandled
    std::uint32_t exception_code;  // its code, when faulted
    std::int32_t value;            // what the function returned, when not
};

// Calls the __cdecl function at `function` with three pointer-sized
// arguments (unused trailing ones are ignored by the callee) and returns its
// 32-bit result.  Prefer the typed guarded_call below.
guard_result guarded_call_words(const void *function, std::uintptr_t first, std::uintptr_t second,
                                std::uintptr_t third);

namespace guard_detail {
template <typename T>
std::uintptr_t as_word(T value)
{
    static_assert(std::is_pointer_v<T> || std::is_integral_v<T>, "plug-in arguments are pointers or integers");
    if constexpr (std::is_pointer_v<T>)
        return reinterpret_cast<std::uintptr_t>(value);
    else
        return static_cast<std::uintptr_t>(static_cast<std::intptr_t>(value));
}
}  // namespace guard_detail

// guarded_call(converter, in, out), guarded_call(enumerate, first, list, 1).
template <typename... Parameters, typename... Arguments>
guard_result guarded_call(std::int32_t(__cdecl *function)(Parameters...), Arguments... arguments)
{
    static_assert(sizeof...(Parameters) == sizeof...(Arguments), "one argument per parameter");
    static_assert(sizeof...(Parameters) <= 3, "at most three arguments");
    const std::uintptr_t words[4] = {guard_detail::as_word(static_cast<Parameters>(arguments))..., 0};
    return guarded_call_words(reinterpret_cast<const void *>(function), words[0], words[1], words[2]);
}
