#include "CFirmwareFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>
#include <utility>

#include "CBodyStream.h"
#include "CFragmentBuffer.h"
#include "Output.h"

namespace {

constexpr uint64_t kFormatLimit = UINT32_MAX;  // positions and sizes are 32 bits wide

enum class Kind { Invalid, Physical, Logical };

Kind KindOfType(uint32_t type) {
    if (type >= 300 && type <= 399)
        return Kind::Logical;
    if ((type >= 206 && type <= 209) || type >= 400)
        return Kind::Physical;
    return Kind::Invalid;
}

// The header bytes of a fragment whose header is prepared.
std::vector<uint8_t> HeaderBytes(CFirmwareFragment& fragment) {
    std::vector<uint8_t> header(fragment.GetHeaderSize());
    fragment.Copy(0, static_cast<uint32_t>(header.size()), header.data());
    return header;
}

}  // namespace

// ---- parsing --------------------------------------------------------------

CFirmwareFile::CFirmwareFile(std::string filename)
    : CFirmwareFile(std::move(filename), Messages::Print) {}

CFirmwareFile::CFirmwareFile(std::string filename, Messages messages, Bodies bodies)
    : m_printMessages(messages == Messages::Print), m_checkBodies(bodies == Bodies::Checked) {
    Parse(filename);
}

void CFirmwareFile::Say(std::string message) {
    if (m_printMessages)
        std::printf("%s\n", message.c_str());
    m_messages.push_back(std::move(message));
}

// Takes over the messages of a fragment the parse has decoded.
void CFirmwareFile::Decoded(CFirmwareFragment* fragment) {
    m_messages.insert(m_messages.end(), fragment->Messages().begin(), fragment->Messages().end());
}

// A decoded fragment passes when its CRCs hold; with bodies unchecked, when its header
// holds and its body lies within the file.
bool CFirmwareFile::Passes(const CFirmwareFragment& fragment) const {
    if (m_checkBodies)
        return fragment.CrcOK();
    const uint64_t end = uint64_t{fragment.GetRawData()} + fragment.GetRawDataSize();
    return fragment.GetHeaderState() == CFirmwareFragment::HeaderState::Good &&
           (fragment.GetRawDataSize() == 0 || end <= m_rawData->Size());
}

// Keeps the fragment that failed its checks for the report of what went wrong;
// it stays out of the fragment list.
void CFirmwareFile::KeepFailed(CFirmwareFragment* fragment) {
    delete m_failed;
    m_failed = fragment;
}

void CFirmwareFile::Parse(const std::string& filename) {
    m_rawData = new CInputFile(filename);
    if (m_rawData->FileSize() > kFormatLimit) {
        Say("Firmware file " + filename + " is 4 GiB or more and cannot be read");
        return;
    }
    const uint32_t size = m_rawData->Size();
    if (size == 0)
        return;
    const uint32_t type = m_rawData->At(2) + 256u * m_rawData->At(3);
    switch (KindOfType(type)) {
        case Kind::Invalid:
            Say("Firmware File invalid header found, with type " +
                std::to_string(static_cast<int>(type)) +
                ", file size: " + std::to_string(size));
            return;
        case Kind::Physical: {
            auto* fragment = new CFirmwareFragment(m_rawData, 0, size);
            fragment->PrintMessages(m_printMessages);
            fragment->Decode(m_checkBodies);
            Decoded(fragment);
            if (Passes(*fragment)) {
                m_fragments.push_back(fragment);
                m_parseComplete = true;
            } else {
                KeepFailed(fragment);
            }
            return;
        }
        case Kind::Logical:
            ParseLogical(size);
            return;
    }
}

