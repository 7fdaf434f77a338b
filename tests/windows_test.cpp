// What the shipped examples and flagpost.exe do on a real Windows machine, run by an elevated
// administrator: as a standard user, under an MSI's deferred action, and through the example
// installers. One program for Wine and Windows; where Wine is known to do otherwise, the check
// names what Windows does and is a known Wine difference, under Wine only (EXPECT_WINDOWS_BEHAVIOUR).
#include "support.h"

#include <aclapi.h>
#include <lm.h>
#include <msi.h>
#include <msiquery.h>
#include <ntsecapi.h>
#include <userenv.h>

#include <cstdio>
#include <map>
#include <regex>
#include <vector>

namespace {

// A user's virtualised HKLM\Software, below HKEY_USERS\SID.
const wchar_t* const VIRTUAL_STORE = L"_Classes\\VirtualStore\\MACHINE\\SOFTWARE\\";

std::wstring Example(const wchar_t* name)
{
    return ProgramFolder() + L"example\\" + name;
}

std::wstring SidText(PSID sid)
{
    LPWSTR text;
    if (!ConvertSidToStringSidW(sid, &text))
        return L"";
    std::wstring copy = text;
    LocalFree(text);
    return copy;
}


// This process's own user, which its token carries even elevated.
struct ThisAccount
{
    ThisAccount()
    {
        HANDLE token;
        DWORD size = sizeof(user);
        if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        {
            GetTokenInformation(token, TokenUser, user, size, &size);
            CloseHandle(token);
        }
    }
    PSID sid() { return reinterpret_cast<TOKEN_USER*>(user)->User.Sid; }
    alignas(TOKEN_USER) BYTE user[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)] = {};
};

class WindowsProof : public MarkerScenario
{
};

// A folder for an installer to install into, with what it installed removed again.
struct TargetFolder : ScratchFolder
{
    explicit TargetFolder(const wchar_t* name) : ScratchFolder(name, false), readme(File(L"readme.txt")) {}
    bool Landed() const { return FileExists(readme); }
    const std::wstring readme;
};

// The three example installers, each as an admin script runs it, into a target folder.
struct Installer
{
    const char* name;
    std::wstring (*commandLine)(const std::wstring& target);
    long long refusal;              // its exit code while a restart is pending
    long long withoutMarker;        // its exit code when flagpost.exe set nothing
    // What it prints in either case; the GUI installers' message boxes are answered silently.
    const char* refusalSays;
    const char* withoutMarkerSays;
};

std::wstring BatchInstall(const std::wstring& target)
{
    // cmd /c, as an admin's prompt runs it: `call` loses the script's exit code under Wine.
    return Quoted(NativeProgram(L"cmd.exe")) + L" /d /c \"" + Quoted(Example(L"flagpost-example-install.cmd")) + L" " +
           Quoted(target) + L"\"";
}

std::wstring InnoSetup(const std::wstring& restartOptions, const std::wstring& target)
{
    return Quoted(Example(L"flagpost-example-inno-setup.exe")) + L" /VERYSILENT /SUPPRESSMSGBOXES " + restartOptions +
           L" /DIR=" + Quoted(target);
}

const Installer INSTALLERS[] = {
    {"NSIS", [](const std::wstring& target) { return Quoted(Example(L"flagpost-example-setup.exe")) + L" /S /D=" + target; },
     2, 2, nullptr, nullptr},
    {"batch", BatchInstall, 1, 2, "A restart is pending", "no reboot-pending marker is set: not elevated?"},
    {"Inno Setup", [](const std::wstring& target) { return InnoSetup(L"/NORESTART /RESTARTEXITCODE=3010", target); },
     1, 1603, nullptr, nullptr},
};

bool Says(const std::string& output, const char* text)
{
    return !text || output.find(text) != std::string::npos;
}

// Runs flagpost.exe with the marker's parent made to deny this account: true when it set
// nothing there, as on Windows. The parent stays for the caller.
bool DeniedParentStopsThisAccount()
{
    ThisAccount account;
    LONG status = CreateParentDenyingSubkeysTo(account.sid());
    EXPECT_EQ(ERROR_SUCCESS, status) << "could not make the denied HKLM\\" << Narrow(MARKER_PARENT);
    EXPECT_EQ(0, RunFlagpost());
    bool stopped = status == ERROR_SUCCESS && !KeyExists(MARKER_KEY);
    // A marker that it did set goes, so that a marker found later is another program's.
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, MARKER_KEY);
    return stopped;
}

const char* const DENIED_PARENT =
    "a key that denies this account KEY_CREATE_SUB_KEY stops flagpost.exe, run by it, creating the "
    "marker below; here the marker was created below it";

// The log is appended to (+): the removal must not overwrite the install's log.
long long Msiexec(const wchar_t* action, const std::wstring& package)
{
    return RunToEnd(Quoted(NativeProgram(L"msiexec.exe")) + L" " + action + L" " + Quoted(package) + L" /qn /l*v+ " +
                    Quoted(package + L".log"));
}

