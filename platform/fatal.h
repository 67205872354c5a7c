/* The layer's one way of ending the process on an error it cannot report
 * otherwise: stdout flushed, one line on stderr, then the exit status; and
 * of saying what it could not do exactly. The line is put together by hand
 * and written with write(2), so that the path needs little stack and may
 * run in a signal handler: it also serves a thread that has nearly run
 * out. */
#ifndef SEH_PLATFORM_FATAL_H
#define SEH_PLATFORM_FATAL_H

#include <stdint.h>

class fatal_line {
public:
    fatal_line &operator<<(const char *text);
    fatal_line &hex(uint32_t value);    // "0x%08x"
    fatal_line &number(uint32_t value); // "%u"
    [[noreturn]] void exit(int status);
    void say(); // the line alone, and the process goes on

private:
    char text_[400];
    unsigned length_ = 0;
};

#endif
