// The command line of a contract program, and what it prints: a line per
// check as soon as its situation has run, then a count line per promise
// and one for all.
#include "program.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <utility>

#include "process.h"
#include "supervisor.h"

namespace {

const contract_program *me;

struct tally {
    int counts[promise_count][3] = {};
    int total[3] = {};
    // Checks named on the command line: of each situation (by name), only
    // the lines of the promises named with it. Empty: every line.
    std::vector<std::pair<std::string, promise>> only;
};

bool wanted(const tally &t, const std::string &name, promise p)
{
    return std::find(t.only.begin(), t.only.end(), std::make_pair(name, p)) != t.only.end();
}

void print_checks(const situation &s, const std::vector<check> &checks, void *arg)
{
    auto &t = *static_cast<tally *>(arg);
    const std::string name = name_of(me->dims, s);
    for (const check &c : checks) {
        // A situation that could not be staged says only why, whichever
        // check was asked for.
        if (!t.only.empty() && !wanted(t, name, c.which) && !c.unstaged)
            continue;
        const int r = static_cast<int>(c.is);
        printf("%s %s %s%s%s\n", word_of(c.is), id_of(c.which), name.c_str(),
               c.what.empty() ? "" : ": ", c.what.c_str());
        ++t.counts[static_cast<int>(c.which)][r];
        ++t.total[r];
    }
    fflush(stdout);
}

void print_counts(const tally &t)
{
    for (int k = 0; k < promise_count; ++k) {
        const int *c = t.counts[k];
        if (c[0] + c[1] + c[2] == 0)
            continue;
        printf("%s: %d checks: %d ok, %d not ok, %d differs\n", id_of(static_cast<promise>(k)),
               c[0] + c[1] + c[2], c[0], c[1], c[2]);
    }
    printf("%d checks: %d ok, %d not ok, %d differs\n", t.total[0] + t.total[1] + t.total[2],
           t.total[0], t.total[1], t.total[2]);
    fflush(stdout);
}

int run(const std::vector<situation> &list, tally &t)
{
    setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
    if (!run_supervised(*me, list, print_checks, &t)) {
        fprintf(stderr, "%s: cannot map memory to share with its children\n", me->name);
        return 2;
    }
    print_counts(t);
    return 0;
}

std::string usage(void)
{
    return std::string("usage: ") + me->name + " [--list | PROMISE SITUATION... | --sample COUNT [SEED] |" +
           (me->reproduce ? "\n        --reproduce PROMISE SITUATION | --reproduce-into DIR PROMISE SITUATION... |"
                          : "") +
           " --help]";
}

int help(void)
{
    const char *reproduce =
        me->reproduce ? "  --reproduce PROMISE SITUATION\n"
                        "                       writes on stdout a standalone C program that stages that\n"
                        "                       check's situation with the platform's API alone, prints\n"
                        "                       what the contract expects and what happened, and exits 1\n"
                        "                       when the platform breaks the promise there (its first\n"
                        "                       lines say how to build and run it)\n"
                        "  --reproduce-into DIR PROMISE SITUATION...\n"
                        "                       writes the reproducer of each of those checks into the\n"
                        "                       directory DIR as PROMISE-SITUATION.c (the situation's\n"
                        "                       slashes as dashes) and prints its path, one a line;\n"
                        "                       nothing is written when a check is unknown\n"
                      : "";
    printf("%s\n\n"
           "Tries every promise of %s in every situation that can break it, and\n"
           "holds what the platform did to one model of the contract. A line per\n"
           "check, as soon as its situation has run:\n"
           "  ok PROMISE SITUATION\n"
           "  not ok PROMISE SITUATION: what the platform did\n"
           "  differs PROMISE SITUATION: what the platform did (reference behaviour\n"
           "    that only one source states)\n"
           "then a count line per promise and one for all.\n\n"
           "  (no argument)        every check\n"
           "  --list               every check, \"PROMISE SITUATION\", in the order of a run\n"
           "  PROMISE SITUATION... those checks alone, their situations in the order\n"
           "                       named, whether or not the list holds them\n"
           "  --sample COUNT [SEED]\n"
           "                       every check of COUNT situations drawn from all that make\n"
           "                       sense, not only the list's (SEED: a whole number, 1 if\n"
           "                       not given)\n"
           "%s"
           "  --help               this text\n\n"
           "exit status: 0 whatever the platform did; 2 on a wrong argument, when a\n"
           "reproducer cannot be written, or when the program cannot run its children.\n",
           usage().c_str(), me->what, reproduce);
    return 0;
}

int refuse(const std::string &problem)
{
    fprintf(stderr, "%s: %s\n%s\n", me->name, problem.c_str(), usage().c_str());
    return 2;
}

// The edit distance between two names.
size_t distance(const std::string &a, const std::string &b)
{
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j)
        row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t up = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            diagonal = up;
        }
    }
    return row[b.size()];
}

std::string nearest(const std::string &wrong, const std::vector<std::string> &names)
{
    std::string best;
    size_t best_distance = static_cast<size_t>(-1);
    for (const std::string &name : names) {
        const size_t d = distance(wrong, name);
        if (d < best_distance) {
            best = name;
            best_distance = d;
        }
    }
    return best;
}

