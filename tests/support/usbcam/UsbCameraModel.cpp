#include "usbcam/UsbCameraModel.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "usbcam/UsbDescriptors.h"

namespace quelnor::test::usbcam {

namespace {

constexpr uint8_t REQUEST_TYPE_MASK = 0x60;
constexpr uint8_t REQUEST_TYPE_STANDARD = 0x00;
constexpr uint8_t REQUEST_TYPE_VENDOR = 0x40;
constexpr uint8_t GET_DESCRIPTOR = 6;
constexpr uint8_t DESCRIPTOR_DEVICE = 1;
constexpr uint8_t DESCRIPTOR_CONFIGURATION = 2;
constexpr uint8_t DESCRIPTOR_STRING = 3;
constexpr size_t SHORT_ANSWER_LENGTH = 6;
constexpr uint32_t WRONG_ADDRESS_OFFSET = 4;
constexpr uint32_t SIZE_MISMATCH_EXTRA = 4;

uint32_t readLe32(const uint8_t* p) {
    return p[0] | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

void putLe32(std::vector<uint8_t>& out, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
}

void setLe32(std::vector<uint8_t>& out, size_t offset, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out[offset + static_cast<size_t>(i)] = static_cast<uint8_t>(value >> (8 * i));
    }
}

std::vector<uint8_t> frame(uint32_t property, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> out;
    putLe32(out, property);
    putLe32(out, static_cast<uint32_t>(payload.size()));
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

std::vector<uint8_t> wordBytes(const std::vector<uint32_t>& words) {
    std::vector<uint8_t> out;
    for (uint32_t w : words) {
        putLe32(out, w);
    }
    return out;
}

} // namespace

UsbCameraModel::UsbCameraModel(UsbCameraConfig config) : m_config(std::move(config)) {
    m_serialAnswer = m_config.serialAnswer;
}

// ---------------------------------------------------------------- knobs

void UsbCameraModel::wake() {
    std::function<void()> callback;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        callback = m_wake;
    }
    if (callback) {
        callback();
    }
}

void UsbCameraModel::setWakeCallback(std::function<void()> wake) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_wake = std::move(wake);
}

void UsbCameraModel::setRegister(uint32_t address, uint32_t value) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_registers[address] = value;
}

uint32_t UsbCameraModel::registerValue(uint32_t address) const {
    std::lock_guard<std::mutex> lock(m_lock);
    auto it = m_registers.find(address);
    return it == m_registers.end() ? 0 : it->second;
}

void UsbCameraModel::setBoardRegister(uint16_t address, std::vector<uint8_t> bytes) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_board[address] = std::move(bytes);
}

std::vector<uint8_t> UsbCameraModel::boardRegister(uint16_t address) const {
    std::lock_guard<std::mutex> lock(m_lock);
    auto it = m_board.find(address);
    return it == m_board.end() ? std::vector<uint8_t>{} : it->second;
}

void UsbCameraModel::setCalibration(std::vector<uint8_t> bytes) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_calibration = std::move(bytes);
}

std::vector<uint8_t> UsbCameraModel::calibration() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_calibration;
}

void UsbCameraModel::setSerialAnswer(std::vector<uint8_t> payload) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_serialAnswer = std::move(payload);
}

void UsbCameraModel::setCommandHandler(uint32_t property, CommandHandler handler) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_handlers[property] = std::move(handler);
}

void UsbCameraModel::setVendorHandler(VendorHandler handler) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_vendorHandler = std::move(handler);
}

void UsbCameraModel::injectAnswerFault(AnswerFault fault, int count, std::optional<uint32_t> property) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_faults.push_back({fault, count, property});
}

void UsbCameraModel::clearAnswerFaults() {
    std::lock_guard<std::mutex> lock(m_lock);
    m_faults.clear();
}

void UsbCameraModel::releaseLateAnswers() {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        while (!m_lateAnswers.empty()) {
            m_answers.push_back(std::move(m_lateAnswers.front()));
            m_lateAnswers.pop_front();
        }
    }
    wake();
}

void UsbCameraModel::pushAnswer(std::vector<uint8_t> bytes) {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_answers.push_back(std::move(bytes));
    }
    wake();
}

void UsbCameraModel::setVendorRequestsStall(bool stall) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_vendorStall = stall;
}

void UsbCameraModel::setBoardWriteStall(uint16_t address, bool stall) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (stall) {
        m_boardWriteStalls.insert(address);
    } else {
        m_boardWriteStalls.erase(address);
    }
}

