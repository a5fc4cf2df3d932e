#include "ft60x/transfer_conf.h"

#include <sys/utsname.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "ft60x/logging.h"
#include "ft60x/parse/arg_checks.h"

namespace {

// The records set since the last open took them. Never destroyed: a host thread may still be in
// FT_SetTransferParams while the process exits and statics die. Kept in static storage, not on
// the heap, so that unloading the library leaves nothing behind. Host threads may set records
// and open devices at once, so every look at it goes through its lock.
struct conf_table {
    std::mutex lock;
    bool set = false;  // false: every record zero
    std::array<_FT_TRANSFER_CONF, xfr_conf_count> records{};
};

conf_table& table() {
    alignas(conf_table) static unsigned char storage[sizeof(conf_table)];
    static conf_table* const instance = new (storage) conf_table;
    return *instance;
}

void log_bad_struct_size(const FT_TRANSFER_CONF* conf) {
    logging(FT_LOG_LEVEL_ERROR, "wStructSize:%d is not correct, expected:%zu\r\n",
            conf != nullptr ? static_cast<int>(conf->wStructSize) : 0, sizeof(FT_TRANSFER_CONF));
}

} // namespace

extern "C" FT60X_API FT_RESULT FT_SetTransferParams(FT_TRANSFER_CONF* conf, uint32_t fifoId) try {
    conf_table& t = table();
    std::lock_guard<std::mutex> guard(t.lock);
    // The table is set from the first call on, even when this call is refused.
    t.set = true;
    if (fifoId == xfr_conf_count)
        fifoId = 0;
    if (fifoId >= xfr_conf_count) {
        logging(FT_LOG_LEVEL_ERROR, "FIFO id %u is out of range, expected 0 to %u\r\n",
                static_cast<unsigned>(fifoId), static_cast<unsigned>(xfr_conf_count));
        return STATUS_BAD_PARAMETER;
    }
    if (conf == nullptr)
        return STATUS_BAD_PARAMETER;
    if (conf->wStructSize != sizeof(FT_TRANSFER_CONF)) {
        log_bad_struct_size(conf);
        return STATUS_BAD_PARAMETER;
    }
    // Buffers beyond what the library allocates are refused here, not at the next open.
    if (const FT_RESULT r = arg_checks::check_transfer_conf(conf, fifoId); r != STATUS_SUCCESS)
        return r;
    std::memcpy(&t.records[fifoId], conf, sizeof(FT_TRANSFER_CONF));
    return STATUS_SUCCESS;
} catch (...) {
    return arg_checks::current_exception_status();
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
    auto taken = std::make_unique<_FT_TRANSFER_CONF[]>(xfr_conf_count);
    {
        conf_table& t = table();
        std::lock_guard<std::mutex> guard(t.lock);
        if (t.set)
            std::copy(t.records.begin(), t.records.end(), taken.get());
        else
            taken[0].wStructSize = sizeof(FT_TRANSFER_CONF);
        t.records = {};
        t.set = false;
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
