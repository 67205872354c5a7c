/* The layer's one way of ending the process on an error it cannot report
 * otherwise: stdout flushed, one line on stderr, then the exit status. The
 * line is put together by hand and written with write(2), so that the path
 * needs little stack: it also serves a thread that has nearly run out. */
#ifndef SEH_PLATFORM_FATAL_H
#define SEH_PLATFORM_FATAL_H

#include <stdint.h>

class fatal_line {
public:
    fatal_line &operator<<(const char *text);
    fatal_line &hex(uint32_t value); // "0x%08x"
    [[noreturn]] void exit(int status);

private:
    char text_[200];
    unsigned length_ = 0;
};

#endif
