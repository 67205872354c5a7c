// The process's vectored exception handlers (V1-V5, V8): a list in the
// order they are called, under a lock that is never held while a handler
// runs. A handler may add or remove handlers, itself included, raise, or
// leave by unwinding; one removed while it runs is freed once no call of it
// is running. Handles are numbers that are never given twice (until 2^32
// have been), so that a handle already removed stays refused.
#include <errno.h>
#include <pthread.h>
#include <stdlib.h>

#include "dispatch.h"

namespace {

struct entry {
    entry *next;
    PVECTORED_EXCEPTION_HANDLER handler;
    uint32_t handle;
    uint32_t running; // calls of it in progress, on any thread
    bool removed;
};

// Error-checking, so that an exception raised on a thread that holds the
// lock (inside AddVectoredExceptionHandler, say) skips the handlers rather
// than waiting for itself.
pthread_mutex_t lock = PTHREAD_ERRORCHECK_MUTEX_INITIALIZER_NP;
entry *first; // read without the lock only to see that there is none
uint32_t last_handle;

void unlink(entry *e)
{
    entry **at = &first;
    while (*at != e)
        at = &(*at)->next;
    *at = e->next;
}

} // namespace

extern "C" SEH_PLATFORM_API PVOID WINAPI
AddVectoredExceptionHandler(ULONG First, PVECTORED_EXCEPTION_HANDLER Handler)
{
    if (!Handler)
        return nullptr;
    auto *e = static_cast<entry *>(malloc(sizeof(entry)));
    if (!e)
        return nullptr;
    e->handler = Handler;
    e->running = 0;
    e->removed = false;
    pthread_mutex_lock(&lock);
    if (++last_handle == 0)
        ++last_handle;
    e->handle = last_handle;
    entry **at = &first;
    if (!First)
        while (*at)
            at = &(*at)->next;
    e->next = *at;
    __atomic_store_n(at, e, __ATOMIC_RELEASE);
    pthread_mutex_unlock(&lock);
    return reinterpret_cast<PVOID>(static_cast<uintptr_t>(e->handle));
}

extern "C" SEH_PLATFORM_API ULONG WINAPI RemoveVectoredExceptionHandler(PVOID Handle)
{
    const uint32_t handle = seh_addr(Handle);
    pthread_mutex_lock(&lock);
    entry *e = first;
    while (e && (e->handle != handle || e->removed))
        e = e->next;
    if (e) {
        e->removed = true;
        if (e->running == 0) {
            unlink(e);
            free(e);
        }
    }
    pthread_mutex_unlock(&lock);
    return e != nullptr;
}

int32_t call_vectored_handlers(EXCEPTION_POINTERS *pointers)
{
    if (!__atomic_load_n(&first, __ATOMIC_ACQUIRE))
        return EXCEPTION_CONTINUE_SEARCH;
    if (pthread_mutex_lock(&lock) == EDEADLK)
        return EXCEPTION_CONTINUE_SEARCH;
    int32_t answer = EXCEPTION_CONTINUE_SEARCH;
    for (entry *e = first; e && answer != EXCEPTION_CONTINUE_EXECUTION;) {
        if (e->removed) {
            e = e->next;
            continue;
        }
        ++e->running;
        pthread_mutex_unlock(&lock);
        answer = call_program(reinterpret_cast<void *>(e->handler), pointers);
        pthread_mutex_lock(&lock);
        --e->running;
        entry *next = e->next;
        if (e->removed && e->running == 0) {
            unlink(e);
            free(e);
        }
        e = next;
    }
    pthread_mutex_unlock(&lock);
    return answer == EXCEPTION_CONTINUE_EXECUTION ? answer : EXCEPTION_CONTINUE_SEARCH;
}
