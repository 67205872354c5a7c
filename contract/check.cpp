#include "check.h"

void findings::add(promise which, const std::string &what, bool reference)
{
    if (found_.has(which))
        return;
    found_.add(which);
    list_.push_back({which, what, reference, false});
}

void findings::mark_unstaged(void)
{
    for (finding &f : list_)
        f.unstaged = true;
}

std::vector<check> checks_of(const std::vector<promise> &tried, const findings &found)
{
    bool staged = true;
    for (const finding &f : found.list())
        staged = staged && !f.unstaged;
    promise_set listed;
    if (staged)
        for (promise p : tried)
            listed.add(p);
    for (const finding &f : found.list())
        listed.add(f.which);
    std::vector<check> out;
    for (int k = 0; k < promise_count; ++k) {
        const promise p = static_cast<promise>(k);
        if (!listed.has(p))
            continue;
        check line = {p, result::ok, "", !staged};
        for (const finding &f : found.list())
            if (f.which == p) {
                const bool differs = f.reference || info(p).judged == judgement::one_source;
                line.is = differs ? result::differs : result::not_ok;
                line.what = f.what;
            }
        out.push_back(line);
    }
    return out;
}

const char *word_of(result r)
{
    switch (r) {
    case result::ok: return "ok";
    case result::not_ok: return "not ok";
    case result::differs: return "differs";
    }
    return "ok";
}
