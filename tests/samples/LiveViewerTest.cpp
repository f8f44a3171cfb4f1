// The live viewer as a program: simulated Ethernet cameras in a network-namespace lab, the viewer in
// the lab's host namespace, its windows on a virtual X server (Xvfb). Keys go in through xdotool,
// screenshots come out through xwd and ImageMagick. Root only (skipped otherwise). Each test has an X
// server of its own (-displayfd) and a lab whose names carry the process id, so it runs beside others.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "SamplePrograms.h"
#include "cameralab/EthCameraLab.h"
#include "ethsim/EthCameraSim.h"
#include "evt3/Evt3RawFile.h"
#include "evt3/Evt3TestEncoder.h"
#include "rawfile/SyntheticRecording.h"
#include "rawfile/TempDir.h"

using namespace quelnor;
using namespace quelnor::test;
using testing::HasSubstr;
using testing::Not;

namespace {

constexpr const char* XVFB = "/usr/bin/Xvfb";
constexpr const char* XDOTOOL = "/usr/bin/xdotool";
constexpr const char* XWD = "/usr/bin/xwd";
constexpr const char* CONVERT = "/usr/bin/convert"; // ImageMagick's, by its full path
constexpr int SCREEN_WIDTH = 2600;
constexpr int SCREEN_HEIGHT = 900;
constexpr int SECOND_WINDOW_X = 1300; // the second window is moved here, right of the first
constexpr const char* WINDOW_1 = "Quelnor Ethernet Camera 1";
constexpr const char* WINDOW_2 = "Quelnor Ethernet Camera 2";
constexpr int SCREENSHOT_ATTEMPTS = 40;
constexpr std::chrono::seconds KEY_ANSWER_TIMEOUT{10};

struct Rgb {
    uint8_t r, g, b;
    bool operator==(const Rgb& o) const { return r == o.r && g == o.g && b == o.b; }
};
// The viewer's colours (BGR there).
constexpr Rgb ON_COLOUR{180, 188, 191};
constexpr Rgb OFF_COLOUR{51, 61, 64};

struct Image {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgb;
    Rgb at(int x, int y) const {
        const size_t i = (static_cast<size_t>(y) * width + x) * 3;
        return {rgb[i], rgb[i + 1], rgb[i + 2]};
    }
};

// The next header field of a PPM, past blanks and comments.
std::string ppmField(std::istream& in) {
    std::string field;
    for (;;) {
        in >> std::ws;
        if (in.peek() == '#') {
            std::string comment;
            std::getline(in, comment);
            continue;
        }
        in >> field;
        return field;
    }
}

// Reads a binary PPM (P6, 8 bits).
Image readPpm(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    Image image;
    const std::string magic = ppmField(in);
    try {
        image.width = std::stoi(ppmField(in));
        image.height = std::stoi(ppmField(in));
    } catch (const std::exception&) {
        return {};
    }
    const std::string maxText = ppmField(in);
    const int maxValue = maxText.empty() ? 0 : std::atoi(maxText.c_str());
    in.get();
    if (magic != "P6" || maxValue != 255 || image.width <= 0 || image.height <= 0) {
        return {};
    }
    image.rgb.resize(static_cast<size_t>(image.width) * image.height * 3);
    in.read(reinterpret_cast<char*>(image.rgb.data()), static_cast<std::streamsize>(image.rgb.size()));
    return in ? image : Image{};
}

// Pixels of one colour inside [x0, x1): how many, and the mean column.
struct ColourArea {
    size_t count = 0;
    double meanX = 0;
};
ColourArea area(const Image& image, Rgb colour, int x0, int x1) {
    ColourArea a;
    double sumX = 0;
    for (int y = 0; y < image.height; ++y) {
        for (int x = x0; x < x1 && x < image.width; ++x) {
            if (image.at(x, y) == colour) {
                ++a.count;
                sumX += x;
            }
        }
    }
    a.meanX = a.count > 0 ? sumX / static_cast<double>(a.count) : 0;
    return a;
}

size_t greenTextPixels(const Image& image, int x0, int x1) {
    size_t n = 0;
    for (int y = 0; y < image.height; ++y) {
        for (int x = x0; x < x1 && x < image.width; ++x) {
            const Rgb p = image.at(x, y);
            n += p.g > 200 && p.r < 90 && p.b < 90 ? 1 : 0;
        }
    }
    return n;
}

// A virtual X server of its own, and the X tools run against it.
class VirtualDisplay {
public:
    static std::string unavailableReason() {
        for (const char* tool : {XVFB, XDOTOOL, XWD, CONVERT}) {
            struct stat st;
            if (::stat(tool, &st) != 0) {
                return std::string(tool) + " is missing (scripts/install-deps.sh installs it)";
            }
        }
        return "";
    }

