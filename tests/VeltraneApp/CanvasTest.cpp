// The canvas's input on a head-less window: panning, zooming about the pointer, the modified wheel,
// double-clicks, the save request and keys. The renderer's own pixel mapping is the reference: the
// plane point under the pointer must stay under it at any rotation.
#include "Platform/Window/Window.h"
#include "StateFixture.h"
#include "VeltraneApp/FractalSurface.h"

#include <cmath>

namespace veltrane::test {
namespace {

class CanvasTest : public StateFixture {
protected:
    CanvasTest()
    {
        window = system->open({.width = 800, .height = 500});
        canvas = std::make_unique<FractalMetalView>(*window, *state, nullptr, false, clock);
    }

    // The plane point the renderer draws at view point p (y up): centre + R(rotation) (p - middle) x
    // 2.5 / (min(w, h) x zoom), as its kernel places a pixel.
    std::pair<double, double> planeAt(ViewPoint p) const
    {
        const double s = 2.5 / (500 * state->zoom.get()), r = state->rotation.get();
        const double dx = p.x - 400, dy = p.y - 250;
        const Complex c = state->centre.get().doubles();
        return {c.x + s * (std::cos(r) * dx - std::sin(r) * dy), c.y + s * (std::sin(r) * dx + std::cos(r) * dy)};
    }

    WindowEvent event(WindowEvent::Kind kind, double x, double y) const
    {
        WindowEvent e;
        e.kind = kind;
        e.window = window->id();
        e.x = x;
        e.y = y;
        return e;
    }

