#pragma once

struct libusb_context;

namespace quelnor {

// One libusb context. Every discovery call and every interface creation makes its own and shares it
// with the handles it opens, so an open camera keeps its context for its whole life.
class LibUsbContext {
public:
    // Throws std::runtime_error "libusb_init failed".
    LibUsbContext();
    ~LibUsbContext();
    LibUsbContext(const LibUsbContext&) = delete;
    LibUsbContext& operator=(const LibUsbContext&) = delete;

    libusb_context* get() const;

private:
    libusb_context* m_context = nullptr;
};

} // namespace quelnor
