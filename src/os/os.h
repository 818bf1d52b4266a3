// OS layer: one portable API over the operating system, in the order start-up uses it.
//
// Written per operating system (src/os/posix/, src/os/win32/): virtual memory, process
// facts, stop requests and the service manager, file and folder calls, threads, locks,
// condition variables, the clock, the fatal report. Written once on top of them (os.cpp): the argument copies, the command-line parser,
// the start-up skeleton and the process entry body, whole-file reads, folder chains, the
// temporary-file names and the sweep of stale ones, the string ring, the message report and
// the taking of libraries' standard error. Nothing outside src/os/ includes a system header.
//
// Threads and locks: every thread, critical section, SRW lock and condition variable comes
// from the process-wide SyncPool (one critical section guarding its arena, taken alone) and
// lives until the process ends. Condition variables are only ever woken with wake-all; every
// waiter re-tests its condition. A StringRing's critical section is taken alone, and so are the
// sync threads' queue's (file and folder syncs run on those threads while their caller waits)
// and the one that guards the libraries' calls in flight and the turns of standard error.
#pragma once

#include <atomic>

#include "base/base.h"

//~ Process start-up and facts (per operating system, except where marked written once)
struct ProcInfo {
  u32 process_id;
  // Drawn from the system's random source at start-up: tells this run apart from every other
  // one, on this machine or another sharing its folders (where process ids repeat).
  u64 instance_id;
  Str8 exe_folder;       // folder of the running executable, no trailing separator
  Str8 current_folder;   // current folder at start-up
  Str8 user_data_folder; // the user's configuration folder; empty when unknown
  Str8List environment;  // "NAME=value" entries in the order of the environment block
};

ProcInfo *proc_info();
u32 process_quiet(); // written once; 1 when any argument is "--quiet" (ASCII case ignored)

struct ArgTable;
// Returns the exit status of the process.
typedef int AppEntry(ArgTable *table);

// What the program starts, in this order, before the application entry. Defined by the
// program itself (the application layer); null members are skipped.
struct ProcessHooks {
  void (*content_store_start)();
  void (*intake_start)();
  AppEntry *app_main;
};
const ProcessHooks *process_hooks();

// Everything start-up does before the entry body: the fatal report is installed, SysInfo
// and ProcInfo are filled, the main thread's context and the SyncPool are made, the sync
// threads are started, and the arguments are copied as zero-terminated UTF-8 into the
// argument arena (the quiet flag is noted). The test runner calls this alone.
void process_init(int argc, char **argv);
// Written once: everything process_init does before the arguments, over the per-system
// steps below.
void process_init_facts();
// Written once: process_init hands the UTF-8 arguments here to be copied and looked at.
void process_args_keep(int argc, char **argv);

// The per-system steps of process_init_facts, called in this order on the main thread:
// process_init_system keeps the real standard error for console_error_write (and gives base
// its writer), installs the fatal report, tells base which bytes separate the pieces
// of a path (path_set_backslash_separates), sets up the allocator and the console as the
// system needs, fills SysInfo's machine facts (all but its name) and the process id, before
// any arena exists; the queries then fill the rest, and sync_pool_init makes the
// SyncPool.
void process_init_system(ProcInfo *proc);
Str8 machine_name_query(Arena *arena);
Str8 exe_folder_query(Arena *arena);       // no trailing separator
Str8 user_data_folder_query(Arena *arena); // empty when unknown
void environment_query(Arena *arena, Str8List *out);
void sync_pool_init();
int process_argc();
char **process_argv(); // the UTF-8 copies made by process_init

// The entry body (written once): names the main thread, parses the arguments, runs the
// start hooks and calls the application entry, whose exit status it returns (0 without one).
int process_entry(AppEntry *app_entry, int argc, char **argv);

// Written once: process_init, then process_entry with process_hooks()->app_main.
int process_startup(int argc, char **argv);

// Ends the process at once with the code, after flushing standard output.
[[noreturn]] void process_exit(int code);
// True when standard error is a terminal (a console window on Windows), not a pipe or a file.
// Asks about the real standard error, also while libraries' output is taken.
bool console_error_is_terminal();

