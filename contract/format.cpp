#include "format.h"

#include <stdarg.h>
#include <stdio.h>

std::string format(const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    char small[256];
    const int n = vsnprintf(small, sizeof small, fmt, args);
    va_end(args);
    if (n < 0)
        return "";
    if (static_cast<size_t>(n) < sizeof small)
        return small;
    std::string text(static_cast<size_t>(n) + 1, '\0');
    va_start(args, fmt);
    vsnprintf(&text[0], text.size(), fmt, args);
    va_end(args);
    text.resize(static_cast<size_t>(n));
    return text;
}
