// flagpost-status: is a restart pending, since when, and will "Shut down" clear it? Reads
// Flagpost's marker and Windows' own signals, and never writes anything.
//   exit code 0: Flagpost's marker is set; 1: it is not; 2: cannot tell, and the marker's line
//   says why. Windows' own signals are information and never change the code.
#include "flagpost.h"
#include "marker_key.h"

#include <winternl.h>

static const WCHAR SESSION_MANAGER[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
static const WCHAR COMPUTER_NAME[] = L"SYSTEM\\CurrentControlSet\\Control\\ComputerName\\";

// The boot time moves when the clock is set, by time synchronisation after the start for one;
// a key written less than this before the boot is not called older than the boot.
static const ULONGLONG CLOCK_MARGIN = 5ULL * 60 * 10000000;    // five minutes, in file-time ticks
static const DWORD TICKS_PER_SECOND = 10000000;

enum ExitCode { MARKER_SET = 0, MARKER_NOT_SET = 1, CANNOT_TELL = 2 };

extern "C" NTSTATUS NTAPI NtPowerInformation(POWER_INFORMATION_LEVEL level, PVOID input, ULONG inputSize,
                                             PVOID output, ULONG outputSize);

// SystemTimeOfDayInformation's first fields, all that is read: the kernel copies as many bytes of
// its record as it is asked for, and later versions only added fields after these.
struct TimeOfDay
{
    LARGE_INTEGER bootTime;
    LARGE_INTEGER currentTime;
    LARGE_INTEGER timeZoneBias;
    ULONG timeZoneId;
    ULONG reserved;
};

// The report, collected whole and written once. Lines are short and few; what does not fit is cut.
static WCHAR g_report[4096];
static int g_length;

static void Put(const WCHAR* text)
{
    while (*text && g_length < static_cast<int>(sizeof(g_report) / sizeof(WCHAR)))
        g_report[g_length++] = *text++;
}

// Text from the registry, which anyone with the rights may have written: a control character in
// it would start a line of its own in the report, so each is shown as '?'.
static void PutFound(const WCHAR* text)
{
    for (; *text && g_length < static_cast<int>(sizeof(g_report) / sizeof(WCHAR)); ++text)
        g_report[g_length++] = *text < L' ' || *text == 0x7F ? L'?' : *text;
}

static void PutNumber(DWORD number, int digits = 1)
{
    WCHAR text[12];
    int at = 11;
    text[at] = L'\0';
    do
    {
        text[--at] = static_cast<WCHAR>(L'0' + number % 10);
        number /= 10;
    } while (number || 11 - at < digits);
    Put(text + at);
}

static void PutError(LONG status)
{
    Put(L"error ");
    PutNumber(static_cast<DWORD>(status));
}

static ULONGLONG Ticks(const FILETIME& time)
{
    return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

static FILETIME FileTime(ULONGLONG ticks)
{
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(ticks);
    time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return time;
}

// Long division, a bit at a time: the 64-bit division of the compiler's runtime library would
// bring its unwind tables along.
static DWORD Seconds(ULONGLONG ticks)
{
    ULONGLONG seconds = 0, rest = 0;
    for (int bit = 63; bit >= 0; --bit)
    {
        rest = (rest << 1) | ((ticks >> bit) & 1);
        seconds <<= 1;
        if (rest >= TICKS_PER_SECOND)
        {
            rest -= TICKS_PER_SECOND;
            seconds |= 1;
        }
    }
    return seconds > 0xFFFFFFFF ? 0xFFFFFFFF : static_cast<DWORD>(seconds);
}

// A moment in local time, with its offset from UTC as the time zone's rules give it for that
// date: 2026-12-10 12:01:33 (UTC+01:00).
static void PutTime(ULONGLONG ticks)
{
    FILETIME time = FileTime(ticks);
    SYSTEMTIME utc, local;
    if (!FileTimeToSystemTime(&time, &utc) || !SystemTimeToTzSpecificLocalTime(NULL, &utc, &local))
    {
        Put(L"(a time that Windows cannot show)");
        return;
    }
    PutNumber(local.wYear, 4);
    Put(L"-");
    PutNumber(local.wMonth, 2);
    Put(L"-");
    PutNumber(local.wDay, 2);
    Put(L" ");
    PutNumber(local.wHour, 2);
    Put(L":");
    PutNumber(local.wMinute, 2);
    Put(L":");
    PutNumber(local.wSecond, 2);
    // Time zones lie within a day of UTC, so the dates differ by one day at most.
    DWORD localDate = (local.wYear * 16u + local.wMonth) * 32u + local.wDay;
    DWORD utcDate = (utc.wYear * 16u + utc.wMonth) * 32u + utc.wDay;
    int offset = (local.wHour - utc.wHour) * 60 + local.wMinute - utc.wMinute +
                 (localDate > utcDate ? 1440 : localDate < utcDate ? -1440 : 0);
    Put(offset < 0 ? L" (UTC-" : L" (UTC+");
    if (offset < 0)
        offset = -offset;
    PutNumber(offset / 60, 2);
    Put(L":");
    PutNumber(offset % 60, 2);
    Put(L")");
}

// "3 d 4 h 5 min 6 s", without the leading units that are 0.
static void PutDuration(ULONGLONG ticks)
{
    static const DWORD sizes[] = {86400, 3600, 60, 1};
    static const WCHAR* const units[] = {L" d ", L" h ", L" min ", L" s "};
    DWORD seconds = Seconds(ticks);
    bool started = false;
    for (int i = 0; i < 4; ++i)
    {
        DWORD count = seconds / sizes[i];
        seconds %= sizes[i];
        if (count || started || i == 3)
        {
            PutNumber(count);
            Put(units[i]);
            started = true;
        }
    }
}

// When this boot of Windows began, in UTC file-time ticks; 0 when Windows does not say.
static ULONGLONG BootTime()
{
    TimeOfDay timeOfDay;
    ULONG size;
    if (!NT_SUCCESS(NtQuerySystemInformation(SystemTimeOfDayInformation, &timeOfDay, sizeof(timeOfDay), &size)))
        return 0;
    return static_cast<ULONGLONG>(timeOfDay.bootTime.QuadPart);
}

// Written before this boot began, as far as the clock can tell: set forward since, it moves the
// boot time with it.
static bool BeforeBoot(ULONGLONG written, ULONGLONG boot)
{
    return boot > CLOCK_MARGIN && written < boot - CLOCK_MARGIN;
}

static const WCHAR BEFORE_BOOT[] = L", before this boot of Windows: unless the clock was set forward since, a restart "
                                   L"did not clear it";

static void PutWhetherBeforeBoot(ULONGLONG written, ULONGLONG boot)
{
    if (BeforeBoot(written, boot))
        Put(BEFORE_BOOT);
}

// A key's last-write time, which Windows sets when the key is made and when a value or subkey of
// it changes; opening it changes nothing.
static LONG KeyWritten(HKEY key, ULONGLONG* written)
{
    FILETIME time;
    LONG status = RegQueryInfoKeyW(key, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, &time);
    *written = Ticks(time);
    return status;
}

// Windows' own signals live in the native view; KEY_WOW64_64KEY reaches it from this 32-bit
// program, and 32-bit Windows, which has one view, ignores the flag.
static LONG OpenNative(const WCHAR* path, HKEY* key)
{
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, key);
}

static int ReportMarker(ULONGLONG boot)
{
    Put(L"Flagpost's marker, HKLM\\");
    Put(MARKER_KEY);
    Put(L" in the 32-bit registry view: ");
    HKEY key;
    LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, MARKER_KEY, 0, KEY_QUERY_VALUE | KEY_WOW64_32KEY, &key);
    if (status == ERROR_FILE_NOT_FOUND)
    {
        Put(L"not set.\r\n");
        return MARKER_NOT_SET;
    }
    ULONGLONG written = 0;
    if (status == ERROR_SUCCESS)
    {
        status = KeyWritten(key, &written);
        RegCloseKey(key);
    }
    if (status != ERROR_SUCCESS)
    {
        Put(L"cannot tell: ");
        Put(status == ERROR_ACCESS_DENIED ? L"access denied (" : L"it cannot be read (");
        PutError(status);
        Put(L").\r\n");
        return CANNOT_TELL;
    }
    // A volatile key cannot outlive a restart: one older than the boot is someone's ordinary key,
    // which flagpost.exe opens and leaves as it is, so it says nothing of a pending restart.
    if (BeforeBoot(written, boot))
    {
        Put(L"cannot tell: a key of its name was last written ");
        PutTime(written);
        Put(BEFORE_BOOT);
        Put(L", and it is no volatile marker.\r\n");
        return CANNOT_TELL;
    }
    Put(L"set.\r\n  The key was last written ");
    PutTime(written);
    if (boot && written > boot)
    {
        Put(L", ");
        PutDuration(written - boot);
        Put(L"after this boot of Windows");
    }
    Put(L".\r\n  Whether it is volatile is not checked here: that takes a write (flagpost-check.cmd does it).\r\n");
    return MARKER_SET;
}

