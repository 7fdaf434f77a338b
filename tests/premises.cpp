// flagpost_tests.exe --premises: what the cases stand on, printed before they run on a machine
// that we cannot look at, so that a failure can be told from a premise that was not there. It
// decides nothing: a value it cannot read is printed as such, and it ends with 0.
#include <windows.h>
#include <sddl.h>

#include <cstdio>
#include <string>

namespace {

void Line(const char* label, const std::wstring& value)
{
    std::string text(WideCharToMultiByte(CP_UTF8, 0, value.c_str(), -1, NULL, 0, NULL, NULL), '\0');
    WideCharToMultiByte(CP_UTF8, 0, value.c_str(), -1, &text[0], static_cast<int>(text.size()), NULL, NULL);
    std::printf("%s: %s\n", label, text.c_str());
}

std::wstring Unread(DWORD error)
{
    return L"unread (error " + std::to_wstring(error) + L")";
}

// The token's information of one class; empty when it cannot be read.
std::string TokenInformation(TOKEN_INFORMATION_CLASS kind, DWORD* error)
{
    HANDLE token;
    DWORD size = 0;
    std::string data;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return *error = GetLastError(), data;
    GetTokenInformation(token, kind, NULL, 0, &size);
    data.resize(size);
    if (size == 0 || !GetTokenInformation(token, kind, &data[0], size, &size))
        *error = GetLastError(), data.clear();
    CloseHandle(token);
    return data;
}

std::wstring Account()
{
    DWORD error = 0, nameSize = 256, domainSize = 256;
    std::string user = TokenInformation(TokenUser, &error);
    if (user.empty())
        return Unread(error);
    PSID sid = reinterpret_cast<TOKEN_USER*>(&user[0])->User.Sid;
    wchar_t name[256], domain[256], *text = NULL;
    SID_NAME_USE use;
    std::wstring account = LookupAccountSidW(NULL, sid, name, &nameSize, domain, &domainSize, &use)
                               ? std::wstring(domain) + L"\\" + name : Unread(GetLastError());
    if (ConvertSidToStringSidW(sid, &text))
        account += std::wstring(L", ") + text, LocalFree(text);
    // CreateProcessWithLogonW refuses to work from LocalSystem.
    return account + (IsWellKnownSid(sid, WinLocalSystemSid) ? L", LocalSystem" : L"");
}

std::wstring Elevation()
{
    DWORD error = 0;
    std::string type = TokenInformation(TokenElevationType, &error);
    if (type.empty())
        return Unread(error);
    const wchar_t* const names[] = {L"?", L"default (no split token)", L"full", L"limited"};
    DWORD value = *reinterpret_cast<DWORD*>(&type[0]);
    return names[value < 4 ? value : 0];
}

std::wstring Integrity()
{
    DWORD error = 0;
    std::string label = TokenInformation(TokenIntegrityLevel, &error);
    if (label.empty())
        return Unread(error);
    PSID sid = reinterpret_cast<TOKEN_MANDATORY_LABEL*>(&label[0])->Label.Sid;
    DWORD rid = *GetSidSubAuthority(sid, *GetSidSubAuthorityCount(sid) - 1);
    wchar_t text[48];
    wsprintfW(text, L"0x%04X (%s)", rid, rid >= 0x4000 ? L"system" : rid >= 0x3000 ? L"high"
                                         : rid >= 0x2000 ? L"medium" : L"low or untrusted");
    return text;
}

std::wstring ObjectName(HANDLE object)
{
    wchar_t name[256];
    return GetUserObjectInformationW(object, UOI_NAME, name, sizeof(name), NULL) ? name : Unread(GetLastError());
}

std::wstring Session()
{
    DWORD session;
    std::wstring id = ProcessIdToSessionId(GetCurrentProcessId(), &session) ? std::to_wstring(session)
                                                                             : Unread(GetLastError());
    return id + L", window station " + ObjectName(GetProcessWindowStation()) + L", desktop " +
           ObjectName(GetThreadDesktop(GetCurrentThreadId()));
}

// A value in the 64-bit view where there is one, as an administrator's reg.exe reads it.
std::wstring RegistryValue(const wchar_t* path, const wchar_t* name)
{
    HKEY key;
    LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key);
    if (status != ERROR_SUCCESS)
        return Unread(status);
    wchar_t data[128] = {};
    DWORD type, size = sizeof(data) - sizeof(wchar_t);
    status = RegQueryValueExW(key, name, NULL, &type, reinterpret_cast<BYTE*>(data), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS)
        return Unread(status);
    return type == REG_DWORD ? std::to_wstring(*reinterpret_cast<DWORD*>(data)) : data;
}

