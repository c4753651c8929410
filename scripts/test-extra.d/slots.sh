# Sourced by the installer's scenarios (uboot, power-cut): the fwkit to run,
# a signing key, packages of small slot images and the system description
# that names the slots. Not executable, so scripts/test-all does not run it.
#
# The sourcing script sets $work (a scratch directory) and $name (its own
# name, for messages) and is in the tree's top directory.

# private_lock SCRIPT ARGS...: libubootenv serializes every reader and writer
# of any environment on the machine through one lock file,
# /var/lock/fw_printenv.lock; a run of another test (or one stuck in it)
# would hold this one up. The script runs again in a mount namespace of its
# own (a user namespace too when not root) with a private /run/lock. Returns
# only where that cannot be made, and the script goes on as it is.
private_lock() {
    [ -z "${FWKIT_PRIVATE_LOCK:-}" ] || return 0
    local user=
    [ "$(id -u)" -eq 0 ] || user=-r
    unshare $user -m true 2>/dev/null || return 0
    FWKIT_PRIVATE_LOCK=1 exec unshare $user -m --propagation private \
        sh -c 'mount -t tmpfs fwkit-lock /run/lock && exec "$@"' sh "$@"
}

# fwkit: $FWKIT when set (an installed one), else from build/ when
# scripts/test-all has just made it, else from a release build of its own in
# build-slots/ (only fwkit is built).
find_fwkit() {
    fwkit=${FWKIT:-}
    [ -z "$fwkit" ] || return 0
    local build=$PWD/build
    if [ ! -f "$build/CMakeCache.txt" ]; then
        build=$PWD/build-slots
        cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DFWKIT_TESTS=OFF >/dev/null || return 1
    fi
    cmake --build "$build" -j"$(nproc 2>/dev/null || echo 2)" --target fwkit >/dev/null || return 1
    fwkit=$build/fwkit
}

# fwkit_installs: whether this fwkit has the install and status subcommands.
fwkit_installs() {
    "$fwkit" install --help >/dev/null 2>&1 && "$fwkit" status --help >/dev/null 2>&1
}

# make_key: the signing key $work/release.pem and its public half release.pub.
make_key() {
    (cd "$work" && "$fwkit" keygen -q release) >/dev/null
}

# fat_image FILE KIB VERSION: a FAT file system of KIB KiB whose
# /etc/fwkit-release names VERSION, as the reference boot script reads it.
fat_image() {
    rm -f "$1"
    mkfs.vfat -C "$1" "$2" >/dev/null &&
        printf 'fwkit_version=%s\n' "$3" >"$work/release.txt" &&
        mmd -i "$1" ::etc && mcopy -i "$1" "$work/release.txt" ::etc/fwkit-release
}

# make_package IMAGE VERSION PACKAGE: IMAGE stamped as a rootfs image
# (filetype 1) of VERSION and signed with the release key.
make_package() {
    "$fwkit" stamp -v "$2" -f 1 -o "$work/stamped.pkg" "$1" >/dev/null &&
        "$fwkit" sign -q -k "$work/release.pem" --compatible qemu-arm64-demo -o "$3" "$work/stamped.pkg" >/dev/null
}

# describe FILE DEVICE-A DEVICE-B KIND [BOOTLOADER-SECTION-LINES...]: the
# system description of one rootfs class with slots A and B, the booted slot
# read from $work/cmdline, the state in $work/state.
describe() {
    local file=$1 a=$2 b=$3 kind=$4
    shift 4
    mkdir -p "$work/state"
    {
        printf '[system]\ncompatible = qemu-arm64-demo\nkeyring = %s\nthreshold = 1\n' \
            "$work/release.pub"
        printf 'cmdline = %s\nstate = %s\ntries = 3\n' "$work/cmdline" "$work/state"
        printf '%s\n' "$@"
        printf '\n[class rootfs]\nfiletype = 1\n'
        printf '\n[slot rootfs.A]\ndevice = %s\nkind = %s\nbootname = A\n' "$a" "$kind"
        printf '\n[slot rootfs.B]\ndevice = %s\nkind = %s\nbootname = B\n' "$b" "$kind"
    } >"$file"
}

# booted NAME: the command line says slot NAME is running.
booted() {
    printf 'console=ttyAMA0 root=PARTLABEL=rootfs fwkit.slot=%s\n' "$1" >"$work/cmdline"
}
