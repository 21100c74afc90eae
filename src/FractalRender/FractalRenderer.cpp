#include "FractalRender/FractalRenderer.h"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "Platform/Resources/Resources.h"

namespace veltrane {

namespace {

const std::vector<GpuShaderLibrary::Entry>& functionsOf(const std::string& library)
{
    static const std::vector<GpuShaderLibrary::Entry> fractal = {{"fractalKernel", GpuShaderStage::compute},
                                                                 {"fractalKernelPrecise", GpuShaderStage::compute},
                                                                 {"newtonKernel", GpuShaderStage::compute},
                                                                 {"accumulateKernel", GpuShaderStage::compute}};
    static const std::vector<GpuShaderLibrary::Entry> post = {{"fullscreenVertex", GpuShaderStage::vertex},
                                                              {"glowRowsKernel", GpuShaderStage::compute},
                                                              {"glowColumnsKernel", GpuShaderStage::compute},
                                                              {"copyFragment", GpuShaderStage::fragment},
                                                              {"compositeFragment", GpuShaderStage::fragment}};
    static const std::vector<GpuShaderLibrary::Entry> none;
    if (library == "Fractal") return fractal;
    if (library == "Post") return post;
    return none;
}

const GpuShaderFunction& requireFunction(const GpuShaderLibrary& library, const std::string& name)
{
    const GpuShaderFunction* f = library.function(name);
    if (!f) throw GpuError("shader function " + name + " not found");
    return *f;
}

// Halves away from zero, as the texture sizes and the Julia offset steps round.
long roundHalfAway(double x) { return std::lround(x); }

} // namespace

const std::vector<GpuBinding>& FractalRenderer::fractalBindings()
{
    // The target, then reference points, scaled points, table entries, table levels, the orbit's point
    // pairs and the table's run starts.
    static const std::vector<GpuBinding> bindings = {
        GpuBinding::storageImage, GpuBinding::texelBuffer,     GpuBinding::texelBuffer,    GpuBinding::texelBuffer,
        GpuBinding::texelBuffer,  GpuBinding::wideTexelBuffer, GpuBinding::wideTexelBuffer};
    return bindings;
}

std::string FractalRenderer::shaderSource(const std::string& name)
{
    auto path = Resources::find(name + ".glsl", "Shaders");
    if (!path) throw RendererError::shaderSource(name);
    auto text = Resources::readText(*path);
    if (!text) throw RendererError::shaderSource(name);
    return *text;
}

GpuShaderLibrary FractalRenderer::makeLibrary(const std::string& name)
{
    std::string source = shaderSource(name);
    try {
        return GpuShaderLibrary::compile(name, source, functionsOf(name));
    } catch (const GpuShaderCompileError& error) {
        throw RendererError::library(name + ": " + error.what());
    }
}

FractalRenderer::FractalRenderer(std::shared_ptr<GpuDevice> device) : device_(std::move(device))
{
    if (!device_) throw RendererError::noDevice();
    GpuShaderLibrary fractal = makeLibrary("Fractal");
    postLibrary_ = std::make_unique<GpuShaderLibrary>(makeLibrary("Post"));

    // The compute pipelines are made when a frame first needs them, the rest in the background once
    // the renderer has lived five seconds, longer than a deep still from the command line takes
    // (DeferredPipelines says why); only the functions' presence is checked here, in the order
    // construction reports its failures.
    const GpuShaderFunction& kernel = requireFunction(fractal, "fractalKernel");
    const GpuShaderFunction* newton = fractal.function("newtonKernel");
    if (!newton) throw RendererError::pipeline("newtonKernel");
    const GpuShaderFunction* accumulate = fractal.function("accumulateKernel");
    if (!accumulate) throw RendererError::pipeline("accumulateKernel");
    fractalKernel_ = std::make_unique<GpuShaderFunction>(kernel);
    newtonKernel_ = std::make_unique<GpuShaderFunction>(*newton);
    accumulateKernel_ = std::make_unique<GpuShaderFunction>(*accumulate);
    std::vector<DeferredPipelines::Make> compute;
    for (int32_t i = 0; i < int32_t(formulaCount); ++i)
        compute.push_back([this, i] {
            return device_->makeComputePipeline(
                {fractalKernel_.get(), fractalBindings(), sizeof(FractalUniforms), i, "fractalKernel"});
        });
    compute.push_back([this] {
        return device_->makeComputePipeline(
            {newtonKernel_.get(), {GpuBinding::storageImage}, sizeof(FractalUniforms), std::nullopt, "newtonKernel"});
    });
    compute.push_back([this] {
        return device_->makeComputePipeline({accumulateKernel_.get(),
                                             {GpuBinding::storageImage, GpuBinding::storageImage},
                                             sizeof(float),
                                             std::nullopt,
                                             "accumulateKernel"});
    });
    computePipelines_ = std::make_unique<DeferredPipelines>(std::move(compute), true, std::chrono::seconds(5),
                                                            [this] { device_->savePipelineCache(); });

    // The double-precision variant is kept for diagnostics; its pipelines are made on first use.
    if (device_->supportsFloat64() && fractal.function("fractalKernelPrecise")) {
        preciseKernel_ = std::make_unique<GpuShaderFunction>(*fractal.function("fractalKernelPrecise"));
        std::vector<DeferredPipelines::Make> precise;
        for (int32_t i = 0; i < int32_t(formulaCount); ++i)
            precise.push_back([this, i] {
                return device_->makeComputePipeline(
                    {preciseKernel_.get(), fractalBindings(), sizeof(FractalUniforms), i, "fractalKernelPrecise"});
            });
        precisePipelines_ = std::make_unique<DeferredPipelines>(std::move(precise), false);
    }

    const GpuShaderFunction* vertex = postLibrary_->function("fullscreenVertex");
    auto renderPipeline = [&](const char* fragment, uint32_t bytes) {
        return device_->makeRenderPipeline({vertex,
                                            postLibrary_->function(fragment),
                                            {GpuBinding::sampledImage},
                                            bytes,
                                            GpuFormat::rgba16Float,
                                            fragment});
    };
    copyPipeline_ = renderPipeline("copyFragment", 0);
    // The glow kernels, each for one blur and for two.
    auto glowPipeline = [&](const char* kernel, uint32_t bytes, int32_t passes) {
        const GpuShaderFunction* function = postLibrary_->function(kernel);
        if (!function) throw RendererError::pipeline(kernel);
        return device_->makeComputePipeline(
            {function, {GpuBinding::sampledImage, GpuBinding::storageImage}, bytes, passes, kernel});
    };
    for (int32_t passes : {1, 2}) {
        glowRowsPipelines_[size_t(passes - 1)] = glowPipeline("glowRowsKernel", sizeof(BrightBlock), passes);
        glowColumnsPipelines_[size_t(passes - 1)] = glowPipeline("glowColumnsKernel", 0, passes);
    }

    references_ = std::make_unique<ReferenceStore>(device_);
    emptyRef_ = device_->makeBuffer(64, "emptyRef");
    if (!emptyRef_) throw RendererError::noDevice();
}

FractalRenderer::~FractalRenderer()
{
    // The background builds stop first, then whatever pipelines were made reach the cache file.
    computePipelines_.reset();
    precisePipelines_.reset();
    device_->savePipelineCache();
}

size_t FractalRenderer::pipelineIndex(FractalType type)
{
    return type == FractalType::newton ? formulaCount : size_t(formulaIndex(type));
}

std::shared_ptr<GpuPipeline> FractalRenderer::fractalPipeline(FractalType type, bool precise)
{
    if (precise && precisePipelines_ && type != FractalType::newton) return precisePipelines_->get(pipelineIndex(type));
    return computePipelines_->get(pipelineIndex(type));
}

std::shared_ptr<GpuPipeline> FractalRenderer::accumulatePipeline() { return computePipelines_->get(formulaCount + 1); }

std::shared_ptr<GpuImage> FractalRenderer::makeTexture(int w, int h, const std::string& label)
{
    try {
        auto texture = device_->makeImage({std::max(w, 1), std::max(h, 1), GpuFormat::rgba16Float,
                                           gpuShaderRead | gpuShaderWrite | gpuRenderTarget, label});
        refusedTextures_.erase(label);
        return texture;
    } catch (const GpuError& error) {
        // A texture the device refuses stays absent, and frames are refused until it is made.
        refusedTextures_[label] = error.what();
        return nullptr;
    }
}

std::optional<RendererError> FractalRenderer::refusal(const RenderView& view, const GpuImage& target)
{
    if (auto fault = view.fault()) return RendererError::view(*fault);
    if (target.width() != width_ || target.height() != height_) resize(target.width(), target.height());
    if (!refusedTextures_.empty()) return RendererError::texture(refusedTextures_.begin()->second);
    return std::nullopt;
}

void FractalRenderer::resize(int width, int height)
{
    if (width == width_ && height == height_) return;
    width_ = width;
    height_ = height;
    int w = width < 2 ? 1 : width, h = height < 2 ? 1 : height;
    sceneHigh_ = makeTexture(w, h, "sceneHigh");
    sampleTex_ = makeTexture(w, h, "sampleTex");
    accum_ = makeTexture(w, h, "accum");
    bloomA_ = makeTexture(width < 2 ? 1 : width / 2, height < 2 ? 1 : height / 2, "bloomA");
    bloomA2_ = makeTexture(width < 2 ? 1 : width / 2, height < 2 ? 1 : height / 2, "bloomA2");
    bloomB_ = makeTexture(width < 4 ? 1 : width / 4, height < 4 ? 1 : height / 4, "bloomB");
    bloomB2_ = makeTexture(width < 4 ? 1 : width / 4, height < 4 ? 1 : height / 4, "bloomB2");
    allocLow();
    geometryKey_.clear();
    highValid_ = false;
    sampleCount_ = 0;
}

void FractalRenderer::allocLow()
{
    double s = scheduler_.renderScale();
    int w = std::max<long>(1, roundHalfAway(s * width_));
    int h = std::max<long>(1, roundHalfAway(s * height_));
    sceneLow_ = makeTexture(w, h, "sceneLow");
    lowKey_.clear();
}

void FractalRenderer::reset()
{
    geometryKey_.clear();
    lowKey_.clear();
    highValid_ = false;
    tiles_.clear();
    nextTile_ = 0;
    staticFrames_ = 0;
    sampleCount_ = 0;
    lowUsedStandIn_ = false;
    // Timing and adaptive state start over too: a renderer that was used live would otherwise keep a
    // stale frame clock (a huge first interval), a reduced scale and old averages.
    const bool reducedScale = scheduler_.scaleIndex != 0;
    scheduler_.reset();
    timing_->update([](Timing& t) { t = Timing{}; });
    if (reducedScale && width_ > 0) allocLow();
}

FractalUniforms FractalRenderer::uniforms(const RenderView& view, const GpuImage& target, bool deep,
                                          Complex juliaOffset, std::array<float, 2> jitter)
{
    ReferenceInputs reference;
    reference.forceExtremePath = forceExtremePath;
    reference.referenceLength = refLength();
    reference.deltaOffset = deltaOffset_;
    reference.deltaOffsetScaled = deltaOffsetScaled_;
    passTable_ = nullptr;
    if (uniformMode(view, deep, forceExtremePath) == 2) passTable_ = blaTable(view, target.width(), target.height());
    reference.blaLevels = passTable_ ? std::int32_t(passTable_->levels.size()) : 0;
    return makeUniforms(view, target.width(), target.height(), deep, juliaOffset, jitter, reference);
}

const std::array<std::array<float, 2>, 16>& FractalRenderer::sampleJitter()
{
    static const auto table = [] {
        std::array<std::array<float, 2>, 16> t{};
        for (int n = 1; n < 16; ++n) {
            double a = n / 1.324717957244746, b = n / 1.754877666246693;
            t[size_t(n)] = {float(a - std::floor(a) - 0.5), float(b - std::floor(b) - 0.5)};
        }
        return t;
    }();
    return table;
}

const std::array<std::array<float, 2>, 16>& FractalRenderer::filmJitter()
{
    static const auto table = [] {
        auto tent = [](double j) {
            double u = j + 0.5;
            return u < 0.5 ? std::sqrt(2 * u) - 1 : 1 - std::sqrt(2 * (1 - u));
        };
        std::array<std::array<float, 2>, 16> t{};
        for (int n = 1; n < 16; ++n) {
            const auto& j = sampleJitter()[size_t(n)];
            t[size_t(n)] = {float(tent(j[0])), float(tent(j[1]))};
        }
        return t;
    }();
    return table;
}

FractalRenderer::Progress FractalRenderer::progress() const
{
    return Progress{scheduler_.scaleIndex,
                    scheduler_.tilesPerFrame,
                    tiles_,
                    nextTile_,
                    staticFrames_,
                    sampleCount_,
                    highValid_,
                    scheduler_.frameEma,
                    scheduler_.gpuEma,
                    sceneLow_ ? sceneLow_->width() : 0,
                    sceneLow_ ? sceneLow_->height() : 0};
}

namespace {

void appendDouble(std::string& out, double value)
{
    char buffer[32];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, result.ptr);
}

} // namespace

std::string FractalRenderer::geometryKey(const RenderView& view, Complex juliaOffset) const
{
    std::string key(toText(view.type));
    auto field = [&](double v) {
        key += '|';
        appendDouble(key, v);
    };
    field(view.centerX);
    field(view.centerY);
    field(view.zoom);
    field(view.rotation);
    key += '|' + std::to_string(view.maxIterations);
    field(view.juliaC.x);
    field(view.juliaC.y);
    field(juliaOffset.x);
    field(juliaOffset.y);
    key += '|';
    key += toText(view.palette);
    field(view.colourShift);
    key += '|';
    if (view.deepCentre) key += view.deepCentre->key();
    return key;
}

} // namespace veltrane
