// Control frames and vendor requests of UsbInterface against a simulated camera over real libusb.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <libusb.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <functional>
#include <future>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "LogCapture.h"
#include "QuelnorHal/interface/UsbHandle.h"
#include "QuelnorHal/interface/UsbInterface.h"
#include "QuelnorHal/register/RegisterController.h"
#include "UsbTestRig.h"
#include "usbcam/UmockdevUsbBus.h"

using namespace quelnor;
using namespace quelnor::test::usbcam;
using namespace usbtest;
using quelnor::test::LogCapture;
using testing::ElementsAre;

namespace {

constexpr const char* SERIAL = "QNP0000001";
constexpr uint32_t ADDRESS = 0x9008;

std::string exceptionText(const std::function<void()>& action) {
    try {
        action();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

class UsbControl : public testing::Test {
protected:
    void SetUp() override {
        cam = bus.plug(UsbCameraConfig::eventCamera(QUELNOR_VID, TOLVANE_PID, SERIAL));
        usb = openEventCamera(SERIAL);
        ASSERT_TRUE(usb);
        commandsBefore = cam->commands().size();
    }

    // Commands the host sent since SetUp.
    std::vector<CommandRecord> newCommands() const {
        auto all = cam->commands();
        return std::vector<CommandRecord>(all.begin() + static_cast<long>(commandsBefore), all.end());
    }

    UmockdevUsbBus bus;
    std::shared_ptr<UsbCameraModel> cam;
    std::shared_ptr<UsbInterface> usb;
    size_t commandsBefore = 0;
};

} // namespace

// ---------------------------------------------------------------- frames

TEST_F(UsbControl, RegistersTravelAsFrames) {
    cam->setRegister(ADDRESS, 0x1234);
    cam->setRegister(ADDRESS + 4, 0x5678);
    EXPECT_EQ(usb->readRegister(ADDRESS), 0x1234u);
    EXPECT_THAT(usb->readRegister(ADDRESS, 3), ElementsAre(0x1234u, 0x5678u, 0u));
    usb->writeRegister(ADDRESS + 8, 0xCAFE);
    EXPECT_EQ(cam->registerValue(ADDRESS + 8), 0xCAFEu);
    uint32_t value = 0;
    EXPECT_TRUE(usb->tryReadRegister(ADDRESS + 8, value));
    EXPECT_EQ(value, 0xCAFEu);
    EXPECT_TRUE(usb->tryWriteRegister(ADDRESS + 12, 0xBEEF));
    EXPECT_EQ(cam->registerValue(ADDRESS + 12), 0xBEEFu);

    auto sent = newCommands();
    ASSERT_EQ(sent.size(), 5u);
    EXPECT_EQ(sent[0].property, 0x00010102u);
    EXPECT_THAT(sent[0].words, ElementsAre(0u, ADDRESS, 1u));
    EXPECT_THAT(sent[1].words, ElementsAre(0u, ADDRESS, 3u));
    EXPECT_EQ(sent[2].property, 0x40010102u);
    EXPECT_THAT(sent[2].words, ElementsAre(0u, ADDRESS + 8, 0xCAFEu));
    EXPECT_EQ(sent[4].property, 0x40010102u);
    EXPECT_THAT(sent[4].words, ElementsAre(0u, ADDRESS + 12, 0xBEEFu));
}

TEST_F(UsbControl, FirmwareQueriesReturnWordZero) {
    EXPECT_EQ(usb->getFirmwareVersion(), cam->config().firmwareVersion);
    EXPECT_EQ(usb->getBuildDate(), cam->config().buildDate);
    EXPECT_EQ(usb->getDeviceCount(), cam->config().deviceCount);
    auto sent = newCommands();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0].property, 121u);
    EXPECT_EQ(sent[1].property, 122u);
    EXPECT_EQ(sent[2].property, 0x00010000u);
    EXPECT_TRUE(sent[0].words.empty());
}

TEST_F(UsbControl, UnknownCommandIsReportedNotImplemented) {
    LogCapture logs;
    CtrlFrame frame(0x00077777);
    EXPECT_FALSE(usb->transferFrame(frame));
    EXPECT_TRUE(logs.has(LOG_ERROR, "command not implemented"));
}