    VirtualDisplay() {
        ChildOptions options;
        options.argv = {XVFB, "-displayfd", "1", "-screen", "0",
                        std::to_string(SCREEN_WIDTH) + "x" + std::to_string(SCREEN_HEIGHT) + "x24", "-nolisten", "tcp"};
        server = std::make_unique<ChildProcess>(options);
        if (!server->waitForOutput("\n", PROGRAM_TIMEOUT)) {
            throw std::runtime_error("Xvfb did not start: " + server->errors());
        }
        display = ":" + server->output().substr(0, server->output().find('\n'));
    }

    const std::string& name() const { return display; }

    // Runs an X tool to its end; its standard output.
    std::string run(const std::vector<std::string>& argv, int* code = nullptr) const {
        ChildOptions options;
        options.argv = argv;
        options.env = {"DISPLAY=" + display};
        ChildProcess tool(options);
        tool.closeInput();
        const auto exit = tool.waitForExit(PROGRAM_TIMEOUT);
        if (code != nullptr) {
            *code = exit ? *exit : -1;
        }
        return tool.output();
    }

    // Waits for the window of that title and returns its id.
    std::string window(const std::string& title) const {
        const std::string out = run({XDOTOOL, "search", "--sync", "--name", "^" + title + "$"});
        return out.substr(0, out.find('\n'));
    }

    bool key(const std::string& windowId, const std::string& key) const {
        int code = -1;
        run({XDOTOOL, "windowfocus", "--sync", windowId, "key", key}, &code);
        return code == 0;
    }

    void move(const std::string& windowId, int x, int y) const {
        run({XDOTOOL, "windowmove", "--sync", windowId, std::to_string(x), std::to_string(y)});
    }

    Image screenshot(const TempDir& dir) const {
        const std::string xwd = dir.file("screen.xwd");
        const std::string ppm = dir.file("screen.ppm");
        run({XWD, "-root", "-silent", "-display", display, "-out", xwd});
        run({CONVERT, "xwd:" + xwd, "ppm:" + ppm});
        return readPpm(ppm);
    }

private:
    std::unique_ptr<ChildProcess> server;
    std::string display;
};

// A filled rectangle of events of one polarity.
struct Block {
    uint16_t x, y, width, height;
    uint8_t polarity;
};

// The blocks drawn again every `period` us from `start` for `duration` us, as vector groups.
std::vector<uint16_t> blockStream(const std::vector<Block>& blocks, uint64_t start, uint64_t duration,
                                  uint64_t period) {
    Evt3TestEncoder encoder;
    for (uint64_t t = start; t < start + duration; t += period) {
        for (const Block& b : blocks) {
            for (uint16_t y = b.y; y < b.y + b.height; ++y) {
                for (uint16_t x = b.x; x < b.x + b.width; x += 32) {
                    const unsigned bits = std::min<unsigned>(32, b.x + b.width - x);
                    const uint32_t mask = bits == 32 ? 0xFFFFFFFFu : (1u << bits) - 1;
                    encoder.addVector(y, x, b.polarity, mask, t);
                }
            }
        }
    }
    return encoder.words();
}

// A stream whose last item is a trigger with this id: once the viewer logs it, everything before
// it has gone through the camera loop (and into the recording).
std::vector<uint16_t> endingWithTrigger(std::vector<uint16_t> words, uint64_t time, int16_t id) {
    Evt3TestEncoder tail;
    tail.addTrigger(EventTriggerIn(id, 1, time));
    words.insert(words.end(), tail.words().begin(), tail.words().end());
    return words;
}

std::vector<uint8_t> bytesOf(const std::vector<uint16_t>& words) { return toBytes(words); }

// In a sanitizer build: what the GUI libraries do on their own is not the viewer's fault.
// `name` is a sanitizer's options variable; the suppressions go after any options already given.
std::string withSuppressions(const char* name, const char* file) {
    const char* given = std::getenv(name);
    const std::string options = given != nullptr && *given != '\0' ? std::string(given) + ":" : std::string();
    return std::string(name) + "=" + options + "suppressions=" + file;
}

class LiveViewerTest : public testing::Test {
protected:
    // The blocks every 80 ms: two viewer redraws (40 ms each) show them often enough for the screenshots,
    // and the stream stays light enough that a viewer under a sanitizer on a loaded machine decodes it
    // as it comes. A heavier stream filled its 64 MiB event queue, and each fence then waited behind a
    // minute of queued pattern.
    static constexpr uint64_t PATTERN_PERIOD_US = 80000;
    static constexpr uint64_t PATTERN_DURATION_US = 8000000;

