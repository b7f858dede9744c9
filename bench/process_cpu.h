#pragma once

// User plus system CPU time this process has used so far, in seconds.
double processCpuSeconds();
