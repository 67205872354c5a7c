// Signals as the platform's processor exceptions. Where the signal frame
// carries the trap number and error code (a kernel), they say which
// exception it was; where it does not (qemu-i386 leaves -1), siginfo and
// the instruction's bytes do, and what they cannot tell is named in `doubt`.
#include "processor_exception.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/uio.h>

#include "decode.h"
#include "kernel.h"

namespace {

// The parameters and codes the layer chooses where the platform leaves a
// choice: a bus error's underlying status, and the breakpoint's parameter.
constexpr uint32_t in_page_error_status = 0xC0000011u; // STATUS_END_OF_FILE
constexpr uint32_t breakpoint_break = 0;

// The trap numbers of a kernel's frame, where they fit the signal.
enum trap : int {
    divide_error = 0, debug = 1, breakpoint = 3, overflow = 4, bound_range = 5, invalid_opcode = 6,
    segment_not_present = 11, stack_segment = 12, general_protection = 13, page_fault = 14,
    x87_error = 16, alignment_check = 17, simd_error = 19, none = -1
};

trap trap_of(int signal, const mcontext_t &m)
{
    const auto t = static_cast<trap>(m.gregs[REG_TRAPNO]);
    switch (signal) {
    case SIGSEGV:
        return t == overflow || t == bound_range || t == segment_not_present ||
                       t == stack_segment || t == general_protection || t == page_fault
                   ? t : none;
    case SIGFPE: return t == divide_error || t == x87_error || t == simd_error ? t : none;
    case SIGILL: return t == invalid_opcode ? t : none;
    case SIGTRAP: return t == debug || t == breakpoint ? t : none;
    case SIGBUS: return t == alignment_check || t == page_fault ? t : none;
    }
    return none;
}

// Reads bytes that may not be mapped (before the faulting instruction),
// without faulting: the kernel copies them, or refuses.
bool read_safely(uint32_t address, void *out, uint32_t size)
{
    struct iovec local = {out, size};
    struct iovec remote = {reinterpret_cast<void *>(address), size};
    const long copied = kernel_call(__NR_process_vm_readv, kernel_process_id(), word(&local), 1,
                                    word(&remote), 1, 0);
    if (copied >= 0 || copied == -EFAULT)
        return copied == static_cast<long>(size);
    int ends[2]; // where the call is missing (qemu-user), a pipe does the same
    if (kernel_call(__NR_pipe2, word(ends), O_CLOEXEC) != 0)
        return false;
    const bool ok = kernel_call(__NR_write, ends[1], word(address), word(size)) == word(size) &&
                    kernel_call(__NR_read, ends[0], word(out), word(size)) == word(size);
    kernel_call(__NR_close, ends[0]);
    kernel_call(__NR_close, ends[1]);
    return ok;
}

register_file registers_of(const mcontext_t &m)
{
    return {static_cast<uint32_t>(m.gregs[REG_EAX]), static_cast<uint32_t>(m.gregs[REG_ECX]),
            static_cast<uint32_t>(m.gregs[REG_EDX]), static_cast<uint32_t>(m.gregs[REG_EBX]),
            static_cast<uint32_t>(m.gregs[REG_ESP]), static_cast<uint32_t>(m.gregs[REG_EBP]),
            static_cast<uint32_t>(m.gregs[REG_ESI]), static_cast<uint32_t>(m.gregs[REG_EDI])};
}

void set(processor_exception *x, uint32_t code, uint32_t address)
{
    x->code = code;
    x->address = address;
    x->eip = address;
}

void parameters(processor_exception *x, uint32_t count, uint32_t p0 = 0, uint32_t p1 = 0,
                uint32_t p2 = 0)
{
    x->parameters = count;
    x->information[0] = p0;
    x->information[1] = p1;
    x->information[2] = p2;
}

// ExceptionInformation[0] of an access at `address`: 8 for an instruction
// fetch (the layer's processes enforce DEP: every fetch that faults is
// reported as one), 1 for a write, 0 for a read.
uint32_t access_kind(trap t, const mcontext_t &m, uint32_t eip, uint32_t address, int si_code,
                     processor_exception *x)
{
    if (address - eip < 16) // the instruction itself could not be fetched
        return 8;
    if (t == page_fault)
        return m.gregs[REG_ERR] & 2 ? 1 : 0;
    instruction insn;
    if (decode_instruction(reinterpret_cast<const uint8_t *>(eip), &insn)) {
        switch (memory_access(insn, registers_of(m), address)) {
        case memory_use::read: return 0;
        case memory_use::write: return 1;
        case memory_use::read_modify_write: {
            // An unmapped or unreadable page faults on the read.
            uint8_t byte;
            return si_code == SEGV_ACCERR && read_safely(address, &byte, 1) ? 1 : 0;
        }
        case memory_use::unknown: break;
        }
    }
    x->doubt = "cannot tell whether the instruction read or wrote the address: "
               "ExceptionInformation[0] is 0";
    return 0;
}

void segmentation_fault(trap t, const siginfo_t *info, const mcontext_t &m,
                        processor_exception *x)
{
    const uint32_t eip = static_cast<uint32_t>(m.gregs[REG_EIP]);
    const bool page = t == page_fault || (t == none && (info->si_code == SEGV_MAPERR ||
                                                        info->si_code == SEGV_ACCERR));
    if (page) { // X2-X4
        const auto address = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(info->si_addr));
        set(x, STATUS_ACCESS_VIOLATION, eip);
        parameters(x, 2, access_kind(t, m, eip, address, info->si_code, x), address);
        return;
    }
    instruction insn;
    const bool decoded = decode_instruction(reinterpret_cast<const uint8_t *>(eip), &insn);
    uint8_t before = 0;
    if (t == overflow ||
        (t == none && !(decoded && privileged(insn)) && read_safely(eip - 1, &before, 1) &&
         before == 0xCE)) { // into: a trap, reported at the next instruction
        set(x, STATUS_INTEGER_OVERFLOW, eip);
        parameters(x, 0);
    } else if (t == bound_range || (t == none && decoded && !insn.two_byte &&
                                    *insn.opcode == 0x62)) {
        set(x, STATUS_ARRAY_BOUNDS_EXCEEDED, eip);
        parameters(x, 0);
    } else if (decoded && privileged(insn)) { // X7
        set(x, STATUS_PRIVILEGED_INSTRUCTION, eip);
        parameters(x, 0);
    } else { // a general-protection fault: an int the kernel refuses, a bad selector
        set(x, STATUS_ACCESS_VIOLATION, eip);
        parameters(x, 2, 0, 0xFFFFFFFFu);
    }
}

