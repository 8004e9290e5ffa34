// The checked save helper and the regular-file reader (see files.h). Plain POSIX calls, so that
// every step's failure is seen with the system's own reason.
#include "platform/serial/files.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace zurid::platform {

namespace {

std::string Why(int error) {
    return std::strerror(error);
}

constexpr char kLinkRefused[] = "a symbolic link, not followed";

// One step that changes a folder is done; the crash-test hook may end the process here.
void StepDone() {
    static const long killAfter = [] {
        const char* v = std::getenv("ZURID_KILL_AFTER_WRITES");
        return v != nullptr ? std::strtol(v, nullptr, 10) : 0L;
    }();
    static long steps = 0;
    if (killAfter > 0 && ++steps == killAfter) {
        ::kill(::getpid(), SIGKILL);
    }
}

std::string WriteAll(int fd, std::string_view bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return Why(errno);
        }
        if (n == 0) {
            return "nothing could be written";
        }
        done += static_cast<std::size_t>(n);
    }
    return {};
}

// A reader that went away makes a write fail with EPIPE instead of ending the program by
// SIGPIPE, so that the failure is reported like any other.
class SigpipeHeld {
  public:
    SigpipeHeld() {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        sigset_t pending;
        sigpending(&pending);
        wasPending_ = sigismember(&pending, SIGPIPE) == 1;
        pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
    }
    ~SigpipeHeld() {
        if (!wasPending_) {
            const timespec none{};
            while (sigtimedwait(&pipe_, nullptr, &none) > 0) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }
    SigpipeHeld(const SigpipeHeld&) = delete;
    SigpipeHeld& operator=(const SigpipeHeld&) = delete;

  private:
    sigset_t pipe_{}, old_{};
    bool wasPending_ = false;
};

enum class Kind { Descriptor, Replace, Into, Refused };

struct Target {
    Kind kind = Kind::Refused;
    std::string path; // for Replace: the file itself, a link followed
    std::string why;  // for Refused
    int fd = -1;      // for Descriptor
    bool exists = false;
    bool fifo = false;
    struct stat st {};
};

Target Refused(std::string why) {
    Target t;
    t.why = std::move(why);
    return t;
}

// The program's own open descriptor that a name stands for ("-", "/dev/stdout", "/dev/fd/3"),
// or -1. Written through as it is: reopening it by name would replace or truncate the file the
// shell redirected it to, and write over what is in it already.
int DescriptorOf(const std::string& path) {
    if (path == "-" || path == "/dev/stdout") {
        return STDOUT_FILENO;
    }
    if (path == "/dev/stderr") {
        return STDERR_FILENO;
    }
    for (const std::string_view prefix : {"/dev/fd/", "/proc/self/fd/"}) {
        const std::string_view rest = std::string_view(path).substr(
            path.compare(0, prefix.size(), prefix) == 0 ? prefix.size() : path.size());
        if (!rest.empty() && rest.size() < 9 &&
            rest.find_first_not_of("0123456789") == std::string_view::npos) {
            return std::stoi(std::string(rest));
        }
    }
    return -1;
}

Target Resolve(const std::string& path, Links links = Links::Follow) {
    if (path.empty()) {
        return Refused("no file name");
    }
    Target t;
    struct stat own {};
    if (links == Links::Refuse && ::lstat(path.c_str(), &own) == 0 && S_ISLNK(own.st_mode)) {
        return Refused(kLinkRefused);
    }
    if (const int fd = DescriptorOf(path); fd >= 0) {
        if (::fcntl(fd, F_GETFL) < 0) {
            return Refused(Why(errno));
        }
        t.kind = Kind::Descriptor;
        t.fd = fd;
        return t;
    }
    t.path = path;
    if (::stat(path.c_str(), &t.st) != 0) {
        const int error = errno;
        struct stat link {};
        if (error != ENOENT) {
            return Refused(Why(error));
        }
        if (::lstat(path.c_str(), &link) == 0) {
            return Refused("a link to nothing");
        }
        t.kind = Kind::Replace;
        return t;
    }
    t.exists = true;
    if (S_ISREG(t.st.st_mode)) {
        t.kind = Kind::Replace;
        struct stat link {};
        if (::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
            char real[PATH_MAX];
            if (::realpath(path.c_str(), real) == nullptr) {
                return Refused(Why(errno));
            }
            t.path = real;
        }
    } else if (S_ISCHR(t.st.st_mode) || S_ISFIFO(t.st.st_mode)) {
        t.kind = Kind::Into;
        t.fifo = S_ISFIFO(t.st.st_mode);
    } else if (S_ISDIR(t.st.st_mode)) {
        return Refused(Why(EISDIR));
    } else {
        return Refused("not a regular file, a character device or a FIFO");
    }
    return t;
}

std::string DirOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A hidden name beside `path` that nobody else uses, made with `mode` less the umask; its
// descriptor, or -1 with errno.
int CreateTemporary(const std::string& path, mode_t mode, std::string* temp) {
    static unsigned counter = 0;
    const std::string dir = DirOf(path);
    const std::string base = BaseOf(path).substr(0, 200);
    for (int attempt = 0; attempt < 100; ++attempt) {
        const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
        *temp = dir + "/." + base + "." + std::to_string(::getpid()) + "-" +
                std::to_string(++counter) + "-" + std::to_string(now % 100000) + ".tmp";
        const int fd = ::open(temp->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EEXIST) {
            return fd;
        }
    }
    errno = EEXIST;
    return -1;
}

std::string SyncFolder(const std::string& dir) {
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return Why(errno);
    }
    // Some file systems cannot sync a folder; they say so with EINVAL.
    const bool ok = ::fsync(fd) == 0 || errno == EINVAL;
    const int error = errno;
    ::close(fd);
    return ok ? std::string() : Why(error);
}

