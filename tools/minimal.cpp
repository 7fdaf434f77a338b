// The least a program can do and still do flagpost.exe's job: a bare window class, the hidden
// window, the volatile key created and closed. It shares flagpost.exe's start-up, flags and
// manifest, so that `make bench` measures only what flagpost.exe adds.
#include "registry_tools.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int)
{
    // Field by field: a zeroing initialiser could become a call to memset, which nothing provides.
    WNDCLASSEXW windowClass;
    windowClass.cbSize = sizeof(windowClass);
    windowClass.style = 0;
    windowClass.lpfnWndProc = DefWindowProcW;
    windowClass.cbClsExtra = 0;
    windowClass.cbWndExtra = 0;
    windowClass.hInstance = instance;
    windowClass.hIcon = NULL;
    windowClass.hCursor = NULL;
    windowClass.hbrBackground = NULL;
    windowClass.lpszMenuName = NULL;
    windowClass.lpszClassName = L"MINIMAL";
    windowClass.hIconSm = NULL;
    RegisterClassExW(&windowClass);

    if (!CreateWindowExW(0, L"MINIMAL", L"", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, 0, CW_USEDEFAULT, 0,
                         NULL, NULL, instance, NULL))
        return 0;

    // The tests' wide path as it is: widening flagpost.exe's 8-bit one costs nothing measurable.
    HKEY key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, MARKER_KEY, 0, NULL, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, NULL,
                        &key, NULL) == ERROR_SUCCESS)
        RegCloseKey(key);
    return 0;
}
