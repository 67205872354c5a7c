// One NT_TIB per thread, with the FS segment based on it: a TLS descriptor
// of the GDT (set_thread_area) whose base is the block. glibc on i386 uses GS
// for its own TLS, so FS is free. Every thread uses the same GDT slot, whose
// contents the kernel switches per thread.
#include <asm/ldt.h>
#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "nt_tib.h"

namespace {

// Initial-exec: the layer is loaded with the program, and RtlUnwind checks
// the block on every call, so reaching it must cost no more than GS access.
__attribute__((tls_model("initial-exec"))) thread_local NT_TIB block;
int gdt_entry = -1; // chosen by the kernel for the main thread, then reused

[[noreturn]] void fail(const char *what, int error)
{
    fprintf(stderr, "seh_platform: %s: %s\n", what, strerror(error));
    _exit(SEH_PLATFORM_EXIT_NO_BLOCK);
}

void load_fs(uint16_t selector)
{
    __asm__ volatile("movw %0, %%fs" : : "r"(selector) : "memory");
}

// Gives the calling thread its block: empty chain, its stack bounds, and FS.
void attach(void)
{
    pthread_attr_t attr;
    void *low;
    size_t size;
    int error = pthread_getattr_np(pthread_self(), &attr);
    if (error != 0)
        fail("cannot read the thread's stack bounds", error);
    error = pthread_attr_getstack(&attr, &low, &size);
    pthread_attr_destroy(&attr);
    if (error != 0)
        fail("cannot read the thread's stack bounds", error);

    block = NT_TIB{};
    block.ExceptionList = SEH_CHAIN_END;
    block.StackLimit = seh_addr(low);
    block.StackBase = seh_addr(low) + size;
    block.Self = seh_addr(&block);

    struct user_desc desc = {};
    desc.entry_number = (unsigned)gdt_entry;
    desc.base_addr = seh_addr(&block);
    desc.limit = sizeof(NT_TIB) - 1;
    desc.seg_32bit = 1;
    desc.contents = 0; // data, expand-up
    desc.useable = 1;
    if (syscall(SYS_set_thread_area, &desc) != 0)
        fail("set_thread_area", errno);
    gdt_entry = (int)desc.entry_number;
    load_fs((uint16_t)(gdt_entry << 3 | 3));
}

// When a thread started here ends, by returning or by pthread_exit, it lets
// go of FS, whose base is its thread-local block that glibc is about to free.
struct attachment {
    attachment() { attach(); }
    ~attachment() { load_fs(0); }
};

struct start_request {
    void *(*start)(void *);
    void *arg;
};

void *thread_entry(void *p)
{
    start_request request = *static_cast<start_request *>(p);
    free(p);
    attachment attached;
    return request.start(request.arg);
}

__attribute__((constructor)) void attach_main_thread(void) { attach(); }

} // namespace

extern "C" NT_TIB *tib_current(void)
{
    uint32_t self;
    __asm__ volatile("movl %%fs:0x18, %0" : "=r"(self) : : "memory");
    return reinterpret_cast<NT_TIB *>(self);
}

extern "C" bool tib_is_own(const NT_TIB *tib) { return tib == &block; }

extern "C" int tib_thread_create(pthread_t *thread, const pthread_attr_t *attr,
                                 void *(*start)(void *), void *arg)
{
    auto *request =
        static_cast<start_request *>(malloc(sizeof(start_request)));
    if (!request)
        return ENOMEM;
    *request = start_request{start, arg};
    int rc = pthread_create(thread, attr, thread_entry, request);
    if (rc != 0)
        free(request);
    return rc;
}
