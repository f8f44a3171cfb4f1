// Event cameras end to end over USB: simulated cameras on an in-process umockdev bus, reached through
// DvsCameraManager and the SDK's real libusb code, with nothing of our own in between. Listing,
// opening (the sensor sequences and tool construction in the camera's register log), streaming to
// callbacks and batches, statistics, recording, loss and return, a failed open tried again, start and
// bring-up writes the camera refuses, the GenX320 camera and the configuration file between two cameras.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <future>
#include <memory>
#include <optional>
#include <utility>
#include <string>
#include <vector>

#include "LogCapture.h"
#include "QuelnorDriver/camera/DvsCameraManager.h"
#include "QuelnorDriver/camera/PropheseeEVK4.h"
#include "QuelnorDriver/camera/QuelnorTolvane.h"
#include "QuelnorDriver/camera/Zarn320Camera.h"
#include "QuelnorHal/register/RegisterMap.h"
#include "cameralab/CameraCollectors.h"
#include "cameralab/CameraTestPeer.h"
#include "cameralab/RecordingReadBack.h"
#include "cameralab/SensorRegisters.h"
#include "cameralab/TestNetwork.h"
#include "cameralab/UsbSensorCamera.h"
#include "evt3/Evt3TestEncoder.h"
#include "rawfile/SyntheticRecording.h"
#include "rawfile/TempDir.h"
#include "sensortrace/RegisterTrace.h"
#include "sensortrace/SensorScripts.h"

using namespace quelnor;
using namespace quelnor::test;
using quelnor::test::usbcam::UmockdevUsbBus;

namespace {

constexpr const char* LOSS_MESSAGE = "Loss connection to the camera, camera loop thread exited.";

constexpr uint16_t QUELNOR_VID = 0x04B5;
constexpr uint16_t TOLVANE_PID = 0x0001;
constexpr uint16_t ZARN320_PID = 0x0003;
constexpr uint16_t PROPHESEE_VID = 0x04B4;
constexpr uint16_t EVK4_PID = 0x00F5;
constexpr uint16_t EVK5_PID = 0x00C4;

SyntheticStream syntheticStream(size_t items, uint64_t seed = 3, uint16_t width = 1280, uint16_t height = 720) {
    SyntheticOptions options;
    options.seed = seed;
    options.items = items;
    options.width = width;
    options.height = height;
    options.triggerEvery = 1000;
    return makeSyntheticStream(options);
}

// Which registers a log touches and how, without the values (they depend on what was there before).
std::vector<std::pair<AccessKind, uint32_t>> shapeOf(const std::vector<Access>& log) {
    std::vector<std::pair<AccessKind, uint32_t>> shape;
    for (const Access& a : log) {
        shape.emplace_back(a.kind, a.address);
    }
    return shape;
}

// Debug lines reach the log only in debug builds, with the source place in front of the text.
int debugLines(const LogCapture& log, const std::string& text) {
    int count = 0;
    for (const LogLine& line : log.lines()) {
        const bool endsWithText = line.text.size() >= text.size() &&
                                  line.text.compare(line.text.size() - text.size(), text.size(), text) == 0;
        count += line.level == LOG_DEBUG && endsWithText;
    }
    return count;
}

#ifdef QUELNOR_DEBUG_BUILD
constexpr int DEBUG_LINE = 1;
#else
constexpr int DEBUG_LINE = 0;
#endif

std::vector<std::string> serialsOf(const std::vector<CameraDescription>& descriptions) {
    std::vector<std::string> serials;
    for (const auto& d : descriptions) {
        serials.push_back(d.serialNumber);
    }
    return serials;
}

class UsbCameraTest : public testing::Test {
protected:
    static void SetUpTestSuite() {
        isolateTestProcessNetwork(); // the Ethernet search then finds no adapter
    }

    void SetUp() override {
        if (!UmockdevUsbBus::available()) {
            GTEST_SKIP() << "needs the umockdev preload (LD_PRELOAD=libumockdev-preload.so.0)";
        }
        // Made before any camera thread and dropped after the last: its sink must not change while
        // they log.
        logs = std::make_unique<LogCapture>();
        bus = std::make_unique<UmockdevUsbBus>();
        manager = std::make_unique<DvsCameraManager>();
    }

