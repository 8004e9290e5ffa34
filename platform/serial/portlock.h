// One owner per serial device, whatever name it was opened by (COMn, the device path, a
// /dev/serial/by-id link). The lock goes by the device a name resolves to: a lock file in
// /run/lock (else /var/lock) held with flock and holding the owner's process id, so that a
// refusal can name the owner. Root passes TIOCEXCL, so that cannot be the lock; flock on the
// lock file binds root too, and ends with the owner's process, however it ends.
#pragma once

#include <string>

namespace zurid::platform {

// The device a path resolves to (links followed); the path itself when it does not exist.
std::string CanonicalDevice(const std::string& path);

class PortLock {
  public:
    PortLock() = default;
    ~PortLock();
    PortLock(PortLock&& other) noexcept;
    PortLock& operator=(PortLock&& other) noexcept;
    PortLock(const PortLock&) = delete;
    PortLock& operator=(const PortLock&) = delete;

    // Takes the lock of the device `path` leads to. False when another process (or another
    // lock in this one) holds it, or the lock file cannot be made; error() then says why, e.g.
    // "in use by process 1234 (zurid)". Without a writable lock directory there is no lock file
    // and only ClaimOpenDevice excludes others.
    bool acquire(const std::string& path);
    void release();
    bool held() const { return fd_ >= 0 || bare_; }
    // The owner of the lock when acquire() found it busy (0 when unknown).
    int ownerPid() const { return ownerPid_; }
    const std::string& error() const { return error_; }

  private:
    int fd_ = -1;
    bool bare_ = false; // held without a lock file
    std::string file_;
    int ownerPid_ = 0;
    std::string error_;
};

// The lock file a device has (empty without a writable lock directory).
std::string PortLockFile(const std::string& path);

// On the open device itself: flock, for other programs that lock the device that way, and
// exclusive use (TIOCEXCL) against non-root openers. False when another program holds it.
bool ClaimOpenDevice(int fd);

// Why the device cannot be opened when the system refuses it, with the group that may open it:
// "permission denied; /dev/ttyUSB0 belongs to the group dialout: add yourself to it (sudo adduser
// $USER dialout) and log in again".
std::string PermissionAdvice(const std::string& path);
// Whether this process may read and write the device.
bool DeviceAccessible(const std::string& path);

} // namespace zurid::platform
