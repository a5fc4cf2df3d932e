// Exported FT_* entry points for enumeration, open and close, versions and device control. Each
// checks its arguments and runs its body in the shared frame (api_common.h).
#include <libusb-1.0/libusb.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "ft60x/api_common.h"
#include "ft60x/device/dev_handle.h"
#include "ft60x/device/ft603_handle.h"
#include "ft60x/logging.h"
#include "ft60x/parse/arg_checks.h"
#include "ft60x/transfer_conf.h"
#include "ostrane/ft60x.h"

namespace {
constexpr const char* interface_version = "0.5.25";
constexpr std::size_t text_field = 32;

// The device count last given to the host on this thread: the most FT_GetDeviceInfoList writes.
// A thread that was never given one is held to the count last given to any thread.
thread_local std::uint32_t reported_here = 0;
thread_local bool reported_on_this_thread = false;

void report_count(session& s, std::uint32_t count)
{
    s.set_reported_count(count);
    reported_here = count;
    reported_on_this_thread = true;
}

std::uint32_t pack_version(unsigned major, unsigned minor, unsigned third)
{
    return (major << 24) | (minor << 16) | third;
}

// The length of the chip's configuration; 0 (nothing fits) for a handle without one.
std::uint16_t chip_config_length(const dev_handle* h)
{
    const auto* chip = dynamic_cast<const ft603_handle*>(h);
    return chip != nullptr ? chip->get_chip_config_length() : 0;
}

void copy_text(void* destination, const FT_DEVICE_INFO& info, bool description)
{
    std::memcpy(destination, description ? info.description : info.serial_number, text_field);
}
} // namespace