void UsbCameraModel::haltEndpoint(uint8_t endpoint, bool sticky) {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_halted.insert(endpoint);
        if (sticky) {
            m_stickyHalts.insert(endpoint);
        }
    }
    wake();
}

void UsbCameraModel::setClaimedElsewhere(uint8_t interfaceNumber, bool claimed) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (claimed) {
        m_claimedElsewhere.insert(interfaceNumber);
    } else {
        m_claimedElsewhere.erase(interfaceNumber);
    }
}

void UsbCameraModel::setKernelDriver(uint8_t interfaceNumber, std::string driver) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_kernelDrivers[interfaceNumber] = std::move(driver);
}

void UsbCameraModel::unplug() {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_present = false;
    }
    wake();
}

void UsbCameraModel::streamData(std::vector<uint8_t> bytes, bool endTransfer) {
    streamData(UsbCameraConfig::DATA_ENDPOINT, std::move(bytes), endTransfer);
}

void UsbCameraModel::streamData(uint8_t endpoint, std::vector<uint8_t> bytes, bool endTransfer) {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        Segment segment;
        segment.bytes = std::move(bytes);
        segment.endTransfer = endTransfer;
        m_streams[endpoint].push_back(std::move(segment));
    }
    wake();
}

void UsbCameraModel::streamDataThenHalt(uint8_t endpoint, std::vector<uint8_t> bytes) {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        Segment segment;
        segment.bytes = std::move(bytes);
        segment.endTransfer = false;
        segment.haltAfter = true;
        m_streams[endpoint].push_back(std::move(segment));
    }
    wake();
}

size_t UsbCameraModel::pendingStreamBytes(uint8_t endpoint) const {
    std::lock_guard<std::mutex> lock(m_lock);
    size_t total = 0;
    auto it = m_streams.find(endpoint);
    if (it != m_streams.end()) {
        for (const Segment& s : it->second) {
            total += s.bytes.size() - s.offset;
        }
    }
    return total;
}

void UsbCameraModel::dropStreamData(uint8_t endpoint) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_streams.erase(endpoint);
}

uint64_t UsbCameraModel::streamedBytes(uint8_t endpoint) const {
    std::lock_guard<std::mutex> lock(m_lock);
    auto it = m_streamed.find(endpoint);
    return it == m_streamed.end() ? 0 : it->second;
}

std::vector<CommandRecord> UsbCameraModel::commands() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_commands;
}

std::vector<ControlRecord> UsbCameraModel::controlRequests() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_controlRequests;
}

int UsbCameraModel::clearHaltCount(uint8_t endpoint) const {
    std::lock_guard<std::mutex> lock(m_lock);
    auto it = m_clearHalts.find(endpoint);
    return it == m_clearHalts.end() ? 0 : it->second;
}

bool UsbCameraModel::streamEndpointHalted(uint8_t endpoint) const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_halted.count(endpoint) != 0;
}

// ---------------------------------------------------------------- transport side

bool UsbCameraModel::present() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_present;
}

bool UsbCameraModel::claimedElsewhere(uint8_t interfaceNumber) const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_claimedElsewhere.count(interfaceNumber) != 0;
}

std::string UsbCameraModel::kernelDriver(uint8_t interfaceNumber) const {
    std::lock_guard<std::mutex> lock(m_lock);
    auto it = m_kernelDrivers.find(interfaceNumber);
    return it == m_kernelDrivers.end() ? std::string() : it->second;
}

void UsbCameraModel::detachKernelDriver(uint8_t interfaceNumber) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_kernelDrivers.erase(interfaceNumber);
}

void UsbCameraModel::clearHalt(uint8_t endpoint) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (!m_stickyHalts.count(endpoint)) {
        m_halted.erase(endpoint);
    }
    ++m_clearHalts[endpoint];
}

ControlReply UsbCameraModel::control(const SetupPacket& setup, const std::vector<uint8_t>& outData) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_controlRequests.push_back({setup, setup.in() ? std::vector<uint8_t>{} : outData});
    switch (setup.requestType & REQUEST_TYPE_MASK) {
    case REQUEST_TYPE_STANDARD:
        return standardRequest(setup);
    case REQUEST_TYPE_VENDOR:
        return vendorRequest(setup, outData);
    default:
        return ControlReply::stalled();
    }
}

