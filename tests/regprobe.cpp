// regprobe: the end-to-end tests' hands inside Wine, in this 32-bit process's registry view.
//   regprobe KEY               is HKLM\KEY volatile? exit 0 volatile, 1 not, 2 missing
//   regprobe --deny KEY        deny Everyone every right on HKLM\KEY
//   regprobe --allow KEY       allow Everyone every right on HKLM\KEY again
//   regprobe --security KEY    print the owner, group and DACL of HKLM\KEY in hex
//   regprobe --windows-version print the Windows version that Wine reports to this exe
// Exit code 3 is any error.
#include "registry_tools.h"

#include <cstdio>
#include <cwchar>

static int Report(LONG status)
{
    if (status == ERROR_SUCCESS)
        return 0;
    std::printf("error %ld\n", status);
    return 3;
}

static int ProbeVolatility(const wchar_t* path)
{
    LONG status = CreateNonVolatileChild(path);
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
    return Report(status);
}

int wmain(int argc, wchar_t** argv)
{
    if (argc == 2 && std::wcscmp(argv[1], L"--windows-version") == 0)
    {
        // GetVersionExW is what a program sees; Wine's per-application Version setting changes it.
        OSVERSIONINFOW version = {};
        version.dwOSVersionInfoSize = sizeof(version);
        if (!GetVersionExW(&version))
            return Report(static_cast<LONG>(GetLastError()));
        std::printf("%lu.%lu\n", version.dwMajorVersion, version.dwMinorVersion);
        return 0;
    }
    if (argc == 2)
        return ProbeVolatility(argv[1]);
    if (argc == 3 && std::wcscmp(argv[1], L"--deny") == 0)
        return Report(SetKeyDacl(argv[2], DENY_EVERYONE));
    if (argc == 3 && std::wcscmp(argv[1], L"--allow") == 0)
        return Report(SetKeyDacl(argv[2], ALLOW_EVERYONE));
    if (argc == 3 && std::wcscmp(argv[1], L"--security") == 0)
    {
        std::string hex;
        LONG status = ReadKeySecurity(argv[2], &hex);
        if (status == ERROR_SUCCESS)
            std::puts(hex.c_str());
        return Report(status);
    }
    std::fputs("usage: regprobe [--deny|--allow|--security] KEY | --windows-version\n", stderr);
    return 3;
}
