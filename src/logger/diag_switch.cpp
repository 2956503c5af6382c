#include "logger/diag_switch.h"

#include <errno.h>
#include <sys/ioctl.h>

#include "logger/diag_device.h"

namespace {

// The largest mode record any driver copies; one with fewer bytes would let
// that driver read past it. Drivers with smaller records read only their own
// leading part, and req_mode and peripheral_mask lead in every form.
struct ModeRecord {
    uint32_t req_mode;
    uint32_t peripheral_mask;
    uint32_t pd_mask;  // 0: a user-PD lookup could fail the switch
    uint8_t mode_param;
    uint8_t diag_id;
    uint8_t pd_val;
    uint8_t reserved;
    int32_t peripheral;
    int32_t device_mask;
};
static_assert(sizeof(ModeRecord) == 24, "the largest mode record the driver copies");

constexpr uint32_t all_local_peripherals = 0xFF;
constexpr size_t record_read_size = 65536;
constexpr int diag_ioctl_deinit = 9;

// Written by the main thread while it sets the tasks up, read by the logger
// threads it starts afterwards.
bool record_form = false;

}  // namespace

int switch_logging_mode(int fd, int mode, uint32_t device_mask) {
    const int by_value = ioctl(fd, diag_ioctl_switch_logging, mode);
    if (by_value >= 0 || errno != EFAULT) return by_value;
    ModeRecord record{};
    record.req_mode = static_cast<uint32_t>(mode);
    record.peripheral_mask = all_local_peripherals;
    record.device_mask = static_cast<int32_t>(device_mask);
    const int by_record = ioctl(fd, diag_ioctl_switch_logging, &record);
    if (by_record >= 0) record_form = true;
    return by_record;
}

void end_logging_session(int fd) {
    if (record_form) ioctl(fd, diag_ioctl_deinit, 0);
}

size_t stream_read_size() { return record_form ? record_read_size : diag_read_size; }

size_t stream_batch_size() { return 2 * stream_read_size(); }
