// Child processes and threads on win32: the program starts itself as a
// child with a file mapping it inherits, and sees whatever the platform
// raises as raises.cpp says.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "process.h"
#include "situation.h"
#include "stage.h"

namespace {

constexpr DWORD hang_milliseconds = 10000;

} // namespace

double now_seconds(void) { return GetTickCount() / 1000.0; }

void yield_now(void) { SwitchToThread(); }

// The allocation that holds this frame: the stack's reservation.
bool stack_extent(uint32_t *low, uint32_t *high)
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

observation *run_in_children(const uint32_t *indexes, uint32_t count)
{
    size_t header;
    const size_t size = shared_size(count, &header);
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, &inherit, PAGE_READWRITE, 0,
                                        static_cast<DWORD>(size), nullptr);
    void *memory = mapping ? MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, size) : nullptr;
    if (!memory) {
        fprintf(stderr, "unwind-contract: cannot map %u bytes to share with its children\n",
                static_cast<unsigned>(size));
        exit(2);
    }
    auto *runs = static_cast<shared_runs *>(memory);
    runs->count = count;
    memcpy(runs->indexes, indexes, 4 * count);
    observation *seen = observations_of(runs);
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, sizeof self);
    HANDLE null = CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0,
                              nullptr);
    fflush(stdout);
    for (uint32_t from = 0; from < count;) {
        runs->current = from;
        runs->done = from;
        char command[MAX_PATH + 64];
        snprintf(command, sizeof command, "\"%s\" --child %lu %u", self,
                 static_cast<unsigned long>(reinterpret_cast<uintptr_t>(mapping)), from);
        STARTUPINFOA start = {};
        start.cb = sizeof start;
        start.dwFlags = STARTF_USESTDHANDLES;
        start.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        start.hStdOutput = null;
        start.hStdError = null;
        PROCESS_INFORMATION child = {};
        if (!CreateProcessA(self, command, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &start,
                            &child)) {
            for (uint32_t i = from; i < count; ++i)
                seen[i].process = observation::not_started;
            break;
        }
        CloseHandle(child.hThread);
        uint32_t progress = from;
        DWORD since = GetTickCount();
        bool hung = false;
        while (WaitForSingleObject(child.hProcess, 5) == WAIT_TIMEOUT) {
            const uint32_t done = InterlockedCompareExchange(
                reinterpret_cast<volatile LONG *>(&runs->done), 0, 0);
            if (done != progress) {
                progress = done;
                since = GetTickCount();
            } else if (GetTickCount() - since > hang_milliseconds) {
                TerminateProcess(child.hProcess, 1);
                WaitForSingleObject(child.hProcess, INFINITE);
                hung = true;
                break;
            }
        }
        DWORD code = 0;
        GetExitCodeProcess(child.hProcess, &code);
        CloseHandle(child.hProcess);
        if (runs->done >= count)
            break;
        observation &o = seen[runs->current];
        o.process = hung ? observation::hung : observation::exited;
        o.process_code = code;
        from = runs->current + 1;
    }
    if (null != INVALID_HANDLE_VALUE)
        CloseHandle(null);
    return seen;
}

// "--child MAPPING FROM": runs the situations from FROM on, in the shared
// memory of MAPPING, then exits.
bool run_as_child(int argc, char **argv)
{
    if (argc != 4 || strcmp(argv[1], "--child") != 0)
        return false;
    HANDLE mapping = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(strtoul(argv[2], nullptr, 10)));
    auto *runs = static_cast<shared_runs *>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    if (!runs)
        exit(2);
    // No crash dialog or debugger for a child that the platform ends.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    observe_raises();
    observation *seen = observations_of(runs);
    const auto &all = all_situations();
    for (uint32_t i = strtoul(argv[3], nullptr, 10); i < runs->count; ++i) {
        InterlockedExchange(reinterpret_cast<volatile LONG *>(&runs->current), i);
        run_situation(all[runs->indexes[i]], seen[i]);
        InterlockedExchange(reinterpret_cast<volatile LONG *>(&runs->done), i + 1);
    }
    ExitProcess(0);
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
