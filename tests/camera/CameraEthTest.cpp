// Event cameras end to end over Ethernet: simulated cameras in network namespaces, found by the
// manager's broadcast discovery on the lab's adapter and reached over real sockets, with nothing of
// our own in between. Needs root (skipped otherwise). Every lab's namespace and interface names carry
// the process id, so runs beside other tests do not meet.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <random>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "LogCapture.h"
#include "QuelnorDriver/camera/DvsCameraManager.h"
#include "QuelnorDriver/camera/QuelnorTolvane.h"
#include "QuelnorHal/interface/EthInterface.h"
#include "cameralab/CameraCollectors.h"
#include "cameralab/CameraTestPeer.h"
#include "cameralab/EthCameraLab.h"
#include "cameralab/RecordingReadBack.h"
#include "cameralab/SensorRegisters.h"
#include "evt3/Evt3RawFile.h"
#include "evt3/Evt3ReferenceDecoder.h"
#include "rawfile/SyntheticRecording.h"
#include "rawfile/TempDir.h"
#include "sensortrace/RegisterTrace.h"
#include "sensortrace/SensorScripts.h"

using namespace quelnor;
using namespace quelnor::test;

namespace {

constexpr const char* LOSS_MESSAGE = "Loss connection to the camera, camera loop thread exited.";
constexpr const char* SERIAL = "QNETH0001";
// The connection sequence's registers of the Ethernet protocol, not the sensor's.
const std::vector<uint32_t> CONNECTION_REGISTERS = {EthInterface::CONTROL_OWNER_REGISTER,
                                                    EthInterface::STREAM_PORT_REGISTER,
                                                    EthInterface::HOST_PORT_REGISTER};

SyntheticStream syntheticStream(size_t items, uint64_t seed, uint64_t startTime = 1000) {
    SyntheticOptions options;
    options.seed = seed;
    options.items = items;
    options.startTime = startTime;
    options.triggerEvery = 1000;
    return makeSyntheticStream(options);
}

class EthCameraTest : public testing::Test {
protected:
    void SetUp() override {
        const std::string why = EthCameraLab::unavailableReason();
        if (!why.empty()) {
            GTEST_SKIP() << why;
        }
        // Made before any camera thread and dropped after the last: its sink must not change while
        // they log.
        logs = std::make_unique<LogCapture>();
        lab = std::make_unique<EthCameraLab>();
    }

    void TearDown() override {
        cameras.clear();
        manager.reset();
        inside.reset();
        lab.reset();
        logs.reset();
    }

    // Enters the host's namespace and makes the manager there.
    void enterHost() {
        inside = std::make_unique<NetnsLab::Inside>(lab->enterHost());
        manager = std::make_unique<DvsCameraManager>();
    }

    // Scans until the camera is listed: on a loaded machine its answer can miss one scan's window.
    bool listed(const std::string& serial) {
        return eventually([&] {
            for (const auto& d : manager->getCameraDescs()) {
                if (d.serialNumber == serial) {
                    return true;
                }
            }
            return false;
        });
    }

    std::shared_ptr<DvsCamera> open(const std::string& serial) {
        (void)listed(serial);
        auto camera = manager->openCamera(serial);
        if (camera) {
            cameras.push_back(camera);
        }
        return camera;
    }

    std::unique_ptr<LogCapture> logs;
    // Before the cameras: they outlive their callbacks.
    EventCollector collected;
    StatisticCollector statistics;
    std::unique_ptr<EthCameraLab> lab;
    std::unique_ptr<NetnsLab::Inside> inside;
    std::unique_ptr<DvsCameraManager> manager;
    std::vector<std::shared_ptr<DvsCamera>> cameras;
};

} // namespace

