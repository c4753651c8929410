#include "CInstaller.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <iterator>
#include <vector>
#include <nlohmann/json.hpp>

#include "CChunkInstall.h"
#include "CFileSource.h"
#include "CMemoryBuffer.h"
#include "CPackageCheck.h"
#include "CProgramRun.h"
#include "Core.h"
#include "FilePath.h"
#include "Parse.h"

namespace {

// A keyring larger than this holds no keys a device keeps.
constexpr size_t kMaxKeyring = 1u << 20;

// A file slot's image is put together chunk by chunk in the file of this
// suffix beside it, kept when an install is cut short so that the next run
// resumes from it, and renamed over the slot once complete.
constexpr const char* kPartial = ".part";

// Opens or creates the partial file at `path`, with the mode of the slot at
// `slot` when there is one, and sizes it to `size`; empty, or why not.
std::string SizePartial(const std::string& path, const std::string& slot, uint64_t size) {
    const Core::File::ClosedAtEnd file{
        open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644)};
    struct stat st {};
    if (file.fd < 0 || ftruncate(file.fd, static_cast<off_t>(size)) != 0 ||
        (stat(slot.c_str(), &st) == 0 && fchmod(file.fd, st.st_mode & 07777) != 0))
        return std::strerror(errno);
    return "";
}

