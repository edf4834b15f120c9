// Guarded calls into plug-ins: a handler of the host's in the frame that
// makes the call, asked only after every frame of the plug-in has declined.
//
// x86_64: exception handling is table-driven.  guard_enter is written in
// assembly so that its unwind data names guard_handler as its exception
// handler.  When the dispatcher reaches that frame, guard_handler records
// the exception and unwinds to guard_landing in guard_enter (RtlUnwindEx),
// which returns normally.  The unwind carries no record of the plug-in's
// exception, so the frames of a g++ plug-in are dropped without running
// their clean-ups (they would try to go on with a C++ exception that no
// frame catches), while __finally blocks below the guard, like those in
// which Microsoft's C runtime releases a stream's lock, do run.
//
// i686: handlers form a chain that starts at fs:[0].  guard_enter links a
// record into it for the duration of the call; guard_handler unwinds the
// records above it (RtlUnwind) and resumes at guard_landing with the
// registers of guard_enter's frame.
#include "support/guard.h"

#include <windows.h>

#include <malloc.h>

#include <cstddef>

namespace {

// Shared with the assembly below: keep the offsets in step.
struct guard_frame {
    const void *function;
    std::uintptr_t arguments[3];
    std::int32_t value;
    std::uint32_t exception_code;
    std::int32_t faulted;
};
static_assert(offsetof(guard_frame, arguments) == sizeof(void *));
static_assert(offsetof(guard_frame, value) == 4 * sizeof(void *));

// Stack kept back for handling an overflow.  The exception is dispatched on
// the overflowed stack itself, and dispatching alone may take some
// kilobytes (Wine's dispatcher with the runtime's vectored handlers).
constexpr ULONG overflow_stack_bytes = 64 * 1024;

}  // namespace

extern "C" {
void guard_enter(guard_frame *frame) asm("morphex_guard_enter");
extern char guard_landing[] asm("morphex_guard_landing");
EXCEPTION_DISPOSITION guard_handler(EXCEPTION_RECORD *record, void *establisher_frame, CONTEXT *context,
                                    void *dispatcher_context) asm("morphex_guard_handler");
}

#if defined(__x86_64__)

// Frame of guard_enter after its prologue: 32 bytes of home space for the
// callee, then the guard_frame pointer (the establisher frame + 32).
asm(R"(
    .text
    .p2align 4
    .globl morphex_guard_enter
    .def morphex_guard_enter; .scl 2; .type 32; .endef
    .seh_proc morphex_guard_enter
morphex_guard_enter:
    .seh_handler morphex_guard_handler, @except
    pushq %rbx
    .seh_pushreg %rbx
    subq $48, %rsp
    .seh_stackalloc 48
    .seh_endprologue
    movq %rcx, %rbx
    movq %rcx, 32(%rsp)
    movq 8(%rbx), %rcx
    movq 16(%rbx), %rdx
    movq 24(%rbx), %r8
    callq *(%rbx)
    movl %eax, 32(%rbx)
    .globl morphex_guard_landing
morphex_guard_landing:
    addq $48, %rsp
    popq %rbx
    retq
    .seh_endproc
)");

namespace {
constexpr std::size_t frame_pointer_offset = 32;
}

#elif defined(__i386__)

// Below guard_enter's saved ebp, ebx, esi, edi lies the record it links
// into the chain: previous record, handler, guard_frame pointer (the
// establisher frame + 8).  The record starts 24 bytes below ebp.
asm(R"(
    .text
    .p2align 4
    .globl morphex_guard_enter
morphex_guard_enter:
    pushl %ebp
    movl %esp, %ebp
    pushl %ebx
    pushl %esi
    pushl %edi
    movl 8(%ebp), %ebx
    pushl %ebx
    pushl $morphex_guard_handler
    pushl %fs:0
    movl %esp, %fs:0
    pushl 12(%ebx)
    pushl 8(%ebx)
    pushl 4(%ebx)
    call *(%ebx)
    addl $12, %esp
    movl %eax, 16(%ebx)
    .globl morphex_guard_landing
morphex_guard_landing:
    popl %fs:0
    addl $8, %esp
    popl %edi
    popl %esi
    popl %ebx
    popl %ebp
    ret

    .p2align 4
    .globl morphex_guard_unwind
morphex_guard_unwind:
    movl 4(%esp), %esi
    movl 8(%esp), %eax
    pushl $0
    pushl $0
    pushl $1f
    pushl %esi
    call *%eax
1:
    movl %esi, %esp
    leal 24(%esp), %ebp
    jmp morphex_guard_landing
)");

