// Recognition of FT60x chips from their parsed descriptors. Pure: no USB access, so it can be
// fed any descriptor a board may present.
#pragma once

#include <libusb.h>

// The FT60x interface of an FT602: after the video-class interfaces, the first other interface,
// provided it has the vendor layout. -1 when the descriptors are not those of an FT602.
int ft602_vendor_interface(const libusb_device_descriptor& desc,
                           const libusb_config_descriptor& config);

// True when the descriptors have the FT603 layout: two to five vendor interfaces of two endpoints.
bool is_ft603_layout(const libusb_device_descriptor& desc, const libusb_config_descriptor& config);
