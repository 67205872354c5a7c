// printf into a std::string.
#ifndef CONTRACT_FORMAT_H
#define CONTRACT_FORMAT_H

#include <string>

std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

#endif
