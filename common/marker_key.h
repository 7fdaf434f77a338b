// The marker and the parent key it may create, relative to HKLM, in a 32-bit process's view: one
// definition for the reader, the tests and the tools. flagpost.exe keeps its own 8-bit copy,
// which it widens at run time, so that a slip here shows as a marker the others cannot find.
#pragma once

inline constexpr wchar_t MARKER_KEY[] = L"Software\\Ostrevane\\RebootPending";
inline constexpr wchar_t MARKER_PARENT[] = L"Software\\Ostrevane";
