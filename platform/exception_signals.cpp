// Processor exceptions, dispatched on the thread's own stack, wherever they
// happen: in the program, or in the layer's own code where it reads what
// the program hands it (a record, a context), as the platform's own code
// faults and dispatches. The dispatcher keeps nothing outside its frames,
// and the vectored list's lock is never waited for by its holder. The
// handler
// runs on the alternate signal stack (the thread's own may be full): it
// builds the exception record and the context below the faulting ESP, points
// the interrupted thread at the dispatcher's entry with ESP on them and TF,
// DF and AC clear, and returns; sigreturn then restores the signal mask and
// the dispatcher runs as ordinary code, where a fault in a handler is a new,
// nested signal (N2). The faulting point's EFLAGS stay in the context (H2).
//
// The same handler serves NtContinue: a context that must be resumed
// through the kernel (continue_entry.S) is loaded into the frame whole.
#include "exception_signals.h"

#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <sys/mman.h>

#include "dispatch.h"
#include "fatal.h"
#include "kernel.h"
#include "processor_exception.h"
#include "stack_guard.h"
#include "status_name.h"
#include "thread_block.h"

extern "C" {
// raise_entry.S: cld, then on_processor_signal.
SEH_PLATFORM_HIDDEN void signal_entry(int, siginfo_t *, void *);
}

namespace {

constexpr uint32_t alternate_size = 16 * 1024;
constexpr uint32_t page = 4096;
// Below the record and context, room for the dispatcher, a handler and an
// RtlUnwind from it (H5) before the stack's guard is reached.
constexpr uint32_t dispatch_room = 8 * 1024;
const int exception_signals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP};

alignas(16) char main_alternate[alternate_size];
pthread_key_t thread_end;

// The exception whose dispatch the handler is preparing on this thread: a
// fault meanwhile is the layer's own, and ends the process naming it.
__thread const processor_exception *preparing __attribute__((tls_model("initial-exec")));
// The lowest address of the thread's alternate signal stack (0: none).
__thread uint32_t alternate_low __attribute__((tls_model("initial-exec")));

uint32_t thread_id(void) { return static_cast<uint32_t>(kernel_thread_id()); }

// A signal that a process sent is no exception: its default action ends
// the process as it would without the layer.
void end_by_default(int signal)
{
    const kernel_sigaction fallback = {};
    kernel_sigaction_set(signal, &fallback);
    kernel_call(__NR_tgkill, kernel_process_id(), kernel_thread_id(), signal);
}

[[noreturn]] void cannot_dispatch(const processor_exception &x, const char *why, int status)
{
    fatal_line line;
    line << "seh_platform: exception ";
    line.hex(x.code);
    if (const char *name = status_name(x.code))
        line << " (" << name << ")";
    line << " at ";
    line.hex(x.address) << " in thread ";
    line.number(thread_id()) << ": " << why;
    line.exit(status);
}

int exit_status_of(uint32_t code) { return (code & 0xFF) != 0 ? static_cast<int>(code & 0xFF) : 0xFF; }

void say_what_is_doubted(const processor_exception &x)
{
    fatal_line line;
    line << "seh_platform: the signal frame carries no trap number (an emulator's, as "
            "qemu-i386's): at ";
    line.hex(x.eip) << ", " << x.doubt;
    line.say();
}

// The x87 part of the fxsave image from an fsave one, so that both parts
// of the frame say the same.
void x87_into_fxsave(const FLOATING_SAVE_AREA &f, uint8_t *fx)
{
    const uint16_t control = static_cast<uint16_t>(f.ControlWord);
    const uint16_t status = static_cast<uint16_t>(f.StatusWord);
    const uint16_t opcode = static_cast<uint16_t>(f.ErrorSelector >> 16 & 0x7FF);
    const uint16_t code_selector = static_cast<uint16_t>(f.ErrorSelector);
    const uint16_t data_selector = static_cast<uint16_t>(f.DataSelector);
    uint8_t tags = 0; // one bit per register: not empty
    for (int i = 0; i < 8; ++i)
        tags |= static_cast<uint8_t>(((f.TagWord >> (2 * i) & 3) != 3) << i);
    memcpy(fx + 0, &control, 2);
    memcpy(fx + 2, &status, 2);
    fx[4] = tags;
    memcpy(fx + 6, &opcode, 2);
    memcpy(fx + 8, &f.ErrorOffset, 4);
    memcpy(fx + 12, &code_selector, 2);
    memcpy(fx + 16, &f.DataOffset, 4);
    memcpy(fx + 20, &data_selector, 2);
    for (int i = 0; i < 8; ++i)
        memcpy(fx + 32 + 16 * i, f.RegisterArea + 10 * i, 10);
}

