#include "CPackageCheck.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "CSha256.h"
#include "FilePath.h"

const CPackageCheck::Result& CPackageCheck::Run(CBuffer& package) {
    m_stream.Reset();
    const uint32_t end = package.Size();
    for (uint32_t at = 0; at < end;) {
        size_t room = 0;
        uint8_t* space = m_stream.Space(room);
        if (space == nullptr)
            break;  // refused: the rest is not read
        const uint32_t got =
            package.Copy(at, static_cast<uint32_t>(std::min<size_t>(room, end - at)), space);
        if (got == 0)
            return m_stream.Abandon(PackageError::ReadFailed);
        at += got;
        if (m_stream.Commit(got) != PackageError::Ok)
            break;
    }
    return m_stream.Finish();
}

const CPackageCheck::Result& CPackageCheck::Run(CFileBuffer& package) {
    const std::string problem = FileProblem(package.GetName());
    if (!problem.empty())
        return Refuse(PackageError::ReadFailed, problem);
    const long long size = Core::File::FileSize(package.GetName());
    if (size >= 0 && static_cast<uint64_t>(size) > CPackageHeader::kMaxPackageSize)
        return Refuse(PackageError::TooLarge, "");
    return Run(static_cast<CBuffer&>(package));
}

const CPackageCheck::Result& CPackageCheck::Run(CInputFile& package) {
    if (package.GetState() == CInputFile::State::Unreadable ||
        package.GetState() == CInputFile::State::NotRegular)
        return Run(static_cast<CFileBuffer&>(package));  // says why
    if (package.FileSize() > CPackageHeader::kMaxPackageSize)
        return Refuse(PackageError::TooLarge, "");
    return Run(static_cast<CBuffer&>(package));
}

std::string CPackageCheck::FileProblem(const std::string& path) {
    return Core::File::RegularFileProblem(path);
}

const CPackageCheck::Result& CPackageCheck::Refuse(PackageError error, const std::string& problem) {
    m_stream.Reset();
    return m_stream.Abandon(error, problem);
}

void CPackageCheck::FirstPassInto(Core::File::Output& output) {
    if (output.Seekable())
        m_stream.SetImageSink(
            [&output](const uint8_t* data, size_t size) { return output.Write(data, size); });
    else
        m_stream.SetImageSink(nullptr);
}

const CPackageCheck::Result& CPackageCheck::Run(CInputFile& package, Core::File::Output& output) {
    FirstPassInto(output);
    m_written = Run(package);
    PackageError error = m_written.error;
    if (error == PackageError::Ok && !output.Seekable())
        error = Restream(package, output, m_written);
    if (error != PackageError::Changed && (package.Changed() || !package.EndsAtSize()))
        error = PackageError::Changed;
    m_stream.SetImageSink(nullptr);
    return Written(Conclude(output, error));
}

const CPackageCheck::Result& CPackageCheck::Run(CPackageSource& package) {
    m_stream.Reset();
    bool refused = false;  // the stream stopped taking bytes
    uint64_t fed = 0;
    const CPackageSource::Sink feed = [&](const uint8_t* data, size_t size) {
        fed += size;
        refused = m_stream.Feed(data, size) != PackageError::Ok;
        return !refused;
    };
    PackageError error = PackageError::Ok;
    if (package.Size() == 0) {
        // A source learns its size on the first read: the header block's worth.
        error = package.Read(0, CPackageHeader::kMaxSize, feed);
        if (error == PackageError::CutShort)
            error = PackageError::Ok;
    }
    if (package.Size() > CPackageHeader::kMaxPackageSize)
        return Refuse(PackageError::TooLarge, "");
    if (error == PackageError::Ok && !refused && package.Size() > fed)
        error = package.Read(fed, package.Size() - fed, feed);
    if (refused || error == PackageError::Ok)
        return m_stream.Finish();
    return m_stream.Abandon(error, package.Problem());
}

const CPackageCheck::Result& CPackageCheck::Run(CPackageSource& package,
                                                Core::File::Output& output) {
    FirstPassInto(output);
    m_written = Run(package);
    PackageError error = m_written.error;
    if (error == PackageError::Ok && !output.Seekable())
        error = Restream([&]() -> const Result& { return Run(package); }, output, m_written);
    m_stream.SetImageSink(nullptr);
    return Written(Conclude(output, error));
}

const CPackageCheck::Result& CPackageCheck::Run(int fd, Core::File::Output* output) {
    m_stream.Reset();
    if (output != nullptr)
        WriteInto(m_stream, *output);
    PackageError error = PackageError::Ok;
    for (size_t room = 0; error == PackageError::Ok;) {
        uint8_t* space = m_stream.Space(room);
        if (space == nullptr)
            break;
        const ssize_t got = Core::File::ReadSome(fd, space, room);
        if (got < 0) {
            m_stream.Abandon(PackageError::ReadFailed, std::strerror(errno));
            break;
        }
        if (got == 0)
            break;
        error = m_stream.Commit(static_cast<size_t>(got));
    }
    m_written = m_stream.Finish();
    m_stream.SetImageSink(nullptr);
    m_stream.SetStart(nullptr);
    return output == nullptr ? m_written : Written(Conclude(*output, m_written.error));
}

PackageError CPackageCheck::Restream(CBuffer& package, Core::File::Output& output,
                                     const Result& verified) {
    return Restream([&]() -> const Result& { return Run(package); }, output, verified);
}

PackageError CPackageCheck::Restream(const std::function<const Result&()>& pass,
                                     Core::File::Output& output, const Result& verified) {
    CSha256 sha256;
    uint64_t size = 0;
    m_stream.SetImageSink([&](const uint8_t* data, size_t count) {
        sha256.Update(data, count);
        size += count;
        return output.Write(data, count);
    });
    const Result verifiedCopy = verified;  // `verified` may be this check's own result
    const PackageError error = pass().error;
    m_stream.SetImageSink(nullptr);
    if (error == PackageError::WriteFailed)
        return error;
    const bool encoded = std::any_of(verifiedCopy.checks.begin(), verifiedCopy.checks.end(),
                                     [](const Item& item) { return item.name == "target-sha256"; });
    const std::string prefix = encoded ? "target-" : "";
    const std::string written = sha256.HexDigest();
    bool same = error == verifiedCopy.error && (encoded || written == verifiedCopy.sha256);
    for (const Item& item : verifiedCopy.checks) {
        same = same && (item.name != prefix + "filesize" || item.computed == std::to_string(size));
        same = same && (item.name != "target-sha256" || item.computed == written);
    }
    return same ? PackageError::Ok : PackageError::Changed;
}

void CPackageCheck::WriteInto(CPackageStream& stream, Core::File::Output& output, ImageSink next,
                              Start start) {
    stream.SetImageSink([&output, next](const uint8_t* data, size_t size) {
        return output.Write(data, size) && (!next || next(data, size));
    });
    // Once the header is accepted, its filesize is the image's size.
    stream.SetStart([&output, start](uint64_t total) {
        output.Expect(total);
        return !start || start(total);
    });
}

PackageError CPackageCheck::Conclude(Core::File::Output& output, PackageError verdict) {
    if (verdict == PackageError::Ok)
        return output.Commit(true) ? verdict : PackageError::WriteFailed;
    output.Commit(false);
    return verdict;
}

const CPackageCheck::Result& CPackageCheck::Written(PackageError error) {
    m_written.error = error;
    return m_written;
}
