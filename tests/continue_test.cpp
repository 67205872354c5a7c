// NtContinue (C1): it resumes a context exactly wherever the context and
// its stack lie, refuses one that cannot be read, and a context that sends
// execution nowhere faults where its own code meets it.
#include <gtest/gtest.h>

#include <stddef.h>

#include "capture.h"
#include "dispatch_probes.h"
#include "exceptions.h"
#include "pages.h"

namespace {

// A context of the layer's software kind (no floating-point state) for the
// resume probe's landing, with every register set.
void fill_context(CONTEXT *c, uint32_t esp, uint32_t eflags)
{
    uint16_t cs, ss, ds, es, fs, gs;
    __asm__ volatile("movw %%cs, %0\n\tmovw %%ss, %1\n\tmovw %%ds, %2"
                     : "=m"(cs), "=m"(ss), "=m"(ds));
    __asm__ volatile("movw %%es, %0\n\tmovw %%fs, %1\n\tmovw %%gs, %2"
                     : "=m"(es), "=m"(fs), "=m"(gs));
    c->ContextFlags = CONTEXT_FULL;
    c->SegCs = cs, c->SegSs = ss, c->SegDs = ds, c->SegEs = es, c->SegFs = fs, c->SegGs = gs;
    c->Eax = 0xA1A1A1A1, c->Ebx = 0xB1B1B1B1, c->Ecx = 0xC1C1C1C1, c->Edx = 0xD2D2D2D2;
    c->Esi = 0x51515151, c->Edi = 0xD3D3D3D3, c->Ebp = 0xEBEBEBEB;
    c->Eip = address_of(resume_probe_landing);
    c->Esp = esp;
    c->EFlags = eflags;
}

void expect_resumed(uint32_t esp, uint32_t eflags)
{
    EXPECT_EQ(0xD3D3D3D3u, resume_seen[0]);
    EXPECT_EQ(0x51515151u, resume_seen[1]);
    EXPECT_EQ(0xEBEBEBEBu, resume_seen[2]);
    EXPECT_EQ(esp - 4, resume_seen[3]);
    EXPECT_EQ(0xB1B1B1B1u, resume_seen[4]);
    EXPECT_EQ(0xD2D2D2D2u, resume_seen[5]);
    EXPECT_EQ(0xC1C1C1C1u, resume_seen[6]);
    EXPECT_EQ(0xA1A1A1A1u, resume_seen[7]);
    EXPECT_EQ(eflags & 0x8D5, resume_seen[8] & 0x8D5) << "OF, SF, ZF, AF, PF, CF";
}

// The handler resumes the landing itself with NtContinue: on a stack above
// its own, below it, and with the context lying where NtContinue puts the
// four words it pops last.
TEST(Continue, NtContinueResumesEveryRegisterWhereverTheStackAndContextLie)
{
    for (int placement = 0; placement < 3; ++placement) {
        SCOPED_TRACE(placement);
        uint32_t esp = 0;
        handling h([&](EXCEPTION_POINTERS *x, const seen_exception &) -> LONG {
            CONTEXT own;
            CONTEXT *c = &own;
            if (placement == 0) // above this handler, as a fault's context is
                esp = x->ContextRecord->Esp - 64;
            else if (placement == 1) // below this handler's frame
                esp = seh_addr(__builtin_frame_address(0)) - 4096;
            else // the four words over the context's Eax, Ebp, Eip
                c = x->ContextRecord, esp = seh_addr(c) + offsetof(CONTEXT, EFlags);
            fill_context(c, esp, 0x2D5);
            NtContinue(c, 0);
            ADD_FAILURE() << "NtContinue returned";
            return EXCEPTION_CONTINUE_EXECUTION;
        });
        EXPECT_EQ(1u, resume_probe());
        expect_resumed(esp, 0x2D5);
    }
}

// TF exact: the first instruction resumed runs, then the trap.
TEST(Continue, NtContinueWithTheTrapFlagStepsTheFirstInstruction)
{
    uint32_t esp = 0;
    handling h([&](EXCEPTION_POINTERS *x, const seen_exception &s) -> LONG {
        if (s.record.ExceptionCode == EXCEPTION_SINGLE_STEP)
            return EXCEPTION_CONTINUE_EXECUTION;
        CONTEXT c;
        esp = x->ContextRecord->Esp - 64;
        fill_context(&c, esp, 0x302);
        NtContinue(&c, 0);
        return EXCEPTION_CONTINUE_EXECUTION;
    });
    EXPECT_EQ(1u, resume_probe());
    ASSERT_EQ(2u, h.seen.size());
    EXPECT_EQ(static_cast<DWORD>(EXCEPTION_SINGLE_STEP), h.seen[1].record.ExceptionCode);
    EXPECT_EQ(address_of(resume_probe_landing) + 1, h.seen[1].context.Eip);
    expect_resumed(esp, 0x302);
}

TEST(Continue, AContextThatCannotBeReadIsRefused)
{
    EXPECT_EQ(STATUS_ACCESS_VIOLATION,
              static_cast<uint32_t>(NtContinue(reinterpret_cast<CONTEXT *>(no_access_page()), 0)));
    // Its first byte can be read, its last cannot.
    const uint32_t across = readable_before_no_access() + page_size() - 100;
    EXPECT_EQ(STATUS_ACCESS_VIOLATION,
              static_cast<uint32_t>(NtContinue(reinterpret_cast<CONTEXT *>(across), 0)));
    EXPECT_EQ(STATUS_ACCESS_VIOLATION, static_cast<uint32_t>(NtContinue(nullptr, 0)));
}

// An Eip that points nowhere: the fault is an access violation at it, an
// instruction fetch.
TEST(Continue, AContextThatSendsExecutionNowhereFaultsThere)
{
    handling h([](EXCEPTION_POINTERS *x, const seen_exception &s) -> LONG {
        if (s.record.ExceptionCode == EXCEPTION_ACCESS_VIOLATION)
            return resume_at(x, resume_probe_landing);
        x->ContextRecord->Eip = 0x10;
        return EXCEPTION_CONTINUE_EXECUTION;
    });
    EXPECT_EQ(1u, resume_probe());
    ASSERT_EQ(2u, h.seen.size());
    EXPECT_EQ(reinterpret_cast<void *>(0x10), h.seen[1].record.ExceptionAddress);
    EXPECT_EQ(8u, h.seen[1].record.ExceptionInformation[0]);
    EXPECT_EQ(0x10u, h.seen[1].record.ExceptionInformation[1]);
}

using ContinueDeathTest = testing::Test;

// An Esp that points nowhere: NtContinue resumes it through the kernel; the
// code's first push faults, and there is no stack to dispatch that on.
TEST_F(ContinueDeathTest, AContextWhoseStackIsNowhereEndsWhereItsCodeMeetsIt)
{
    EXPECT_EXIT(
        {
            handling h([](EXCEPTION_POINTERS *x, const seen_exception &) -> LONG {
                x->ContextRecord->Esp = 0x10;
                return resume_at(x, resume_probe_landing);
            });
            resume_probe();
        },
        testing::ExitedWithCode(5),
        "^seh_platform: exception 0xc0000005 at 0x[0-9a-f]{8} in thread [0-9]+: the layer "
        "faulted while preparing its dispatch \\(ESP points to no stack that can be written\\)\n$");
}

} // namespace
