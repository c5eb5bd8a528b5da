#include "bus.hpp"

#include <algorithm>

namespace qsim {

namespace {

constexpr uint16_t kVendor = 0x0483;
constexpr uint16_t kProduct = 0x5750;
constexpr uint8_t kStringManufacturer = 1;
constexpr uint8_t kStringProduct = 2;
constexpr uint8_t kStringSerial = 3;
constexpr uint16_t kLangEnglish = 0x0409;

void put16(std::vector<uint8_t>& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value & 0xff));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

}  // namespace

// Never destroyed: at process exit, threads of the program may still be
// blocked in a transfer on an adapter's condition variable (daemon threads are
// not joined), and destroying the mutex or a condition variable under them
// would hang or crash the exit.
World& world() {
    static World* instance = new World;
    return *instance;
}

Adapter* World::adapter(int id) {
    for (auto& a : adapters)
        if (a->id == id) return a.get();
    return nullptr;
}

libusb_context* World::context(libusb_context* ctx) {
    if (ctx == nullptr) return default_ctx;
    return contexts.count(ctx) != 0 ? ctx : nullptr;
}

libusb_device* World::device(libusb_device* dev) { return devices.count(dev) != 0 ? dev : nullptr; }

libusb_device_handle* World::handle(libusb_device_handle* h) { return handles.count(h) != 0 ? h : nullptr; }

libusb_device* World::device_for(libusb_context* ctx, const std::shared_ptr<Adapter>& adapter) {
    for (auto& [ptr, dev] : devices) {
        if (dev->ctx == ctx && dev->adapter == adapter) {
            ++dev->refs;
            return ptr;
        }
    }
    auto dev = std::make_unique<libusb_device>(libusb_device{ctx, adapter, 1});
    libusb_device* ptr = dev.get();
    devices.emplace(ptr, std::move(dev));
    return ptr;
}

void World::unref(libusb_device* dev) {
    auto it = devices.find(dev);
    if (it != devices.end() && --it->second->refs <= 0) devices.erase(it);
}

void World::close(libusb_device_handle* h) {
    auto it = handles.find(h);
    if (it == handles.end()) return;
    Adapter& a = *it->second->adapter;
    if (a.claimed_by == h) a.claimed_by = nullptr;
    --a.open_handles;
    libusb_device* dev = it->second->dev;
    handles.erase(it);
    unref(dev);
}

void World::unplug(Adapter& a) {
    a.plugged = false;
    a.claimed_by = nullptr;
    a.cv.notify_all();
}

void World::destroy(libusb_context* ctx) {
    std::vector<libusb_device_handle*> doomed;
    for (auto& [ptr, h] : handles)
        if (h->dev->ctx == ctx) doomed.push_back(ptr);
    for (auto* h : doomed) close(h);
    std::erase_if(devices, [ctx](const auto& entry) { return entry.second->ctx == ctx; });
    std::erase_if(configs, [ctx](const auto& entry) { return entry.second.first == ctx; });
    std::erase_if(lists, [ctx](const auto& entry) { return entry.second.first == ctx; });
    contexts.erase(ctx);
    if (default_ctx == ctx) default_ctx = nullptr;
    if (contexts.empty()) transfers.clear();
}

libusb_device_descriptor device_descriptor(const Adapter& a) {
    libusb_device_descriptor d{};
    d.bLength = 18;
    d.bDescriptorType = USB_DT_DEVICE;
    d.bcdUSB = 0x0200;
    d.bMaxPacketSize0 = 64;
    d.idVendor = kVendor;
    d.idProduct = kProduct;
    d.bcdDevice = 0x0100;
    d.iManufacturer = kStringManufacturer;
    d.iProduct = kStringProduct;
    d.iSerialNumber = a.has_serial ? kStringSerial : 0;
    d.bNumConfigurations = 1;
    return d;
}

