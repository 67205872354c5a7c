// The few facts about an x86 instruction that turn a signal into the
// platform's exception, from the instruction's bytes (32-bit code).
#include "decode.h"

#include <string.h>

#include <initializer_list>

namespace {

// A set of byte values, written as the ranges and values it holds.
struct byte_set {
    uint32_t bits[8] = {};
    constexpr byte_set(std::initializer_list<int> values)
    {
        for (const int v : values)
            bits[v >> 5] |= 1u << (v & 31);
    }
    constexpr bool has(uint8_t v) const { return bits[v >> 5] >> (v & 31) & 1; }
};

constexpr byte_set span(byte_set s, int from, int to)
{
    for (int v = from; v <= to; ++v)
        s.bits[v >> 5] |= 1u << (v & 31);
    return s;
}

// One-byte opcodes that take a ModR/M byte.
constexpr byte_set modrm_one = span(span(span(span(span(span(span(span(span(
    byte_set{0x62, 0x63, 0x69, 0x6B, 0xC0, 0xC1, 0xC4, 0xC5, 0xC6, 0xC7, 0xF6, 0xF7, 0xFE,
             0xFF},
    0x00, 0x03), 0x08, 0x0B), 0x10, 0x13), 0x18, 0x1B), 0x20, 0x23), 0x28, 0x2B), 0x30, 0x33),
    0x38, 0x3B), 0x80, 0x8F);
constexpr byte_set modrm_one_more = span(span(byte_set{}, 0xD0, 0xD3), 0xD8, 0xDF);

// Two-byte opcodes (after 0x0F) that take no ModR/M byte.
constexpr byte_set no_modrm_two = span(span(span(
    byte_set{0x05, 0x06, 0x07, 0x08, 0x09, 0x0B, 0x0E, 0x77, 0xA0, 0xA1, 0xA2, 0xA8, 0xA9, 0xAA},
    0x30, 0x37), 0x80, 0x8F), 0xC8, 0xCF);

// The ModR/M operand is written (pure stores), or read and written.
constexpr byte_set stores_one = {0x88, 0x89, 0x8C, 0xC6, 0xC7};
constexpr byte_set updates_one = span(
    byte_set{0x00, 0x01, 0x08, 0x09, 0x10, 0x11, 0x18, 0x19, 0x20, 0x21, 0x28, 0x29, 0x30, 0x31,
             0x63, 0x86, 0x87, 0xC0, 0xC1},
    0xD0, 0xD3);
constexpr byte_set reads_one = {0x02, 0x03, 0x0A, 0x0B, 0x12, 0x13, 0x1A, 0x1B, 0x22, 0x23,
                                0x2A, 0x2B, 0x32, 0x33, 0x38, 0x39, 0x3A, 0x3B, 0x62, 0x69,
                                0x6B, 0x84, 0x85, 0x8A, 0x8B, 0x8E, 0xC4, 0xC5};
constexpr byte_set stores_two = span(
    byte_set{0x11, 0x13, 0x17, 0x29, 0x2B, 0x7F, 0xC3, 0xD6, 0xE7}, 0x90, 0x9F);
constexpr byte_set updates_two = {0xA4, 0xA5, 0xAB, 0xAC, 0xAD, 0xB0, 0xB1, 0xB3, 0xBB, 0xC0,
                                  0xC1};
constexpr byte_set reads_two = span(span(span(span(span(
    byte_set{0x02, 0x03, 0x10, 0x12, 0x14, 0x15, 0x16, 0x28, 0x7C, 0x7D, 0xA3, 0xAF, 0xB6,
             0xB7, 0xB8, 0xBC, 0xBD, 0xBE, 0xBF, 0xC2, 0xC4, 0xC5, 0xC6},
    0x2A, 0x2F), 0x40, 0x4F), 0x50, 0x76), 0xD0, 0xD5), 0xD7, 0xFE);

// Pushes (they write below ESP) and pops (they read at ESP or EBP).
constexpr byte_set pushes = span(
    byte_set{0x06, 0x0E, 0x16, 0x1E, 0x60, 0x68, 0x6A, 0x9A, 0x9C, 0xC8, 0xE8}, 0x50, 0x57);
constexpr byte_set pops = span(
    byte_set{0x07, 0x17, 0x1F, 0x61, 0x9D, 0xC2, 0xC3, 0xC9, 0xCA, 0xCB, 0xCF}, 0x58, 0x5F);

constexpr bool is_prefix(uint8_t b)
{
    return b == 0x66 || b == 0x67 || b == 0xF0 || b == 0xF2 || b == 0xF3 || b == 0x26 ||
           b == 0x2E || b == 0x36 || b == 0x3E || b == 0x64 || b == 0x65;
}

uint8_t reg_of(uint8_t modrm) { return modrm >> 3 & 7; }
bool in_memory(const instruction &insn) { return insn.has_modrm && insn.modrm >> 6 != 3; }

// x87 with a memory operand, by opcode and ModR/M reg: stores (fst, fist,
// fisttp, fstp m80, fbstp, fnstcw, fnstsw, fnstenv, fnsave) and the rest,
// which read.
memory_use x87_access(uint8_t opcode, uint8_t reg)
{
    static const uint8_t stores[8] = {
        0x00, // D8: arithmetic
        0xCC, // D9: fst, fstp, fnstenv, fnstcw
        0x00, // DA
        0x8E, // DB: fisttp, fist, fistp, fstp m80
        0x00, // DC
        0xCE, // DD: fisttp, fst, fstp, fnsave, fnstsw
        0x00, // DE
        0xCE, // DF: fisttp, fist, fistp, fbstp, fistp m64
    };
    return stores[opcode - 0xD8] >> reg & 1 ? memory_use::write : memory_use::read;
}

bool within(uint32_t address, uint32_t from, uint32_t size) { return address - from < size; }

memory_use one_byte_access(const instruction &insn, const register_file &regs, uint32_t address)
{
    const uint8_t op = *insn.opcode;
    const uint32_t size = op & 1 ? (insn.operand16 ? 2 : 4) : 1;
    switch (op) {
    case 0xA4: case 0xA5: // movs: reads [ESI], writes [EDI]
        return within(address, regs.esi, size) ? memory_use::read : memory_use::write;
    case 0xAA: case 0xAB: // stos
        return memory_use::write;
    case 0xA6: case 0xA7: case 0xAC: case 0xAD: case 0xAE: case 0xAF: // cmps, lods, scas
        return memory_use::read;
    case 0xA0: case 0xA1: case 0xD7: // mov from moffs, xlat
        return memory_use::read;
    case 0xA2: case 0xA3: // mov to moffs
        return memory_use::write;
    case 0x8F: // pop r/m: reads the stack, writes its operand
        if (insn.has_modrm && reg_of(insn.modrm) != 0)
            return memory_use::unknown; // XOP
        return within(address, regs.esp, 4) ? memory_use::read : memory_use::write;
    }
    if (pushes.has(op))
        return memory_use::write;
    if (pops.has(op))
        return memory_use::read;
    if (!in_memory(insn))
        return memory_use::unknown;
    const uint8_t reg = reg_of(insn.modrm);
    if (op >= 0xD8 && op <= 0xDF)
        return x87_access(op, reg);
    if (stores_one.has(op))
        return memory_use::write;
    if (updates_one.has(op))
        return memory_use::read_modify_write;
    if (reads_one.has(op))
        return memory_use::read;
    switch (op) {
    case 0x80: case 0x81: case 0x82: case 0x83: // arithmetic with an immediate; /7 cmp
        return reg == 7 ? memory_use::read : memory_use::read_modify_write;
    case 0xF6: case 0xF7: // /2 not, /3 neg; test, mul, div read
        return reg == 2 || reg == 3 ? memory_use::read_modify_write : memory_use::read;
    case 0xFE: // inc, dec
        return reg <= 1 ? memory_use::read_modify_write : memory_use::unknown;
    case 0xFF: // inc, dec; call, jmp and push read it (call and push also push)
        if (reg <= 1)
            return memory_use::read_modify_write;
        if (reg == 7)
            return memory_use::unknown;
        return (reg == 2 || reg == 3 || reg == 6) && within(address, regs.esp - 4, 4)
                   ? memory_use::write
                   : memory_use::read;
    }
    return memory_use::unknown;
}

memory_use two_byte_access(const instruction &insn)
{
    const uint8_t op = *insn.opcode;
    if (!in_memory(insn))
        return memory_use::unknown;
    const uint8_t reg = reg_of(insn.modrm);
    const uint8_t *prefix = insn.at;
    bool f3 = false;
    for (; prefix < insn.opcode - 1; ++prefix)
        f3 |= *prefix == 0xF3;
    switch (op) {
    case 0x7E: // movd/movq to r/m; with F3, movq from it
        return f3 ? memory_use::read : memory_use::write;
    case 0xBA: // bt reads; bts, btr, btc update
        return reg == 4 ? memory_use::read : reg > 4 ? memory_use::read_modify_write : memory_use::unknown;
    case 0xC7: // cmpxchg8b
        return reg == 1 ? memory_use::read_modify_write : memory_use::unknown;
    case 0xAE: // fxsave, stmxcsr, xsave, xsaveopt; fxrstor, ldmxcsr, xrstor, clflush
        return reg == 0 || reg == 3 || reg == 4 || reg == 6 ? memory_use::write : memory_use::read;
    case 0x00: // sldt, str; lldt, ltr, verr, verw
        return reg <= 1 ? memory_use::write : reg <= 5 ? memory_use::read : memory_use::unknown;
    case 0x01: // sgdt, sidt, smsw; lgdt, lidt, lmsw, invlpg
        return reg <= 1 || reg == 4 ? memory_use::write : reg == 5 ? memory_use::unknown : memory_use::read;
    }
    if (stores_two.has(op))
        return memory_use::write;
    if (updates_two.has(op))
        return memory_use::read_modify_write;
    if (reads_two.has(op))
        return memory_use::read;
    return memory_use::unknown;
}

// The effective address of a memory operand in 32-bit addressing, without a
// segment base.
uint32_t effective_address(const instruction &insn, const register_file &regs)
{
    const uint32_t *r = &regs.eax;
    const uint8_t *p = insn.opcode + 2; // after the ModR/M byte
    const uint8_t mod = insn.modrm >> 6, rm = insn.modrm & 7;
    uint32_t ea;
    if (rm == 4) {
        const uint8_t sib = *p++;
        const uint8_t index = sib >> 3 & 7, base = sib & 7;
        ea = index == 4 ? 0 : r[index] << (sib >> 6);
        if (base == 5 && mod == 0) {
            uint32_t disp;
            memcpy(&disp, p, 4);
            p += 4;
            ea += disp;
        } else {
            ea += r[base];
        }
    } else if (rm == 5 && mod == 0) {
        memcpy(&ea, p, 4);
        return ea;
    } else {
        ea = r[rm];
    }
    if (mod == 1)
        ea += static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(*p)));
    else if (mod == 2) {
        uint32_t disp;
        memcpy(&disp, p, 4);
        ea += disp;
    }
    return ea;
}

} // namespace

