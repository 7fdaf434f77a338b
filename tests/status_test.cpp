// flagpost-status.exe run as an admin runs it at a prompt, against a registry that each case sets
// up and puts back: its exit code, and the lines it writes for the marker and Windows' signals.
#include "support.h"

#include <powrprof.h>
#include <winternl.h>

#include <memory>
#include <tuple>

namespace {

const ULONGLONG SECOND = 10000000;
const wchar_t* const SESSION_MANAGER = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
const char* const WRITE_TIME_SET = "NtSetInformationKey(KeyWriteTimeInformation) sets a key's last-write time; "
                                   "Wine's is a stub that changes nothing";

ULONGLONG Ticks(const FILETIME& time)
{
    return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

ULONGLONG Now()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return Ticks(now);
}

struct Report
{
    long long code;
    std::string text;
    // The line that begins with `start`, or "".
    std::string Line(const std::string& start) const
    {
        size_t at = text.find(start);
        return at == std::string::npos ? "" : text.substr(at, text.find('\r', at) - at);
    }
};

Report RunStatus(const std::wstring& arguments = L"")
{
    Report report;
    report.code = RunToEnd(Quoted(ProgramFolder() + L"flagpost-status.exe") + arguments, &report.text);
    return report;
}

// The time after `after` in `line`, "2026-12-10 12:01:33 (UTC+01:00)", in UTC; 0 if there is none.
ULONGLONG TimeAfter(const std::string& line, const std::string& after)
{
    SYSTEMTIME local = {};
    int hours, minutes;
    char sign;
    FILETIME time;
    size_t at = line.find(after);
    if (at == std::string::npos ||
        std::sscanf(line.c_str() + at + after.size(), "%hu-%hu-%hu %hu:%hu:%hu (UTC%c%d:%d)", &local.wYear,
                    &local.wMonth, &local.wDay, &local.wHour, &local.wMinute, &local.wSecond, &sign, &hours,
                    &minutes) != 9 ||
        !SystemTimeToFileTime(&local, &time))
        return 0;
    return Ticks(time) - (sign == '-' ? -1 : 1) * (hours * 60LL + minutes) * 60 * SECOND;
}

// HKLM\path's last-write time set to a day before this boot, as for a key that a restart did
// not clear: whether the key shows it afterwards.
bool WrittenADayBeforeBoot(const wchar_t* path, REGSAM view)
{
    HKEY key;
    LARGE_INTEGER time;
    time.QuadPart = TimeAfter(RunStatus().Line("This boot"), ": ") - 86400 * SECOND;
    FILETIME written = {};
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_SET_VALUE | KEY_QUERY_VALUE | view, &key) == ERROR_SUCCESS)
    {
        NtSetInformationKey(key, KeyWriteTimeInformation, &time, sizeof(time));
        RegQueryInfoKeyW(key, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, &written);
        RegCloseKey(key);
    }
    return Ticks(written) == static_cast<ULONGLONG>(time.QuadPart);
}

class Status : public MarkerScenario
{
};

