// Resource identifiers of the installer: dialog templates, controls, icon and timer. Shared by the
// C++ sources and the Win32 resource script, so this header holds #define lines only.
#pragma once

#define IDD_UPDATE_DIALOG 102  // the progress dialog
#define IDD_TIP_DIALOG 103     // the update confirmation dialog
#define IDR_MAINFRAME 128      // the application icon

#define IDC_PROGRESS 1006    // progress bar of the progress dialog
#define IDC_TIP_TEXT 1011    // text of the confirmation dialog
#define IDC_TIP_OK 1000      // OK button of the confirmation dialog
#define IDC_TIP_CANCEL 1010  // Cancel button of the confirmation dialog

#define IDT_TIP_TIMEOUT 1000  // timer of the confirmation dialog that accepts by itself