std::unique_ptr<ConfigBlock> config_descriptor(const Adapter& a) {
    auto block = std::make_unique<ConfigBlock>();
    // HID class descriptor: HID 1.11, no country, one report descriptor of 34 bytes.
    const unsigned char hid[9] = {9, USB_DT_HID, 0x11, 0x01, 0, 1, 0x22, 34, 0};
    std::copy(std::begin(hid), std::end(hid), block->hid);
    for (int i = 0; i < 2; ++i) {
        libusb_endpoint_descriptor& ep = block->endpoints[i];
        ep = {};
        ep.bLength = 7;
        ep.bDescriptorType = USB_DT_ENDPOINT;
        ep.bEndpointAddress = i == 0 ? kEndpointIn : kEndpointOut;
        ep.bmAttributes = a.endpoint_attributes();
        ep.wMaxPacketSize = kPacketSize;
        ep.bInterval = a.bulk ? 0 : 1;
    }
    libusb_interface_descriptor& alt = block->altsetting;
    alt = {};
    alt.bLength = 9;
    alt.bDescriptorType = USB_DT_INTERFACE;
    alt.bNumEndpoints = 2;
    alt.bInterfaceClass = 3;
    alt.endpoint = block->endpoints;
    alt.extra = block->hid;
    alt.extra_length = 9;
    block->interface = {&block->altsetting, 1};
    libusb_config_descriptor& c = block->config;
    c = {};
    c.bLength = 9;
    c.bDescriptorType = USB_DT_CONFIG;
    c.wTotalLength = 9 + 9 + 9 + 7 + 7;
    c.bNumInterfaces = 1;
    c.bConfigurationValue = 1;
    c.bmAttributes = 0x80;
    c.MaxPower = 50;
    c.interface = &block->interface;
    return block;
}

std::vector<uint8_t> device_descriptor_bytes(const Adapter& a) {
    const libusb_device_descriptor d = device_descriptor(a);
    std::vector<uint8_t> out{d.bLength, d.bDescriptorType};
    put16(out, d.bcdUSB);
    out.insert(out.end(), {d.bDeviceClass, d.bDeviceSubClass, d.bDeviceProtocol, d.bMaxPacketSize0});
    put16(out, d.idVendor);
    put16(out, d.idProduct);
    put16(out, d.bcdDevice);
    out.insert(out.end(), {d.iManufacturer, d.iProduct, d.iSerialNumber, d.bNumConfigurations});
    return out;
}

std::vector<uint8_t> config_descriptor_bytes(const Adapter& a) {
    const auto block = config_descriptor(a);
    const libusb_config_descriptor& c = block->config;
    std::vector<uint8_t> out{c.bLength, c.bDescriptorType};
    put16(out, c.wTotalLength);
    out.insert(out.end(), {c.bNumInterfaces, c.bConfigurationValue, c.iConfiguration, c.bmAttributes, c.MaxPower});
    const libusb_interface_descriptor& i = block->altsetting;
    out.insert(out.end(), {i.bLength, i.bDescriptorType, i.bInterfaceNumber, i.bAlternateSetting, i.bNumEndpoints,
                           i.bInterfaceClass, i.bInterfaceSubClass, i.bInterfaceProtocol, i.iInterface});
    out.insert(out.end(), std::begin(block->hid), std::end(block->hid));
    for (const auto& ep : block->endpoints) {
        out.insert(out.end(), {ep.bLength, ep.bDescriptorType, ep.bEndpointAddress, ep.bmAttributes});
        put16(out, ep.wMaxPacketSize);
        out.push_back(ep.bInterval);
    }
    return out;
}

std::string string_of(const Adapter& a, uint8_t index, bool& found) {
    found = true;
    switch (index) {
        case kStringManufacturer: return "ozu";
        case kStringProduct: return "QLIX multi-channel serial adapter (virtual)";
        case kStringSerial:
            if (a.has_serial) return a.serial;
            break;
        default: break;
    }
    found = false;
    return {};
}

std::vector<uint8_t> string_descriptor_bytes(const Adapter& a, uint8_t index) {
    if (index == 0) {
        std::vector<uint8_t> out{4, USB_DT_STRING};
        put16(out, kLangEnglish);
        return out;
    }
    bool found = false;
    const std::string text = string_of(a, index, found);
    if (!found) return {};
    // Strings are stored as ASCII/Latin-1 and sent as UTF-16LE, at most 126 characters.
    const std::size_t chars = std::min<std::size_t>(text.size(), 126);
    std::vector<uint8_t> out{static_cast<uint8_t>(2 + 2 * chars), USB_DT_STRING};
    for (std::size_t i = 0; i < chars; ++i) put16(out, static_cast<unsigned char>(text[i]));
    return out;
}

}  // namespace qsim
