// Processor exceptions (X1-X9): each fault or trap with its code, address,
// parameters and context, dispatched on the faulting thread, restarted or
// resumed as the handler leaves the context (C1, C4), with the direction
// flag clear in the handler and kept in the context (H2).
#include <gtest/gtest.h>

#include <pthread.h>
#include <setjmp.h>
#include <sys/mman.h>
#include <unistd.h>

#include "capture.h"
#include "dispatch_probes.h"
#include "exceptions.h"
#include "nt_tib.h"
#include "pages.h"

namespace {

struct expected_fault {
    const char *what;
    void (*run)(uint32_t address);
    const char *fault, *after;
    uint32_t kind; // ExceptionInformation[0]
};

// Which access of a read-modify-write faults first on a page that is not
// mapped is the processor's to say: qemu reads first, AMD's processors
// report the write.
constexpr uint32_t read_or_write = 2;

// X2, X3: the access, read or write, at the exact address, reported at the
// faulting instruction; the handler goes on after it.
TEST(ProcessorException, AccessesToMemoryThatCannotBeReadOrWritten)
{
    const uint32_t unmapped = 0x10;
    const uint32_t read_only = readable_before_no_access();
    mprotect(reinterpret_cast<void *>(read_only), page_size(), PROT_READ);
    const expected_fault faults[] = {
        {"mov from", load_probe, load_probe_fault, load_probe_after, 0},
        {"mov to", store_probe, store_probe_fault, store_probe_after, 1},
        {"add to, unmapped", add_probe, add_probe_fault, add_probe_after, read_or_write},
        {"stos", stos_probe, stos_probe_fault, stos_probe_after, 1},
        {"movs from", movs_from_probe, movs_from_probe_fault, movs_from_probe_after, 0},
        {"movs to", movs_to_probe, movs_to_probe_fault, movs_to_probe_after, 1},
        {"fld", fld_probe, fld_probe_fault, fld_probe_after, 0},
        {"fstp", fstp_probe, fstp_probe_fault, fstp_probe_after, 1},
        {"movups from", movups_load_probe, movups_load_probe_fault, movups_load_probe_after, 0},
        {"movups to", movups_store_probe, movups_store_probe_fault, movups_store_probe_after, 1},
        {"push from", push_probe, push_probe_fault, push_probe_after, 0},
    };
    for (const expected_fault &f : faults) {
        SCOPED_TRACE(f.what);
        handling h([&f](EXCEPTION_POINTERS *x, const seen_exception &) -> LONG {
            return resume_at(x, f.after);
        });
        f.run(unmapped);
        ASSERT_EQ(1u, h.seen.size());
        const EXCEPTION_RECORD &r = h.seen[0].record;
        EXPECT_EQ(static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION), r.ExceptionCode);
        EXPECT_EQ(f.fault, r.ExceptionAddress);
        EXPECT_EQ(address_of(f.fault), h.seen[0].context.Eip);
        ASSERT_EQ(2u, r.NumberParameters);
        if (f.kind == read_or_write)
            EXPECT_LE(r.ExceptionInformation[0], 1u);
        else
            EXPECT_EQ(f.kind, r.ExceptionInformation[0]);
        EXPECT_EQ(unmapped, r.ExceptionInformation[1]) << "the exact address, not its page";
        EXPECT_EQ(0u, r.ExceptionFlags);
    }
    // A read-modify-write of a page that can be read faults on the write.
    handling h([](EXCEPTION_POINTERS *x, const seen_exception &) -> LONG {
        return resume_at(x, add_probe_after);
    });
    add_probe(read_only + 8);
    ASSERT_EQ(1u, h.seen.size());
    EXPECT_EQ(1u, h.seen[0].record.ExceptionInformation[0]);
    EXPECT_EQ(read_only + 8, h.seen[0].record.ExceptionInformation[1]);
    h.seen.clear();
    h.answer = [](EXCEPTION_POINTERS *x, const seen_exception &) {
        return resume_at(x, moffs_load_probe_after);
    };
    moffs_load_probe(0);
    ASSERT_EQ(1u, h.seen.size());
    EXPECT_EQ(0x10u, h.seen[0].record.ExceptionInformation[1]);
}

