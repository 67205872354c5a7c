/* A TCG plugin for qemu-user 7.2 (API version 1) that counts the guest
 * instructions a program runs: in each region between the markers of
 * marker.h, and from exec to exit. Built for the host.
 *
 *   qemu-i386 -plugin libinsn_count.so,out=FILE PROGRAM [ARG...]
 *
 * FILE (default: stderr) gets one line per region, "region N", in the order
 * the regions end, and "total N" when the program exits; "error ..." for a
 * marker out of order. N counts the instructions run strictly between the
 * two markers; the markers themselves are not counted.
 *
 * Every translation block adds its length to one counter as it starts (an
 * inline add, no call). A marker is an instruction inside a block, so the
 * counter has already taken the instructions after it in the block: its
 * call subtracts them. The count is exact as long as every block that
 * starts runs to its end or to the marker, which holds for code that does
 * not fault; the counter is the process's, so a region is counted alone
 * while the program's other threads, if any, wait. */
#include <errno.h>
#include <fcntl.h>
#include <inttypes.h>
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "marker.h"

/* The part of qemu's plugin API that this plugin uses, as qemu 7.2
 * declares it in qemu-plugin.h (API version 1). */
#define QEMU_PLUGIN_EXPORT __attribute__((visibility("default")))
typedef uint64_t qemu_plugin_id_t;
typedef struct {
    const char *target_name;
    struct {
        int min;
        int cur;
    } version;
    bool system_emulation;
    union {
        struct {
            int smp_vcpus;
            int max_vcpus;
        } system;
    };
} qemu_info_t;
struct qemu_plugin_tb;
struct qemu_plugin_insn;
enum qemu_plugin_cb_flags { QEMU_PLUGIN_CB_NO_REGS };
enum qemu_plugin_op { QEMU_PLUGIN_INLINE_ADD_U64 };
typedef void (*qemu_plugin_vcpu_tb_trans_cb_t)(qemu_plugin_id_t id, struct qemu_plugin_tb *tb);
typedef void (*qemu_plugin_vcpu_udata_cb_t)(unsigned int vcpu_index, void *userdata);
typedef void (*qemu_plugin_udata_cb_t)(qemu_plugin_id_t id, void *userdata);
void qemu_plugin_register_vcpu_tb_trans_cb(qemu_plugin_id_t id, qemu_plugin_vcpu_tb_trans_cb_t cb);
void qemu_plugin_register_vcpu_tb_exec_inline(struct qemu_plugin_tb *tb, enum qemu_plugin_op op,
                                              void *ptr, uint64_t imm);
void qemu_plugin_register_vcpu_insn_exec_cb(struct qemu_plugin_insn *insn,
                                            qemu_plugin_vcpu_udata_cb_t cb,
                                            enum qemu_plugin_cb_flags flags, void *userdata);
void qemu_plugin_register_atexit_cb(qemu_plugin_id_t id, qemu_plugin_udata_cb_t cb, void *userdata);
size_t qemu_plugin_tb_n_insns(const struct qemu_plugin_tb *tb);
struct qemu_plugin_insn *qemu_plugin_tb_get_insn(const struct qemu_plugin_tb *tb, size_t idx);
const void *qemu_plugin_insn_data(const struct qemu_plugin_insn *insn);
size_t qemu_plugin_insn_size(const struct qemu_plugin_insn *insn);

QEMU_PLUGIN_EXPORT int qemu_plugin_version = 1;

static uint64_t counter; /* instructions of the blocks started so far */
static uint64_t region_start;
static bool in_region;
static int out = 2;
static pid_t owner; /* a forked child that never execs writes no total */

/* A marker's user data: which marker, and how many instructions of its
 * block the counter holds beyond the point that the marker stands for. */
enum { MARK_BEGIN = 1, MARK_END = 2, MARK_KIND_BITS = 2, MARK_KIND_MASK = 3 };

static void on_marker(unsigned int vcpu_index, void *userdata)
{
    (void)vcpu_index;
    const uintptr_t data = (uintptr_t)userdata;
    const uint64_t now = counter - (data >> MARK_KIND_BITS);
    if ((data & MARK_KIND_MASK) == MARK_BEGIN) {
        if (in_region)
            dprintf(out, "error a region began inside another\n");
        region_start = now;
        in_region = true;
    } else if (!in_region) {
        dprintf(out, "error a region ended that had not begun\n");
    } else {
        dprintf(out, "region %" PRIu64 "\n", now - region_start);
        in_region = false;
    }
}

static int marker_kind(const struct qemu_plugin_insn *insn)
{
    if (qemu_plugin_insn_size(insn) != INSN_MARK_SIZE)
        return 0;
    const uint8_t *code = qemu_plugin_insn_data(insn);
    if (code[0] != INSN_MARK_OPCODE_0 || code[1] != INSN_MARK_OPCODE_1 ||
        code[2] != INSN_MARK_MODRM)
        return 0;
    uint32_t displacement;
    memcpy(&displacement, code + 3, sizeof displacement); /* the host is little-endian too */
    return displacement == INSN_MARK_BEGIN ? MARK_BEGIN
           : displacement == INSN_MARK_END ? MARK_END
                                           : 0;
}

static void on_translate(qemu_plugin_id_t id, struct qemu_plugin_tb *tb)
{
    (void)id;
    const size_t n = qemu_plugin_tb_n_insns(tb);
    qemu_plugin_register_vcpu_tb_exec_inline(tb, QEMU_PLUGIN_INLINE_ADD_U64, &counter, n);
    for (size_t i = 0; i < n; ++i) {
        struct qemu_plugin_insn *insn = qemu_plugin_tb_get_insn(tb, i);
        const int kind = marker_kind(insn);
        if (!kind)
            continue;
        /* A region begins after its marker and ends before its marker. */
        const uintptr_t beyond = kind == MARK_BEGIN ? n - i - 1 : n - i;
        qemu_plugin_register_vcpu_insn_exec_cb(insn, on_marker, QEMU_PLUGIN_CB_NO_REGS,
                                               (void *)(beyond << MARK_KIND_BITS | kind));
    }
}

static void on_exit(qemu_plugin_id_t id, void *userdata)
{
    (void)id;
    (void)userdata;
    if (getpid() != owner)
        return;
    if (in_region)
        dprintf(out, "error the program exited inside a region\n");
    dprintf(out, "total %" PRIu64 "\n", counter);
}

QEMU_PLUGIN_EXPORT int qemu_plugin_install(qemu_plugin_id_t id, const qemu_info_t *info,
                                           int argc, char **argv)
{
    if (info->system_emulation || strcmp(info->target_name, "i386") != 0) {
        fprintf(stderr, "insn_count: counts i386 programs under qemu-i386 only, not %s%s\n",
                info->target_name, info->system_emulation ? " (system emulation)" : "");
        return 1;
    }
    for (int i = 0; i < argc; ++i) {
        if (strncmp(argv[i], "out=", 4) == 0 && argv[i][4] != '\0') {
            out = open(argv[i] + 4, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
            if (out < 0) {
                fprintf(stderr, "insn_count: cannot write %s: %s\n", argv[i] + 4,
                        strerror(errno));
                return 1;
            }
        } else {
            fprintf(stderr, "insn_count: unknown argument '%s' (takes out=FILE)\n", argv[i]);
            return 1;
        }
    }
    owner = getpid();
    qemu_plugin_register_vcpu_tb_trans_cb(id, on_translate);
    qemu_plugin_register_atexit_cb(id, on_exit, NULL);
    return 0;
}
