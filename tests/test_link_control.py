"""Control-channel commands, queries, the channel count and the handler table."""

import os
import threading

import pytest
import usb.core

import ozu_qlix
from conftest import run_child, wait_until

SERIAL = "0123456789AB"


def sent(fake):
    return list(fake.written)


@pytest.mark.parametrize("command, channel, record", [
    ("OpenChannel", 3, bytes([103, 12]) + b"OpenChannel\n"),
    ("Version?", 0, bytes([100, 9]) + b"Version?\n"),
    ("Config 9600\n", 1, bytes([101, 12]) + b"Config 9600\n"),
    ("a" * 61, 2, bytes([102, 62]) + b"a" * 61 + b"\n"),
    ("é" * 30 + "a", 4, bytes([104, 62]) + ("é" * 30 + "a\n").encode()),
    ("", 0, bytes([100, 1, 10])),
])
def test_command_packet_bytes(make_device, command, channel, record):
    device = make_device()
    fake = device._Device__dev
    assert device._Device__io_control_master_protector.locked() is False
    device._send_command_to_channel(command, channel)
    assert sent(fake) == [record + bytes(64 - len(record))]


@pytest.mark.parametrize("command", ["b" * 62, "é" * 31, "x" * 100])
def test_over_long_command_is_refused(make_device, command):
    device = make_device()
    with pytest.raises(AssertionError) as info:
        device._send_command_to_channel(command, 1)
    assert str(info.value) == "命令[%s]过长。包含命令结束符后，长度不能超过[62]个字节:%s" % (command, SERIAL)
    assert sent(device._Device__dev) == []


@pytest.mark.parametrize("channel", [156, -101, 10 ** 30])
def test_channel_byte_out_of_range_writes_nothing(make_device, channel):
    device = make_device()
    with pytest.raises(OverflowError):
        device._send_command_to_channel("X", channel)
    assert sent(device._Device__dev) == []


def test_query_needs_question_mark_and_sends_nothing(make_device):
    device = make_device()
    with pytest.raises(AssertionError, match="^查询指令必须要以英文问号\\[\\?\\]结尾:%s$" % SERIAL):
        device.io_control_master_query("Version", ozu_qlix._Device.master_basic_handler)
    assert sent(device._Device__dev) == []
    assert not device._Device__io_control_master_protector.locked()


@pytest.mark.parametrize("payload, text", [
    (bytes([0x41, 0xFF]), "A\u00ff"),
    ("héllo".encode(), "héllo"),
    (b"v1\n", "v1\n"),
    (b"", ""),
])
def test_master_basic_handler_decodes(payload, text):
    import array
    assert ozu_qlix._Device.master_basic_handler(array.array("B", payload)) == text


def test_echo_version_and_doc(make_device):
    device = make_device()
    fake = device._Device__dev
    assert device.echo("héllo wörld") == "héllo wörld"
    assert device.firmware_version == "QLIX-FW 1.0"
    assert [t for ch, t in fake.commands] == ["Echo héllo wörld?\n", "Version?\n"]
    lines = ["向 Hid 设备发送参数指定的字符串，然后接收从设备返回的数据，以字符串形式返回给调用者。",
             "正常情况下，返回的字符串应与参数内容完全相同（由调用者检测）。",
             "参数字符串必须要能以 UTF8 编码为字节串，并且编码所得字节串长度不超过一定长度（约57）"]
    assert ozu_qlix._Device.echo.__doc__ == "".join("\n\t\t" + line for line in lines) + "\n\t\t"


def test_stale_reply_is_not_returned_by_next_query(make_device):
    device = make_device()
    fake = device._Device__dev
    fake._command = lambda channel, text: None if text == "Version?" else type(fake)._command(fake, channel, text)
    assert device.io_control_master_query("Version?", bytes, 0.05) is None
    fake.send((100, b"stale"))
    assert wait_until(device._Device__io_control_master_event.is_set)
    assert device.echo("fresh") == "fresh"