// A package removed again whatever ends the case; for one that is not installed, msiexec does nothing.
struct RemovedAtEnd
{
    ~RemovedAtEnd() { Msiexec(L"/x", package); }
    std::wstring package;
};

TEST_F(WindowsProof, ExampleInstallersAskForARestartThenRefuseUntilOne)
{
    for (const Installer& installer : INSTALLERS)
    {
        TargetFolder first(L"flagpost-example-1"), second(L"flagpost-example-2"), third(L"flagpost-example-3");
        EXPECT_EQ(3010, RunToEnd(installer.commandLine(first.path))) << installer.name << ", first install";
        EXPECT_TRUE(first.Landed()) << installer.name << ": the payload was not installed";
        // A marker that is not fresh, or none: the installer set none, or Windows restarted.
        EXPECT_EQ("", MarkerProblem()) << installer.name << ", after the first install";
        std::string output;
        EXPECT_EQ(installer.refusal, RunToEnd(installer.commandLine(second.path), &output))
            << installer.name << ", second install, a restart pending: " << output;
        EXPECT_FALSE(second.Landed()) << installer.name << " installed while a restart was pending";
        EXPECT_TRUE(Says(output, installer.refusalSays)) << installer.name << " did not say \"" << installer.refusalSays
                                                         << "\": " << output;
        // What a restart does to the marker; a restart itself cannot be made from inside a process.
        EXPECT_TRUE(RemoveMarkerAndParent());
        EXPECT_EQ(3010, RunToEnd(installer.commandLine(third.path))) << installer.name << ", after the restart";
        EXPECT_TRUE(third.Landed()) << installer.name << " refused after the restart";
        EXPECT_EQ("", MarkerProblem()) << installer.name << ", after the install after the restart";
        EXPECT_TRUE(RemoveMarkerAndParent());
    }
}

TEST_F(WindowsProof, InnoSetupWithoutNoRestartAsksForNoRestartAndMakesNone)
{
    // A very silent Setup restarts Windows by itself when it needs a restart and /NORESTART is
    // missing; the example asks for none there, so that nothing restarts unasked.
    TargetFolder target(L"flagpost-example-inno");
    EXPECT_EQ(0, RunToEnd(InnoSetup(L"/RESTARTEXITCODE=3010", target.path)));
    EXPECT_TRUE(target.Landed()) << "the payload was not installed";
    EXPECT_EQ("", MarkerProblem()) << "after the install: no marker, or Windows restarted";
}

TEST_F(WindowsProof, ExampleInstallersAskForNoRestartWhenFlagpostSetsNothing)
{
    // A marker key that denies everyone everything stands in for a caller without the rights:
    // neither the installer's check nor flagpost.exe can open it, on Windows and under Wine.
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, MARKER_KEY, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, NULL));
    RegCloseKey(key);
    ASSERT_EQ(ERROR_SUCCESS, SetKeyDacl(MARKER_KEY, DENY_EVERYONE));
    std::string before, after;
    ASSERT_EQ(ERROR_SUCCESS, ReadKeySecurity(MARKER_KEY, &before));
    for (const Installer& installer : INSTALLERS)
    {
        TargetFolder target(L"flagpost-example-denied");
        std::string output;
        EXPECT_EQ(installer.withoutMarker, RunToEnd(installer.commandLine(target.path), &output))
            << installer.name << ": neither 0 nor 3010, but its documented code: " << output;
        EXPECT_TRUE(target.Landed()) << installer.name << " refused instead of installing";
        EXPECT_TRUE(Says(output, installer.withoutMarkerSays))
            << installer.name << " did not say \"" << installer.withoutMarkerSays << "\": " << output;
        EXPECT_EQ(ERROR_SUCCESS, ReadKeySecurity(MARKER_KEY, &after));
        EXPECT_EQ(before, after) << installer.name << " changed the key that stood in";
    }
    ASSERT_EQ(ERROR_SUCCESS, SetKeyDacl(MARKER_KEY, ALLOW_EVERYONE));
    EXPECT_EQ(ERROR_SUCCESS, CreateNonVolatileChild(MARKER_KEY)) << "the ordinary key that stood in is no longer one";
}

// This exe as reg.exe, in a folder put first on PATH, with CHILD_ROLE stray-reg for the programs
// started meanwhile: a reg.exe that exits 3 whatever it is asked. All of it undone at the end.
struct StrayRegFirstOnPath
{
    StrayRegFirstOnPath()
        : folder(L"flagpost-stray-reg"), copied(!folder.Copy(ProgramPath(), L"reg.exe").empty()),
          role(CHILD_ROLE, L"stray-reg"), path(L"PATH", folder.path + L";" + EnvironmentValue(L"PATH"))
    {
    }
    ScratchFolder folder;
    const bool copied;
    EnvironmentVariable role, path;
};

