// The tavi tool as a user meets it, run as a program against virtual cameras: every subcommand, its
// --json output read back by Python's JSON reader, set-then-get round trips, stats while the camera
// drops packets, the doctor on a broken and then mended link, and the messages and exit codes of bad
// arguments, unknown features and absent cameras.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "TaviSDK/GigeCamera.h"
#include "support/e2e_camera.h"
#include "support/sanitized_build.h"
#include "support/temp_dir.h"
#include "support/virtual_camera_control.h"

extern char** environ;

namespace {

constexpr int kExitUsage = 1;
constexpr int kExitNoCamera = 2;
constexpr int kExitCameraRefused = 3;
constexpr int kExitFeature = 4;
constexpr int kExitFile = 5;
constexpr int kExitDoctorFound = 6;
constexpr int kExitInterrupted = 130;

struct ProgramRun {
    int status = -1;  // the exit status, -1 when the program did not end normally
    std::string out;
    std::string err;
    std::string Both() const { return out + err; }
};

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// Starts a program with its standard output and error in files of the scratch directory; its pid, or
// -1. The files' paths are left in `*out` and `*err`.
pid_t StartProgram(const std::vector<std::string>& argv, const tavi::test::TempDirectory& scratch,
                   std::string* out, std::string* err) {
    static int runs = 0;
    *out = scratch.PathOf("run" + std::to_string(++runs) + ".out");
    *err = *out + ".err";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out->c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err->c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    pid_t pid = 0;
    const bool started = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    return started ? pid : -1;
}

ProgramRun FinishProgram(pid_t pid, const std::string& out, const std::string& err) {
    ProgramRun run;
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status)) run.status = WEXITSTATUS(status);
    run.out = ReadFile(out);
    run.err = ReadFile(err);
    return run;
}

// Runs a program to its end.
ProgramRun RunProgram(const std::vector<std::string>& argv, const tavi::test::TempDirectory& scratch) {
    std::string out, err;
    const pid_t pid = StartProgram(argv, scratch, &out, &err);
    return FinishProgram(pid, out, err);
}

class TaviTool {
  public:
    ProgramRun Run(std::vector<std::string> args) {
        args.insert(args.begin(), TAVI_TOOL);
        return RunProgram(args, scratch_);
    }

    // The value of a Python expression over `d`, the parsed JSON text, as JSON; "" when the text does
    // not parse (the reason is added to the test's failures).
    std::string Json(const std::string& text, const std::string& expression, bool lines = false) {
        const std::string path = scratch_.PathOf("document.json");
        std::ofstream(path, std::ios::binary) << text;
        std::vector<std::string> args = {"/usr/bin/python3", TAVI_JSON_QUERY, path, expression};
        if (lines) args.push_back("--lines");
        const ProgramRun run = RunProgram(args, scratch_);
        EXPECT_EQ(run.status, 0) << run.err << "\nin:\n" << text.substr(0, 2000);
        std::string value = run.out;
        while (!value.empty() && value.back() == '\n') value.pop_back();
        return run.status == 0 ? value : std::string();
    }

    // The image as PIL reads it: "WIDTH HEIGHT MODE" and the number of distinct RGB colours.
    struct ReadImage {
        uint32_t width = 0, height = 0;
        std::string mode;
        std::string pixels;
    };
    ReadImage ReadWithPil(const std::string& image) {
        const std::string out = scratch_.PathOf("image.read");
        const ProgramRun run = RunProgram({"/usr/bin/python3", TAVI_IMAGE_READER, image, out}, scratch_);
        ReadImage read;
        EXPECT_EQ(run.status, 0) << run.err;
        std::ifstream in(out, std::ios::binary);
        in >> read.width >> read.height >> read.mode;
        in.get();
        read.pixels.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        return read;
    }

    const tavi::test::TempDirectory& scratch() const { return scratch_; }

  private:
    tavi::test::TempDirectory scratch_;
};

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

