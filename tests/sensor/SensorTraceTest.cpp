#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "LogCapture.h"
#include "QuelnorDriver/sensor/Genx320Sensor.h"
#include "QuelnorDriver/sensor/Imx6x6Sensor.h"
#include "QuelnorDriver/sensor/SensorSequences.h"
#include "SensorRig.h"
#include "sensortrace/RegisterTrace.h"
#include "sensortrace/SensorScripts.h"

using namespace quelnor;
using namespace quelnor::test;

namespace {

constexpr const char* IMX_NO_TRANSFER = "Imx6x6Sensor init failed! No data transfer for the interface!";
constexpr const char* IMX_NO_SEQUENCE_CALLBACK = "Imx6x6Sensor init failed! No sequence callback provided!";
constexpr const char* IMX_NO_FIELD_CALLBACK = "Imx6x6Sensor init failed! No write register callback provided!";
constexpr const char* IMX_NOT_INITED = "Please initialize the Imx6x6Sensor first!";
constexpr const char* GENX_NO_TRANSFER = "Genx320Sensor init failed! No data transfer for the interface!";
constexpr const char* GENX_NO_SEQUENCE_CALLBACK = "Genx320Sensor init failed! No sequence callback provided!";
constexpr const char* GENX_NO_FIELD_CALLBACK = "Genx320Sensor init failed! No write register callback provided!";
constexpr const char* GENX_NOT_INITED = "Please initialize the Genx320Sensor first!";

// One connected initialisation of a sensor, recorded once per suite: the IMX636's takes 2.5 s of pauses.
template <typename SensorT>
struct RecordedInit {
    SensorRig rig;
    std::unique_ptr<SensorT> sensor = std::make_unique<SensorT>();
    int result = 0;
    std::vector<Access> log;
    std::vector<AccessClock::Clock::time_point> times;
    std::vector<LogLine> lines;

    explicit RecordedInit(SensorRig r) : rig(std::move(r)) {
        AccessClock clock(*rig.device);
        rig.wireEventSensor(*sensor);
        LogCapture capture;
        result = sensor->init(rig.device);
        log = rig.device->log();
        times = clock.times();
        lines = capture.lines();
        rig.device->clearLog();
    }

    int countLines(const std::string& text) const {
        int n = 0;
        for (const auto& line : lines) {
            n += line.text == text;
        }
        return n;
    }
};

} // namespace

// ---- IMX636 ----

class Imx6x6SensorOnDevice : public ::testing::Test {
protected:
    static void SetUpTestSuite() { init = new RecordedInit<Imx6x6Sensor>(SensorRig::imx636()); }
    static void TearDownTestSuite() {
        delete init;
        init = nullptr;
    }
    void SetUp() override { init->rig.device->clearLog(); }

    static RecordedInit<Imx6x6Sensor>* init;
};

RecordedInit<Imx6x6Sensor>* Imx6x6SensorOnDevice::init = nullptr;

TEST_F(Imx6x6SensorOnDevice, InitReplaysStopThenBothInitSequencesThenSetsUpTheSensorWithItsPauses) {
    const auto steps = parseTraces({IMX6X6_STOP_SEQUENCE_SCRIPT, IMX6X6_INIT_SEQUENCE_1_SCRIPT,
                                    IMX6X6_INIT_SEQUENCE_2_SCRIPT, IMX636_SETUP_SCRIPT});
    ASSERT_EQ(init->times.size(), init->log.size());
    EXPECT_EQ(matchTrace(init->log, steps, *init->rig.map, &init->times), "");
}

TEST_F(Imx6x6SensorOnDevice, WithoutADataTransferInitFailsAfterSettingUpAndStartRefuses) {
    // The device double is no USB camera, so no data transfer can be made over it.
    EXPECT_EQ(init->result, -1);
    EXPECT_EQ(init->countLines(IMX_NO_TRANSFER), 1);
    EXPECT_EQ(init->countLines("Imx6x6Sensor init success!"), 0);

    LogCapture capture;
    EXPECT_EQ(init->sensor->start(), -1);
    EXPECT_TRUE(capture.has(LOG_ERROR, IMX_NOT_INITED));
    EXPECT_TRUE(init->rig.device->log().empty()) << "start replayed something";
    EXPECT_FALSE(init->sensor->getNextBuffer().has_value());
}

TEST_F(Imx6x6SensorOnDevice, StopReplaysTheStopSequence) {
    EXPECT_EQ(init->sensor->stop(), 0);
    EXPECT_EQ(matchTrace(init->rig.device->log(), parseTrace(IMX6X6_STOP_SEQUENCE_SCRIPT), *init->rig.map), "");
}