TEST_F(WindowsProof, ExampleBatchSeesTheMarkerPastAnotherRegExeFirstOnPath)
{
    ASSERT_EQ(0, RunFlagpost());
    ASSERT_EQ("", MarkerProblem());
    StrayRegFirstOnPath stray;
    ASSERT_TRUE(stray.copied) << "could not put reg.exe into " << Narrow(stray.folder.path) << ": error "
                              << GetLastError();
    // A bare `reg` must reach the stray one, or the script's passing proves nothing.
    ASSERT_EQ(3, RunToEnd(Quoted(NativeProgram(L"cmd.exe")) + L" /d /c reg query \"HKLM\\" + MARKER_KEY + L"\""))
        << "cmd did not find the stray reg.exe first";

    TargetFolder target(L"flagpost-example-stray");
    std::string output;
    EXPECT_EQ(1, RunToEnd(BatchInstall(target.path), &output)) << output;
    EXPECT_FALSE(target.Landed()) << "installed while a restart was pending";
    EXPECT_TRUE(Says(output, "A restart is pending")) << output;
}

// A row of a query: each field as text, an integer in decimal, a null as "".
using Row = std::vector<std::wstring>;

// Every row that a query of a package's tables gives; a failure that names the query when the
// package or the query cannot be read, so that no rows never passes for an empty table.
std::vector<Row> Rows(const std::wstring& package, const wchar_t* query)
{
    std::vector<Row> rows;
    MSIHANDLE database, view, record;
    UINT status = MsiOpenDatabaseW(package.c_str(), MSIDBOPEN_READONLY, &database);
    if (status == ERROR_SUCCESS)
    {
        status = MsiDatabaseOpenViewW(database, query, &view);
        if (status == ERROR_SUCCESS)
        {
            status = MsiViewExecute(view, 0);
            while (status == ERROR_SUCCESS && (status = MsiViewFetch(view, &record)) == ERROR_SUCCESS)
            {
                Row row;
                for (UINT field = 1; field <= MsiRecordGetFieldCount(record); ++field)
                {
                    std::wstring text(64, L'\0');
                    DWORD size = static_cast<DWORD>(text.size());
                    UINT got = MsiRecordGetStringW(record, field, &text[0], &size);
                    if (got == ERROR_MORE_DATA)
                    {
                        text.resize(++size);
                        got = MsiRecordGetStringW(record, field, &text[0], &size);
                    }
                    text.resize(got == ERROR_SUCCESS ? size : 0);
                    row.push_back(text);
                }
                rows.push_back(row);
                MsiCloseHandle(record);
            }
            MsiCloseHandle(view);
        }
        MsiCloseHandle(database);
    }
    if (status != ERROR_NO_MORE_ITEMS)
        ADD_FAILURE() << Narrow(package) << ": " << Narrow(query) << " failed with " << status;
    return rows;
}

std::string Text(const Row& row)
{
    std::string text;
    for (const std::wstring& field : row)
        text += (text.empty() ? "" : " | ") + Narrow(field);
    return text;
}

std::wstring Property(const std::wstring& package, const wchar_t* name)
{
    for (const Row& row : Rows(package, L"SELECT `Property`, `Value` FROM `Property`"))
        if (row[0] == name)
            return row[1];
    return L"";
}

// The type of the package's custom action that runs flagpost.exe, or -1.
int MarkerActionType(const std::wstring& package)
{
    std::vector<Row> rows =
        Rows(package, L"SELECT `Type` FROM `CustomAction` WHERE `Action` = 'SetRebootPendingMarker'");
    return rows.size() == 1 ? _wtoi(rows[0][0].c_str()) : -1;
}

