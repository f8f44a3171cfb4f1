#pragma once

// FunctionFsGadget: serves a UsbCameraModel as a real USB function through Linux FunctionFS, so a
// host reaches it through the kernel's USB stack and usbfs (dummy_hcd in the throw-away VM).
//
//   (configfs gadget with function "ffs.cam"; mount -t functionfs cam /dev/ffs-cam)
//   auto cam = std::make_shared<UsbCameraModel>(UsbCameraConfig::eventCamera(0x04B5, 0x0001, "QNP0042A7"));
//   FunctionFsGadget gadget(cam, "/dev/ffs-cam");
//   gadget.start();                 // descriptors written, endpoints served
//   (write the UDC's name to the gadget's UDC file: the host enumerates it)
//   gadget.waitEnabled(10s);        // the host configured the device
//
// FunctionFS serves the interfaces and their endpoints and every control request that is not a
// standard one (vendor requests to the device included). The device descriptor and its strings
// come from the configfs gadget, and the UDC picks the endpoint addresses the host sees; the
// model keeps its own addresses, mapped by the order of the endpoint descriptors.
//
// Where a function cannot do what the model asks:
// - Bytes of a stream transfer the model keeps open go out in whole packets; a rest shorter than
//   a packet waits for more data or the transfer's end (a short packet would end the transfer).
//   The end of a transfer is a short packet, or a zero-length one after a whole number of packets.
// - A vendor OUT request with data is acknowledged by reading its data, before the model sees it:
//   it cannot STALL any more.
// - The host clears halts with the UDC alone; a STALL the model asks for halts the endpoint once
//   and the model's halt is cleared at once.
// - A write cut off because the endpoint was disabled (unplug, reset, SET_INTERFACE) is dropped,
//   as a device drops its FIFO.
//
// Threads: one per endpoint and one for ep0 events, started by start(), stopped by stop() (or the
// destructor), which interrupts their blocking calls with SIGUSR2 (start() installs an empty
// handler for it, without SA_RESTART). Every member may be called from any thread.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "usbcam/UsbCameraModel.h"

namespace quelnor::test::usbcam {

class FunctionFsGadget {
public:
    // Bytes a stream endpoint hands to the kernel per write at most.
    static constexpr size_t STREAM_WRITE_SIZE = 128 * 1024;
    static constexpr size_t ANSWER_BUFFER_SIZE = 4096;
    static constexpr size_t OUT_READ_SIZE = 4096;
    // Full-speed, high-speed and SuperSpeed bulk packet sizes.
    static constexpr uint16_t FULL_SPEED_BULK_PACKET = 64;
    static constexpr uint16_t HIGH_SPEED_BULK_PACKET = 512;
    static constexpr uint16_t SUPER_SPEED_BULK_PACKET = 1024;
    static constexpr uint8_t SUPER_SPEED_MAX_BURST = 15;

    FunctionFsGadget(std::shared_ptr<UsbCameraModel> model, std::string mountDir);
    ~FunctionFsGadget();
    FunctionFsGadget(const FunctionFsGadget&) = delete;
    FunctionFsGadget& operator=(const FunctionFsGadget&) = delete;

    // Writes the descriptors, opens the endpoint files and starts serving. Throws std::system_error
    // when the FunctionFS files cannot be opened or refuse the descriptors.
    void start();
    void stop();

    // Whether the host has configured the function (and not reset or left it since).
    bool enabled() const;
    bool waitEnabled(std::chrono::milliseconds limit) const;
    bool waitDisabled(std::chrono::milliseconds limit) const;

    // Drops what a stream endpoint has not handed to the kernel yet: the model's queue and the
    // rest of a packet held back for an open transfer. A write already made (or being made) still
    // goes out: the host drains it.
    void dropStreamData(uint8_t endpoint);
    // Whether a stream endpoint holds nothing: no write in the kernel, no bytes kept back, waiting
    // for the model. After dropStreamData, a host that reads until this holds leaves nothing stale.
    bool streamIdle(uint8_t endpoint) const;

    // The FunctionFS descriptor and string blocks for a configuration (full, high and SuperSpeed).
    static std::vector<uint8_t> descriptorBlock(const UsbCameraConfig& config);
    static std::vector<uint8_t> stringBlock();

private:
    struct Endpoint {
        EndpointConfig config;
        std::string path;
        int fd = -1;
        bool served = false; // the first endpoint file of its address
        std::atomic<bool> drop{false};
        std::atomic<bool> idle{true};
    };
    struct Worker {
        std::thread thread;
        std::atomic<bool> done{false};
    };

    void runEp0();
    void runAnswers(Endpoint& ep);
    void runStream(Endpoint& ep);
    void runOut(Endpoint& ep);
    void handleSetup(const void* request);
    // Writes all bytes (a zero-length packet for 0). False when the write was dropped or stop began.
    bool writePacketData(Endpoint& ep, const uint8_t* data, size_t size);
    uint16_t maxPacket(Endpoint& ep);
    void halt(Endpoint& ep);
    void waitForWork(uint64_t seen);
    uint64_t workGeneration() const;
    void notifyWork();
    void setEnabled(bool enabled);
    void spawn(void (FunctionFsGadget::*body)(Endpoint&), Endpoint& ep);

    std::shared_ptr<UsbCameraModel> m_model;
    std::string m_dir;
    int m_ep0 = -1;
    std::vector<std::unique_ptr<Endpoint>> m_endpoints;
    std::vector<std::unique_ptr<Worker>> m_workers;
    std::atomic<bool> m_stopping{false};

    mutable std::mutex m_lock;
    mutable std::condition_variable m_changed;
    bool m_enabled = false;   // guarded by m_lock
    uint64_t m_work = 0;      // guarded by m_lock: bumped when the model may have something new
};

} // namespace quelnor::test::usbcam
