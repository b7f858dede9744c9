#pragma once

// Ids shared by both programs' dialogs.
namespace ShellIds {
inline constexpr int IDOK = 1;
inline constexpr int IDC_STOP = 3;
}   // namespace ShellIds
