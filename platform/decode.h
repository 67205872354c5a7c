// What a processor exception's instruction says of it, read from its bytes:
// whether it writes the memory it faulted on, whether it is privileged, what
// it divides by. The signal frame says the same through the trap number and
// error code where it has them; an emulator's frame (qemu-i386) has
// neither, and the layer decodes.
#ifndef SEH_PLATFORM_DECODE_H
#define SEH_PLATFORM_DECODE_H

#include <stdint.h>

// The registers of the interrupted code, as the signal frame holds them.
struct register_file {
    uint32_t eax, ecx, edx, ebx, esp, ebp, esi, edi; // in the encoding's order
};

struct instruction {
    const uint8_t *at;     // the first byte (prefixes included)
    const uint8_t *opcode; // the opcode byte (after 0x0F for the two-byte map)
    bool two_byte;         // 0x0F map
    bool operand16;        // 0x66
    bool address16;        // 0x67
    bool rep;              // 0xF2 or 0xF3
    bool segment;          // a segment override
    uint8_t modrm;         // when the opcode takes one
    bool has_modrm;
};

// Decodes the prefixes and the opcode at `code`, which must be the start of
// an instruction that the processor fetched whole: only its own bytes are
// read. False for bytes that are no instruction it knows.
bool decode_instruction(const uint8_t *code, instruction *out);

enum class memory_use { read, write, read_modify_write, unknown };

// How the instruction reaches `address`, which it faulted on. A
// read-modify-write of an unmapped page faults on the read.
memory_use memory_access(const instruction &insn, const register_file &regs, uint32_t address);

// hlt, cli, sti, port I/O and the system instructions.
bool privileged(const instruction &insn);

// For div and idiv: whether the divisor is zero. False for any other
// instruction, or a divisor that cannot be read (in memory through FS or
// GS, or addressed in 16 bits).
bool divides_by_zero(const instruction &insn, const register_file &regs, bool *zero);

#endif
