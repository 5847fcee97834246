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

#include "app/WindowProgram.hpp"
#include "runtime/EventLoopCompletionPoster.hpp"
#include "support/EngineHarness.hpp"
#include "support/TestImages.hpp"
#include "ui/qt/QtEventLoop.hpp"
#include "ui/qt/QtWindowView.hpp"
#include "ui/qt/WindowFont.hpp"

namespace tavik {
namespace {

constexpr int patienceMs = 30000, w = QtWindowView::clientWidth;
const std::string noUnit = "No Tavik in update mode. Hold MON on IN 2 and power on device.";
const QRgb background = qRgb(17, 21, 24), barBorder = qRgb(188, 188, 188),
           barTrough = qRgb(230, 230, 230), barFill = qRgb(6, 176, 37),
           textRgb = qRgb(textColour.r, textColour.g, textColour.b);

// Posts arrival and removal to the event loop as a platform monitor does; none once stopped.
struct FakeHotplugMonitor final : HotplugMonitor {
    void start(Events started) override { events = std::move(started), active = true; }
    void stop() override { ++stops, active = false; }
    void report(bool arrival) {
        loop->post([this, arrival] {
            if (active) {
                (arrival ? events.arrived : events.removed)();
            }
        });
    }
    std::shared_ptr<EventLoop> loop;
    Events events;
    bool active = false;
    int stops = 0;
};

// A blank unit of the 105 family; product id 0x0009 reports "XMOS".
sim::UnitConfig duoUnit(std::uint16_t productId = 0x001D) {
    sim::UnitConfig config;
    config.productId = productId;
    config.product = u"Tavik Duo";
    config.serial = u"T6X00001";
    return config;
}

// The program as the Linux entry point assembles it, over the simulated unit.
struct QtProgram {
    explicit QtProgram(sim::UnitConfig config = duoUnit(), bool attached = true)
        : unit(sim::SimulatedUnit::create(std::move(config))), devices(unit) {
        if (!attached) {
            unit->detach();
        }
        hotplug.loop = loop;
        view.setPresentation(&program.window);
        view.createWindow();
        view.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&view));
    }
    ~QtProgram() { loop->close(); }

    bool waitFor(const std::function<bool()>& done) { return QTest::qWaitFor(done, patienceMs); }
    const std::string& message() const { return program.window.messageText(); }
    QAbstractButton* button(const QString& caption) {
        const auto all = view.findChildren<QAbstractButton*>();
        const auto found = std::find_if(all.begin(), all.end(), [&](auto* b) {
            return b->text() == caption && b->isVisible();
        });
        return found == all.end() ? nullptr : *found;
    }
    // Also saved to the build folder, to be looked at when a pixel check fails.
    QImage picture(const QString& name, const QRect& area = {}) {
        QImage image = view.grab().toImage().convertToFormat(QImage::Format_RGB32).copy(area);
        image.save(QStringLiteral(TAVIK_PICTURE_DIR "/%1.png").arg(name));
        return image;
    }

    std::shared_ptr<sim::SimulatedUnit> unit;
    sim::SimulatedDeviceAccess devices;
    std::shared_ptr<QtEventLoop> loop = std::make_shared<QtEventLoop>();
    FakeHotplugMonitor hotplug;
    QtWindowView view{&hotplug};
    test::RecordingLog log;
    std::vector<std::uint8_t> image;  // an image of the test's own, alive as long as the engine
    WindowProgram program{
        view, devices,
        std::make_shared<EventLoopCompletionPoster>(
            loop, [this](bool ok, std::uint64_t n) { program.window.onTransferCompleted(ok, n); }),
        log};
};

// The visible controls' captions ("<progress>": the bar), each with "!" if out of its place.
std::string shown(const QWidget& view) {
    std::string text;
    for (const QWidget* child : view.findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        const auto* b = qobject_cast<const QAbstractButton*>(child);
        const QRect place = b ? QRect(146, 50, 190, 30) : QRect(41, 50, 400, 30);
        if (child->isVisible()) {
            text += (b ? b->text().toStdString() : "<progress>") +
                    (child->geometry() == place ? " " : "! ");
        }
    }
    return text;
}

