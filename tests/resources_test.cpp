// flagpost.exe's own resources, read back through Windows' resource loader.
#include "support.h"
#include "resource.h"

#include <string>

namespace {

class ShippedResourcesTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        std::wstring exe = Flagpost();
        module = LoadLibraryExW(exe.c_str(), NULL, LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_NE(nullptr, module) << "cannot load " << testing::PrintToString(exe)
                                   << ", error " << GetLastError();
    }
    void TearDown() override
    {
        if (module)
            FreeLibrary(module);
    }
    std::wstring MenuText(HMENU menu, int position)
    {
        wchar_t text[64] = L"sentinel";
        GetMenuStringW(menu, position, text, 64, MF_BYPOSITION);
        return text;
    }
    HMODULE module = NULL;
};

}  // namespace

TEST_F(ShippedResourcesTest, StringsLoadWholeIntoTheProgramsBuffer)
{
    const struct { UINT id; const wchar_t* text; } strings[] = {
        {IDS_TITLE, L"Flagpost"}, {IDS_WINDOW_CLASS, L"FLAGPOST"}};
    for (const auto& s : strings)
    {
        wchar_t buffer[RESOURCE_STRING_CAPACITY];
        lstrcpyW(buffer, L"sentinel sentinel");
        EXPECT_EQ(lstrlenW(s.text), LoadStringW(module, s.id, buffer, RESOURCE_STRING_CAPACITY)) << s.id;
        EXPECT_STREQ(s.text, buffer);
    }
}

TEST_F(ShippedResourcesTest, MenuHasFileExitAndHelpAbout)
{
    HMENU menu = LoadMenuW(module, MAKEINTRESOURCEW(IDR_MAIN));
    ASSERT_NE(nullptr, menu);
    ASSERT_EQ(2, GetMenuItemCount(menu));
    EXPECT_EQ(L"&File", MenuText(menu, 0));
    EXPECT_EQ(L"&Help", MenuText(menu, 1));

    const struct { int popup; UINT command; const wchar_t* text; } items[] = {
        {0, IDM_FILE_EXIT, L"E&xit"}, {1, IDM_HELP_ABOUT, L"&About ..."}};
    for (const auto& item : items)
    {
        HMENU popup = GetSubMenu(menu, item.popup);
        ASSERT_NE(nullptr, popup) << "pop-up " << item.popup;
        ASSERT_EQ(1, GetMenuItemCount(popup));
        EXPECT_EQ(item.command, GetMenuItemID(popup, 0));
        EXPECT_EQ(item.text, MenuText(popup, 0));
    }
    DestroyMenu(menu);
}
