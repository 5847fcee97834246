#include "sim/win32/SimulatedBus.hpp"

#include <dbt.h>

#include <algorithm>
#include <cstddef>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "device/win32/InterfaceClasses.hpp"
#include "sim/ScenarioUnit.hpp"

namespace tavik::sim {

namespace {

using Clock = std::chrono::steady_clock;

// Set while this thread is inside a transfer of the unit; a removal that the transfer caused is
// recorded here so that the transfer returns only once the program has been told of it.
thread_local bool insideTransfer = false;
thread_local std::uint64_t removalCausedHere = 0;

// An open unit, as a WinUSB interface handle.
struct SimulatedHandle {
    std::shared_ptr<UsbTransport> transport;
};

// A further unit's requests and image, to its own files; it stays on the bus for good.
class FurtherObserver final : public UnitObserver {
  public:
    FurtherObserver(WireLog& wireLog, std::wstring imageFile)
        : wireLog_(wireLog), imageFile_(std::move(imageFile)) {}
    void requestEnded(const WireRequest& request) override { wireLog_.request(request); }
    void imageStored(const std::vector<std::uint8_t>& image) override;
    void leftBus(Departure why) override { wireLog_.departure(why); }

  private:
    WireLog& wireLog_;  // the bus's, which is never destroyed
    std::wstring imageFile_;
};

// Forwards the unit's events to the bus; the bus outlives it (it is never destroyed).
class BusObserver final : public UnitObserver {
  public:
    explicit BusObserver(SimulatedBus& bus) : bus_(bus) {}
    void requestEnded(const WireRequest& request) override { bus_.logRequest(request); }
    void imageStored(const std::vector<std::uint8_t>& image) override { bus_.storeImage(image); }
    void leftBus(Departure why) override { bus_.unitLeft(why); }

  private:
    SimulatedBus& bus_;
};

std::wstring widen(std::string_view text) {
    return {text.begin(), text.end()};
}

std::string narrow(std::wstring_view text) {
    std::string out;
    for (wchar_t c : text) {
        out.push_back(c < 128 ? static_cast<char>(c) : '?');
    }
    return out;
}

std::wstring environment(const wchar_t* name) {
    wchar_t value[1024] = {};
    const DWORD length = GetEnvironmentVariableW(name, value, 1024);
    return length > 0 && length < 1024 ? std::wstring(value, length) : std::wstring();
}

bool readFile(const std::wstring& path, std::vector<std::uint8_t>& bytes) {
    std::FILE* file = _wfopen(path.c_str(), L"rb");
    if (file == nullptr) {
        return false;
    }
    std::uint8_t chunk[65536];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, file)) > 0;) {
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
    std::fclose(file);
    return true;
}

void writeFile(const std::wstring& path, const std::vector<std::uint8_t>& bytes) {
    if (std::FILE* file = _wfopen(path.c_str(), L"wb")) {
        std::fwrite(bytes.data(), 1, bytes.size(), file);
        std::fclose(file);
    }
}

void FurtherObserver::imageStored(const std::vector<std::uint8_t>& image) {
    writeFile(imageFile_, image);
}

// A serial as part of a file name: anything but letters and digits becomes '_'.
std::wstring fileNamePart(const std::u16string& text) {
    std::wstring out;
    for (char16_t c : text) {
        const bool plain =
            (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
        out.push_back(plain ? static_cast<wchar_t>(c) : L'_');
    }
    return out;
}

std::wstring guidText(const GUID& g) {
    wchar_t text[40];
    swprintf(text, 40, L"{%08lx-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
             static_cast<unsigned long>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1],
             g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

// The top-level windows of this process: Windows sends interface notifications to the windows
// that registered for them, and the program registers its main window.
std::vector<HWND> windowsOfThisProcess() {
    std::vector<HWND> found;
    EnumWindows(
        [](HWND window, LPARAM list) -> BOOL {
            DWORD process = 0;
            GetWindowThreadProcessId(window, &process);
            if (process == GetCurrentProcessId()) {
                reinterpret_cast<std::vector<HWND>*>(list)->push_back(window);
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&found));
    return found;
}

bool threadOwnsAWindow() {
    bool owns = false;
    EnumThreadWindows(
        GetCurrentThreadId(),
        [](HWND, LPARAM flag) -> BOOL {
            *reinterpret_cast<bool*>(flag) = true;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&owns));
    return owns;
}

// A file's volume serial number and index: what tells the further units' path files apart.
std::uint64_t fileIdOf(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file, &info)) {
        return 0;
    }
    return (static_cast<std::uint64_t>(info.dwVolumeSerialNumber) << 48) ^
           (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) ^ info.nFileIndexLow;
}

std::wstring pathName(const UnitConfig& config, const GUID& interfaceClass) {
    wchar_t ids[32];
    swprintf(ids, 32, L"usb#vid_%04x&pid_%04x#", config.vendorId, config.productId);
    return ids + fileNamePart(config.serial) + L"#" + guidText(interfaceClass);
}

SimulatedHandle* toHandle(WINUSB_INTERFACE_HANDLE handle) {
    return static_cast<SimulatedHandle*>(handle);
}

// A transfer's end as WinUSB tells it: TRUE, or FALSE with the last error that WinUSB leaves
// for the cause, which the program's adapter reads back as the same status (Win32Error.hpp).
// Set last, after anything else the DLL calls.
BOOL ended(const DeviceResult& result) {
    switch (result.status) {
        case DeviceStatus::done:
            return TRUE;
        case DeviceStatus::stalled:
            SetLastError(ERROR_GEN_FAILURE);
            break;
        case DeviceStatus::gone:
            SetLastError(ERROR_DEVICE_NOT_CONNECTED);
            break;
        case DeviceStatus::timedOut:
            SetLastError(ERROR_SEM_TIMEOUT);
            break;
        default:  // the unit's transfers fail in no other way than on the bus (other)
            SetLastError(ERROR_IO_DEVICE);
            break;
    }
    return FALSE;
}

}  // namespace

