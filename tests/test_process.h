// Test support: a temporary folder per test, and the real binary run on a pipe.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// /tmp/vantor-<prefix>-<pid>-<test name>, made empty at start and removed at the end.
struct TempFolder {
  std::string path;
  explicit TempFolder(const std::string &prefix = "test");
  ~TempFolder();
  std::string at(const std::string &name) const { return path + "/" + name; }
  std::string write(const std::string &name, const std::string &text) const;
};

// The binary with its standard output on a pipe. The destructor kills it, so no test leaves
// a process behind whatever it asserts.
struct Program {
  pid_t pid = -1;
  int out_fd = -1;
  std::string out;
  int exit_code = -1;

  explicit Program(const std::vector<std::string> &args, const std::string &binary = VANTOR_BIN);
  ~Program();

  // Reads what is there, waiting at most `ms`; false at end of output.
  bool pump(int ms);
  // Waits (generously) for the output to hold `text`.
  bool wait_for_output(const std::string &text, int seconds = 60);
  // Reads to the end of the output and reaps the process; false when it did not end in time.
  bool wait_for_exit(int seconds = 60);
  bool running();
  // Peak resident memory so far, in KiB (0 when it cannot be read).
  long peak_rss_kib();
};

// The binary run to its end, standard output and standard error each captured whole. A
// process still running at the deadline is killed and `ended` stays false.
struct FinishedRun {
  bool ended = false;
  int exit_code = -1; // on POSIX 128 + the signal number when a signal ended it
  std::string out;
  std::string err;
};
FinishedRun run_to_end(const std::vector<std::string> &args, const std::string &binary = VANTOR_BIN,
                       int seconds = 180);

// Sets a file's last-write time to a UTC moment, at the resolution the file system keeps.
bool set_mtime(const std::string &path, long long seconds, long long nanoseconds);

// Makes `link` a symbolic link to the folder `target`.
bool make_folder_link(const std::string &target, const std::string &link);

// Stands in for another instance's heartbeat, so that a test never depends on a run ending
// before a hand-made heartbeat grows old: until stop() (or the end of the scope) the file's
// last-write time is set every two seconds, as that instance's rewrite would set it, to the
// moment `behind_seconds` earlier (0: a live instance; 12: one that went quiet and stays
// quiet, never gone). A file removed meanwhile (its instance buried) is not made again.
struct HeartbeatKept {
  explicit HeartbeatKept(const std::string &path, int behind_seconds = 0);
  ~HeartbeatKept() { stop(); }
  void stop();
  HeartbeatKept(const HeartbeatKept &) = delete;
  HeartbeatKept &operator=(const HeartbeatKept &) = delete;

  std::string path;
  int behind_seconds;
  std::mutex lock;
  std::condition_variable woken;
  bool stopping = false;
  std::thread beat;
};

// The same on every system: it only pumps.
inline bool Program::wait_for_output(const std::string &text, int seconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (out.find(text) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    if (!pump(100)) break;
  }
  return out.find(text) != std::string::npos;
}

inline HeartbeatKept::HeartbeatKept(const std::string &path_, int behind) : path(path_), behind_seconds(behind) {
  auto touch = [this] {
    auto at = std::chrono::system_clock::now() - std::chrono::seconds(behind_seconds);
    long long ns = std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch()).count();
    set_mtime(path, ns / 1000000000, ns % 1000000000);
  };
  touch();
  beat = std::thread([this, touch] {
    std::unique_lock<std::mutex> held(lock);
    while (!woken.wait_for(held, std::chrono::seconds(2), [this] { return stopping; })) touch();
  });
}

inline void HeartbeatKept::stop() {
  {
    std::lock_guard<std::mutex> held(lock);
    stopping = true;
  }
  woken.notify_all();
  if (beat.joinable()) beat.join();
}

// Polls the condition every 20 ms until it holds or the deadline passes.
template <typename F> bool wait_until(F condition, int seconds = 60);


template <typename F> bool wait_until(F condition, int seconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}
