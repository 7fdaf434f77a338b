// flagpost.exe run for real, as installers and admin scripts start it, with CreateProcessW; its
// marker read back through both registry views. One program for Wine and Windows.
#include "support.h"

#include <gtest/gtest-spi.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <thread>
#include <tuple>
#include <vector>

namespace {

// Every value and subkey below HKLM\path in the 32-bit view, names and data, as one text; empty
// when the key cannot be read.
std::string KeyContents(const std::wstring& path)
{
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | KEY_WOW64_32KEY, &key) != ERROR_SUCCESS)
        return "";
    std::string contents = "[" + Narrow(path) + "]";
    wchar_t name[256];
    BYTE data[1024];
    for (DWORD i = 0;; ++i)
    {
        DWORD nameLength = 256, size = sizeof(data), type;
        if (RegEnumValueW(key, i, name, &nameLength, NULL, &type, data, &size) != ERROR_SUCCESS)
            break;
        contents += " " + Narrow(name) + "=" + std::to_string(type) + ":" +
                    std::string(reinterpret_cast<char*>(data), size);
    }
    std::vector<std::wstring> subkeys;
    for (DWORD i = 0;; ++i)
    {
        DWORD nameLength = 256;
        if (RegEnumKeyExW(key, i, name, &nameLength, NULL, NULL, NULL, NULL) != ERROR_SUCCESS)
            break;
        subkeys.push_back(name);
    }
    RegCloseKey(key);
    for (const std::wstring& subkey : subkeys)
        contents += " " + KeyContents(path + L"\\" + subkey);
    return contents;
}

