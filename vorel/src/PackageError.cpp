#include "PackageError.h"

const char* PackageErrorText(PackageError error) {
    switch (error) {
        case PackageError::Ok:
            return "every check passed";
        case PackageError::NotAPackage:
            return "not a package";
        case PackageError::ImageMismatch:
            return "the image does not match the header";
        case PackageError::BadSignature:
            return "the signature does not verify";
        case PackageError::Unsigned:
            return "the package is not signed";
        case PackageError::RefusedByPolicy:
            return "refused by policy";
        case PackageError::BaseMismatch:
            return "the base does not match";
        case PackageError::AlreadyEncoded:
            return "encoded already";
        case PackageError::AttachmentMismatch:
            return "signed data beside the package does not match the header";
        case PackageError::CutShort:
            return "cut short";
        case PackageError::DuplicateKey:
            return "a key given twice";
        case PackageError::TooManySignatures:
            return "too many signatures";
        case PackageError::KeptVoid:
            return "the signatures kept would not cover the new header";
        case PackageError::SameFile:
            return "is an input itself";
        case PackageError::OpenFailed:
            return "cannot be opened";
        case PackageError::NotRegular:
            return "not a regular file";
        case PackageError::TooLarge:
            return "4 GiB or more, beyond what a package holds";
        case PackageError::ReadFailed:
            return "read error";
        case PackageError::WriteFailed:
            return "write error";
        case PackageError::Changed:
            return "changed while it was read";
        case PackageError::SignFailed:
            return "cannot sign with this key";
        case PackageError::CompressFailed:
            return "cannot compress";
    }
    return "unknown error";
}

int PackageErrorStatus(PackageError error) {
    switch (error) {
        case PackageError::Ok:
            return 0;
        case PackageError::NotAPackage:
        case PackageError::AlreadyEncoded:
            return 2;
        case PackageError::ImageMismatch:
            return 3;
        case PackageError::BadSignature:
        case PackageError::AttachmentMismatch:
            return 4;
        case PackageError::Unsigned:
            return 5;
        case PackageError::RefusedByPolicy:
            return 6;
        case PackageError::BaseMismatch:
            return 7;
        case PackageError::CutShort:
            return 8;
        default:
            return 1;
    }
}
