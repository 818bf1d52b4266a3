// Intake: digests, and the registry, streamers, detector, store and reaper working together
// on real files with their real threads (the string ring under the queue is tested with the
// OS layer).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "intake/intake.h"
#include "test_process.h"
#include "test_text.h"

namespace fs = std::filesystem;

//~ Helpers
// The intake is process-wide and starts once; gtest may run several tests in one process.
static void intake_test_start() {
  static std::once_flag once;
  std::call_once(once, [] {
    content_store_start();
    intake_start();
  });
}

static Str8 view(const std::string &s) { return str8(s.data(), s.size()); }
static U128 digest_of(const std::string &s) { return digest128(view(s)); }

static bool same(U128 a, U128 b) { return u128_equal(a, b); }


// Written beside and renamed over, so no read ever sees a half-written version.
static void write_file(const std::string &path, const std::string &bytes) {
  std::string temporary = path + ".writing";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), (std::streamsize)bytes.size());
  }
  fs::rename(temporary, path);
}

// A thread with its own scratch arenas, as every thread that calls into the intake has.
template <typename F> static std::thread spawn(F body) {
  return std::thread([body] {
    ThreadContext context;
    thread_context_init(&context);
    body();
    thread_context_release();
  });
}

// Polls the condition until it holds or the (generous) deadline passes.

static bool wait_detector_passes(u64 count) {
  u64 start = intake_stats().detector_passes;
  return wait_until([&] { return intake_stats().detector_passes >= start + count; });
}

// Requests without waiting until the latest complete read is the expected content.
static bool wait_published(const std::string &path, U128 expected) {
  return wait_until([&] { return same(intake_request(view(path), 0), expected); });
}

static bool wait_content_freed(U128 digest) {
  return wait_until([&] {
    reaper_sweep_once();
    return !content_store_info(digest).found;
  });
}

static std::string leased_bytes(U128 digest) {
  ContentLease *lease = content_lease_begin();
  std::string bytes = text_of(content_lease_get(lease, digest));
  content_lease_end(lease);
  return bytes;
}

//~ Digests
TEST(IntakeStore, DigestIsXxh3128WithZeroForEmpty) {
  U128 d = digest_of("abc");
  // xxh128sum prints 06b05ab6733a618578af5f94892f3950: the high half first
  EXPECT_EQ(d.u64s[0], 0x78af5f94892f3950ull);
  EXPECT_EQ(d.u64s[1], 0x06b05ab6733a6185ull);
  EXPECT_TRUE(u128_is_zero(digest128(Str8{})));
  EXPECT_FALSE(same(digest_of("abc"), digest_of("abd")));
}

//~ Requests and reads
TEST(Intake, FirstRequestQueuesAndALaterOneAnswers) {
  intake_test_start();
  TempFolder dir("first");
  std::string path = dir.at("a.png");
  std::string bytes = "first request content " + dir.path;
  write_file(path, bytes);
  U128 expected = digest_of(bytes);

  EXPECT_FALSE(intake_path_info(view(path)).registered);
  U128 first = intake_request(view(path), 0);
  // A streamer may already have read it by the time the request looks; never anything else.
  EXPECT_TRUE(u128_is_zero(first) || same(first, expected));
  IntakePathInfo info = intake_path_info(view(path));
  EXPECT_TRUE(info.registered);
  EXPECT_GE(info.times_queued, 1u);

  ASSERT_TRUE(wait_published(path, expected));
  EXPECT_EQ(leased_bytes(expected), bytes);
  info = intake_path_info(view(path));
  EXPECT_TRUE(info.read_complete);
  EXPECT_EQ(info.in_queue, 0u);
  EXPECT_EQ(info.stamp, file_props_from_path(view(path)).modified);

  // The read's properties come with the answer, and they are the file's on disk.
  FileProps props = {};
  EXPECT_TRUE(same(intake_request_version(view(path), 0, &props), expected));
  EXPECT_TRUE(file_props_same_version(props, file_props_from_path(view(path))));

  // With a deadline ahead, a request for a new file waits for its read.
  std::string other = dir.at("b.png");
  std::string other_bytes = "waited for " + dir.path;
  write_file(other, other_bytes);
  EXPECT_TRUE(same(intake_request(view(other), clock_now_us() + 60000000ull), digest_of(other_bytes)));

  // Unknown digests lease nothing.
  ContentLease *lease = content_lease_begin();
  EXPECT_EQ(content_lease_get(lease, digest_of("never published " + dir.path)).size, 0u);
  EXPECT_EQ(lease->first, nullptr);
  content_lease_end(lease);
}

