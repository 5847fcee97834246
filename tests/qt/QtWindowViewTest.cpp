#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QImage>
#include <QPointer>
#include <QProgressBar>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/UpdaterProgram.hpp"
#include "engine/EventLoopCompletionPoster.hpp"
#include "support/EngineHarness.hpp"
#include "support/TestImages.hpp"
#include "ui/ButtonLook.hpp"
#include "ui/qt/QtEventLoop.hpp"
#include "ui/qt/QtWindowView.hpp"
#include "ui/qt/WindowFont.hpp"

namespace tavik {
namespace {

constexpr int patienceMs = 30000;
constexpr int w = QtWindowView::clientWidth;
const std::string noUnit = "No Tavik in update mode. Hold MON on IN 2 and power on device.";
const std::string duo = "Device Connected: Tavik Duo (Serial: T6X00001, Firmware Version: ";

// Arrival and removal as a platform monitor reports them: each event is posted to the event loop
// from a thread of the monitor's own, and a stopped monitor's events never reach a handler.
class FakeHotplugMonitor final : public HotplugMonitor {
  public:
    explicit FakeHotplugMonitor(std::shared_ptr<EventLoop> loop) : loop_(std::move(loop)) {}
    void start(Events events) override { ++starts, events_ = std::move(events), active_ = true; }
    void stop() override { ++stops, active_ = false; }
    void report(bool arrival) {
        std::thread([this, arrival] {
            loop_->post([this, arrival] {
                if (active_) {
                    (arrival ? events_.arrived : events_.removed)();
                }
            });
        }).join();
    }
    int starts = 0, stops = 0;

  private:
    std::shared_ptr<EventLoop> loop_;
    Events events_;
    bool active_ = false;  // event-loop thread only
};

// A unit of the 105 family, blank, as it comes from the factory.
sim::UnitConfig duoUnit() {
    sim::UnitConfig config;
    config.product = u"Tavik Duo";
    config.serial = u"T6X00001";
    return config;
}

// The program as the Linux entry point assembles it: the Qt view and event loop, the engine,
// completions through the Qt loop; the simulated unit behind the device seams.
struct QtProgram {
    explicit QtProgram(sim::UnitConfig config = duoUnit(), bool attached = true)
        : unit(sim::SimulatedUnit::create(std::move(config))), devices(unit) {
        if (!attached) {
            unit->detach();
        }
        log.unit = unit;
        view.setPresentation(&program.window);
    }
    ~QtProgram() { loop->close(); }

    void show() {
        view.createWindow();
        view.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
    }
    bool waitFor(const std::function<bool()>& done) { return QTest::qWaitFor(done, patienceMs); }
    bool waitForMessage(const std::string& text) {
        return waitFor([&] { return program.window.messageText() == text; });
    }
    QAbstractButton* button(const QString& caption) {
        for (auto* b : view.findChildren<QAbstractButton*>()) {
            if (b->text() == caption && b->isVisible()) {
                return b;
            }
        }
        return nullptr;
    }
    QImage picture() {
        view.repaint();
        return view.grab().toImage().convertToFormat(QImage::Format_RGB32);
    }