struct FaultCase {
    const char* name;
    AnswerFault fault;
    enum Operation { SingleRead, BlockRead, Write, TryRead, TryWrite, Firmware } operation;
    const char* exception; // nullptr: no exception
    const char* log;       // error line expected, nullptr: none
};

class UsbAnswerFault : public UsbControl, public testing::WithParamInterface<FaultCase> {};

TEST_P(UsbAnswerFault, IsReportedAndNeverTakenForAValue) {
    const FaultCase& c = GetParam();
    cam->setRegister(ADDRESS, 0x1234);
    cam->injectAnswerFault(c.fault);
    LogCapture logs;
    uint32_t value = 0xDEADBEEF;
    bool tried = true;
    std::string text = exceptionText([&] {
        switch (c.operation) {
        case FaultCase::SingleRead:
            value = usb->readRegister(ADDRESS);
            break;
        case FaultCase::BlockRead:
            usb->readRegister(ADDRESS, 3);
            break;
        case FaultCase::Write:
            usb->writeRegister(ADDRESS, 7);
            break;
        case FaultCase::TryRead:
            tried = usb->tryReadRegister(ADDRESS, value);
            break;
        case FaultCase::TryWrite:
            tried = usb->tryWriteRegister(ADDRESS, 7);
            break;
        case FaultCase::Firmware:
            value = usb->getFirmwareVersion();
            break;
        }
    });
    EXPECT_EQ(text, c.exception ? c.exception : "");
    if (c.log) {
        EXPECT_EQ(logs.count(LOG_ERROR, c.log), 1) << (logs.lines().empty() ? "" : logs.lines().front().text);
    }
    if (c.operation == FaultCase::TryRead && !c.exception) {
        EXPECT_FALSE(tried);
        EXPECT_EQ(value, 0u);
    }
    if (c.operation == FaultCase::TryWrite && !c.exception) {
        EXPECT_FALSE(tried);
    }
    // The next exchange works again.
    cam->clearAnswerFaults();
    EXPECT_EQ(usb->readRegister(ADDRESS), c.operation == FaultCase::Write && !c.exception ? 7u : cam->registerValue(ADDRESS));
}

