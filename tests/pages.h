// Pages that cannot be read, made with each target's own calls, for the
// tracer tests on both targets.
#ifndef TESTS_PAGES_H
#define TESTS_PAGES_H

#include <stdint.h>

uint32_t page_size();

// A page that is mapped (reserved) with no access at all.
uint32_t no_access_page();

// A page that was mapped and has been released again.
uint32_t released_page();

// Two pages, the first readable and writable, the second with no access;
// returns the first.
uint32_t readable_before_no_access();

// A committed page with the guard flag (win32), which a first read would
// turn into an exception; 0 on targets without such pages.
uint32_t guard_page();

#endif