    std::shared_ptr<sim::SimulatedUnit> unit;
    sim::SimulatedDeviceAccess devices;
    std::shared_ptr<QtEventLoop> loop = std::make_shared<QtEventLoop>();
    FakeHotplugMonitor hotplug{loop};
    QtWindowView view{&hotplug};
    test::RecordingLog log;
    std::vector<std::uint8_t> image;  // an image of the test's own, alive as long as the engine
    UpdaterProgram program{view, devices,
                           std::make_shared<EventLoopCompletionPoster>(
                               loop,
                               [this](bool success, std::uint64_t bytes) {
                                   program.window.onTransferCompleted(success, bytes);
                               }),
                           log};
};

const QRgb barBorder = qRgb(188, 188, 188), barTrough = qRgb(230, 230, 230),
           barFill = qRgb(6, 176, 37);

// What the window shows: each visible control's caption ("<progress>" for the bar) and bounds.
struct Shown {
    std::string caption;
    QRect bounds;
    friend bool operator==(const Shown&, const Shown&) = default;
    friend std::ostream& operator<<(std::ostream& out, const Shown& s) {
        return out << s.caption << " at " << s.bounds.x() << "," << s.bounds.y() << " "
                   << s.bounds.width() << "x" << s.bounds.height();
    }
};

std::vector<Shown> shownControls(const QWidget& view) {
    std::vector<Shown> shown;
    for (const QWidget* child : view.findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if (!child->isVisible()) {
            continue;
        }
        const auto* button = qobject_cast<const QAbstractButton*>(child);
        shown.push_back({button ? button->text().toStdString() : "<progress>", child->geometry()});
    }
    return shown;
}

QRect qRect(const Rect& r) {
    return QRect(r.left, r.top, r.width(), r.height());
}

QRgb rgbOf(Colour c) {
    return qRgb(c.r, c.g, c.b);
}

// The largest difference of the three channels.
int distance(QRgb pixel, Colour c) {
    return std::max(
        {std::abs(qRed(pixel) - c.r), std::abs(qGreen(pixel) - c.g), std::abs(qBlue(pixel) - c.b)});
}

// Antialiased glyphs reach their colour only where a stroke covers a whole pixel, and small
// glyphs rarely do; within this much they count as drawn in it.
constexpr int inkTolerance = 16;

// Columns of `area` holding a pixel other than the background: first and last, or -1 for none;
// and the number of pixels in (nearly) the text colour.
struct Ink {
    int first = -1, last = -1, fullPixels = 0;
};

Ink inkIn(const QImage& image, const QRect& area) {
    Ink ink;
    for (int x = area.left(); x <= area.right(); ++x) {
        for (int y = area.top(); y <= area.bottom(); ++y) {
            const QRgb pixel = image.pixel(x, y) | 0xFF000000u;
            ink.fullPixels += distance(pixel, textColour) <= inkTolerance ? 1 : 0;
            if (pixel != rgbOf(backgroundColour)) {
                ink.first = ink.first < 0 ? x : ink.first;
                ink.last = x;
            }
        }
    }
    return ink;
}

// Pixels outside the two text lines and the visible controls that are not the background.
int strayPixels(const QImage& image, const std::vector<Shown>& controls) {
    int stray = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            bool covered = qRect(WindowLayout::statusLine(w)).contains(x, y) ||
                           qRect(WindowLayout::messageLine(w)).contains(x, y);
            for (const Shown& c : controls) {
                covered = covered || c.bounds.contains(x, y);
            }
            stray += !covered && (image.pixel(x, y) | 0xFF000000u) != rgbOf(backgroundColour);
        }
    }
    return stray;
}

