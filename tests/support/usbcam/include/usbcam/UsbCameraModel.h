#pragma once

// UsbCameraModel: the device side of a simulated USB camera, independent of how it is attached.
// A transport (UmockdevUsbBus in-process, or a FunctionFS gadget program) feeds it what the host
// sends and moves what it answers; the test drives it through the knobs below.
//
//   auto cam = bus.plug(UsbCameraConfig::eventCamera(0x04B5, 0x0001, "QNP0042A7"));
//   cam->setRegister(0x9008, 0x1234);                  // answered to frame 0x00010102
//   cam->injectAnswerFault(AnswerFault::CommandFailed); // the next command answers "failed"
//   cam->streamData(evt3Bytes);                         // appears on the data endpoint
//
// Control frames on the bulk endpoints are answered from a register file (read, write, serial,
// firmware version, build date, device count; other properties answer "not implemented").
// Vendor requests on endpoint 0: 0xA0/0xA1 board registers (byte blocks by address), 0xA2/0xA3
// the calibration store. Standard GET_DESCRIPTOR requests answer the configured descriptors.
//
// Thread safety: every member may be called from any thread. Command and vendor handlers run
// under the model's lock and must not call back into the model.

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "usbcam/UsbCameraConfig.h"

namespace quelnor::test::usbcam {

// Protocol numbers as the camera firmware knows them.
namespace wire {
constexpr uint32_t READ_REGISTERS = 0x00010102;
constexpr uint32_t WRITE_REGISTER = 0x40010102;
constexpr uint32_t SERIAL_NUMBER = 114;
constexpr uint32_t FIRMWARE_VERSION = 121;
constexpr uint32_t BUILD_DATE = 122;
constexpr uint32_t DEVICE_COUNT = 0x00010000;
constexpr uint32_t FAILED_BIT = 0x80000000;
constexpr uint32_t NOT_IMPLEMENTED = 0x80000000;
constexpr uint8_t VENDOR_READ_REGISTER = 0xA0;
constexpr uint8_t VENDOR_WRITE_REGISTER = 0xA1;
constexpr uint8_t VENDOR_READ_CALIBRATION = 0xA2;
constexpr uint8_t VENDOR_WRITE_CALIBRATION = 0xA3;
constexpr size_t FRAME_HEADER = 8;
} // namespace wire

struct SetupPacket {
    uint8_t requestType = 0;
    uint8_t request = 0;
    uint16_t value = 0;
    uint16_t index = 0;
    uint16_t length = 0;

    bool in() const { return (requestType & 0x80) != 0; }
};

struct ControlReply {
    bool stall = false;
    bool silent = false;       // never answered: the host's time-out ends the request
    std::vector<uint8_t> data; // IN requests: at most setup.length bytes

    static ControlReply accepted(std::vector<uint8_t> bytes = {}) { return {false, false, std::move(bytes)}; }
    static ControlReply stalled() { return {true, false, {}}; }
    static ControlReply unanswered() { return {false, true, {}}; }
};

enum class InResult {
    Complete, // the transfer ends with the bytes filled so far
    Pending,  // nothing (more) yet: the transfer stays open
    Stall,    // the endpoint is halted
    Overflow, // the device sent more than the transfer holds
    Gone,     // unplugged
};

// How the answer to a command goes wrong.
enum class AnswerFault {
    Silent,           // no answer at all
    Late,             // answered only when releaseLateAnswers() is called
    Short,            // 6 bytes, less than a header
    CommandFailed,    // property with bit 31 set
    NotImplemented,   // property 0x80000000
    PropertyMismatch, // another property
    SizeMismatch,     // size field 4 more than the payload
    WrongDevice,      // word 0 is 1
    WrongAddress,     // word 1 is the address + 4
    MissingValue,     // the last payload word is missing
    StallCommand,     // the command endpoint STALLs the command (it is not received)
    StallAnswer,      // the answer endpoint STALLs instead of answering
};

struct CommandRecord {
    uint32_t property = 0;
    std::vector<uint32_t> words; // payload words (a trailing partial word is dropped)
};

struct ControlRecord {
    SetupPacket setup;
    std::vector<uint8_t> data; // OUT data
};

class UsbCameraModel {
public:
    // Answer words for a command's payload; empty: answer "command failed".
    using CommandHandler = std::function<std::optional<std::vector<uint32_t>>(const std::vector<uint32_t>& words)>;
    using VendorHandler = std::function<ControlReply(const SetupPacket& setup, const std::vector<uint8_t>& data)>;

    explicit UsbCameraModel(UsbCameraConfig config);
    UsbCameraModel(const UsbCameraModel&) = delete;
    UsbCameraModel& operator=(const UsbCameraModel&) = delete;

    const UsbCameraConfig& config() const { return m_config; }

    // ---- register file and stores ----
    void setRegister(uint32_t address, uint32_t value);
    uint32_t registerValue(uint32_t address) const; // 0 when never written
    void setBoardRegister(uint16_t address, std::vector<uint8_t> bytes);
    std::vector<uint8_t> boardRegister(uint16_t address) const;
    void setCalibration(std::vector<uint8_t> bytes);
    std::vector<uint8_t> calibration() const;
    void setSerialAnswer(std::vector<uint8_t> payload);
    // Replaces the answer to one property (also the built-in ones).
    void setCommandHandler(uint32_t property, CommandHandler handler);
    // Answers vendor requests other than the four above (otherwise they STALL).
    void setVendorHandler(VendorHandler handler);

