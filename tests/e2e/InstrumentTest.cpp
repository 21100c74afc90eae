// The whole program, as a user meets it: build/app/veltrane on a private X server (Xvfb), drawing on
// lavapipe, with sound on a private JACK server (dummy backend), driven by real X input from xdotool.
// Its state is read back from the test switch --test-state; its picture from the X server
// (ImageMagick's import), compared with an off-screen still of the same view.
#include "../Support/JackServer.h"
#include "../Support/WaitFor.h"
#include "../Support/XvfbServer.h"
#include "FractalCore/BigFixed.h"
#include "FractalRender/FractalRenderer.h"
#include "Platform/Files/Files.h"
#include "Platform/Json/Json.h"
#include "Platform/Resources/Resources.h"

#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/wait.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// Last: Xlib's macros (Status, None, Bool) would rename our own names.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#undef Status
#undef None

extern char** environ;

namespace veltrane::test {
namespace {

namespace fs = std::filesystem;
using testsupport::waitFor;

std::string readFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// One run of the program with its own data folder, its output in files.
class Program {
public:
    Program(const fs::path& folder, std::vector<std::string> arguments, std::vector<std::string> environment)
        : folder_(folder)
    {
        fs::create_directories(folder);
        std::vector<std::string> args{VELTRANE_APP, "--test-state", (folder / "state.json").string()};
        args.insert(args.end(), arguments.begin(), arguments.end());
        std::vector<std::string> env = std::move(environment);
        env.push_back("XDG_DATA_HOME=" + (folder / "data").string());
        env.push_back("XDG_CONFIG_HOME=" + (folder / "config").string());
        for (char** e = environ; *e; ++e) {
            const std::string entry = *e;
            const std::string name = entry.substr(0, entry.find('='));
            bool overridden = false;
            for (const auto& mine : env) overridden |= mine.substr(0, mine.find('=')) == name;
            if (!overridden) env.push_back(entry);
        }
        std::vector<char*> argv, envp;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        for (auto& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        posix_spawn_file_actions_t files;
        posix_spawn_file_actions_init(&files);
        posix_spawn_file_actions_addopen(&files, 1, (folder / "stdout.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        posix_spawn_file_actions_addopen(&files, 2, (folder / "stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        if (posix_spawn(&pid_, VELTRANE_APP, &files, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&files);
    }
    ~Program()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }

    bool started() const { return pid_ > 0; }
    // The exit status once it ends within `seconds`; nothing while it still runs.
    std::optional<int> wait(double seconds)
    {
        std::optional<int> status;
        waitFor(
            [&] {
                int s = 0;
                if (waitpid(pid_, &s, WNOHANG) != pid_) return false;
                pid_ = -1;
                status = WIFEXITED(s) ? WEXITSTATUS(s) : 128 + WTERMSIG(s);
                return true;
            },
            seconds);
        return status;
    }
    std::string errors() const { return readFile(folder_ / "stderr.txt"); }
    // The state the program wrote last; an empty object before the first.
    Json::Value state() const
    {
        try {
            return Json::parse(readFile(folder_ / "state.json"));
        } catch (const std::exception&) {
            return Json::Value::object();
        }
    }
    // Waits until the program has drawn `frames` more frames than it had.
    bool drawsOn(int frames = 3, double seconds = 60)
    {
        const auto at = [&] { return state().value("frames", 0); };
        const int from = at();
        return waitFor([&] { return at() >= from + frames; }, seconds);
    }
    bool until(const std::function<bool(const Json::Value&)>& condition, double seconds = 30)
    {
        return waitFor([&] { return condition(state()); }, seconds);
    }

private:
    fs::path folder_;
    pid_t pid_ = -1;
};

int xdotool(const std::string& arguments) { return std::system(("xdotool " + arguments + " >/dev/null 2>&1").c_str()); }

std::string xdotoolOutput(const std::string& arguments)
{
    std::string out;
    if (FILE* p = popen(("xdotool " + arguments + " 2>/dev/null").c_str(), "r")) {
        char buffer[256];
        while (fgets(buffer, sizeof buffer, p)) out += buffer;
        pclose(p);
    }
    return out;
}

// What a window manager sends when the user clicks the close button.
bool askToClose(const std::string& display, unsigned long window)
{
    Display* x = XOpenDisplay(display.c_str());
    if (!x) return false;
    XEvent e{};
    e.xclient.type = ClientMessage;
    e.xclient.window = window;
    e.xclient.message_type = XInternAtom(x, "WM_PROTOCOLS", False);
    e.xclient.format = 32;
    e.xclient.data.l[0] = long(XInternAtom(x, "WM_DELETE_WINDOW", False));
    e.xclient.data.l[1] = CurrentTime;
    XSendEvent(x, window, False, NoEventMask, &e);
    XCloseDisplay(x);
    return true;
}

class InstrumentTest : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        x_ = new testsupport::XvfbServer;
        why_ = x_->start({"1920x1080x24"});
    }
    static void TearDownTestSuite()
    {
        delete x_;
        x_ = nullptr;
    }
    void SetUp() override
    {
        ASSERT_EQ(why_, "") << "no X server";
        Resources::setRoot(fs::path(VELTRANE_SOURCE_DIR) / "resources");
        folder = fs::path(testing::TempDir()) / ("veltrane-e2e-" + std::to_string(getpid()) + "-" +
                                                 testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(folder);
    }
    void TearDown() override { fs::remove_all(folder); }

    std::vector<std::string> display() const { return {"DISPLAY=" + x_->display(), "WAYLAND_DISPLAY="}; }
    // The program's window: id and top-left corner on the screen.
    struct Found {
        unsigned long id = 0;
        int x = 0, y = 0;
    };
    std::optional<Found> window(const std::string& name = "^Veltrane$")
    {
        setenv("DISPLAY", x_->display().c_str(), 1);
        const std::string id = xdotoolOutput("search --sync --name '" + name + "'");
        if (id.empty()) return std::nullopt;
        Found f;
        f.id = std::stoul(id);
        const std::string geometry = xdotoolOutput("getwindowgeometry " + std::to_string(f.id));
        if (std::sscanf(geometry.c_str() + geometry.find("Position:"), "Position: %d,%d", &f.x, &f.y) != 2)
            return std::nullopt;
        return f;
    }

    fs::path folder;
    static inline testsupport::XvfbServer* x_ = nullptr;
    static inline std::string why_;
};

TEST_F(InstrumentTest, WithoutADisplayOneLineAndStatusTwo)
{
    Program program(folder, {}, {"DISPLAY=", "WAYLAND_DISPLAY="});
    ASSERT_TRUE(program.started());
    EXPECT_EQ(program.wait(60), 2);
    EXPECT_EQ(program.errors(), "Veltrane needs a graphical display: neither DISPLAY nor WAYLAND_DISPLAY is set\n");
}

TEST_F(InstrumentTest, WithoutAVulkanDeviceTheRenderersReason)
{
    auto env = display();
    env.push_back("VK_ICD_FILENAMES=" + (folder / "no-driver.json").string());
    env.push_back("VK_DRIVER_FILES=" + (folder / "no-driver.json").string());
    Program program(folder, {}, env);
    EXPECT_EQ(program.wait(60), 1);
    EXPECT_NE(program.errors().find("Vulkan renderer failed to start: No Vulkan device\n"), std::string::npos)
        << program.errors();
}

TEST_F(InstrumentTest, WithSoundTheEngineStartsOnTheServer)
{
    testsupport::JackServer jack;
    ASSERT_EQ(jack.start(), "");
    auto env = display();
    env.push_back("JACK_DEFAULT_SERVER=" + jack.name());
    Program program(folder, {}, env);
    ASSERT_TRUE(program.drawsOn(3, 120)) << program.errors();
    EXPECT_EQ(program.errors().find("audio failed to start"), std::string::npos) << program.errors();
    const auto w = window();
    ASSERT_TRUE(w);
    ASSERT_TRUE(askToClose(x_->display(), w->id));
    EXPECT_EQ(program.wait(60), 0) << program.errors();
}

TEST_F(InstrumentTest, FliesWithRealInputShowsTheViewAndClosesCleanly)
{
    // No sound server here (the window works silent): the JACK servers of the tests take turns, and
    // this test is long.
    auto env = display();
    env.push_back("JACK_DEFAULT_SERVER=veltrane-no-such-server");
    Program program(folder, {}, env);
    ASSERT_TRUE(program.drawsOn(3, 120)) << program.errors();
    const auto w = window();
    ASSERT_TRUE(w);
    const auto at = [&](int x, int y) { return std::to_string(w->x + x) + " " + std::to_string(w->y + y); };
    const auto near = [](const Json::Value& s, const char* key, double value) {
        return s.contains(key) &&
               std::abs((s[key].is_string() ? std::stod(s[key].get<std::string>()) : s[key].get<double>()) - value) <
                   1e-9 * std::max(1.0, std::abs(value));
    };

    // Drag 100 points to the right: the centre moves 100 x 2.5 / 880 against it.
    ASSERT_EQ(xdotool("mousemove " + at(700, 440) + " mousedown 1 mousemove " + at(750, 440) + " mousemove " +
                      at(800, 440) + " mouseup 1"),
              0);
    EXPECT_TRUE(program.until([&](const Json::Value& s) { return near(s, "centreX", -0.5 - 100 * 2.5 / 880); }))
        << program.state().dump();
    // A wheel notch zooms in by 2^(40/300) about the pointer; Ctrl+wheel magnifies by 1.1; Alt+wheel
    // turns by 5 degrees.
    xdotool("mousemove " + at(720, 440) + " click 4");
    EXPECT_TRUE(program.until([&](const Json::Value& s) { return near(s, "zoom", std::exp2(40.0 / 300)); }));
    xdotool("keydown ctrl click 4 keyup ctrl");
    EXPECT_TRUE(program.until([&](const Json::Value& s) { return near(s, "zoom", std::exp2(40.0 / 300) * 1.1); }));
    xdotool("keydown alt click 4 keyup alt");
    EXPECT_TRUE(program.until([&](const Json::Value& s) { return near(s, "rotation", 5 * M_PI / 180); }));
    // Keys reach the state: "?" opens the help, "=" zooms in by 1.2.
    xdotool("search --name '^Veltrane$' windowfocus --sync key question equal");
    EXPECT_TRUE(program.until([&](const Json::Value& s) {
        return s.value("helpOpen", false) && near(s, "zoom", std::exp2(40.0 / 300) * 1.1 * 1.2);
    }));
    // A right click saves the view as a preset and shows the preset menu.
    xdotool("click 3");
    EXPECT_TRUE(program.until(
        [&](const Json::Value& s) { return s.value("userPresets", 0) == 1 && s.value("presetMenuOpen", false); }));
    // A double-click zooms in by 2.
    const double before = program.state()["zoom"].get<double>();
    xdotool("click --repeat 2 --delay 60 1");
    EXPECT_TRUE(program.until([&](const Json::Value& s) { return near(s, "zoom", before * 2); }));

    // The picture once it is refined at full resolution (on a loaded machine the sixteen samples that
    // follow take minutes), against a still of the same view.
    ASSERT_TRUE(program.until(
        [](const Json::Value& s) {
            if (!s.contains("renderStats")) return false;
            const std::string tier = s["renderStats"]["tier"].get<std::string>();
            return (tier == "full" || tier == "supersampled") && s["renderStats"]["renderScale"].get<double>() == 1;
        },
        400));
    const Json::Value s = program.state();
    // The window's part of the screen as 8-bit RGB.
    const fs::path shot = folder / "screen.rgb";
    ASSERT_EQ(std::system(("DISPLAY=" + x_->display() + " import -window root -crop 1440x880+" + std::to_string(w->x) +
                           "+" + std::to_string(w->y) + " +repage -depth 8 rgb:" + shot.string())
                              .c_str()),
              0)
        << "ImageMagick's import (scripts/install-deps installs imagemagick)";
    const std::string screen = readFile(shot);
    ASSERT_EQ(screen.size(), size_t(1440 * 880 * 3));
    auto type = fromText<FractalType>(s["fractalType"].get<std::string>());
    auto palette = fromText<Palette>(s["palette"].get<std::string>());
    ASSERT_TRUE(type && palette);
    const int limbs = BigFixed::limbsForZoom(s["zoom"].get<double>(), 64);
    const BigComplex centre(*BigFixed::fromDecimal(s["centreX"].get<std::string>(), limbs),
                            *BigFixed::fromDecimal(s["centreY"].get<std::string>(), limbs));
    RenderView view(*type, centre.doubles().x, centre.doubles().y, s["zoom"].get<double>(), s["rotation"].get<double>(),
                    s["maxIterations"].get<std::int64_t>(), {-0.7, 0.27015}, *palette);
    FractalRenderer renderer(GpuDevice::create({.preferCpu = true}));
    const Image still = renderer.renderStill(view, 1440, 880, PostSettings{}, AudioVisuals{}, 0, 1);
    // Compared in blocks of 16 x 16 pixels, which average the film grain away.
    double worst = 0, total = 0;
    int blocks = 0;
    for (int by = 0; by + 16 <= 880; by += 16)
        for (int bx = 0; bx + 16 <= 1440; bx += 16) {
            for (int c = 0; c < 3; ++c) {
                double a = 0, b = 0;
                for (int y = by; y < by + 16; ++y)
                    for (int x = bx; x < bx + 16; ++x) {
                        const size_t i = size_t(y) * 1440 + size_t(x);
                        a += static_cast<unsigned char>(screen[i * 3 + size_t(c)]);
                        b += still.bgrx[i * 4 + size_t(2 - c)];
                    }
                const double d = std::abs(a - b) / 256;
                worst = std::max(worst, d);
                total += d;
            }
            ++blocks;
        }
    EXPECT_LT(total / (3 * blocks), 3.0) << "mean difference of 16 x 16 blocks, in levels of 255";
    EXPECT_LT(worst, 40.0) << "largest difference of a 16 x 16 block, in levels of 255";

    // Closing the window ends the program normally.
    ASSERT_TRUE(askToClose(x_->display(), w->id));
    EXPECT_EQ(program.wait(60), 0) << program.errors();
    EXPECT_EQ(program.errors().find("render failed"), std::string::npos) << program.errors();
}

TEST_F(InstrumentTest, WithoutSoundTheWindowWorksSilent)
{
    auto env = display();
    env.push_back("JACK_DEFAULT_SERVER=veltrane-no-such-server");
    env.push_back("PULSE_SERVER=unix:" + (folder / "no-pulse").string());
    Program program(folder, {}, env);
    ASSERT_TRUE(program.drawsOn(3, 120)) << program.errors();
    EXPECT_NE(program.errors().find("audio failed to start: "), std::string::npos) << program.errors();
    const auto w = window();
    ASSERT_TRUE(w);
    xdotool("mousemove " + std::to_string(w->x + 720) + " " + std::to_string(w->y + 440) + " click 4");
    EXPECT_TRUE(program.until([](const Json::Value& s) { return s.value("zoom", 1.0) > 1; }));
    EXPECT_TRUE(program.drawsOn(3));
    ASSERT_TRUE(askToClose(x_->display(), w->id));
    EXPECT_EQ(program.wait(60), 0);
}

TEST_F(InstrumentTest, TheLiveBenchmarkWritesItsReportAndEnds)
{
    fs::create_directories(folder);
    std::ofstream(folder / "motion.json") << R"({"centerX": -0.75, "centerY": 0.1, "durationSec": 1.5,
        "fractalType": "mandelbrot", "colorPalette": "ember", "canvasPixels": [1440, 880],
        "segments": [{"from": 0, "to": 0.75, "zoomFrom": 1, "zoomTo": 4},
                     {"from": 0.75, "to": 1.5, "zoomFrom": 4, "zoomTo": 4, "circleRadiusViews": 0.1}]})";
    const fs::path report = folder / "out" / "report.json";
    Program program(folder, {"--bench", (folder / "motion.json").string(), "--out", report.string()}, display());
    EXPECT_EQ(program.wait(300), 0) << program.errors();
    const Json::Value r = Json::parse(readFile(report));
    EXPECT_EQ(r["method"], "live window, time between presented frames");
    EXPECT_EQ(r["drawable"], Json::Value({1440, 880}));
    ASSERT_EQ(r["summary"].size(), 2u);
    EXPECT_GT(r["summary"][0]["frames"].get<int>(), 0);
    EXPECT_GT(r["summary"][0]["meanGpuMs"].get<double>(), 0);
    // No sound during a benchmark.
    EXPECT_EQ(program.errors().find("audio failed"), std::string::npos);
}

// The soak tool's report: underruns after its first second, and its exit status (2: it could not
// run, for instance without the privilege for real-time scheduling).
struct Soak {
    int status = 2;
    int lateXruns = -1;
    std::string report;
};

Soak soak(const fs::path& folder, bool realtime, bool silent)
{
    const fs::path out = folder / (std::string("soak-") + (silent ? "silent" : "engine") + ".txt");
    const std::string command = std::string(VELTRANE_SOAK) + " --seconds 8 --period 1024 --realtime " +
                                (realtime ? "1" : "0") + (silent ? " --silent 1" : "") + " > " + out.string() + " 2>&1";
    Soak result;
    const int raw = std::system(command.c_str());
    result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128;
    result.report = readFile(out);
    int all = 0, first = 0;
    const auto at = result.report.find(" xruns (");
    if (at != std::string::npos) {
        const auto from = result.report.rfind(' ', at - 1);
        if (std::sscanf(result.report.c_str() + from, " %d xruns (%d", &all, &first) == 2)
            result.lateXruns = all - first;
    }
    return result;
}

// A long display frame never stalls the sound: the soak tool plays the live engine beside the window
// while the canvas flies the deep rescaled path (deep reference orbits, a CPU GPU at full load). It
// must hear no underrun. On a machine so loaded that the sound server misses periods by itself (a
// client that only writes zeros, measured right after, misses some too), a few more than that
// client's (two, and half as many again as it missed) are the machine's scheduling, as long as the
// engine's callbacks stay far within their budget of processor time.
TEST_F(InstrumentTest, SoundBesideTheWindowFlyingDeep)
{
    Program program(folder / "app",
                    {"--bench", (fs::path(VELTRANE_SOURCE_DIR) / "bench/motions/zoom-rescaled.json").string(), "--out",
                     (folder / "report.json").string()},
                    display());
    ASSERT_TRUE(program.drawsOn(3, 120)) << program.errors();
    bool realtime = true;
    Soak engine = soak(folder, realtime, false);
    if (engine.status == 2) engine = soak(folder, realtime = false, false);
    ASSERT_NE(engine.status, 2) << engine.report;
    ASSERT_GE(engine.lateXruns, 0) << engine.report;
    if (engine.lateXruns > 0) {
        // The server's own misses come and go with the load, so a count above the silent client's
        // margin is measured once more, both again, before it counts as the engine's.
        const auto margin = [](const Soak& silent) {
            const int misses = std::max(silent.lateXruns, 0);
            return misses + 2 + misses / 2;
        };
        Soak silent = soak(folder, realtime, true);
        if (engine.lateXruns > margin(silent)) {
            engine = soak(folder, realtime, false);
            silent = soak(folder, realtime, true);
        }
        EXPECT_LE(engine.lateXruns, margin(silent)) << "the engine missed more periods than a silent client:\n"
                                                    << engine.report << silent.report;
        double worstCpu = 0, budget = 1;
        const auto at = engine.report.find("of processor time (budget ");
        std::sscanf(engine.report.c_str() + engine.report.rfind("ms on the clock, ", at) + 17, "%lf", &worstCpu);
        std::sscanf(engine.report.c_str() + at + 26, "%lf", &budget);
        EXPECT_LT(worstCpu, budget / 2) << engine.report;
    }
    EXPECT_GT(program.state().value("frames", 0), 0);
    EXPECT_EQ(program.wait(300), 0) << program.errors();
}

} // namespace
} // namespace veltrane::test