// root\path as an ordinary key, in the 32-bit view where there are two, with one string value
// unless `value` is null.
LONG SetString(HKEY root, const std::wstring& path, const wchar_t* value, const wchar_t* data)
{
    HKEY key;
    LONG status = RegCreateKeyExW(root, path.c_str(), 0, NULL, REG_OPTION_NON_VOLATILE,
                                  KEY_ALL_ACCESS | KEY_WOW64_32KEY, NULL, &key, NULL);
    if (status != ERROR_SUCCESS)
        return status;
    if (value)
        status = RegSetValueExW(key, value, 0, REG_SZ, reinterpret_cast<const BYTE*>(data),
                                static_cast<DWORD>((lstrlenW(data) + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    return status;
}

// An ordinary marker key, as another program could have left it: a value and a subkey.
void CreateOrdinaryMarker()
{
    ASSERT_EQ(ERROR_SUCCESS, SetString(HKEY_LOCAL_MACHINE, MARKER_KEY, L"Kept", L"yes"));
    ASSERT_EQ(ERROR_SUCCESS, SetString(HKEY_LOCAL_MACHINE, std::wstring(MARKER_KEY) + L"\\Child", nullptr, nullptr));
}

class EndToEnd : public MarkerScenario
{
};

TEST_F(EndToEnd, SetsAFreshMarkerInThe32BitViewOnlyThatASecondRunLeavesAsItIs)
{
    EXPECT_EQ(0, RunFlagpost());
    EXPECT_EQ("", MarkerProblem());
    EXPECT_EQ(ERROR_CHILD_MUST_BE_VOLATILE, CreateNonVolatileChild(MARKER_PARENT))
        << "the parent that the run created is not volatile";
    EXPECT_EQ(0, RunFlagpost()) << "the second run";
    EXPECT_EQ("", MarkerProblem()) << "after the second run";
}

TEST_F(EndToEnd, AnOrdinaryParentStaysOrdinaryWithItsValues)
{
    ASSERT_EQ(ERROR_SUCCESS, SetString(HKEY_LOCAL_MACHINE, MARKER_PARENT, L"Vendor", L"kept"));
    std::string before = KeyContents(MARKER_PARENT);

    EXPECT_EQ(0, RunFlagpost());
    EXPECT_EQ("", MarkerProblem());
    EXPECT_EQ(ERROR_SUCCESS, CreateNonVolatileChild(MARKER_PARENT)) << "the ordinary parent became volatile";
    EXPECT_EQ(before + " [" + Narrow(MARKER_KEY) + "]", KeyContents(MARKER_PARENT));
}

TEST_F(EndToEnd, AnOrdinaryMarkerKeyIsLeftAsItWas)
{
    CreateOrdinaryMarker();
    std::string before = KeyContents(MARKER_KEY);

    EXPECT_EQ(0, RunFlagpost());
    EXPECT_EQ(before, KeyContents(MARKER_KEY));
    EXPECT_EQ(ERROR_SUCCESS, CreateNonVolatileChild(MARKER_KEY)) << "the ordinary key became volatile";
}

TEST_F(EndToEnd, AKeyDeniedToTheCallerIsLeftByteForByte)
{
    // A key that denies everyone every right stands in for a caller without administrative
    // rights: Wine grants every right on a key it creates, but checks the DACL of one it opens.
    CreateOrdinaryMarker();
    std::string contents = KeyContents(MARKER_KEY), before, after;
    ASSERT_EQ(ERROR_SUCCESS, SetKeyDacl(MARKER_KEY, DENY_EVERYONE));
    ASSERT_EQ(ERROR_SUCCESS, ReadKeySecurity(MARKER_KEY, &before));
    ASSERT_EQ("", KeyContents(MARKER_KEY)) << "the deny entry does not keep this process out";

    EXPECT_EQ(0, RunFlagpost());
    EXPECT_EQ(ERROR_SUCCESS, ReadKeySecurity(MARKER_KEY, &after));
    EXPECT_EQ(before, after) << "the key's owner, group or DACL changed";
    ASSERT_EQ(ERROR_SUCCESS, SetKeyDacl(MARKER_KEY, ALLOW_EVERYONE));
    EXPECT_EQ(contents, KeyContents(MARKER_KEY)) << "the key's values or subkeys changed";
    EXPECT_EQ(ERROR_SUCCESS, CreateNonVolatileChild(MARKER_KEY)) << "the key became volatile";
}

TEST_F(EndToEnd, ThirtyTwoCopiesStartedAtOnceLeaveOneFreshMarker)
{
    // Enough copies that, resumed together, several race for each key on two cores or twenty;
    // each costs half a second of a core where i386 is emulated.
    const int COPIES = 32;
    std::vector<PROCESS_INFORMATION> copies;
    std::vector<HANDLE> handles;
    for (int i = 0; i < COPIES; ++i)
    {
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        std::wstring commandLine = Quoted(Flagpost());
        PROCESS_INFORMATION process;
        if (!CreateProcessW(NULL, &commandLine[0], NULL, NULL, FALSE, CREATE_SUSPENDED, NULL, NULL, &startup, &process))
        {
            ADD_FAILURE() << "copy " << i + 1 << ": CreateProcessW failed with " << GetLastError();
            break;
        }
        copies.push_back(process);
        handles.push_back(process.hProcess);
    }
    for (const PROCESS_INFORMATION& process : copies)
        ResumeThread(process.hThread);
    EXPECT_NE(static_cast<DWORD>(WAIT_TIMEOUT),
              WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), TRUE, 300000))
        << "not all copies ended within 300 s";
    for (size_t i = 0; i < copies.size(); ++i)
    {
        DWORD exitCode = 0xBAD;
        GetExitCodeProcess(copies[i].hProcess, &exitCode);
        EXPECT_EQ(0u, exitCode) << "copy " << i + 1;
        CloseHandle(copies[i].hThread);
        CloseHandle(copies[i].hProcess);
    }
    EXPECT_EQ(COPIES, static_cast<int>(copies.size()));
    EXPECT_EQ("", MarkerProblem());
    EXPECT_EQ("[" + Narrow(MARKER_PARENT) + "] [" + Narrow(MARKER_KEY) + "]", KeyContents(MARKER_PARENT))
        << "anything but the marker below its parent";
    EXPECT_EQ(ERROR_CHILD_MUST_BE_VOLATILE, CreateNonVolatileChild(MARKER_PARENT))
        << "the parent that the copies created is not volatile";
}

TEST_F(EndToEnd, HostileCommandLinesStartedAsProcessesEachSetAFreshMarker)
{
    // Every line runs in process (ProgramTest.HostileCommandLines...), through the code that the
    // exe's entry hands it to; these also through CreateProcessW and that entry: the awkward ones
    // and every 100th of the others, then arguments that a caller may pass after the program's
    // real path. Started and waited for, a process costs three quarters of a second where i386 is
    // emulated.
    std::vector<std::wstring> lines = HostileCommandLines();
    const size_t hostile = lines.size();
    for (const std::wstring& arguments :
         {std::wstring(L"/?"), std::wstring(L"\"a b\" \"\"\" \"\""), std::wstring(L"\t --x=\u00ff\u20ac\u4e2d"),
          std::wstring(4000, L'y')})
        lines.push_back(Quoted(Flagpost()) + L" " + arguments);
    int runs = 0, failures = 0;
    for (size_t i = 0; i < lines.size(); ++i)
    {
        if (i >= AWKWARD_LINE_COUNT && i < hostile && (i - AWKWARD_LINE_COUNT) % 100 != 0)
            continue;
        ++runs;
        ASSERT_TRUE(RemoveMarkerAndParent());
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        std::wstring commandLine = lines[i] + L'\0';
        PROCESS_INFORMATION process;
        // The line is handed over whole, program name and all, as the caller wrote it.
        if (!CreateProcessW(Flagpost().c_str(), &commandLine[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process))
        {
            ADD_FAILURE() << "line " << i + 1 << ": CreateProcessW failed with " << GetLastError();
            ++failures;
            continue;
        }
        long long code = RunToEnd(process, 60000);
        std::string problem = code != 0 ? "exit code " + std::to_string(code) : MarkerProblem();
        EXPECT_EQ("", problem) << "line " << i + 1 << " (" << lines[i].size() << " units): "
                               << Narrow(lines[i].substr(0, 60));
        failures += !problem.empty();
    }
    EXPECT_EQ(0, failures) << "of " << runs << " runs";
}

// Wine's per-application setting for one exe name, in HKCU\Software\Wine\AppDefaults\NAME;
// taken away again, whatever ends the case.
class WineAppSetting
{
public:
    WineAppSetting(const std::wstring& exe, const wchar_t* value, const wchar_t* data)
        : key(L"Software\\Wine\\AppDefaults\\" + exe), status(SetString(HKEY_CURRENT_USER, key, value, data))
    {
    }
    ~WineAppSetting() { RegDeleteTreeW(HKEY_CURRENT_USER, key.c_str()); }
    WineAppSetting(const WineAppSetting&) = delete;
    WineAppSetting& operator=(const WineAppSetting&) = delete;
    const std::wstring key;
    const LONG status;
};

TEST_F(EndToEnd, RunsWhereWineShowsItWindowsXp)
{
    if (!OnWine())
        GTEST_SKIP() << "Windows XP is Wine's per-application setting here; Windows shows only what it is";
    // Wine's per-application Windows version, by the exe's name; a helper run of this exe shows
    // that it reaches a 32-bit program.
    WineAppSetting flagpostXp(L"flagpost.exe", L"Version", L"winxp");
    WineAppSetting testsXp(ProgramPath().substr(ProgramFolder().size()), L"Version", L"winxp");
    ASSERT_EQ(ERROR_SUCCESS, flagpostXp.status);
    ASSERT_EQ(ERROR_SUCCESS, testsXp.status);
    EnvironmentVariable role(CHILD_ROLE, L"windows-version");
    ASSERT_EQ(501, RunToEnd(Quoted(ProgramPath()))) << "Wine does not show a 32-bit exe Windows XP (5.1)";
    EXPECT_EQ(0, RunFlagpost());
    EXPECT_EQ("", MarkerProblem());
}

// A global WH_CBT hook with planted.dll's procedure while it lives; `error` is 0, or why it was
// not set. Its own thread sets it and pumps messages to the end: Windows runs a 32-bit hook for a
// 64-bit program on the thread that set it.
struct PlantedHook
{
    PlantedHook() { WaitForSingleObject(ready, INFINITE); }
    ~PlantedHook()
    {
        PostThreadMessageW(threadId, WM_QUIT, 0, 0);
        worker.join();
        CloseHandle(ready);
    }
    HANDLE ready = CreateEventW(NULL, TRUE, FALSE, NULL);
    DWORD error = 0, threadId = 0;
    std::thread worker{[this] {
        HMODULE dll = LoadLibraryW((ProgramFolder() + L"planted.dll").c_str());
        FARPROC procedure = dll ? GetProcAddress(dll, "CbtProc") : NULL;
        HHOOK hook = procedure ? SetWindowsHookExW(WH_CBT, reinterpret_cast<HOOKPROC>(procedure), dll, 0) : NULL;
        error = hook ? 0 : GetLastError();
        MSG message;
        PeekMessageW(&message, NULL, 0, 0, PM_NOREMOVE);    // the queue that the quit message needs
        threadId = GetCurrentThreadId();
        SetEvent(ready);
        while (hook && GetMessageW(&message, NULL, 0, 0) > 0)
            DispatchMessageW(&message);
        UnhookWindowsHookEx(hook);
        FreeLibrary(dll);
    }};
};

TEST_F(EndToEnd, DoesNotLoadADllPlantedBesideIt)
{
    // Windows loads a global hook's DLL into each program that creates a window, and its
    // procedure loads flagpost-planted.dll there by its bare name (planted.cpp), as Windows' own
    // DLLs load theirs once a program runs. Beside the stand-in, which leaves the DLL search as
    // Windows sets it, that DLL must load, or the check of flagpost.exe proves nothing.
    ScratchFolder folder(L"flagpost-planted");
    std::wstring flagpost = folder.Copy(Flagpost(), L"flagpost.exe");
    std::wstring control = folder.Copy(ProgramFolder() + L"standin.exe", L"standin.exe");
    ASSERT_NE(L"", flagpost);
    ASSERT_NE(L"", control);
    ASSERT_NE(L"", folder.Copy(ProgramFolder() + L"planted.dll", L"flagpost-planted.dll"));
    std::wstring evidence = folder.File(L"evidence");
    EnvironmentVariable loaded(L"FLAGPOST_PLANTED_EVIDENCE", evidence);
    EnvironmentVariable setsNothing(L"FLAGPOST_STANDIN", L"nothing");
    PlantedHook hook;
    ASSERT_EQ(0u, hook.error) << "the global hook with planted.dll's procedure was not set";

    EXPECT_EQ(0, RunToEnd(Quoted(control)));
    std::string said = ReadFileText(evidence);
    ASSERT_EQ("0", said) << (said.empty() ? "the hook never ran in the stand-in: Windows did not load planted.dll "
                                            "into it when it created its window"
                                          : "the stand-in's hook did not load the DLL beside it: error " + said);
    ASSERT_TRUE(DeleteFileW(evidence.c_str()));
    EXPECT_EQ(0, RunToEnd(Quoted(flagpost)));
    said = ReadFileText(evidence);
    EXPECT_EQ(std::to_string(ERROR_MOD_NOT_FOUND), said)
        << (said.empty() ? "the hook never ran in flagpost.exe: nothing was shown"
                         : said == "0" ? "flagpost.exe loaded the DLL planted beside it" : "LoadLibraryW's error");
    EXPECT_EQ("", MarkerProblem()) << "the copy of flagpost.exe did not get as far as its window and the marker";
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - (end > start && text[end - 1] == '\r' ? start + 1 : start)));
    if (start < text.size())
        lines.push_back(text.substr(start));
    while (!lines.empty() && lines.back().empty())
        lines.pop_back();
    return lines;
}

