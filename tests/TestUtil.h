// Helpers shared by the tests: scratch directories, whole-file I/O and running
// the built programs.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace testutil {

using Bytes = std::vector<uint8_t>;

// A scratch directory removed with everything in it when the object goes.
class TempDir {
  public:
    TempDir() {
        char name[] = "/tmp/fwkit-test-XXXXXX";
        const char* made = mkdtemp(name);
        m_path = made != nullptr ? made : "/tmp";
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

inline Bytes ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

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

// Deterministic pseudo-random bytes.
inline Bytes RandomBytes(size_t size, uint32_t seed = 1) {
    std::mt19937 gen(seed);
    Bytes bytes(size);
    for (auto& b : bytes)
        b = static_cast<uint8_t>(gen());
    return bytes;
}

inline Bytes ToBytes(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

struct RunResult {
    int status = -1;  // exit status, or -1 when the program did not exit normally
    std::string out;
    std::string err;
};

// A command that starts one of the built programs (by its absolute path,
// quoted or not) runs behind the words of FWKIT_RUN_PREFIX when that is set,
// e.g. under a memory checker; helpers such as ls or md5sum run as they are.
inline std::string WithRunPrefix(const std::string& command) {
    const char* prefix = std::getenv("FWKIT_RUN_PREFIX");
    if (prefix == nullptr || *prefix == '\0')
        return command;
    const bool program = command.rfind('/', 0) == 0 || command.rfind("'/", 0) == 0;
    return program ? std::string(prefix) + " " + command : command;
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

}  // namespace testutil