    void SetUp() override {
        if (const std::string why = EthCameraLab::unavailableReason(); !why.empty()) {
            GTEST_SKIP() << why;
        }
        if (const std::string why = VirtualDisplay::unavailableReason(); !why.empty()) {
            GTEST_SKIP() << why;
        }
        display = std::make_unique<VirtualDisplay>();
        lab = std::make_unique<EthCameraLab>();
        ::mkdir(dir.file("xdg").c_str(), 0700);
    }

    void TearDown() override {
        if (viewer && viewer->running()) {
            ADD_FAILURE() << "the viewer still runs; its output:\n" << viewer->output() << viewer->errors();
        }
        viewer.reset();
        lab.reset();
        display.reset();
    }

    void startViewer(std::vector<std::string> args) {
        args.insert(args.begin(), VIEWER_PROGRAM);
        ChildOptions options = programIn(lab->network().ns("host"), args);
        // No session bus here: the window toolkit's accessibility bridge would wait on it for long
        // time-outs, stalling the viewer's loop.
        options.env = {"DISPLAY=" + display->name(), "XDG_RUNTIME_DIR=" + dir.file("xdg"), "QT_QPA_PLATFORM=xcb",
                       "QT_ACCESSIBILITY=0", "QT_LINUX_ACCESSIBILITY_ALWAYS_ON=0", "NO_AT_BRIDGE=1",
                       "DBUS_SESSION_BUS_ADDRESS=unix:path=" + dir.file("no-session-bus"),
                       withSuppressions("LSAN_OPTIONS", VIEWER_LSAN_SUPPRESSIONS),
                       withSuppressions("TSAN_OPTIONS", VIEWER_TSAN_SUPPRESSIONS)};
        options.workDir = dir.path();
        viewer = std::make_unique<ChildProcess>(options);
    }

    bool waitFor(const std::string& text, size_t count = 1) {
        const bool seen = viewer->waitForOutput(text, PROGRAM_TIMEOUT, count);
        if (!seen) {
            ADD_FAILURE() << "the viewer did not print \"" << text << "\" " << count << " time(s); it printed:\n"
                          << viewer->output() << viewer->errors();
        }
        return seen;
    }

    bool press(const std::string& key) { return display->key(display->window(WINDOW_1), key); }

    // On a loaded machine a key now and then never reaches the window: it is pressed again until the
    // viewer answers with `answer` (printed after the press), within the program time-out.
    bool pressUntil(const std::string& key, const std::string& answer) {
        const size_t from = viewer->output().size();
        const auto deadline = std::chrono::steady_clock::now() + PROGRAM_TIMEOUT;
        while (std::chrono::steady_clock::now() < deadline) {
            if (!press(key)) {
                break;
            }
            if (viewer->waitForOutput(answer, KEY_ANSWER_TIMEOUT, 1, from)) {
                return true;
            }
        }
        ADD_FAILURE() << "the viewer did not answer " << key << " with \"" << answer << "\"; it printed:\n"
                      << viewer->output() << viewer->errors();
        return false;
    }