TEST(Intake, ClaimedPathIsQueuedOnce) {
  intake_test_start();
  TempFolder dir("claim");
  std::string path = dir.at("claimed.jpg");
  std::string bytes = std::string(200000, 'c') + dir.path;
  write_file(path, bytes);
  U128 expected = digest_of(bytes);

  std::vector<std::thread> threads;
  std::atomic<int> answered{0};
  for (int t = 0; t < 6; t += 1) {
    threads.push_back(spawn([&] {
      u64 deadline = clock_now_us() + 60000000ull;
      while (clock_now_us() < deadline) {
        if (same(intake_request(view(path), 0), expected)) {
          answered += 1;
          return;
        }
        std::this_thread::yield();
      }
    }));
  }
  for (std::thread &t : threads) {
    t.join();
  }
  EXPECT_EQ(answered, 6);
  EXPECT_EQ(intake_path_info(view(path)).times_queued, 1u);

  // An unchanged file is left alone by the detector.
  ASSERT_TRUE(wait_detector_passes(3));
  IntakePathInfo info = intake_path_info(view(path));
  EXPECT_EQ(info.times_queued, 1u);
  EXPECT_EQ(info.version, 1u);
}

TEST(Intake, GrowingFileIsPublishedOnlyWhenStable) {
  intake_test_start();
  TempFolder dir("growing");
  std::string path = dir.at("growing.png");
  const u64 chunk = 1024;
  auto byte_at = [](u64 i) { return (char)((i * 2654435761ull >> 13) & 0xFF); };
  auto pattern = [&](u64 from, u64 size) {
    std::string bytes(size, 0);
    for (u64 i = 0; i < size; i += 1) bytes[i] = byte_at(from + i);
    return bytes;
  };

  write_file(path, "");
  intake_request(view(path), 0);

  // The writer appends, a chunk at a time, until a read of the moving file was thrown away
  // (the detector looks at a waiting file twice a second), or a generous deadline passes.
  std::atomic<u64> written{0};
  std::atomic<bool> writer_done{false};
  std::thread writer = spawn([&] {
    std::ofstream out(path, std::ios::binary | std::ios::app);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (u64 i = 0; std::chrono::steady_clock::now() < deadline; i += 1) {
      std::string bytes = pattern(i * chunk, chunk);
      out.write(bytes.data(), (std::streamsize)chunk);
      out.flush();
      written = i + 1;
      if (i >= 64 && intake_path_info(view(path)).reads_dropped > 0) {
        break;
      }
      sleep_ms(1);
    }
    writer_done = true;
  });

  // Whatever gets published meanwhile is a snapshot of the file, never torn bytes.
  U128 last_seen = u128_zero();
  while (true) {
    bool done = writer_done;
    U128 latest = intake_path_info(view(path)).latest;
    if (!u128_is_zero(latest) && !same(latest, last_seen)) {
      last_seen = latest;
      std::string got = leased_bytes(latest);
      if (!got.empty()) {
        ASSERT_EQ(got.size() % chunk, 0u) << "a read ended inside a write";
        ASSERT_EQ(got, pattern(0, got.size()));
      }
    }
    if (done) {
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  writer.join();
  ASSERT_GT(intake_path_info(view(path)).reads_dropped, 0u) << "no read overlapped the writer";

  // Once the file stands still it is read completely, then left alone.
  std::string final_bytes = pattern(0, written * chunk);
  U128 expected = digest_of(final_bytes);
  ASSERT_TRUE(wait_published(path, expected));
  EXPECT_EQ(leased_bytes(expected), final_bytes);
  u64 version = intake_path_info(view(path)).version;
  ASSERT_TRUE(wait_detector_passes(10));
  EXPECT_EQ(intake_path_info(view(path)).version, version);
  EXPECT_TRUE(same(intake_path_info(view(path)).latest, expected));
}

//~ Store: sharing, eviction, leases, forgetting
TEST(Intake, IdenticalFilesShareOneContent) {
  intake_test_start();
  TempFolder dir("shared");
  std::string a = dir.at("a.png");
  std::string b = dir.at("b.png");
  std::string bytes = "same bytes twice " + dir.path;
  write_file(a, bytes);
  write_file(b, bytes);
  U128 d = digest_of(bytes);
  ASSERT_TRUE(wait_published(a, d));
  ASSERT_TRUE(wait_published(b, d));
  ContentInfo info = content_store_info(d);
  EXPECT_TRUE(info.found);
  EXPECT_EQ(info.holders, 2u);
  EXPECT_EQ(info.size, bytes.size());

  // One path gone: its hold goes with it, the other keeps the content.
  fs::remove(b);
  ASSERT_TRUE(wait_until([&] { return !intake_path_info(view(b)).registered; }));
  EXPECT_EQ(content_store_info(d).holders, 1u);
  reaper_sweep_once();
  EXPECT_EQ(leased_bytes(d), bytes);
}

TEST(Intake, RewritesEvictOldContentsAndLeasesKeepThem) {
  intake_test_start();
  TempFolder dir("rewrite");
  std::string path = dir.at("r.png");
  // Each version has its own size, so it differs even within one clock tick.
  std::vector<std::string> versions;
  for (int v = 0; v < 4; v += 1) {
    versions.push_back(std::string(1000 + 100 * v, (char)('k' + v)) + dir.path);
  }

  std::vector<U128> digests;
  for (int v = 0; v < 3; v += 1) {
    write_file(path, versions[v]);
    digests.push_back(digest_of(versions[v]));
    ASSERT_TRUE(wait_published(path, digests[v])) << "version " << v;
  }
  IntakePathInfo info = intake_path_info(view(path));
  EXPECT_EQ(info.version, 3u);
  EXPECT_TRUE(same(info.latest, digests[2]));
  EXPECT_TRUE(same(info.previous, digests[1]));
  EXPECT_TRUE(same(path_index_lookup(digest128(view(path)), 1), digests[1]));

  // The first content lost its last holder: the reaper frees it.
  ASSERT_TRUE(wait_content_freed(digests[0]));
  EXPECT_EQ(leased_bytes(digests[0]), "");
  EXPECT_EQ(content_store_info(digests[1]).holders, 1u);

  // A lease keeps the second content alive after the fourth read evicts it.
  ContentLease *lease = content_lease_begin();
  Str8 held = content_lease_get(lease, digests[1]);
  ASSERT_EQ(text_of(held), versions[1]);
  write_file(path, versions[3]);
  digests.push_back(digest_of(versions[3]));
  ASSERT_TRUE(wait_published(path, digests[3]));
  ASSERT_TRUE(wait_until([&] { return content_store_info(digests[1]).holders == 0; }));
  reaper_sweep_once();
  reaper_sweep_once();
  ContentInfo kept = content_store_info(digests[1]);
  EXPECT_TRUE(kept.found);
  EXPECT_EQ(kept.readers, 1u);
  EXPECT_EQ(text_of(held), versions[1]);
  content_lease_end(lease);
  EXPECT_TRUE(wait_content_freed(digests[1]));
}

TEST(Intake, DeletedFileIsForgottenAndEmptyFileIsKept) {
  intake_test_start();
  TempFolder dir("deleted");
  std::string path = dir.at("gone.png");
  std::string bytes = "about to vanish " + dir.path;
  write_file(path, bytes);
  U128 d = digest_of(bytes);
  ASSERT_TRUE(wait_published(path, d));
  u64 forgotten = intake_stats().paths_forgotten;

  fs::remove(path);
  ASSERT_TRUE(wait_until([&] { return !intake_path_info(view(path)).registered; }));
  EXPECT_GT(intake_stats().paths_forgotten, forgotten);
  EXPECT_EQ(intake_path_info(view(path)).version, 0u);
  ASSERT_TRUE(wait_content_freed(d));

  // A request for the vanished path answers nothing, and the path does not stay registered.
  FileProps props = {};
  props.size = 1;
  EXPECT_TRUE(u128_is_zero(intake_request_version(view(path), 0, &props)));
  EXPECT_EQ(props.size, 0u);
  EXPECT_TRUE(u128_is_zero(intake_request(view(path), clock_now_us() + 60000000ull)));
  ASSERT_TRUE(wait_until([&] { return !intake_path_info(view(path)).registered; }));

  // The same bytes at the same path again are a new file.
  write_file(path, bytes);
  EXPECT_TRUE(same(intake_request(view(path), clock_now_us() + 60000000ull), d));
  EXPECT_EQ(intake_path_info(view(path)).version, 1u);

  // An empty file exists: it is read, answers zero, and keeps its node.
  std::string empty = dir.at("empty.png");
  write_file(empty, "");
  intake_request(view(empty), 0);
  ASSERT_TRUE(wait_until([&] { return intake_path_info(view(empty)).version > 0; }));
  FileProps empty_props = {};
  EXPECT_TRUE(u128_is_zero(intake_request_version(view(empty), 0, &empty_props)));
  EXPECT_TRUE(empty_props.flags & FilePropsExists);
  EXPECT_TRUE(file_props_same_version(empty_props, file_props_from_path(view(empty))));
  EXPECT_TRUE(content_store_info(u128_zero()).found);
  ASSERT_TRUE(wait_detector_passes(3));
  IntakePathInfo info = intake_path_info(view(empty));
  EXPECT_TRUE(info.registered);
  EXPECT_EQ(info.version, 1u);
  ContentLease *lease = content_lease_begin();
  EXPECT_EQ(content_lease_get(lease, u128_zero()).size, 0u);
  EXPECT_NE(lease->first, nullptr);
  content_lease_end(lease);

  // Filled later, it is read again and the empty read is no longer the answer.
  std::string filled = "filled " + dir.path;
  write_file(empty, filled);
  EXPECT_TRUE(wait_published(empty, digest_of(filled)));
}

TEST(Intake, WrittenFormsOfOnePathShareOneNode) {
  intake_test_start();
  SeparatorRule windows(true);
  TempFolder dir("forms");
  fs::create_directories(dir.path + "/sub");
  std::string plain = dir.at("f.png");
  std::string bytes = "one node " + dir.path;
  write_file(plain, bytes);
  U128 d = digest_of(bytes);

  std::string slashes = dir.path + "\\sub\\..\\f.png";
  std::string dots = dir.path + "/./sub/../f.png";
  u64 nodes = intake_stats().registered_nodes;
  intake_request(view(slashes), 0);
  intake_request(view(dots), 0);
  EXPECT_TRUE(same(intake_request(view(plain), clock_now_us() + 60000000ull), d));
  EXPECT_TRUE(same(intake_request(view(slashes), 0), d));
  EXPECT_TRUE(same(intake_request(view(dots), 0), d));
  EXPECT_EQ(intake_path_info(view(plain)).times_queued, 1u);
  EXPECT_EQ(intake_path_info(view(dots)).times_queued, 1u);
  EXPECT_LE(intake_stats().registered_nodes, nodes + 1);
}

TEST(Intake, ManyThreadsRequestAndLeaseManyPaths) {
  intake_test_start();
  TempFolder dir("many");
  const int file_count = 96;
  const int thread_count = 6;
  std::vector<std::string> paths;
  std::vector<std::string> contents;
  for (int i = 0; i < file_count; i += 1) {
    paths.push_back(dir.at("m" + std::to_string(i) + ".png"));
    contents.push_back(std::string(100 + i * 13, (char)('A' + i % 26)) + std::to_string(i) + dir.path);
    write_file(paths[i], contents[i]);
  }

  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < thread_count; t += 1) {
    threads.push_back(spawn([&, t] {
      u64 deadline = clock_now_us() + 120000000ull;
      std::vector<bool> done(file_count, false);
      int left = file_count;
      while (left > 0 && clock_now_us() < deadline) {
        for (int k = 0; k < file_count; k += 1) {
          int i = (k * 7 + t * 11) % file_count;
          if (done[i]) {
            continue;
          }
          ContentLease *lease = content_lease_begin();
          U128 d = intake_request(view(paths[i]), 0);
          if (!u128_is_zero(d)) {
            if (text_of(content_lease_get(lease, d)) != contents[i]) {
              failures += 1;
            }
            done[i] = true;
            left -= 1;
          }
          content_lease_end(lease);
        }
        reaper_sweep_once();
      }
      if (left > 0) {
        failures += 1;
      }
    }));
  }
  for (std::thread &t : threads) {
    t.join();
  }
  EXPECT_EQ(failures, 0);
  for (int i = 0; i < file_count; i += 1) {
    IntakePathInfo info = intake_path_info(view(paths[i]));
    EXPECT_EQ(info.times_queued, 1u) << paths[i];
    EXPECT_EQ(content_store_info(digest_of(contents[i])).holders, 1u);
  }

  // All gone: every node forgotten, every content freed.
  for (int i = 0; i < file_count; i += 1) {
    fs::remove(paths[i]);
  }
  ASSERT_TRUE(wait_until([&] {
    for (int i = 0; i < file_count; i += 1) {
      if (intake_path_info(view(paths[i])).registered) {
        return false;
      }
    }
    return true;
  }));
  for (int i = 0; i < file_count; i += 1) {
    EXPECT_TRUE(wait_content_freed(digest_of(contents[i])));
  }
}

//~ Settled paths
// Files left in place hold no bytes once settled: the store's byte count goes back to what it
// was, however many there are. A settled file that changes is read again and answers anew; a
// request that has seen another version than the settled one does not take the settled answer.
TEST(Intake, SettledPathsHoldNoBytesUntilTheyChange) {
  intake_test_start();
  TempFolder dir("settled");
  reaper_sweep_once();
  u64 bytes_before = intake_stats().live_bytes;
  std::vector<std::string> paths;
  for (int i = 0; i < 40; i += 1) {
    paths.push_back(dir.at("left" + std::to_string(i) + ".png"));
    write_file(paths.back(), std::string(20000 + i, (char)('a' + i % 26)) + dir.path);
  }
  for (const std::string &path : paths) {
    IntakeRead read = intake_request_read(view(path), clock_now_us() + 60000000ull, nullptr);
    ASSERT_EQ(read.kind, (u32)IntakeBytes) << path;
    EXPECT_TRUE(intake_settle(view(path), read.props, 0)) << path;
    EXPECT_TRUE(intake_settled(view(path)));
  }
  EXPECT_TRUE(wait_until([&] {
    reaper_sweep_once();
    return intake_stats().live_bytes <= bytes_before;
  })) << intake_stats().live_bytes << " > " << bytes_before;

  // Asked again, a settled path answers from the registry and is not read again.
  u64 published = intake_stats().reads_published;
  FileProps seen = file_props_from_path(view(paths[0]));
  IntakeRead again = intake_request_read(view(paths[0]), clock_now_us() + 60000000ull, &seen);
  EXPECT_EQ(again.kind, (u32)IntakeSettled);
  EXPECT_TRUE(file_props_same_version(again.props, seen));
  ASSERT_TRUE(wait_detector_passes(3));
  EXPECT_EQ(intake_stats().reads_published, published);

  // Changed in place, it is found (rarely looked at, so within seconds) and read again.
  std::string changed = "changed " + dir.path;
  write_file(paths[1], changed);
  EXPECT_TRUE(wait_until([&] { return !intake_settled(view(paths[1])); }));
  EXPECT_TRUE(wait_published(paths[1], digest_of(changed)));

  // A worker that saw the new version of another one asks for it at once.
  std::string newer = "newer " + dir.path;
  write_file(paths[2], newer);
  FileProps newer_seen = file_props_from_path(view(paths[2]));
  IntakeRead fresh = intake_request_read(view(paths[2]), clock_now_us() + 60000000ull, &newer_seen);
  EXPECT_EQ(fresh.kind, (u32)IntakeBytes);
  EXPECT_TRUE(same(fresh.digest, digest_of(newer)));
  EXPECT_EQ(leased_bytes(fresh.digest), newer);
}

// A file another program works on (the read gate says so) is neither read nor hashed: nothing is
// published for it until the gate lets it through. Held without a read, it answers as settled
// and is not offered; once it changes, it is read as any other.
static std::atomic<const std::string *> g_gated_path{nullptr};
static std::atomic<u64> g_gate_asked{0};

static bool test_read_gate(Str8 path, FileProps) {
  const std::string *gated = g_gated_path.load();
  if (!gated || !str8_equals(path, view(*gated), 0)) return false;
  g_gate_asked += 1;
  return true;
}

TEST(Intake, GatedFileIsNotReadAndAHoldNeedsNoRead) {
  intake_test_start();
  TempFolder dir("gated");
  std::string path = dir.at("held.jpg");
  std::string bytes = "worked on elsewhere " + dir.path;
  write_file(path, bytes);
  g_gated_path.store(&path);
  intake_set_read_gate(test_read_gate);

  // asked for ahead and by a worker: the gate is asked, nothing is read or kept
  u64 passed = intake_stats().reads_passed;
  EXPECT_TRUE(u128_is_zero(intake_request(view(path), 0)));
  EXPECT_TRUE(wait_until([&] { return intake_stats().reads_passed > passed && intake_path_info(view(path)).in_queue == 0; }));
  FileProps seen = file_props_from_path(view(path));
  IntakeRead read = intake_request_read(view(path), clock_now_us() + 200000, &seen);
  EXPECT_EQ(read.kind, (u32)IntakeNoRead);
  IntakePathInfo info = intake_path_info(view(path));
  EXPECT_EQ(info.version, 0u);
  EXPECT_EQ(info.read_complete, 0u);
  EXPECT_EQ(info.reads_dropped, 0u);
  EXPECT_GE(g_gate_asked.load(), 2u);

  // held without a read: settled for that version, not queued again by the detector
  ASSERT_TRUE(wait_until([&] { return intake_hold(view(path), seen, 0); }));
  EXPECT_TRUE(intake_settled(view(path)));
  read = intake_request_read(view(path), clock_now_us() + 60000000ull, &seen);
  EXPECT_EQ(read.kind, (u32)IntakeSettled);
  EXPECT_TRUE(file_props_same_version(read.props, seen));
  u64 queued = intake_path_info(view(path)).times_queued;
  ASSERT_TRUE(wait_detector_passes(6));
  EXPECT_EQ(intake_path_info(view(path)).times_queued, queued);

  // the other program let go and the file changed: read and published as usual
  g_gated_path.store(nullptr);
  std::string changed = "changed after the hold " + dir.path;
  write_file(path, changed);
  intake_recheck_settled();
  EXPECT_TRUE(wait_published(path, digest_of(changed)));
  intake_set_read_gate(nullptr);

  // a path never asked for before can be held too
  std::string unseen = dir.at("unseen.jpg");
  write_file(unseen, "never read " + dir.path);
  EXPECT_TRUE(intake_hold(view(unseen), file_props_from_path(view(unseen)), 0));
  EXPECT_TRUE(intake_settled(view(unseen)));
  EXPECT_FALSE(intake_path_info(view(unseen)).read_complete);
}