// The example package's tables, read without installing it.
TEST_F(WindowsProof, ExampleMsiRunsFlagpostDeferredOnInstallOnlyReplacesEarlierBuildsAndIsWellFormed)
{
    std::wstring msi = Example(L"flagpost-example.msi");
    std::vector<Row> actions =
        Rows(msi, L"SELECT `Type`, `Source` FROM `CustomAction` WHERE `Action` = 'SetRebootPendingMarker'");
    // 18, the installed file FlagpostExe run as an exe; deferred (1024) without impersonation
    // (2048); neither rollback (256) nor commit (512).
    EXPECT_EQ(1u, actions.size());
    for (const Row& action : actions)
        EXPECT_EQ((Row{L"3090", L"FlagpostExe"}), action) << Text(action);

    // Inside the install script (InstallInitialize to InstallFinalize), after its file is installed.
    std::map<std::wstring, Row> sequence;
    std::map<std::wstring, int> times;
    for (const Row& row : Rows(msi, L"SELECT `Action`, `Condition`, `Sequence` FROM `InstallExecuteSequence`"))
        sequence[row[0]] = row, ++times[row[0]];
    bool sequenced = true;
    for (const wchar_t* action : {L"SetRebootPendingMarker", L"InstallInitialize", L"InstallFiles", L"InstallFinalize"})
    {
        EXPECT_EQ(1u, sequence.count(action)) << Narrow(action) << " is not in InstallExecuteSequence";
        sequenced &= sequence.count(action) == 1;
    }
    auto at = [&](const wchar_t* action) { return _wtoi(sequence[action][2].c_str()); };
    if (sequenced)
    {
        EXPECT_EQ(L"NOT REMOVE", sequence[L"SetRebootPendingMarker"][1]) << "the marker is set on removal too, or never";
        EXPECT_LT(at(L"InstallInitialize"), at(L"SetRebootPendingMarker")) << "outside the install script";
        EXPECT_LT(at(L"InstallFiles"), at(L"SetRebootPendingMarker")) << "before its file is installed";
        EXPECT_LT(at(L"SetRebootPendingMarker"), at(L"InstallFinalize")) << "outside the install script";
    }

    // Replaces earlier builds: it finds them, and removes every feature (Remove empty) of what it
    // finds, and does not only detect (2).
    EXPECT_EQ(1, times[L"FindRelatedProducts"]);
    EXPECT_EQ(1, times[L"RemoveExistingProducts"]);
    int removing = 0;
    for (const Row& row : Rows(msi, L"SELECT `Attributes`, `Remove`, `ActionProperty` FROM `Upgrade`"))
        removing += row[2] == L"WIX_UPGRADE_DETECTED" && row[1].empty() && (_wtoi(row[0].c_str()) & 2) == 0;
    EXPECT_EQ(1, removing) << "Upgrade rows that find an earlier build to remove";
    // wixl cannot write a short name, and a long name without one is no valid DefaultDir.
    const std::wregex shortName(L"^(\\.|SourceDir|[A-Za-z0-9_]{1,8})$");
    for (const Row& row : Rows(msi, L"SELECT `Directory`, `DefaultDir` FROM `Directory`"))
        EXPECT_TRUE(std::regex_match(row[1], shortName)) << Text(row) << ": needs a short name";

    // Microsoft's Guid column type: {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}, every letter
    // uppercase; wixl copies what the source says.
    const std::wregex guid(L"^\\{[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}\\}$");
    std::vector<Row> guids;
    int upgradeCodes = 0;
    for (const Row& row : Rows(msi, L"SELECT `Property`, `Value` FROM `Property`"))
    {
        if (row[0] == L"UpgradeCode" || row[0] == L"ProductCode")
            guids.push_back(row);
        upgradeCodes += row[0] == L"UpgradeCode";
    }
    EXPECT_EQ(1, upgradeCodes);
    for (const Row& row : Rows(msi, L"SELECT `Component`, `ComponentId` FROM `Component`"))
        guids.push_back(row);
    for (const Row& row : Rows(msi, L"SELECT `ActionProperty`, `UpgradeCode` FROM `Upgrade`"))
        guids.push_back(row);
    for (const Row& row : guids)
        EXPECT_TRUE(std::regex_match(row[1], guid)) << Text(row);
}

TEST_F(WindowsProof, ExampleMsiAsksForARestartWithoutOneAndItsRemovalLeavesTheMarker)
{
    std::wstring msi = Example(L"flagpost-example.msi");
    // ProgramFilesFolder of a 32-bit package, which is this 32-bit process's %ProgramFiles%.
    std::wstring payload = EnvironmentValue(L"ProgramFiles") + L"\\Flagpost\\Example\\readme.txt";
    ASSERT_FALSE(FileExists(payload)) << Narrow(payload) << " is there already";
    RemovedAtEnd removal{msi};
    EXPECT_EQ(3010, Msiexec(L"/i", msi)) << "see " << Narrow(msi) << ".log";
    EXPECT_TRUE(FileExists(payload)) << Narrow(payload) << " was not installed";
    EXPECT_EQ("", MarkerProblem()) << "after the install: no marker, or Windows restarted";
    EXPECT_EQ(0, Msiexec(L"/x", msi)) << "see " << Narrow(msi) << ".log";
    EXPECT_FALSE(FileExists(payload)) << Narrow(payload) << " was not removed";
    EXPECT_EQ("", MarkerProblem()) << "after the removal, while a restart is still pending";
}

TEST_F(WindowsProof, MsiActionRunsAsLocalSystemAndAnImpersonatingOneCannot)
{
    std::wstring msi = Example(L"flagpost-example.msi");
    std::wstring impersonating = Example(L"flagpost-example-impersonating.msi");
    // The example's type (3090) is ExampleMsiRunsFlagpostDeferred...'s; its twin's differs in
    // impersonation (2048) alone.
    ASSERT_EQ(18 + 1024, MarkerActionType(impersonating)) << "the impersonating build is not the one difference";
    bool denied = DeniedParentStopsThisAccount();
    EXPECT_WINDOWS_BEHAVIOUR(denied, DENIED_PARENT);

    RemovedAtEnd removals[] = {{msi}, {impersonating}};
    EXPECT_EQ(3010, Msiexec(L"/i", msi)) << "see " << Narrow(msi) << ".log";
    ASSERT_TRUE(KeyExists(MARKER_KEY)) << "no marker after the example MSI: its action did not run as LocalSystem";
    EXPECT_EQ(0, Msiexec(L"/x", msi));
    EXPECT_TRUE(KeyExists(MARKER_KEY)) << "the removal took the marker";

    // Below the same denied parent, as this account.
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyW(HKEY_LOCAL_MACHINE, MARKER_KEY));
    EXPECT_EQ(3010, Msiexec(L"/i", impersonating)) << "see " << Narrow(impersonating) << ".log";
    EXPECT_WINDOWS_BEHAVIOUR(!KeyExists(MARKER_KEY), "an action that impersonates this account cannot create the "
                             "marker there either; here it did, so the proof above proves nothing");
    EXPECT_EQ(0, Msiexec(L"/x", impersonating));
}

