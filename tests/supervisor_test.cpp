// The supervision of a contract program's children, with a program of its
// own whose "platform" hangs, dies or goes on as each situation says: every
// situation is judged in order, as soon as it ends, with how its child
// ended, and the situations after one that hangs or dies still run.
#include <gtest/gtest.h>

#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "progress.h"
#include "supervisor.h"

namespace {

struct row {
    const char *name;
    int weight;
};
// What the platform does in each situation.
const row behaviours[] = {{"returns", 0},    {"hangs", 0}, {"dies", 0},
                          {"works-long", 0}, {"loops", 0}, {"spends", 0}};

const dimensions dims = {dimension_of("behaviour", behaviours)};

std::vector<situation> list_of(std::initializer_list<int8_t> values)
{
    std::vector<situation> out;
    for (int8_t v : values) {
        situation s;
        memset(s.v, 0, sizeof s.v);
        s.v[0] = v;
        out.push_back(s);
    }
    return out;
}

const std::vector<situation> &all(void)
{
    static const std::vector<situation> list = list_of({0, 1, 0, 2, 3, 0, 4, 0});
    return list;
}

bool spends(const situation &s) { return s.v[0] == 5; }

// Whether this child process has run a situation that leaves it unfit.
bool spent_here;
bool spent(void) { return spent_here; }

bool always(const situation &) { return true; }

void nothing(void) {}

// The observation is the word 1 once the situation ended by itself; 2 when
// it ran in a child that another had left unfit (one that spends it).
void run(const situation &s, void *observation)
{
    const bool shared = spent_here;
    spent_here |= spends(s);
    switch (s.v[0]) {
    case 1:
        for (;;)
            pause();
    case 2: _exit(3);
    case 3:
        // Slower than the time for a hang, but never without progress.
        for (int i = 0; i < 8; ++i) {
            note_progress();
            usleep(100 * 1000);
        }
        break;
    case 4:
        // Progress without end, as handlers called over and over make.
        for (;;) {
            note_progress();
            usleep(10 * 1000);
        }
    }
    *static_cast<uint32_t *>(observation) = shared ? 2 : 1;
}

std::vector<promise> tried(const situation &) { return {promise::W1}; }

findings judge(const situation &, const void *observation, const child_end &end)
{
    findings found;
    const char *const ends[] = {"finished", "exited", "signalled", "hung", "not started"};
    const uint32_t seen = *static_cast<const uint32_t *>(observation);
    if (seen == 2)
        found.add(promise::W1, "shared its child");
    else if (seen != 1 || end.how != child_end::finished)
        found.add(promise::W1, std::string(ends[end.how]) + " " + std::to_string(end.code));
    return found;
}

const contract_program program = {"supervised", "nothing", dims,    all,   always, sizeof(uint32_t),
                                  sizeof(uint32_t), 0.4,     nothing, run, nullptr, tried,  judge, nullptr};

void collect(const situation &s, const std::vector<check> &checks, void *arg)
{
    auto &lines = *static_cast<std::vector<std::string> *>(arg);
    for (const check &c : checks)
        lines.push_back(name_of(dims, s) + ": " + word_of(c.is) + " " + c.what);
}

TEST(Supervisor, JudgesEverySituationInOrderHowEverItsChildEnds)
{
    run_program(program);
    std::vector<std::string> lines;
    ASSERT_TRUE(run_supervised(program, all(), collect, &lines));
    const std::vector<std::string> want = {
        "returns: ok ",         "hangs: not ok hung 1", "returns: ok ",
        "dies: not ok exited 3", "works-long: ok ",    "returns: ok ",
        "loops: not ok hung 2",  "returns: ok ",
    };
    EXPECT_EQ(want, lines);
}

// After a situation that leaves its child unfit, the next runs in a new
// child, wherever it lies in the list, and none is judged for the handing on.
TEST(Supervisor, GivesTheSituationAfterOneThatSpentItsChildANewOne)
{
    contract_program own = program;
    own.spent = spent;
    run_program(own);
    std::vector<std::string> lines;
    ASSERT_TRUE(run_supervised(own, list_of({0, 5, 5, 0, 0, 5}), collect, &lines));
    const std::vector<std::string> want = {"returns: ok ", "spends: ok ",   "spends: ok ",
                                           "returns: ok ", "returns: ok ", "spends: ok "};
    EXPECT_EQ(want, lines);
}

} // namespace
