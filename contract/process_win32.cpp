// Child processes and threads on win32: the program starts itself as a
// child, with a file mapping it inherits.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "process.h"

namespace {

// The mapping of shared_memory, which children inherit.
HANDLE shared_mapping;

LONG WINAPI end_unhandled(EXCEPTION_POINTERS *) { return EXCEPTION_EXECUTE_HANDLER; }

} // namespace

double now_seconds(void) { return GetTickCount() / 1000.0; }

uint64_t now_milliseconds(void) { return GetTickCount64(); }

void wait_on(const uint32_t *word, uint32_t value, unsigned ms)
{
    WaitOnAddress(const_cast<uint32_t *>(word), &value, sizeof value, ms);
}

void wake_waiters(const uint32_t *word) { WakeByAddressAll(const_cast<uint32_t *>(word)); }

// The allocation that holds this frame: the stack's reservation, which
// never moves.
bool stack_extent(uint32_t *low, uint32_t *high, bool)
{
    MEMORY_BASIC_INFORMATION region;
    if (VirtualQuery(__builtin_frame_address(0), &region, sizeof region) != sizeof region)
        return false;
    void *const base = region.AllocationBase;
    uintptr_t at = reinterpret_cast<uintptr_t>(base);
    while (VirtualQuery(reinterpret_cast<void *>(at), &region, sizeof region) == sizeof region &&
           region.AllocationBase == base)
        at += region.RegionSize;
    *low = reinterpret_cast<uintptr_t>(base);
    *high = at;
    return true;
}

uint32_t stack_floor(void)
{
    uint32_t low, high;
    return stack_extent(&low, &high) ? low + reservation_kept : 0;
}

void *shared_memory(size_t size)
{
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    shared_mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, &inherit, PAGE_READWRITE, 0,
                                        static_cast<DWORD>(size), nullptr);
    return shared_mapping ? MapViewOfFile(shared_mapping, FILE_MAP_ALL_ACCESS, 0, 0, size)
                          : nullptr;
}

bool start_child(void *, uint32_t from, child_process *out)
{
    static HANDLE null = [] {
        SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
        return CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0,
                           nullptr);
    }();
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, sizeof self);
    char command[MAX_PATH + 64];
    snprintf(command, sizeof command, "\"%s\" --child %lu %u", self,
             static_cast<unsigned long>(reinterpret_cast<uintptr_t>(shared_mapping)), from);
    STARTUPINFOA start = {};
    start.cb = sizeof start;
    start.dwFlags = STARTF_USESTDHANDLES;
    start.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    start.hStdOutput = null;
    start.hStdError = null;
    PROCESS_INFORMATION child = {};
    fflush(stdout);
    if (!CreateProcessA(self, command, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &start,
                        &child))
        return false;
    CloseHandle(child.hThread);
    out->handle = reinterpret_cast<uintptr_t>(child.hProcess);
    return true;
}

child_state poll_child(child_process &child, uint32_t *code)
{
    HANDLE process = reinterpret_cast<HANDLE>(child.handle);
    if (WaitForSingleObject(process, 0) == WAIT_TIMEOUT)
        return child_state::running;
    DWORD exit_code = 0;
    GetExitCodeProcess(process, &exit_code);
    CloseHandle(process);
    *code = exit_code;
    return child_state::exited;
}

void end_child(child_process &child)
{
    HANDLE process = reinterpret_cast<HANDLE>(child.handle);
    TerminateProcess(process, 1);
    WaitForSingleObject(process, INFINITE);
    CloseHandle(process);
}

void sleep_milliseconds(unsigned ms) { Sleep(ms); }

// WaitOnAddress waits within one process only: the parent and its child
// look again every millisecond.
void wait_on_other_side(const uint32_t *, uint32_t) { Sleep(1); }
void wake_other_side(const uint32_t *) {}

// "--child MAPPING FROM": runs the situations from FROM on, in the shared
// memory of MAPPING, then exits.
bool run_as_child(int argc, char **argv)
{
    if (argc != 4 || strcmp(argv[1], "--child") != 0)
        return false;
    HANDLE mapping = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(strtoul(argv[2], nullptr, 10)));
    void *shared = MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0);
    if (!shared)
        exit(2);
    // No crash dialog or debugger for a child that the platform ends.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    SetUnhandledExceptionFilter(end_unhandled);
    child_main(shared, static_cast<uint32_t>(strtoul(argv[3], nullptr, 10)));
}

namespace {

struct thread_start {
    void (*fn)(int, void *);
    void *arg;
    int index;
};

DWORD WINAPI thread_entry(LPVOID p)
{
    auto *s = static_cast<thread_start *>(p);
    s->fn(s->index, s->arg);
    return 0;
}

} // namespace

bool run_threads(int count, void (*fn)(int index, void *arg), void *arg)
{
    thread_start starts[16];
    HANDLE threads[16];
    int started = 0;
    for (; started < count && started < 16; ++started) {
        starts[started] = {fn, arg, started};
        threads[started] = CreateThread(nullptr, 0, thread_entry, &starts[started], 0, nullptr);
        if (!threads[started])
            break;
    }
    if (started > 0)
        WaitForMultipleObjects(started, threads, TRUE, INFINITE);
    for (int i = 0; i < started; ++i)
        CloseHandle(threads[i]);
    return started == count;
}
