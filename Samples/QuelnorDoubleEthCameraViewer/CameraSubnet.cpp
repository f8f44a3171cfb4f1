#include "CameraSubnet.h"

#include <cstdint>
#include <sstream>

namespace quelnor::viewer {

namespace {

constexpr int MAX_OCTET = 255;

bool parseAddress(const std::string& text, uint32_t& address) {
    int a = 0, b = 0, c = 0, d = 0;
    if (!parseDottedQuad(text, a, b, c, d)) {
        return false;
    }
    address = (static_cast<uint32_t>(a) << 24) | (static_cast<uint32_t>(b) << 16) | (static_cast<uint32_t>(c) << 8) |
              static_cast<uint32_t>(d);
    return true;
}

} // namespace

bool parseDottedQuad(const std::string& text, int& a, int& b, int& c, int& d) {
    std::istringstream in(text);
    char dot1 = 0, dot2 = 0, dot3 = 0;
    in >> a >> dot1 >> b >> dot2 >> c >> dot3 >> d;
    if (!in) {
        return false;
    }
    in >> std::ws;
    if (!in.eof()) {
        return false;
    }
    // A negative part would pass a check against 255 alone, and "-1" is no octet.
    for (int part : {a, b, c, d}) {
        if (part < 0 || part > MAX_OCTET) {
            return false;
        }
    }
    return dot1 == '.' && dot2 == '.' && dot3 == '.';
}

bool isInLocalSubnet(const CameraDescription& description) {
    uint32_t adapter = 0, camera = 0, mask = 0;
    if (!parseAddress(description.ipAddresses[1], adapter) || !parseAddress(description.ipAddresses[0], camera) ||
        !parseAddress(description.ipAddresses[2], mask)) {
        return false;
    }
    return (camera & mask) == (adapter & mask);
}

} // namespace quelnor::viewer
