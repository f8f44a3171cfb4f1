// quelnor_ethsim: one simulated Ethernet camera as a program, to run inside a network namespace:
//   ip netns exec <ns> quelnor_ethsim --ip 192.0.2.11 --serial CAM1 [options]
// Prints "READY <ip> <stream port>" once it answers, then one line per request received.
// Ends on SIGTERM or SIGINT.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "ethsim/DemoScene.h"
#include "ethsim/EthCameraSim.h"

namespace {

void usage() {
    std::fprintf(stderr, "usage: quelnor_ethsim [--ip A] [--mask M] [--gateway G] [--bind A] [--mac HEX] [--serial S]\n"
                         "                      [--model S] [--manufacturer S] [--version S] [--unicast-discovery]\n"
                         "                      [--stream-file RAW] [--loop] [--rate BYTES_PER_S] [--payload N]\n"
                         "                      [--scene N] [--apply-force-ip DEV] [--control-loss P] [--loss-seed N]\n"
                         "  --scene N             stream a moving scene (variant N) for ever, in real time\n"
                         "  --apply-force-ip DEV  on force IP also move DEV of this namespace to the new address\n"
                         "  --control-loss P      drop a share P (0..1) of control requests and of replies\n");
}

int prefixLength(const std::string& mask) {
    unsigned a, b, c, d;
    if (std::sscanf(mask.c_str(), "%u.%u.%u.%u", &a, &b, &c, &d) != 4) {
        return 24;
    }
    const unsigned long bits = (a << 24) | (b << 16) | (c << 8) | d;
    return __builtin_popcountl(bits);
}

} // namespace

int main(int argc, char** argv) {
    quelnor::test::EthCameraSimConfig config;
    config.bindIp = "0.0.0.0";
    std::string streamFile;
    bool loop = false;
    double rate = 0;
    size_t payload = quelnor::test::EthCameraSim::DEFAULT_PAYLOAD_SIZE;
    std::string forceIpDevice;
    int scene = -1;
    quelnor::test::ControlLoss controlLoss;

    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                usage();
                std::exit(2);
            }
            return argv[++i];
        };
        if (arg == "--ip") {
            config.ip = value();
        } else if (arg == "--mask") {
            config.mask = value();
        } else if (arg == "--gateway") {
            config.gateway = value();
        } else if (arg == "--bind") {
            config.bindIp = value();
        } else if (arg == "--mac") {
            config.mac = std::strtoull(value().c_str(), nullptr, 16);
        } else if (arg == "--serial") {
            config.serial = value();
        } else if (arg == "--model") {
            config.model = value();
        } else if (arg == "--manufacturer") {
            config.manufacturer = value();
        } else if (arg == "--version") {
            config.deviceVersion = value();
        } else if (arg == "--unicast-discovery") {
            config.broadcastDiscoveryAck = false;
        } else if (arg == "--stream-file") {
            streamFile = value();
        } else if (arg == "--loop") {
            loop = true;
        } else if (arg == "--rate") {
            rate = std::strtod(value().c_str(), nullptr);
        } else if (arg == "--payload") {
            payload = std::strtoul(value().c_str(), nullptr, 10);
        } else if (arg == "--scene") {
            scene = std::atoi(value().c_str());
        } else if (arg == "--control-loss") {
            controlLoss.requestShare = controlLoss.replyShare = std::strtod(value().c_str(), nullptr);
        } else if (arg == "--loss-seed") {
            controlLoss.seed = std::strtoull(value().c_str(), nullptr, 10);
        } else if (arg == "--apply-force-ip") {
            forceIpDevice = value();
        } else {
            usage();
            return 2;
        }
    }

    // Block the stop signals before any thread starts, then wait for one of them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    try {
        quelnor::test::EthCameraSim camera(config);
        if (!streamFile.empty()) {
            camera.setStreamFile(streamFile, loop);
        }
        if (scene >= 0) {
            const auto words = quelnor::test::makeDemoScene(1280, 720, scene);
            camera.setRecordDelivery(false);
            camera.setStreamWords(words, true);
            if (rate == 0) {
                // Event time passes as fast as wall-clock time.
                rate = static_cast<double>(words.size() * 2) * 1e6 / quelnor::test::DEMO_SCENE_DURATION_US;
            }
        }
        camera.setStreamRate(rate);
        camera.setControlLoss(controlLoss);
        camera.setPayloadSize(payload);
        camera.setLogSink([](const quelnor::test::SimLogEntry& entry) {
            std::cout << entry.text << " from " << entry.from << std::endl;
        });
        if (!forceIpDevice.empty()) {
            camera.setForceIpHook([forceIpDevice](const std::string& ip, const std::string& mask, const std::string&) {
                const std::string cidr = ip + "/" + std::to_string(prefixLength(mask));
                const std::string command = "ip addr flush dev " + forceIpDevice + " && ip addr add " + cidr +
                                            " broadcast + dev " + forceIpDevice +
                                            " && ip route replace 255.255.255.255/32 dev " + forceIpDevice;
                if (std::system(command.c_str()) != 0) {
                    std::cerr << "could not apply " << cidr << " to " << forceIpDevice << std::endl;
                }
            });
        }
        camera.start();
        std::cout << "READY " << config.ip << " " << camera.streamSourcePort() << std::endl;
        int signal = 0;
        sigwait(&stopSignals, &signal);
        camera.stop();
    } catch (const std::exception& e) {
        std::cerr << "quelnor_ethsim: " << e.what() << std::endl;
        return 1;
    }
    return 0;
}
