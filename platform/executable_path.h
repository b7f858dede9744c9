#pragma once

#include <string>

// Directory of the running executable, with its trailing '/', read from
// /proc/self/exe. Empty when the link cannot be read.
std::string executableDirectory();