std::wstring ServiceState(const wchar_t* name)
{
    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceW(manager, name, SERVICE_QUERY_STATUS) : NULL;
    SERVICE_STATUS status;
    std::wstring state = service && QueryServiceStatus(service, &status) ? std::to_wstring(status.dwCurrentState)
                                                                        : Unread(GetLastError());
    if (state == L"1" || state == L"4")
        state += state == L"1" ? L" (stopped)" : L" (running)";
    if (service)
        CloseServiceHandle(service);
    if (manager)
        CloseServiceHandle(manager);
    return state;
}

std::wstring Windows()
{
    const wchar_t* const current = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
    // GetVersionExW answers what the manifest allows; RtlGetVersion what runs.
    typedef LONG(WINAPI * RtlGetVersionType)(OSVERSIONINFOW*);
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    auto getVersion = reinterpret_cast<RtlGetVersionType>(GetProcAddress(ntdll, "RtlGetVersion"));
    OSVERSIONINFOW version = {sizeof(version)};
    std::wstring text = getVersion && getVersion(&version) == 0
                            ? std::to_wstring(version.dwMajorVersion) + L"." + std::to_wstring(version.dwMinorVersion) +
                                  L"." + std::to_wstring(version.dwBuildNumber)
                            : Unread(ERROR_PROC_NOT_FOUND);
    text += L", UBR " + RegistryValue(current, L"UBR") + L", " + RegistryValue(current, L"ProductName") +
            L", DisplayVersion " + RegistryValue(current, L"DisplayVersion");
    typedef const char*(CDECL * WineVersionType)();
    auto wine = reinterpret_cast<WineVersionType>(GetProcAddress(ntdll, "wine_get_version"));
    return wine ? text + L", Wine " + std::wstring(wine(), wine() + lstrlenA(wine())) : text;
}

std::wstring Machine()
{
    // Looked up by name: Windows before 10 1709 lacks it, and has no x86 emulation either.
    typedef BOOL(WINAPI * IsWow64Process2Type)(HANDLE, USHORT*, USHORT*);
    auto isWow64Process2 = reinterpret_cast<IsWow64Process2Type>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "IsWow64Process2"));
    USHORT process = 0, native = 0;
    if (!isWow64Process2)
    {
        SYSTEM_INFO system;
        GetNativeSystemInfo(&system);
        return L"no IsWow64Process2, native processor architecture " +
               std::to_wstring(system.wProcessorArchitecture) + L": x86 runs natively";
    }
    if (!isWow64Process2(GetCurrentProcess(), &process, &native))
        return Unread(GetLastError());
    const wchar_t* runs = native == IMAGE_FILE_MACHINE_I386 || native == IMAGE_FILE_MACHINE_AMD64 ? L"natively"
                          : native == 0xAA64 ? L"emulated (Arm64)" : L"on an unknown machine";
    wchar_t text[96];
    wsprintfW(text, L"native 0x%04X, this process 0x%04X (0: not WOW64): x86 runs %s", native, process, runs);
    return text;
}

}

int PrintPremises()
{
    const wchar_t* const uac = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Policies\\System";
    Line("account", Account());
    Line("elevation", Elevation());
    Line("integrity", Integrity());
    Line("session", Session());
    for (const wchar_t* name : {L"EnableLUA", L"ConsentPromptBehaviorAdmin", L"EnableVirtualization"})
    {
        std::string label(name, name + lstrlenW(name));
        Line(label.c_str(), RegistryValue(uac, name));
    }
    Line("Themes service", ServiceState(L"Themes"));
    Line("windows", Windows());
    Line("machine", Machine());
    std::fflush(stdout);
    return 0;
}
