// The adapter's firmware (adapter.cpp, the same one the virtual USB library
// runs) as a USB gadget function on Linux, through FunctionFS: one interface
// with a 64-byte interrupt IN and OUT endpoint, HID or vendor class. The two
// endpoints are served by threads of their own, as hardware serves them, so a
// full IN side never holds up OUT packets. Linux only; not part of the module.
//
//   qlix-gadget --ffs DIR [--class hid|vendor] [--channels N] [--uart-buffer BYTES]
//
// DIR is a mounted functionfs instance. The program writes the descriptors,
// opens the endpoints, prints "ready" and serves until it is killed.

#include <endian.h>
#include <fcntl.h>
#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "adapter.hpp"

namespace {

using qsim::Adapter;
using qsim::Clock;
using qsim::kPacketSize;

// Vendor-defined usage page, 64-byte input and output reports without report id.
constexpr uint8_t kReportDescriptor[] = {
    0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08,
    0x95, 0x40, 0x09, 0x01, 0x81, 0x02, 0x95, 0x40, 0x09, 0x01, 0x91, 0x02, 0xC0,
};
constexpr uint8_t kHidDescriptor[] = {9, 0x21, 0x11, 0x01, 0, 1, 0x22, sizeof(kReportDescriptor), 0};

std::mutex mu;

void put_le16(std::vector<uint8_t>& out, unsigned v) {
    out.push_back(static_cast<uint8_t>(v & 0xff));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

void put_le32(std::vector<uint8_t>& out, uint32_t v) {
    put_le16(out, v & 0xffff);
    put_le16(out, v >> 16);
}

// Interface, HID descriptor (HID class), IN endpoint, OUT endpoint, for one speed.
std::vector<uint8_t> speed_descriptors(bool hid, uint8_t interval) {
    std::vector<uint8_t> d = {9, USB_DT_INTERFACE, 0, 0, 2, static_cast<uint8_t>(hid ? 3 : 0xff), 0, 0, 0};
    if (hid) d.insert(d.end(), std::begin(kHidDescriptor), std::end(kHidDescriptor));
    for (uint8_t address : {qsim::kEndpointIn, qsim::kEndpointOut}) {
        d.insert(d.end(), {7, USB_DT_ENDPOINT, address, USB_ENDPOINT_XFER_INT});
        put_le16(d, kPacketSize);
        d.push_back(interval);
    }
    return d;
}

std::vector<uint8_t> descriptors(bool hid) {
    const auto fs = speed_descriptors(hid, 1);
    const auto hs = speed_descriptors(hid, 4);  // 2^(4-1) microframes: 1 ms
    const uint32_t count = hid ? 4 : 3;
    std::vector<uint8_t> out;
    put_le32(out, FUNCTIONFS_DESCRIPTORS_MAGIC_V2);
    put_le32(out, static_cast<uint32_t>(20 + fs.size() + hs.size()));
    put_le32(out, FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC);
    put_le32(out, count);
    put_le32(out, count);
    out.insert(out.end(), fs.begin(), fs.end());
    out.insert(out.end(), hs.begin(), hs.end());
    return out;
}

std::vector<uint8_t> no_strings() {
    std::vector<uint8_t> out;
    put_le32(out, FUNCTIONFS_STRINGS_MAGIC);
    put_le32(out, 16);
    put_le32(out, 0);
    put_le32(out, 0);
    return out;
}

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "qlix-gadget: %s: %s\n", what, std::strerror(errno));
    std::exit(1);
}

void write_all(int fd, const std::vector<uint8_t>& bytes, const char* what) {
    if (write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) fail(what);
}

// IN endpoint: packs what the firmware has for the host, one packet per write;
// the write completes when the host has read the packet.
void serve_in(Adapter& a, int fd) {
    std::array<uint8_t, kPacketSize> packet{};
    std::unique_lock lock(mu);
    for (;;) {
        a.cv.wait(lock, [&] { return a.has_inbound(); });
        const std::size_t size = a.build_packet(packet);
        lock.unlock();
        const ssize_t r = write(fd, packet.data(), size);
        lock.lock();
        if (r < 0) {  // disconnected: the packet is lost as on a real unplug
            lock.unlock();
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            lock.lock();
        }
    }
}

