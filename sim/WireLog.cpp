#include "sim/WireLog.hpp"

#include <cstddef>

namespace tavik::sim {

namespace {

const char* kindName(RequestKind kind) {
    switch (kind) {
        case RequestKind::deviceDescriptor:
            return "device-descriptor";
        case RequestKind::stringDescriptor:
            return "string-descriptor";
        case RequestKind::upload:
            return "upload";
        case RequestKind::download:
            return "download";
        case RequestKind::getStatus:
            return "status";
        case RequestKind::rebootToApp:
            return "reboot";
        default:
            return "other";
    }
}

void appendHex(std::string& out, const std::uint8_t* bytes, std::size_t count) {
    static const char digits[] = "0123456789abcdef";
    for (std::size_t i = 0; i < count; ++i) {
        out.push_back(digits[bytes[i] >> 4]);
        out.push_back(digits[bytes[i] & 0x0F]);
    }
}

}  // namespace

std::string wireLogLine(std::uint64_t index, const WireRequest& request) {
    std::string line = std::to_string(index) + " " + kindName(request.kind) + " ";
    appendHex(line, request.setup.data(), request.setup.size());
    line += !request.unitPresent ? " gone " : request.succeeded ? " ok " : " fail ";
    line += std::to_string(request.data.size()) + " ";
    appendHex(line, request.data.data(), request.data.size());
    line += "\n";
    return line;
}

WireLog::~WireLog() {
    if (file_ != nullptr) {
        std::fclose(file_);
    }
}

void WireLog::open(std::FILE* file) {
    std::lock_guard lock(mutex_);
    if (file_ != nullptr) {
        std::fclose(file_);
    }
    file_ = file;
}

void WireLog::request(const WireRequest& request) {
    std::lock_guard lock(mutex_);
    write(wireLogLine(index_++, request));
}

void WireLog::departure(Departure why) {
    std::lock_guard lock(mutex_);
    write(why == Departure::restarted ? "left restarted\n" : "left unplugged\n");
}

void WireLog::announcement(bool arrival) {
    std::lock_guard lock(mutex_);
    write(arrival ? "# arrival announced\n" : "# removal announced\n");
}

void WireLog::write(const std::string& line) {
    if (file_ != nullptr) {
        std::fputs(line.c_str(), file_);
        std::fflush(file_);
    }
}

}  // namespace tavik::sim
