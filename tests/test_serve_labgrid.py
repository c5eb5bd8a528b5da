"""A served channel driven through labgrid (the `labgrid` extra): its NetworkSerialPort over RFC 2217
and SerialDriver, the baud rate set from labgrid reaching the adapter."""

import pytest

from test_serve import SERIAL, start  # noqa: F401  (start: a fixture)

labgrid = pytest.importorskip("labgrid")

pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning")

ENVIRONMENT = """\
targets:
  main:
    resources:
      NetworkSerialPort:
        host: 127.0.0.1
        port: %d
        speed: 57600
    drivers:
      SerialDriver: {}
"""


def test_labgrid_serial_driver(sim, start, tmp_path):
    adapter = sim.add_adapter(SERIAL, channels=2)
    server = start(link_dir=None)
    config = tmp_path / "env.yaml"
    config.write_text(ENVIRONMENT % server.tcp(2))
    target = labgrid.Environment(str(config)).get_target("main")
    driver = target.get_driver("SerialDriver")
    try:
        assert adapter.channel_rate(2) == 57600
        driver.write(b"labgrid says hello\n")
        driver.expect("says hello")
        assert adapter.received(2) == b"labgrid says hello\n"
    finally:
        target.deactivate(driver)
