"""A slow serial line behind the adapter (the virtual adapter's slow-UART mode): the adapter NAKs
OUT packets while the channel's buffer is full, and each way of writing meets that as it should."""

import time

import pytest
import serial
import usb.core

import ozu_qlix
import ozu_qlix_serial  # noqa: F401  (registers qlix://)

PORT_TIMEOUT = 10
DATA = bytes(i & 0xFF for i in range(2048))


@pytest.fixture
def slow(virtual_adapter):
    virtual_adapter.uart_buffer = 256
    return virtual_adapter


@pytest.mark.parametrize("write_timeout", [None, 5, 0])
def test_url_write_waits_out_the_naks_until_every_byte_is_taken(slow, open_port, watchdog, write_timeout):
    port = open_port(baudrate=9600, write_timeout=write_timeout)
    began = time.monotonic()
    assert port.write(DATA) == len(DATA)
    port.flush()
    took = time.monotonic() - began
    assert slow.received(1) == DATA  # nothing lost, nothing sent twice
    assert bytes(port.read(len(DATA))) == DATA
    assert took > 1.5  # (2048 - 256 buffered) bytes at 960 bytes/s


@pytest.mark.parametrize("api, error", [("url", serial.SerialTimeoutException), ("module", usb.core.USBTimeoutError)])
def test_write_that_cannot_finish_in_time_raises(slow, open_port, api, error):
    if api == "url":
        port = open_port(baudrate=9600, write_timeout=0.5)
    else:
        port = ozu_qlix.Serial("QLIX0123456789ABS1", baudrate=9600, timeout=1)
    began = time.monotonic()
    try:
        with pytest.raises(error) as failure:
            port.write(DATA)
        took = time.monotonic() - began
    finally:
        port.close()
    if api == "url":
        assert isinstance(failure.value.__cause__, usb.core.USBTimeoutError)
        assert 0.45 < took < 5, took
    sent = slow.received(1)
    assert 256 <= len(sent) < len(DATA) and DATA.startswith(sent)
