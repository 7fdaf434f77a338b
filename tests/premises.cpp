// flagpost_tests.exe --premises: what the cases stand on besides the account (whoami /all says
// that), printed before they run on a machine we cannot look at, so that a failure can be told
// from a premise that was not there. It decides nothing: a value it cannot read is printed as
// unread, and it ends with 0.
#include <windows.h>

#include <cstdio>

namespace {

void Unread(const char* label, DWORD error)
{
    std::printf("%s: unread (error %lu)\n", label, error);
}

// In the 64-bit view where there is one, as an administrator's reg.exe reads it.
void PrintValue(const char* label, const wchar_t* path, const wchar_t* name)
{
    HKEY key;
    wchar_t data[128] = {};
    DWORD type, size = sizeof(data) - sizeof(wchar_t);
    LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key);
    if (status == ERROR_SUCCESS)
    {
        status = RegQueryValueExW(key, name, NULL, &type, reinterpret_cast<BYTE*>(data), &size);
        RegCloseKey(key);
    }
    if (status != ERROR_SUCCESS)
        Unread(label, status);
    else if (type == REG_DWORD)
        std::printf("%s: %lu\n", label, *reinterpret_cast<DWORD*>(data));
    else
        std::printf("%s: %ls\n", label, data);
}

}

int PrintPremises()
{
    DWORD session;
    if (ProcessIdToSessionId(GetCurrentProcessId(), &session))
        std::printf("session: %lu\n", session);
    else
        Unread("session", GetLastError());
    const wchar_t* const uac = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Policies\\System";
    PrintValue("EnableLUA", uac, L"EnableLUA");
    PrintValue("ConsentPromptBehaviorAdmin", uac, L"ConsentPromptBehaviorAdmin");
    PrintValue("EnableVirtualization", uac, L"EnableVirtualization");
    // Whether windows get themes, which changes what a program that creates one loads.
    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE themes = manager ? OpenServiceW(manager, L"Themes", SERVICE_QUERY_STATUS) : NULL;
    SERVICE_STATUS status;
    if (themes && QueryServiceStatus(themes, &status))
        std::printf("Themes service: state %lu (1 stopped, 4 running)\n", status.dwCurrentState);
    else
        Unread("Themes service", GetLastError());
    // GetVersionExW answers what the manifest lets it; RtlGetVersion what runs.
    auto getVersion = reinterpret_cast<LONG(WINAPI*)(OSVERSIONINFOW*)>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion"));
    OSVERSIONINFOW version = {sizeof(version)};
    if (getVersion && getVersion(&version) == 0)
        std::printf("windows: %lu.%lu.%lu\n", version.dwMajorVersion, version.dwMinorVersion, version.dwBuildNumber);
    else
        Unread("windows", ERROR_PROC_NOT_FOUND);
    const wchar_t* const current = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
    PrintValue("update build revision", current, L"UBR");
    PrintValue("product", current, L"ProductName");
    PrintValue("display version", current, L"DisplayVersion");
    // By name: Windows before 10 1709 lacks it, and runs no x86 program emulated either.
    auto isWow64Process2 = reinterpret_cast<BOOL(WINAPI*)(HANDLE, USHORT*, USHORT*)>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "IsWow64Process2"));
    USHORT process = 0, native = 0;
    if (!isWow64Process2)
        std::printf("machine: no IsWow64Process2, x86 runs natively\n");
    else if (!isWow64Process2(GetCurrentProcess(), &process, &native))
        Unread("machine", GetLastError());
    else
        std::printf("machine: native 0x%04X, this process 0x%04X (0: not under WOW64), x86 runs %s\n", native, process,
                    native == IMAGE_FILE_MACHINE_ARM64 ? "emulated" : "natively");
    std::fflush(stdout);
    return 0;
}