    void TearDown() override {
        // Every libusb handle goes before the bus.
        opened.clear();
        manager.reset();
        bus.reset();
        logs.reset();
    }

    UsbSensorCamera plugTolvane(const std::string& serial) {
        return UsbSensorCamera::plug(*bus, QUELNOR_VID, TOLVANE_PID, serial, "Quelnor", "Tolvane");
    }

    // Lists the cameras and opens the one of that serial.
    std::shared_ptr<DvsCamera> open(const std::string& serial) {
        manager->getCameraDescs();
        auto camera = manager->openCamera(serial);
        if (camera) {
            opened.push_back(camera);
        }
        return camera;
    }

    // Starts a getNextBatch on another thread and returns once it waits.
    std::future<std::pair<bool, std::vector<Event2D>>> waitingForBatch(DvsCamera& camera, bool byTime) {
        auto future = std::async(std::launch::async, [&camera] {
            std::vector<Event2D> out;
            const bool got = camera.getNextBatch(out);
            return std::make_pair(got, out);
        });
        EXPECT_TRUE(eventually([&] {
            return (byTime ? DvsCameraPrivateTestPeer::timeBatchWaiters(camera)
                           : DvsCameraPrivateTestPeer::countBatchWaiters(camera)) == 1;
        }));
        return future;
    }

    std::unique_ptr<LogCapture> logs;
    // Before the cameras: they outlive their callbacks.
    EventCollector collected;
    StatisticCollector statistics;
    std::unique_ptr<UmockdevUsbBus> bus;
    std::unique_ptr<DvsCameraManager> manager;
    std::vector<std::shared_ptr<DvsCamera>> opened;
};

} // namespace

TEST_F(UsbCameraTest, TheManagerListsEveryCameraWithItsDescriptionInSerialOrder) {
    UsbSensorCamera::plug(*bus, PROPHESEE_VID, EVK4_PID, "QNP0003", "Prophesee", "EVK4");
    plugTolvane("QNP0001");
    UsbSensorCamera::plug(*bus, QUELNOR_VID, ZARN320_PID, "QNP0002", "Quelnor Team.", "Quelnor.320camera");

    const auto descriptions = manager->getCameraDescs();
    ASSERT_EQ(serialsOf(descriptions), (std::vector<std::string>{"QNP0001", "QNP0002", "QNP0003"}));
    struct Expected {
        const char* product;
        const char* manufacturer;
        uint16_t vendorId;
        uint16_t productId;
    };
    const Expected expected[] = {{"Tolvane", "Quelnor", QUELNOR_VID, TOLVANE_PID},
                                 {"Quelnor.320camera", "Quelnor Team.", QUELNOR_VID, ZARN320_PID},
                                 {"EVK4", "Prophesee", PROPHESEE_VID, EVK4_PID}};
    for (size_t i = 0; i < descriptions.size(); ++i) {
        EXPECT_EQ(descriptions[i].productName, expected[i].product);
        EXPECT_EQ(descriptions[i].manufacturer, expected[i].manufacturer);
        EXPECT_EQ(descriptions[i].vendorId, expected[i].vendorId);
        EXPECT_EQ(descriptions[i].productId, expected[i].productId);
        EXPECT_EQ(descriptions[i].interfaceType, INTERFACE_USB);
    }

    // Cameras never opened report not connected: each listing makes them anew.
    LogCapture& log = *logs;
    log.clear();
    EXPECT_EQ(serialsOf(manager->getCameraDescs()), serialsOf(descriptions));
    for (const char* serial : {"QNP0001", "QNP0002", "QNP0003"}) {
        EXPECT_EQ(debugLines(log, std::string("Camera ") + serial + " disconnected"), DEBUG_LINE) << serial;
    }
}

