// SHA-256 of a byte stream, computed by libcrypto (which uses the processor's
// SHA instructions where there are any). Update any number of times, then
// HexDigest once.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

struct evp_md_ctx_st;

class CSha256 {
  public:
    CSha256();
    ~CSha256();
    CSha256(CSha256&&) noexcept;
    CSha256& operator=(CSha256&&) noexcept;

    // Feeds `size` bytes; any split of the input gives the same digest.
    void Update(const void* data, size_t size);
    // The digest as 64 lowercase hexadecimal digits; empty when libcrypto failed.
    std::string HexDigest();
    // The 32-byte digest; empty when libcrypto failed.
    std::string Digest();

    // The digest of `size` bytes at `data` in one call, as raw bytes.
    static std::string Of(const void* data, size_t size);
    // Raw bytes as lowercase hexadecimal digits.
    static std::string Hex(const std::string& bytes);

  private:
    struct Free {
        void operator()(evp_md_ctx_st* context) const;
    };
    std::unique_ptr<evp_md_ctx_st, Free> m_context;
    bool m_ok;
};
