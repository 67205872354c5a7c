// Random chains in a scratch region of the stack, fed to the tracers and to
// the layer's RtlUnwind: no fault, no hang, and every walk or unwind ends
// either at the end of a well-formed chain or with its line or status.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>
#include <sstream>
#include <vector>

#include "nt_tib.h"
#include "pages.h"
#include "probes.h"
#include "qarvel.h"

namespace {

constexpr int region_words = 256;

// Records off the stack that can be read, as static ones can; relinked at
// random like the region.
constexpr int static_records = 8;
uint32_t static_region[2 * static_records];

// A random word for a chain link: mostly a record of the region (up or
// down), sometimes a misaligned address in it, the end marker, 0, or off the
// stack: a static record, or a page that cannot be read. Records sit at
// every other word, each followed by its handler, so that a word-aligned
// link never makes a handler of a link. Off the stack, only addresses known
// to be one or the other: an arbitrary address may be readable, and what it
// holds would make the walk depend on the process's layout.
uint32_t random_link(std::mt19937 &random, const uint32_t *region)
{
    static const uint32_t unreadable = no_access_page();
    const uint32_t start = seh_addr(region);
    const NT_TIB *tib = tib_current();
    switch (random() % 10) {
    case 0: return SEH_CHAIN_END;
    case 1: return 0;
    case 2: return tib->StackBase + (random() % 64);
    case 3: return start + 4 * (random() % region_words) + 1 + random() % 3;
    case 4:
        if (random() % 2)
            return seh_addr(static_region) + 8 * (random() % static_records);
        return unreadable + 8 * (random() % (page_size() / 8));
    default: return start + 8 * (random() % (region_words / 2));
    }
}

// Everything printed by fn, through a memory stream standing in for stdout.
template <class F> std::vector<std::string> printed_lines(F fn)
{
    char *text = nullptr;
    size_t size = 0;
    FILE *saved = stdout;
    fflush(stdout);
    stdout = open_memstream(&text, &size);
    fn();
    fclose(stdout);
    stdout = saved;
    std::vector<std::string> lines;
    std::istringstream in(std::string(text, size));
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    free(text);
    return lines;
}

// Each fuzz test tries a fixed series of cases. Where a case costs far more
// (memcheck, which sets FUZZ_DIVISOR), it tries the first 1/FUZZ_DIVISOR of
// them.
unsigned share_of(unsigned cases)
{
    const char *divisor = getenv("FUZZ_DIVISOR");
    const unsigned long by = divisor ? strtoul(divisor, nullptr, 10) : 1;
    return by > 1 ? static_cast<unsigned>(cases / by) : cases;
}

bool is_stop_line(const std::string &line)
{
    return line.size() > 15 && line.compare(line.size() - 15, 15, "; walk stopped.") == 0;
}

TEST(Fuzz, TracersEndEveryRandomChainCleanly)
{
    std::mt19937 random(20261208);
    uint32_t region[region_words];
    const uint32_t old_head = get_seh_frame();
    const unsigned rounds = share_of(20000);
    for (unsigned round = 0; round < rounds; ++round) {
        for (uint32_t &word : region)
            word = random_link(random, region);
        for (uint32_t &word : static_region)
            word = random_link(random, region);
        const uint32_t head = random_link(random, region);

        set_seh_frame(head);
        const auto records = printed_lines(trace_frame_stack);
        set_seh_frame(old_head);
        ASSERT_LE(records.size(), static_cast<size_t>(region_words / 2 + static_records + 1));
        for (size_t i = 0; i + 1 < records.size(); ++i)
            ASSERT_FALSE(is_stop_line(records[i])) << "round " << round;
        if (records.empty()) {
            ASSERT_EQ(SEH_CHAIN_END, head);
        } else if (!is_stop_line(records.back())) {
            // The walk ended on its own: the last record ends the chain.
            uint32_t last = 0;
            ASSERT_EQ(1, sscanf(records.back().c_str(), "0x%8x:", &last));
            ASSERT_EQ(SEH_CHAIN_END, *reinterpret_cast<uint32_t *>(last));
        }

        const uint32_t fp = seh_addr(region) + 4 * (random() % region_words);
        const auto frames = printed_lines([fp] { trace_from_frame(fp); });
        ASSERT_GE(frames.size(), 3u);
        ASSERT_LE(frames.size(), static_cast<size_t>(region_words + 4));
        for (size_t i = 2; i + 1 < frames.size(); ++i)
            ASSERT_FALSE(is_stop_line(frames[i])) << "round " << round;
        if (!is_stop_line(frames.back())) {
            uint32_t last = 0, ret = 0;
            ASSERT_EQ(2, sscanf(frames.back().c_str(), "0x%8x: 0x%8x.", &last, &ret));
            ASSERT_EQ(0u, *reinterpret_cast<uint32_t *>(last));
        }
    }
}

uint32_t continue_handler(EXCEPTION_RECORD *, void *, void *, void *)
{
    return ExceptionContinueSearch;
}
uint32_t refusing_handler(EXCEPTION_RECORD *, void *, void *, void *)
{
    return 0;
}

// In a child: a random chain of records in the region, then RtlUnwind to a
// random target. Exits 0 when RtlUnwind returned with the target at the
// head, 1 when it returned otherwise; a bad chain ends the child inside
// RtlUnwind with its status, and so does a walk that reaches the end marker
// without meeting its target (a null one among them).
[[noreturn]] void unwind_random_chain(unsigned seed)
{
    alarm(5);
    std::mt19937 random(seed);
    uint32_t region[region_words];
    for (int i = 0; i < region_words; i += 2) {
        region[i] = random_link(random, region);
        region[i + 1] = seh_addr(reinterpret_cast<void *>(
            random() % 16 ? continue_handler : refusing_handler));
    }
    uint32_t target;
    switch (random() % 6) {
    case 0: target = 0; break;
    case 1: target = SEH_CHAIN_END; break;
    case 2: {
        uint32_t below;
        __asm__ volatile("leal -64(%%esp), %0" : "=r"(below));
        target = below & ~7u;
        break;
    }
    default: target = seh_addr(region) + 8 * (random() % (region_words / 2));
    }
    set_seh_frame(seh_addr(region) + 8 * (random() % 8));
    RtlUnwind(reinterpret_cast<void *>(target), nullptr, nullptr, nullptr);
    _exit(get_seh_frame() == target ? 0 : 1);
}

TEST(Fuzz, RtlUnwindEndsEveryRandomChainWithItsStatus)
{
    int returned = 0, refused = 0, raised = 0;
    const unsigned seeds = share_of(2000);
    for (unsigned seed = 1; seed <= seeds; ++seed) {
        int err[2];
        ASSERT_EQ(0, pipe(err));
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            dup2(err[1], 2);
            unwind_random_chain(seed);
        }
        close(err[1]);
        std::string message;
        char buffer[256];
        for (ssize_t n; (n = read(err[0], buffer, sizeof buffer)) > 0;)
            message.append(buffer, static_cast<size_t>(n));
        close(err[0]);
        int status = 0;
        ASSERT_EQ(pid, waitpid(pid, &status, 0));
        SCOPED_TRACE("seed " + std::to_string(seed) + ": " + message);
        ASSERT_TRUE(WIFEXITED(status)) << "signal " << WTERMSIG(status);
        switch (WEXITSTATUS(status)) {
        case 0:
            ++returned;
            EXPECT_EQ("", message);
            break;
        case STATUS_INVALID_DISPOSITION & 0xFF:
        case STATUS_BAD_STACK & 0xFF:
        case STATUS_INVALID_UNWIND_TARGET & 0xFF:
            ++refused;
            EXPECT_EQ(0u, message.rfind("RtlUnwind: STATUS_", 0));
            break;
        case STATUS_UNWIND & 0xFF:
            ++raised;
            EXPECT_EQ(0u, message.rfind("RtlUnwind: STATUS_UNWIND (0xc0000027) raised at the "
                                        "end of the chain", 0));
            break;
        default:
            ADD_FAILURE() << "exit status " << WEXITSTATUS(status);
        }
    }
    // The generator must exercise every outcome: of all the seeds, more
    // than 40 return, 100 are refused and 100 raise; of a share, some of each.
    const bool all = seeds == 2000;
    EXPECT_GT(returned, all ? 40 : 0);
    EXPECT_GT(refused, all ? 100 : 0);
    EXPECT_GT(raised, all ? 100 : 0);
}

} // namespace
