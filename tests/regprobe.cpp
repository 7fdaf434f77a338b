// regprobe KEY: says whether HKLM\KEY (this 32-bit process's view) is volatile.
// Exit codes: 0 volatile, 1 not volatile, 2 missing, 3 any other error.
#include "volatility.h"

#include <cstdio>

int wmain(int argc, wchar_t** argv)
{
    if (argc != 2)
    {
        std::fputs("usage: regprobe KEY (relative to HKLM)\n", stderr);
        return 3;
    }
    LONG status = CreateNonVolatileChild(argv[1]);
    switch (status)
    {
    case ERROR_CHILD_MUST_BE_VOLATILE:
        std::puts("volatile");
        return 0;
    case ERROR_SUCCESS:
        std::puts("not volatile");
        return 1;
    case ERROR_FILE_NOT_FOUND:
        std::puts("missing");
        return 2;
    }
    std::printf("error %ld\n", status);
    return 3;
}
