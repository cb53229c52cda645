// Identifiers of the starter's resources (Launcher.rc), shared by the program.
#pragma once

#define IDR_MAINFRAME        128
#define IDD_LAUNCHER_DIALOG  102

#define IDC_PROGRESS         1000
#define IDC_STATUS           1001
#define IDC_TRANSFER         1002

#ifndef IDC_STATIC
#define IDC_STATIC           (-1)
#endif
