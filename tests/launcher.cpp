// launcher: starts flagpost.exe the way other programs do, through CreateProcessW.
//   launcher EXE LINES     runs EXE once per command line in LINES (UTF-16LE, each line ended
//                          by a NUL unit, any other unit allowed), one after another. Before each
//                          run the marker is removed; after it, the exit code must be 0 and the
//                          marker must be there, volatile, with no values and no subkeys.
//   launcher --in-process LINES
//                          the same checks with the program's own code run in this process, as
//                          its entry runs it: the tail that SkipProgramName finds in each line,
//                          handed to wWinMain. Cheap where every new process is expensive.
//   launcher EXE --together N
//                          starts N copies suspended, lets them all go at once, and waits for
//                          all; every exit code must be 0.
// Prints one line per failure and a summary; exits 0 only when nothing failed.
#include "flagpost.h"
#include "registry_tools.h"

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

static bool Start(const wchar_t* exe, std::wstring commandLine, DWORD flags, PROCESS_INFORMATION* process)
{
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    commandLine.push_back(L'\0');    // CreateProcessW may write into the line
    return CreateProcessW(exe, &commandLine[0], NULL, NULL, FALSE, flags, NULL, NULL, &startup, process);
}

// Empty when the marker is as a run with no arguments leaves it, otherwise what is wrong.
static std::string MarkerProblem()
{
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, MARKER_KEY, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return "no marker";
    DWORD subkeys = 0xBAD, values = 0xBAD;
    LONG status = RegQueryInfoKeyW(key, NULL, NULL, NULL, &subkeys, NULL, NULL, &values, NULL, NULL, NULL, NULL);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || subkeys != 0 || values != 0)
        return "marker has " + std::to_string(subkeys) + " subkeys and " + std::to_string(values) + " values";
    if (CreateNonVolatileChild(MARKER_KEY) != ERROR_CHILD_MUST_BE_VOLATILE)
        return "marker is not volatile";
    return "";
}

// As the exe's entry does it, minus the process: the window it leaves is destroyed, as the
// process end would.
static std::string RunInProcess(std::wstring commandLine)
{
    commandLine.push_back(L'\0');
    HINSTANCE instance = GetModuleHandleW(NULL);
    int exitCode = wWinMain(instance, NULL, SkipProgramName(&commandLine[0]), SW_SHOWDEFAULT);
    // A window of another process cannot be destroyed from here, and ends the loop.
    for (HWND window; (window = FindWindowW(g_windowClass, NULL)) != NULL && DestroyWindow(window);)
        ;
    return exitCode != 0 ? "wWinMain returned " + std::to_string(exitCode) : MarkerProblem();
}

// exe NULL: each line runs in this process.
static int RunEachLine(const wchar_t* exe, const wchar_t* linesFile)
{
    HANDLE file = CreateFileW(linesFile, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
    {
        std::printf("cannot open the command lines: error %lu\n", GetLastError());
        return 1;
    }
    std::wstring lines(GetFileSize(file, NULL) / sizeof(wchar_t), L'\0');
    DWORD read = 0;
    ReadFile(file, &lines[0], static_cast<DWORD>(lines.size() * sizeof(wchar_t)), &read, NULL);
    CloseHandle(file);

    int runs = 0, failures = 0;
    for (size_t start = 0, end; (end = lines.find(L'\0', start)) != std::wstring::npos; start = end + 1, ++runs)
    {
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, MARKER_KEY);
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, MARKER_PARENT);
        PROCESS_INFORMATION process;
        std::string problem;
        if (!exe)
            problem = RunInProcess(lines.substr(start, end - start));
        else if (!Start(exe, lines.substr(start, end - start), 0, &process))
            problem = "CreateProcessW failed with " + std::to_string(GetLastError());
        else
        {
            DWORD exitCode = 0xBAD;
            if (WaitForSingleObject(process.hProcess, 60000) != WAIT_OBJECT_0)
                problem = "still running after 60 s";
            else if (GetExitCodeProcess(process.hProcess, &exitCode), exitCode != 0)
                problem = "exit code " + std::to_string(exitCode);
            else
                problem = MarkerProblem();
            CloseHandle(process.hThread);
            CloseHandle(process.hProcess);
        }
        if (!problem.empty())
        {
            ++failures;
            std::printf("line %d (%zu units): %s\n", runs + 1, end - start, problem.c_str());
        }
    }
    std::printf("%d runs, %d failed\n", runs, failures);
    return failures == 0 && runs > 0 ? 0 : 1;
}

static int RunTogether(const wchar_t* exe, int count)
{
    std::vector<PROCESS_INFORMATION> processes;
    std::vector<HANDLE> handles;
    for (int i = 0; i < count; ++i)
    {
        PROCESS_INFORMATION process;
        if (!Start(exe, L"flagpost.exe", CREATE_SUSPENDED, &process))
        {
            std::printf("copy %d: CreateProcessW failed with %lu\n", i + 1, GetLastError());
            break;
        }
        processes.push_back(process);
        handles.push_back(process.hProcess);
    }
    for (const auto& process : processes)
        ResumeThread(process.hThread);
    DWORD waited = WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), TRUE, 120000);

    int failures = count - static_cast<int>(processes.size());
    for (size_t i = 0; i < processes.size(); ++i)
    {
        DWORD exitCode = 0xBAD;
        GetExitCodeProcess(processes[i].hProcess, &exitCode);
        if (exitCode != 0)
        {
            ++failures;
            std::printf("copy %zu: exit code %lu\n", i + 1, exitCode);
        }
        CloseHandle(processes[i].hThread);
        CloseHandle(processes[i].hProcess);
    }
    if (waited == WAIT_TIMEOUT)
        std::puts("not all copies ended within 120 s");
    std::printf("%zu started at once, %d failed\n", processes.size(), failures);
    return failures == 0 && waited != WAIT_TIMEOUT ? 0 : 1;
}

int wmain(int argc, wchar_t** argv)
{
    if (argc == 4 && std::wcscmp(argv[2], L"--together") == 0)
    {
        int count = _wtoi(argv[3]);
        if (count >= 1 && count <= MAXIMUM_WAIT_OBJECTS)
            return RunTogether(argv[1], count);
    }
    else if (argc == 3)
        return RunEachLine(std::wcscmp(argv[1], L"--in-process") == 0 ? NULL : argv[1], argv[2]);
    std::fputs("usage: launcher EXE|--in-process LINES | launcher EXE --together N (N up to 64)\n", stderr);
    return 2;
}
