#pragma once

#include <cstdint>
#include <string>

namespace quelnor {

// One usable local IPv4 address: an adapter that is up, not loopback, and has a broadcast address.
struct NetworkInterface {
    std::string name; // the adapter's name (UTF-8)
    uint32_t ip = 0;  // host order, first octet in the high byte
    uint32_t mask = 0;
    uint32_t broadcast = 0; // (ip AND mask) OR NOT mask
};

} // namespace quelnor