// --- Set-up ------------------------------------------------------------------------------------

SimulatedBus& SimulatedBus::instance() {
    static SimulatedBus* const bus = [] {
        auto* created = new SimulatedBus();
        created->setUp();
        return created;
    }();
    return *bus;
}

SimulatedBus::SimulatedBus() : start_(Clock::now()) {}

void SimulatedBus::fail(const std::string& why) {
    const std::string line = "simulated unit: " + why + "\n";
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
    writeFile(folder_ + L"\\sim-error.txt", {line.begin(), line.end()});
    unit_.reset();
}

void SimulatedBus::setUp() {
    const std::wstring scenarioPath = environment(L"TAVIK_SIM_SCENARIO");
    if (scenarioPath.empty()) {
        return;
    }
    folder_ = scenarioPath.substr(0, scenarioPath.find_last_of(L"\\/"));
    std::vector<std::uint8_t> text;
    if (!readFile(scenarioPath, text)) {
        fail("cannot read " + narrow(scenarioPath));
        return;
    }
    UnitScenarioParse parse =
        parseUnitScenario({reinterpret_cast<const char*>(text.data()), text.size()});
    if (!parse.error.empty()) {
        fail(parse.error);
        return;
    }
    scenario_ = std::move(parse.scenario);
    const std::vector<UnitScenario> others = std::move(parse.others);

    ScenarioUnit made = makeScenarioUnit(
        scenario_, [this](const std::string& name, std::vector<std::uint8_t>& bytes) {
            return readFile(folder_ + L"\\" + widen(name), bytes);
        });
    if (!made.unit) {
        fail(made.error);
        return;
    }
    unit_ = std::move(made.unit);
    const UnitConfig& config = scenario_.unit;
    const std::vector<std::uint8_t> startImage = unit_->image();

    interfaceClass_ = scenario_.interfaceClass == UnitScenario::Interface::primary
                          ? primaryInterfaceGuid
                          : secondaryInterfaceGuid;
    const std::wstring name = pathName(config, interfaceClass_);
    path_ = L"\\\\?\\" + folder_ + L"\\" + name;
    switch (scenario_.path) {
        case UnitScenario::PathKind::file:
            writeFile(folder_ + L"\\" + name, {});
            break;
        case UnitScenario::PathKind::directory:
            CreateDirectoryW((folder_ + L"\\" + name).c_str(), nullptr);
            break;
        case UnitScenario::PathKind::missing:
            break;
    }

    wireLog_.open(_wfopen((folder_ + L"\\wire.log").c_str(), L"wb"));
    writeFile(folder_ + L"\\unit-image-start.bin", startImage);
    storeImage(startImage);
    unit_->setObserver(std::make_shared<BusObserver>(*this));

    for (std::size_t i = 0; i < others.size(); ++i) {
        setUpFurther(others[i], i + 2);
    }

    for (const UnitScenario::TimedEvent& event : scenario_.events) {
        const bool arrival = event.kind == UnitScenario::EventKind::arrive;
        const WPARAM notice = arrival ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE;
        queue({notice, start_ + event.at, arrival, !arrival});
    }
    std::thread([this] { runNotices(); }).detach();
}