    std::unique_ptr<WindowSystem> system = WindowSystem::create(WindowSystem::Backend::null);
    std::unique_ptr<Window> window;
    std::unique_ptr<FractalMetalView> canvas;
};

TEST_F(CanvasTest, DragMovesTheCentreAgainstThePointer)
{
    canvas->mouseDown({100, 100}, 1);
    canvas->mouseDragged({200, 100});
    EXPECT_NEAR(state->centre.get().doubles().x, -0.5 - 0.5, 1e-12); // 2.5 / 500 per point
    EXPECT_NEAR(state->centre.get().doubles().y, 0, 1e-12);
    canvas->mouseUp();
    canvas->mouseDragged({300, 300}); // no press: nothing
    EXPECT_NEAR(state->centre.get().doubles().x, -1.0, 1e-12);
}

TEST_F(CanvasTest, ThePictureStaysUnderThePointerAtAnyRotation)
{
    for (double r : {0.0, M_PI / 2, 1.0, -2.5}) {
        state->rotation.set(r);
        state->setView(BigComplex(-0.5, 0.1, 2), 3, r, true);
        const ViewPoint from{300, 200}, to{340, 170};
        const auto before = planeAt(from);
        canvas->mouseDown(from, 1);
        canvas->mouseDragged(to);
        canvas->mouseUp();
        const auto after = planeAt(to);
        EXPECT_NEAR(after.first, before.first, 1e-12) << "rotation " << r;
        EXPECT_NEAR(after.second, before.second, 1e-12) << "rotation " << r;

        // Zooming about a point keeps the point where it is.
        const ViewPoint at{620, 90};
        const auto fixed = planeAt(at);
        canvas->scrollWheel(1, false, at);
        const auto zoomed = planeAt(at);
        EXPECT_NEAR(zoomed.first, fixed.first, 1e-12);
        EXPECT_NEAR(zoomed.second, fixed.second, 1e-12);
    }
}

TEST_F(CanvasTest, WheelNotchesPreciseScrollsAndTheZoomBounds)
{
    canvas->scrollWheel(1, false, {400, 250});
    EXPECT_NEAR(state->zoom.get(), std::exp2(40.0 / 300), 1e-12);
    state->zoom.set(1);
    canvas->scrollWheel(300, true, {400, 250});
    EXPECT_NEAR(state->zoom.get(), 2, 1e-12);
    const double lastMove = state->lastManualMove.get();
    clock.advance(1);
    canvas->scrollWheel(0, false, {0, 0}); // nothing, not even taking control
    EXPECT_EQ(state->lastManualMove.get(), lastMove);

    // At the bound the zoom stops and the centre does not move.
    state->setView(BigComplex(-0.5, 0, 2), InstrumentState::maxZoom, 0, true);
    const BigComplex centre = state->centre.get();
    canvas->scrollWheel(5, false, {10, 10});
    EXPECT_EQ(state->zoom.get(), InstrumentState::maxZoom);
    EXPECT_EQ(state->centre.get(), centre);
}

TEST_F(CanvasTest, DoubleClickZoomsTripleClickIsAPress)
{
    const auto fixed = planeAt({600, 400});
    canvas->mouseDown({600, 400}, 2);
    EXPECT_NEAR(state->zoom.get(), 2, 1e-12);
    EXPECT_NEAR(planeAt({600, 400}).first, fixed.first, 1e-12);
    EXPECT_FALSE(canvas->lastDrag); // dragging after it does nothing until the next press
    canvas->mouseDown({600, 400}, 3);
    EXPECT_TRUE(canvas->lastDrag);
    EXPECT_NEAR(state->zoom.get(), 2, 1e-12);
}

TEST_F(CanvasTest, WindowEventsModifiedWheelRightClickAndKeys)
{
    // Window events are y-down: a press at the top-left corner is view point (0, 500).
    canvas->handle(event(WindowEvent::Kind::mouseDown, 0, 0));
    ASSERT_TRUE(canvas->lastDrag);
    EXPECT_EQ(canvas->lastDrag->y, 500);
    auto move = event(WindowEvent::Kind::mouseMoved, 0, 50); // dragging down moves the centre up
    move.buttons = 1u << unsigned(MouseButton::left);
    canvas->handle(move);
    EXPECT_NEAR(state->centre.get().doubles().y, 0.25, 1e-12);
    canvas->handle(event(WindowEvent::Kind::mouseUp, 0, 50));

    auto wheel = event(WindowEvent::Kind::wheel, 400, 250);
    wheel.dy = 1;
    wheel.modifiers = KeyInput::ctrl;
    canvas->handle(wheel);
    EXPECT_NEAR(state->zoom.get(), 1.1, 1e-12); // magnify by 0.1 a notch
    wheel.modifiers = KeyInput::alt;
    canvas->handle(wheel);
    EXPECT_NEAR(state->rotation.get(), 5 * M_PI / 180, 1e-12); // 5 degrees a notch

    canvas->handle(event(WindowEvent::Kind::mouseDown, 1, 1) /* left */);
    auto right = event(WindowEvent::Kind::mouseDown, 10, 10);
    right.button = MouseButton::right;
    EXPECT_TRUE(canvas->handle(right)); // no save hook: nothing happens
    int saves = 0;
    state->onSaveRequested.set([&] { ++saves; });
    canvas->handle(right);
    EXPECT_EQ(saves, 1);

    auto key = [&](std::string text, std::uint32_t modifiers) {
        WindowEvent e = event(WindowEvent::Kind::keyDown, 0, 0);
        e.key.characters = std::move(text);
        e.key.modifiers = modifiers;
        return canvas->handle(e);
    };
    const double zoom = state->zoom.get();
    EXPECT_TRUE(key("+", KeyInput::shift));
    EXPECT_NEAR(state->zoom.get(), zoom * InstrumentState::zoomStep, 1e-9);
    EXPECT_FALSE(key("+", KeyInput::ctrl)); // Ctrl keys are the menus'
    EXPECT_FALSE(key("q", 0));
    EXPECT_TRUE(key("?", KeyInput::shift));
    EXPECT_TRUE(state->helpOpen.get());
}

TEST_F(CanvasTest, TheStageCanvasTakesNoInput)
{
    FractalMetalView stage(*window, *state, nullptr, true, clock);
    EXPECT_FALSE(stage.acceptsFirstResponder());
    EXPECT_FALSE(stage.handle(event(WindowEvent::Kind::mouseDown, 10, 10)));
    EXPECT_FALSE(stage.lastDrag);
}

} // namespace
} // namespace veltrane::test