static void ReportBoot(ULONGLONG boot)
{
    Put(L"This boot of Windows: ");
    if (boot)
        PutTime(boot);
    else
        Put(L"Windows does not say");
    Put(L".\r\n");
}

// A DWORD of the native view; ERROR_INVALID_DATA when the value is of another type or size.
static LONG ReadDword(const WCHAR* path, DWORD* value)
{
    HKEY key;
    DWORD type = REG_NONE, size = sizeof(*value);
    LONG status = OpenNative(path, &key);
    if (status == ERROR_SUCCESS)
    {
        status = RegQueryValueExW(key, L"HiberbootEnabled", NULL, &type, reinterpret_cast<BYTE*>(value), &size);
        RegCloseKey(key);
    }
    return status == ERROR_SUCCESS && (type != REG_DWORD || size != sizeof(*value)) ? ERROR_INVALID_DATA : status;
}

// Windows 8 and later have the setting, which Group Policy can require; it serves only where the
// power capabilities name Hiberboot.
static void ReportFastStartup()
{
    Put(L"Fast Startup: ");
    DWORD required = 0, enabled = 1;
    bool byPolicy = ReadDword(L"SOFTWARE\\Policies\\Microsoft\\Windows\\System", &required) == ERROR_SUCCESS &&
                    required == 1;
    LONG status = byPolicy ? ERROR_SUCCESS
                           : ReadDword(L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Power", &enabled);
    // Zeroed first: Wine leaves some fields as they were, this one among them.
    SYSTEM_POWER_CAPABILITIES capabilities;
    SecureZeroMemory(&capabilities, sizeof(capabilities));
    bool capable = NT_SUCCESS(NtPowerInformation(SystemPowerCapabilities, NULL, 0, &capabilities,
                                                 sizeof(capabilities))) &&
                   capabilities.spare2[0];    // Hiberboot in Windows 8's headers
    const WCHAR* why = byPolicy ? L"Group Policy requires it" : L"HiberbootEnabled is 1";
    if (status == ERROR_FILE_NOT_FOUND)
        Put(L"off (no HiberbootEnabled value).\r\n");
    else if (status != ERROR_SUCCESS)
    {
        Put(L"cannot tell (HiberbootEnabled: ");
        status == ERROR_INVALID_DATA ? Put(L"not a DWORD") : PutError(status);
        Put(L").\r\n");
    }
    else if (!enabled)
        Put(L"off (HiberbootEnabled is 0).\r\n");
    else
    {
        Put(capable ? L"on (" : L"off (");
        Put(why);
        Put(capable ? L"). \"Shut down\" keeps the marker; a restart clears it.\r\n"
                    : L", but this system cannot start that way).\r\n");
    }
}

// A signal's line up to its state; when the signal could not be read as set, the rest of it.
static bool PutUnlessSet(const WCHAR* name, LONG status)
{
    Put(L"  ");
    Put(name);
    Put(L": ");
    if (status == ERROR_FILE_NOT_FOUND)
        Put(L"not set.\r\n");
    else if (status != ERROR_SUCCESS)
    {
        Put(L"cannot tell (");
        PutError(status);
        Put(L").\r\n");
    }
    return status == ERROR_SUCCESS;
}

// A signal that is a key of its own: its presence is the signal.
static void ReportSignalKey(const WCHAR* name, const WCHAR* path, ULONGLONG boot)
{
    HKEY key;
    ULONGLONG written;
    LONG status = OpenNative(path, &key);
    if (status == ERROR_SUCCESS)
    {
        status = KeyWritten(key, &written);
        RegCloseKey(key);
    }
    if (!PutUnlessSet(name, status))
        return;
    Put(L"set; the key was last written ");
    PutTime(written);
    PutWhetherBeforeBoot(written, boot);
    Put(L".\r\n");
}

// A value's data, read whole into the process heap; NULL with the status when it cannot be.
static BYTE* ReadValue(HKEY key, const WCHAR* name, DWORD* type, DWORD* size, LONG* status)
{
    BYTE* data = NULL;
    for (int tries = 0; tries < 3; ++tries)
    {
        *size = 0;
        *status = RegQueryValueExW(key, name, NULL, type, NULL, size);
        if (*status != ERROR_SUCCESS)
            return NULL;
        // Far above any list of file operations, and far from the end of a DWORD.
        if (*size > 64 * 1024 * 1024)
        {
            *status = ERROR_OUTOFMEMORY;
            return NULL;
        }
        // Room for two more NULs: a REG_MULTI_SZ may be stored without its terminators.
        data = static_cast<BYTE*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, *size + 2 * sizeof(WCHAR)));
        if (!data)
        {
            *status = ERROR_OUTOFMEMORY;
            return NULL;
        }
        *status = RegQueryValueExW(key, name, NULL, type, data, size);
        if (*status == ERROR_SUCCESS)
            return data;
        HeapFree(GetProcessHeap(), 0, data);
        if (*status != ERROR_MORE_DATA)    // grown since it was measured: measure again
            return NULL;
    }
    return NULL;
}

