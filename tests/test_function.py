"""The module's function type behaves like a Python function: binding,
argument errors, defaults, annotations and signatures."""

import inspect
import types

import pytest

import ozu_qlix

# (qualified name, reference definition with the same parameters)
REFERENCES = [
    (
        "_Channel.__init__",
        "def __init__(self, device: '_Device', channel_number: 'int', timeout: 'float' = -1.0): pass",
    ),
    ("_Channel.read_until", "def read_until(self, expected=b'\\n', size: 'int' = None) -> '_array': pass"),
    (
        "_Device.io_control_master_query",
        "def io_control_master_query(self, command: 'str', handler: '_Callable', timeout: 'float' = 0.5): pass",
    ),
    ("_Device.__init__", "def __init__(self, dev_manager, hid_handle: '_USBDevice'): pass"),
    ("_ResourceManager.find_device", "def find_device(serial_number: 'str' = '') -> '_usb_core.Device': pass"),
    ("get_hid_device", "def get_hid_device(serial_number: 'str' = 'ANY') -> '_Device': pass"),
    ("list_qlix_names", "def list_qlix_names() -> '_List[str]': pass"),
    ("create_serial_instance", "def create_serial_instance(*args, **kwargs) -> 'Union[Serial, NormalSerial]': pass"),
]


def lookup(qualname):
    obj = ozu_qlix
    for part in qualname.split("."):
        obj = inspect.getattr_static(obj, part) if isinstance(obj, type) else getattr(obj, part)
    return obj.__func__ if isinstance(obj, staticmethod) else obj


def reference(qualname, source):
    namespace = {}
    exec(source, namespace)
    func = next(v for v in namespace.values() if isinstance(v, types.FunctionType))
    func.__qualname__ = qualname
    return func


def binding_errors(ref):
    """Calls that fail in argument binding, before any body runs."""
    params = list(inspect.signature(ref).parameters.values())
    normal = [p for p in params if p.kind is p.POSITIONAL_OR_KEYWORD]
    required = [p for p in normal if p.default is p.empty]
    has_varargs = any(p.kind is p.VAR_POSITIONAL for p in params)
    has_varkw = any(p.kind is p.VAR_KEYWORD for p in params)
    calls = []
    if required:
        calls.append(((), {}))
        if len(required) > 1:
            calls.append(((0,), {}))
    if not has_varargs:
        calls.append(((0,) * (len(normal) + 1), {}))
    if not has_varkw:
        calls.append(((0,) * len(required), {"bogus": 1}))
    if normal:
        calls.append(((0,) * max(1, len(required)), {normal[0].name: 1}))
    return calls


def error_of(func, args, kwargs):
    with pytest.raises(TypeError) as info:
        func(*args, **kwargs)
    return str(info.value)


@pytest.mark.parametrize("qualname, source", REFERENCES, ids=[r[0] for r in REFERENCES])
def test_matches_a_python_function(qualname, source):
    func, ref = lookup(qualname), reference(qualname, source)
    assert func.__name__ == ref.__name__
    assert func.__qualname__ == qualname
    assert func.__module__ == "ozu_qlix"
    assert func.__defaults__ == ref.__defaults__
    assert func.__kwdefaults__ is None
    assert func.__annotations__ == ref.__annotations__
    assert str(inspect.signature(func)) == str(inspect.signature(ref))
    for args, kwargs in binding_errors(ref):
        assert error_of(func, args, kwargs) == error_of(ref, args, kwargs), (args, kwargs)


def test_methods_bind_like_python_methods():
    func = ozu_qlix._Channel.read_until
    channel = ozu_qlix._Channel(object(), 1)
    bound = channel.read_until
    assert isinstance(bound, types.MethodType)
    assert bound.__func__ is func and bound.__self__ is channel
    assert str(inspect.signature(bound)) == "(expected=b'\\n', size: 'int' = None) -> '_array'"
    assert func.__get__(None, ozu_qlix._Channel) is func


def test_defaults_are_read_at_call_time():
    func = ozu_qlix.get_hid_device
    saved = func.__defaults__
    func.__defaults__ = (None,)
    try:
        with pytest.raises(TypeError, match="'serial_number' has incorrect type"):
            func()
    finally:
        func.__defaults__ = saved
    assert func.__defaults__ == ("ANY",)


def test_function_attributes_are_writable():
    func = ozu_qlix.list_qlix_names
    func.marker = 1
    assert func.__dict__ == {"marker": 1}
    del func.marker
    with pytest.raises(TypeError):
        func.__defaults__ = [1]


def test_non_string_keywords_name_the_function():
    with pytest.raises(TypeError, match=r"^create_serial_instance\(\) keywords must be strings$"):
        ozu_qlix.create_serial_instance(**{1: 2})
