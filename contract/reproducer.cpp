// The writer of reproducers: a template's lines kept by their tags, its
// placeholders filled in, and the C text it needs.
#include "reproducer.h"

#include <string.h>

#include <algorithm>

const char reproducer_prelude[] =
#include "reproducer_prelude.inc"
    ;

std::string quoted(const std::string &text)
{
    std::string out = "\"";
    for (char c : text)
        out += c == '"' || c == '\\' ? std::string("\\") + c : std::string(1, c);
    return out + "\"";
}

std::string comment(const std::string &text, size_t width)
{
    std::string out, line;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(' ', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string word = text.substr(start, end - start);
        if (!line.empty() && 3 + line.size() + 1 + word.size() > width) {
            out += " * " + line + "\n";
            line.clear();
        }
        line += (line.empty() ? "" : " ") + word;
        start = end + 1;
    }
    if (!line.empty())
        out += " * " + line + "\n";
    if (!out.empty())
        out.pop_back();
    return out;
}

void set(template_values &v, const char *name, const std::string &value)
{
    v.values.emplace_back(name, value);
}


std::string expand(const char *text, const template_values &v)
{
    auto on = [&](const std::string &feature) {
        return std::find(v.features.begin(), v.features.end(), feature) != v.features.end();
    };
    std::string out;
    const char *line = text;
    while (*line) {
        const char *end = strchr(line, '\n');
        std::string l(line, end ? static_cast<size_t>(end - line) : strlen(line));
        line = end ? end + 1 : line + l.size();
        bool keep = true;
        while (l.size() > 1 && l[0] == '@' && l[1] != ' ') {
            const size_t space = l.find(' ');
            const std::string tag =
                l.substr(1, space == std::string::npos ? std::string::npos : space - 1);
            bool any = false;
            for (size_t start = 0, bar;; start = bar + 1) {
                bar = tag.find('|', start);
                const std::string one = tag.substr(start, bar - start);
                const bool negated = one[0] == '!';
                any = any || on(negated ? one.substr(1) : one) != negated;
                if (bar == std::string::npos)
                    break;
            }
            keep = keep && any;
            l = space == std::string::npos ? "" : l.substr(space + 1);
        }
        if (!keep)
            continue;
        for (size_t at = 0; (at = l.find("{{", at)) != std::string::npos;) {
            const size_t close = l.find("}}", at);
            const std::string name =
                close == std::string::npos ? "" : l.substr(at + 2, close - at - 2);
            if (name.empty() || name.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ_") !=
                                    std::string::npos) {
                ++at;
                continue;
            }
            std::string value = "{{?" + name + "}}";
            for (const auto &one : v.values)
                if (one.first == name)
                    value = one.second;
            l.replace(at, close + 2 - at, value);
            at += value.size();
        }
        // Lines whose tags left a gap: one blank line at most.
        if (!l.empty() || out.size() < 2 || out.compare(out.size() - 2, 2, "\n\n") != 0)
            out += l + "\n";
    }
    return out;
}
