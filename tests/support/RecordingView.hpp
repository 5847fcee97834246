#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "ui/WindowView.hpp"

namespace tavik::test {

// A WindowView that keeps what the window asked of it: the controls with their captions, bounds,
// visibility and progress, the areas invalidated, and the registrations for arrivals. Control
// handles are the addresses of the records, which live as long as the view.
class RecordingView : public WindowView {
  public:
    struct ControlRecord {
        int controlId;  // 0: the progress bar, captioned "<progress>"
        std::string caption;
        Rect bounds;
        bool visible = true;
        bool destroyed = false;
        std::optional<std::uint16_t> rangeMaximum;
        std::optional<std::uint16_t> position;
    };

    Control createButton(int controlId, std::string_view caption, const Rect& bounds) override {
        return create({controlId, std::string(caption), bounds, true, false, {}, {}});
    }
    Control createProgressBar(const Rect& bounds) override {
        return create({0, "<progress>", bounds, true, false, {}, {}});
    }
    void destroyControl(Control control) override { use(control).destroyed = true; }
    void showControl(Control control, bool visible) override { use(control).visible = visible; }
    void setProgressRange(Control bar, std::uint16_t maximum) override {
        use(bar).rangeMaximum = maximum;
    }
    void setProgressPosition(Control bar, std::uint16_t position) override {
        use(bar).position = position;
        positions.push_back(position);
    }
    void invalidate(const Rect& area) override { invalidated.push_back(area); }
    void registerDeviceNotifications() override { ++registrations; }
    void unregisterDeviceNotifications() override {}
    void destroyWindow() override {}
    void quit() override {}

    // Captions of the live, visible controls.
    std::vector<std::string> visibleControls() const {
        std::vector<std::string> visible;
        for (const ControlRecord& r : controls) {
            if (!r.destroyed && r.visible) {
                visible.push_back(r.caption);
            }
        }
        return visible;
    }

    const ControlRecord* record(Control control) const {
        return static_cast<const ControlRecord*>(control);
    }

    bool failCreation = false;  // every creation fails and returns null, like CreateWindowExW
    std::deque<ControlRecord> controls;
    std::vector<Rect> invalidated;
    std::vector<std::uint16_t> positions;
    int registrations = 0;
    int callsOnDestroyedControls = 0;  // a window must never make one

  private:
    Control create(ControlRecord record) {
        if (failCreation) {
            return nullptr;
        }
        controls.push_back(std::move(record));
        return &controls.back();
    }

    ControlRecord& use(Control control) {
        auto& record = *static_cast<ControlRecord*>(control);
        callsOnDestroyedControls += record.destroyed ? 1 : 0;
        return record;
    }
};

}  // namespace tavik::test
