/* The markers of a counted region: a seven-byte no-op, nopl MARK(%eax)
 * (0F 1F 80 and a 32-bit displacement), whose displacement says which
 * marker it is. To the processor it is a no-op like any other, so a program
 * runs the same with or without the counting plugin (insn_count.c), which
 * recognises the two when it translates the code and counts the guest
 * instructions run between them. */
#ifndef BENCH_MARKER_H
#define BENCH_MARKER_H

#define INSN_MARK_OPCODE_0 0x0F
#define INSN_MARK_OPCODE_1 0x1F
#define INSN_MARK_MODRM 0x80      /* disp32(%eax) */
#define INSN_MARK_BEGIN 0x4D4B0001 /* the region starts after it */
#define INSN_MARK_END 0x4D4B0002   /* the region ends before it */
#define INSN_MARK_SIZE 7

#if defined(__i386__) && defined(__ASSEMBLER__)
#define INSN_MARK(which) .byte 0x0f, 0x1f, 0x80; .long which
#elif defined(__i386__)
/* The memory clobber keeps the compiler from moving loads and stores across
 * a marker. */
#define INSN_MARK(which) \
    __asm__ volatile(".byte 0x0f, 0x1f, 0x80\n\t.long %c0" : : "i"(which) : "memory")
static inline void mark_region_begin(void) { INSN_MARK(INSN_MARK_BEGIN); }
static inline void mark_region_end(void) { INSN_MARK(INSN_MARK_END); }
#endif

#endif