// X4: a call to an address that cannot run: reported at the target, which
// is also the address, as an instruction fetch (8: the layer's processes
// enforce DEP), with the return address already pushed.
TEST(ProcessorException, ACallToNowhereFaultsAtItsTarget)
{
    uint32_t return_address = 0;
    handling h([&return_address](EXCEPTION_POINTERS *x, const seen_exception &) -> LONG {
        return_address = *reinterpret_cast<const uint32_t *>(x->ContextRecord->Esp);
        return return_from_fault(x, 42);
    });
    EXPECT_EQ(42u, call_probe(0x10));
    ASSERT_EQ(1u, h.seen.size());
    const seen_exception &s = h.seen[0];
    EXPECT_EQ(reinterpret_cast<void *>(0x10), s.record.ExceptionAddress);
    EXPECT_EQ(0x10u, s.context.Eip);
    EXPECT_EQ(8u, s.record.ExceptionInformation[0]);
    EXPECT_EQ(0x10u, s.record.ExceptionInformation[1]);
    EXPECT_EQ(address_of(call_probe_return), return_address) << "the return address pushed";
}

// X5, C4: a divide by zero at the divide; a fixed divisor makes it run
// again. The quotient that does not fit is EXCEPTION_INT_OVERFLOW.
TEST(ProcessorException, DivideErrorsRestartOnceTheDivisorIsFixed)
{
    handling h([](EXCEPTION_POINTERS *x, const seen_exception &) -> LONG {
        x->ContextRecord->Ecx = 5;
        return EXCEPTION_CONTINUE_EXECUTION;
    });
    EXPECT_EQ(20u, divide_probe(0));
    EXPECT_EQ(INT32_MIN / 5, idiv_probe(-1));
    ASSERT_EQ(2u, h.seen.size());
    EXPECT_EQ(static_cast<DWORD>(EXCEPTION_INT_DIVIDE_BY_ZERO), h.seen[0].record.ExceptionCode);
    EXPECT_EQ(divide_probe_fault, h.seen[0].record.ExceptionAddress);
    EXPECT_EQ(static_cast<DWORD>(EXCEPTION_INT_OVERFLOW), h.seen[1].record.ExceptionCode);
    EXPECT_EQ(idiv_probe_fault, h.seen[1].record.ExceptionAddress);
    // A divisor in memory is read where the divide addresses it.
    h.seen.clear();
    uint32_t divisors[2] = {7, 0};
    h.answer = [&divisors](EXCEPTION_POINTERS *, const seen_exception &) {
        divisors[1] = 4;
        return EXCEPTION_CONTINUE_EXECUTION;
    };
    EXPECT_EQ(25u, divide_memory_probe(divisors));
    ASSERT_EQ(1u, h.seen.size());
    EXPECT_EQ(static_cast<DWORD>(EXCEPTION_INT_DIVIDE_BY_ZERO), h.seen[0].record.ExceptionCode);
}

