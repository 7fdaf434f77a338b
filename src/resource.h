// Resource identifiers, shared by the code and res/flagpost.rc.
// 103 and 109 each name two resources of different types; the type keeps them apart.
#pragma once

#define IDS_TITLE           103
#define IDD_ABOUT           103
#define IDM_HELP_ABOUT      104
#define IDM_FILE_EXIT       105
#define IDI_MAIN_ICON       107
#define IDI_SMALL_ICON      108
#define IDS_WINDOW_CLASS    109
#define IDR_MAIN            109
#define IDI_ABOUT_ICON      128

#ifndef IDC_STATIC
#define IDC_STATIC          (-1)
#endif
