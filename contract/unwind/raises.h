/* How a child of unwind-contract sees what the platform raises, or where
 * it ends the process instead: one file per target. */
#ifndef CONTRACT_UNWIND_RAISES_H
#define CONTRACT_UNWIND_RAISES_H

// In each child, once, before it runs its first situation.
void watch_raises(void);

// Whether the platform raises its statuses to the chain (win32), rather
// than ending the process with them (the linux-i386 layer).
bool platform_raises(void);

#endif