int distance(QRgb a, QRgb b) {
    return std::max({std::abs(qRed(a) - qRed(b)), std::abs(qGreen(a) - qGreen(b)),
                     std::abs(qBlue(a) - qBlue(b))});
}
// Antialiased glyphs reach their colour only where a stroke covers a whole pixel.
constexpr int inkTolerance = 16;

// In `area`: the first and last non-background columns (-1: none); pixels in the text colour.
struct Ink {
    int first = -1, last = -1, text = 0;
};
Ink inkIn(const QImage& image, const QRect& area) {
    Ink ink;
    for (int x = area.left(); x <= area.right(); ++x) {
        for (int y = area.top(); y <= area.bottom(); ++y) {
            ink.text += distance(image.pixel(x, y), textRgb) <= inkTolerance;
            if (image.pixel(x, y) != background) {
                ink.first = ink.first < 0 ? x : ink.first;
                ink.last = x;
            }
        }
    }
    return ink;
}

QRect qRect(const Rect& r) {
    return QRect(r.left, r.top, r.width(), r.height());
}
const QRect statusLine = qRect(WindowLayout::statusLine(w)),
            messageLine = qRect(WindowLayout::messageLine(w));

// Pixels other than the background outside the two lines and the visible controls.
int strayPixels(const QImage& image, const QWidget& view) {
    int stray = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const bool covered = statusLine.contains(x, y) || messageLine.contains(x, y) ||
                                 view.childAt(x, y) != nullptr;
            stray += !covered && image.pixel(x, y) != background;
        }
    }
    return stray;
}