// PendingFileRenameOperations: pairs of names, source then target, the target empty for a
// deletion. An empty string is therefore data, not the end: the list is read to its stored size.
static DWORD FileOperations(const BYTE* data, DWORD size)
{
    const WCHAR* text = reinterpret_cast<const WCHAR*>(data);
    DWORD units = size / sizeof(WCHAR), strings = 0;
    for (DWORD at = 0; at < units; ++at)
        if (text[at] == L'\0')
            ++strings;
    if (units && text[units - 1] != L'\0')
        ++strings;
    // The list's own terminator, where it is there, is an empty string after a whole pair.
    if (strings % 2 && units >= 2 && text[units - 1] == L'\0' && text[units - 2] == L'\0')
        --strings;
    return (strings + 1) / 2;
}

static void ReportFileOperations(HKEY sessionManager, LONG opened, const WCHAR* name, ULONGLONG boot)
{
    DWORD type, size;
    LONG status = opened;
    BYTE* data = opened == ERROR_SUCCESS ? ReadValue(sessionManager, name, &type, &size, &status) : NULL;
    ULONGLONG written;
    if (data)
        status = KeyWritten(sessionManager, &written);
    if (PutUnlessSet(name, status))
    {
        DWORD operations = type == REG_MULTI_SZ ? FileOperations(data, size) : 0;
        Put(L"set, ");
        PutNumber(operations);
        Put(operations == 1 ? L" file operation" : L" file operations");
        if (type != REG_MULTI_SZ)
            Put(L" (not a list of names)");
        Put(L"; Windows keeps no time for a value, and the Session Manager key that holds it was last written ");
        PutTime(written);
        PutWhetherBeforeBoot(written, boot);
        Put(L".\r\n");
    }
    if (data)
        HeapFree(GetProcessHeap(), 0, data);
}

