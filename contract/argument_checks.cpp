// U1-U6: the arguments of RtlUnwind and the exception record that its
// handlers get.
#include "checks.h"

#include <stdio.h>

#include "observe.h"
#include "process.h"
#include "report.h"

namespace {

// U1: `above` records over the target, which must end up at the head with
// its own handler never called and its Next left alone.
void unwind_past(int above)
{
    EXCEPTION_REGISTRATION_RECORD r[4];
    install(r, above + 1);
    const uint32_t target = record_at(above), below = r[above].Next;
    unwind(target);
    const uint32_t head = get_seh_frame();
    if (head != target)
        report_fail("the head afterwards was %s", name_of(head));
    if (calls_of(above) > 0)
        report_fail("the target's own handler was called");
    if (r[above].Next != below)
        report_fail("the target's Next was changed");
    uninstall();
    report_ok();
}

void u1_none(void) { unwind_past(0); }
void u1_one(void) { unwind_past(1); }
void u1_two(void) { unwind_past(2); }
void u1_three(void) { unwind_past(3); }

// U2: the unwind goes all the way, to the oldest record and past it. The
// process may end at the end marker (E3), so the verdict is given when the
// oldest record's handler runs. (Which handlers run on the way is W1's
// matter.)
uint32_t after_oldest(const sight &seen)
{
    if (seen.index == 2)
        report_ok();
    return ExceptionContinueSearch;
}

void u2_exit(void)
{
    report_pending("the oldest record's handler was not called");
    EXCEPTION_REGISTRATION_RECORD r[3];
    install(r, 3);
    answer = after_oldest;
    unwind(0);
    if (get_seh_frame() != SEH_CHAIN_END)
        report_fail("RtlUnwind returned with %s at the head",
                    name_of(get_seh_frame()));
}

// U3: a TargetIp that would report it if control went there.
void target_ip_landing(void)
{
    report_fail("control went to TargetIp");
    end_process(0);
}

void u3_target_ip(void)
{
    EXCEPTION_REGISTRATION_RECORD r[2];
    install(r, 2);
    unwind(record_at(1), nullptr, seh_addr((void *)target_ip_landing));
    uninstall();
    report_ok();
}

// Three records, an unwind to the third with `record` (so two handlers run),
// and the head as it was before; the sights stay for the check to read,
// and there must be some.
void unwind_two_of_three(EXCEPTION_RECORD *record = nullptr)
{
    EXCEPTION_REGISTRATION_RECORD r[3];
    install(r, 3);
    unwind(record_at(2), record);
    uninstall();
    expect_sights();
}

// U4: RtlUnwind's own record. Its flags are left to U6.
void u4_record(void)
{
    unwind_two_of_three();
    for (int i = 0; i < sight_count; ++i) {
        const EXCEPTION_RECORD &f = sights[i].fields;
        if (f.ExceptionCode != status_unwind)
            report_fail("code 0x%08lX", (unsigned long)f.ExceptionCode);
        if (f.ExceptionFlags & ~(EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND))
            report_fail("flags 0x%08lX", (unsigned long)f.ExceptionFlags);
        if (f.ExceptionRecord)
            report_fail("a chained record");
        if (f.NumberParameters != 0)
            report_fail("%lu parameters", (unsigned long)f.NumberParameters);
    }
    report_ok();
}

void u4_address(void)
{
    unwind_two_of_three();
    for (int i = 0; i < sight_count; ++i) {
        const void *address = sights[i].fields.ExceptionAddress;
        if (!address)
            report_fail("ExceptionAddress null");
        else if (address != unwind_return_site)
            report_fail("ExceptionAddress another address");
    }
    report_ok();
}

// U5: a record of the caller's, with every field set.
EXCEPTION_RECORD chained = {};

void fill_callers_record(EXCEPTION_RECORD &mine)
{
    mine = EXCEPTION_RECORD{};
    mine.ExceptionCode = 0xE0C0FFEEu;
    mine.ExceptionFlags = 1; // EXCEPTION_NONCONTINUABLE
    mine.ExceptionRecord = &chained;
    mine.ExceptionAddress = reinterpret_cast<void *>(0x12345678);
    mine.NumberParameters = 2;
    mine.ExceptionInformation[0] = 7;
    mine.ExceptionInformation[1] = 9;
}

void u5_same(void)
{
    EXCEPTION_RECORD mine;
    fill_callers_record(mine);
    unwind_two_of_three(&mine);
    for (int i = 0; i < sight_count; ++i)
        if (sights[i].record != &mine)
            report_fail("got a different record");
    report_ok();
}

// Whether a record keeps every field of fill_callers_record but the
// unwind flags.
const char *changed_field(const EXCEPTION_RECORD &f)
{
    const uint32_t kept_flags =
        f.ExceptionFlags & ~(EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND);
    if (f.ExceptionCode != 0xE0C0FFEEu)
        return "ExceptionCode";
    if (kept_flags != 1)
        return "ExceptionFlags";
    if (f.ExceptionRecord != &chained)
        return "ExceptionRecord";
    if (f.ExceptionAddress != reinterpret_cast<void *>(0x12345678))
        return "ExceptionAddress";
    if (f.NumberParameters != 2 || f.ExceptionInformation[0] != 7 ||
        f.ExceptionInformation[1] != 9)
        return "the parameters";
    return nullptr;
}

void u5_fields(void)
{
    EXCEPTION_RECORD mine;
    fill_callers_record(mine);
    unwind_two_of_three(&mine);
    for (int i = 0; i < sight_count; ++i)
        if (const char *field = changed_field(sights[i].fields))
            report_fail("a handler saw %s changed", field);
    if (const char *field = changed_field(mine))
        report_fail("%s changed afterwards", field);
    report_ok();
}

// U6: the unwind flags of every handler call.
void expect_unwind_flags(uint32_t wanted)
{
    for (int i = 0; i < sight_count; ++i) {
        const uint32_t flags = sights[i].fields.ExceptionFlags &
                               (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND);
        if (flags != wanted)
            report_fail("flags 0x%08lX", (unsigned long)sights[i].fields.ExceptionFlags);
    }
}

void u6_targeted(void)
{
    unwind_two_of_three();
    expect_unwind_flags(EXCEPTION_UNWINDING);
    report_ok();
}

// The process may end at the end marker (E3, or E2 broken): judge each call
// as it comes.
uint32_t exit_flags_now(const sight &)
{
    expect_unwind_flags(EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND);
    report_ok();
    return ExceptionContinueSearch;
}

uint32_t unwind_flags_now(const sight &)
{
    expect_unwind_flags(EXCEPTION_UNWINDING);
    report_ok();
    return ExceptionContinueSearch;
}

void u6_exit(void)
{
    report_pending("no handler was called");
    EXCEPTION_REGISTRATION_RECORD r[2];
    install(r, 2);
    answer = exit_flags_now;
    unwind(0);
}

void u6_end_marker(void)
{
    report_pending("no handler was called");
    EXCEPTION_REGISTRATION_RECORD r[2];
    install(r, 2);
    answer = unwind_flags_now;
    unwind(SEH_CHAIN_END);
}

} // namespace

