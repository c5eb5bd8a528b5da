"""The class surface as Python sees it: members in order, their kinds,
parameters, defaults and string annotations."""

import inspect

import pytest

import ozu_qlix

S = "(self)"

# (stored name, kind, signature(s) or value)
SURFACE = {
    "_Device": [
        ("PackageSize", "attr", 64),
        ("IOControlChannel", "attr", 100),
        ("__init__", "method", "(self, dev_manager, hid_handle: '_USBDevice')"),
        ("set_io_control_handler_for_channel", "method", "(self, handler: '_Callable', channel: 'int')"),
        ("reset_io_control_handler_for_channel", "method", "(self, channel: 'int')"),
        ("_Device__read", "method", "(self, timeout: 'int' = 50) -> '_array'"),
        ("_Device__write", "method", "(self, data, timeout: 'int' = 100)"),
        ("_Device__query_channel_count", "method", S),
        ("channel_count", "property", "(self) -> 'int'"),
        ("close", "method", S),
        ("handle_io_control_package", "method", "(self, package: '_array', channel: 'int')"),
        ("input_scanner_function", "method", S),
        ("handle_channel_count_response", "static", "(package: '_array')"),
        ("open_channel", "method", "(self, channel: 'int', baudrate: 'int', timeout: 'float')"),
        ("close_channel", "method", "(self, channel: 'int')"),
        ("serial_number", "property", "(self) -> 'str'"),
        ("output_data", "method", "(self, data)"),
        ("_send_command_to_channel", "method", "(self, command: 'str', channel: 'int')"),
        ("send_command_to_channel", "method", "(self, command: 'str', channel: 'int')"),
        ("io_control_master_query", "method", "(self, command: 'str', handler: '_Callable', timeout: 'float' = 0.5)"),
        ("master_basic_handler", "static", "(package: '_array')"),
        ("echo", "method+doc", "(self, content: 'str') -> 'str'"),
        ("firmware_version", "property", "(self) -> 'str'"),
        ("close_if_idle", "method+doc", "(self) -> 'bool'"),
    ],
    "_Channel": [
        ("__init__", "method", "(self, device: '_Device', channel_number: 'int', timeout: 'float' = -1.0)"),
        ("_update_baudrate", "method", "(self, package: '_array')"),
        ("initialize", "method", "(self, baudrate: 'int')"),
        ("baudrate", "property", ("(self) -> 'int'", "(self, value: 'int')")),
        ("name", "property", "(self) -> 'str'"),
        ("close", "method", S),
        ("is_open", "property", "(self) -> 'bool'"),
        ("in_waiting", "property", "(self) -> 'int'"),
        ("input_data", "method", "(self, data)"),
        ("read_until", "method", "(self, expected=b'\\n', size: 'int' = None) -> '_array'"),
        ("read", "method", "(self, max_size: 'int')"),
        ("_Channel__read", "method+doc", "(self, max_size: 'int')"),
        ("write", "method", "(self, data: '_Iterable') -> 'int'"),
        ("timeout", "property", ("(self) -> 'float'", "(self, value: 'float')")),
        ("flush_input", "method", S),
        ("reset_input_buffer", "method", S),
    ],
    "_ResourceManager": [
        ("find_device", "static", "(serial_number: 'str' = '') -> '_usb_core.Device'"),
        ("__init__", "method", S),
        ("get_device_by_serial_number", "method", "(self, serial_number: 'str') -> '_Device'"),
        (
            "open_serial_channel",
            "method",
            "(self, serial_number: 'str', channel: 'int', baudrate: 'int', timeout: 'float') -> '_Channel'",
        ),
        ("close_device", "method", "(self, device: '_Device')"),
    ],
    "Serial": [
        ("__init__", "method", "(self, port: 'str', baudrate: 'int' = 9600, timeout: 'float' = 0.0, **kwargs)"),
        ("__enter__", "method", S),
        ("__exit__", "method", "(self, exc_type, exc_val, exc_tb)"),
        ("close", "method", S),
        ("read", "method", "(self, size: 'int' = 1) -> 'bytes'"),
        ("write", "method", "(self, data) -> 'int'"),
        ("read_until", "method", "(self, expected=b'\\n', size=None) -> 'bytes'"),
        ("baudrate", "property", (S, "(self, value: 'int')")),
        ("port", "property", "(self) -> 'str'"),
        ("is_open", "property", S),
        ("in_waiting", "property", "(self) -> 'int'"),
        ("timeout", "property", ("(self) -> 'float'", "(self, value: 'float')")),
        ("flushInput", "method", S),
        ("flushOutput", "method", S),
        ("flush", "method", S),
        ("reset_input_buffer", "method", S),
    ],
}

