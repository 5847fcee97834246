#pragma once

#include <optional>
#include <string>

#include "contracts/RunEnd.hpp"
#include "contracts/UpdaterClient.hpp"
#include "contracts/UpdaterListener.hpp"
#include "firmware/UnitOffer.hpp"

namespace tavik {

// A unit as the session presents it: what it is offered, and the version text it reported.
struct ConnectedUnit {
    UnitOffer offer;
    std::string version;
};

// The one place that turns the engine's news into what a front end shows, the same for the
// window, the command line and the tests: once a unit is identified it chooses the offer and
// hands the engine the catalogue's image, and it keeps how the last run ended as one value.
// Everything runs on the event-loop thread, inside the engine's calls.
class UpdaterSession final : public UpdaterListener {
  public:
    // What a front end is told, in the order the engine reports it.
    class FrontEnd {
      public:
        // A unit was identified; its image (if it is offered one) is already with the engine.
        virtual void onUnitConnected(const ConnectedUnit& unit) = 0;
        // No unit is open any more, or none could be opened.
        virtual void onUnitDisconnected() = 0;
        // A unit is there but this user may not open it (told after onUnitDisconnected).
        virtual void onAccessDenied() = 0;
        virtual void onRunStarted() = 0;
        // A request of the run completed; the engine's block counter has moved.
        virtual void onRunProgress() = 0;
        virtual void onRunEnded(const RunEnd& end) = 0;

      protected:
        ~FrontEnd() = default;
    };

    explicit UpdaterSession(FrontEnd& frontEnd) : frontEnd_(frontEnd) {}
    UpdaterSession(const UpdaterSession&) = delete;
    UpdaterSession& operator=(const UpdaterSession&) = delete;

    // The engine whose news this is; set once, before the first connection attempt.
    void setClient(UpdaterClient* client) { client_ = client; }

    // The unit presented now; empty while none is open.
    const std::optional<ConnectedUnit>& unit() const { return unit_; }
    // How the last run ended; empty before the first run has ended.
    const std::optional<RunEnd>& lastRunEnd() const { return lastRunEnd_; }

    // --- UpdaterListener --------------------------------------------------------------------
    void onDeviceConnected() override;
    void onDeviceDisconnected() override;
    void onDeviceAccessDenied() override;
    void onRunStarted() override;
    void onRunProgress() override;
    void onRunEnded(const RunEnd& end) override;

  private:
    FrontEnd& frontEnd_;
    UpdaterClient* client_ = nullptr;
    std::optional<ConnectedUnit> unit_;
    std::optional<RunEnd> lastRunEnd_;
};

}  // namespace tavik
