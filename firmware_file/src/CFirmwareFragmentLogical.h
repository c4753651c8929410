// The fragment that heads a logical firmware file. Its header extension carries
// the article number and the number of physical objects; its body is the run of
// physical headers followed by the physical bodies.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "CFirmwareFragment.h"

class CFirmwareFragmentLogical final : public CFirmwareFragment {
  public:
    CFirmwareFragmentLogical(CBuffer* buff, uint32_t encodedData, uint32_t size);
    CFirmwareFragmentLogical(CBuffer* buff, uint32_t rawData, uint32_t size, uint32_t type,
                             uint32_t release, uint32_t version, std::string name, uint32_t build,
                             uint32_t day, uint32_t month, uint32_t year, uint32_t articleNo,
                             uint32_t noPhysObj);
    ~CFirmwareFragmentLogical() override;

    uint32_t GetArticleNo() const { return m_articleNo; }
    uint32_t GetNoPhysObj() const { return m_noPhysObj; }

    // Splits the announced number of physical fragments out of the body.
    bool SplitBlob(bool checkCRC);
    // Split fragment `i`, or null; it stays owned by this fragment.
    CFirmwareFragment* GetFragment(int i);

    std::string ToString() const override;

  protected:
    unsigned int EncodeExtension(std::vector<uint8_t>& buff) override;
    void DecodeExtension(int startIndex) override;

  private:
    uint32_t m_articleNo;
    uint32_t m_noPhysObj;
    std::vector<CFirmwareFragment*> m_fragments;
};
