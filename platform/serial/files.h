// Every file the program writes goes through here, checked to the end (every write, the sync,
// the rename, the close), and the files it reads as data are read from here: only regular
// files, so that a named pipe or a device named by mistake cannot hold the program.
//
// What an output name means:
//   "-", "/dev/stdout",    the program's own open descriptor, written into as it is (opened by
//   "/dev/fd/N"            name, the file the shell redirected it to would be replaced).
//   a regular file         replaced at once: a temporary file in the same folder is written and
//   or a new name          synced, renamed over the name, and the folder is synced. Until the
//                          rename the old file stays as it was; a failure leaves no temporary
//                          file behind. The file keeps its permissions (a new one gets 0666 less
//                          the umask); a symbolic link stays a link and its target is replaced.
//   an existing character  written into as it is: never replaced, truncated or created. A FIFO
//   device or FIFO         that nobody reads does not hold the program: the opening waits up to
//                          kFifoReaderWaitMs for a reader, then fails; once open, writes block
//                          as they do on a pipe.
//   anything else          (a folder, a block device, a socket, a link to nothing): refused.
//
// A folder the program keeps for itself (a backup's) takes rules of its own: a symbolic link
// planted there is refused, not followed, so that nothing is read or written elsewhere through
// it, and what the program writes there is its owner's alone (SaveRules, Links::Refuse).
//
// Test hook: with ZURID_KILL_AFTER_WRITES=N in the environment the process kills itself
// (SIGKILL) after its Nth step that changes a folder: a temporary file written and synced, a
// rename, a removal. Crash tests use it to stop a run at every such point in turn.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace zurid::platform {

inline constexpr int kFifoReaderWaitMs = 3000;

// Whether a name that is a symbolic link is followed (an output the user named may be one) or
// refused ("a symbolic link, not followed").
enum class Links { Follow, Refuse };

struct SaveRules {
    Links links = Links::Follow;
    int mode = -1; // the file's permissions whatever the umask or an earlier file's; -1: as above
};
// A file in a folder the program keeps for itself: no link followed, mode 0600.
inline constexpr SaveRules kPrivateFile{Links::Refuse, 0600};

// Writes `bytes` as the whole content of `path`. Returns "" or why not (the system's words,
// without the name).
std::string SaveFile(const std::string& path, std::string_view bytes, SaveRules rules = {});

// Makes the folder `path` and every missing folder above it with exactly `mode`, whatever the
// umask; a folder that exists is left as it is. "" or why not (naming the folder that failed).
std::string MakeFolders(const std::string& path, unsigned mode = 0700);

// Whether `path` can be written as above now: asked before a sensor is, so that nothing is read
// or sent in vain. "" or why not ("no file name" for an empty one).
std::string CheckOutput(const std::string& path);

// Output that comes line by line (live data as CSV): a regular file is created or truncated
// and written in place, so that every line written stays even when the program is killed; a
// device, FIFO or "-" as above. Every write is whole or reported.
class OutputStream {
  public:
    OutputStream() = default;
    OutputStream(const OutputStream&) = delete;
    OutputStream& operator=(const OutputStream&) = delete;
    ~OutputStream();

    std::string open(const std::string& path);
    std::string write(std::string_view bytes);
    // Syncs a regular file and closes; "" or why not.
    std::string close();

  private:
    int fd_ = -1;
    bool ownFd_ = false;
    bool regular_ = false;
    bool pipe_ = false;
};

// Reads at most `limit` bytes of a regular file into `text` (ask for one more than you accept to
// see that a file is too long); false with the reason in `why` (the system's words, or "not a
// regular file"). With Links::Refuse a link at `path` itself is refused.
bool ReadRegularFile(const std::string& path, std::size_t limit, std::string* text,
                     std::string* why, Links links = Links::Follow);

// The same for a file that holds a secret (a token, a password): it must also be closed to group
// and others, judged on the file opened, else `why` says so and how to mend it ("chmod 600").
bool ReadOwnerOnlyFile(const std::string& path, std::size_t limit, std::string* text,
                       std::string* why);

// Removes a file; "" or why not. A file that is gone already counts as removed.
std::string RemoveFile(const std::string& path);

// Whether `path` is an existing character device, a link followed (a serial port, a
// pseudo-terminal, a /dev/serial link to one).
bool IsCharacterDevice(const std::string& path);

} // namespace zurid::platform
