#pragma once
// The GPU renderer of fractal views: construction (device, shader libraries, pipelines), the
// progressive frame loop with adaptive resolution, tiled refinement and supersampling, the post
// chain, and off-screen stills and diagnostic renders.
//
// One renderer is used by one thread at a time. Only the timing box is shared, with the GPU
// completion thread, under its own lock.

#include <array>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "FractalRender/BLATable.h"
#include "FractalRender/DeferredPipelines.h"
#include "FractalRender/FractalUniforms.h"
#include "FractalRender/FrameScheduler.h"
#include "FractalRender/ReferenceStore.h"
#include "FractalRender/RenderTypes.h"
#include "Platform/Gpu/Gpu.h"
#include "Platform/Image/Image.h"

namespace veltrane {

class FractalRenderer {
public:
    using Timing = FrameScheduler::Timing;

    // One Timing under a lock: written by completion handlers, read by the frame tick.
    class TimingBox {
    public:
        Timing load() const
        {
            std::lock_guard lock(mutex_);
            return timing_;
        }
        template <typename F>
        void update(F&& change)
        {
            std::lock_guard lock(mutex_);
            change(timing_);
        }

    private:
        mutable std::mutex mutex_;
        Timing timing_;
    };

    static constexpr double deepZoomThreshold = 2500.0;
    static constexpr double extremeZoomThreshold = 1e30;
    static constexpr const std::array<double, 8>& renderScales = FrameScheduler::renderScales;
    static constexpr int tileSide = FrameScheduler::tileSide;
    static constexpr int maxSamples = FrameScheduler::maxSamples;

    // Throws RendererError (noDevice without a device) or GpuError. The compute pipelines are made
    // when first needed (the rest soon after in the background), so the driver's failure to make one
    // is thrown by the frame or still that needs it.
    explicit FractalRenderer(std::shared_ptr<GpuDevice> device);
    ~FractalRenderer();
    FractalRenderer(const FractalRenderer&) = delete;
    FractalRenderer& operator=(const FractalRenderer&) = delete;

    // The shader source of a resource ("Fractal", "Post"): Shaders/<name>.glsl, else <name>.glsl at
    // the resource root. Throws RendererError::shaderSource.
    static std::string shaderSource(const std::string& name);
    // Compiles the functions the renderer uses from a library's source. Throws RendererError.
    static GpuShaderLibrary makeLibrary(const std::string& name);

    void resize(int width, int height);
    // Forgets all progress on the current view and the frame timing and adaptive-resolution state, so
    // a still or benchmark on a renderer used live starts at full scale with fresh averages.
    void reset();

    // What keeps a frame of this view from being drawn into a target of this size, or nothing: a view
    // the renderer refuses (RendererError::view) or a texture of that size the device did not give
    // (RendererError::texture). Resizes to the target first.
    std::optional<RendererError> refusal(const RenderView& view, const GpuImage& target);

    // Encodes one displayed frame into the command buffer (neither commits nor presents). `time` is
    // the animation clock of the post chain, `now` the wall clock for frame timing, both in seconds.
    // A frame that cannot be drawn (refusal) is dropped: nothing is encoded, droppedFrame says why, and
    // the reason is written to standard error once, until a frame is drawn again.
    void encodeFrame(const RenderView& view, const AudioVisuals& audio, const PostSettings& post, double time,
                     const std::shared_ptr<GpuImage>& target, GpuCommandBuffer& commandBuffer, double now);

    // Why the last encodeFrame encoded nothing, or nothing when it drew.
    const std::optional<RendererError>& droppedFrame() const { return droppedFrame_; }

