// Start-up order and the reboot-pending marker itself.
#include "flagpost.h"
#include "resource.h"

// Relative to HKEY_LOCAL_MACHINE. A 32-bit process passes no view flag, so on 64-bit
// Windows this lands under Wow6432Node, which is where readers of the marker look. Kept as
// 8-bit text, plain ASCII, and widened at run time for the W registry call, the only form
// of it the program passes to Windows.
static const char REBOOT_MARKER_KEY_PATH[] = "Software\\Ostrevane\\RebootPending";

HINSTANCE g_instance;
WCHAR g_title[RESOURCE_STRING_CAPACITY];
WCHAR g_windowClass[RESOURCE_STRING_CAPACITY];

// Returns NULL when the path cannot be converted or stored; the caller then leaves the
// registry alone rather than pass a half-made path to it.
static LPWSTR WidenKeyPath()
{
    int units = MultiByteToWideChar(CP_THREAD_ACP, 0, REBOOT_MARKER_KEY_PATH, -1, NULL, 0);
    if (units <= 0)
        return NULL;

    LPWSTR path = AllocateWideString(units);
    if (!path)
        return NULL;

    if (MultiByteToWideChar(CP_THREAD_ACP, 0, REBOOT_MARKER_KEY_PATH, -1, path, units) != units)
    {
        FreeWideString(path);
        return NULL;
    }
    return path;
}

BOOL StartInstance(HINSTANCE instance)
{
    g_instance = instance;

    // The window is never shown and the handle is not kept: the process end takes it.
    HWND window = CreateWindowExW(0, g_windowClass, g_title, WS_OVERLAPPEDWINDOW,
                                  CW_USEDEFAULT, 0, CW_USEDEFAULT, 0,
                                  NULL, NULL, instance, NULL);
    // No window, no marker: when the window cannot be made (its class did not register, say),
    // nothing is set.
    if (!window)
        return FALSE;

    LPWSTR keyPath = WidenKeyPath();
    if (!keyPath)
        return FALSE;

    // Volatile: Windows drops the key at the next restart, and that is the whole message.
    // An existing key is opened as it is; the option only applies to keys created here.
    HKEY markerKey;
    LONG status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, NULL, REG_OPTION_VOLATILE,
                                  KEY_ALL_ACCESS, NULL, &markerKey, NULL);
    FreeWideString(keyPath);
    if (status != ERROR_SUCCESS)
        return FALSE;

    RegCloseKey(markerKey);
    return TRUE;
}

// Callers judge the outcome by the key, never by the exit code, which is always 0.
int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int)
{
    LoadStringW(instance, IDS_TITLE, g_title, RESOURCE_STRING_CAPACITY);
    LoadStringW(instance, IDS_WINDOW_CLASS, g_windowClass, RESOURCE_STRING_CAPACITY);
    RegisterMainWindowClass(instance);
    StartInstance(instance);
    return 0;
}
