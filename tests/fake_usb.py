"""A duck-typed stand-in for a pyusb device of a QLIX adapter, with a small
firmware model; and, at the end, stand-ins for the adapter object itself as a
channel sees it.

The fake answers the adapter's text commands, loops channel data back, and
lets tests inject raw inbound packets, make replies go wrong and unplug the
device. Everything the module sent is kept in `written` (one bytes object per
OUT transfer).
"""

import array
import collections
import threading

import usb.core

PACKAGE_SIZE = 64


class FakeEndpoint:
    def __init__(self, address, size=PACKAGE_SIZE):
        self.bEndpointAddress = address
        self.wMaxPacketSize = size


class FakeInterface:
    def __init__(self, endpoints):
        self._endpoints = endpoints

    def endpoints(self):
        return list(self._endpoints)


class FakeConfiguration:
    def __init__(self, interfaces):
        self._interfaces = interfaces

    def interfaces(self):
        return list(self._interfaces)


class _FakeContext:
    """What usb.util.dispose_resources reaches through `device._ctx`."""

    def __init__(self, device):
        self.device = device

    def dispose(self, device):
        assert device is self.device
        device.disposed += 1


def packet(*records, size=PACKAGE_SIZE):
    """Builds an inbound packet from (channel, payload) records, zero padded."""
    raw = bytearray()
    for channel, payload in records:
        payload = payload.encode() if isinstance(payload, str) else bytes(payload)
        raw += bytes([channel, len(payload)]) + payload
    raw += bytes(max(0, size - len(raw)))
    return bytes(raw)