// A tree that stands for / to the doctor: its own net.core.rmem_max and reverse-path filters, and the
// namespace's real /sys and routing table.
void MakeSystemRoot(const std::filesystem::path& root, long rmem_max, int rp_filter,
                    const std::string& adapter) {
    namespace fs = std::filesystem;
    fs::create_directories(root / "proc/sys/net/core");
    fs::create_directories(root / "proc/sys/net/ipv4/conf/all");
    fs::create_directories(root / "proc/sys/net/ipv4/conf" / adapter);
    std::ofstream(root / "proc/sys/net/core/rmem_max") << rmem_max << "\n";
    std::ofstream(root / "proc/sys/net/ipv4/conf/all/rp_filter") << 0 << "\n";
    std::ofstream(root / "proc/sys/net/ipv4/conf" / adapter / "rp_filter") << rp_filter << "\n";
    fs::create_directory_symlink("/proc/net", root / "proc/net");
    fs::create_directory_symlink("/sys", root / "sys");
}

// ---- one camera, TVC001 ------------------------------------------------------------------------

class TaviCliE2E : public ::testing::Test {
  protected:
    const std::string serial_ = "TVC001";
    TaviTool tavi_;
};

TEST_F(TaviCliE2E, HelpNamesEverySubcommandAndTheExitCodes) {
    const ProgramRun help = tavi_.Run({"--help"});
    EXPECT_EQ(help.status, 0);
    const char* subcommands[] = {"list",  "info",     "get",      "set",      "dump",  "capture",
                                 "stats", "save-xml", "firmware", "force-ip", "doctor"};
    for (const char* subcommand : subcommands) {
        EXPECT_NE(help.out.find(subcommand), std::string::npos) << subcommand;
        const ProgramRun own = tavi_.Run({subcommand, "--help"});
        EXPECT_EQ(own.status, 0) << subcommand;
        EXPECT_NE(own.out.find("Exit codes"), std::string::npos) << subcommand;
    }
    EXPECT_NE(help.out.find("Exit codes"), std::string::npos);
    EXPECT_NE(help.out.find("2  no camera answered"), std::string::npos);
    EXPECT_NE(help.out.find("3  the camera refused"), std::string::npos);
}

TEST_F(TaviCliE2E, BadArgumentsAreUsageErrorsWithAMessage) {
    struct Case {
        std::vector<std::string> args;
        const char* text;
    };
    const Case cases[] = {
        {{}, "subcommand"},
        {{"frobnicate"}, "Run with --help"},
        {{"info"}, "serial"},
        {{"get", serial_}, "features"},
        {{"capture", serial_, "--frames", "0"}, "--frames"},
        {{"capture", serial_, "--channels", "2", "--pcd", "x.pcd"}, "add it to --channels"},
        {{"set", serial_, "=5"}, "is not FEATURE=VALUE"},
        {{"set", serial_, "Width"}, "Width needs a value"},
        {{"force-ip", serial_, "1.2.3", "255.255.0.0", "169.254.60.1"}, "not a dotted IPv4 address"},
        {{"force-ip", serial_, "169.254.60.9", "255.255.0.0", "0.0.0.0"}, "not be 0.0.0.0"},
        {{"stats", serial_, "--seconds", "-1"}, "--seconds"},
    };
    for (const Case& c : cases) {
        const ProgramRun run = tavi_.Run(c.args);
        std::string line;
        for (const std::string& arg : c.args) line += arg + " ";
        EXPECT_EQ(run.status, kExitUsage) << line << run.Both();
        EXPECT_NE(run.Both().find(c.text), std::string::npos) << line << run.Both();
    }
}

TEST_F(TaviCliE2E, AnAbsentCameraIsNamedWithTheNextStep) {
    for (const char* subcommand : {"info", "get", "dump", "capture", "stats", "save-xml"}) {
        std::vector<std::string> args = {subcommand, "TVX999"};
        if (std::string(subcommand) == "get") args.push_back("Width");
        const ProgramRun run = tavi_.Run(args);
        EXPECT_EQ(run.status, kExitNoCamera) << subcommand;
        EXPECT_NE(run.err.find("no camera with serial number TVX999 answered (heard: TVC001)"),
                  std::string::npos)
            << run.err;
        EXPECT_NE(run.err.find("tavi list"), std::string::npos) << run.err;
    }
}

