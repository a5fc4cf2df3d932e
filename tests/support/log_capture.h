// Files the library writes its log (or the bus its trace) into, read back while they are written.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "ostrane/ft60x.h"
#include "support/wait.h"

namespace test_support {

// An unnamed file that a stream writes into without buffering, read back through a second
// descriptor. Whoever gets file() owns that stream.
class text_file {
public:
    text_file()
    {
        char name[] = "/tmp/ostrane-test-XXXXXX";
        const int fd = mkstemp(name);
        if (fd < 0)
            std::abort();
        read_fd_ = ::open(name, O_RDONLY | O_CLOEXEC);
        unlink(name);
        file_ = fdopen(fd, "w");
        if (read_fd_ < 0 || file_ == nullptr)
            std::abort();
        setvbuf(file_, nullptr, _IONBF, 0);
    }
    ~text_file() { ::close(read_fd_); }
    text_file(const text_file&) = delete;
    text_file& operator=(const text_file&) = delete;

    FILE* file() const { return file_; }
    std::string text() const
    {
        std::string s;
        char chunk[4096];
        off_t at = 0;
        for (;;) {
            const ssize_t n = pread(read_fd_, chunk, sizeof chunk, at);
            if (n <= 0)
                return s;
            s.append(chunk, static_cast<std::size_t>(n));
            at += n;
        }
    }

private:
    int read_fd_ = -1;
    FILE* file_ = nullptr;
};

// The library's log at `level` while this lives. The library owns (and closes) the stream it is
// given; the standard output is handed back afterwards.
class log_capture {
public:
    explicit log_capture(FT_LOG_LEVEL level = FT_LOG_LEVEL_TRACE) { FT_SetDebug(file_.file(), level); }
    ~log_capture() { FT_SetDebug(nullptr, FT_LOG_LEVEL_NONE); }
    log_capture(const log_capture&) = delete;
    log_capture& operator=(const log_capture&) = delete;

    std::string text() const { return file_.text(); }
    bool contains(const std::string& s) const { return text().find(s) != std::string::npos; }
    std::size_t count(const std::string& s) const
    {
        const std::string t = text();
        std::size_t n = 0;
        for (auto at = t.find(s); at != std::string::npos; at = t.find(s, at + s.size()))
            ++n;
        return n;
    }
    bool wait_for(const std::string& s) const
    {
        return eventually([&] { return contains(s); });
    }

private:
    text_file file_;
};

} // namespace test_support
