// USB control-frame answers. Input: a byte that picks the request (register block read with a count
// from the next byte, single read, write, serial number, firmware version, build date, device count, a
// strings request), then the answer as it came from the answer endpoint.
// Checks: an answer is taken exactly when it has a whole header, a size field equal to its payload and
// the request's property; a refused answer of a whole header still takes the request's place, a shorter
// one leaves the request; the payload readers give each word of the answer or their range error,
// never a byte outside it; the strings of a strings answer rebuild its payload.
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "QuelnorHal/interface/CtrlFrame.h"
#include "QuelnorHal/interface/StringsCtrlFrame.h"
#include "QuelnorHal/interface/UsbInterface.h"

using namespace quelnor;
using namespace quelnor::fuzz;

namespace {

constexpr uint32_t READ_REGISTERS = UsbInterface::PROPERTY_READ_REGISTERS;
constexpr uint32_t WRITE_REGISTER = UsbInterface::PROPERTY_WRITE_REGISTER;
constexpr uint32_t STRINGS_REQUEST = 0x00020100;
constexpr unsigned REQUEST_KINDS = 8;

uint32_t le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

// Every payload word through get32 and get64: a value where the payload holds it, the range error
// just past it.
void readWords(const CtrlFrame& frame, const std::vector<uint8_t>& bytes) {
    const uint64_t payload = frame.payload_size();
    FUZZ_CHECK(payload == bytes.size() - CtrlFrame::HEADER_SIZE);
    for (uint64_t i = 0; i <= payload / 4; ++i) {
        const bool inside = i * 4 + 4 <= payload;
        try {
            const uint32_t word = frame.get32(i);
            FUZZ_CHECK(inside);
            FUZZ_CHECK(word == le32(bytes.data() + CtrlFrame::HEADER_SIZE + i * 4));
        } catch (const std::range_error&) {
            FUZZ_CHECK(!inside);
        }
    }
    for (uint64_t i = 0; i <= payload / 8; ++i) {
        const bool inside = i * 8 + 8 <= payload;
        try {
            const uint64_t word = frame.get64(i);
            FUZZ_CHECK(inside);
            const uint8_t* p = bytes.data() + CtrlFrame::HEADER_SIZE + i * 8;
            FUZZ_CHECK(word == (static_cast<uint64_t>(le32(p)) | (static_cast<uint64_t>(le32(p + 4)) << 32)));
        } catch (const std::range_error&) {
            FUZZ_CHECK(!inside);
        }
    }
}

void exchange(CtrlFrame& frame, const std::vector<uint8_t>& answerBytes) {
    const uint32_t property = frame.get_property();
    std::vector<uint8_t> request(frame.frame(), frame.frame() + frame.frame_size());
    std::vector<uint8_t> answer = answerBytes;
    const bool taken = frame.swap_req_and_answer(answer);
    if (answerBytes.size() < CtrlFrame::HEADER_SIZE) {
        FUZZ_CHECK(!taken);
        FUZZ_CHECK(std::vector<uint8_t>(frame.frame(), frame.frame() + frame.frame_size()) == request);
        return;
    }
    // The frame holds the answer and the caller's vector the request, whatever the outcome.
    FUZZ_CHECK(answer == request);
    FUZZ_CHECK(frame.frame_size() == answerBytes.size());
    const uint32_t sizeField = le32(answerBytes.data() + 4);
    const bool expected = sizeField == answerBytes.size() - CtrlFrame::HEADER_SIZE && le32(answerBytes.data()) == property;
    FUZZ_CHECK(taken == expected);
    FUZZ_CHECK(frame.get_property() == le32(answerBytes.data()));
    std::vector<uint8_t> held(frame.payload(), frame.payload() + frame.payload_size());
    FUZZ_CHECK(std::equal(held.begin(), held.end(), answerBytes.begin() + CtrlFrame::HEADER_SIZE));
    readWords(frame, answerBytes);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    quietLogger();
    Input in(data, size);
    const unsigned kind = in.u8() % REQUEST_KINDS;
    const uint32_t count = in.u8();
    const std::vector<uint8_t> answer = in.restBytes();
    switch (kind) {
    case 0: {
        CtrlFrame frame(READ_REGISTERS);
        frame.push_back32({0, 0x1000, count});
        exchange(frame, answer);
        break;
    }
    case 1: {
        CtrlFrame frame(READ_REGISTERS);
        frame.push_back32({0, 0x1000, 1});
        exchange(frame, answer);
        break;
    }
    case 2: {
        CtrlFrame frame(WRITE_REGISTER);
        frame.push_back32({0, 0x1000, count});
        exchange(frame, answer);
        break;
    }
    case 3:
    case 4:
    case 5:
    case 6: {
        const uint32_t properties[] = {UsbInterface::PROPERTY_SERIAL_NUMBER, UsbInterface::PROPERTY_FIRMWARE_VERSION,
                                       UsbInterface::PROPERTY_BUILD_DATE, UsbInterface::PROPERTY_DEVICE_COUNT};
        CtrlFrame frame(properties[kind - 3]);
        exchange(frame, answer);
        break;
    }
    default: {
        StringsCtrlFrame frame(STRINGS_REQUEST, count);
        exchange(frame, answer);
        if (answer.size() < CtrlFrame::HEADER_SIZE) {
            break;
        }
        const std::vector<std::string> strings = frame.get_strings();
        const uint64_t payload = frame.payload_size();
        if (payload > 4 && frame.payload()[payload - 1] == 0) {
            // The strings and their NULs are the payload after its first word.
            std::string rebuilt;
            for (const std::string& s : strings) {
                FUZZ_CHECK(s.find('\0') == std::string::npos);
                rebuilt += s;
                rebuilt.push_back('\0');
            }
            FUZZ_CHECK(rebuilt.size() == payload - 4);
            FUZZ_CHECK(std::memcmp(rebuilt.data(), frame.payload() + 4, rebuilt.size()) == 0);
        } else {
            FUZZ_CHECK(strings.empty());
        }
        break;
    }
    }
    // A frame the caller builds keeps its size field up to date.
    CtrlFrame built(READ_REGISTERS);
    built.push_back32(count);
    FUZZ_CHECK(le32(built.frame() + 4) == 4 && built.frame_size() == 12);
    return 0;
}