std::string Replace(const Target& t, std::string_view bytes, SaveRules rules) {
    std::string temp;
    // Without a mode of its own: 0666 less the umask, as a new file gets it.
    const auto mode = static_cast<mode_t>(rules.mode >= 0 ? rules.mode : 0666);
    const int fd = CreateTemporary(t.path, mode, &temp);
    if (fd < 0) {
        return Why(errno);
    }
    if (rules.mode >= 0) {
        ::fchmod(fd, mode); // exactly, whatever the umask took away
    } else if (t.exists) {
        // The file keeps its permissions, and its owner where that is allowed (root).
        ::fchmod(fd, t.st.st_mode & 07777);
        [[maybe_unused]] const int owned = ::fchown(fd, t.st.st_uid, t.st.st_gid);
    }
    std::string why = WriteAll(fd, bytes);
    if (why.empty() && ::fsync(fd) != 0) {
        why = Why(errno);
    }
    if (::close(fd) != 0 && why.empty()) {
        why = Why(errno);
    }
    if (!why.empty()) {
        ::unlink(temp.c_str());
        return why;
    }
    StepDone();
    if (::rename(temp.c_str(), t.path.c_str()) != 0) {
        why = Why(errno);
        ::unlink(temp.c_str());
        return why;
    }
    StepDone();
    why = SyncFolder(DirOf(t.path));
    return why.empty() ? why : "written, but its folder cannot be synced: " + why;
}

// Opens an existing device or FIFO for writing, without creating or truncating it; -1 and the
// reason when it cannot.
int OpenInto(const Target& t, std::string* why) {
    constexpr int flags = O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC;
    int fd = ::open(t.path.c_str(), flags);
    // A FIFO without a reader refuses a non-blocking open (ENXIO): wait a while for one.
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kFifoReaderWaitMs);
    while (fd < 0 && (errno == EINTR || (t.fifo && errno == ENXIO)) &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        fd = ::open(t.path.c_str(), flags);
    }
    if (fd < 0) {
        *why = t.fifo && errno == ENXIO ? "nobody reads the FIFO (waited " +
                                              std::to_string(kFifoReaderWaitMs / 1000) + " s)"
                                        : Why(errno);
        return -1;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !(S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode))) {
        ::close(fd);
        *why = "changed while it was being opened";
        return -1;
    }
    // Writes block, as they do on any pipe or device.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

std::string WriteInto(const Target& t, std::string_view bytes) {
    std::string why;
    const int fd = OpenInto(t, &why);
    if (fd < 0) {
        return why;
    }
    {
        SigpipeHeld held;
        why = WriteAll(fd, bytes);
    }
    if (::close(fd) != 0 && why.empty()) {
        why = Why(errno);
    }
    return why;
}

std::string WriteDescriptor(int fd, std::string_view bytes) {
    // What the program printed before comes first.
    if (std::fflush(fd == STDERR_FILENO ? stderr : stdout) != 0) {
        return Why(errno);
    }
    return WriteAll(fd, bytes);
}

} // namespace

std::string SaveFile(const std::string& path, std::string_view bytes, SaveRules rules) {
    const Target t = Resolve(path, rules.links);
    switch (t.kind) {
    case Kind::Descriptor:
        return WriteDescriptor(t.fd, bytes);
    case Kind::Replace:
        return Replace(t, bytes, rules);
    case Kind::Into:
        return WriteInto(t, bytes);
    case Kind::Refused:
        break;
    }
    return t.why;
}