TEST_F(TaviCliE2E, ListJsonHoldsTheCamerasDiscoveryRecord) {
    const ProgramRun table = tavi_.Run({"list", "--by-serial"});
    EXPECT_EQ(table.status, 0);
    EXPECT_NE(table.out.find("1 camera answer"), std::string::npos) << table.out;
    const ProgramRun run = tavi_.Run({"list", "--json"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(tavi_.Json(run.out, "len(d['cameras'])"), "1");
    EXPECT_EQ(tavi_.Json(run.out, "d['cameras'][0]['serial']"), Quoted(serial_));
    EXPECT_EQ(tavi_.Json(run.out, "d['cameras'][0]['camera_ip']"), Quoted(Environment("TAVI_CAMERA_0_IP")));
    EXPECT_EQ(tavi_.Json(run.out, "d['cameras'][0]['mac']"), Quoted("02:54:56:00:00:51"));
    EXPECT_EQ(tavi_.Json(run.out, "d['cameras'][0]['adapter']"), Quoted("tvc0"));
    EXPECT_EQ(tavi_.Json(run.out, "d['cameras'][0]['same_subnet']"), "true");
    EXPECT_EQ(tavi_.Json(run.out, "d['cameras'][0]['model']"), Quoted("Tavi Virtual 3D"));
}

TEST_F(TaviCliE2E, InfoJsonHoldsIdentityNetworkClockAndCalibration) {
    const ProgramRun text = tavi_.Run({"info", serial_});
    EXPECT_EQ(text.status, 0) << text.err;
    EXPECT_NE(text.out.find("camera TVC001"), std::string::npos) << text.out;
    const ProgramRun run = tavi_.Run({"info", serial_, "--json"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(tavi_.Json(run.out, "d['serial']"), Quoted(serial_));
    EXPECT_EQ(tavi_.Json(run.out, "d['device_version']"), Quoted("2.5.1"));
    EXPECT_EQ(tavi_.Json(run.out, "d['network']['camera_ip']"), Quoted(Environment("TAVI_CAMERA_0_IP")));
    EXPECT_EQ(tavi_.Json(run.out, "d['network']['mtu']"), "1500");
    EXPECT_EQ(tavi_.Json(run.out, "d['clock']['tick_frequency_hz']"), "125000000");
    EXPECT_EQ(tavi_.Json(run.out, "d['sensors']"), "3");
    EXPECT_EQ(tavi_.Json(run.out, "len(d['calibration'])"), "3");
    // The virtual camera's depth sensor has its principal point at the image centre.
    EXPECT_EQ(tavi_.Json(run.out, "d['calibration'][0]['camera_matrix'][2]"), "640");
    EXPECT_EQ(tavi_.Json(run.out, "len(d['calibration'][1]['translation'])"), "3");
}

TEST_F(TaviCliE2E, SetThenGetRoundTripsEveryKindOfValue) {
    const ProgramRun set = tavi_.Run({"set", serial_, "ExposureTime=1234", "Laserbrightness=42",
                                      "TriggerSource=Line0", "GevIEEE1588=true", "--sensor", "2"});
    ASSERT_EQ(set.status, 0) << set.Both();
    EXPECT_NE(set.out.find("ExposureTime[sensor 2] = 1234: done"), std::string::npos) << set.out;
    const ProgramRun get = tavi_.Run({"get", serial_, "ExposureTime", "Laserbrightness", "TriggerSource",
                                      "GevIEEE1588", "--sensor", "2", "--json"});
    ASSERT_EQ(get.status, 0) << get.Both();
    EXPECT_EQ(tavi_.Json(get.out, "d['ExposureTime']"), "1234");
    EXPECT_EQ(tavi_.Json(get.out, "d['Laserbrightness']"), "42");
    EXPECT_EQ(tavi_.Json(get.out, "d['TriggerSource']"), Quoted("Line0"));
    EXPECT_EQ(tavi_.Json(get.out, "d['GevIEEE1588']"), "true");
    // Only sensor 2 changed.
    const ProgramRun other = tavi_.Run({"get", serial_, "ExposureTime", "--sensor", "1", "--json"});
    EXPECT_NE(tavi_.Json(other.out, "d['ExposureTime']"), "1234");
    ASSERT_EQ(tavi_.Run({"set", serial_, "GevIEEE1588=false", "TriggerSource=Software"}).status, 0);
}

TEST_F(TaviCliE2E, RefusedValuesAndUnknownFeaturesLeaveTheCameraAlone) {
    const ProgramRun before = tavi_.Run({"get", serial_, "Width", "--json"});
    struct Case {
        std::vector<std::string> args;
        int status;
        const char* text;
    };
    const Case cases[] = {
        {{"set", serial_, "Width=13"}, kExitFeature, "from 8 up to 1280 in steps of 8"},
        {{"set", serial_, "Width=2048"}, kExitFeature, "is refused"},
        {{"set", serial_, "Width=abc"}, kExitFeature, "not an integer"},
        {{"set", serial_, "Nope=1"}, kExitFeature, "no feature Nope; `tavi dump` lists them"},
        {{"get", serial_, "Nope"}, kExitFeature, "no feature Nope"},
        {{"set", serial_, "PayloadSize=5"}, kExitFeature, "PayloadSize is read-only"},
        {{"set", serial_, "PixelFormat=Bogus"}, kExitFeature, "the choices are Mono8"},
        {{"set", serial_, "GevIEEE1588=maybe"}, kExitFeature, "true or false"},
        {{"set", serial_, "DeviceUserID=me"}, kExitFeature, "string feature"},
    };
    for (const Case& c : cases) {
        const ProgramRun run = tavi_.Run(c.args);
        EXPECT_EQ(run.status, c.status) << c.args[2] << run.Both();
        EXPECT_NE(run.err.find(c.text), std::string::npos) << c.args[2] << run.Both();
    }
    const ProgramRun after = tavi_.Run({"get", serial_, "Width", "--json"});
    EXPECT_EQ(tavi_.Json(after.out, "d['Width']"), tavi_.Json(before.out, "d['Width']"));
}

TEST_F(TaviCliE2E, DumpJsonListsEveryFeatureWithValuesAccessAndLimits) {
    const ProgramRun run = tavi_.Run({"dump", serial_, "--json"});
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string width = "[f for f in d['features'] if f['name'] == 'Width'][0]";
    EXPECT_EQ(tavi_.Json(run.out, width + "['per']"), Quoted("sensor"));
    EXPECT_EQ(tavi_.Json(run.out, width + "['access']"), Quoted("RW"));
    EXPECT_EQ(tavi_.Json(run.out, width + "['min']"), "8");
    EXPECT_EQ(tavi_.Json(run.out, width + "['max']"), "1280");
    EXPECT_EQ(tavi_.Json(run.out, width + "['inc']"), "8");
    EXPECT_EQ(tavi_.Json(run.out, "len(" + width + "['values'])"), "3");
    const std::string format = "[f for f in d['features'] if f['name'] == 'PixelFormat'][0]";
    EXPECT_EQ(tavi_.Json(run.out, format + "['values'][0]['value']"), Quoted("Coord3D_ABC16"));
    EXPECT_EQ(tavi_.Json(run.out, "'BayerRG8' in " + format + "['choices']"), "true");
    EXPECT_EQ(tavi_.Json(run.out,
                         "[f for f in d['features'] if f['name'] == 'DeviceSerialNumber'][0]['values'][0]"),
              "{\"value\": \"TVC001\"}");
    EXPECT_EQ(tavi_.Json(run.out, "[f['access'] for f in d['features'] if f['name'] == 'PayloadSize'][0]"),
              Quoted("RO"));
    // Every feature the description declares is there, each with a value or an error.
    EXPECT_EQ(tavi_.Json(run.out, "len(d['features']) > 60"), "true");
    EXPECT_EQ(tavi_.Json(run.out, "all('error' not in v for f in d['features'] for v in f['values'])"),
              "true");
    const ProgramRun text = tavi_.Run({"dump", serial_});
    EXPECT_NE(text.out.find("Width[sensor 1]"), std::string::npos);
}

TEST_F(TaviCliE2E, CaptureWritesEveryFileKindAndAPreviewPicture) {
    const std::filesystem::path& dir = tavi_.scratch().path();
    const auto path = [&](const char* name) { return (dir / name).string(); };
    const ProgramRun run = tavi_.Run({"capture",      serial_,
                                      "--frames",     "2",
                                      "--timeout-ms", "30000",
                                      "--pcd",        path("d.pcd"),
                                      "--ply",        path("d.ply"),
                                      "--txt",        path("d.txt"),
                                      "--png",        path("d.png"),
                                      "--bmp",        path("c.bmp"),
                                      "--grey-bmp",   path("g.bmp"),
                                      "--fused-txt",  path("f.txt"),
                                      "--preview",    path("preview.png")});
    ASSERT_EQ(run.status, 0) << run.Both();
#ifndef TAVI_SANITIZED_BUILD
    EXPECT_NE(run.out.find("channel 0: 2 complete"), std::string::npos) << run.out;
#else
    // Sanitizer builds run the tool and the camera several times slower on a machine shared with
    // other tests. Two frames taken; one whose datagrams the overloaded machine held up past the
    // block time-out is counted as incomplete.
    const size_t depth_line = run.out.find("channel 0: ");
    ASSERT_NE(depth_line, std::string::npos) << run.out;
    int complete = -1, incomplete = -1;
    ASSERT_EQ(std::sscanf(run.out.c_str() + depth_line, "channel 0: %d complete, %d incomplete", &complete,
                          &incomplete),
              2);
    EXPECT_EQ(complete + incomplete, 2) << run.out;
#endif
    // No terminal: no progress line.
    EXPECT_EQ(run.err.find("capturing"), std::string::npos) << run.err;
    EXPECT_NE(ReadFile(path("d.pcd")).substr(0, 200).find("\nVERSION"), std::string::npos);
    EXPECT_EQ(ReadFile(path("d.ply")).substr(0, 3), "ply");
    EXPECT_EQ(ReadFile(path("c.bmp")).substr(0, 2), "BM");
    EXPECT_EQ(ReadFile(path("g.bmp")).substr(0, 2), "BM");
    EXPECT_GT(std::filesystem::file_size(path("d.txt")), 1000u);
    EXPECT_GT(std::filesystem::file_size(path("f.txt")), std::filesystem::file_size(path("d.txt")));

    const TaviTool::ReadImage depth = tavi_.ReadWithPil(path("d.png"));
    EXPECT_EQ(depth.width, 1280u);
    EXPECT_EQ(depth.height, 1024u);
    EXPECT_EQ(depth.mode.rfind("I", 0), 0u) << depth.mode;

    const TaviTool::ReadImage preview = tavi_.ReadWithPil(path("preview.png"));
    ASSERT_EQ(preview.width, 1280u);
    ASSERT_EQ(preview.height, 512u);
    ASSERT_EQ(preview.pixels.size(), 1280u * 512u * 3u);
    // Not blank: both panels hold many colours, the depth panel the near red of the sphere and the
    // cloud panel the sphere's own red and the box's green.
    std::set<uint32_t> left, right;
    size_t red_left = 0, red_right = 0, green_right = 0;
    for (size_t y = 0; y < preview.height; ++y) {
        for (size_t x = 0; x < preview.width; ++x) {
            const auto* p = reinterpret_cast<const uint8_t*>(&preview.pixels[(y * preview.width + x) * 3]);
            const uint32_t colour = p[0] << 16 | p[1] << 8 | p[2];
            const bool red = p[0] > 150 && p[0] > 2 * p[1] && p[0] > 2 * p[2];
            const bool green = p[1] > 100 && p[1] > 2 * p[0] && p[1] > 2 * p[2];
            if (x < 640) {
                left.insert(colour);
                red_left += red;
            } else {
                right.insert(colour);
                red_right += red;
                green_right += green;
            }
        }
    }
    EXPECT_GT(left.size(), 50u);
    EXPECT_GT(right.size(), 50u);
    EXPECT_GT(red_left, 1000u);
    EXPECT_GT(red_right, 1000u);
    EXPECT_GT(green_right, 1000u);
}

TEST_F(TaviCliE2E, ThePreviewAndTheColouredCloudComeFromEveryColourFormat) {
    for (const char* format : {"BayerRG8", "YUV422_8", "RGB8", "RGB565p"}) {
        ASSERT_EQ(tavi_.Run({"set", serial_, std::string("PixelFormat=") + format, "--channel", "1"}).status,
                  0);
        const std::string preview = tavi_.scratch().PathOf(std::string("preview-") + format + ".png");
        const ProgramRun run =
            tavi_.Run({"capture", serial_, "--timeout-ms", "30000", "--preview", preview, "--fused-txt",
                       tavi_.scratch().PathOf("fused.txt"), "--bmp", tavi_.scratch().PathOf("c.bmp")});
        EXPECT_EQ(run.status, 0) << format << run.Both();
        EXPECT_EQ(tavi_.ReadWithPil(preview).width, 1280u) << format;
    }
    ASSERT_EQ(tavi_.Run({"set", serial_, "PixelFormat=BayerRG8", "--channel", "1"}).status, 0);
}

TEST_F(TaviCliE2E, AnInterruptedCaptureGivesTheCameraBackAtOnce) {
    std::string out, err;
    const pid_t capture = StartProgram(
        {TAVI_TOOL, "capture", serial_, "--frames", "100000", "--pcd", tavi_.scratch().PathOf("x.pcd")},
        tavi_.scratch(), &out, &err);
    ASSERT_GT(capture, 0);
    // The capture holds the camera once its control privilege is taken; the read takes no control.
    const std::optional<DiscoveryInfo> camera =
        tavi::test::DiscoverCameraAt(tavi::test::CameraAddressFromEnvironment());
    ASSERT_TRUE(camera.has_value());
    bool held = false;
    for (int attempt = 0; attempt < 600 && !held; ++attempt) {
        GigeCamera probe;
        DiscoveryInfo info = *camera;
        int ccp = 0;
        held = probe.GetCameraCCPStatus(&info, &ccp) == 0 && ccp != 0;
        if (!held) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    kill(capture, SIGTERM);
    const ProgramRun stopped = FinishProgram(capture, out, err);
    ASSERT_TRUE(held) << stopped.Both();
    EXPECT_EQ(stopped.status, kExitInterrupted) << stopped.Both();
    EXPECT_NE(stopped.err.find("interrupted after"), std::string::npos) << stopped.err;
    EXPECT_FALSE(std::filesystem::exists(tavi_.scratch().PathOf("x.pcd")));
    // Released, not left to the heartbeat time-out: the next connection is granted at once.
    const ProgramRun next = tavi_.Run({"info", serial_});
    EXPECT_EQ(next.status, 0) << next.Both();
}

TEST_F(TaviCliE2E, SaveXmlWritesTheDescriptionAsServed) {
    const ProgramRun run = tavi_.Run({"save-xml", serial_, tavi_.scratch().path().string()});
    ASSERT_EQ(run.status, 0) << run.Both();
    EXPECT_EQ(ReadFile(tavi_.scratch().PathOf("TaviVirtual3D.zip")).substr(0, 2), "PK");
    const ProgramRun missing = tavi_.Run({"save-xml", serial_, tavi_.scratch().PathOf("no/such/dir")});
    EXPECT_EQ(missing.status, kExitFile);
    EXPECT_NE(missing.err.find("is not a directory"), std::string::npos) << missing.err;
}

TEST_F(TaviCliE2E, FirmwareRefusesAFileThatIsNotThere) {
    const ProgramRun run = tavi_.Run({"firmware", serial_, tavi_.scratch().PathOf("none.bin")});
    EXPECT_EQ(run.status, kExitFile);
    EXPECT_NE(run.err.find("is not a readable file"), std::string::npos) << run.err;
}

TEST_F(TaviCliE2E, DoctorPassesOnAHealthyLinkAndNamesAHeldCamera) {
    const std::filesystem::path root = tavi_.scratch().path() / "root";
    MakeSystemRoot(root, 64L << 20, 1, "tvc0");
    const ProgramRun healthy = tavi_.Run({"doctor", "--root", root.string()});
    EXPECT_EQ(healthy.status, 0) << healthy.Both();
    EXPECT_NE(healthy.out.find("no problems found"), std::string::npos) << healthy.out;
    EXPECT_NE(healthy.out.find("the route to " + Environment("TAVI_CAMERA_0_IP") + " leaves through tvc0"),
              std::string::npos)
        << healthy.out;

    VirtualCameraControl camera(std::getenv("TAVI_CAMERA_0_CONTROL"));
    ASSERT_TRUE(camera.Set("control-held", "1"));
    const ProgramRun held = tavi_.Run({"doctor", serial_, "--root", root.string()});
    const ProgramRun info = tavi_.Run({"info", serial_});
    ASSERT_TRUE(camera.Set("control-held", "0"));
    EXPECT_EQ(held.status, kExitDoctorFound) << held.Both();
    EXPECT_NE(held.out.find("held by another application"), std::string::npos) << held.out;
    EXPECT_EQ(info.status, kExitCameraRefused) << info.Both();
    EXPECT_NE(info.err.find("another application may hold it"), std::string::npos) << info.err;

    // A small receive-buffer limit is a problem where packet sockets are not allowed; the fix names
    // the sysctl.
    const std::filesystem::path small = tavi_.scratch().path() / "small";
    MakeSystemRoot(small, 212992, 0, "tvc0");
    const ProgramRun limited = tavi_.Run({"doctor", serial_, "--root", small.string()});
    EXPECT_NE(limited.out.find("net.core.rmem_max is 212992 bytes"), std::string::npos) << limited.out;
    EXPECT_NE(limited.out.find("sudo sysctl -w net.core.rmem_max="), std::string::npos) << limited.out;
}

// ---- stats while the camera drops packets -------------------------------------------------------

TEST(TaviStatsE2E, StatsReportsResendsWhileTheCameraDropsPackets) {
    TaviTool tavi;
    VirtualCameraControl camera(std::getenv("TAVI_CAMERA_0_CONTROL"));
    // Small frames, so that even a sanitizer build receives several in the few seconds measured.
    const ProgramRun shrink = tavi.Run({"set", "TVS001", "Width=320", "Height=256", "--sensor", "0"});
    ASSERT_EQ(shrink.status, 0) << shrink.Both();
    ASSERT_TRUE(camera.Set("drop-first", "0.02"));
    const ProgramRun run = tavi.Run({"stats", "TVS001", "--seconds", "3", "--json"});
    ASSERT_EQ(run.status, 0) << run.Both();
    EXPECT_EQ(tavi.Json(run.out, "len(d)", true), "3");
    EXPECT_EQ(tavi.Json(run.out, "all(line['channel'] == 0 for line in d)", true), "true");
    EXPECT_EQ(tavi.Json(run.out, "d[-1]['frames'] > 0", true), "true");
    EXPECT_EQ(tavi.Json(run.out, "d[-1]['resent'] > 0", true), "true") << run.out;
    EXPECT_EQ(tavi.Json(run.out, "d[-1]['resend_requested'] > 0", true), "true") << run.out;
    EXPECT_EQ(tavi.Json(run.out, "sum(line['resent_in_interval'] for line in d) == d[-1]['resent']", true),
              "true");
    EXPECT_EQ(tavi.Json(run.out, "d[-1]['megabytes_per_s'] > 0", true), "true");

    const ProgramRun text = tavi.Run({"stats", "TVS001", "--seconds", "1"});
    EXPECT_EQ(text.status, 0);
    EXPECT_NE(text.out.find("frames/s"), std::string::npos) << text.out;
}

// ---- a firmware upload to a camera with an FTP server beside it ----------------------------------

TEST(TaviFirmwareE2E, TheUploadArrivesByteForByteAndATooLongNameIsRefused) {
    TaviTool tavi;
    const std::string firmware = tavi.scratch().PathOf("fw-2.0.0.bin");
    std::string bytes;
    for (int n = 0; n < 70000; ++n) bytes += static_cast<char>(n * 7 + n / 256);
    std::ofstream(firmware, std::ios::binary) << bytes;
    const std::string too_long = tavi.scratch().PathOf("a-firmware-file-name-too-long.bin");
    std::ofstream(too_long, std::ios::binary) << bytes;

    const ProgramRun refused = tavi.Run({"firmware", "TVU001", too_long});
    EXPECT_EQ(refused.status, kExitUsage) << refused.Both();
    EXPECT_NE(refused.err.find("longer than 26 characters"), std::string::npos) << refused.err;

    const ProgramRun run = tavi.Run({"firmware", "TVU001", firmware});
    ASSERT_EQ(run.status, 0) << run.Both();
    EXPECT_NE(run.out.find("the camera installs it and reboots"), std::string::npos) << run.out;
    EXPECT_EQ(ReadFile(Environment("TAVI_FTP_ROOT") + "/var/fw-2.0.0.bin"), bytes);
}

// ---- a small MTU and a camera on a foreign subnet, then mended ----------------------------------

TEST(TaviDoctorE2E, DoctorFlagsASmallMtuAndAForeignSubnetAndPassesWhenMended) {
    TaviTool tavi;
    const std::filesystem::path root = tavi.scratch().path() / "root";
    // Strict reverse-path filtering on the adapter, which drops a foreign-subnet camera's answers.
    MakeSystemRoot(root, 64L << 20, 1, "tvd0");
    const ProgramRun broken = tavi.Run({"doctor", "--root", root.string()});
    EXPECT_EQ(broken.status, kExitDoctorFound) << broken.Both();
    const std::string& out = broken.out;
    EXPECT_NE(out.find("[PROBLEM] subnet        camera TVD001 at 10.71.0.5/24 is not on tvd0's subnet"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("fix: tavi force-ip TVD001 169.254.71.2 255.255.0.0 169.254.71.1"), std::string::npos)
        << out;
    EXPECT_NE(out.find("[PROBLEM] rp_filter"), std::string::npos) << out;
    EXPECT_NE(out.find("[PROBLEM] route         no route leads to camera 10.71.0.5"), std::string::npos)
        << out;
    EXPECT_NE(out.find("[PROBLEM] mtu           tvd0 has an MTU of 1000 bytes"), std::string::npos) << out;
    EXPECT_NE(out.find("fix: sudo ip link set dev tvd0 mtu 9000"), std::string::npos) << out;

    // The fixes the doctor printed: the camera onto the adapter's subnet, a larger MTU.
    const ProgramRun moved = tavi.Run({"force-ip", "TVD001", "169.254.71.2", "255.255.0.0", "169.254.71.1"});
    ASSERT_EQ(moved.status, 0) << moved.Both();
    ASSERT_EQ(std::system("ip link set dev tvd0 mtu 1500"), 0);
    const ProgramRun mended = tavi.Run({"doctor", "--root", root.string()});
    EXPECT_EQ(mended.status, 0) << mended.Both();
    EXPECT_NE(mended.out.find("no problems found"), std::string::npos) << mended.out;
    // Jumbo frames would still help: a hint, not a problem.
    EXPECT_NE(mended.out.find("[hint   ] mtu"), std::string::npos) << mended.out;
}

TEST(TaviNoCameraE2E, ListAndDoctorSayWhereNoCameraAnswered) {
    TaviTool tavi;
    const ProgramRun list = tavi.Run({"list"});
    EXPECT_EQ(list.status, kExitNoCamera);
    EXPECT_NE(list.err.find("no camera answered on tvn0: check the cable"), std::string::npos) << list.err;
    EXPECT_NE(list.err.find("tavi doctor"), std::string::npos) << list.err;
    const ProgramRun json = tavi.Run({"list", "--json"});
    EXPECT_EQ(tavi.Json(json.out, "d['cameras']"), "[]");
    const ProgramRun doctor = tavi.Run({"doctor"});
    EXPECT_EQ(doctor.status, kExitNoCamera);
    EXPECT_NE(doctor.out.find("no camera answered on tvn0"), std::string::npos) << doctor.out;
}

}  // namespace
