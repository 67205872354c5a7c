#include "fatal.h"

#include <stdio.h>
#include <unistd.h>

fatal_line &fatal_line::operator<<(const char *text)
{
    while (*text && length_ < sizeof text_ - 1)
        text_[length_++] = *text++;
    return *this;
}

fatal_line &fatal_line::hex(uint32_t value)
{
    char digits[11] = "0x";
    for (int i = 0; i < 8; ++i)
        digits[2 + i] = "0123456789abcdef"[value >> (28 - 4 * i) & 0xF];
    digits[10] = '\0';
    return *this << digits;
}

fatal_line &fatal_line::number(uint32_t value)
{
    char digits[11];
    unsigned at = sizeof digits - 1;
    digits[at] = '\0';
    do
        digits[--at] = static_cast<char>('0' + value % 10);
    while ((value /= 10) != 0);
    return *this << digits + at;
}

void fatal_line::say()
{
    text_[length_++] = '\n';
    for (unsigned done = 0; done < length_;) {
        const ssize_t n = write(2, text_ + done, length_ - done);
        if (n <= 0)
            break;
        done += static_cast<unsigned>(n);
    }
    length_ = 0;
}

void fatal_line::exit(int status)
{
    // Whatever the program printed before the error reaches its reader,
    // even when stdout is a pipe or a file.
    fflush(stdout);
    say();
    _exit(status);
}
