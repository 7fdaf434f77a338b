#include "support.h"
#include "resource.h"

bool g_failAllocations;
int g_liveAllocations;

// Stands in for the program's own allocator at link time, so that a test can make the
// allocation fail and see that every string is handed back.
LPWSTR AllocateWideString(int units)
{
    if (g_failAllocations)
        return NULL;
    ++g_liveAllocations;
    return static_cast<LPWSTR>(HeapAlloc(GetProcessHeap(), 0, units * sizeof(WCHAR)));
}

void FreeWideString(LPWSTR text)
{
    --g_liveAllocations;
    HeapFree(GetProcessHeap(), 0, text);
}

bool KeyExists(const wchar_t* path)
{
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

HWND FindMainWindow()
{
    return FindWindowW(L"FLAGPOST", L"Flagpost");
}

static void DeleteMarker()
{
    SetKeyDacl(MARKER_KEY, ALLOW_EVERYONE);     // a test may have locked it
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, MARKER_KEY);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, MARKER_PARENT);
}

void ProgramTest::SetUp()
{
    LoadStringW(instance, IDS_TITLE, g_title, RESOURCE_STRING_CAPACITY);
    LoadStringW(instance, IDS_WINDOW_CLASS, g_windowClass, RESOURCE_STRING_CAPACITY);
    DeleteMarker();
    ASSERT_FALSE(KeyExists(MARKER_PARENT)) << "could not clear the marker left by an earlier run";
    g_failAllocations = false;
    g_liveAllocations = 0;
}

void ProgramTest::TearDown()
{
    while (HWND window = FindWindowW(L"FLAGPOST", NULL))
        DestroyWindow(window);
    MSG quit;
    while (PeekMessageW(&quit, NULL, 0, 0, PM_REMOVE))
        ;
    UnregisterClassW(L"FLAGPOST", instance);
    DeleteMarker();
}
