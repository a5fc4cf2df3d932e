#include "ft60x/parse/notification.h"

namespace {
constexpr std::size_t message_length = 4;
constexpr std::uint32_t message_value = 0xDEADBEEF;
} // namespace

notification_kind classify_notification(const std::uint8_t* message, std::size_t length)
{
    if (message == nullptr || length != message_length)
        return notification_kind::bad_length;
    const std::uint32_t value = static_cast<std::uint32_t>(message[0]) |
                                (static_cast<std::uint32_t>(message[1]) << 8) |
                                (static_cast<std::uint32_t>(message[2]) << 16) |
                                (static_cast<std::uint32_t>(message[3]) << 24);
    return value == message_value ? notification_kind::valid : notification_kind::bad_value;
}
