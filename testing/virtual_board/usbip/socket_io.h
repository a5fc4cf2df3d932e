// Whole messages over a stream socket, whatever the segments they arrive or leave in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/uio.h>

namespace vboard::usbip {

// False on EOF or an error: the peer went, or the socket was shut down to end the read.
bool read_all(int fd, uint8_t* p, size_t n);
// Sends every byte of `iov` (advancing it); false when the connection is gone.
bool write_all(int fd, iovec* iov, int count);

}  // namespace vboard::usbip
