// Installs a package into the slot that is not running, in steps each made
// durable before the next begins, so that a power cut at any point leaves a
// device that boots: the booted slot is never written, and the bootloader is
// told to try the new slot only once it was written, synced, read back and
// recorded.
//
//   lock → booted slot → header → target → judge → pre-install hook → open target
//   → mark target bad → write image → sync → read back → record → post-install hook
//   → target first in the boot order with its tries
//
// A package whose filetype no class takes, in a description with classes that
// take fragments, is a firmware file of several images: its image is checked
// and staged, its fragments mapped to their classes (CImageSplit), then the
// target boot name is marked bad once, each fragment written, synced, read back
// and recorded in its class's target slot, and the bootloader switched for
// them all only after the last.
//
// Every refusal before "mark target bad" leaves the slots and the bootloader
// as they were.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "CChunkIndex.h"
#include "CImageSplit.h"
#include "CInstallLock.h"
#include "CPackageCheck.h"
#include "CPackageHeader.h"
#include "CPackageSource.h"
#include "CPackageTrust.h"
#include "CSlot.h"
#include "CSlotRecord.h"
#include "CSlotWriter.h"
#include "CSystem.h"
#include "InstallError.h"


class CInstaller {
  public:
    struct Options {
        bool allowDowngrade = false;  // min-version is not the booted slot's version
        unsigned tries = 0;           // the new slot's tries; 0: the description's
    };

    struct Result {
        InstallError error = InstallError::Ok;
        PackageError verdict = PackageError::Ok;  // of a refused package
        std::string problem;                      // "FILE: reason"
        std::string slot;                         // the target, "rootfs.B"
        std::string bootName;                     // "B"
        std::string device;
        SlotRecord record;  // what was installed
        // A package with a chunk index, written chunk by chunk: the bytes the
        // target held already, those copied from the booted slot, those read
        // from the package.
        bool chunked = false;
        uint64_t present = 0;
        uint64_t reused = 0;
        uint64_t fetched = 0;
    };

    explicit CInstaller(CSystem& system) : m_system(system) {}

    // Installs the package file `package` (a file that can be read twice).
    const Result& Install(const std::string& package, const Options& options);
    // Installs the package `source` reads (a file, a server); a stream slot
    // gets its image in a second read of the package, of the bytes the first
    // verified.
    const Result& Run(CPackageSource& source, const Options& options);
    const Result& GetResult() const { return m_result; }
    // What was installed from `package`, as the JSON document "fwkit install
    // --json" prints (schema fwkit-install/1).
    static std::string ResultJson(const std::string& package, const Result& result);

  private:
    InstallError TakeLock();
    InstallError ReadHeader(CPackageSource& package);
    InstallError ChooseTarget();
    InstallError LoadKeys();
    InstallError JudgeHeader();
    InstallError CheckBase();
    InstallError RunHook(const std::string& hook);
    InstallError OpenTarget();
    InstallError MarkTargetBad();
    InstallError WriteImage(CPackageSource& package);
    InstallError SyncTarget();
    InstallError ReadBack(CSlot& target, uint64_t size, const std::string& written);
    InstallError RecordStatus(const CSlot& target, uint64_t size, const std::string& sha256);
    InstallError SwitchBootloader();
    InstallError StageImages(CPackageSource& package);
    // Whether the image goes in chunk by chunk: a plain package with an index
    // (into a raw slot in place, into a file slot through a partial file beside it).
    bool Chunked() const;
    InstallError LoadIndex(CPackageSource& package);
    InstallError WriteChunks(CPackageSource& package);
    InstallError WriteParts();

    InstallError CheckTarget(CSlot& target, CSlot& booted);
    InstallError ReadBootedRecord();
    // The slots written: the one target, or those of a split firmware file.
    std::vector<const CSlot*> Targets() const;

    void ConfigureTrust(CPackageTrust& trust) const;
    // The refusal of a package whose check failed.
    InstallError RefusePackage(const CPackageCheck::Result& result);
    InstallError Fail(InstallError error, const std::string& problem,
                      PackageError verdict = PackageError::Ok);

    CSystem& m_system;
    Options m_options;
    Result m_result;
    std::unique_ptr<CInstallLock> m_lock;
    CPackageHeader m_header;
    std::vector<CEd25519Key> m_keys;
    const SlotClass* m_class = nullptr;
    std::unique_ptr<CSlot> m_booted;  // the booted slot of the class
    std::unique_ptr<CSlot> m_target;
    bool m_bootedRecorded = false;
    SlotRecord m_bootedRecord;
    std::unique_ptr<CSlotWriter> m_writer;
    std::unique_ptr<CImageSplit> m_images;         // a package split by its fragments
    std::vector<std::unique_ptr<CSlot>> m_targets;  // their target slots, in the same order
    std::string m_package;
    std::string m_writtenSha256;  // of the image as it went to the slot
    uint64_t m_writtenSize = 0;
    CChunkIndex m_index;
};
