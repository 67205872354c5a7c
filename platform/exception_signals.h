// The signals that are the processor's exceptions (SIGSEGV, SIGBUS, SIGILL,
// SIGFPE, SIGTRAP): the layer handles them to dispatch the platform's
// exceptions, and to let NtContinue resume a context through the kernel.
#ifndef SEH_PLATFORM_EXCEPTION_SIGNALS_H
#define SEH_PLATFORM_EXCEPTION_SIGNALS_H

// Once, when the layer is loaded: the handlers, for the whole process.
void install_exception_signals(void);

// On each thread the layer attaches: an alternate signal stack of its own,
// on which the handler runs when the thread's stack is full, and the guard
// of its stack (stack_guard.h).
void prepare_thread_for_exceptions(bool main_thread);

#endif
