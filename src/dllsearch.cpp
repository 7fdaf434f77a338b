#include "flagpost.h"

// Not in every SDK's headers for an XP-era target; the value is fixed by Windows.
#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#endif

typedef BOOL(WINAPI* SetDefaultDllDirectoriesFunction)(DWORD flags);
typedef BOOL(WINAPI* SetDllDirectoryFunction)(LPCWSTR path);

// Looked up by name: a static import of SetDefaultDllDirectories would keep the exe from
// loading on Windows XP and on Windows 7 without KB2533623. The cast goes through void*
// because FARPROC's type says nothing about the function behind it.
template <typename Function>
static Function FindKernelFunction(HMODULE kernel, const char* name)
{
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(kernel, name)));
}

void RestrictDllSearchToSystem32()
{
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    if (!kernel)
        return;

    auto setDefaultDllDirectories =
        FindKernelFunction<SetDefaultDllDirectoriesFunction>(kernel, "SetDefaultDllDirectories");
    if (setDefaultDllDirectories && setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32))
        return;

    // Older systems only let the current folder be dropped; the program's own folder stays first.
    auto setDllDirectory = FindKernelFunction<SetDllDirectoryFunction>(kernel, "SetDllDirectoryW");
    if (setDllDirectory)
        setDllDirectory(L"");
}
