#!/usr/bin/env bash
# The USB kernel rig: boots a Linux kernel under QEMU whose dummy host
# controller (dummy_hcd) carries the adapter's firmware as a FunctionFS gadget
# (sim/gadget.cpp), and runs the usb_rig tests inside it against the real
# libusb and usbfs, with this checkout's .venv. Prints pytest's summary line
# and exits with pytest's status.
#
#   scripts/usb_rig.sh [--keep] [-k EXPR] [more pytest arguments]
#
# --keep leaves the run's work folder (console log, pytest log) for a look.
# What it installs (QEMU, busybox-static, cpio, kmod, udev from apt; the
# kernel package unpacked, not installed) is cached in $OZU_QLIX_RIG_CACHE
# (default ~/.cache/ozu_qlix_rig). OZU_QLIX_RIG_TIMEOUT (seconds, default 900)
# bounds the guest's run.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
CACHE="${OZU_QLIX_RIG_CACHE:-$HOME/.cache/ozu_qlix_rig}"
TIMEOUT="${OZU_QLIX_RIG_TIMEOUT:-900}"
PYTHON="${OZU_QLIX_RIG_PYTHON:-$ROOT/.venv/bin/python}"
keep=0
args=()
while [ $# -gt 0 ]; do
    case "$1" in
        --keep) keep=1 ;;
        -k) args+=("-k" "$2"); shift ;;
        *) args+=("$1") ;;
    esac
    shift
done

say() { echo "usb_rig: $*" >&2; }
cannot() { say "cannot run: $*"; exit 2; }

[ "$(uname -s)" = Linux ] || cannot "the rig needs a Linux host"
[ "$(uname -m)" = x86_64 ] || cannot "the rig boots an amd64 kernel and needs an x86_64 host"
[ -x "$PYTHON" ] || cannot "no Python environment at $PYTHON (set up .venv as the README says)"
"$PYTHON" -c "import ozu_qlix, libusb_package" 2>/dev/null || cannot "$PYTHON has no ozu_qlix or libusb_package installed"
mkdir -p "$CACHE"

