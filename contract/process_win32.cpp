// Child processes and threads on win32: the program starts itself with a
// check's name as its only argument, stdout through a pipe, under a
// time-out.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

#include "checks.h"
#include "process.h"

namespace {

const char *fault_name(uint32_t code)
{
    switch (code) {
    case 0xC0000005u: return "an access violation";
    case 0xC000001Du: return "an illegal instruction";
    case 0xC0000096u: return "a privileged instruction";
    case 0xC0000094u: return "an integer division by zero";
    case 0x80000003u: return "a breakpoint";
    case 0xC0000409u: return "a stack buffer overrun";
    default: return nullptr;
    }
}

} // namespace

outcome run_check_process(const char *name, int timeout_seconds)
{
    outcome result;
    char self[MAX_PATH];
    if (GetModuleFileNameA(nullptr, self, sizeof self) == 0)
        return result;
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE read_end, write_end;
    if (!CreatePipe(&read_end, &write_end, &inherit, 0))
        return result;
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    HANDLE null = CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_WRITE, &inherit,
                              OPEN_EXISTING, 0, nullptr);

    std::string command = std::string("\"") + self + "\" " + name;
    STARTUPINFOA start = {};
    start.cb = sizeof start;
    start.dwFlags = STARTF_USESTDHANDLES;
    start.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    start.hStdOutput = write_end;
    start.hStdError = null;
    PROCESS_INFORMATION child = {};
    fflush(stdout);
    BOOL started = CreateProcessA(self, &command[0], nullptr, nullptr, TRUE, 0,
                                  nullptr, nullptr, &start, &child);
    CloseHandle(write_end);
    if (null != INVALID_HANDLE_VALUE)
        CloseHandle(null);
    if (!started) {
        CloseHandle(read_end);
        return result;
    }
    CloseHandle(child.hThread);

    // Drain the pipe while waiting, so that a child is never held up by a
    // full pipe; then read what is left once it has ended.
    std::string text;
    char buffer[512];
    DWORD n, waiting;
    const DWORD deadline = GetTickCount() + (DWORD)timeout_seconds * 1000;
    for (;;) {
        while (PeekNamedPipe(read_end, nullptr, 0, nullptr, &waiting, nullptr) &&
               waiting > 0 && ReadFile(read_end, buffer, sizeof buffer, &n, nullptr) &&
               n > 0)
            text.append(buffer, n);
        if (WaitForSingleObject(child.hProcess, 20) == WAIT_OBJECT_0)
            break;
        if ((LONG)(GetTickCount() - deadline) >= 0) {
            TerminateProcess(child.hProcess, 1);
            WaitForSingleObject(child.hProcess, INFINITE);
            result.how = outcome::hung;
            break;
        }
    }
    while (ReadFile(read_end, buffer, sizeof buffer, &n, nullptr) && n > 0)
        text.append(buffer, n);
    CloseHandle(read_end);

    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        std::string one = text.substr(at, end - at);
        if (!one.empty() && one.back() == '\r')
            one.pop_back();
        result.lines.push_back(one);
        at = end + 1;
    }
    if (result.how != outcome::hung) {
        DWORD code = 0;
        GetExitCodeProcess(child.hProcess, &code);
        result.code = code;
        const char *fault = fault_name(code);
        result.how = fault ? outcome::faulted : outcome::exited;
        if (fault)
            result.fault = fault;
    }
    CloseHandle(child.hProcess);
    return result;
}

namespace {

// The end of the platform's unhandled-exception path, without a debugger:
// the process ends with the exception's code.
LONG WINAPI end_unhandled(EXCEPTION_POINTERS *)
{
    return EXCEPTION_EXECUTE_HANDLER;
}

} // namespace

// No crash dialog or debugger for a child that the platform ends.
void prepare_child(void)
{
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    SetUnhandledExceptionFilter(end_unhandled);
}

uint32_t exit_code_of(uint32_t status) { return status; }

bool platform_raises(void) { return true; }

namespace {

struct thread_start {
    void (*fn)(void *);
    void *arg;
};

DWORD WINAPI thread_entry(LPVOID p)
{
    auto *s = static_cast<thread_start *>(p);
    s->fn(s->arg);
    return 0;
}

} // namespace

bool run_thread(void (*fn)(void *), void *arg)
{
    thread_start s = {fn, arg};
    HANDLE thread = CreateThread(nullptr, 0, thread_entry, &s, 0, nullptr);
    if (!thread)
        return false;
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    return true;
}

void end_process(uint32_t code)
{
    fflush(stdout);
    _exit((int)code);
}
