// The metrics server: its counts after known activity, what /health says as the output
// folder stops taking files and comes back, and which paths it answers. HTTP is spoken over a
// plain socket here, a request at a time.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "app/app.h"
#include "test_images.h"
#include "test_process.h"
#include "test_text.h"

namespace fs = std::filesystem;

namespace {

struct HttpReply {
  int status = 0;
  std::string head;
  std::string body;
};

// One request on a fresh connection; the server closes it after the answer.
HttpReply http_request(int port, const std::string &method, const std::string &target) {
  HttpReply reply;
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return reply;
  timeval patience = {60, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof(patience));
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_port = htons((uint16_t)port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string request = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
  request += method == "POST" ? "Content-Length: 5\r\n\r\nhello" : "\r\n";
  std::string got;
  if (connect(fd, (sockaddr *)&a, sizeof(a)) == 0 && send(fd, request.data(), request.size(), MSG_NOSIGNAL) == (ssize_t)request.size()) {
    char buffer[65536];
    for (ssize_t n; (n = recv(fd, buffer, sizeof(buffer), 0)) > 0;) got.append(buffer, (size_t)n);
  }
  close(fd);
  size_t end = got.find("\r\n\r\n");
  if (got.rfind("HTTP/1.1 ", 0) != 0 || end == std::string::npos) return reply;
  reply.status = atoi(got.c_str() + 9);
  reply.head = got.substr(0, end);
  reply.body = got.substr(end + 4);
  return reply;
}

bool write_text(const std::string &path, const std::string &text) { return write_file(path, Bytes(text.begin(), text.end())); }

std::string metric_line(const std::string &text, const std::string &series) {
  size_t at = text.find("\n" + series + " ");
  if (at == std::string::npos) return "";
  size_t end = text.find('\n', at + 1);
  return text.substr(at + 1, end - at - 1);
}

// In the test runner itself: the server is started as set-up starts it, the activity is
// published as the workers publish it, and a worker is made to look stuck.
TEST(Metrics, CountsThePublishedActivityAndServesOnlyItsThumbnails) {
  TempFolder tmp("metrics-counts");
  fs::create_directories(tmp.at("out"));
  fs::create_directories(tmp.at("meta"));
  Arena *arena = arena_create(mib(8), kib(64));
  WorkerWatch workers[2] = {};
  for (WorkerWatch &w : workers) w.lock = cs_create();
  u64 busy = 1, waiting = 7;
  std::string out_folder = tmp.at("out"), meta_folder = tmp.at("meta");
  MetricsWatched watched = {str8_cstring(out_folder.c_str()), str8_cstring(meta_folder.c_str()), workers, 2, &busy,
                            &waiting};
  Str8 url = {};
  Str8List problems = {};
  ASSERT_TRUE(metrics_start(arena, str8_lit("127.0.0.1:0"), &watched, &url, &problems));
  std::string where((char *)url.str, url.size);
  ASSERT_EQ(where.rfind("http://127.0.0.1:", 0), 0u) << where;
  int port = atoi(where.c_str() + 17);
  ASSERT_GT(port, 0);

  // two sources converted (one with a name to escape), one left in place, one set aside, a warning
  Bytes small = jpeg_file(gradient(30, 20, 3), 30, 20, 3, 80);
  ASSERT_TRUE(write_file(tmp.at("out/00aa.jpg"), small));
  std::string thumb_path = tmp.at("out/00aa.jpg"), big_path = tmp.at("out/11bb.jpg"), copy_path = tmp.at("out/22cc.png");
  ActivityOutput outputs[3] = {{str8_cstring(copy_path.c_str()), FileTypePng, 300, 200, 5000},
                               {str8_cstring(big_path.c_str()), FileTypeJpeg, 120, 80, 900},
                               {str8_cstring(thumb_path.c_str()), FileTypeJpeg, 30, 20, (u64)small.size()}};
  ActivityEvent converted = {ActivityConverted, TallyNone, str8_lit("a/<b>&c.png"), 6000, 300000, outputs, 3, {}};
  activity_publish(&converted);
  converted.source = str8_lit("plain.png");
  converted.seconds_us = 3000000;
  activity_publish(&converted);
  ActivityEvent left = {ActivityLeftInPlace, TallyWriteFailed, str8_lit("full.png"), 1000, 40000, nullptr, 0,
                        str8_lit("Unable to write")};
  activity_publish(&left);
  ActivityEvent aside = {ActivitySetAside, TallyNone, str8_lit("notes.txt"), 10, 0, nullptr, 0, {}};
  activity_publish(&aside);
  ActivityEvent warning = {ActivityWarning, TallyNone, {}, 0, 0, nullptr, 0, str8_lit("warning: <script>x</script>")};
  activity_publish(&warning);

  HttpReply m = http_request(port, "GET", "/metrics");
  ASSERT_EQ(m.status, 200) << m.head;
  EXPECT_NE(m.head.find("Content-Type: text/plain; version=0.0.4"), std::string::npos) << m.head;
  const std::string &t = m.body;
  EXPECT_EQ(metric_line(t, "vantor_sources_total{outcome=\"converted\",reason=\"\"}"), "vantor_sources_total{outcome=\"converted\",reason=\"\"} 2");
  EXPECT_EQ(metric_line(t, "vantor_sources_total{outcome=\"left_in_place\",reason=\"write_failed\"}"),
            "vantor_sources_total{outcome=\"left_in_place\",reason=\"write_failed\"} 1");
  EXPECT_EQ(metric_line(t, "vantor_sources_total{outcome=\"left_in_place\",reason=\"too_large\"}"),
            "vantor_sources_total{outcome=\"left_in_place\",reason=\"too_large\"} 0");
  EXPECT_EQ(metric_line(t, "vantor_sources_total{outcome=\"set_aside\",reason=\"\"}"), "vantor_sources_total{outcome=\"set_aside\",reason=\"\"} 1");
  EXPECT_EQ(metric_line(t, "vantor_outputs_total{format=\"jpeg\"}"), "vantor_outputs_total{format=\"jpeg\"} 4");
  EXPECT_EQ(metric_line(t, "vantor_outputs_total{format=\"png\"}"), "vantor_outputs_total{format=\"png\"} 2");
  EXPECT_EQ(metric_line(t, "vantor_read_bytes_total"), "vantor_read_bytes_total 13000");
  EXPECT_EQ(metric_line(t, "vantor_written_bytes_total"), "vantor_written_bytes_total " + std::to_string(2 * (5900 + small.size())));
  EXPECT_EQ(metric_line(t, "vantor_source_seconds_bucket{le=\"0.05\"}"), "vantor_source_seconds_bucket{le=\"0.05\"} 1");
  EXPECT_EQ(metric_line(t, "vantor_source_seconds_bucket{le=\"0.25\"}"), "vantor_source_seconds_bucket{le=\"0.25\"} 1");
  EXPECT_EQ(metric_line(t, "vantor_source_seconds_bucket{le=\"0.5\"}"), "vantor_source_seconds_bucket{le=\"0.5\"} 2");
  EXPECT_EQ(metric_line(t, "vantor_source_seconds_bucket{le=\"5\"}"), "vantor_source_seconds_bucket{le=\"5\"} 3");
  EXPECT_EQ(metric_line(t, "vantor_source_seconds_bucket{le=\"+Inf\"}"), "vantor_source_seconds_bucket{le=\"+Inf\"} 3");
  EXPECT_EQ(metric_line(t, "vantor_source_seconds_sum"), "vantor_source_seconds_sum 3.340000");
  EXPECT_EQ(metric_line(t, "vantor_source_seconds_count"), "vantor_source_seconds_count 3");
  EXPECT_EQ(metric_line(t, "vantor_sources_waiting"), "vantor_sources_waiting 7");
  EXPECT_EQ(metric_line(t, "vantor_sources_in_progress"), "vantor_sources_in_progress 1");
  EXPECT_EQ(metric_line(t, "vantor_instances"), "vantor_instances 1");
  double last = atof(metric_line(t, "vantor_last_conversion_timestamp_seconds").c_str() + 41);
  EXPECT_NEAR(last, (double)clock_wall_us() / 1e6, 600) << t;
  EXPECT_NE(t.find("\nvantor_build_info{version=\""), std::string::npos);
  EXPECT_GT(atof(metric_line(t, "process_resident_memory_bytes").c_str() + 30), 1e6) << t;
  EXPECT_GT(atof(metric_line(t, "process_open_fds").c_str() + 17), 2) << t;
  double started = atof(metric_line(t, "process_start_time_seconds").c_str() + 27);
  EXPECT_NEAR(started, (double)clock_wall_us() / 1e6, 3600) << t;
  if (system("command -v promtool >/dev/null 2>&1") == 0) {
    ASSERT_TRUE(write_text(tmp.at("metrics.txt"), t));
    FinishedRun check = run_to_end({"-c", "promtool check metrics < " + tmp.at("metrics.txt") + " 2>&1"}, "/bin/sh");
    EXPECT_EQ(check.exit_code, 0) << check.out;
    EXPECT_EQ(check.out, "") << check.out;
  }

  // the page: counts, every name and message escaped, the smallest shown output as thumbnail
  HttpReply page = http_request(port, "GET", "/");
  ASSERT_EQ(page.status, 200);
  EXPECT_NE(page.body.find("a/&lt;b&gt;&amp;c.png"), std::string::npos) << page.body;
  EXPECT_NE(page.body.find("warning: &lt;script&gt;x&lt;/script&gt;"), std::string::npos) << page.body;
  EXPECT_EQ(page.body.find("<script"), std::string::npos);
  EXPECT_EQ(page.body.find("<img src=\"/thumb/11bb.jpg\""), std::string::npos);
  EXPECT_NE(page.body.find("<img src=\"/thumb/00aa.jpg\""), std::string::npos) << page.body;
  EXPECT_NE(page.body.find("left in place (write failed)"), std::string::npos);
  EXPECT_NE(page.body.find("<svg"), std::string::npos);
  HttpReply thumb = http_request(port, "GET", "/thumb/00aa.jpg");
  EXPECT_EQ(thumb.status, 200);
  EXPECT_NE(thumb.head.find("Content-Type: image/jpeg"), std::string::npos);
  EXPECT_EQ(thumb.body, std::string(small.begin(), small.end()));
  EXPECT_EQ(http_request(port, "HEAD", "/thumb/00aa.jpg").body, "");
  // anything but a name the list holds is not found, and never read from the disk
  ASSERT_TRUE(write_text(tmp.at("secret.txt"), "secret"));
  for (const std::string &target :
       {std::string("/thumb/11bb.jpg"), std::string("/thumb/../secret.txt"), std::string("/thumb/%2e%2e/secret.txt"),
        std::string("/thumb/..%2fsecret.txt"), "/thumb/" + tmp.at("secret.txt"), "/thumb//" + tmp.at("out/00aa.jpg"),
        tmp.at("secret.txt"), std::string("/%2e%2e/%2e%2e/etc/passwd"), std::string("/thumb/"), std::string("/metrics/")}) {
    HttpReply r = http_request(port, "GET", target);
    EXPECT_EQ(r.status, 404) << target;
    EXPECT_EQ(r.body.find("secret"), std::string::npos) << target;
  }
  HttpReply post = http_request(port, "POST", "/metrics");
  EXPECT_EQ(post.status, 405);
  EXPECT_NE(post.head.find("Allow: GET, HEAD"), std::string::npos) << post.head;

  // a worker that has held one source for over ten minutes makes the service unhealthy; the
  // clock counts from the machine's start, so a machine up for less than that cannot show it
  EXPECT_EQ(http_request(port, "GET", "/health").body, "ok\n");
  if (clock_now_us() > 660000000ull) {
    memcpy(workers[1].source, "huge.dng", 8);
    workers[1].source_size = 8;
    atomic_store_u64(&workers[1].started_us, clock_now_us() - 660000000ull);
    HttpReply stuck = http_request(port, "GET", "/health");
    EXPECT_EQ(stuck.status, 503);
    EXPECT_EQ(stuck.body.rfind("a worker is stuck on huge.dng for 6", 0), 0u) << stuck.body;
    atomic_store_u64(&workers[1].started_us, clock_now_us());
    EXPECT_EQ(http_request(port, "GET", "/health").status, 200);
  }
  metrics_stop();
  arena_destroy(arena);
}

// The real program: where it listens, the addresses it refuses, and /health following the
// output folder as it is replaced by a file and comes back.
TEST(EndToEnd, MetricsServerFollowsTheOutputFolder) {
  TempFolder tmp("e2e-metrics");
  fs::create_directories(tmp.at("in"));
  Program p({"-in=" + tmp.at("in"), "-out=" + tmp.at("out"), "-metadatas=" + tmp.at("meta"), "-thread=1",
             "-metrics=127.0.0.1:0"});
  ASSERT_TRUE(p.wait_for_output("Waiting for PNG/JPEG files...\n")) << p.out;
  size_t at = p.out.find("\tpng_level: 12\n\tmetrics:   http://127.0.0.1:");
  ASSERT_NE(at, std::string::npos) << p.out;
  int port = atoi(p.out.c_str() + at + std::string("\tpng_level: 12\n\tmetrics:   http://127.0.0.1:").size());
  ASSERT_GT(port, 0);

  // a port in use, and an address that is none, end the run before anything starts
  FinishedRun taken = run_to_end({"-in=" + tmp.at("in2"), "-out=" + tmp.at("out2"), "-metadatas=" + tmp.at("meta2"),
                                  "-metrics=127.0.0.1:" + std::to_string(port)});
  EXPECT_EQ(taken.exit_code, 2);
  EXPECT_NE(taken.out.find("error: the metrics server cannot listen on 127.0.0.1:" + std::to_string(port) +
                           ": Address already in use\nUnable to run the program, check paramaters.\n"),
            std::string::npos)
      << taken.out;
  FinishedRun bad = run_to_end({"-in=" + tmp.at("in2"), "-out=" + tmp.at("out2"), "-metadatas=" + tmp.at("meta2"),
                                "-metrics=localhost"});
  EXPECT_EQ(bad.exit_code, 2);
  EXPECT_NE(bad.out.find("error: the metrics server cannot listen on localhost: not an address and port"), std::string::npos)
      << bad.out;
  EXPECT_FALSE(fs::exists(tmp.at("in2/.vantor"))) << "nothing was started";

  // a real conversion moves the counters
  ASSERT_TRUE(write_file(tmp.at("in/a.png"), png_file(noise(40 * 30 * 3, 7), 40, 30, 3)));
  EXPECT_TRUE(wait_until([&] {
    return metric_line(http_request(port, "GET", "/metrics").body,
                       "vantor_sources_total{outcome=\"converted\",reason=\"\"}") ==
           "vantor_sources_total{outcome=\"converted\",reason=\"\"} 1";
  })) << http_request(port, "GET", "/metrics").body;
  EXPECT_EQ(http_request(port, "GET", "/health").status, 200);
  fs::rename(tmp.at("out"), tmp.at("out-away"));
  ASSERT_TRUE(write_text(tmp.at("out"), "a file where the folder was"));
  HttpReply sick;
  EXPECT_TRUE(wait_until([&] {
    sick = http_request(port, "GET", "/health");
    return sick.status == 503;
  }));
  EXPECT_EQ(sick.body.rfind("the output folder " + tmp.at("out") + " cannot take files: ", 0), 0u) << sick.body;
  EXPECT_EQ(std::count(sick.body.begin(), sick.body.end(), '\n'), 1) << sick.body;
  fs::remove(tmp.at("out"));
  fs::rename(tmp.at("out-away"), tmp.at("out"));
  EXPECT_TRUE(wait_until([&] { return http_request(port, "GET", "/health").body == "ok\n"; }));
  EXPECT_EQ(http_request(port, "DELETE", "/").status, 405);
  EXPECT_TRUE(p.running());
}

} // namespace
