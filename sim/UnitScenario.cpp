#include "sim/UnitScenario.hpp"

#include <algorithm>
#include <charconv>
#include <functional>
#include <iterator>
#include <map>
#include <sstream>

namespace tavik::sim {

namespace {

std::string_view trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

// The words of a line after its key, and the rest of the line as text.
struct Arguments {
    std::vector<std::string> words;
    std::string rest;
};

std::optional<std::uint64_t> number(std::string_view word) {
    int base = 10;
    if (word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X')) {
        word.remove_prefix(2);
        base = 16;
    }
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value, base);
    if (error != std::errc() || end != word.data() + word.size() || word.empty()) {
        return std::nullopt;
    }
    return value;
}

std::optional<RequestKind> requestKind(std::string_view word) {
    static const std::map<std::string_view, RequestKind> kinds = {
        {"any", RequestKind::any},
        {"device-descriptor", RequestKind::deviceDescriptor},
        {"string-descriptor", RequestKind::stringDescriptor},
        {"upload", RequestKind::upload},
        {"download", RequestKind::download},
        {"status", RequestKind::getStatus},
        {"reboot", RequestKind::rebootToApp},
    };
    const auto found = kinds.find(word);
    return found == kinds.end() ? std::nullopt : std::optional(found->second);
}

std::u16string widen(std::string_view text) {
    return {text.begin(), text.end()};
}

// Applies one setting; returns what is wrong with it, or the empty text.
using Setting = std::function<std::string(UnitScenario&, const Arguments&)>;

// A setting that takes one number no larger than `maximum` and stores it with `store`.
template <typename Store>
Setting numeric(std::uint64_t maximum, Store store) {
    return [maximum, store](UnitScenario& s, const Arguments& a) -> std::string {
        if (a.words.size() != 1) {
            return "expects one number";
        }
        const auto value = number(a.words[0]);
        if (!value || *value > maximum) {
            return "not a number up to " + std::to_string(maximum) + ": " + a.words[0];
        }
        store(s, *value);
        return {};
    };
}

// A setting without a value that turns `field` on.
Setting flag(bool UnitScenario::*field) {
    return [field](UnitScenario& s, const Arguments& a) -> std::string {
        s.*field = true;
        return a.words.empty() ? "" : "takes no value";
    };
}

Setting fault(Fault kind) {
    return [kind](UnitScenario& s, const Arguments& a) -> std::string {
        const auto request = a.words.size() == 2 ? requestKind(a.words[0]) : std::nullopt;
        const auto k = a.words.size() == 2 ? number(a.words[1]) : std::nullopt;
        if (!request || !k) {
            return "expects a request kind and an index";
        }
        s.faults.push_back({kind, *request, *k});
        return {};
    };
}

std::string image(UnitScenario& s, const Arguments& a) {
    const auto& w = a.words;
    if (w.size() == 1 && w[0] == "blank") {
        s.imageKind = UnitScenario::ImageKind::blank;
        return {};
    }
    if (w.size() == 2 && w[0] == "file") {
        s.imageKind = UnitScenario::ImageKind::file;
        s.imageFile = w[1];
        return {};
    }
    if (w.size() >= 2 && w[0] == "embedded" && number(w[1])) {
        s.imageKind = UnitScenario::ImageKind::embedded;
        s.embeddedId = static_cast<int>(*number(w[1]));
        if (w.size() == 2) {
            return {};
        }
        if (w.size() == 4 && w[2] == "version") {
            s.versionText = w[3];
            return {};
        }
    }
    return "expects blank, embedded ID [version TEXT] or file NAME";
}

std::string choice(const Arguments& a, std::initializer_list<std::string_view> options,
                   std::size_t& chosen) {
    if (a.words.size() == 1) {
        const auto found = std::find(options.begin(), options.end(), a.words[0]);
        if (found != options.end()) {
            chosen = static_cast<std::size_t>(found - options.begin());
            return {};
        }
    }
    std::string error = "expects one of";
    for (std::string_view option : options) {
        error.push_back(' ');
        error.append(option);
    }
    return error;
}

// By NotReady's order.
constexpr std::string_view notReadyNames[] = {"open", "requests"};

const std::map<std::string_view, Setting>& settings() {
    using ms = std::chrono::milliseconds;
    static const std::map<std::string_view, Setting> table = {
        {"interface",
         [](UnitScenario& s, const Arguments& a) {
             std::size_t i = 0;
             std::string error = choice(a, {"primary", "secondary"}, i);
             s.interfaceClass = static_cast<UnitScenario::Interface>(i);
             return error;
         }},
        {"vendor-id", numeric(0xFFFF, [](UnitScenario& s, std::uint64_t v) {
             s.unit.vendorId = static_cast<std::uint16_t>(v);
         })},
        {"product-id", numeric(0xFFFF, [](UnitScenario& s, std::uint64_t v) {
             s.unit.productId = static_cast<std::uint16_t>(v);
         })},
        {"product",
         [](UnitScenario& s, const Arguments& a) {
             s.unit.product = widen(a.rest);
             return std::string();
         }},
        {"serial",
         [](UnitScenario& s, const Arguments& a) {
             s.unit.serial = widen(a.rest);
             return std::string();
         }},
        {"descriptor-length", numeric(18, [](UnitScenario& s, std::uint64_t v) {
             s.unit.deviceDescriptorLength = static_cast<std::uint32_t>(v);
         })},
        {"image", image},
        {"arrive", numeric(600000,
                           [](UnitScenario& s, std::uint64_t v) {
                               s.presentAtStart = false;
                               s.events.push_back({UnitScenario::EventKind::arrive, ms(v)});
                           })},
        {"unplug", numeric(600000,
                           [](UnitScenario& s, std::uint64_t v) {
                               s.events.push_back({UnitScenario::EventKind::unplug, ms(v)});
                           })},
        {"stall", fault(Fault::stall)},
        {"fail", fault(Fault::fail)},
        {"vanish", fault(Fault::vanish)},
        {"leave", fault(Fault::leave)},
        {"status-reply",
         [](UnitScenario& s, const Arguments& a) -> std::string {
             std::vector<std::uint8_t> reply;
             for (const std::string& word : a.words) {
                 std::uint8_t byte = 0;
                 const char* end = word.data() + word.size();
                 const auto parsed = std::from_chars(word.data(), end, byte, 16);
                 if (word.size() > 2 || parsed.ec != std::errc() || parsed.ptr != end) {
                     return "expects hexadecimal bytes: " + word;
                 }
                 reply.push_back(byte);
             }
             s.statusReply = std::move(reply);
             return {};
         }},
        {"corrupt-block", numeric(0xFFFF, [](UnitScenario& s, std::uint64_t v) {
             s.corruptBlocks.push_back(static_cast<std::uint16_t>(v));
         })},
        {"extra-bytes", numeric(1 << 20, [](UnitScenario& s, std::uint64_t v) {
             s.extraBytes = static_cast<std::size_t>(v);
         })},
        {"delay-us", numeric(10000000, [](UnitScenario& s, std::uint64_t v) {
             s.delay = std::chrono::microseconds(v);
         })},
        {"reboot-fails", flag(&UnitScenario::rebootFails)},
        {"not-ready",
         [](UnitScenario& s, const Arguments& a) -> std::string {
             const std::optional<std::uint64_t> span =
                 a.words.size() == 2 ? number(a.words[0]) : std::nullopt;
             const auto how = span ? std::find(std::begin(notReadyNames), std::end(notReadyNames),
                                               a.words[1])
                                   : std::end(notReadyNames);
             if (!span || *span > 600000 || how == std::end(notReadyNames)) {
                 return "expects MS (up to 600000) and open or requests";
             }
             s.notReadySpan = ms(*span);
             s.notReady = static_cast<NotReady>(how - std::begin(notReadyNames));
             return {};
         }},
        {"restart-ms", numeric(600000, [](UnitScenario& s, std::uint64_t v) {
             s.restartNotice = ms(v);
         })},
        {"path",
         [](UnitScenario& s, const Arguments& a) {
             std::size_t i = 0;
             std::string error = choice(a, {"file", "directory", "missing"}, i);
             s.path = static_cast<UnitScenario::PathKind>(i);
             return error;
         }},
        {"list-error", numeric(0xFFFFFFFF, [](UnitScenario& s, std::uint64_t v) {
             s.listError = static_cast<std::uint32_t>(v);
         })},
        {"no-access", flag(&UnitScenario::noAccess)},
    };
    return table;
}

}  // namespace

