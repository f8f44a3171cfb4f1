// A simulated USB camera as a real USB device: the camera model served through FunctionFS, bound to
// a UDC (dummy_hcd's in the throw-away VM), controlled by the tests through a Unix socket.
//
// usbcam_gadget --ffs DIR --udc-file FILE --udc NAME --control SOCKET
//               --kind event|fusion --vid ID --pid ID (--serial-text TEXT | --serial-number N | --serial-string TEXT)
//
// The configfs gadget (ids, strings, the ffs function) is made by the caller (usb-gadgets.sh); this
// program writes the function's descriptors, binds the UDC, waits until the host configured the
// device and then opens the control socket, so the socket's existence means "ready". It runs
// until a "quit" request, SIGTERM or SIGINT, and unbinds the UDC on the way out.
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <map>
#include <memory>
#include <string>

#include "GadgetCommandServer.h"
#include "usbcam/FunctionFsGadget.h"
#include "usbcam/UsbCameraModel.h"

using namespace quelnor::test::usbcam;
using quelnor::test::usbvm::GadgetBinding;
using quelnor::test::usbvm::GadgetCommandServer;

namespace {

GadgetCommandServer* g_server = nullptr;

void onSignal(int) {
    if (g_server) {
        g_server->requestStop();
    }
}

int usage(const char* program) {
    std::fprintf(stderr,
                 "usage: %s --ffs DIR --udc-file FILE --udc NAME --control SOCKET --kind event|fusion --vid ID --pid ID\n"
                 "          (--serial-text TEXT | --serial-number N | --serial-string TEXT)\n",
                 program);
    return 2;
}

std::string hex16(uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof(text), "0x%04x", value);
    return text;
}

std::string hex32(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08x", value);
    return text;
}

} // namespace

int main(int argc, char** argv) {
    std::map<std::string, std::string> options;
    for (int i = 1; i < argc; i += 2) { // --name value pairs
        if (std::strncmp(argv[i], "--", 2) != 0 || i + 1 >= argc) {
            return usage(argv[0]);
        }
        options[argv[i] + 2] = argv[i + 1];
    }
    for (const char* required : {"ffs", "udc-file", "udc", "control", "kind", "vid", "pid"}) {
        if (!options.count(required)) {
            return usage(argv[0]);
        }
    }
    try {
        const uint16_t vendorId = static_cast<uint16_t>(std::stoul(options["vid"], nullptr, 0));
        const uint16_t productId = static_cast<uint16_t>(std::stoul(options["pid"], nullptr, 0));
        const bool fusion = options["kind"] == "fusion";
        if (!fusion && options["kind"] != "event") {
            return usage(argv[0]);
        }
        UsbCameraConfig config = fusion ? UsbCameraConfig::fusionCamera(vendorId, productId, options["serial-string"])
                                        : UsbCameraConfig::eventCamera(vendorId, productId, "");
        std::string info = "kind=" + options["kind"] + " vid=" + hex16(vendorId) + " pid=" + hex16(productId);
        if (options.count("serial-text")) {
            config.serialAnswer = UsbCameraConfig::textPayload(options["serial-text"]);
            info += " serial-text=" + options["serial-text"];
        } else if (options.count("serial-number")) {
            config.serialAnswer = UsbCameraConfig::numberPayload(std::stoull(options["serial-number"], nullptr, 0));
            info += " serial-number=" + options["serial-number"];
        } else if (options.count("serial-string")) {
            info += " serial-string=" + options["serial-string"];
        }
        info += " firmware=" + hex32(config.firmwareVersion) + " build=" + hex32(config.buildDate) +
                " devices=" + std::to_string(config.deviceCount);

        auto model = std::make_shared<UsbCameraModel>(config);
        FunctionFsGadget gadget(model, options["ffs"]);
        gadget.start();
        GadgetCommandServer server(model, gadget, GadgetBinding{options["udc-file"], options["udc"]}, options["control"],
                                   info);
        g_server = &server;
        struct sigaction action {};
        action.sa_handler = onSignal;
        sigemptyset(&action.sa_mask);
        sigaction(SIGTERM, &action, nullptr);
        sigaction(SIGINT, &action, nullptr);

        if (!server.plug()) {
            std::fprintf(stderr, "usbcam_gadget: the host did not configure %s on %s\n", options["ffs"].c_str(),
                         options["udc"].c_str());
            return 1;
        }
        std::fprintf(stderr, "usbcam_gadget: %s ready on %s\n", info.c_str(), options["udc"].c_str());
        server.run();
        g_server = nullptr;
        server.unplug();
        gadget.stop();
        std::fprintf(stderr, "usbcam_gadget: %s done, %zu control frames served\n", options["ffs"].c_str(),
                     model->commands().size());
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "usbcam_gadget: %s\n", e.what());
        return 1;
    }
}
