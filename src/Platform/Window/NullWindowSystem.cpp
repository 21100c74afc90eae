// The head-less backend of the window layer: windows are sizes, events come from `inject`, and
// drawables are plain GPU images.
#include <algorithm>
#include <map>

#include "Platform/Window/Window.h"

namespace veltrane {

namespace {

class NullWindow;
// The system's list of open windows; each window takes itself off when it closes.
using Registry = std::map<std::uint32_t, NullWindow*>;

class NullWindow final : public Window {
public:
    NullWindow(std::uint32_t id, const WindowDesc& desc, const std::vector<WindowRect>& displays,
               std::shared_ptr<Registry> registry)
        : id_(id), title_(desc.title), borderless_(desc.borderless || desc.coverDisplay), displays_(displays),
          registry_(registry)
    {
        (*registry)[id] = this;
        const WindowRect screen = displays_.empty()
                                      ? WindowRect{0, 0, 1920, 1080}
                                      : displays_[size_t(std::clamp(desc.display, 0, int(displays_.size()) - 1))];
        frame_.width = desc.width > 0 ? desc.width : 800;
        frame_.height = desc.height > 0 ? desc.height : 600;
        if (desc.coverDisplay) {
            frame_ = screen;
        } else {
            frame_.x = desc.x ? *desc.x : screen.x + (screen.width - frame_.width) / 2;
            frame_.y = desc.y ? *desc.y : screen.y + (screen.height - frame_.height) / 2;
        }
        minWidth_ = desc.minWidth;
        minHeight_ = desc.minHeight;
    }
    ~NullWindow() override
    {
        waitIdle();
        if (auto registry = registry_.lock()) registry->erase(id_);
    }

    std::uint32_t id() const override { return id_; }
    std::string title() const override { return title_; }
    int width() const override { return frame_.width; }
    int height() const override { return frame_.height; }
    int pixelWidth() const override { return frame_.width; }
    int pixelHeight() const override { return frame_.height; }
    WindowRect frame() const override { return frame_; }
    bool isBorderless() const override { return borderless_; }
    int display() const override
    {
        const int cx = frame_.x + frame_.width / 2, cy = frame_.y + frame_.height / 2;
        for (size_t i = 0; i < displays_.size(); ++i) {
            const WindowRect& d = displays_[i];
            if (cx >= d.x && cx < d.x + d.width && cy >= d.y && cy < d.y + d.height) return int(i);
        }
        return 0;
    }
    void setFrame(const WindowRect& r) override
    {
        frame_ = r;
        frame_.width = std::max(frame_.width, minWidth_);
        frame_.height = std::max(frame_.height, minHeight_);
    }
    void raise(bool) override {}

    void attach(std::shared_ptr<GpuDevice> device, const SwapchainDesc&) override { device_ = std::move(device); }
    std::optional<Drawable> nextDrawable() override
    {
        if (!device_ || frame_.width <= 0 || frame_.height <= 0) return std::nullopt;
        if (inFlight_) inFlight_->waitUntilCompleted();
        inFlight_.reset();
        if (!texture_ || texture_->width() != frame_.width || texture_->height() != frame_.height)
            texture_ = device_->makeImage(
                {frame_.width, frame_.height, GpuFormat::bgra8Unorm, gpuRenderTarget | gpuShaderRead, "drawable"});
        return Drawable{texture_, 0, 0};
    }
    void present(const Drawable& drawable, const std::shared_ptr<GpuCommandBuffer>& cb) override
    {
        cb->retain(drawable.texture);
        cb->commit();
        inFlight_ = cb;
        last_ = drawable.texture;
    }
    void waitIdle() override
    {
        if (inFlight_) inFlight_->waitUntilCompleted();
        inFlight_.reset();
    }
    std::shared_ptr<GpuImage> lastPresented() const override { return last_; }

    void setDisplays(const std::vector<WindowRect>& displays) { displays_ = displays; }

private:
    std::uint32_t id_;
    std::string title_;
    bool borderless_;
    std::vector<WindowRect> displays_;
    std::weak_ptr<Registry> registry_;
    WindowRect frame_;
    int minWidth_ = 0, minHeight_ = 0;
    std::shared_ptr<GpuDevice> device_;
    std::shared_ptr<GpuImage> texture_, last_;
    std::shared_ptr<GpuCommandBuffer> inFlight_;
};

class NullWindowSystem final : public WindowSystem {
public:
    Backend backend() const override { return Backend::null; }

    std::unique_ptr<Window> open(const WindowDesc& desc) override
    {
        return std::make_unique<NullWindow>(nextId_++, desc, displays_, windows_);
    }
    std::vector<WindowRect> displays() const override { return displays_; }
    std::vector<std::string> vulkanInstanceExtensions() const override { return {}; }

    void poll(std::vector<WindowEvent>& events) override
    {
        for (WindowEvent& e : pending_) {
            // A size change reaches the window before its event is seen, as with a real window system.
            if (e.kind == WindowEvent::Kind::resized) {
                if (NullWindow* w = find(e.window)) {
                    WindowRect f = w->frame();
                    f.width = e.width;
                    f.height = e.height;
                    w->setFrame(f);
                }
            }
            events.push_back(std::move(e));
        }
        pending_.clear();
    }
    void waitForEvents(double) override {}

    void alert(const std::string& title, const std::string& message, Window*) override
    {
        alerts_.push_back({title, message});
    }

    void inject(const WindowEvent& event) override { pending_.push_back(event); }
    void setDisplays(std::vector<WindowRect> displays) override
    {
        displays_ = std::move(displays);
        for (auto& [id, w] : *windows_) w->setDisplays(displays_);
    }
    std::vector<Alert> alertsShown() const override { return alerts_; }

private:
    NullWindow* find(std::uint32_t id)
    {
        auto it = windows_->find(id);
        return it == windows_->end() ? nullptr : it->second;
    }

    std::uint32_t nextId_ = 1;
    std::vector<WindowRect> displays_{{0, 0, 1920, 1080}};
    std::shared_ptr<Registry> windows_ = std::make_shared<Registry>();
    std::vector<WindowEvent> pending_;
    std::vector<Alert> alerts_;
};

} // namespace

std::unique_ptr<WindowSystem> makeNullWindowSystem() { return std::make_unique<NullWindowSystem>(); }

} // namespace veltrane