TEST_F(Imx6x6SensorOnDevice, NothingIsReplayedWhileTheDeviceIsDisconnected) {
    init->rig.device->setConnected(false);
    EXPECT_EQ(init->sensor->stop(), 0);
    init->rig.device->setConnected(true);
    EXPECT_TRUE(init->rig.device->log().empty());
}

TEST(Imx6x6Sensor, OnADisconnectedDeviceInitSkipsTheSequencesButStillWritesTheSetUpFields) {
    // The controller asks isConnected before each sequence step; field writes go to the interface and
    // fail as it reports (the double still answers, so the writes show).
    auto rig = SensorRig::imx636();
    rig.device->setConnected(false);
    Imx6x6Sensor sensor;
    rig.wireEventSensor(sensor);
    EXPECT_EQ(sensor.init(rig.device), -1);
    EXPECT_EQ(matchTrace(rig.device->log(), parseTrace(IMX636_SETUP_SCRIPT), *rig.map), "");
}

TEST(Imx6x6Sensor, MissingCallbacks) {
    {
        SCOPED_TRACE("no callback at all: nothing is touched");
        auto rig = SensorRig::imx636();
        Imx6x6Sensor sensor;
        LogCapture capture;
        EXPECT_EQ(sensor.init(rig.device), -1);
        EXPECT_EQ(capture.count(LOG_ERROR, IMX_NO_SEQUENCE_CALLBACK), 1);
        EXPECT_EQ(sensor.start(), -1);
        EXPECT_TRUE(capture.has(LOG_ERROR, IMX_NOT_INITED));
        EXPECT_EQ(sensor.stop(), -1);
        EXPECT_EQ(capture.count(LOG_ERROR, IMX_NO_SEQUENCE_CALLBACK), 2);
        EXPECT_TRUE(rig.device->log().empty());
    }
    {
        SCOPED_TRACE("sequences but no field writes: each set-up step reports it and writes nothing");
        auto rig = SensorRig::imx636();
        rig.device->setConnected(false); // skips the 2.5 s of pauses; the sequences are traced above
        Imx6x6Sensor sensor;
        rig.wireSequences(sensor);
        LogCapture capture;
        sensor.init(rig.device);
        EXPECT_EQ(capture.count(LOG_ERROR, IMX_NO_FIELD_CALLBACK), 4);
        EXPECT_EQ(capture.count(LOG_ERROR, IMX_NO_TRANSFER), 1) << "init runs to its end";
        EXPECT_TRUE(rig.device->log().empty());
    }
}

TEST(Imx6x6Sensor, OnAMipiInterfaceNoRegisterIsTouched) {
    // The MIPI camera streams through V4L2; a device that is not that camera's interface gives no
    // transfer, so init fails, but nothing is written on the way, and stop replays nothing either.
    auto rig = SensorRig::imx636(Interface::MIPI);
    Imx6x6Sensor sensor;
    rig.wireEventSensor(sensor);
    LogCapture capture;
    EXPECT_EQ(sensor.init(rig.device), -1);
    EXPECT_TRUE(capture.has(LOG_ERROR, IMX_NO_TRANSFER));
    EXPECT_EQ(sensor.start(), -1);
    EXPECT_EQ(sensor.stop(), 0);
    EXPECT_TRUE(rig.device->log().empty());
}

TEST(Imx6x6Sensor, WithoutAnInterfaceInitFails) {
    Imx6x6Sensor imx;
    Genx320Sensor genx;
    LogCapture capture;
    EXPECT_EQ(imx.init(nullptr), -1);
    EXPECT_EQ(genx.init(nullptr), -1);
    EXPECT_TRUE(capture.has(LOG_ERROR, "Imx6x6Sensor init failed! No interface provided!"));
    EXPECT_TRUE(capture.has(LOG_ERROR, "Genx320Sensor init failed! No interface provided!"));
    EXPECT_FALSE(imx.getNextBuffer().has_value());
}

// ---- GenX320 ----

TEST(Genx320Sensor, InitReplaysStopThenInitThenSetsUpTheSensorWithItsPauses) {
    RecordedInit<Genx320Sensor> init(SensorRig::genx320());
    const auto steps = parseTraces({GENX320_STOP_SEQUENCE_SCRIPT, GENX320_INIT_SEQUENCE_SCRIPT, GENX320_SETUP_SCRIPT});
    ASSERT_EQ(init.times.size(), init.log.size());
    EXPECT_EQ(matchTrace(init.log, steps, *init.rig.map, &init.times), "");
    EXPECT_EQ(init.result, -1);
    EXPECT_EQ(init.countLines(GENX_NO_TRANSFER), 1);

    LogCapture capture;
    EXPECT_EQ(init.sensor->start(), -1);
    EXPECT_TRUE(capture.has(LOG_ERROR, GENX_NOT_INITED));
    EXPECT_EQ(init.sensor->stop(), 0);
    EXPECT_TRUE(init.rig.device->log().empty()) << "start and stop replay no sequence";
}

