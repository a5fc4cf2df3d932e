// Streams for observing the log: a stream that records what it is given and whether it was
// closed, and a capture of the process's standard output.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <string>

namespace capture {

// A write-only stream that keeps every byte in `text` and notes its own closing.
struct RecordingStream {
    std::string text;
    bool closed = false;
    FILE* file = nullptr;

    RecordingStream() {
        cookie_io_functions_t functions{};
        functions.write = [](void* cookie, const char* data, size_t size) -> ssize_t {
            static_cast<RecordingStream*>(cookie)->text.append(data, size);
            return static_cast<ssize_t>(size);
        };
        functions.close = [](void* cookie) {
            static_cast<RecordingStream*>(cookie)->closed = true;
            return 0;
        };
        file = fopencookie(this, "w", functions);
    }
    RecordingStream(const RecordingStream&) = delete;
    RecordingStream& operator=(const RecordingStream&) = delete;

    // What has been written so far (flushes an open stream first).
    const std::string& contents() {
        if (!closed)
            std::fflush(file);
        return text;
    }
};

// Redirects file descriptor 1 into a temporary file for its lifetime.
class StdoutCapture {
  public:
    StdoutCapture() {
        std::fflush(stdout);
        saved_ = dup(STDOUT_FILENO);
        file_ = std::tmpfile();
        dup2(fileno(file_), STDOUT_FILENO);
    }
    ~StdoutCapture() {
        restore();
        std::fclose(file_);
    }
    // Restores the standard output and returns what was written while captured.
    std::string finish() {
        restore();
        std::string text;
        std::rewind(file_);
        char buffer[256];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, file_)) > 0)
            text.append(buffer, n);
        return text;
    }

  private:
    void restore() {
        if (saved_ < 0)
            return;
        std::fflush(stdout);
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
        saved_ = -1;
    }
    int saved_ = -1;
    FILE* file_ = nullptr;
};

} // namespace capture
