"""Drive the channels of QLIX USB multi-channel serial adapters like serial ports.

Port names are "QLIXANYS<channel>" (that channel of any attached adapter) or
"QLIX<serial number>S<channel>", in any case; the serial number must not contain
the letter "S". For pyserial's own semantics and tools use the ``qlix://`` URLs
of the ``ozu_qlix_serial`` package.

The module's own errors (most messages are Chinese) carry a code, the exception's
``qlix_error`` ("not_found", "channel_out_of_range", "baud_timeout", ...), and the
values their message shows as attributes (``serial_number``, ``channel``,
``port_name``, ``baudrate``, ...); the README's "Errors you may see" lists them.
"""

import sys as sys
from array import array as _array
from typing import Any, Callable as _Callable, Iterable as _Iterable, Iterator
from typing import Union as Union

from serial import Serial as NormalSerial

_USBDevice = Any  # usb.core.Device (pyusb ships no types)

_vid: int
_pid: int
_backend: Any

class _Device:
    """One opened adapter: its USB endpoints, reader thread, control channel and open channels.

    Get one with ``get_hid_device``; ``Serial`` opens them itself.
    """

    PackageSize: int
    """Size of every USB packet exchanged with the adapter (64)."""
    IOControlChannel: int
    """Record identifier of the adapter's control channel (100)."""
    def __init__(self, dev_manager: _ResourceManager, hid_handle: _USBDevice) -> None:
        """Opens `hid_handle` (a pyusb device) and starts its reader thread; used by the registry."""
    def set_io_control_handler_for_channel(self, handler: _Callable[[_array], Any], channel: int) -> None:
        """Routes the replies to commands for `channel` to `handler` (called on the reader thread)."""
    def reset_io_control_handler_for_channel(self, channel: int) -> None:
        """Removes the reply handler of `channel`."""
    @property
    def channel_count(self) -> int:
        """Number of serial channels of the adapter (asked once, then kept)."""
    def close(self) -> None:
        """Stops the reader thread and releases the USB device."""
    def handle_io_control_package(self, package: _array, channel: int) -> None:
        """Passes a reply payload to the handler registered for `channel` (reader thread)."""
    def input_scanner_function(self) -> None:
        """The reader thread's loop: sorts incoming packets into channel queues and replies."""
    @staticmethod
    def handle_channel_count_response(package: _array) -> int:
        """The channel count in a "ChannelCount?" reply."""
    def open_channel(self, channel: int, baudrate: int, timeout: float) -> _Channel:
        """Opens `channel` at `baudrate`; the registry calls it for ``Serial``."""
    def close_channel(self, channel: int) -> None:
        """Forgets a closed channel; closing the last one closes the adapter."""
    @property
    def serial_number(self) -> str:
        """The adapter's USB serial number."""
    def output_data(self, data: _Iterable[int]) -> None:
        """Writes one 64-byte packet to the adapter."""
    def _send_command_to_channel(self, command: str, channel: int) -> None: ...
    def send_command_to_channel(self, command: str, channel: int) -> None:
        """Sends a text command for `channel` (0: the adapter itself)."""
    def io_control_master_query(self, command: str, handler: _Callable[[_array], Any], timeout: float = 0.5) -> Any:
        """Sends a query on the control channel and returns `handler`'s result for the reply."""
    @staticmethod
    def master_basic_handler(package: _array) -> str:
        """A control reply as text, without its line end."""
    def echo(self, content: str) -> str:
        """Sends `content` to the adapter and returns what it echoes back (should be the same)."""
    @property
    def firmware_version(self) -> str:
        """The adapter's firmware version text."""
    def close_if_idle(self) -> bool:
        """Closes the adapter and has the registry forget it, unless one of its channels is open (then
        it is left as it is): for an adapter opened only to be asked. An adapter closed already is only
        forgotten, with nothing sent. True when it had no open channel."""

class _Channel:
    """One open serial channel of an adapter; ``Serial`` forwards to it."""

    def __init__(self, device: _Device, channel_number: int, timeout: float = -1.0) -> None:
        """A channel object of `device`; channels are made by ``_Device.open_channel``."""
    def _update_baudrate(self, package: _array) -> None: ...
    def initialize(self, baudrate: int) -> None:
        """Sets the baud rate, opens the channel on the adapter and clears its input."""
    @property
    def baudrate(self) -> int:
        """The baud rate the adapter confirmed; setting it waits up to 1 s for the confirmation
        and raises OSError when it does not come or names another rate."""
    @baudrate.setter
    def baudrate(self, value: int) -> None: ...
    @property
    def name(self) -> str:
        """The channel's port name, "QLIX<serial number>S<channel>"."""
    def close(self) -> None:
        """Closes the channel (errors of the adapter are ignored)."""
    @property
    def is_open(self) -> bool:
        """True until ``close``."""
    @property
    def in_waiting(self) -> int:
        """Bytes received and not yet read."""
    def input_data(self, data: _Iterable[int]) -> None:
        """Queues received bytes; called by the reader thread."""
    def read_until(self, expected: bytes = b"\n", size: int | None = None) -> _array:
        """Reads up to and including the one-byte terminator `expected`, at most `size` bytes."""
    def read(self, max_size: int) -> _array:
        """Reads up to `max_size` bytes, waiting at most ``timeout`` seconds when above 0."""
    def write(self, data: bytes | bytearray | str | _Iterable[int]) -> int:
        """Sends `data` (text as UTF-8) in 64-byte packets and returns the number of bytes sent."""
    @property
    def timeout(self) -> float:
        """Read time limit in seconds; 0 or less waits without limit."""
    @timeout.setter
    def timeout(self, value: float) -> None: ...
    def flush_input(self) -> None:
        """Same as ``reset_input_buffer``."""
    def reset_input_buffer(self) -> None:
        """Discards received data, in the adapter and in the queue."""