std::string CheckOutput(const std::string& path) {
    const Target t = Resolve(path);
    switch (t.kind) {
    case Kind::Descriptor: {
        const int mode = ::fcntl(t.fd, F_GETFL) & O_ACCMODE;
        return mode == O_WRONLY || mode == O_RDWR ? std::string() : "not open for writing";
    }
    case Kind::Into:
        return ::access(t.path.c_str(), W_OK) == 0 ? std::string() : Why(errno);
    case Kind::Replace: {
        const std::string dir = DirOf(t.path);
        struct stat st {};
        if (::stat(dir.c_str(), &st) != 0) {
            return Why(errno);
        }
        if (!S_ISDIR(st.st_mode)) {
            return Why(ENOTDIR);
        }
        if (::access(dir.c_str(), W_OK | X_OK) != 0 ||
            (t.exists && ::access(t.path.c_str(), W_OK) != 0)) {
            return Why(errno);
        }
        return {};
    }
    case Kind::Refused:
        break;
    }
    return t.why;
}

OutputStream::~OutputStream() {
    if (ownFd_ && fd_ >= 0) {
        ::close(fd_);
    }
}

std::string OutputStream::open(const std::string& path) {
    const Target t = Resolve(path);
    std::string why;
    switch (t.kind) {
    case Kind::Descriptor:
        fd_ = t.fd;
        ownFd_ = false;
        return WriteDescriptor(fd_, {});
    case Kind::Replace:
        fd_ = ::open(t.path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd_ < 0) {
            return Why(errno);
        }
        ownFd_ = regular_ = true;
        return {};
    case Kind::Into:
        fd_ = OpenInto(t, &why);
        ownFd_ = fd_ >= 0;
        pipe_ = t.fifo;
        return why;
    case Kind::Refused:
        break;
    }
    return t.why;
}

std::string OutputStream::write(std::string_view bytes) {
    if (fd_ < 0) {
        return Why(EBADF);
    }
    if (pipe_) {
        SigpipeHeld held;
        return WriteAll(fd_, bytes);
    }
    return WriteAll(fd_, bytes);
}

std::string OutputStream::close() {
    if (fd_ < 0 || !ownFd_) {
        fd_ = -1;
        return {};
    }
    std::string why;
    if (regular_ && ::fsync(fd_) != 0) {
        why = Why(errno);
    }
    if (::close(fd_) != 0 && why.empty()) {
        why = Why(errno);
    }
    fd_ = -1;
    return why;
}

namespace {

bool ReadFile(const std::string& path, std::size_t limit, bool ownerOnly, Links links,
              std::string* text, std::string* why) {
    // Non-blocking, so that a named pipe or a device cannot hold the program; only regular
    // files hold data.
    const int noFollow = links == Links::Refuse ? O_NOFOLLOW : 0;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | noFollow);
    if (fd < 0) {
        *why = noFollow != 0 && errno == ELOOP ? kLinkRefused : Why(errno);
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        *why = "not a regular file";
        ::close(fd);
        return false;
    }
    if (ownerOnly && (st.st_mode & 077) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 0777));
        *why = std::string("group or others may read or write it (mode ") + mode + "); chmod 600 " +
               path;
        ::close(fd);
        return false;
    }
    text->assign(limit, '\0');
    std::size_t have = 0;
    while (have < limit) {
        const ssize_t n = ::read(fd, text->data() + have, limit - have);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            *why = Why(errno);
            ::close(fd);
            return false;
        }
        if (n == 0) {
            break;
        }
        have += static_cast<std::size_t>(n);
    }
    ::close(fd);
    text->resize(have);
    return true;
}

} // namespace

bool ReadRegularFile(const std::string& path, std::size_t limit, std::string* text,
                     std::string* why, Links links) {
    return ReadFile(path, limit, false, links, text, why);
}

bool ReadOwnerOnlyFile(const std::string& path, std::size_t limit, std::string* text,
                       std::string* why) {
    return ReadFile(path, limit, true, Links::Follow, text, why);
}

std::string MakeFolders(const std::string& path, unsigned mode) {
    if (path.empty()) {
        return "no folder name";
    }
    // Each folder from the top down: only one this call makes gets the mode.
    for (std::size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
        const std::string folder = path.substr(0, end);
        if (!folder.empty() && folder.back() != '/') {
            if (::mkdir(folder.c_str(), static_cast<mode_t>(mode)) == 0) {
                if (::chmod(folder.c_str(), static_cast<mode_t>(mode)) != 0) {
                    return folder + ": " + Why(errno);
                }
            } else if (errno != EEXIST) {
                return folder + ": " + Why(errno);
            }
        }
        if (end == std::string::npos) {
            break;
        }
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return path + ": " + Why(errno);
    }
    return S_ISDIR(st.st_mode) ? std::string() : path + ": " + Why(ENOTDIR);
}

std::string RemoveFile(const std::string& path) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
        return Why(errno);
    }
    StepDone();
    return {};
}

bool IsCharacterDevice(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode);
}

} // namespace zurid::platform
