"""What this package takes from the ``ozu_qlix`` extension beyond its public members.

Every read of the extension's private attributes, and every convention of it
that this package repeats, is here and nowhere else in the package.
"""

from __future__ import annotations

from typing import Any, Dict


def port_name(serial_number: str, channel: int) -> str:
    """The extension's name of a channel's port ("QLIX<serial number>S<channel>")."""
    return "QLIX%sS%d" % (serial_number, channel)


def url(serial_number: str, channel: int) -> str:
    """The ``qlix://`` URL of a channel."""
    return "qlix://%s/%d" % (serial_number, channel)


def payload_size() -> int:
    """Data bytes one USB packet carries: the packet less its channel and count bytes."""
    import ozu_qlix

    return ozu_qlix._Device.PackageSize - 2


def in_signal(channel: Any) -> Any:
    """The signal that wakes the reads waiting on `channel` (None for an object without one)."""
    return channel.__dict__.get("_Channel__in_signal")


def read(channel: Any, size: int, timeout: float) -> Any:
    """`channel.read(size)` waiting at most `timeout` (a channel time-out), not the channel's own."""
    return in_signal(channel).read(channel, size, timeout)


def _devices() -> Dict[str, Any]:
    import ozu_qlix

    return getattr(ozu_qlix._resource_manager, "_ResourceManager__devices")  # serial number: _Device


def registered_adapters() -> Dict[str, Any]:
    """The adapters the extension holds open, by serial number."""
    return dict(_devices())


def open_channel(serial_number: str, channel: int, baudrate: int, timeout: float) -> Any:
    """Opens a channel through the extension's registry, as ``ozu_qlix.Serial`` does; `timeout` is a
    channel time-out (0: no limit)."""
    import ozu_qlix

    return ozu_qlix._resource_manager.open_serial_channel(
        serial_number=serial_number, channel=channel, baudrate=baudrate, timeout=timeout
    )


def close_if_idle(device: Any) -> bool:
    """Closes an adapter (and has the registry forget it) unless a channel of it is open; True when it had none."""
    return device.close_if_idle()
