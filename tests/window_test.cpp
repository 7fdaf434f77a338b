// The main window class, its procedure and the About box, in process.
#include "support.h"
#include "resource.h"

#include <functional>

namespace {

class WindowShellTest : public ProgramTest
{
protected:
    void SetUp() override
    {
        ProgramTest::SetUp();
        ASSERT_NE(0, RegisterMainWindowClass(instance));
        ASSERT_TRUE(StartInstance(instance));
        window = FindMainWindow();
        ASSERT_NE(nullptr, window);
    }
    HWND window = NULL;
};

// Runs an action on the About box from inside its modal loop, through a thread timer that
// the loop dispatches. If the box is still open long after the action, it is ended with
// STUCK so that a broken close fails the test instead of hanging it.
constexpr INT_PTR STUCK = 99;
std::function<void(HWND)> g_aboutAction;    // what to do once the box is up
int g_ticksWithBoxOpen;                     // timer ticks seen while the box was up

void CALLBACK AboutBoxTimer(HWND, UINT, UINT_PTR timer, DWORD)
{
    HWND dialog = FindWindowW(L"#32770", L"About Flagpost");
    if (!dialog || !IsWindowVisible(dialog))    // shown only once its modal loop goes idle
        return;
    if (g_ticksWithBoxOpen++ == 0)
        g_aboutAction(dialog);
    else if (g_ticksWithBoxOpen > 100)
    {
        KillTimer(NULL, timer);
        EndDialog(dialog, STUCK);
    }
}

template <typename Open>
INT_PTR WithAboutBox(std::function<void(HWND)> action, Open open)
{
    g_aboutAction = std::move(action);
    g_ticksWithBoxOpen = 0;
    UINT_PTR timer = SetTimer(NULL, 0, 10, AboutBoxTimer);
    INT_PTR result = open();
    KillTimer(NULL, timer);
    return result;
}

void PressKey(HWND dialog, WPARAM key)
{
    PostMessageW(dialog, WM_KEYDOWN, key, 0);
}

bool QuitPosted(WPARAM* exitCode)
{
    MSG message;
    if (!PeekMessageW(&message, NULL, WM_QUIT, WM_QUIT, PM_REMOVE))
        return false;
    *exitCode = message.wParam;
    return true;
}

}  // namespace

TEST_F(ProgramTest, ClassReadsBackAsRegistered)
{
    ASSERT_NE(0, RegisterMainWindowClass(instance));
    WNDCLASSEXW info;
    info.cbSize = sizeof(info);
    ASSERT_TRUE(GetClassInfoExW(instance, L"FLAGPOST", &info));
    EXPECT_EQ(48u, info.cbSize);
    EXPECT_EQ(static_cast<UINT>(CS_HREDRAW | CS_VREDRAW), info.style);
    EXPECT_EQ(reinterpret_cast<WNDPROC>(MainWindowProc), info.lpfnWndProc);
    EXPECT_EQ(0, info.cbClsExtra);
    EXPECT_EQ(0, info.cbWndExtra);
    EXPECT_EQ(MAKEINTRESOURCEW(IDR_MAIN), info.lpszMenuName);
    // Icons loaded from a module are shared, so loading them again gives the same handles.
    EXPECT_NE(nullptr, info.hIcon);
    EXPECT_EQ(LoadIconW(instance, MAKEINTRESOURCEW(IDI_MAIN_ICON)), info.hIcon);
    EXPECT_NE(nullptr, info.hIconSm);
    EXPECT_EQ(LoadIconW(instance, MAKEINTRESOURCEW(IDI_SMALL_ICON)), info.hIconSm);
    EXPECT_EQ(LoadCursorW(NULL, IDC_ARROW), info.hCursor);
    EXPECT_EQ(reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1), info.hbrBackground);
}

TEST_F(WindowShellTest, PaintLeavesNothingToRepaint)
{
    ShowWindow(window, SW_SHOWNOACTIVATE);   // a hidden window collects no update region
    InvalidateRect(window, NULL, FALSE);
    ASSERT_TRUE(GetUpdateRect(window, NULL, FALSE)) << "invalidation did not take";
    EXPECT_EQ(0, SendMessageW(window, WM_PAINT, 0, 0));
    EXPECT_FALSE(GetUpdateRect(window, NULL, FALSE));
}

