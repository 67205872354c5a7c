#include "qarvel.h"

// The harness record's handler: passes every exception and unwind on.
extern "C" uint32_t handle_exception(EXCEPTION_RECORD *, void *, void *, void *)
{
    return ExceptionContinueSearch;
}