INSTANTIATE_TEST_SUITE_P(
    UsbControl, UsbAnswerFault,
    testing::Values(
        // A failed exchange of a read used to hand back the request's count (1) as the value.
        FaultCase{"read_failed", AnswerFault::CommandFailed, FaultCase::SingleRead, "Error in control transfer", "command failed"},
        FaultCase{"read_not_implemented", AnswerFault::NotImplemented, FaultCase::SingleRead, "Error in control transfer",
                  "command not implemented"},
        FaultCase{"read_property_mismatch", AnswerFault::PropertyMismatch, FaultCase::SingleRead,
                  "Error in control transfer", "property mismatch; expected 65794, got 65795"},
        FaultCase{"read_size_mismatch", AnswerFault::SizeMismatch, FaultCase::SingleRead, "Error in control transfer",
                  "size mismatch; expected 16, got 12"},
        FaultCase{"read_short", AnswerFault::Short, FaultCase::SingleRead, "Error in control transfer",
                  "USB control read failed: LIBUSB_SUCCESS / LIBUSB_TRANSFER_COMPLETED"},
        FaultCase{"read_command_stall", AnswerFault::StallCommand, FaultCase::SingleRead, "Error in control transfer",
                  "USB control write failed: LIBUSB_ERROR_PIPE"},
        FaultCase{"read_answer_stall", AnswerFault::StallAnswer, FaultCase::SingleRead, "Error in control transfer",
                  "USB control read failed: LIBUSB_ERROR_PIPE"},
        FaultCase{"read_wrong_address", AnswerFault::WrongAddress, FaultCase::SingleRead, "address mismatch", nullptr},
        FaultCase{"read_missing_value", AnswerFault::MissingValue, FaultCase::SingleRead, "Not enough data in answer", nullptr},
        // A single read does not look at the device word.
        FaultCase{"read_wrong_device", AnswerFault::WrongDevice, FaultCase::SingleRead, nullptr, nullptr},
        FaultCase{"block_wrong_device", AnswerFault::WrongDevice, FaultCase::BlockRead, "device mismatch", nullptr},
        FaultCase{"block_wrong_address", AnswerFault::WrongAddress, FaultCase::BlockRead, "address mismatch", nullptr},
        FaultCase{"block_missing_value", AnswerFault::MissingValue, FaultCase::BlockRead, "Not enough data in answer", nullptr},
        FaultCase{"block_failed", AnswerFault::CommandFailed, FaultCase::BlockRead, "Error in control transfer", "command failed"},
        // A failed write used to pass silently.
        FaultCase{"write_failed", AnswerFault::CommandFailed, FaultCase::Write, "Error in control transfer", "command failed"},
        FaultCase{"write_short", AnswerFault::Short, FaultCase::Write, "Error in control transfer",
                  "USB control read failed: LIBUSB_SUCCESS / LIBUSB_TRANSFER_COMPLETED"},
        FaultCase{"write_wrong_address", AnswerFault::WrongAddress, FaultCase::Write, "address mismatch", nullptr},
        FaultCase{"try_read_failed", AnswerFault::CommandFailed, FaultCase::TryRead, nullptr, "command failed"},
        FaultCase{"try_read_wrong_address", AnswerFault::WrongAddress, FaultCase::TryRead, "address mismatch", nullptr},
        // A write the camera refuses, or whose exchange fails, is reported, not thrown.
        FaultCase{"try_write_failed", AnswerFault::CommandFailed, FaultCase::TryWrite, nullptr, "command failed"},
        FaultCase{"try_write_not_implemented", AnswerFault::NotImplemented, FaultCase::TryWrite, nullptr,
                  "command not implemented"},
        FaultCase{"try_write_command_stall", AnswerFault::StallCommand, FaultCase::TryWrite, nullptr,
                  "USB control write failed: LIBUSB_ERROR_PIPE"},
        FaultCase{"try_write_answer_stall", AnswerFault::StallAnswer, FaultCase::TryWrite, nullptr,
                  "USB control read failed: LIBUSB_ERROR_PIPE"},
        FaultCase{"try_write_short", AnswerFault::Short, FaultCase::TryWrite, nullptr,
                  "USB control read failed: LIBUSB_SUCCESS / LIBUSB_TRANSFER_COMPLETED"},
        FaultCase{"try_write_property_mismatch", AnswerFault::PropertyMismatch, FaultCase::TryWrite, nullptr,
                  "property mismatch; expected 1073807618, got 1073807619"},
        FaultCase{"try_write_wrong_address", AnswerFault::WrongAddress, FaultCase::TryWrite, "address mismatch",
                  nullptr},
        FaultCase{"firmware_failed", AnswerFault::CommandFailed, FaultCase::Firmware, "Error in control transfer",
                  "command failed"}),
    [](const testing::TestParamInfo<FaultCase>& info) { return std::string(info.param.name); });

TEST_F(UsbControl, MaskedWriteWithAFailedReadWritesNothingBack) {
    RegisterInfo table[] = {RegisterInfo::register_row("ctrl", ADDRESS), RegisterInfo::field_row("enable", 0, 1)};
    RegisterController controller(usb, table, 2, "");
    cam->setRegister(ADDRESS, 0xF0);
    cam->injectAnswerFault(AnswerFault::CommandFailed, 1, 0x00010102u);
    controller.applyRegisterOperation(RegisterOperation(ADDRESS, 1, 1));
    for (const CommandRecord& c : newCommands()) {
        EXPECT_NE(c.property, 0x40010102u) << "a value never read was written back";
    }
    EXPECT_EQ(cam->registerValue(ADDRESS), 0xF0u);
    controller.applyRegisterOperation(RegisterOperation(ADDRESS, 1, 1));
    EXPECT_EQ(cam->registerValue(ADDRESS), 0xF1u);
}