// The code of the first unmasked floating-point exception among `raised`
// (the flags) by the x87's order: stack fault, invalid, denormal, divide,
// overflow, underflow, inexact.
uint32_t float_code(uint32_t raised, bool stack_fault)
{
    if (raised & 1)
        return stack_fault ? STATUS_FLOAT_STACK_CHECK : STATUS_FLOAT_INVALID_OPERATION;
    if (raised & 2)
        return STATUS_FLOAT_DENORMAL_OPERAND;
    if (raised & 4)
        return STATUS_FLOAT_DIVIDE_BY_ZERO;
    if (raised & 8)
        return STATUS_FLOAT_OVERFLOW;
    if (raised & 16)
        return STATUS_FLOAT_UNDERFLOW;
    return STATUS_FLOAT_INEXACT_RESULT;
}

void arithmetic_fault(trap t, const ucontext_t *uc, processor_exception *x)
{
    const mcontext_t &m = uc->uc_mcontext;
    const uint32_t eip = static_cast<uint32_t>(m.gregs[REG_EIP]);
    const uint8_t *fsave = fsave_image(uc);
    if (t == x87_error && fsave) { // X10: at the faulting x87 instruction
        uint32_t control, status, error_offset;
        memcpy(&control, fsave, 4);
        memcpy(&status, fsave + 4, 4);
        memcpy(&error_offset, fsave + 12, 4);
        set(x, float_code(status & ~control & 0x3F, status & 0x40), error_offset);
        x->eip = eip;
        parameters(x, 0);
        return;
    }
    const uint8_t *fxsave = fxsave_image(uc);
    if (t == simd_error && fxsave) {
        uint32_t mxcsr;
        memcpy(&mxcsr, fxsave + 24, 4);
        set(x, float_code(mxcsr & ~(mxcsr >> 7) & 0x3F, false), eip);
        parameters(x, 0);
        return;
    }
    set(x, STATUS_INTEGER_DIVIDE_BY_ZERO, eip);
    parameters(x, 0);
    // X5: a divisor of zero, or a quotient that does not fit (the layer's
    // choice for it: EXCEPTION_INT_OVERFLOW).
    instruction insn;
    bool zero = false;
    if (decode_instruction(reinterpret_cast<const uint8_t *>(eip), &insn) &&
        divides_by_zero(insn, registers_of(m), &zero)) {
        if (!zero)
            x->code = STATUS_INTEGER_OVERFLOW;
    } else {
        x->doubt = "cannot read the divisor (or no divide raised it): reported as "
                   "EXCEPTION_INT_DIVIDE_BY_ZERO";
    }
}