//~ Stop requests and the service manager (per operating system)
// A stop asked for from outside: SIGTERM or SIGINT on POSIX; Ctrl+C, Ctrl+Break or the console
// closing on Windows. Once stop_requests_install has run (on the main thread, once), the first
// request is only counted: the handler sets nothing but the count, and the program finishes
// what it is doing. The second ends the process at once, as the system ends an ordinary
// program (POSIX: the signal's default action; Windows: the exit code of a Ctrl+C). Threads
// started by thread_create never take these signals on POSIX, so no system call of theirs is
// cut short by one.
void stop_requests_install();
u32 stop_requests(); // how many were asked for since the install; any thread

// The service manager (systemd), told about the program's state in its own words ("READY=1",
// "STATUS=...", "WATCHDOG=1", "STOPPING=1"). Nothing is sent where the process was not started
// by one (no NOTIFY_SOCKET) and on Windows. Main thread; it never waits on the manager.
void service_notify(Str8 state);
// How often the manager wants to hear "WATCHDOG=1" at the latest, in microseconds; 0 when it
// does not watch this process.
u64 service_watchdog_us();

//~ Command line (written once)
struct ArgEntry {
  ArgEntry *next;
  Str8 key;        // option name without its leading dashes
  Str8List values; // value pieces in the order given
  Str8 value;      // the pieces joined with ","
};

struct ArgBucket {
  ArgEntry *first;
  ArgEntry *last;
};

struct ArgTable {
  u64 bucket_count; // 64
  ArgBucket *buckets;
  Str8List keys;          // every key in the order given, repeats included
  u64 program_key_count;  // how many of them the first argument (the program's path) gave
};

// One argument per element of argv, each one whole: spaces and quotes in it are its own.
Str8List arg_list_from_argv(Arena *arena, int argc, char **argv);
// A whole command line split into arguments the way Windows programs split theirs
// (CommandLineToArgvW): blanks separate, double quotes group, a backslash escapes a quote.
// Always at least the program's path; every view is zero-terminated, in the arena.
Str8List arg_list_from_command_line(Arena *arena, Str8 command_line);
ArgTable *arg_table_parse(Arena *arena, Str8List args);
Str8 arg_value(ArgTable *table, Str8 key);
bool arg_flag(ArgTable *table, Str8 key);
u64 arg_u64(ArgTable *table, Str8 key);
// The key's value as a decimal number: true, with *value, when it is one that fits in 64 bits
// or when the key is absent or empty (*value 0); false, with *value 0, for anything else.
bool arg_u64_read(ArgTable *table, Str8 key, u64 *value);

//~ Files and folders (per operating system, except where marked written once)
typedef u64 FileHandle; // 0 is no file

// Open flags.
enum : u32 {
  FileOpenRead = 0x01,
  FileOpenWrite = 0x02, // create always (truncate)
  FileOpenExecute = 0x04,
  FileOpenAlways = 0x20, // open or create, without truncating; wins over FileOpenWrite
  FileShareRead = 0x40,
  FileShareWriteDelete = 0x80,
  FileOpenNew = 0x100, // with FileOpenWrite: made only when nothing is there, in one step; fails otherwise
};

// file_write_all and file_write_begin flags.
enum : u32 {
  WriteAllMakeParents = 0x04, // make the destination's missing folders first
  // The commit never replaces another file: when the destination holds the same bytes already,
  // that file stands for this one and the temporary goes; when it holds other bytes, the bytes
  // go to the first free numbered name ("name.1.ext", "name.2.ext", ...). The decision is one
  // no-replace rename per name, so two writers (threads or processes) that reach one name at
  // once never replace each other. PendingWrite.path names the file that holds the bytes.
  WriteKeepOther = 0x08,
};

// Packed UTC time: ((((((year*12 + month)*31 + day)*24 + hour)*60 + minute)*61 + second)*1000
// + millisecond), month 0..11, day 1..31. Larger values are later times.
typedef u64 DenseTime;

struct DateTime {
  u16 year;
  u8 month; // 0..11
  u8 week_day;
  u8 day; // 1..31
  u8 hour;
  u8 minute;
  u8 second;
  u16 millisecond;
};

DenseTime dense_time_from_date_time(DateTime dt);
DateTime date_time_from_dense_time(DenseTime t);

enum : u32 {
  FilePropsFolder = 0x1,
  FilePropsExists = 0x2,
  // Alone: the system would not look the path up (a path longer than it takes, a folder that
  // can be listed but not searched), so something may be there that cannot be reached.
  FilePropsUnreachable = 0x4,
};

