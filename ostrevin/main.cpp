#include <stdio.h>

#include "qarvel.h"
#include "scenarios.h"

int main(void)
{
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
