// The application entry, through the real binary (console output byte for byte, exit code).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <libdeflate.h>

#include "app/app.h"
#include "test_process.h"
#include "test_text.h"

namespace fs = std::filesystem;

namespace {

//~ Helpers
std::string summary(const TempFolder &tmp, const std::string &targets, int threads,
                    const std::string &orientation = "upright", const std::string &color = "sRGB",
                    const std::string &png_level = "12") {
  return "Options:\n\tin:        " + tmp.at("in") + "\n\tout:       " + tmp.at("out") + "\n\tmetadatas: " +
         tmp.at("meta") + "\n\ttargets:   " + targets + "\n\tthread:    " + std::to_string(threads) +
         "\n\torientation: " + orientation + "\n\tcolor:     " + color + "\n\tpng_level: " + png_level +
         "\n\nWaiting for PNG/JPEG files...\n";
}

const std::string help_text = "Converter - Help -\n"
                              "\tin:        folder path images to convert\n"
                              "\tout:       folder path images converted (produced by the program).\n"
                              "\ttargets:   file path which specify the image details conversion. None will used "
                              "default targets.\n"
                              "\timage types: reads JPEG, PNG, WEBP, AVIF, HEIF, RAW, TIFF, GIF and JXL; writes JPEG, PNG, WEBP, AVIF and JXL.\n"
                              "\tmetadatas: folder path images converted's metadatas. Which can be used to extract "
                              "informations of them.\n"
                              "\torientation: upright (default) turns the outputs as a viewer shows the photo; "
                              "stored keeps them as stored.\n"
                              "\tcolor:     sRGB (default) converts the outputs of a photo with a colour profile to "
                              "sRGB; stored keeps its numbers.\n"
                              "\tpng_level: 1 (fastest) to 12 (smallest, the default): how hard PNG outputs are "
                              "compressed; their names do not change.\n"
                              "\tthread:    how many pictures are converted at once, 1 to 16; 0 (the default): the "
                              "number of processors.\n"
                              "\tmax_pixels: pictures with more pixels than this are left in place; 0 (the default): "
                              "134217728.\n"
                              "\tmetrics:   <address>:<port> (127.0.0.1:9464, [::1]:9464; port 0: any free one) serves "
                              "/metrics, /health and a status page there; off by default.\n"
                              "\tdrain:     end once every file in the input folder has been converted or tried and "
                              "left in place; Ctrl+C or SIGTERM ends sooner, once the pictures being converted are "
                              "done (a second one at once).\n"
                              "\tlog:       text (the default) prints lines for people; json prints one JSON object a "
                              "line for log collectors.\n"
                              "\t--quiet:   on a crash, end without the crash report; also turns the progress line "
                              "off.\n"
                              "\t--version: print the versions of the program and of its libraries, then end.\n";

std::vector<std::string> folder_args(const TempFolder &tmp) {
  return {"-in=" + tmp.at("in"), "-out=" + tmp.at("out"), "-metadatas=" + tmp.at("meta")};
}

} // namespace

//~ Through the binary
TEST(AppMain, HelpPrintsTheSummaryThenTheHelpAndEnds) {
  TempFolder tmp;
  std::vector<std::string> args = folder_args(tmp);
  args.push_back("-thread=2");
  args.push_back("-help");
  Program program(args);
  ASSERT_GT(program.pid, 0);
  ASSERT_TRUE(program.wait_for_exit());
  EXPECT_EQ(program.exit_code, 0);
  EXPECT_EQ(program.out, summary(tmp, "default", 2) + help_text + "[Vantor] ended.\n");
  // set-up has run before the help text: the folders exist
  EXPECT_TRUE(fs::is_directory(tmp.at("in")));
  EXPECT_TRUE(fs::is_directory(tmp.at("out")));
  EXPECT_TRUE(fs::is_directory(tmp.at("meta")));
}

