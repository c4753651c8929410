// What the package checker and the package header reader report. The library
// never prints; the programs print PackageErrorText.
#pragma once

enum class PackageError {
    Ok,
    // damaged or foreign packages
    NotAPackage,      // no empty line ends the header, a line that is not "name: value",
                      // no filesize or md5 line, a filesize that is not a number
    ImageMismatch,    // the image's size, md5 or sha256 differ from the header
    BadSignature,     // malformed, made by none of the keys given, or not verifying
    Unsigned,         // keys were given and the package carries no signature
    RefusedByPolicy,  // a header this device does not accept: another product, a version
                      // below the minimum, or expired
    BaseMismatch,     // a delta whose base was not given, or whose base-sha256 is not
                      // the SHA-256 of the base given
    // system refused
    TooLarge,     // a package file of 4 GiB or more, beyond the format's 32-bit positions
    ReadFailed,   // the buffer gave fewer bytes than it holds
    WriteFailed,  // the image sink refused bytes
};

// A short description, e.g. "the image does not match the header".
const char* PackageErrorText(PackageError error);
// The exit status pkgcheck gives for the error (0 Ok, 1 ReadFailed,
// WriteFailed or TooLarge, 2 NotAPackage, 3 ImageMismatch, 4 BadSignature,
// 5 Unsigned, 6 RefusedByPolicy, 7 BaseMismatch).
int PackageErrorStatus(PackageError error);
