#include "report.h"

#include <stdarg.h>
#include <stdio.h>

static void line(const char *word, const char *text)
{
    printf("%s%s%s\n", word, text[0] ? " " : "", text);
    fflush(stdout);
}

void report_pending(const char *what) { line("pending", what); }

void report_fail(const char *format, ...)
{
    char text[200];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    line("fail", text);
}

void report_ok(void) { line("ok", ""); }
void report_caught(void) { line("caught", ""); }
void report_returned(const char *how) { line("returned", how); }
void report_done(void) { line("done", ""); }