ControlReply UsbCameraModel::standardRequest(const SetupPacket& setup) {
    if (!setup.in()) {
        return ControlReply::accepted(); // SET_FEATURE and the like
    }
    if (setup.request != GET_DESCRIPTOR) {
        return ControlReply::stalled();
    }
    std::optional<std::vector<uint8_t>> descriptor;
    switch (setup.value >> 8) {
    case DESCRIPTOR_DEVICE:
        descriptor = UsbDescriptors::device(m_config);
        break;
    case DESCRIPTOR_CONFIGURATION:
        descriptor = UsbDescriptors::configuration(m_config);
        break;
    case DESCRIPTOR_STRING:
        descriptor = UsbDescriptors::string(m_config, static_cast<uint8_t>(setup.value & 0xFF));
        break;
    default:
        break;
    }
    if (!descriptor) {
        return ControlReply::stalled();
    }
    descriptor->resize(std::min<size_t>(descriptor->size(), setup.length));
    return ControlReply::accepted(std::move(*descriptor));
}

ControlReply UsbCameraModel::vendorRequest(const SetupPacket& setup, const std::vector<uint8_t>& data) {
    if (m_vendorStall) {
        return ControlReply::stalled();
    }
    if (setup.in() && setup.request == wire::VENDOR_READ_REGISTER) {
        std::vector<uint8_t> bytes = m_board[setup.value];
        bytes.resize(setup.length, 0);
        return ControlReply::accepted(std::move(bytes));
    }
    if (!setup.in() && setup.request == wire::VENDOR_WRITE_REGISTER) {
        if (m_boardWriteStalls.count(setup.value) != 0) {
            return ControlReply::stalled();
        }
        m_board[setup.value] = data;
        return ControlReply::accepted();
    }
    if (setup.in() && setup.request == wire::VENDOR_READ_CALIBRATION) {
        std::vector<uint8_t> bytes = m_calibration;
        bytes.resize(std::min<size_t>(bytes.size(), setup.length));
        return ControlReply::accepted(std::move(bytes));
    }
    if (!setup.in() && setup.request == wire::VENDOR_WRITE_CALIBRATION) {
        m_calibration = data;
        return ControlReply::accepted();
    }
    if (m_vendorHandler) {
        return m_vendorHandler(setup, data);
    }
    return ControlReply::stalled();
}

std::optional<AnswerFault> UsbCameraModel::takeFault(uint32_t property) {
    for (auto it = m_faults.begin(); it != m_faults.end(); ++it) {
        if (it->property && *it->property != property) {
            continue;
        }
        AnswerFault fault = it->fault;
        if (it->remaining > 0 && --it->remaining == 0) {
            m_faults.erase(it);
        }
        return fault;
    }
    return std::nullopt;
}

std::vector<uint8_t> UsbCameraModel::answerFor(uint32_t property, const std::vector<uint32_t>& words) {
    auto handler = m_handlers.find(property);
    if (handler != m_handlers.end()) {
        std::optional<std::vector<uint32_t>> answer = handler->second(words);
        return answer ? frame(property, wordBytes(*answer)) : frame(property | wire::FAILED_BIT, {});
    }
    switch (property) {
    case wire::READ_REGISTERS: {
        if (words.size() < 3 || words[0] != 0) {
            return frame(property | wire::FAILED_BIT, {});
        }
        std::vector<uint32_t> answer{words[0], words[1]};
        for (uint32_t i = 0; i < words[2]; ++i) {
            auto it = m_registers.find(words[1] + 4 * i);
            answer.push_back(it == m_registers.end() ? 0 : it->second);
        }
        return frame(property, wordBytes(answer));
    }
    case wire::WRITE_REGISTER:
        if (words.size() < 3 || words[0] != 0) {
            return frame(property | wire::FAILED_BIT, {});
        }
        m_registers[words[1]] = words[2];
        return frame(property, wordBytes({words[0], words[1], words[2]}));
    case wire::SERIAL_NUMBER:
        return frame(property, m_serialAnswer);
    case wire::FIRMWARE_VERSION:
        return frame(property, wordBytes({m_config.firmwareVersion}));
    case wire::BUILD_DATE:
        return frame(property, wordBytes({m_config.buildDate}));
    case wire::DEVICE_COUNT:
        return frame(property, wordBytes({m_config.deviceCount}));
    default:
        return frame(wire::NOT_IMPLEMENTED, {});
    }
}

