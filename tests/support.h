// Helpers shared by the in-process tests.
#pragma once

#include "flagpost.h"
#include "registry_tools.h"
#include <gtest/gtest.h>

extern bool g_failAllocations;      // while set, AllocateWideString fails
extern int g_liveAllocations;       // wide strings allocated and not yet freed


bool KeyExists(const wchar_t* path);
HWND FindMainWindow();

// Each test starts as wWinMain would before registering the class: strings loaded, no
// class, no window, no marker. It leaves the same behind.
class ProgramTest : public ::testing::Test
{
protected:
    void SetUp() override;
    void TearDown() override;
    HINSTANCE instance = GetModuleHandleW(NULL);
};