// The frame resumes the context when the handler returns: every integer
// register, Eip, Esp and EFlags (the kernel takes TF as it is), and the
// floating-point state that ContextFlags holds. The segment registers stay.
void load_context(ucontext_t *uc, const CONTEXT *c)
{
    greg_t *g = uc->uc_mcontext.gregs;
    g[REG_EDI] = static_cast<greg_t>(c->Edi);
    g[REG_ESI] = static_cast<greg_t>(c->Esi);
    g[REG_EBX] = static_cast<greg_t>(c->Ebx);
    g[REG_EDX] = static_cast<greg_t>(c->Edx);
    g[REG_ECX] = static_cast<greg_t>(c->Ecx);
    g[REG_EAX] = static_cast<greg_t>(c->Eax);
    g[REG_EBP] = static_cast<greg_t>(c->Ebp);
    g[REG_EIP] = static_cast<greg_t>(c->Eip);
    g[REG_ESP] = g[REG_UESP] = static_cast<greg_t>(c->Esp);
    g[REG_EFL] = static_cast<greg_t>(c->EFlags);
    auto *fsave = const_cast<uint8_t *>(fsave_image(uc));
    auto *fxsave = const_cast<uint8_t *>(fxsave_image(uc));
    if (fxsave && (c->ContextFlags & CONTEXT_EXTENDED_REGISTERS) == CONTEXT_EXTENDED_REGISTERS) {
        memcpy(fxsave, c->ExtendedRegisters, 464); // the rest is the kernel's
        uint32_t mxcsr;
        memcpy(&mxcsr, fxsave + 24, 4);
        mxcsr &= 0xFFFF;
        memcpy(fxsave + 24, &mxcsr, 4);
    }
    if (fsave && (c->ContextFlags & CONTEXT_FLOATING_POINT) == CONTEXT_FLOATING_POINT) {
        memcpy(fsave, &c->FloatSave, 108);
        if (fxsave)
            x87_into_fxsave(c->FloatSave, fxsave);
    }
}

void capture_context(const ucontext_t *uc, const processor_exception &x, CONTEXT *c)
{
    const greg_t *g = uc->uc_mcontext.gregs;
    const uint8_t *fsave = fsave_image(uc), *fxsave = fxsave_image(uc);
    memset(c, 0, sizeof *c);
    c->ContextFlags = CONTEXT_FULL | (fsave ? CONTEXT_FLOATING_POINT : 0) |
                      (fxsave ? CONTEXT_EXTENDED_REGISTERS : 0);
    if (fsave)
        memcpy(&c->FloatSave, fsave, 108);
    if (fxsave)
        memcpy(c->ExtendedRegisters, fxsave, sizeof c->ExtendedRegisters);
    c->SegGs = static_cast<DWORD>(g[REG_GS] & 0xFFFF);
    c->SegFs = static_cast<DWORD>(g[REG_FS] & 0xFFFF);
    c->SegEs = static_cast<DWORD>(g[REG_ES] & 0xFFFF);
    c->SegDs = static_cast<DWORD>(g[REG_DS] & 0xFFFF);
    c->Edi = static_cast<DWORD>(g[REG_EDI]);
    c->Esi = static_cast<DWORD>(g[REG_ESI]);
    c->Ebx = static_cast<DWORD>(g[REG_EBX]);
    c->Edx = static_cast<DWORD>(g[REG_EDX]);
    c->Ecx = static_cast<DWORD>(g[REG_ECX]);
    c->Eax = static_cast<DWORD>(g[REG_EAX]);
    c->Ebp = static_cast<DWORD>(g[REG_EBP]);
    c->Eip = x.eip;
    c->SegCs = static_cast<DWORD>(g[REG_CS] & 0xFFFF);
    c->EFlags = static_cast<DWORD>(g[REG_EFL]) & ~(x.clear_trap_flag ? EFLAGS_TF : 0u);
    c->Esp = static_cast<DWORD>(g[REG_ESP]);
    c->SegSs = static_cast<DWORD>(g[REG_SS] & 0xFFFF);
}

