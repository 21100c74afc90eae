#include "VeltraneApp/FractalSurface.h"

#include "FractalCore/ZoomRules.h"
#include "VeltraneApp/LiveBench.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace veltrane {

FractalMetalView::FractalMetalView(Window& window, InstrumentState& state, std::shared_ptr<FractalRenderer> renderer,
                                   bool isStage, const Clock& clock)
    : state(state), renderer(std::move(renderer)), isStage(isStage), startTime(clock.now()), window_(window),
      clock_(clock)
{}

// The renderer places a pixel at offset d (points, y up) from the centre at the plane offset
// R(rotation) d x 2.5 / (m x zoom); the canvas inverts exactly that.
std::pair<double, double> FractalMetalView::fractalDelta(double dx, double dy) const
{
    const double m = std::max(std::min(width(), height()), 1.0);
    const double s = 2.5 / (m * state.zoom.get());
    const double r = state.rotation.get();
    const double c = std::cos(r), sn = std::sin(r);
    return {s * (dx * c - dy * sn), s * (dx * sn + dy * c)};
}

std::pair<double, double> FractalMetalView::normalisedOffset(ViewPoint p) const
{
    const double w = width(), h = height();
    const double m = std::max(std::min(w, h), 1.0);
    const double a = (p.x - w * 0.5) / m, b = (p.y - h * 0.5) / m;
    const double r = state.rotation.get();
    const double c = std::cos(r), sn = std::sin(r);
    return {a * c - b * sn, a * sn + b * c};
}

void FractalMetalView::zoom(double factor, std::optional<ViewPoint> around)
{
    const double z = state.zoom.get();
    double z2 = factor * z;
    if (!std::isnan(z2)) z2 = std::clamp(z2, ZoomRules::minZoom, InstrumentState::maxZoom);
    double dx = 0, dy = 0;
    if (around && std::isfinite(z2)) {
        const auto [a, b] = normalisedOffset(*around);
        const double k = (1 / z - 1 / z2) * 2.5;
        dx = a * k;
        dy = b * k;
    }
    state.zoomTo(z2, dx, dy);
}

void FractalMetalView::mouseDown(ViewPoint location, int clickCount)
{
    state.userTookControl();
    if (clickCount == 2) {
        zoom(2, location);
        lastDrag.reset();
    } else {
        lastDrag = location;
    }
}

void FractalMetalView::mouseDragged(ViewPoint p)
{
    if (!lastDrag) return;
    const double dx = p.x - lastDrag->x, dy = p.y - lastDrag->y;
    lastDrag = p;
    const auto [x, y] = fractalDelta(dx, dy);
    state.userTookControl();
    state.centre.set(state.centre.get().offset(-x, -y));
}

void FractalMetalView::mouseUp() { lastDrag.reset(); }

void FractalMetalView::scrollWheel(double delta, bool precise, ViewPoint location)
{
    const double d = precise ? delta : delta * wheelPointsPerNotch;
    if (d == 0 || !std::isfinite(d)) return;
    state.userTookControl();
    zoom(std::exp2(d / wheelPointsPerDoubling), location);
}

void FractalMetalView::magnify(double magnification, ViewPoint location)
{
    state.userTookControl();
    zoom(1 + magnification, location);
}

void FractalMetalView::rotate(double degrees)
{
    state.userTookControl();
    if (!std::isfinite(degrees)) return;
    state.rotation.set(state.rotation.get() + degrees * M_PI / 180);
}

void FractalMetalView::rightMouseDown()
{
    if (const auto& save = state.onSaveRequested.get()) save();
}

bool FractalMetalView::keyDown(const KeyEvent& event) { return state.handleKey(event); }

bool FractalMetalView::keyUp(const KeyEvent& event) { return state.handleKeyUp(event); }