bool decode_instruction(const uint8_t *code, instruction *out)
{
    instruction insn = {};
    insn.at = code;
    const uint8_t *p = code;
    for (int n = 0; is_prefix(*p); ++p) {
        if (++n > 14)
            return false;
        insn.operand16 |= *p == 0x66;
        insn.address16 |= *p == 0x67;
        insn.rep |= *p == 0xF2 || *p == 0xF3;
        insn.segment |= *p != 0x66 && *p != 0x67 && *p != 0xF0 && *p != 0xF2 && *p != 0xF3;
    }
    insn.two_byte = *p == 0x0F;
    if (insn.two_byte)
        ++p;
    insn.opcode = p;
    insn.has_modrm = insn.two_byte ? !no_modrm_two.has(*p)
                                   : modrm_one.has(*p) || modrm_one_more.has(*p);
    if (insn.has_modrm)
        insn.modrm = p[1];
    *out = insn;
    return true;
}

memory_use memory_access(const instruction &insn, const register_file &regs, uint32_t address)
{
    if (insn.two_byte) {
        const uint8_t op = *insn.opcode;
        return op == 0x38 || op == 0x3A ? memory_use::unknown : two_byte_access(insn);
    }
    const uint8_t op = *insn.opcode;
    // In 32-bit code, C4 and C5 without a memory operand are VEX, and 62
    // EVEX: not decoded here.
    if ((op == 0xC4 || op == 0xC5 || op == 0x62) && !in_memory(insn))
        return memory_use::unknown;
    return one_byte_access(insn, regs, address);
}

