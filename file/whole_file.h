#pragma once

#include <string_view>

// Replaces the file name with contents, whole: they go into a new file beside
// it (mode 0644, less the umask) under a hidden name with a random part,
// which is flushed to the disk and then renamed over name. A reader of name
// sees the old file or the new one, never a mix or a part. Only a regular
// file is replaced: a name that is a symbolic link, directory, FIFO, socket
// or device is left as it is (ELOOP for a link, EISDIR for a directory,
// EINVAL for the others). 0, or the errno of the step that failed; after a
// failure the old file is as it was and the new one is gone.
int replaceWholeFile(const char* name, std::string_view contents);

// Whether replaceWholeFile can write name, tried without touching it: 0 when
// name is a regular file or nothing yet, and a file can be made in its
// folder (one is made and removed); else the errno that replaceWholeFile
// would end with, as above, or that of the folder (ENOENT, ENOTDIR, EACCES,
// EROFS ...).
int checkWholeFile(const char* name);
