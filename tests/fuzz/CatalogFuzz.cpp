// Fuzz target: the catalogue's choice of image and the display version over arbitrary serial and
// version texts, and the window's offer made from them.
//
// Input: three texts separated by 0xFF bytes (absent ones are empty): product, serial, version.
// The build text is what follows the version's first "+", as the engine hands it to the window.
// Oracle: the serial rules choose the entry; the build conversion agrees with the C library's
// strtoll; a display version is "2.XX" or the one of the entry's ranges holding the build; the
// window shows one of its own messages and a status line without a NUL.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>
#include <string_view>

#include "firmware/FirmwareCatalog.hpp"
#include "fuzz/Invariant.hpp"
#include "support/RecordingView.hpp"
#include "ui/UpdaterWindow.hpp"

namespace tavik::fuzz {
namespace {

// parseBuildNumber against strtoll, which reads a C string: the text up to its first NUL, which
// parseBuildNumber also stops at (a NUL is neither white space, sign nor digit).
void checkBuildNumber(std::string_view build) {
    const std::string text(build.substr(0, build.find('\0')));
    errno = 0;
    char* end = nullptr;
    const long long reference = std::strtoll(text.c_str(), &end, 10);
    const bool digits = std::any_of(text.c_str(), static_cast<const char*>(end),
                                    [](char c) { return c >= '0' && c <= '9'; });
    const bool fits = digits && errno != ERANGE &&
                      reference >= std::numeric_limits<std::int32_t>::min() &&
                      reference <= std::numeric_limits<std::int32_t>::max();
    std::int32_t value = 0;
    require(parseBuildNumber(build, value) == fits, "a build number parses as strtoll's does");
    require(!fits || value == reference, "a build number has strtoll's value");
}

void checkDisplayVersion(const FirmwareEntry& entry, std::string_view build) {
    const std::string display = currentDisplayVersion(entry, build);
    if (display == unknownDisplayVersion) {
        return;
    }
    std::int32_t number = 0;
    require(parseBuildNumber(build, number), "a display version comes from a build number");
    require(std::any_of(entry.buildDisplays.begin(), entry.buildDisplays.end(),
                        [&](const BuildDisplay& r) {
                            return r.display == display && number >= r.firstBuild &&
                                   number <= r.lastBuild;
                        }),
            "a display version is that of the range holding the build");
}

// The engine as the window sees it, answering with the fuzzed texts.
class TextClient final : public UpdaterWindow::Client {
  public:
    TextClient(std::string_view product, std::string_view serial, std::string_view version)
        : product_(product), serial_(serial), version_(version) {}

    void connectDevice() override {}
    void disconnectDevice() override {}
    void getDeviceInfo(std::string& product, std::string& serial, std::string& version,
                       std::string& build) override {
        product = product_;
        serial = serial_;
        version = version_;
        const std::size_t plus = version_.find('+');
        build = plus == std::string::npos ? std::string() : version_.substr(plus + 1);
    }
    void setFirmwareImage(const std::uint8_t* data, std::uint64_t size) override {
        imageSet = data != nullptr && size > 0;
    }
    void startUpdate() override {}
    void onTransferComplete(bool, std::uint64_t) override {}
    std::uint64_t getBlockCount() override { return 0; }
    std::uint64_t getBlockNumber() override { return 0; }

    bool imageSet = false;

  private:
    std::string product_, serial_, version_;
};

void checkWindow(std::string_view product, std::string_view serial, std::string_view version) {
    test::RecordingView view;
    UpdaterWindow window(view);
    TextClient client(product, serial, version);
    window.setClient(&client);
    window.onCreate(482);
    window.onDeviceConnected();

    const std::string& message = window.messageText();
    const bool offer = message.starts_with("Update to 2.0") && message.size() == 14;
    require(message == "Your device is already up-to-date." ||
                message == "Error Identifying Device" || message == "Up to date!" || offer,
            "the window shows one of its own messages");
    require(client.imageSet == (message == "Up to date!" || offer),
            "an image is set exactly when the unit is offered one");
    require(window.statusText().starts_with("Device Connected: ") &&
                window.statusText().find('\0') == std::string::npos,
            "the status line names the unit, up to the first NUL");
    require(view.callsOnDestroyedControls == 0, "no call on a destroyed control");
}

}  // namespace
}  // namespace tavik::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tavik;
    std::string_view rest(reinterpret_cast<const char*>(data), size), texts[3];
    for (std::string_view& text : texts) {
        const std::size_t end = std::min(rest.find('\xFF'), rest.size());
        text = rest.substr(0, end);
        rest.remove_prefix(std::min(end + 1, rest.size()));
    }
    const std::string_view product = texts[0], serial = texts[1], version = texts[2];
    const std::size_t plus = version.find('+');
    const std::string_view build = plus == std::string_view::npos ? "" : version.substr(plus + 1);

    const FirmwareEntry& chosen = selectFirmwareEntry(serial);
    const std::size_t expected = serial.size() > 1 && serial[1] == '6'   ? 0
                                 : serial.size() > 2 && serial[2] == 'A' ? 1
                                                                         : 2;
    fuzz::require(&chosen == &firmwareCatalog[expected], "the serial rules choose the entry");

    fuzz::checkBuildNumber(build);
    fuzz::checkBuildNumber(version);
    for (const FirmwareEntry& entry : firmwareCatalog) {
        fuzz::checkDisplayVersion(entry, build);
    }
    fuzz::checkWindow(product, serial, version);
    return 0;
}
