// Packages read once, front to back: from a stream (standard input, a pipe, a
// FIFO, a socket, a character device) as they arrive, or from a server.
#include "CheckInputs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "CPackageAttachment.h"
#include "CSbomAttachment.h"
#include "CheckReport.h"
#include "FilePath.h"
#include "Output.h"
#include "PackageReport.h"

namespace CheckCommand {

namespace {

// The descriptor a stream package is read from; `own` when it is to be
// closed. Standard input and the descriptors named by path are read as they
// are (a socket cannot be opened by name). -1 with errno on failure.
int OpenStream(const std::string& path, bool& own) {
    own = false;
    if (path == "-" || path == "/dev/stdin")
        return STDIN_FILENO;
    const int fd = Core::File::DescriptorOf(path);
    if (fd >= 0)
        return fcntl(fd, F_GETFL) == -1 ? -1 : fd;
    own = true;
    return open(path.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
}

// Checks a package read from a stream, in one pass. The image goes to the
// output as it passes: a regular file is put in place only when every check
// passed, a device or a stream has then received it already, and the exit
// status is the verdict.
int CheckStream(CPackageCheck& check, const Options& options, CPackageCheck::Result& result) {
    Core::File::Output output(options.output.empty() ? std::string()
                                                     : PackageCommand::OutputPath(options.output));
    if (!options.output.empty() && !OpenOutput(options, output))
        return Fail(options, options.output, output.Cause());
    bool own = false;
    const int fd = OpenStream(options.package, own);
    if (fd < 0)
        return Fail(options, options.package, std::strerror(errno));
    result = check.Run(fd, options.output.empty() ? nullptr : &output);
    if (own)
        close(fd);
    if (result.error == PackageError::ReadFailed)
        return Fail(options, options.package, result.problem);
    if (result.error == PackageError::WriteFailed)
        return Fail(options, options.output, output.Cause());
    return 0;
}

// The reason of a source's problem "NAME: reason".
std::string ReasonOf(const CPackageSource& source) {
    const std::string& problem = source.Problem();
    const std::string prefix = source.Name() + ": ";
    return problem.compare(0, prefix.size(), prefix) == 0 ? problem.substr(prefix.size())
                                                          : problem;
}

// Checks a package read from a source (a server), in one pass from its first
// byte to its last, into the output as a stream's image goes.
int CheckSource(CPackageCheck& check, CPackageSource& source, const Options& options,
                CPackageCheck::Result& result) {
    Core::File::Output output(options.output.empty() ? std::string()
                                                     : PackageCommand::OutputPath(options.output));
    if (!options.output.empty() && !OpenOutput(options, output))
        return Fail(options, options.output, output.Cause());
    CPackageStream& stream = check.Stream();
    stream.Reset();
    if (!options.output.empty())
        CPackageCheck::WriteInto(stream, output);
    PackageError read =
        source.Read(0, UINT64_MAX, [&stream](const uint8_t* data, size_t size) {
            return stream.Feed(data, size) == PackageError::Ok;
        });
    // Read to its end: the package is as long as the server said.
    if (read == PackageError::CutShort && source.Size() > 0)
        read = PackageError::Ok;
    const bool failed = read != PackageError::Ok && read != PackageError::WriteFailed;
    result = failed ? stream.Abandon(read, ReasonOf(source)) : stream.Finish();
    stream.SetImageSink(nullptr);
    stream.SetStart(nullptr);
    const PackageError verdict =
        options.output.empty() ? result.error : CPackageCheck::Conclude(output, result.error);
    if (failed && result.error == read)
        return Fail(options, options.package, ReasonOf(source));
    if (verdict == PackageError::WriteFailed)
        return Fail(options, options.output, output.Cause());
    return 0;
}

}  // namespace

bool IsStream(const std::string& path) {
    struct stat st {};
    return path == "-" || (stat(path.c_str(), &st) == 0 &&
                           (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode) || S_ISCHR(st.st_mode)));
}

int CheckFromServer(const Options& options, CPackageCheck& check, CPackageSource& server) {
    // The chunk index is read from beside the package on its server.
    check.Stream().SetAttachments([&server](const std::string& kind, uint64_t maxSize,
                                            std::string& data, std::string& problem) {
        const PackageError read = server.ReadAttachment(kind, maxSize + 1, data);
        problem = server.Problem();
        return read;
    });
    CPackageCheck::Result result;
    if (CheckSource(check, server, options, result) != 0)
        return 1;
    // The bill of materials the header names: the one given, else the one
    // beside the package on its server.
    if (CSbomAttachment::Named(result.headers)) {
        std::string sbom;
        PackageError sbomError = PackageError::Ok;
        if (!options.sbom.empty()) {
            if (ReadSbom(options, result.headers, sbom, sbomError) != 0)
                return 1;
        } else if (server.ReadAttachment(CSbomAttachment::kKind,
                                         CPackageAttachment::kMaxSbomSize + 1,
                                         sbom) != PackageError::Ok) {
            return Fail(options, options.package, server.Problem());
        }
        CSbomAttachment::Judge(result, &sbom);
    }
    Print(options, result);
    return PackageErrorStatus(result.error);
}

int CheckFromStream(const Options& options, CPackageCheck& check, const std::string& index) {
    CPackageCheck::Result result;
    if (CheckStream(check, options, result) != 0)
        return 1;
    if (result.error == PackageError::OpenFailed)
        return std::max(Fail(options, index, result.problem),
                        PackageErrorStatus(PackageError::AttachmentMismatch));
    // A stream has nothing beside it: its document is the one given, if any.
    std::string sbom;
    PackageError sbomError = PackageError::Ok;
    const bool given = !options.sbom.empty() && CSbomAttachment::Named(result.headers);
    if (given && ReadSbom(options, result.headers, sbom, sbomError) != 0)
        return 1;
    CSbomAttachment::Judge(result, given ? &sbom : nullptr);
    Print(options, result);
    return PackageErrorStatus(result.error);
}

}  // namespace CheckCommand