// OUT endpoint: one packet at a time; while the firmware holds a packet
// (slow-UART mode, no room), no read is queued, so the host sees NAKs.
void serve_out(Adapter& a, int fd) {
    std::array<uint8_t, kPacketSize> packet{};
    for (;;) {
        const ssize_t r = read(fd, packet.data(), packet.size());
        if (r < 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        std::unique_lock lock(mu);
        a.receive_packet({packet.data(), static_cast<std::size_t>(r)}, Clock::now());
        while (!a.out_ready(Clock::now())) a.cv.wait_until(lock, a.out_ready_at());
    }
}

void reply(int ep0, const uint8_t* data, std::size_t size, unsigned length) {
    if (write(ep0, data, std::min<std::size_t>(size, length)) < 0) std::perror("qlix-gadget: ep0 reply");
}

// Control requests addressed to the interface: the HID descriptors, SET_IDLE;
// everything else is stalled.
void setup(int ep0, const usb_ctrlrequest& req, bool hid) {
    const unsigned value = le16toh(req.wValue), length = le16toh(req.wLength);
    const bool in = (req.bRequestType & USB_DIR_IN) != 0;
    if (hid && req.bRequestType == (USB_DIR_IN | USB_RECIP_INTERFACE) && req.bRequest == USB_REQ_GET_DESCRIPTOR) {
        if (value >> 8 == 0x22) return reply(ep0, kReportDescriptor, sizeof(kReportDescriptor), length);
        if (value >> 8 == 0x21) return reply(ep0, kHidDescriptor, sizeof(kHidDescriptor), length);
    }
    if (hid && req.bRequestType == (USB_TYPE_CLASS | USB_RECIP_INTERFACE) && req.bRequest == 0x0A) {  // SET_IDLE
        if (read(ep0, nullptr, 0) < 0) std::perror("qlix-gadget: ep0 status");
        return;
    }
    // A transfer in the wrong direction stalls the request.
    const ssize_t r = in ? read(ep0, nullptr, 0) : write(ep0, nullptr, 0);
    (void)r;
}

}  // namespace

int main(int argc, char** argv) {
    std::string dir, klass = "vendor";
    int channels = 4;
    std::size_t uart_buffer = 256;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string opt = argv[i], value = argv[i + 1];
        if (opt == "--ffs") dir = value;
        else if (opt == "--class") klass = value;
        else if (opt == "--channels") channels = std::atoi(value.c_str());
        else if (opt == "--uart-buffer") uart_buffer = static_cast<std::size_t>(std::atol(value.c_str()));
        else {
            std::fprintf(stderr, "qlix-gadget: unknown option %s\n", opt.c_str());
            return 2;
        }
    }
    if (dir.empty() || (klass != "hid" && klass != "vendor") || channels < 1 || channels > qsim::kMaxChannels) {
        std::fprintf(stderr,
                     "usage: qlix-gadget --ffs DIR [--class hid|vendor] [--channels N] [--uart-buffer BYTES]\n");
        return 2;
    }
    const bool hid = klass == "hid";
    const int ep0 = open((dir + "/ep0").c_str(), O_RDWR);
    if (ep0 < 0) fail("ep0");
    write_all(ep0, descriptors(hid), "descriptors");
    write_all(ep0, no_strings(), "strings");
    const int ep_in = open((dir + "/ep1").c_str(), O_RDWR);
    const int ep_out = open((dir + "/ep2").c_str(), O_RDWR);
    if (ep_in < 0 || ep_out < 0) fail("endpoints");

    Adapter adapter(1, "", true, channels, false, 1);
    adapter.uart_buffer = uart_buffer == 0 ? 0 : std::max(uart_buffer, Adapter::kMinUartBuffer);
    std::thread(serve_in, std::ref(adapter), ep_in).detach();
    std::thread(serve_out, std::ref(adapter), ep_out).detach();
    std::printf("ready\n");
    std::fflush(stdout);

    for (;;) {
        usb_functionfs_event event{};
        const ssize_t r = read(ep0, &event, sizeof event);
        if (r < 0) {
            if (errno == EINTR) continue;
            fail("ep0 events");
        }
        if (r != sizeof event) continue;
        switch (event.type) {
            case FUNCTIONFS_SETUP: setup(ep0, event.u.setup, hid); break;
            case FUNCTIONFS_ENABLE: {  // configured by a host: the firmware starts afresh
                std::lock_guard lock(mu);
                adapter.reset_firmware();
                break;
            }
            default: break;
        }
    }
}
