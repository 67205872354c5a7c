// Random chains in a scratch region of the stack, fed to the tracers, to the
// layer's RtlUnwind and to its dispatcher: no fault, no hang, and every
// walk, unwind or dispatch ends either at the end of a well-formed chain or
// with its line or status.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <random>
#include <sstream>
#include <vector>

#include "capture.h"
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
    case 2: return seh_addr(tib->StackBase) + (random() % 64);
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
uint32_t refusing_handler(EXCEPTION_RECORD *rec, void *, void *, void *)
{
    return rec->ExceptionFlags & EXCEPTION_UNWIND ? 0 : ExceptionContinueSearch;
}

// Takes whatever the layer raises: names it on stderr and ends the child
// with the code's low byte.
LONG WINAPI report_raise(EXCEPTION_POINTERS *x)
{
    const uint32_t code = x->ExceptionRecord->ExceptionCode;
    fprintf(stderr, "raised 0x%08x\n", code);
    _exit(static_cast<int>(code & 0xFF));
}

// Ends a child: the case's outcome by its exit status, its stderr, and its
// wait status.
struct child_end {
    int status;
    std::string message;
};

template <class F> child_end in_child(F fn)
{
    int err[2];
    if (pipe(err) != 0)
        return {-1, "no pipe"};
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(err[1], 2);
        alarm(5);
        fn();
    }
    close(err[1]);
    child_end end{-1, ""};
    char buffer[256];
    for (ssize_t n; (n = read(err[0], buffer, sizeof buffer)) > 0;)
        end.message.append(buffer, static_cast<size_t>(n));
    close(err[0]);
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid)
        end.status = status;
    return end;
}

// In a child: a random chain of records in the region, then RtlUnwind to a
// random target. Exits 0 when RtlUnwind returned with the target at the
// head, 1 when it returned otherwise; a bad chain makes RtlUnwind raise its
// status, and so does a walk that reach the end marker without meeting its
// target (a null one among them) its record: the vectored handler ends the
// child with the code.
[[noreturn]] void unwind_random_chain(unsigned seed)
{
    AddVectoredExceptionHandler(1, report_raise);
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
        const child_end end = in_child([seed] { unwind_random_chain(seed); });
        SCOPED_TRACE("seed " + std::to_string(seed) + ": " + end.message);
        ASSERT_TRUE(WIFEXITED(end.status)) << "signal " << WTERMSIG(end.status);
        const char *expected = nullptr;
        switch (WEXITSTATUS(end.status)) {
        case 0:
            ++returned;
            EXPECT_EQ("", end.message);
            break;
        case STATUS_INVALID_DISPOSITION & 0xFF: expected = "raised 0xc0000026\n"; break;
        case STATUS_BAD_STACK & 0xFF: expected = "raised 0xc0000028\n"; break;
        case STATUS_INVALID_UNWIND_TARGET & 0xFF: expected = "raised 0xc0000029\n"; break;
        case STATUS_UNWIND & 0xFF:
            ++raised;
            EXPECT_EQ("raised 0xc0000027\n", end.message);
            break;
        default:
            ADD_FAILURE() << "exit status " << WEXITSTATUS(end.status);
        }
        if (expected) {
            ++refused;
            EXPECT_EQ(expected, end.message);
        }
    }
    // The generator must exercise every outcome: of all the seeds, more
    // than 40 return, 100 are refused and 100 raise; of a share, some of each.
    const bool all = seeds == 2000;
    EXPECT_GT(returned, all ? 40 : 0);
    EXPECT_GT(refused, all ? 100 : 0);
    EXPECT_GT(raised, all ? 100 : 0);
}

// Handlers of the dispatcher's random chains: each answers the raised
// exception (code raised_code) its own way, and passes on every status the
// dispatch raises about it.
constexpr uint32_t raised_code = 0xE0F0F0F0;
template <uint32_t answer> uint32_t answering(EXCEPTION_RECORD *rec, void *, void *, void *)
{
    return rec->ExceptionCode == raised_code ? answer : uint32_t{ExceptionContinueSearch};
}
uint32_t (*const answers[])(EXCEPTION_RECORD *, void *, void *, void *) = {
    answering<ExceptionContinueExecution>, answering<ExceptionCollidedUnwind>,
    answering<7>, answering<0xFFFFFFFF>, answering<0x80000000>};

// In a child: a random chain, then RaiseException. Exits 0 when a handler
// continued it, else with the code that nobody took: raised_code at the end
// of the chain or at a bad record, a status for a bad answer or a
// noncontinuable exception continued.
[[noreturn]] void raise_on_random_chain(unsigned seed)
{
    std::mt19937 random(seed);
    uint32_t region[region_words];
    for (int i = 0; i < region_words; i += 2) {
        region[i] = random_link(random, region);
        const unsigned pick = random() % 40;
        region[i + 1] = seh_addr(reinterpret_cast<void *>(
            pick < 5 ? answers[pick] : answering<ExceptionContinueSearch>));
    }
    set_seh_frame(seh_addr(region) + 8 * (random() % 8));
    RaiseException(raised_code, random() % 2, 0, nullptr);
    _exit(0);
}

TEST(Fuzz, RaiseExceptionEndsEveryRandomChainWithItsAnswer)
{
    std::map<int, int> ends;
    const unsigned seeds = share_of(300);
    for (unsigned seed = 1; seed <= seeds; ++seed) {
        const child_end end = in_child([seed] { raise_on_random_chain(seed); });
        SCOPED_TRACE("seed " + std::to_string(seed) + ": " + end.message);
        ASSERT_TRUE(WIFEXITED(end.status)) << "signal " << WTERMSIG(end.status);
        const int status = WEXITSTATUS(end.status);
        ++ends[status];
        switch (status) {
        case 0: EXPECT_EQ("", end.message); break;
        case raised_code & 0xFF:
            EXPECT_EQ(0u, end.message.rfind("seh_platform: unhandled exception 0xe0f0f0f0 at ", 0));
            break;
        case STATUS_INVALID_DISPOSITION & 0xFF:
        case STATUS_NONCONTINUABLE_EXCEPTION & 0xFF:
            EXPECT_EQ(0u, end.message.rfind("seh_platform: unhandled exception 0xc00000", 0));
            break;
        default:
            ADD_FAILURE() << "exit status " << status;
        }
    }
    // Every outcome, of all the seeds.
    if (seeds != 300)
        return;
    for (int status : {0, static_cast<int>(raised_code & 0xFF),
                       static_cast<int>(STATUS_INVALID_DISPOSITION & 0xFF),
                       static_cast<int>(STATUS_NONCONTINUABLE_EXCEPTION & 0xFF)})
        EXPECT_GT(ends[status], 2) << "exit status " << status;
}

} // namespace