// The entries of the uninstall list, in both registry views, whose DisplayName is `name`.
int UninstallEntriesNamed(const wchar_t* name)
{
    int count = 0;
    for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY})
    {
        // 32-bit Windows has one view, which both flags name.
        if (view == KEY_WOW64_64KEY && !InWow64())
            continue;
        HKEY list;
        LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall", 0,
                                    KEY_READ | view, &list);
        if (status != ERROR_SUCCESS)
        {
            EXPECT_EQ(ERROR_FILE_NOT_FOUND, status) << "the uninstall list in view " << std::hex << view;
            continue;
        }
        wchar_t entry[256], shown[256];
        for (DWORD i = 0;; ++i)
        {
            DWORD length = 256, size = sizeof(shown);
            status = RegEnumKeyExW(list, i, entry, &length, NULL, NULL, NULL, NULL);
            if (status != ERROR_SUCCESS)
            {
                EXPECT_EQ(ERROR_NO_MORE_ITEMS, status) << "entry " << i << " of the uninstall list";
                break;
            }
            // An entry without a DisplayName, or with one too long to be this one's, is another's.
            if (RegGetValueW(list, entry, L"DisplayName", RRF_RT_REG_SZ, NULL, shown, &size) == ERROR_SUCCESS)
                count += lstrcmpW(shown, name) == 0;
        }
        RegCloseKey(list);
    }
    return count;
}

TEST_F(WindowsProof, MsiRebuildOfTheSameVersionReplacesTheFirst)
{
    std::wstring first = Example(L"flagpost-example.msi"), rebuilt = Example(L"flagpost-example-rebuilt.msi");
    std::wstring upgradeCode = Property(first, L"UpgradeCode");
    ASSERT_FALSE(upgradeCode.empty()) << "no UpgradeCode in " << Narrow(first);
    ASSERT_EQ(upgradeCode, Property(rebuilt, L"UpgradeCode")) << "the rebuild is not of the same product";
    // With the first's ProductCode, a second install would be a repair, not a replacement.
    ASSERT_NE(Property(first, L"ProductCode"), Property(rebuilt, L"ProductCode"));
    auto installed = [&] {
        int products = 0;
        wchar_t product[39];
        // Of the products registered under the UpgradeCode, those that are installed.
        for (DWORD i = 0; MsiEnumRelatedProductsW(upgradeCode.c_str(), 0, i, product) == ERROR_SUCCESS; ++i)
            products += MsiQueryProductStateW(product) == INSTALLSTATE_DEFAULT;
        return products;
    };
    ASSERT_EQ(0, UninstallEntriesNamed(L"Flagpost Example")) << "the example is installed already";
    ASSERT_EQ(0, installed()) << "the example is installed already";
    RemovedAtEnd removals[] = {{rebuilt}, {first}};

    EXPECT_EQ(3010, Msiexec(L"/i", first));
    EXPECT_EQ(1, UninstallEntriesNamed(L"Flagpost Example")) << "after the first install";
    EXPECT_EQ(3010, Msiexec(L"/i", rebuilt));
    EXPECT_EQ(1, UninstallEntriesNamed(L"Flagpost Example")) << "after the rebuild's install";
    int products = installed();
    // Wine's msi lists none or both after the replacement, while its Uninstall key holds one.
    EXPECT_WINDOWS_BEHAVIOUR(products == 1, "MsiEnumRelatedProducts lists the one product that is left when a "
                             "rebuild of the same version replaced the first; here it lists " << products);
}

// A local account with a random password that meets the complexity rules, logged on and with its
// profile loaded; deleted when it goes, whatever happened.
class TemporaryUser
{
public:
    TemporaryUser()
    {
        BYTE random[12];
        if (!RtlGenRandom(random, sizeof(random)))
            return;
        name = L"flagpost-";
        for (int i = 0; i < 4; ++i)
            name.push_back(L"0123456789abcdef"[random[i] & 15]);
        password = L"Fp1!";
        for (BYTE byte : random)
            password += {L"0123456789abcdef"[byte >> 4], L"ABCDEFGHIJKLMNOP"[byte & 15]};
        USER_INFO_1 info = {};
        info.usri1_name = &name[0];
        info.usri1_password = &password[0];
        info.usri1_priv = USER_PRIV_USER;
        info.usri1_flags = UF_SCRIPT | UF_DONT_EXPIRE_PASSWD;
        step = "NetUserAdd";
        status = NetUserAdd(NULL, 1, reinterpret_cast<BYTE*>(&info), NULL);
        if (status != NERR_Success)
            return;
        added = true;
        step = "LogonUserW";
        if (!LogonUserW(name.c_str(), L".", password.c_str(), LOGON32_LOGON_INTERACTIVE, LOGON32_PROVIDER_DEFAULT,
                        &token))
        {
            status = GetLastError();
            return;
        }
        loggedOn = true;
    }

