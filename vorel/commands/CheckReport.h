// How pkgcheck and fwkit check print a verdict.
#pragma once

#include <string>

#include "CPackageCheck.h"
#include "CheckCommand.h"

namespace CheckCommand {

// True when the package's signature, or its absence, was judged by no key.
bool Unchecked(const CPackageCheck::Result& result);

// Prints a JSON document, or keeps it for the array of them all.
void Emit(const Options& options, const std::string& document);

// The verdict: a JSON document, or the lines unless quiet.
void Print(const Options& options, const CPackageCheck::Result& result);

// Reports a failure of status 1 on standard error and, with -j, in a document
// on standard output, so that a script reading the document learns of it too.
int Fail(const Options& options, const std::string& file, const std::string& cause);

}  // namespace CheckCommand