TEST_F(UsbCameraTest, OpeningBuildsTheProductClassOnceAndOpeningAgainChangesNothing) {
    plugTolvane("QNP0001");
    auto evk4 = UsbSensorCamera::plug(*bus, PROPHESEE_VID, EVK4_PID, "QNP0009", "Prophesee", "EVK4");
    EXPECT_EQ(manager->openCamera("QNP0001"), nullptr) << "nothing listed yet";
    manager->getCameraDescs();
    EXPECT_EQ(manager->openCamera("QNP9999"), nullptr);
    EXPECT_EQ(manager->openFusionCamera("QNP0001"), nullptr);

    auto camera = manager->openCamera("QNP0009");
    ASSERT_NE(camera, nullptr);
    opened.push_back(camera);
    EXPECT_NE(std::dynamic_pointer_cast<PropheseeEVK4>(camera), nullptr);
    EXPECT_TRUE(camera->isConnected());
    EXPECT_EQ(camera->getWidth(), 1280);
    EXPECT_EQ(camera->getHeight(), 720);
    EXPECT_EQ(camera->getAllToolsInfo().size(), 7u);

    evk4.registers->clearLog();
    EXPECT_EQ(manager->openCamera("QNP0009"), camera);
    EXPECT_TRUE(evk4.registers->log().empty()) << "a second open does not initialise again";
    // An opened camera keeps its object from one listing to the next.
    manager->getCameraDescs();
    EXPECT_EQ(manager->openCamera("QNP0009"), camera);

    std::string version;
    EXPECT_FALSE(camera->getFirmwareVersion(version));
    EXPECT_EQ(version, "N/A");
    EXPECT_FALSE(camera->updateCameraFirmware("/nonexistent.bin", 0)) << "USB cameras take no firmware";
}

TEST_F(UsbCameraTest, OpeningAnImx636CameraShowsTheSensorSequencesThenTheToolsInTheRegisterLog) {
    const OpenTrace& expected = referenceOpenTrace(false);
    auto sim = plugTolvane("QNP0001");
    manager->getCameraDescs();
    sim.registers->clearLog();
    ASSERT_NE(open("QNP0001"), nullptr);
    const std::vector<Access> log = sim.registers->log();

    ASSERT_GE(log.size(), expected.sensorInit.size());
    const std::vector<Access> sensorPart(log.begin(), log.begin() + static_cast<long>(expected.sensorInit.size()));
    const RegisterMap map = sensorRegisterMap(false);
    EXPECT_EQ(matchTrace(sensorPart,
                         parseTraces({IMX6X6_STOP_SEQUENCE_SCRIPT, IMX6X6_INIT_SEQUENCE_1_SCRIPT,
                                      IMX6X6_INIT_SEQUENCE_2_SCRIPT, IMX636_SETUP_SCRIPT}),
                         map),
              "");
    EXPECT_TRUE(log == expected.all()) << "the tools are built after the sensor, in their order";
}

TEST_F(UsbCameraTest, StartAndStopReplayTheirSequences) {
    auto sim = plugTolvane("QNP0001");
    auto camera = open("QNP0001");
    ASSERT_NE(camera, nullptr);
    const RegisterMap map = sensorRegisterMap(false);
    sim.registers->clearLog();
    ASSERT_EQ(camera->start(), 0);
    EXPECT_EQ(matchTrace(sim.registers->log(), parseTrace(IMX6X6_START_SEQUENCE_SCRIPT), map), "");
    sim.registers->clearLog();
    ASSERT_EQ(camera->stop(), 0);
    EXPECT_EQ(matchTrace(sim.registers->log(), parseTrace(IMX6X6_STOP_SEQUENCE_SCRIPT), map), "");
}

