// What the shipped examples and flagpost.exe do on a real Windows machine, run by an elevated
// administrator: as a standard user, under an MSI's deferred action, and through the example
// installers. One program for Wine and Windows; where Wine is known to do otherwise, the check
// names what Windows does and is skipped, under Wine only (EXPECT_WINDOWS_BEHAVIOUR).
#include "support.h"

#include <aclapi.h>
#include <lm.h>
#include <msi.h>
#include <msiquery.h>
#include <ntsecapi.h>
#include <userenv.h>

#include <cstdio>

namespace {

// A user's virtualised HKLM\Software, below HKEY_USERS\SID.
const wchar_t* const VIRTUAL_STORE = L"_Classes\\VirtualStore\\MACHINE\\SOFTWARE\\";

std::wstring Example(const wchar_t* name)
{
    return ProgramFolder() + L"example\\" + name;
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

// Whatever a case leaves, the next starts from no marker and no parent, as after a restart.
class WindowsProof : public testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(RemoveMarkerAndParent()) << "a marker is left from an earlier run"; }
    void TearDown() override { EXPECT_TRUE(RemoveMarkerAndParent()) << "HKLM\\Software\\Ostrevane could not be removed"; }
};

// A folder of the machine's temporary folder, with the installed payload removed again.
struct TargetFolder
{
    explicit TargetFolder(const wchar_t* name)
    {
        wchar_t temp[MAX_PATH];
        DWORD length = GetTempPathW(MAX_PATH, temp);
        path = std::wstring(temp, length < MAX_PATH ? length : 0) + name;
    }
    ~TargetFolder()
    {
        DeleteFileW((path + L"\\readme.txt").c_str());
        RemoveDirectoryW(path.c_str());
    }
    bool Landed() const { return GetFileAttributesW((path + L"\\readme.txt").c_str()) != INVALID_FILE_ATTRIBUTES; }
    std::wstring path;
};

// The three example installers, each as an admin script runs it, into a target folder.
struct Installer
{
    const char* name;
    std::wstring (*commandLine)(const std::wstring& target);
    long long refusal;          // its exit code while a restart is pending
    long long withoutMarker;    // its exit code when flagpost.exe set nothing
};

const Installer INSTALLERS[] = {
    {"NSIS", [](const std::wstring& target) { return Quoted(Example(L"flagpost-example-setup.exe")) + L" /S /D=" + target; },
     2, 2},
    // cmd /c, as an admin's prompt runs it: `call` loses the script's exit code under Wine.
    {"batch", [](const std::wstring& target) {
         return L"cmd.exe /d /c \"" + Quoted(Example(L"flagpost-example-install.cmd")) + L" " + Quoted(target) + L"\"";
     }, 1, 2},
    {"Inno Setup", [](const std::wstring& target) {
         return Quoted(Example(L"flagpost-example-inno-setup.exe")) +
                L" /VERYSILENT /SUPPRESSMSGBOXES /NORESTART /RESTARTEXITCODE=3010 /DIR=" + Quoted(target);
     }, 1, 1603},
};

// Runs flagpost.exe under HKLM\Software\Ostrevane made to deny this account: true when it set
// nothing there, as on Windows. The parent stays for the caller.
bool DeniedParentStopsThisAccount()
{
    ThisAccount account;
    LONG status = CreateParentDenyingSubkeysTo(account.sid());
    EXPECT_EQ(ERROR_SUCCESS, status) << "could not make the denied HKLM\\Software\\Ostrevane";
    EXPECT_EQ(0, RunToEnd(Quoted(ProgramFolder() + L"flagpost.exe")));
    return status == ERROR_SUCCESS && !KeyExists(MARKER_KEY);
}

const char* const DENIED_PARENT =
    "a key that denies this account KEY_CREATE_SUB_KEY stops flagpost.exe, run by it, creating the "
    "marker below; here the marker was created below it";

std::string MarkerOwner()
{
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, MARKER_KEY, 0, READ_CONTROL, &key) != ERROR_SUCCESS)
        return "(cannot open the marker)";
    PSID owner = NULL;
    PSECURITY_DESCRIPTOR descriptor = NULL;
    std::string name = "(cannot read the owner)";
    if (GetSecurityInfo(key, SE_REGISTRY_KEY, OWNER_SECURITY_INFORMATION, &owner, NULL, NULL, NULL, &descriptor) ==
        ERROR_SUCCESS)
    {
        wchar_t account[256], domain[256];
        DWORD accountSize = 256, domainSize = 256;
        SID_NAME_USE use;
        name = Narrow(SidText(owner));
        if (LookupAccountSidW(NULL, owner, account, &accountSize, domain, &domainSize, &use))
            name = Narrow(std::wstring(domain) + L"\\" + account) + " (" + name + ")";
        LocalFree(descriptor);
    }
    RegCloseKey(key);
    return name;
}