TEST_F(Status, TellsWhetherTheMarkerIsSetAndSinceWhen)
{
    const std::string marker = "Flagpost's marker, HKLM\\" + Narrow(MARKER_KEY) + " in the 32-bit registry view: ";
    Report report = RunStatus();
    EXPECT_EQ(1, report.code) << report.text;
    EXPECT_EQ(marker + "not set.", report.Line(marker)) << report.text;

    ULONGLONG before = Now() - SECOND;    // the report gives whole seconds
    ASSERT_EQ(0, RunFlagpost());
    ULONGLONG after = Now();
    report = RunStatus();
    EXPECT_EQ(0, report.code) << report.text;
    EXPECT_EQ(marker + "set.", report.Line(marker)) << report.text;
    ULONGLONG set = TimeAfter(report.Line("  The key"), "written "), boot = TimeAfter(report.Line("This boot"), ": ");
    EXPECT_TRUE(before <= set && set <= after) << "not the time of the run: " << report.text;
    EXPECT_TRUE(boot && boot <= set) << report.text;

    // Someone's ordinary key of that name looks like the marker to a reader that does not write:
    // the report claims no more than it saw.
    ASSERT_TRUE(RemoveMarkerAndParent());
    HKEY ordinary;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, MARKER_KEY, 0, NULL, REG_OPTION_NON_VOLATILE,
                                             KEY_READ | KEY_WOW64_32KEY, NULL, &ordinary, NULL));
    RegCloseKey(ordinary);
    report = RunStatus();
    EXPECT_EQ(0, report.code) << report.text;
    EXPECT_EQ("  Whether it is volatile is not checked here: that takes a write (flagpost-check.cmd does it).",
              report.Line("  Whether")) << report.text;
    // Older than the boot, it proves itself ordinary.
    EXPECT_WINDOWS_BEHAVIOUR(WrittenADayBeforeBoot(MARKER_KEY, KEY_WOW64_32KEY), WRITE_TIME_SET);
    report = RunStatus();
    EXPECT_WINDOWS_BEHAVIOUR(report.code == 2 && report.Line(marker).find(", before this boot of Windows: unless the "
                                                                          "clock was set forward since, a restart did "
                                                                          "not clear it, and it is no volatile marker.")
                                                     != std::string::npos,
                             "a key of the marker's name that is older than the boot is no marker: " << report.text);

    ASSERT_EQ(ERROR_SUCCESS, SetKeyDacl(MARKER_KEY, DENY_EVERYONE));
    report = RunStatus();
    EXPECT_EQ(2, report.code) << report.text;
    EXPECT_EQ(marker + "cannot tell: access denied (error 5).", report.Line(marker)) << report.text;
}

TEST_F(Status, TellsTheBootThatWindowsCountsItsUptimeFrom)
{
    auto uptime = reinterpret_cast<ULONGLONG(WINAPI*)()>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetTickCount64")));
    ASSERT_TRUE(uptime) << "no GetTickCount64: Windows before Vista";
    ULONGLONG started = Now() - uptime() * 10000, boot = TimeAfter(RunStatus().Line("This boot"), ": ");
    LONGLONG apart = static_cast<LONGLONG>(started - boot) / static_cast<LONGLONG>(SECOND);
    // A minute covers the clock's slewing since the boot; a wrong field or time zone is hours off.
    EXPECT_WINDOWS_BEHAVIOUR(apart > -60 && apart < 60, "the boot is the clock less GetTickCount64's uptime; under "
                             "Wine it is the wineserver's start, the uptime the host's: " << apart << " s apart");
}

// HKLM\path in the native view, made with the parents it lacks, which go again with it whatever
// ends the case; a key that was there already is left.
struct NativeKey
{
    explicit NativeKey(const std::wstring& path)
    {
        HKEY key;
        for (size_t at = path.find(L'\\'); made.empty(); at = path.find(L'\\', at + 1))
        {
            LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.substr(0, at).c_str(), 0, KEY_READ | KEY_WOW64_64KEY,
                                        &key);
            if (status == ERROR_FILE_NOT_FOUND)
                made = path.substr(0, at);
            else if (status == ERROR_SUCCESS)
                RegCloseKey(key);
            if (at == std::wstring::npos)
                break;
        }
        status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, NULL, 0, KEY_READ | KEY_WOW64_64KEY, NULL, &key,
                                 NULL);
        if (status == ERROR_SUCCESS)
            RegCloseKey(key);
        else
            made.clear();    // Windows keeps some keys from administrators
    }
    ~NativeKey()
    {
        HKEY key;
        if (!made.empty() && RegOpenKeyExW(HKEY_LOCAL_MACHINE, made.c_str(), 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY,
                                           &key) == ERROR_SUCCESS)
        {
            RegDeleteTreeW(key, NULL);
            RegCloseKey(key);
            RegDeleteKeyExW(HKEY_LOCAL_MACHINE, made.c_str(), KEY_WOW64_64KEY, 0);
        }
    }
    std::wstring made;
    LONG status;
};

