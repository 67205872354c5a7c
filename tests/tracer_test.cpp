// The two tracers, on well-formed and on corrupt chains.
#include <gtest/gtest.h>

#include <sys/mman.h>

#include <sstream>
#include <vector>

#include "capture.h"
#include "nt_tib.h"
#include "probes.h"
#include "qarvel.h"

namespace {

std::vector<std::string> lines(const std::string &text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

std::string record_line(uint32_t record, const void *handler)
{
    return hex(record) + ": " + hex(seh_addr(handler)) + "\n";
}

uint32_t some_handler(EXCEPTION_RECORD *, void *, void *, void *)
{
    return ExceptionContinueSearch;
}

TEST(TraceFrameStack, PrintsNothingOnAThreadWithoutRecords)
{
    on_new_thread([] { EXPECT_EQ("", captured_stdout(trace_frame_stack)); });
}

std::string traced_inside;
raw_record *scenario_record;

void trace_inside_run()
{
    raw_record own{get_seh_frame(), some_handler};
    scenario_record = &own;
    set_seh_frame(seh_addr(&own));
    traced_inside = captured_stdout(trace_frame_stack);
    set_seh_frame(own.Next);
}

TEST(TraceFrameStack, ShowsTheHarnessRecordAboveWhatWasInstalledBefore)
{
    on_new_thread([] {
        raw_record before{SEH_CHAIN_END,
                                             reinterpret_cast<test_handler>(0x12345678)};
        set_seh_frame(seh_addr(&before));
        establish_return_frame(trace_inside_run);
        EXPECT_EQ(record_line(seh_addr(scenario_record), (void *)some_handler) +
                      record_line(saved_exception_frame, (void *)handle_exception) +
                      record_line(seh_addr(&before), (void *)0x12345678),
                  traced_inside);
        set_seh_frame(SEH_CHAIN_END);
    });
}

std::string trace_records_from(uint32_t head)
{
    const uint32_t old = get_seh_frame();
    set_seh_frame(head);
    std::string out = captured_stdout(trace_frame_stack);
    set_seh_frame(old);
    return out;
}

TEST(TraceFrameStack, CorruptChainsStopWithTheirLine)
{
    raw_record r[3];
    for (auto &rec : r)
        rec.Handler = some_handler;
    const uint32_t r0 = seh_addr(&r[0]), r1 = seh_addr(&r[1]);
    const std::string l0 = record_line(r0, (void *)some_handler);
    const std::string l1 = record_line(r1, (void *)some_handler);

    r[0].Next = r1;
    r[1].Next = r0;
    EXPECT_EQ(l0 + l1 + "record after " + hex(r1) + " loops back to " + hex(r0) +
                  "; walk stopped.\n",
              trace_records_from(r0));
    EXPECT_EQ(l1 + "record after " + hex(r1) + " points down to " + hex(r0) +
                  "; walk stopped.\n",
              trace_records_from(r1));

    // Records off the stack are printed like those on it.
    static raw_record global{SEH_CHAIN_END, some_handler};
    const uint32_t g = seh_addr(&global);
    EXPECT_EQ(record_line(g, (void *)some_handler), trace_records_from(g));
    r[0].Next = g;
    EXPECT_EQ(l0 + record_line(g, (void *)some_handler), trace_records_from(r0));
    void *page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(MAP_FAILED, page);
    r[0].Next = seh_addr(page);
    EXPECT_EQ(l0 + "record after " + hex(r0) + " cannot be read at " + hex(seh_addr(page)) +
                  "; walk stopped.\n",
              trace_records_from(r0));
    munmap(page, 4096);

    r[0].Next = r1 + 2;
    EXPECT_EQ(l0 + "record after " + hex(r0) + " is not 4-byte aligned at " +
                  hex(r1 + 2) + "; walk stopped.\n",
              trace_records_from(r0));

    r[0].Next = r1;
    r[1].Next = SEH_CHAIN_END;
    EXPECT_EQ(l0 + l1, trace_records_from(r0));
}

// On a thread started through the layer, whose outermost frame pointer is
// 0, the walk prints every frame and ends without a closing line.
TEST(TraceControlStack, PrintsEveryFrameOfANormalRunExactly)
{
    on_new_thread([] {
        // Called from here, so that every frame above the probe's is still
        // live when the expected lines are built.
        uint32_t marked[2] = {};
        fflush(stdout);
        testing::internal::CaptureStdout();
        trace_marked(marked);
        fflush(stdout);
        const auto out = lines(testing::internal::GetCapturedStdout());
        ASSERT_GE(out.size(), 3u);
        const uint32_t fp = marked[0] - 16;
        EXPECT_EQ("Base frame pointer: " + hex(fp) + ".", out[0]);
        // The stack pointer is the tracer's own business: just below fp.
        const std::string sp_label = "Base stack pointer: ";
        const uint32_t sp = strtoul(out[1].c_str() + sp_label.size(), nullptr, 16);
        EXPECT_EQ(sp_label + hex(sp) + ".", out[1]);
        EXPECT_LE(sp, fp);
        EXPECT_GT(sp, fp - 256);

        std::vector<std::string> wanted{
            out[0], out[1], hex(fp) + ": " + hex(seh_addr(trace_return_site)) + ".",
            hex(marked[0]) + ": " + hex(marked[1]) + "."};
        const NT_TIB *tib = tib_current();
        for (uint32_t frame = seh_addr(__builtin_frame_address(0)); frame != 0;) {
            ASSERT_TRUE(frame > marked[0] && frame >= seh_addr(tib->StackLimit) &&
                        frame < seh_addr(tib->StackBase))
                << hex(frame);
            const uint32_t *slots = reinterpret_cast<const uint32_t *>(frame);
            wanted.push_back(hex(frame) + ": " + hex(slots[1]) + ".");
            frame = slots[0];
        }
        EXPECT_EQ(wanted, out);
    });
}

// Traces from a hand-built frame chain; returns what follows the tracer's
// own frame line.
std::string trace_frames_from(uint32_t fp)
{
    const auto out = lines(captured_stdout([fp] { trace_from_frame(fp); }));
    std::string rest;
    for (size_t i = 3; i < out.size(); ++i)
        rest += out[i] + "\n";
    return rest;
}

TEST(TraceControlStack, CorruptFrameChainsStopWithTheirLine)
{
    uint32_t f[16] = {};
    auto at = [&](int i) { return seh_addr(&f[i]); };
    auto frame_line = [&](int i) {
        f[i + 1] = 0x11110000u + i; // the return address slot
        return hex(at(i)) + ": " + hex(f[i + 1]) + ".\n";
    };
    const std::string l0 = frame_line(0), l4 = frame_line(4), l8 = frame_line(8);

    f[0] = at(4);
    f[4] = 0;
    EXPECT_EQ(l0 + l4, trace_frames_from(at(0)));

    f[4] = at(0);
    EXPECT_EQ(l0 + l4 + "next frame " + hex(at(0)) + " is not above frame " +
                  hex(at(4)) + "; walk stopped.\n",
              trace_frames_from(at(0)));
    f[8] = at(8);
    EXPECT_EQ(l8 + "next frame " + hex(at(8)) + " is not above frame " +
                  hex(at(8)) + "; walk stopped.\n",
              trace_frames_from(at(8)));

    const uint32_t base = seh_addr(tib_current()->StackBase);
    f[4] = base;
    EXPECT_EQ(l4 + "next frame " + hex(base) +
                  " lies outside the stack above frame " + hex(at(4)) +
                  "; walk stopped.\n",
              trace_frames_from(at(4)));

    f[4] = at(8) + 1;
    EXPECT_EQ(l4 + "next frame " + hex(at(8) + 1) +
                  " is not 4-byte aligned, above frame " + hex(at(4)) +
                  "; walk stopped.\n",
              trace_frames_from(at(4)));
}

} // namespace
