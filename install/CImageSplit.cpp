#include "CImageSplit.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "CFirmwareFragment.h"
#include "CSlot.h"

CImageSplit::~CImageSplit() {
    m_file.reset();
    unlink(m_path.c_str());
}

bool CImageSplit::Fail(const std::string& problem) {
    m_problem = problem;
    return false;
}

const CPackageCheck::Result& CImageSplit::Stage(CPackageCheck& check, CPackageSource& package) {
    m_staged = std::make_unique<Core::File::Output>(m_path);
    if (!m_staged->Open())
        m_problem = m_path + ": " + m_staged->Cause();
    const CPackageCheck::Result& result = check.Run(package, *m_staged);
    if (result.error == PackageError::WriteFailed && m_problem.empty())
        m_problem = m_path + ": " + m_staged->Cause();
    m_staged.reset();
    return result;
}

const SlotClass* CImageSplit::ClassOf(const SystemDescription& system, unsigned index) {
    const std::string type =
        SlotClass::kFragmentType + std::to_string(m_file->GetFragment(index)->GetType());
    for (const SlotClass& entry : system.classes)
        if (!entry.fragment.empty() &&
            (entry.fragment == m_file->GetFragmentName(index) || entry.fragment == type))
            return &entry;
    return nullptr;
}

bool CImageSplit::Map(const SystemDescription& system) {
    m_file = std::make_unique<CFirmwareFile>(m_path, CFirmwareFile::Messages::KeepOnly,
                                             CFirmwareFile::Bodies::Checked);
    if (!m_file->ParseComplete() || m_file->NoFragments() == 0)
        return Fail("the image is no firmware file whose every check holds" +
                    (m_file->GetMessages().empty() ? "" : ": " + m_file->GetMessages().back()));
    for (unsigned i = 0; i < m_file->NoFragments(); ++i) {
        Part part;
        part.index = i;
        part.name = m_file->GetFragmentName(i);
        part.slotClass = ClassOf(system, i);
        part.offset = m_file->GetFragment(i)->GetRawData();
        part.size = m_file->GetFragment(i)->GetRawDataSize();
        const std::string what = "fragment " + part.name + " (type " +
                                 std::to_string(m_file->GetFragment(i)->GetType()) + ")";
        if (part.slotClass == nullptr)
            return Fail(what + " goes to no slot class of " + system.file);
        for (const Part& other : m_parts)
            if (other.slotClass == part.slotClass)
                return Fail(what + " goes to class " + part.slotClass->name + " as fragment " +
                            other.name + " does");
        m_parts.push_back(part);
    }
    return true;
}

bool CImageSplit::Write(const Part& part, Core::File::Output& output) {
    m_file->DumpRawFragment(part.index, output);
    if (m_file->WriteComplete())
        return true;
    if (m_file->DataChanged())
        return Fail("fragment " + part.name + " changed in " + m_path + " since it was checked");
    return Fail(m_file->WriteError() != 0 ? std::strerror(m_file->WriteError()) : output.Cause());
}

bool CImageSplit::Digest(const Part& part, std::string& sha256) {
    SlotDescription entry;
    entry.device = m_path;
    entry.kind = SlotDescription::Kind::File;
    CSlot staged(entry);
    if (!staged.Resolve() || !staged.Digest(part.size, sha256, part.offset))
        return Fail(staged.Problem());
    return true;
}