// Unit NUMBER (from 2) of a scenario with several.
void SimulatedBus::setUpFurther(const UnitScenario& scenario, std::size_t number) {
    ScenarioUnit made = makeScenarioUnit(
        scenario, [this](const std::string& name, std::vector<std::uint8_t>& bytes) {
            return readFile(folder_ + L"\\" + widen(name), bytes);
        });
    if (!made.unit) {
        fail(made.error);
        return;
    }
    const std::wstring suffix = L"-" + std::to_wstring(number);
    Further further;
    further.unit = std::move(made.unit);
    further.interfaceClass = scenario.interfaceClass == UnitScenario::Interface::primary
                                 ? primaryInterfaceGuid
                                 : secondaryInterfaceGuid;
    const std::wstring name = pathName(scenario.unit, further.interfaceClass);
    further.path = L"\\\\?\\" + folder_ + L"\\" + name;
    writeFile(folder_ + L"\\" + name, {});
    const HANDLE file = CreateFileW((folder_ + L"\\" + name).c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        further.fileId = fileIdOf(file);
        CloseHandle(file);
    }
    further.wireLog = std::make_unique<WireLog>();
    further.wireLog->open(_wfopen((folder_ + L"\\wire" + suffix + L".log").c_str(), L"wb"));
    writeFile(folder_ + L"\\unit-image-start" + suffix + L".bin", further.unit->image());
    writeFile(folder_ + L"\\unit-image" + suffix + L".bin", further.unit->image());
    further.unit->setObserver(std::make_shared<FurtherObserver>(
        *further.wireLog, folder_ + L"\\unit-image" + suffix + L".bin"));
    further_.push_back(std::move(further));
}

// --- Configuration manager ---------------------------------------------------------------------

std::wstring SimulatedBus::listText(const GUID* interfaceClass) const {
    std::wstring list;
    if (listed(interfaceClass)) {
        list = path_ + L'\0';
    }
    for (const Further& further : further_) {
        if (further.unit->present() && interfaceClass != nullptr &&
            IsEqualGUID(*interfaceClass, further.interfaceClass)) {
            list += further.path + L'\0';
        }
    }
    return list + L'\0';
}

bool SimulatedBus::listed(const GUID* interfaceClass) const {
    return unit_ && unit_->present() && interfaceClass != nullptr &&
           IsEqualGUID(*interfaceClass, interfaceClass_);
}

CONFIGRET SimulatedBus::interfaceListSize(const GUID* interfaceClass, ULONG* length) {
    if (length == nullptr) {
        return CR_INVALID_POINTER;
    }
    if (scenario_.listError) {
        return *scenario_.listError;
    }
    // A multi-string: each path and its terminator, then the empty string that ends the list.
    *length = static_cast<ULONG>(listText(interfaceClass).size());
    return CR_SUCCESS;
}

CONFIGRET SimulatedBus::interfaceList(const GUID* interfaceClass, WCHAR* buffer, ULONG length) {
    if (buffer == nullptr) {
        return CR_INVALID_POINTER;
    }
    if (scenario_.listError) {
        return *scenario_.listError;
    }
    const std::wstring list = listText(interfaceClass);
    if (length < list.size()) {
        return CR_BUFFER_SMALL;  // the unit arrived since the size was taken
    }
    std::copy(list.begin(), list.end(), buffer);
    return CR_SUCCESS;
}

// --- WinUSB ------------------------------------------------------------------------------------