bool Has(const std::vector<std::string>& lines, const std::string& line)
{
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// (exit code, lines) of `cmd /d /c "script" "argument"`: cmd takes off the outer quotes.
long long RunScript(const std::wstring& cmd, const std::wstring& script, const std::wstring& argument,
                    std::vector<std::string>* lines)
{
    std::string output;
    std::wstring line = Quoted(script) + (argument.empty() ? L"" : L" " + Quoted(argument));
    long long code = RunToEnd(Quoted(cmd) + L" /d /c \"" + line + L"\"", &output);
    *lines = Lines(output);
    return code;
}

std::string LastLine(const std::vector<std::string>& lines)
{
    return lines.empty() ? "(no output)" : lines.back();
}

std::string Joined(const std::vector<std::string>& lines)
{
    std::string text;
    for (const std::string& line : lines)
        text += line + "\n";
    return text;
}

// What the script says of a key that it shows volatile, and of one that refused a subkey without
// Windows' words for ERROR_CHILD_MUST_BE_VOLATILE.
const std::string VOLATILE = " is volatile (Windows refused an ordinary subkey under it with ERROR_CHILD_MUST_BE_VOLATILE)";
const std::string NOT_SHOWN = " is volatile: not shown. reg add of an ordinary subkey under it was refused (reg.exe exit 1)";
const char* const WINE_VOLATILE = "Windows' reg.exe words a refusal as `net helpmsg` does; Wine's words each alike, and "
                                  "its net.exe has no helpmsg, so no key is shown volatile:\n";

// docs/flagpost-check.cmd, which ships beside flagpost.exe, as a user runs it from an elevated
// prompt: the exe's path as its argument.
class CheckScript : public MarkerScenario
{
protected:
    std::wstring Script() { return ProgramFolder() + L"flagpost-check.cmd"; }
    // The run with the lines, counts and exit code that Windows gives: a key that the script could
    // not show volatile (under Wine, each) counts as the pass it is there, and its line goes to
    // `unshown`, for the Wine mark that ends the case.
    long long RunAsOnWindows(const std::wstring& cmd, const std::wstring& script, const std::wstring& exe,
                             std::vector<std::string>* lines, std::string* unshown)
    {
        long long code = RunScript(cmd, script, exe, lines);
        int moved = 0, passed = -1, failed = -1;
        for (std::string& line : *lines)
            if (size_t at = line.find(NOT_SHOWN); line.rfind("FAIL ", 0) == 0 && at != std::string::npos)
                *unshown += line + "\n", line = "ok   " + line.substr(5, at - 5) + VOLATILE, ++moved;
        if (moved && std::sscanf(LastLine(*lines).c_str(), "%d passed, %d failed", &passed, &failed) == 2)
            lines->back() = std::to_string(passed + moved) + " passed, " + std::to_string(failed - moved) + " failed";
        return moved && code == 1 && failed == moved ? 0 : code;
    }
};

// From flagpost.exe's folder with the native cmd.exe, and with the 32-bit one (in a 32-bit process,
// System32 is the 32-bit one) from a folder whose path holds "!"; on 64-bit Windows with a 64-bit
// product's key under HKLM\Software\Ostrevane in the 64-bit view, no fault.
TEST_F(CheckScript, WithNoMarkerItPassesAndLeavesNoMarkerOrParentOrAVendorKeyChanged)
{
    bool wow64 = InWow64();
    const std::wstring product = std::wstring(MARKER_PARENT) + L"\\Other";
    const wchar_t* vendor = product.c_str();
    const wchar_t setting[] = L"64-bit product";
    HKEY key;
    if (wow64 && RegCreateKeyExW(HKEY_LOCAL_MACHINE, vendor, 0, NULL, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, NULL, &key,
                                 NULL) == ERROR_SUCCESS)
    {
        RegSetValueExW(key, L"Setting", 0, REG_SZ, reinterpret_cast<const BYTE*>(setting), sizeof(setting));
        RegCloseKey(key);
    }
    ScratchFolder folder(L"flag!post!check");
    std::wstring script = folder.Copy(Script(), L"flagpost-check.cmd"), exe = folder.Copy(Flagpost(), L"flagpost.exe");
    std::string unshown;
    for (const auto& run : {std::vector<std::wstring>{NativeProgram(L"cmd.exe"), Script(), Flagpost()},
                            {EnvironmentValue(L"SystemRoot") + L"\\System32\\cmd.exe", script, exe}})
    {
        std::vector<std::string> lines;
        long long code = RunAsOnWindows(run[0], run[1], run[2], &lines, &unshown);
        std::string seen = Narrow(run[0] + L" " + run[1]) + "\n" + Joined(lines);
        EXPECT_EQ(0, code) << seen;
        EXPECT_EQ("9 passed, 0 failed", LastLine(lines)) << seen;
        EXPECT_TRUE(Has(lines, "ok   the marker" + VOLATILE)) << seen;
        wchar_t data[64] = L"";
        DWORD size = sizeof(data);
        EXPECT_TRUE(!wow64 || (RegGetValueW(HKEY_LOCAL_MACHINE, vendor, L"Setting", RRF_RT_REG_SZ | RRF_SUBKEY_WOW6464KEY,
                                            NULL, data, &size) == ERROR_SUCCESS && std::wstring(data) == setting))
            << "the 64-bit vendor key changed\n" << seen;
        EXPECT_FALSE(KeyExists(MARKER_KEY)) << "the check left its marker set\n" << seen;
        EXPECT_FALSE(KeyExists(MARKER_PARENT)) << "the check left the parent it caused\n" << seen;
    }
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, vendor, KEY_WOW64_64KEY, 0);
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, MARKER_PARENT, KEY_WOW64_64KEY, 0);
    EXPECT_WINDOWS_BEHAVIOUR(unshown.empty(), WINE_VOLATILE << unshown);
}

