#include "pages.h"

#include <stdio.h>
#include <stdlib.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace {

#ifdef _WIN32
uint32_t map(uint32_t pages, DWORD type, DWORD protection)
{
    void *p = VirtualAlloc(nullptr, pages * page_size(), type, protection);
    if (!p) {
        printf("VirtualAlloc failed: error %lu\n", (unsigned long)GetLastError());
        exit(1);
    }
    return (uint32_t)(uintptr_t)p;
}
#else
uint32_t map(uint32_t pages, int protection)
{
    void *p = mmap(nullptr, pages * page_size(), protection,
                   MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) {
        perror("mmap");
        exit(1);
    }
    return (uint32_t)(uintptr_t)p;
}
#endif

} // namespace

#ifdef _WIN32
uint32_t page_size()
{
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwPageSize;
}

uint32_t no_access_page() { return map(1, MEM_RESERVE | MEM_COMMIT, PAGE_NOACCESS); }

uint32_t released_page()
{
    const uint32_t page = map(1, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    VirtualFree((void *)(uintptr_t)page, 0, MEM_RELEASE);
    return page;
}

uint32_t readable_before_no_access()
{
    const uint32_t first = map(2, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    DWORD old;
    VirtualProtect((void *)(uintptr_t)(first + page_size()), page_size(),
                   PAGE_NOACCESS, &old);
    return first;
}

uint32_t guard_page()
{
    return map(1, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE | PAGE_GUARD);
}
#else
uint32_t page_size() { return (uint32_t)sysconf(_SC_PAGESIZE); }

uint32_t no_access_page() { return map(1, PROT_NONE); }

uint32_t released_page()
{
    const uint32_t page = map(1, PROT_READ | PROT_WRITE);
    munmap((void *)(uintptr_t)page, page_size());
    return page;
}

uint32_t readable_before_no_access()
{
    const uint32_t first = map(2, PROT_READ | PROT_WRITE);
    mprotect((void *)(uintptr_t)(first + page_size()), page_size(), PROT_NONE);
    return first;
}

uint32_t guard_page() { return 0; }
#endif