struct FileProps {
  u32 flags;
  u64 size;
  DenseTime modified; // last-write time, milliseconds
  DenseTime created;
  u64 modified_ns; // last-write time at the file system's full resolution (ns since 1970)
};

// Same file version: both exist (or both do not, both unreachable or not), same size, same
// last-write time at full resolution. What "unchanged during a read" and the stability checks compare.
bool file_props_same_version(FileProps a, FileProps b);
// False while another process may still be writing the file, where the system can tell
// (Windows: the file cannot be opened without sharing write access); true otherwise.
bool file_is_complete(Str8 path);

FileHandle file_open(u32 flags, Str8 path); // never blocks on a FIFO; 0 on failure
bool file_close(FileHandle file);
u64 file_read_range(FileHandle file, RangeU64 range, void *dst);
Str8 file_read_into_arena(Arena *arena, FileHandle file, RangeU64 range); // written once
Str8 file_read_all(Arena *arena, Str8 path);                             // written once
u64 file_write_range(FileHandle file, RangeU64 range, const void *data);
// Atomic and durable (written once, over file_write_begin and file_write_commit): a temporary
// file in the destination folder, synced, renamed over the destination, so the old file stays
// until the new one is in place. True only when every byte was written and the rename
// succeeded; a failure leaves no temporary file behind. Empty data still creates the empty file
// and reports false.
bool file_write_all(Str8 path, Str8 data, u32 flags);
// file_write_all in two steps, so that the files of a batch share the cost of being made
// durable: file_write_begin puts the bytes into a new temporary beside the destination (with
// WriteAllMakeParents, its folders are made first) and starts writing it out, without waiting;
// file_write_commit syncs every temporary of the batch, then moves each over its destination,
// in order. After the first failure the rest are not put in place; ok[i] tells which were,
// and no temporary is left behind either way. The destinations' folders are not synced:
// folder_sync does that, once for every batch that wrote into them. The temporaries are synced
// all at once on the sync threads, and none is moved before every one of them is done.
struct PendingWrite {
  Str8 path;       // the destination; with WriteKeepOther, where the bytes are after the commit
  Str8 temp;       // the temporary beside it
  FileHandle file; // open from begin until it is synced
  Arena *arena;    // begin's, which holds the paths (a numbered name is made there too)
  u32 flags;
  bool durable;    // synced and closed: the commit only has to move it
  u32 error;       // why its sync failed (file_last_error_code's value), 0 when it did not
};
bool file_write_begin(Arena *arena, Str8 path, Str8 data, u32 flags, PendingWrite *out);
void file_write_commit(PendingWrite *writes, u64 count, bool *ok);
// Written once: syncs and closes every temporary among the writes that is still open, all at
// once on the sync threads, and returns when all are done; each is then durable or keeps its
// failure's reason for the commit to report. The commit does this for whatever is still open:
// calling it first makes the writes of several commits durable together.
void file_write_sync(PendingWrite **writes, u64 count);
// Drops a write that was begun and not committed: its temporary goes.
void file_write_cancel(PendingWrite *write);
// Written once: the WriteKeepOther step of the commit, for a synced and closed temporary.
// False when no name could take it (file_last_error_text says why); the temporary is then
// still there.
bool file_place_keeping_other(PendingWrite *write);
// Written once: true when both files can be read and hold the same bytes.
bool file_same_bytes(Str8 a, Str8 b);
// Written once: true when the file can be read and holds exactly these bytes.
bool file_holds(Str8 path, Str8 bytes);
// Written once: "name.<number>.ext" beside `path` ("name.<number>" without an extension; a
// leading dot starts a name, not an extension).
Str8 file_numbered_name(Arena *arena, Str8 path, u64 number);
bool file_delete(Str8 path);
// Why the calling thread's last failed file or folder call failed, in the system's words
// (POSIX: strerror of errno; Windows: the system message for GetLastError, as UTF-8), without
// a closing period or line break. Ask right after the call that failed.
Str8 file_last_error_text(Arena *arena);
// Whether that failure was something already being at the path (an exclusive create's refusal).
bool file_last_error_exists();
// Whether that failure was nothing being at the path (a delete that found the file gone).
bool file_last_error_missing();
// The calling thread's last error as the system's code (errno, GetLastError), and that code
// given to the calling thread, so that a failure met on one thread is reported on another.
u32 file_last_error_code();
void file_last_error_set(u32 code);
// Moves a file to `to` durably, never replacing anything there: a no-replace rename, then the
// destination's folder is synced. Across file systems the bytes are copied into a temporary
// beside `to`, synced and renamed into place without replacing, the folder is synced, and only
// then is the source deleted; a source that changes during the copy stays where it is.
// FileMoveTaken: `to` exists, nothing changed. FileMoveFailed: the source stays where it was
// and file_last_error_text says why. The destination's folder must exist.
enum FileMoveResult : u32 {
  FileMoveFailed = 0,
  FileMoveDone = 1,
  FileMoveTaken = 2,
};
FileMoveResult file_move_no_replace(Str8 from, Str8 to);
// A rename within one folder that never replaces, without syncing anything.
FileMoveResult file_rename_no_replace(Str8 from, Str8 to);
// Whether the folder's entries can be listed; false, with file_last_error_text saying why,
// when the system refuses.
bool folder_can_list(Str8 folder);
// Whether `folder` can take a new file of `bytes` bytes now: a file can be made there and the
// file system has that much room. Cheap: for retrying a write that failed there.
bool folder_can_take(Str8 folder, u64 bytes);
// Written once, on file_move_no_replace: makes the destination's missing folders, then takes
// `to` or, while that name is taken, "name.1.ext", "name.2.ext", ... ("name.1" without an
// extension). The path the file went to; empty on failure (file_last_error_text says why).
Str8 file_move_to_free_name(Arena *arena, Str8 from, Str8 to);
FileProps file_props_from_handle(FileHandle file);
// All zero when nothing is there; FilePropsUnreachable alone where the system says so (POSIX).
FileProps file_props_from_path(Str8 path);
bool folder_ensure(Str8 path);
// Written once, on folder_ensure: every folder of the path, or every one but the last piece.
// The separators of path_backslash_separates cut pieces; a leading "/" or a drive such as
// "E:" is never made.
bool folder_make_chain(Str8 path);
bool folder_make_parents(Str8 path);
bool folder_sync(Str8 path);
// Written once: the folders synced all at once on the sync threads. True when every one was;
// otherwise file_last_error_text names the first failed folder's reason, on the calling thread.
bool folder_sync_many(Str8 *folders, u64 count);
// The file's bytes reach the disk (or the file server).
bool file_sync(FileHandle file);
// Removes the folder only when it is empty.
bool folder_remove_empty(Str8 path);