// A value in the native view, put back byte for byte whatever ends the case.
struct SavedValue
{
    SavedValue(const std::wstring& path, const wchar_t* name) : key(path), path(path), name(name)
    {
        DWORD size = 0;
        was = Query(NULL, &size) == ERROR_SUCCESS;
        data.resize(size);
        if (was && Query(&data[0], &size) == ERROR_SUCCESS)
            data.resize(size);
    }
    ~SavedValue() { Set(was ? type : REG_NONE, data); }
    // The bytes as stored: RegGetValueW would add terminators that a string lacks.
    LONG Query(char* bytes, DWORD* size)
    {
        HKEY handle;
        LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &handle);
        if (status != ERROR_SUCCESS)
            return status;
        status = RegQueryValueExW(handle, name, NULL, &type, reinterpret_cast<BYTE*>(bytes), size);
        RegCloseKey(handle);
        return status;
    }
    // REG_NONE deletes it.
    LONG Set(DWORD to, const std::string& bytes)
    {
        HKEY handle;
        LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_SET_VALUE | KEY_WOW64_64KEY, &handle);
        if (status != ERROR_SUCCESS)
            return status;
        status = to == REG_NONE ? RegDeleteValueW(handle, name)
                                : RegSetValueExW(handle, name, 0, to, reinterpret_cast<const BYTE*>(bytes.data()),
                                                 static_cast<DWORD>(bytes.size()));
        RegCloseKey(handle);
        return status == ERROR_FILE_NOT_FOUND && to == REG_NONE ? ERROR_SUCCESS : status;
    }
    LONG Set(DWORD to, const std::wstring& text)
    {
        return Set(to, std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t)));
    }
    NativeKey key;
    const std::wstring path;
    const wchar_t* name;
    bool was;
    DWORD type = REG_NONE;
    std::string data;
};

TEST_F(Status, FastStartupIsOnWhereItIsEnabledAndTheSystemCanStartThatWay)
{
    SYSTEM_POWER_CAPABILITIES capabilities = {};
    ASSERT_TRUE(GetPwrCapabilities(&capabilities));
    bool capable = capabilities.spare2[0];    // Hiberboot, in Windows 8's headers
    std::string on = capable ? "on (" : "off (";
    std::string then = capable ? "). \"Shut down\" keeps the marker; a restart clears it."
                               : ", but this system cannot start that way).";
    const std::string one("\1\0\0\0", 4), zero(4, '\0');
    // (the setting, the policy, the line)
    const std::tuple<std::string, std::string, std::string> rows[] = {
        {"", "", "off (no HiberbootEnabled value)."},
        {zero, "", "off (HiberbootEnabled is 0)."},
        {one, "", on + "HiberbootEnabled is 1" + then},
        {zero, one, on + "Group Policy requires it" + then},
        {"1", "", "cannot tell (HiberbootEnabled: not a DWORD)."}};
    SavedValue setting(std::wstring(SESSION_MANAGER) + L"\\Power", L"HiberbootEnabled");
    SavedValue policy(L"SOFTWARE\\Policies\\Microsoft\\Windows\\System", L"HiberbootEnabled");
    for (const auto& [data, required, line] : rows)
    {
        ASSERT_EQ(ERROR_SUCCESS, setting.Set(data.empty() ? REG_NONE : data.size() == 4 ? REG_DWORD : REG_SZ, data));
        ASSERT_EQ(ERROR_SUCCESS, policy.Set(required.empty() ? REG_NONE : REG_DWORD, required));
        EXPECT_EQ("Fast Startup: " + line, RunStatus().Line("Fast Startup")) << "Hiberboot " << capable;
    }
}

