// Exported FT_* entry points for enumeration, open and close, versions and device control.
#include <libusb-1.0/libusb.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>

#include "ft60x/api_common.h"
#include "ft60x/device/dev_handle.h"
#include "ft60x/logging.h"
#include "ft60x/transfer_conf.h"
#include "ostrane/ft60x.h"

namespace {
constexpr const char* interface_version = "0.5.25";
constexpr std::size_t text_field = 32;

// The process-wide session. Its owner is a static object made by the first call that needs the
// session, so it is destroyed at unload or exit before anything the host built ahead of that
// first call (a test's virtual bus, say). After that, entry points see no session rather than a
// destroyed one.
std::once_flag session_created;
std::atomic<session*> current_session{nullptr};

struct session_owner {
    std::unique_ptr<session> lib;

    ~session_owner()
    {
        current_session.store(nullptr);
        lib.reset();
    }
};

session* session_or_log(const char* entry_point)
{
    session* s = get_session();
    if (s == nullptr)
        logging(FT_LOG_LEVEL_ERROR, "%s: constructor failed.\n", entry_point);
    return s;
}

std::uint32_t pack_version(unsigned major, unsigned minor, unsigned third)
{
    return (major << 24) | (minor << 16) | third;
}

void copy_text(void* destination, const FT_DEVICE_INFO& info, bool description)
{
    std::memcpy(destination, description ? info.description : info.serial_number, text_field);
}
} // namespace

session* get_session()
{
    try {
        // A creation that throws leaves the flag unset, so a later call tries again.
        std::call_once(session_created, [] {
            static session_owner owner;
            owner.lib = std::make_unique<session>();
            current_session.store(owner.lib.get());
        });
    } catch (...) {
        return nullptr;
    }
    return current_session.load(std::memory_order_acquire);
}

session* existing_session()
{
    return current_session.load(std::memory_order_acquire);
}

handle_lease::handle_lease(void* handle)
{
    session* s = existing_session();
    if (s == nullptr || handle == nullptr)
        return;
    users = s->acquire_handle(handle);
    if (users != nullptr)
        h = static_cast<dev_handle*>(handle);
}

