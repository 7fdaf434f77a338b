#include "flagpost.h"

LPWSTR AllocateWideString(int units)
{
    return static_cast<LPWSTR>(HeapAlloc(GetProcessHeap(), 0, units * sizeof(WCHAR)));
}

void FreeWideString(LPWSTR text)
{
    HeapFree(GetProcessHeap(), 0, text);
}