// Unwinds the chain down to `record` (with `rtl_unwind`, RtlUnwind) and
// resumes at guard_landing; never returns.
extern "C" [[noreturn]] void guard_unwind(void *record, void *rtl_unwind) asm("morphex_guard_unwind");

namespace {
constexpr std::size_t frame_pointer_offset = 8;
}

#else
#error "guarded calls are written for x86_64 and i686"
#endif

namespace {

std::size_t page_size()
{
    static const std::size_t size = [] {
        SYSTEM_INFO system;
        GetSystemInfo(&system);
        return static_cast<std::size_t>(system.dwPageSize);
    }();
    return size;
}

// The guaranteed room counts only from where an overflow is noticed: at a
// guard page.  Where the stack is committed down to its end with the only
// guard page there (Wine commits the first thread's stack whole), an
// overflow would come with one page left; a guard page above the room makes
// it come in time.  Where the stack grows page by page its own guard page
// lies higher and the page looked at is not committed: nothing changes.
void keep_overflow_room()
{
    MEMORY_BASIC_INFORMATION stack{};
    if (!VirtualQuery(&stack, &stack, sizeof stack))
        return;
    const std::size_t page = page_size();
    char *const stack_end = static_cast<char *>(stack.AllocationBase);
    char *const room_top = stack_end + page + overflow_stack_bytes + page;
    if (room_top + page >= reinterpret_cast<char *>(&stack))
        return;
    MEMORY_BASIC_INFORMATION above{};
    if (!VirtualQuery(room_top, &above, sizeof above) || above.State != MEM_COMMIT || (above.Protect & PAGE_GUARD))
        return;
    DWORD previous;
    VirtualProtect(room_top, page, PAGE_READWRITE | PAGE_GUARD, &previous);
}

// Once per thread: the guard page, once placed, moves down with the stack,
// and after an overflow _resetstkoflw sets it again.
void prepare_thread_stack()
{
    thread_local bool prepared = false;
    if (prepared)
        return;
    prepared = true;
    // Room for the dispatcher, the handlers and the unwind once the stack
    // has overflowed; the system only ever raises the guarantee.
    ULONG stack_guarantee = overflow_stack_bytes;
    SetThreadStackGuarantee(&stack_guarantee);
    keep_overflow_room();
}

}  // namespace

extern "C" __attribute__((used)) EXCEPTION_DISPOSITION guard_handler(EXCEPTION_RECORD *record,
                                                                     void *establisher_frame, CONTEXT *,
                                                                     void *dispatcher_context)
{
    // Unwinds that pass through the call are not ours to stop.
    if (record->ExceptionFlags & EXCEPTION_UNWIND)
        return ExceptionContinueSearch;
    guard_frame *frame =
        *reinterpret_cast<guard_frame **>(static_cast<char *>(establisher_frame) + frame_pointer_offset);
    frame->faulted = 1;
    frame->exception_code = record->ExceptionCode;
#if defined(__x86_64__)
    auto *dispatch = static_cast<DISPATCHER_CONTEXT *>(dispatcher_context);
    RtlUnwindEx(establisher_frame, guard_landing, nullptr, nullptr, dispatch->ContextRecord,
                dispatch->HistoryTable);
#else
    (void)dispatcher_context;
    guard_unwind(establisher_frame, reinterpret_cast<void *>(&RtlUnwind));
#endif
    return ExceptionContinueSearch;
}

guard_result guarded_call_words(const void *function, std::uintptr_t first, std::uintptr_t second,
                                std::uintptr_t third)
{
    prepare_thread_stack();
    guard_frame frame{function, {first, second, third}, 0, 0, 0};
    guard_enter(&frame);
    if (frame.faulted && frame.exception_code == EXCEPTION_STACK_OVERFLOW)
        _resetstkoflw();
    return {frame.faulted != 0, frame.exception_code, frame.value};
}
