#pragma once

#include <string>

#include "QuelnorHal/interface/CameraDescription.h"

namespace quelnor::viewer {

// Reads "a.b.c.d" (blanks before each number and after the last allowed), each part at most 255.
bool parseDottedQuad(const std::string& text, int& a, int& b, int& c, int& d);
// Whether the camera's address lies in the subnet of the adapter it was found on, by the camera's
// mask. False when one of the three addresses cannot be read.
bool isInLocalSubnet(const CameraDescription& description);

} // namespace quelnor::viewer
