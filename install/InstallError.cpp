#include "InstallError.h"

const char* InstallErrorText(InstallError error) {
    switch (error) {
    case InstallError::Ok:
        return "installed";
    case InstallError::Package:
        return "the package is refused";
    case InstallError::Description:
        return "the system description is refused";
    case InstallError::BootedUnknown:
        return "the booted slot cannot be told";
    case InstallError::TargetIsBooted:
        return "the target slot is the booted slot";
    case InstallError::UnknownSlot:
        return "no such slot";
    case InstallError::SlotUnavailable:
        return "the slot cannot be used";
    case InstallError::ReadBackMismatch:
        return "the slot read back does not hold the image written";
    case InstallError::Locked:
        return "another install is running";
    case InstallError::HookFailed:
        return "a hook failed";
    case InstallError::Bootloader:
        return "the bootloader environment cannot be used";
    case InstallError::StateFailed:
        return "the installer's state cannot be written";
    }
    return "unknown error";
}

int InstallErrorStatus(InstallError error, PackageError verdict) {
    switch (error) {
    case InstallError::Ok:
        return 0;
    case InstallError::Package:
        return PackageErrorStatus(verdict);
    case InstallError::Description:
        return 10;
    case InstallError::BootedUnknown:
        return 11;
    case InstallError::TargetIsBooted:
        return 12;
    case InstallError::UnknownSlot:
        return 13;
    case InstallError::SlotUnavailable:
        return 14;
    case InstallError::ReadBackMismatch:
        return 15;
    case InstallError::Locked:
        return 16;
    case InstallError::HookFailed:
        return 17;
    case InstallError::Bootloader:
        return 18;
    case InstallError::StateFailed:
        return 19;
    }
    return 1;
}
