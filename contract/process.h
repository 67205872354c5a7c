/* What the contract program needs from the operating system, one file per
 * target: running a check in a process of its own, threads, and ending the
 * process. Free of the platform's headers, so that it can be included
 * beside seh_frame.h. */
#ifndef CONTRACT_PROCESS_H
#define CONTRACT_PROCESS_H

#include <stdint.h>

#include <string>
#include <vector>

struct outcome {
    enum kind { exited, faulted, hung, not_started } how = not_started;
    uint32_t code = 0;         // exit code (exited), signal or exception code (faulted)
    std::string fault;         // what ended it, for faulted
    std::vector<std::string> lines; // what the check reported, line by line
};

// Runs the check `name` in a child process with stdout captured, and waits
// at most timeout_seconds for it to end.
outcome run_check_process(const char *name, int timeout_seconds);

// Called first in a child of run_check_process.
void prepare_child(void);

// The exit code of a process that the platform ends with this status.
uint32_t exit_code_of(uint32_t status);

// Whether the platform's own exception dispatcher can raise a status to the
// chain (false where the platform ends the process instead).
bool platform_raises(void);

// Starts fn(arg) on a new thread as the platform's users start threads and
// waits for it to end; false when the thread could not be started.
bool run_thread(void (*fn)(void *), void *arg);

// Flushes stdout and ends the process at once with `code`.
[[noreturn]] void end_process(uint32_t code);

#endif
