/* How a child of unwind-contract sees what the platform raises. */
#ifndef CONTRACT_UNWIND_RAISES_H
#define CONTRACT_UNWIND_RAISES_H

// In each child, once, before it runs its first situation.
void watch_raises(void);

#endif
