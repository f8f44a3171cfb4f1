#pragma once

// GadgetCommandServer: the gadget program's side of the control socket (requests listed in
// GadgetControl.h). Runs the requests against the camera model and the gadget: knobs of the
// model, data streams fed in the background, and unplugging by unbinding the gadget's UDC.
//
// run() accepts connections until a "quit" request or stop(); each connection has a thread of its
// own. A signal handler ends it through requestStop().

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "usbcam/FunctionFsGadget.h"
#include "usbcam/UsbCameraModel.h"

namespace quelnor::test::usbvm {

struct GadgetBinding {
    std::string udcFile; // the configfs gadget's UDC file
    std::string udc;     // the UDC's name, e.g. dummy_udc.0
};

class GadgetCommandServer {
public:
    // Bytes of a fed stream the model may hold before the feeder waits.
    static constexpr size_t FEED_AHEAD_BYTES = 4 * 1024 * 1024;

    // info: the key=value fields the "info" request answers.
    GadgetCommandServer(std::shared_ptr<usbcam::UsbCameraModel> model, usbcam::FunctionFsGadget& gadget,
                        GadgetBinding binding, std::string socketPath, std::string info);
    ~GadgetCommandServer();
    GadgetCommandServer(const GadgetCommandServer&) = delete;
    GadgetCommandServer& operator=(const GadgetCommandServer&) = delete;

    // Binds the gadget to its UDC and waits until the host configured it; false on time-out.
    bool plug();
    void unplug();

    // Listens (the socket file appears once the gadget is ready) and serves until quit.
    void run();
    // Async-signal-safe.
    void requestStop() { m_stop = true; }

    // One request line in, one reply line out ("ok ..." or "error ...").
    std::string handle(const std::string& line);

private:
    struct Feeder {
        std::thread thread;
        std::atomic<bool> stop{false};
        std::atomic<bool> running{true};
        std::atomic<uint64_t> fed{0};
    };

    void serve(int fd);
    void stopFeeder(uint8_t endpoint);
    std::string streamFile(uint8_t endpoint, const std::string& path);
    void streamCounter(uint8_t endpoint, uint64_t start, uint64_t bytes, size_t chunk, bool endEachChunk);

    std::shared_ptr<usbcam::UsbCameraModel> m_model;
    usbcam::FunctionFsGadget& m_gadget;
    GadgetBinding m_binding;
    std::string m_socketPath;
    std::string m_info;
    std::atomic<bool> m_stop{false};
    std::mutex m_lock; // requests of different connections one at a time
    std::map<uint8_t, std::unique_ptr<Feeder>> m_feeders;
    std::mutex m_connectionLock;
    std::vector<std::thread> m_connections;
    std::vector<int> m_connectionFds; // guarded by m_connectionLock
};

} // namespace quelnor::test::usbvm