// Each set and taken away again where the test may, the Windows Update key also as one that a
// restart did not clear. A key that Windows holds already, or keeps from administrators, is
// checked as it is.
TEST_F(Status, NamesEachOfWindowsOwnSignalsAndWhenItsKeyWasWritten)
{
    for (auto [key, line] : {std::pair{L"Component Based Servicing\\RebootPending", "  Component Based Servicing "},
                             std::pair{L"WindowsUpdate\\Auto Update\\RebootRequired", "  Windows Update "}})
    {
        std::wstring path = std::wstring(L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\") + key;
        std::unique_ptr<NativeKey> made(new NativeKey(path));
        HKEY handle;
        LONG there = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &handle);
        if (there == ERROR_SUCCESS)
            RegCloseKey(handle);
        std::string shown = RunStatus().Line(line);
        EXPECT_EQ(there == ERROR_SUCCESS, shown.find(": set; the key was last written ") != std::string::npos)
            << shown << " (the test's own create: error " << made->status << ", its open: error " << there << ")";
        if (made->made.empty())
            continue;
        if (path.find(L"WindowsUpdate") != std::wstring::npos)
        {
            EXPECT_WINDOWS_BEHAVIOUR(WrittenADayBeforeBoot(path.c_str(), KEY_WOW64_64KEY), WRITE_TIME_SET);
            shown = RunStatus().Line(line);
            EXPECT_WINDOWS_BEHAVIOUR(shown.find(", before this boot of Windows: unless the clock was set forward "
                                                "since, a restart did not clear it.") != std::string::npos,
                                     "a signal older than the boot is named so: " << shown);
        }
        made.reset();
        EXPECT_NE(std::string::npos, RunStatus().Line(line).find(": not set.")) << line;
    }

    // A deletion, whose target is an empty string inside the list, and a rename.
    std::wstring operations(L"\\??\\C:\\flagpost-gone\0\0\\??\\C:\\flagpost-old\0\\??\\C:\\flagpost-new\0\0", 63);
    for (const wchar_t* name : {L"PendingFileRenameOperations", L"PendingFileRenameOperations2"})
    {
        std::string line = "  " + Narrow(name) + ": ";
        std::string set = line + "set, 2 file operations; Windows keeps no time for a value, and the Session Manager "
                                 "key that holds it was last written ";
        SavedValue value(SESSION_MANAGER, name);
        ASSERT_EQ(ERROR_SUCCESS, value.Set(REG_MULTI_SZ, operations));
        EXPECT_EQ(set, RunStatus().Line(line).substr(0, set.size()));
        ASSERT_EQ(ERROR_SUCCESS, value.Set(REG_NONE, ""));
        EXPECT_EQ(line + "not set.", RunStatus().Line(line));
    }

    std::string before = RunStatus().Line("  A computer rename");
    SavedValue name(L"SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ComputerName", L"ComputerName");
    // A name is text that anyone with the rights may have written: it starts no line of its own.
    ASSERT_EQ(ERROR_SUCCESS, name.Set(REG_SZ, std::wstring(L"FLAGPOST-NEXT\r\nFlagpost's marker: set.", 38)));
    std::string line = RunStatus().Line("  A computer rename");
    EXPECT_EQ(0u, line.find("  A computer rename: pending, from ")) << line;
    EXPECT_NE(std::string::npos, line.find(" to FLAGPOST-NEXT??Flagpost's marker: set.; the key that holds the new "
                                           "name was last written ")) << line;
    ASSERT_EQ(ERROR_SUCCESS, name.Set(name.type, name.data));
    // A rename that was pending already is again, its key written anew by the case.
    EXPECT_EQ(before.substr(0, before.find("last written")), RunStatus().Line("  A computer rename").substr(0,
                                                                 before.find("last written")));
}

TEST_F(Status, TakesNoArgumentButHelp)
{
    Report help = RunStatus(L" /? ");
    EXPECT_EQ(0, help.code);
    EXPECT_NE("", help.Line("Usage: flagpost-status.exe [/?]")) << help.text;
    for (const wchar_t* arguments : {L" /x", L" /? /?", L" \"/?\"", L" -?", L" \xD800", L" /?\t\xFEFF"})
    {
        Report refused = RunStatus(arguments);
        EXPECT_EQ(2, refused.code) << Narrow(arguments);
        EXPECT_EQ("", refused.Line("Flagpost's marker")) << Narrow(arguments);
    }
}

// Across a restart (the AcrossRestart chain; under Wine a restart of the wineserver): the boot
// time that the report gives moves past the marker that the boot before set.
TEST(AcrossRestart, Boot1StatusSeesTheMarkerSetInThisBoot)
{
    ASSERT_EQ(0, RunFlagpost());
    Report report = RunStatus();
    ASSERT_EQ(0, report.code) << report.text;
    CarryOver(L"status-marker-time", std::to_string(TimeAfter(report.Line("  The key"), "written ")));
}

TEST(AcrossRestart, Boot2StatusSeesABootAfterTheMarkerOfTheBootBefore)
{
    ULONGLONG set = std::stoull("0" + CarriedFromTheLastBoot(L"status-marker-time"));
    ASSERT_NE(0u, set) << "nothing carried over from boot 1";
    Report report = RunStatus();
    EXPECT_LT(set, TimeAfter(report.Line("This boot"), ": ")) << report.text;
}

}
