// A pipe whose read end becomes readable once cancel() is called: a blocking wait that also
// watches fd() (connectTcp, waitReadable) ends at once. Thread-safe after open(): cancel() may
// be called from any thread, any number of times.
#pragma once

#include "Socket.h"

#include <fcntl.h>
#include <unistd.h>

namespace drndi {

class CancelPipe
{
public:
    // False when no pipe could be made; fd() is then -1 and waits cannot be cancelled.
    bool open()
    {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
            return false;
        m_read.reset(fds[0]);
        m_write.reset(fds[1]);
        return true;
    }
    int fd() const { return m_read.get(); }
    void cancel()
    {
        if (!m_write.valid())
            return;
        char c = 1;
        ssize_t ignored = ::write(m_write.get(), &c, 1);
        (void)ignored;
    }

private:
    FdHandle m_read, m_write;
};

} // namespace drndi