# --- what the rig needs, from apt (once) --------------------------------------------
apt_get() {
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=600 "$@"
}
need=()
command -v qemu-system-x86_64 >/dev/null || need+=(qemu-system-x86)
{ [ -x /bin/busybox ] && /bin/busybox --list 2>/dev/null | grep -x insmod >/dev/null; } || need+=(busybox-static)
command -v cpio >/dev/null || need+=(cpio)
command -v depmod >/dev/null || need+=(kmod)
[ -x /lib/systemd/systemd-udevd ] || need+=(udev)
command -v g++ >/dev/null || need+=(g++)
if [ ${#need[@]} -gt 0 ]; then
    say "installing ${need[*]}"
    { apt_get update -qq && apt_get install -y -qq --no-install-recommends "${need[@]}" >/dev/null; } \
        || cannot "could not install ${need[*]} with apt-get"
fi
command -v qemu-system-x86_64 >/dev/null || cannot "no QEMU (qemu-system-x86_64)"

# --- the kernel: Debian's generic amd64 image, unpacked --------------------------------
vmlinuz=$(ls "$CACHE"/kernel/boot/vmlinuz-* 2>/dev/null | head -1 || true)
if [ -z "$vmlinuz" ] || [ ! -f "$CACHE/kernel/.unpacked" ]; then
    say "fetching the kernel package"
    rm -rf "$CACHE/kernel" "$CACHE"/linux-image-*.deb
    image=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/{print $2; exit}')
    if [ -z "$image" ]; then
        apt_get update -qq || true
        image=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/{print $2; exit}')
    fi
    [ -n "$image" ] || cannot "no kernel package (linux-image-amd64) known to apt"
    (cd "$CACHE" && apt_get download "$image" >/dev/null 2>&1) || cannot "could not download $image"
    dpkg-deb -x "$CACHE"/"$image"_*.deb "$CACHE/kernel" || cannot "could not unpack $image"
    rm -f "$CACHE"/linux-image-*.deb
    touch "$CACHE/kernel/.unpacked"
    vmlinuz=$(ls "$CACHE"/kernel/boot/vmlinuz-* | head -1)
fi
kver=${vmlinuz##*/vmlinuz-}
mods="$CACHE/kernel/lib/modules/$kver"
[ -f "$mods/modules.dep" ] || depmod -b "$CACHE/kernel" "$kver" || cannot "depmod failed for $kver"
for m in dummy_hcd usb_f_fs libcomposite usbhid 9p 9pnet_virtio; do
    modprobe -d "$CACHE/kernel" -S "$kver" --show-depends "$m" >/dev/null 2>&1 \
        || cannot "the kernel $kver has no module $m"
done

# --- the initramfs: busybox, the 9p and virtio modules, scripts/rig/init --------------------
initrd="$CACHE/initramfs-$kver.cpio.gz"
stamp=$(cat "$ROOT/scripts/rig/init" "$ROOT/scripts/usb_rig.sh" /bin/busybox | sha256sum | cut -c1-16)
if [ ! -f "$initrd" ] || [ "$(cat "$initrd.stamp" 2>/dev/null)" != "$stamp" ]; then
    tmp=$(mktemp -d)
    mkdir -p "$tmp"/{bin,dev,proc,sys,newroot,modules}
    cp /bin/busybox "$tmp/bin/busybox"
    cp "$ROOT/scripts/rig/init" "$tmp/init"
    chmod +x "$tmp/init"
    for m in virtio_pci 9pnet_virtio 9p; do modprobe -d "$CACHE/kernel" -S "$kver" --show-depends "$m"; done \
        | awk '$1 == "insmod" {print $2}' | awk '!seen[$0]++' | while read -r ko; do
        cp "$ko" "$tmp/modules/"
        echo "${ko##*/}" >> "$tmp/modules/order"
    done
    (cd "$tmp" && find . | cpio -o -H newc --quiet | gzip -1) > "$initrd.part" && mv "$initrd.part" "$initrd"
    echo "$stamp" > "$initrd.stamp"
    rm -rf "$tmp"
fi

# --- this run ---------------------------------------------------------------------
work=$(mktemp -d "$CACHE/run.XXXXXX")
cleanup() { if [ "$keep" -eq 1 ]; then say "work folder kept: $work"; else rm -rf "$work"; fi; }
trap cleanup EXIT
mkdir -p "$work/results"
g++ -std=c++20 -O2 -pthread -I"$ROOT/sim" "$ROOT/sim/gadget.cpp" "$ROOT/sim/adapter.cpp" -o "$work/qlix-gadget" \
    || cannot "could not build the gadget program"
{
    printf 'ROOT=%q\nPYTHON=%q\nMODS=%q\nWORK=%q\n' "$ROOT" "$PYTHON" "$mods" "$work"
    # The gadget stack's modules with what they depend on, in loading order.
    printf 'MODULES=('
    for m in configfs libcomposite usb_f_fs usbhid hid_generic dummy_hcd; do
        modprobe -d "$CACHE/kernel" -S "$kver" --show-depends "$m"
    done | awk '$1 == "insmod" && !seen[$2]++ {printf "%s ", $2}'
    printf ')\n'
    printf 'PYTEST_ARGS=('; [ ${#args[@]} -gt 0 ] && printf '%q ' "${args[@]}"; printf ')\n'
} > "$work/results/env"

accel=tcg
grep -qwE 'vmx|svm' /proc/cpuinfo && [ -w /dev/kvm ] && accel=kvm
smp=$(nproc); [ "$smp" -gt 2 ] && smp=2
say "booting $kver under QEMU ($accel)"
started=$(date +%s)
set +e
timeout "$TIMEOUT" qemu-system-x86_64 -accel "$accel" -m 2048 -smp "$smp" -nographic -no-reboot \
    -kernel "$vmlinuz" -initrd "$initrd" \
    -append "console=ttyS0 quiet loglevel=3 panic=-1 rigwork=$work rigguest=$ROOT/scripts/rig/guest.sh" \
    -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap,id=hostroot \
    -virtfs local,path="$work/results",mount_tag=results,security_model=none,id=results \
    -nic none > "$work/console.log" 2>&1 < /dev/null
qemu_status=$?
set -e
elapsed=$(( $(date +%s) - started ))
if [ "$qemu_status" -eq 124 ]; then
    tail -20 "$work/console.log" >&2
    say "the guest did not finish within ${TIMEOUT}s"
    keep=1
    exit 3
fi
if [ ! -f "$work/results/status" ]; then
    tail -30 "$work/console.log" >&2
    say "the guest ended without a test result (QEMU status $qemu_status)"
    keep=1
    exit 3
fi
[ -f "$work/results/pytest.log" ] && cat "$work/results/pytest.log"
status=$(cat "$work/results/status")
say "guest run took ${elapsed}s, pytest status $status"
exit "$status"