const check argument_checks[] = {
    {"U1", "u1_none", "an unwind to the head record calls no handler", u1_none, ending::returns, 0},
    {"U1", "u1_one", "an unwind past one record stops at the target", u1_one, ending::returns, 0},
    {"U1", "u1_two", "an unwind past two records stops at the target", u1_two, ending::returns, 0},
    {"U1", "u1_three", "an unwind past three records stops at the target", u1_three, ending::returns, 0},
    {"U2", "u2_exit", "a null target unwinds every record", u2_exit, ending::unwind_end, 0},
    {"U3", "u3_target_ip", "TargetIp is not used", u3_target_ip, ending::returns, 0},
    {"U4", "u4_record", "without a caller's record the handlers get a STATUS_UNWIND record of its own", u4_record, ending::returns, 0},
    {"U4", "u4_address", "that record's ExceptionAddress is the return address into the caller", u4_address, ending::returns, 0},
    {"U5", "u5_same", "the caller's exception record reaches every handler", u5_same, ending::returns, 0},
    {"U5", "u5_fields", "the caller's exception record keeps its fields and gains only the unwind flags", u5_fields, ending::returns, 0},
    {"U6", "u6_targeted", "a targeted unwind sets EXCEPTION_UNWINDING alone", u6_targeted, ending::returns, 0},
    {"U6", "u6_exit", "an exit unwind sets EXCEPTION_UNWINDING and EXCEPTION_EXIT_UNWIND", u6_exit, ending::unwind_end, 0},
    {"U6", "u6_end_marker", "an unwind to the end marker sets EXCEPTION_UNWINDING alone", u6_end_marker, ending::unwind_end, 0},
};
const int argument_check_count = sizeof argument_checks / sizeof argument_checks[0];