KeyEvent FractalMetalView::keyEvent(const KeyInput& key)
{
    KeyEvent e;
    switch (key.key) {
    case KeyInput::Key::other: e.key = KeyEvent::Key::other; break;
    case KeyInput::Key::returnKey: e.key = KeyEvent::Key::returnKey; break;
    case KeyInput::Key::keypadEnter: e.key = KeyEvent::Key::keypadEnter; break;
    case KeyInput::Key::escape: e.key = KeyEvent::Key::escape; break;
    case KeyInput::Key::left: e.key = KeyEvent::Key::left; break;
    case KeyInput::Key::right: e.key = KeyEvent::Key::right; break;
    case KeyInput::Key::down: e.key = KeyEvent::Key::down; break;
    case KeyInput::Key::up: e.key = KeyEvent::Key::up; break;
    }
    // Keys that only stand for themselves (Return, Escape) carry no text here: the state knows them
    // by position.
    if (e.key == KeyEvent::Key::other) e.characters = key.characters;
    if (key.modifiers & KeyInput::shift) e.modifiers |= KeyEvent::shift;
    if (key.modifiers & KeyInput::ctrl) e.modifiers |= KeyEvent::ctrl;
    if (key.modifiers & KeyInput::alt) e.modifiers |= KeyEvent::alt;
    if (key.modifiers & KeyInput::super) e.modifiers |= KeyEvent::super;
    e.isRepeat = key.isRepeat;
    return e;
}

bool FractalMetalView::handle(const WindowEvent& e)
{
    if (isStage || e.window != window_.id()) return false;
    using Kind = WindowEvent::Kind;
    switch (e.kind) {
    case Kind::mouseDown:
        if (e.button == MouseButton::left)
            mouseDown(viewPoint(e.x, e.y), e.clicks);
        else if (e.button == MouseButton::right)
            rightMouseDown();
        return true;
    case Kind::mouseMoved:
        if (e.buttons & (1u << unsigned(MouseButton::left))) mouseDragged(viewPoint(e.x, e.y));
        return true;
    case Kind::mouseUp:
        if (e.button == MouseButton::left) mouseUp();
        return true;
    case Kind::wheel: {
        const ViewPoint at = viewPoint(e.x, e.y);
        if (e.modifiers & KeyInput::ctrl)
            magnify(e.dy * (e.precise ? 1 / wheelPointsPerNotch : 1) * magnificationPerNotch, at);
        else if (e.modifiers & KeyInput::alt)
            rotate(e.dy * (e.precise ? 1 / wheelPointsPerNotch : 1) * degreesPerNotch);
        else
            scrollWheel(e.dy, e.precise, at);
        return true;
    }
    case Kind::keyDown: return keyDown(keyEvent(e.key));
    case Kind::keyUp: return keyUp(keyEvent(e.key));
    default: return false;
    }
}

void FractalMetalView::draw()
{
    const double now = clock_.now();
    if (onFrame) onFrame(now);
    if (!renderer) return;
    std::optional<Drawable> drawable;
    std::shared_ptr<GpuCommandBuffer> cb;
    try {
        drawable = window_.nextDrawable();
        if (!drawable) return;
        cb = renderer->device()->makeCommandBuffer("frame");
    } catch (const std::exception& error) {
        // A drawable handed out must still be presented; without a command buffer it cannot be.
        std::fprintf(stderr, "render failed: %s\n", error.what());
        return;
    }
    try {
        renderer->encodeFrame(state.renderView(), state.audioVisuals.get(), state.postSettings(), now - startTime,
                              drawable->texture, *cb, now);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "render failed: %s\n", error.what());
    }
    try {
        window_.present(*drawable, cb);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "render failed: %s\n", error.what());
    }
    if (!isStage) state.renderStats.set(renderer->stats());
}

std::unique_ptr<FractalMetalView> FractalSurface::makeView(Window& window, std::shared_ptr<GpuDevice> device,
                                                           const Clock& clock) const
{
    if (!device) throw RendererError::noDevice();
    auto renderer = std::make_shared<FractalRenderer>(std::move(device));
    auto view = std::make_unique<FractalMetalView>(window, state, std::move(renderer), false, clock);
    FractalMetalView* canvas = view.get();
    InstrumentState* model = &state;
    view->onFrame = [model, canvas, onFrame = onFrame, bench = bench](double t) {
        model->advance(t);
        if (onFrame) onFrame(t);
        if (bench) bench->drawableSize = {canvas->window().pixelWidth(), canvas->window().pixelHeight()};
    };
    return view;
}

} // namespace veltrane
