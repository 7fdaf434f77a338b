#include "support.h"
#include "resource.h"

#include <cstdint>
#include <cstdio>

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

bool FileExists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

HWND FindMainWindow()
{
    return FindWindowW(L"FLAGPOST", L"Flagpost");
}

bool InWow64()
{
    BOOL wow64 = FALSE;
    return IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

std::string MarkerProblem()
{
    HKEY key;
    LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, MARKER_KEY, 0, KEY_READ | KEY_WOW64_32KEY, &key);
    if (status != ERROR_SUCCESS)
        return "no marker in the 32-bit view: error " + std::to_string(status);
    DWORD subkeys = 0xBAD, values = 0xBAD;
    status = RegQueryInfoKeyW(key, NULL, NULL, NULL, &subkeys, NULL, NULL, &values, NULL, NULL, NULL, NULL);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || subkeys != 0 || values != 0)
        return "the marker has " + std::to_string(subkeys) + " subkeys and " + std::to_string(values) +
               " values (error " + std::to_string(status) + ")";
    status = CreateNonVolatileChild(MARKER_KEY);
    if (status != ERROR_CHILD_MUST_BE_VOLATILE)
        return "the marker is not volatile: an ordinary subkey gave " + std::to_string(status);
    // 32-bit Windows has one view, which KEY_WOW64_64KEY leaves as it is.
    if (InWow64())
    {
        status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, MARKER_KEY, 0, KEY_READ | KEY_WOW64_64KEY, &key);
        if (status == ERROR_SUCCESS)
            RegCloseKey(key);
        if (status != ERROR_FILE_NOT_FOUND)
            return "HKLM\\" + Narrow(MARKER_KEY) + " in the 64-bit view: error " + std::to_string(status) +
                   " where 2 (not found) was due";
    }
    return "";
}

std::wstring Quoted(const std::wstring& path)
{
    return L"\"" + path + L"\"";
}

std::string Narrow(const std::wstring& text)
{
    std::string narrow;
    for (wchar_t unit : text)
        narrow.push_back(unit < 128 ? static_cast<char>(unit) : '?');
    return narrow;
}

std::wstring TemporaryFolder()
{
    wchar_t temp[MAX_PATH];
    DWORD length = GetTempPathW(MAX_PATH, temp);
    return std::wstring(temp, length < MAX_PATH ? length : 0);
}

// The process id in the name: a run that was killed leaves its folders, which must neither fail
// nor pass a later run's case.
ScratchFolder::ScratchFolder(const wchar_t* name, bool make)
    : path(TemporaryFolder() + name + L"-" + std::to_wstring(GetCurrentProcessId())),
      made(!make || CreateDirectoryW(path.c_str(), NULL))
{
}

ScratchFolder::~ScratchFolder()
{
    for (const std::wstring& file : files)
        DeleteFileW(file.c_str());
    RemoveDirectoryW(path.c_str());
}

std::wstring ScratchFolder::File(const wchar_t* name)
{
    files.push_back(path + L"\\" + name);
    return files.back();
}

std::wstring ScratchFolder::Copy(const std::wstring& source, const wchar_t* name)
{
    std::wstring copy = File(name);
    return made && CopyFileW(source.c_str(), copy.c_str(), FALSE) ? copy : L"";
}

std::wstring ScratchFolder::Write(const wchar_t* name, const std::string& text)
{
    std::wstring file = File(name);
    return WriteFileText(file, text) ? file : L"";
}

namespace {

// What is left of an open file from where it stands.
std::string ReadToEnd(HANDLE file)
{
    std::string text;
    char buffer[4096];
    DWORD read;
    while (ReadFile(file, buffer, sizeof(buffer), &read, NULL) && read > 0)
        text.append(buffer, read);
    return text;
}

}

std::string ReadFileText(const std::wstring& path)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return "";
    std::string text = ReadToEnd(file);
    CloseHandle(file);
    return text;
}

bool WriteFileText(const std::wstring& path, const std::string& text)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    DWORD written = 0;
    bool whole = file != INVALID_HANDLE_VALUE &&
                 WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, NULL) &&
                 written == text.size();
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    return whole;
}

std::wstring EnvironmentValue(const wchar_t* name)
{
    std::wstring value(GetEnvironmentVariableW(name, NULL, 0), L'\0');
    value.resize(value.empty() ? 0 : GetEnvironmentVariableW(name, &value[0], static_cast<DWORD>(value.size())));
    return value;
}

EnvironmentVariable::EnvironmentVariable(const wchar_t* name, const std::wstring& value)
    : name(name), old(EnvironmentValue(name)), wasSet(GetEnvironmentVariableW(name, NULL, 0) > 0)
{
    SetEnvironmentVariableW(name, value.c_str());
}

