#pragma once

// Ids shared by both programs' dialogs.
namespace ShellIds {
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr int IDC_STOP = 3;
inline constexpr int IDM_ABOUTBOX = 0x0010;
inline constexpr int IDD_ABOUTBOX = 100;
inline constexpr int IDS_ABOUTBOX = 101;
inline constexpr int IDD_MAIN_DIALOG = 102;
inline constexpr int IDR_MAINFRAME = 128;
inline constexpr int IDB_LAMP_ACTIVE = 134;
inline constexpr int IDB_LAMP_ERROR = 135;
inline constexpr int IDB_LAMP_IDLE = 136;
}  // namespace ShellIds