TEST_F(EthCameraTest, TheManagerFindsOpensStreamsAndRecordsAnEthernetCamera) {
    const OpenTrace& expected = referenceOpenTrace(false);
    EthCameraSim& sim = lab->addCamera(SERIAL);
    enterHost();

    // Listed with the description discovery gives, as a Tolvane.
    std::vector<CameraDescription> descriptions;
    ASSERT_TRUE(eventually([&] {
        descriptions = manager->getCameraDescs();
        return !descriptions.empty();
    }));
    ASSERT_EQ(descriptions.size(), 1u);
    const CameraDescription& d = descriptions[0];
    EXPECT_EQ(d.serialNumber, SERIAL);
    EXPECT_EQ(d.productName, "Tolvane");
    EXPECT_EQ(d.manufacturer, "Quelnor");
    EXPECT_EQ(d.interfaceType, INTERFACE_ETH);
    EXPECT_EQ(d.ipAddresses[0], "192.0.2.11");
    EXPECT_EQ(d.ipAddresses[1], EthCameraLab::HOST_ADDRESS);
    EXPECT_EQ(d.ipAddresses[2], EthCameraLab::MASK);
    EXPECT_EQ(d.ipAddresses[3], EthCameraLab::GATEWAY);
    EXPECT_EQ(d.firmwareVersion, "1.0.0-sim");

    // Opening: the sensor's sequences, then the tools, in the simulator's register log.
    sim.registers().clearLog();
    auto camera = manager->openCamera(SERIAL);
    ASSERT_NE(camera, nullptr);
    cameras.push_back(camera);
    EXPECT_NE(std::dynamic_pointer_cast<QuelnorTolvane>(camera), nullptr);
    const std::vector<Access> log = withoutAddresses(sim.registers().log(), CONNECTION_REGISTERS);
    ASSERT_GE(log.size(), expected.sensorInit.size());
    const std::vector<Access> sensorPart(log.begin(), log.begin() + static_cast<long>(expected.sensorInit.size()));
    EXPECT_EQ(matchTrace(sensorPart,
                         parseTraces({IMX6X6_STOP_SEQUENCE_SCRIPT, IMX6X6_INIT_SEQUENCE_1_SCRIPT,
                                      IMX6X6_INIT_SEQUENCE_2_SCRIPT, IMX636_SETUP_SCRIPT}),
                         sensorRegisterMap(false)),
              "");
    EXPECT_TRUE(log == expected.all());

    // Streaming: callbacks, the first count batch and the statistics.
    camera->addEventsStreamHandleCallback(collected.eventsCallback());
    camera->addTriggerInCallback(collected.triggerCallback());
    camera->setStatisticInfoCallback(statistics.callback());
    camera->setBatchEventsNum(131072);
    ASSERT_EQ(camera->start(), 0);
    EXPECT_TRUE(sim.streamOn()) << "start switches the camera's stream on";
    auto batch = std::async(std::launch::async, [&] {
        std::vector<Event2D> out;
        const bool got = camera->getNextBatch(out);
        return std::make_pair(got, out);
    });
    ASSERT_TRUE(eventually([&] { return DvsCameraPrivateTestPeer::countBatchWaiters(*camera) == 1; }));
    // Room for one whole batch and not a second: only the newest batch handed over is kept, so with
    // more the waiter could be handed a later batch when it is slow to wake.
    const SyntheticStream first = syntheticStream(30000, 21);
    ASSERT_GT(first.events.size(), 131072u);
    ASSERT_LT(first.events.size(), 2 * 131072u);
    sim.setStreamWords(first.words);
    ASSERT_TRUE(eventually([&] { return sim.streamStats().sourceDone; }));
    ASSERT_EQ(sim.expectedDelivery(), first.bytes()) << "the simulator sent the whole stream";
    ASSERT_TRUE(collected.waitForEvents(first.events.size()));
    ASSERT_TRUE(statistics.waitForTotals(first.bytes().size(), first.events.size()));
    EXPECT_TRUE(collected.takeEvents() == first.events);
    EXPECT_EQ(collected.takeTriggers().size(), first.triggers.size());
    EXPECT_EQ(statistics.totalBytes(), first.bytes().size());
    EXPECT_EQ(statistics.totalEvents(), first.events.size());
    const auto [got, events] = batch.get();
    EXPECT_TRUE(got);
    ASSERT_EQ(events.size(), 131072u);
    EXPECT_TRUE(std::equal(events.begin(), events.end(), first.events.begin()));

    // Recording while streaming, stopped once everything sent was decoded: a stop drops what is still
    // queued (counted as dropped), so waiting for the events is what makes the file whole.
    TempDir dir;
    const std::string path = dir.file("eth.raw");
    ASSERT_EQ(camera->startRecording(path), 0);
    const SyntheticStream second = syntheticStream(150000, 22, first.events.back().timestamp + 1000);
    sim.setStreamWords(second.words);
    ASSERT_TRUE(eventually([&] { return sim.streamStats().sourceDone; }));
    std::vector<uint8_t> sent = first.bytes();
    const std::vector<uint8_t> secondBytes = second.bytes();
    sent.insert(sent.end(), secondBytes.begin(), secondBytes.end());
    ASSERT_EQ(sim.expectedDelivery(), sent);
    ASSERT_TRUE(collected.waitForEvents(first.events.size() + second.events.size()));
    ASSERT_EQ(camera->stop(), 0);
    EXPECT_EQ(camera->getStreamLossInfo().droppedBuffers, 0u);
    ASSERT_EQ(camera->stopRecording(), 0);
    const auto all = collected.takeEvents();
    ASSERT_EQ(all.size(), first.events.size() + second.events.size());
    EXPECT_TRUE(std::equal(second.events.begin(), second.events.end(), all.begin() + static_cast<long>(first.events.size())));
    const auto read = readAllEvents(path);
    EXPECT_EQ(read.size(), second.events.size());
    EXPECT_TRUE(read == second.events);
}

