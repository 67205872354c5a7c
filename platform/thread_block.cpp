// One NT_TIB per thread, with the FS segment based on it: a TLS descriptor
// of the GDT (set_thread_area) whose base is the block. glibc on i386 uses GS
// for its own TLS, so FS is free. Every thread uses the same GDT slot, whose
// contents the kernel switches per thread.
//
// The main thread gets its block when the layer is loaded; every other
// thread gets one in the start trampoline of the layer's pthread_create,
// which stands in front of the C library's. The block is thread-local and
// stays valid, with FS on it, until the thread is gone: the thread's
// thread_local and key destructors still find their chain.
#include <asm/ldt.h>
#include <dlfcn.h>
#include <errno.h>
#include <link.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/auxv.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "exception_signals.h"
#include "fatal.h"
#include "thread_block.h"

extern "C" void *__libc_stack_end; // the stack pointer at process start

__thread NT_TIB thread_block __attribute__((tls_model("initial-exec")));

namespace {

// The GDT slot, chosen by the kernel for the first thread attached and then
// used by every thread. Threads may be attached concurrently.
pthread_mutex_t gdt_lock = PTHREAD_MUTEX_INITIALIZER;
int gdt_entry = -1;

[[noreturn]] void cannot_attach(const char *what, int error)
{
    fatal_line line;
    line << "seh_platform: " << what;
    if (error != 0)
        line << ": " << strerror(error);
    line.exit(SEH_PLATFORM_EXIT_NO_BLOCK);
}

void load_fs(uint16_t selector)
{
    __asm__ volatile("movw %0, %%fs" : : "r"(selector) : "memory");
}

uint32_t round_up(uint32_t value, uint32_t page)
{
    return (value + page - 1) & ~(page - 1);
}

// The stack of the calling thread, as the C library describes it; 0 or the
// error.
int described_stack(stack_range *out)
{
    pthread_attr_t attr;
    void *low;
    size_t size;
    int error = pthread_getattr_np(pthread_self(), &attr);
    if (error != 0)
        return error;
    error = pthread_attr_getstack(&attr, &low, &size);
    pthread_attr_destroy(&attr);
    if (error == 0)
        *out = {seh_addr(low), seh_addr(low) + static_cast<uint32_t>(size)};
    return error;
}

// The main thread's stack as the C library describes it, derived from the
// stack's resource limit without reading /proc/self/maps as it does (some
// 40,000 instructions of every program's start); false where the limit
// does not tell.
//
// pthread_getattr_np takes the top to be the end of the page holding
// __libc_stack_end, and lets the stack grow down as far as the limit
// allows, counted from the end of the mapping that holds the initial stack,
// but not into the mapping below. The end of the mapping is the end of the
// page holding the program's file name, which the kernel, qemu-user and
// valgrind all put last on the initial stack. With a limit of at most
// 16 MiB no mapping lies where the limit reaches: the kernel keeps the
// limit and a gap below the stack free of mappings, qemu-user maps a stack
// of the limit with its guard page right below, and valgrind a stack of
// the limit too (of 1 MiB below that). Above 16 MiB valgrind caps its
// stack, and an unlimited stack ends only at the mapping below: only the
// file tells those.
bool main_stack_from_limit(stack_range *out)
{
    constexpr rlim_t largest = 16u << 20;
    struct rlimit limit;
    const auto *name = reinterpret_cast<const char *>(getauxval(AT_EXECFN));
    if (!name || getrlimit(RLIMIT_STACK, &limit) != 0 || limit.rlim_cur > largest)
        return false;
    const uint32_t page = static_cast<uint32_t>(sysconf(_SC_PAGESIZE));
    const uint32_t top = round_up(seh_addr(__libc_stack_end) + 1, page);
    const uint32_t mapping_end = round_up(seh_addr(name) + strlen(name) + 1, page);
    const uint32_t above = mapping_end - top; // the strings above the top
    if (mapping_end < top || above > limit.rlim_cur)
        return false;
    const uint32_t size = (static_cast<uint32_t>(limit.rlim_cur) - above) & ~(page - 1);
    if (size > top)
        return false;
    *out = {top - size, top};
    return true;
}

// The C library reads the main thread's stack from /proc/self/maps. Without
// /proc, bounds that still hold: the top is the end of the page holding the
// program's file name, which the kernel puts last on the initial stack; the
// stack may grow down from there as far as its resource limit allows (a
// limit of 8 MiB stands in for none).
stack_range main_stack_without_proc(void)
{
    const uint32_t page = static_cast<uint32_t>(sysconf(_SC_PAGESIZE));
    const auto *name = reinterpret_cast<const char *>(getauxval(AT_EXECFN));
    const uint32_t top = name ? round_up(seh_addr(name) + strlen(name) + 1, page)
                              : round_up(seh_addr(__libc_stack_end), page);
    constexpr uint32_t cap = 8u << 20;
    struct rlimit limit;
    uint32_t size = cap;
    if (getrlimit(RLIMIT_STACK, &limit) == 0 && limit.rlim_cur < cap)
        size = static_cast<uint32_t>(limit.rlim_cur) & ~(page - 1);
    return {top - size, top};
}

// Bases the calling thread's FS on tib.
void base_fs_on(const NT_TIB *tib)
{
    struct user_desc desc = {};
    desc.base_addr = seh_addr(tib);
    desc.limit = sizeof(NT_TIB) - 1;
    desc.seg_32bit = 1;
    desc.contents = 0; // data, expand-up
    desc.useable = 1;
    pthread_mutex_lock(&gdt_lock);
    desc.entry_number = static_cast<unsigned>(gdt_entry);
    const long rc = syscall(SYS_set_thread_area, &desc);
    const int error = errno;
    if (rc == 0)
        gdt_entry = static_cast<int>(desc.entry_number);
    pthread_mutex_unlock(&gdt_lock);
    if (rc != 0)
        cannot_attach("set_thread_area", error);
    load_fs(static_cast<uint16_t>(desc.entry_number << 3 | 3));
}

// Gives the calling thread its block: empty chain, its stack bounds, and FS.
void attach(stack_range stack)
{
    thread_block = NT_TIB{};
    thread_block.ExceptionList = seh_record(SEH_CHAIN_END);
    thread_block.StackLimit = reinterpret_cast<void *>(stack.low);
    thread_block.StackBase = reinterpret_cast<void *>(stack.high);
    thread_block.Self = &thread_block;
    base_fs_on(&thread_block);
}

__attribute__((constructor)) void attach_main_thread(void)
{
    stack_range stack;
    if (!main_stack_from_limit(&stack) && described_stack(&stack) != 0)
        stack = main_stack_without_proc();
    attach(stack);
    install_exception_signals();
    prepare_thread_for_exceptions(true);
}

struct start_request {
    void *(*start)(void *);
    void *arg;
};

int lower_below_tls(dl_phdr_info *info, size_t, void *data)
{
    auto *stack = static_cast<stack_range *>(data);
    const uint32_t block = seh_addr(info->dlpi_tls_data);
    if (block > stack->low && block < stack->high)
        stack->high = block;
    return 0;
}

// The C library describes a new thread's whole allocation, whose top holds
// the thread's static TLS and its descriptor, the last bytes of which the
// kernel writes (the rseq area): the stack ends below the lowest of them
// that lies in it (a TLS block allocated later lies elsewhere), as a
// Windows thread's stack holds no part of its thread block.
void keep_below_tls(stack_range *stack)
{
    const uint32_t descriptor = seh_addr(reinterpret_cast<void *>(pthread_self()));
    if (descriptor > stack->low && descriptor < stack->high)
        stack->high = descriptor;
    dl_iterate_phdr(lower_below_tls, stack);
    stack->high &= ~15u;
}

void *start_with_block(void *p)
{
    const start_request request = *static_cast<start_request *>(p);
    free(p);
    stack_range stack;
    if (const int error = described_stack(&stack))
        cannot_attach("cannot read the new thread's stack bounds", error);
    keep_below_tls(&stack);
    attach(stack);
    prepare_thread_for_exceptions(false);
    return request.start(request.arg);
}

using pthread_create_fn = int(pthread_t *, const pthread_attr_t *,
                              void *(*)(void *), void *);

// The C library's pthread_create, found by version so that it is found
// whatever the order of the libraries.
pthread_create_fn *c_library_pthread_create(void)
{
    static pthread_create_fn *found;
    pthread_create_fn *fn = __atomic_load_n(&found, __ATOMIC_ACQUIRE);
    if (fn)
        return fn;
    if (void *libc = dlopen("libc.so.6", RTLD_NOLOAD | RTLD_LAZY)) {
        fn = reinterpret_cast<pthread_create_fn *>(
            dlvsym(libc, "pthread_create", "GLIBC_2.34"));
        dlclose(libc);
    }
    if (!fn)
        cannot_attach("libc.so.6 has no pthread_create@GLIBC_2.34", 0);
    __atomic_store_n(&found, fn, __ATOMIC_RELEASE);
    return fn;
}

} // namespace

