// A processor exception, as a signal reports it, in the platform's terms
// (X1-X10): the exception record's code, address and parameters, and the
// Eip of its context.
#ifndef SEH_PLATFORM_PROCESSOR_EXCEPTION_H
#define SEH_PLATFORM_PROCESSOR_EXCEPTION_H

#include <signal.h>
#include <stdint.h>
#include <ucontext.h>

#include "nt_tib.h"

struct processor_exception {
    uint32_t code;
    uint32_t address; // ExceptionAddress
    uint32_t eip;     // the context's Eip
    uint32_t parameters;
    uint32_t information[3];
    bool clear_trap_flag; // a single step: TF is cleared in the context
    // What the signal frame could not tell (it carries no trap number), for
    // the line on stderr; null when nothing was left to doubt.
    const char *doubt;
};

// Fills `out` for the signal; false when the signal is not a processor
// exception (a process sent it).
bool describe_processor_exception(int signal, const siginfo_t *info, const ucontext_t *uc,
                                  processor_exception *out);

// The floating-point state of the frame: the fsave image, and the fxsave
// image after it when the frame's magic says it is there (null otherwise).
const uint8_t *fsave_image(const ucontext_t *uc);
const uint8_t *fxsave_image(const ucontext_t *uc);

#endif