void CFirmwareFile::ParseLogical(uint32_t size) {
    auto* logical = new CFirmwareFragmentLogical(m_rawData, 0, size);
    logical->PrintMessages(m_printMessages);
    logical->Decode(true);
    Decoded(logical);
    m_logical_fragments.push_back(logical);
    if (!logical->CrcOK()) {
        Say("Logical CRC fragment check fail!");
        return;
    }
    m_name = logical->GetName();
    const auto take = [this](CFirmwareFragment* fragment, bool passed) {
        Decoded(fragment);
        if (passed)
            m_fragments.push_back(fragment);
        else
            KeepFailed(fragment);
    };
    if (!WalkPhysical(*logical, m_printMessages, m_checkBodies, take)) {
        Say("Incomplete parsing of data file");
        return;
    }
    m_parseComplete = true;
}

// Headers lie back to back; each header finds its own body by its offset. Every
// fragment must fit in the body bytes not yet accounted for. Each fragment decoded is
// handed to `take`, which owns it, with whether it passed; the walk stops at the first
// that does not. True when the fragments account for everything the header announced.
bool CFirmwareFile::WalkPhysical(CFirmwareFragmentLogical& logical, bool print, bool bodies,
                                 const std::function<void(CFirmwareFragment*, bool)>& take) {
    uint32_t encoded_data = logical.GetRawData();
    uint32_t encoded_data_size = logical.GetRawDataSize();
    uint32_t data_unaccounted_for = logical.GetRawDataSize();
    uint32_t fragCount = logical.GetNoPhysObj();
    while (fragCount > 0 && data_unaccounted_for != 0) {
        auto* fragment = new CFirmwareFragment(m_rawData, encoded_data, encoded_data_size);
        fragment->PrintMessages(print);
        const bool fits = fragment->DecodeWithin(bodies, data_unaccounted_for);
        const bool passed = fits && (bodies ? fragment->CrcOK() : Passes(*fragment));
        const uint32_t headerSize = fragment->GetHeaderSize();
        take(fragment, passed);
        if (!passed)
            return false;
        encoded_data += headerSize;
        encoded_data_size -= headerSize;
        --fragCount;
    }
    return fragCount == 0 && data_unaccounted_for == 0;
}

void CFirmwareFile::WalkDamagedLogical(
    const std::function<void(const CFirmwareFragment&, bool)>& visit) {
    CFirmwareFragmentLogical* logical = GetHeader();
    if (logical == nullptr || logical->GetHeaderState() != CFirmwareFragment::HeaderState::Good ||
        logical->CrcOK())
        return;
    WalkPhysical(*logical, false, true, [&visit](CFirmwareFragment* fragment, bool passed) {
        visit(*fragment, passed);
        delete fragment;
    });
}

// ---- building -------------------------------------------------------------

CFirmwareFile::CFirmwareFile(std::string filename, std::string out_filename, uint32_t type,
                             uint32_t release, uint32_t version, std::string name, uint32_t build,
                             uint32_t day, uint32_t month, uint32_t year, Messages messages)
    : m_name(name), m_printMessages(messages == Messages::Print) {
    m_rawData = new CInputFile(filename);
    const uint64_t dataSize = m_rawData->FileSize();
    const uint32_t size = m_rawData->Size();
    auto* fragment = new CFirmwareFragment(m_rawData, 0, size, type, release, version,
                                           std::move(name), build, day, month, year);
    m_fragments.push_back(fragment);
    if (!DataFileMeasured(*m_rawData))
        return;
    if (dataSize > kFormatLimit || uint64_t{fragment->GetHeaderSize()} + size > kFormatLimit) {
        ReportTooLarge(out_filename);
        return;
    }
    CInputFile* data = m_rawData;
    const BodyWriter body = [data, size](CBodyStream& stream, uint16_t& crc) -> CInputFile* {
        stream.Pass(*data, 0, size, crc);
        return data->Changed() || !data->EndsAtSize() ? data : nullptr;
    };
    uint32_t written = 0;
    WriteFramed(*fragment, out_filename, body, data, written);
    ReportBuild("Physical", out_filename, written);
}

