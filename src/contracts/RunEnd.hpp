#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "contracts/UpdateState.hpp"

namespace tavik {

// How a run ended, as the engine tells it once, at its end.
enum class RunOutcome {
    updated,   // the unit holds the image and was told to restart
    failed,    // the run stopped short; `RunEnd::failure` says why
    matched,   // a compare-only run: the unit holds the image exactly
    differed,  // a compare-only run: it holds something else
};

// Why a run failed.
enum class RunFailure {
    none,
    stalled,           // the unit stalled a request
    unitGone,          // the unit left the bus during a request
    timedOut,          // a request got no answer in time
    transferFailed,    // a request failed on the bus for another reason
    unexpectedStatus,  // after the download the unit was not dfuIDLE (or its status was short)
    verifyFailed,      // the image read back after the download differed from the one written
    unreachable,       // the unit had been closed when the next request was due
    workerNotStarted,  // no thread could be started for the next request
    notStarted,        // no image was set, or a run was already in progress: nothing was sent
};

struct RunEnd {
    RunOutcome outcome = RunOutcome::failed;
    // The phase the run was in when it ended (Reboot for an update that succeeded).
    UpdateState phase = UpdateState::Idle;
    RunFailure failure = RunFailure::none;
    // The block number (wValue) of the request that failed or of the block that differed;
    // 0 for requests without one.
    std::uint16_t block = 0;
    // bState of the unit's status, for unexpectedStatus; empty when the reply was too short.
    std::optional<std::uint8_t> unitState{};
};

// The diagnostic line the engine writes for a failure, without its newline; empty for none.
constexpr std::string_view failureLine(RunFailure failure) {
    switch (failure) {
        case RunFailure::stalled:
        case RunFailure::unitGone:
        case RunFailure::timedOut:
        case RunFailure::transferFailed:
            return "AsyncRequestCallback Error";
        case RunFailure::unexpectedStatus:
            return "GetStatus unexpected result";
        case RunFailure::verifyFailed:
            return "Update Failed";
        case RunFailure::unreachable:
            return "Device disconnected!";
        case RunFailure::workerNotStarted:
            return "Could not start a worker thread";
        case RunFailure::notStarted:
            return "Firmware Update In Progress";
        case RunFailure::none:
            break;
    }
    return {};
}

}  // namespace tavik
