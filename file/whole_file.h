#pragma once

#include <string_view>

// Replaces the file name with contents, whole: they go into a new file beside
// it (mode 0644, less the umask), which is flushed to the disk and then
// renamed over name. A reader of name sees the old file or the new one, never
// a mix or a part. 0, or the errno of the step that failed; after a failure
// the old file is as it was and the new one is gone.
int replaceWholeFile(const char* name, std::string_view contents);