CFirmwareFile::CFirmwareFile(std::list<CFirmwareFile*>& files, std::string out_filename,
                             uint32_t type, uint32_t release, uint32_t version, std::string name,
                             uint32_t build, uint32_t day, uint32_t month, uint32_t year,
                             uint32_t article_no, uint32_t no_objects, Messages messages)
    : m_name(name), m_printMessages(messages == Messages::Print) {
    CFragmentBuffer buffer;
    // The first fragment of each input passes to the fragment buffer, which
    // frees it; the input lets go of it, so it stays safe to destroy.
    std::vector<CFirmwareFragment*> kept;
    std::vector<CInputFile*> sources;
    for (CFirmwareFile* file : files) {
        if (file == nullptr || file->m_fragments.empty() || file->m_fragments.front() == nullptr) {
            Say("Unable to write out empty or unparsed firmware fragment.");
            continue;
        }
        kept.push_back(file->m_fragments.front());
        sources.push_back(file->m_rawData);
        file->m_fragments.erase(file->m_fragments.begin());
        buffer.AddFragment(kept.back());
    }
    // Rebuild every physical header once to learn its length as it will be
    // written; body offsets and the logical size follow from those lengths.
    uint64_t headers = 0;
    uint64_t bodies = 0;
    for (CFirmwareFragment* fragment : kept) {
        fragment->PrepareHeader(fragment->GetRawDataCRC(), 0);
        headers += fragment->GetHeaderSize();
        bodies += fragment->GetRawDataSize();
    }
    auto* logical = new CFirmwareFragmentLogical(
        &buffer, 0, static_cast<uint32_t>(headers + bodies), type, release, version,
        std::move(name), build, day, month, year, article_no, no_objects);
    m_logical_fragments.push_back(logical);
    uint64_t offset = logical->GetHeaderSize() + headers;
    if (offset + bodies > kFormatLimit) {
        ReportTooLarge(out_filename);
        return;
    }
    for (CFirmwareFragment* fragment : kept) {
        fragment->PrepareHeader(fragment->GetRawDataCRC(), static_cast<uint32_t>(offset));
        offset += fragment->GetRawDataSize();
    }
    const BodyWriter body = [&kept, &sources](CBodyStream& stream, uint16_t& crc) {
        return WriteLogicalBody(kept, sources, stream, crc);
    };
    uint32_t written = 0;
    WriteFramed(*logical, out_filename, body, sources.empty() ? nullptr : sources.front(), written);
    ReportBuild("Logical", out_filename, written);
}

// The physical headers, then each body copied from its input with its CRC compared with
// the one checked when the input was parsed; each input's descriptor is given back once
// its body is copied. Returns the input that changed, or null.
CInputFile* CFirmwareFile::WriteLogicalBody(const std::vector<CFirmwareFragment*>& kept,
                                            const std::vector<CInputFile*>& sources,
                                            CBodyStream& stream, uint16_t& crc) {
    for (CFirmwareFragment* fragment : kept) {
        if (!stream.Put(HeaderBytes(*fragment), crc))
            return nullptr;
    }
    for (size_t k = 0; k < kept.size(); ++k) {
        uint16_t bodyCRC = 0;
        const bool whole = stream.Pass(*sources[k], kept[k]->GetRawData(),
                                       kept[k]->GetRawDataSize(), bodyCRC, &crc);
        sources[k]->Release();
        if (sources[k]->Changed() || (whole && bodyCRC != kept[k]->GetRawDataCRC()))
            return sources[k];
        if (!whole)
            return nullptr;  // the output failed
    }
    return nullptr;
}