// A lock for life: an exclusive lock on one byte far past the end of the file, so that the
// file's bytes stay readable. The system drops it when the handle closes or the process ends,
// killed or not. Its holder's file must be open for writing.
bool file_lock_hold(FileHandle file);
enum FileLockState : u32 {
  FileLockUnknown = 0, // the system would not say
  FileLockFree = 1,
  FileLockHeld = 2, // by another handle, in this process or another
};
FileLockState file_lock_probe(FileHandle file);
// Names the lock domain of a folder: processes whose texts are equal (one running system, one
// mount of the folder) see each other's locks on the files in it. Empty when unknown.
Str8 folder_lock_domain(Arena *arena, Str8 folder);
// Removes the temporary files that file_write_all of an earlier, killed run left in the
// folder (not below it): every one, or those whose writer `gone` says is gone. Returns how many
// were removed.
typedef bool TempWriterGone(void *context, u64 instance_id, Str8 path);
u64 folder_remove_stale_temporaries(Str8 folder, TempWriterGone *gone = nullptr, void *context = nullptr); // written once
// Written once: file_write_all's temporary beside path,
// ".vantor-<instance, 16 hex digits>-<pid>-<tid>-<counter>.tmp", and the test that a bare
// name is one of them (or of the ".vantor-<pid>-<tid>-<counter>.tmp" earlier versions wrote).
// *instance_id receives the writer's instance, TempNoInstance for an earlier version's name.
constexpr u64 TempNoInstance = ~0ull;
Str8 file_temp_path(Arena *arena, Str8 path, u64 instance_id, u32 process_id, u32 thread_id);
bool file_is_temp_name(Str8 name, u64 *instance_id = nullptr);