    // Off-screen renders; each blocks until the GPU has finished. A refusal is thrown. samples < 2 runs the frame loop
    // until the picture is final; 2 to 16 (more count as 16) average film-jittered samples.
    Image renderStill(const RenderView& view, int width, int height, const PostSettings& post = {},
                      const AudioVisuals& audio = {}, double time = 0, int samples = 1);
    // Four floats per pixel (red, green, blue, alpha), rows from the top: the half-float output of the
    // post chain widened, not clamped to 1 (display-encoded like every composite output).
    std::vector<float> renderStillLinear(const RenderView& view, int width, int height, const PostSettings& post = {},
                                         double time = 0);
    void encodeAveraged(const RenderView& view, int samples, const AudioVisuals& audio, const PostSettings& post,
                        double time, const std::shared_ptr<GpuImage>& target);
    struct Diagnostic {
        std::vector<bool> escaped;
        std::vector<double> mu;
    };
    // Escape data per pixel, rows from the top: escaped, and the smooth count mu (0 where the point
    // never escapes). Computed in double precision where the device has it, unless
    // singlePrecisionDiagnostics is set.
    Diagnostic renderDiagnostic(const RenderView& view, int width, int height,
                                const std::optional<BigComplex>& standIn = std::nullopt);

    static Image cgImage(GpuDevice& device, const std::shared_ptr<GpuImage>& texture);
    // Creates missing parent folders (their failure is thrown as std::filesystem::filesystem_error).
    static void writePNG(const Image& image, const std::filesystem::path& path);

    const std::shared_ptr<GpuDevice>& device() const { return device_; }
    int width() const { return width_; }
    int height() const { return height_; }
    std::int64_t refLength() const { return reference_ ? reference_->length : 1; }
    ReferenceStore& references() { return *references_; }
    // The orbit the next fractal pass uses (nothing outside deep views).
    const std::shared_ptr<ReferenceOrbit>& reference() const { return reference_; }
    const RenderStats& stats() const { return stats_; }

    bool synchronousReferences = false;
    bool forceExtremePath = false;
    bool iterationSkipping = true;
    // Diagnostics through the single-precision pipelines the live frames use, to hold those against an
    // oracle; by default they use the double-precision kernel where the device has one.
    bool singlePrecisionDiagnostics = false;

    // The sample jitter table (R2 sequence, pixels) and its tent-filtered form for stills.
    static const std::array<std::array<float, 2>, 16>& sampleJitter();
    static const std::array<std::array<float, 2>, 16>& filmJitter();

    // The frame loop's progress, for tests and the HUD's diagnostics.
    struct Progress {
        int scaleIndex;
        double tilesPerFrame;
        std::vector<std::pair<int, int>> tiles;
        int nextTile;
        int staticFrames;
        int sampleCount;
        bool highValid;
        double frameEma;
        double gpuEma;
        int lowWidth, lowHeight;
    };
    Progress progress() const;
    // Tests replace measured GPU times with a fixed figure (milliseconds); nullopt measures again.
    void injectGpuTime(std::optional<double> ms) { injectedGpuMs_ = ms; }

private:
    static const std::vector<GpuBinding>& fractalBindings();
    // The compute pipelines: one per formula of the fractal kernel (formulaIndex), then newton's and
    // the accumulation's.
    static size_t pipelineIndex(FractalType type);
    // The pipeline of a formula (newton's own for newton), made now if nothing has made it yet.
    std::shared_ptr<GpuPipeline> fractalPipeline(FractalType type, bool precise = false);
    // Starts making the formula's pipeline in the background while the caller does other work.
    void prefetchPipeline(FractalType type) { computePipelines_->prefetch(pipelineIndex(type)); }
    std::shared_ptr<GpuPipeline> accumulatePipeline();
    void allocLow();
    void buildTiles();
    void tick(double now, bool moving, bool autoQuality);
    std::string geometryKey(const RenderView& view, Complex juliaOffset) const;
    FractalUniforms uniforms(const RenderView& view, const GpuImage& target, bool deep, Complex juliaOffset,
                             std::array<float, 2> jitter);
    // Binds the formula's pipeline and buffers; the caller sets the target and dispatches.
    void bindFractal(GpuCommandBuffer& cb, const RenderView& view, const FractalUniforms& u, bool precise = false);
    void dispatchRegion(GpuCommandBuffer& cb, const RenderView& view, const std::shared_ptr<GpuImage>& target,
                        FractalUniforms u, int x, int y, int w, int h, bool precise = false);
    void encodeTiles(GpuCommandBuffer& cb, const RenderView& view, const std::shared_ptr<GpuImage>& target, bool deep,
                     Complex juliaOffset, std::array<float, 2> jitter, int budget, int& encoded);
    void encodePost(GpuCommandBuffer& cb, const std::shared_ptr<GpuImage>& source, const AudioVisuals& audio,
                    const PostSettings& post, double time, const std::shared_ptr<GpuImage>& target);
    // The bright light of `source` into `glow`, blurred `passes` times each way, through `scratch` (of
    // the glow's size).
    void glowPass(GpuCommandBuffer& cb, const std::shared_ptr<GpuImage>& source, const BrightBlock& bright, int passes,
                  const std::shared_ptr<GpuImage>& glow, const std::shared_ptr<GpuImage>& scratch);
    void drawFullscreen(GpuCommandBuffer& cb, const std::shared_ptr<GpuPipeline>& pipeline,
                        const std::shared_ptr<GpuImage>& target,
                        std::initializer_list<std::shared_ptr<GpuImage>> inputs, const void* bytes, uint32_t size);
    std::shared_ptr<GpuPipeline> compositePipeline(GpuFormat format);
    std::shared_ptr<GpuImage> makeTexture(int w, int h, const std::string& label);
    // Chooses the reference orbit of a deep view and sets the offsets and reference statistics.
    void prepareReference(const RenderView& view, bool wait);
    // The approximation table for the rescaled path over a target of width x height, or nothing.
    std::shared_ptr<BLATable> blaTable(const RenderView& view, int width, int height);
    std::shared_ptr<GpuImage> stillTarget(int width, int height, GpuFormat format);
    // Frames until the picture is final; returns the target's bytes, copied out by the last frame.
    std::vector<uint8_t> runUntilFinished(const RenderView& view, const PostSettings& post, const AudioVisuals& audio,
                                          double time, const std::shared_ptr<GpuImage>& target);

