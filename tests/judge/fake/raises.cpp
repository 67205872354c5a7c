// A win32 program that prints the transcript up to test 5's label and then
// raises a status that nothing handles, as an unwinder raises one: Wine ends
// the process with the low byte of the code and says so on stderr. The
// status is FAKE_STATUS (default STATUS_INVALID_UNWIND_TARGET).
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

int main()
{
    printf("test 1\ntest 2 (should complain of a mismatch)\n"
           "exception frame mismatch on callback return.\ntest 3\ntest 4\ntest 5\n");
    const char *status = getenv("FAKE_STATUS");
    RaiseException(status ? (DWORD)strtoul(status, nullptr, 0) : 0xC0000029u,
                   EXCEPTION_NONCONTINUABLE, 0, nullptr);
    return 0;
}