    // q: the viewer stops everything and ends with 0.
    void quit() {
        std::optional<int> code;
        const auto deadline = std::chrono::steady_clock::now() + PROGRAM_TIMEOUT;
        while (!code && std::chrono::steady_clock::now() < deadline) {
            if (!press("q")) {
                code = viewer->waitForExit(KEY_ANSWER_TIMEOUT);
                break;
            }
            code = viewer->waitForExit(KEY_ANSWER_TIMEOUT);
        }
        EXPECT_EQ(code, 0) << viewer->output() << viewer->errors();
    }

    // Streams blocks on the camera, about in real time, again and again.
    static void streamBlocks(EthCameraSim& camera, const std::vector<Block>& blocks) {
        const auto words = blockStream(blocks, 1000, PATTERN_DURATION_US, PATTERN_PERIOD_US);
        camera.setRecordDelivery(false);
        camera.setStreamRate(static_cast<double>(words.size() * 2) * 1e6 / PATTERN_DURATION_US);
        camera.setStreamWords(words, true);
    }

    // Stops the camera's stream and waits until the viewer has drawn everything it sent.
    void drain(EthCameraSim& camera, int slot, int16_t fenceId, uint64_t time) {
        camera.setStreamRate(0);
        camera.setStreamWords(endingWithTrigger({}, time, fenceId));
        waitFor("Camera " + std::to_string(slot) + " trigger info: id: " + std::to_string(fenceId) + ",");
    }

    TempDir dir;
    std::unique_ptr<VirtualDisplay> display;
    std::unique_ptr<EthCameraLab> lab;
    std::unique_ptr<ChildProcess> viewer;
};

} // namespace

