#include "flagpost.h"

// The C runtime's rule, kept so that wWinMain sees what it would see under the runtime:
// the program name ends at the first blank outside double quotes (a quote only toggles,
// so "C:\Program Files\x.exe" is one name), and the blanks after it are skipped.
LPWSTR SkipProgramName(LPWSTR commandLine)
{
    LPWSTR cursor = commandLine;
    bool quoted = false;
    while (*cursor > L' ' || (*cursor != L'\0' && quoted))
    {
        if (*cursor == L'"')
            quoted = !quoted;
        ++cursor;
    }
    while (*cursor != L'\0' && *cursor <= L' ')
        ++cursor;
    return cursor;
}
