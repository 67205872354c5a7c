// unwind-contract: tries every promise of RtlUnwind's contract in every
// situation that can break it, and holds what the platform did to what the
// model of the contract says.
//
//   unwind-contract                      every check, then the counts
//   unwind-contract --list               the checks, "PROMISE SITUATION" each
//   unwind-contract PROMISE SITUATION    one check
//
// A check's line: "ok P S", "not ok P S: what the platform did", or
// "differs P S: ..." for reference behaviour that the platform does
// otherwise (E3). The exit status is 0 whatever the platform did; 2 on a
// wrong argument.
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "compare.h"
#include "process.h"

namespace {

struct check_line {
    int promise; // index into promises
    uint32_t situation;
    enum { ok, not_ok, differs } result;
    std::string what;
};

int promise_index(const char *promise)
{
    for (int i = 0; i < promise_count; ++i)
        if (strcmp(promises[i], promise) == 0)
            return i;
    return -1;
}

// The checks of situation i, whose prediction is p: every promise it
// tries, and any it was found to break besides.
void checks_of(uint32_t i, const prediction &p, const std::vector<finding> &found,
               std::vector<check_line> &out, int only)
{
    const situation &s = all_situations()[i];
    std::vector<bool> listed(promise_count, false);
    // A situation that could not be staged tried nothing: it says only
    // why, whichever check was asked for.
    bool staged = true;
    for (const finding &f : found)
        staged = staged && !f.unstaged;
    if (staged)
        for (const char *promise : tried(s, p))
            listed[promise_index(promise)] = true;
    for (const finding &f : found)
        listed[promise_index(f.promise)] = true;
    for (int k = 0; k < promise_count; ++k) {
        if (!listed[k] || (staged && only >= 0 && k != only))
            continue;
        check_line line = {k, i, check_line::ok, ""};
        for (const finding &f : found)
            if (promise_index(f.promise) == k) {
                line.result = f.reference ? check_line::differs : check_line::not_ok;
                line.what = f.what;
            }
        out.push_back(line);
    }
}

void print(std::vector<check_line> &lines)
{
    static const char *const words[] = {"ok", "not ok", "differs"};
    std::vector<std::vector<const check_line *>> by_promise(promise_count);
    for (const check_line &l : lines)
        by_promise[l.promise].push_back(&l);
    int total[3] = {};
    for (const auto &group : by_promise)
        for (const check_line *l : group) {
            printf("%s %s %s%s%s\n", words[l->result], promises[l->promise],
                   name_of(all_situations()[l->situation]).c_str(), l->what.empty() ? "" : ": ",
                   l->what.c_str());
            ++total[l->result];
        }
    for (int k = 0; k < promise_count; ++k) {
        if (by_promise[k].empty())
            continue;
        int counts[3] = {};
        for (const check_line *l : by_promise[k])
            ++counts[l->result];
        printf("%s: %d checks: %d ok, %d not ok, %d differs\n", promises[k],
               static_cast<int>(by_promise[k].size()), counts[0], counts[1], counts[2]);
    }
    printf("%d checks: %d ok, %d not ok, %d differs\n", static_cast<int>(lines.size()), total[0],
           total[1], total[2]);
}

int usage(const char *problem)
{
    fprintf(stderr, "unwind-contract: %s\nusage: unwind-contract [--list | PROMISE SITUATION]\n",
            problem);
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    if (run_as_child(argc, argv))
        return 0;
    const auto &all = all_situations();
    if (argc == 2 && strcmp(argv[1], "--list") == 0) {
        for (int k = 0; k < promise_count; ++k)
            for (uint32_t i = 0; i < all.size(); ++i)
                for (const char *promise : tried(all[i], predict(all[i])))
                    if (strcmp(promise, promises[k]) == 0)
                        printf("%s %s\n", promise, name_of(all[i]).c_str());
        return 0;
    }
    std::vector<uint32_t> chosen;
    int only = -1;
    if (argc == 3) {
        situation s;
        only = promise_index(argv[1]);
        if (only < 0 || !situation_named(argv[2], &s))
            return usage((std::string("no check named ") + argv[1] + " " + argv[2]).c_str());
        bool tries = false;
        for (const char *promise : tried(s, predict(s)))
            tries |= strcmp(promise, argv[1]) == 0;
        if (!tries)
            return usage((std::string("no check named ") + argv[1] + " " + argv[2]).c_str());
        for (uint32_t i = 0; i < all.size(); ++i)
            if (all[i] == s)
                chosen.push_back(i);
    } else if (argc != 1) {
        return usage(argc == 2 ? (std::string("no check named ") + argv[1]).c_str()
                               : "too many arguments");
    } else {
        for (uint32_t i = 0; i < all.size(); ++i)
            chosen.push_back(i);
    }
    const observation *seen = run_in_children(chosen.data(), static_cast<uint32_t>(chosen.size()));
    std::vector<check_line> lines;
    for (uint32_t n = 0; n < chosen.size(); ++n) {
        const situation &s = all[chosen[n]];
        const prediction p = predict(s);
        checks_of(chosen[n], p, compare(s, p, seen[n], platform_raises()), lines, only);
    }
    print(lines);
    return 0;
}