long long Msiexec(const wchar_t* action, const std::wstring& package)
{
    return RunToEnd(L"msiexec.exe " + std::wstring(action) + L" " + Quoted(package) + L" /qn /l*v " +
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
        TargetFolder first(L"flagpost-example-1"), second(L"flagpost-example-2");
        EXPECT_EQ(3010, RunToEnd(installer.commandLine(first.path))) << installer.name << ", first install";
        EXPECT_TRUE(first.Landed()) << installer.name << ": the payload was not installed";
        EXPECT_TRUE(KeyExists(MARKER_KEY)) << installer.name << ": no marker after the first install";
        EXPECT_EQ(installer.refusal, RunToEnd(installer.commandLine(second.path)))
            << installer.name << ", second install, a restart pending";
        EXPECT_FALSE(second.Landed()) << installer.name << " installed while a restart was pending";
        EXPECT_TRUE(RemoveMarkerAndParent());
    }
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
        EXPECT_EQ(installer.withoutMarker, RunToEnd(installer.commandLine(target.path)))
            << installer.name << ": neither 0 nor 3010, but its documented code";
        EXPECT_TRUE(target.Landed()) << installer.name << " refused instead of installing";
        EXPECT_EQ(ERROR_SUCCESS, ReadKeySecurity(MARKER_KEY, &after));
        EXPECT_EQ(before, after) << installer.name << " changed the key that stood in";
    }
}

// The first row that a query of a package's tables gives, or 0; the caller closes it.
MSIHANDLE FirstRow(const std::wstring& package, const wchar_t* query)
{
    MSIHANDLE database, view, record = 0;
    if (MsiOpenDatabaseW(package.c_str(), MSIDBOPEN_READONLY, &database) != ERROR_SUCCESS)
        return 0;
    if (MsiDatabaseOpenViewW(database, query, &view) == ERROR_SUCCESS)
    {
        if (MsiViewExecute(view, 0) != ERROR_SUCCESS || MsiViewFetch(view, &record) != ERROR_SUCCESS)
            record = 0;
        MsiCloseHandle(view);
    }
    MsiCloseHandle(database);
    return record;
}

// The type of the package's custom action that runs flagpost.exe, or -1.
int MarkerActionType(const std::wstring& package)
{
    MSIHANDLE row = FirstRow(package, L"SELECT `Type` FROM `CustomAction` WHERE `Action` = 'SetRebootPendingMarker'");
    int type = row ? MsiRecordGetInteger(row, 1) : -1;
    MsiCloseHandle(row);
    return type;
}

TEST_F(WindowsProof, MsiActionRunsAsLocalSystemAndAnImpersonatingOneCannot)
{
    std::wstring msi = Example(L"flagpost-example.msi");
    std::wstring impersonating = Example(L"flagpost-example-impersonating.msi");
    // 18 (an installed exe), deferred (1024); the example without impersonation (2048).
    ASSERT_EQ(18 + 1024 + 2048, MarkerActionType(msi));
    ASSERT_EQ(18 + 1024, MarkerActionType(impersonating)) << "the impersonating build is not the one difference";
    bool denied = DeniedParentStopsThisAccount();
    EXPECT_WINDOWS_BEHAVIOUR(denied, DENIED_PARENT);

    RemovedAtEnd removals[] = {{msi}, {impersonating}};
    EXPECT_EQ(3010, Msiexec(L"/i", msi)) << "see " << Narrow(msi) << ".log";
    ASSERT_TRUE(KeyExists(MARKER_KEY)) << "no marker after the example MSI: its action did not run as LocalSystem";
    // Administrators own what LocalSystem and an elevated administrator make alike: printed only.
    std::printf("owner of the marker the MSI set: %s\n", MarkerOwner().c_str());
    EXPECT_EQ(0, Msiexec(L"/x", msi));
    EXPECT_TRUE(KeyExists(MARKER_KEY)) << "the removal took the marker";
    ASSERT_TRUE(RemoveMarkerAndParent());

    ThisAccount account;
    ASSERT_EQ(ERROR_SUCCESS, CreateParentDenyingSubkeysTo(account.sid()));
    EXPECT_EQ(3010, Msiexec(L"/i", impersonating)) << "see " << Narrow(impersonating) << ".log";
    EXPECT_FALSE(KeyExists(MARKER_KEY)) << "an impersonating action set the marker: the proof above proves nothing";
    EXPECT_EQ(0, Msiexec(L"/x", impersonating));
}

std::wstring UpgradeCode(const std::wstring& package)
{
    wchar_t code[64] = L"";
    DWORD size = 64;
    MSIHANDLE row = FirstRow(package, L"SELECT `Value` FROM `Property` WHERE `Property` = 'UpgradeCode'");
    if (row)
        MsiRecordGetStringW(row, 1, code, &size);
    MsiCloseHandle(row);
    return code;
}

