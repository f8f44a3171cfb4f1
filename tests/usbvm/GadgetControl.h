#pragma once

// GadgetControl: the test's side of a camera gadget's control socket (tests/usbvm). The camera
// runs as a FunctionFS gadget in its own process; this is how a test sets its registers, reads
// back what it received, starts its data streams and unplugs it. One text line per request:
//
//   GadgetControl cam(GadgetControl::sockets().front());
//   cam.request("set-register 0x9008 0x1234");
//   cam.request("stream-counter 0x82 0 33554432 131072 open");
//
// Requests (numbers in C notation; EP is the endpoint address the camera model uses, 0x82 for
// the data endpoint and 0x83 for the second one, whatever address the host sees):
//   info                                  kind, ids, serial and answers of the camera
//   set-register ADDR VALUE / register ADDR        the frame register file
//   board ADDR                            a board register (vendor requests), as hex
//   calibration                           the calibration store, as hex
//   fault NAME [COUNT]                    the next answers go wrong (command-failed, not-implemented, ...)
//   commands                              how many control frames arrived so far
//   stream-file EP PATH                   the EVT3 data of a raw recording, in bursts of many sizes
//   stream-counter EP START BYTES CHUNK open|end
//                                         BYTES of the counter stream from position START, put in
//                                         CHUNK-byte pieces that each end a transfer (end) or run
//                                         on as one long transfer (open); in the background
//   stream-status EP                      fed=, pending= (not yet taken by the endpoint), feeding=,
//                                         idle= (1: the endpoint holds nothing, no write in the kernel)
//   stream-stop EP                        ends the feeding and drops what was not sent
//   unplug / plug                         unbinds the gadget from its UDC / binds it and waits for the host
//
// Not thread-safe: one object per thread.

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace quelnor::test::usbvm {

class GadgetControl {
public:
    // Environment variable the guest script sets: the control sockets, separated by ':'.
    static constexpr const char* SOCKETS_VARIABLE = "QUELNOR_USBVM_GADGETS";

    // Connects; throws std::system_error.
    explicit GadgetControl(const std::string& socketPath);
    ~GadgetControl();
    GadgetControl(const GadgetControl&) = delete;
    GadgetControl& operator=(const GadgetControl&) = delete;

    // The answer after "ok" (without it); throws std::runtime_error with the gadget's error text.
    std::string request(const std::string& line);
    // A reply of key=value fields.
    std::map<std::string, std::string> fields(const std::string& line);
    static uint64_t number(const std::string& text);

    // The gadgets started for this run; empty outside the VM.
    static std::vector<std::string> sockets();

private:
    int m_fd = -1;
    std::string m_pending;
};

} // namespace quelnor::test::usbvm