// X6, X7: an invalid opcode, and instructions that user mode may not run,
// each at the instruction; the general-protection fault of an int the
// kernel refuses is an access violation at an unknown address.
TEST(ProcessorException, InvalidAndPrivilegedInstructions)
{
    struct {
        void (*run)(void);
        const char *fault, *after;
        uint32_t code;
    } cases[] = {
        {ud2_probe, ud2_probe_fault, ud2_probe_after, EXCEPTION_ILLEGAL_INSTRUCTION},
        {hlt_probe, hlt_probe_fault, hlt_probe_after, EXCEPTION_PRIV_INSTRUCTION},
        {cli_probe, cli_probe_fault, cli_probe_after, EXCEPTION_PRIV_INSTRUCTION},
        {in_probe, in_probe_fault, in_probe_after, EXCEPTION_PRIV_INSTRUCTION},
        {int_probe, int_probe_fault, int_probe_after, EXCEPTION_ACCESS_VIOLATION},
    };
    for (const auto &k : cases) {
        handling h([&k](EXCEPTION_POINTERS *x, const seen_exception &) -> LONG { return resume_at(x, k.after); });
        k.run();
        ASSERT_EQ(1u, h.seen.size());
        EXPECT_EQ(k.code, h.seen[0].record.ExceptionCode);
        EXPECT_EQ(k.fault, h.seen[0].record.ExceptionAddress);
        EXPECT_EQ(address_of(k.fault), h.seen[0].context.Eip);
        if (k.code == EXCEPTION_ACCESS_VIOLATION) {
            EXPECT_EQ(0u, h.seen[0].record.ExceptionInformation[0]);
            EXPECT_EQ(0xFFFFFFFFu, h.seen[0].record.ExceptionInformation[1]);
        }
    }
}

// X1: int3 is reported at itself; continued unchanged it runs again, Eip
// + 1 goes on after it. X8: a single step traps after the instruction
// that follows the popf that set TF, with TF clear in the context. into is
// a trap: reported at the next instruction.
TEST(ProcessorException, BreakpointsAndTraps)
{
    int breakpoints = 0;
    handling h([&breakpoints](EXCEPTION_POINTERS *x, const seen_exception &s) -> LONG {
        if (s.record.ExceptionCode == EXCEPTION_BREAKPOINT && ++breakpoints == 2)
            x->ContextRecord->Eip += 1; // the first time it runs again
        return EXCEPTION_CONTINUE_EXECUTION;
    });
    int3_probe();
    ASSERT_EQ(2u, h.seen.size());
    for (const seen_exception &s : h.seen) {
        EXPECT_EQ(static_cast<DWORD>(EXCEPTION_BREAKPOINT), s.record.ExceptionCode);
        EXPECT_EQ(int3_probe_fault, s.record.ExceptionAddress);
        EXPECT_EQ(address_of(int3_probe_fault), s.context.Eip);
    }
    h.seen.clear();
    step_probe();
    ASSERT_EQ(1u, h.seen.size());
    EXPECT_EQ(static_cast<DWORD>(EXCEPTION_SINGLE_STEP), h.seen[0].record.ExceptionCode);
    EXPECT_EQ(step_probe_after, h.seen[0].record.ExceptionAddress);
    EXPECT_EQ(address_of(step_probe_after), h.seen[0].context.Eip);
    EXPECT_EQ(0u, h.seen[0].context.EFlags & 0x100);
    h.seen.clear();
    into_probe();
    ASSERT_EQ(1u, h.seen.size());
    EXPECT_EQ(static_cast<DWORD>(EXCEPTION_INT_OVERFLOW), h.seen[0].record.ExceptionCode);
    EXPECT_EQ(into_probe_after, h.seen[0].record.ExceptionAddress);
}

