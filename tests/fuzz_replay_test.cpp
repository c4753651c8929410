// Replays every committed fuzz input (the seed corpora in fuzz/corpus and the
// inputs that once broke a parser, in fuzz/regressions) through the fuzz
// targets' own entry functions, built here without libFuzzer. Under the
// sanitizer build this finds again any fault a committed input has shown.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "TestUtil.h"

extern "C" int FuzzFirmwareFile(const uint8_t* data, size_t size);
extern "C" int FuzzFragment(const uint8_t* data, size_t size);
extern "C" int FuzzHeaderFile(const uint8_t* data, size_t size);
extern "C" int FuzzVorelBuffer(const uint8_t* data, size_t size);
extern "C" int FuzzPackageCheck(const uint8_t* data, size_t size);

namespace {

namespace fs = std::filesystem;

struct Target {
    const char* name;
    int (*entry)(const uint8_t*, size_t);
};

// The library reports damaged input on standard output; while a target runs
// that goes to /dev/null, so the test's own report stays readable.
class QuietStdout {
  public:
    QuietStdout() {
        std::cout.flush();
        std::fflush(stdout);
        m_saved = dup(STDOUT_FILENO);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        close(null);
    }
    ~QuietStdout() {
        std::cout.flush();
        std::fflush(stdout);
        dup2(m_saved, STDOUT_FILENO);
        close(m_saved);
    }
    QuietStdout(const QuietStdout&) = delete;
    QuietStdout& operator=(const QuietStdout&) = delete;

  private:
    int m_saved;
};

std::vector<fs::path> InputsIn(const fs::path& dir) {
    std::vector<fs::path> files;
    if (fs::is_directory(dir)) {
        for (const auto& entry : fs::directory_iterator(dir)) {
            if (entry.is_regular_file())
                files.push_back(entry.path());
        }
    }
    return files;
}

class FuzzReplay : public ::testing::TestWithParam<Target> {
  protected:
    // Runs every input of `dir`; returns how many there were.
    size_t Replay(const fs::path& dir) {
        const std::vector<fs::path> inputs = InputsIn(dir);
        for (const fs::path& input : inputs) {
            const testutil::Bytes bytes = testutil::ReadBytes(input.string());
            int result = 0;
            {
                QuietStdout quiet;
                result = GetParam().entry(bytes.data(), bytes.size());
            }
            EXPECT_EQ(result, 0) << input;
        }
        return inputs.size();
    }
};

TEST_P(FuzzReplay, SeedsAndRegressionsRunCleanly) {
    const fs::path fuzz = fs::path(SOURCE_DIR) / "fuzz";
    EXPECT_GT(Replay(fuzz / "corpus" / GetParam().name), 0u) << "no seeds for " << GetParam().name;
    Replay(fuzz / "regressions" / GetParam().name);
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzReplay,
                         ::testing::Values(Target{"firmware_file", FuzzFirmwareFile},
                                           Target{"fragment", FuzzFragment},
                                           Target{"header_file", FuzzHeaderFile},
                                           Target{"vorel_buffer", FuzzVorelBuffer},
                                           Target{"package_check", FuzzPackageCheck}),
                         [](const ::testing::TestParamInfo<Target>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
