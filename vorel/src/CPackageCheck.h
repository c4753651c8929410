// Checks a package held in any CBuffer (a file, or the bytes a device has just
// downloaded) before anything uses its image. The buffer is read front to back
// through a CPackageStream, so a package in a buffer and one arriving as a
// stream are checked alike: the header is judged first (its form, then the
// Ed25519 signatures and the policy, CPackageTrust), and a header that fails
// is refused before a byte of the image is read. Then the image's size, MD5
// and SHA-256 are checked against the header. The image is read once, in
// blocks of bounded size, and may be handed to a sink on the way (to copy it
// out).
//
// Run(CInputFile&, Output&) also writes the image of a package file into an
// output, by the one rule of every writer of checked images: a file output
// receives it during the one pass and is put in place only when every check
// passed; a stream (a device, a FIFO) receives only bytes already verified,
// in a second pass after the first passed, which must hand on the very bytes
// the first verified. A package read once, as a stream, writes into an
// output through WriteInto and Conclude.
//
//   CPackageCheck check;
//   check.AddKey(CEd25519Key::FromPem(publicPem));
//   const CPackageCheck::Result& result = check.Run(buffer);
//   if (result.error == PackageError::Ok) ... flash the image ...
#pragma once

#include <functional>
#include <string>
#include <utility>

#include "CBuffer.h"
#include "CEd25519Key.h"
#include "CFileBuffer.h"
#include "CInputFile.h"
#include "CPackageHeader.h"
#include "CPackageSource.h"
#include "CPackageStream.h"
#include "CPackageTrust.h"
#include "Output.h"
#include "PackageError.h"

class CPackageCheck {
  public:
    using ImageSink = CPackageStream::ImageSink;
    using Progress = CPackageStream::Progress;
    using Start = CPackageStream::Start;
    using SignatureState = CPackageTrust::SignatureState;
    using Item = CPackageStream::Item;
    using Result = CPackageStream::Result;

    // A key a signature may be made with; with one or more, a signature is required.
    void AddKey(const CEd25519Key& key) { m_stream.AddKey(key); }
    // What the header must satisfy before the image is read.
    CPackageTrust& Trust() { return m_stream.Trust(); }
    void SetImageSink(ImageSink sink) { m_stream.SetImageSink(std::move(sink)); }
    void SetProgress(Progress progress) { m_stream.SetProgress(std::move(progress)); }
    // The base a delta is rebuilt from (CPackageStream::SetBase).
    void SetBase(const uint8_t* data, size_t size) { m_stream.SetBase(data, size); }

    // Runs every check. The error is the first of NotAPackage, BadSignature/
    // Unsigned (the header's judgement; the image is then not read), and
    // ImageMismatch that applies; ReadFailed or WriteFailed when the buffer or
    // the sink failed part way.
    const Result& Run(CBuffer& package);
    // The same over a file; a file that is missing, cannot be read or is no
    // regular file gives ReadFailed, the system's reason in the problem, and
    // one of 4 GiB or more TooLarge (its CBuffer view would end before the
    // file does): nothing of it is read.
    const Result& Run(CFileBuffer& package);
    // The same over a package file as it was when it was opened.
    const Result& Run(CInputFile& package);
    // Runs every check over the package file and writes its image into the open
    // `output` as described above (the image sink set is replaced); the output is put in place when
    // every check passed and discarded otherwise. Beside the checks' errors: Changed when the file
    // did not hold still while it was read (twice, for a stream), WriteFailed when the output
    // failed (its Cause() says why).
    const Result& Run(CInputFile& package, Core::File::Output& output);
    // The same over a package read by position (a file, a server), front to
    // back; a failed read gives the source's error (ReadFailed, Changed,
    // CutShort...), its Problem() in the result's problem.
    const Result& Run(CPackageSource& package);
    // Runs every check over `package` and writes its image into `output` by the
    // rule above: a stream output gets it in a second read of the package.
    const Result& Run(CPackageSource& package, Core::File::Output& output);
    // Checks a package read once from the descriptor `fd`, as it arrives (a
    // pipe, a FIFO, a device), to its end or until the package is refused
    // (the rest is then never read). The image goes to `output` when given, as
    // it passes: a file output is put in place only when every check passed, a
    // stream output has received it already and the verdict says whether it
    // is good. ReadFailed, the system's reason in the problem, when a read
    // failed; WriteFailed when the output failed (its Cause() says why).
    const Result& Run(int fd, Core::File::Output* output);
    // The second pass for a stream output, after a first pass `verified` the
    // package: runs the check again with the image going to `output` and
    // digests what it writes. Ok when the bytes written are the ones verified
    // (as many, the same SHA-256: of the image rebuilt, for an encoded package)
    // and the pass ends as the first did; Changed when the package changed in
    // between, WriteFailed when the output refused bytes.
    PackageError Restream(CBuffer& package, Core::File::Output& output, const Result& verified);
    // Sends the image of the package `stream` checks next to `output` as it
    // passes, the output's size announced once the header is accepted, and
    // on to `start` and `next` when given (a refusal of either stops the
    // check like the output's).
    static void WriteInto(CPackageStream& stream, Core::File::Output& output,
                          ImageSink next = nullptr, Start start = nullptr);
    // Puts `output` in place when `verdict` is Ok, discards it otherwise; the
    // verdict, or WriteFailed when a passed image could not be put in place.
    static PackageError Conclude(Core::File::Output& output, PackageError verdict);
    const Result& GetResult() const { return m_stream.GetResult(); }
    // The checker itself, configured as this object is, for a package that
    // arrives as a stream rather than in a buffer.
    CPackageStream& Stream() { return m_stream; }

    // Why the package file at `path` cannot be read as a buffer (missing,
    // unreadable, a directory, no regular file); empty when it can. Never
    // waits on a FIFO or a device.
    static std::string FileProblem(const std::string& path);

    static const char* StateText(SignatureState state) { return CPackageTrust::StateText(state); }

  private:
    // The second pass `pass` runs, its image digested on the way to `output`,
    // compared with the first pass's result `verified`.
    PackageError Restream(const std::function<const Result&()>& pass, Core::File::Output& output,
                          const Result& verified);
    // A file output gets the image in the first pass; a stream, in the second.
    void FirstPassInto(Core::File::Output& output);
    // A package refused before any of it is read.
    const Result& Refuse(PackageError error, const std::string& problem);

    // The stream's result with `error` in its place: the result of a Run into
    // an output, which the output or the file may have failed after the checks.
    const Result& Written(PackageError error);

    CPackageStream m_stream;
    Result m_written;
};
