#include "test_process.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>

extern char **environ;

namespace fs = std::filesystem;

//~ File times
bool set_mtime(const std::string &path, long long seconds, long long nanoseconds) {
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_sec = (time_t)seconds;
  times[1].tv_nsec = (long)nanoseconds;
  return utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

bool make_folder_link(const std::string &target, const std::string &link) {
  return symlink(target.c_str(), link.c_str()) == 0;
}

//~ Temporary folders
TempFolder::TempFolder(const std::string &prefix) {
  const testing::TestInfo *info = testing::UnitTest::GetInstance()->current_test_info();
  path = "/tmp/vantor-" + prefix + "-" + std::to_string(getpid()) + "-" + (info ? info->name() : "x");
  fs::remove_all(path);
  fs::create_directories(path);
}

TempFolder::~TempFolder() {
  std::error_code ec;
  fs::remove_all(path, ec);
}

std::string TempFolder::write(const std::string &name, const std::string &text) const {
  fs::create_directories(fs::path(at(name)).parent_path());
  std::ofstream(at(name), std::ios::binary) << text;
  return at(name);
}

//~ Programs
Program::Program(const std::vector<std::string> &args, const std::string &binary) {
  int fds[2];
  if (pipe(fds) != 0) return;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawn_file_actions_addclose(&actions, fds[0]);
  posix_spawn_file_actions_addclose(&actions, fds[1]);
  std::vector<char *> argv;
  std::string bin = binary;
  argv.push_back(bin.data());
  std::vector<std::string> copies = args;
  for (std::string &a : copies) argv.push_back(a.data());
  argv.push_back(nullptr);
  if (posix_spawn(&pid, bin.c_str(), &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  out_fd = fds[0];
  fcntl(out_fd, F_SETFL, O_NONBLOCK);
}

Program::~Program() {
  if (pid > 0 && exit_code < 0) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  if (out_fd >= 0) close(out_fd);
}

bool Program::pump(int ms) {
  pollfd p = {out_fd, POLLIN, 0};
  if (poll(&p, 1, ms) <= 0) return true;
  char buffer[4096];
  ssize_t n = read(out_fd, buffer, sizeof(buffer));
  if (n > 0) out.append(buffer, (size_t)n);
  return n != 0;
}

bool Program::wait_for_exit(int seconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < deadline) {
    if (!pump(100)) break;
  }
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) {
      exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return true;
    }
    usleep(10000);
  }
  return false;
}

bool Program::running() {
  int status = 0;
  return pid > 0 && exit_code < 0 && waitpid(pid, &status, WNOHANG) == 0;
}

long Program::peak_rss_kib() {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  }
  return 0;
}

//~ Runs to the end
FinishedRun run_to_end(const std::vector<std::string> &args, const std::string &binary, int seconds) {
  static std::atomic<int> runs;
  FinishedRun run;
  std::string dir = "/tmp/vantor-run-" + std::to_string(getpid()) + "-" + std::to_string(runs.fetch_add(1));
  fs::remove_all(dir);
  fs::create_directories(dir);
  std::string out_path = dir + "/out", err_path = dir + "/err";

  std::vector<std::string> copies = args;
  std::string bin = binary;
  std::vector<char *> argv;
  argv.push_back(bin.data());
  for (std::string &a : copies) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  pid_t pid = -1;
  int spawned = posix_spawn(&pid, bin.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);

  if (spawned == 0) {
    int status = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    pid_t r = 0;
    while ((r = waitpid(pid, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline) {
      usleep(5000);
    }
    if (r == pid) {
      run.ended = true;
      run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    } else {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }
  std::ifstream out(out_path, std::ios::binary), err(err_path, std::ios::binary);
  run.out.assign(std::istreambuf_iterator<char>(out), std::istreambuf_iterator<char>());
  run.err.assign(std::istreambuf_iterator<char>(err), std::istreambuf_iterator<char>());
  std::error_code ec;
  fs::remove_all(dir, ec);
  return run;
}
