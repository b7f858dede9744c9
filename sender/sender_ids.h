#pragma once

#include "shell/shell_ids.h"

// Control ids of the sender's main dialog.
namespace SenderIds {
using namespace ShellIds;
inline constexpr int IDC_GROUP_ADDR = 1001;
inline constexpr int IDC_PORT = 1002;
inline constexpr int IDC_SPEED = 1003;
inline constexpr int IDC_PACKET_SIZE = 1004;
inline constexpr int IDC_STATUS = 1006;
inline constexpr int IDC_LAMP_ACTIVE = 1007;
inline constexpr int IDC_LAMP_ERROR = 1008;
inline constexpr int IDC_LAMP_IDLE = 1009;
inline constexpr int IDC_ABOUT = 1010;
}   // namespace SenderIds
