#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace quelnor {

// A matrix of the calibration: rows x cols elements of data, row after row; type is the producer's.
struct CalibMatrix {
    int32_t rows = 0;
    int32_t cols = 0;
    int32_t type = 0;
    std::vector<double> data;

    bool operator==(const CalibMatrix&) const = default;
};

// Calibration of a fusion camera. Camera "0" is the event sensor, camera "1" the frame sensor;
// affine_matrix is keyed by the other camera's id ("1" for camera "0" and "0" for camera "1").
struct CalibratorParameters {
    std::string camera_serial;
    uint16_t dvs_cols = 0;
    uint16_t dvs_rows = 0;
    uint16_t aps_cols = 0;
    uint16_t aps_rows = 0;
    CalibMatrix camera_matrix;
    CalibMatrix dist_coeffs;
    std::map<std::string, CalibMatrix> affine_matrix;
    std::vector<double> rotation;
    std::vector<double> translation;

    bool operator==(const CalibratorParameters&) const = default;
};

} // namespace quelnor
