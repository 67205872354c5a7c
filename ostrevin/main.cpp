#include <stdio.h>

#include "qarvel.h"
#include "scenarios.h"

int main(void)
{
    // Every line reaches the pipe or file at once, so a platform that ends
    // the run with a fault leaves the transcript up to that point. msvcrt
    // treats _IOLBF as full buffering; unbuffered, each printf writes once.
#ifdef _WIN32
    setvbuf(stdout, NULL, _IONBF, 0);
#else
    setvbuf(stdout, NULL, _IOLBF, BUFSIZ);
#endif
    printf("test 1\n");
    establish_return_frame(test_01_just_return);
    printf("test 2 (should complain of a mismatch)\n");
    establish_return_frame(test_02_dangling_frame);
    printf("test 3\n");
    establish_return_frame(test_03_unwind_nothing);
    printf("test 4\n");
    establish_return_frame(test_04_clean_unwind_frame);
    printf("test 5\n");
    establish_return_frame(test_05_dirty_unwind_frame);
    printf("Tests complete.\n");
    return 0;
}
