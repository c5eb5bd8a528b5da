"""QLIX adapter channels for pyserial: the ``qlix://`` URL scheme and command-line tools.

Importing this package registers the scheme with pyserial::

    import serial
    import ozu_qlix_serial

    with serial.serial_for_url("qlix://ANY/1", baudrate=115200, timeout=1) as port:
        port.write(b"AT\\r\\n")
        print(port.readline())

The URL is ``qlix://<serial number or ANY>/<channel>``, in any case. The port is a
``serial.SerialBase`` with pyserial's semantics (see ``ozu_qlix_serial.protocol_qlix.Serial``).
The adapters are driven by the ``ozu_qlix`` extension, imported when the first port opens.

With the environment variable ``OZU_QLIX_VIRTUAL`` set, importing this package plugs in the
virtual adapters it names (see ``ozu_qlix_sim.use_environment``).
"""

import os as _os

import serial as _serial

from .protocol_qlix import OUTPUT_QUEUE_LIMIT, Serial, parse_url, port_url

__all__ = ["Serial", "parse_url", "port_url", "OUTPUT_QUEUE_LIMIT", "__version__"]

__version__ = "0.1.0"

if __name__ not in _serial.protocol_handler_packages:
    _serial.protocol_handler_packages.append(__name__)

if _os.environ.get("OZU_QLIX_VIRTUAL"):
    import ozu_qlix_sim as _sim

    _sim.use_environment()