TEST_F(CheckScript, WithAMarkerAlreadySetItPassesAndKeepsTheMarker)
{
    ASSERT_EQ(0, RunFlagpost());
    std::vector<std::string> lines;
    std::string unshown;
    EXPECT_EQ(0, RunAsOnWindows(NativeProgram(L"cmd.exe"), Script(), Flagpost(), &lines, &unshown)) << Joined(lines);
    EXPECT_EQ("4 passed, 0 failed", LastLine(lines)) << Joined(lines);
    EXPECT_NE(std::string::npos, Joined(lines).find("The marker is already set")) << Joined(lines);
    EXPECT_EQ("", MarkerProblem()) << "the marker that the check found is gone or changed";
    EXPECT_WINDOWS_BEHAVIOUR(unshown.empty(), WINE_VOLATILE << unshown);
}

// Refusals for other reasons: an ordinary marker whose DACL refuses subkeys, and in the 64-bit
// view, a marker that may not be opened. Neither shows a pass.
TEST_F(CheckScript, RefusalsForOtherReasonsShowNeitherVolatilityNorAbsence)
{
    // Each key: made in `view`, then given the DACL; none denies what deleting it takes.
    auto create = [](const std::wstring& path, const wchar_t* sddl, REGSAM view) {
        PSECURITY_DESCRIPTOR descriptor = NULL;
        HKEY key = NULL;
        LONG status = ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, NULL)
                          ? RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, NULL, 0, WRITE_DAC | view, NULL, &key, NULL)
                          : ERROR_INVALID_PARAMETER;
        status = status == ERROR_SUCCESS ? RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor) : status;
        RegCloseKey(key);
        LocalFree(descriptor);
        return status;
    };
    bool wow64 = InWow64();
    // Denied: 0x4, KEY_CREATE_SUB_KEY; KR, what reg query asks for.
    ASSERT_EQ(ERROR_SUCCESS, create(MARKER_KEY, L"D:P(D;;0x4;;;WD)(A;;KA;;;WD)", 0));
    ASSERT_EQ(ERROR_SUCCESS, wow64 ? create(MARKER_KEY, L"D:P(D;;KR;;;WD)(A;;KA;;;WD)", KEY_WOW64_64KEY) : 0L);
    std::vector<std::string> lines;
    long long code = RunScript(NativeProgram(L"cmd.exe"), Script(), Flagpost(), &lines);
    for (const wchar_t* path : {MARKER_KEY, MARKER_PARENT})
        EXPECT_TRUE(!wow64 || RegDeleteKeyExW(HKEY_LOCAL_MACHINE, path, KEY_WOW64_64KEY, 0) == ERROR_SUCCESS);
    EXPECT_EQ(1, code) << Joined(lines);
    EXPECT_EQ(wow64 ? "2 passed, 2 failed" : "2 passed, 1 failed", LastLine(lines)) << Joined(lines);
    EXPECT_TRUE(Has(lines, "FAIL the marker" + NOT_SHOWN)) << Joined(lines);
    EXPECT_TRUE(!wow64 || Has(lines, "FAIL the marker is absent from the 64-bit view")) << Joined(lines);
}

