/* The i386 register context (CONTEXT), laid out as the 32-bit platform
 * declares it: what RtlUnwind captures on entry, hands every handler of its
 * walk as ContextRecord, and resumes when it returns. The offsets serve the
 * assembly that captures and resumes it. */
#ifndef SEH_PLATFORM_CONTEXT_H
#define SEH_PLATFORM_CONTEXT_H

#define CONTEXT_i386 0x00010000u
#define CONTEXT_CONTROL (CONTEXT_i386 | 0x1u)  /* EBP, EIP, CS, EFLAGS, ESP, SS */
#define CONTEXT_INTEGER (CONTEXT_i386 | 0x2u)  /* EAX, EBX, ECX, EDX, ESI, EDI */
#define CONTEXT_SEGMENTS (CONTEXT_i386 | 0x4u) /* DS, ES, FS, GS */

#define CONTEXT_SIZE 0x2cc
#define CONTEXT_FLAGS_AT 0x00
#define CONTEXT_SEGGS_AT 0x8c
#define CONTEXT_SEGFS_AT 0x90
#define CONTEXT_SEGES_AT 0x94
#define CONTEXT_SEGDS_AT 0x98
#define CONTEXT_EDI_AT 0x9c
#define CONTEXT_ESI_AT 0xa0
#define CONTEXT_EBX_AT 0xa4
#define CONTEXT_EDX_AT 0xa8
#define CONTEXT_ECX_AT 0xac
#define CONTEXT_EAX_AT 0xb0
#define CONTEXT_EBP_AT 0xb4
#define CONTEXT_EIP_AT 0xb8
#define CONTEXT_SEGCS_AT 0xbc
#define CONTEXT_EFLAGS_AT 0xc0
#define CONTEXT_ESP_AT 0xc4
#define CONTEXT_SEGSS_AT 0xc8

#ifndef __ASSEMBLER__
#include <stddef.h>
#include <stdint.h>

typedef struct FLOATING_SAVE_AREA {
    uint32_t ControlWord;
    uint32_t StatusWord;
    uint32_t TagWord;
    uint32_t ErrorOffset;
    uint32_t ErrorSelector;
    uint32_t DataOffset;
    uint32_t DataSelector;
    uint8_t RegisterArea[80];
    uint32_t Cr0NpxState;
} FLOATING_SAVE_AREA;

typedef struct CONTEXT {
    uint32_t ContextFlags;
    uint32_t Dr0, Dr1, Dr2, Dr3, Dr6, Dr7; /* CONTEXT_DEBUG_REGISTERS */
    FLOATING_SAVE_AREA FloatSave;          /* CONTEXT_FLOATING_POINT */
    uint32_t SegGs, SegFs, SegEs, SegDs;   /* CONTEXT_SEGMENTS */
    uint32_t Edi, Esi, Ebx, Edx, Ecx, Eax; /* CONTEXT_INTEGER */
    uint32_t Ebp, Eip, SegCs, EFlags, Esp, SegSs; /* CONTEXT_CONTROL */
    uint8_t ExtendedRegisters[512];        /* CONTEXT_EXTENDED_REGISTERS */
} CONTEXT;

#ifdef __cplusplus
#define SEH_CONTEXT_LAYOUT(field, at) static_assert(offsetof(CONTEXT, field) == at, #field)
SEH_CONTEXT_LAYOUT(ContextFlags, CONTEXT_FLAGS_AT);
SEH_CONTEXT_LAYOUT(SegGs, CONTEXT_SEGGS_AT);
SEH_CONTEXT_LAYOUT(SegFs, CONTEXT_SEGFS_AT);
SEH_CONTEXT_LAYOUT(SegEs, CONTEXT_SEGES_AT);
SEH_CONTEXT_LAYOUT(SegDs, CONTEXT_SEGDS_AT);
SEH_CONTEXT_LAYOUT(Edi, CONTEXT_EDI_AT);
SEH_CONTEXT_LAYOUT(Esi, CONTEXT_ESI_AT);
SEH_CONTEXT_LAYOUT(Ebx, CONTEXT_EBX_AT);
SEH_CONTEXT_LAYOUT(Edx, CONTEXT_EDX_AT);
SEH_CONTEXT_LAYOUT(Ecx, CONTEXT_ECX_AT);
SEH_CONTEXT_LAYOUT(Eax, CONTEXT_EAX_AT);
SEH_CONTEXT_LAYOUT(Ebp, CONTEXT_EBP_AT);
SEH_CONTEXT_LAYOUT(Eip, CONTEXT_EIP_AT);
SEH_CONTEXT_LAYOUT(SegCs, CONTEXT_SEGCS_AT);
SEH_CONTEXT_LAYOUT(EFlags, CONTEXT_EFLAGS_AT);
SEH_CONTEXT_LAYOUT(Esp, CONTEXT_ESP_AT);
SEH_CONTEXT_LAYOUT(SegSs, CONTEXT_SEGSS_AT);
static_assert(sizeof(CONTEXT) == CONTEXT_SIZE, "CONTEXT");
#undef SEH_CONTEXT_LAYOUT
#endif
#endif

#endif
