// planted.dll: stands for a DLL that someone put beside a program, under its own name or as
// flagpost-planted.dll; and a global WH_CBT hook's procedure, which Windows calls in each 32-bit
// program of the desktop that creates a window, having loaded this DLL there by its full path.
// Where flagpost-planted.dll lies beside the program and FLAGPOST_PLANTED_EVIDENCE names a file,
// its first window makes it load that DLL by its bare name, as Windows' own DLLs load theirs, and
// write to the file 0 or LoadLibraryW's error. Everywhere else it does nothing.
#include <windows.h>

extern "C" __declspec(dllexport) LRESULT CALLBACK CbtProc(int code, WPARAM wParam, LPARAM lParam)
{
    static bool probed;
    wchar_t evidence[MAX_PATH], beside[MAX_PATH + 32];
    DWORD length = GetEnvironmentVariableW(L"FLAGPOST_PLANTED_EVIDENCE", evidence, MAX_PATH), written;
    DWORD end = code == HCBT_CREATEWND && !probed && length > 0 && length < MAX_PATH
                    ? GetModuleFileNameW(NULL, beside, MAX_PATH)
                    : 0;
    // The program's folder: its path up to the last backslash.
    for (end = end < MAX_PATH ? end : 0; end > 0 && beside[end - 1] != L'\\';)
        --end;
    if (end > 0 && lstrcpyW(beside + end, L"flagpost-planted.dll") &&
        GetFileAttributesW(beside) != INVALID_FILE_ATTRIBUTES)
    {
        probed = true;
        char text[16];
        int size = wsprintfA(text, "%lu", LoadLibraryW(L"flagpost-planted.dll") ? 0 : GetLastError());
        HANDLE file = CreateFileW(evidence, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
        if (file != INVALID_HANDLE_VALUE)
        {
            WriteFile(file, text, static_cast<DWORD>(size), &written, NULL);
            CloseHandle(file);
        }
    }
    return CallNextHookEx(NULL, code, wParam, lParam);
}