// The computer's name as one of ComputerName's two subkeys holds it; false when it cannot be read.
static bool ReadComputerName(const WCHAR* subkey, WCHAR* name, DWORD units, ULONGLONG* written)
{
    WCHAR path[96];
    lstrcpyW(path, COMPUTER_NAME);
    lstrcatW(path, subkey);
    HKEY key;
    if (OpenNative(path, &key) != ERROR_SUCCESS)
        return false;
    DWORD type, size = (units - 1) * sizeof(WCHAR);
    LONG status = RegQueryValueExW(key, L"ComputerName", NULL, &type, reinterpret_cast<BYTE*>(name), &size);
    if (status == ERROR_SUCCESS && written)
        status = KeyWritten(key, written);
    RegCloseKey(key);
    name[status == ERROR_SUCCESS && type == REG_SZ ? size / sizeof(WCHAR) : 0] = L'\0';
    return status == ERROR_SUCCESS && type == REG_SZ;
}

// A rename takes effect at the next start: until then the name in force differs from the one set.
static void ReportComputerRename(ULONGLONG boot)
{
    Put(L"  A computer rename: ");
    WCHAR active[64], next[64];
    ULONGLONG written;
    if (!ReadComputerName(L"ActiveComputerName", active, 64, NULL) ||
        !ReadComputerName(L"ComputerName", next, 64, &written))
        Put(L"cannot tell (the computer's names cannot be read)");
    else if (lstrcmpiW(active, next) == 0)
        Put(L"none pending");
    else
    {
        Put(L"pending, from ");
        PutFound(active);
        Put(L" to ");
        PutFound(next);
        Put(L"; the key that holds the new name was last written ");
        PutTime(written);
        PutWhetherBeforeBoot(written, boot);
    }
    Put(L".\r\n");
}

