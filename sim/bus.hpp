// The virtual bus: the adapters plugged into it and every object the USB
// interface hands out (contexts, devices, handles, descriptor copies, device
// lists, transfers). Callers only ever hold raw pointers; each call looks its
// pointer up here first, so a stale or foreign pointer is refused instead of
// followed. One mutex guards all of it; blocking transfers wait on their
// adapter's condition variable, which releases the mutex.
#pragma once

#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "adapter.hpp"
#include "usb_abi.hpp"

struct libusb_context {
    int users = 1;  // libusb_init calls sharing the default context
};

struct libusb_device {
    libusb_context* ctx;
    std::shared_ptr<qsim::Adapter> adapter;
    int refs;
};

struct libusb_device_handle {
    libusb_device* dev;
    std::shared_ptr<qsim::Adapter> adapter;
};

namespace qsim {

// One configuration descriptor as handed out, with everything it points to.
struct ConfigBlock {
    libusb_config_descriptor config;
    libusb_interface interface;
    libusb_interface_descriptor altsetting;
    libusb_endpoint_descriptor endpoints[2];
    unsigned char hid[9];
};

class World {
public:
    std::mutex mu;

    std::vector<std::shared_ptr<Adapter>> adapters;  // in order of plugging
    int next_id = 1;
    int next_address = 1;
    bool paced = true;
    bool kernel_driver_supported = true;

    libusb_context* default_ctx = nullptr;
    std::unordered_map<libusb_context*, std::unique_ptr<libusb_context>> contexts;
    std::unordered_map<libusb_device*, std::unique_ptr<libusb_device>> devices;
    std::unordered_map<libusb_device_handle*, std::unique_ptr<libusb_device_handle>> handles;
    std::unordered_map<const libusb_config_descriptor*, std::pair<libusb_context*, std::unique_ptr<ConfigBlock>>>
        configs;
    std::unordered_map<libusb_device**, std::pair<libusb_context*, std::unique_ptr<libusb_device*[]>>> lists;
    std::unordered_map<libusb_transfer*, std::unique_ptr<libusb_transfer[]>> transfers;

    Adapter* adapter(int id);
    libusb_context* context(libusb_context* ctx);  // null means the default context
    libusb_device* device(libusb_device* dev);
    libusb_device_handle* handle(libusb_device_handle* h);
    libusb_device* device_for(libusb_context* ctx, const std::shared_ptr<Adapter>& adapter);
    void unref(libusb_device* dev);
    void close(libusb_device_handle* h);
    void unplug(Adapter& adapter);
    // Frees everything the context handed out and forgets the context.
    void destroy(libusb_context* ctx);
};

World& world();

// Descriptor bytes as the device sends them on its control pipe.
std::vector<uint8_t> device_descriptor_bytes(const Adapter& adapter);
std::vector<uint8_t> config_descriptor_bytes(const Adapter& adapter);
// Empty when the adapter has no such string.
std::vector<uint8_t> string_descriptor_bytes(const Adapter& adapter, uint8_t index);
libusb_device_descriptor device_descriptor(const Adapter& adapter);
std::unique_ptr<ConfigBlock> config_descriptor(const Adapter& adapter);
std::string string_of(const Adapter& adapter, uint8_t index, bool& found);

}  // namespace qsim
