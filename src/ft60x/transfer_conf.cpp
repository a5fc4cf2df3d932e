#include "ft60x/transfer_conf.h"

#include <sys/utsname.h>

#include <cstdio>
#include <cstring>
#include <mutex>

#include "ft60x/logging.h"

namespace {

// Null until first use; released at unload if still present. Host threads may set records and
// open devices at once, so every look at the pointer and the records goes through the lock.
std::mutex xfr_confs_lock;
std::unique_ptr<_FT_TRANSFER_CONF[]> xfr_confs;

// Callers hold xfr_confs_lock.
void ensure_table() {
    if (!xfr_confs)
        xfr_confs = std::make_unique<_FT_TRANSFER_CONF[]>(xfr_conf_count);
}

void log_bad_struct_size(const FT_TRANSFER_CONF* conf) {
    logging(FT_LOG_LEVEL_ERROR, "wStructSize:%d is not correct, expected:%zu\r\n",
            conf != nullptr ? static_cast<int>(conf->wStructSize) : 0, sizeof(FT_TRANSFER_CONF));
}

} // namespace

extern "C" FT60X_API FT_RESULT FT_SetTransferParams(FT_TRANSFER_CONF* conf, uint32_t fifoId) {
    std::lock_guard<std::mutex> guard(xfr_confs_lock);
    // The table exists from the first call on, even when this call is refused.
    ensure_table();
    if (fifoId == xfr_conf_count)
        fifoId = 0;
    if (fifoId >= xfr_conf_count) {
        log_bad_struct_size(conf);
        return STATUS_BAD_PARAMETER;
    }
    if (conf == nullptr)
        return STATUS_BAD_PARAMETER;
    if (conf->wStructSize != sizeof(FT_TRANSFER_CONF)) {
        log_bad_struct_size(conf);
        return STATUS_BAD_PARAMETER;
    }
    std::memcpy(&xfr_confs[fifoId], conf, sizeof(FT_TRANSFER_CONF));
    return STATUS_SUCCESS;
}

bool kernel_caps_buf_size(const char* release) {
    unsigned major = 0;
    unsigned minor = 0;
    if (release == nullptr || std::sscanf(release, "%u.%u", &major, &minor) != 2)
        return false;
    return major <= 2 || (major == 3 && minor <= 3);
}

void apply_pipe_defaults(FT_PIPE_TRANSFER_CONF& pipe, const char* release) {
    if (pipe.bUrbNum <= 1)
        pipe.bUrbNum = default_urb_num;
    if (pipe.wBufNum <= 1)
        pipe.wBufNum = default_buf_num;
    bool check_kernel = false;
    if (pipe.dwBufSize < min_buf_size) {
        pipe.dwBufSize = default_buf_size;
        check_kernel = true;
    } else if (pipe.dwBufSize > old_kernel_buf_size) {
        check_kernel = true;
    }
    if (check_kernel && kernel_caps_buf_size(release))
        pipe.dwBufSize = old_kernel_buf_size;
    if (pipe.dwExtra == 0)
        pipe.dwExtra = default_extra;
}

std::unique_ptr<_FT_TRANSFER_CONF[]> take_xfr_confs(const char* release) {
    std::unique_ptr<_FT_TRANSFER_CONF[]> taken;
    {
        std::lock_guard<std::mutex> guard(xfr_confs_lock);
        if (!xfr_confs) {
            ensure_table();
            xfr_confs[0].wStructSize = sizeof(FT_TRANSFER_CONF);
        }
        taken = std::move(xfr_confs);
    }
    // The taken table belongs to this caller alone.
    for (unsigned i = 0; i < xfr_conf_count; ++i) {
        apply_pipe_defaults(taken[i].aPipe[FT_PIPE_DIR_IN], release);
        apply_pipe_defaults(taken[i].aPipe[FT_PIPE_DIR_OUT], release);
    }
    return taken;
}

std::unique_ptr<_FT_TRANSFER_CONF[]> get_xfr_confs() {
    struct utsname name {};
    return take_xfr_confs(uname(&name) == 0 ? name.release : nullptr);
}
