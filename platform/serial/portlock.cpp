#include "platform/serial/portlock.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace zurid::platform {

namespace {

constexpr const char* kLockDirs[] = {"/run/lock", "/var/lock"};

std::string LockDir() {
    for (const char* dir : kLockDirs) {
        struct stat st {};
        if (::stat(dir, &st) == 0 && S_ISDIR(st.st_mode) && ::access(dir, W_OK | X_OK) == 0) {
            return dir;
        }
    }
    return {};
}

// "/dev/serial/../ttyUSB0" resolved, then "dev_ttyUSB0".
std::string LockName(const std::string& device) {
    std::string name = device;
    while (!name.empty() && name.front() == '/') {
        name.erase(0, 1);
    }
    for (char& c : name) {
        if (c == '/') {
            c = '_';
        }
    }
    return "zurid-" + name + ".lock";
}

int ReadPid(int fd) {
    char text[32] = {};
    const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
    if (n <= 0) {
        return 0;
    }
    const long pid = std::strtol(text, nullptr, 10);
    return pid > 0 && pid < INT_MAX ? static_cast<int>(pid) : 0;
}

std::string ProcessName(int pid) {
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

bool Alive(int pid) {
    return pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM);
}

std::string Busy(int pid) {
    if (!Alive(pid)) {
        return "in use by another program";
    }
    const std::string name = ProcessName(pid);
    return "in use by process " + std::to_string(pid) + (name.empty() ? "" : " (" + name + ")");
}

} // namespace

std::string CanonicalDevice(const std::string& path) {
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (resolved == nullptr) {
        return path;
    }
    std::string out(resolved);
    std::free(resolved);
    return out;
}

std::string PortLockFile(const std::string& path) {
    const std::string dir = LockDir();
    return dir.empty() ? std::string() : dir + "/" + LockName(CanonicalDevice(path));
}

PortLock::~PortLock() {
    release();
}

PortLock::PortLock(PortLock&& other) noexcept {
    *this = std::move(other);
}

PortLock& PortLock::operator=(PortLock&& other) noexcept {
    if (this != &other) {
        release();
        fd_ = other.fd_;
        bare_ = other.bare_;
        file_ = std::move(other.file_);
        ownerPid_ = other.ownerPid_;
        error_ = std::move(other.error_);
        other.fd_ = -1;
        other.bare_ = false;
    }
    return *this;
}

bool PortLock::acquire(const std::string& path) {
    release();
    ownerPid_ = 0;
    error_.clear();
    file_ = PortLockFile(path);
    if (file_.empty()) {
        bare_ = true;
        return true;
    }
    // The owner removes its file on release; a file opened just before that is not the lock
    // any more, so the lock counts only when the file at the path is still the one locked.
    for (int attempt = 0; attempt < 8; ++attempt) {
        bool writable = true;
        int fd = ::open(file_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (fd < 0 && errno == EACCES) {
            // Left by another user's process that ended without removing it: lockable still.
            writable = false;
            fd = ::open(file_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        }
        if (fd < 0) {
            error_ = "cannot make the lock file " + file_ + ": " + std::strerror(errno);
            return false;
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int why = errno;
            ownerPid_ = ReadPid(fd);
            ::close(fd);
            if (why == EWOULDBLOCK) {
                error_ = Busy(ownerPid_);
                if (!Alive(ownerPid_)) {
                    ownerPid_ = 0;
                }
            } else {
                error_ = "cannot lock " + file_ + ": " + std::strerror(why);
            }
            return false;
        }
        struct stat held {};
        struct stat now {};
        if (::fstat(fd, &held) != 0 || ::lstat(file_.c_str(), &now) != 0 ||
            held.st_ino != now.st_ino || held.st_dev != now.st_dev) {
            ::close(fd);
            continue;
        }
        if (writable) {
            char text[16];
            const int n = std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(::getpid()));
            if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, text, static_cast<size_t>(n), 0) != n) {
                error_ = "cannot write the lock file " + file_ + ": " + std::strerror(errno);
                ::unlink(file_.c_str());
                ::close(fd);
                return false;
            }
        }
        fd_ = fd;
        return true;
    }
    error_ = "cannot lock " + file_ + ": it keeps changing";
    return false;
}

void PortLock::release() {
    if (fd_ >= 0) {
        // Removed while still locked, so that nobody takes a file that is on its way out.
        ::unlink(file_.c_str());
        ::close(fd_);
        fd_ = -1;
    }
    bare_ = false;
}

bool ClaimOpenDevice(int fd) {
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        return false;
    }
    ::ioctl(fd, TIOCEXCL);
    return true;
}

bool DeviceAccessible(const std::string& path) {
    return ::access(path.c_str(), R_OK | W_OK) == 0;
}

std::string PermissionAdvice(const std::string& path) {
    const std::string device = CanonicalDevice(path);
    struct stat st {};
    if (::stat(device.c_str(), &st) != 0) {
        return "permission denied";
    }
    const group* g = ::getgrgid(st.st_gid);
    const std::string name = g != nullptr ? g->gr_name : std::to_string(st.st_gid);
    if (st.st_gid == 0 || (st.st_mode & (S_IRGRP | S_IWGRP)) != (S_IRGRP | S_IWGRP)) {
        return "permission denied; " + device + " belongs to the group " + name +
               ", which may not open it either: ask the administrator";
    }
    return "permission denied; " + device + " belongs to the group " + name +
           ": add yourself to it (sudo adduser $USER " + name + ") and log in again";
}

} // namespace zurid::platform