bool privileged(const instruction &insn)
{
    const uint8_t op = *insn.opcode;
    if (!insn.two_byte)
        return op == 0xF4 || op == 0xFA || op == 0xFB || (op >= 0xE4 && op <= 0xE7) ||
               (op >= 0xEC && op <= 0xEF) || (op >= 0x6C && op <= 0x6F);
    switch (op) {
    case 0x06: case 0x07: case 0x08: case 0x09: case 0x20: case 0x21: case 0x22: case 0x23:
    case 0x30: case 0x32: case 0x33: case 0x35:
        return true; // clts, sysret, invd, wbinvd, mov cr/dr, wrmsr, rdmsr, rdpmc, sysexit
    case 0x00: // lldt, ltr
        return reg_of(insn.modrm) == 2 || reg_of(insn.modrm) == 3;
    case 0x01: // lgdt, lidt, lmsw, invlpg; monitor, mwait
        if (insn.modrm == 0xC8 || insn.modrm == 0xC9)
            return true;
        return reg_of(insn.modrm) == 2 || reg_of(insn.modrm) == 3 || reg_of(insn.modrm) == 6 ||
               (reg_of(insn.modrm) == 7 && in_memory(insn));
    }
    return false;
}

bool divides_by_zero(const instruction &insn, const register_file &regs, bool *zero)
{
    const uint8_t op = *insn.opcode;
    if (insn.two_byte || (op != 0xF6 && op != 0xF7) || reg_of(insn.modrm) < 6)
        return false;
    const unsigned width = op == 0xF6 ? 1 : insn.operand16 ? 2 : 4;
    uint32_t value;
    if (!in_memory(insn)) {
        const uint8_t rm = insn.modrm & 7;
        const uint32_t *r = &regs.eax;
        // AL, CL, DL, BL, then AH, CH, DH, BH for a byte.
        value = width == 1 ? r[rm & 3] >> (rm & 4 ? 8 : 0) : r[rm];
    } else {
        if (insn.address16 || insn.segment)
            return false;
        value = 0;
        memcpy(&value, reinterpret_cast<const void *>(effective_address(insn, regs)), width);
    }
    const uint32_t mask = width == 4 ? 0xFFFFFFFFu : (1u << (8 * width)) - 1;
    *zero = (value & mask) == 0;
    return true;
}
