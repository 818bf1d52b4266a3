// Process usage and listening sockets on Windows: what a monitoring system reads of the
// process, and the metrics server's one listening socket (Winsock).
#include "os/win32/os_win32_internal.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <psapi.h>

#include <cstring>

//~ Process usage and listening sockets
//- process usage
// FILETIME counts 100 ns steps since 1601; clock_wall_us counts from 1970.
static u64 win32_filetime_us(FILETIME t) { return (((u64)t.dwHighDateTime << 32) | t.dwLowDateTime) / 10; }

bool process_usage_read(ProcessUsage *out) {
  *out = {};
  HANDLE self = GetCurrentProcess();
  PROCESS_MEMORY_COUNTERS memory = {};
  memory.cb = sizeof(memory);
  if (GetProcessMemoryInfo(self, &memory, sizeof(memory))) out->resident_bytes = memory.WorkingSetSize;
  FILETIME created, exited, kernel, user;
  if (GetProcessTimes(self, &created, &exited, &kernel, &user)) {
    out->cpu_us = win32_filetime_us(kernel) + win32_filetime_us(user);
    u64 since_1601 = win32_filetime_us(created);
    constexpr u64 From1601To1970Us = 11644473600ull * 1000000ull;
    out->start_wall_us = since_1601 > From1601To1970Us ? since_1601 - From1601To1970Us : 0;
  }
  DWORD handles = 0;
  if (GetProcessHandleCount(self, &handles)) out->open_files = handles;
  return true;
}

//- listening sockets
bool net_listen(Arena *arena, Str8 address, NetListener *out, Str8 *error) {
  *out = {};
  Str8 host = {};
  u32 port = 0;
  bool ipv6 = false;
  static const Str8 not_address = str8_lit("not an address and port such as 127.0.0.1:9464 or [::1]:9464");
  if (!net_address_split(address, &host, &port, &ipv6)) {
    *error = not_address;
    return false;
  }
  // Winsock counts its users: the HTTP library starts it too
  WSADATA wsa;
  if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) {
    *error = str8_lit("Windows sockets cannot be started");
    return false;
  }
  char name[64] = {};
  memcpy(name, host.str, host.size);
  struct sockaddr_storage storage = {};
  int length = 0;
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
    WSACleanup();
    *error = not_address;
    return false;
  }
  SOCKET s = WSASocketW(storage.ss_family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  // no other process may bind the same port while this one listens
  BOOL on = TRUE;
  bool ok = s != INVALID_SOCKET && setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, (const char *)&on, sizeof(on)) == 0;
  if (ok && ipv6) {
    DWORD only = 1;
    ok = setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, (const char *)&only, sizeof(only)) == 0;
  }
  ok = ok && bind(s, (struct sockaddr *)&storage, length) == 0 && listen(s, 64) == 0;
  struct sockaddr_storage bound = {};
  int bound_length = sizeof(bound);
  ok = ok && getsockname(s, (struct sockaddr *)&bound, &bound_length) == 0;
  if (!ok) {
    int code = WSAGetLastError();
    if (s != INVALID_SOCKET) closesocket(s);
    WSACleanup();
    SetLastError((DWORD)code);
    *error = file_last_error_text(arena);
    return false;
  }
  out->socket = (u64)s;
  out->ipv6 = ipv6;
  out->port = ipv6 ? ntohs(((struct sockaddr_in6 *)&bound)->sin6_port) : ntohs(((struct sockaddr_in *)&bound)->sin_port);
  return true;
}

void net_close(u64 socket) {
  closesocket((SOCKET)socket);
  WSACleanup();
}
