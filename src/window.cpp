// The main window class, its procedure and the About box. The window is never shown, but it is
// not a formality: the marker is set only once the window exists, so the window is the gate, and
// the frame around it (menu, About box, icons) is the program's own, what anyone meets who lists
// or shows the windows of the session.
#include "flagpost.h"
#include "resource.h"

ATOM RegisterMainWindowClass(HINSTANCE instance)
{
    // Every field is set by hand: a zeroing initialiser could become a memset call,
    // and the program links no runtime to provide one.
    WNDCLASSEXW windowClass;
    windowClass.cbSize = sizeof(windowClass);
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = MainWindowProc;
    windowClass.cbClsExtra = 0;
    windowClass.cbWndExtra = 0;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_MAIN_ICON));
    windowClass.hCursor = LoadCursorW(NULL, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszMenuName = MAKEINTRESOURCEW(IDR_MAIN);
    windowClass.lpszClassName = g_windowClass;
    windowClass.hIconSm = LoadIconW(instance, MAKEINTRESOURCEW(IDI_SMALL_ICON));
    return RegisterClassExW(&windowClass);
}

static void OnAbout(HWND window)
{
    DialogBoxParamW(g_instance, MAKEINTRESOURCEW(IDD_ABOUT), window, AboutBoxProc, 0);
}

// Nothing is drawn; validating the window is all that stops further WM_PAINTs.
static void OnPaint(HWND window)
{
    PAINTSTRUCT paint;
    BeginPaint(window, &paint);
    EndPaint(window, &paint);
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message)
    {
    case WM_COMMAND:
        // The high word says whether a menu, an accelerator or a control sent it; that
        // makes no difference here.
        switch (LOWORD(wParam))
        {
        case IDM_HELP_ABOUT:
            OnAbout(window);
            return 0;
        case IDM_FILE_EXIT:
            DestroyWindow(window);
            return 0;
        }
        break;
    case WM_PAINT:
        OnPaint(window);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

INT_PTR CALLBACK AboutBoxProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    switch (message)
    {
    case WM_INITDIALOG:
        return TRUE;    // let the dialog manager focus the OK button
    case WM_COMMAND:
        switch (LOWORD(wParam))
        {
        case IDOK:
        case IDCANCEL:
            EndDialog(dialog, LOWORD(wParam));
            return TRUE;
        }
        break;
    }
    return FALSE;
}