// The version comes from CMakeLists.txt and the stb headers must be the libstb-dev version
// scripts/deps pins: headers of another version fail here.
TEST(AppMain, VersionNamesTheProgramAndItsLibrariesAndSetsNothingUp) {
  auto source_text = [](const std::string &name) {
    std::ifstream file(std::string(VANTOR_SOURCE_DIR) + "/" + name, std::ios::binary);
    std::stringstream s;
    s << file.rdbuf();
    return s.str();
  };
  std::smatch version, pin;
  std::string cmake = source_text("CMakeLists.txt"), deps = source_text("scripts/deps");
  ASSERT_TRUE(std::regex_search(cmake, version, std::regex(R"(\nproject\(vantor VERSION ([0-9]+\.[0-9]+\.[0-9]+) )")));
  ASSERT_TRUE(std::regex_search(deps, pin, std::regex("\nstb_version=\"([^\"]+)\"\n")));

  TempFolder tmp;
  for (const char *flag : {"--version", "-version"}) {
    std::vector<std::string> args = folder_args(tmp);
    args.push_back(flag);
    args.push_back("-help");
    FinishedRun run = run_to_end(args);
    ASSERT_TRUE(run.ended) << flag;
    EXPECT_EQ(run.exit_code, 0) << flag;
    std::vector<std::string> lines;
    std::istringstream in(run.out);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), 12u) << flag << "\n" << run.out;
    std::string program = "vantor " + version[1].str();
    EXPECT_TRUE(lines[0] == program || lines[0].rfind(program + " (git ", 0) == 0) << lines[0];
    EXPECT_EQ(lines[1], "stb " + pin[1].str()) << "the stb headers in use are not the pinned ones";
    EXPECT_EQ(lines[2], std::string("libdeflate ") + LIBDEFLATE_VERSION_STRING);
    const char *libraries[] = {"libxxhash", "lcms2", "libheif", "libwebp", "libjpeg-turbo", "libtiff", "giflib", "libjxl",
                               "LibRaw"};
    for (u32 i = 0; i < 9; i += 1) {
      std::regex pattern(std::string(libraries[i]) + R"( [0-9][0-9A-Za-z.+~:-]*)");
      EXPECT_TRUE(std::regex_match(lines[3 + i], pattern)) << lines[3 + i];
    }
    EXPECT_EQ(run.out.find("Options:"), std::string::npos) << run.out;
    // set-up never ran
    EXPECT_FALSE(fs::exists(tmp.at("in")));
    EXPECT_FALSE(fs::exists(tmp.at("out")));
    EXPECT_FALSE(fs::exists(tmp.at("meta")));
  }
}

TEST(AppMain, SummaryNamesTheTargetsFileAndClampsTheThreadCount) {
  TempFolder tmp;
  std::string targets = tmp.write("t/targets.txt", "targets: [ { width: 64, height: 64 } ]\n");
  std::vector<std::string> args = folder_args(tmp);
  // the path is shown normalised
  args.push_back("--targets:" + tmp.at("t/../t/./targets.txt"));
  args.push_back("-thread=40");
  args.push_back("-help");
  Program program(args);
  ASSERT_TRUE(program.wait_for_exit());
  EXPECT_EQ(program.exit_code, 0);
  EXPECT_EQ(program.out, summary(tmp, targets, 16) + help_text + "[Vantor] ended.\n");
}

TEST(AppMain, UnknownKeysAndUnreadableNumbersAreWarnedAndTheRestApplies) {
  TempFolder tmp;
  std::vector<std::string> args = folder_args(tmp);
  for (const char *arg : {"-input=/nowhere", "-outt=/nowhere", "-thread=abc", "-max_pixels=-5", "-orientation=left",
                          "-color=stored", "-png_level=13", "-log=xml", "-help"}) {
    args.push_back(arg);
  }
  Program program(args);
  ASSERT_TRUE(program.wait_for_exit());
  EXPECT_EQ(program.exit_code, 0);
  std::string before_threads = summary(tmp, "default", 1);
  before_threads = before_threads.substr(0, before_threads.find("thread:"));
  EXPECT_EQ(program.out.rfind(before_threads, 0), 0u) << program.out;
  std::string warnings = "Waiting for PNG/JPEG files...\n"
                         "warning: unknown option \"input\"; it is ignored\n"
                         "warning: unknown option \"outt\"; it is ignored\n"
                         "warning: thread value \"abc\" is not a number; using the default (the processor count)\n"
                         "warning: max_pixels value \"-5\" is not a number; using the default (134217728)\n"
                         "warning: png_level value \"13\" is not between 1 and 12; using the default (12)\n"
                         "warning: orientation value \"left\" is neither upright nor stored; using the default "
                         "(upright)\n"
                         "warning: log value \"xml\" is neither text nor json; using the default (text)\n";
  EXPECT_NE(program.out.find("\torientation: upright\n\tcolor:     stored\n\tpng_level: 12\n"), std::string::npos)
      << program.out;
  EXPECT_NE(program.out.find(warnings + help_text + "[Vantor] ended.\n"), std::string::npos) << program.out;
  EXPECT_FALSE(fs::exists("/nowhere"));
}