TEST_F(UsbCameraTest, StreamedEventsReachTheCallbacksAndTheStatistics) {
    auto sim = plugTolvane("QNP0001");
    auto camera = open("QNP0001");
    ASSERT_NE(camera, nullptr);
    camera->addEventsStreamHandleCallback(collected.eventsCallback());
    camera->addTriggerInCallback(collected.triggerCallback());
    camera->setStatisticInfoCallback(statistics.callback());
    ASSERT_EQ(camera->start(), 0);

    const SyntheticStream stream = syntheticStream(150000);
    const std::vector<uint8_t> bytes = stream.bytes();
    sim.stream(bytes);
    ASSERT_TRUE(collected.waitForEvents(stream.events.size()));
    ASSERT_TRUE(statistics.waitForTotals(bytes.size(), stream.events.size()));
    ASSERT_EQ(camera->stop(), 0);

    EXPECT_TRUE(collected.takeEvents() == stream.events);
    const auto triggers = collected.takeTriggers();
    ASSERT_EQ(triggers.size(), stream.triggers.size());
    for (size_t i = 0; i < triggers.size(); ++i) {
        EXPECT_EQ(triggers[i].timestamp, stream.triggers[i].timestamp);
        EXPECT_EQ(triggers[i].polarity, stream.triggers[i].polarity);
        EXPECT_EQ(triggers[i].id, stream.triggers[i].id);
    }
    EXPECT_EQ(statistics.totalBytes(), bytes.size());
    EXPECT_EQ(statistics.totalEvents(), stream.events.size());
}

TEST_F(UsbCameraTest, ACountBatchOfTheDefaultSizeHoldsTheFirst131072Events) {
    auto sim = plugTolvane("QNP0001");
    auto camera = open("QNP0001");
    ASSERT_NE(camera, nullptr);
    camera->setBatchEventsNum(131072);
    ASSERT_EQ(camera->start(), 0);
    // Room for one whole batch and not a second: only the newest batch handed over is kept, so with
    // more the waiter could be handed a later batch when it is slow to wake.
    const SyntheticStream stream = syntheticStream(30000);
    ASSERT_GT(stream.events.size(), 131072u);
    ASSERT_LT(stream.events.size(), 2 * 131072u);
    auto batch = waitingForBatch(*camera, false);
    sim.stream(stream.bytes());
    const auto [got, events] = batch.get();
    EXPECT_TRUE(got);
    ASSERT_EQ(events.size(), 131072u);
    const auto firstDifference = std::mismatch(events.begin(), events.end(), stream.events.begin());
    EXPECT_EQ(firstDifference.first, events.end())
        << "first difference at event " << (firstDifference.first - events.begin()) << ": got t="
        << firstDifference.first->timestamp << " x=" << firstDifference.first->x << ", sent t="
        << firstDifference.second->timestamp << " x=" << firstDifference.second->x;
}

TEST_F(UsbCameraTest, TimeBatchesFollowTheEventTime) {
    auto sim = plugTolvane("QNP0001");
    auto camera = open("QNP0001");
    ASSERT_NE(camera, nullptr);
    camera->setBatchEventsTime(10000);
    ASSERT_EQ(camera->start(), 0);
    Evt3TestEncoder encoder;
    auto piece = [&](std::initializer_list<uint64_t> times) {
        for (uint64_t t : times) {
            encoder.setTime(t).addEvent(Event2D(static_cast<uint16_t>(t % 1280), 7, 1, t));
        }
        return toBytes(encoder.takeWords());
    };
    auto timesOf = [](const std::vector<Event2D>& events) {
        std::vector<uint64_t> times;
        for (const auto& e : events) {
            times.push_back(e.timestamp);
        }
        return times;
    };
    camera->addEventsStreamHandleCallback(collected.eventsCallback());

    auto first = waitingForBatch(*camera, true);
    sim.stream(piece({100, 5000}));
    ASSERT_TRUE(collected.waitForEvents(2));
    sim.stream(piece({12000}));
    auto [got1, batch1] = first.get();
    EXPECT_TRUE(got1);
    EXPECT_EQ(timesOf(batch1), (std::vector<uint64_t>{100, 5000}));

    // The next boundary comes from the pending event: 12000 + 10000.
    auto second = waitingForBatch(*camera, true);
    sim.stream(piece({31000}));
    auto [got2, batch2] = second.get();
    EXPECT_TRUE(got2);
    EXPECT_EQ(timesOf(batch2), (std::vector<uint64_t>{12000}));

    // A stretch without events hands over empty batches; the last one waits for the stop.
    auto third = waitingForBatch(*camera, true);
    sim.stream(piece({55000}));
    auto [got3, batch3] = third.get();
    EXPECT_TRUE(got3);
    EXPECT_TRUE(batch3 == std::vector<Event2D>{} || timesOf(batch3) == std::vector<uint64_t>{31000});
    auto fourth = waitingForBatch(*camera, true);
    ASSERT_EQ(camera->stop(), 0);
    auto [got4, batch4] = fourth.get();
    EXPECT_FALSE(got4);
    EXPECT_TRUE(batch4.empty());
}

