// The process entry. The program links no C runtime, so this stands in for the runtime's
// start-up for UTF-16 GUI programs: same arguments to wWinMain, same end.
#include "flagpost.h"

extern "C" IMAGE_DOS_HEADER __ImageBase;    // the linker's symbol for this module's base

extern "C" void wWinMainCRTStartup()
{
    // Before anything can make Windows load a DLL by name: the exe may sit in Downloads or a
    // shared temporary folder, and it runs elevated.
    RestrictDllSearchToSystem32();

    STARTUPINFOW startup;
    GetStartupInfoW(&startup);
    int showCommand = (startup.dwFlags & STARTF_USESHOWWINDOW) ? startup.wShowWindow : SW_SHOWDEFAULT;

    HINSTANCE instance = reinterpret_cast<HINSTANCE>(&__ImageBase);
    ExitProcess(wWinMain(instance, NULL, SkipProgramName(GetCommandLineW()), showCommand));
}
