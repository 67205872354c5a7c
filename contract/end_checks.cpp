// E1-E4: how an unwind ends.
#include <stdio.h>

#include "checks.h"
#include "observe.h"
#include "process.h"
#include "report.h"
#include "stack_bounds.h"

namespace {

constexpr uint32_t return_value = 0x5EED1234u;

// E1: two records over the target, RtlUnwind called from assembly.
unwind_call unwind_two(void)
{
    EXCEPTION_REGISTRATION_RECORD r[3];
    install(r, 3);
    unwind_call c = unwind(record_at(2), nullptr, 0, return_value);
    uninstall();
    return c;
}

void e1_eax(void)
{
    unwind_call c = unwind_two();
    if (c.eax != return_value)
        report_fail("EAX 0x%08lX", (unsigned long)c.eax);
    report_ok();
}

void e1_callee_saved(void)
{
    unwind_call c = unwind_two();
    if (c.ebx != call_ebx)
        report_fail("EBX 0x%08lX", (unsigned long)c.ebx);
    if (c.esi != call_esi)
        report_fail("ESI 0x%08lX", (unsigned long)c.esi);
    if (c.edi != call_edi)
        report_fail("EDI 0x%08lX", (unsigned long)c.edi);
    report_ok();
}

void e1_ebp(void)
{
    unwind_call c = unwind_two();
    if (c.ebp != c.ebp_before)
        report_fail("EBP changed");
    report_ok();
}

void e1_esp(void)
{
    unwind_call c = unwind_two();
    const int32_t above = (int32_t)(c.esp_after - c.esp_at_call);
    if (above != 16)
        report_fail("ESP %ld above its value at the call", (long)above);
    report_ok();
}

// E2
void e2_end_marker(void)
{
    EXCEPTION_REGISTRATION_RECORD r[2];
    install(r, 2);
    unwind(SEH_CHAIN_END);
    if (get_seh_frame() != SEH_CHAIN_END)
        report_fail("the head afterwards was %s", name_of(get_seh_frame()));
    report_ok();
}

// E3: the end marker reached otherwise. RtlUnwind should not come back;
// if it does, in what state.
void returned(const unwind_call &c)
{
    const uint32_t head = get_seh_frame();
    char how[120];
    snprintf(how, sizeof how, "with %s%s%s",
             head == SEH_CHAIN_END ? "the chain empty" : name_of(head),
             head == SEH_CHAIN_END ? "" : " at the head",
             c.eax == c.return_value ? " and ReturnValue in EAX" : "");
    report_returned(how);
}

void e3_exit(void)
{
    EXCEPTION_REGISTRATION_RECORD r[2];
    install(r, 2);
    returned(unwind(0, nullptr, 0, 0x5EED1234u));
}

void e3_above(void)
{
    EXCEPTION_REGISTRATION_RECORD r[2];
    install(r, 2);
    // one past the thread's stack: above every record
    returned(unwind(stack_base(), nullptr, 0, 0x5EED1234u));
}

constexpr uint32_t own_code = 0xE0000042u;

void e3_callers_record(void)
{
    EXCEPTION_RECORD mine = {};
    mine.ExceptionCode = own_code;
    EXCEPTION_REGISTRATION_RECORD r[2];
    install(r, 2);
    returned(unwind(0, &mine, 0, 0x5EED1234u));
}

// E4: a record at the bottom of the chain catches the raised status.
uint32_t raised_status;
EXCEPTION_RECORD unwinds_record;

uint32_t catch_raise(EXCEPTION_RECORD *record, void *, void *, void *)
{
    if (!record) {
        report_fail("a handler got a null ExceptionRecord");
        return ExceptionContinueSearch;
    }
    if (record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND))
        return ExceptionContinueSearch;
    if (record->ExceptionCode != raised_status)
        report_fail("raised 0x%08lX", (unsigned long)record->ExceptionCode);
    if (!(record->ExceptionFlags & 1))
        report_fail("raised as continuable");
    if (record->ExceptionRecord != &unwinds_record)
        report_fail(record->ExceptionRecord ? "the chained record was another record"
                                            : "no chained record");
    report_ok();
    report_caught();
    end_process(0);
}

void under_catcher(uint32_t status, void (*bad_unwind)(void))
{
    raised_status = status;
    unwinds_record = EXCEPTION_RECORD{};
    unwinds_record.ExceptionCode = 0xE0C0FFEEu;
    EXCEPTION_REGISTRATION_RECORD catcher = {get_seh_frame(), catch_raise};
    set_seh_frame(seh_addr(&catcher));
    bad_unwind();
    set_seh_frame(catcher.Next);
}

void target_below_head(void)
{
    EXCEPTION_REGISTRATION_RECORD r[3];
    install(r, 3);
    set_seh_frame(record_at(1));
    unwind(record_at(0), &unwinds_record);
}

uint32_t refuse_once(const sight &seen)
{
    return seen.index == 1 && calls_of(1) == 1 ? 0 : ExceptionContinueSearch;
}

void invalid_answer(void)
{
    EXCEPTION_REGISTRATION_RECORD r[3];
    install(r, 3);
    answer = refuse_once;
    unwind(record_at(2), &unwinds_record);
}

void e4_target(void) { under_catcher(status_invalid_unwind_target, target_below_head); }
void e4_disposition(void) { under_catcher(status_invalid_disposition, invalid_answer); }

} // namespace

const check end_checks[] = {
    {"E1", "e1_eax", "RtlUnwind returns ReturnValue in EAX", e1_eax, ending::returns, 0},
    {"E1", "e1_callee_saved", "EBX, ESI and EDI come back as the caller had them", e1_callee_saved, ending::returns, 0},
    {"E1", "e1_ebp", "EBP comes back as the caller had it", e1_ebp, ending::returns, 0},
    {"E1", "e1_esp", "ESP comes back 16 above its value at the call", e1_esp, ending::returns, 0},
    {"E2", "e2_end_marker", "an unwind to the end marker returns with the chain empty", e2_end_marker, ending::returns, 0},
    {"E3", "e3_exit", "an exit unwind ends at the end marker by raising STATUS_UNWIND", e3_exit, ending::reference, status_unwind},
    {"E3", "e3_above", "an unwind to a target above every record ends at the end marker by raising STATUS_UNWIND", e3_above, ending::reference, status_unwind},
    {"E3", "e3_callers_record", "an exit unwind with a caller's record ends by raising that record", e3_callers_record, ending::reference, own_code},
    {"E4", "e4_target", "STATUS_INVALID_UNWIND_TARGET is raised non-continuable with the unwind's record chained", e4_target, ending::raise, status_invalid_unwind_target},
    {"E4", "e4_disposition", "STATUS_INVALID_DISPOSITION is raised non-continuable with the unwind's record chained", e4_disposition, ending::raise, status_invalid_disposition},
};
const int end_check_count = sizeof end_checks / sizeof end_checks[0];