TEST(AppMain, FolderNamesReachTheSummaryAsUtf8WithForwardSlashes) {
  TempFolder tmp;
  // "été-片" in UTF-8: on Windows the program gets it as UTF-16 and must give back these bytes
  const std::string name = "\xC3\xA9t\xC3\xA9-\xE7\x89\x87";
  std::string in = tmp.at(name + "/in"), out = tmp.at(name + "/out"), meta = tmp.at(name + "/meta");
  // where backslashes separate, they are taken for "/"; a leading "/" stays: alone it is what
  // makes the path absolute on POSIX
  std::string out_backslashed = out;
  if (path_backslash_separates()) std::replace(out_backslashed.begin() + 1, out_backslashed.end(), '/', '\\');
  Program program({"-in=" + in, "-out=" + out_backslashed, "-metadatas=" + tmp.at(name + "/x/../meta"), "-thread=3",
                   "-help"});
  ASSERT_TRUE(program.wait_for_exit());
  EXPECT_EQ(program.exit_code, 0);
  EXPECT_EQ(program.out, "Options:\n\tin:        " + in + "\n\tout:       " + out + "\n\tmetadatas: " + meta +
                             "\n\ttargets:   default\n\tthread:    3\n\torientation: upright\n\tcolor:     sRGB\n\tpng_level: 12\n\n"
                             "Waiting for PNG/JPEG files...\n" + help_text +
                             "[Vantor] ended.\n");
  for (const std::string &folder : {in, out, meta}) {
    EXPECT_TRUE(fs::is_directory(fs::path(std::u8string(folder.begin(), folder.end())))) << folder;
  }
}

TEST(AppMain, TargetsFileProblemsFollowTheSummary) {
  TempFolder tmp;
  std::string missing = tmp.at("missing.txt");
  {
    std::vector<std::string> args = folder_args(tmp);
    args.push_back("-targets=" + missing);
    args.push_back("-thread=1");
    args.push_back("-help");
    Program program(args);
    ASSERT_TRUE(program.wait_for_exit());
    EXPECT_EQ(program.out, summary(tmp, "default", 1) + "warning: cannot read targets file " + missing +
                               "; using the default targets\n" + help_text + "[Vantor] ended.\n");
  }
  {
    std::string bad = tmp.write("bad.txt", "targets: [\n  ? \n]\n");
    std::vector<std::string> args = folder_args(tmp);
    args.push_back("-targets=" + bad);
    args.push_back("-thread=1");
    args.push_back("-help");
    Program program(args);
    ASSERT_TRUE(program.wait_for_exit());
    EXPECT_EQ(program.out, summary(tmp, "default", 1) + "warning: targets file " + bad +
                               ":2:3: Unexpected \"?\" token.\n" + "warning: no target in targets file " +
                               bad + "; using the default targets\n" + help_text + "[Vantor] ended.\n");
  }
}

TEST(AppMain, WithoutHelpTheSummaryIsFlushedAndTheLoopKeepsRunning) {
  TempFolder tmp;
  std::vector<std::string> args = folder_args(tmp);
  Program program(args);
  u64 workers = std::clamp<u64>(sys_info()->processor_count, 1, 16);
  std::string expected = summary(tmp, "default", (int)workers);
  ASSERT_TRUE(program.wait_for_output(expected)) << program.out;
  EXPECT_EQ(program.out, expected);
  // several passes later it is still scanning
  for (int i = 0; i < 5; i += 1) program.pump(100);
  EXPECT_TRUE(program.running());
}
