#!/bin/bash
# Inside the rig's guest (the host's root, read-only): loads the USB gadget
# stack with a full-speed dummy_hcd, then runs the usb_rig tests. The tests
# set up and change the gadget themselves (tests/usb_rig.py).
work="$1"
results="$work/results"
. "$results/env"
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/tmp TMPDIR=/tmp
for ko in "${MODULES[@]}"; do
    case "$ko" in */dummy_hcd.ko) params=is_high_speed=0 ;; *) params= ;; esac  # the adapter is full speed
    insmod "$ko" $params || echo "rig: insmod ${ko##*/} failed"
done
mount -t configfs none /sys/kernel/config
export OZU_QLIX_RIG=1 OZU_QLIX_RIG_GADGET="$work/qlix-gadget" PYTHONDONTWRITEBYTECODE=1
cd "$ROOT"
"$PYTHON" -m pytest -p no:cacheprovider -p no:randomly -m usb_rig -rA tests/test_usb_rig.py "${PYTEST_ARGS[@]}" \
    > "$results/pytest.log" 2>&1
echo $? > "$results/status"
sync