    // The account's SID, read from its logon token.
    bool ReadToken()
    {
        TOKEN_USER* user = reinterpret_cast<TOKEN_USER*>(userBuffer);
        DWORD size = sizeof(userBuffer);
        if (!GetTokenInformation(token, TokenUser, user, size, &size))
        {
            status = GetLastError();
            return false;
        }
        sid = SidText(user->User.Sid);
        return true;
    }

    // The user's profile loaded, and an environment made from it.
    bool LoadProfile()
    {
        PROFILEINFOW profileInfo = {sizeof(profileInfo), PI_NOUI, &name[0]};
        step = "LoadUserProfileW";
        if (!LoadUserProfileW(token, &profileInfo))
        {
            status = GetLastError();
            return false;
        }
        profile = profileInfo.hProfile;
        step = "CreateEnvironmentBlock";
        if (!CreateEnvironmentBlock(&environment, token, FALSE))
        {
            status = GetLastError();
            return false;
        }
        return true;
    }

    ~TemporaryUser()
    {
        if (environment)
            DestroyEnvironmentBlock(environment);
        if (profile)
            UnloadUserProfile(token, profile);
        if (token)
            CloseHandle(token);
        if (added)
            EXPECT_EQ(static_cast<DWORD>(NERR_Success), NetUserDel(NULL, name.c_str())) << Narrow(name);
        // The secondary logon service unloads the profile of the processes it started a little
        // after they end. A profile still loaded then is left: the machine is thrown away after
        // the run, and a case that passed must not fail on it. A profile goes by its SID, and
        // without one there is nothing to name.
        bool deleted = false, named = profile && !sid.empty();
        for (int tries = 0; named && !(deleted = DeleteProfileW(sid.c_str(), NULL, NULL)) && tries < 20; ++tries)
            Sleep(500);
        if (named && !deleted)
            std::printf("the profile of %s (%s) is left: DeleteProfileW failed with %lu\n", Narrow(name).c_str(),
                        Narrow(sid).c_str(), GetLastError());
    }

    // Runs `exe` as this user with the user's own environment, in `folder`, started suspended.
    bool Start(const std::wstring& exe, const std::wstring& folder, PROCESS_INFORMATION* process)
    {
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        std::wstring commandLine = Quoted(exe);
        return CreateProcessWithLogonW(name.c_str(), L".", password.c_str(), LOGON_WITH_PROFILE, exe.c_str(),
                                       &commandLine[0], CREATE_UNICODE_ENVIRONMENT | CREATE_SUSPENDED, environment,
                                       folder.c_str(), &startup, process);
    }

    // Whether HKLM\path, written by this user, landed in the user's VirtualStore.
    bool VirtualStoreHolds(const wchar_t* path)
    {
        for (const wchar_t* view : {L"WOW6432Node\\", L""})
        {
            HKEY key;
            std::wstring stored = sid + VIRTUAL_STORE + view + BelowSoftware(path);
            if (RegOpenKeyExW(HKEY_USERS, stored.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &key) == ERROR_SUCCESS)
            {
                RegCloseKey(key);
                return true;
            }
        }
        return false;
    }

    std::wstring name, password, sid;
    const char* step = "RtlGenRandom";     // the step that failed last
    DWORD status = 0;
    bool loggedOn = false;

private:
    bool added = false;
    HANDLE token = NULL, profile = NULL;
    void* environment = NULL;
    alignas(TOKEN_USER) BYTE userBuffer[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)] = {};
};

// Of the child's own token: its integrity level, and whether it holds Administrators in any form
// (deny-only included).
std::string TokenProblem(HANDLE process)
{
    HANDLE token;
    if (!OpenProcessToken(process, TOKEN_QUERY, &token))
        return "its token cannot be read: error " + std::to_string(GetLastError());
    std::string problem;
    BYTE buffer[4096];
    DWORD size;
    BYTE medium[SECURITY_MAX_SID_SIZE], administrators[SECURITY_MAX_SID_SIZE];
    DWORD mediumSize = sizeof(medium), administratorsSize = sizeof(administrators);
    CreateWellKnownSid(WinMediumLabelSid, NULL, medium, &mediumSize);
    CreateWellKnownSid(WinBuiltinAdministratorsSid, NULL, administrators, &administratorsSize);
    if (!GetTokenInformation(token, TokenIntegrityLevel, buffer, sizeof(buffer), &size))
        problem = "no integrity level: error " + std::to_string(GetLastError());
    else if (!EqualSid(reinterpret_cast<TOKEN_MANDATORY_LABEL*>(buffer)->Label.Sid, medium))
        problem = "integrity " + Narrow(SidText(reinterpret_cast<TOKEN_MANDATORY_LABEL*>(buffer)->Label.Sid)) +
                  ", not medium (S-1-16-8192)";
    if (GetTokenInformation(token, TokenGroups, buffer, sizeof(buffer), &size))
    {
        TOKEN_GROUPS* groups = reinterpret_cast<TOKEN_GROUPS*>(buffer);
        for (DWORD i = 0; i < groups->GroupCount; ++i)
            if (EqualSid(groups->Groups[i].Sid, administrators))
                problem += (problem.empty() ? "" : "; ") + std::string("it carries Administrators (S-1-5-32-544), ") +
                           ((groups->Groups[i].Attributes & SE_GROUP_USE_FOR_DENY_ONLY) ? "deny-only" : "enabled");
    }
    else
        problem += (problem.empty() ? "" : "; ") + std::string("no groups: error ") + std::to_string(GetLastError());
    CloseHandle(token);
    return problem;
}