std::vector<std::string> checks_named(const std::vector<situation> &list)
{
    std::vector<std::string> names;
    for (const situation &s : list)
        for (promise p : me->tried(s))
            names.push_back(std::string(id_of(p)) + " " + name_of(me->dims, s));
    return names;
}

// The check named by a promise and a situation; false, after refusing it
// with the nearest there is, when there is no such check.
bool check_named(const char *promise_id, const char *situation_name, promise *p, situation *s)
{
    const bool known = promise_named(promise_id, p) &&
                       parse_situation(me->dims, situation_name, s) && me->makes_sense(*s);
    bool tries = false;
    if (known)
        for (promise one : me->tried(*s))
            tries |= one == *p;
    if (tries)
        return true;
    std::vector<std::string> names = checks_named(me->situations());
    if (parse_situation(me->dims, situation_name, s) && me->makes_sense(*s))
        for (const std::string &name : checks_named({*s}))
            names.push_back(name);
    const std::string wrong = std::string(promise_id) + " " + situation_name;
    refuse("no check named " + wrong + " (the nearest: " + nearest(wrong, names) + ")");
    return false;
}

// The checks named by pairs of arguments, each situation run once.
int named_checks(int count, char **args)
{
    tally t;
    std::vector<situation> list;
    for (int i = 0; i + 1 < count; i += 2) {
        promise p;
        situation s;
        if (!check_named(args[i], args[i + 1], &p, &s))
            return 2;
        const std::string name = name_of(me->dims, s);
        if (std::none_of(t.only.begin(), t.only.end(),
                         [&](const auto &named) { return named.first == name; }))
            list.push_back(s);
        t.only.emplace_back(name, p);
    }
    return run(list, t);
}

// The reproducers of the checks named by pairs of arguments after a
// directory, written into it once every check is known.
int reproduce_into(int count, char **args)
{
    if (count < 3 || count % 2 == 0)
        return refuse("--reproduce-into takes a directory and checks: a promise and a situation each");
    const char *dir = args[0];
    std::vector<std::pair<promise, situation>> checks;
    for (int i = 1; i + 1 < count; i += 2) {
        promise p;
        situation s;
        if (!check_named(args[i], args[i + 1], &p, &s))
            return 2;
        checks.emplace_back(p, s);
    }
    for (const auto &[p, s] : checks) {
        std::string name = std::string(id_of(p)) + "-" + name_of(me->dims, s);
        std::replace(name.begin(), name.end(), '/', '-');
        const std::string path = std::string(dir) + "/" + name + ".c";
        const std::string text = me->reproduce(p, s);
        FILE *file = fopen(path.c_str(), "w");
        const bool written = file && fputs(text.c_str(), file) >= 0;
        if (!file || fclose(file) != 0 || !written) {
            fprintf(stderr, "%s: cannot write %s\n", me->name, path.c_str());
            return 2;
        }
        printf("%s\n", path.c_str());
    }
    return 0;
}

bool whole_number(const char *text, unsigned long *out)
{
    char *end;
    if (!*text || strspn(text, "0123456789") != strlen(text))
        return false;
    *out = strtoul(text, &end, 10);
    return *out > 0 && *out <= 100000;
}

} // namespace

int contract_main(const contract_program &program, int argc, char **argv)
{
    me = &program;
    run_program(program);
    if (run_as_child(argc, argv))
        return 0;
    std::vector<std::string> options = {"--list", "--sample", "--help"};
    if (program.reproduce) {
        options.push_back("--reproduce");
        options.push_back("--reproduce-into");
    }
    if (argc == 1) {
        tally t;
        return run(program.situations(), t);
    }
    const std::string first = argv[1];
    if (first == "--help" || first == "-h")
        return argc == 2 ? help() : refuse("--help takes no argument");
    if (first == "--list") {
        if (argc != 2)
            return refuse("--list takes no argument");
        for (const std::string &name : checks_named(program.situations()))
            printf("%s\n", name.c_str());
        return 0;
    }
    if (first == "--sample") {
        unsigned long count = 0, seed = 1;
        if (argc < 3 || argc > 4 || !whole_number(argv[2], &count) ||
            (argc == 4 && !whole_number(argv[3], &seed)))
            return refuse("--sample takes a count and a seed, whole numbers from 1 to 100000");
        tally t;
        return run(sample(program.dims, program.makes_sense, static_cast<unsigned>(count),
                          static_cast<uint32_t>(seed)),
                   t);
    }
    if (first == "--reproduce" && program.reproduce) {
        promise p;
        situation s;
        if (argc != 4)
            return refuse("--reproduce takes a check: a promise and a situation");
        if (!check_named(argv[2], argv[3], &p, &s))
            return 2;
        fputs(program.reproduce(p, s).c_str(), stdout);
        return 0;
    }
    if (first == "--reproduce-into" && program.reproduce)
        return reproduce_into(argc - 2, argv + 2);
    if (first.size() > 1 && first[0] == '-') {
        return refuse("unknown option " + first + " (the nearest: " + nearest(first, options) + ")");
    }
    if (argc % 2 == 1)
        return named_checks(argc - 1, argv + 1);
    promise p;
    const char *last = argv[argc - 1];
    return refuse(promise_named(last, &p) ? std::string("a check is a promise and a situation: ") +
                                                last + " needs its situation"
                                          : std::string("no check named ") + last);
}
