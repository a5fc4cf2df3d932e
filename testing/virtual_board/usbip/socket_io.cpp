#include "usbip/socket_io.h"

#include <cerrno>
#include <sys/socket.h>

namespace vboard::usbip {

bool read_all(int fd, uint8_t* p, size_t n) {
    while (n > 0) {
        const ssize_t r = ::recv(fd, p, n, 0);
        if (r > 0) {
            p += r;
            n -= static_cast<size_t>(r);
        } else if (r < 0 && errno == EINTR) {
            continue;
        } else {
            return false;
        }
    }
    return true;
}

bool write_all(int fd, iovec* iov, int count) {
    while (count > 0) {
        msghdr msg{};
        msg.msg_iov = iov;
        msg.msg_iovlen = static_cast<size_t>(count);
        ssize_t w = ::sendmsg(fd, &msg, MSG_NOSIGNAL);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        while (count > 0 && static_cast<size_t>(w) >= iov->iov_len) {
            w -= static_cast<ssize_t>(iov->iov_len);
            ++iov;
            --count;
        }
        if (count > 0) {
            iov->iov_base = static_cast<uint8_t*>(iov->iov_base) + w;
            iov->iov_len -= static_cast<size_t>(w);
        }
    }
    return true;
}

}  // namespace vboard::usbip