    std::shared_ptr<GpuDevice> device_;
    // The functions outlive construction: the pipelines are made from them later.
    std::unique_ptr<GpuShaderFunction> fractalKernel_, newtonKernel_, accumulateKernel_;
    std::unique_ptr<GpuShaderFunction> preciseKernel_; // absent without 64-bit floats
    // The nine formulas, then newton, then accumulate; declared after the functions they read.
    std::unique_ptr<DeferredPipelines> computePipelines_;
    std::unique_ptr<DeferredPipelines> precisePipelines_; // each made by the first diagnostic of its formula
    std::shared_ptr<GpuPipeline> copyPipeline_;
    std::array<std::shared_ptr<GpuPipeline>, 2> glowRowsPipelines_, glowColumnsPipelines_; // one blur, two
    std::unique_ptr<GpuShaderLibrary> postLibrary_;
    std::map<GpuFormat, std::shared_ptr<GpuPipeline>> compositePipelines_;

    int width_ = 0, height_ = 0;
    std::shared_ptr<GpuImage> sceneLow_, sceneHigh_, sampleTex_, accum_, bloomA_, bloomA2_, bloomB_, bloomB2_;
    std::map<std::string, std::string> refusedTextures_; // label -> the device's reason, while absent
    std::optional<RendererError> droppedFrame_;

    std::unique_ptr<ReferenceStore> references_;
    std::shared_ptr<ReferenceOrbit> reference_;
    std::shared_ptr<BLATable> passTable_; // the table the last uniform block counted levels of
    std::array<float, 2> deltaOffset_{0, 0};
    ScaledComplex deltaOffsetScaled_;
    std::shared_ptr<GpuBuffer> emptyRef_;

    std::string geometryKey_, lowKey_;
    FrameScheduler scheduler_;
    bool highValid_ = false;
    std::vector<std::pair<int, int>> tiles_;
    int nextTile_ = 0;
    int staticFrames_ = 0;
    int sampleCount_ = 0;
    std::shared_ptr<TimingBox> timing_ = std::make_shared<TimingBox>();
    RenderStats stats_;
    bool lowUsedStandIn_ = false;
    std::optional<double> injectedGpuMs_;
    std::shared_ptr<GpuBuffer> readBack_; // kept between stills: a fresh mapping costs page faults
    std::shared_ptr<GpuImage> stillTarget_;
};

} // namespace veltrane
