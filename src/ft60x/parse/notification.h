// The FT602's notification message on its interrupt endpoint.
#pragma once

#include <cstddef>
#include <cstdint>

enum class notification_kind { valid, bad_length, bad_value };

// Exactly 4 bytes holding 0xDEADBEEF little-endian is a valid notification; anything else is not.
notification_kind classify_notification(const std::uint8_t* message, std::size_t length);