TEST_F(LiveViewerTest, TwoCamerasAreShownSideBySideRecordedWithSpaceAndClosedWithQ) {
    EthCameraSim& first = lab->addCamera("QNVIEW0001");
    EthCameraSim& second = lab->addCamera("QNVIEW0002");
    // Camera 1: on events left, off events right; camera 2 the other way round.
    streamBlocks(first, {{100, 200, 200, 200, 1}, {900, 200, 200, 200, 0}});
    streamBlocks(second, {{900, 200, 200, 200, 1}, {100, 200, 200, 200, 0}});
    startViewer({"--output", dir.file("rec.raw")});
    ASSERT_TRUE(waitFor("Camera 1 open success, serial: QNVIEW0001."));
    ASSERT_TRUE(waitFor("Camera 2 open success, serial: QNVIEW0002."));
    const std::string start = viewer->output();
    EXPECT_EQ(start.rfind("Camera selection: first two discovered Ethernet cameras.\n"
                          "Press Space to start/stop recording. Press q or Escape to quit.\n",
                          0),
              0u);
    EXPECT_THAT(start, HasSubstr("Camera found: Quelnor : QNVIEW0001, camera IP: 192.0.2.11, local IP: 192.0.2.1\n"));
    EXPECT_THAT(start, HasSubstr("Camera found: Quelnor : QNVIEW0002, camera IP: 192.0.2.12, local IP: 192.0.2.1\n"));
    EXPECT_THAT(start, Not(HasSubstr("Waiting for two Ethernet cameras")));

    // Each window shows its own camera's events, in the viewer's colours, with the statistics text.
    display->move(display->window(WINDOW_1), 0, 0);
    display->move(display->window(WINDOW_2), SECOND_WINDOW_X, 0);
    // The viewer shows what arrived since its last redraw, so one screenshot may catch a window
    // between two blocks of events: each window has to show its camera in one of the screenshots.
    bool shown1 = false;
    bool shown2 = false;
    for (int attempt = 0; attempt < SCREENSHOT_ATTEMPTS && !(shown1 && shown2); ++attempt) {
        const Image screen = display->screenshot(dir);
        ASSERT_EQ(screen.width, SCREEN_WIDTH);
        const ColourArea on1 = area(screen, ON_COLOUR, 0, SECOND_WINDOW_X);
        const ColourArea off1 = area(screen, OFF_COLOUR, 0, SECOND_WINDOW_X);
        const ColourArea on2 = area(screen, ON_COLOUR, SECOND_WINDOW_X, SCREEN_WIDTH);
        const ColourArea off2 = area(screen, OFF_COLOUR, SECOND_WINDOW_X, SCREEN_WIDTH);
        constexpr size_t SOLID = 5000; // most of a 200 x 200 block, also when the image is scaled down
        shown1 = shown1 || (on1.count > SOLID && off1.count > SOLID && on1.meanX < off1.meanX &&
                            greenTextPixels(screen, 0, SECOND_WINDOW_X) > 0);
        shown2 = shown2 || (on2.count > SOLID && off2.count > SOLID && on2.meanX > off2.meanX &&
                            greenTextPixels(screen, SECOND_WINDOW_X, SCREEN_WIDTH) > 0);
    }
    const bool shown = shown1 && shown2;
    EXPECT_TRUE(shown) << "blocks and statistics seen in a screenshot: camera 1 " << shown1 << ", camera 2 "
                       << shown2;

    // Recording: the cameras go quiet, Space starts both recordings, a known stream goes through,
    // Space stops them; each file holds exactly that stream.
    drain(first, 1, 3, 9000000);
    drain(second, 2, 3, 9000000);
    ASSERT_TRUE(pressUntil("space", "Start saving raw file: " + dir.file("rec_cam1.raw") + "\n"));
    ASSERT_TRUE(waitFor("Start saving raw file: " + dir.file("rec_cam2.raw") + "\n"));
    SyntheticOptions synthetic;
    synthetic.startTime = 10000000;
    synthetic.items = 30000;
    synthetic.triggerEvery = 0;
    synthetic.seed = 5;
    const auto known1 = endingWithTrigger(makeSyntheticStream(synthetic).words, 15000000, 5);
    synthetic.seed = 6;
    const auto known2 = endingWithTrigger(makeSyntheticStream(synthetic).words, 15000000, 5);
    first.setStreamWords(known1);
    second.setStreamWords(known2);
    ASSERT_TRUE(waitFor("Camera 1 trigger info: id: 5, p: 1, time: 15000000\n"));
    ASSERT_TRUE(waitFor("Camera 2 trigger info: id: 5, p: 1, time: 15000000\n"));
    ASSERT_TRUE(pressUntil("space", "Stop saving raw file: " + dir.file("rec_cam1.raw") + "\n"));
    ASSERT_TRUE(waitFor("Stop saving raw file: " + dir.file("rec_cam2.raw") + "\n"));
    quit();

    const Evt3RawFile file1 = loadEvt3RawFile(dir.file("rec_cam1.raw"));
    const Evt3RawFile file2 = loadEvt3RawFile(dir.file("rec_cam2.raw"));
    EXPECT_EQ(file1.width, 1280u);
    EXPECT_EQ(file1.height, 720u);
    EXPECT_THAT(file1.header, HasSubstr("QNVIEW0001"));
    EXPECT_THAT(file2.header, HasSubstr("QNVIEW0002"));
    EXPECT_TRUE(file1.data == bytesOf(known1)) << file1.data.size() << " bytes recorded, " << known1.size() * 2
                                               << " sent";
    EXPECT_TRUE(file2.data == bytesOf(known2)) << file2.data.size() << " bytes recorded, " << known2.size() * 2
                                               << " sent";
    // The viewer let go of both cameras.
    EXPECT_FALSE(first.controlTaken());
    EXPECT_FALSE(second.controlTaken());
}

TEST_F(LiveViewerTest, SpaceWithoutCamerasOnlyArmsRecordingAndALoneCameraWaitsForItsPartner) {
    startViewer({"-o", dir.file("alone.raw")});
    ASSERT_TRUE(waitFor("Waiting for two Ethernet cameras (found 0)..."));
    // The flag is up, nothing to record yet, and the viewer says so; the camera that appears records
    // at once.
    ASSERT_TRUE(pressUntil("space", "Recording armed: camera 1 starts recording as soon as it is open.\n"
                                    "Recording armed: camera 2 starts recording as soon as it is open.\n"));
    EthCameraSim& camera = lab->addCamera("QNVIEW0001");
    ASSERT_TRUE(waitFor("Camera 1 open success, serial: QNVIEW0001."));
    ASSERT_TRUE(waitFor("Start saving raw file: " + dir.file("alone_cam1.raw") + "\n"));
    const size_t opened = viewer->output().size();
    ASSERT_TRUE(viewer->waitForOutput("Waiting for two Ethernet cameras (found 1)...", PROGRAM_TIMEOUT, 2, opened));
    const auto known = endingWithTrigger(makeSyntheticStream(SyntheticOptions{}).words, 16000000, 7);
    camera.setStreamWords(known);
    ASSERT_TRUE(waitFor("Camera 1 trigger info: id: 7, p: 1, time: 16000000\n"));
    quit();
    EXPECT_THAT(viewer->output(), Not(HasSubstr("Camera 2 open success")));
    EXPECT_THAT(viewer->output(), Not(HasSubstr("Stop saving raw file")));
    // Quitting stopped the recording: the file is complete.
    EXPECT_TRUE(loadEvt3RawFile(dir.file("alone_cam1.raw")).data == bytesOf(known));
}

