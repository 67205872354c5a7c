/* Symbol-name macros that let one assembly source serve both targets.
 * PE (win32): C symbols carry a leading underscore, an import is called
 * through its __imp_ slot, and a code address is an absolute word. ELF
 * (linux-i386, position-independent): an import is called through its GOT
 * slot, and a code address is computed from the GOT's, with the GOT address
 * in a register of the caller's choice (LOAD_GOT), so EBX is never needed.
 * A routine that needs the GOT twice loads it once and uses CALL_LOADED. */
#ifndef QARVEL_ASM_H
#define QARVEL_ASM_H

#ifdef _WIN32
#define SYM(name) _##name
#define FUNC_BEGIN(name) .globl SYM(name); .def SYM(name); .scl 2; .type 32; .endef; SYM(name):
#define FUNC_END(name)
#define IMPORT_SLOT(name) __imp__##name
#define RTLUNWIND_SLOT __imp__RtlUnwind@16
#define LOAD_GOT(got)
#define PUSH_CODE_ADDRESS(label, got, scratch) pushl $label
#define CALL_LOADED(slot, got) call *slot
#define CALL_IMPORT(slot, scratch) call *slot
#define JMP_IMPORT(slot, scratch) jmp *slot
#define NO_EXEC_STACK
#else
#define SYM(name) name
#define FUNC_BEGIN(name) .globl name; .type name, @function; name:
#define FUNC_END(name) .size name, . - name
#define IMPORT_SLOT(name) name@GOT
#define RTLUNWIND_SLOT RtlUnwind@GOT
#define LOAD_GOT(got) \
    call 9f; 9: popl got; addl $_GLOBAL_OFFSET_TABLE_ + [. - 9b], got
#define PUSH_CODE_ADDRESS(label, got, scratch) leal label@GOTOFF(got), scratch; pushl scratch
#define CALL_LOADED(slot, got) call *slot(got)
#define CALL_IMPORT(slot, scratch) LOAD_GOT(scratch); CALL_LOADED(slot, scratch)
#define JMP_IMPORT(slot, scratch) LOAD_GOT(scratch); jmp *slot(scratch)
#define NO_EXEC_STACK .section .note.GNU-stack, "", @progbits
#endif

#endif
