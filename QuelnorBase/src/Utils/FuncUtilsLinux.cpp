// Linux layer of the helpers: code-set conversion through iconv and USB restart through sysfs.
#include "QuelnorBase/Utils/FuncUtils.h"

#include <fcntl.h>
#include <iconv.h>
#include <langinfo.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "QuelnorBase/Logger.h"

namespace quelnor {

namespace {

constexpr const char* WIDE_CODE_SET = "WCHAR_T";
constexpr const char* UTF8_CODE_SET = "UTF-8";
constexpr const char* DEFAULT_SYSFS_ROOT = "/sys";
constexpr auto USB_RESTART_PAUSE = std::chrono::milliseconds(100);

// The C and POSIX locales name ASCII; bytes pass through unchanged there, as Linux paths are bytes.
bool localeIsIdentity() {
    const std::string codeSet = nl_langinfo(CODESET);
    return codeSet == "UTF-8" || codeSet == "utf8" || codeSet == "ANSI_X3.4-1968" || codeSet == "ASCII";
}

// Converts all of text from one code set to another; false when iconv refuses any of it.
bool convertCodeSet(const std::string& text, const char* from, const char* to, std::string& result) {
    result.clear();
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        return false;
    }
    std::string input = text;
    char* in = input.data();
    size_t inLeft = input.size();
    std::string output(input.size() * 4 + 16, '\0');
    size_t used = 0;
    bool ok = true;
    bool flushed = false;
    while (!flushed) {
        char* out = output.data() + used;
        size_t outLeft = output.size() - used;
        const bool flushing = inLeft == 0;
        // The last call, without input, writes what a stateful code set still owes.
        const size_t rc = flushing ? iconv(cd, nullptr, nullptr, &out, &outLeft)
                                   : iconv(cd, &in, &inLeft, &out, &outLeft);
        used = output.size() - outLeft;
        if (rc == static_cast<size_t>(-1)) {
            if (errno == E2BIG) {
                output.resize(output.size() * 2);
                continue;
            }
            ok = false; // EILSEQ or EINVAL: not text of the source code set
            break;
        }
        flushed = flushing;
    }
    iconv_close(cd);
    if (ok) {
        output.resize(used);
        result = std::move(output);
    }
    return ok;
}

std::string trim(std::string text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
        text.pop_back();
    }
    return text;
}

bool readHexId(const std::filesystem::path& file, uint16_t& id) {
    std::ifstream in(file);
    std::string text;
    if (!in || !std::getline(in, text)) {
        return false;
    }
    text = trim(text);
    if (text.empty() || text.size() > 4) {
        return false;
    }
    char* end = nullptr;
    const unsigned long value = std::strtoul(text.c_str(), &end, 16);
    if (end == nullptr || *end != '\0') {
        return false;
    }
    id = static_cast<uint16_t>(value);
    return true;
}

// Writes one value to a sysfs attribute; 0 or the errno of the failing step.
long writeAttribute(const std::filesystem::path& file, const char* value) {
    const int fd = ::open(file.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        return errno;
    }
    long error = 0;
    const size_t length = std::char_traits<char>::length(value);
    if (::write(fd, value, length) != static_cast<ssize_t>(length)) {
        error = errno != 0 ? errno : EIO;
    }
    if (::close(fd) != 0 && error == 0) {
        error = errno;
    }
    return error;
}

} // namespace

std::string utf8ToLocal8Bit(const std::string& text) {
    if (text.empty() || localeIsIdentity()) {
        return text;
    }
    std::string wide;
    std::string local;
    if (!convertCodeSet(text, UTF8_CODE_SET, WIDE_CODE_SET, wide) ||
        !convertCodeSet(wide, WIDE_CODE_SET, nl_langinfo(CODESET), local)) {
        return std::string();
    }
    return local;
}

std::string local8bitToUtf8(const std::string& text) {
    if (text.empty() || localeIsIdentity()) {
        return text;
    }
    std::string wide;
    if (!convertCodeSet(text, nl_langinfo(CODESET), WIDE_CODE_SET, wide)) {
        throw std::runtime_error("MultiByteToWideChar failed.");
    }
    std::string utf8;
    if (!convertCodeSet(wide, WIDE_CODE_SET, UTF8_CODE_SET, utf8)) {
        throw std::runtime_error("WideCharToMultiByte failed.");
    }
    return utf8;
}

bool restartUSBDevice(uint16_t vendorId, uint16_t productId) {
    return restartUSBDevice(vendorId, productId, DEFAULT_SYSFS_ROOT);
}

bool restartUSBDevice(uint16_t vendorId, uint16_t productId, const std::string& sysfsRoot) {
    namespace fs = std::filesystem;
    QN_INFO("Restart USB device: %04x:%04x", vendorId, productId);

    const fs::path devicesDir = fs::path(sysfsRoot) / "bus" / "usb" / "devices";
    std::vector<fs::path> devices;
    std::error_code ec;
    for (fs::directory_iterator it(devicesDir, ec), end; !ec && it != end; it.increment(ec)) {
        devices.push_back(it->path());
    }
    if (ec) {
        QN_ERROR("SetupDiGetClassDevs failed");
        return false;
    }
    std::sort(devices.begin(), devices.end());

    for (const fs::path& device : devices) {
        uint16_t vid = 0;
        uint16_t pid = 0;
        // Interfaces and entries without ids are not devices of their own.
        if (!readHexId(device / "idVendor", vid) || !readHexId(device / "idProduct", pid)) {
            continue;
        }
        if (vid != vendorId || pid != productId) {
            continue;
        }
        QN_INFO("Found USB device: %s", device.filename().c_str());
        bool restarted = true;
        const fs::path authorized = device / "authorized";
        if (const long error = writeAttribute(authorized, "0"); error != 0) {
            QN_ERROR("Disable USB device error: %ld", error);
            restarted = false;
        }
        std::this_thread::sleep_for(USB_RESTART_PAUSE);
        // Enable even after a failed disable, so the device is never left switched off.
        if (const long error = writeAttribute(authorized, "1"); error != 0) {
            QN_ERROR("Enable USB device error: %ld", error);
            restarted = false;
        }
        if (restarted) {
            QN_INFO("Restart USB device success.");
        }
        return restarted;
    }
    return false;
}

} // namespace quelnor
