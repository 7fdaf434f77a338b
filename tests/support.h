// Helpers shared by the in-process tests.
#pragma once

#include "flagpost.h"
#include "registry_tools.h"
#include <gtest/gtest.h>

#include <string>
#include <vector>

extern bool g_failAllocations;      // while set, AllocateWideString fails
extern int g_liveAllocations;       // wide strings allocated and not yet freed


bool KeyExists(const wchar_t* path);
bool FileExists(const std::wstring& path);
// A file's bytes; "" when it cannot be read.
std::string ReadFileText(const std::wstring& path);
// Whether the file was written whole.
bool WriteFileText(const std::wstring& path, const std::string& text);
// The machine's temporary folder, ending in a backslash.
std::wstring TemporaryFolder();
HWND FindMainWindow();

// Empty when the marker (MARKER_KEY) is as a run of flagpost.exe leaves it: in the
// 32-bit view, volatile, without values or subkeys, and not in the 64-bit view; otherwise what
// is wrong with it.
std::string MarkerProblem();

// "\"path\"", as a command line names a program or a folder.
std::wstring Quoted(const std::wstring& path);
// For a failure's message: ASCII as it is, every other unit as '?'.
std::string Narrow(const std::wstring& text);

// This program's folder, ending in a backslash: flagpost.exe lies beside it, the example
// installers in its example\ folder.
std::wstring ProgramFolder();
// The flagpost.exe beside this program, and its exit code when run from there with no arguments.
std::wstring Flagpost();
long long RunFlagpost();
// Whether this 32-bit process runs on 64-bit Windows, which has a second registry view.
bool InWow64();
// The path of one of Windows' own programs as an admin's prompt runs it: on 64-bit Windows the
// 64-bit one, which a 32-bit process reaches through Sysnative. Where i386 code is emulated, it
// also costs nothing to start.
std::wstring NativeProgram(const wchar_t* name);

// This program's own path.
std::wstring ProgramPath();

// The 1,000 hostile command lines, program name included, as CreateProcessW takes them: the
// AWKWARD_LINE_COUNT awkward ones first, then random mixes of their pieces, the same on every run.
constexpr size_t AWKWARD_LINE_COUNT = 11;
std::vector<std::wstring> HostileCommandLines();

// The exit code of a command line run to its end; -1, with a failure that says why, when it
// could not be started or did not end within the time. With `output`, what the command wrote to
// its standard output and error, which go to a file: a pipe would stay open as long as any
// grandchild that inherited it.
long long RunToEnd(std::wstring commandLine, std::string* output = nullptr, DWORD milliseconds = 300000);
// The same for a process already started, suspended or not; its handles are closed.
long long RunToEnd(PROCESS_INFORMATION& process, DWORD milliseconds = 300000);

// A folder of its own in the machine's temporary folder, for the files a case runs or makes;
// removed again with them. `make` false leaves making it to the program that the case runs.
class ScratchFolder
{
public:
    explicit ScratchFolder(const wchar_t* name, bool make = true);
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    // The path of a file in the folder, removed with it.
    std::wstring File(const wchar_t* name);
    // The copy's path, or "" when it could not be made.
    std::wstring Copy(const std::wstring& source, const wchar_t* name);
    // The file's path, or "" when it could not be written whole.
    std::wstring Write(const wchar_t* name, const std::string& text);
    const std::wstring path;

private:
    bool made;
    std::vector<std::wstring> files;
};

// The value of an environment variable of this process; "" where it is not set.
std::wstring EnvironmentValue(const wchar_t* name);

// Sets an environment variable of this process, which the programs it starts inherit, for as
// long as it lives; then puts back what was there.
class EnvironmentVariable
{
public:
    EnvironmentVariable(const wchar_t* name, const std::wstring& value);
    ~EnvironmentVariable();
    EnvironmentVariable(const EnvironmentVariable&) = delete;
    EnvironmentVariable& operator=(const EnvironmentVariable&) = delete;

private:
    const wchar_t* name;
    std::wstring old;
    bool wasSet;
};

// The name of the variable that makes flagpost_tests.exe one of the helper programs that its
// cases start, instead of running cases: "stray-reg", a reg.exe that fails whatever it is asked
// (exit code 3); "windows-version", whose exit code is the Windows version that this exe is
// shown, major * 100 + minor.
inline const wchar_t* const CHILD_ROLE = L"FLAGPOST_TESTS_CHILD";

// What a boot saw, under `name`, for the next boot to compare: a file, which a restart keeps.
// The next boot's read takes it away.
void CarryOver(const wchar_t* name, const std::string& text);
std::string CarriedFromTheLastBoot(const wchar_t* name);

// Wine's ntdll exports wine_get_version; Windows' does not.
bool OnWine();

// A check of what Windows does and Wine is known not to, as Wine's todo_wine has it: `windows`
// says what Windows does and what was seen. Under Wine, unless FLAGPOST_REQUIRE_WINDOWS is set
// to anything but 0, not shown is a known Wine difference, which GoogleTest counts as a skip,
// and shown is a failure: the mark has gone stale. Anywhere else, not shown is a failure. One
// statement, which never returns: the case goes on.
#define EXPECT_WINDOWS_BEHAVIOUR(shown, windows) \
    ExpectWindowsBehaviour(shown, __FILE__, __LINE__, (testing::Message() << windows).GetString())
void ExpectWindowsBehaviour(bool shown, const char* file, int line, const std::string& windows);
inline const char* const WINE_DIFFERENCE = "a known Wine difference, not a pass: ";

// Whatever a case leaves, the next starts from no marker and no parent, as after a restart.
class MarkerScenario : public ::testing::Test
{
protected:
    void SetUp() override;
    void TearDown() override;
};

// Each test starts as wWinMain would before registering the class: strings loaded, no
// class, no window, no marker. It leaves the same behind.
class ProgramTest : public ::testing::Test
{
protected:
    void SetUp() override;
    void TearDown() override;
    HINSTANCE instance = GetModuleHandleW(NULL);
};
