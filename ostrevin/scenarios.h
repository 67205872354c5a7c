/* The five scenarios of the test sequence, each run under the harness, and
 * the handlers and words they use. */
#ifndef OSTREVIN_SCENARIOS_H
#define OSTREVIN_SCENARIOS_H

#include <stdint.h>

#include "seh_frame.h"

#ifdef __cplusplus
extern "C" {
#endif

void test_01_just_return(void);
void test_02_dangling_frame(void);
void test_03_unwind_nothing(void);
void test_04_clean_unwind_frame(void);
void test_05_dirty_unwind_frame(void);

uint32_t handle_exception_clean_unwind(EXCEPTION_RECORD *exception_record,
                                       void *frame, void *context,
                                       void *dispatcher_context);
uint32_t handle_exception_dirty_unwind(EXCEPTION_RECORD *exception_record,
                                       void *frame, void *context,
                                       void *dispatcher_context);
void invoke_dirty_unwind(void);

/* Test 5's record pair, installed in front of the head: records[0] first,
 * both with the dirty-unwind handler, dirty_exception_frame naming it. */
void install_dirty_pair(EXCEPTION_REGISTRATION_RECORD records[2]);

/* Test 5's resume pair: the first of its two records, and the frame pointer
 * recorded by its invoke_callback calls. */
extern uint32_t dirty_exception_frame;
extern uint32_t dirty_unwind_target;

#ifdef __cplusplus
}
#endif

#endif