// A known recording with 1 % of its stream packets dropped: the camera delivers only events it sent,
// in order and never back in time, tells how many packets it lost, and its statistics add up to the
// bytes received.
TEST_F(EthCameraTest, UnderPacketLossOnlyEventsTheCameraSentAreDeliveredAndTheLossIsReported) {
    const std::string path = std::string(QUELNOR_TEST_DATA_DIR) + "/evt3/ecpy_test_events_1_640x480.raw";
    const Evt3RawFile file = loadEvt3RawFile(path);
    const Evt3ReferenceResult whole = referenceDecode(file.words(), 1280, 720);
    const uint32_t packets = static_cast<uint32_t>((file.data.size() + 1399) / 1400);
    StreamFaults faults;
    std::mt19937 rng(1616);
    for (uint32_t id = 2; id < packets; ++id) {
        if (rng() % 100 == 0) {
            faults.lost.insert(id);
        }
    }
    ASSERT_GE(faults.lost.size(), 3u);

    EthCameraSim& sim = lab->addCamera(SERIAL);
    enterHost();
    auto camera = open(SERIAL);
    ASSERT_NE(camera, nullptr);
    camera->addEventsStreamHandleCallback(collected.eventsCallback());
    camera->addTriggerInCallback(collected.triggerCallback());
    camera->setStatisticInfoCallback(statistics.callback());
    ASSERT_EQ(camera->start(), 0);
    sim.setStreamFaults(faults);
    sim.setStreamFile(path);
    ASSERT_TRUE(eventually([&] { return sim.streamStats().sourceDone; }));
    const size_t received = sim.expectedDelivery().size();
    ASSERT_EQ(received + faults.lost.size() * 1400, file.data.size());
    ASSERT_TRUE(statistics.waitForTotals(received, 0));
    ASSERT_EQ(camera->stop(), 0);

    const std::vector<Event2D> events = collected.takeEvents();
    EXPECT_TRUE(isOrderedSubsequence(events, whole.events));
    EXPECT_TRUE(timeNeverStepsBack(events));
    EXPECT_LT(events.size(), whole.events.size());
    EXPECT_GT(events.size(), whole.events.size() * 95 / 100);
    for (const EventTriggerIn& t : collected.takeTriggers()) {
        EXPECT_TRUE(std::find(whole.triggers.begin(), whole.triggers.end(), t) != whole.triggers.end());
    }
    const StreamLossInfo loss = camera->getStreamLossInfo();
    EXPECT_EQ(loss.lostPackets, faults.lost.size());
    EXPECT_EQ(loss.lostPackets, sim.streamStats().packetsLost);
    EXPECT_EQ(loss.lostBytes, faults.lost.size() * 1400);
    EXPECT_EQ(loss.refusedDatagrams, 0u);
    EXPECT_EQ(statistics.totalBytes(), received);
    EXPECT_EQ(statistics.totalEvents(), events.size());
    EXPECT_GE(logs->count(LOG_WARN, "Ethernet stream: " + std::to_string(faults.lost.size()) + " packets lost (about " +
                                        std::to_string(faults.lost.size() * 1400) +
                                        " bytes), 0 datagrams refused (0 late, 0 duplicate, 0 malformed, 0 too "
                                        "large or from another sender)"),
              1);
}