// The context of a fault holds every register at the instruction (X), and
// continuing resumes the context as the handler left it, each integer
// register, Eip and Esp (C1), and TF exactly: set, the first instruction
// resumed runs and then traps.
TEST(ProcessorException, ContinuingResumesEveryRegisterAsTheHandlerLeftThem)
{
    uint32_t fault_esp = 0, fault_ebp = 0;
    handling h([&](EXCEPTION_POINTERS *x, const seen_exception &s) -> LONG {
        CONTEXT &c = *x->ContextRecord;
        if (s.record.ExceptionCode == EXCEPTION_SINGLE_STEP)
            return EXCEPTION_CONTINUE_EXECUTION;
        fault_esp = c.Esp;
        fault_ebp = c.Ebp;
        c.Eax = 0xA0A0A0A0;
        c.Ebx = 0xB0B0B0B0;
        c.Ecx = 0xC0C0C0C0;
        c.Edx = 0xD0D0D0D0;
        c.Esi = 0x50505050;
        c.Edi = 0xD1D1D1D1;
        c.Ebp = 0xEBEBEBEB;
        c.Esp -= 64;
        c.EFlags |= 0x1 | 0x100; // CF, TF
        return resume_at(x, resume_probe_landing);
    });
    EXPECT_EQ(1u, resume_probe());
    ASSERT_EQ(2u, h.seen.size());
    const CONTEXT &fault = h.seen[0].context;
    EXPECT_EQ(address_of(resume_probe_fault), fault.Eip);
    EXPECT_EQ(0x11110001u, fault.Eax);
    EXPECT_EQ(0x11110002u, fault.Ebx);
    EXPECT_EQ(0x11110003u, fault.Ecx);
    EXPECT_EQ(0x11110004u, fault.Edx);
    EXPECT_EQ(0x11110005u, fault.Esi);
    EXPECT_EQ(0x11110006u, fault.Edi);
    EXPECT_EQ(fault_ebp - 12, fault_esp) << "the probe's frame";
    EXPECT_EQ(CONTEXT_FULL, fault.ContextFlags & CONTEXT_FULL);
    // Resumed: EDI, ESI, EBP, ESP (after the landing's pushfl), EBX, EDX,
    // ECX, EAX, EFLAGS.
    EXPECT_EQ(0xD1D1D1D1u, resume_seen[0]);
    EXPECT_EQ(0x50505050u, resume_seen[1]);
    EXPECT_EQ(0xEBEBEBEBu, resume_seen[2]);
    EXPECT_EQ(fault_esp - 64 - 4, resume_seen[3]);
    EXPECT_EQ(0xB0B0B0B0u, resume_seen[4]);
    EXPECT_EQ(0xD0D0D0D0u, resume_seen[5]);
    EXPECT_EQ(0xC0C0C0C0u, resume_seen[6]);
    EXPECT_EQ(0xA0A0A0A0u, resume_seen[7]);
    EXPECT_EQ(0x101u, resume_seen[8] & 0x101) << "CF and TF as resumed";
    // TF: one instruction (the pushfl) ran, then the trap.
    EXPECT_EQ(static_cast<DWORD>(EXCEPTION_SINGLE_STEP), h.seen[1].record.ExceptionCode);
    EXPECT_EQ(address_of(resume_probe_landing) + 1, h.seen[1].context.Eip);
}

// H2: the handler runs with DF clear; the context keeps the faulting
// point's DF, and continuing restores it.
TEST(ProcessorException, HandlersRunWithTheDirectionFlagClearWhichTheContextKeeps)
{
    handling h([](EXCEPTION_POINTERS *x, const seen_exception &) -> LONG {
        x->ContextRecord->Eip += 2;
        return EXCEPTION_CONTINUE_EXECUTION;
    });
    EXPECT_EQ(0x400u, df_probe()) << "continuing restored DF";
    ASSERT_EQ(1u, h.seen.size());
    EXPECT_EQ(0u, h.seen[0].flags_on_entry & 0x400);
    EXPECT_EQ(0x400u, h.seen[0].context.EFlags & 0x400);
}

// X10: an unmasked x87 exception is reported on the next x87 instruction,
// at the faulting one; fixed in the context, it is gone. qemu-i386 raises
// none: there the emulator's deviation skips the test.
TEST(ProcessorException, AnUnmaskedX87ExceptionIsReportedAtItsInstruction)
{
    handling h([](EXCEPTION_POINTERS *x, const seen_exception &) -> LONG {
        FLOATING_SAVE_AREA &f = x->ContextRecord->FloatSave;
        f.ControlWord |= 0x3F;   // every exception masked
        f.StatusWord &= ~0x80FFu; // none pending
        return EXCEPTION_CONTINUE_EXECUTION;
    });
    const float zero = 0;
    x87_divide_probe(&zero);
    if (h.seen.empty())
        GTEST_SKIP() << "the processor raised no x87 exception (an emulator's deviation: "
                        "qemu-i386 raises none)";
    ASSERT_EQ(1u, h.seen.size());
    EXPECT_EQ(static_cast<DWORD>(EXCEPTION_FLT_DIVIDE_BY_ZERO), h.seen[0].record.ExceptionCode);
    EXPECT_EQ(x87_divide_probe_fault, h.seen[0].record.ExceptionAddress);
    EXPECT_EQ(address_of(x87_divide_probe_report), h.seen[0].context.Eip);
}

