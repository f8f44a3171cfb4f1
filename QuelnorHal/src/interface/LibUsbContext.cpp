#include "QuelnorHal/interface/LibUsbContext.h"

#include <libusb.h>

#include <stdexcept>

namespace quelnor {

LibUsbContext::LibUsbContext() {
    if (libusb_init(&m_context) != LIBUSB_SUCCESS) {
        m_context = nullptr;
        throw std::runtime_error("libusb_init failed");
    }
}

LibUsbContext::~LibUsbContext() {
    if (m_context) {
        libusb_exit(m_context);
    }
}

libusb_context* LibUsbContext::get() const { return m_context; }

} // namespace quelnor
