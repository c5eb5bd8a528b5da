"""pyserial's exceptions for the errors of the ``ozu_qlix`` extension, as a ``qlix://`` port raises them.

The extension's own errors carry a code, ``qlix_error``, and the values their message shows as
attributes (``serial_number``, ``channel``, ``port_name``, ...): they are told apart and described
from those, never from their text, which is mostly Chinese.
"""

from __future__ import annotations

from typing import Any, List, NoReturn, Optional, Tuple

from serial.serialutil import PortNotOpenError, SerialException, SerialTimeoutException
from usb.core import USBTimeoutError  # type: ignore[import-untyped]

# What the codes say in English; the values are the exception's attributes of those names.
_ENGLISH = {
    "channel_out_of_range": (
        "channel {channel} is out of range: adapter {serial_number} has channels 1 to {channel_count}"
    ),
    "channel_already_open": "channel {channel} of adapter {serial_number} is already open (one port per channel)",
    "channel_count_timeout": "adapter {serial_number} did not answer the channel-count query in time",
    "baud_timeout": "setting the baud rate of {port_name} to {baudrate} timed out",
    "baud_refused": "the adapter did not take the baud rate {baudrate} for {port_name}: it runs at {current_baudrate}",
    "disconnected": "the adapter of {port_name} is disconnected (unplugged, or its USB reads fail)",
    "channel_closed": "{port_name} is closed",
    "adapter_closed": "adapter {serial_number} is closed (unplugged, or its USB reads failed)",
}
_NO_ADAPTER = (
    "no QLIX adapter is attached: `ozu-qlix-ports` lists the attached ones; to set one up, see the "
    'README, "Use a real adapter"'
)
_NOT_ATTACHED = (
    "no attached QLIX adapter has the serial number {serial_number}{attached}: `ozu-qlix-ports` lists the attached ones"
)


class _Values(dict):
    """An exception's attributes for a text: one it lacks reads None (a description never fails)."""

    def __missing__(self, key: str) -> None:
        return None


def code_of(exc: BaseException) -> Optional[str]:
    """The code of an error of the ``ozu_qlix`` extension (its ``qlix_error``), None for any other error."""
    code = getattr(exc, "qlix_error", None)
    return code if isinstance(code, str) else None


def describe(exc: BaseException, channel: Optional[int] = None, attached: Optional[List[str]] = None) -> str:
    """The text of an error of the ``ozu_qlix`` module for pyserial users: English first, the module's
    own text after it in parentheses; other errors' text as it is. `attached` lists the serial numbers
    of the attached adapters, where known. `channel` is the channel being opened, for errors that do not
    carry one."""
    text = str(exc)
    code = code_of(exc)
    values = _Values(vars(exc))
    values.setdefault("channel", channel)
    if code == "not_found":
        if values.get("serial_number") == "ANY":
            english = _NO_ADAPTER
        else:
            listed = " (attached: %s)" % (", ".join(attached) or "none") if attached is not None else ""
            values["attached"] = listed
            english = _NOT_ATTACHED.format_map(values)
    elif code in _ENGLISH:
        english = _ENGLISH[code].format_map(values)
    else:
        return text
    return "%s (%s)" % (english, text)


def open_failure(exc: Exception, channel: int) -> Tuple[str, Exception]:
    """The text for a port that did not open, and the error to chain: for an adapter not found, the
    error that listing the adapters gives instead, when there is one (access denied, no driver)."""
    attached = None
    if code_of(exc) == "not_found":
        import ozu_qlix

        try:
            attached = ozu_qlix.list_serial_numbers()
        except Exception as listing:  # names the cause: the adapter is there but cannot be opened
            return describe(listing), listing
    return describe(exc, channel, attached), exc


def port_error(exc: BaseException) -> SerialException:
    """pyserial's exception for an error of the channel: the adapter lost (OSError) or a USB failure."""
    return SerialException(describe(exc))


def failure(channel: Any, exc: Exception) -> Exception:
    """pyserial's exception for `exc` raised by `channel`: the channel closed (by the port's close() in
    another thread) gives PortNotOpenError, an OSError (adapter lost, USB failure) SerialException."""
    if not channel.is_open:
        return PortNotOpenError()
    if isinstance(exc, OSError):
        return port_error(exc)
    return exc


def write_failure(channel: Any, exc: Exception) -> Exception:
    """As failure, with pyusb's OUT time-out as pyserial's write time-out."""
    if isinstance(exc, USBTimeoutError):
        return SerialTimeoutException("Write timeout")
    return failure(channel, exc)


def raise_as(failure: Exception, exc: Exception) -> NoReturn:
    """Raises `failure` for the caught `exc`: `exc` itself as it is, or pyserial's exception chained to it."""
    if failure is exc:
        raise exc
    raise failure from exc
