// What the package library reports: the checker, the header reader, the signer
// and the encoder. The library never prints; the programs print PackageErrorText
// and exit with PackageErrorStatus. The codes are grouped by cause.
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
    AlreadyEncoded,   // a package to be encoded whose payload is encoded already
    AttachmentMismatch,  // signed data kept beside the package (CPackageAttachment)
                         // differs in size or SHA-256 from what the header names
    CutShort,            // the package ended before its image did: a cut download,
                         // not a damaged one
    // requests the package cannot meet
    DuplicateKey,       // two keys given to sign with are one key
    TooManySignatures,  // more signatures than one header line holds
    KeptVoid,           // signatures to be kept would not cover the new header
    SameFile,           // the output is one of the inputs
    // system refused
    OpenFailed,      // a file cannot be opened
    NotRegular,      // an input that must be a regular file is none
    TooLarge,        // a package of 4 GiB or more, beyond the format's 32-bit positions
    ReadFailed,      // the buffer gave fewer bytes than it holds, or a file cannot be read
    WriteFailed,     // the image sink or the output refused bytes
    Changed,         // the package file changed while it was read
    SignFailed,      // a key did not sign
    CompressFailed,  // the compressor refused
};

// The input a failure is about, so that its message names the right file.
enum class PackageInput { None, Package, Image, Base, Key, Output };

// A short description, e.g. "the image does not match the header".
const char* PackageErrorText(PackageError error);
// The exit status the programs give for the error (0 Ok, 2 NotAPackage or
// AlreadyEncoded, 3 ImageMismatch, 4 BadSignature, 5 Unsigned, 6
// RefusedByPolicy, 7 BaseMismatch, 8 CutShort, 1 any other; AttachmentMismatch
// is 4, as data the signature covers no longer is what was signed).
int PackageErrorStatus(PackageError error);
