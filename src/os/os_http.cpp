// The HTTP server, written once on libmicrohttpd for both systems: its socket comes from
// net_listen, its thread is the library's own ("internal polling").
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <microhttpd.h>

#include <cstring>

#include "os/os.h"

//~ HTTP server
struct HttpServer {
  struct MHD_Daemon *daemon;
  HttpHandler *handler;
  void *user;
};

// The library's thread gets what every thread of ours has: scratch arenas and the fatal
// report's stack.
static void http_thread_prepare() {
  static thread_local ThreadContext context;
  if (thread_context()) return;
  thread_context_init(&context);
  fatal_report_thread_init();
  thread_set_name("[VANTOR] HTTP");
}

static enum MHD_Result http_send(struct MHD_Connection *connection, u32 status, Str8 content_type, Str8 body,
                                 bool allow) {
  struct MHD_Response *response =
      MHD_create_response_from_buffer(body.size, (void *)body.str, MHD_RESPMEM_MUST_COPY);
  if (!response) return MHD_NO;
  char type[128] = {};
  if (content_type.size > 0) memcpy(type, content_type.str, content_type.size < sizeof(type) - 1 ? content_type.size : sizeof(type) - 1);
  if (type[0]) MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, type);
  MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
  MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
  // the page draws its own chart and styles; it loads nothing but its own thumbnails
  MHD_add_response_header(response, "Content-Security-Policy",
                          "default-src 'none'; img-src 'self'; style-src 'unsafe-inline'");
  if (allow) MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
  enum MHD_Result result = MHD_queue_response(connection, status, response);
  MHD_destroy_response(response);
  return result;
}

static enum MHD_Result http_answer(void *cls, struct MHD_Connection *connection, const char *url, const char *method,
                                   const char *, const char *, size_t *, void **) {
  http_thread_prepare();
  HttpServer *server = (HttpServer *)cls;
  // answered on the first call, before any body is read: a body is never taken in
  if (strcmp(method, MHD_HTTP_METHOD_GET) != 0 && strcmp(method, MHD_HTTP_METHOD_HEAD) != 0) {
    return http_send(connection, MHD_HTTP_METHOD_NOT_ALLOWED, str8_lit("text/plain; charset=utf-8"),
                     str8_lit("only GET and HEAD\n"), true);
  }
  Arena *arena = arena_create(mib(64), kib(64));
  HttpAnswer answer = {};
  answer.status = 200;
  server->handler(arena, str8_cstring(url), &answer, server->user);
  enum MHD_Result result = http_send(connection, answer.status, answer.content_type, answer.body, false);
  arena_destroy(arena);
  return result;
}

HttpServer *http_serve(NetListener *listener, HttpHandler *handler, void *user) {
  static HttpServer servers[4];
  static u32 used;
  if (used >= 4) {
    net_close(listener->socket);
    return nullptr;
  }
  HttpServer *server = &servers[used];
  server->handler = handler;
  server->user = user;
  unsigned int flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_AUTO;
  if (listener->ipv6) flags |= MHD_USE_IPv6;
  server->daemon = MHD_start_daemon(
      flags, (uint16_t)listener->port, nullptr, nullptr, http_answer, server, MHD_OPTION_LISTEN_SOCKET,
      (MHD_socket)listener->socket, MHD_OPTION_CONNECTION_LIMIT, (unsigned int)HttpConnectionsMost,
      MHD_OPTION_CONNECTION_TIMEOUT, (unsigned int)HttpIdleSeconds, MHD_OPTION_CONNECTION_MEMORY_LIMIT,
      (size_t)HttpConnectionMemory, MHD_OPTION_END);
  if (!server->daemon) {
    net_close(listener->socket);
    return nullptr;
  }
  used += 1;
  return server;
}

void http_stop(HttpServer *server) {
  if (server && server->daemon) MHD_stop_daemon(server->daemon);
  if (server) server->daemon = nullptr;
}