FUNCTIONS = [
    ("list_serial_numbers", "()"),
    ("create_serial_instance", "(*args, **kwargs) -> 'Union[Serial, NormalSerial]'"),
    ("get_hid_device", "(serial_number: 'str' = 'ANY') -> '_Device'"),
    ("list_qlix_names", "() -> '_List[str]'"),
]

CLASS_ENTRIES = {"__module__", "__qualname__", "__dict__", "__weakref__", "__doc__"}


def check_function(func, signature, qualname, doc=False):
    assert str(inspect.signature(func)) == signature
    assert func.__module__ == "ozu_qlix" and func.__qualname__ == qualname
    assert all(type(v) is str for v in func.__annotations__.values())
    assert bool(func.__doc__) == doc


def require(class_name):
    return getattr(ozu_qlix, class_name)


@pytest.mark.parametrize("class_name", list(SURFACE))
def test_member_order(class_name):
    cls = require(class_name)
    assert type(cls) is type and cls.__bases__ == (object,) and cls.__module__ == "ozu_qlix"
    assert [n for n in vars(cls) if n not in CLASS_ENTRIES] == [n for n, _, _ in SURFACE[class_name]]


@pytest.mark.parametrize(
    "class_name, name, kind, expected",
    [(c, *m) for c, members in SURFACE.items() for m in members],
    ids=lambda v: v if isinstance(v, str) and "(" not in v else None,
)
def test_member(class_name, name, kind, expected):
    cls = require(class_name)
    raw = vars(cls)[name]
    qualname = "%s.%s" % (
        class_name,
        name.replace("_" + class_name.lstrip("_"), "", 1)
        if name.startswith("_" + class_name.lstrip("_") + "__")
        else name,
    )
    if kind == "attr":
        assert type(raw) is int and raw == expected
    elif kind == "static":
        assert isinstance(raw, staticmethod)
        check_function(raw.__func__, expected, qualname)
    elif kind == "property":
        assert isinstance(raw, property)
        getter, setter = expected if isinstance(expected, tuple) else (expected, None)
        check_function(raw.fget, getter, qualname)
        if setter is None:
            assert raw.fset is None
        else:
            check_function(raw.fset, setter, qualname)
        assert raw.fdel is None
    else:
        assert not isinstance(raw, (staticmethod, classmethod, property))
        check_function(raw, expected, qualname, doc=kind == "method+doc")


@pytest.mark.parametrize("name, signature", FUNCTIONS)
def test_module_function(name, signature):
    check_function(getattr(ozu_qlix, name), signature, name)


@pytest.mark.parametrize(
    "owner, name, expected",
    [
        ("Serial", "__init__", (9600, 0.0)),
        ("Serial", "read_until", (b"\n", None)),
        ("_ResourceManager", "find_device", ("",)),
        ("_Channel", "read_until", (b"\n", None)),
        (None, "get_hid_device", ("ANY",)),
    ],
)
def test_default_values_and_types(owner, name, expected):
    func = getattr(require(owner) if owner else ozu_qlix, name)
    assert func.__defaults__ == expected
    assert [type(v) for v in func.__defaults__] == [type(v) for v in expected]


def test_stub_lists_the_same_public_members():
    import ast
    import pathlib

    stub = pathlib.Path(__file__).resolve().parent.parent / "python" / "ozu_qlix-stubs" / "__init__.pyi"
    tree = ast.parse(stub.read_text())
    classes = {n.name: n for n in tree.body if isinstance(n, ast.ClassDef)}
    functions = [n.name for n in tree.body if isinstance(n, ast.FunctionDef)]
    assert functions == [n for n, _ in FUNCTIONS]
    for class_name, members in SURFACE.items():
        listed = []
        for node in classes[class_name].body:
            name = getattr(node, "name", None) or getattr(getattr(node, "target", None), "id", None)
            if name and name not in listed:
                listed.append(name)
        public = [n for n, _, _ in members if not n.startswith("_" + class_name.lstrip("_") + "__")]
        assert listed == public