TEST_F(UsbCameraTest, ARecordingMadeWhileStreamingReadsBackAsTheEventsSent) {
    TempDir dir;
    const std::string path = dir.file("usb.raw");
    auto sim = plugTolvane("QNP0001");
    auto camera = open("QNP0001");
    ASSERT_NE(camera, nullptr);
    camera->addEventsStreamHandleCallback(collected.eventsCallback());
    ASSERT_EQ(camera->start(), 0);
    ASSERT_EQ(camera->startRecording(path), 0);
    const SyntheticStream stream = syntheticStream(120000, 11);
    sim.stream(stream.bytes());
    ASSERT_TRUE(collected.waitForEvents(stream.events.size()));
    ASSERT_EQ(camera->stop(), 0);
    ASSERT_EQ(camera->stopRecording(), 0);
    const auto read = readAllEvents(path);
    EXPECT_EQ(read.size(), stream.events.size());
    EXPECT_TRUE(read == stream.events);
}

TEST_F(UsbCameraTest, AnUnpluggedCameraStopsItselfIsDroppedAndCanBeOpenedAgainWhenBack) {
    auto sim = plugTolvane("QNP0001");
    auto camera = open("QNP0001");
    ASSERT_NE(camera, nullptr);
    ASSERT_EQ(camera->start(), 0);
    LogCapture& log = *logs;
    log.clear();
    bus->unplug(sim.model);
    ASSERT_TRUE(eventually([&] { return log.has(LOG_INFO, LOSS_MESSAGE); }));
    EXPECT_FALSE(camera->isConnected());
    EXPECT_EQ(camera->stop(), 0);

    EXPECT_TRUE(manager->getCameraDescs().empty());
    EXPECT_EQ(debugLines(log, "Camera QNP0001 disconnected"), DEBUG_LINE);
    EXPECT_EQ(manager->openCamera("QNP0001"), nullptr);

    auto back = plugTolvane("QNP0001");
    EXPECT_EQ(serialsOf(manager->getCameraDescs()), std::vector<std::string>{"QNP0001"});
    auto again = manager->openCamera("QNP0001");
    ASSERT_NE(again, nullptr);
    opened.push_back(again);
    EXPECT_NE(again, camera) << "a new object for the camera that came back";
    again->addEventsStreamHandleCallback(collected.eventsCallback());
    ASSERT_EQ(again->start(), 0);
    const SyntheticStream stream = syntheticStream(5000);
    back.stream(stream.bytes());
    ASSERT_TRUE(collected.waitForEvents(stream.events.size()));
    EXPECT_TRUE(collected.takeEvents() == stream.events);
}

TEST_F(UsbCameraTest, AnOpenThatFailedIsTriedAgainFromNothing) {
    const OpenTrace& expected = referenceOpenTrace(false);
    // The first write of the tool set to a register the sensor's bring-up does not write.
    std::vector<uint32_t> sensorWrites;
    for (const Access& a : expected.sensorInit) {
        if (a.kind == AccessKind::Write) {
            sensorWrites.push_back(a.address);
        }
    }
    uint32_t toolAddress = 0;
    for (const Access& a : expected.tools) {
        if (a.kind == AccessKind::Write &&
            std::find(sensorWrites.begin(), sensorWrites.end(), a.address) == sensorWrites.end()) {
            toolAddress = a.address;
            break;
        }
    }
    ASSERT_NE(toolAddress, 0u);

    auto sim = plugTolvane("QNP0001");
    sim.failWrites(toolAddress, 1);
    manager->getCameraDescs();
    EXPECT_THROW(manager->openCamera("QNP0001"), std::exception);

    sim.registers->clearLog();
    auto camera = manager->openCamera("QNP0001");
    ASSERT_NE(camera, nullptr);
    opened.push_back(camera);
    EXPECT_TRUE(shapeOf(sim.registers->log()) == shapeOf(expected.all())) << "the second attempt builds everything again";
    EXPECT_EQ(camera->getAllToolsInfo().size(), 7u);
    sim.registers->clearLog();
    ASSERT_TRUE(camera->getTool(BIAS)->setParam("bias_hpf", 11));
    EXPECT_EQ(sim.registers->writesTo("bias/bias_hpf").size(), 1u) << "the tools talk to the new interface";
}

