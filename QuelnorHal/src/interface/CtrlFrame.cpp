#include "QuelnorHal/interface/CtrlFrame.h"

#include <stdexcept>

#include "QuelnorBase/Logger.h"
#include "interface/LittleEndian.h"

namespace quelnor {

namespace {

constexpr size_t PROPERTY_OFFSET = 0;
constexpr size_t SIZE_OFFSET = 4;

} // namespace

CtrlFrame::CtrlFrame(uint32_t property) : m_data(HEADER_SIZE, 0) { le::write32(m_data.data() + PROPERTY_OFFSET, property); }

CtrlFrame::~CtrlFrame() = default;

uint32_t CtrlFrame::get_property() const { return le::read32(m_data.data() + PROPERTY_OFFSET); }

void CtrlFrame::updateSize() {
    if (m_data.size() < HEADER_SIZE) {
        throw std::length_error("payload resized to less than 0");
    }
    le::write32(m_data.data() + SIZE_OFFSET, static_cast<uint32_t>(m_data.size() - HEADER_SIZE));
}

uint8_t* CtrlFrame::frame() {
    updateSize();
    return m_data.data();
}

uint64_t CtrlFrame::frame_size() const { return m_data.size(); }

bool CtrlFrame::swap_req_and_answer(std::vector<uint8_t>& answer) {
    if (answer.size() < HEADER_SIZE) {
        QN_ERROR("control answer is shorter than its header");
        return false;
    }
    const uint32_t requestProperty = get_property();
    m_data.swap(answer);
    const uint32_t sizeField = le::read32(m_data.data() + SIZE_OFFSET);
    const uint64_t payloadLength = m_data.size() - HEADER_SIZE;
    if (sizeField != payloadLength) {
        QN_ERROR("size mismatch; expected %u, got %llu", sizeField, static_cast<unsigned long long>(payloadLength));
        return false;
    }
    const uint32_t answerProperty = get_property();
    if (answerProperty == NOT_IMPLEMENTED) {
        QN_ERROR("command not implemented");
        return false;
    }
    if (answerProperty == (requestProperty | FAILED_BIT)) {
        QN_ERROR("command failed");
        return false;
    }
    if (answerProperty == requestProperty) {
        return true;
    }
    QN_ERROR("property mismatch; expected %u, got %u", requestProperty, answerProperty);
    return false;
}

void CtrlFrame::push_back32(uint32_t value) {
    uint8_t bytes[4];
    le::write32(bytes, value);
    m_data.insert(m_data.end(), bytes, bytes + 4);
}

void CtrlFrame::push_back32(const std::vector<uint32_t>& values) {
    m_data.reserve(m_data.size() + values.size() * 4);
    for (uint32_t value : values) {
        push_back32(value);
    }
}

uint32_t CtrlFrame::get32(uint64_t index) const {
    // Written so that a huge index cannot wrap the bound.
    const uint64_t available = payload_size();
    if (index >= available / 4) {
        throw std::range_error("Ctrl frame vect index out of range");
    }
    return le::read32(payload() + index * 4);
}

uint64_t CtrlFrame::get64(uint64_t index) const {
    const uint64_t available = payload_size();
    if (index >= available / 8) {
        throw std::range_error("Ctrl frame vect index out of range");
    }
    const uint8_t* p = payload() + index * 8;
    return le::read32(p) | (static_cast<uint64_t>(le::read32(p + 4)) << 32);
}

uint64_t CtrlFrame::payload_size() const {
    if (m_data.size() < HEADER_SIZE) {
        throw std::length_error("payload resized to less than 0");
    }
    return m_data.size() - HEADER_SIZE;
}

uint8_t* CtrlFrame::payload() { return m_data.data() + HEADER_SIZE; }

const uint8_t* CtrlFrame::payload() const { return m_data.data() + HEADER_SIZE; }

} // namespace quelnor