// Whether the child's token allows and enables registry virtualisation, for a failure's message;
// read while it is suspended, before it writes anything.
std::string Virtualisation(HANDLE process)
{
    HANDLE token;
    if (!OpenProcessToken(process, TOKEN_QUERY, &token))
        return "its token cannot be read: error " + std::to_string(GetLastError());
    std::string text;
    for (auto [information, name] : {std::pair{TokenVirtualizationAllowed, "TokenVirtualizationAllowed"},
                                     std::pair{TokenVirtualizationEnabled, "TokenVirtualizationEnabled"}})
    {
        DWORD value = 0xBAD, size;
        text += (text.empty() ? "" : ", ") + std::string(name) + " " +
                (GetTokenInformation(token, information, &value, sizeof(value), &size)
                     ? std::to_string(value)
                     : "unread (error " + std::to_string(GetLastError()) + ")");
    }
    CloseHandle(token);
    return text;
}

// The process manifest (RT_MANIFEST, CREATEPROCESS_MANIFEST_RESOURCE_ID) of an exe; "" when
// it has none or cannot be read.
std::string Manifest(const std::wstring& exe)
{
    std::string text;
    if (HMODULE module = LoadLibraryExW(exe.c_str(), NULL, LOAD_LIBRARY_AS_DATAFILE))
    {
        HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(1), RT_MANIFEST);
        if (HGLOBAL loaded = found ? LoadResource(module, found) : NULL)
            text.assign(static_cast<const char*>(LockResource(loaded)), SizeofResource(module, found));
        FreeLibrary(module);
    }
    return text;
}

// flagpost.exe copied to `copy`, its manifest without trustInfo: a requestedExecutionLevel is
// what keeps Windows from virtualising a 32-bit program's writes, and everything else stays.
// "" or what failed.
std::string CopyWithoutExecutionLevel(const std::wstring& copy)
{
    std::string manifest = Manifest(Flagpost());
    size_t start = manifest.find("<trustInfo"), end = manifest.find("</trustInfo>");
    if (start == std::string::npos || end == std::string::npos || end < start)
        return "flagpost.exe's manifest holds no trustInfo: " + manifest;
    manifest.erase(start, end + lstrlenA("</trustInfo>") - start);
    if (!CopyFileW(Flagpost().c_str(), copy.c_str(), FALSE))
        return "cannot copy flagpost.exe: error " + std::to_string(GetLastError());
    // The language of every resource of flagpost.exe: another would add a second manifest.
    HANDLE update = BeginUpdateResourceW(copy.c_str(), FALSE);
    bool replaced = update && UpdateResourceW(update, RT_MANIFEST, MAKEINTRESOURCEW(1),
                                              MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), &manifest[0],
                                              static_cast<DWORD>(manifest.size()));
    DWORD error = GetLastError();
    if (update && !EndUpdateResourceW(update, !replaced) && replaced)
        replaced = false, error = GetLastError();
    if (!replaced)
        return "replacing the copy's manifest failed with " + std::to_string(error);
    std::string made = Manifest(copy);
    return made == manifest ? "" : "the copy's manifest is not the one written: " + made;
}

// A folder that the user may write, holding flagpost.exe, its control and the stand-in. A user
// whose SID is unknown gets no grant: that failure is reported already.
struct UserFolder
{
    UserFolder(const std::wstring& sid) : path(ProgramFolder() + L"standard-user")
    {
        CreateDirectoryW(path.c_str(), NULL);
        PSID user = NULL;
        ConvertStringSidToSidW(sid.c_str(), &user);
        EXPLICIT_ACCESSW access = {};
        access.grfAccessPermissions = GENERIC_ALL;
        access.grfAccessMode = GRANT_ACCESS;
        access.grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
        access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
        access.Trustee.ptstrName = static_cast<LPWSTR>(user);
        PACL acl = NULL;
        if (user && (SetEntriesInAclW(1, &access, NULL, &acl) != ERROR_SUCCESS ||
                     SetNamedSecurityInfoW(&path[0], SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, NULL, NULL, acl,
                                           NULL) != ERROR_SUCCESS))
            problem = "could not make " + Narrow(path) + " the user's: error " + std::to_string(GetLastError());
        else if (!CopyFileW(Flagpost().c_str(), flagpost().c_str(), FALSE) ||
                 !CopyFileW((ProgramFolder() + L"standin.exe").c_str(), standin().c_str(), FALSE))
            problem = "could not copy flagpost.exe or the stand-in: error " + std::to_string(GetLastError());
        else
            problem = CopyWithoutExecutionLevel(control());
        LocalFree(acl);
        LocalFree(user);
    }
    ~UserFolder()
    {
        DeleteFileW(flagpost().c_str());
        DeleteFileW(control().c_str());
        DeleteFileW(standin().c_str());
        RemoveDirectoryW(path.c_str());
    }
    std::wstring flagpost() const { return path + L"\\flagpost.exe"; }
    std::wstring standin() const { return path + L"\\standin.exe"; }
    // No "setup", "install", "update" or "patch" in the name: Windows would take it for an
    // installer and ask to elevate it.
    std::wstring control() const { return path + L"\\flagpost-control.exe"; }
    std::wstring path;
    std::string problem;
};

