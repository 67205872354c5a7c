// The assembly probes of probes.S.
#ifndef TESTS_PROBES_H
#define TESTS_PROBES_H

#include <stdint.h>

extern "C" {
void call_with_callee_saved(void (*fn)(void *), void *arg, uint32_t out[3]);
void clobber_and_unwind(void);
uint32_t probe_invoke_callback(uint32_t (*cb)(void), uint32_t *out);
extern char probe_return_site[];
uint32_t unbalanced_high_callback(void);
uint32_t unbalanced_low_callback(void);
void rtl_unwind_probe(uint32_t target, uint32_t value, uint32_t out[5]);
void trace_marked(uint32_t frame[2]);
extern char trace_return_site[];
void trace_from_frame(uint32_t fp);
extern char trace_from_frame_site[];
uint32_t call_shifted(uint32_t words, uint32_t (*fn)(uint32_t, uint32_t),
                      uint32_t a, uint32_t b);
uint32_t entry_stack_above_return(void);
}

// The values that call_with_callee_saved and rtl_unwind_probe load.
constexpr uint32_t probe_ebx = 0x0bb0bb0b;
constexpr uint32_t probe_esi = 0x05150515;
constexpr uint32_t probe_edi = 0x0d1d0d1d;

#endif
