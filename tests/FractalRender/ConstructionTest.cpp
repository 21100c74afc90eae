#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "RendererFixture.h"

using namespace veltrane;
using veltrane::testing::RendererTest;

namespace {

std::string readFile(const std::filesystem::path& path) { return *Resources::readText(path); }

void writeFile(const std::filesystem::path& path, const std::string& text)
{
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path) << text;
}

// A resource folder holding the real shader sources, which each test then breaks in its own way.
class ShaderResources : public ::testing::Test {
protected:
    void SetUp() override
    {
        source = std::filesystem::path(VELTRANE_SOURCE_DIR) / "resources" / "Shaders";
        root =
            std::filesystem::temp_directory_path() / ("veltrane-shaders-" + std::to_string(::getpid()) + "-" +
                                                      ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(root);
        writeFile(root / "Shaders" / "Fractal.glsl", readFile(source / "Fractal.glsl"));
        writeFile(root / "Shaders" / "Post.glsl", readFile(source / "Post.glsl"));
        Resources::setRoot(root);
    }
    void TearDown() override
    {
        Resources::setRoot({});
        std::filesystem::remove_all(root);
    }

    std::string constructionError()
    {
        try {
            FractalRenderer renderer(GpuDevice::create({.validation = true, .preferCpu = true}));
        } catch (const RendererError& error) {
            return error.what();
        }
        return "";
    }

    std::filesystem::path source, root;
};

} // namespace

TEST_F(RendererTest, StartsWithoutWindowAndDrawsTinyTargets)
{
    EXPECT_EQ(renderer->width(), 0);
    for (int side : {1, 3}) {
        Image image = renderer->renderStill(homeView(FractalType::mandelbrot, 64), side, side);
        EXPECT_EQ(image.width, side);
        EXPECT_EQ(image.bgrx.size(), size_t(side * side * 4));
        EXPECT_EQ(renderer->width(), side);
    }
}

TEST(RendererConstruction, WithoutDeviceThrowsNoDevice)
{
    try {
        FractalRenderer renderer(nullptr);
        FAIL();
    } catch (const RendererError& error) {
        EXPECT_EQ(error.kind, RendererError::Kind::noDevice);
        EXPECT_STREQ(error.what(), "No Vulkan device");
        EXPECT_EQ(rendererStartFailure(error), "Vulkan renderer failed to start: No Vulkan device");
    }
}

TEST_F(ShaderResources, MissingSourceIsNamed)
{
    std::filesystem::remove(root / "Shaders" / "Post.glsl");
    EXPECT_EQ(constructionError(), "Shader source missing: Post");
    std::filesystem::remove(root / "Shaders" / "Fractal.glsl");
    EXPECT_EQ(constructionError(), "Shader source missing: Fractal");
}

TEST_F(ShaderResources, BrokenSourceGivesTheCompilerText)
{
    std::string text = readFile(root / "Shaders" / "Fractal.glsl");
    text.insert(text.find("#version 450\n") + 13, "this is not glsl;\n");
    writeFile(root / "Shaders" / "Fractal.glsl", text);
    std::string error = constructionError();
    EXPECT_EQ(error.rfind("Shader compile failed: Fractal: ", 0), 0u) << error;
    EXPECT_NE(error.find("Fractal.glsl:"), std::string::npos) << error; // the compiler names the line
}

TEST_F(ShaderResources, MissingKernelFailsItsPipeline)
{
    std::string text = readFile(root / "Shaders" / "Fractal.glsl");
    text.replace(text.find("#ifdef FUNCTION_newtonKernel"), 28, "#ifdef FUNCTION_newtonKernelX");
    writeFile(root / "Shaders" / "Fractal.glsl", text);
    EXPECT_EQ(constructionError(), "Pipeline failed: newtonKernel");
}

TEST_F(ShaderResources, ShadersFolderWinsOverTheRoot)
{
    writeFile(root / "Post.glsl", "root copy");
    EXPECT_NE(FractalRenderer::shaderSource("Post"), "root copy");
    std::filesystem::remove(root / "Shaders" / "Post.glsl");
    EXPECT_EQ(FractalRenderer::shaderSource("Post"), "root copy");
}