TEST_F(EthCameraTest, ALostCameraStopsItselfIsDroppedAndIsOpenedAgainWhenItReturns) {
    lab->addCamera(SERIAL);
    enterHost();
    auto camera = open(SERIAL);
    ASSERT_NE(camera, nullptr);
    ASSERT_EQ(camera->start(), 0);
    LogCapture& log = *logs;
    log.clear();
    lab->removeCamera(SERIAL);
    ASSERT_TRUE(eventually([&] { return log.has(LOG_INFO, LOSS_MESSAGE); }));
    EXPECT_FALSE(camera->isConnected());
    EXPECT_EQ(camera->stop(), 0);

    EXPECT_TRUE(manager->getCameraDescs().empty());
    EXPECT_EQ(manager->openCamera(SERIAL), nullptr);
    cameras.clear();
    camera.reset();

    EthCameraSim& back = lab->restoreCamera(SERIAL);
    auto again = open(SERIAL);
    ASSERT_NE(again, nullptr);
    again->addEventsStreamHandleCallback(collected.eventsCallback());
    ASSERT_EQ(again->start(), 0);
    const SyntheticStream stream = syntheticStream(20000, 31);
    back.setStreamWords(stream.words);
    ASSERT_TRUE(collected.waitForEvents(stream.events.size()));
    EXPECT_TRUE(collected.takeEvents() == stream.events);
    EXPECT_EQ(again->stop(), 0);
}

TEST_F(EthCameraTest, FirmwareGoesThroughTheCameraAndTheAddressThroughTheManager) {
    EthCameraSim& sim = lab->addCamera(SERIAL);
    enterHost();
    auto camera = open(SERIAL);
    ASSERT_NE(camera, nullptr);

    TempDir dir;
    const std::string firmware = dir.file("camera.bin");
    std::vector<uint8_t> image(3 * 256 + 17);
    for (size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<uint8_t>(i * 7);
    }
    {
        std::ofstream out(firmware, std::ios::binary);
        out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    }
    EXPECT_TRUE(camera->updateCameraFirmware(firmware, 0x00100000));
    EXPECT_EQ(sim.readMemory(0x00100000, image.size()), image);
    std::string version;
    EXPECT_FALSE(camera->getFirmwareVersion(version));
    EXPECT_EQ(version, "N/A");

    const CameraDescription description = camera->getDescription();
    EXPECT_TRUE(DvsCameraManager::ethCameraForceIP(description, 0xC0000232, 0xFFFFFF00, 0xC00002FE));
    EXPECT_EQ(sim.currentIp(), "192.0.2.50");
    EXPECT_EQ(sim.currentGateway(), "192.0.2.254");
}

namespace {

std::string hexAddress(uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", v);
    return text;
}

} // namespace

// A write of the sensor's bring-up that the camera never acknowledges: the open fails, the error
// names the register, the camera's control port is released, and the next open starts afresh.
TEST_F(EthCameraTest, AnUnconfirmedInitialisationWriteFailsTheOpenNamingTheRegister) {
    const OpenTrace& expected = referenceOpenTrace(false);
    EthCameraSim& sim = lab->addCamera(SERIAL);
    enterHost();
    ASSERT_EQ(manager->getCameraDescs().size(), 1u);
    // A write to a named register, well inside the bring-up.
    const RegisterMap map = sensorRegisterMap(false);
    auto write = std::find_if(expected.sensorInit.begin() + 10, expected.sensorInit.end(), [&map](const Access& a) {
        return a.kind == AccessKind::Write && !map.nameOf(a.address).empty();
    });
    ASSERT_NE(write, expected.sensorInit.end());
    const std::string name = map.nameOf(write->address);
    // The fault silences every write there, so the first of them is the one that fails.
    const uint32_t address = write->address;
    write = std::find_if(expected.sensorInit.begin(), expected.sensorInit.end(), [address](const Access& a) {
        return a.kind == AccessKind::Write && a.address == address;
    });
    sim.addReplyFault(ReplyFault(ReplyFault::Kind::Silence, 0x0082, write->address));

    EXPECT_EQ(manager->openCamera(SERIAL), nullptr);
    EXPECT_TRUE(logs->has(LOG_ERROR, "Write of register " + name + " (" + hexAddress(write->address) + ") value " +
                                         hexAddress(write->value) + " was not confirmed"));
    EXPECT_TRUE(logs->has(LOG_ERROR, "Camera QNETH0001: initialisation failed, a register write was not confirmed"));
    EXPECT_FALSE(sim.controlTaken()) << "the failed open let go of the camera";

    sim.clearReplyFaults();
    sim.registers().clearLog();
    auto camera = manager->openCamera(SERIAL);
    ASSERT_NE(camera, nullptr);
    cameras.push_back(camera);
    EXPECT_TRUE(withoutAddresses(sim.registers().log(), CONNECTION_REGISTERS) == expected.all());
}

