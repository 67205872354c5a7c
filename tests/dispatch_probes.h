// The assembly probes of dispatch_probes.S.
#ifndef TESTS_DISPATCH_PROBES_H
#define TESTS_DISPATCH_PROBES_H

#include <stdint.h>

#include "seh_platform.h"

extern "C" {
void rtl_raise_probe(EXCEPTION_RECORD *record, uint32_t out[5]);
extern char rtl_raise_site[];

uint32_t resume_probe(void);
extern char resume_probe_fault[], resume_probe_landing[];
// EDI, ESI, EBP, ESP, EBX, EDX, ECX, EAX, EFLAGS at resume_probe_landing.
extern uint32_t resume_seen[9];

uint32_t df_probe(void);
extern char df_probe_fault[];

#define ACCESS_PROBE(name)            \
    void name(uint32_t address);      \
    extern char name##_fault[], name##_after[];
ACCESS_PROBE(load_probe)
ACCESS_PROBE(store_probe)
ACCESS_PROBE(add_probe)
ACCESS_PROBE(moffs_load_probe)
ACCESS_PROBE(stos_probe)
ACCESS_PROBE(movs_from_probe)
ACCESS_PROBE(movs_to_probe)
ACCESS_PROBE(fld_probe)
ACCESS_PROBE(fstp_probe)
ACCESS_PROBE(movups_load_probe)
ACCESS_PROBE(movups_store_probe)
ACCESS_PROBE(push_probe)
#undef ACCESS_PROBE

uint32_t call_probe(uint32_t target);
extern char call_probe_return[];
uint32_t divide_probe(uint32_t divisor);
extern char divide_probe_fault[];
int32_t idiv_probe(int32_t divisor);
extern char idiv_probe_fault[];
uint32_t divide_memory_probe(const uint32_t *divisor);
extern char divide_memory_probe_fault[];

#define ONE_INSTRUCTION(name) \
    void name(void);          \
    extern char name##_fault[], name##_after[];
ONE_INSTRUCTION(ud2_probe)
ONE_INSTRUCTION(hlt_probe)
ONE_INSTRUCTION(cli_probe)
ONE_INSTRUCTION(in_probe)
ONE_INSTRUCTION(int3_probe)
ONE_INSTRUCTION(int_probe)
#undef ONE_INSTRUCTION

void into_probe(void);
extern char into_probe_after[];
void step_probe(void);
extern char step_probe_after[];
void x87_divide_probe(const float *zero);
extern char x87_divide_probe_fault[], x87_divide_probe_report[];
}

inline uint32_t address_of(const void *p) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p)); }

#endif
