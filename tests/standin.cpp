// standin: a faulty flagpost.exe, for the tests of what should notice one. Copied as flagpost.exe,
// or run as it is, it creates a hidden window, as flagpost.exe does, then makes the marker an
// ordinary key and exits 0, whatever its arguments. With FLAGPOST_STANDIN=ordinary-parent in its
// environment it makes an ordinary parent and a volatile marker under it, as a Windows would that
// did not make a created parent volatile; with FLAGPOST_STANDIN=nothing it makes nothing and exits
// 0, as flagpost.exe does without the rights. It leaves the DLL search as Windows sets it, so that
// a DLL planted beside it is loaded.
#include "registry_tools.h"

#include <cwchar>

int wmain()
{
    CreateWindowExW(0, L"STATIC", L"", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, 0, CW_USEDEFAULT, 0, NULL, NULL,
                    GetModuleHandleW(NULL), NULL);
    wchar_t standIn[32] = L"";
    GetEnvironmentVariableW(L"FLAGPOST_STANDIN", standIn, 32);
    if (std::wcscmp(standIn, L"nothing") == 0)
        return 0;
    bool ordinaryParent = std::wcscmp(standIn, L"ordinary-parent") == 0;
    HKEY key;
    if (ordinaryParent && RegCreateKeyExW(HKEY_LOCAL_MACHINE, MARKER_PARENT, 0, NULL, REG_OPTION_NON_VOLATILE,
                                          KEY_ALL_ACCESS, NULL, &key, NULL) == ERROR_SUCCESS)
        RegCloseKey(key);
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, MARKER_KEY, 0, NULL, ordinaryParent ? REG_OPTION_VOLATILE : REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS, NULL, &key, NULL) == ERROR_SUCCESS)
        RegCloseKey(key);
    return 0;
}