static void ReportWindowsSignals(ULONGLONG boot)
{
    Put(L"Windows' own signals of a pending restart:\r\n");
    ReportSignalKey(L"Component Based Servicing RebootPending",
                    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Component Based Servicing\\RebootPending", boot);
    ReportSignalKey(L"Windows Update RebootRequired",
                    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\WindowsUpdate\\Auto Update\\RebootRequired", boot);
    HKEY sessionManager;
    LONG opened = OpenNative(SESSION_MANAGER, &sessionManager);
    ReportFileOperations(sessionManager, opened, L"PendingFileRenameOperations", boot);
    ReportFileOperations(sessionManager, opened, L"PendingFileRenameOperations2", boot);
    if (opened == ERROR_SUCCESS)
        RegCloseKey(sessionManager);
    ReportComputerRename(boot);
}

// Text for the console as it is; for a file or a pipe, in the console's code page, as cmd.exe's
// own programs write it.
static void Write(DWORD which)
{
    HANDLE output = GetStdHandle(which);
    DWORD mode, written;
    if (output == NULL || output == INVALID_HANDLE_VALUE)
        return;
    if (GetConsoleMode(output, &mode))
    {
        WriteConsoleW(output, g_report, g_length, &written, NULL);
        return;
    }
    UINT codePage = GetConsoleOutputCP();
    static char bytes[sizeof(g_report) * 2];
    int size = WideCharToMultiByte(codePage ? codePage : CP_OEMCP, 0, g_report, g_length, bytes, sizeof(bytes),
                                   NULL, NULL);
    if (size > 0)
        WriteFile(output, bytes, size, &written, NULL);
}

static int Run(LPWSTR arguments)
{
    int end = lstrlenW(arguments);
    while (end > 0 && arguments[end - 1] <= L' ')
        arguments[--end] = L'\0';
    if (arguments[0] == L'/' && arguments[1] == L'?' && arguments[2] == L'\0')
    {
        Put(L"flagpost-status: is a restart pending, since when, and will \"Shut down\" clear it?\r\n"
            L"Usage: flagpost-status.exe [/?]\r\n"
            L"Exit code 0: Flagpost's marker is set; 1: it is not; 2: cannot tell (the report says why).\r\n");
        Write(STD_OUTPUT_HANDLE);
        return 0;
    }
    if (arguments[0] != L'\0')
    {
        Put(L"flagpost-status: it takes no arguments but /?\r\n");
        Write(STD_ERROR_HANDLE);
        return CANNOT_TELL;
    }
    ULONGLONG boot = BootTime();
    int code = ReportMarker(boot);
    ReportBoot(boot);
    ReportFastStartup();
    ReportWindowsSignals(boot);
    Write(STD_OUTPUT_HANDLE);
    return code;
}

extern "C" void StatusStartup()
{
    RestrictDllSearchToSystem32();
    ExitProcess(Run(SkipProgramName(GetCommandLineW())));
}
