// Helpers shared by the tests: scratch directories, whole-file I/O and running
// the built programs. What handles whole files and data is compiled once, with
// the libraries' optimisation (TestUtil.cpp), as the test programs are not
// optimised and these helpers carry megabytes.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace testutil {

using Bytes = std::vector<uint8_t>;

// A scratch directory removed with everything in it when the object goes.
class TempDir {
  public:
    explicit TempDir(const std::string& parent = "/tmp") {
        std::string name = parent + "/fwkit-test-XXXXXX";
        const char* made = mkdtemp(name.data());
        m_path = made != nullptr ? made : parent;
    }
    ~TempDir() {
        const std::string cmd =
            "chmod -R u+rwx '" + m_path + "' 2>/dev/null; rm -rf '" + m_path + "'";
        if (std::system(cmd.c_str()) != 0) {
        }
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }

  private:
    std::string m_path;
};

// The whole file (empty when it cannot be read).
Bytes ReadBytes(const std::string& path);

inline std::string ReadText(const std::string& path) {
    const Bytes bytes = ReadBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

inline void WriteBytes(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

inline void WriteText(const std::string& path, const std::string& text) {
    WriteBytes(path, Bytes(text.begin(), text.end()));
}

inline bool Exists(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}

// Extends (or makes) `path` to `size` bytes with zeros that take no room on disk;
// false when the file system has no such files.
inline bool ExtendSparse(const std::string& path, uint64_t size) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0600);
    struct stat st {};
    const bool ok = fd >= 0 && ftruncate(fd, static_cast<off_t>(size)) == 0 &&
                    fstat(fd, &st) == 0 && st.st_blocks < (off_t{1} << 15);
    if (fd >= 0)
        close(fd);
    return ok;
}

// `command` with files limited to 1 KiB and SIGXFSZ ignored: a write past that fails
// (EFBIG), so a program shows it would write a large output without writing it.
inline std::string WithSmallFiles(const std::string& command) {
    return "trap '' XFSZ; ulimit -f 1; " + command;
}

// Deterministic pseudo-random bytes.
Bytes RandomBytes(size_t size, uint32_t seed = 1);

inline Bytes ToBytes(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

struct RunResult {
    int status = -1;  // exit status, or -1 when the program did not exit normally
    std::string out;
    std::string err;
};

// Whether the programs are built for another processor than this machine's,
// whose installed modules they then cannot load.
#ifdef FWKIT_FOREIGN_HOST
inline constexpr bool kForeignHost = true;
#else
inline constexpr bool kForeignHost = false;
#endif

// Whether the programs run under an emulator, whose own memory comes on top of theirs.
#ifdef FWKIT_EMULATED
inline constexpr bool kEmulated = true;
#else
inline constexpr bool kEmulated = false;
#endif

// A command that starts one of the built programs (by its absolute path,
// quoted or not) runs behind the words of FWKIT_RUN_PREFIX when that is set,
// e.g. under a memory checker; helpers such as ls or md5sum run as they are.
inline std::string WithRunPrefix(const std::string& command) {
    const char* prefix = std::getenv("FWKIT_RUN_PREFIX");
    const bool program = command.rfind('/', 0) == 0 || command.rfind("'/", 0) == 0;
    if (!program)
        return command;
    return prefix != nullptr && *prefix != '\0' ? std::string(prefix) + " " + command : command;
}

// Runs `command` through the shell in directory `cwd`, capturing standard
// output and standard error separately.
inline RunResult Run(const std::string& command, const std::string& cwd) {
    char outName[] = "/tmp/fwkit-out-XXXXXX";
    char errName[] = "/tmp/fwkit-err-XXXXXX";
    close(mkstemp(outName));
    close(mkstemp(errName));
    const std::string full = "cd '" + cwd + "' && " + WithRunPrefix(command) + " </dev/null >" +
                             outName + " 2>" + errName;
    const int raw = std::system(full.c_str());
    RunResult result;
    if (raw != -1 && WIFEXITED(raw))
        result.status = WEXITSTATUS(raw);
    result.out = ReadText(outName);
    result.err = ReadText(errName);
    unlink(outName);
    unlink(errName);
    return result;
}

// Quotes `arg` for the shell.
inline std::string Quote(const std::string& arg) {
    std::string quoted = "'";
    for (char c : arg) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

// Flips byte `at` of `path` in place: same size, other content.
inline void FlipByte(const std::string& path, size_t at) {
    const Bytes bytes = ReadBytes(path);
    const int fd = open(path.c_str(), O_WRONLY);
    if (fd < 0 || at >= bytes.size())
        return;
    const uint8_t flipped = static_cast<uint8_t>(bytes[at] ^ 0x5A);
    if (pwrite(fd, &flipped, 1, static_cast<off_t>(at)) != 1) {
    }
    close(fd);
}

inline void FlipLastByte(const std::string& path) {
    FlipByte(path, ReadBytes(path).size() - 1);
}

// Runs `run`, a program writing into the FIFO `pipe`, while this thread reads the FIFO,
// and calls `change` once the first bytes arrive: what the program read before writing
// them is then behind it, and a large input is still mostly ahead of it, since the FIFO
// holds little. Returns the bytes received.
inline size_t ReadFifoChangingInput(const std::string& pipe, const std::function<void()>& run,
                                    const std::function<void()>& change) {
    if (mkfifo(pipe.c_str(), 0600) != 0)
        return 0;
    const int fd = open(pipe.c_str(), O_RDONLY | O_NONBLOCK);
    std::thread writer([&] {
        run();
        // Ends the reader's wait even when the program never opened the pipe.
        const int end = open(pipe.c_str(), O_WRONLY | O_NONBLOCK);
        if (end >= 0)
            close(end);
    });
    size_t received = 0;
    bool changed = false;
    std::vector<char> chunk(65536);
    for (;;) {
        pollfd wait = {fd, POLLIN, 0};
        poll(&wait, 1, -1);
        const ssize_t got = read(fd, chunk.data(), chunk.size());
        if (got > 0) {
            received += static_cast<size_t>(got);
            if (!changed)
                change();
            changed = true;
        } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
            break;
        }
    }
    close(fd);
    writer.join();
    return received;
}

}  // namespace testutil
