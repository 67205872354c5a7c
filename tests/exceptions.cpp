#include "exceptions.h"

namespace {

handling *current;

LONG WINAPI on_exception(EXCEPTION_POINTERS *x)
{
    uint32_t flags;
    __asm__ volatile("pushfl\n\tpopl %0" : "=r"(flags));
    handling *h = current;
    if (!h)
        return EXCEPTION_CONTINUE_SEARCH;
    h->seen.push_back({*x->ExceptionRecord, *x->ContextRecord, x->ExceptionRecord,
                       x->ContextRecord, flags});
    return h->answer ? h->answer(x, h->seen.back()) : EXCEPTION_CONTINUE_SEARCH;
}

} // namespace

handling::handling(answer_fn answer) : answer(std::move(answer))
{
    current = this;
    handle_ = AddVectoredExceptionHandler(1, on_exception);
}

handling::~handling()
{
    RemoveVectoredExceptionHandler(handle_);
    current = nullptr;
}

LONG resume_at(EXCEPTION_POINTERS *x, const void *eip)
{
    x->ContextRecord->Eip = static_cast<DWORD>(reinterpret_cast<uintptr_t>(eip));
    return EXCEPTION_CONTINUE_EXECUTION;
}

LONG return_from_fault(EXCEPTION_POINTERS *x, uint32_t value)
{
    CONTEXT &c = *x->ContextRecord;
    c.Eip = *reinterpret_cast<const DWORD *>(static_cast<uintptr_t>(c.Esp));
    c.Esp += 4;
    c.Eax = value;
    return EXCEPTION_CONTINUE_EXECUTION;
}
