// The one check for volatility, shared by regprobe.exe and the in-process tests.
#pragma once

#include <windows.h>

// Asks for a non-volatile subkey of HKLM\path and removes it again if it was made.
// Windows refuses it under a volatile key with ERROR_CHILD_MUST_BE_VOLATILE.
inline LONG CreateNonVolatileChild(const wchar_t* path)
{
    HKEY key, child;
    LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_CREATE_SUB_KEY | DELETE, &key);
    if (status != ERROR_SUCCESS)
        return status;
    const wchar_t* probeName = L"flagpost-volatility-probe";
    DWORD disposition = 0xDEADBEEF;
    status = RegCreateKeyExW(key, probeName, 0, NULL, REG_OPTION_NON_VOLATILE, KEY_READ, NULL,
                             &child, &disposition);
    if (status == ERROR_SUCCESS)
    {
        RegCloseKey(child);
        if (disposition == REG_CREATED_NEW_KEY)
            RegDeleteKeyW(key, probeName);
    }
    RegCloseKey(key);
    return status;
}