// start() fails, and says why, when the host port or the stream switch is not confirmed.
TEST_F(EthCameraTest, StartFailsWhenTheHostPortOrTheStreamSwitchIsNotConfirmed) {
    EthCameraSim& sim = lab->addCamera(SERIAL);
    enterHost();
    ASSERT_EQ(manager->getCameraDescs().size(), 1u);
    // The open does not judge the host port; start does, and asks again first.
    sim.addReplyFault(ReplyFault(ReplyFault::Kind::Silence, 0x0082, EthInterface::HOST_PORT_REGISTER));
    auto camera = manager->openCamera(SERIAL);
    ASSERT_NE(camera, nullptr);
    cameras.push_back(camera);
    EXPECT_EQ(camera->start(), -1);
    EXPECT_TRUE(logs->has(LOG_ERROR,
                          "Camera QNETH0001: start failed, the host stream port (register 0x0D00) could not be set"));
    EXPECT_FALSE(sim.streamOn());

    sim.clearReplyFaults();
    sim.addReplyFault(ReplyFault(ReplyFault::Kind::Silence, 0x0082, EthInterface::STREAM_ENABLE_REGISTER, 5));
    EXPECT_EQ(camera->start(), -1);
    EXPECT_TRUE(logs->has(LOG_ERROR,
                          "Camera QNETH0001: start failed, the stream (register 0x0770) could not be switched on"));
    EXPECT_FALSE(sim.streamOn()) << "switched off again: the camera had taken the write";

    sim.clearReplyFaults();
    camera->addEventsStreamHandleCallback(collected.eventsCallback());
    ASSERT_EQ(camera->start(), 0);
    EXPECT_TRUE(sim.streamOn());
    const SyntheticStream stream = syntheticStream(20000, 41);
    sim.setStreamWords(stream.words);
    ASSERT_TRUE(collected.waitForEvents(stream.events.size()));
    EXPECT_TRUE(collected.takeEvents() == stream.events);
    EXPECT_EQ(camera->stop(), 0);
}

// A share of the control datagrams lost both ways: the open leaves every register as the lossless
// open does (the simulator's register log is the same, access for access), and the camera streams.
TEST_F(EthCameraTest, UnderControlLossOpenAndStartConfigureTheCameraCompletely) {
    struct Case {
        double share;
        uint64_t seed;
    };
    const OpenTrace& expected = referenceOpenTrace(false);
    const Case cases[] = {{0.01, 101}, {0.05, 105}};
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.share);
        const std::string serial = "QNLOSS000" + std::to_string(++n);
        EthCameraSim& sim = lab->addCamera(serial);
        if (!inside) {
            enterHost();
        }
        ASSERT_TRUE(listed(serial));
        sim.registers().clearLog();
        sim.setControlLoss({c.share, c.share, c.seed});
        auto camera = manager->openCamera(serial);
        ASSERT_NE(camera, nullptr);
        cameras.push_back(camera);
        EXPECT_TRUE(withoutAddresses(sim.registers().log(), CONNECTION_REGISTERS) == expected.all());
        EventCollector events;
        camera->addEventsStreamHandleCallback(events.eventsCallback());
        ASSERT_EQ(camera->start(), 0);
        EXPECT_TRUE(sim.streamOn());
        const SyntheticStream stream = syntheticStream(20000, 50 + n);
        sim.setStreamWords(stream.words);
        ASSERT_TRUE(events.waitForEvents(stream.events.size()));
        EXPECT_TRUE(events.takeEvents() == stream.events);
        EXPECT_EQ(camera->stop(), 0);
        const ControlLossStats lost = sim.controlLossStats();
        EXPECT_GT(lost.requestsDropped + lost.repliesDropped, 0u);
        EXPECT_GT(lost.repeatsAnswered, 0u);
        sim.setControlLoss({});
    }
}