// Off the thread's stack: on the alternate signal stack, or nowhere known
// (then the thread's bounds, which refuse every record there).
void signal_stack_in_use(const NT_TIB *tib, stack_range *out)
{
    stack_t alternate;
    if (sigaltstack(nullptr, &alternate) == 0 && (alternate.ss_flags & SS_ONSTACK))
        *out = {seh_addr(alternate.ss_sp),
                seh_addr(alternate.ss_sp) + static_cast<uint32_t>(alternate.ss_size)};
    else
        *out = {seh_addr(tib->StackLimit), seh_addr(tib->StackBase)};
}

extern "C" NT_TIB *tib_current(void)
{
    NT_TIB *self;
    __asm__ volatile("movl %%fs:0x18, %0" : "=r"(self) : : "memory");
    return self;
}

extern "C" bool tib_is_own(const NT_TIB *tib)
{
    return tib == own_block() && tib != nullptr;
}

// Every thread started through pthread_create, by the program or by a
// library such as libstdc++ for std::thread, starts in start_with_block.
extern "C" SEH_PLATFORM_API int pthread_create(pthread_t *thread,
                                               const pthread_attr_t *attr,
                                               void *(*start)(void *),
                                               void *arg) noexcept
{
    pthread_create_fn *create = c_library_pthread_create();
    auto *request = static_cast<start_request *>(malloc(sizeof(start_request)));
    if (!request)
        return EAGAIN;
    *request = start_request{start, arg};
    const int rc = create(thread, attr, start_with_block, request);
    if (rc != 0)
        free(request);
    return rc;
}
