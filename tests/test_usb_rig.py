"""The module on the real USB stack: the adapter's firmware as a gadget on the kernel's dummy
host controller, driven through the real libusb and usbfs (scripts/usb_rig.sh)."""

import os

import pytest

import usb_rig

pytestmark = pytest.mark.usb_rig


@pytest.fixture(scope="session")
def gadget():
    g = usb_rig.Gadget(os.environ.get("OZU_QLIX_RIG_GADGET", ""))
    yield g
    g.stop()


@pytest.fixture(params=["vendor", "hid"])
def attached(request, gadget):
    gadget.start(request.param)
    return gadget


def test_listing_and_queries(attached):
    import ozu_qlix
    assert ozu_qlix.list_serial_numbers() == [usb_rig.SERIAL]
    dev = ozu_qlix.get_hid_device(usb_rig.SERIAL)
    assert dev.channel_count == usb_rig.CHANNELS
    assert dev.echo("hello rig") == "hello rig"
    assert dev.firmware_version
