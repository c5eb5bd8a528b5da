"""Telnet and RFC 2217 for ozu-qlix-serve: pyserial's ``serial.rfc2217.PortManager`` fitted to a
channel, and the filter that takes a client's Telnet commands out of its data.

This is the only module that reaches into PortManager's state (its mode, its subnegotiation
buffer, its option list and its subnegotiation handler)."""

from __future__ import annotations

import logging
import struct
from typing import TYPE_CHECKING

import serial
from serial import rfc2217

if TYPE_CHECKING:
    from .bridge import ChannelService
    from .client import Client

log = logging.getLogger("ozu_qlix_serial.serve")

IAC = rfc2217.IAC
MAX_SUBNEGOTIATION = 1024  # a longer Telnet subnegotiation ends the connection


class Hostile(Exception):
    """Input that ends the connection."""


class _Settings:
    """What PortManager sees as the serial port: the channel's real settings. Changes the adapter
    cannot make are ignored, so PortManager answers with the setting the channel has."""

    def __init__(self, service: "ChannelService") -> None:
        self._service = service

    baudrate = property(lambda self: self._service.baudrate, lambda self, value: None)
    bytesize = property(lambda self: serial.EIGHTBITS, lambda self, value: None)
    parity = property(lambda self: serial.PARITY_NONE, lambda self, value: None)
    stopbits = property(lambda self: serial.STOPBITS_ONE, lambda self, value: None)
    xonxoff = property(lambda self: False, lambda self, value: None)
    rtscts = property(lambda self: False, lambda self, value: None)
    rts = property(lambda self: True, lambda self, value: None)
    dtr = property(lambda self: True, lambda self, value: None)
    break_condition = property(lambda self: False, lambda self, value: None)

    def _line(name: str) -> property:  # type: ignore[misc]
        return property(lambda self: self._service.line(name))

    cts, dsr, ri, cd = _line("cts"), _line("dsr"), _line("ri"), _line("cd")
    del _line

    def reset_input_buffer(self) -> None:
        self._service.request_purge()

    def reset_output_buffer(self) -> None:
        self._service.reset_output()


class _DebugLog:
    """PortManager's log, all at debug level: ``-v`` shows the negotiation."""

    def __init__(self, prefix: str) -> None:
        self._prefix = prefix

    def _log(self, message: str) -> None:
        log.debug("%s: %s", self._prefix, message)

    debug = info = warning = error = _log


class PortManager(rfc2217.PortManager):
    """pyserial's RFC 2217 state machine; a baud rate goes to the adapter without blocking the
    loop and is answered once the adapter confirmed it, and flow control and break, which the
    adapter does not have, are answered with what the channel really does."""

    def __init__(self, client: "Client", plain: bool = False) -> None:
        self.client = client
        self.plain = plain  # Telnet without the COM-PORT option
        super().__init__(_Settings(client.service), client, _DebugLog(client.label))  # type: ignore[arg-type]
        if plain:
            options = self._telnet_options  # type: ignore[has-type]
            self._telnet_options = [o for o in options if o.option != rfc2217.COM_PORT_OPTION]

    def telnet_send_option(self, action: bytes, option: bytes) -> None:
        if self.plain and option == rfc2217.COM_PORT_OPTION and action in (rfc2217.WILL, rfc2217.DO):
            return
        super().telnet_send_option(action, option)

    def _telnet_process_subnegotiation(self, suboption: bytes) -> None:
        if suboption[0:1] == rfc2217.COM_PORT_OPTION:
            if self.plain:
                return
            command, value = suboption[1:2], suboption[2:]
            if command == rfc2217.SET_BAUDRATE and len(value) == 4:
                (rate,) = struct.unpack("!I", value)
                if rate:
                    self.client.service.request_baudrate(rate, self.client)
                else:
                    self.answer_baudrate(self.client.service.baudrate)
                return
            if command == rfc2217.SET_CONTROL and value[:1] in _FLOW_REQUESTS:
                self.rfc2217_send_subnegotiation(rfc2217.SERVER_SET_CONTROL, rfc2217.SET_CONTROL_USE_NO_FLOW_CONTROL)
                return
            if command == rfc2217.SET_CONTROL and value[:1] in _BREAK_REQUESTS:
                self.rfc2217_send_subnegotiation(rfc2217.SERVER_SET_CONTROL, rfc2217.SET_CONTROL_BREAK_OFF)
                return
        super()._telnet_process_subnegotiation(suboption)  # type: ignore[misc]

    def answer_baudrate(self, rate: int) -> None:
        self.rfc2217_send_subnegotiation(rfc2217.SERVER_SET_BAUDRATE, struct.pack("!I", rate))

    def data_of(self, data: bytes) -> bytearray:
        """The data in a client's input, its Telnet commands handled; runs of data go past the
        byte-wise filter. Hostile for a subnegotiation longer than MAX_SUBNEGOTIATION."""
        out = bytearray()
        pos, end = 0, len(data)
        while pos < end:
            if self.mode == rfc2217.M_NORMAL:
                stop = data.find(IAC, pos)
                stop = end if stop < 0 else stop
                if stop > pos:
                    if self.suboption is None:
                        out += data[pos:stop]
                    else:
                        self.suboption += data[pos:stop]
                    pos = stop
                    continue
            try:
                for byte in self.filter(data[pos : pos + 1]):
                    out += byte
            except Exception as exc:  # a malformed command: PortManager's state back to data
                log.debug("%s: bad Telnet sequence ignored: %r", self.client.label, exc)
                self.mode, self.suboption = rfc2217.M_NORMAL, None
            pos += 1
            if self.suboption is not None and len(self.suboption) > MAX_SUBNEGOTIATION:
                raise Hostile("Telnet subnegotiation longer than %d bytes" % MAX_SUBNEGOTIATION)
        if self.suboption is not None and len(self.suboption) > MAX_SUBNEGOTIATION:
            raise Hostile("Telnet subnegotiation longer than %d bytes" % MAX_SUBNEGOTIATION)
        return out


_FLOW_REQUESTS = (
    rfc2217.SET_CONTROL_REQ_FLOW_SETTING,
    rfc2217.SET_CONTROL_USE_NO_FLOW_CONTROL,
    rfc2217.SET_CONTROL_USE_SW_FLOW_CONTROL,
    rfc2217.SET_CONTROL_USE_HW_FLOW_CONTROL,
)
_BREAK_REQUESTS = (rfc2217.SET_CONTROL_REQ_BREAK_STATE, rfc2217.SET_CONTROL_BREAK_ON, rfc2217.SET_CONTROL_BREAK_OFF)
