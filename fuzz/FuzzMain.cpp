// Linked into every libFuzzer target: the library reports damaged input on
// standard output, which would only slow the fuzzer down, so it goes nowhere.
#include <cstdio>

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    if (std::freopen("/dev/null", "w", stdout) == nullptr)
        return 0;
    return 0;
}