TEST_F(WindowShellTest, ExitDestroysTheWindowAndPostsQuitZero)
{
    EXPECT_EQ(0, SendMessageW(window, WM_COMMAND, MAKEWPARAM(IDM_FILE_EXIT, 0), 0));
    EXPECT_FALSE(IsWindow(window));
    WPARAM exitCode = 0xBAD;
    ASSERT_TRUE(QuitPosted(&exitCode));
    EXPECT_EQ(0u, exitCode);
}

// Opened from the menu and the accelerator, the box is modal, ignores what is not its own, and
// ends with Escape; opened directly, it ends with the button or key used.
TEST_F(WindowShellTest, AboutBoxOpensModallyIgnoresOtherMessagesAndEndsWithTheButtonOrKeyUsed)
{
    for (WORD source : {0, 1})
    {
        bool checked = false;
        LRESULT result = WithAboutBox(
            [&](HWND dialog) {
                checked = true;
                EXPECT_EQ(window, GetWindow(dialog, GW_OWNER));
                EXPECT_FALSE(IsWindowEnabled(window)) << "the box is not modal";
                EXPECT_EQ(GetDlgItem(dialog, IDOK), GetFocus()) << "OK does not have the focus";
                HWND icon = GetWindow(dialog, GW_CHILD);    // the first control
                EXPECT_EQ(SS_ICON, GetWindowLongW(icon, GWL_STYLE) & SS_TYPEMASK);
                EXPECT_NE(0, SendMessageW(icon, STM_GETICON, 0, 0)) << "the icon area is empty";
                EXPECT_FALSE(AboutBoxProc(dialog, WM_COMMAND, MAKEWPARAM(3, 0), 0));
                EXPECT_FALSE(AboutBoxProc(dialog, WM_COMMAND, MAKEWPARAM(IDM_FILE_EXIT, 0), 0));
                EXPECT_FALSE(AboutBoxProc(dialog, WM_MOUSEMOVE, 0, 0));
                EXPECT_TRUE(IsWindowVisible(dialog)) << "the box closed on a command it should ignore";
                PressKey(dialog, VK_ESCAPE);
            },
            [&] { return SendMessageW(window, WM_COMMAND, MAKEWPARAM(IDM_HELP_ABOUT, source), 0); });
        EXPECT_TRUE(checked) << "no About box opened for high word " << source;
        EXPECT_EQ(0, result);
        EXPECT_EQ(1, g_ticksWithBoxOpen) << "the box did not open, or did not close on Escape";
        EXPECT_TRUE(IsWindowEnabled(window));
        EXPECT_EQ(nullptr, FindWindowW(L"#32770", L"About Flagpost"));
    }
    const struct { const char* how; std::function<void(HWND)> close; INT_PTR expected; } cases[] = {
        {"Escape", [](HWND d) { PressKey(d, VK_ESCAPE); }, IDCANCEL},
        {"Enter", [](HWND d) { PressKey(d, VK_RETURN); }, IDOK},
        {"OK clicked", [](HWND d) { PostMessageW(GetDlgItem(d, IDOK), BM_CLICK, 0, 0); }, IDOK},
        {"close box", [](HWND d) { PostMessageW(d, WM_SYSCOMMAND, SC_CLOSE, 0); }, IDCANCEL},
    };
    for (const auto& c : cases)
    {
        INT_PTR result = WithAboutBox(c.close, [&] {
            return DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_ABOUT), window, AboutBoxProc, 0);
        });
        EXPECT_EQ(c.expected, result) << c.how;
    }
}

TEST_F(WindowShellTest, OtherCommandsAndMessagesGetDefaultHandling)
{
    WithAboutBox([](HWND dialog) { EndDialog(dialog, STUCK); }, [&] {
        return SendMessageW(window, WM_COMMAND, MAKEWPARAM(IDM_FILE_EXIT + 1, 1), 12345);
    });
    EXPECT_EQ(0, g_ticksWithBoxOpen) << "an unknown command opened the About box";
    EXPECT_TRUE(IsWindow(window)) << "an unknown command destroyed the window";
    WPARAM exitCode;
    EXPECT_FALSE(QuitPosted(&exitCode));

    // Text messages are a visible sign that DefWindowProcW saw the message as it was sent.
    EXPECT_TRUE(SendMessageW(window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"renamed")));
    wchar_t text[16] = L"sentinel";
    EXPECT_EQ(7, SendMessageW(window, WM_GETTEXT, 16, reinterpret_cast<LPARAM>(text)));
    EXPECT_STREQ(L"renamed", text);
}
