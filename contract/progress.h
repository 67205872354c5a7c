/* A situation that makes no progress for long has hung: staging notes
 * progress (a handler call, say) so that a slow platform is not taken for
 * one that hangs. */
#ifndef CONTRACT_PROGRESS_H
#define CONTRACT_PROGRESS_H

void note_progress(void);

#endif