bool UsbCameraModel::bulkOut(uint8_t endpoint, const uint8_t* data, size_t length) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_halted.count(endpoint)) {
        return false;
    }
    if (endpoint != m_config.commandEndpoint) {
        return true; // nothing listens there
    }
    if (length < wire::FRAME_HEADER) {
        m_answers.push_back(frame(wire::NOT_IMPLEMENTED, {}));
        return true;
    }
    const uint32_t property = readLe32(data);
    CommandRecord record;
    record.property = property;
    for (size_t offset = wire::FRAME_HEADER; offset + 4 <= length; offset += 4) {
        record.words.push_back(readLe32(data + offset));
    }
    m_commands.push_back(record);

    std::optional<AnswerFault> fault = takeFault(property);
    if (fault == AnswerFault::StallCommand) {
        m_commands.pop_back();
        return false;
    }
    std::vector<uint8_t> answer = answerFor(property, record.words);
    if (!fault) {
        m_answers.push_back(std::move(answer));
        return true;
    }
    switch (*fault) {
    case AnswerFault::Silent:
        return true;
    case AnswerFault::Late:
        m_lateAnswers.push_back(std::move(answer));
        return true;
    case AnswerFault::Short:
        answer.resize(SHORT_ANSWER_LENGTH);
        break;
    case AnswerFault::CommandFailed:
        setLe32(answer, 0, property | wire::FAILED_BIT);
        break;
    case AnswerFault::NotImplemented:
        setLe32(answer, 0, wire::NOT_IMPLEMENTED);
        break;
    case AnswerFault::PropertyMismatch:
        setLe32(answer, 0, property ^ 0x1);
        break;
    case AnswerFault::SizeMismatch:
        setLe32(answer, 4, static_cast<uint32_t>(answer.size() - wire::FRAME_HEADER + SIZE_MISMATCH_EXTRA));
        break;
    case AnswerFault::WrongDevice:
        if (answer.size() >= wire::FRAME_HEADER + 4) {
            setLe32(answer, wire::FRAME_HEADER, 1);
        }
        break;
    case AnswerFault::WrongAddress:
        if (answer.size() >= wire::FRAME_HEADER + 8) {
            setLe32(answer, wire::FRAME_HEADER + 4, readLe32(answer.data() + wire::FRAME_HEADER + 4) + WRONG_ADDRESS_OFFSET);
        }
        break;
    case AnswerFault::MissingValue:
        if (answer.size() >= wire::FRAME_HEADER + 4) {
            answer.resize(answer.size() - 4);
            setLe32(answer, 4, static_cast<uint32_t>(answer.size() - wire::FRAME_HEADER));
        }
        break;
    case AnswerFault::StallAnswer:
        m_stallAnswerOnce = true;
        m_lateAnswers.push_back(std::move(answer));
        return true;
    case AnswerFault::StallCommand:
        break;
    }
    m_answers.push_back(std::move(answer));
    return true;
}

InResult UsbCameraModel::bulkIn(uint8_t endpoint, uint8_t* buffer, size_t capacity, size_t& filled,
                                bool* endsTransfer) {
    std::lock_guard<std::mutex> lock(m_lock);
    bool ends = false;
    if (!endsTransfer) {
        endsTransfer = &ends;
    }
    *endsTransfer = false;
    if (!m_present) {
        return InResult::Gone;
    }
    if (m_halted.count(endpoint)) {
        return InResult::Stall;
    }
    if (endpoint == m_config.answerEndpoint) {
        if (m_stallAnswerOnce) {
            m_stallAnswerOnce = false;
            return InResult::Stall;
        }
        if (m_answers.empty()) {
            return InResult::Pending;
        }
        std::vector<uint8_t> answer = std::move(m_answers.front());
        m_answers.pop_front();
        const size_t n = std::min(answer.size(), capacity - filled);
        if (n > 0) {
            std::memcpy(buffer + filled, answer.data(), n);
        }
        filled += n;
        *endsTransfer = true;
        return answer.size() > n ? InResult::Overflow : InResult::Complete;
    }
    auto& segments = m_streams[endpoint];
    while (filled < capacity && !segments.empty()) {
        Segment& s = segments.front();
        const size_t n = std::min(capacity - filled, s.bytes.size() - s.offset);
        if (n > 0) {
            std::memcpy(buffer + filled, s.bytes.data() + s.offset, n);
        }
        s.offset += n;
        filled += n;
        m_streamed[endpoint] += n;
        if (s.offset == s.bytes.size()) {
            if (s.haltAfter) {
                if (n > 0 && filled == capacity) {
                    break; // the transfer is full and completes; the halt meets the next one
                }
                segments.pop_front();
                m_halted.insert(endpoint);
                return InResult::Stall;
            }
            const bool end = s.endTransfer;
            segments.pop_front();
            if (end) {
                *endsTransfer = true;
                return InResult::Complete;
            }
        }
    }
    return filled == capacity ? InResult::Complete : InResult::Pending;
}

} // namespace quelnor::test::usbcam
