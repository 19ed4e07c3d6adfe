#pragma once
// Moving a whole buffer through a system call that may move less than asked
// or be interrupted. Header-only and allocation-free, so that a forked child
// may use it before exec.
#include <sys/types.h>

#include <cerrno>
#include <cstddef>

namespace quorvane
{

// `step(p, n)` moves up to n bytes at p and returns how many it moved (0 at
// end of file, -1 on error, errno set). True once all `size` bytes moved;
// false at end of file or on an error other than EINTR.
template <typename Byte, typename Step> bool transferAll(Byte* p, std::size_t size, Step step)
{
    while (size > 0) {
        const ssize_t n = step(p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace quorvane
