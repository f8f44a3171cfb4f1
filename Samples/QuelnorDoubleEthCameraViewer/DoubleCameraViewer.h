#pragma once

#include <array>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "QuelnorBase/Event2D.h"
#include "QuelnorBase/EventTriggerIn.h"
#include "QuelnorBase/QnStatisticInfo.h"
#include "QuelnorDriver/camera/DvsCamera.h"
#include "QuelnorDriver/camera/DvsCameraManager.h"
#include "ViewerOptions.h"

namespace quelnor::viewer {

// The images of one camera slot: events are painted into `frame` while `back` is being shown.
struct CameraView {
    cv::Mat frame;
    cv::Mat back;
    std::mutex viewMutex; // guards frame and back
    cv::Vec3b background{112, 112, 112};
    cv::Vec3b onColour{191, 188, 180};  // polarity != 0
    cv::Vec3b offColour{64, 61, 51};    // polarity 0
};

// Shows two Ethernet cameras side by side, finds and reopens them, records both while asked.
//
// Threads: run() on the main thread (discovery, opening, drawing, keys). plotEvents and logTrigger run
// on each camera's camera-loop thread, storeStatistics on its statistics thread; they touch only
// their slot's view or statistics, under the slot's locks.
class DoubleCameraViewer {
public:
    static constexpr int SLOTS = 2;
    static constexpr uint64_t BATCH_EVENTS = 10000;
    static constexpr int KEY_WAIT_MS = 40;
    static constexpr std::chrono::seconds DISCOVERY_PERIOD{1};
    static constexpr int KEY_ESCAPE = 27;

    explicit DoubleCameraViewer(ViewerOptions options);
    // Stops the cameras and releases them and the manager, also when run() did not finish.
    ~DoubleCameraViewer();
    DoubleCameraViewer(const DoubleCameraViewer&) = delete;
    DoubleCameraViewer& operator=(const DoubleCameraViewer&) = delete;

    // Loops until q or Escape; returns the exit code.
    int run();

    void plotEvents(int slot, Event2D* first, Event2D* last);
    void logTrigger(int slot, EventTriggerIn trigger);
    void storeStatistics(int slot, QnStatisticInfo info);

private:
    struct Slot {
        CameraView view;
        std::mutex statisticsMutex;
        QnStatisticInfo statistics;
        std::string windowName;
        std::string serial;
        std::string outputPath;
        // The part number of the slot's latest recording file (0: none yet). Each start, after a
        // Space or when a lost camera comes back, goes on in the next free file.
        int recordingParts = 0;
        std::shared_ptr<DvsCamera> camera;
    };

    void dropLostCameras();
    void discover();
    void openSlot(int slot);
    void showSlot(int slot);
    void toggleRecording();
    // Starts recording on the slot's camera into its next file that does not exist yet; true when it
    // started.
    bool startSlotRecording(int slot);
    std::string recordingPath(int slot) const;
    void shutdown();

    ViewerOptions options;
    bool serialsGiven = false;
    std::array<Slot, SLOTS> slots;
    bool recording = false;
    std::unique_ptr<DvsCameraManager> manager;
    std::vector<CameraDescription> kept; // Ethernet cameras of the last discovery, in order
    std::chrono::steady_clock::time_point nextDiscovery;
};

} // namespace quelnor::viewer
