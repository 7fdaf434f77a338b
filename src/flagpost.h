// What the marker and the window shell share.
#pragma once

#include <windows.h>

constexpr int RESOURCE_STRING_CAPACITY = 100;

extern HINSTANCE g_instance;                              // this module; the About box template lives here
extern WCHAR g_title[RESOURCE_STRING_CAPACITY];           // main window title, from the string table
extern WCHAR g_windowClass[RESOURCE_STRING_CAPACITY];     // main window class name, from the string table

BOOL StartInstance(HINSTANCE instance);
ATOM RegisterMainWindowClass(HINSTANCE instance);
LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK AboutBoxProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// The start-up's first step: DLLs that Windows loads by name later on come from System32
// only (or, on systems too old for that, at least not from the current folder).
void RestrictDllSearchToSystem32();

// The start-up's rule for the command-line tail that wWinMain receives.
LPWSTR SkipProgramName(LPWSTR commandLine);

// Storage for short-lived UTF-16 strings. Kept in a file of its own so that a test
// build can link a replacement that fails on demand.
LPWSTR AllocateWideString(int units);
void FreeWideString(LPWSTR text);
