#include "readable.h"

#include <string.h>
#include <windows.h>

// The page holding addr is committed and its protection lets it be read.
static bool readable_page(uint32_t addr)
{
    MEMORY_BASIC_INFORMATION info;
    if (VirtualQuery(reinterpret_cast<LPCVOID>(addr), &info, sizeof info) != sizeof info)
        return false;
    if (info.State != MEM_COMMIT || (info.Protect & (PAGE_GUARD | PAGE_NOACCESS)))
        return false;
    const DWORD readable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY |
                           PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE |
                           PAGE_EXECUTE_WRITECOPY;
    return (info.Protect & readable) != 0;
}

// At most a page: both ends decide, since the bytes span one page or two.
bool read_memory(uint32_t addr, void *out, uint32_t size)
{
    if (size == 0)
        return true;
    if (addr + size - 1 < addr)
        return false; // wraps past the top of the address space
    if (!readable_page(addr) || !readable_page(addr + size - 1))
        return false;
    memcpy(out, reinterpret_cast<const void *>(addr), size);
    return true;
}