EnvironmentVariable::~EnvironmentVariable()
{
    SetEnvironmentVariableW(name, wasSet ? old.c_str() : NULL);
}

void MarkerScenario::SetUp()
{
    ASSERT_TRUE(RemoveMarkerAndParent()) << "a marker is left from an earlier run";
}

void MarkerScenario::TearDown()
{
    EXPECT_TRUE(RemoveMarkerAndParent()) << "HKLM\\" << Narrow(MARKER_PARENT) << " could not be removed";
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

std::wstring NativeProgram(const wchar_t* name)
{
    wchar_t windows[MAX_PATH];
    UINT length = GetWindowsDirectoryW(windows, MAX_PATH);
    std::wstring folder(windows, length < MAX_PATH ? length : 0);
    std::wstring native = folder + L"\\Sysnative\\" + name;
    return FileExists(native) ? native : folder + L"\\System32\\" + name;
}

std::wstring ProgramPath()
{
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(NULL, path, MAX_PATH);
    return std::wstring(path, length > 0 && length < MAX_PATH ? length : 0);
}

std::wstring ProgramFolder()
{
    std::wstring path = ProgramPath();
    return path.substr(0, path.find_last_of(L"\\/") + 1);
}

std::wstring Flagpost()
{
    return ProgramFolder() + L"flagpost.exe";
}

long long RunFlagpost()
{
    return RunToEnd(Quoted(Flagpost()));
}

std::vector<std::wstring> HostileCommandLines()
{
    // CreateProcessW takes at most 32,767 units with the terminating NUL. Lone surrogates are
    // the point of some lines: they go out as the units they are.
    std::vector<std::wstring> lines = {
        L"", L" ", L"\t", L" \t  \t", std::wstring(32766, L'x'), L"\"" + std::wstring(32765, L'y'),
        L"flagpost.exe " + std::wstring(101, L'"'), L"\"C:\\Program Files\\Flag post\\flagpost.exe\"",
        L"flagpost.exe \xD800", L"\xDC00",
        L"flagpost.exe \x00E4\x00F6\x00FC \x041F\x0440\x0438\x0432\x0435\x0442 \xD83D\xDE00"};
    const wchar_t* const programs[] = {L"flagpost.exe", L"\"C:\\Program Files\\Flag post\\flagpost.exe\"",
                                       L"\"flag post.exe", L"\"\"", L""};
    const wchar_t* const separators[] = {L"", L" ", L"\t"};
    const wchar_t* const pieces[] = {L" ", L"\t", L"\"", L"\"\"", L"\\\"", L"\\\\", L"/quiet", L"-x=1", L"\x00E9",
                                     L"\x4E2D\x6587", L"\x202E", L"\xD83D\xDEA9", L"\xD800", L"\xDFFF",
                                     L"\xDC00\xD800", L"\xFEFF", L"\xFFFF", L"%PATH%", L"^&|<>"};
    // A fixed generator, not std::rand: the same lines on every system.
    uint32_t state = 20261208;
    auto next = [&state](uint32_t bound) {
        state = state * 1664525u + 1013904223u;
        return (state >> 8) % bound;
    };
    while (lines.size() < 1000)
    {
        std::wstring line = programs[next(5)];
        line += separators[next(3)];
        for (uint32_t count = next(41); count > 0; --count)
            line += pieces[next(sizeof(pieces) / sizeof(pieces[0]))];
        lines.push_back(line);
    }
    return lines;
}

long long RunToEnd(std::wstring commandLine, std::string* output, DWORD milliseconds)
{
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    HANDLE file = INVALID_HANDLE_VALUE;
    if (output)
    {
        wchar_t name[MAX_PATH];
        SECURITY_ATTRIBUTES inherited = {sizeof(inherited), NULL, TRUE};
        if (GetTempFileNameW(TemporaryFolder().c_str(), L"out", 0, name))
            file = CreateFileW(name, GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherited, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, NULL);
        if (file == INVALID_HANDLE_VALUE)
        {
            ADD_FAILURE() << "no file for the output of " << testing::PrintToString(commandLine) << ": error "
                          << GetLastError();
            return -1;
        }
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = NULL;
        startup.hStdOutput = startup.hStdError = file;
    }
    PROCESS_INFORMATION process;
    commandLine.push_back(L'\0');    // CreateProcessW may write into the line
    if (!CreateProcessW(NULL, &commandLine[0], NULL, NULL, output != nullptr, 0, NULL, NULL, &startup, &process))
    {
        ADD_FAILURE() << "CreateProcessW failed with " << GetLastError() << ": " << testing::PrintToString(commandLine);
        if (output)
            CloseHandle(file);
        return -1;
    }
    long long result = RunToEnd(process, milliseconds);
    if (result == -1)
        ADD_FAILURE() << "the line was " << testing::PrintToString(commandLine);
    if (output)
    {
        SetFilePointer(file, 0, NULL, FILE_BEGIN);
        *output = ReadToEnd(file);
        CloseHandle(file);
    }
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

namespace {

std::wstring Carried(const wchar_t* name)
{
    return TemporaryFolder() + L"flagpost-across-restart-" + name + L".txt";
}

}

void CarryOver(const wchar_t* name, const std::string& text)
{
    ASSERT_TRUE(WriteFileText(Carried(name), text)) << "error " << GetLastError();
}

std::string CarriedFromTheLastBoot(const wchar_t* name)
{
    std::string text = ReadFileText(Carried(name));
    DeleteFileW(Carried(name).c_str());
    return text;
}

bool OnWine()
{
    return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != NULL;
}

void ExpectWindowsBehaviour(bool shown, const char* file, int line, const std::string& windows)
{
    wchar_t required[8] = L"";
    DWORD length = GetEnvironmentVariableW(L"FLAGPOST_REQUIRE_WINDOWS", required, 8);
    if (OnWine() && (length == 0 || (length == 1 && required[0] == L'0')))
        GTEST_MESSAGE_AT_(file, line, "", shown ? testing::TestPartResult::kNonFatalFailure
                                                : testing::TestPartResult::kSkip)
            << (shown ? "passes under Wine now, remove the mark: " : WINE_DIFFERENCE) << windows;
    else if (!shown)
        ADD_FAILURE_AT(file, line) << (OnWine() ? "not shown under Wine (FLAGPOST_REQUIRE_WINDOWS): " : "") << windows;
}

namespace {

// One line after the last check, for a reader of the log on either system. A case with a known
// Wine difference and no failure is a skip in GoogleTest's count: never a pass.
class Summary : public testing::EmptyTestEventListener
{
    void OnTestPartResult(const testing::TestPartResult& result) override
    {
        differences += result.skipped() && std::string(result.message()).find(WINE_DIFFERENCE) != std::string::npos;
    }
    void OnTestProgramEnd(const testing::UnitTest& tests) override
    {
        std::printf("flagpost_tests on %s: %d cases run: %d passed, %d failed, %d skipped; %d known Wine "
                    "differences%s\n", OnWine() ? "Wine" : "Windows", tests.test_to_run_count(),
                    tests.successful_test_count(), tests.failed_test_count(), tests.skipped_test_count(), differences,
                    differences ? ", each naming what Windows does: FLAGPOST_REQUIRE_WINDOWS=1 fails them" : "");
    }
    int differences = 0;
};

// Listed before main runs; the listener list owns it.
const bool g_summaryListed = (testing::UnitTest::GetInstance()->listeners().Append(new Summary), true);

}

// flagpost_tests.exe is also each helper program that its cases start, as Wine's tests re-run
// themselves: one exe to build and to ship to a Windows machine. A role ends with a non-zero exit
// code, so a role set by mistake never passes for a test run.
int PrintPremises();

int main(int argc, char** argv)
{
    // An argument, not a role: it ends with 0 for the workflow's step, and unlike a variable it
    // cannot be left set for a later run of the cases.
    if (argc == 2 && lstrcmpA(argv[1], "--premises") == 0)
        return PrintPremises();
    wchar_t role[32] = L"";
    DWORD length = GetEnvironmentVariableW(CHILD_ROLE, role, 32);
    if (length > 0 && length < 32)
    {
        if (lstrcmpW(role, L"stray-reg") == 0)
            return 3;
        if (lstrcmpW(role, L"windows-version") == 0)
        {
            // GetVersionExW is what a program sees; Wine's per-application Version setting changes it.
            OSVERSIONINFOW version = {};
            version.dwOSVersionInfoSize = sizeof(version);
            if (!GetVersionExW(&version))
                return 1;
            return static_cast<int>(version.dwMajorVersion * 100 + version.dwMinorVersion);
        }
    }
    testing::InitGoogleTest(&argc, argv);
    int result = RUN_ALL_TESTS();
    // A filter that matches no case, after a case was renamed, would otherwise pass.
    if (testing::UnitTest::GetInstance()->test_to_run_count() == 0)
    {
        std::puts("flagpost_tests: no case matches the filter");
        return 1;
    }
    return result;
}