class _ResourceManager:
    """The registry: one open ``_Device`` per adapter serial number."""

    @staticmethod
    def find_device(serial_number: str = "") -> _USBDevice | Iterator[_USBDevice] | None:
        """The attached adapter with `serial_number`, or every attached adapter when it is empty."""
    def __init__(self) -> None:
        """An empty registry; the module keeps one, ``_resource_manager``."""
    def get_device_by_serial_number(self, serial_number: str) -> _Device:
        """The open adapter with `serial_number` ("ANY": the first one), opened when needed."""
    def open_serial_channel(self, serial_number: str, channel: int, baudrate: int, timeout: float) -> _Channel:
        """Opens a channel of the adapter with `serial_number` ("ANY" for any adapter)."""
    def close_device(self, device: _Device) -> None:
        """Forgets a closed adapter."""

_resource_manager: _ResourceManager

def list_serial_numbers() -> list[str]:
    """Serial numbers of every attached adapter."""

class Serial:
    """One channel of a QLIX adapter with the call surface of pyserial's Serial.

    The port opens when constructed. `timeout` above 0 limits each read to that many
    seconds; 0 (the default) or a negative value lets reads wait until satisfied.
    """

    def __init__(
        self,
        port: str,
        baudrate: int = 9600,
        timeout: float = 0,
        *,
        bytesize: int = ...,
        parity: str = ...,
        stopbits: float = ...,
        xonxoff: bool = ...,
        rtscts: bool = ...,
        write_timeout: float | None = ...,
        dsrdtr: bool = ...,
        inter_byte_timeout: float | None = ...,
        exclusive: bool | None = ...,
    ) -> None:
        """Opens the channel named by `port` ("QLIXANYS1", "QLIX<serial number>S<channel>").

        pyserial's other keywords (bytesize, parity, ...) are accepted and ignored; any other
        keyword raises TypeError. Raises AssertionError for a name that does not follow the
        grammar or an adapter that is not attached, ValueError for a channel part that is not a
        number, OSError when the baud rate is not confirmed; pyusb's USBError (or
        NotImplementedError) saying what to do when the USB device cannot be opened.
        """
    def __enter__(self) -> Serial:
        """Returns the port itself (already open)."""
    def __exit__(self, exc_type: Any, exc_val: Any, exc_tb: Any) -> None:
        """Closes the port."""
    def close(self) -> None:
        """Closes the channel."""
    def read(self, size: int = 1) -> bytes:
        """Reads up to `size` bytes: all of them, or what came before the timeout."""
    def write(self, data: bytes | bytearray | memoryview | str | _Iterable[int]) -> int | None:
        """Sends `data` (text as UTF-8) and returns the number of bytes sent."""
    def read_until(self, expected: bytes = b"\n", size: int | None = None) -> bytes:
        """Reads up to and including the one-byte terminator `expected`, at most `size` bytes,
        or what came before the timeout."""
    @property
    def baudrate(self) -> int:
        """The channel's baud rate; setting it waits for the adapter's confirmation (OSError if none)."""
    @baudrate.setter
    def baudrate(self, value: int) -> None: ...
    @property
    def port(self) -> str | None:
        """The channel's port name, with the adapter's real serial number."""
    @property
    def is_open(self) -> bool:
        """True until ``close``."""
    @property
    def in_waiting(self) -> int | None:
        """Bytes received and not yet read."""
    @property
    def timeout(self) -> float:
        """Read time limit in seconds; 0 or less waits without limit (None is refused)."""
    @timeout.setter
    def timeout(self, value: float) -> None: ...
    def flushInput(self) -> None:
        """Same as ``reset_input_buffer``."""
    def flushOutput(self) -> None:
        """Does nothing: output is never buffered."""
    def flush(self) -> None:
        """Does nothing: ``write`` returns once the data is sent."""
    def reset_input_buffer(self) -> None:
        """Discards received data, in the adapter and in the port."""

def create_serial_instance(
    *args: Any,
    port: str | None = ...,
    baudrate: int = ...,
    timeout: float | None = ...,
    bytesize: int = ...,
    parity: str = ...,
    stopbits: float = ...,
    xonxoff: bool = ...,
    rtscts: bool = ...,
    write_timeout: float | None = ...,
    dsrdtr: bool = ...,
    inter_byte_timeout: float | None = ...,
    exclusive: bool | None = ...,
) -> Serial | NormalSerial:
    """A ``Serial`` for a port name beginning "QLIX", else pyserial's ``serial.Serial``, same arguments.

    Takes the keywords of pyserial's ``Serial``; any other keyword raises TypeError."""

def get_hid_device(serial_number: str = "ANY") -> _Device:
    """The open adapter with `serial_number` ("ANY": any attached adapter), opened when needed."""

def list_qlix_names() -> list[str]:
    """Every port name of every attached adapter, "QLIX<serial number>S<channel>"."""
