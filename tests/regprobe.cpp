// regprobe KEY: says whether HKLM\KEY (this 32-bit process's view) is volatile, by asking for
// a non-volatile subkey, which Windows refuses under a volatile key. Exit codes: 0 volatile,
// 1 not volatile, 2 missing, 3 any other error. A probe key that it did create is removed.
#include <windows.h>
#include <cstdio>

int wmain(int argc, wchar_t** argv)
{
    if (argc != 2)
    {
        std::fputs("usage: regprobe KEY (relative to HKLM)\n", stderr);
        return 3;
    }
    HKEY key;
    LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, argv[1], 0, KEY_CREATE_SUB_KEY | DELETE, &key);
    if (status == ERROR_FILE_NOT_FOUND)
    {
        std::puts("missing");
        return 2;
    }
    if (status != ERROR_SUCCESS)
    {
        std::printf("error %ld opening the key\n", status);
        return 3;
    }

    const wchar_t* probeName = L"flagpost-volatility-probe";
    HKEY probe;
    DWORD disposition = 0xDEADBEEF;
    status = RegCreateKeyExW(key, probeName, 0, NULL, REG_OPTION_NON_VOLATILE, KEY_READ, NULL,
                             &probe, &disposition);
    int verdict = 3;
    if (status == ERROR_CHILD_MUST_BE_VOLATILE)
    {
        std::puts("volatile");
        verdict = 0;
    }
    else if (status == ERROR_SUCCESS)
    {
        RegCloseKey(probe);
        if (disposition == REG_CREATED_NEW_KEY)
            RegDeleteKeyW(key, probeName);
        std::puts("not volatile");
        verdict = 1;
    }
    else
    {
        std::printf("error %ld creating a subkey\n", status);
    }
    RegCloseKey(key);
    return verdict;
}