// A faulty flagpost.exe, the stand-in: one that makes ordinary keys, and one that makes an ordinary
// parent over a volatile marker. The script removes what either made.
TEST_F(CheckScript, AFlagpostThatMakesOrdinaryKeysFailsTheirVolatilityChecks)
{
    const std::string parentFails = "FAIL the parent HKLM\\" + Narrow(MARKER_PARENT) +
                                    ", made by this run, is volatile: an ordinary subkey could be made under it";
    std::string unshown;
    for (const auto& [standIn, summary, marker] :
         {std::tuple<const wchar_t*, const char*, std::string>{
              L"", "7 passed, 2 failed", "FAIL the marker is volatile: an ordinary subkey could be made under it"},
          {L"ordinary-parent", "8 passed, 1 failed", "ok   the marker" + VOLATILE}})
    {
        ScratchFolder folder(L"flagpost-check-stand-in");
        std::wstring exe = folder.Copy(ProgramFolder() + L"standin.exe", L"flagpost.exe");
        EnvironmentVariable variable(L"FLAGPOST_STANDIN", standIn);
        std::vector<std::string> lines;
        EXPECT_EQ(1, RunAsOnWindows(NativeProgram(L"cmd.exe"), Script(), exe, &lines, &unshown)) << Joined(lines);
        EXPECT_EQ(summary, LastLine(lines)) << Joined(lines);
        EXPECT_TRUE(Has(lines, marker) && Has(lines, parentFails)) << Joined(lines);
        EXPECT_FALSE(KeyExists(MARKER_PARENT)) << "the check did not remove what the faulty exe made\n" << Joined(lines);
    }
    EXPECT_WINDOWS_BEHAVIOUR(unshown.empty(), WINE_VOLATILE << unshown);
}