TEST_F(LiveViewerTest, ACameraOutsideTheAdaptersSubnetIsNamedEverySecondAndNeverOpened) {
    // A camera configured for another network, on the same wire: it answers discovery by broadcast.
    NetnsLab& network = lab->network();
    network.addHost("far");
    network.connect("far", "eth0", "lan", "198.51.100.12/24");
    EthCameraSimConfig config;
    config.netns = network.ns("far");
    config.ip = "198.51.100.12";
    config.gateway = "198.51.100.1";
    config.serial = "QNFAR0001";
    config.mac = 0x0050C258C1F0ULL;
    EthCameraSim far(config);
    far.start();
    lab->addCamera("QNVIEW0001");

    startViewer({});
    // Serial order: the far camera takes slot 1, the near one slot 2.
    const std::string refused = "Camera 1 is outside the local subnet: camera 198.51.100.12/255.255.255.0, local "
                                "adapter 192.0.2.1. Configure matching subnets before opening.";
    ASSERT_TRUE(waitFor("Camera 2 open success, serial: QNVIEW0001."));
    ASSERT_TRUE(waitFor(refused, 3));
    quit();
    EXPECT_THAT(viewer->output(), Not(HasSubstr("Camera 1 open success")));
    EXPECT_THAT(viewer->output(), Not(HasSubstr("Waiting for two Ethernet cameras")));
    EXPECT_FALSE(far.controlTaken()) << "the far camera was never opened";
    EXPECT_EQ(far.countRequests(0x0082), 0u) << "no register was written on the far camera";
    far.stop();
}

TEST_F(LiveViewerTest, NamedCamerasTakeTheirSlotsAndAMissingOneIsLookedForEverySecond) {
    lab->addCamera("QNVIEW0001");
    lab->addCamera("QNVIEW0002");
    startViewer({"QNVIEW0002", "QNMISSING"});
    ASSERT_TRUE(waitFor("Camera 1 open success, serial: QNVIEW0002."));
    const size_t opened = viewer->output().size();
    ASSERT_TRUE(viewer->waitForOutput("Camera found: Quelnor : QNVIEW0001", PROGRAM_TIMEOUT, 2, opened));
    quit();
    EXPECT_EQ(viewer->output().rfind("Camera selection: serial QNVIEW0002 and QNMISSING.\n", 0), 0u);
    EXPECT_THAT(viewer->output(), Not(HasSubstr("Camera 2 open success")));
    EXPECT_THAT(viewer->output(), Not(HasSubstr("serial: QNVIEW0001.")));
}

