// The ways pkgcheck reads a package other than a file it can read twice, and
// the steps every way shares.
#pragma once

#include <string>
#include <vector>

#include "CPackageCheck.h"
#include "CPackageHeader.h"
#include "CPackageSource.h"
#include "CheckCommand.h"
#include "Output.h"
#include "PackageError.h"

namespace CheckCommand {

// True when the package is read as a stream, once, front to back: "-"
// (standard input), a pipe, FIFO, socket or character device.
bool IsStream(const std::string& path);

// Checks a package on a server, in one pass, with the chunk index and the
// bill of materials beside it there (or the document given); the exit status.
int CheckFromServer(const Options& options, CPackageCheck& check, CPackageSource& server);

// Checks a package read once as it arrives; `index` is where its chunk index
// was looked for, which a failure to find it names. The exit status.
int CheckFromStream(const Options& options, CPackageCheck& check, const std::string& index);

// Opens the image output, which may be none of the inputs.
bool OpenOutput(const Options& options, Core::File::Output& output);

// The bill of materials a package's header names, read from beside it (or the
// one given) before the image is used; 0, or the status of a failure after
// its message (a document that cannot be read, status 1).
int ReadSbom(const Options& options, const std::vector<CPackageHeader::Line>& headers,
             std::string& document, PackageError& error);

}  // namespace CheckCommand