TEST_F(WindowsProof, MsiRebuildOfTheSameVersionReplacesTheFirst)
{
    std::wstring first = Example(L"flagpost-example.msi"), rebuilt = Example(L"flagpost-example-rebuilt.msi");
    std::wstring upgradeCode = UpgradeCode(first);
    ASSERT_FALSE(upgradeCode.empty()) << "no UpgradeCode in " << Narrow(first);
    ASSERT_EQ(upgradeCode, UpgradeCode(rebuilt)) << "the rebuild is not of the same product";
    auto installed = [&] {
        int products = 0;
        wchar_t product[39];
        // Of the products registered under the UpgradeCode, those that are installed.
        for (DWORD i = 0; MsiEnumRelatedProductsW(upgradeCode.c_str(), 0, i, product) == ERROR_SUCCESS; ++i)
            products += MsiQueryProductStateW(product) == INSTALLSTATE_DEFAULT;
        return products;
    };
    ASSERT_EQ(0, installed()) << "the example is installed already";
    RemovedAtEnd removals[] = {{rebuilt}, {first}};

    EXPECT_EQ(3010, Msiexec(L"/i", first));
    EXPECT_EQ(3010, Msiexec(L"/i", rebuilt));
    int products = installed();
    // Wine's msi lists none or both after the replacement, while its Uninstall key holds one.
    EXPECT_WINDOWS_BEHAVIOUR(products == 1, "MsiEnumRelatedProducts lists the one product that is left when a "
                             "rebuild of the same version replaced the first; here it lists " << products);
}

// A local account with a random password that meets the complexity rules, logged on and with its
// profile loaded; deleted with its profile when it goes, whatever happened.
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
        // after they end.
        bool deleted = false;
        for (int tries = 0; profile && !(deleted = DeleteProfileW(sid.c_str(), NULL, NULL)) && tries < 20; ++tries)
            Sleep(500);
        EXPECT_TRUE(deleted || !profile) << "the profile of " << Narrow(name) << " is left: error " << GetLastError();
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

    // Where this user's writes to HKLM\Software\Ostrevane land when they are virtualised.
    bool VirtualStoreHolds(const wchar_t* path)
    {
        for (const wchar_t* view : {L"WOW6432Node\\", L""})
        {
            HKEY key;
            std::wstring stored = sid + VIRTUAL_STORE + view + path;
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

// A folder that the user may write, holding copies of the programs it runs.
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
        granted = user && SetEntriesInAclW(1, &access, NULL, &acl) == ERROR_SUCCESS &&
                  SetNamedSecurityInfoW(&path[0], SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, NULL, NULL, acl, NULL) ==
                      ERROR_SUCCESS;
        LocalFree(acl);
        LocalFree(user);
        granted = granted && CopyFileW((ProgramFolder() + L"flagpost.exe").c_str(), flagpost().c_str(), FALSE) &&
                  CopyFileW((ProgramFolder() + L"standin.exe").c_str(), control().c_str(), FALSE);
    }
    ~UserFolder()
    {
        DeleteFileW(flagpost().c_str());
        DeleteFileW(control().c_str());
        RemoveDirectoryW(path.c_str());
    }
    std::wstring flagpost() const { return path + L"\\flagpost.exe"; }
    // The stand-in, which has no manifest, makes an ordinary marker.
    std::wstring control() const { return path + L"\\standin.exe"; }
    std::wstring path;
    bool granted = false;
};

TEST_F(WindowsProof, StandardUserSetsNothingAndWritesNothingToItsVirtualStore)
{
    TemporaryUser user;
    ASSERT_TRUE(user.loggedOn) << "no temporary user " << Narrow(user.name) << ": " << user.step << " failed with "
                               << user.status;
    bool tokenRead = user.ReadToken();
    EXPECT_WINDOWS_BEHAVIOUR(tokenRead, "LogonUserW gives a token of the new account; here GetTokenInformation on "
                             "it failed with " << user.status);
    ASSERT_TRUE(user.LoadProfile()) << user.step << " failed with " << user.status;
    UserFolder folder(user.sid);
    ASSERT_TRUE(folder.granted) << "could not make " << Narrow(folder.path) << " the user's: error " << GetLastError();

    PROCESS_INFORMATION process;
    ASSERT_TRUE(user.Start(folder.flagpost(), folder.path, &process)) << "CreateProcessWithLogonW: " << GetLastError();
    std::string problem = TokenProblem(process.hProcess);
    if (!problem.empty())
        TerminateProcess(process.hProcess, 1);
    long long code = RunToEnd(process);
    EXPECT_WINDOWS_BEHAVIOUR(problem.empty(), "a standard user's process runs at medium integrity (S-1-16-8192) "
                             "without Administrators; here " << problem);
    EXPECT_EQ(0, code);
    EXPECT_FALSE(KeyExists(MARKER_KEY)) << "a standard user set the marker";
    EXPECT_FALSE(user.VirtualStoreHolds(L"Ostrevane")) << "flagpost.exe's write was virtualised";

    // The control: the same run of a program without a manifest must be virtualised, or the
    // check above proved nothing.
    ASSERT_TRUE(user.Start(folder.control(), folder.path, &process)) << "CreateProcessWithLogonW: " << GetLastError();
    EXPECT_EQ(0, RunToEnd(process));
    EXPECT_FALSE(KeyExists(MARKER_KEY)) << "the control set the real marker";
    EXPECT_TRUE(user.VirtualStoreHolds(L"Ostrevane\\RebootPending"))
        << "a program without a manifest was not virtualised either: virtualisation was not in force for the user";
}

}
