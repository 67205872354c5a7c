// The two tracers' lines, exactly, on both targets: registration chains of
// stack, static and heap records, chains that loop, point down, are
// misaligned or lead to memory that cannot be read, and hand-built frame
// chains. Prints one line per failed case and exits 1 if any failed.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#ifdef _WIN32
#include <io.h>
#define dup _dup
#define dup2 _dup2
#define fileno _fileno
#else
#include <unistd.h>
#endif

#include "pages.h"
#include "probes.h"
#include "qarvel.h"
#include "stack_bounds.h"

namespace {

int failures = 0, cases = 0;

std::string hex(uint32_t value)
{
    char text[16];
    snprintf(text, sizeof text, "0x%08lx", (unsigned long)value);
    return text;
}

// Everything that fn prints to standard output, through its file descriptor
// (the tracers print with the runtime's own printf), as bytes.
template <class F> std::string captured(F fn)
{
    const char *name = "tracer_lines.out";
    FILE *file = fopen(name, "w+b");
    if (!file) {
        perror(name);
        exit(1);
    }
    fflush(stdout);
    const int saved = dup(1);
    dup2(fileno(file), 1);
    fn();
    fflush(stdout);
    dup2(saved, 1);
    close(saved);
    std::string text;
    rewind(file);
    for (int c; (c = getc(file)) != EOF;)
        text += static_cast<char>(c);
    fclose(file);
    remove(name);
    return text;
}

void expect(const char *what, const std::string &wanted, const std::string &seen)
{
    ++cases;
    if (wanted == seen)
        return;
    ++failures;
    printf("FAILED: %s\n-- expected:\n%s-- printed:\n%s--\n", what,
           wanted.c_str(), seen.c_str());
}

uint32_t handler_a(EXCEPTION_RECORD *, void *, void *, void *) { return 1; }
uint32_t handler_b(EXCEPTION_RECORD *, void *, void *, void *) { return 1; }

// A registration record as raw words, as the tracers read it.
struct record {
    uint32_t Next;
    uint32_t (*Handler)(EXCEPTION_RECORD *, void *, void *, void *);
};
static_assert(sizeof(record) == sizeof(EXCEPTION_REGISTRATION_RECORD), "record");

std::string line(const record &r)
{
    return hex(seh_addr(&r)) + ": " + hex(seh_addr(reinterpret_cast<void *>(r.Handler))) + "\n";
}

std::string stopped(uint32_t after, const char *why, uint32_t at)
{
    return "record after " + hex(after) + " " + why + " " + hex(at) + "; walk stopped.\n";
}

std::string head_stopped(const char *why, uint32_t at)
{
    return std::string("chain head ") + why + " " + hex(at) + "; walk stopped.\n";
}

std::string trace_records_from(uint32_t head)
{
    const uint32_t old = get_seh_frame();
    set_seh_frame(head);
    std::string out = captured(trace_frame_stack);
    set_seh_frame(old);
    return out;
}

record static_records[2];

void registration_chains()
{
    record s[3]; // on the stack, s[0] lowest
    record *heap = static_cast<record *>(malloc(sizeof(record)));
    record &g = static_records[0], &g2 = static_records[1];
    for (record *r : {&s[0], &s[1], &s[2], heap})
        r->Handler = handler_a;
    g.Handler = g2.Handler = handler_b;
    const uint32_t s0 = seh_addr(&s[0]), s1 = seh_addr(&s[1]), s2 = seh_addr(&s[2]);
    const uint32_t h = seh_addr(heap), g0 = seh_addr(&g), g1 = seh_addr(&g2);

    expect("an empty chain prints nothing", "", trace_records_from(SEH_CHAIN_END));

    s[0].Next = s1;
    s[1].Next = SEH_CHAIN_END;
    expect("two stack records", line(s[0]) + line(s[1]), trace_records_from(s0));

    // Records off the stack are as valid as records on it.
    s[0].Next = g0;
    g.Next = h;
    heap->Next = s2;
    s[2].Next = SEH_CHAIN_END;
    expect("stack, static, heap and stack again",
           line(s[0]) + line(g) + line(*heap) + line(s[2]), trace_records_from(s0));
    g.Next = SEH_CHAIN_END;
    expect("a static record at the head", line(g), trace_records_from(g0));

    // A record on the stack must lie above the last one on the stack, even
    // with records elsewhere in between.
    s[1].Next = g0;
    g.Next = s0;
    expect("back down the stack after a static record",
           line(s[1]) + line(g) + stopped(g0, "points down to", s0),
           trace_records_from(s1));
    s[0].Next = s1;
    s[1].Next = s0;
    expect("a loop on the stack",
           line(s[0]) + line(s[1]) + stopped(s1, "loops back to", s0),
           trace_records_from(s0));
    expect("a record below the one before", line(s[1]) + stopped(s1, "points down to", s0),
           trace_records_from(s1));

    g.Next = g1;
    g2.Next = h;
    heap->Next = g0;
    expect("a loop off the stack",
           line(g) + line(g2) + line(*heap) + stopped(h, "loops back to", g0),
           trace_records_from(g0));
    s[0].Next = g0;
    g.Next = s0;
    expect("a loop through the stack and static data",
           line(s[0]) + line(g) + stopped(g0, "loops back to", s0), trace_records_from(s0));

    s[0].Next = s1 + 2;
    expect("a misaligned record", line(s[0]) + stopped(s0, "is not 4-byte aligned at", s1 + 2),
           trace_records_from(s0));
    expect("a misaligned head", head_stopped("is not 4-byte aligned at", g0 + 1),
           trace_records_from(g0 + 1));

    // Memory that cannot be read ends the walk, without a fault.
    struct {
        const char *what;
        uint32_t at;
    } unreadable[] = {
        {"a record at address 0", 0},
        {"a record in a page without access", no_access_page()},
        {"a record across the end of a readable page",
         readable_before_no_access() + page_size() - 4},
        {"a record in a guard page", guard_page()},
    };
    for (const auto &u : unreadable) {
        if (u.at == 0 && u.what != unreadable[0].what)
            continue; // no guard pages on this target
        s[0].Next = u.at;
        expect(u.what, line(s[0]) + stopped(s0, "cannot be read at", u.at),
               trace_records_from(s0));
        expect(u.what, head_stopped("cannot be read at", u.at), trace_records_from(u.at));
    }
    // Released while the output is already being captured, so that nothing
    // maps the page again before the walk.
    uint32_t released = 0;
    const std::string after_release = captured([&] {
        released = released_page();
        const uint32_t old = get_seh_frame();
        s[0].Next = released;
        set_seh_frame(s0);
        trace_frame_stack();
        set_seh_frame(old);
    });
    expect("a record in a released page",
           line(s[0]) + stopped(s0, "cannot be read at", released), after_release);
    const uint32_t last_word = readable_before_no_access() + page_size() - 8;
    record *at_end = reinterpret_cast<record *>(last_word);
    at_end->Next = SEH_CHAIN_END;
    at_end->Handler = handler_b;
    expect("a record in the last 8 readable bytes of a page", line(*at_end),
           trace_records_from(last_word));
    free(heap);
}

uint32_t stack_top() { return stack_base(); }

// The lines that trace_from_frame(fp) prints, with its first three lines
// (base frame and stack pointer, the tracer's own frame returning into the
// probe) checked here and dropped.
std::string trace_frames_from(uint32_t fp)
{
    const std::string out = captured([fp] { trace_from_frame(fp); });
    std::vector<std::string> lines;
    for (size_t at = 0; at < out.size();) {
        const size_t end = out.find('\n', at);
        if (end == std::string::npos) {
            lines.push_back(out.substr(at));
            break;
        }
        lines.push_back(out.substr(at, end + 1 - at));
        at = end + 1;
    }
    std::string head = lines.size() >= 3 ? lines[0] + lines[1] + lines[2] : out;
    const char *frame_label = "Base frame pointer: ", *stack_label = "Base stack pointer: ";
    const uint32_t base_fp = strtoul(head.c_str() + strlen(frame_label), nullptr, 16);
    const uint32_t base_sp =
        lines.size() >= 2 ? strtoul(lines[1].c_str() + strlen(stack_label), nullptr, 16) : 0;
    // The tracer's frame and stack pointer lie just below the probe's stack.
    std::string wanted = frame_label + hex(base_fp) + ".\n" + stack_label + hex(base_sp) +
                         ".\n" + hex(base_fp) + ": " + hex(seh_addr(trace_from_frame_site)) +
                         ".\n";
    ++cases;
    if (head != wanted || base_sp > base_fp || base_fp - base_sp > 1024) {
        ++failures;
        printf("FAILED: the tracer's own lines\n-- printed:\n%s--\n", head.c_str());
    }
    std::string rest;
    for (size_t i = 3; i < lines.size(); ++i)
        rest += lines[i];
    return rest;
}

void frame_chains()
{
    uint32_t f[16] = {};
    auto at = [&](int i) { return seh_addr(&f[i]); };
    auto frame_line = [&](int i) {
        f[i + 1] = 0x1111aa00u + i; // the return address slot
        return hex(at(i)) + ": " + hex(f[i + 1]) + ".\n";
    };
    const std::string l0 = frame_line(0), l4 = frame_line(4), l8 = frame_line(8);

    f[0] = at(4);
    f[4] = at(8);
    f[8] = 0;
    expect("three frames ending in 0", l0 + l4 + l8, trace_frames_from(at(0)));
    f[4] = at(0);
    expect("a frame that points down",
           l0 + l4 + "next frame " + hex(at(0)) + " is not above frame " + hex(at(4)) +
               "; walk stopped.\n",
           trace_frames_from(at(0)));
    f[8] = at(8);
    expect("a frame that points to itself",
           l8 + "next frame " + hex(at(8)) + " is not above frame " + hex(at(8)) +
               "; walk stopped.\n",
           trace_frames_from(at(8)));
    f[4] = stack_top();
    expect("a frame off the stack",
           l4 + "next frame " + hex(stack_top()) + " lies outside the stack above frame " +
               hex(at(4)) + "; walk stopped.\n",
           trace_frames_from(at(4)));
    f[4] = at(8) + 1;
    expect("a misaligned frame",
           l4 + "next frame " + hex(at(8) + 1) + " is not 4-byte aligned, above frame " +
               hex(at(4)) + "; walk stopped.\n",
           trace_frames_from(at(4)));
}

} // namespace

int main(void)
{
    // Printed first, so that stdout has its buffer before any case runs.
    printf("tracer lines, exactly:\n");
    registration_chains();
    frame_chains();
    printf("%d of %d cases failed.\n", failures, cases);
    return failures == 0 ? 0 : 1;
}
