#include "verdict.h"

#include <stdio.h>

namespace {

struct known_status {
    uint32_t status;
    const char *name;
};

const known_status known[] = {
    {status_invalid_disposition, "STATUS_INVALID_DISPOSITION"},
    {status_unwind, "STATUS_UNWIND"},
    {status_bad_stack, "STATUS_BAD_STACK"},
    {status_invalid_unwind_target, "STATUS_INVALID_UNWIND_TARGET"},
    {status_stack_overflow, "STATUS_STACK_OVERFLOW"},
};

bool said(const outcome &o, const std::string &word)
{
    for (const std::string &line : o.lines)
        if (line == word)
            return true;
    return false;
}

// The text of the first line that starts with `word `, or "".
std::string first(const outcome &o, const std::string &word, bool last = false)
{
    std::string found;
    for (const std::string &line : o.lines)
        if (line.compare(0, word.size() + 1, word + " ") == 0) {
            found = line.substr(word.size() + 1);
            if (!last)
                break;
        }
    return found;
}

bool exited_with(const outcome &o, uint32_t status)
{
    return o.how == outcome::exited && o.code == exit_code_of(status) &&
           !said(o, "done");
}

std::string describe(const outcome &o)
{
    char text[160];
    switch (o.how) {
    case outcome::not_started:
        return "the check's process could not be started";
    case outcome::hung:
        return "hung";
    case outcome::faulted:
        snprintf(text, sizeof text, "ended by %s (0x%08lX)", o.fault.c_str(),
                 (unsigned long)o.code);
        return platform_raises() ? text : o.fault;
    case outcome::exited:
        break;
    }
    if (o.code == 0) {
        const std::string how = first(o, "returned");
        if (!said(o, "done"))
            return "the process ended before the check was done";
        return how.empty() ? "RtlUnwind returned" : "RtlUnwind returned " + how;
    }
    const char *name = nullptr;
    for (const known_status &k : known)
        if (o.code == exit_code_of(k.status))
            name = k.name;
    if (!platform_raises() && o.code == 70)
        name = "the layer's exit for a thread without a block of its own";
    if (name)
        snprintf(text, sizeof text, "ended with exit code 0x%lX (%s)",
                 (unsigned long)o.code, name);
    else
        snprintf(text, sizeof text, "ended with exit code 0x%lX", (unsigned long)o.code);
    return text;
}

} // namespace

verdict judge(const check &c, const outcome &o)
{
    if (o.how == outcome::hung || o.how == outcome::not_started)
        return {verdict::not_ok, describe(o)};
    const std::string failure = first(o, "fail");
    if (!failure.empty())
        return {verdict::not_ok, failure};

    bool ended_well = false;
    switch (c.end) {
    case ending::returns:
        ended_well = o.how == outcome::exited && o.code == 0 && said(o, "done");
        break;
    case ending::unwind_end:
        ended_well = (o.how == outcome::exited && o.code == 0 && said(o, "done")) ||
                     exited_with(o, status_unwind);
        break;
    case ending::status:
        if (exited_with(o, c.status) || (c.also && exited_with(o, c.also)))
            return {verdict::ok, ""};
        break;
    case ending::reference:
        if (exited_with(o, c.status))
            return {verdict::ok, ""};
        if (o.how == outcome::exited)
            return {verdict::differs, describe(o)};
        break;
    case ending::raise:
        if (said(o, "caught") && said(o, "ok"))
            return {verdict::ok, ""};
        if (exited_with(o, c.status))
            return platform_raises()
                       ? verdict{verdict::not_ok, describe(o) + " without raising it to the chain"}
                       : verdict{verdict::ok, ""};
        break;
    }
    if (!ended_well)
        return {verdict::not_ok, describe(o)};
    if (!said(o, "ok")) {
        const std::string pending = first(o, "pending", true);
        return {verdict::not_ok, pending.empty() ? "the check did not finish" : pending};
    }
    return {verdict::ok, ""};
}

std::string line_of(const check &c, const verdict &v)
{
    static const char *const words[] = {"ok", "not ok", "differs"};
    std::string line = std::string(words[v.result]) + " " + c.id + " " + c.description;
    if (v.result != verdict::ok)
        line += ": " + v.what;
    return line;
}