BOOL SimulatedBus::initialize(HANDLE file, WINUSB_INTERFACE_HANDLE* handle) {
    if (handle == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (file == nullptr || file == INVALID_HANDLE_VALUE || GetFileType(file) != FILE_TYPE_DISK) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::shared_ptr<SimulatedUnit> unit = unit_;
    const std::uint64_t fileId = further_.empty() ? 0 : fileIdOf(file);
    for (const Further& further : further_) {
        if (further.fileId != 0 && further.fileId == fileId) {
            unit = further.unit;
        }
    }
    if (unit && unit->present() && !unit->openRefusal().ok()) {
        SetLastError(ERROR_BUSY);  // just arrived: the system still holds its interface
        return FALSE;
    }
    std::shared_ptr<UsbTransport> transport = unit ? unit->open() : nullptr;
    if (!transport) {
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return FALSE;
    }
    *handle = new SimulatedHandle{std::move(transport)};
    return TRUE;
}

BOOL SimulatedBus::free(WINUSB_INTERFACE_HANDLE handle) {
    if (handle == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    delete toHandle(handle);
    return TRUE;
}

BOOL SimulatedBus::getDescriptor(WINUSB_INTERFACE_HANDLE handle, UCHAR type, UCHAR index,
                                 USHORT languageId, UCHAR* buffer, ULONG length,
                                 ULONG* transferred) {
    if (handle == nullptr || transferred == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::uint32_t count = 0;
    insideTransfer = true;
    const DeviceResult result =
        toHandle(handle)->transport->getDescriptor(type, index, languageId, buffer, length, count);
    insideTransfer = false;
    *transferred = count;
    afterTransfer();
    return ended(result);
}

BOOL SimulatedBus::controlTransfer(WINUSB_INTERFACE_HANDLE handle, const WINUSB_SETUP_PACKET& setup,
                                   UCHAR* buffer, ULONG length, ULONG* transferred) {
    if (handle == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    const SetupPacket packet{.requestType = setup.RequestType,
                             .request = setup.Request,
                             .value = setup.Value,
                             .index = setup.Index,
                             .length = setup.Length};
    std::uint32_t count = 0;
    insideTransfer = true;
    const DeviceResult result =
        toHandle(handle)->transport->controlTransfer(packet, buffer, length, count);
    insideTransfer = false;
    if (transferred != nullptr) {
        *transferred = count;
    }
    afterTransfer();
    return ended(result);
}

// A unit unplugged during a request's transfer: Windows tells the program's window of the
// removal while the request fails or completes, and a test must not depend on which of the two
// messages the window happens to see first. So a worker's transfer returns only once the
// removal has been delivered. The window's own thread (identification is synchronous) cannot
// wait for a message to itself; its transfer returns at once and the notice follows.
void SimulatedBus::afterTransfer() {
    const std::uint64_t removal = std::exchange(removalCausedHere, 0);
    if (removal == 0 || threadOwnsAWindow()) {
        return;
    }
    std::unique_lock lock(noticeMutex_);
    noticesChanged_.wait_for(lock, std::chrono::seconds(10), [&] { return delivered_ >= removal; });
}

// --- Notices -----------------------------------------------------------------------------------

void SimulatedBus::queue(Notice notice) {
    std::lock_guard lock(noticeMutex_);
    notices_.push_back(notice);
    noticesChanged_.notify_all();
}

void SimulatedBus::unitLeft(Departure why) {
    const bool restart = why == Departure::restarted;
    wireLog_.departure(why);
    // A unit that restarts acknowledges the request first; the host hears of it a little later.
    const auto due =
        Clock::now() + (restart ? scenario_.restartNotice : std::chrono::milliseconds(0));
    std::lock_guard lock(noticeMutex_);
    notices_.push_back({DBT_DEVICEREMOVECOMPLETE, due, false, false});
    const std::uint64_t ticket = ++queued_;
    if (insideTransfer && !restart) {
        removalCausedHere = ticket;
    }
    noticesChanged_.notify_all();
}

// Runs the arrivals and unplugs of the scenario's timeline, and sends every notice, in the
// order they fall due. Announcements are counted in the order they were queued; a restart's
// delayed removal is never waited for, so the count only tells waiters about unplugs.
void SimulatedBus::runNotices() {
    std::unique_lock lock(noticeMutex_);
    for (;;) {
        if (notices_.empty()) {
            noticesChanged_.wait(lock);
            continue;
        }
        const auto next =
            std::min_element(notices_.begin(), notices_.end(),
                             [](const Notice& a, const Notice& b) { return a.due < b.due; });
        if (Clock::now() < next->due) {
            noticesChanged_.wait_until(lock, next->due);
            continue;
        }
        const Notice notice = *next;
        notices_.erase(next);
        lock.unlock();
        if (notice.unplug) {
            unit_->detach();  // its observer queues the removal notice
        } else {
            if (notice.arrival) {
                unit_->attach();
            }
            announce(notice.event);
        }
        lock.lock();
        if (!notice.unplug && !notice.arrival) {
            ++delivered_;
            noticesChanged_.notify_all();
        }
    }
}

// Sends WM_DEVICECHANGE as Windows does for a device interface of the registered class: the
// broadcast structure stays valid for the whole call, and the sender waits for the answer.
void SimulatedBus::announce(WPARAM event) {
    std::vector<HWND> windows;
    while ((windows = windowsOfThisProcess()).empty()) {
        Sleep(20);  // the program has not created its window yet
    }
    std::vector<std::byte> storage(offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) +
                                   (path_.size() + 1) * sizeof(wchar_t));
    auto* broadcast = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(storage.data());
    broadcast->dbcc_size = static_cast<DWORD>(storage.size());
    broadcast->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    broadcast->dbcc_reserved = 0;
    broadcast->dbcc_classguid = interfaceClass_;
    std::copy(path_.begin(), path_.end(), broadcast->dbcc_name);
    broadcast->dbcc_name[path_.size()] = L'\0';
    for (HWND window : windows) {
        DWORD_PTR result = 0;
        SendMessageTimeoutW(window, WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(broadcast),
                            SMTO_NORMAL, 10000, &result);
    }
    wireLog_.announcement(event == DBT_DEVICEARRIVAL);
}

// --- Outputs -----------------------------------------------------------------------------------

void SimulatedBus::logRequest(const WireRequest& request) {
    wireLog_.request(request);
}

void SimulatedBus::storeImage(const std::vector<std::uint8_t>& image) {
    writeFile(folder_ + L"\\unit-image.bin", image);
}

}  // namespace tavik::sim
