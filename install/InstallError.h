// What the installer reports. The library never prints; the commands print
// InstallErrorText with the file or slot concerned, and exit with
// InstallErrorStatus.
#pragma once

#include "PackageError.h"

enum class InstallError {
    Ok,
    Package,          // the package was refused: the verdict is in the result's PackageError
    Description,      // the system description is wrong or incomplete
    BootedUnknown,    // the booted slot cannot be told, or is none of the description's
    TargetIsBooted,   // the slot to be written is the one running
    UnknownSlot,      // a boot name or an image the description has no slot for
    SlotUnavailable,  // the target slot cannot be opened, written or read
    ReadBackMismatch, // the slot read back does not hold the image written
    Locked,           // another install holds the lock
    HookFailed,       // a pre-install or post-install hook failed
    Bootloader,       // the bootloader's environment cannot be read or written
    StateFailed,      // the lock or a slot's status record cannot be written
};

// A short description, e.g. "another install is running".
const char* InstallErrorText(InstallError error);
// The exit status of fwkit install, status and mark-*: 0 Ok; a refused
// package gives pkgcheck's status for its verdict (PackageErrorStatus); the
// installer's own refusals give 10 and up (see the manual page).
int InstallErrorStatus(InstallError error, PackageError verdict = PackageError::Ok);