UnitScenarioParse parseUnitScenario(std::string_view text) {
    UnitScenarioParse parse;
    bool inUnit = false;
    int unitSections = 0;
    // The section being read: the first unit's, then each further one's.
    UnitScenario* unit = &parse.scenario;
    int lineNumber = 0;
    std::istringstream lines{std::string(text)};
    std::string raw;
    while (std::getline(lines, raw)) {
        ++lineNumber;
        const std::string_view line = trim(raw);
        if (line.empty() || line.front() == '#') {
            continue;
        }
        if (line.front() == '[') {
            inUnit = line == "[unit]";
            if (inUnit && ++unitSections > 1) {
                unit = &parse.others.emplace_back();
            }
            continue;
        }
        if (!inUnit) {
            continue;
        }
        const auto space = line.find_first_of(" \t");
        const std::string_view key = line.substr(0, space);
        Arguments arguments;
        if (space != std::string_view::npos) {
            arguments.rest = std::string(trim(line.substr(space)));
            std::istringstream words(arguments.rest);
            for (std::string word; words >> word;) {
                arguments.words.push_back(word);
            }
        }
        const auto setting = settings().find(key);
        const std::string error =
            setting == settings().end() ? "unknown setting" : setting->second(*unit, arguments);
        if (!error.empty()) {
            parse.error =
                "line " + std::to_string(lineNumber) + ": " + std::string(key) + ": " + error;
            return parse;
        }
    }
    return parse;
}

void setVersionText(std::vector<std::uint8_t>& image, std::string_view version) {
    constexpr std::size_t offset = 4, length = 60;
    if (image.size() < offset + length) {
        image.resize(offset + length);
    }
    std::fill_n(image.begin() + offset, length, 0);
    std::copy_n(version.begin(), std::min(version.size(), length), image.begin() + offset);
}

}  // namespace tavik::sim