namespace {

std::string hexText(uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", v);
    return text;
}

} // namespace

// A start-sequence write the camera refuses: start() answers -1 instead of throwing, the error names
// the register, nothing after it is written, and once the camera takes writes again it starts.
TEST_F(UsbCameraTest, AStartWriteTheCameraRefusesFailsTheStartNamingTheRegister) {
    auto sim = plugTolvane("QNP0001");
    auto camera = open("QNP0001");
    ASSERT_NE(camera, nullptr);
    const RegisterMap map = sensorRegisterMap(false);
    sim.registers->clearLog();
    ASSERT_EQ(camera->start(), 0);
    const std::vector<Access> healthy = sim.registers->log();
    ASSERT_EQ(camera->stop(), 0);
    // The write of a read-modify-write inside the sequence: steps before it went through.
    auto refused = healthy.end();
    for (auto it = healthy.begin() + 1; it != healthy.end(); ++it) {
        if (it->kind == AccessKind::Write && (it - 1)->kind == AccessKind::Read && (it - 1)->address == it->address) {
            refused = it;
            break;
        }
    }
    ASSERT_NE(refused, healthy.end());
    ASSERT_NE(refused + 1, healthy.end()) << "the sequence goes on after the refused write";
    const std::string name = map.nameOf(refused->address);
    ASSERT_FALSE(name.empty());

    sim.failWrites(refused->address, 1);
    sim.registers->clearLog();
    logs->clear();
    int result = 0;
    EXPECT_NO_THROW(result = camera->start());
    EXPECT_EQ(result, -1);
    EXPECT_TRUE(logs->has(LOG_ERROR, "command failed"));
    EXPECT_TRUE(logs->has(LOG_ERROR, "Write of register " + name + " (" + hexText(refused->address) + ") value " +
                                         hexText(refused->value) + " was not confirmed"));
    EXPECT_TRUE(logs->has(LOG_ERROR, "Imx6x6Sensor start failed! A register write was not confirmed!"));
    EXPECT_TRUE(shapeOf(sim.registers->log()) == shapeOf(std::vector<Access>(healthy.begin(), refused)))
        << "the sequence stops at the refused write";

    // Not running: stop has nothing to undo.
    sim.registers->clearLog();
    EXPECT_EQ(camera->stop(), 0);
    EXPECT_TRUE(sim.registers->log().empty());

    camera->addEventsStreamHandleCallback(collected.eventsCallback());
    ASSERT_EQ(camera->start(), 0);
    EXPECT_TRUE(shapeOf(sim.registers->log()) == shapeOf(healthy));
    EXPECT_EQ(sim.registers->peek(refused->address), refused->value);
    const SyntheticStream stream = syntheticStream(20000, 17);
    sim.stream(stream.bytes());
    ASSERT_TRUE(collected.waitForEvents(stream.events.size()));
    EXPECT_TRUE(collected.takeEvents() == stream.events);
    EXPECT_EQ(camera->stop(), 0);
}

