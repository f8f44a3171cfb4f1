#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "QuelnorHal/camera/tools/CameraTool.h"
#include "QuelnorHal/camera/tools/ToolInfo.h"
#include "QuelnorHal/camera/tools/ToolType.h"
#include "QuelnorHal/register/RegisterController.h"

namespace quelnor {

// The tools of one camera, at most one per ToolType, and the camera-configuration file that holds
// their parameter values. DvsCamera and FusionCamera keep one and forward their tool calls to it.
//
// Configuration file: a JSON object with one member per tool, named by its ToolInfo name, each an
// object with one member per parameter (named as getAllParamInfo lists it): INT as an integer, FLOAT as
// a number (the float widened to double), BOOL as true or false, ENUM as its option text; STRING
// parameters are not written. Keys in ascending order at both levels, indented by 4 spaces, no newline
// after the closing brace.
//
// Threads: no lock. The camera changes the set only in its init, before other threads use it; the
// other calls run on the caller's thread and reach the device through the tools, which serialise
// nothing among themselves, so they may run while the camera streams. Copies share the tool objects.
class CameraToolSet {
public:
    using ToolMap = std::map<ToolType, std::shared_ptr<CameraTool>>;

    CameraToolSet();
    CameraToolSet(const CameraToolSet& other);
    CameraToolSet(CameraToolSet&& other) noexcept;
    CameraToolSet& operator=(const CameraToolSet& other);
    CameraToolSet& operator=(CameraToolSet&& other) noexcept;
    ~CameraToolSet();

    // Empties the set, then builds the seven tools of an event camera's sensor (GenX320 or IMX636) over
    // the controller, in this order: biases, trigger-in, anti-flicker, event-rate control, trail filter,
    // ROI, sync. Their constructors read and write the sensor. An exception from a constructor reaches
    // the caller and leaves the tools built before it in the set; a new call starts clean again, so no
    // tool stays bound to the controller of an earlier attempt.
    void createEventCameraTools(const std::shared_ptr<RegisterController>& controller, bool isGenx320);
    // Adds the tool unless the set already has one of that type (that one stays); true when added.
    bool addTool(ToolType type, std::shared_ptr<CameraTool> tool);
    void clear();

    // Every tool's getToolInfo, in ascending ToolType order; empty for an empty set.
    std::vector<ToolInfo> getAllToolsInfo() const;
    // Logs "Tool not found" and throws std::runtime_error "Tool not found" when the set lacks the type.
    ToolInfo getToolInfo(ToolType type) const;
    // Empty pointer, with "Tool not found" logged, when the set lacks the type.
    std::shared_ptr<CameraTool> getTool(ToolType type) const;
    // The first tool, in ascending ToolType order, whose ToolInfo name is exactly `name`; empty when none.
    std::shared_ptr<CameraTool> getTool(const std::string& name) const;

    // Writes every tool's parameter values to path (replacing the file). The values are read before the
    // file is opened, so an exception from a tool reaches the caller with nothing written. False when
    // the file cannot be written. A value a tool cannot read is logged and left out of the file (never
    // written as a stand-in a load would apply), the others are written, and the result is false. An
    // empty set writes null.
    bool exportCameraConfigParams(const std::string& path) const;
    // Applies a configuration file, tools and parameters in ascending key order. Each value is converted
    // to the type its parameter declares (an integer for a FLOAT parameter is applied as a float); a
    // value that does not fit that type, a parameter the tool lacks or a value the tool refuses is
    // logged and counted, the other values are still applied, and the result is false. Tools the set
    // lacks are skipped with a warning. False when the file cannot be opened, and false at once (values
    // applied before stay applied) when a tool throws while a value is set. Text that is not JSON makes
    // the parser's exception (a std::exception) reach the caller before anything is applied.
    bool loadCameraConfigParams(const std::string& path) const;

private:
    ToolMap tools;
};

} // namespace quelnor
