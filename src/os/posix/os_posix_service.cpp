// Process usage and listening sockets on POSIX (Linux): what a monitoring system reads of the
// process, from /proc/self, and the metrics server's one listening socket.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "os/posix/os_posix_internal.h"

//~ Process usage and listening sockets
//- process usage
// A small /proc file whole into buf (NUL-terminated); its length, 0 when it cannot be read.
static u64 posix_proc_read(const char *path, char *buf, u64 capacity) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  u64 used = 0;
  while (used + 1 < capacity) {
    ssize_t n = read(fd, buf + used, capacity - 1 - used);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    used += (u64)n;
  }
  close(fd);
  buf[used] = 0;
  return used;
}

// The process's start: its start in clock ticks after boot (/proc/self/stat's 22nd field, counted
// after the command name, which may hold spaces and parentheses) plus the boot's wall time.
static u64 posix_start_wall_us() {
  char stat[1024], machine[8192];
  if (!posix_proc_read("/proc/self/stat", stat, sizeof(stat))) return 0;
  char *p = strrchr(stat, ')');
  if (!p) return 0;
  p += 1;
  for (int field = 3; field <= 22 && *p; field += 1) {
    while (*p == ' ') p += 1;
    if (field == 22) break;
    while (*p && *p != ' ') p += 1;
  }
  unsigned long long ticks = strtoull(p, nullptr, 10);
  if (!posix_proc_read("/proc/stat", machine, sizeof(machine))) return 0;
  char *btime = strstr(machine, "\nbtime ");
  long hz = sysconf(_SC_CLK_TCK);
  if (!btime || hz <= 0) return 0;
  unsigned long long boot = strtoull(btime + 7, nullptr, 10);
  return boot * 1000000ull + ticks * 1000000ull / (unsigned long long)hz;
}

bool process_usage_read(ProcessUsage *out) {
  *out = {};
  char statm[256];
  if (posix_proc_read("/proc/self/statm", statm, sizeof(statm))) {
    unsigned long long size = 0, resident = 0;
    if (sscanf(statm, "%llu %llu", &size, &resident) == 2) {
      out->resident_bytes = resident * (u64)sysconf(_SC_PAGESIZE);
    }
  }
  struct rusage usage;
  if (getrusage(RUSAGE_SELF, &usage) == 0) {
    out->cpu_us = (u64)usage.ru_utime.tv_sec * 1000000 + (u64)usage.ru_utime.tv_usec +
                  (u64)usage.ru_stime.tv_sec * 1000000 + (u64)usage.ru_stime.tv_usec;
  }
  out->start_wall_us = posix_start_wall_us();
  // the listing's own descriptor is among those counted
  DIR *fds = opendir("/proc/self/fd");
  if (fds) {
    u64 count = 0;
    for (struct dirent *e = readdir(fds); e; e = readdir(fds)) {
      if (e->d_name[0] != '.') count += 1;
    }
    closedir(fds);
    out->open_files = count > 0 ? count - 1 : 0;
  }
  return true;
}

//- listening sockets
bool net_listen(Arena *arena, Str8 address, NetListener *out, Str8 *error) {
  *out = {};
  Str8 host = {};
  u32 port = 0;
  bool ipv6 = false;
  if (!net_address_split(address, &host, &port, &ipv6)) {
    *error = str8_lit("not an address and port such as 127.0.0.1:9464 or [::1]:9464");
    return false;
  }
  char name[64] = {};
  memcpy(name, host.str, host.size);
  struct sockaddr_storage storage = {};
  socklen_t length = 0;
  if (ipv6) {
    struct sockaddr_in6 *a = (struct sockaddr_in6 *)&storage;
    a->sin6_family = AF_INET6;
    a->sin6_port = htons((u16)port);
    length = sizeof(*a);
    if (inet_pton(AF_INET6, name, &a->sin6_addr) != 1) length = 0;
  } else {
    struct sockaddr_in *a = (struct sockaddr_in *)&storage;
    a->sin_family = AF_INET;
    a->sin_port = htons((u16)port);
    length = sizeof(*a);
    if (inet_pton(AF_INET, name, &a->sin_addr) != 1) length = 0;
  }
  if (length == 0) {
    *error = str8_lit("not an address and port such as 127.0.0.1:9464 or [::1]:9464");
    return false;
  }
  int fd = socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int on = 1;
  // a restart finds the port of its last run's closed connections free; a live listener on it
  // still refuses the bind
  bool ok = fd >= 0 && setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) == 0;
  if (ok && ipv6) ok = setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof(on)) == 0;
  ok = ok && bind(fd, (struct sockaddr *)&storage, length) == 0 && listen(fd, 64) == 0;
  struct sockaddr_storage bound = {};
  socklen_t bound_length = sizeof(bound);
  ok = ok && getsockname(fd, (struct sockaddr *)&bound, &bound_length) == 0;
  if (!ok) {
    int code = errno;
    if (fd >= 0) close(fd);
    errno = code;
    *error = file_last_error_text(arena);
    return false;
  }
  out->socket = (u64)fd;
  out->ipv6 = ipv6;
  out->port = ipv6 ? ntohs(((struct sockaddr_in6 *)&bound)->sin6_port) : ntohs(((struct sockaddr_in *)&bound)->sin_port);
  return true;
}

void net_close(u64 socket) { close((int)socket); }
