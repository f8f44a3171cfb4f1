#include "QuelnorBase/Utils/FuncUtils.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "StdoutCapture.h"

using namespace quelnor;
namespace fs = std::filesystem;

namespace {

std::string readFile(const fs::path& path) {
    std::ifstream in(path);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void writeFile(const fs::path& path, const std::string& text) { std::ofstream(path) << text; }

// A sysfs tree as the kernel lays it out below bus/usb/devices: a root hub, two devices and an interface.
class UsbSysfs : public ::testing::Test {
protected:
    void SetUp() override {
        m_root = fs::temp_directory_path() /
                 ("quelnor-sysfs-" + std::to_string(::getpid()) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(m_root);
        addDevice("usb1", "1d6b", "0002");
        addDevice("1-1", "04b4", "00f4");
        fs::create_directories(devices() / "1-1:1.0"); // an interface: no ids of its own
        writeFile(devices() / "1-1:1.0" / "bInterfaceClass", "ff\n");
        addDevice("2-3", "1234", "5678");
    }
    void TearDown() override { fs::remove_all(m_root); }

    fs::path devices() const { return m_root / "bus" / "usb" / "devices"; }
    void addDevice(const std::string& name, const std::string& vid, const std::string& pid) {
        const fs::path dir = devices() / name;
        fs::create_directories(dir);
        writeFile(dir / "idVendor", vid + "\n");
        writeFile(dir / "idProduct", pid + "\n");
        writeFile(dir / "authorized", "1\n");
    }
    void expectUntouched(const std::vector<std::string>& names) {
        for (const std::string& name : names) {
            EXPECT_EQ(readFile(devices() / name / "authorized"), "1\n") << name;
        }
    }

    fs::path m_root;
};

// Records every value written to a FIFO, one value per open/close of the writer.
class FifoRecorder {
public:
    explicit FifoRecorder(const fs::path& path) : m_path(path) {
        fs::remove(path);
        if (::mkfifo(path.c_str(), 0600) != 0) {
            throw std::runtime_error("mkfifo failed");
        }
        m_thread = std::thread([this] { run(); });
    }
    ~FifoRecorder() { stop(); }

    std::vector<std::string> values() {
        stop();
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_values;
    }

private:
    void run() {
        while (!m_stop) {
            const int fd = ::open(m_path.c_str(), O_RDONLY);
            if (fd < 0) {
                break;
            }
            std::string text;
            char buffer[64];
            ssize_t n;
            while ((n = ::read(fd, buffer, sizeof(buffer))) > 0) {
                text.append(buffer, static_cast<size_t>(n));
            }
            ::close(fd);
            if (!text.empty()) {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_values.push_back(text);
            }
        }
        m_done = true;
    }
    void stop() {
        if (!m_thread.joinable()) {
            return;
        }
        m_stop = true;
        // The reader may sit in open(): give it a writer that writes nothing until it leaves.
        while (!m_done) {
            const int fd = ::open(m_path.c_str(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0) {
                ::close(fd);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        m_thread.join();
    }

    fs::path m_path;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_done{false};
    std::mutex m_mutex;
    std::vector<std::string> m_values;
};

} // namespace

TEST_F(UsbSysfs, MatchingDeviceIsDisabledThenEnabled) {
    FifoRecorder authorized(devices() / "1-1" / "authorized");
    StdoutCapture out;
    EXPECT_TRUE(restartUSBDevice(0x04b4, 0x00f4, m_root.string()));
    const std::string log = out.text();

    EXPECT_EQ(authorized.values(), (std::vector<std::string>{"0", "1"}));
    expectUntouched({"usb1", "2-3"});
    EXPECT_NE(log.find("Restart USB device: 04b4:00f4"), std::string::npos) << log;
    EXPECT_NE(log.find("Found USB device: 1-1"), std::string::npos) << log;
    EXPECT_NE(log.find("Restart USB device success."), std::string::npos) << log;
}

TEST_F(UsbSysfs, UnknownIdsRestartNothing) {
    EXPECT_FALSE(restartUSBDevice(0x04b4, 0x00f5, m_root.string()));
    EXPECT_FALSE(restartUSBDevice(0xffff, 0xffff, m_root.string()));
    expectUntouched({"usb1", "1-1", "2-3"});
}

TEST_F(UsbSysfs, FailedDisableOrEnableReportsFailure) {
    // No authorized attribute: both writes fail, and none may create the file.
    fs::remove(devices() / "2-3" / "authorized");
    StdoutCapture out;
    EXPECT_FALSE(restartUSBDevice(0x1234, 0x5678, m_root.string()));
    const std::string log = out.text();
    EXPECT_FALSE(fs::exists(devices() / "2-3" / "authorized"));
    EXPECT_NE(log.find("Disable USB device error: 2"), std::string::npos) << log;
    EXPECT_NE(log.find("Enable USB device error: 2"), std::string::npos) << log;
    EXPECT_EQ(log.find("Restart USB device success."), std::string::npos) << log;

    // An attribute that refuses writes.
    fs::remove(devices() / "1-1" / "authorized");
    fs::create_symlink("/dev/full", devices() / "1-1" / "authorized");
    EXPECT_FALSE(restartUSBDevice(0x04b4, 0x00f4, m_root.string()));
}

TEST_F(UsbSysfs, MissingSysfsReportsFailure) {
    StdoutCapture out;
    EXPECT_FALSE(restartUSBDevice(0x04b4, 0x00f4, (m_root / "nowhere").string()));
    EXPECT_NE(out.text().find("SetupDiGetClassDevs failed"), std::string::npos);
}
