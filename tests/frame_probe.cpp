// The frames that the harness gives a callback, and the handler address that
// test 2 stores, checked on both targets. Prints one line per check and
// exits 1 if any failed.
#include <stdio.h>

#ifdef _WIN32
// From KERNEL32; <windows.h> would clash with seh_frame.h's own types.
extern "C" __declspec(dllimport) void *__stdcall GetModuleHandleA(const char *);
extern "C" __declspec(dllimport) void *__stdcall GetProcAddress(void *, const char *);
#else
#include <dlfcn.h>
#endif

#include "probes.h"
#include "qarvel.h"
#include "scenarios.h"

namespace {

int failures = 0;

void check(bool ok, const char *what, unsigned long seen, unsigned long wanted)
{
    if (ok) {
        printf("ok: %s\n", what);
    } else {
        printf("FAILED: %s: 0x%08lx, expected 0x%08lx\n", what, seen, wanted);
        ++failures;
    }
}

uint32_t call_invoke_callback(uint32_t callback, uint32_t out)
{
    return invoke_callback(reinterpret_cast<uint32_t (*)(void)>(callback),
                           reinterpret_cast<uint32_t *>(out));
}

// invoke_callback's frame is fixed whatever the caller's alignment: the
// callback's return address lies directly below the recorded frame pointer.
void invoke_callback_frame_is_exact()
{
    unsigned seen_alignments = 0;
    for (uint32_t words = 0; words < 4; ++words) {
        uint32_t recorded = 0;
        const uint32_t above_return =
            call_shifted(words, call_invoke_callback,
                         seh_addr(reinterpret_cast<void *>(entry_stack_above_return)),
                         seh_addr(&recorded));
        char what[96];
        snprintf(what, sizeof what,
                 "caller shifted by %lu words: callback's ESP + 4 is *out",
                 (unsigned long)words);
        check(above_return == recorded, what, above_return, recorded);
        seen_alignments |= 1u << (above_return & 15u);
    }
    // The four calls really did run at four different alignments.
    check(seen_alignments == 0x1111u, "the four shifts give four alignments",
          seen_alignments, 0x1111u);
}

uint32_t aligned_above_return;
void note_entry_stack()
{
    // With the frame pointer kept, EBP is ESP at entry minus 4.
    aligned_above_return = seh_addr(__builtin_frame_address(0)) + 8;
}

uint32_t call_resumable(uint32_t, uint32_t)
{
    uint32_t recorded = 0;
    invoke_callback_resumable(note_entry_stack, &recorded);
    return recorded;
}

// A callback called through invoke_callback_resumable gets the stack the
// i386 ABI promises (16-byte aligned at the call) from any caller.
void resumable_call_aligns_the_callback()
{
    for (uint32_t words = 0; words < 4; ++words) {
        aligned_above_return = 1;
        const uint32_t recorded = call_shifted(words, call_resumable, 0, 0);
        char what[96];
        snprintf(what, sizeof what,
                 "caller shifted by %lu words: resumable callback's stack is "
                 "16-byte aligned", (unsigned long)words);
        check((aligned_above_return & 15u) == 0, what, aligned_above_return,
              aligned_above_return & ~15u);
        snprintf(what, sizeof what,
                 "caller shifted by %lu words: resumable callback's ESP + 4 "
                 "is *out", (unsigned long)words);
        check(aligned_above_return == recorded, what, aligned_above_return,
              recorded);
    }
}

uint32_t test_02_handler;
void run_test_02_and_read_its_record()
{
    test_02_dangling_frame();
    // The record lies in test 2's vanished frame: read it before any call.
    const auto *left =
        reinterpret_cast<const volatile EXCEPTION_REGISTRATION_RECORD *>(get_seh_frame());
    test_02_handler = seh_addr(reinterpret_cast<void *>(left->Handler));
    set_seh_frame(seh_addr(left->Next));
}

uint32_t library_handle_exception()
{
#ifdef _WIN32
    return seh_addr(reinterpret_cast<void *>(
        GetProcAddress(GetModuleHandleA("qarvel.dll"), "handle_exception")));
#else
    void *library = dlopen("libqarvel.so", RTLD_NOW | RTLD_NOLOAD);
    return library ? seh_addr(dlsym(library, "handle_exception")) : 0;
#endif
}

// Test 2 stores the library's own handler, not a stub of the program's.
void test_02_stores_the_library_handler()
{
    establish_return_frame(run_test_02_and_read_its_record);
    const uint32_t wanted = library_handle_exception();
    check(wanted != 0 && test_02_handler == wanted,
          "test 2's record holds the library's handle_exception",
          test_02_handler, wanted);
}

} // namespace

int main(void)
{
    invoke_callback_frame_is_exact();
    resumable_call_aligns_the_callback();
    test_02_stores_the_library_handler();
    printf("%d failed.\n", failures);
    return failures == 0 ? 0 : 1;
}