// Directory iteration reports folders and regular files only: a symbolic link to a file
// counts as a file, one to a folder is not reported as a folder (a scan can never loop), and
// FIFOs, sockets and devices are left out. An empty folder path lists the file-system roots.
enum : u32 {
  DirSkipFolders = 0x1,
  DirSkipFiles = 0x2,
  DirSkipDotNames = 0x4,
  DirTypesOnly = 0x8, // size and times may be left zero: no file query per entry where the
                      // listing itself tells files from folders
};

struct DirEntry {
  Str8 name; // bare name
  u32 flags; // FilePropsFolder
  u64 size;
  DenseTime modified;
  DenseTime created;
};

struct DirIter;
DirIter *dir_iter_open(Arena *arena, Str8 folder, u32 filter);
bool dir_iter_next(Arena *arena, DirIter *iter, DirEntry *out);
void dir_iter_close(DirIter *iter);

// Change wake-ups: a wait that ends early once a file in a watched folder was closed after
// writing, moved in or out, or removed, so that a new file is looked at as soon as its writer is
// done and a file's end is seen at once. Only a
// hint to look again: it says nothing of which file, and where the system cannot tell (the
// Windows build, no watch left) the wait simply lasts until its deadline. A folder's watch
// lasts while the folder does; adding it again costs one call and changes nothing. One caller
// thread at a time.
void folder_watch_add(Str8 folder);
bool folder_watch_wait(u64 deadline); // true when woken by a change before the deadline

// The sync threads (written once). A sync waits for the disk, not the processor (about 2 ms
// each on a busy disk), so file_write_sync and folder_sync_many hand theirs to a few threads
// that wait together: a batch then costs about its slowest sync, not the sum of them. Started
// by process_init_facts and never stopped; a caller waits for its own syncs only. Their queue's
// critical section is taken alone.
void sync_threads_start();
// Testing hook, null in the program. Called on a sync thread before each sync (SyncBefore:
// false makes the sync fail, with that thread's last error as its reason) and right after it
// (SyncAfter), and by file_write_commit on the calling thread before it moves each temporary
// into place (SyncPlace, with the destination). `file` is the temporary's handle (0 for a
// folder and for SyncPlace), `path` the folder or the destination.
enum SyncEvent : u32 {
  SyncBefore = 1,
  SyncAfter = 2,
  SyncPlace = 3,
};
typedef bool SyncTestHook(SyncEvent event, FileHandle file, Str8 path);
extern SyncTestHook *sync_test_hook;

//~ Threads, locks and clocks (per operating system)
struct OsObject;
typedef void ThreadEntry(u64 arg);

// The thread gets its own ThreadContext (and, on POSIX, its alternate signal stack) before
// the entry runs; it is never joined.
OsObject *thread_create(ThreadEntry *entry, u64 arg);
void thread_set_name(const char *format, ...); // Linux keeps the first 15 bytes only
Str8 thread_get_name(Arena *arena);             // the calling thread's name as the system holds it
// Names the main thread, where that leaves the process its own name: on Linux the main
// thread's name is the process's (what ps, top, pgrep -x and killall match), so there the
// main thread keeps the program's name; on Windows a thread's name is its own.
void thread_set_main_name(const char *name);

OsObject *cs_create();
void cs_enter(OsObject *cs);
void cs_leave(OsObject *cs);

OsObject *srw_create();
void srw_lock_shared(OsObject *srw);
void srw_unlock_shared(OsObject *srw);
void srw_lock_exclusive(OsObject *srw);
void srw_unlock_exclusive(OsObject *srw);

// Deadlines are absolute microseconds of clock_now_us; DeadlineNone waits without limit and
// a deadline already past returns false at once. True when woken, false on time-out.
constexpr u64 DeadlineNone = ~0ull;
OsObject *cv_create();
bool cv_wait_cs(OsObject *cv, OsObject *cs, u64 deadline);
bool cv_wait_srw_shared(OsObject *cv, OsObject *srw, u64 deadline);
void cv_wake_all(OsObject *cv);

u64 clock_now_us(); // monotonic, no wrap-around
// The wall clock: microseconds since 1970-01-01 00:00 UTC (for logs and the times people read).
u64 clock_wall_us();
// 0xFFFFFFFF for DeadlineNone; otherwise whole milliseconds left, rounded up; 0 when past.
u32 deadline_to_ms(u64 deadline);
void sleep_ms(u32 ms);

