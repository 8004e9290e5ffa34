// Test helper: file permissions that bind root too. Root passes every permission check through
// the capabilities CAP_DAC_OVERRIDE and CAP_DAC_READ_SEARCH; while a PermissionsBindRoot lives,
// the calling thread has both lowered from its effective set, so an open or a write that the
// file's mode denies fails with EACCES as it would for an operator. For a user without those
// capabilities it changes nothing. Capabilities are per thread: other threads keep theirs.
#pragma once

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace testing_support {

class PermissionsBindRoot {
  public:
    PermissionsBindRoot() {
        header_.version = _LINUX_CAPABILITY_VERSION_3;
        header_.pid = 0;
        if (::syscall(SYS_capget, &header_, saved_) != 0) {
            return;
        }
        __user_cap_data_struct lowered[2] = {saved_[0], saved_[1]};
        for (const int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH}) {
            lowered[CAP_TO_INDEX(cap)].effective &= ~CAP_TO_MASK(cap);
        }
        active_ = ::syscall(SYS_capset, &header_, lowered) == 0;
    }
    ~PermissionsBindRoot() {
        if (active_) {
            ::syscall(SYS_capset, &header_, saved_);
        }
    }
    PermissionsBindRoot(const PermissionsBindRoot&) = delete;
    PermissionsBindRoot& operator=(const PermissionsBindRoot&) = delete;

    // False if the capabilities could not be read or lowered.
    bool active() const { return active_; }

  private:
    __user_cap_header_struct header_{};
    __user_cap_data_struct saved_[2]{};
    bool active_ = false;
};

} // namespace testing_support
