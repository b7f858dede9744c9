#include "file/capture_file.h"

int CaptureFile::open(const std::string& name)
{
    std::lock_guard guard(lock_);
    if (file_.isOpen()) {
        open_.store(false, std::memory_order_release);
        file_.close();
    }
    const int result = file_.openWrite(name.c_str(), 0);
    name_ = name;
    failed_.store(false, std::memory_order_release);
    open_.store(file_.isOpen(), std::memory_order_release);
    return result == 1 ? 1 : -1;
}

void CaptureFile::close()
{
    std::lock_guard guard(lock_);
    open_.store(false, std::memory_order_release);
    if (file_.isOpen())
        file_.close();
}

int CaptureFile::write(const void* data, int n)
{
    // The unlocked test keeps the common "not saving" case free of the lock;
    // the file may close meanwhile, so the state is looked at again inside.
    if (!open_.load(std::memory_order_acquire))
        return 0;
    std::lock_guard guard(lock_);
    if (!file_.isOpen())
        return 0;
    if (n <= 0)
        return 0;
    const int written = file_.write(data, n);
    if (written == n)
        return n;
    // A torn record would shift every record written after it.
    if (written > 0)
        file_.dropTail(written);
    failed_.store(true, std::memory_order_release);
    return -1;
}

CaptureFile::Written CaptureFile::write(const iovec* records, int count)
{
    if (!open_.load(std::memory_order_acquire) || count <= 0)
        return {};
    std::lock_guard guard(lock_);
    if (!file_.isOpen())
        return {};
    const auto written = static_cast<std::size_t>(file_.writeGathered(records, count));
    Written result;
    std::size_t kept = 0;
    while (result.whole < count && kept + records[result.whole].iov_len <= written)
        kept += records[result.whole++].iov_len;
    if (result.whole == count)
        return result;
    // Only whole records stay: a torn one would shift every record after it.
    if (written > kept)
        file_.dropTail(static_cast<int>(written - kept));
    result.failed = true;
    failed_.store(true, std::memory_order_release);
    return result;
}

bool CaptureFile::closeIfGone()
{
    if (!open_.load(std::memory_order_acquire))
        return false;
    std::lock_guard guard(lock_);
    if (!file_.isOpen() || file_.isStillAt(name_.c_str()))
        return false;
    open_.store(false, std::memory_order_release);
    failed_.store(true, std::memory_order_release);
    file_.close();
    return true;
}
