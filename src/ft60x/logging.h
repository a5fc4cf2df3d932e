// Library-internal log of the FT60x layer. The host picks the stream and the threshold with
// FT_SetDebug; until then nothing is written.
#pragma once

#include "ostrane/ft60x.h"

// Writes the formatted text to the log stream when `level` is at or below the threshold.
// Nothing is added to the text: each format carries its own line end.
void logging(FT_LOG_LEVEL level, const char* format, ...) __attribute__((format(printf, 2, 3)));
