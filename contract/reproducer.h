/* What the contract programs' reproducers are written with: a template
 * whose lines are kept by their tags and whose placeholders are filled in,
 * and the C text that fills them. */
#ifndef CONTRACT_REPRODUCER_H
#define CONTRACT_REPRODUCER_H

#include <string>
#include <utility>
#include <vector>

// Keeps the lines of a template whose tags hold, without their tags, and
// fills in its placeholders. A line "@a @!b @c|d text" is kept when the
// feature a is on, b is off, and c or d is on; "{{NAME}}" is replaced by
// what `values` holds for NAME (which may be several lines). Where dropped
// lines leave blank lines in a row, one is kept.
struct template_values {
    std::vector<std::string> features;
    std::vector<std::pair<std::string, std::string>> values;
};
std::string expand(const char *text, const template_values &v);

void set(template_values &v, const char *name, const std::string &value);

// A C string literal of text.
std::string quoted(const std::string &text);
// A comment's lines, wrapped at `width` columns: " * " and the text.
std::string comment(const std::string &text, size_t width = 78);

// What every reproducer begins with: the platform's records and context as
// a handler sees them (the context's fields with the feature "full_context"),
// RtlUnwind and AddVectoredExceptionHandler, and the thread's block at FS,
// read and written: a template of its own.
extern const char reproducer_prelude[];

#endif
