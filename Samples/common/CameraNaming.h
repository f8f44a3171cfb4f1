#pragma once

// How the programs name a camera before they change anything in it.

#include <string>

#include "QuelnorHal/interface/CameraDescription.h"

namespace quelnor::samples {

// "serial QNETH0001, IP 192.0.2.11, model Tolvane" (the IP left out when the camera has none).
std::string describeCamera(const CameraDescription& camera);

} // namespace quelnor::samples
