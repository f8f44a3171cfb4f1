#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quelnor {

// One control frame of a USB camera, header included, as it goes over the bulk endpoints:
//   offset 0: 32-bit property (the command), offset 4: 32-bit payload size, offset 8: payload;
// all integers little-endian. An answer has the same layout: the request's property when the
// command succeeded, the property with bit 31 set when it failed, exactly 0x80000000 when the
// camera does not know the command.
class CtrlFrame {
public:
    static constexpr size_t HEADER_SIZE = 8;
    static constexpr uint32_t FAILED_BIT = 0x80000000;
    static constexpr uint32_t NOT_IMPLEMENTED = 0x80000000;

    // The 8-byte header with this property and size 0.
    explicit CtrlFrame(uint32_t property);
    CtrlFrame(const CtrlFrame&) = default;
    CtrlFrame(CtrlFrame&&) noexcept = default;
    CtrlFrame& operator=(const CtrlFrame&) = default;
    CtrlFrame& operator=(CtrlFrame&&) noexcept = default;
    virtual ~CtrlFrame();

    virtual uint32_t get_property() const;
    // Writes the payload length into the size field; std::length_error when the frame is under 8 bytes.
    virtual void updateSize();
    // The whole frame with its size field brought up to date.
    virtual uint8_t* frame();
    virtual uint64_t frame_size() const;
    // Checks an answer and takes it in place of the request (the caller's vector then holds the
    // request). False, logged, for an answer shorter than the header (nothing is swapped), a size
    // field that disagrees with the length, "not implemented", "failed" or another property.
    virtual bool swap_req_and_answer(std::vector<uint8_t>& answer);

    // Appends one word, least significant byte first; the size field follows at the next frame().
    void push_back32(uint32_t value);
    void push_back32(const std::vector<uint32_t>& values);
    // Payload words; std::range_error "Ctrl frame vect index out of range" beyond the payload.
    uint32_t get32(uint64_t index) const;
    uint64_t get64(uint64_t index) const;
    // std::length_error "payload resized to less than 0" when the frame is under 8 bytes.
    uint64_t payload_size() const;
    uint8_t* payload();
    const uint8_t* payload() const;

protected:
    std::vector<uint8_t> m_data;
};

} // namespace quelnor
