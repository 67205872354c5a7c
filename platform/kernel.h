// The kernel's calls that the layer makes for its exceptions, made directly
// (int $0x80) rather than through the C library: nothing of them is bound
// when the layer is loaded, and they behave the same in a signal handler.
// Each returns the kernel's result: a negative errno on failure.
#ifndef SEH_PLATFORM_KERNEL_H
#define SEH_PLATFORM_KERNEL_H

#include <asm/unistd.h>
#include <stdint.h>

extern "C" {
// kernel_call.S: the call numbered `number` with up to six arguments.
__attribute__((visibility("hidden"))) long kernel_call(long number, long a = 0, long b = 0,
                                                       long c = 0, long d = 0, long e = 0,
                                                       long f = 0);
// Where a handler installed by kernel_sigaction returns: rt_sigreturn.
__attribute__((visibility("hidden"))) void kernel_signal_return(void);
}

template <class T> long word(T value) { return (long)(value); }

inline void *kernel_mmap(void *at, uint32_t size, int protection, int flags)
{
    return (void *)kernel_call(__NR_mmap2, word(at), word(size), protection, flags, -1, 0);
}
inline bool kernel_failed(const void *result) { return (uint32_t)(uintptr_t)result > 0xFFFFF000u; }
inline long kernel_munmap(void *at, uint32_t size) { return kernel_call(__NR_munmap, word(at), word(size)); }
inline long kernel_mprotect(void *at, uint32_t size, int protection)
{
    return kernel_call(__NR_mprotect, word(at), word(size), protection);
}
inline long kernel_thread_id(void) { return kernel_call(__NR_gettid); }
inline long kernel_process_id(void) { return kernel_call(__NR_getpid); }

// The kernel's struct sigaction (not the C library's), whose restorer is
// kernel_signal_return.
constexpr unsigned long kernel_restorer_flag = 0x04000000; // SA_RESTORER
struct kernel_sigaction {
    void (*handler)(int, void *, void *);
    unsigned long flags;
    void (*restorer)(void);
    uint32_t mask[2];
};
inline long kernel_sigaction_set(int signal, const kernel_sigaction *action)
{
    return kernel_call(__NR_rt_sigaction, signal, word(action), 0, 8);
}

#endif