// A write of the sensor's bring-up that the camera refuses: the open gives no camera (it does not
// throw), the error names the register, the camera is let go, and the next open builds it all.
TEST_F(UsbCameraTest, AnInitialisationWriteTheCameraRefusesFailsTheOpenNamingTheRegister) {
    struct Case {
        const char* label;
        uint16_t productId;
        const char* serial;
        bool genx320;
        const char* sensorLine;
    };
    const Case cases[] = {
        {"IMX636", TOLVANE_PID, "QNP0001", false, "Imx6x6Sensor init failed! A register write was not confirmed!"},
        {"GenX320", ZARN320_PID, "QNP0320", true, "Genx320Sensor init failed! A register write was not confirmed!"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const OpenTrace& expected = referenceOpenTrace(c.genx320);
        const RegisterMap map = sensorRegisterMap(c.genx320);
        // A write to a named register, well inside the bring-up; the fault refuses the first write there.
        auto write = std::find_if(expected.sensorInit.begin() + 10, expected.sensorInit.end(), [&map](const Access& a) {
            return a.kind == AccessKind::Write && !map.nameOf(a.address).empty();
        });
        ASSERT_NE(write, expected.sensorInit.end());
        const uint32_t address = write->address;
        write = std::find_if(expected.sensorInit.begin(), expected.sensorInit.end(), [address](const Access& a) {
            return a.kind == AccessKind::Write && a.address == address;
        });
        const std::string name = map.nameOf(address);

        auto sim = UsbSensorCamera::plug(*bus, QUELNOR_VID, c.productId, c.serial, "Quelnor", "Tolvane");
        manager->getCameraDescs();
        sim.failWrites(address, 1);
        logs->clear();
        std::shared_ptr<DvsCamera> camera;
        EXPECT_NO_THROW(camera = manager->openCamera(c.serial));
        EXPECT_EQ(camera, nullptr);
        EXPECT_TRUE(logs->has(LOG_ERROR, "Write of register " + name + " (" + hexText(address) + ") value " +
                                             hexText(write->value) + " was not confirmed"));
        EXPECT_TRUE(logs->has(LOG_ERROR, c.sensorLine));
        EXPECT_TRUE(logs->has(LOG_ERROR, std::string("Camera ") + c.serial +
                                             ": initialisation failed, a register write was not confirmed"));

        // The failed open let go of the vendor interface: opening again claims it.
        sim.registers->clearLog();
        camera = manager->openCamera(c.serial);
        ASSERT_NE(camera, nullptr);
        opened.push_back(camera);
        EXPECT_TRUE(shapeOf(sim.registers->log()) == shapeOf(expected.all()));
        EXPECT_EQ(camera->getAllToolsInfo().size(), 7u);
    }
}

TEST_F(UsbCameraTest, TheZarn320IsAGenx320CameraOf320By320) {
    const OpenTrace& expected = referenceOpenTrace(true);
    auto sim = UsbSensorCamera::plug(*bus, QUELNOR_VID, ZARN320_PID, "QNP0320", "Quelnor Team.", "Quelnor.320camera");
    const std::string versionText("Z320-1.4\0\0\0\0", 12);
    sim.model->setCommandHandler(usbcam::wire::FIRMWARE_VERSION, [&](const std::vector<uint32_t>&) {
        std::vector<uint32_t> words(versionText.size() / 4);
        std::memcpy(words.data(), versionText.data(), versionText.size());
        return std::optional<std::vector<uint32_t>>(words);
    });
    manager->getCameraDescs();
    sim.registers->clearLog();
    auto camera = manager->openCamera("QNP0320");
    ASSERT_NE(camera, nullptr);
    opened.push_back(camera);
    EXPECT_NE(std::dynamic_pointer_cast<Zarn320Camera>(camera), nullptr);
    EXPECT_EQ(camera->getWidth(), 320);
    EXPECT_EQ(camera->getHeight(), 320);

    const std::vector<Access> log = sim.registers->log();
    ASSERT_GE(log.size(), expected.sensorInit.size());
    const std::vector<Access> sensorPart(log.begin(), log.begin() + static_cast<long>(expected.sensorInit.size()));
    const RegisterMap map = sensorRegisterMap(true);
    EXPECT_EQ(matchTrace(sensorPart,
                         parseTraces({GENX320_STOP_SEQUENCE_SCRIPT, GENX320_INIT_SEQUENCE_SCRIPT, GENX320_SETUP_SCRIPT}),
                         map),
              "");
    EXPECT_TRUE(log == expected.all());

    std::string version;
    EXPECT_TRUE(camera->getFirmwareVersion(version));
    EXPECT_EQ(version, "Z320-1.4");
    sim.model->setCommandHandler(usbcam::wire::FIRMWARE_VERSION, [](const std::vector<uint32_t>&) {
        return std::optional<std::vector<uint32_t>>(std::vector<uint32_t>{0, 0});
    });
    EXPECT_FALSE(camera->getFirmwareVersion(version));
    EXPECT_EQ(version, "");

    // Start and stop replay no sequence on this sensor.
    camera->addEventsStreamHandleCallback(collected.eventsCallback());
    sim.registers->clearLog();
    ASSERT_EQ(camera->start(), 0);
    const SyntheticStream stream = syntheticStream(20000, 5, 320, 320);
    sim.stream(stream.bytes());
    ASSERT_TRUE(collected.waitForEvents(stream.events.size()));
    ASSERT_EQ(camera->stop(), 0);
    EXPECT_TRUE(collected.takeEvents() == stream.events);
    EXPECT_TRUE(sim.registers->log().empty());
}

struct ConfiguredProduct {
    uint16_t vendor;
    uint16_t product;
    const char* manufacturer;
    const char* name;
};

// One test per product, so the products (each opened over the simulated bus, which takes seconds) run
// in separate shards.
class UsbCameraProductTest : public UsbCameraTest, public testing::WithParamInterface<ConfiguredProduct> {};

TEST_P(UsbCameraProductTest, LoadsItsOwnExportedConfigurationAndExportsTheSameFile) {
    const ConfiguredProduct& p = GetParam();
    TempDir dir;
    const std::string serial = "QNP010";
    UsbSensorCamera::plug(*bus, p.vendor, p.product, serial, p.manufacturer, p.name);
    auto camera = open(serial);
    ASSERT_NE(camera, nullptr);
    const std::string first = dir.file(serial + "-first.json");
    const std::string second = dir.file(serial + "-second.json");
    ASSERT_TRUE(camera->exportCameraConfigParams(first));
    EXPECT_TRUE(camera->loadCameraConfigParams(first));
    ASSERT_TRUE(camera->exportCameraConfigParams(second));
    EXPECT_EQ(readFileBytes(second), readFileBytes(first));
}

INSTANTIATE_TEST_SUITE_P(EveryProduct, UsbCameraProductTest,
                         testing::Values(ConfiguredProduct{PROPHESEE_VID, EVK4_PID, "Prophesee", "EVK4"},
                                         ConfiguredProduct{PROPHESEE_VID, EVK5_PID, "Prophesee", "EVK5"},
                                         ConfiguredProduct{QUELNOR_VID, TOLVANE_PID, "Quelnor", "Tolvane"},
                                         ConfiguredProduct{QUELNOR_VID, ZARN320_PID, "Quelnor Team.",
                                                           "Quelnor.320camera"}),
                         [](const testing::TestParamInfo<ConfiguredProduct>& info) {
                             std::string name = info.param.name;
                             std::replace_if(name.begin(), name.end(), [](char c) { return !std::isalnum(c); }, '_');
                             return name;
                         });

TEST_F(UsbCameraTest, AConfigurationFileCarriesOneCamerasToolsToAnother) {
    TempDir dir;
    plugTolvane("QNP0001");
    UsbSensorCamera::plug(*bus, PROPHESEE_VID, EVK4_PID, "QNP0002", "Prophesee", "EVK4");
    manager->getCameraDescs();
    auto first = manager->openCamera("QNP0001");
    auto second = manager->openCamera("QNP0002");
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    opened.push_back(first);
    opened.push_back(second);

    ASSERT_TRUE(first->getTool(BIAS)->setParam("bias_hpf", 33));
    ASSERT_TRUE(first->getTool(BIAS)->setParam("bias_diff_on", 90));
    ASSERT_TRUE(first->getTool(ROI)->setParam("enable", true));
    const std::string exported = dir.file("first.json");
    ASSERT_TRUE(first->exportCameraConfigParams(exported));
    EXPECT_TRUE(second->loadCameraConfigParams(exported));
    const std::string reexported = dir.file("second.json");
    ASSERT_TRUE(second->exportCameraConfigParams(reexported));
    EXPECT_EQ(readFileBytes(reexported), readFileBytes(exported));
}
