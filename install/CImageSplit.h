// The image of a package that is a firmware file of several images (a
// logical firmware file), split among the description's classes that take
// fragments. The package is checked with its image staged in the state
// directory (put in place only when every check passed), the staged file is
// parsed with every header and body checked, and each physical fragment is
// mapped to the class that names it (fragment = NAME) or its type
// (fragment = type=N). Every fragment must go to a class, and no class takes
// two. The staged file is removed when the object goes away.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "CFirmwareFile.h"
#include "CPackageSource.h"
#include "CPackageCheck.h"
#include "CSystemDescription.h"
#include "Output.h"

class CImageSplit {
  public:
    struct Part {
        const SlotClass* slotClass = nullptr;  // the class it goes to
        unsigned index = 0;               // of the fragment in the firmware file
        std::string name;                 // the fragment's
        uint64_t offset = 0;              // of its body in the staged file
        uint64_t size = 0;
    };

    explicit CImageSplit(const std::string& state) : m_path(state + "/image.fw") {}
    ~CImageSplit();
    CImageSplit(const CImageSplit&) = delete;
    CImageSplit& operator=(const CImageSplit&) = delete;

    // Runs `check` over `package`, its image staged; the check's result.
    const CPackageCheck::Result& Stage(CPackageCheck& check, CPackageSource& package);
    // Parses the staged image and maps its fragments to the classes of
    // `system`; false with Problem().
    bool Map(const SystemDescription& system);
    const std::vector<Part>& Parts() const { return m_parts; }
    // Writes the body of `part` into `output` and puts it in place; false with Problem().
    bool Write(const Part& part, Core::File::Output& output);
    // The SHA-256 of the body of `part` as staged; false with Problem().
    bool Digest(const Part& part, std::string& sha256);

    const std::string& Path() const { return m_path; }
    const std::string& Problem() const { return m_problem; }

  private:
    bool Fail(const std::string& problem);
    const SlotClass* ClassOf(const SystemDescription& system, unsigned index);

    std::string m_path;
    std::unique_ptr<Core::File::Output> m_staged;
    std::unique_ptr<CFirmwareFile> m_file;
    std::vector<Part> m_parts;
    std::string m_problem;
};
