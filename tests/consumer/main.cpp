// consumer DATA OUT: packs DATA into the firmware file OUT through the shared
// library, then prints a package header for it made with fwkit's CHeaderFile,
// with the SHA-256 of "abc" (libcrypto reaches the program through fwkit).
#include <fwkit/CHeaderFile.h>
#include <fwkit/CSha256.h>
#include <fwkit/Core.h>

#include <cstdio>
#include <string>

extern "C" unsigned FwinfoPackAndCount(const char* data, const char* out);

int main(int argc, char** argv) {
    if (argc != 3)
        return 2;
    const unsigned fragments = FwinfoPackAndCount(argv[1], argv[2]);
    CHeaderFile header;
    header.SetHeader("fragments", std::to_string(fragments));
    header.SetHeader("version", std::to_string(Core::Version::ToNumber(1, 2, 3)));
    header.SetHeader("sha256", CSha256::Hex(CSha256::Of("abc", 3)));
    std::printf("%s: fragments=%s version=%s sha256=%.8s\n", argv[2],
                header.GetHeader("fragments").c_str(), header.GetHeader("version").c_str(),
                header.GetHeader("sha256").c_str());
    return fragments == 1 ? 0 : 1;
}