// A write the camera refuses: the controller's plain operations throw, as the interface's write does
// (tools rely on it to fail their construction), and the checked ones answer false naming the register.
TEST_F(UsbControl, ARefusedWriteThrowsFromThePlainControllerOperationsAndIsReportedByTheCheckedOnes) {
    RegisterInfo table[] = {RegisterInfo::register_row("ctrl", ADDRESS), RegisterInfo::field_row("enable", 0, 1),
                            RegisterInfo::register_row("next", ADDRESS + 4)};
    RegisterController controller(usb, table, 3, "");
    struct Case {
        const char* name;
        std::function<bool()> action; // the checked operations' answer; true for the plain ones
        const char* exception;        // nullptr: none
        const char* log;              // the controller's error line, nullptr: none
    };
    const Case cases[] = {
        {"writeRegister",
         [&] {
             controller.writeRegister("ctrl", 5);
             return true;
         },
         "Error in control transfer", nullptr},
        {"writeRegisterField",
         [&] {
             controller.writeRegisterField("ctrl", "enable", 1);
             return true;
         },
         "Error in control transfer", nullptr},
        {"masked applyRegisterOperation",
         [&] {
             controller.applyRegisterOperation(RegisterOperation(ADDRESS, 1, 1));
             return true;
         },
         "Error in control transfer", nullptr},
        {"tryWriteRegister", [&] { return controller.tryWriteRegister("ctrl", 5); }, nullptr,
         "Write of register ctrl (0x9008) value 0x5 was not confirmed"},
        {"tryWriteRegisterField", [&] { return controller.tryWriteRegisterField("ctrl", "enable", 1); }, nullptr,
         "Write of register ctrl (0x9008) value 0xF1 was not confirmed"},
        {"tryApplyRegisterOperationSequence",
         [&] {
             return controller.tryApplyRegisterOperationSequence(
                 {RegisterOperation(ADDRESS, 1, 1), RegisterOperation(ADDRESS + 4, 9)});
         },
         nullptr, "Write of register ctrl (0x9008) value 0xF1 was not confirmed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        cam->setRegister(ADDRESS, 0xF0);
        cam->setRegister(ADDRESS + 4, 0);
        cam->injectAnswerFault(AnswerFault::CommandFailed, 1, 0x40010102u);
        LogCapture logs;
        bool confirmed = true;
        EXPECT_EQ(exceptionText([&] { confirmed = c.action(); }), c.exception ? c.exception : "");
        EXPECT_TRUE(logs.has(LOG_ERROR, "command failed"));
        if (c.log) {
            EXPECT_FALSE(confirmed);
            EXPECT_TRUE(logs.has(LOG_ERROR, c.log));
        }
        EXPECT_EQ(cam->registerValue(ADDRESS + 4), 0u) << "nothing after the refused write";
        cam->clearAnswerFaults();
    }
}

TEST_F(UsbControl, ExchangesFromManyThreadsNeverMixTheirAnswers) {
    constexpr int THREADS = 4;
    constexpr int READS = 40;
    for (int t = 0; t < THREADS; ++t) {
        cam->setRegister(0x1000 + 4 * static_cast<uint32_t>(t), 0xA000u + static_cast<uint32_t>(t));
    }
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([&, t] {
            const uint32_t address = 0x1000 + 4 * static_cast<uint32_t>(t);
            for (int i = 0; i < READS; ++i) {
                if (usb->readRegister(address) != 0xA000u + static_cast<uint32_t>(t)) {
                    ++wrong;
                }
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    EXPECT_EQ(wrong.load(), 0);
}

TEST_F(UsbControl, ALateAnswerIsNotTakenForTheNextRequest) {
    cam->setRegister(ADDRESS, 0x1111);
    cam->setRegister(ADDRESS + 4, 0x2222);
    cam->injectAnswerFault(AnswerFault::Late);
    LogCapture logs;
    // The camera keeps quiet for the whole 10 s answer time-out.
    EXPECT_EQ(exceptionText([&] { usb->readRegister(ADDRESS); }), "Error in control transfer");
    EXPECT_TRUE(logs.has(LOG_ERROR, "USB control read failed: LIBUSB_ERROR_TIMEOUT"));
    cam->releaseLateAnswers(); // the answer to the first read arrives now
    EXPECT_EQ(usb->readRegister(ADDRESS + 4), 0x2222u);
    EXPECT_EQ(logs.count(LOG_WARN, "Dropped a late control answer of 20 bytes"), 1);
    EXPECT_EQ(usb->readRegister(ADDRESS), 0x1111u);
}

TEST_F(UsbControl, AnAnswerLeftOverFromBeforeIsNotTakenForTheNextRequest) {
    cam->setRegister(ADDRESS, 0x1111);
    cam->setRegister(ADDRESS + 4, 0x2222);
    EXPECT_EQ(usb->getDeviceCount(), 1u); // past the first exchange, which drains the endpoint
    // Something answered meanwhile waits on the answer endpoint.
    cam->pushAnswer({121, 0, 0, 0, 4, 0, 0, 0, 1, 0, 0, 0});
    LogCapture logs;
    EXPECT_EQ(exceptionText([&] { usb->readRegister(ADDRESS); }), "Error in control transfer");
    EXPECT_TRUE(logs.has(LOG_ERROR, "property mismatch; expected 65794, got 121"));
    // The answer to that read came after it; the next read must get its own.
    EXPECT_EQ(usb->readRegister(ADDRESS + 4), 0x2222u);
    EXPECT_EQ(logs.count(LOG_WARN, "Dropped a late control answer of 20 bytes"), 1);
}

TEST_F(UsbControl, AnswersWaitingBeforeTheFirstExchangeAreDrained) {
    cam->setRegister(ADDRESS, 0x1111);
    // A fresh interface over the camera: a stale answer with the very property and address of the
    // first request waits, and would pass every check of the answer.
    usb.reset();
    auto fresh = openEventCamera(SERIAL);
    ASSERT_TRUE(fresh);
    cam->pushAnswer({0x02, 0x01, 0x01, 0x00, 12, 0, 0, 0, 0, 0, 0, 0, 0x08, 0x90, 0, 0, 0xEF, 0xBE, 0, 0});
    LogCapture logs;
    EXPECT_EQ(fresh->readRegister(ADDRESS), 0x1111u);
    EXPECT_EQ(logs.count(LOG_WARN, "Dropped a late control answer of 20 bytes"), 1);
    EXPECT_EQ(logs.countAt(LOG_ERROR), 0);
}

// ---------------------------------------------------------------- vendor requests

TEST_F(UsbControl, BoardRegistersByVendorRequest) {
    EXPECT_EQ(usb->writeRegisterWithControlTransfer(0x12345678, 0xA1B2C3D4u), 0u);
    // Only the low 16 bits of the address go out.
    EXPECT_THAT(cam->boardRegister(0x5678), ElementsAre(0xD4, 0xC3, 0xB2, 0xA1));
    uint32_t value = 0;
    EXPECT_EQ(usb->readRegisterWithControlTransfer(0x5678, value), 0u);
    EXPECT_EQ(value, 0xA1B2C3D4u);

    uint8_t block[6] = {1, 2, 3, 4, 5, 6};
    EXPECT_EQ(usb->writeRegisterWithControlTransfer(0x20, block, sizeof(block)), 0u);
    uint8_t back[6] = {};
    EXPECT_EQ(usb->readRegisterWithControlTransfer(0x20, back, sizeof(back)), 0u);
    EXPECT_THAT(back, ElementsAre(1, 2, 3, 4, 5, 6));

    auto requests = cam->controlRequests();
    const auto& write = requests[requests.size() - 4];
    EXPECT_EQ(write.setup.requestType, 0x40);
    EXPECT_EQ(write.setup.request, 0xA1);
    EXPECT_EQ(write.setup.value, 0x5678);
    EXPECT_EQ(write.setup.index, 0);
    const auto& read = requests[requests.size() - 3];
    EXPECT_EQ(read.setup.requestType, 0xC0);
    EXPECT_EQ(read.setup.request, 0xA0);
    EXPECT_EQ(read.setup.length, 4);
}

TEST_F(UsbControl, FailedVendorRequestsSayFailedAndZeroTheOutput) {
    cam->setBoardRegister(0x10, {9, 9, 9, 9});
    cam->setVendorRequestsStall(true);
    LogCapture logs;
    uint32_t value = 0xDEADBEEF;
    EXPECT_EQ(usb->readRegisterWithControlTransfer(0x10, value), 0xFFFFFFFFu);
    EXPECT_EQ(value, 0u);
    uint8_t block[4] = {0xAA, 0xAA, 0xAA, 0xAA};
    EXPECT_EQ(usb->readRegisterWithControlTransfer(0x10, block, sizeof(block)), 0xFFFFFFFFu);
    EXPECT_THAT(block, ElementsAre(0, 0, 0, 0));
    EXPECT_EQ(usb->writeRegisterWithControlTransfer(0x10, 5u), 0xFFFFFFFFu);
    EXPECT_EQ(usb->writeRegisterWithControlTransfer(0x10, block, sizeof(block)), 0xFFFFFFFFu);
    EXPECT_EQ(logs.count(LOG_ERROR, "Error in control transfer: LIBUSB_ERROR_PIPE"), 4);
    EXPECT_THAT(cam->boardRegister(0x10), ElementsAre(9, 9, 9, 9));
}

TEST_F(UsbControl, RegisterControllerPassesTheVendorFailureOn) {
    RegisterInfo table[] = {RegisterInfo::register_row("sensor_id", 0x3000)};
    RegisterController controller(usb, table, 1, "");
    cam->setVendorRequestsStall(true);
    uint32_t value = 77;
    EXPECT_EQ(controller.readRegisterWithControlTransfer("sensor_id", value), 0xFFFFFFFFu);
    EXPECT_EQ(value, 0u);
}

class CalibrationFile : public UsbControl {
protected:
    void TearDown() override { std::remove(path.c_str()); }
    void writeFile(size_t size) {
        std::ofstream out(path, std::ios::binary);
        for (size_t i = 0; i < size; ++i) {
            out.put(static_cast<char>(i * 7));
        }
    }
    std::string path = testing::TempDir() + "usb_calibration_" + std::to_string(::getpid()) + ".json";
};

TEST_F(CalibrationFile, IsSentWholeAndReadBack) {
    writeFile(3000);
    LogCapture logs;
    EXPECT_TRUE(usb->writeCalibrationFile(path));
    EXPECT_TRUE(logs.has(LOG_INFO, "Write calibration file: " + path));
    ASSERT_EQ(cam->calibration().size(), 3000u);
    EXPECT_EQ(cam->calibration()[1], 7);
    std::vector<uint8_t> data{1, 2, 3};
    EXPECT_TRUE(usb->readCalibrationData(data));
    EXPECT_EQ(data, cam->calibration());
    auto requests = cam->controlRequests();
    EXPECT_EQ(requests.back().setup.request, 0xA2);
    EXPECT_EQ(requests.back().setup.length, 4096);
}

TEST_F(CalibrationFile, ReadGivesWhatTheCameraAnswers) {
    cam->setCalibration(std::vector<uint8_t>(100, 0x42));
    std::vector<uint8_t> data(5000, 1);
    EXPECT_TRUE(usb->readCalibrationData(data));
    EXPECT_EQ(data, std::vector<uint8_t>(100, 0x42));
    cam->setCalibration({});
    EXPECT_FALSE(usb->readCalibrationData(data));
    EXPECT_TRUE(data.empty());
    cam->setCalibration({1});
    cam->setVendorRequestsStall(true);
    EXPECT_FALSE(usb->readCalibrationData(data));
}

TEST_F(CalibrationFile, LargerThanTheStoreIsRefusedWithoutSending) {
    writeFile(4097);
    const size_t before = cam->controlRequests().size();
    LogCapture logs;
    EXPECT_FALSE(usb->writeCalibrationFile(path));
    EXPECT_EQ(cam->controlRequests().size(), before);
    EXPECT_TRUE(cam->calibration().empty());
    EXPECT_EQ(logs.countAt(LOG_ERROR), 1);
    writeFile(4096);
    EXPECT_TRUE(usb->writeCalibrationFile(path));
    EXPECT_EQ(cam->calibration().size(), 4096u);
}

// Files that must be refused from what the system says about them, before their content is read.
struct UnfitFile {
    const char* name;
    // Makes the file at the path, or gives another path to use; "" when it cannot be made here.
    std::function<std::string(const std::string& path)> make;
    bool watchReads;       // whether inotify can tell that the content was read
    const char* errorLine; // the refusal, with "%s" for the path
};

void PrintTo(const UnfitFile& file, std::ostream* out) { *out << file.name; }

// Tells whether a file's content was read (inotify IN_ACCESS).
class ReadWatch {
public:
    explicit ReadWatch(const std::string& path)
        : m_fd(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)), m_watch(inotify_add_watch(m_fd, path.c_str(), IN_ACCESS)) {}
    ~ReadWatch() { ::close(m_fd); }
    bool ok() const { return m_fd >= 0 && m_watch >= 0; }
    bool wasRead() const {
        alignas(inotify_event) char events[4096];
        return ::read(m_fd, events, sizeof(events)) > 0;
    }

private:
    int m_fd;
    int m_watch;
};

class UnfitCalibrationFile : public CalibrationFile, public testing::WithParamInterface<UnfitFile> {};

TEST_P(UnfitCalibrationFile, IsRefusedAtOnceWithoutSending) {
    const std::string file = GetParam().make(path);
    ASSERT_FALSE(file.empty()) << "cannot make the file";
    std::optional<ReadWatch> watch;
    if (GetParam().watchReads) {
        watch.emplace(file);
        ASSERT_TRUE(watch->ok());
    }
    const size_t before = cam->controlRequests().size();
    LogCapture logs;
    auto written = std::async(std::launch::async, [&] { return usb->writeCalibrationFile(file); });
    // A watchdog only: a writer that would read a FIFO waits for a writer without end.
    if (written.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
        // Straight to the kernel: the umockdev preload's open wrapper is busy with the stuck reader.
        const int writer = static_cast<int>(::syscall(SYS_openat, AT_FDCWD, file.c_str(), O_WRONLY | O_NONBLOCK));
        if (writer >= 0) {
            ::close(writer); // lets a reader stuck on the FIFO go on
        }
        written.wait();
        FAIL() << "writeCalibrationFile did not return";
    }
    EXPECT_FALSE(written.get());
    EXPECT_EQ(cam->controlRequests().size(), before);
    EXPECT_TRUE(cam->calibration().empty());
    char line[512];
    std::snprintf(line, sizeof(line), GetParam().errorLine, file.c_str());
    EXPECT_TRUE(logs.has(LOG_ERROR, line)) << line;
    EXPECT_EQ(logs.countAt(LOG_ERROR), 1);
    if (watch) {
        EXPECT_FALSE(watch->wasRead()) << "the content was read";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Files, UnfitCalibrationFile,
    testing::Values(
        UnfitFile{"SparseGibibyte",
                  [](const std::string& path) {
                      std::ofstream(path, std::ios::binary).close();
                      return ::truncate(path.c_str(), off_t{1} << 30) == 0 ? path : std::string();
                  },
                  true, "Calibration file too large: %s (1073741824 bytes, at most 4096)"},
        UnfitFile{"Fifo", [](const std::string& path) { return ::mkfifo(path.c_str(), 0600) == 0 ? path : std::string(); },
                  false, "Calibration file is not a regular file: %s"},
        // A device reads as empty or without end (/dev/zero); /dev/null keeps a regression harmless.
        UnfitFile{"DeviceNode", [](const std::string&) { return std::string("/dev/null"); }, false,
                  "Calibration file is not a regular file: %s"},
        // A regular file whose size the system does not know (0): only reading shows it is too large.
        UnfitFile{"LargerThanItsSize", [](const std::string&) { return std::string("/proc/self/smaps"); }, false,
                  "Calibration file too large: %s (more than 4096 bytes)"}),
    [](const testing::TestParamInfo<UnfitFile>& info) { return std::string(info.param.name); });

TEST_F(CalibrationFile, FailedTransferOrMissingFileIsFalse) {
    writeFile(10);
    cam->setVendorRequestsStall(true);
    EXPECT_FALSE(usb->writeCalibrationFile(path));
    LogCapture logs;
    EXPECT_FALSE(usb->writeCalibrationFile(path + ".missing"));
    EXPECT_TRUE(logs.has(LOG_ERROR, "Can't open file: " + path + ".missing"));
}

// ---------------------------------------------------------------- endpoint flush, connection

TEST_F(UsbControl, FlushDrainsTheEndpointAndCountsWhatItDropped) {
    LogCapture logs;
    usb->flushEndpointBuffer(usb->getEpCommAddress());
    EXPECT_TRUE(logs.has(LOG_INFO, "Total of {0} bytes flushed"));
    EXPECT_TRUE(logs.has(LOG_DEBUG, "Data Transfer: Try to flush") || logs.countAt(LOG_DEBUG) == 0);
    cam->streamData(std::vector<uint8_t>(40000, 1));
    cam->streamData(std::vector<uint8_t>(100, 2), false);
    usb->flushEndpointBuffer(usb->getEpCommAddress());
    EXPECT_TRUE(logs.has(LOG_INFO, "Total of {40100} bytes flushed"));
    EXPECT_EQ(cam->pendingStreamBytes(UsbCameraConfig::DATA_ENDPOINT), 0u);
}

TEST_F(UsbControl, EndpointsOfTheVendorInterface) {
    EXPECT_EQ(usb->getEpCommAddress(), UsbCameraConfig::DATA_ENDPOINT);
    EXPECT_EQ(usb->getEpCommAddress2(), 0);
    EXPECT_EQ(usb->getInterfaceType(), Interface::USB);
}

TEST_F(UsbControl, UnplugShowsAsNotConnectedAndFailsRequests) {
    EXPECT_TRUE(usb->isConnected());
    bus.unplug(cam);
    EXPECT_FALSE(usb->isConnected());
    LogCapture logs;
    EXPECT_EQ(exceptionText([&] { usb->readRegister(ADDRESS); }), "Error in control transfer");
    EXPECT_TRUE(logs.has(LOG_ERROR, "USB control write failed: LIBUSB_ERROR_NO_DEVICE"));
    uint32_t value = 3;
    EXPECT_EQ(usb->readRegisterWithControlTransfer(0x10, value), 0xFFFFFFFFu);
    EXPECT_EQ(value, 0u);
}

// ---------------------------------------------------------------- vendorRead16/32 on the handle

class UsbHandleVendorRead : public testing::Test {
protected:
    void SetUp() override {
        cam = bus.plug(UsbCameraConfig::eventCamera(QUELNOR_VID, TOLVANE_PID, SERIAL));
        cam->setVendorHandler([](const SetupPacket& setup, const std::vector<uint8_t>&) {
            if (setup.request == 0x51) {
                return ControlReply::accepted({0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88});
            }
            if (setup.request == 0x52) {
                return ControlReply::unanswered();
            }
            if (setup.request == 0x53) {
                return ControlReply::accepted({0x11, 0x22});
            }
            return ControlReply::stalled();
        });
        context = std::make_shared<LibUsbContext>();
        libusb_device** list = nullptr;
        ssize_t n = libusb_get_device_list(context->get(), &list);
        ASSERT_EQ(n, 1);
        libusb_device_descriptor descriptor{};
        libusb_get_device_descriptor(list[0], &descriptor);
        handle = std::make_shared<UsbHandle>(context, list[0], descriptor);
        libusb_free_device_list(list, 1);
        ASSERT_TRUE(handle->isOpen());
    }
    void TearDown() override {
        handle.reset();
        context.reset();
    }

    UmockdevUsbBus bus;
    std::shared_ptr<UsbCameraModel> cam;
    std::shared_ptr<LibUsbContext> context;
    std::shared_ptr<UsbHandle> handle;
};

TEST_F(UsbHandleVendorRead, ReadsTheDocumentedBytes) {
    EXPECT_EQ(handle->vendorRead16(0x51, 0x0102), 0x4433);
    EXPECT_EQ(handle->vendorRead32(0x51, 0x00030004, false), 0x44332211u);
    EXPECT_EQ(handle->vendorRead32(0x51, 0x00030004, true), 0x55667788u);
    auto requests = cam->controlRequests();
    const SetupPacket& last = requests.back().setup;
    EXPECT_EQ(last.requestType, 0xC0);
    EXPECT_EQ(last.value, 0x0004);
    EXPECT_EQ(last.index, 0x0003);
    EXPECT_EQ(last.length, 8);
}

TEST_F(UsbHandleVendorRead, FailuresGiveAllOnes) {
    EXPECT_EQ(handle->vendorRead16(0x50, 0), 0xFFFF);
    EXPECT_EQ(handle->vendorRead32(0x50, 0, false), 0xFFFFFFFFu);
    // Too short for the bytes looked at.
    EXPECT_EQ(handle->vendorRead16(0x53, 0), 0xFFFF);
    EXPECT_EQ(handle->vendorRead32(0x53, 0, true), 0xFFFFFFFFu);
}

TEST_F(UsbHandleVendorRead, ASilentCameraDoesNotBlockForever) {
    // Both used to wait without a time-out.
    auto read16 = std::async(std::launch::async, [&] { return handle->vendorRead16(0x52, 0); });
    ASSERT_EQ(read16.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    EXPECT_EQ(read16.get(), 0xFFFF);
    auto read32 = std::async(std::launch::async, [&] { return handle->vendorRead32(0x52, 0, false); });
    ASSERT_EQ(read32.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    EXPECT_EQ(read32.get(), 0xFFFFFFFFu);
}
