#include "qarvel.h"

extern "C" {
uint32_t saved_exception_frame = 0;
uint32_t saved_ebp = 0;
}
