# Sourced by the wheel scripts after wheel_env.sh: a Debian sid chroot with
# the CPython versions the host lacks (3.14 and 3.15, with their headers and
# venv), cached in $CACHE/sid and built on first use.
#
#   sid_ready              builds the chroot unless it is complete already
#   sid_python X.Y         a command that runs the chroot's CPython X.Y on
#                          the host (its own loader and libraries), for CMake
#   sid_run COMMAND...     runs COMMAND in the chroot as root, in a clean
#                          environment, with /proc, /dev and the checkout
#                          (at its own path) mounted for the run only
#
# Building needs root, debootstrap (taken from the distribution when
# missing) and Debian's mirror; pip inside gets the host's locally added CA
# certificates. The chroot is marked ready only once complete, so an
# interrupted build starts over.
SID_VERSIONS=(3.14 3.15)
SID=$CACHE/sid
SID_MIRROR=${SID_MIRROR:-http://deb.debian.org/debian}
SID_PACKAGES="ca-certificates"
for _v in "${SID_VERSIONS[@]}"; do SID_PACKAGES+=" python$_v python$_v-dev python$_v-venv"; done
unset _v

# is_sid_version X.Y: whether X.Y is one of the chroot's.
is_sid_version() {
    local v
    for v in "${SID_VERSIONS[@]}"; do [ "$v" = "$1" ] && return 0; done
    return 1
}

# _sid_mount TARGET, _sid_unmount: the mounts sid_run and the build need,
# undone in reverse order whatever happens.
# The checkout is mounted only when a second argument is given.
_sid_mounts=()
_sid_mount() {
    local root=$1
    trap _sid_unmount EXIT
    trap '_sid_unmount; exit 130' INT TERM
    mkdir -p "$root/proc" "$root/dev"
    mount -t proc proc "$root/proc" && _sid_mounts=("$root/proc" "${_sid_mounts[@]}") || return 1
    mount --rbind /dev "$root/dev" && mount --make-rslave "$root/dev" &&
        _sid_mounts=("$root/dev" "${_sid_mounts[@]}") || return 1
    [ $# -gt 1 ] || return 0
    mkdir -p "$root$ROOT"
    mount --bind "$ROOT" "$root$ROOT" && _sid_mounts=("$root$ROOT" "${_sid_mounts[@]}")
}
_sid_unmount() {
    local mnt
    for mnt in "${_sid_mounts[@]}"; do umount -R "$mnt" || umount -lR "$mnt"; done
    _sid_mounts=()
    trap - EXIT INT TERM
}

# _sid_remove DIR: deletes a chroot tree, never through a mount left inside.
_sid_remove() {
    [ -e "$1" ] || return 0
    if awk -v dir="$1/" 'index($2 "/", dir) == 1 { found = 1 } END { exit !found }' /proc/mounts; then
        echo "$1 still has mounts inside; not removing it" >&2
        return 1
    fi
    rm -rf --one-file-system "$1"
}

# _sid_chroot ROOT COMMAND...: COMMAND in ROOT with a clean environment.
_sid_chroot() {
    local root=$1
    shift
    env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
        DEBIAN_FRONTEND=noninteractive PIP_DISABLE_PIP_VERSION_CHECK=1 chroot "$root" "$@"
}

sid_ready() {
    [ "$(cat "$SID/.ready" 2>/dev/null)" = "$SID_PACKAGES" ] && return 0
    local tmp=$SID.tmp status=0
    # One build at a time; a run that waited finds it done.
    exec 8>"$CACHE/sid.lock"
    flock 8
    [ "$(cat "$SID/.ready" 2>/dev/null)" = "$SID_PACKAGES" ] && { exec 8>&-; return 0; }
    step "sid chroot: debootstrap into $SID (first use)"
    if ! command -v debootstrap >/dev/null 2>&1; then
        apt-get -o DPkg::Lock::Timeout=600 update -qq &&
            apt-get -o DPkg::Lock::Timeout=600 install -y -qq debootstrap >/dev/null || return 1
    fi
    _sid_remove "$SID" && _sid_remove "$tmp" || return 1
    debootstrap --variant=minbase sid "$tmp" "$SID_MIRROR" >"$CACHE/sid.log" 2>&1 ||
        { tail -n 30 "$CACHE/sid.log"; exec 8>&-; return 1; }
    # sid's Release file may be past its Valid-Until on the mirror.
    echo 'Acquire::Check-Valid-Until "false";' >"$tmp/etc/apt/apt.conf.d/99no-valid-until"
    cp /etc/resolv.conf "$tmp/etc/resolv.conf"
    mkdir -p "$tmp/usr/local/share/ca-certificates"
    cp /usr/local/share/ca-certificates/*.crt "$tmp/usr/local/share/ca-certificates/" 2>/dev/null || true
    step "sid chroot: installing $SID_PACKAGES"
    _sid_mount "$tmp" || { _sid_unmount; return 1; }
    {
        _sid_chroot "$tmp" apt-get update -qq &&
            _sid_chroot "$tmp" apt-get install -y -qq --no-install-recommends $SID_PACKAGES &&
            _sid_chroot "$tmp" update-ca-certificates &&
            _sid_chroot "$tmp" apt-get clean
    } >>"$CACHE/sid.log" 2>&1 || { status=1; tail -n 30 "$CACHE/sid.log"; }
    _sid_unmount
    [ "$status" -eq 0 ] || { exec 8>&-; return 1; }
    mv "$tmp" "$SID"
    echo "$SID_PACKAGES" >"$SID/.ready"
    exec 8>&-
}

# Writes a small launcher for the chroot's CPython X.Y into $CACHE/sid-bin and
# prints its path.
sid_python() {
    local launcher=$CACHE/sid-bin/python$1
    mkdir -p "$CACHE/sid-bin"
    cat >"$launcher" <<EOF
#!/bin/sh
PYTHONHOME=$SID/usr exec $SID/lib64/ld-linux-x86-64.so.2 \\
    --library-path $SID/usr/lib/x86_64-linux-gnu:$SID/lib/x86_64-linux-gnu $SID/usr/bin/python$1 "\$@"
EOF
    chmod +x "$launcher"
    echo "$launcher"
}

# sid_include X.Y: prints a folder to add to the include path for the
# chroot's CPython X.Y headers: Debian's pyconfig.h includes
# <x86_64-linux-gnu/pythonX.Y/pyconfig.h>, and that folder holds only it, so
# no other header of the chroot's (its C library's) shadows the compiler's.
sid_include() {
    local dir=$CACHE/sid-bin/include
    mkdir -p "$dir/x86_64-linux-gnu"
    ln -sfn "$SID/usr/include/x86_64-linux-gnu/python$1" "$dir/x86_64-linux-gnu/python$1"
    echo "$dir"
}

sid_run() {
    local status
    sid_ready || return 1
    _sid_mount "$SID" checkout || { _sid_unmount; return 1; }
    _sid_chroot "$SID" "$@"
    status=$?
    _sid_unmount
    return "$status"
}