// States by pixels: background, each text whole inside its line, which controls show where.
// (Texts of every state: tests/ui; "Success" and "OK" in the Linux program: tests/e2e-linux.)
TEST(QtWindowView, StatesByPixels) {
    const struct {
        const char* name;
        bool attached;
        std::function<void(QtProgram&)> drive;
        std::string message, controls;
    } cases[] = {
        {"no-unit", false, {}, "", ""},
        {"offer", true, {}, "Update to 2.01", "Update Now "},
        {"running", true,
         [](QtProgram& p) {
             p.image = test::makeImage(64 * 5 + 10, "1.2.1+1960");  // six blocks, the last short
             p.program.updater.setFirmwareImage(p.image.data(), p.image.size());
             p.unit->addFault(sim::Fault::hold, 3, sim::RequestKind::download);
             QTest::mouseClick(p.button("Update Now"), Qt::LeftButton);
             ASSERT_TRUE(p.waitFor([&] { return p.unit->waitUntilHeld(1, {}); }));
         },
         "Updating...", "<progress> "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QtProgram p(duoUnit(), c.attached);
        if (c.drive) {
            c.drive(p);
        }
        EXPECT_EQ(p.message(), c.message);
        EXPECT_EQ(shown(p.view), c.controls);

        const QImage image = p.picture(QStringLiteral("window-%1").arg(c.name));
        EXPECT_EQ(strayPixels(image, p.view), 0);
        const Ink statusInk = inkIn(image, statusLine), messageInk = inkIn(image, messageLine);
        EXPECT_GT(statusInk.text, 0);
        EXPECT_LE(statusInk.first, statusLine.left() + 3);
        EXPECT_LT(statusInk.last, statusLine.right());
        EXPECT_EQ(messageInk.text > 0, !c.message.empty());
        if (!c.message.empty()) {
            EXPECT_GT(messageInk.first, messageLine.left());
            EXPECT_LT(messageInk.last, messageLine.right());
            EXPECT_NEAR(messageInk.first + messageInk.last,
                        messageLine.left() + messageLine.right(), 3);
        }
        p.unit->releaseHeld();  // lets a held worker end before the unit goes
    }
}

// Too wide for its line, a status loses its end and a message both its ends; neither draws
// outside its line. (No gap between the letters is wider than 3 pixels.)
TEST(QtWindowView, OverlongTextsAreCutAtTheirLines) {
    sim::UnitConfig unit = duoUnit();
    unit.product = u"Tavik-Duo-with-a-product-name-far-longer-than-any-shipped-unit-reports";
    QtProgram p(unit);
    p.program.window.setMessageText("Update-to-a-version-whose-name-is-far-too-long-for-its-line");
    const QImage image = p.picture("window-overlong");
    EXPECT_EQ(strayPixels(image, p.view), 0);
    EXPECT_GE(inkIn(image, statusLine).last, statusLine.right() - 3);
    EXPECT_LE(inkIn(image, messageLine).first, messageLine.left() + 3);
    EXPECT_GE(inkIn(image, messageLine).last, messageLine.right() - 3);
}

// The Windows build's four button looks: border (inside the control), fill, caption colour.
TEST(QtWindowView, ButtonLooksByPixels) {
    const QRgb edge = qRgb(97, 101, 104), face = qRgb(67, 71, 74), greyed = qRgb(110, 110, 110);
    const struct {
        const char* name;
        std::function<void(QAbstractButton*)> set;
        int border;
        QRgb pen, fill, caption;
    } cases[] = {
        {"normal", [](QAbstractButton*) {}, 1, face, face, textRgb},
        {"hot",
         [](QAbstractButton* b) {
             QTest::mouseMove(b->window()->windowHandle(), b->geometry().center());
         },
         2, edge, face, textRgb},
        {"pressed", [](QAbstractButton* b) { QTest::mousePress(b, Qt::LeftButton); }, 2, edge, edge,
         textRgb},
        {"disabled", [](QAbstractButton* b) { b->setEnabled(false); }, 2, face, face, greyed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QtProgram p;
        QAbstractButton* button = p.button("Update Now");
        ASSERT_NE(button, nullptr);
        QTest::mouseMove(p.view.windowHandle(), QPoint(5, 5));  // the pointer starts elsewhere
        c.set(button);
        const QImage image = p.picture(QStringLiteral("button-%1").arg(c.name), button->geometry());
        const int border = c.border, right = 189, bottom = 29;
        for (int step = 0; step < 3; ++step) {  // from the top left and the bottom right
            const QRgb expected = step < border ? c.pen : c.fill;
            EXPECT_EQ(image.pixel(step, step), expected) << step;
            EXPECT_EQ(image.pixel(right - step, bottom - step), expected) << step;
        }
        // Inside the border only the fill, the caption and blends of the two.
        int captionPixels = 0, otherPixels = 0;
        for (int y = border; y <= bottom - border; ++y) {
            for (int x = border; x <= right - border; ++x) {
                const QRgb pixel = image.pixel(x, y);
                captionPixels += distance(pixel, c.caption) <= inkTolerance;
                otherPixels += distance(pixel, c.fill) + distance(pixel, c.caption) >
                               distance(c.fill, c.caption) + 2;
            }
        }
        EXPECT_GT(captionPixels, 10);
        EXPECT_EQ(otherPixels, 0);
        QTest::mouseRelease(button, Qt::LeftButton, {}, QPoint(-10, -10));  // no click
    }
}

// Windows 10's bar: a grey border, green in proportion to the position, then the trough; by the
// Windows control's rules, not Qt's: a position beyond the range or a range shrunk below it shows
// a full bar, and 0..0 an empty one, not a busy one.
TEST(QtWindowView, ProgressBarRangeAndPositionAsOnWindows) {
    struct Step {
        int maximum, position;  // -1: left as it is
        int green;              // of the 398 columns inside the border
    };
    const std::vector<std::vector<Step>> sequences = {
        {{-1, -1, 0}, {6, 3, 199}, {6, 9, 398}},
        {{10, 8, 318}, {4, -1, 398}, {-1, 2, 199}},
        {{0, -1, 0}, {-1, 5, 0}, {2, -1, 0}, {-1, 1, 199}},
    };
    for (const std::vector<Step>& steps : sequences) {
        QtProgram p(duoUnit(), false);
        const WindowView::Control bar = p.view.createProgressBar(WindowLayout::progressBar(w));
        auto* widget = static_cast<QProgressBar*>(static_cast<QWidget*>(bar));
        for (const Step& step : steps) {
            SCOPED_TRACE(std::to_string(step.maximum) + ", " + std::to_string(step.position));
            if (step.maximum >= 0) {
                p.view.setProgressRange(bar, static_cast<std::uint16_t>(step.maximum));
            }
            if (step.position >= 0) {
                p.view.setProgressPosition(bar, static_cast<std::uint16_t>(step.position));
            }
            EXPECT_NE(widget->maximum(), 0);  // Qt animates a busy bar for 0..0
            const QImage image = widget->grab().toImage().convertToFormat(QImage::Format_RGB32);
            const int right = image.width() - 1, bottom = image.height() - 1;
            EXPECT_EQ(image.pixel(0, 15), barBorder);
            EXPECT_EQ(image.pixel(right, bottom), barBorder);
            std::string columns;  // "g" for green, "t" for the trough, at the middle row
            for (int x = 1; x < right; ++x) {
                const QRgb pixel = image.pixel(x, 15);
                columns += pixel == barFill ? 'g' : pixel == barTrough ? 't' : '?';
            }
            EXPECT_EQ(columns, std::string(step.green, 'g') + std::string(398 - step.green, 't'));
        }
    }
}

// The window's frame and font; hotplug events reach the window until the close box ends the loop.
TEST(QtWindowView, FrameFontAndHotplugUntilTheCloseBoxEndsTheLoop) {
    QtProgram p(duoUnit(), false);
    EXPECT_EQ(p.view.windowTitle(), "Zerrow Tavik Updater (Sept 2023)");
    EXPECT_EQ(p.view.size(), QSize(482, 119));
    EXPECT_EQ(p.view.minimumSize(), p.view.maximumSize());
    EXPECT_FALSE(p.view.windowFlags() & Qt::WindowMaximizeButtonHint);
    // The system font, made smaller only as far as the texts need.
    const QFont system = QApplication::font(), chosen = p.view.font();
    const int pixels = QFontInfo(chosen).pixelSize();
    EXPECT_EQ(chosen.family(), system.family());
    EXPECT_LE(pixels, QFontInfo(system).pixelSize());
    if (chosen != system) {
        QFont larger = chosen;
        larger.setPixelSize(pixels + 1);
        EXPECT_FALSE(windowTextsFit(larger, w));
    }
    EXPECT_EQ(p.program.window.statusText(), noUnit);
    p.unit->attach();
    p.hotplug.report(true);
    ASSERT_TRUE(p.waitFor([&] { return p.message() == "Update to 2.01"; }));
    p.unit->detach();
    p.hotplug.report(false);
    ASSERT_TRUE(p.waitFor([&] { return p.message().empty(); }));

    p.unit->attach();
    QTimer::singleShot(0, &p.view, [&] { p.view.close(); });
    QTimer::singleShot(patienceMs, &p.view, [] { QCoreApplication::exit(99); });
    p.hotplug.report(true);  // comes after the close: never seen
    EXPECT_EQ(QApplication::exec(), 0);
    EXPECT_FALSE(p.view.isVisible());
    EXPECT_EQ(p.hotplug.stops, 1);
    QTest::qWait(20);
    EXPECT_EQ(p.program.window.statusText(), noUnit);
}

// OK ends the loop at once, leaving unit and window be; a button may be taken away inside its own
// click: at once from the screen, from memory once back in the event loop.
TEST(QtWindowView, OkEndsTheLoopAndAButtonMayGoInsideItsOwnClick) {
    QtProgram p(duoUnit(0x0009));
    QPointer<QAbstractButton> ok = p.button("OK");
    ASSERT_FALSE(ok.isNull());
    QObject::connect(ok, &QAbstractButton::clicked, &p.view,
                     [&] { p.view.destroyControl(static_cast<QWidget*>(ok.data())); });
    QTimer::singleShot(0, &p.view, [&] { QTest::mouseClick(ok, Qt::LeftButton); });
    QTimer::singleShot(patienceMs, &p.view, [] { QCoreApplication::exit(99); });
    EXPECT_EQ(QApplication::exec(), 0);
    EXPECT_TRUE(p.view.isVisible());
    EXPECT_EQ(p.unit->openHandles(), 1u);
    EXPECT_EQ(p.hotplug.stops, 0);
    EXPECT_EQ(shown(p.view), "");
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(ok.isNull());
}

}  // namespace
}  // namespace tavik
