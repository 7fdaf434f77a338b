// Helpers shared by the in-process tests.
#pragma once

#include "flagpost.h"
#include "registry_tools.h"
#include <gtest/gtest.h>

#include <string>

extern bool g_failAllocations;      // while set, AllocateWideString fails
extern int g_liveAllocations;       // wide strings allocated and not yet freed


bool KeyExists(const wchar_t* path);
HWND FindMainWindow();

// This program's folder, ending in a backslash: flagpost.exe lies beside it, the example
// installers in its example\ folder.
std::wstring ProgramFolder();

// The exit code of a command line run to its end; -1, with a failure that says why, when it
// could not be started or did not end within the time.
long long RunToEnd(std::wstring commandLine, DWORD milliseconds = 300000);
// The same for a process already started, suspended or not; its handles are closed.
long long RunToEnd(PROCESS_INFORMATION& process, DWORD milliseconds = 300000);

// Wine's ntdll exports wine_get_version; Windows' does not.
bool OnWine();
// Whether a check may be skipped where Wine does otherwise than Windows: under Wine only, and not
// with FLAGPOST_REQUIRE_WINDOWS=1 in the environment (any value other than 0 or 1 counts as 1).
bool WineSkipsAllowed();

// A check of what Windows does and Wine is known not to: when `shown` is false, a skip under Wine
// and a failure anywhere else, either way with `windows`, what Windows does, and what was seen.
#define EXPECT_WINDOWS_BEHAVIOUR(shown, windows)                                                    \
    if (shown)                                                                                     \
        ;                                                                                          \
    else if (WineSkipsAllowed())                                                                   \
        GTEST_SKIP() << "under Wine: " << windows;                                                 \
    else                                                                                           \
        FAIL() << (OnWine() ? "not shown under Wine (FLAGPOST_REQUIRE_WINDOWS): " : "") << windows

// Each test starts as wWinMain would before registering the class: strings loaded, no
// class, no window, no marker. It leaves the same behind.
class ProgramTest : public ::testing::Test
{
protected:
    void SetUp() override;
    void TearDown() override;
    HINSTANCE instance = GetModuleHandleW(NULL);
};
