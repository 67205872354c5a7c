/* dlopen_probe LIBRARY: loads LIBRARY with dlopen, as a host program would.
 * Exit status 0 when it loaded, 1 with dlerror() on stderr when it was
 * refused. Linked against nothing of the suite. */
#include <dlfcn.h>
#include <stdio.h>

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: dlopen_probe LIBRARY\n");
        return 2;
    }
    if (!dlopen(argv[1], RTLD_NOW)) {
        fprintf(stderr, "%s\n", dlerror());
        return 1;
    }
    return 0;
}
