#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "QuelnorBase/CalibratorParameters.h"

namespace quelnor {

// Reads a calibration JSON text; NUL bytes after the text (a fixed-size memory area) end it.
// False with an error line when a required member is missing. Text that is not JSON throws the
// parser's exception and a member of the wrong JSON type its type error; a matrix's rows, cols or type
// that does not fit in an int throws the library's out_of_range error. All reach the caller.
bool jsonDataToParam(std::vector<uint8_t>& data, CalibratorParameters& params);
// Reads the whole file and parses it as jsonDataToParam does; false when it cannot be read.
bool jsonFileToParam(std::string path, CalibratorParameters& params);
// Writes params as pretty-printed JSON (members in sorted key order). Only the affine entries under
// "0" and "1" are written. False when the file cannot be opened or written.
bool paramToJsonFile(CalibratorParameters& params, std::string path);

} // namespace quelnor