//~ Process usage and listening sockets (per operating system, except where marked written once)
// What the system counts of this process, for the metrics server; a field the system does not
// offer stays 0.
struct ProcessUsage {
  u64 resident_bytes;
  u64 cpu_us;        // user and system time
  u64 start_wall_us; // when the process started, on clock_wall_us's scale
  u64 open_files;    // descriptors (POSIX) or handles (Windows)
};
bool process_usage_read(ProcessUsage *out);

// A TCP socket listening on one address only. Written once: net_address_split reads
// "127.0.0.1:9464" or "[::1]:9464" (port 0: the system picks one); false for anything else.
struct NetListener {
  u64 socket;
  u32 port; // the port bound, the system's pick for 0
  bool ipv6;
};
bool net_address_split(Str8 address, Str8 *host, u32 *port, bool *ipv6);
// False with *error (in arena) saying why: an address that is none, or the system's reason
// (an address in use, one not on this machine). The socket is not inherited by children.
bool net_listen(Arena *arena, Str8 address, NetListener *out, Str8 *error);
void net_close(u64 socket);

//~ HTTP server (written once, on libmicrohttpd)
// A small HTTP/1.1 server on one listening socket, answering on a thread of its own. Only GET
// and HEAD reach the handler (any other method: 405 with "Allow: GET, HEAD"); a request body is
// never read. At most HttpConnectionsMost connections at once, each closed after
// HttpIdleSeconds without progress, each with HttpConnectionMemory bytes for its request: a
// slow or malformed client costs the server's thread nothing more, and no other thread waits
// on it.
constexpr u32 HttpConnectionsMost = 16;
constexpr u32 HttpIdleSeconds = 10;
constexpr u64 HttpConnectionMemory = 32768;

struct HttpAnswer {
  u32 status;        // 200 unless the handler says otherwise
  Str8 content_type;
  Str8 body;         // in the handler's arena; copied before the arena goes
};
// Called on the server's thread, one request at a time; `path` is the request's path as the
// client sent it, percent-decoded, without the query. The arena lives until the answer is sent.
typedef void HttpHandler(Arena *arena, Str8 path, HttpAnswer *answer, void *user);
struct HttpServer;
// Takes the listener's socket (closed with the server, or at once on failure); null on failure.
HttpServer *http_serve(NetListener *listener, HttpHandler *handler, void *user);
void http_stop(HttpServer *server);

//~ Atomics (written once)
inline u64 atomic_add_u64(u64 *p, u64 n) { return std::atomic_ref<u64>(*p).fetch_add(n) + n; }
inline u64 atomic_load_u64(u64 *p) { return std::atomic_ref<u64>(*p).load(); }
inline void atomic_store_u64(u64 *p, u64 v) { std::atomic_ref<u64>(*p).store(v); }
inline u32 atomic_load_u32(u32 *p) { return std::atomic_ref<u32>(*p).load(); }
inline void atomic_store_u32(u32 *p, u32 v) { std::atomic_ref<u32>(*p).store(v); }
inline u32 atomic_exchange_u32(u32 *p, u32 v) { return std::atomic_ref<u32>(*p).exchange(v); }
inline bool atomic_cas_u32(u32 *p, u32 expected, u32 desired) {
  return std::atomic_ref<u32>(*p).compare_exchange_strong(expected, desired);
}

//~ String ring (written once)
// Records: the length as a u64, the bytes, zero to seven filler bytes up to a multiple of 8.
// Positions only grow; position p is byte p modulo capacity.
struct StringRing {
  u64 capacity; // a multiple of 8
  u64 write_pos;
  u64 read_pos;
  u8 *buffer;
  OsObject *cv;   // woken after every push and pop
  OsObject *lock; // guards positions and buffer
  u64 *waiting;   // each once: digests of the strings in the ring (0: a free slot), else null
  u64 waiting_mask;
};

// With `each_once`, a string is in the ring at most once: a push of one that waits there
// already changes nothing and succeeds.
void string_ring_init(StringRing *ring, Arena *arena, u64 capacity, bool each_once = false);
// Waits for room until the deadline: deadline 0 never waits, DeadlineNone as long as it takes.
// A string that can never fit (size + 8 > capacity) fails at once.
bool string_ring_push(StringRing *ring, Str8 s, u64 deadline);
Str8 string_ring_pop(StringRing *ring, Arena *arena); // blocks until a string is there
// The same, waiting only until the deadline: an empty view when none came by then.
Str8 string_ring_pop_until(StringRing *ring, Arena *arena, u64 deadline);
bool string_ring_is_empty(StringRing *ring);

