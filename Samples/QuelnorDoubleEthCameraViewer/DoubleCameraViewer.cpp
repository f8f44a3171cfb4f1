#include "DoubleCameraViewer.h"

#include <cinttypes>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <system_error>
#include <iostream>
#include <utility>

#include <opencv2/highgui.hpp>
#include <opencv2/imgproc.hpp>

#include "CameraSubnet.h"
#include "QuelnorBase/Logger.h"

namespace quelnor::viewer {

namespace {

constexpr double BYTES_PER_MEGABYTE = 1048576.0;
constexpr double EVENTS_PER_MEGAEVENT = 1000000.0;
constexpr int TEXT_FONT = cv::FONT_HERSHEY_SIMPLEX;
constexpr double TEXT_SCALE = 0.5;
const cv::Scalar TEXT_COLOUR(0, 255, 0);
constexpr int TEXT_THICKNESS = 1;
constexpr int TEXT_LINE_TYPE = cv::LINE_8;
constexpr int TEXT_LEFT = 10;
constexpr int TEXT_LINE_1 = 15;
constexpr int TEXT_LINE_2 = 30;
constexpr int TEXT_LINE_3 = 45;
constexpr int LOW_BYTE = 0xFF;
const char* const WINDOW_NAMES[DoubleCameraViewer::SLOTS] = {"Quelnor Ethernet Camera 1",
                                                             "Quelnor Ethernet Camera 2"};

std::string formatRate(double value, const char* unit) {
    char text[64];
    std::snprintf(text, sizeof text, "%f", value);
    return std::string(text) + unit;
}

} // namespace

DoubleCameraViewer::DoubleCameraViewer(ViewerOptions viewerOptions) : options(std::move(viewerOptions)) {
    serialsGiven = !options.serials[0].empty();
    for (int i = 0; i < SLOTS; ++i) {
        slots[i].windowName = WINDOW_NAMES[i];
        slots[i].serial = options.serials[i];
        slots[i].outputPath = makeCameraOutputPath(options.outputPath, i);
    }
}

DoubleCameraViewer::~DoubleCameraViewer() { shutdown(); }

int DoubleCameraViewer::run() {
    if (serialsGiven) {
        std::cout << "Camera selection: serial " << slots[0].serial << " and " << slots[1].serial << ".\n";
    } else {
        std::cout << "Camera selection: first two discovered Ethernet cameras.\n";
    }
    std::cout << "Press Space to start/stop recording. Press q or Escape to quit.\n";
    std::cout.flush();

    manager = std::make_unique<DvsCameraManager>();
    for (Slot& slot : slots) {
        cv::namedWindow(slot.windowName, cv::WINDOW_NORMAL);
    }
    nextDiscovery = std::chrono::steady_clock::now();

    for (;;) {
        dropLostCameras();
        if ((!slots[0].camera || !slots[1].camera) && std::chrono::steady_clock::now() >= nextDiscovery) {
            discover();
        }
        for (int i = 0; i < SLOTS; ++i) {
            showSlot(i);
        }
        const int key = cv::waitKey(KEY_WAIT_MS) & LOW_BYTE;
        if (key == KEY_ESCAPE || key == 'q') {
            shutdown();
            return 0;
        }
        if (key == ' ') {
            toggleRecording();
        }
    }
}

void DoubleCameraViewer::dropLostCameras() {
    for (int i = 0; i < SLOTS; ++i) {
        Slot& slot = slots[i];
        if (!slot.camera || slot.camera->isConnected()) {
            continue;
        }
        QN_INFO("Camera %d disconnected (serial: %s).", i + 1, slot.serial.c_str());
        // Close the file now: the camera object may outlive this pointer in the manager.
        if (recording) {
            slot.camera->stopRecording();
        }
        slot.camera->stop();
        slot.camera.reset();
    }
}

void DoubleCameraViewer::discover() {
    const auto started = std::chrono::steady_clock::now();
    std::vector<CameraDescription> descriptions;
    try {
        descriptions = manager->getCameraDescs();
    } catch (const std::exception& e) {
        QN_ERROR("Camera discovery failed: %s", e.what());
    }
    kept.clear();
    for (const CameraDescription& d : descriptions) {
        QN_INFO("Camera found: %s : %s, camera IP: %s, local IP: %s", d.manufacturer.c_str(), d.serialNumber.c_str(),
                d.ipAddresses[0].c_str(), d.ipAddresses[1].c_str());
        if (d.interfaceType == INTERFACE_ETH) {
            kept.push_back(d);
        }
    }

    if (!serialsGiven) {
        if (slots[0].serial.empty() && !kept.empty()) {
            slots[0].serial = kept.front().serialNumber;
        }
        if (slots[1].serial.empty()) {
            for (const CameraDescription& d : kept) {
                if (d.serialNumber != slots[0].serial) {
                    slots[1].serial = d.serialNumber;
                    break;
                }
            }
        }
    }

    auto firstWithSerial = [this](const std::string& serial) -> const CameraDescription* {
        for (const CameraDescription& d : kept) {
            if (!serial.empty() && d.serialNumber == serial) {
                return &d;
            }
        }
        return nullptr;
    };
    for (int i = 0; i < SLOTS; ++i) {
        const CameraDescription* d = firstWithSerial(slots[i].serial);
        if (d != nullptr && !isInLocalSubnet(*d)) {
            QN_ERROR("Camera %d is outside the local subnet: camera %s/%s, local adapter %s. Configure matching "
                     "subnets before opening.",
                     i + 1, d->ipAddresses[0].c_str(), d->ipAddresses[2].c_str(), d->ipAddresses[1].c_str());
        }
    }
    for (int i = 0; i < SLOTS; ++i) {
        const CameraDescription* d = firstWithSerial(slots[i].serial);
        if (!slots[i].camera && d != nullptr && isInLocalSubnet(*d)) {
            openSlot(i);
        }
    }
    if (kept.size() < 2) {
        QN_INFO("Waiting for two Ethernet cameras (found %d)...", static_cast<int>(kept.size()));
    }
    nextDiscovery = started + DISCOVERY_PERIOD;
}

void DoubleCameraViewer::openSlot(int i) {
    Slot& slot = slots[i];
    std::shared_ptr<DvsCamera> camera;
    try {
        camera = manager->openCamera(slot.serial);
    } catch (const std::exception& e) {
        // A camera that fails while it is being set up is tried again at the next discovery.
        QN_ERROR("Opening camera %d failed: %s", i + 1, e.what());
    }
    if (!camera) {
        QN_ERROR("Could not open camera %d (serial: %s).", i + 1, slot.serial.c_str());
        return;
    }
    QN_INFO("Camera %d open success, serial: %s.", i + 1, slot.serial.c_str());
    const int height = camera->getHeight();
    const int width = camera->getWidth();
    {
        std::lock_guard<std::mutex> lock(slot.view.viewMutex);
        slot.view.frame = cv::Mat(height, width, CV_8UC3, cv::Scalar(slot.view.background));
        slot.view.back = cv::Mat(height, width, CV_8UC3, cv::Scalar(slot.view.background));
    }
    camera->setBatchEventsNum(BATCH_EVENTS);
    camera->addEventsStreamHandleCallback([this, i](Event2D* first, Event2D* last) { plotEvents(i, first, last); });
    camera->addTriggerInCallback([this, i](EventTriggerIn trigger) { logTrigger(i, trigger); });
    camera->setStatisticInfoCallback([this, i](QnStatisticInfo info) { storeStatistics(i, info); });
    cv::resizeWindow(slot.windowName, width, height);
    slot.camera = camera;
    camera->start();
    if (recording && startSlotRecording(i)) {
        std::cout << "Start saving raw file: " << recordingPath(i) << "\n";
        std::cout.flush();
    }
}

void DoubleCameraViewer::showSlot(int i) {
    Slot& slot = slots[i];
    cv::Mat display;
    {
        std::lock_guard<std::mutex> lock(slot.view.viewMutex);
        if (!slot.view.frame.empty()) {
            std::swap(slot.view.frame, slot.view.back);
            slot.view.frame.setTo(cv::Scalar(slot.view.background));
            slot.view.back.copyTo(display);
        }
    }
    if (display.empty()) {
        return;
    }
    QnStatisticInfo statistics;
    {
        std::lock_guard<std::mutex> lock(slot.statisticsMutex);
        statistics = slot.statistics;
    }
    const auto text = [&display](const std::string& line, int y) {
        cv::putText(display, line, cv::Point(TEXT_LEFT, y), TEXT_FONT, TEXT_SCALE, TEXT_COLOUR, TEXT_THICKNESS,
                    TEXT_LINE_TYPE);
    };
    text(formatRate(static_cast<double>(statistics.dataBandwidth) / BYTES_PER_MEGABYTE, " MB/s"), TEXT_LINE_1);
    text(formatRate(static_cast<double>(statistics.eventCount) / EVENTS_PER_MEGAEVENT, " MEv/s"), TEXT_LINE_2);
    text(slot.serial, TEXT_LINE_3);
    cv::imshow(slot.windowName, display);
}

void DoubleCameraViewer::toggleRecording() {
    const bool wasRecording = recording;
    recording = !recording;
    for (int i = 0; i < SLOTS; ++i) {
        Slot& slot = slots[i];
        if (!slot.camera) {
            // Nothing to start or stop yet: say that the camera will record once it is open.
            std::cout << (wasRecording ? "Recording disarmed for camera " : "Recording armed: camera ") << (i + 1)
                      << (wasRecording ? ".\n" : " starts recording as soon as it is open.\n");
            continue;
        }
        if (wasRecording) {
            slot.camera->stopRecording();
            std::cout << "Stop saving raw file: " << recordingPath(i) << "\n";
        } else if (startSlotRecording(i)) {
            std::cout << "Start saving raw file: " << recordingPath(i) << "\n";
        }
    }
    std::cout.flush();
}

bool DoubleCameraViewer::startSlotRecording(int i) {
    Slot& slot = slots[i];
    // Every recording gets a file of its own: never one written earlier, by this run or another.
    int part = slot.recordingParts + 1;
    const auto taken = [&slot](int n) {
        std::error_code error;
        return std::filesystem::exists(std::filesystem::symlink_status(makeRecordingPartPath(slot.outputPath, n), error));
    };
    while (taken(part)) {
        ++part;
    }
    const std::string path = makeRecordingPartPath(slot.outputPath, part);
    int result = -1;
    try {
        result = slot.camera->startRecording(path);
    } catch (const std::exception& e) {
        QN_ERROR("Recording camera %d failed: %s", i + 1, e.what());
    }
    if (result != 0) {
        QN_ERROR("Could not start recording camera %d to %s.", i + 1, path.c_str());
        return false;
    }
    slot.recordingParts = part;
    return true;
}

std::string DoubleCameraViewer::recordingPath(int i) const {
    const Slot& slot = slots[i];
    return makeRecordingPartPath(slot.outputPath, slot.recordingParts);
}

void DoubleCameraViewer::shutdown() {
    for (Slot& slot : slots) {
        if (!slot.camera) {
            continue;
        }
        if (recording) {
            slot.camera->stopRecording();
        }
        slot.camera->stop();
    }
    if (manager) {
        cv::destroyAllWindows();
    }
    for (Slot& slot : slots) {
        slot.camera.reset();
    }
    manager.reset();
}

void DoubleCameraViewer::plotEvents(int i, Event2D* first, Event2D* last) {
    CameraView& view = slots[i].view;
    std::lock_guard<std::mutex> lock(view.viewMutex);
    const int rows = view.frame.rows;
    const int cols = view.frame.cols;
    for (Event2D* e = first; e != last; ++e) {
        if (e->x < cols && e->y < rows) {
            view.frame.at<cv::Vec3b>(e->y, e->x) = e->polarity != 0 ? view.onColour : view.offColour;
        }
    }
}

void DoubleCameraViewer::logTrigger(int i, EventTriggerIn trigger) {
    QN_INFO("Camera %d trigger info: id: %d, p: %d, time: %" PRIu64, i + 1, static_cast<int>(trigger.id),
            static_cast<int>(trigger.polarity), static_cast<uint64_t>(trigger.timestamp));
}

void DoubleCameraViewer::storeStatistics(int i, QnStatisticInfo info) {
    std::lock_guard<std::mutex> lock(slots[i].statisticsMutex);
    slots[i].statistics = info;
}

} // namespace quelnor::viewer
