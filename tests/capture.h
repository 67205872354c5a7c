// Helpers shared by the unit tests.
#ifndef TESTS_CAPTURE_H
#define TESTS_CAPTURE_H

#include <functional>
#include <string>

#include "seh_frame.h"

// Everything that fn prints to stdout.
std::string captured_stdout(const std::function<void()> &fn);

// Runs fn on a new thread started with pthread_create, and waits.
void on_new_thread(const std::function<void()> &fn);

// "0x%08lx" of a 32-bit address.
std::string hex(uint32_t value);

#endif
