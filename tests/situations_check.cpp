#include "situations_check.h"

#include <string.h>

#include <set>

std::vector<std::string> shared_value_names(const dimensions &dims)
{
    std::vector<std::string> found;
    std::set<std::string> seen;
    for (const dimension &d : dims)
        for (const char *value : d.values)
            if (*value && !seen.insert(value).second)
                found.push_back(std::string(value) + " names two values");
    return found;
}

std::vector<std::string> misnamed(const dimensions &dims, const std::vector<situation> &list,
                                  validity valid)
{
    std::vector<std::string> found;
    std::set<std::string> names;
    for (const situation &s : list) {
        const std::string name = name_of(dims, s);
        situation back;
        if (!valid(s))
            found.push_back(name + " makes no sense");
        if (!names.insert(name).second)
            found.push_back(name + " twice");
        if (!parse_situation(dims, name, &back) || !(back == s))
            found.push_back(name + " does not read back as itself");
    }
    return found;
}

std::vector<std::string> uncovered(const dimensions &dims, const coverage &what,
                                   const std::vector<situation> &list, validity valid)
{
    const size_t count = what.interactions.size();
    std::vector<std::set<std::vector<int>>> possible(count), held(count);
    auto note = [&](const situation &s, std::vector<std::set<std::vector<int>>> &into) {
        for (size_t k = 0; k < count; ++k) {
            std::vector<int> values;
            for (int d : what.interactions[k])
                values.push_back(s.v[d]);
            into[k].insert(values);
        }
    };
    situation s;
    memset(s.v, -1, sizeof s.v);
    for (size_t d = 0; d < dims.size(); ++d)
        s.v[d] = 0;
    for (;;) {
        if (valid(s))
            note(s, possible);
        int d = static_cast<int>(dims.size()) - 1;
        while (d >= 0 && ++s.v[d] == dims[d].size())
            s.v[d--] = 0;
        if (d < 0)
            break;
    }
    for (const situation &one : list)
        note(one, held);
    std::vector<std::string> found;
    for (size_t k = 0; k < count; ++k)
        for (const std::vector<int> &values : possible[k])
            if (!held[k].count(values)) {
                std::string text = "no situation holds";
                for (size_t i = 0; i < values.size(); ++i)
                    text += std::string(" ") + dims[what.interactions[k][i]].values[values[i]];
                found.push_back(text);
            }
    return found;
}

std::vector<std::string> out_of_order(const dimensions &dims, const std::vector<situation> &list)
{
    std::vector<std::string> found;
    for (size_t i = 1; i < list.size(); ++i)
        if (weight_of(dims, list[i - 1]) > weight_of(dims, list[i]))
            found.push_back(name_of(dims, list[i]) + " after the heavier " +
                            name_of(dims, list[i - 1]));
    return found;
}
