// about_shot OUT.bmp: opens the About box as a user would, through the main window's
// Help > About command and MainWindowProc, and saves what the screen shows of it as a BMP.
// Run it in a Wine virtual desktop, where Wine draws the frame and caption itself.
#include "flagpost.h"
#include "resource.h"

#include <cstdio>

static const wchar_t* g_output;     // where the picture goes
static int g_ticks;                 // timer ticks seen while the box was up
static bool g_saved;                // whether the picture was written

static bool SaveScreenArea(const RECT& area, const wchar_t* path)
{
    int width = area.right - area.left, height = area.bottom - area.top;
    BITMAPINFOHEADER header = {};
    header.biSize = sizeof(header);
    header.biWidth = width;
    header.biHeight = height;       // bottom-up, as a BMP file stores it
    header.biPlanes = 1;
    header.biBitCount = 24;
    DWORD stride = (width * 3 + 3) & ~3u;
    header.biSizeImage = stride * height;

    HDC screen = GetDC(NULL);
    HDC memory = CreateCompatibleDC(screen);
    void* pixels = NULL;
    HBITMAP bitmap = CreateDIBSection(screen, reinterpret_cast<BITMAPINFO*>(&header), DIB_RGB_COLORS, &pixels, NULL, 0);
    HGDIOBJ previous = SelectObject(memory, bitmap);
    BOOL copied = BitBlt(memory, 0, 0, width, height, screen, area.left, area.top, SRCCOPY);
    GdiFlush();

    BITMAPFILEHEADER file = {};
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof(file) + sizeof(header);
    file.bfSize = file.bfOffBits + header.biSizeImage;
    FILE* out = _wfopen(path, L"wb");
    bool written = copied && out && fwrite(&file, sizeof(file), 1, out) == 1 &&
                   fwrite(&header, sizeof(header), 1, out) == 1 &&
                   fwrite(pixels, header.biSizeImage, 1, out) == 1;
    if (out)
        fclose(out);

    SelectObject(memory, previous);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(NULL, screen);
    return written;
}

static void CALLBACK OnTimer(HWND, UINT, UINT_PTR, DWORD)
{
    HWND dialog = FindWindowW(L"#32770", L"About Flagpost");
    if (!dialog || !IsWindowVisible(dialog))
        return;
    // With no window manager, the X server gives Wine's virtual desktop no input focus, so
    // Wine draws every window as inactive. A user who opened the box would see it active.
    if (++g_ticks == 1)
        SendMessageW(dialog, WM_NCACTIVATE, TRUE, 0);
    else if (g_ticks == 20)    // a few ticks to paint, then the picture
    {
        RECT area;
        GetWindowRect(dialog, &area);
        g_saved = SaveScreenArea(area, g_output);
        PostMessageW(dialog, WM_KEYDOWN, VK_ESCAPE, 0);
    }
}

int wmain(int argc, wchar_t** argv)
{
    if (argc != 2)
    {
        std::fputs("usage: about_shot OUT.bmp\n", stderr);
        return 2;
    }
    g_output = argv[1];
    HINSTANCE instance = GetModuleHandleW(NULL);
    LoadStringW(instance, IDS_TITLE, g_title, RESOURCE_STRING_CAPACITY);
    LoadStringW(instance, IDS_WINDOW_CLASS, g_windowClass, RESOURCE_STRING_CAPACITY);
    RegisterMainWindowClass(instance);
    StartInstance(instance);
    HWND window = FindWindowW(g_windowClass, g_title);
    if (!window)
    {
        std::fputs("no main window\n", stderr);
        return 1;
    }
    SetTimer(NULL, 0, 50, OnTimer);
    // As Alt+H, A would: the accelerator form, which also shows the keyboard focus cue.
    SendMessageW(window, WM_CHANGEUISTATE, MAKEWPARAM(UIS_CLEAR, UISF_HIDEFOCUS | UISF_HIDEACCEL), 0);
    SendMessageW(window, WM_COMMAND, MAKEWPARAM(IDM_HELP_ABOUT, 1), 0);
    if (!g_saved)
    {
        std::fputs("the About box was not captured\n", stderr);
        return 1;
    }
    return 0;
}
