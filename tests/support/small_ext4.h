#pragma once

#include "tests/support/temp_dir.h"

#include <unistd.h>

#include <cstdlib>
#include <string>

// As root: a small ext4 file system in an image inside dir, mounted on a
// loop device while the object lives. path() is empty when it could not be
// made (not root, no mkfs.ext4, no loop device).
class SmallExt4 {
public:
    SmallExt4(const TempDir& dir, const char* size)
    {
        if (::geteuid() != 0)
            return;
        const std::string image = dir.file("ext4.img");
        const std::string mount = dir.file("ext4");
        const std::string make = "truncate -s " + std::string(size) + " '" + image +
                                 "' && mkfs.ext4 -q -F '" + image + "' >/dev/null 2>&1 && mkdir '" +
                                 mount + "' && mount -o loop '" + image + "' '" + mount + "'";
        if (std::system(make.c_str()) == 0)
            path_ = mount + "/";
    }
    ~SmallExt4()
    {
        if (!path_.empty())
            std::system(("umount '" + path_ + "'").c_str());
    }
    SmallExt4(const SmallExt4&) = delete;
    SmallExt4& operator=(const SmallExt4&) = delete;

    // The mounted folder, ending in a slash.
    const std::string& path() const { return path_; }

private:
    std::string path_;
};
