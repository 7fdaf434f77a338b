// planted.dll: stands for a DLL that someone put beside a program, under its own name or under
// the name of a system DLL that Windows loads by name (uxtheme.dll). It does nothing, but where
// FLAGPOST_PLANTED_EVIDENCE names a file, it makes that file when it is loaded: the program that
// loaded it may end before anyone could look at its modules.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH)
    {
        wchar_t evidence[MAX_PATH];
        DWORD length = GetEnvironmentVariableW(L"FLAGPOST_PLANTED_EVIDENCE", evidence, MAX_PATH);
        if (length > 0 && length < MAX_PATH)
        {
            HANDLE file = CreateFileW(evidence, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
            if (file != INVALID_HANDLE_VALUE)
                CloseHandle(file);
        }
    }
    return TRUE;
}