extern "C" {

FT60X_API FT_RESULT FT_CreateDeviceInfoList(uint32_t* numDevices)
{
    session* s = session_or_log(__func__);
    if (s == nullptr)
        return STATUS_SESSION_FAILED;
    if (numDevices == nullptr)
        return STATUS_BAD_PARAMETER;
    s->update_ft60x_dev_lists();
    const std::uint32_t count = s->device_count();
    s->set_reported_count(count);
    *numDevices = count;
    return STATUS_SUCCESS;
}

FT60X_API FT_RESULT FT_GetDeviceInfoList(FT_DEVICE_INFO* list, uint32_t* numDevices)
{
    session* s = session_or_log(__func__);
    if (s == nullptr)
        return STATUS_SESSION_FAILED;
    if (list == nullptr)
        return STATUS_BAD_PARAMETER;
    // The host sized its array from the count it was last told; the list may have grown since.
    const std::uint32_t room = s->reported_count();
    std::uint32_t copied = 0;
    s->for_each_device_info([&](const FT_DEVICE_INFO* info) {
        if (copied >= room)
            return false;
        std::memcpy(&list[copied], info, sizeof(FT_DEVICE_INFO));
        ++copied;
        return true;
    });
    if (numDevices != nullptr)
        *numDevices = copied;
    return STATUS_SUCCESS;
}

FT60X_API FT_RESULT FT_GetDeviceInfoDetail(uint32_t index, uint32_t* flags, uint32_t* type,
                                           uint32_t* id, uint32_t* locationId, void* serialNumber,
                                           void* description, void** handle)
{
    session* s = session_or_log(__func__);
    if (s == nullptr)
        return STATUS_SESSION_FAILED;
    if (handle != nullptr)
        *handle = nullptr;
    const auto record = s->get_device_info_by_index(index);
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
}

FT60X_API FT_RESULT FT_ListDevices(void* firstArgument, void* secondArgument, uint32_t flags)
{
    session* s = session_or_log(__func__);
    if (s == nullptr)
        return STATUS_SESSION_FAILED;
    s->update_ft60x_dev_lists();
    const bool description = (flags & FT_LIST_DESCRIPTION) != 0;
    if ((flags & FT_LIST_NUMBER_ONLY) != 0) {
        // The host asked for the number and gets it: success.
        if (firstArgument == nullptr)
            return STATUS_BAD_PARAMETER;
        const std::uint32_t count = s->device_count();
        s->set_reported_count(count);
        *static_cast<std::uint32_t*>(firstArgument) = count;
        return STATUS_SUCCESS;
    }
    if ((flags & FT_LIST_BY_INDEX) != 0) {
        const auto index =
            static_cast<std::int32_t>(reinterpret_cast<std::uintptr_t>(firstArgument));
        if (index < 0)
            return STATUS_NO_DEVICE;
        const auto record = s->get_device_info_by_index(static_cast<unsigned long>(index));
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
        s->for_each_device_info([&](const FT_DEVICE_INFO* info) {
            ++count;
            if (room && buffers[next] == nullptr)
                room = false;
            if (room)
                copy_text(buffers[next++], *info, description);
            return true;
        });
        s->set_reported_count(count);
        *static_cast<std::uint32_t*>(secondArgument) = count;
        return STATUS_SUCCESS;
    }
    return STATUS_BAD_PARAMETER;
}

FT60X_API FT_RESULT FT_Create(void* identifier, uint32_t flags, void** handle)
{
    session* s = session_or_log(__func__);
    if (s == nullptr)
        return STATUS_SESSION_FAILED;
    s->update_ft60x_dev_lists();
    if (handle == nullptr)
        return STATUS_BAD_HANDLE;
    *handle = nullptr;

    std::unique_ptr<dev_handle> opened;
    if ((flags & FT_OPEN_BY_INDEX) != 0) {
        opened = s->open_device_by_index(reinterpret_cast<std::uintptr_t>(identifier));
    } else {
        if ((flags & (FT_OPEN_BY_SERIAL_NUMBER | FT_OPEN_BY_DESCRIPTION)) == 0)
            return STATUS_BAD_PARAMETER;
        const char* text = static_cast<const char*>(identifier);
        if (text == nullptr)
            return STATUS_BAD_PARAMETER;
        const std::size_t length = strnlen(text, text_field + 1);
        if (length == 0 || length > text_field) {
            logging(FT_LOG_LEVEL_ERROR, "String too long:%s\r\n", text);
            return STATUS_BAD_PARAMETER;
        }
        opened = s->open_device_by_text(text, (flags & FT_OPEN_BY_SERIAL_NUMBER) != 0);
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
    *handle = opened.get();
    s->add_opened_handle(std::move(opened));
    return STATUS_SUCCESS;
}

FT60X_API FT_RESULT FT_Close(void* handle)
{
    session* s = existing_session();
    if (s != nullptr && handle != nullptr && s->remove_opened_handle(handle))
        return STATUS_SUCCESS;
    logging(FT_LOG_LEVEL_ERROR, "Failed to close due to invalid device handle\r\n");
    return STATUS_NO_DEVICE;
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

FT60X_API FT_RESULT FT_GetFirmwareVersion(void* handle, uint32_t* version)
{
    const handle_lease h(handle);
    if (!h || version == nullptr)
        return STATUS_BAD_PARAMETER;
    return h->get_firmware_version(version) ? STATUS_SUCCESS : STATUS_IO_FAILED;
}

FT60X_API FT_RESULT FT_ControlTransfer(void* handle, uint64_t setupPacket, uint8_t* buffer,
                                       uint32_t bufferLength, uint32_t* lengthTransferred)
{
    const handle_lease h(handle);
    if (!h)
        return STATUS_BAD_HANDLE;
    const auto request_type = static_cast<std::uint8_t>(setupPacket);
    const auto request = static_cast<std::uint8_t>(setupPacket >> 8);
    const auto value = static_cast<std::uint16_t>(setupPacket >> 16);
    const auto index = static_cast<std::uint16_t>(setupPacket >> 32);
    const auto length = static_cast<std::uint16_t>(setupPacket >> 48);
    const bool ok = h->usb.control_xfr(request_type, request, value, index, buffer, length);
    if (lengthTransferred != nullptr)
        *lengthTransferred = bufferLength;
    return ok ? STATUS_SUCCESS : STATUS_IO_FAILED;
}

FT60X_API FT_RESULT FT_SetNotificationCallback(void* handle, FT_NOTIFICATION_CALLBACK callback,
                                               void* context)
{
    session* s = existing_session();
    if (s == nullptr)
        return STATUS_BAD_HANDLE;
    // The handle is looked into only once it is known to be open.
    const handle_lease h(handle);
    if (!h)
        return STATUS_BAD_HANDLE;
    const auto record = s->get_device_info_by_handle(h.get());
    if (!record)
        return STATUS_BAD_HANDLE;
    if (record->info.type != FT_DEVICE_602)
        return STATUS_UNSUPPORTED;
    h->set_notification(callback, context);
    return STATUS_SUCCESS;
}

FT60X_API void FT_ClearNotificationCallback(void* handle)
{
    if (const handle_lease h(handle); h)
        h->set_notification(nullptr, nullptr);
}

FT60X_API bool FT_SetHotplugCallback(FT_HOTPLUG_CALLBACK callback, void* context, bool remove)
{
    session* s = get_session();
    if (s == nullptr)
        return false;
    return s->register_hotplug_callback(callback, context, remove);
}

FT60X_API FT_RESULT FT_GetChipConfiguration(void* handle, void* configuration)
{
    const handle_lease h(handle);
    if (!h || configuration == nullptr)
        return STATUS_BAD_PARAMETER;
    return h->get_chip_config(configuration) ? STATUS_SUCCESS : STATUS_IO_FAILED;
}

FT60X_API FT_RESULT FT_SetChipConfiguration(void* handle, void* configuration)
{
    const handle_lease h(handle);
    if (!h)
        return STATUS_BAD_HANDLE;
    if (configuration == nullptr)
        return STATUS_BAD_PARAMETER;
    return h->set_chip_config(configuration) ? STATUS_SUCCESS : STATUS_IO_FAILED;
}

FT60X_API FT_RESULT FT_ResetDevicePort(void* handle)
{
    const handle_lease h(handle);
    if (!h)
        return STATUS_BAD_HANDLE;
    return h->reset_device() ? STATUS_SUCCESS : STATUS_IO_FAILED;
}

FT60X_API FT_RESULT FT_GetVIDPID(void* handle, uint16_t* vid, uint16_t* pid)
{
    session* s = existing_session();
    const handle_lease h(handle);
    if (s == nullptr || !h)
        return STATUS_BAD_HANDLE;
    if (vid == nullptr || pid == nullptr)
        return STATUS_BAD_PARAMETER;
    const auto record = s->get_device_info_by_handle(h.get());
    // An open handle whose device has left the list has no record to report from.
    if (!record)
        return STATUS_NO_DEVICE;
    *vid = static_cast<std::uint16_t>(record->info.id >> 16);
    *pid = static_cast<std::uint16_t>(record->info.id & 0xFFFF);
    return STATUS_SUCCESS;
}

FT60X_API FT_RESULT FT_EnableGPIO(void* handle, uint8_t mask, uint8_t direction)
{
    const handle_lease h(handle);
    if (!h)
        return STATUS_BAD_HANDLE;
    return h->set_gpio_direction(mask, direction) ? STATUS_SUCCESS : STATUS_UNSUPPORTED;
}

FT60X_API FT_RESULT FT_WriteGPIO(void* handle, uint8_t mask, uint8_t level)
{
    const handle_lease h(handle);
    if (!h)
        return STATUS_BAD_HANDLE;
    return h->set_gpio_level(mask, level) ? STATUS_SUCCESS : STATUS_UNSUPPORTED;
}

FT60X_API FT_RESULT FT_ReadGPIO(void* handle, uint8_t* level)
{
    const handle_lease h(handle);
    if (!h)
        return STATUS_BAD_HANDLE;
    if (level == nullptr)
        return STATUS_BAD_PARAMETER;
    return h->get_gpio_level(0x1F, level) ? STATUS_SUCCESS : STATUS_UNSUPPORTED;
}

FT60X_API FT_RESULT FT_SetGPIOPull(void* handle, uint8_t mask, uint8_t pull)
{
    const handle_lease h(handle);
    if (!h)
        return STATUS_BAD_HANDLE;
    return h->set_gpio_pull(mask, pull) ? STATUS_SUCCESS : STATUS_UNSUPPORTED;
}

// Returns 1 for a bad handle and otherwise the operation's own result (1 done, 0 failed).
FT60X_API FT_RESULT FT_AccessMemory(void* handle, bool write, uint32_t address, uint8_t* buffer,
                                    uint16_t length)
{
    const handle_lease h(handle);
    if (!h)
        return STATUS_BAD_HANDLE;
    if (buffer == nullptr && length != 0)
        return 0;
    return h->memory_access(write, address, buffer, length) ? 1 : 0;
}

// Returns 1 for a bad handle and otherwise the operation's own result (1 done, 0 failed).
FT60X_API FT_RESULT FT_GetChipCRC(void* handle, uint16_t* crc)
{
    const handle_lease h(handle);
    if (!h)
        return STATUS_BAD_HANDLE;
    if (crc == nullptr)
        return 0;
    return h->get_chip_crc(crc) ? 1 : 0;
}

FT60X_API FT_RESULT FT_GetDescriptor(void* handle, uint8_t descriptorType, uint8_t index,
                                     uint8_t* buffer, uint32_t bufferLength,
                                     uint32_t* lengthTransferred)
{
    const handle_lease h(handle);
    if (!h)
        return STATUS_BAD_HANDLE;
    if (buffer == nullptr)
        return STATUS_BAD_PARAMETER;
    const int count =
        h->usb.get_descriptor(descriptorType, index, buffer, static_cast<int>(bufferLength));
    if (count < 0)
        return STATUS_IO_FAILED;
    if (lengthTransferred != nullptr)
        *lengthTransferred = static_cast<std::uint32_t>(count);
    return STATUS_SUCCESS;
}

FT60X_API FT_RESULT FT_GetStringDescriptor(void* handle, uint8_t index, void* descriptor)
{
    const handle_lease h(handle);
    if (!h)
        return STATUS_BAD_HANDLE;
    if (descriptor == nullptr)
        return STATUS_BAD_PARAMETER;
    const int count = h->usb.get_descriptor(LIBUSB_DT_STRING, index,
                                            static_cast<std::uint8_t*>(descriptor), 514);
    return count < 0 ? STATUS_IO_FAILED : STATUS_SUCCESS;
}

FT60X_API FT_RESULT FT_GetDeviceDescriptor(void* handle, void* descriptor)
{
    const handle_lease h(handle);
    if (!h)
        return STATUS_BAD_HANDLE;
    if (descriptor == nullptr)
        return STATUS_BAD_PARAMETER;
    return h->usb.get_device_descriptor(static_cast<libusb_device_descriptor*>(descriptor))
               ? STATUS_SUCCESS
               : STATUS_IO_FAILED;
}

FT60X_API FT_RESULT FT_GetConfigurationDescriptor(void* handle, void* descriptor)
{
    const handle_lease h(handle);
    if (!h)
        return STATUS_BAD_HANDLE;
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
}

FT60X_API FT_RESULT FT_GetInterfaceDescriptor(void* handle, uint8_t index, void* descriptor)
{
    const handle_lease h(handle);
    if (!h)
        return STATUS_BAD_HANDLE;
    if (descriptor == nullptr)
        return STATUS_BAD_PARAMETER;
    const int count = h->usb.get_descriptor(LIBUSB_DT_INTERFACE, index,
                                            static_cast<std::uint8_t*>(descriptor), 9);
    return count <= 8 ? STATUS_IO_FAILED : STATUS_SUCCESS;
}

FT60X_API FT_RESULT FT_GetPipeInformation(void* handle, uint8_t, uint8_t pipeIndex,
                                          void* information)
{
    const handle_lease h(handle);
    if (!h)
        return STATUS_BAD_HANDLE;
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
}

FT60X_API bool FT_EnterDFUMode(void* handle)
{
    const handle_lease h(handle);
    return h && h->enter_dfu_mode();
}

FT60X_API bool FT_UpdateCfgProfile(void* handle, void* profile)
{
    const handle_lease h(handle);
    return h && h->update_cfg_profile(profile);
}

FT60X_API bool FT_UpdateCfgProfileSS(void* handle, uint8_t selector, void* profile, uint8_t count)
{
    const handle_lease h(handle);
    return h && h->update_cfg_profile_speed(2, selector, profile, count);
}

FT60X_API bool FT_UpdateCfgProfileHS(void* handle, uint8_t selector, void* profile, uint8_t count)
{
    const handle_lease h(handle);
    return h && h->update_cfg_profile_speed(1, selector, profile, count);
}

FT60X_API bool FT_UpdateCfgProfileFS(void* handle, uint8_t selector, void* profile, uint8_t count)
{
    const handle_lease h(handle);
    return h && h->update_cfg_profile_speed(0, selector, profile, count);
}

} // extern "C"
