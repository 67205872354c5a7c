// How a child of unwind-contract sees what the linux-i386 layer does where
// the platform raises: it ends the process with the status, through
// _exit. During a situation that ending is noted on the call of RtlUnwind
// that was running and the situation is left, as win32's vectored handler
// sees a raise, and the child goes on with the next situation; otherwise
// the process ends. A fault ends the child; what it was goes first to the
// call of RtlUnwind that was running.
#include <signal.h>
#include <stdint.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include "raises.h"
#include "stage.h"
#include "unwind_call.h"

namespace {

void on_fault(int signal, siginfo_t *info, void *context)
{
    if (seen_unwind *u = unwind_in_progress()) {
        u->how = seen_unwind::faulted;
        u->code = static_cast<uint32_t>(signal);
        u->address = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(info->si_addr));
        u->param0 = static_cast<uint32_t>(
            static_cast<ucontext_t *>(context)->uc_mcontext.gregs[REG_EIP]);
    }
    ::signal(signal, SIG_DFL);
    raise(signal);
}

} // namespace

// The layer's call of _exit comes here, the program's own definition
// standing in front of the C library's.
extern "C" void _exit(int status)
{
    seen_unwind *u = unwind_in_progress();
    if (u && way_out()) {
        u->how = seen_unwind::ended;
        u->code = static_cast<uint32_t>(status);
        escape_to(way_out());
    }
    syscall(SYS_exit_group, status);
    __builtin_unreachable();
}

void watch_raises(void)
{
    static char room[64 * 1024];
    stack_t alternate = {};
    alternate.ss_sp = room;
    alternate.ss_size = sizeof room;
    sigaltstack(&alternate, nullptr);
    struct sigaction action = {};
    action.sa_sigaction = on_fault;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    for (int signal : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP})
        sigaction(signal, &action, nullptr);
}

bool platform_raises(void) { return false; }