// The README's command for cmd.exe, read from the README beside this program, run as written:
// reg.exe by full path, the SysWOW64 one where it exists. Its exit code is the answer.
TEST_F(CheckScript, TheReadmesRegCommandSaysOneWithoutAMarkerAndZeroWithIt)
{
    std::vector<std::string> readme = Lines(ReadFileText(ProgramFolder() + L"README.md")), command = {"@echo off"};
    for (size_t i = 0; i < readme.size(); ++i)
        if (readme[i].rfind("    set \"REG=", 0) == 0)
            for (size_t j = i; j < readme.size() && readme[j].rfind("    ", 0) == 0; ++j)
                command.push_back(readme[j].substr(4));
    ASSERT_EQ(4u, command.size()) << "the README's command is not the three lines it was:\n" << Joined(command);
    ScratchFolder folder(L"flagpost-readme-command");
    std::wstring script = folder.Write(L"pending.cmd", Joined(command) + "exit /b %ERRORLEVEL%\n");
    ASSERT_NE(L"", script);

    std::vector<std::string> lines;
    EXPECT_EQ(1, RunScript(NativeProgram(L"cmd.exe"), script, L"", &lines)) << "without a marker\n" << Joined(lines);
    ASSERT_EQ(0, RunFlagpost());
    EXPECT_EQ(0, RunScript(NativeProgram(L"cmd.exe"), script, L"", &lines)) << "with the marker\n" << Joined(lines);
}

