#include "CBootEnv.h"

#include "CGrubEnv.h"
#include "CScriptEnv.h"
#include "CSystemDescription.h"
#include "CUbootEnv.h"

std::unique_ptr<CBootEnv> CBootEnv::For(const SystemDescription& system) {
    if (system.bootloader == "grub")
        return std::make_unique<CGrubEnv>(system.grubEnv);
    if (system.bootloader == "script")
        return std::make_unique<CScriptEnv>(system.scriptCommand);
    return std::make_unique<CUbootEnv>(system.ubootConfig);
}
