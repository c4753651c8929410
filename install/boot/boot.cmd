# fwkit's reference U-Boot boot script: chooses a slot from BOOT_ORDER and
# BOOT_<name>_LEFT, counts the try, saves the environment, boots the slot.
#
#   mkimage -A arm64 -T script -C none -n fwkit -d boot.cmd boot.scr
#
# The environment is kept as uboot.env (env export -c format, the size of
# fw_env.config's line) on the partition this script was loaded from, so
# that fwkit on the running system reads and writes it through libubootenv.
# Settings, taken from the environment when set there:
#   fwkit_tries         tries a slot gets again when every slot ran out (3)
#   fwkit_order         BOOT_ORDER when the environment has none ("A B")
#   fwkit_env_file      the environment file (uboot.env)
#   fwkit_env_size      its size, as in fw_env.config (0x40000)
#   fwkit_part_<name>   the partition of slot <name> on this disk (A: 2, B: 3)
#   fwkit_release_file  the file in a slot naming its version (/etc/fwkit-release,
#                       lines "fwkit_version=...")
#   fwkit_boot          the command that boots the slot; unset, /boot/Image
#                       is loaded from the slot and started with booti
# U-Boot's setexpr counts in hexadecimal: keep tries between 1 and 9.

# Where this script came from, kept apart from the environment file imported
# below, which holds these variables too.
iface="${devtype}"
disk="${devnum}"
envpart="${distro_bootpart}"
# Each setting is a shell variable: the environment's fwkit_<setting> when set,
# else the default here. Defaults are never saved into the environment, so a
# newer script's defaults take effect.
tries=3
order="A B"
env_file=uboot.env
env_size=0x40000
release_file=/etc/fwkit-release
env exists fwkit_env_file && env_file="${fwkit_env_file}"
env exists fwkit_env_size && env_size="${fwkit_env_size}"
buf="${ramdisk_addr_r}"

if load ${iface} ${disk}:${envpart} ${buf} ${env_file}; then
    env import -c ${buf} ${filesize}
else
    echo "fwkit: no ${env_file}, starting from the defaults"
fi
env exists fwkit_tries && tries="${fwkit_tries}"
env exists fwkit_order && order="${fwkit_order}"
env exists fwkit_release_file && release_file="${fwkit_release_file}"
if env exists BOOT_ORDER; then
    true
else
    setenv BOOT_ORDER "${order}"
    for name in ${BOOT_ORDER}; do
        setenv BOOT_${name}_LEFT ${tries}
    done
fi

# The first slot in BOOT_ORDER with tries left is chosen.
slot=
for name in ${BOOT_ORDER}; do
    if test -z "${slot}"; then
        setenv fwkit_get "left=\${BOOT_${name}_LEFT}"
        run fwkit_get
        if test -n "${left}" && test ${left} -gt 0; then
            slot=${name}
        fi
    fi
done
if test -z "${slot}"; then
    echo "fwkit: no slot has tries left; every slot gets ${tries} again"
    for name in ${BOOT_ORDER}; do
        setenv BOOT_${name}_LEFT ${tries}
        if test -z "${slot}"; then
            slot=${name}
        fi
    done
    left=${tries}
fi
setexpr BOOT_${slot}_LEFT ${left} - 1
setenv fwkit_get "left=\${BOOT_${slot}_LEFT}"
run fwkit_get
setenv fwkit_get

# Saved before the slot is started, so that a slot that hangs has used its try.
env export -c -s ${env_size} ${buf}
save ${iface} ${disk}:${envpart} ${buf} ${env_file} ${env_size} || echo "fwkit: cannot save ${env_file}"

slot_part=
setenv fwkit_get "slot_part=\${fwkit_part_${slot}}"
run fwkit_get
setenv fwkit_get
if test -z "${slot_part}"; then
    test "${slot}" = A && slot_part=2
    test "${slot}" = B && slot_part=3
fi
setenv fwkit_version unknown
if load ${iface} ${disk}:${slot_part} ${pxefile_addr_r} ${release_file}; then
    env import -t ${pxefile_addr_r} ${filesize} fwkit_version
fi
echo "fwkit: booting slot ${slot} (partition ${slot_part}, ${left} tries left), version ${fwkit_version}"
part uuid ${iface} ${disk}:${slot_part} fwkit_uuid
setenv bootargs "${bootargs} root=PARTUUID=${fwkit_uuid} fwkit.slot=${slot}"
if env exists fwkit_boot; then
    run fwkit_boot
else
    load ${iface} ${disk}:${slot_part} ${kernel_addr_r} /boot/Image
    booti ${kernel_addr_r} - ${fdtcontroladdr}
fi
echo "fwkit: slot ${slot} did not start"
