#include "situation.h"

#include <stddef.h>

#include "model.h"

namespace {

const char *const depth_names[] = {"0-above", "1-above", "3-above", "64-above"};
const char *const odd_names[] = {"",        "off-stack", "misaligned", "at-limit", "limit-4",
                                 "limit-8", "base-8",    "base-4",     "at-base"};
const char *const target_names[] = {"to-record",   "exit",       "to-end",
                                    "to-unlinked", "below-head", "passed-over"};
const char *const supplied_names[] = {"own", "callers"};
const char *const action_names[] = {
    "continues",     "collides",        "answers-0",       "answers-2",
    "answers-4",     "answers-ffffffff", "nests-to-next",  "nests-past-next",
    "nests-to-target", "sets-eax",      "sets-ebx",        "sets-eip",
    "sets-eflags",   "leaves-df"};
const char *const place_names[] = {"top", "in-handler", "in-handler-2", "new-thread",
                                   "8-threads"};

// The dimensions as numbers, for the generation.
constexpr int dimensions = 6;
constexpr int sizes[dimensions] = {4, 9, 6, 2, 14, 5};

struct values {
    int v[dimensions];
};

situation situation_of(const values &x)
{
    return situation{static_cast<depth>(x.v[0]),    static_cast<odd>(x.v[1]),
                     static_cast<target>(x.v[2]),   static_cast<supplied>(x.v[3]),
                     static_cast<action>(x.v[4]),   static_cast<place>(x.v[5])};
}

// The combinations that must occur: every pair of dimensions, and the
// triples of action, record and place, and of target, record and place.
struct tuple_kind {
    int dims[3];
    int count; // 2 or 3
};

std::vector<tuple_kind> tuple_kinds(void)
{
    std::vector<tuple_kind> kinds;
    for (int a = 0; a < dimensions; ++a)
        for (int b = a + 1; b < dimensions; ++b)
            kinds.push_back({{a, b, 0}, 2});
    kinds.push_back({{4, 3, 5}, 3});
    kinds.push_back({{2, 3, 5}, 3});
    return kinds;
}

// The index of each tuple that x holds, one per kind.
void tuples_of(const values &x, const std::vector<tuple_kind> &kinds,
               const std::vector<int> &offsets, int *out)
{
    for (size_t k = 0; k < kinds.size(); ++k) {
        int index = 0;
        for (int i = 0; i < kinds[k].count; ++i)
            index = index * sizes[kinds[k].dims[i]] + x.v[kinds[k].dims[i]];
        out[k] = offsets[k] + index;
    }
}

std::vector<situation> generate(void)
{
    const std::vector<tuple_kind> kinds = tuple_kinds();
    std::vector<int> offsets;
    int total = 0;
    for (const tuple_kind &k : kinds) {
        offsets.push_back(total);
        int size = 1;
        for (int i = 0; i < k.count; ++i)
            size *= sizes[k.dims[i]];
        total += size;
    }
    // Every valid combination, with the tuples it holds.
    std::vector<values> valid;
    std::vector<int> held;
    std::vector<char> wanted(total, 0);
    values x;
    const int kind_count = static_cast<int>(kinds.size());
    std::vector<int> mine(kind_count);
    for (int i = 0, n = 4 * 9 * 6 * 2 * 14 * 5; i < n; ++i) {
        for (int d = dimensions - 1, rest = i; d >= 0; --d) {
            x.v[d] = rest % sizes[d];
            rest /= sizes[d];
        }
        if (!makes_sense(situation_of(x)))
            continue;
        valid.push_back(x);
        tuples_of(x, kinds, offsets, mine.data());
        for (int t : mine) {
            held.push_back(t);
            wanted[t] = 1;
        }
    }
    // The combinations that hold each tuple.
    std::vector<std::vector<int>> holding(total);
    for (size_t c = 0; c < valid.size(); ++c)
        for (int k = 0; k < kind_count; ++k)
            holding[held[c * kind_count + k]].push_back(static_cast<int>(c));
    // Greedily: the first tuple not yet covered, and of the combinations
    // that hold it the one that covers most tuples not yet covered.
    std::vector<char> covered(total, 0);
    std::vector<char> chosen(valid.size(), 0);
    for (int t = 0; t < total; ++t) {
        if (!wanted[t] || covered[t])
            continue;
        int best = -1, best_gain = -1;
        for (int c : holding[t]) {
            const int *h = &held[c * kind_count];
            if (chosen[c])
                continue;
            int gain = 0;
            for (int k = 0; k < kind_count; ++k)
                gain += !covered[h[k]];
            if (gain > best_gain) {
                best = c;
                best_gain = gain;
            }
        }
        chosen[best] = 1;
        for (int k = 0; k < kind_count; ++k)
            covered[held[best * kind_count + k]] = 1;
    }
    std::vector<situation> all;
    for (size_t c = 0; c < valid.size(); ++c)
        if (chosen[c])
            all.push_back(situation_of(valid[c]));
    return all;
}

} // namespace

bool operator==(const situation &a, const situation &b)
{
    return a.above == b.above && a.extra == b.extra && a.to == b.to && a.record == b.record &&
           a.act == b.act && a.where == b.where;
}

int records_above(depth d)
{
    static const int counts[] = {0, 1, 3, most_above};
    return counts[static_cast<int>(d)];
}

std::string name_of(const situation &s)
{
    std::string name = depth_names[static_cast<int>(s.above)];
    if (s.extra != odd::none)
        name += std::string("/") + odd_names[static_cast<int>(s.extra)];
    name += std::string("/") + target_names[static_cast<int>(s.to)];
    name += std::string("/") + supplied_names[static_cast<int>(s.record)];
    name += std::string("/") + action_names[static_cast<int>(s.act)];
    name += std::string("/") + place_names[static_cast<int>(s.where)];
    return name;
}

namespace {

// The index of `word` in names, or -1.
template <size_t N>
int index_in(const char *const (&names)[N], const std::string &word)
{
    for (size_t i = 0; i < N; ++i)
        if (word == names[i])
            return static_cast<int>(i);
    return -1;
}

} // namespace

bool parse_situation(const std::string &name, situation *out)
{
    std::vector<std::string> words;
    for (size_t start = 0;;) {
        const size_t slash = name.find('/', start);
        words.push_back(name.substr(start, slash - start));
        if (slash == std::string::npos)
            break;
        start = slash + 1;
    }
    if (words.size() == 5)
        words.insert(words.begin() + 1, "");
    if (words.size() != 6 || (words[1].empty() && name.find("//") != std::string::npos))
        return false;
    const int v[] = {index_in(depth_names, words[0]),    index_in(odd_names, words[1]),
                     index_in(target_names, words[2]),   index_in(supplied_names, words[3]),
                     index_in(action_names, words[4]),   index_in(place_names, words[5])};
    for (int one : v)
        if (one < 0)
            return false;
    *out = situation_of(values{{v[0], v[1], v[2], v[3], v[4], v[5]}});
    return name_of(*out) == name;
}

bool situation_named(const std::string &name, situation *out)
{
    situation s;
    if (!parse_situation(name, &s))
        return false;
    for (const situation &one : all_situations())
        if (one == s) {
            *out = s;
            return true;
        }
    return false;
}

const std::vector<situation> &all_situations(void)
{
    static const std::vector<situation> all = generate();
    return all;
}
