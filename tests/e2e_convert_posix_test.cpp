// End to end on Linux only: the running program's threads as /proc lists them, by the names
// the kernel keeps (15 bytes), and sources the program may not open or delete.
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "os/os.h"
#include "test_images.h"
#include "test_process.h"
#include "test_text.h"

namespace fs = std::filesystem;

namespace {

std::string read_text(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(EndToEnd, ThreadsAreNamedForWhatTheyDo) {
  TempFolder tmp("e2e-names");
  fs::create_directories(tmp.at("in"));
  Program p({"-in=" + tmp.at("in"), "-out=" + tmp.at("out"), "-metadatas=" + tmp.at("meta"), "-thread=2"});
  ASSERT_TRUE(p.wait_for_output("Waiting for PNG/JPEG files...\n"));
  std::string task = "/proc/" + std::to_string(p.pid) + "/task";
  auto names = [&] {
    std::multiset<std::string> found;
    for (auto &t : fs::directory_iterator(task)) {
      std::string comm = read_text(t.path().string() + "/comm");
      if (!comm.empty()) comm.pop_back();
      found.insert(comm);
    }
    return found;
  };
  // Threads name themselves once they run; names are cut to 15 bytes by the system.
  cpu_set_t cpus;
  CPU_ZERO(&cpus);
  ASSERT_EQ(sched_getaffinity(0, sizeof(cpus), &cpus), 0);
  size_t streamers = std::clamp<size_t>((size_t)CPU_COUNT(&cpus) - 1, 1, 4);
  ASSERT_TRUE(wait_until([&] {
    std::multiset<std::string> n = names();
    return n.count("[fs] detector") == 1 && n.count("[fs] streamer #") == streamers &&
           n.count("[VANTOR] Conver") == 2 && n.count("[VANTOR] Sync #") == 4;
  }));
  // The main thread is the process's first and keeps the program's name, which is the
  // process's; the reaper, started from it, has no name of its own.
  EXPECT_EQ(read_text(task + "/" + std::to_string(p.pid) + "/comm"), "vantor\n");
  EXPECT_EQ(read_text("/proc/" + std::to_string(p.pid) + "/comm"), "vantor\n");
}

// A file the program may not open (another user's, mode 000) is reported once, stays where it
// is, and does not keep a drain from ending; once it changes and can be read, it is converted.
// Root reads anything, so as root the program runs without the capabilities that allow it.
TEST(EndToEnd, UnreadableFileIsReportedOnceAndLeftInPlace) {
  TempFolder tmp("e2e-unreadable");
  fs::create_directories(tmp.at("in"));
  Bytes png = png_file(gradient(40, 30, 3), 40, 30, 3);
  std::string locked = tmp.at("in/locked.png");
  ASSERT_TRUE(write_file(locked, png));
  ASSERT_TRUE(write_file(tmp.at("in/open.png"), png_file(gradient(30, 40, 3), 30, 40, 3)));
  ASSERT_EQ(chmod(locked.c_str(), 0), 0);
  std::vector<std::string> args = {"-drain", "-in=" + tmp.at("in"), "-out=" + tmp.at("out"),
                                   "-metadatas=" + tmp.at("meta"), "-thread=2"};
  auto run = [&] {
    if (geteuid() != 0) return run_to_end(args);
    std::vector<std::string> dropped = {"--bounding-set=-dac_override,-dac_read_search", VANTOR_BIN};
    dropped.insert(dropped.end(), args.begin(), args.end());
    return run_to_end(dropped, "/usr/bin/setpriv");
  };

  FinishedRun first = run();
  ASSERT_TRUE(first.ended) << first.out;
  EXPECT_EQ(first.exit_code, 3) << "a drain that left a source in place says so";
  std::string note = "warning:\nUnable to open locked.png, it was left in place.\n";
  size_t at = first.out.find(note);
  EXPECT_NE(at, std::string::npos) << first.out;
  EXPECT_EQ(first.out.find(note, at + 1), std::string::npos) << "reported once: " << first.out;
  EXPECT_FALSE(fs::exists(tmp.at("in/open.png")));
  EXPECT_TRUE(fs::exists(tmp.at("meta/open.metadatas")));
  ASSERT_EQ(chmod(locked.c_str(), 0644), 0);
  EXPECT_EQ(read_file(locked), png);
  EXPECT_FALSE(fs::exists(tmp.at("meta/locked.metadatas")));

  // a new version that can be read
  ASSERT_TRUE(write_file(locked, png_file(gradient(41, 30, 3), 41, 30, 3)));
  FinishedRun second = run();
  ASSERT_TRUE(second.ended) << second.out;
  EXPECT_EQ(second.exit_code, 0);
  EXPECT_EQ(second.out.find("Unable to open"), std::string::npos) << second.out;
  EXPECT_FALSE(fs::exists(locked));
  EXPECT_TRUE(fs::exists(tmp.at("meta/locked.metadatas")));
}

// A folder that may be listed but not searched names files the program cannot even look up:
// each is reported once and counted as unreadable, and the drain ends instead of waiting for
// it. Root searches any folder, so as root the program runs without the capabilities that allow it.
TEST(EndToEnd, FileThatCannotBeLookedUpDoesNotHoldUpTheDrain) {
  TempFolder tmp("e2e-unsearchable");
  std::string folder = tmp.at("in/shut");
  fs::create_directories(folder);
  ASSERT_TRUE(write_file(folder + "/hidden.png", png_file(gradient(40, 30, 3), 40, 30, 3)));
  ASSERT_EQ(chmod(folder.c_str(), 0644), 0);
  struct Reopen {
    std::string folder;
    ~Reopen() { chmod(folder.c_str(), 0755); }
  } reopen{folder};
  std::vector<std::string> args = {"-drain", "-in=" + tmp.at("in"), "-out=" + tmp.at("out"),
                                   "-metadatas=" + tmp.at("meta"), "-thread=2"};
  std::string binary = VANTOR_BIN;
  if (geteuid() == 0) {
    args.insert(args.begin(), {"--bounding-set=-dac_override,-dac_read_search", VANTOR_BIN});
    binary = "/usr/bin/setpriv";
  }
  FinishedRun run = run_to_end(args, binary);
  ASSERT_TRUE(run.ended) << run.out;
  EXPECT_EQ(run.exit_code, 3) << run.out;
  std::string note = "warning:\nUnable to open hidden.png, it was left in place.\n";
  size_t at = run.out.find(note);
  EXPECT_NE(at, std::string::npos) << run.out;
  EXPECT_EQ(run.out.find(note, at + 1), std::string::npos) << "reported once: " << run.out;
  EXPECT_NE(run.out.find("1 left in place (too large 0, cut short or empty 0, not decodable 0, unreadable 1,"), std::string::npos)
      << run.out;
}

// A converted source in a folder the program may not change stays: reported once, settled, and
// not converted again while it is unchanged, so its record is written once. Root may change any
// folder, so as root the program runs without the capability that allows it.
TEST(EndToEnd, UndeletableSourceIsConvertedOnceAndReportedOnce) {
  TempFolder tmp("e2e-undeletable");
  Bytes png = png_file(gradient(40, 30, 3), 40, 30, 3);
  std::string folder = tmp.at("in/shut");
  std::string source = folder + "/stays.png";
  fs::create_directories(folder);
  ASSERT_TRUE(write_file(source, png));
  ASSERT_EQ(chmod(folder.c_str(), 0555), 0);
  struct Reopen {
    std::string folder;
    ~Reopen() { chmod(folder.c_str(), 0755); }
  } reopen{folder};
  std::vector<std::string> args = {"-in=" + tmp.at("in"), "-out=" + tmp.at("out"), "-metadatas=" + tmp.at("meta"),
                                    "-thread=2"};
  std::string binary = VANTOR_BIN;
  if (geteuid() == 0) {
    args.insert(args.begin(), {"--bounding-set=-dac_override,-fowner", VANTOR_BIN});
    binary = "/usr/bin/setpriv";
  }
  Program p(args, binary);
  std::string note = "warning:\nUnable to delete " + source + ": Permission denied, it was left in place.\n";
  ASSERT_TRUE(p.wait_for_output(note)) << p.out;
  std::string record = tmp.at("meta/shut/stays.metadatas");
  ASSERT_TRUE(fs::exists(record));
  struct stat first;
  ASSERT_EQ(stat(record.c_str(), &first), 0);

  // A source converted after it shows the passes went on; for a few seconds more the record is
  // not written again and the note stays single.
  ASSERT_TRUE(write_file(tmp.at("in/after.png"), png_file(gradient(30, 40, 3), 30, 40, 3)));
  ASSERT_TRUE(wait_until([&] {
    p.pump(50);
    return !fs::exists(tmp.at("in/after.png")) && fs::exists(tmp.at("meta/after.metadatas"));
  })) << p.out;
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(4);
  while (std::chrono::steady_clock::now() < until) p.pump(100);
  struct stat later;
  ASSERT_EQ(stat(record.c_str(), &later), 0);
  EXPECT_EQ(later.st_ino, first.st_ino) << "the record was written again";
  size_t at = p.out.find(note);
  EXPECT_EQ(p.out.find("Unable to delete", at + note.size()), std::string::npos) << p.out;
  EXPECT_EQ(read_file(source), png);

  // a drain counts it as left in place
  args.push_back("-drain");
  FinishedRun drain = run_to_end(args, binary);
  ASSERT_TRUE(drain.ended) << drain.out;
  EXPECT_EQ(drain.exit_code, 3);
  EXPECT_NE(drain.out.find(": 0 converted, 1 left in place (too large 0, cut short or empty 0, not decodable 0, "
                           "unreadable 0, write failed 0, could not be deleted 1), 0 unsupported set aside.\n"),
            std::string::npos)
      << drain.out;
}

// Counts the temporaries removed from a folder: every attempt whose metadata cannot be put in
// place removes its temporary there.
struct TemporariesRemoved {
  int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  size_t count = 0;
  explicit TemporariesRemoved(const std::string &folder) { inotify_add_watch(fd, folder.c_str(), IN_DELETE); }
  ~TemporariesRemoved() { close(fd); }
  size_t now() {
    alignas(inotify_event) char buffer[4096];
    for (ssize_t n; (n = read(fd, buffer, sizeof(buffer))) > 0;) {
      for (char *at = buffer; at < buffer + n;) {
        inotify_event *e = (inotify_event *)at;
        std::string name = e->len ? e->name : "";
        count += name.rfind(".vantor-", 0) == 0 && name.size() > 4 && name.substr(name.size() - 4) == ".tmp";
        at += sizeof(inotify_event) + e->len;
      }
    }
    return count;
  }
};

// Two sources whose records can never be put in place (a folder holds each name) are warned
// about once each, however often they are tried again, and the retries write nothing that is
// already in place; once the names are free a retry converts them. Meanwhile a file holding
// only the start of a PNG signature waits like a picture cut short, then converts when whole.
TEST(EndToEnd, FailedWritesRetryQuietlyAndSignaturePrefixesWait) {
  TempFolder tmp("e2e-retry");
  std::string in = tmp.at("in"), out = tmp.at("out"), meta = tmp.at("meta");
  fs::create_directories(in);
  for (const char *blocked : {"/a.metadatas", "/b.metadatas"}) fs::create_directories(meta + blocked);
  TemporariesRemoved removed(meta);
  Bytes a = png_file(gradient(60, 40, 3), 60, 40, 3), b = png_file(gradient(40, 60, 3), 40, 60, 3);
  ASSERT_TRUE(write_file(tmp.at("a.png"), a) && write_file(tmp.at("b.png"), b));
  fs::rename(tmp.at("a.png"), in + "/a.png");
  fs::rename(tmp.at("b.png"), in + "/b.png");
  Program p({"-in=" + in, "-out=" + out, "-metadatas=" + meta, "-thread=2"});
  auto warnings = [&] {
    p.pump(50);
    size_t n = 0;
    for (size_t at = p.out.find("Unable to write"); at != std::string::npos; at = p.out.find("Unable to write", at + 1)) {
      n += 1;
    }
    return n;
  };
  ASSERT_TRUE(wait_until([&] { return removed.now() >= 2 && warnings() == 2; })) << p.out;
  // the console gives the system's reason; the record's note is the bare line
  EXPECT_NE(p.out.find("Unable to write " + meta + "/a.metadatas: Is a directory.\n"), std::string::npos) << p.out;
  EXPECT_NE(p.out.find("Unable to write " + meta + "/b.metadatas: Is a directory.\n"), std::string::npos) << p.out;
  // what could be written is in place: each copy and three outputs
  std::map<std::string, fs::file_time_type> written;
  for (auto &e : fs::directory_iterator(out)) {
    if (e.is_regular_file()) written[e.path().string()] = e.last_write_time();
  }
  EXPECT_EQ(written.size(), 8u);

  Bytes whole = png_file(gradient(30, 20, 3), 30, 20, 3);
  std::string growing = in + "/growing.png";
  ASSERT_TRUE(write_file(growing, Bytes(whole.begin(), whole.begin() + 6)));

  // the first retries, after a pause, fail again
  ASSERT_TRUE(wait_until([&] { return removed.now() >= 4; }, 90)) << p.out;
  EXPECT_TRUE(fs::exists(growing)) << "the start of a signature is not judged unsupported";
  EXPECT_FALSE(fs::exists(out + "/unsupported"));
  ASSERT_TRUE(write_file(growing, whole));
  ASSERT_TRUE(wait_until([&] { return !fs::exists(growing) && fs::exists(meta + "/growing.metadatas"); })) << p.out;

  for (const char *blocked : {"/a.metadatas", "/b.metadatas"}) fs::remove(meta + blocked);
  ASSERT_TRUE(wait_until([&] { return !fs::exists(in + "/a.png") && !fs::exists(in + "/b.png"); }, 120)) << p.out;
  EXPECT_EQ(warnings(), 2u) << "the retries are silent: " << p.out;
  for (auto &[path, time] : written) EXPECT_EQ(fs::last_write_time(path), time) << path << " was written again";
  std::string record = read_text(meta + "/a.metadatas");
  size_t from = record.find("[file_path]") + 11;
  EXPECT_EQ(read_file(record.substr(from, record.find(';', from) - from)), a) << record;
}

// Every name the system allows is tried: a backslash (here a byte of the name, not a
// separator), a line break, a leading dash (never taken for an option), bytes that are not
// UTF-8, and a backslash name below a sub-folder whose own name holds one. Each converts: its
// outputs are in the output folder, its metadata file keeps its stem and sub-folder, and the
// source leaves the input folder. On the console a name is one line whatever it holds: the
// 16-bit sources' notes stand under their names with the line break and the bytes that are
// not UTF-8 spelled out, and so does an unsupported file's name that would forge a line of
// its own, while its record keeps the name's bytes.
TEST(EndToEnd, EveryLegalNameIsConverted) {
  TempFolder tmp("e2e-odd-names");
  std::string in = tmp.at("in"), out = tmp.at("out"), meta = tmp.at("meta");
  const std::vector<std::string> stems = {"back\\slash", "line\nbreak", "-x", "bad\xFF\xFEutf8",
                                          "sub\\dir/back\\slash"};
  fs::create_directories(in + "/sub\\dir");
  for (size_t i = 0; i < stems.size(); i += 1) {
    // each its own picture, so that no two share an output
    bool deep = stems[i] == "line\nbreak" || stems[i] == "bad\xFF\xFEutf8";
    Bytes png = deep ? make_png16(30 + i, 20, 3) : png_file(gradient(30 + i, 20, 3), 30 + i, 20, 3);
    ASSERT_TRUE(write_file(in + "/" + stems[i] + ".png", png));
  }
  std::string forged = "odd\n[Vantor] drained.txt";
  ASSERT_TRUE(write_file(in + "/" + forged, Bytes(4096, 'x')));
  std::string targets = tmp.write("targets.txt", "targets: [ { width: 16, height: 16, image_type: \"PNG\" } ]\n");
  FinishedRun run = run_to_end(
      {"-drain", "-in=" + in, "-out=" + out, "-metadatas=" + meta, "-targets=" + targets, "-thread=2"});
  ASSERT_TRUE(run.ended) << run.out;
  EXPECT_EQ(run.exit_code, 0) << run.out;
  const std::string field = "[file_path]";
  for (const std::string &stem : stems) {
    EXPECT_FALSE(fs::exists(in + "/" + stem + ".png")) << stem;
    std::string text = read_text(meta + "/" + stem + ".metadatas");
    size_t outputs = 0;
    for (size_t at = text.find(field); at != std::string::npos; at = text.find(field, at + 1)) {
      std::string path = text.substr(at + field.size(), text.find(';', at) - at - field.size());
      EXPECT_EQ(fs::path(path).parent_path().string(), out) << stem;
      EXPECT_TRUE(fs::exists(path)) << stem << ": " << path;
      outputs += 1;
    }
    EXPECT_EQ(outputs, 2u) << stem << ": " << text; // the source's copy and the one target
  }

  const std::string note = "Bitmap was 16bits/channel, we do not support it and convert it to 8bits/channel.\n";
  EXPECT_NE(run.out.find("\nline\\x0Abreak.png:\n" + note), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("\nbad\\xFF\\xFEutf8.png:\n" + note), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("\nerror:\nUnsupported file format, odd\\x0A[Vantor] drained.txt was skipped\n"),
            std::string::npos)
      << run.out;
  EXPECT_EQ(read_text(meta + "/odd\n[Vantor] drained.metadatas"),
            "errorUnsupported file format, " + forged + " was skipped");
  EXPECT_TRUE(fs::exists(out + "/unsupported/" + forged));
  // no line of the run is a bare label, holds a raw byte that is not UTF-8, or was forged
  EXPECT_EQ(run.out.find("\n:\n"), std::string::npos) << run.out;
  EXPECT_EQ(run.out.find('\xFF'), std::string::npos) << run.out;
  size_t drained = 0;
  for (size_t at = run.out.find("\n[Vantor] drained"); at != std::string::npos; at = run.out.find("\n[Vantor] drained", at + 1)) {
    drained += 1;
  }
  EXPECT_EQ(drained, 1u) << run.out;
}

// Set-up that cannot work ends the run at once with status 2 and one line naming the folder,
// its use and the reason, in a drain and in watch mode alike. Root may list and write any
// folder, so those two cases run without the capabilities that allow it.
TEST(EndToEnd, SetUpErrorsEndTheRunWithStatusTwo) {
  TempFolder tmp("e2e-setup");
  std::string file = tmp.at("file"), shut = tmp.at("shut"), locked = tmp.at("locked"), same = tmp.at("same");
  ASSERT_TRUE(write_file(file, Bytes{'x'}));
  fs::create_directories(shut);
  fs::create_directories(locked);
  ASSERT_EQ(chmod(shut.c_str(), 0311), 0);
  ASSERT_EQ(chmod(locked.c_str(), 0555), 0);
  struct Case {
    std::vector<std::string> args;
    std::string line;
  };
  std::vector<Case> cases = {
      {{"-in=" + file}, "error: the input folder " + file + " is not a folder"},
      {{"-in=" + file + "/in"}, "error: the input folder " + file + "/in cannot be created: Not a directory"},
      {{"-in=" + same, "-out=" + same}, "error: the input folder " + same + " is also the output folder; nothing in it "
                                        "could be converted"},
      {{"-in=" + same, "-metadatas=" + same + "/"}, "error: the input folder " + same + " is also the metadata folder; "
                                                    "nothing in it could be converted"},
      {{"-in=" + shut}, "error: the input folder " + shut + " cannot be listed: Permission denied"},
      {{"-out=" + locked}, "error: the output folder " + locked + " cannot be written: Permission denied"},
      {{"-metadatas=" + locked + "/meta"}, "error: the metadata folder " + locked + "/meta cannot be created: "
                                           "Permission denied"},
  };
  for (const Case &c : cases) {
    for (bool drain : {true, false}) {
      std::vector<std::string> args = {"--bounding-set=-dac_override,-dac_read_search,-fowner", VANTOR_BIN};
      args.insert(args.end(), c.args.begin(), c.args.end());
      // the folders a case does not name are good ones
      for (std::string key : {"-in=", "-out=", "-metadatas="}) {
        bool named = std::any_of(c.args.begin(), c.args.end(), [&](const std::string &a) { return a.rfind(key, 0) == 0; });
        if (!named) args.push_back(key + tmp.at(key.substr(1, key.size() - 2)));
      }
      if (drain) args.push_back("-drain");
      FinishedRun run = run_to_end(args, "/usr/bin/setpriv");
      ASSERT_TRUE(run.ended) << c.line;
      EXPECT_EQ(run.exit_code, 2) << run.out;
      EXPECT_EQ(run.out, c.line + "\nUnable to run the program, check paramaters.\n[Vantor] ended.\n");
    }
  }
  chmod(shut.c_str(), 0755);
  chmod(locked.c_str(), 0755);
}

// Several instances on one folder, each in a pid namespace of its own, so that their process and
// thread ids repeat. Three drain 60 sources: each is converted once (its record is put in place
// once) and counted by one summary. Then three drain 60 more and one is killed half-way: the
// others take its sources over by its free lock (its heartbeat is kept fresh, as if it still
// beat, so that its age never gives it away), none of its temporaries outlives the drains, and
// a fourth started meanwhile removes none of the live ones' temporaries (a removed one would
// fail a write and leave its source in place).
struct RecordsPlaced {
  int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  std::map<std::string, int> times;
  explicit RecordsPlaced(const std::string &folder) { inotify_add_watch(fd, folder.c_str(), IN_MOVED_TO); }
  ~RecordsPlaced() { close(fd); }
  void read_all() {
    alignas(inotify_event) char buffer[4096];
    for (ssize_t n; (n = read(fd, buffer, sizeof(buffer))) > 0;) {
      for (char *at = buffer; at < buffer + n; at += sizeof(inotify_event) + ((inotify_event *)at)->len) {
        inotify_event *e = (inotify_event *)at;
        if (e->len) times[e->name] += 1;
      }
    }
  }
};

long long converted_in(const std::string &out) {
  size_t at = out.find(" s: ");
  return at == std::string::npos ? -1 : std::stoll(out.substr(at + 4));
}

TEST(EndToEnd, InstancesInPidNamespacesShareOneFolder) {
  if (geteuid() != 0 || system("unshare --pid --fork --kill-child true >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "pid namespaces need root here";
  }
  TempFolder tmp("e2e-shared");
  fs::create_directories(tmp.at("in"));
  fs::create_directories(tmp.at("meta"));
  std::string targets = tmp.write("targets.txt", "targets: [ { width: 320, height: 240, image_type: \"JPEG\" } ]");
  auto put_sources = [&](int round) {
    for (int i = 0; i < 60; i += 1) {
      std::string name = "in/r" + std::to_string(round) + "_" + std::to_string(i) + ".jpg";
      ASSERT_TRUE(write_file(tmp.at(name), jpeg_file(noise(1200 * 900 * 3, round * 100 + i), 1200, 900, 3, 90)));
    }
  };
  auto instance = [&] {
    return std::make_unique<Program>(
        std::vector<std::string>{"--pid", "--fork", "--kill-child", VANTOR_BIN, "-drain", "-in=" + tmp.at("in"),
                                 "-out=" + tmp.at("out"), "-metadatas=" + tmp.at("meta"), "-targets=" + targets,
                                 "-thread=1"},
        "/usr/bin/unshare");
  };
  auto sources_left = [&] {
    int n = 0;
    for (auto &e : fs::directory_iterator(tmp.at("in"))) n += e.is_regular_file();
    return n;
  };
  auto records = [&] {
    int n = 0;
    for (auto &e : fs::directory_iterator(tmp.at("meta"))) n += e.path().extension() == ".metadatas";
    return n;
  };

  put_sources(1);
  RecordsPlaced placed(tmp.at("meta"));
  std::vector<std::unique_ptr<Program>> runs;
  for (int i = 0; i < 3; i += 1) runs.push_back(instance());
  long long converted = 0;
  for (auto &run : runs) {
    ASSERT_TRUE(run->wait_for_exit(180));
    EXPECT_EQ(run->exit_code, 0) << run->out;
    converted += converted_in(run->out);
  }
  EXPECT_EQ(converted, 60);
  EXPECT_EQ(sources_left(), 0);
  placed.read_all();
  EXPECT_EQ(placed.times.size(), 60u);
  for (auto &[name, times] : placed.times) EXPECT_EQ(times, 1) << name << " was converted more than once";

  // the heartbeats' names; the last one started is the one killed
  auto heartbeats = [&] {
    std::set<std::string> ids;
    std::error_code ec;
    for (auto &e : fs::directory_iterator(tmp.at("in/.vantor/instances"), ec)) {
      std::string name = e.path().filename().string();
      if (name.size() == 16 && name.find('.') == std::string::npos) ids.insert(name);
    }
    return ids;
  };
  put_sources(2);
  runs.clear();
  std::set<std::string> started;
  for (int i = 0; i < 3; i += 1) {
    runs.push_back(instance());
    ASSERT_TRUE(wait_until([&] { return heartbeats().size() == started.size() + 1; })) << runs[i]->out;
    if (i < 2) started = heartbeats();
  }
  std::set<std::string> last = heartbeats();
  for (const std::string &id : started) last.erase(id);
  ASSERT_EQ(last.size(), 1u);
  ASSERT_TRUE(wait_until([&] { return records() >= 60 + 12; }));
  ASSERT_TRUE(runs[2]->running()) << runs[2]->out;
  kill(runs[2]->pid, SIGKILL);
  HeartbeatKept killed(tmp.at("in/.vantor/instances/" + *last.begin()));
  runs.push_back(instance());
  for (int i : {0, 1, 3}) {
    ASSERT_TRUE(runs[i]->wait_for_exit(180));
    EXPECT_EQ(runs[i]->exit_code, 0) << runs[i]->out;
    EXPECT_NE(runs[i]->out.find(" converted, 0 left in place "), std::string::npos) << runs[i]->out;
    EXPECT_EQ(runs[i]->out.find("Unable to"), std::string::npos) << runs[i]->out;
  }
  killed.stop();
  EXPECT_EQ(sources_left(), 0);
  EXPECT_EQ(records(), 120);
  for (auto &e : fs::recursive_directory_iterator(tmp.path)) {
    EXPECT_EQ(e.path().filename().string().rfind(".vantor-", 0), std::string::npos) << e.path();
  }
}

// A neighbour on this system killed just before a drain ends leaves temporaries that only its
// burial removes: before it ends the drain looks once more for gone instances, buries that one
// and sweeps them, while a live neighbour's stay and an instance of another machine that merely
// went quiet is neither buried nor waited for. The test stands in for the neighbours by holding
// their heartbeats' locks, and drops one as a killed process's drops. Till then the drain is
// kept going by a source that the quiet one claimed, and the drop follows one of its looks for
// gone instances (seen as it opens the heartbeat), so that the next look due is not the one
// that finds the killed neighbour.
// A source that a live instance on another machine claimed is never opened here, not even to be
// read ahead: its claim is looked at first. The free source beside it is opened and converted
// (the watch sees opens).
TEST(EndToEnd, SourceClaimedByALiveInstanceIsNeverOpened) {
  TempFolder tmp("e2e-held");
  fs::create_directories(tmp.at("in/.vantor/claims"));
  fs::create_directories(tmp.at("in/.vantor/instances"));
  ASSERT_TRUE(write_file(tmp.at("in/held.png"), png_file(noise(40 * 30 * 3, 1), 40, 30, 3)));
  ASSERT_TRUE(write_file(tmp.at("in/free.png"), png_file(noise(40 * 30 * 3, 2), 40, 30, 3)));
  std::string beat = tmp.at("in/.vantor/instances/00000000000000aa");
  ASSERT_TRUE(write_file(beat, bytes_of(str8_lit("vantor instance 0 beat 9 pid 1 host far domain far:1\n"))));
  HeartbeatKept live(beat);
  U128 d = blake2b_128("held.png", 8);
  char name[40];
  snprintf(name, sizeof(name), "%016llx%016llx", (unsigned long long)d.u64s[0], (unsigned long long)d.u64s[1]);
  ASSERT_TRUE(write_file(tmp.at("in/.vantor/claims/") + name, bytes_of(str8_lit("vantor claim 00000000000000aa 7 held.png\n"))));

  int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(inotify_add_watch(fd, tmp.at("in").c_str(), IN_OPEN), 0);
  FinishedRun run = run_to_end({"-drain", "-in=" + tmp.at("in"), "-out=" + tmp.at("out"), "-metadatas=" + tmp.at("meta")});
  live.stop();
  std::map<std::string, int> opens;
  alignas(inotify_event) char buffer[4096];
  for (ssize_t n; (n = read(fd, buffer, sizeof(buffer))) > 0;) {
    for (char *at = buffer; at < buffer + n; at += sizeof(inotify_event) + ((inotify_event *)at)->len) {
      inotify_event *e = (inotify_event *)at;
      if (e->len) opens[e->name] += 1;
    }
  }
  close(fd);
  ASSERT_TRUE(run.ended) << run.out;
  EXPECT_EQ(run.exit_code, 0) << run.out;
  EXPECT_NE(run.out.find(": 1 converted, 0 left in place "), std::string::npos) << run.out;
  EXPECT_GE(opens["free.png"], 1);
  EXPECT_EQ(opens.count("held.png"), 0u) << "opened " << opens["held.png"] << " times";
  EXPECT_TRUE(fs::exists(tmp.at("in/held.png")));
  EXPECT_FALSE(fs::exists(tmp.at("in/free.png")));
}

TEST(EndToEnd, DrainEndingRightAfterANeighbourIsKilledLeavesNoTemporary) {
  TempFolder tmp("e2e-last-look");
  std::string in = tmp.at("in"), out = tmp.at("out"), meta = tmp.at("meta");
  std::string beats = in + "/.vantor/instances/";
  fs::create_directories(beats);
  fs::create_directories(in + "/.vantor/claims");
  fs::create_directories(out);
  fs::create_directories(meta + "/cam");
  ASSERT_TRUE(write_file(in + "/held.png", png_file(gradient(40, 30, 3), 40, 30, 3)));
  auto text = [](const std::string &t) { return Bytes(t.begin(), t.end()); };

  // the quiet one, far away, holds the source's claim
  ASSERT_TRUE(write_file(beats + "00000000000000ff",
                         text("vantor instance 00000000000000ff beat 9 pid 1 host far domain far:1\n")));
  HeartbeatKept quiet(beats + "00000000000000ff", 12);
  U128 d = blake2b_128("held.png", 8);
  char name[40];
  snprintf(name, sizeof(name), "%016llx%016llx", (unsigned long long)d.u64s[0], (unsigned long long)d.u64s[1]);
  std::string claim = in + "/.vantor/claims/" + name;
  ASSERT_TRUE(write_file(claim, text("vantor claim 00000000000000ff 7 held.png\n")));

  // the neighbours here, each with a temporary in every folder written to
  Scratch scratch = scratch_begin(nullptr);
  std::string domain = text_of(folder_lock_domain(scratch.arena, str8(in.data(), in.size())));
  scratch_restore(scratch);
  ASSERT_FALSE(domain.empty());
  std::vector<std::string> temporaries[2];
  // the heartbeats' locks, and what sees the drain open the killed one's
  struct Held {
    FileHandle beats[2] = {};
    int looks = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ~Held() {
      for (FileHandle beat : beats) file_close(beat);
      close(looks);
    }
  } held;
  const char *ids[2] = {"00000000000000aa", "00000000000000bb"}; // killed, live
  for (int i = 0; i < 2; i += 1) {
    std::string beat = beats + ids[i];
    ASSERT_TRUE(write_file(beat, text("vantor instance " + std::string(ids[i]) + " beat 1 pid 1 host here domain " +
                                      domain + "\n")));
    u32 flags = FileOpenRead | FileOpenWrite | FileOpenAlways | FileShareRead | FileShareWriteDelete;
    held.beats[i] = file_open(flags, str8(beat.data(), beat.size()));
    ASSERT_TRUE(held.beats[i] && file_lock_hold(held.beats[i]));
    for (const std::string &folder : {out, meta, meta + "/cam"}) {
      temporaries[i].push_back(folder + "/.vantor-" + ids[i] + "-1-10-3.tmp");
      ASSERT_TRUE(write_file(temporaries[i].back(), text("x")));
    }
  }
  ASSERT_GE(inotify_add_watch(held.looks, beats.c_str(), IN_OPEN), 0);
  auto looked_at_killed = [&] {
    bool seen = false;
    alignas(inotify_event) char buffer[4096];
    for (ssize_t n; (n = read(held.looks, buffer, sizeof(buffer))) > 0;) {
      for (char *at = buffer; at < buffer + n; at += sizeof(inotify_event) + ((inotify_event *)at)->len) {
        inotify_event *e = (inotify_event *)at;
        seen = seen || (e->len && std::string(e->name) == ids[0]);
      }
    }
    return seen;
  };

  std::string targets = tmp.write("targets.txt", "targets: [ { width: 16, height: 16, image_type: \"PNG\" } ]\n");
  Program drain({"-drain", "-in=" + in, "-out=" + out, "-metadatas=" + meta, "-targets=" + targets, "-thread=2"});
  ASSERT_TRUE(drain.wait_for_output("Waiting for PNG/JPEG files...\n")) << drain.out;
  for (auto &kept : temporaries) {
    for (const std::string &path : kept) EXPECT_TRUE(fs::exists(path)) << "a live neighbour's: " << path;
  }
  looked_at_killed();
  ASSERT_TRUE(wait_until([&] {
    drain.pump(10);
    return looked_at_killed();
  })) << drain.out;
  file_close(held.beats[0]);
  held.beats[0] = 0;
  fs::remove(claim);
  ASSERT_TRUE(drain.wait_for_exit(180)) << drain.out;
  EXPECT_EQ(drain.exit_code, 0) << drain.out;
  EXPECT_NE(drain.out.find(": 1 converted, 0 left in place "), std::string::npos) << drain.out;
  EXPECT_FALSE(fs::exists(in + "/held.png"));
  for (const std::string &path : temporaries[0]) EXPECT_FALSE(fs::exists(path)) << "the killed one's: " << path;
  EXPECT_FALSE(fs::exists(beats + ids[0])) << "the killed one is buried";
  for (const std::string &path : temporaries[1]) EXPECT_TRUE(fs::exists(path)) << "the live one's: " << path;
  EXPECT_TRUE(fs::exists(beats + ids[1]));
  EXPECT_TRUE(fs::exists(beats + "00000000000000ff")) << "the quiet one is not buried";
}

// Two instances on a GlusterFS volume (scripts/glusterfs-volume: two replicated bricks, mounted
// twice), each in a pid namespace of its own and on a mount of its own, as on two machines,
// drain 60 sources together: each source is converted once (its record put in place once,
// through either mount) and counted by one summary, no instance finds a source already
// deleted by the other, and no temporary stays. Skipped where GlusterFS cannot be used.
TEST(EndToEnd, InstancesOnTwoGlusterFsMountsConvertEachSourceOnce) {
  TempFolder tmp("e2e-gluster");
  // declared before the instances, so that they are killed before the volume goes
  struct Volume {
    std::string script = std::string(VANTOR_SOURCE_DIR) + "/scripts/glusterfs-volume";
    std::string folder;
    ~Volume() { run_to_end({"down", folder}, script, 60); }
  } volume;
  volume.folder = tmp.at("volume");
  // ctest ends a test after 300 s without letting it clean up: every wait here fits in 300 s
  FinishedRun up = run_to_end({"up", volume.folder}, volume.script, 120);
  ASSERT_TRUE(up.ended);
  if (up.exit_code == 77) GTEST_SKIP() << up.err;
  ASSERT_EQ(up.exit_code, 0) << up.out << up.err;

  std::string root[2] = {volume.folder + "/mount-1", volume.folder + "/mount-2"};
  for (const char *folder : {"/in", "/out", "/meta"}) fs::create_directories(root[0] + folder);
  for (int i = 0; i < 60; i += 1) {
    std::string name = root[0] + "/in/s" + std::to_string(i) + ".png";
    ASSERT_TRUE(write_file(name, png_file(noise(48 * 40 * 3, 700 + i), 48, 40, 3)));
  }
  std::string targets = tmp.write("targets.txt", "targets: [ { width: 32, height: 32, image_type: \"JPEG\" } ]");
  RecordsPlaced placed[2] = {RecordsPlaced(root[0] + "/meta"), RecordsPlaced(root[1] + "/meta")};
  std::unique_ptr<Program> runs[2];
  for (int i = 0; i < 2; i += 1) {
    runs[i] = std::make_unique<Program>(
        std::vector<std::string>{"--pid", "--fork", "--kill-child", VANTOR_BIN, "-drain", "-in=" + root[i] + "/in",
                                 "-out=" + root[i] + "/out", "-metadatas=" + root[i] + "/meta",
                                 "-targets=" + targets, "-thread=1"},
        "/usr/bin/unshare");
  }
  long long converted = 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(100);
  for (auto &run : runs) {
    auto left_s = std::chrono::duration_cast<std::chrono::seconds>(deadline - std::chrono::steady_clock::now());
    ASSERT_TRUE(run->wait_for_exit(std::max<int>(1, (int)left_s.count()))) << run->out;
    EXPECT_EQ(run->exit_code, 0) << run->out;
    EXPECT_EQ(run->out.find("Unable to delete"), std::string::npos) << run->out;
    // the volume passes every start-up check of what the claims rely on
    EXPECT_EQ(run->out.find("warning"), std::string::npos) << run->out;
    converted += converted_in(run->out);
  }
  EXPECT_EQ(converted, 60);
  std::map<std::string, int> times;
  for (RecordsPlaced &p : placed) {
    p.read_all();
    for (auto &[name, n] : p.times) times[name] += n;
  }
  for (int i = 0; i < 60; i += 1) {
    std::string record = "s" + std::to_string(i) + ".metadatas";
    EXPECT_TRUE(fs::exists(root[1] + "/meta/" + record)) << record;
    EXPECT_EQ(times[record], 1) << record << " was put in place " << times[record] << " times";
  }
  int left = 0;
  for (const char *folder : {"/in", "/out", "/meta"}) {
    for (auto &e : fs::recursive_directory_iterator(root[0] + folder)) {
      std::string path = e.path().string(), name = e.path().filename().string();
      EXPECT_FALSE(name.starts_with(".vantor-") && name.ends_with(".tmp")) << path;
      left += folder == std::string("/in") && e.is_regular_file() && path.find("/.vantor/") == std::string::npos;
    }
  }
  EXPECT_EQ(left, 0);
}

//~ Service manager and stop
// Stands in for systemd's notification socket: a datagram socket the test binds, named to the
// program by NOTIFY_SOCKET; every datagram received is one state.
struct NotifySocket {
  std::string path;
  int fd = -1;
  std::vector<std::string> states;
  explicit NotifySocket(const std::string &at) : path(at) {
    fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof(address.sun_path)) return;
    memcpy(address.sun_path, path.c_str(), path.size());
    if (bind(fd, (sockaddr *)&address, sizeof(address)) != 0) close(fd), fd = -1;
  }
  ~NotifySocket() {
    if (fd >= 0) close(fd);
    unlink(path.c_str());
  }
  void read_all() {
    char buffer[4096];
    for (ssize_t n; (n = recv(fd, buffer, sizeof(buffer), 0)) > 0;) states.emplace_back(buffer, (size_t)n);
  }
  bool has(const std::string &state) { return std::find(states.begin(), states.end(), state) != states.end(); }
};

// Waits for the program's end as a service manager does, reading its notifications all along:
// a socket left unread fills (ten datagrams by Linux's default) and holds the program's next
// notification up, and the program with it.
bool wait_for_exit_notifying(Program &p, NotifySocket &manager, int seconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  bool open = true;
  while (open && std::chrono::steady_clock::now() < deadline) {
    manager.read_all();
    open = p.pump(100);
  }
  manager.read_all();
  return !open && p.wait_for_exit(60);
}

// The program under a stand-in service manager that asks for a watchdog. Only the environment
// of the spawn names the socket: it is set for the spawn alone.
std::unique_ptr<Program> program_notifying(const std::vector<std::string> &args, const NotifySocket &socket) {
  setenv("NOTIFY_SOCKET", socket.path.c_str(), 1);
  setenv("WATCHDOG_USEC", "1500000", 1);
  unsetenv("WATCHDOG_PID");
  auto program = std::make_unique<Program>(args);
  unsetenv("NOTIFY_SOCKET");
  unsetenv("WATCHDOG_USEC");
  return program;
}

bool is_temporary(const fs::path &path) {
  std::string name = path.filename().string();
  return name.starts_with(".vantor-") && name.ends_with(".tmp");
}

// Sources in flight when SIGTERM comes are finished and committed; those only queued stay as
// they were. The service manager hears READY=1 once the program waits for files, the counts,
// the watchdog's beat, and STOPPING=1; the run ends with the summary and status 0.
TEST(EndToEnd, StopRequestCommitsTheSourcesInFlightAndTellsTheServiceManager) {
  TempFolder tmp("e2e-stop");
  std::string in = tmp.at("in"), out = tmp.at("out"), meta = tmp.at("meta");
  fs::create_directories(in);
  // large enough that each conversion takes a while, each file other bytes of the same pixels
  Bytes png = png_file(gradient(3000, 2000, 3), 3000, 2000, 3);
  const int sources = 12;
  std::vector<Bytes> written;
  for (int i = 0; i < sources; i += 1) {
    written.push_back(png_with_chunk(png, "tEXt", Bytes{'n', 0, (u8)('0' + i)}));
    ASSERT_TRUE(write_file(in + "/s" + std::to_string(i) + ".png", written.back()));
  }
  NotifySocket manager(tmp.at("notify"));
  ASSERT_GE(manager.fd, 0) << tmp.at("notify");
  auto program = program_notifying({"-in=" + in, "-out=" + out, "-metadatas=" + meta, "-thread=2", "-png_level=1"},
                                   manager);
  Program &p = *program;
  ASSERT_GT(p.pid, 0);
  ASSERT_TRUE(p.wait_for_output("Waiting for PNG/JPEG files...\n")) << p.out;

  // the first source is committed (its record there) and the watchdog has been fed: a stop now
  // finds the other worker in the middle of one
  auto records = [&] {
    int n = 0;
    for (auto &e : fs::directory_iterator(meta)) n += e.path().extension() == ".metadatas";
    return n;
  };
  ASSERT_TRUE(wait_until([&] {
    p.pump(0);
    manager.read_all();
    return records() > 0 && manager.has("WATCHDOG=1");
  }, 120)) << p.out;
  // the sources in flight: claimed (converting, or converted and waiting for their commit)
  std::vector<std::string> in_flight;
  for (auto &e : fs::directory_iterator(in + "/.vantor/claims")) {
    std::string claim = read_text(e.path().string());
    if (claim.starts_with("vantor claim ") && claim.ends_with("\n")) {
      claim.pop_back();
      in_flight.push_back(fs::path(claim.substr(claim.rfind(' ') + 1)).stem().string());
    }
  }
  ASSERT_EQ(kill(p.pid, SIGTERM), 0);
  EXPECT_FALSE(in_flight.empty());
  ASSERT_TRUE(wait_for_exit_notifying(p, manager, 120)) << p.out;
  EXPECT_EQ(p.exit_code, 0) << p.out;

  // the summary counts what is on disk, then the usual last line
  std::smatch m;
  std::regex summary(R"(\[Vantor\] drained in [0-9.]+ s: ([0-9]+) converted, 0 left in place \(too large 0, cut short or empty 0, not decodable 0, unreadable 0, write failed 0, could not be deleted 0\), 0 unsupported set aside\.\n\[Vantor\] ended\.\n$)");
  ASSERT_TRUE(std::regex_search(p.out, m, summary)) << p.out;
  int converted = std::stoi(m[1]);
  EXPECT_EQ(converted, records());
  // what was in flight at the stop was finished; what was only queued was not taken
  for (const std::string &name : in_flight) {
    EXPECT_TRUE(fs::exists(meta + "/" + name + ".metadatas")) << name << " was in flight";
  }
  EXPECT_LT(converted, sources);
  // each source converted whole (its record there, the source gone) or untouched
  for (int i = 0; i < sources; i += 1) {
    std::string name = "s" + std::to_string(i);
    bool gone = !fs::exists(in + "/" + name + ".png");
    EXPECT_EQ(gone, fs::exists(meta + "/" + name + ".metadatas")) << name;
    if (!gone) {
      EXPECT_EQ(read_text(in + "/" + name + ".png"), std::string(written[i].begin(), written[i].end())) << name;
    }
  }
  for (const std::string &folder : {in, out, meta}) {
    for (auto &e : fs::recursive_directory_iterator(folder)) EXPECT_FALSE(is_temporary(e.path())) << e.path();
  }

  // ready first, then the counts as they were at the first pass; stopping once, and at the stop
  ASSERT_FALSE(manager.states.empty());
  EXPECT_EQ(manager.states[0], "READY=1");
  std::regex status(R"(STATUS=([0-9]+) converted, ([0-9]+) waiting)");
  auto first_status = std::find_if(manager.states.begin(), manager.states.end(),
                                   [](const std::string &s) { return s.starts_with("STATUS="); });
  ASSERT_NE(first_status, manager.states.end());
  EXPECT_EQ(*first_status, "STATUS=0 converted, " + std::to_string(sources) + " waiting");
  u64 last_converted = 0;
  for (const std::string &state : manager.states) {
    if (state == "READY=1" || state == "WATCHDOG=1" || state == "STOPPING=1") continue;
    ASSERT_TRUE(std::regex_match(state, m, status)) << state;
    EXPECT_GE(std::stoull(m[1]), last_converted) << state;
    last_converted = std::stoull(m[1]);
  }
  EXPECT_EQ(std::count(manager.states.begin(), manager.states.end(), "STOPPING=1"), 1);
  EXPECT_EQ(std::count(manager.states.begin(), manager.states.end(), "READY=1"), 1);
}

// A second request ends the program at once, as the signal ends any program: no summary, the
// source in flight left where it is, whole.
TEST(EndToEnd, SecondStopRequestEndsAtOnce) {
  TempFolder tmp("e2e-stop2");
  std::string in = tmp.at("in"), out = tmp.at("out"), meta = tmp.at("meta");
  fs::create_directories(in);
  // one picture whose conversion takes long: a large one, and the strongest PNG compression
  Bytes png = png_file(gradient(4000, 3000, 3), 4000, 3000, 3);
  ASSERT_TRUE(write_file(in + "/big.png", png));
  NotifySocket manager(tmp.at("notify"));
  ASSERT_GE(manager.fd, 0) << tmp.at("notify");
  auto program = program_notifying({"-in=" + in, "-out=" + out, "-metadatas=" + meta, "-thread=1"}, manager);
  Program &p = *program;
  ASSERT_GT(p.pid, 0);
  ASSERT_TRUE(p.wait_for_output("Waiting for PNG/JPEG files...\n")) << p.out;

  // the worker is well into the conversion (a tenth of a second of its processor time) ...
  auto worker_ticks = [&] {
    long ticks = 0;
    for (auto &t : fs::directory_iterator("/proc/" + std::to_string(p.pid) + "/task")) {
      if (read_text(t.path().string() + "/comm") != "[VANTOR] Conver\n") continue;
      std::string stat = read_text(t.path().string() + "/stat");
      std::istringstream fields(stat.substr(stat.rfind(')') + 2));
      std::string field;
      for (int i = 3; i <= 14 && fields >> field; i += 1) {
      }
      ticks += std::stol(field); // utime, the 14th field
    }
    return ticks;
  };
  long tick = sysconf(_SC_CLK_TCK);
  ASSERT_TRUE(wait_until([&] { return worker_ticks() * 10 >= tick || !p.running(); }, 120));
  ASSERT_TRUE(p.running()) << p.out;
  // ... when the first request starts the stop, which waits for it
  ASSERT_EQ(kill(p.pid, SIGTERM), 0);
  ASSERT_TRUE(wait_until([&] {
    manager.read_all();
    return manager.has("STOPPING=1");
  }, 120));
  ASSERT_EQ(kill(p.pid, SIGTERM), 0);
  ASSERT_TRUE(wait_for_exit_notifying(p, manager, 120)) << p.out;
  EXPECT_EQ(p.exit_code, 128 + SIGTERM) << p.out;
  EXPECT_EQ(p.out.find("[Vantor] drained"), std::string::npos) << p.out;
  EXPECT_EQ(p.out.find("[Vantor] ended."), std::string::npos) << p.out;
  EXPECT_EQ(read_text(in + "/big.png"), std::string(png.begin(), png.end()));
  EXPECT_FALSE(fs::exists(meta + "/big.metadatas"));
}

} // namespace