// X9: a thread that runs into its stack's end gets STATUS_STACK_OVERFLOW
// on that thread, with room to unwind, and StackLimit moves down to the
// reserve.
jmp_buf overflowed;
struct overflow_seen {
    uint32_t code, limit_before, limit_in_handler;
    pthread_t thread;
} overflow;

__attribute__((noinline)) uint32_t recurse(uint32_t depth)
{
    volatile char room[512];
    room[0] = static_cast<char>(depth);
    if (depth == 0xFFFFFFFF) // never: the stack ends long before
        return 0;
    return recurse(depth + 1) + room[0];
}

uint32_t take_overflow(EXCEPTION_RECORD *rec, void *frame, void *, void *)
{
    if (rec->ExceptionFlags & EXCEPTION_UNWIND)
        return ExceptionContinueSearch;
    overflow.code = rec->ExceptionCode;
    overflow.limit_in_handler = seh_addr(tib_current()->StackLimit);
    overflow.thread = pthread_self();
    RtlUnwind(frame, nullptr, rec, nullptr);
    longjmp(overflowed, 1);
}

void *overflow_thread(void *)
{
    raw_record record = {get_seh_frame(), take_overflow};
    set_seh_frame(seh_addr(&record));
    overflow.limit_before = seh_addr(tib_current()->StackLimit);
    if (!setjmp(overflowed))
        recurse(0);
    set_seh_frame(record.Next);
    return nullptr;
}

TEST(ProcessorException, AStackOverflowIsRaisedOnItsThreadWithRoomToUnwind)
{
    overflow = {};
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 1 << 20);
    pthread_t thread;
    ASSERT_EQ(0, pthread_create(&thread, &attr, overflow_thread, nullptr));
    pthread_attr_destroy(&attr);
    pthread_join(thread, nullptr);
    EXPECT_EQ(static_cast<DWORD>(EXCEPTION_STACK_OVERFLOW), overflow.code);
    EXPECT_TRUE(pthread_equal(thread, overflow.thread));
    EXPECT_EQ(overflow.limit_before - 20 * 1024, overflow.limit_in_handler)
        << "the guard's page and the reserve below it";
}

using ProcessorExceptionDeathTest = testing::Test;

// With nobody to take it, a stack overflow ends the process with its
// status; a stack too small for a reserve ends it at its end.
TEST_F(ProcessorExceptionDeathTest, AStackOverflowNobodyTakesEndsTheProcess)
{
    EXPECT_EXIT(recurse(0), testing::ExitedWithCode(0xFD),
                "^seh_platform: unhandled exception 0xc00000fd \\(STATUS_STACK_OVERFLOW\\) at "
                "0x[0-9a-f]{8} in thread [0-9]+\n$");
    EXPECT_EXIT(
        {
            pthread_attr_t attr;
            pthread_attr_init(&attr);
            pthread_attr_setstacksize(&attr, 64 * 1024);
            pthread_t thread;
            pthread_create(&thread, &attr, [](void *) -> void * { return reinterpret_cast<void *>(recurse(0)); },
                           nullptr);
            pthread_join(thread, nullptr);
        },
        testing::ExitedWithCode(0xFD),
        "the thread ran out of stack, with no reserve left to dispatch it on");
}

} // namespace