void trap_or_breakpoint(trap t, const siginfo_t *info, const mcontext_t &m, processor_exception *x)
{
    const uint32_t eip = static_cast<uint32_t>(m.gregs[REG_EIP]);
    bool step = t == debug;
    if (t == none) {
        uint8_t before[2] = {};
        if (info->si_code == TRAP_TRACE || info->si_code == TRAP_HWBKPT ||
            (m.gregs[REG_EFL] & EFLAGS_TF))
            step = true;
        else if (!(read_safely(eip - 1, &before[1], 1) && before[1] == 0xCC) &&
                 !(read_safely(eip - 2, before, 2) && before[0] == 0xCD && before[1] == 3))
            x->doubt = "cannot tell a breakpoint from another trap: reported as "
                       "EXCEPTION_BREAKPOINT";
    }
    if (step) { // X8: the next instruction, TF cleared
        set(x, STATUS_SINGLE_STEP, eip);
        parameters(x, 0);
        x->clear_trap_flag = true;
    } else { // X1: backed up to the int3
        set(x, STATUS_BREAKPOINT, eip - 1);
        parameters(x, 1, breakpoint_break);
    }
}

void bus_error(const siginfo_t *info, const mcontext_t &m, processor_exception *x)
{
    const uint32_t eip = static_cast<uint32_t>(m.gregs[REG_EIP]);
    if (info->si_code == BUS_ADRALN) {
        set(x, STATUS_DATATYPE_MISALIGNMENT, eip);
        parameters(x, 0);
        return;
    }
    const auto address = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(info->si_addr));
    set(x, STATUS_IN_PAGE_ERROR, eip);
    // The page exists but its contents could not be brought in: a mapping
    // beyond the end of its file, say. Whether a read or a write is decoded
    // as for a page that is not mapped.
    const trap t = trap_of(SIGBUS, m) == page_fault ? page_fault : none;
    parameters(x, 3, access_kind(t, m, eip, address, SEGV_MAPERR, x), address,
               in_page_error_status);
}

} // namespace

const uint8_t *fsave_image(const ucontext_t *uc)
{
    return reinterpret_cast<const uint8_t *>(uc->uc_mcontext.fpregs);
}

const uint8_t *fxsave_image(const ucontext_t *uc)
{
    const uint8_t *fsave = fsave_image(uc);
    uint16_t magic;
    if (!fsave)
        return nullptr;
    memcpy(&magic, fsave + 110, 2);
    return magic == 0 ? fsave + 112 : nullptr;
}

bool describe_processor_exception(int signal, const siginfo_t *info, const ucontext_t *uc,
                                  processor_exception *out)
{
    if (info->si_code <= 0) // SI_USER, SI_TKILL, SI_QUEUE...: sent, not raised
        return false;
    *out = processor_exception{};
    const trap t = trap_of(signal, uc->uc_mcontext);
    switch (signal) {
    case SIGSEGV: segmentation_fault(t, info, uc->uc_mcontext, out); break;
    case SIGFPE: arithmetic_fault(t, uc, out); break;
    case SIGTRAP: trap_or_breakpoint(t, info, uc->uc_mcontext, out); break;
    case SIGBUS: bus_error(info, uc->uc_mcontext, out); break;
    case SIGILL: {
        const uint32_t eip = static_cast<uint32_t>(uc->uc_mcontext.gregs[REG_EIP]);
        instruction insn;
        const bool priv = decode_instruction(reinterpret_cast<const uint8_t *>(eip), &insn) &&
                          privileged(insn);
        set(out, priv ? STATUS_PRIVILEGED_INSTRUCTION : STATUS_ILLEGAL_INSTRUCTION, eip); // X6
        parameters(out, 0);
        break;
    }
    default: return false;
    }
    return true;
}
