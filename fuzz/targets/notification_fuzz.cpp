// Notification messages of any length and content.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "ft60x/parse/notification.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::vector<std::uint8_t> message(data, data + size);
    const notification_kind kind = classify_notification(message.data(), message.size());
    const bool expected = size == 4 && data[0] == 0xEF && data[1] == 0xBE && data[2] == 0xAD &&
                          data[3] == 0xDE;
    if ((kind == notification_kind::valid) != expected)
        std::abort();
    if (size != 4 && kind != notification_kind::bad_length)
        std::abort();
    return 0;
}
