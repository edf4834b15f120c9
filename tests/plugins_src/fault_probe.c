/* The memory probe of cnvfault.dll: reads one byte under an exception
 * handler of the plug-in's own, which takes the access violation when the
 * byte cannot be read.  The host's guard must never see that exception. */
#include <windows.h>
#include <excpt.h>

/* Filter of the probe's scope (called by the C runtime's frame handler). */
LONG fault_probe_filter(EXCEPTION_POINTERS *pointers, void *frame)
{
    (void)frame;
    return pointers->ExceptionRecord->ExceptionCode == EXCEPTION_ACCESS_VIOLATION ? EXCEPTION_EXECUTE_HANDLER
                                                                                    : EXCEPTION_CONTINUE_SEARCH;
}

/* 1 when the byte at `address` can be read. */
__attribute__((noinline)) int fault_probe_readable(const volatile char *address)
{
    volatile int readable = 0;
#if defined(__x86_64__)
    __try1(fault_probe_filter)
    (void)*address;
    readable = 1;
    __except1
#else
    /* The i686 form of __try1 takes a raw frame handler, not a filter: the
     * system's own probe stands in for it there. */
    readable = !IsBadReadPtr((const void *)address, 1);
#endif
    return readable;
}
