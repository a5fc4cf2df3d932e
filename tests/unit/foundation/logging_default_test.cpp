// The log before any FT_SetDebug: kept in a process of its own so nothing has set it yet.
#include <gtest/gtest.h>

#include "capture.h"
#include "ft60x/logging.h"

TEST(LoggingDefault, NothingIsWrittenBeforeTheHostSetsALevel) {
    capture::StdoutCapture out;
    logging(FT_LOG_LEVEL_ERROR, "error\r\n");
    logging(FT_LOG_LEVEL_WARNING, "warning\r\n");
    logging(FT_LOG_LEVEL_TRACE, "trace\r\n");
    std::fputs("probe", stdout); // shows the capture itself works
    EXPECT_EQ(out.finish(), "probe");
}