// An x87 exception stays pending in the status word: the dispatcher and
// its handlers run with it cleared, the context keeps it.
void quiet_x87(ucontext_t *uc, uint32_t code)
{
    if (code < STATUS_FLOAT_DENORMAL_OPERAND || code > STATUS_FLOAT_UNDERFLOW)
        return;
    if (auto *fsave = const_cast<uint8_t *>(fsave_image(uc))) {
        uint16_t status;
        memcpy(&status, fsave + 4, 2);
        status &= 0x7F00;
        memcpy(fsave + 4, &status, 2);
        if (auto *fxsave = const_cast<uint8_t *>(fxsave_image(uc)))
            memcpy(fxsave + 2, &status, 2);
    }
}

// The record and context of `x` below the interrupted ESP, and the thread
// sent to the dispatcher on them.
void dispatch_from_signal(ucontext_t *uc, processor_exception &x)
{
    greg_t *g = uc->uc_mcontext.gregs;
    const uint32_t esp = static_cast<uint32_t>(g[REG_ESP]);
    // Code that ran on this alternate stack faulted (a handler of the
    // program's for another signal): below this frame and what it calls.
    const bool on_alternate = alternate_low != 0 && esp - alternate_low <= alternate_size;
    uint32_t top = on_alternate ? seh_addr(__builtin_frame_address(0)) - 2048 : esp;
    top &= ~15u;
    const uint32_t context_at = top - ((sizeof(CONTEXT) + 15) & ~15u);
    const uint32_t record_at = context_at - sizeof(EXCEPTION_RECORD);
    const uint32_t entry_at = record_at - 8;

    NT_TIB *tib = &thread_block;
    if (reaches_stack_guard(entry_at - dispatch_room, top)) {
        // X9: the dispatch would run into the end of the thread's stack: it
        // is a stack overflow, and the guard's page and the reserve take it.
        fire_stack_guard(tib);
        x.code = STATUS_STACK_OVERFLOW;
    }
    // On the thread's stack (or just off its end), with no room left.
    const uint32_t limit = seh_addr(tib->StackLimit), base = seh_addr(tib->StackBase);
    if (esp <= base && esp + 64 * 1024 >= limit && entry_at < limit)
        cannot_dispatch(x, "the thread ran out of stack, with no reserve left to dispatch it on",
                        exit_status_of(STATUS_STACK_OVERFLOW));

    auto *record = reinterpret_cast<EXCEPTION_RECORD *>(record_at);
    record->ExceptionCode = x.code;
    record->ExceptionFlags = 0;
    record->ExceptionRecord = nullptr;
    record->ExceptionAddress = reinterpret_cast<void *>(x.address);
    record->NumberParameters = x.parameters;
    for (uint32_t i = 0; i < x.parameters; ++i)
        record->ExceptionInformation[i] = x.information[i];
    capture_context(uc, x, reinterpret_cast<CONTEXT *>(context_at));
    auto *entry = reinterpret_cast<uint32_t *>(entry_at);
    entry[0] = record_at;
    entry[1] = context_at;

    quiet_x87(uc, x.code);
    g[REG_EIP] = static_cast<greg_t>(seh_addr(raise_from_signal));
    g[REG_ESP] = g[REG_UESP] = static_cast<greg_t>(entry_at);
    g[REG_EFL] &= ~static_cast<greg_t>(EFLAGS_TF | EFLAGS_DF | EFLAGS_AC);
}

// A fault just below the end of the thread's stack, with ESP near it: the
// stack is used up, whatever the code that ran into its end.
bool past_stack_end(uint32_t address, uint32_t esp)
{
    const NT_TIB *tib = &thread_block;
    const uint32_t limit = seh_addr(tib->StackLimit), base = seh_addr(tib->StackBase);
    const uint32_t near = 64 * 1024;
    return address < limit && address + near >= limit && esp <= base && esp + near >= limit &&
           esp < limit + near;
}

