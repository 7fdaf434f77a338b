// planted.dll: stands for a DLL that someone put beside flagpost.exe. It does nothing; a test
// only needs to see whether Windows would load it.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID)
{
    return TRUE;
}