// Writes `head`'s header and then the body `body` streams, as the whole content of
// `out_filename`. The body CRC in the header covers exactly the body bytes written:
// where the output can be written at any position, the header's place is reserved and
// filled in after the one pass over the body; elsewhere the body is read once for the
// CRC and once more to be written, and both readings must agree. The output is put in
// place only when complete and no input changed (m_changedInput says which did;
// `blame` when the two readings differ).
bool CFirmwareFile::WriteFramed(CFirmwareFragment& head, const std::string& out_filename,
                                const BodyWriter& body, CInputFile* blame, uint32_t& written) {
    // A build writes nothing it has yet to check: where no file can be made beside
    // the target, the target may be written in place.
    Core::File::Output output(out_filename);
    output.AllowInPlace();
    m_writeComplete = false;
    m_changedInput = nullptr;
    if (!output.Open()) {
        m_writeError = output.Error();
        return false;
    }
    const uint32_t hs = head.GetHeaderSize();
    output.Expect(uint64_t{hs} + head.GetRawDataSize());
    const bool twoPass = !output.Seekable();
    CBodyStream stream(&output);
    uint16_t expected = 0;
    if (twoPass) {
        CBodyStream reader(nullptr);
        m_changedInput = body(reader, expected);
        head.PrepareHeader(expected, hs);
        uint16_t unused = 0;
        stream.Put(HeaderBytes(head), unused);
    } else {
        stream.Reserve(hs);
    }
    uint16_t crc = 0;
    if (m_changedInput == nullptr)
        m_changedInput = body(stream, crc);
    if (twoPass && m_changedInput == nullptr && !stream.Failed() && crc != expected)
        m_changedInput = blame;
    bool placed = true;
    if (!twoPass && m_changedInput == nullptr) {
        head.PrepareHeader(crc, hs);
        const std::vector<uint8_t> header = HeaderBytes(head);
        placed = output.WriteAt(header.data(), header.size(), 0);
    }
    written = static_cast<uint32_t>(stream.Written());
    const bool complete = placed && m_changedInput == nullptr &&
                          stream.Written() == uint64_t{hs} + head.GetRawDataSize();
    m_writeComplete = output.Commit(complete);
    m_writeError = output.Error();
    return m_writeComplete;
}

// Says why the data file cannot be packed as what it holds: it is not a regular file,
// or it reports no size and yet yields bytes. True when its measured size holds.
bool CFirmwareFile::DataFileMeasured(CInputFile& data) {
    if (data.GetState() == CInputFile::State::NotRegular) {
        BuildFailed(data.GetName(), "not a regular file",
                    "Data file " + data.GetName() + " is not a regular file");
        return false;
    }
    if (data.GetState() == CInputFile::State::Empty && !data.EndsAtSize()) {
        BuildFailed(data.GetName(), "cannot be measured",
                    "Data file " + data.GetName() + " cannot be measured");
        return false;
    }
    return true;
}

void CFirmwareFile::ReportTooLarge(const std::string& out_filename) {
    BuildFailed(out_filename, "would reach 4 GiB",
                "Firmware file " + out_filename + " would reach 4 GiB and is not written");
}

// Why the last build failed: empty names while none has.
CFirmwareFile::Failure CFirmwareFile::BuildFailure() const {
    return m_buildFailure ? *m_buildFailure : Failure();
}

void CFirmwareFile::BuildFailed(const std::string& file, const std::string& reason,
                                std::string message) {
    m_buildFailure.reset(new Failure{file, reason});
    Say(std::move(message));
}

void CFirmwareFile::ReportBuild(const char* kind, const std::string& out_filename,
                                uint32_t written) {
    m_written = written;
    if (m_changedInput != nullptr) {
        const std::string& name = m_changedInput->GetName();
        BuildFailed(name, "changed while it was read", "Data file " + name + " changed while it was read");
    } else if (!m_writeComplete && m_writeError != 0) {
        BuildFailed(out_filename, std::strerror(m_writeError),
                    "Unable to write firmware file " + out_filename + ": " +
                        std::strerror(m_writeError));
    } else if (!m_writeComplete) {
        BuildFailed(out_filename, std::strerror(EIO), "Unable to write firmware file " + out_filename);
    } else {
        Say(std::string(kind) + " Firmware File " + out_filename + " written with " +
            std::to_string(written) + " bytes");
        std::fflush(stdout);
    }
}

bool CFirmwareFile::IsLogicalType(uint32_t type) {
    return KindOfType(type) == Kind::Logical;
}

bool CFirmwareFile::IsPhysicalType(uint32_t type) {
    return KindOfType(type) == Kind::Physical && type <= UINT16_MAX;
}