// Every recording goes to a file of its own: Space twice more records into a second file, and a
// later run with the same name goes on after the files already there.
TEST_F(LiveViewerTest, EachRecordingGoesToANewFileAndNoneIsOverwritten) {
    EthCameraSim& camera = lab->addCamera("QNVIEW0001");
    startViewer({"-o", dir.file("twice.raw")});
    ASSERT_TRUE(waitFor("Camera 1 open success, serial: QNVIEW0001."));
    SyntheticOptions synthetic;
    synthetic.triggerEvery = 0;
    synthetic.items = 20000;
    std::vector<std::vector<uint16_t>> sent;
    const auto record = [&](const std::string& file, int16_t fence) {
        ASSERT_TRUE(pressUntil("space", "Start saving raw file: " + dir.file(file) + "\n"));
        synthetic.seed = static_cast<uint64_t>(fence);
        // Times go on from one recording to the next, well below the 24-bit wrap of the time words.
        synthetic.startTime = 1000000ULL * static_cast<uint64_t>(fence);
        const uint64_t end = synthetic.startTime + 500000;
        sent.push_back(endingWithTrigger(makeSyntheticStream(synthetic).words, end, fence));
        camera.setStreamWords(sent.back());
        ASSERT_TRUE(waitFor("Camera 1 trigger info: id: " + std::to_string(fence) + ", p: 1, time: " +
                            std::to_string(end) + "\n"));
        ASSERT_TRUE(pressUntil("space", "Stop saving raw file: " + dir.file(file) + "\n"));
    };
    record("twice_cam1.raw", 1);
    record("twice_cam1_2.raw", 2);
    EXPECT_THAT(viewer->output(), HasSubstr("Recording armed: camera 2 starts recording as soon as it is open.\n"));
    EXPECT_THAT(viewer->output(), HasSubstr("Recording disarmed for camera 2.\n"));
    quit();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_TRUE(loadEvt3RawFile(dir.file("twice_cam1.raw")).data == bytesOf(sent[0])) << "the first was kept";
    EXPECT_TRUE(loadEvt3RawFile(dir.file("twice_cam1_2.raw")).data == bytesOf(sent[1]));

    startViewer({"-o", dir.file("twice.raw")});
    ASSERT_TRUE(waitFor("Camera 1 open success, serial: QNVIEW0001."));
    record("twice_cam1_3.raw", 3);
    quit();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_TRUE(loadEvt3RawFile(dir.file("twice_cam1.raw")).data == bytesOf(sent[0]));
    EXPECT_TRUE(loadEvt3RawFile(dir.file("twice_cam1_2.raw")).data == bytesOf(sent[1]));
    EXPECT_TRUE(loadEvt3RawFile(dir.file("twice_cam1_3.raw")).data == bytesOf(sent[2]));
}

// A camera lost while recording: its file is closed, and when it comes back it records on into a
// new file instead of overwriting the first.
TEST_F(LiveViewerTest, ALostCameraIsReopenedAndItsRecordingGoesOnInANewFile) {
    EthCameraSim* camera = &lab->addCamera("QNVIEW0001");
    startViewer({"-o", dir.file("lost.raw")});
    ASSERT_TRUE(waitFor("Camera 1 open success, serial: QNVIEW0001."));
    ASSERT_TRUE(pressUntil("space", "Start saving raw file: " + dir.file("lost_cam1.raw") + "\n"));
    SyntheticOptions synthetic;
    synthetic.triggerEvery = 0;
    synthetic.items = 20000;
    const auto before = endingWithTrigger(makeSyntheticStream(synthetic).words, 14000000, 8);
    camera->setStreamWords(before);
    ASSERT_TRUE(waitFor("Camera 1 trigger info: id: 8, p: 1, time: 14000000\n"));

    lab->removeCamera("QNVIEW0001");
    ASSERT_TRUE(waitFor("Camera 1 disconnected (serial: QNVIEW0001)."));

    camera = &lab->restoreCamera("QNVIEW0001");
    ASSERT_TRUE(waitFor("Camera 1 open success, serial: QNVIEW0001.", 2));
    // The viewer logs the loss before it closes the file; the reopen comes after the close.
    EXPECT_TRUE(loadEvt3RawFile(dir.file("lost_cam1.raw")).data == bytesOf(before)) << "closed at the loss";
    ASSERT_TRUE(waitFor("Start saving raw file: " + dir.file("lost_cam1_2.raw") + "\n"));
    synthetic.seed = 9;
    const auto after = endingWithTrigger(makeSyntheticStream(synthetic).words, 15000000, 9);
    camera->setStreamWords(after);
    ASSERT_TRUE(waitFor("Camera 1 trigger info: id: 9, p: 1, time: 15000000\n"));
    ASSERT_TRUE(pressUntil("space", "Stop saving raw file: " + dir.file("lost_cam1_2.raw") + "\n"));
    quit();
    EXPECT_TRUE(loadEvt3RawFile(dir.file("lost_cam1.raw")).data == bytesOf(before)) << "the first part was kept";
    EXPECT_TRUE(loadEvt3RawFile(dir.file("lost_cam1_2.raw")).data == bytesOf(after));
}