TEST(Genx320Sensor, MissingCallbacks) {
    {
        SCOPED_TRACE("no callback at all");
        auto rig = SensorRig::genx320();
        Genx320Sensor sensor;
        LogCapture capture;
        EXPECT_EQ(sensor.init(rig.device), -1);
        EXPECT_EQ(sensor.stop(), -1);
        EXPECT_EQ(capture.count(LOG_ERROR, GENX_NO_SEQUENCE_CALLBACK), 2);
        EXPECT_TRUE(rig.device->log().empty());
    }
    {
        SCOPED_TRACE("sequences but no field writes");
        auto rig = SensorRig::genx320();
        Genx320Sensor sensor;
        rig.wireSequences(sensor);
        LogCapture capture;
        sensor.init(rig.device);
        EXPECT_EQ(capture.count(LOG_ERROR, GENX_NO_FIELD_CALLBACK), 4);
        EXPECT_EQ(matchTrace(rig.device->log(), parseTraces({GENX320_STOP_SEQUENCE_SCRIPT, GENX320_INIT_SEQUENCE_SCRIPT}),
                             *rig.map),
                  "");
    }
}

TEST(Genx320Sensor, OnADisconnectedDeviceInitSkipsTheSequences) {
    auto rig = SensorRig::genx320();
    rig.device->setConnected(false);
    Genx320Sensor sensor;
    rig.wireEventSensor(sensor);
    EXPECT_EQ(sensor.init(rig.device), -1);
    EXPECT_EQ(matchTrace(rig.device->log(), parseTrace(GENX320_SETUP_SCRIPT), *rig.map), "");
}

// ---- the sequences as data ----

TEST(SensorSequences, HoldTheirOperationCounts) {
    EXPECT_EQ(IMX6X6_INIT_SEQUENCE_1.size(), 27u);
    EXPECT_EQ(IMX6X6_INIT_SEQUENCE_2.size(), 81u);
    EXPECT_EQ(IMX6X6_START_SEQUENCE.size(), 5u);
    EXPECT_EQ(IMX6X6_STOP_SEQUENCE.size(), 7u);
    EXPECT_EQ(GENX320_INIT_SEQUENCE.size(), 29u);
    EXPECT_EQ(GENX320_STOP_SEQUENCE.size(), 7u);
}

TEST(SensorSequences, Imx636StartSequenceReplaysAsWritten) {
    // The sensor replays it only once it streams; here it is replayed through a controller directly.
    auto rig = SensorRig::imx636();
    rig.controller->applyRegisterOperationSequence(IMX6X6_START_SEQUENCE);
    EXPECT_EQ(matchTrace(rig.device->log(), parseTrace(IMX6X6_START_SEQUENCE_SCRIPT), *rig.map), "");
}

// ---- the trace matcher itself, so a passing trace means something ----

TEST(RegisterTrace, ReportsWrongValuesMissingOrExtraAccessesAndShortPauses) {
    auto rig = SensorRig::imx636();
    AccessClock clock(*rig.device);
    rig.controller->applyRegisterOperationSequence(
        {RegisterOperation(0x2C, 0x5), RegisterOperation(2000), RegisterOperation(0x4, 0x400, 0x400)});
    const auto log = rig.device->log();
    const auto times = clock.times();
    const auto& map = *rig.map;

    EXPECT_EQ(matchTrace(log, parseTrace("W 0x2C 0x5\nP 2000\nM 0x4 0x400 0x400"), map, &times), "");
    EXPECT_NE(matchTrace(log, parseTrace("W 0x2C 0x6\nP 2000\nM 0x4 0x400 0x400"), map, &times), "");
    EXPECT_NE(matchTrace(log, parseTrace("W 0x2C 0x5\nM 0x4 0x0 0x400"), map, &times), "");
    EXPECT_NE(matchTrace(log, parseTrace("W 0x2C 0x5"), map, &times), "");
    EXPECT_NE(matchTrace(log, parseTrace("W 0x2C 0x5\nM 0x4 0x400 0x400\nW 0x8 0x1"), map, &times), "");
    EXPECT_NE(matchTrace(log, parseTrace("W 0x2C 0x5\nP 60000000\nM 0x4 0x400 0x400"), map, &times), "");
    EXPECT_EQ(matchTrace(log, parseTrace("W 0x2C 0x5\nF roi_ctrl.px_td_rstn 1"), map), "")
        << "the masked write sets bit 10 of roi_ctrl";
}