// Renames the complete partial file over the slot, durably; empty, or why not.
std::string PutInPlace(const std::string& partial, const std::string& slot) {
    if (rename(partial.c_str(), slot.c_str()) != 0)
        return std::strerror(errno);
    const Core::File::ClosedAtEnd dir{
        open(Core::File::DirName(slot).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    if (dir.fd < 0 || (fsync(dir.fd) != 0 && errno != EINVAL))
        return std::strerror(errno);
    return "";
}

}  // namespace

InstallError CInstaller::Fail(InstallError error, const std::string& problem,
                              PackageError verdict) {
    m_result.error = error;
    m_result.verdict = verdict;
    m_result.problem = problem;
    return error;
}

const CInstaller::Result& CInstaller::Install(const std::string& package, const Options& options) {
    CFileSource source(package);
    return Run(source, options);
}

const CInstaller::Result& CInstaller::Run(CPackageSource& input, const Options& options) {
    m_result = Result();
    m_class = nullptr;
    m_booted.reset();
    m_target.reset();
    m_targets.clear();
    m_bootedRecorded = false;
    m_options = options;
    m_package = input.Name();
    m_writtenSha256.clear();
    m_writtenSize = 0;
    const SystemDescription& system = m_system.Description();
    // The one place that orders the steps; each returns Ok once it is durable.
    const std::vector<std::function<InstallError()>> judge = {
        [&] { return TakeLock(); },
        [&] {
            const InstallError booted = m_system.FindBooted();
            return booted == InstallError::Ok ? booted : Fail(booted, m_system.Problem());
        },
        [&] { return ReadHeader(input); },
        [&] { return ChooseTarget(); },
        [&] { return LoadKeys(); },
        [&] { return JudgeHeader(); },
    };
    // One image into the target slot of its class.
    const std::vector<std::function<InstallError()>> single = {
        [&] { return CheckBase(); },
        [&] { return RunHook(system.preInstall); },
        [&] { return OpenTarget(); },
        [&] { return MarkTargetBad(); },
        [&] { return WriteImage(input); },
        [&] { return SyncTarget(); },
        [&] { return ReadBack(*m_target, m_writtenSize, m_writtenSha256); },
        [&] { return RecordStatus(*m_target, m_writtenSize, m_writtenSha256); },
        [&] { return RunHook(system.postInstall); },
        [&] { return SwitchBootloader(); },
    };
    // One image with a chunk index into a raw slot, only what it lacks written.
    const std::vector<std::function<InstallError()>> chunked = {
        [&] { return LoadIndex(input); },
        [&] { return RunHook(system.preInstall); },
        [&] { return MarkTargetBad(); },
        [&] { return WriteChunks(input); },
        [&] { return ReadBack(*m_target, m_writtenSize, m_writtenSha256); },
        [&] { return RecordStatus(*m_target, m_writtenSize, m_writtenSha256); },
        [&] { return RunHook(system.postInstall); },
        [&] { return SwitchBootloader(); },
    };
    // The fragments of a firmware file into the target slots of their classes,
    // each read back and recorded before the switch.
    const std::vector<std::function<InstallError()>> split = {
        [&] { return StageImages(input); },
        [&] { return RunHook(system.preInstall); },
        [&] { return MarkTargetBad(); },
        [&] { return WriteParts(); },
        [&] { return RunHook(system.postInstall); },
        [&] { return SwitchBootloader(); },
    };
    const auto run = [](const std::vector<std::function<InstallError()>>& steps) {
        for (const auto& step : steps)
            if (step() != InstallError::Ok)
                return false;
        return true;
    };
    if (run(judge))
        run(m_images ? split : Chunked() ? chunked : single);
    if (m_writer)
        m_writer->Abandon();
    m_images.reset();
    m_lock.reset();
    return m_result;
}

InstallError CInstaller::RefusePackage(const CPackageCheck::Result& result) {
    return Fail(InstallError::Package,
                m_package + ": " + PackageErrorText(result.error) +
                    (result.problem.empty() ? "" : ": " + result.problem),
                result.error);
}

InstallError CInstaller::TakeLock() {
    std::string problem;
    if (!CSlotRecord::MakeState(m_system.Description().state, problem))
        return Fail(InstallError::StateFailed, problem);
    m_lock = std::make_unique<CInstallLock>(m_system.Description().state);
    if (m_lock->Take())
        return InstallError::Ok;
    return Fail(m_lock->Busy() ? InstallError::Locked : InstallError::StateFailed,
                m_lock->Problem());
}

InstallError CInstaller::ReadHeader(CPackageSource& package) {
    std::string block;  // the header block's worth, or the whole of a shorter package
    const PackageError got =
        package.Read(0, CPackageHeader::kMaxSize, [&block](const uint8_t* data, size_t size) {
            block.append(reinterpret_cast<const char*>(data), size);
            return true;
        });
    if (got == PackageError::OpenFailed)
        return Fail(InstallError::Package, m_package + ": " + package.Problem(),
                    PackageError::ReadFailed);
    if (got != PackageError::Ok && got != PackageError::CutShort)
        return Fail(InstallError::Package,
                    m_package + ": " + PackageErrorText(got) +
                        (package.Problem().empty() ? "" : ": " + package.Problem()),
                    got);
    CMemoryBuffer buffer(block.data(), block.size());
    const PackageError read = m_header.Read(buffer);
    if (read != PackageError::Ok)
        return Fail(InstallError::Package,
                    m_package + ": " + PackageErrorText(read) +
                        (m_header.Problem().empty() ? "" : ": " + m_header.Problem()),
                    read);
    return InstallError::Ok;
}

InstallError CInstaller::ChooseTarget() {
    const SystemDescription& system = m_system.Description();
    const std::string* filetype = m_header.Find("filetype");
    if (filetype == nullptr)
        return Fail(InstallError::UnknownSlot, m_package + ": the package names no filetype");
    const SlotClass* fragments = nullptr;  // the first class that takes fragments
    for (const SlotClass& entry : system.classes) {
        if (entry.filetype == *filetype)
            m_class = &entry;
        if (!entry.fragment.empty() && fragments == nullptr)
            fragments = &entry;
    }
    if (m_class == nullptr && fragments == nullptr)
        return Fail(InstallError::UnknownSlot,
                    m_package + ": no slot class of " + system.file + " takes filetype " + *filetype);
    const std::vector<std::string> order = m_system.Control().Order();
    for (auto name = order.rbegin(); name != order.rend() && m_result.bootName.empty(); ++name)
        if (*name != m_system.Booted())
            m_result.bootName = *name;
    if (m_class == nullptr) {
        // A package no class takes by its filetype is split by its fragments;
        // its version is held against the booted slot of the first such class.
        m_images = std::make_unique<CImageSplit>(system.state);
        m_booted = std::make_unique<CSlot>(*system.FindSlot(fragments->name, m_system.Booted()));
        return ReadBootedRecord();
    }
    m_target = std::make_unique<CSlot>(*system.FindSlot(m_class->name, m_result.bootName));
    m_booted = std::make_unique<CSlot>(*system.FindSlot(m_class->name, m_system.Booted()));
    m_result.slot = m_target->Described().name;
    m_result.device = m_target->Described().device;
    const InstallError target = CheckTarget(*m_target, *m_booted);
    return target == InstallError::Ok ? ReadBootedRecord() : target;
}

InstallError CInstaller::CheckTarget(CSlot& target, CSlot& booted) {
    if (!target.Resolve())
        return Fail(InstallError::SlotUnavailable, target.Problem());
    if (target.HoldsRoot() || (booted.Resolve() && target.SameAs(booted)))
        return Fail(InstallError::TargetIsBooted, target.Path() + ": slot " + target.Described().name +
                                                      " is the device the system runs from");
    return InstallError::Ok;
}

InstallError CInstaller::ReadBootedRecord() {
    CSlotRecord record = m_system.Record(m_booted->Described().name);
    m_bootedRecorded = record.Read(m_bootedRecord);
    if (!record.Problem().empty())
        return Fail(InstallError::StateFailed, record.Problem());
    return InstallError::Ok;
}

InstallError CInstaller::LoadKeys() {
    const std::string& path = m_system.Description().keyring;
    std::ifstream file(path, std::ios::binary);
    std::string pem;
    if (file) {
        pem.resize(kMaxKeyring + 1);
        file.read(&pem[0], static_cast<std::streamsize>(pem.size()));
        pem.resize(static_cast<size_t>(file.gcount()));
    }
    if (!file && !file.eof())
        return Fail(InstallError::Description, path + ": the keyring cannot be read");
    if (pem.size() > kMaxKeyring)
        return Fail(InstallError::Description, path + ": too large for a keyring");
    std::string problem;
    m_keys = CEd25519Key::KeyringFromPem(pem, problem);
    if (problem.empty() && m_keys.empty())
        problem = "holds no public key";
    return problem.empty() ? InstallError::Ok
                           : Fail(InstallError::Description, path + ": " + problem);
}

void CInstaller::ConfigureTrust(CPackageTrust& trust) const {
    for (const CEd25519Key& key : m_keys)
        trust.AddKey(key);
    trust.SetThreshold(m_system.Description().threshold);
    trust.SetCompatible(m_system.Description().compatible);
    if (m_bootedRecorded && !m_options.allowDowngrade)
        trust.SetMinimumVersion(m_bootedRecord.packed);
}

InstallError CInstaller::JudgeHeader() {
    CPackageTrust trust;
    ConfigureTrust(trust);
    const CPackageTrust::Verdict verdict = trust.Judge(m_header);
    for (const CPackageTrust::Signer& signer : verdict.signers)
        if (signer.state == CPackageTrust::SignatureState::Verified)
            m_result.record.keyIds.push_back(signer.keyId);
    m_result.record.packed = verdict.hasVersion ? verdict.version : 0;
    if (verdict.error == PackageError::Ok)
        return InstallError::Ok;
    std::string why = PackageErrorText(verdict.error);
    if (!verdict.policyRefused.empty())
        why += ": " + verdict.policyRefused + ": " + verdict.policyReason;
    else
        why += std::string(" (") + CPackageTrust::StateText(verdict.signature) + ")";
    return Fail(InstallError::Package, m_package + ": " + why, verdict.error);
}

InstallError CInstaller::CheckBase() {
    if (m_header.GetEncoding() != CPackageHeader::Encoding::ZstdDelta)
        return InstallError::Ok;
    const std::string* base = m_header.Find("base-sha256");
    std::string booted = m_bootedRecorded ? m_bootedRecord.sha256 : "";
    if (!m_bootedRecorded) {
        const int64_t size = m_booted->Capacity();
        if (size < 0 || !m_booted->Digest(static_cast<uint64_t>(size), booted))
            return Fail(InstallError::SlotUnavailable, m_booted->Problem());
    }
    if (base != nullptr && *base == booted)
        return InstallError::Ok;
    return Fail(InstallError::Package,
                m_package + ": a delta against another base than the booted slot " +
                    m_booted->Described().name,
                PackageError::BaseMismatch);
}

InstallError CInstaller::RunHook(const std::string& hook) {
    if (hook.empty())
        return InstallError::Ok;
    CProgramRun run;
    // Several slots (a split firmware file): their devices and classes, separated by spaces.
    std::string devices, classes;
    for (const CSlot* slot : Targets()) {
        devices += (devices.empty() ? "" : " ") + slot->Path();
        classes += (classes.empty() ? "" : " ") + slot->Described().className;
    }
    const bool ran = run.Run({hook}, {{"FWKIT_SLOT", m_result.bootName},
                                      {"FWKIT_DEVICE", devices},
                                      {"FWKIT_CLASS", classes}});
    return ran ? InstallError::Ok : Fail(InstallError::HookFailed, run.Problem());
}

InstallError CInstaller::OpenTarget() {
    m_writer = std::make_unique<CSlotWriter>(*m_target);
    return m_writer->Open() ? InstallError::Ok
                            : Fail(InstallError::SlotUnavailable, m_writer->Problem());
}

InstallError CInstaller::MarkTargetBad() {
    if (!m_system.Control().MarkBad(m_result.bootName))
        return Fail(InstallError::Bootloader, m_system.Env().Problem());
    for (const CSlot* slot : Targets()) {
        CSlotRecord record = m_system.Record(slot->Described().name);
        if (!record.Remove())
            return Fail(InstallError::StateFailed, record.Problem());
    }
    return InstallError::Ok;
}

// The package is checked again as a whole while its image goes to the slot,
// by the library's rule for checked images: the header as above, then the
// image against the header, a delta rebuilt from the booted slot of the class.
// A file slot gets the image in the one pass and is renamed into place only
// when it passed; a raw slot is written in a second pass of bytes verified by
// the first. Either is synced before this returns.
InstallError CInstaller::WriteImage(CPackageSource& package) {
    CPackageCheck check;
    ConfigureTrust(check.Trust());
    std::unique_ptr<CSlot::Mapping> base;
    const bool delta = m_header.GetEncoding() == CPackageHeader::Encoding::ZstdDelta;
    if (delta) {
        const int64_t size =
            m_bootedRecorded ? static_cast<int64_t>(m_bootedRecord.size) : m_booted->Capacity();
        if (size >= 0 && size <= m_booted->Capacity())
            base = m_booted->Map(static_cast<uint64_t>(size));
        if (!base)
            return Fail(InstallError::SlotUnavailable, m_booted->Problem());
        check.SetBase(base->data, base->size);
    }
    const CPackageCheck::Result& result = check.Run(package, m_writer->Output());
    if (result.error == PackageError::WriteFailed) {
        m_writer->OutputFailed();
        return Fail(InstallError::SlotUnavailable, m_writer->Problem());
    }
    if (result.error != PackageError::Ok)
        return RefusePackage(result);
    // What went to the slot: the image, or the image a delta rebuilt.
    const std::string prefix = delta ? "target-" : "";
    std::string size;
    for (const CPackageCheck::Item& item : result.checks) {
        if (item.name == prefix + "sha256")
            m_writtenSha256 = item.computed;
        if (item.name == prefix + "filesize")
            size = item.computed;
    }
    if (!delta)
        m_writtenSha256 = result.sha256;
    m_writtenSize = std::strtoull(size.c_str(), nullptr, 10);
    return InstallError::Ok;
}

InstallError CInstaller::SyncTarget() {
    return m_writer->Finish() ? InstallError::Ok
                              : Fail(InstallError::SlotUnavailable, m_writer->Problem());
}

InstallError CInstaller::ReadBack(CSlot& target, uint64_t size, const std::string& written) {
    std::string sha256;
    if (!target.Digest(size, sha256))
        return Fail(InstallError::SlotUnavailable, target.Problem());
    if (sha256 != written)
        return Fail(InstallError::ReadBackMismatch, target.Path() + ": reads back with SHA-256 " +
                                                        sha256 + ", not " + written +
                                                        " as written");
    return InstallError::Ok;
}

InstallError CInstaller::RecordStatus(const CSlot& target, uint64_t size,
                                      const std::string& sha256) {
    SlotRecord& record = m_result.record;
    record.version = Core::Version::Text(record.packed);
    record.sha256 = sha256;
    record.size = size;
    record.installed = static_cast<int64_t>(std::time(nullptr));
    CSlotRecord file = m_system.Record(target.Described().name);
    return file.Write(record) ? InstallError::Ok : Fail(InstallError::StateFailed, file.Problem());
}

InstallError CInstaller::SwitchBootloader() {
    const unsigned tries = m_options.tries > 0 ? m_options.tries : m_system.Description().tries;
    if (!m_system.Control().MakeNext(m_result.bootName, tries))
        return Fail(InstallError::Bootloader, m_system.Env().Problem());
    return InstallError::Ok;
}

bool CInstaller::Chunked() const {
    return m_target && m_header.GetEncoding() == CPackageHeader::Encoding::None &&
           CChunkIndex::Named(m_header);
}

InstallError CInstaller::LoadIndex(CPackageSource& package) {
    std::string data;
    PackageError error =
        package.ReadAttachment(CChunkIndex::kKind, CPackageAttachment::kMaxIndexSize, data);
    std::string problem = package.Problem();
    if (error == PackageError::Ok) {
        error = m_index.Take(m_header, std::move(data));
        problem = m_index.Problem();
    }
    if (error == PackageError::OpenFailed || error == PackageError::ReadFailed)
        error = PackageError::AttachmentMismatch;  // as pkgcheck judges a missing index
    if (error != PackageError::Ok)
        return Fail(InstallError::Package,
                    m_package + ": " + PackageErrorText(error) + ": " + problem, error);
    if (m_target->Described().kind == SlotDescription::Kind::File)
        return InstallError::Ok;  // a file slot takes any size
    const int64_t capacity = m_target->Capacity();
    if (capacity < 0 || static_cast<uint64_t>(capacity) < m_header.FileSize())
        return Fail(InstallError::SlotUnavailable,
                    capacity < 0 ? m_target->Problem()
                                 : m_target->Path() + ": holds " + std::to_string(capacity) +
                                       " bytes, the image " + std::to_string(m_header.FileSize()));
    return InstallError::Ok;
}

// Each chunk checked against the index before it is written; the whole image
// is read back against the header's signed SHA-256 after.
InstallError CInstaller::WriteChunks(CPackageSource& package) {
    const std::string* sha256 = m_header.Find("sha256");
    if (sha256 == nullptr)
        return Fail(InstallError::Package, m_package + ": a chunk index without a sha256 line",
                    PackageError::NotAPackage);
    uint64_t bootedSize = 0;
    std::string booted;
    if (m_booted->Resolve()) {
        const int64_t capacity = m_booted->Capacity();
        bootedSize = m_bootedRecorded ? m_bootedRecord.size
                                      : static_cast<uint64_t>(std::max<int64_t>(capacity, 0));
        bootedSize = std::min<uint64_t>(bootedSize, static_cast<uint64_t>(std::max<int64_t>(capacity, 0)));
        booted = m_booted->Path();
    }
    const bool file = m_target->Described().kind == SlotDescription::Kind::File;
    const std::string slot = file ? Core::File::FollowLinks(m_target->Path()) : m_target->Path();
    const std::string written = file ? slot + kPartial : slot;
    const std::string sized = file ? SizePartial(written, slot, m_header.FileSize()) : "";
    if (!sized.empty())
        return Fail(InstallError::SlotUnavailable, written + ": " + sized);
    CChunkInstall install(package, m_index, m_header.Size());
    const PackageError error = install.Run(written, booted, bootedSize);
    m_result.chunked = true;
    m_result.present = install.GetCounts().present;
    m_result.reused = install.GetCounts().reused;
    m_result.fetched = install.GetCounts().fetched;
    if (error == PackageError::WriteFailed)
        return Fail(InstallError::SlotUnavailable, m_target->Path() + ": " + install.Problem());
    if (error != PackageError::Ok)
        return Fail(InstallError::Package,
                    m_package + ": " + PackageErrorText(error) + ": " + install.Problem(), error);
    const std::string placed = file ? PutInPlace(written, slot) : "";
    if (!placed.empty())
        return Fail(InstallError::SlotUnavailable, slot + ": " + placed);
    m_writtenSha256 = *sha256;
    m_writtenSize = m_header.FileSize();
    return InstallError::Ok;
}

std::vector<const CSlot*> CInstaller::Targets() const {
    std::vector<const CSlot*> targets;
    if (m_target)
        targets.push_back(m_target.get());
    for (const auto& slot : m_targets)
        targets.push_back(slot.get());
    return targets;
}

// The package is checked with its image staged, the image's fragments mapped
// to their classes, and each class's target slot found, all before a slot or
// the bootloader is touched.
InstallError CInstaller::StageImages(CPackageSource& package) {
    if (m_header.GetEncoding() == CPackageHeader::Encoding::ZstdDelta)
        return Fail(InstallError::UnknownSlot,
                    m_package + ": a delta is not split among slot classes by its fragments");
    CPackageCheck check;
    ConfigureTrust(check.Trust());
    const CPackageCheck::Result& result = m_images->Stage(check, package);
    if (result.error == PackageError::WriteFailed)
        return Fail(InstallError::StateFailed, m_images->Problem());
    if (result.error != PackageError::Ok)
        return RefusePackage(result);
    if (!m_images->Map(m_system.Description()))
        return Fail(InstallError::UnknownSlot, m_package + ": " + m_images->Problem());
    const SystemDescription& system = m_system.Description();
    for (const CImageSplit::Part& part : m_images->Parts()) {
        m_targets.push_back(
            std::make_unique<CSlot>(*system.FindSlot(part.slotClass->name, m_result.bootName)));
        CSlot booted(*system.FindSlot(part.slotClass->name, m_system.Booted()));
        const InstallError target = CheckTarget(*m_targets.back(), booted);
        if (target != InstallError::Ok)
            return target;
        const std::string& name = m_targets.back()->Described().name;
        m_result.slot += (m_result.slot.empty() ? "" : " ") + name;
        m_result.device += (m_result.device.empty() ? "" : " ") + m_targets.back()->Described().device;
    }
    return InstallError::Ok;
}

// Each fragment written, synced, read back and recorded in turn.
InstallError CInstaller::WriteParts() {
    const std::vector<CImageSplit::Part>& parts = m_images->Parts();
    for (size_t i = 0; i < parts.size(); ++i) {
        CSlot& target = *m_targets[i];
        CSlotWriter writer(target);
        if (!writer.Open())
            return Fail(InstallError::SlotUnavailable, writer.Problem());
        if (!m_images->Write(parts[i], writer.Output()))
            return Fail(InstallError::SlotUnavailable, target.Path() + ": " + m_images->Problem());
        if (!writer.Finish())
            return Fail(InstallError::SlotUnavailable, writer.Problem());
        std::string sha256;
        if (!m_images->Digest(parts[i], sha256))
            return Fail(InstallError::StateFailed, m_images->Problem());
        InstallError error = ReadBack(target, parts[i].size, sha256);
        if (error == InstallError::Ok)
            error = RecordStatus(target, parts[i].size, sha256);
        if (error != InstallError::Ok)
            return error;
    }
    return InstallError::Ok;
}

std::string CInstaller::ResultJson(const std::string& package, const Result& result) {
    const SlotRecord& record = result.record;
    nlohmann::ordered_json document = {
        {"schema", "fwkit-install/1"}, {"package", package},
        {"slot", result.slot},         {"name", result.bootName},
        {"device", result.device},     {"version", record.version},
        {"sha256", record.sha256},     {"size", record.size},
        {"keyids", record.keyIds}};
    if (result.chunked) {
        document["present"] = result.present;
        document["reused"] = result.reused;
        document["fetched"] = result.fetched;
    }
    return document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}