TEST_F(WindowsProof, StandardUserSetsNothingAndWritesNothingToItsVirtualStore)
{
    ThisAccount account;
    ASSERT_FALSE(IsWellKnownSid(account.sid(), WinLocalSystemSid))
        << "this process runs as LocalSystem, whose token holds no logon SID, which CreateProcessWithLogonW needs: "
           "it cannot start a program as another user from here; run the case as an elevated administrator";
    TemporaryUser user;
    ASSERT_TRUE(user.loggedOn) << "no temporary user " << Narrow(user.name) << ": " << user.step << " failed with "
                               << user.status;
    bool tokenRead = user.ReadToken();
    EXPECT_WINDOWS_BEHAVIOUR(tokenRead, "LogonUserW gives a token of the new account; here GetTokenInformation on "
                             "it failed with " << user.status);
    bool loaded = user.LoadProfile();
    EXPECT_WINDOWS_BEHAVIOUR(loaded, "the profile and the environment of that token can be loaded; here "
                             << user.step << " failed with " << user.status);
    UserFolder folder(user.sid);
    ASSERT_EQ("", folder.problem);
    // Runs `exe` as the user, started suspended so that its token is read before it writes: false,
    // and nothing of what it would have done is checked, when it cannot be started.
    std::string virtualisation;
    auto ranAsUser = [&](const std::wstring& exe) {
        PROCESS_INFORMATION process;
        bool started = user.Start(exe, folder.path, &process);
        DWORD error = GetLastError();
        EXPECT_WINDOWS_BEHAVIOUR(started, "CreateProcessWithLogonW starts a program as the user; here "
                                 << Narrow(exe) << " failed with " << error);
        if (!started)
            return false;
        virtualisation = Virtualisation(process.hProcess);
        std::string problem = TokenProblem(process.hProcess);
        EXPECT_WINDOWS_BEHAVIOUR(problem.empty(), "a standard user's process runs at medium integrity (S-1-16-8192) "
                                 "without Administrators; here " << Narrow(exe) << ": " << problem);
        // With another user's rights its run would say nothing of a standard user's.
        if (!problem.empty())
            TerminateProcess(process.hProcess, 1);
        long long code = RunToEnd(process);
        EXPECT_TRUE(!problem.empty() || code == 0) << Narrow(exe) << " exited with " << code;
        return problem.empty();
    };

    if (ranAsUser(folder.flagpost()))
    {
        EXPECT_FALSE(KeyExists(MARKER_KEY)) << "a standard user set the marker";
        EXPECT_FALSE(user.VirtualStoreHolds(MARKER_PARENT)) << "flagpost.exe's write was virtualised; its token: "
                                                           << virtualisation;
    }

    // The control: flagpost.exe itself without its execution level. Run by this process it sets the
    // marker, and run as the user it is virtualised, or the checks above proved nothing.
    EXPECT_EQ(0, RunToEnd(Quoted(folder.control())));
    EXPECT_EQ("", MarkerProblem()) << "flagpost.exe without its execution level, run by this process";
    ASSERT_TRUE(RemoveMarkerAndParent());
    if (!ranAsUser(folder.control()))
        return;
    EXPECT_FALSE(KeyExists(MARKER_KEY)) << "the control set the real marker";
    if (user.VirtualStoreHolds(MARKER_KEY))
        return;
    // Not virtualised: the stand-in, which has no manifest, writing an ordinary key, tells why.
    std::string control = virtualisation;
    ASSERT_TRUE(RemoveMarkerAndParent());
    bool ordinaryVirtualised = ranAsUser(folder.standin()) && user.VirtualStoreHolds(MARKER_KEY);
    ADD_FAILURE() << "flagpost.exe without its execution level, run the same way, was not virtualised (its token: "
                  << control << "), so the check of flagpost.exe above proves nothing: "
                  << (ordinaryVirtualised ? "Windows does not virtualise its volatile create; the stand-in's "
                                            "ordinary key was virtualised"
                                          : "virtualisation is not in force for the user; the stand-in's ordinary "
                                            "key was not virtualised either (its token: " + virtualisation + ")");
}

}