extern "C" {

FT60X_API FT_RESULT FT_CreateDeviceInfoList(uint32_t* numDevices)
{
    return entry::session_call(__func__, [&](session& s) -> FT_RESULT {
        if (numDevices == nullptr)
            return STATUS_BAD_PARAMETER;
        s.update_ft60x_dev_lists();
        const std::uint32_t count = s.device_count();
        report_count(s, count);
        *numDevices = count;
        return STATUS_SUCCESS;
    });
}

FT60X_API FT_RESULT FT_GetDeviceInfoList(FT_DEVICE_INFO* list, uint32_t* numDevices)
{
    return entry::session_call(__func__, [&](session& s) -> FT_RESULT {
        if (list == nullptr)
            return STATUS_BAD_PARAMETER;
        // The host sized its array from the count it was told; the list may have grown since, on
        // this thread's or another thread's enumeration.
        const std::uint32_t room = reported_on_this_thread ? reported_here : s.reported_count();
        std::uint32_t copied = 0;
        s.for_each_device_info([&](const FT_DEVICE_INFO* info) {
            if (copied >= room)
                return false;
            std::memcpy(&list[copied], info, sizeof(FT_DEVICE_INFO));
            ++copied;
            return true;
        });
        if (numDevices != nullptr)
            *numDevices = copied;
        return STATUS_SUCCESS;
    });
}

FT60X_API FT_RESULT FT_GetDeviceInfoDetail(uint32_t index, uint32_t* flags, uint32_t* type,
                                           uint32_t* id, uint32_t* locationId, void* serialNumber,
                                           void* description, void** handle)
{
    return entry::session_call(__func__, [&](session& s) -> FT_RESULT {
        if (handle != nullptr)
            *handle = nullptr;
        const auto record = s.get_device_info_by_index(index);
        if (!record)
            return STATUS_NO_DEVICE;
        const FT_DEVICE_INFO& info = record->info;
        if (flags != nullptr)
            *flags = info.flags;
        if (type != nullptr)
            *type = info.type;
        if (id != nullptr)
            *id = info.id;
        if (locationId != nullptr)
            *locationId = info.location_id;
        if (serialNumber != nullptr)
            copy_text(serialNumber, info, false);
        if (description != nullptr)
            copy_text(description, info, true);
        if (handle != nullptr)
            *handle = info.handle;
        return STATUS_SUCCESS;
    });
}

FT60X_API FT_RESULT FT_ListDevices(void* firstArgument, void* secondArgument, uint32_t flags)
{
    return entry::session_call(__func__, [&](session& s) -> FT_RESULT {
        s.update_ft60x_dev_lists();
        const bool description = (flags & FT_LIST_DESCRIPTION) != 0;
        if ((flags & FT_LIST_NUMBER_ONLY) != 0) {
            // The host asked for the number and gets it: success.
            if (firstArgument == nullptr)
                return STATUS_BAD_PARAMETER;
            const std::uint32_t count = s.device_count();
            report_count(s, count);
            *static_cast<std::uint32_t*>(firstArgument) = count;
            return STATUS_SUCCESS;
        }
        if ((flags & FT_LIST_BY_INDEX) != 0) {
            const auto index = arg_checks::index_from_pointer(firstArgument);
            if (!index)
                return STATUS_NO_DEVICE;
            const auto record = s.get_device_info_by_index(*index);
            if (!record)
                return STATUS_NO_DEVICE;
            if (secondArgument == nullptr)
                return STATUS_BAD_PARAMETER;
            copy_text(secondArgument, record->info, description);
            return STATUS_SUCCESS;
        }
        if ((flags & FT_LIST_ALL) != 0) {
            if (firstArgument == nullptr || secondArgument == nullptr)
                return STATUS_BAD_PARAMETER;
            auto** buffers = static_cast<void**>(firstArgument);
            std::uint32_t count = 0;
            std::size_t next = 0;
            bool room = true;
            s.for_each_device_info([&](const FT_DEVICE_INFO* info) {
                ++count;
                if (room && buffers[next] == nullptr)
                    room = false;
                if (room)
                    copy_text(buffers[next++], *info, description);
                return true;
            });
            report_count(s, count);
            *static_cast<std::uint32_t*>(secondArgument) = count;
            return STATUS_SUCCESS;
        }
        return STATUS_BAD_PARAMETER;
    });
}

FT60X_API FT_RESULT FT_Create(void* identifier, uint32_t flags, void** handle)
{
    return entry::session_call(__func__, [&](session& s) -> FT_RESULT {
        s.update_ft60x_dev_lists();
        if (handle == nullptr)
            return STATUS_BAD_HANDLE;
        *handle = nullptr;

        const arg_checks::open_request request = arg_checks::parse_open(identifier, flags);
        if (request.text_length)
            logging(FT_LOG_LEVEL_ERROR, "String too long:%.*s\r\n", static_cast<int>(text_field + 1),
                    static_cast<const char*>(identifier));
        std::unique_ptr<dev_handle> opened;
        if (request.status == STATUS_NO_DEVICE) {
            // An index beyond 32 bits names no device; it is reported like one past the end.
        } else if (request.status != STATUS_SUCCESS) {
            return request.status;
        } else if (request.by_index) {
            opened = s.open_device_by_index(request.index);
        } else {
            opened = s.open_device_by_text(static_cast<const char*>(identifier), request.by_serial);
        }
        if (!opened) {
            logging(FT_LOG_LEVEL_ERROR, "FT_Create failed to find device\r\n");
            return STATUS_NO_DEVICE;
        }
        const std::unique_ptr<_FT_TRANSFER_CONF[]> confs = get_xfr_confs();
        if (!opened->create(confs.get())) {
            logging(FT_LOG_LEVEL_ERROR, "FT_Create failed to open device\r\n");
            return STATUS_OPEN_FAILED;
        }
        // Handed out only once registered: a failure before leaves *handle null.
        *handle = s.add_opened_handle(std::move(opened));
        return STATUS_SUCCESS;
    });
}

FT60X_API FT_RESULT FT_Close(void* handle)
{
    return entry::status_call([&]() -> FT_RESULT {
        const session_ref s = session_ref::existing();
        if (s && handle != nullptr && s->remove_opened_handle(handle))
            return STATUS_SUCCESS;
        logging(FT_LOG_LEVEL_ERROR, "Failed to close due to invalid device handle\r\n");
        return STATUS_NO_DEVICE;
    });
}

FT60X_API FT_RESULT FT_GetLibraryVersion(uint32_t* version)
{
    if (version == nullptr)
        return STATUS_BAD_PARAMETER;
    const libusb_version* v = libusb_get_version();
    *version = pack_version(v->major, v->minor, v->micro);
    return STATUS_SUCCESS;
}

FT60X_API FT_RESULT FT_GetDriverVersion(void*, uint32_t* version)
{
    if (version == nullptr)
        return STATUS_BAD_PARAMETER;
    unsigned major = 0, minor = 0, third = 0;
    std::sscanf(interface_version, "%u.%u.%u", &major, &minor, &third);
    *version = pack_version(major, minor, third);
    return STATUS_SUCCESS;
}

// A handle that is not open is reported as a bad parameter here, as a null `version` is.
FT60X_API FT_RESULT FT_GetFirmwareVersion(void* handle, uint32_t* version)
{
    return entry::handle_call(
        handle,
        [&](const handle_lease& h) -> FT_RESULT {
            if (version == nullptr)
                return STATUS_BAD_PARAMETER;
            return h->get_firmware_version(version) ? STATUS_SUCCESS : STATUS_IO_FAILED;
        },
        STATUS_BAD_PARAMETER);
}

FT60X_API FT_RESULT FT_ControlTransfer(void* handle, uint64_t setupPacket, uint8_t* buffer,
                                       uint32_t bufferLength, uint32_t* lengthTransferred)
{
    return entry::handle_call(handle, [&](const handle_lease& h) -> FT_RESULT {
        if (lengthTransferred != nullptr)
            *lengthTransferred = 0;
        const arg_checks::setup_packet setup = arg_checks::split_setup(setupPacket);
        // wLength decides how many bytes move: it must fit the caller's buffer.
        if (const FT_RESULT r = arg_checks::check_control(setup, buffer, bufferLength))
            return r;
        std::uint32_t moved = 0;
        const bool ok = h->usb.control_xfr(setup.request_type, setup.request, setup.value,
                                           setup.index, buffer, setup.length, &moved);
        if (lengthTransferred != nullptr)
            *lengthTransferred = moved;
        return ok ? STATUS_SUCCESS : STATUS_IO_FAILED;
    });
}

FT60X_API FT_RESULT FT_SetNotificationCallback(void* handle, FT_NOTIFICATION_CALLBACK callback,
                                               void* context)
{
    // The handle is looked into only once it is known to be open.
    return entry::handle_call(handle, [&](const handle_lease& h) -> FT_RESULT {
        const auto record = h.owner()->get_device_info_by_handle(h.get());
        if (!record)
            return STATUS_BAD_HANDLE;
        if (record->info.type != FT_DEVICE_602)
            return STATUS_UNSUPPORTED;
        h->set_notification(callback, context);
        return STATUS_SUCCESS;
    });
}

FT60X_API void FT_ClearNotificationCallback(void* handle)
{
    entry::handle_call(handle, [](const handle_lease& h) {
        h->set_notification(nullptr, nullptr);
        return STATUS_SUCCESS;
    });
}

FT60X_API bool FT_SetHotplugCallback(FT_HOTPLUG_CALLBACK callback, void* context, bool remove)
try {
    const session_ref s = session_ref::get_or_create();
    return s && s->register_hotplug_callback(callback, context, remove);
} catch (...) {
    return false;
}

// A handle that is not open is reported as a bad parameter here, as a null `configuration` is.
FT60X_API FT_RESULT FT_GetChipConfiguration(void* handle, void* configuration)
{
    return entry::handle_call(
        handle,
        [&](const handle_lease& h) -> FT_RESULT {
            if (configuration == nullptr)
                return STATUS_BAD_PARAMETER;
            return h->get_chip_config(configuration) ? STATUS_SUCCESS : STATUS_IO_FAILED;
        },
        STATUS_BAD_PARAMETER);
}

FT60X_API FT_RESULT FT_SetChipConfiguration(void* handle, void* configuration)
{
    return entry::handle_call(handle, [&](const handle_lease& h) -> FT_RESULT {
        // The record's own length field says how much is sent: never more than a configuration
        // holds.
        if (const FT_RESULT r = arg_checks::check_chip_config_record(
                static_cast<const std::uint8_t*>(configuration), chip_config_length(h.get())))
            return r;
        return h->set_chip_config(configuration) ? STATUS_SUCCESS : STATUS_IO_FAILED;
    });
}

FT60X_API FT_RESULT FT_ResetDevicePort(void* handle)
{
    return entry::handle_call(handle, [](const handle_lease& h) {
        return h->reset_device() ? STATUS_SUCCESS : STATUS_IO_FAILED;
    });
}

FT60X_API FT_RESULT FT_GetVIDPID(void* handle, uint16_t* vid, uint16_t* pid)
{
    return entry::handle_call(handle, [&](const handle_lease& h) -> FT_RESULT {
        if (vid == nullptr || pid == nullptr)
            return STATUS_BAD_PARAMETER;
        const auto record = h.owner()->get_device_info_by_handle(h.get());
        // An open handle whose device has left the list has no record to report from.
        if (!record)
            return STATUS_NO_DEVICE;
        *vid = static_cast<std::uint16_t>(record->info.id >> 16);
        *pid = static_cast<std::uint16_t>(record->info.id & 0xFFFF);
        return STATUS_SUCCESS;
    });
}

// The GPIO calls report a handle without GPIO (or a failed request) as unsupported.
FT60X_API FT_RESULT FT_EnableGPIO(void* handle, uint8_t mask, uint8_t direction)
{
    return entry::handle_call(handle, [&](const handle_lease& h) {
        return h->set_gpio_direction(mask, direction) ? STATUS_SUCCESS : STATUS_UNSUPPORTED;
    });
}

FT60X_API FT_RESULT FT_WriteGPIO(void* handle, uint8_t mask, uint8_t level)
{
    return entry::handle_call(handle, [&](const handle_lease& h) {
        return h->set_gpio_level(mask, level) ? STATUS_SUCCESS : STATUS_UNSUPPORTED;
    });
}

FT60X_API FT_RESULT FT_ReadGPIO(void* handle, uint8_t* level)
{
    return entry::handle_call(handle, [&](const handle_lease& h) -> FT_RESULT {
        if (level == nullptr)
            return STATUS_BAD_PARAMETER;
        return h->get_gpio_level(0x1F, level) ? STATUS_SUCCESS : STATUS_UNSUPPORTED;
    });
}

FT60X_API FT_RESULT FT_SetGPIOPull(void* handle, uint8_t mask, uint8_t pull)
{
    return entry::handle_call(handle, [&](const handle_lease& h) {
        return h->set_gpio_pull(mask, pull) ? STATUS_SUCCESS : STATUS_UNSUPPORTED;
    });
}

// Returns 1 for a bad handle and otherwise the operation's own result (1 done, 0 failed).
FT60X_API FT_RESULT FT_AccessMemory(void* handle, bool write, uint32_t address, uint8_t* buffer,
                                    uint16_t length)
{
    return entry::handle_call_or<FT_RESULT>(handle, STATUS_BAD_HANDLE, 0, [&](const handle_lease& h) {
        if (buffer == nullptr && length != 0)
            return 0u;
        return h->memory_access(write, address, buffer, length) ? 1u : 0u;
    });
}

// Returns 1 for a bad handle and otherwise the operation's own result (1 done, 0 failed).
FT60X_API FT_RESULT FT_GetChipCRC(void* handle, uint16_t* crc)
{
    return entry::handle_call_or<FT_RESULT>(handle, STATUS_BAD_HANDLE, 0, [&](const handle_lease& h) {
        if (crc == nullptr)
            return 0u;
        return h->get_chip_crc(crc) ? 1u : 0u;
    });
}

FT60X_API FT_RESULT FT_GetDescriptor(void* handle, uint8_t descriptorType, uint8_t index,
                                     uint8_t* buffer, uint32_t bufferLength,
                                     uint32_t* lengthTransferred)
{
    return entry::handle_call(handle, [&](const handle_lease& h) -> FT_RESULT {
        if (buffer == nullptr)
            return STATUS_BAD_PARAMETER;
        const int count = h->usb.get_descriptor(descriptorType, index, buffer,
                                                arg_checks::descriptor_request_length(bufferLength));
        if (count < 0)
            return STATUS_IO_FAILED;
        if (lengthTransferred != nullptr)
            *lengthTransferred = static_cast<std::uint32_t>(count);
        return STATUS_SUCCESS;
    });
}

FT60X_API FT_RESULT FT_GetStringDescriptor(void* handle, uint8_t index, void* descriptor)
{
    return entry::handle_call(handle, [&](const handle_lease& h) -> FT_RESULT {
        if (descriptor == nullptr)
            return STATUS_BAD_PARAMETER;
        const int count = h->usb.get_descriptor(LIBUSB_DT_STRING, index,
                                                static_cast<std::uint8_t*>(descriptor), 514);
        return count < 0 ? STATUS_IO_FAILED : STATUS_SUCCESS;
    });
}

FT60X_API FT_RESULT FT_GetDeviceDescriptor(void* handle, void* descriptor)
{
    return entry::handle_call(handle, [&](const handle_lease& h) -> FT_RESULT {
        if (descriptor == nullptr)
            return STATUS_BAD_PARAMETER;
        return h->usb.get_device_descriptor(static_cast<libusb_device_descriptor*>(descriptor))
                   ? STATUS_SUCCESS
                   : STATUS_IO_FAILED;
    });
}

FT60X_API FT_RESULT FT_GetConfigurationDescriptor(void* handle, void* descriptor)
{
    return entry::handle_call(handle, [&](const handle_lease& h) -> FT_RESULT {
        if (descriptor == nullptr)
            return STATUS_BAD_PARAMETER;
        libusb_device* dev = h->usb.get() ? libusb_get_device(h->usb.get()) : nullptr;
        if (dev == nullptr)
            return STATUS_IO_FAILED;
        const config_descriptor_ptr config = active_config_descriptor(dev);
        if (!config)
            return STATUS_IO_FAILED;
        FT_CONFIGURATION_DESCRIPTOR out{};
        out.bLength = config->bLength;
        out.bDescriptorType = config->bDescriptorType;
        out.wTotalLength = config->wTotalLength;
        out.bNumInterfaces = config->bNumInterfaces;
        out.bConfigurationValue = config->bConfigurationValue;
        out.iConfiguration = config->iConfiguration;
        out.bmAttributes = config->bmAttributes;
        out.MaxPower = config->MaxPower;
        std::memcpy(descriptor, &out, sizeof out);
        return STATUS_SUCCESS;
    });
}

FT60X_API FT_RESULT FT_GetInterfaceDescriptor(void* handle, uint8_t index, void* descriptor)
{
    return entry::handle_call(handle, [&](const handle_lease& h) -> FT_RESULT {
        if (descriptor == nullptr)
            return STATUS_BAD_PARAMETER;
        const int count = h->usb.get_descriptor(LIBUSB_DT_INTERFACE, index,
                                                static_cast<std::uint8_t*>(descriptor), 9);
        return count <= 8 ? STATUS_IO_FAILED : STATUS_SUCCESS;
    });
}

FT60X_API FT_RESULT FT_GetPipeInformation(void* handle, uint8_t, uint8_t pipeIndex,
                                          void* information)
{
    return entry::handle_call(handle, [&](const handle_lease& h) -> FT_RESULT {
        if (information == nullptr)
            return STATUS_BAD_PARAMETER;
        std::uint8_t raw[32] = {};
        const int count = h->usb.get_descriptor(LIBUSB_DT_ENDPOINT, pipeIndex, raw, sizeof raw);
        if (count < static_cast<int>(sizeof raw))
            return STATUS_IO_FAILED;
        FT_PIPE_INFORMATION out{};
        out.bDescriptorType = raw[1];
        out.bEndpointAddress = raw[2];
        out.wMaxPacketSize = static_cast<std::uint16_t>(raw[4] | (raw[5] << 8));
        out.bInterval = raw[6];
        std::memcpy(information, &out, sizeof out);
        return STATUS_SUCCESS;
    });
}

FT60X_API bool FT_EnterDFUMode(void* handle)
{
    return entry::handle_call_or(handle, false, false,
                                 [](const handle_lease& h) { return h->enter_dfu_mode(); });
}

FT60X_API bool FT_UpdateCfgProfile(void* handle, void* profile)
{
    return entry::handle_call_or(handle, false, false, [&](const handle_lease& h) {
        return h->update_cfg_profile(profile);
    });
}

// The speed a profile is for: 2 super speed, 1 high speed, 0 full speed.
FT60X_API bool FT_UpdateCfgProfileSS(void* handle, uint8_t selector, void* profile, uint8_t count)
{
    return entry::handle_call_or(handle, false, false, [&](const handle_lease& h) {
        return h->update_cfg_profile_speed(2, selector, profile, count);
    });
}

FT60X_API bool FT_UpdateCfgProfileHS(void* handle, uint8_t selector, void* profile, uint8_t count)
{
    return entry::handle_call_or(handle, false, false, [&](const handle_lease& h) {
        return h->update_cfg_profile_speed(1, selector, profile, count);
    });
}

FT60X_API bool FT_UpdateCfgProfileFS(void* handle, uint8_t selector, void* profile, uint8_t count)
{
    return entry::handle_call_or(handle, false, false, [&](const handle_lease& h) {
        return h->update_cfg_profile_speed(0, selector, profile, count);
    });
}

} // extern "C"
