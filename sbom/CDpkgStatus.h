// What dpkg records of the packages installed in a system: its status file
// (var/lib/dpkg/status, paragraphs of "Field: value" lines) and the
// machine-readable copyright files of /usr/share/doc.
#pragma once

#include <string>
#include <vector>

class CDpkgStatus {
  public:
    struct Package {
        std::string name;
        std::string version;
        std::string architecture;
        std::string source;         // the source package, the package's own name when none is given
        std::string sourceVersion;  // when the Source field gives one, else the version
        bool multiArchSame = false;  // its files are listed in NAME:ARCH.list
    };

    // The packages the status file `status` says are installed, sorted by name
    // and then architecture.
    static std::vector<Package> Installed(const std::string& status);
    // The licence a machine-readable copyright file gives for all its files:
    // the License field of its "Files: *" paragraph; empty when it names none.
    // Given the start of the file only (`whole` false), `decided` says whether
    // that start was enough to tell.
    static std::string License(const std::string& copyright, bool whole = true,
                               bool* decided = nullptr);
};
