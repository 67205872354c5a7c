#include "dimension.h"

#include <string.h>

bool operator==(const situation &a, const situation &b)
{
    return memcmp(a.v, b.v, sizeof a.v) == 0;
}

bool operator<(const situation &a, const situation &b)
{
    return memcmp(a.v, b.v, sizeof a.v) < 0;
}

std::string name_of(const dimensions &dims, const situation &s)
{
    std::string name;
    for (size_t d = 0; d < dims.size(); ++d) {
        const char *value = dims[d].values[s.v[d]];
        if (!*value)
            continue;
        if (!name.empty())
            name += '/';
        name += value;
    }
    return name;
}

namespace {

int value_named(const dimension &d, const std::string &word)
{
    for (int i = 0; i < d.size(); ++i)
        if (*d.values[i] && word == d.values[i])
            return i;
    return -1;
}

int unnamed_value(const dimension &d)
{
    for (int i = 0; i < d.size(); ++i)
        if (!*d.values[i])
            return i;
    return -1;
}

} // namespace

bool parse_situation(const dimensions &dims, const std::string &name, situation *out)
{
    std::vector<std::string> words;
    for (size_t start = 0;;) {
        const size_t slash = name.find('/', start);
        words.push_back(name.substr(start, slash - start));
        if (slash == std::string::npos)
            break;
        start = slash + 1;
    }
    situation s;
    memset(s.v, -1, sizeof s.v);
    size_t w = 0;
    for (size_t d = 0; d < dims.size(); ++d) {
        const int named = w < words.size() ? value_named(dims[d], words[w]) : -1;
        if (named >= 0) {
            s.v[d] = static_cast<int8_t>(named);
            ++w;
        } else if ((s.v[d] = static_cast<int8_t>(unnamed_value(dims[d]))) < 0) {
            return false;
        }
    }
    if (w != words.size())
        return false;
    *out = s;
    return true;
}

int weight_of(const dimensions &dims, const situation &s)
{
    int weight = 0;
    for (size_t d = 0; d < dims.size(); ++d)
        weight += dims[d].weights[s.v[d]];
    return weight;
}
