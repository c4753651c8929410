#include "CFirmwareFragmentLogical.h"

#include <sstream>
#include <utility>

namespace {
constexpr unsigned int kExtensionBytes = 6;
}

CFirmwareFragmentLogical::CFirmwareFragmentLogical(CBuffer* buff, uint32_t encodedData,
                                                   uint32_t size)
    : CFirmwareFragment(buff, encodedData, size), m_articleNo(0), m_noPhysObj(0) {}

CFirmwareFragmentLogical::CFirmwareFragmentLogical(CBuffer* buff, uint32_t rawData, uint32_t size,
                                                   uint32_t type, uint32_t release,
                                                   uint32_t version, std::string name,
                                                   uint32_t build, uint32_t day, uint32_t month,
                                                   uint32_t year, uint32_t articleNo,
                                                   uint32_t noPhysObj)
    : CFirmwareFragment(buff, rawData, size, type, release, version, std::move(name), build, day,
                        month, year),
      m_articleNo(articleNo),
      m_noPhysObj(noPhysObj) {}

CFirmwareFragmentLogical::~CFirmwareFragmentLogical() {
    for (CFirmwareFragment* fragment : m_fragments)
        delete fragment;
}

unsigned int CFirmwareFragmentLogical::EncodeExtension(std::vector<uint8_t>& buff) {
    for (int shift = 0; shift < 32; shift += 8) {
        buff.push_back(static_cast<uint8_t>(m_articleNo >> shift));
    }
    buff.push_back(static_cast<uint8_t>(m_noPhysObj));
    buff.push_back(static_cast<uint8_t>(m_noPhysObj >> 8));
    return kExtensionBytes;
}

void CFirmwareFragmentLogical::DecodeExtension(int startIndex) {
    const std::vector<uint8_t> ext =
        ReadSource(m_buff, static_cast<uint32_t>(startIndex), kExtensionBytes);
    m_articleNo = static_cast<uint32_t>(ext[0]) | (static_cast<uint32_t>(ext[1]) << 8) |
                  (static_cast<uint32_t>(ext[2]) << 16) | (static_cast<uint32_t>(ext[3]) << 24);
    m_noPhysObj = static_cast<uint32_t>(ext[4]) | (static_cast<uint32_t>(ext[5]) << 8);
}

bool CFirmwareFragmentLogical::SplitBlob(bool checkCRC) {
    uint32_t position = GetRawData();
    uint32_t available = GetRawDataSize();
    uint32_t unaccounted = GetRawDataSize();
    uint32_t count = m_noPhysObj;
    while (count > 0) {
        auto* fragment = new CFirmwareFragment(m_buff, position, available);
        if (!fragment->DecodeWithin(checkCRC, unaccounted) || (checkCRC && !fragment->CrcOK())) {
            delete fragment;
            return false;
        }
        m_fragments.push_back(fragment);
        if (--count == 0)
            return true;
        position += fragment->GetHeaderSize();
        available -= fragment->GetHeaderSize();
    }
    return true;
}

CFirmwareFragment* CFirmwareFragmentLogical::GetFragment(int i) {
    if (i < 0 || static_cast<size_t>(i) >= m_fragments.size())
        return nullptr;
    return m_fragments[static_cast<size_t>(i)];
}

std::string CFirmwareFragmentLogical::ToString() const {
    std::ostringstream out;
    out << "---------------------------\n"
        << "Logical Header\n"
        << "No Objects: " << m_noPhysObj << "\n"
        << "Article No: " << m_articleNo << "\n"
        << CFirmwareFragment::ToString();
    return out.str();
}