@pytest.mark.parametrize("failure", ["write", "handler"])
def test_query_releases_protector_on_failure(make_device, failure):
    device = make_device()
    fake = device._Device__dev
    handler = ozu_qlix._Device.master_basic_handler
    if failure == "write":
        fake.write_error = usb.core.USBError("gone")
        expected = usb.core.USBError
    else:
        handler = lambda payload: 1 / 0  # noqa: E731
        expected = ZeroDivisionError
    with pytest.raises(expected):
        device.io_control_master_query("Version?", handler)
    assert not device._Device__io_control_master_protector.locked()
    fake.write_error = None
    assert device.firmware_version == "QLIX-FW 1.0"


def test_concurrent_queries_each_get_their_own_reply(make_device):
    device = make_device()
    results = {}

    def run(name):
        results[name] = [device.echo("%s-%d" % (name, i)) == "%s-%d" % (name, i) for i in range(15)]

    threads = [threading.Thread(target=run, args=(n,)) for n in "abc"]
    for t in threads:
        t.start()
    for t in threads:
        t.join(30)
    assert results == {n: [True] * 15 for n in "abc"}


@pytest.mark.parametrize("reply, count, invalid", [
    ("8\n", 8, None), (" 12\r\n", 12, None), ("abc", None, "array('B', [97, 98, 99])"), ("", None, "array('B')"),
])
def test_channel_count_reply(make_device, capsys, reply, count, invalid):
    device = make_device()
    fake = device._Device__dev
    fake.channel_count_reply = reply
    if count is not None:
        assert device.channel_count == count and device.channel_count == count
        assert fake.commands == [(100, "ChannelCount?\n")]
        return
    with pytest.raises(AssertionError) as info:
        device.channel_count
    assert str(info.value) == "查询设备通道数量超时:" + SERIAL
    assert capsys.readouterr().err == "ChannelCount command feedback invalid: [%s]" % invalid


def test_channel_count_without_reply_times_out(make_device):
    device = make_device()
    device._Device__dev.channel_count_reply = "silent"
    with pytest.raises(AssertionError, match="^查询设备通道数量超时:%s$" % SERIAL):
        device.channel_count
    assert device._Device__channel_count is None


@pytest.mark.parametrize("method", ["set_io_control_handler_for_channel", "send_command_to_channel"])
@pytest.mark.parametrize("channel", [0, 5, -1])
def test_channel_range_checks(make_device, method, channel):
    device = make_device()
    with pytest.raises(AssertionError) as info:
        getattr(device, method)(*((print, channel) if method.startswith("set") else ("FlushInput", channel)))
    assert str(info.value) == "通道号超出范围 (0, 4]:" + SERIAL
    assert device._Device__io_control_handlers == {}
    assert [t for ch, t in device._Device__dev.commands] == ["ChannelCount?\n"]


def test_handler_table(make_device):
    device = make_device()
    first, second = object(), object()
    device.set_io_control_handler_for_channel(first, 4)
    device.set_io_control_handler_for_channel(handler=second, channel=4)
    assert device._Device__io_control_handlers == {4: second}
    device.reset_io_control_handler_for_channel(2)
    device.reset_io_control_handler_for_channel(4)
    assert device._Device__io_control_handlers == {}
    with pytest.raises(TypeError, match="expected int, got bool"):
        device.set_io_control_handler_for_channel(first, True)
    device.send_command_to_channel("FlushInput", 4)
    assert device._Device__dev.commands_for(4) == ["FlushInput\n"]


CHILD = """
import sys
sys.path.insert(0, %r)
import ozu_qlix
from fake_usb import FakeAdapter

class Manager:
    def close_device(self, device):
        pass

fake = FakeAdapter()
fake.channel_count_reply = "silent"
device = ozu_qlix._Device(Manager(), fake)
device._send_command_to_channel("x" * 70, 1)
print(len(fake.written[0]), fake.written[0][1])
print(device.channel_count, device.channel_count)
print(len(fake.commands_for(0)))
device.set_io_control_handler_for_channel(print, 99)
print(device.io_control_master_query("Version", print, 0.01))
device.close()
""" % os.path.dirname(__file__)


def test_without_assertions_nothing_is_checked():
    result = run_child(CHILD, "-O", timeout=30)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["73 71", "None None", "2", "None"]
