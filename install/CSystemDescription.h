// The system description a device keeps (/etc/fwkit/system.conf by default):
// what the device is, which keys it trusts, its bootloader, and its slot
// classes, each with two or more slots. An INI file read with libinih; keys
// are lower case, ';' starts a comment. Read refuses a wrong or incomplete
// description with "FILE:LINE: reason" before anything is touched.
//
//   [system]            compatible, keyring, threshold, bootloader, cmdline,
//                       state, tries, pre-install, post-install
//   [uboot]             config (libubootenv's file of environment copies)
//   [grub]              env (the 1024-byte grubenv)
//   [script]            command (called as COMMAND get VAR / COMMAND set VAR VALUE)
//   [class NAME]        filetype = the package's filetype line, or fragment =
//                       NAME (or type=N) of a logical firmware file
//   [slot CLASS.BOOT]   device (a path, PARTLABEL=..., PARTUUID=...), kind
//                       (raw | file), bootname (BOOT by default)
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct SlotDescription {
    enum class Kind { Raw, File };
    std::string name;       // "rootfs.A"
    std::string className;  // "rootfs"
    std::string device;     // as written: a path, PARTLABEL=... or PARTUUID=...
    std::string bootName;   // "A"
    Kind kind = Kind::Raw;
    int line = 0;           // of its section header
};

struct SlotClass {
    // A fragment given by its type rather than its name: "type=N".
    static constexpr char kFragmentType[] = "type=";
    static constexpr size_t kFragmentTypeLength = sizeof kFragmentType - 1;

    std::string name;
    std::string filetype;   // the package's filetype line this class takes
    std::string fragment;   // or the fragment of a logical firmware file: a name or "type=N"
    int line = 0;
};

struct SystemDescription {
    std::string file;
    std::string compatible;
    std::string keyring;
    unsigned threshold = 1;
    std::string bootloader;  // "uboot", "grub" or "script"
    std::string cmdline = "/proc/cmdline";
    std::string state = "/var/lib/fwkit";
    unsigned tries = 3;
    std::string preInstall;
    std::string postInstall;
    std::string ubootConfig = "/etc/fw_env.config";
    std::string grubEnv = "/boot/grub/grubenv";
    std::string scriptCommand;
    std::vector<SlotClass> classes;  // in the order the description names them
    std::vector<SlotDescription> slots;     // likewise

    const SlotClass* FindClass(const std::string& name) const;
    // The slot of `className` booted as `bootName`, or null.
    const SlotDescription* FindSlot(const std::string& className, const std::string& bootName) const;
    // The boot names, in the order the first class's slots are named.
    std::vector<std::string> BootNames() const;
};

class CSystemDescription {
  public:
    static constexpr char kDefaultPath[] = "/etc/fwkit/system.conf";
    static constexpr unsigned kMaxTries = 1000;

    // Reads and checks the description at `path`; false with Problem() set
    // ("FILE:LINE: reason", or "FILE: reason" when it cannot be read).
    bool Read(const std::string& path);
    const SystemDescription& Get() const { return m_system; }
    const std::string& Problem() const { return m_problem; }

    // Called by the INI reader for each key; false after Refuse.
    bool Take(const std::string& section, const std::string& key, const std::string& value);
    // Called for each line as it is read, with its number.
    bool SeeLine(const char* line, int number, bool complete);

  private:
    bool Refuse(int line, const std::string& reason);
    bool TakeSystem(const std::string& key, const std::string& value);
    bool TakeBackend(const std::string& section, const std::string& key, const std::string& value);
    bool TakeClass(SlotClass& entry, const std::string& key, const std::string& value);
    bool TakeSlot(SlotDescription& entry, const std::string& key, const std::string& value);
    bool TakeNumber(const std::string& key, const std::string& value, uint64_t min, uint64_t max,
                    unsigned& into);
    bool OpenSection(const std::string& header, int number);
    bool Check();
    bool CheckSystem();
    bool CheckClass(const SlotClass& entry, const std::vector<std::string>& bootNames);
    bool CheckSlot(const SlotDescription& entry, size_t index);

    SystemDescription m_system;
    std::string m_problem;
    int m_line = 0;  // the line being read
    int m_lines = 0;
    std::map<std::string, int> m_sections;       // section header → its line
    std::map<std::string, bool> m_seen;          // "section/key" already given
};
