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

void ProgramTest::SetUp()
{
    LoadStringW(instance, IDS_TITLE, g_title, RESOURCE_STRING_CAPACITY);
    LoadStringW(instance, IDS_WINDOW_CLASS, g_windowClass, RESOURCE_STRING_CAPACITY);
    ASSERT_TRUE(RemoveMarkerAndParent()) << "could not clear the marker left by an earlier run";
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
    RemoveMarkerAndParent();
}

std::wstring ProgramFolder()
{
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(NULL, path, MAX_PATH);
    std::wstring folder(path, length > 0 && length < MAX_PATH ? length : 0);
    return folder.substr(0, folder.find_last_of(L"\\/") + 1);
}

long long RunToEnd(std::wstring commandLine, DWORD milliseconds)
{
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process;
    commandLine.push_back(L'\0');    // CreateProcessW may write into the line
    if (!CreateProcessW(NULL, &commandLine[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process))
    {
        ADD_FAILURE() << "CreateProcessW failed with " << GetLastError() << ": " << testing::PrintToString(commandLine);
        return -1;
    }
    long long result = RunToEnd(process, milliseconds);
    if (result == -1)
        ADD_FAILURE() << "the line was " << testing::PrintToString(commandLine);
    return result;
}

long long RunToEnd(PROCESS_INFORMATION& process, DWORD milliseconds)
{
    ResumeThread(process.hThread);
    long long result = -1;
    DWORD exitCode;
    if (WaitForSingleObject(process.hProcess, milliseconds) != WAIT_OBJECT_0)
    {
        TerminateProcess(process.hProcess, 1);
        ADD_FAILURE() << "still running after " << milliseconds / 1000 << " s";
    }
    else if (GetExitCodeProcess(process.hProcess, &exitCode))
        result = exitCode;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return result;
}

bool OnWine()
{
    return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != NULL;
}

bool WineSkipsAllowed()
{
    wchar_t required[8] = L"";
    DWORD length = GetEnvironmentVariableW(L"FLAGPOST_REQUIRE_WINDOWS", required, 8);
    bool unset = length == 0 || (length == 1 && required[0] == L'0');
    return OnWine() && unset;
}

namespace {

// One line after the last check, for a reader of the log on either system.
class Summary : public testing::EmptyTestEventListener
{
    void OnTestProgramEnd(const testing::UnitTest& tests) override
    {
        int skipped = tests.skipped_test_count();
        std::printf("flagpost_tests on %s: %d checks run (%d failed), %d skipped%s\n", OnWine() ? "Wine" : "Windows",
                    tests.test_to_run_count() - skipped, tests.failed_test_count(), skipped,
                    skipped ? ": each names what Windows does; FLAGPOST_REQUIRE_WINDOWS=1 fails them" : "");
    }
};

// Before gtest_main's main runs; the listener list owns it.
const bool g_summaryListed = (testing::UnitTest::GetInstance()->listeners().Append(new Summary), true);

}
