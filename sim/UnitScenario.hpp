#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/SimulatedUnit.hpp"

namespace tavik::sim {

// What a replacement system DLL presents: one simulated unit, where and when it is on the bus,
// and how it misbehaves. Read from the "[unit]" section of a scenario file (a file may hold
// several, one a unit: see UnitScenarioParse::others); other sections belong to whoever drives
// the program and are skipped.
//
// The section holds one setting per line, `key value...`; blank lines and lines starting with
// '#' are ignored. Numbers are decimal or 0x-prefixed hexadecimal. Keys:
//
//   interface primary|secondary       the device-interface class it is listed under (primary)
//   vendor-id N, product-id N         device descriptor ids (0x07FD, 0x001D)
//   product TEXT, serial TEXT         string descriptors, the rest of the line (Tavik, T1X00001)
//   descriptor-length N               bytes a device-descriptor read delivers (18)
//   image blank                       nothing stored: the read-back ends at once (default)
//   image embedded ID [version TEXT]  the program's own image ID, its version text replaced
//   image file NAME                   a file beside the scenario
//   arrive MS                         absent at start; arrives MS after the program first looks
//   unplug MS                         unplugged MS after the program first looks
//   stall|fail|vanish|leave KIND K    the sim's faults on request K (from 0) of KIND: any,
//                                     device-descriptor, string-descriptor, upload, download,
//                                     status, reboot; counted over the unit's whole life
//   status-reply HEX...               every DFU_GETSTATUS answers these bytes
//   corrupt-block N                   DFU_UPLOAD of block N returns its first byte inverted
//   extra-bytes N                     the read-back carries N bytes beyond the stored image
//   delay-us N                        every transfer takes N microseconds
//   reboot-fails                      REBOOT_TO_APP restarts the unit but its transfer fails
//   not-ready MS open|requests        for MS after it arrives (or after the start, when on the
//                                     bus from the start) it refuses opening (busy), or it opens
//                                     but fails every request
//   restart-ms MS                     the host hears of a restart MS after it (250)
//   path file|directory|missing       what the interface path names: an openable file (default),
//                                     a directory (opening it is denied), or nothing
//   list-error CR                     the configuration manager fails every list query with CR
//   no-access                         on the bus, but this user may not open it (on Linux: the
//                                     permissions of its device node, as without the udev rule)
//
// The Linux host (tests/e2e-linux) ignores interface, path and list-error, which only mean
// something to the Windows configuration manager; there arrive and unplug count from the start
// of the program.
struct UnitScenario {
    enum class Interface { primary, secondary };
    enum class ImageKind { blank, embedded, file };
    enum class PathKind { file, directory, missing };
    enum class EventKind { arrive, unplug };

    struct PlannedFault {
        Fault fault;
        RequestKind kind;
        std::uint64_t k;
    };
    struct TimedEvent {
        EventKind kind;
        std::chrono::milliseconds at;
    };

    Interface interfaceClass = Interface::primary;
    UnitConfig unit;  // everything but the image, which imageKind names
    ImageKind imageKind = ImageKind::blank;
    int embeddedId = 0;
    std::optional<std::string> versionText;
    std::string imageFile;
    bool presentAtStart = true;
    std::vector<TimedEvent> events;
    std::vector<PlannedFault> faults;
    std::optional<std::vector<std::uint8_t>> statusReply;
    std::vector<std::uint16_t> corruptBlocks;
    std::size_t extraBytes = 0;
    std::chrono::microseconds delay{0};
    bool rebootFails = false;
    std::chrono::milliseconds notReadySpan{0};
    NotReady notReady = NotReady::refusesOpen;
    std::chrono::milliseconds restartNotice{250};
    PathKind path = PathKind::file;
    std::optional<std::uint32_t> listError;
    bool noAccess = false;
};

struct UnitScenarioParse {
    UnitScenario scenario;
    // Further units, one a further "[unit]" section, in the file's order (each with the settings
    // above); only the Linux host (tavik-usb-host) and the Windows test DLLs present them.
    std::vector<UnitScenario> others;
    std::string error;  // empty on success, else "line N: what is wrong"
};

UnitScenarioParse parseUnitScenario(std::string_view text);

// Replaces bytes 4 to 63 of an image header with `version`, NUL-padded (cut to 60 bytes).
void setVersionText(std::vector<std::uint8_t>& image, std::string_view version);

}  // namespace tavik::sim
