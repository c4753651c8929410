// The shared library of the consumer project: packs a data file into a
// physical firmware file with fwkit and reads it back.
#include <fwkit/CFirmwareFile.h>

#include <string>

extern "C" unsigned FwinfoPackAndCount(const char* data, const char* out) {
    CFirmwareFile built(data, out, 400, 1, 2, "consumer", 3, 4, 5, 2024);
    if (!built.WriteComplete())
        return 0;
    CFirmwareFile parsed{std::string(out)};
    return parsed.ParseComplete() ? parsed.NoFragments() : 0;
}