class FakeAdapter:
    """A QLIX adapter as pyusb would present it, with a firmware model.

    Firmware replies can be changed per test:
      channel_count_reply: None (answer the channel count), "silent", or bytes
      config_reply: "echo" (the rate set), "silent", "garbage", or an int rate
      version: the text answering "Version?"
    """

    IN_ADDRESS = 0x81
    OUT_ADDRESS = 0x01

    def __init__(
        self,
        serial_number="0123456789AB",
        channels=4,
        *,
        kernel_driver=True,
        kernel_unsupported=False,
        endpoints_swapped=False,
        loopback=True,
    ):
        self.serial_number = serial_number
        self.channels = channels
        self.kernel_driver = kernel_driver
        self.kernel_unsupported = kernel_unsupported
        self.loopback = loopback
        self.channel_count_reply = None
        self.config_reply = "echo"
        self.version = "QLIX-FW 1.0"
        self.baud = {}
        self.open_channels = set()
        self.received = collections.defaultdict(bytearray)  # channel data that arrived
        self.commands = []  # (channel byte, text) of every command received
        self.written = []  # raw OUT transfers
        self.calls = []  # kernel-driver and configuration calls, in order
        self.disposed = 0
        self.unplugged = False
        self.read_error = None  # an exception instance the next read raises
        self.write_error = None  # an exception instance every write raises
        self.malformed = 0
        self._ctx = _FakeContext(self)
        self._inbox = collections.deque()
        self._cond = threading.Condition()
        self.reads = 0
        ep_in, ep_out = FakeEndpoint(self.IN_ADDRESS), FakeEndpoint(self.OUT_ADDRESS)
        eps = [ep_out, ep_in] if endpoints_swapped else [ep_in, ep_out]
        self._config = FakeConfiguration([FakeInterface(eps)])

    # --- what the module uses ------------------------------------------------
    def is_kernel_driver_active(self, interface):
        self.calls.append(("is_kernel_driver_active", interface))
        if self.kernel_unsupported:
            raise NotImplementedError("kernel driver management not supported")
        return self.kernel_driver

    def detach_kernel_driver(self, interface):
        self.calls.append(("detach_kernel_driver", interface))
        if self.kernel_unsupported:
            raise NotImplementedError("kernel driver management not supported")
        self.kernel_driver = False

    def get_active_configuration(self):
        self.calls.append(("get_active_configuration",))
        return self._config

    def read(self, endpoint, size_or_buffer, timeout=None):
        import array

        with self._cond:
            self.reads += 1
            if not self._inbox and not self.unplugged and self.read_error is None:
                self._cond.wait(timeout / 1000.0 if timeout else None)
            if self.read_error is not None:
                error, self.read_error = self.read_error, None
                raise error
            if self.unplugged:
                raise usb.core.USBError("No such device (it may have been disconnected)", -4, 19)
            if not self._inbox:
                raise usb.core.USBTimeoutError("Operation timed out", -7, 110)
            data = self._inbox.popleft()
        return array.array("B", data[:size_or_buffer])

    def write(self, endpoint, data, timeout=None):
        if self.unplugged:
            raise usb.core.USBError("No such device (it may have been disconnected)", -4, 19)
        if self.write_error is not None:
            raise self.write_error
        raw = bytes(data)
        self.written.append(raw)
        self._firmware(raw)
        return len(raw)

    # --- test hooks ------------------------------------------------------------
    def inject(self, raw):
        """Queues one raw inbound transfer (not padded)."""
        with self._cond:
            self._inbox.append(bytes(raw))
            self._cond.notify_all()

    def send(self, *records):
        """Queues one inbound packet made of (channel, payload) records."""
        self.inject(packet(*records))

    def unplug(self):
        with self._cond:
            self.unplugged = True
            self._cond.notify_all()

    def fail_next_read(self, error):
        with self._cond:
            self.read_error = error
            self._cond.notify_all()

    def pending(self):
        with self._cond:
            return len(self._inbox)

    def commands_for(self, channel):
        return [text for ch, text in self.commands if ch == 100 + channel]

    # --- firmware --------------------------------------------------------------
    def _firmware(self, raw):
        if len(raw) != PACKAGE_SIZE:
            self.malformed += 1
        channel, count = raw[0], raw[1]
        payload = raw[2 : 2 + count]
        if count > PACKAGE_SIZE - 2 or any(raw[2 + count : PACKAGE_SIZE]):
            self.malformed += 1
        if channel >= 100:
            try:
                text = payload.decode("utf-8")
            except UnicodeDecodeError:
                self.malformed += 1
                return
            if not text.endswith("\n"):
                self.malformed += 1
            self.commands.append((channel, text))
            self._command(channel - 100, text.rstrip("\n"))
        elif channel:
            self.received[channel] += payload
            if self.loopback and channel in self.open_channels:
                self.send((channel, payload))
        else:
            self.malformed += 1

    def _command(self, channel, text):
        if channel == 0:
            if text == "ChannelCount?":
                reply = self.channel_count_reply
                if reply == "silent":
                    return
                self.send((100, str(self.channels) + "\n" if reply is None else reply))
            elif text == "Version?":
                self.send((100, self.version))
            elif text.startswith("Echo ") and text.endswith("?"):
                self.send((100, text[5:-1]))
            else:
                self.malformed += 1
            return
        if text.startswith("Config "):
            self.baud[channel] = int(text[7:])
        elif text == "Config?":
            reply = self.config_reply
            if reply == "silent":
                return
            if reply == "garbage":
                self.send((100 + channel, "??"))
            elif reply == "echo":
                self.send((100 + channel, "%d\n" % self.baud.get(channel, 9600)))
            else:
                self.send((100 + channel, "%d\n" % reply))
        elif text == "OpenChannel":
            self.open_channels.add(channel)
        elif text == "CloseChannel":
            self.open_channels.discard(channel)
        elif text == "FlushInput":
            pass
        else:
            self.malformed += 1


# --- stand-ins for a _Device, as a _Channel sees it ------------------------------


class FakeDevice:
    """Records what a channel asks of its adapter; answers "Config?" at once."""

    PackageSize, serial_number = 64, "0123456789AB"

    def __init__(self, reply=b"9600\n"):
        self.reply, self.log, self.packets, self.handlers, self.fail = reply, [], [], {}, {}

    def set_io_control_handler_for_channel(self, handler, channel):
        self.log.append(("set", channel))
        self.handlers[channel] = handler

    def reset_io_control_handler_for_channel(self, channel):
        self.log.append(("reset", channel))
        self.handlers.pop(channel, None)

    def send_command_to_channel(self, command, channel):
        self.log.append((command, channel))
        if command in self.fail:
            raise self.fail[command]
        if command == "Config?" and self.reply is not None and channel in self.handlers:
            self.handlers[channel](array.array("B", self.reply))

    def output_data(self, package):
        if len(self.packets) == self.fail.get("packet"):
            raise OSError("write timed out")
        self.packets.append(package)

    def close_channel(self, channel):
        self.log.append(("close_channel", channel))


class RecordingDevice:
    """The least a _Channel needs of its adapter: it records output packets."""

    serial_number = "BENCH"

    def __init__(self):
        self.packets = []

    def output_data(self, package):
        self.packets.append(package)

    def send_command_to_channel(self, command, channel):
        pass

    def close_channel(self, channel):
        pass