//~ Console messages (written once)
// The levels of a message, by their labels; a note has no label.
enum MessageLevel : i32 {
  MessageNote = 1,
  MessageWarning = 2,
  MessageError = 3,
  MessageFatalError = 4,
};

struct Message {
  Message *next;
  i32 level; // MessageLevel
  Str8 text;
};

struct MessageList {
  Message *first;
  Message *last;
  u64 count;
  i32 worst; // the highest level added, 0 when none
};

Str8 message_label(i32 level);
void message_add(Arena *arena, MessageList *list, i32 level, Str8 text);
// Prints each message as "label:\n" then "text\n" when print is non-zero or out is null (the
// whole list in one console_print, so two workers' messages never interleave); appends label
// and text to out when it is given.
void message_report(Arena *arena, MessageList *list, Str8List *out, int print);
// The same for one source's messages: on the console each note's label line is the source's
// name, escaped as one line, so that a note never stands without the file it is about; out
// gets the empty label as above. An empty name prints as message_report does. In the JSON log
// each message is one line instead ("note", "warning" or "error"), naming `source` (the
// source's path below the input folder) when it is given.
void message_report_named(Arena *arena, MessageList *list, Str8List *out, int print, Str8 name, Str8 source = {});

// The console's form, chosen at set-up before any other thread prints: text for people (the
// default), or the JSON log, one object a line (base_json), for collectors.
void console_json_set(bool json);
bool console_json();

// Standard output's lines and the status line on standard error share one lock: a print clears
// the status line first and draws it again after, so on a terminal the two never mix.
// console_print writes the text whole to standard output and flushes it.
void console_print(Str8 text);
// The status line is drawn only where it is wanted: standard error is a terminal and --quiet
// was not given. console_status_show rewrites it in place (a carriage return, the text, spaces
// over what is left of the last one); console_status_clear blanks it for good.
bool console_status_wanted();
void console_status_show(Str8 text);
void console_status_clear();

//~ Libraries' standard error (per operating system, except where marked written once)
// Libraries print to standard error on their own (a codec meeting damaged data), between the
// program's lines and about no file in particular. A call into such a library is made between
// stderr_capture_begin and stderr_capture_end: while any such call is in flight, descriptor 2
// is a pipe, drained whenever one of them begins or ends, and what is read there is handed to
// the calls then in flight. The program's own writers (the status line, the fatal report, the
// arena's fatal line) go through console_error_write to the real standard error at all times.
// The calls' list and the turns of the stream are guarded by one critical section, taken alone.
constexpr u64 StderrCaptureMax = kib(2);
// One library call's share of what was printed; the caller's, from begin until it is done
// reading it after end.
struct StderrCapture {
  StderrCapture *next; // in flight, under the lock
  bool taken;          // begin turned the stream for this call; false when it cannot be taken
  // What was read while this call was the only one in flight, and while others were too (then
  // it may be theirs). Each keeps its first StderrCaptureMax bytes.
  u64 own_size;
  u64 shared_size;
  u8 own[StderrCaptureMax];
  u8 shared[StderrCaptureMax];
};
// Written once. Any thread; several calls may be in flight at once, and on any threads.
void stderr_capture_begin(StderrCapture *capture);
void stderr_capture_end(StderrCapture *capture);

// The per-system turns of the stream, under the capture lock. stderr_divert_open makes the
// pipe, once; false when standard error cannot be taken (it was closed at start, or no pipe).
// Neither end ever waits: a library writing into a full pipe loses what does not fit, and a
// read takes only what is there (0 when nothing is).
bool stderr_divert_open();
void stderr_divert(bool into_pipe); // descriptor 2 becomes the pipe, or the real standard error again
u64 stderr_divert_read(u8 *buffer, u64 capacity);
// The real standard error, whatever descriptor 2 is now; any thread, the whole text or nothing
// more once the system refuses.
void console_error_write(Str8 text);

//~ Fatal report (per operating system)
// Installed by process_init; also sets up the calling thread's alternate signal stack.
void fatal_report_install();
void fatal_report_thread_init(); // every thread calls this at start (thread_create does)

//~ Striped hash tables (written once)
#include "os/os_table.h"
