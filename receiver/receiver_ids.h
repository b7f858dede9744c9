#pragma once

#include "shell/shell_ids.h"

// Control ids of the receiver's main dialog.
namespace ReceiverIds {
using namespace ShellIds;
inline constexpr int IDC_GROUP_ADDR = 1001;
inline constexpr int IDC_PORT = 1002;
inline constexpr int IDC_SAVE_TO_FILE = 1004;
inline constexpr int IDC_FILE_NAME = 1005;
inline constexpr int IDC_RECV_RATE = 1007;
inline constexpr int IDC_RECV_BYTES = 1008;
inline constexpr int IDC_PACKETS = 1009;
inline constexpr int IDC_FROM = 1010;
inline constexpr int IDC_LAMP_ACTIVE = 1011;
inline constexpr int IDC_LAMP_ERROR = 1012;
inline constexpr int IDC_LAMP_IDLE = 1013;
inline constexpr int IDC_STATUS = 1014;
inline constexpr int IDC_ABOUT = 1015;
}   // namespace ReceiverIds
