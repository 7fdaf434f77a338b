// The start-up order and the marker, in process.
#include "support.h"

TEST_F(ProgramTest, StartupCreatesHiddenWindowThenVolatileKeyAndReturnsZero)
{
    EXPECT_EQ(0, wWinMain(instance, NULL, const_cast<LPWSTR>(L"/ignored \"args\""), SW_SHOWNORMAL));

    HWND window = FindMainWindow();
    ASSERT_NE(nullptr, window) << "no window of class FLAGPOST titled Flagpost";
    EXPECT_FALSE(IsWindowVisible(window));
    EXPECT_EQ(instance, g_instance);

    EXPECT_EQ("", MarkerProblem());
    // The parent was created by the same call, so it is volatile as well.
    EXPECT_EQ(ERROR_CHILD_MUST_BE_VOLATILE, CreateNonVolatileChild(MARKER_PARENT));
    EXPECT_EQ(0, g_liveAllocations) << "the widened key path was not released";
}

TEST_F(ProgramTest, NoWindowClassMeansNoWindowAndNoKey)
{
    for (bool registeredFirst : {false, true})
    {
        if (registeredFirst)
        {
            ASSERT_NE(0, RegisterMainWindowClass(instance));
            ASSERT_TRUE(UnregisterClassW(L"FLAGPOST", instance));
        }
        g_instance = NULL;
        EXPECT_FALSE(StartInstance(instance)) << "class registered first: " << registeredFirst;
        EXPECT_EQ(instance, g_instance) << "the instance is stored before anything can fail";
        EXPECT_EQ(nullptr, FindMainWindow());
        EXPECT_FALSE(KeyExists(MARKER_PARENT)) << "class registered first: " << registeredFirst;
    }
}

TEST_F(ProgramTest, KeyDeniedToTheCallerMeansFalseAndKeyUnchanged)
{
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, MARKER_KEY, 0, NULL, 0, KEY_ALL_ACCESS,
                                             NULL, &key, NULL));
    RegCloseKey(key);
    ASSERT_EQ(ERROR_SUCCESS, SetKeyDacl(MARKER_KEY, DENY_EVERYONE));
    std::string before, after;
    ASSERT_EQ(ERROR_SUCCESS, ReadKeySecurity(MARKER_KEY, &before));
    ASSERT_NE(0, RegisterMainWindowClass(instance));

    EXPECT_FALSE(StartInstance(instance));
    EXPECT_NE(nullptr, FindMainWindow());
    EXPECT_EQ(ERROR_SUCCESS, ReadKeySecurity(MARKER_KEY, &after));
    EXPECT_EQ(before, after);
    EXPECT_EQ(0, g_liveAllocations) << "the widened key path was not released";
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegOpenKeyExW(HKEY_LOCAL_MACHINE, MARKER_KEY, 0, KEY_READ, &key));
}

TEST_F(ProgramTest, NoMemoryForTheKeyPathMeansNoKeyAndNoCrash)
{
    ASSERT_NE(0, RegisterMainWindowClass(instance));
    g_failAllocations = true;

    EXPECT_FALSE(StartInstance(instance));
    EXPECT_NE(nullptr, FindMainWindow()) << "the window comes before the key path";
    EXPECT_FALSE(KeyExists(MARKER_PARENT));
    EXPECT_EQ(0, g_liveAllocations);
}

TEST(StartupCommandLine, TailIsWhatTheRuntimeWouldPass)
{
    const struct { const wchar_t* commandLine; const wchar_t* tail; } cases[] = {
        {L"flagpost.exe", L""},
        {L"flagpost.exe   /a b", L"/a b"},
        {L"flagpost.exe\t\t x", L"x"},
        {L"\"C:\\Program Files\\flagpost.exe\" /quiet", L"/quiet"},
        {L"\"C:\\Program Files\\flagpost.exe\"", L""},
        {L"C:\\a\"b c\"d.exe  rest \"q\"", L"rest \"q\""},
        {L"\"a b\"c.exe tail", L"tail"},
        {L"flagpost.exe\"\" x", L"x"},
        {L"flagpost.exe \"\"", L"\"\""},
        {L"\"quoted\tname\"\t\targ", L"arg"},
        {L"\"unterminated quote", L""},
        {L"", L""},
    };
    for (const auto& c : cases)
    {
        wchar_t buffer[64];
        lstrcpyW(buffer, c.commandLine);
        EXPECT_STREQ(c.tail, SkipProgramName(buffer)) << "command line: " << testing::PrintToString(std::wstring(c.commandLine));
    }
}

TEST(StartupDllSearch, DllBesideTheExeIsRefusedAndSystem32StillLoads)
{
    HMODULE planted = LoadLibraryW(L"planted.dll");
    ASSERT_NE(nullptr, planted) << "planted.dll beside the test exe did not load to begin with, error "
                                << GetLastError();
    ASSERT_TRUE(FreeLibrary(planted));
    ASSERT_EQ(nullptr, GetModuleHandleW(L"planted.dll")) << "still loaded, so a second load proves nothing";
    // A System32 DLL that is not loaded yet; loading one that is would prove nothing.
    const wchar_t* systemDll = nullptr;
    for (const wchar_t* name : {L"version.dll", L"msimg32.dll", L"cabinet.dll", L"wintrust.dll"})
        if (!systemDll && !GetModuleHandleW(name))
            systemDll = name;
    ASSERT_NE(nullptr, systemDll) << "every candidate System32 DLL is already loaded";

    RestrictDllSearchToSystem32();

    SetLastError(0xDEADBEEF);
    EXPECT_EQ(nullptr, LoadLibraryW(L"planted.dll"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), GetLastError());
    HMODULE system = LoadLibraryW(systemDll);
    EXPECT_NE(nullptr, system) << testing::PrintToString(std::wstring(systemDll)) << " from System32 no longer loads, error "
                               << GetLastError();
    if (system)
        FreeLibrary(system);
}

TEST_F(ProgramTest, HostileCommandLinesInProcessEachSetAFreshMarker)
{
    // Each line through the program's own code as its entry hands it over, without the cost of a
    // process; EndToEnd starts a share of them as processes.
    int failures = 0;
    std::vector<std::wstring> lines = HostileCommandLines();
    for (size_t i = 0; i < lines.size(); ++i)
    {
        ASSERT_TRUE(RemoveMarkerAndParent());
        std::wstring commandLine = lines[i] + L'\0';
        int exitCode = wWinMain(instance, NULL, SkipProgramName(&commandLine[0]), SW_SHOWDEFAULT);
        // The window is left to the process end, as in the program; here the next line needs it gone.
        while (HWND window = FindWindowW(g_windowClass, NULL))
            ASSERT_TRUE(DestroyWindow(window));
        std::string problem = exitCode != 0 ? "wWinMain returned " + std::to_string(exitCode) : MarkerProblem();
        EXPECT_EQ("", problem) << "line " << i + 1 << " (" << lines[i].size() << " units): "
                               << Narrow(lines[i].substr(0, 60));
        failures += !problem.empty();
    }
    EXPECT_EQ(0, failures) << "of " << lines.size() << " lines";
}
