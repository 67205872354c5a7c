/* How a check, in its child process, tells the parent what it saw: one line
 * per fact on stdout, flushed at once, since the platform may end the
 * process at any moment. The parent turns them into the check's line. */
#ifndef CONTRACT_REPORT_H
#define CONTRACT_REPORT_H

// What to say if the process ends before the check has seen enough.
void report_pending(const char *what);

// A broken promise, said as what the platform did ("handler called 2
// times"); the first one becomes the check's result.
void report_fail(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Everything the check needed to see was seen (a later report_fail still
// wins).
void report_ok(void);

// A raise of the platform reached the check's own handler at the bottom
// of the chain.
void report_caught(void);

// RtlUnwind came back where it should not have; `how` says in what state
// ("with the chain empty").
void report_returned(const char *how);

// The check's function returned (written by the child's main).
void report_done(void);

#endif