// Scenarios that a restart ends. Each BootN case runs in the Nth boot of a chain of Wine boots
// that CTest holds together, a restart between each two: it checks what the boot before left
// and sets up what the next one checks, so only the last cleans up. A process cannot restart
// its own Windows: on Windows these are not run.
TEST(AcrossRestart, Boot1SetsTheMarkerAndItsParent)
{
    ASSERT_TRUE(RemoveMarkerAndParent());
    EXPECT_EQ(0, RunFlagpost());
    EXPECT_EQ("", MarkerProblem());
}

// Seconds after the processes of boot 1 ended, from another process: the boot is held, so that
// boot 2 finding nothing shows a restart, not a wineserver that ended with its last client.
TEST(AcrossRestart, HeldBoot1KeepsTheMarkerAfterItsProcessesEnd)
{
    EXPECT_EQ("", MarkerProblem());
}

TEST(AcrossRestart, Boot2FindsNoMarkerOrParentThenSetsTheMarkerUnderAnOrdinaryParent)
{
    EXPECT_FALSE(KeyExists(MARKER_KEY)) << "the marker survived the restart";
    EXPECT_FALSE(KeyExists(MARKER_PARENT)) << "the parent that flagpost.exe made survived the restart";

    ASSERT_TRUE(RemoveMarkerAndParent());
    ASSERT_EQ(ERROR_SUCCESS, SetString(HKEY_LOCAL_MACHINE, MARKER_PARENT, L"Vendor", L"kept"));
    CarryOver(L"parent", KeyContents(MARKER_PARENT));
    EXPECT_EQ(0, RunFlagpost());
    EXPECT_EQ("", MarkerProblem());
}

