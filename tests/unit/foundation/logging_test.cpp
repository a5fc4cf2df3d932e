// The library log: threshold, exact text, stream choice and stream ownership.
#include <gtest/gtest.h>

#include <list>

#include "capture.h"
#include "ft60x/logging.h"
#include "ostrane/ft60x.h"

using capture::RecordingStream;
using capture::StdoutCapture;

namespace {

class Logging : public ::testing::Test {
  protected:
    // Back to the standard output at threshold 0, which closes the stream installed last; the
    // streams the log never took are closed here.
    void TearDown() override {
        FT_SetDebug(nullptr, FT_LOG_LEVEL_NONE);
        for (RecordingStream& stream : streams_)
            if (!stream.closed)
                std::fclose(stream.file);
    }

    // Streams live as long as the fixture: the log may close them after the test body.
    RecordingStream& stream() { return streams_.emplace_back(); }

    static void log_each_level() {
        logging(FT_LOG_LEVEL_ERROR, "e%d", 1);
        logging(FT_LOG_LEVEL_WARNING, "w%d", 2);
        logging(FT_LOG_LEVEL_TRACE, "t%d", 3);
    }

  private:
    std::list<RecordingStream> streams_;
};

TEST_F(Logging, ThresholdSelectsLevels) {
    RecordingStream& none = stream();
    RecordingStream& errors = stream();
    RecordingStream& warnings = stream();
    RecordingStream& all = stream();
    FT_SetDebug(none.file, FT_LOG_LEVEL_NONE);
    log_each_level();
    FT_SetDebug(errors.file, FT_LOG_LEVEL_ERROR);
    log_each_level();
    FT_SetDebug(warnings.file, FT_LOG_LEVEL_WARNING);
    log_each_level();
    FT_SetDebug(all.file, FT_LOG_LEVEL_TRACE);
    log_each_level();
    EXPECT_EQ(none.contents(), "");
    EXPECT_EQ(errors.contents(), "e1");
    EXPECT_EQ(warnings.contents(), "e1w2");
    EXPECT_EQ(all.contents(), "e1w2t3");
}

TEST_F(Logging, WritesExactlyTheFormattedText) {
    RecordingStream& log = stream();
    FT_SetDebug(log.file, FT_LOG_LEVEL_TRACE);
    logging(FT_LOG_LEVEL_ERROR, "FT_Create failed to find device\r\n");
    EXPECT_EQ(log.contents(), "FT_Create failed to find device\r\n");
    logging(FT_LOG_LEVEL_ERROR, "%s: constructor failed.\n", "FT_ListDevices");
    logging(FT_LOG_LEVEL_TRACE, "Try to open device %s 0x%08X %s\r\n", "OST1", 0x0403601Fu, "x");
    EXPECT_EQ(log.contents(), "FT_Create failed to find device\r\n"
                              "FT_ListDevices: constructor failed.\n"
                              "Try to open device OST1 0x0403601F x\r\n");
}

TEST_F(Logging, LevelsAreComparedAsUnsignedBytes) {
    RecordingStream& log = stream();
    // 0x101 keeps only its low byte: threshold 1.
    FT_SetDebug(log.file, static_cast<FT_LOG_LEVEL>(0x101));
    logging(FT_LOG_LEVEL_WARNING, "w");
    logging(FT_LOG_LEVEL_ERROR, "e");
    logging(static_cast<FT_LOG_LEVEL>(0x201), "x");
    EXPECT_EQ(log.contents(), "ex");

    RecordingStream& silent = stream();
    FT_SetDebug(silent.file, static_cast<FT_LOG_LEVEL>(0x100));
    logging(FT_LOG_LEVEL_ERROR, "e");
    EXPECT_EQ(silent.contents(), "");

    RecordingStream& everything = stream();
    FT_SetDebug(everything.file, static_cast<FT_LOG_LEVEL>(0xFF));
    logging(static_cast<FT_LOG_LEVEL>(200), "high");
    EXPECT_EQ(everything.contents(), "high");
}

TEST_F(Logging, ReplacingAStreamClosesItButReinstallingDoesNot) {
    RecordingStream& first = stream();
    RecordingStream& second = stream();
    FT_SetDebug(first.file, FT_LOG_LEVEL_ERROR);
    logging(FT_LOG_LEVEL_ERROR, "one");
    FT_SetDebug(first.file, FT_LOG_LEVEL_TRACE); // the same stream again
    EXPECT_FALSE(first.closed);
    FT_SetDebug(second.file, FT_LOG_LEVEL_ERROR);
    EXPECT_TRUE(first.closed);
    EXPECT_EQ(first.text, "one"); // flushed by the close
    EXPECT_FALSE(second.closed);
}

TEST_F(Logging, NullStreamMeansStandardOutputAndClosesTheFileStream) {
    RecordingStream& log = stream();
    FT_SetDebug(log.file, FT_LOG_LEVEL_ERROR);
    StdoutCapture out;
    FT_SetDebug(nullptr, FT_LOG_LEVEL_ERROR);
    EXPECT_TRUE(log.closed);
    logging(FT_LOG_LEVEL_ERROR, "to stdout\r\n");
    logging(FT_LOG_LEVEL_TRACE, "filtered\r\n");
    EXPECT_EQ(out.finish(), "to stdout\r\n");
}

TEST_F(Logging, StandardOutputIsNeverClosed) {
    RecordingStream& first = stream();
    RecordingStream& second = stream();
    FT_SetDebug(first.file, FT_LOG_LEVEL_ERROR);
    FT_SetDebug(stdout, FT_LOG_LEVEL_ERROR);
    EXPECT_TRUE(first.closed);
    FT_SetDebug(stdout, FT_LOG_LEVEL_ERROR);
    FT_SetDebug(second.file, FT_LOG_LEVEL_ERROR);
    FT_SetDebug(nullptr, FT_LOG_LEVEL_ERROR);
    // Still usable: both a direct write and the log reach it.
    StdoutCapture out;
    EXPECT_GE(std::fputs("direct ", stdout), 0);
    logging(FT_LOG_LEVEL_ERROR, "logged");
    EXPECT_EQ(out.finish(), "direct logged");
}

} // namespace