    // ---- faults ----
    // The next `count` commands (of `property` only, when given) answer with the fault; count < 0: until cleared.
    void injectAnswerFault(AnswerFault fault, int count = 1, std::optional<uint32_t> property = std::nullopt);
    void clearAnswerFaults();
    // Puts the answers held back by AnswerFault::Late on the answer endpoint.
    void releaseLateAnswers();
    // Puts bytes on the answer endpoint as if the device had answered something.
    void pushAnswer(std::vector<uint8_t> bytes);
    // Every vendor request STALLs while set (standard requests still work).
    void setVendorRequestsStall(bool stall);
    // Writes to this board register STALL while set (the board refuses the command); reads still work.
    void setBoardWriteStall(uint16_t address, bool stall);
    // Halts an endpoint: its transfers STALL until the host clears the halt (sticky: clearing does
    // not help, the endpoint stalls again at once).
    void haltEndpoint(uint8_t endpoint, bool sticky = false);
    // Another program holds this interface: claiming it fails with "busy".
    void setClaimedElsewhere(uint8_t interfaceNumber, bool claimed);
    // A kernel driver (e.g. "uvcvideo") is bound to the interface until the host detaches it.
    void setKernelDriver(uint8_t interfaceNumber, std::string driver);
    // The device is gone: every request fails with "no device" from now on.
    void unplug();

    // ---- data stream ----
    // Bytes for the data endpoint. endTransfer: they end with a short packet, so the host's transfer
    // completes there; otherwise the transfer stays open after them (and times out with data when
    // nothing follows).
    void streamData(std::vector<uint8_t> bytes, bool endTransfer = true);
    void streamData(uint8_t endpoint, std::vector<uint8_t> bytes, bool endTransfer = true);
    // Bytes for the endpoint with no short packet after them, then the endpoint halts (as
    // haltEndpoint): the host's transfer that holds their last byte STALLs with what it received.
    // A transfer they fill to the last byte completes, and the next one STALLs empty.
    void streamDataThenHalt(uint8_t endpoint, std::vector<uint8_t> bytes);
    size_t pendingStreamBytes(uint8_t endpoint) const;
    // Drops what the endpoint has not handed to the host yet.
    void dropStreamData(uint8_t endpoint);
    uint64_t streamedBytes(uint8_t endpoint) const; // handed to the host so far

    // ---- what the host did ----
    std::vector<CommandRecord> commands() const;
    std::vector<ControlRecord> controlRequests() const;
    int clearHaltCount(uint8_t endpoint) const;
    bool streamEndpointHalted(uint8_t endpoint) const;

    // ---- transport side ----
    bool present() const;
    ControlReply control(const SetupPacket& setup, const std::vector<uint8_t>& outData);
    // False: the endpoint STALLs.
    bool bulkOut(uint8_t endpoint, const uint8_t* data, size_t length);
    // Moves IN bytes into buffer[filled, capacity) and says what the transfer does now. When given,
    // endsTransfer tells whether the bytes end where the device ends its transfer (an answer, or
    // stream data put with endTransfer): a device side that does not know the host's transfer size
    // marks that end with a short or zero-length packet.
    InResult bulkIn(uint8_t endpoint, uint8_t* buffer, size_t capacity, size_t& filled, bool* endsTransfer = nullptr);
    void clearHalt(uint8_t endpoint);
    // Whether another program holds the interface, and the kernel driver bound to it ("" for none).
    bool claimedElsewhere(uint8_t interfaceNumber) const;
    std::string kernelDriver(uint8_t interfaceNumber) const;
    void detachKernelDriver(uint8_t interfaceNumber);
    // Called (without the model's lock) after a knob changed what IN transfers may get. The
    // transport calls into the model only from its own threads, never from inside this callback's
    // caller, so it may take its own lock here.
    void setWakeCallback(std::function<void()> wake);

private:
    struct Segment {
        std::vector<uint8_t> bytes;
        size_t offset = 0;
        bool endTransfer = true;
        bool haltAfter = false; // the endpoint halts once the bytes are taken
    };
    struct FaultRule {
        AnswerFault fault;
        int remaining;
        std::optional<uint32_t> property;
    };

    void wake();
    std::optional<AnswerFault> takeFault(uint32_t property);
    std::vector<uint8_t> answerFor(uint32_t property, const std::vector<uint32_t>& words);
    ControlReply standardRequest(const SetupPacket& setup);
    ControlReply vendorRequest(const SetupPacket& setup, const std::vector<uint8_t>& data);

    const UsbCameraConfig m_config;
    mutable std::mutex m_lock;
    std::function<void()> m_wake;
    bool m_present = true;
    std::map<uint32_t, uint32_t> m_registers;
    std::map<uint16_t, std::vector<uint8_t>> m_board;
    std::vector<uint8_t> m_calibration;
    std::vector<uint8_t> m_serialAnswer;
    std::map<uint32_t, CommandHandler> m_handlers;
    VendorHandler m_vendorHandler;
    std::vector<FaultRule> m_faults;
    std::deque<std::vector<uint8_t>> m_answers;
    std::deque<std::vector<uint8_t>> m_lateAnswers;
    bool m_stallAnswerOnce = false;
    bool m_vendorStall = false;
    std::set<uint16_t> m_boardWriteStalls;
    std::set<uint8_t> m_halted;
    std::set<uint8_t> m_stickyHalts;
    std::set<uint8_t> m_claimedElsewhere;
    std::map<uint8_t, std::string> m_kernelDrivers;
    std::map<uint8_t, std::deque<Segment>> m_streams;
    std::map<uint8_t, uint64_t> m_streamed;
    std::vector<CommandRecord> m_commands;
    std::vector<ControlRecord> m_controlRequests;
    std::map<uint8_t, int> m_clearHalts;
};

} // namespace quelnor::test::usbcam