// An ordinary key that flagpost.exe leaves ordinary survives a restart as any other: EndToEnd's
// cases show each stays ordinary, so the chain ends with the parent.
TEST(AcrossRestart, Boot3FindsTheOrdinaryParentAsItWasAndNoMarker)
{
    std::string before = CarriedFromTheLastBoot(L"parent");
    EXPECT_NE("", before) << "nothing carried over from boot 2";
    EXPECT_EQ(before, KeyContents(MARKER_PARENT)) << "the ordinary parent did not survive the restart as it was";
    EXPECT_FALSE(KeyExists(MARKER_KEY)) << "the marker survived the restart";
    EXPECT_TRUE(RemoveMarkerAndParent());
}

// What EXPECT_WINDOWS_BEHAVIOUR makes of a check, shown or not: under Wine a known difference
// that names what Windows does, and a failure once Wine shows it, so that no mark outlives its
// difference; a failure when not shown with FLAGPOST_REQUIRE_WINDOWS=1, as the Windows job sets
// it, and on Windows. Either way the case goes on. A mark that nothing could turn into a failure
// would pass on Windows what was never shown.
TEST(WindowsBehaviour, IsAWineDifferenceUnderWineOnlyAndAFailureWhenRequiredOrStale)
{
    for (const wchar_t* required : {L"0", L"1", L"yes"})
        for (bool shown : {false, true})
        {
            EnvironmentVariable variable(L"FLAGPOST_REQUIRE_WINDOWS", required);
            testing::TestPartResultArray results;
            {
                testing::ScopedFakeTestPartResultReporter reporter(
                    testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &results);
                for (int twice = 0; twice < 2; ++twice)
                    EXPECT_WINDOWS_BEHAVIOUR(shown, "what Windows does, " << 42);
            }
            std::string where = Narrow(required) + (shown ? ", shown" : ", not shown");
            bool todo = OnWine() && lstrcmpW(required, L"0") == 0;
            ASSERT_EQ(todo || !shown ? 2 : 0, results.size()) << where << ", or the case did not go on";
            if (results.size() == 0)
                continue;
            const testing::TestPartResult& result = results.GetTestPartResult(1);
            EXPECT_EQ(todo && !shown ? testing::TestPartResult::kSkip : testing::TestPartResult::kNonFatalFailure,
                      result.type())
                << where;
            // A failure's first line says "Failed"; GoogleTest 1.16 (Debian 13) ends it with a newline.
            std::string said = result.message();
            while (!said.empty() && said.back() == '\n')
                said.pop_back();
            EXPECT_EQ(std::string(todo ? (shown ? "passes under Wine now, remove the mark: " : WINE_DIFFERENCE)
                                  : OnWine() ? "not shown under Wine (FLAGPOST_REQUIRE_WINDOWS): "
                                             : "") + "what Windows does, 42",
                      said.substr(said.find_last_of('\n') + 1))
                << where;
        }
}

}
