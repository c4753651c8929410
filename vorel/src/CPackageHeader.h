// The header block of a package as stored: "name: value" lines and the empty
// line that ends them. Read checks the form strictly, so that every reader of
// the format (CHeaderFile from a file and from memory, CVorelBuffer) takes the
// same lines and the same image start from it: each line is a name of
// printable ASCII without ':' or blanks, ": ", and a value of printable ASCII
// without blanks, each name once, no line longer than CHeaderFile reads whole,
// and the block within the length CVorelBuffer reads. A package header also
// holds a "filesize" line with a decimal number below 4 GiB and an "md5" line.
//
// An encoded package (an "encoding" line) holds the image it rebuilds in its
// payload, the bytes after the empty line, which filesize, md5 and sha256
// still describe: "zstd" (compressed) or "zstd-delta" (compressed against a
// base image, whose SHA-256 "base-sha256" gives, over its first
// "base-filesize" bytes when that line is there, else over all of it), and "target-filesize",
// "target-md5" and "target-sha256" for the image that comes out. Read refuses
// an encoding it does not know, a missing or malformed line of these, and any
// of them without an encoding line.
//
// For signing, Message and Signed write a new header block through CHeaderFile
// (lines in name order) from these lines, with the "sha256" and "signature"
// lines replaced, after SetLine has set the lines the signer adds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "CBuffer.h"
#include "CHeaderFile.h"
#include "CPackageSignature.h"
#include "CSigningKey.h"
#include "CVorelBuffer.h"
#include "PackageError.h"

class CPackageHeader {
  public:
    using Line = std::pair<std::string, std::string>;
    // A header block longer than this is not read (bounded memory).
    static constexpr uint32_t kMaxSize = CVorelBuffer::kMaxHeaderSize;
    // A package, header and image, is at most this long: positions and sizes
    // within it are 32 bits wide.
    static constexpr uint64_t kMaxPackageSize = UINT32_MAX;

    // Reads the header block at the start of `package`. Returns Ok,
    // NotAPackage (Problem() says why) or ReadFailed.
    PackageError Read(CBuffer& package);
    const std::string& Problem() const { return m_problem; }
    // The length of the header block at the start of the `size` bytes at
    // `text`, its empty line included, when they hold all of it; 0 while they
    // do not. The first `seen` bytes were looked at before without an end.
    static size_t BlockEnd(const char* text, size_t size, size_t seen);

    // The lines in stored order, after a successful Read.
    const std::vector<Line>& Lines() const { return m_lines; }
    // The value of `name`, or null when there is no such line.
    const std::string* Find(const std::string& name) const;
    // How the payload holds the image.
    enum class Encoding { None, Zstd, ZstdDelta };
    Encoding GetEncoding() const { return m_encoding; }
    // The value of "target-filesize" (of an encoded package).
    uint64_t TargetSize() const { return m_targetSize; }
    // The value of "base-filesize" (of a delta that has one): the length of
    // the base that base-sha256 covers and the delta was made against.
    const std::optional<uint64_t>& BaseSize() const { return m_baseSize; }

    // Length of the block, empty line included: the image begins there.
    uint32_t Size() const { return static_cast<uint32_t>(m_text.size()); }
    // The value of "filesize".
    uint64_t FileSize() const { return m_fileSize; }
    // The block as stored with the whole "signature" line taken out: the bytes
    // a signature covers.
    std::string SignedMessage() const;

    // Whether `text` may stand as a value: printable ASCII without blanks.
    static bool IsValue(const std::string& text);
    // Sets a line (a new one, or a new value for one read); false, changing
    // nothing, when name or value is not a word of the form Read accepts.
    // Lines() and SignedMessage() show the new line from then on.
    bool SetLine(const std::string& name, const std::string& value);
    // Takes the line `name` out, if there is one.
    void RemoveLine(const std::string& name);

    // The block of these lines, without any "sha256" or "signature" line,
    // plus the given ones (an empty value leaves its line out), in name order.
    std::string Compose(const std::string& sha256, const std::string& signature) const;
    // What a signature covers for an image whose SHA-256 is `sha256`
    // (hexadecimal): Compose without a signature line.
    std::string Message(const std::string& sha256) const { return Compose(sha256, ""); }
    // The signed block: Compose with `sha256` and a signature line of these
    // entries; empty when they do not make one (see CPackageSignature::ListValue).
    std::string Signed(const std::string& sha256,
                       const std::vector<CPackageSignature>& signatures) const;
    // Signed with the one signature of Message(sha256) by `key`. Empty when the
    // key cannot sign.
    std::string Sign(const CSigningKey& key, const std::string& sha256) const;
    // The length Signed gives for this many signatures, known before the image
    // is read.
    size_t SignedSize(size_t signatures = 1) const;

  private:
    PackageError Fail(const std::string& problem);
    PackageError ReadText(CBuffer& package);
    PackageError ParseLines();
    PackageError CheckRequired();
    PackageError CheckEncoding();
    PackageError CheckBaseSize();

    std::string m_text;
    std::vector<Line> m_lines;
    std::string m_problem;
    uint64_t m_fileSize = 0;
    Encoding m_encoding = Encoding::None;
    uint64_t m_targetSize = 0;
    std::optional<uint64_t> m_baseSize;
};
