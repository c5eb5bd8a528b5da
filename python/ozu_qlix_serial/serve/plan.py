"""The channel plan of ozu-qlix-serve: which channels are served, their TCP ports and terminal paths."""

from __future__ import annotations

import dataclasses
import os
from typing import Any, Dict, List, Optional, Sequence, Set, Tuple

from .. import _extension
from .config import ConfigError, Options, parse_choice


@dataclasses.dataclass
class Entry:
    """One served channel: its name, URL, TCP port and terminal path (None without a terminal)."""

    name: str
    url: str
    serial_number: str
    channel: int
    tcp_port: int
    path: Optional[str]

    def as_dict(self) -> Dict[str, Any]:
        return {"name": self.name, "url": self.url, "tcp_port": self.tcp_port, "path": self.path}


class Planner:
    """Which channels are served and their TCP ports and paths.

    Numbering: a channel given its own port has it; every other channel gets the lowest port from
    ``port_base`` on that no channel has yet, in the order of ``--list``: adapters by serial number,
    then channels by number. A channel keeps its port while the server runs (across replugs); the
    same adapters give the same ports at every start. ``port_base`` 0 gives each listener a port
    chosen by the system."""

    def __init__(self, options: Options) -> None:
        self.options = options
        self.choices: Dict[str, Optional[Set[int]]] = {}  # serial number: channels (None: all)
        for text in options.select:
            serial_number, channel = parse_choice(text)
            if channel is None:
                self.choices[serial_number] = None
            elif serial_number not in self.choices or self.choices[serial_number] is not None:
                self.choices.setdefault(serial_number, set()).add(channel)  # type: ignore[union-attr]
        self.assigned: Dict[str, int] = dict(options.tcp_ports)

    def wants(self, serial_number: str) -> bool:
        return not self.choices or serial_number in self.choices

    def channels(self, serial_number: str, count: int) -> List[int]:
        """The chosen channels of an adapter with `count` channels; ConfigError for a chosen one it lacks."""
        chosen = self.choices.get(serial_number) if self.choices else None
        missing = sorted(ch for ch in chosen or () if ch > count)
        if missing:
            raise ConfigError(
                "adapter %s has %d channels: no channel %s" % (serial_number, count, ", ".join(map(str, missing)))
            )
        return [ch for ch in range(1, count + 1) if chosen is None or ch in chosen]

    def tcp_port(self, name: str) -> int:
        """The channel's TCP port; ConfigError when the ports from ``port_base`` run out."""
        if name not in self.assigned:
            port = 0
            if self.options.port_base:
                used = set(self.assigned.values())
                port = self.options.port_base
                while port in used:
                    port += 1
                if port > 65535:
                    raise ConfigError(
                        "--port-base %d: no TCP port left for %s (ports end at 65535)" % (self.options.port_base, name)
                    )
            self.assigned[name] = port
        return self.assigned[name]


def entry_for(planner: Planner, serial_number: str, channel: int) -> Entry:
    """The entry of one channel, its TCP port numbered by `planner`."""
    name = _extension.port_name(serial_number, channel)
    link_dir = planner.options.link_dir
    path = os.path.join(link_dir, name) if link_dir is not None and os.name != "nt" else None
    return Entry(name, _extension.url(serial_number, channel), serial_number, channel, planner.tcp_port(name), path)


def plan(options: Options, adapters: Sequence[Tuple[str, int]]) -> List[Entry]:
    """The channels a server with `options` serves on `adapters` (serial number, channel count)."""
    planner = Planner(options)
    return [
        entry_for(planner, sn, ch)
        for sn, count in sorted(adapters)
        if planner.wants(sn)
        for ch in planner.channels(sn, count)
    ]