bool CFirmwareFile::ReportUnreadable(const std::string& filename) {
    const std::string message = UnreadableMessage(filename);
    if (message.empty())
        return true;
    std::printf("%s\n", message.c_str());
    return false;
}

std::string CFirmwareFile::UnreadableMessage(const std::string& filename) {
    const CInputFile input(filename);
    switch (input.GetState()) {
        case CInputFile::State::Unreadable:
            return "Unable to read firmware file " + filename;
        case CInputFile::State::NotRegular:
            return "Firmware file " + filename + " is not a regular file";
        case CInputFile::State::Empty:
            return "Firmware file " + filename + " is empty";
        case CInputFile::State::Readable:
            break;
    }
    return std::string();
}

void CFirmwareFile::ReleaseInput() {
    if (m_rawData != nullptr)
        m_rawData->Release();
}

// ---- access ---------------------------------------------------------------

CFirmwareFile::~CFirmwareFile() {
    delete m_rawData;
    for (CFirmwareFragment* fragment : m_fragments)
        delete fragment;
    delete m_failed;
    for (CFirmwareFragmentLogical* logical : m_logical_fragments)
        delete logical;
}

unsigned int CFirmwareFile::NoFragments() const {
    return static_cast<unsigned int>(m_fragments.size());
}

CFirmwareFragment* CFirmwareFile::GetFragment(unsigned int i) {
    return i < m_fragments.size() ? m_fragments[i] : nullptr;
}

CFirmwareFragmentLogical* CFirmwareFile::GetHeader() {
    return m_logical_fragments.size() == 1 ? m_logical_fragments.front() : nullptr;
}

std::string CFirmwareFile::GetFragmentName(unsigned int i) {
    return i < m_fragments.size() ? m_fragments[i]->GetName() : "Empty";
}

uint32_t CFirmwareFile::DumpRawFragment(unsigned int i, std::string filename) {
    Core::File::Output output(filename);
    if (!output.Open()) {
        m_writeComplete = false;
        m_writeError = output.Error();
        return 0;
    }
    return DumpRawFragment(i, output);
}

uint32_t CFirmwareFile::DumpRawFragment(unsigned int i, Core::File::Output& output) {
    CFirmwareFragment* fragment = GetFragment(i);
    CBodyStream stream(&output);
    m_dataChanged = false;
    if (fragment != nullptr && m_rawData != nullptr) {
        // The CRC of the bytes copied must be the one the parse checked.
        output.Expect(fragment->GetRawDataSize());
        uint16_t crc = 0;
        stream.Pass(*m_rawData, fragment->GetRawData(), fragment->GetRawDataSize(), crc);
        m_dataChanged = m_rawData->Changed() || crc != fragment->GetRawDataCRC();
    }
    const uint64_t expected = fragment != nullptr ? fragment->GetRawDataSize() : 0;
    m_writeComplete = output.Commit(stream.Written() == expected && !m_dataChanged);
    m_writeError = output.Error();
    return static_cast<uint32_t>(stream.Written());
}

bool CFirmwareFile::BodyIntact(unsigned int i) {
    CFirmwareFragment* fragment = GetFragment(i);
    if (fragment == nullptr || m_rawData == nullptr)
        return false;
    uint16_t crc = 0;
    const uint32_t size = fragment->GetRawDataSize();
    return m_rawData->Checksum(fragment->GetRawData(), size, crc) == size &&
           crc == fragment->GetRawDataCRC();
}

std::string CFirmwareFile::ToString() const {
    std::ostringstream out;
    PrintListing(out);
    return out.str();
}

void CFirmwareFile::PrintListing(std::ostream& out) const {
    out << "---------------------------\n";
    if (!m_logical_fragments.empty())
        out << m_logical_fragments.front()->ToString();
    if (!m_fragments.empty()) {
        for (const CFirmwareFragment* fragment : m_fragments)
            out << fragment->ToString();
        out << "---------------------------\n";
    }
}
