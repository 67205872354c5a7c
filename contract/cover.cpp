#include "cover.h"

#include <stdint.h>
#include <string.h>

#include <algorithm>

namespace {

// The combinations of one interaction, numbered: the values of its
// dimensions as the digits of a number.
struct tuples {
    std::vector<int> dims;
    int first; // the number of its first combination among all of them
    int count;
};

class generator {
public:
    generator(const dimensions &dims, const coverage &what, validity valid)
        : dims_(dims), what_(what), valid_(valid)
    {
        int total = 0;
        for (const std::vector<int> &one : what.interactions) {
            int count = 1;
            for (int d : one)
                count *= dims[d].size();
            kinds_.push_back({one, total, count});
            total += count;
        }
        state_.assign(total, open);
        of_dimension_.resize(dims.size());
        for (size_t k = 0; k < kinds_.size(); ++k)
            for (int d : kinds_[k].dims)
                of_dimension_[d].push_back(static_cast<int>(k));
    }

    std::vector<situation> run(void)
    {
        std::vector<situation> rows;
        // First each value alone, with the lightest values of the other
        // dimensions that make sense: the smallest situation in which it
        // can be seen.
        for (int d = 0; d < static_cast<int>(dims_.size()); ++d)
            for (int v = 0; v < dims_[d].size(); ++v) {
                situation s;
                memset(s.v, -1, sizeof s.v);
                s.v[d] = static_cast<int8_t>(v);
                if (!valid_(s) || !complete(s, 0, lightest) ||
                    std::find(rows.begin(), rows.end(), s) != rows.end())
                    continue;
                take(s, rows);
            }
        for (const tuples &kind : kinds_)
            for (int t = 0; t < kind.count; ++t) {
                if (state_[kind.first + t] != open)
                    continue;
                situation s;
                memset(s.v, -1, sizeof s.v);
                for (int i = static_cast<int>(kind.dims.size()) - 1, rest = t; i >= 0; --i) {
                    const int d = kind.dims[i];
                    s.v[d] = static_cast<int8_t>(rest % dims_[d].size());
                    rest /= dims_[d].size();
                }
                situation trial = s;
                if (!valid_(s) || !possible(trial, 0) || !complete(s, 0, widest)) {
                    state_[kind.first + t] = impossible;
                    continue;
                }
                take(s, rows);
            }
        return rows;
    }

private:
    enum { open, covered, impossible };
    const dimensions &dims_;
    const coverage &what_;
    validity valid_;
    std::vector<tuples> kinds_;
    std::vector<std::vector<int>> of_dimension_; // the kinds each dimension is in
    std::vector<char> state_;

    // How a completion chooses among the values of a dimension.
    enum choice {
        widest,   // the value that covers most combinations still open first
        lightest, // the value of least weight first
    };

    void take(const situation &s, std::vector<situation> &rows)
    {
        for (const tuples &k : kinds_)
            state_[k.first + number(k, s)] = covered;
        rows.push_back(s);
    }

    // Whether some completion of s makes sense: the values in their order,
    // with nothing weighed, for a combination that may be impossible.
    bool possible(situation &s, size_t at) const
    {
        while (at < what_.order.size() && s.v[what_.order[at]] >= 0)
            ++at;
        if (at == what_.order.size())
            return valid_(s);
        const int d = what_.order[at];
        for (int v = 0; v < dims_[d].size(); ++v) {
            s.v[d] = static_cast<int8_t>(v);
            if (valid_(s) && possible(s, at + 1))
                return true;
        }
        s.v[d] = -1;
        return false;
    }

    // Fills in s's missing values, dimension by dimension in the order
    // given, trying values as `how` says; false when no completion makes
    // sense.
    bool complete(situation &s, size_t at, choice how)
    {
        while (at < what_.order.size() && s.v[what_.order[at]] >= 0)
            ++at;
        if (at == what_.order.size())
            return valid_(s);
        const int d = what_.order[at];
        std::pair<int, int> ranked[most_values]; // (rank, value) of those that make sense so far
        int count = 0;
        for (int v = 0; v < dims_[d].size(); ++v) {
            s.v[d] = static_cast<int8_t>(v);
            if (valid_(s))
                ranked[count++] = {how == widest ? -gain(s, d) : dims_[d].weights[v], v};
        }
        std::stable_sort(ranked, ranked + count);
        for (int i = 0; i < count; ++i) {
            s.v[d] = static_cast<int8_t>(ranked[i].second);
            if (complete(s, at + 1, how))
                return true;
        }
        s.v[d] = -1;
        return false;
    }

    // The open combinations that s holds whole, among those of d.
    int gain(const situation &s, int d) const
    {
        int gained = 0;
        for (int k : of_dimension_[d]) {
            const int i = number(kinds_[k], s);
            gained += i >= 0 && state_[kinds_[k].first + i] == open;
        }
        return gained;
    }

    int number(const tuples &k, const situation &s) const
    {
        int n = 0;
        for (int d : k.dims) {
            if (s.v[d] < 0)
                return -1;
            n = n * dims_[d].size() + s.v[d];
        }
        return n;
    }
};

} // namespace

std::vector<std::vector<int>> every_pair(int dimension_count)
{
    std::vector<std::vector<int>> pairs;
    for (int a = 0; a < dimension_count; ++a)
        for (int b = a + 1; b < dimension_count; ++b)
            pairs.push_back({a, b});
    return pairs;
}

std::vector<situation> cover(const dimensions &dims, const coverage &what, validity valid)
{
    std::vector<situation> rows = generator(dims, what, valid).run();
    std::stable_sort(rows.begin(), rows.end(), [&](const situation &a, const situation &b) {
        return weight_of(dims, a) < weight_of(dims, b);
    });
    return rows;
}

std::vector<situation> sample(const dimensions &dims, validity valid, unsigned count,
                              uint32_t seed)
{
    // xorshift32: the same numbers on every target.
    uint32_t x = seed ? seed : 1;
    auto next = [&x](int below) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        return static_cast<int>(x % static_cast<uint32_t>(below));
    };
    std::vector<situation> drawn;
    for (unsigned tries = 0; drawn.size() < count && tries < 1000 * count; ++tries) {
        situation s;
        memset(s.v, -1, sizeof s.v);
        for (size_t d = 0; d < dims.size(); ++d)
            s.v[d] = static_cast<int8_t>(next(dims[d].size()));
        if (valid(s) && std::find(drawn.begin(), drawn.end(), s) == drawn.end())
            drawn.push_back(s);
    }
    return drawn;
}
