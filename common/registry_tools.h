// The registry checks and set-ups that the tests and tools share.
#pragma once

#include "marker_key.h"

#include <windows.h>
#include <sddl.h>

#include <string>

// A key's path below Software\, where the 64-bit view's Wow6432Node and a user's VirtualStore
// put what a 32-bit program writes there.
inline std::wstring BelowSoftware(const wchar_t* path)
{
    return std::wstring(path).substr(sizeof("Software\\") - 1);
}

// Asks for a non-volatile subkey of HKLM\path and removes it again if it was made.
// Windows refuses it under a volatile key with ERROR_CHILD_MUST_BE_VOLATILE.
inline LONG CreateNonVolatileChild(const wchar_t* path)
{
    HKEY key, child;
    LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_CREATE_SUB_KEY | DELETE, &key);
    if (status != ERROR_SUCCESS)
        return status;
    const wchar_t* probeName = L"flagpost-volatility-probe";
    DWORD disposition = 0xDEADBEEF;
    status = RegCreateKeyExW(key, probeName, 0, NULL, REG_OPTION_NON_VOLATILE, KEY_READ, NULL,
                             &child, &disposition);
    if (status == ERROR_SUCCESS)
    {
        RegCloseKey(child);
        if (disposition == REG_CREATED_NEW_KEY)
            RegDeleteKeyW(key, probeName);
    }
    RegCloseKey(key);
    return status;
}

// Everyone: denied every key right, as for a caller without administrative rights; or allowed
// them again. The owner keeps READ_CONTROL and WRITE_DAC either way, so a denied key can still
// be read for its security and be given access back.
inline const wchar_t* const DENY_EVERYONE = L"D:P(D;;KA;;;WD)";
inline const wchar_t* const ALLOW_EVERYONE = L"D:P(A;;KA;;;WD)";

// Replaces the DACL of HKLM\path with the one in the SDDL string.
inline LONG SetKeyDacl(const wchar_t* path, const wchar_t* sddl)
{
    PSECURITY_DESCRIPTOR descriptor;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, NULL))
        return static_cast<LONG>(GetLastError());
    HKEY key;
    LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, WRITE_DAC, &key);
    if (status == ERROR_SUCCESS)
    {
        status = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor);
        RegCloseKey(key);
    }
    LocalFree(descriptor);
    return status;
}

// HKLM\Software\Ostrevane as a new ordinary key where the account `sid` may not create subkeys,
// while LocalSystem and Administrators may do everything, inherited by what is made below it.
// The descriptor goes in the create call itself: a DACL written afterwards needs a handle opened
// with WRITE_DAC. ERROR_ALREADY_EXISTS when the key was there before.
inline LONG CreateParentDenyingSubkeysTo(PSID sid)
{
    LPWSTR account;
    if (!ConvertSidToStringSidW(sid, &account))
        return static_cast<LONG>(GetLastError());
    // 0x4 is KEY_CREATE_SUB_KEY; SDDL's CC would be a directory-service right.
    std::wstring sddl = std::wstring(L"D:P(D;;0x4;;;") + account + L")(A;CI;KA;;;SY)(A;CI;KA;;;BA)";
    LocalFree(account);
    PSECURITY_DESCRIPTOR descriptor;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor, NULL))
        return static_cast<LONG>(GetLastError());
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor, FALSE};
    HKEY key;
    DWORD disposition = 0;
    LONG status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, MARKER_PARENT, 0, NULL, REG_OPTION_NON_VOLATILE, KEY_READ,
                                  &attributes, &key, &disposition);
    LocalFree(descriptor);
    if (status != ERROR_SUCCESS)
        return status;
    RegCloseKey(key);
    return disposition == REG_CREATED_NEW_KEY ? ERROR_SUCCESS : ERROR_ALREADY_EXISTS;
}

// Takes the marker and its parent away, as a restart would, whatever their DACLs said: each is
// given access back first (Administrators own them). True when the parent is gone.
inline bool RemoveMarkerAndParent()
{
    for (const wchar_t* path : {MARKER_PARENT, MARKER_KEY})
        SetKeyDacl(path, ALLOW_EVERYONE);
    // The marker with whatever a case put below it; the parent only when nothing else is in it.
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, MARKER_KEY);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, MARKER_PARENT);
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, MARKER_PARENT, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return true;
    RegCloseKey(key);
    return false;
}

// The owner, group and DACL of HKLM\path, as the bytes of a self-relative descriptor in hex.
inline LONG ReadKeySecurity(const wchar_t* path, std::string* hex)
{
    HKEY key;
    LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, READ_CONTROL, &key);
    if (status != ERROR_SUCCESS)
        return status;
    BYTE descriptor[4096];
    DWORD size = sizeof(descriptor);
    status = RegGetKeySecurity(key, OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                        DACL_SECURITY_INFORMATION, descriptor, &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS)
        return status;
    hex->clear();
    for (DWORD i = 0; i < size; ++i)
    {
        hex->push_back("0123456789abcdef"[descriptor[i] >> 4]);
        hex->push_back("0123456789abcdef"[descriptor[i] & 15]);
    }
    return ERROR_SUCCESS;
}
