// marker_reader: `make run`'s eyes inside Wine. Prints where the marker is, in both registry
// views, what it holds, and whether it is volatile, as a reader of it on Windows would find it.
//   marker_reader --path   prints the marker's key, HKLM\..., for the tools outside Wine
#include "registry_tools.h"

#include <cstdio>

static void Look(const wchar_t* path, REGSAM view, const char* viewName)
{
    HKEY key;
    LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ | view, &key);
    if (status == ERROR_SUCCESS)
        RegCloseKey(key);
    const char* state = status == ERROR_SUCCESS ? "present" : status == ERROR_FILE_NOT_FOUND ? "absent" : "unreadable";
    std::printf("%-10s HKLM\\%ls (%s view)\n", state, path, viewName);
}

int wmain(int argc, wchar_t** argv)
{
    if (argc == 2 && lstrcmpW(argv[1], L"--path") == 0)
    {
        std::printf("HKLM\\%ls\n", MARKER_KEY);
        return 0;
    }
    Look(MARKER_KEY, KEY_WOW64_32KEY, "32-bit");
    Look((L"Software\\Wow6432Node\\" + BelowSoftware(MARKER_KEY)).c_str(), KEY_WOW64_64KEY, "64-bit");
    Look(MARKER_PARENT, KEY_WOW64_64KEY, "64-bit");

    HKEY key;
    DWORD subkeys = 0, values = 0;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, MARKER_KEY, 0, KEY_READ | KEY_WOW64_32KEY, &key) == ERROR_SUCCESS)
    {
        RegQueryInfoKeyW(key, NULL, NULL, NULL, &subkeys, NULL, NULL, &values, NULL, NULL, NULL, NULL);
        RegCloseKey(key);
        std::printf("values in the key: %lu, subkeys: %lu\n", values, subkeys);
    }
    // Windows refuses a non-volatile subkey under a volatile key.
    LONG status = CreateNonVolatileChild(MARKER_KEY);
    if (status == ERROR_CHILD_MUST_BE_VOLATILE)
        std::puts("volatile: yes, a non-volatile subkey is refused (ERROR_CHILD_MUST_BE_VOLATILE)");
    else if (status == ERROR_SUCCESS)
        std::puts("volatile: no, a non-volatile subkey could be made");
    else
        std::printf("volatile: cannot tell (error %ld)\n", status);
    return 0;
}
