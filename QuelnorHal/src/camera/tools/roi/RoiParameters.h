#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "QuelnorHal/camera/tools/FullParamteterInfo.h"

namespace quelnor {

// The six ROI records, shared by both sensors; only the enable text and the bounds differ.
struct RoiCallbacks {
    std::function<bool(bool&)> getEnable;
    std::function<bool(bool)> setEnable;
    std::function<bool(std::string&)> getMode;
    std::function<bool(std::string)> setMode;
    std::function<bool(int&)> getX, getWidth, getY, getHeight;
    std::function<bool(int)> setX, setWidth, setY, setHeight;
};

inline std::vector<FullParamteterInfo> roiParameterList(const char* enableDescription,
                                                        const std::vector<std::string>& modes, int maxWidth,
                                                        int maxHeight, RoiCallbacks cb) {
    std::vector<FullParamteterInfo> list;
    list.emplace_back("enable", enableDescription, BOOL,
                      BoolParameterInfo{false, std::move(cb.getEnable), std::move(cb.setEnable)});
    list.emplace_back("mode", "Set ROI mode.", ENUM,
                      EnumParameterInfo{modes, "ROI", std::move(cb.getMode), std::move(cb.setMode)});
    list.emplace_back("x", "Set ROI x.", INT,
                      IntParameterInfo{0, maxWidth, 0, "pixel", std::move(cb.getX), std::move(cb.setX)});
    list.emplace_back("width", "Set ROI width.", INT,
                      IntParameterInfo{0, maxWidth, 0, "pixel", std::move(cb.getWidth), std::move(cb.setWidth)});
    list.emplace_back("y", "Set ROI y.", INT,
                      IntParameterInfo{0, maxHeight, 0, "pixel", std::move(cb.getY), std::move(cb.setY)});
    list.emplace_back("height", "Set ROI height.", INT,
                      IntParameterInfo{0, maxHeight, 0, "pixel", std::move(cb.getHeight), std::move(cb.setHeight)});
    return list;
}

// "roi/td_roi_x07"-style line-mask register names.
inline std::string roiLineRegister(char axis, int index) {
    char name[32];
    std::snprintf(name, sizeof(name), "roi/td_roi_%c%02d", axis, index);
    return name;
}

} // namespace quelnor