TEST(QtWindowView, WindowFrameTitleSizeAndFont) {
    QtProgram p(duoUnit(), false);
    p.show();
    EXPECT_EQ(p.view.windowTitle(), "Zerrow Tavik Updater (Sept 2023)");
    EXPECT_EQ(p.view.size(), QSize(482, 119));
    EXPECT_EQ(p.view.minimumSize(), p.view.maximumSize());
    EXPECT_FALSE(p.view.windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(p.view.windowFlags() & Qt::WindowCloseButtonHint);
    // The system font, made smaller only as far as the texts need.
    const QFont system = QApplication::font(), chosen = p.view.font();
    EXPECT_EQ(chosen.family(), system.family());
    EXPECT_LE(QFontInfo(chosen).pixelSize(), QFontInfo(system).pixelSize());
    if (chosen != system) {
        QFont larger = chosen;
        larger.setPixelSize(QFontInfo(chosen).pixelSize() + 1);
        EXPECT_FALSE(windowTextsFit(larger, w));
    }
    RecordProperty("fontPixelSize", QFontInfo(chosen).pixelSize());
    std::cout << "window font: " << chosen.toString().toStdString() << ", "
              << QFontInfo(chosen).pixelSize() << " px (system " << QFontInfo(system).pixelSize()
              << " px)\n";
}

// Each state the window goes through with a real unit, as the pixels show it: the background,
// each text only inside its line, and which controls are shown where.
TEST(QtWindowView, StatesByPixels) {
    const QRect button(146, 50, 190, 30), bar(41, 50, 400, 30);
    const auto heldRun = [](QtProgram& p) {
        p.image = test::makeImage(64 * 5 + 10, "1.2.1+1960");  // six blocks, the last short
        p.program.updater.setFirmwareImage(p.image.data(), p.image.size());
        p.unit->addFault(sim::Fault::hold, 3, sim::RequestKind::download);
        QTest::mouseClick(p.button("Update Now"), Qt::LeftButton);
        ASSERT_TRUE(p.waitFor([&] { return p.unit->waitUntilHeld(1, {}); }));
        QTest::qWait(20);  // the completions before the held request are delivered
    };
    const auto wholeRun = [&](QtProgram& p) {
        heldRun(p);
        p.unit->releaseHeld();
        ASSERT_TRUE(p.waitForMessage("Success"));
    };
    struct Case {
        const char* name;
        sim::UnitConfig unit;
        bool attached;
        std::function<void(QtProgram&)> drive;
        std::string status, message;
        std::vector<Shown> controls;
    };
    sim::UnitConfig upToDate = duoUnit();
    upToDate.image = test::bytesOf(loadFirmwareImage(105));
    sim::UnitConfig shortBranch = duoUnit();
    shortBranch.productId = 0x0009;
    const Case cases[] = {
        {"no-unit", duoUnit(), false, {}, noUnit, "", {}},
        {"offer", duoUnit(), true, {}, duo + "2.XX)", "Update to 2.01", {{"Update Now", button}}},
        {"running", duoUnit(), true, heldRun, duo + "2.XX)", "Updating...", {{"<progress>", bar}}},
        {"success", duoUnit(), true, wholeRun, duo + "2.XX)", "Success", {{"OK", button}}},
        {"up-to-date",
         upToDate,
         true,
         {},
         duo + "2.01)",
         "Up to date!",
         {{"Reinstall Firmware", button}}},
        {"short-branch",
         shortBranch,
         true,
         {},
         "Device Connected: Ta (Serial: T6X00001)",
         "Your device is already up-to-date.",
         {{"OK", button}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QtProgram p(c.unit, c.attached);
        p.show();
        if (c.drive) {
            c.drive(p);
        }
        EXPECT_EQ(p.program.window.statusText(), c.status);
        EXPECT_EQ(p.program.window.messageText(), c.message);
        EXPECT_EQ(shownControls(p.view), c.controls);

        const QImage image = p.picture();
        image.save(QStringLiteral(TAVIK_PICTURE_DIR "/window-%1.png").arg(c.name));
        EXPECT_EQ(image.pixel(0, 0) | 0xFF000000u, rgbOf(backgroundColour));
        EXPECT_EQ(image.pixel(w - 1, 118) | 0xFF000000u, rgbOf(backgroundColour));
        EXPECT_EQ(strayPixels(image, c.controls), 0);
        const QRect status = qRect(WindowLayout::statusLine(w));
        const QRect message = qRect(WindowLayout::messageLine(w));
        const Ink statusInk = inkIn(image, status), messageInk = inkIn(image, message);
        EXPECT_GT(statusInk.fullPixels, 0);
        // Neither line loses an end: its ink stays clear of the edges it would be cut at.
        EXPECT_LT(statusInk.last, status.right());
        EXPECT_EQ(messageInk.fullPixels > 0, !c.message.empty());
        if (!c.message.empty()) {
            EXPECT_GT(messageInk.first, message.left());
            EXPECT_LT(messageInk.last, message.right());
            EXPECT_NEAR(messageInk.first + messageInk.last, message.left() + message.right(), 3);
        }
        if (c.controls.size() == 1 && c.controls[0].caption == "<progress>") {
            const auto* progress = p.view.findChild<QProgressBar*>();
            EXPECT_EQ(progress->maximum(), 6);
            EXPECT_GE(progress->value(), 1);
            EXPECT_LE(progress->value(), 3);
            // Windows 10's bar: a grey border, green in proportion to the position, the trough.
            const int y = bar.center().y(), end = bar.left() + 1 + 398 * progress->value() / 6;
            EXPECT_EQ(image.pixel(bar.left(), y), barBorder);
            EXPECT_EQ(image.pixel(bar.left() + 1, y), barFill);
            EXPECT_EQ(image.pixel(end - 1, y), barFill);
            EXPECT_EQ(image.pixel(end, y), barTrough);
            EXPECT_EQ(image.pixel(bar.right() - 1, bar.top() + 1), barTrough);
            EXPECT_EQ(image.pixel(bar.right(), bar.bottom()), barBorder);
            p.unit->releaseHeld();  // lets the worker end before the unit goes
        }
    }
}

// The bar follows the Windows control's rules, not Qt's: a position beyond the range shows a
// full bar, a range shrunk below the position clamps it, and 0..0 shows an empty bar.
TEST(QtWindowView, ProgressBarRangeAndPositionAsOnWindows) {
    struct Step {
        int maximum, position;  // -1: not set in this step
        int filled;             // green columns inside the 398 px between the borders
    };
    const std::vector<std::vector<Step>> sequences = {
        {{-1, -1, 0}, {6, 3, 199}, {6, 6, 398}, {6, 9, 398}},
        {{10, 8, 318}, {4, -1, 398}, {-1, 2, 199}},
        {{0, -1, 0}, {-1, 5, 0}, {2, -1, 0}, {-1, 1, 199}},
    };
    for (std::size_t s = 0; s < sequences.size(); ++s) {
        QtProgram p(duoUnit(), false);
        p.show();
        const WindowView::Control control = p.view.createProgressBar(WindowLayout::progressBar(w));
        auto* bar = static_cast<QProgressBar*>(static_cast<QWidget*>(control));
        for (std::size_t i = 0; i < sequences[s].size(); ++i) {
            SCOPED_TRACE("sequence " + std::to_string(s) + ", step " + std::to_string(i));
            const Step& step = sequences[s][i];
            if (step.maximum >= 0) {
                p.view.setProgressRange(control, static_cast<std::uint16_t>(step.maximum));
            }
            if (step.position >= 0) {
                p.view.setProgressPosition(control, static_cast<std::uint16_t>(step.position));
            }
            EXPECT_NE(bar->maximum(), 0);  // Qt animates a busy bar for 0..0
            const QImage image = bar->grab().toImage().convertToFormat(QImage::Format_RGB32);
            int green = 0;
            for (int x = 1; x < image.width() - 1; ++x) {
                green += image.pixel(x, 15) == barFill;
            }
            EXPECT_EQ(green, step.filled);
        }
    }
}

// The four looks of a button by its pixels: the border lies inside the control, one pixel wide
// for width 0, two for width 2, the fill within, the caption in its colour.
TEST(QtWindowView, ButtonLooksByPixels) {
    struct Case {
        const char* name;
        std::function<void(QAbstractButton*)> set;
        ButtonLook look;
    };
    const Case cases[] = {
        {"normal", [](QAbstractButton*) {}, buttonLook(false, false, false)},
        {"hot",
         [](QAbstractButton* b) {
             QTest::mouseMove(b->window()->windowHandle(), b->geometry().center());
         },
         buttonLook(false, true, false)},
        {"pressed", [](QAbstractButton* b) { QTest::mousePress(b, Qt::LeftButton); },
         buttonLook(true, true, false)},
        {"disabled", [](QAbstractButton* b) { b->setEnabled(false); },
         buttonLook(false, false, true)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QtProgram p;
        p.show();
        QAbstractButton* button = p.button("Update Now");
        ASSERT_NE(button, nullptr);
        QTest::mouseMove(p.view.windowHandle(), QPoint(5, 5));  // the pointer starts elsewhere
        ASSERT_FALSE(button->underMouse());
        c.set(button);
        const QImage image = p.picture();
        const QRect r = button->geometry();
        const int border = std::max(1, c.look.penWidth);
        const auto at = [&](int dx, int dy) {
            return image.pixel(dx < 0 ? r.right() + 1 + dx : r.left() + dx,
                               dy < 0 ? r.bottom() + 1 + dy : r.top() + dy) |
                   0xFF000000u;
        };
        for (const auto& [dx, dy] : {std::pair{0, 0}, {-1, -1}, {0, -1}, {-1, 0}}) {
            for (int step = 0; step < 3; ++step) {
                const int sx = dx < 0 ? dx - step : dx + step, sy = dy < 0 ? dy - step : dy + step;
                EXPECT_EQ(at(sx, sy), rgbOf(step < border ? c.look.pen : c.look.fill))
                    << "corner " << dx << "," << dy << " step " << step;
            }
        }
        EXPECT_EQ(at(r.width() / 2, border), rgbOf(c.look.fill));
        // Inside the border only the fill, the caption and blends of the two; some of the
        // caption in (nearly) its colour.
        int captionPixels = 0, otherPixels = 0;
        for (int y = r.top() + border; y <= r.bottom() - border; ++y) {
            for (int x = r.left() + border; x <= r.right() - border; ++x) {
                const QRgb pixel = image.pixel(x, y);
                captionPixels += distance(pixel, c.look.caption) <= inkTolerance;
                const int span =
                    distance(qRgb(c.look.fill.r, c.look.fill.g, c.look.fill.b), c.look.caption);
                otherPixels +=
                    distance(pixel, c.look.fill) + distance(pixel, c.look.caption) > span + 2;
            }
        }
        EXPECT_GT(captionPixels, 10);
        EXPECT_EQ(otherPixels, 0);
        image.copy(r).save(QStringLiteral(TAVIK_PICTURE_DIR "/button-%1.png").arg(c.name));
        QTest::mouseRelease(button, Qt::LeftButton, {}, QPoint(-10, -10));  // no click
    }
}

TEST(QtWindowView, HotplugEventsReachTheWindowUntilItCloses) {
    QtProgram p(duoUnit(), false);
    p.show();
    EXPECT_EQ(p.hotplug.starts, 1);
    EXPECT_EQ(p.program.window.statusText(), noUnit);

    p.unit->attach();
    p.hotplug.report(true);
    ASSERT_TRUE(p.waitForMessage("Update to 2.01"));
    EXPECT_EQ(shownControls(p.view), (std::vector<Shown>{{"Update Now", {146, 50, 190, 30}}}));

    p.unit->detach();
    p.hotplug.report(false);
    ASSERT_TRUE(p.waitForMessage(""));
    EXPECT_EQ(p.program.window.statusText(), noUnit);
    EXPECT_TRUE(shownControls(p.view).empty());

    p.view.close();  // the close box: notifications off, unit closed, window gone
    EXPECT_EQ(p.hotplug.stops, 1);
    EXPECT_FALSE(p.view.isVisible());
    p.unit->attach();
    p.hotplug.report(true);
    QTest::qWait(50);
    EXPECT_EQ(p.program.window.statusText(), noUnit);
}

// How the event loop ends: OK ends it at once and leaves unit and window be; the close box
// closes the unit, stops the notifications and takes the window away.
TEST(QtWindowView, OkAndCloseEndTheEventLoop) {
    for (bool ok : {true, false}) {
        SCOPED_TRACE(ok ? "OK" : "close box");
        sim::UnitConfig shortBranch = duoUnit();
        shortBranch.productId = 0x0009;
        QtProgram p(shortBranch);
        p.show();
        QTimer::singleShot(0, &p.view, [&] {
            if (ok) {
                QTest::mouseClick(p.button("OK"), Qt::LeftButton);
            } else {
                p.view.close();
            }
        });
        QTimer::singleShot(patienceMs, &p.view, [] { QCoreApplication::exit(99); });
        EXPECT_EQ(QApplication::exec(), 0);
        EXPECT_EQ(p.view.isVisible(), ok);
        EXPECT_EQ(p.unit->openHandles(), ok ? 1u : 0u);
        EXPECT_EQ(p.hotplug.stops, ok ? 0 : 1);
    }
}

// A button may be taken away from inside its own click: it goes at once from the screen, and
// from memory once control is back in the event loop.
TEST(QtWindowView, ButtonDestroyedFromItsOwnClick) {
    sim::UnitConfig shortBranch = duoUnit();
    shortBranch.productId = 0x0009;
    QtProgram p(shortBranch);
    p.show();
    QPointer<QAbstractButton> button = p.button("OK");
    ASSERT_FALSE(button.isNull());
    QObject::connect(button, &QAbstractButton::clicked, &p.view,
                     [&] { p.view.destroyControl(static_cast<QWidget*>(button.data())); });
    QTest::mouseClick(button, Qt::LeftButton);
    EXPECT_TRUE(shownControls(p.view).empty());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(button.isNull());
}

}  // namespace
}  // namespace tavik