void thread_ends(void *alternate)
{
    disarm_stack_guard();
    stack_t off = {};
    off.ss_flags = SS_DISABLE;
    if (kernel_call(__NR_sigaltstack, word(&off)) == 0)
        kernel_munmap(alternate, alternate_size + page);
}

} // namespace

extern "C" SEH_PLATFORM_HIDDEN __attribute__((force_align_arg_pointer)) void
on_processor_signal(int signal, siginfo_t *info, void *context)
{
    auto *uc = static_cast<ucontext_t *>(context);
    greg_t *g = uc->uc_mcontext.gregs;
    const uint32_t eip = static_cast<uint32_t>(g[REG_EIP]);
    const auto *resume = reinterpret_cast<const CONTEXT *>(g[REG_EAX]);
    // NtContinue's requests: a context to resume through the kernel, or
    // one whose stack cannot be written (its code meets the fault itself);
    // a context that cannot be read is refused.
    if (signal == SIGILL && eip == seh_addr(continue_trap))
        return load_context(uc, resume);
    if (signal == SIGSEGV || signal == SIGBUS) {
        if (eip == seh_addr(continue_touches_stack) || eip == seh_addr(continue_touches_stack_end))
            return load_context(uc, resume);
        if (eip == seh_addr(continue_touches_context) ||
            eip == seh_addr(continue_touches_context_end)) {
            g[REG_EAX] = static_cast<greg_t>(STATUS_ACCESS_VIOLATION);
            g[REG_EIP] = static_cast<greg_t>(seh_addr(continue_refused));
            return;
        }
    }
    processor_exception x;
    if (!describe_processor_exception(signal, info, uc, &x))
        return end_by_default(signal);
    if (const processor_exception *outer = preparing)
        cannot_dispatch(*outer, "the layer faulted while preparing its dispatch (ESP points to "
                                "no stack that can be written)",
                        exit_status_of(outer->code));
    if (!own_block())
        cannot_dispatch(x, "the thread has no information block of its own (it was not "
                           "started by pthread_create): not dispatched",
                        SEH_PLATFORM_EXIT_NO_BLOCK);
    const auto address = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(info->si_addr));
    const bool overflow = signal == SIGSEGV && in_stack_guard(address);
    if (!overflow && signal == SIGSEGV && past_stack_end(address, g[REG_ESP]))
        cannot_dispatch(x, "the thread ran out of stack, with no reserve left to dispatch it on",
                        exit_status_of(STATUS_STACK_OVERFLOW));
    if (x.doubt)
        say_what_is_doubted(x);
    preparing = &x;
    if (overflow) { // X9: the thread ran into its stack's guard
        fire_stack_guard(&thread_block);
        x.code = STATUS_STACK_OVERFLOW;
    }
    dispatch_from_signal(uc, x);
    preparing = nullptr;
}

void install_exception_signals(void)
{
    pthread_key_create(&thread_end, thread_ends);
    kernel_sigaction action = {};
    action.handler = reinterpret_cast<void (*)(int, void *, void *)>(signal_entry);
    action.flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER | kernel_restorer_flag;
    action.restorer = kernel_signal_return;
    for (const int signal : exception_signals)
        kernel_sigaction_set(signal, &action);
}

void prepare_thread_for_exceptions(bool main_thread)
{
    stack_t alternate = {};
    alternate.ss_size = alternate_size;
    if (main_thread) {
        alternate.ss_sp = main_alternate;
    } else {
        // Its own mapping, with a page without access below it.
        void *mapped = kernel_mmap(nullptr, alternate_size + page, PROT_READ | PROT_WRITE,
                                   MAP_PRIVATE | MAP_ANONYMOUS);
        if (!kernel_failed(mapped)) {
            kernel_mprotect(mapped, page, PROT_NONE);
            alternate.ss_sp = static_cast<char *>(mapped) + page;
            pthread_setspecific(thread_end, mapped);
        }
    }
    if (alternate.ss_sp && kernel_call(__NR_sigaltstack, word(&alternate)) == 0)
        alternate_low = seh_addr(alternate.ss_sp);
    arm_stack_guard(&thread_block);
}
