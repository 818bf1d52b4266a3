// Files and folders on POSIX. No shared state: paths become zero-terminated copies in the
// calling thread's scratch arena, results go to the caller's arena. A FileHandle is the file
// descriptor plus one, so that 0 stays "no file".
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "os/posix/os_posix_internal.h"

//~ Files and folders

// Larger requests come back short from the kernel (about 2 GiB per call), which the read
// loop would take for the end of the file.
constexpr u64 PosixIoChunk = gib(1);

//- helpers
// A path holding a zero byte would silently name a shorter path: it names nothing instead.
static char *posix_path(Arena *arena, Str8 path) {
  if (path.size && memchr(path.str, 0, path.size)) return nullptr;
  return cstr_from_str8(arena, path);
}

static int posix_fd(FileHandle file) { return (int)(file - 1); }

static DenseTime dense_time_from_posix_time(struct timespec ts) {
  struct tm tm = {};
  time_t seconds = ts.tv_sec;
  if (!gmtime_r(&seconds, &tm)) return 0;
  DateTime dt = {};
  dt.year = (u16)clamp_of(0, tm.tm_year + 1900, 0xFFFF);
  dt.month = (u8)tm.tm_mon;
  dt.week_day = (u8)tm.tm_wday;
  dt.day = (u8)tm.tm_mday;
  dt.hour = (u8)tm.tm_hour;
  dt.minute = (u8)tm.tm_min;
  dt.second = (u8)tm.tm_sec;
  dt.millisecond = (u16)(ts.tv_nsec / 1000000);
  return dense_time_from_date_time(dt);
}

struct PosixStat {
  u32 mode;
  u64 size;
  struct timespec modified;
  struct timespec created; // birth time when the file system keeps one, else change time
};

// statx gives the birth time; where it is missing or refused (old kernels, some container
// filters) the classic call still gives everything else.
static bool posix_stat_at(int dir, const char *name, int flags, PosixStat *out) {
  struct statx sx;
  if (statx(dir, name, flags, STATX_BASIC_STATS | STATX_BTIME, &sx) == 0) {
    out->mode = sx.stx_mode;
    out->size = sx.stx_size;
    out->modified = {(time_t)sx.stx_mtime.tv_sec, (long)sx.stx_mtime.tv_nsec};
    if (sx.stx_mask & STATX_BTIME) {
      out->created = {(time_t)sx.stx_btime.tv_sec, (long)sx.stx_btime.tv_nsec};
    } else {
      out->created = {(time_t)sx.stx_ctime.tv_sec, (long)sx.stx_ctime.tv_nsec};
    }
    return true;
  }
  if (errno != ENOSYS && errno != EPERM) return false;
  struct stat st;
  if (fstatat(dir, name, &st, flags) != 0) return false;
  out->mode = st.st_mode;
  out->size = (u64)st.st_size;
  out->modified = st.st_mtim;
  out->created = st.st_ctim;
  return true;
}

static FileProps file_props_from_stat(const PosixStat *st) {
  FileProps props = {};
  props.flags = FilePropsExists;
  if (S_ISDIR(st->mode)) {
    props.flags |= FilePropsFolder;
  } else {
    props.size = st->size;
  }
  props.modified = dense_time_from_posix_time(st->modified);
  props.created = dense_time_from_posix_time(st->created);
  props.modified_ns = (u64)st->modified.tv_sec * 1000000000ull + (u64)st->modified.tv_nsec;
  return props;
}

static bool posix_is_folder(const char *path) {
  struct stat st;
  return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// A temporary's name carries the process's and the thread's ids, each asked of the system
// once (neither call is answered without entering the kernel).
static u32 posix_process_id() {
  u32 id = proc_info()->process_id;
  return id ? id : (u32)getpid();
}

static u32 posix_thread_id() {
  static thread_local u32 id = (u32)gettid();
  return id;
}

//- properties
FileProps file_props_from_handle(FileHandle file) {
  PosixStat st;
  if (file == 0 || !posix_stat_at(posix_fd(file), "", AT_EMPTY_PATH, &st)) return FileProps{};
  return file_props_from_stat(&st);
}

FileProps file_props_from_path(Str8 path) {
  Scratch scratch = scratch_begin(nullptr);
  FileProps props = {};
  PosixStat st;
  char *cpath = posix_path(scratch.arena, path);
  if (cpath && cpath[0]) {
    if (posix_stat_at(AT_FDCWD, cpath, 0, &st)) {
      props = file_props_from_stat(&st);
    } else if (errno != ENOENT && errno != ENOTDIR) {
      // a listing may still name it: ENAMETOOLONG, EACCES on a folder on the way
      props.flags = FilePropsUnreachable;
    }
  }
  scratch_restore(scratch);
  return props;
}

// POSIX has no mandatory sharing modes that would tell a writer apart: the unchanged size and
// time around the read are the whole test.
bool file_is_complete(Str8) { return true; }

//- open and close
// Only regular files give a handle. Opening is non-blocking, so a FIFO never stalls the
// caller; it is then refused with folders and devices, because every read here is sized by
// the file's length, which those do not have.
FileHandle file_open(u32 flags, Str8 path) {
  bool write = (flags & FileOpenWrite) != 0;
  bool read = (flags & (FileOpenRead | FileOpenExecute)) != 0;
  int oflags = O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
  oflags |= write ? (read ? O_RDWR : O_WRONLY) : O_RDONLY;
  if (flags & FileOpenAlways) {
    oflags |= O_CREAT;
  } else if (write && (flags & FileOpenNew)) {
    oflags |= O_CREAT | O_EXCL;
  } else if (write) {
    oflags |= O_CREAT | O_TRUNC;
  }

  Scratch scratch = scratch_begin(nullptr);
  FileHandle result = 0;
  char *cpath = posix_path(scratch.arena, path);
  if (cpath) {
    int fd = open(cpath, oflags, 0666);
    if (fd >= 0) {
      struct stat st;
      if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        result = (FileHandle)fd + 1;
      } else {
        close(fd);
      }
    }
  }
  int error = errno;
  scratch_restore(scratch);
  errno = error;
  return result;
}

bool file_close(FileHandle file) {
  if (file == 0) return true;
  return close(posix_fd(file)) == 0;
}

//- reading
u64 file_read_range(FileHandle file, RangeU64 range, void *dst) {
  if (file == 0) return 0;
  int fd = posix_fd(file);
  struct stat st;
  if (fstat(fd, &st) != 0) return 0;
  u64 size = (u64)st.st_size;
  u64 end = min_of(range.max, size);
  u64 first = min_of(range.min, end);
  u64 count = end - first;
  u64 total = 0;
  while (total < count) {
    u64 ask = min_of(count - total, PosixIoChunk);
    ssize_t n = pread(fd, (u8 *)dst + total, ask, (off_t)(first + total));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    total += (u64)n;
    if ((u64)n < ask) break;
  }
  return total;
}

//- writing
u64 file_write_range(FileHandle file, RangeU64 range, const void *data) {
  if (file == 0 || range.max <= range.min) return 0;
  int fd = posix_fd(file);
  u64 count = range.max - range.min;
  u64 total = 0;
  while (total < count) {
    u64 ask = min_of(count - total, PosixIoChunk);
    ssize_t n = pwrite(fd, (const u8 *)data + total, ask, (off_t)(range.min + total));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    total += (u64)n;
  }
  return total;
}

// Writes and syncs the temporary, then renames it over the destination; whatever fails
// removes the temporary again.
bool file_write_begin(Arena *arena, Str8 path, Str8 data, u32 flags, PendingWrite *out) {
  *out = PendingWrite{};
  if (path.size == 0 || ((flags & WriteAllMakeParents) && !folder_make_parents(path))) return false;
  Str8 temp = file_temp_path(arena, path, proc_info()->instance_id, posix_process_id(), posix_thread_id());
  int fd = open((char *)temp.str, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
  if (fd < 0) return false;
  if (file_write_range((FileHandle)fd + 1, RangeU64{0, data.size}, data.str) != data.size) {
    int error = errno ? errno : EIO;
    close(fd);
    unlink((char *)temp.str);
    errno = error;
    return false;
  }
  // Writing out starts now; the sync at the commit then mostly waits for the journal, and the
  // first file's sync commits the others' sizes and blocks along with its own.
  sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
  out->path = str8_copy(arena, path);
  out->temp = temp;
  out->file = (FileHandle)fd + 1;
  out->arena = arena;
  out->flags = flags;
  return true;
}

void file_write_commit(PendingWrite *writes, u64 count, bool *ok) {
  Scratch syncs = scratch_begin(nullptr);
  PendingWrite **open = arena_push<PendingWrite *>(syncs.arena, max_of(count, (u64)1));
  for (u64 i = 0; i < count; i += 1) open[i] = &writes[i];
  file_write_sync(open, count);
  scratch_restore(syncs);
  int error = 0; // the first failure's, for file_last_error_text
  for (u64 i = 0; i < count; i += 1) {
    ok[i] = writes[i].durable;
    if (!ok[i] && !error) error = writes[i].error ? (int)writes[i].error : EIO;
  }
  bool failed = false;
  for (u64 i = 0; i < count; i += 1) {
    if (!writes[i].temp.size) {
      ok[i] = false;
      failed = true;
      continue;
    }
    Scratch scratch = scratch_begin(nullptr);
    char *cpath = posix_path(scratch.arena, writes[i].path);
    if (ok[i] && !failed && sync_test_hook) sync_test_hook(SyncPlace, 0, writes[i].path);
    if (writes[i].flags & WriteKeepOther) {
      ok[i] = ok[i] && !failed && cpath && file_place_keeping_other(&writes[i]);
    } else {
      ok[i] = ok[i] && !failed && cpath && rename((char *)writes[i].temp.str, cpath) == 0;
    }
    if (!ok[i]) {
      if (!error) error = errno ? errno : EIO;
      unlink((char *)writes[i].temp.str);
      failed = true;
    }
    scratch_restore(scratch);
  }
  if (error) errno = error;
}

void file_write_cancel(PendingWrite *write) {
  if (write->file) close(posix_fd(write->file));
  if (write->temp.size) unlink((char *)write->temp.str);
  *write = PendingWrite{};
}

bool file_delete(Str8 path) {
  Scratch scratch = scratch_begin(nullptr);
  char *cpath = posix_path(scratch.arena, path);
  if (!cpath) errno = EINVAL;
  bool ok = cpath && unlink(cpath) == 0;
  int error = errno;
  scratch_restore(scratch);
  errno = error;
  return ok;
}

// strerror_r is the GNU one (a string back) or the XSI one (a status back), by the headers.
[[maybe_unused]] static const char *posix_error_message(char *given, char *) { return given; }
[[maybe_unused]] static const char *posix_error_message(int status, char *buffer) { return status == 0 ? buffer : nullptr; }

Str8 file_last_error_text(Arena *arena) {
  int error = errno;
  char buffer[256] = {};
  const char *text = posix_error_message(strerror_r(error, buffer, sizeof(buffer)), buffer);
  Str8 result = text && text[0] ? str8_copy(arena, str8_cstring(text)) : arena_format(arena, "error %d", error);
  errno = error;
  return result;
}

bool file_last_error_exists() { return errno == EEXIST; }
bool file_last_error_missing() { return errno == ENOENT; }

u32 file_last_error_code() { return (u32)errno; }
void file_last_error_set(u32 code) { errno = (int)code; }

//- moving
// Renames without replacing: renameat2 where the kernel and the file system have it, else a
// new hard link (which never replaces either) and the old name removed.
static FileMoveResult posix_rename_no_replace(const char *from, const char *to) {
  if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return FileMoveDone;
  if (errno == EEXIST) return FileMoveTaken;
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP && errno != EPERM) return FileMoveFailed;
  if (link(from, to) != 0) return errno == EEXIST ? FileMoveTaken : FileMoveFailed;
  if (unlink(from) != 0) {
    int error = errno;
    unlink(to);
    errno = error;
    return FileMoveFailed;
  }
  return FileMoveDone;
}

FileMoveResult file_rename_no_replace(Str8 from, Str8 to) {
  Scratch scratch = scratch_begin(nullptr);
  char *cfrom = posix_path(scratch.arena, from);
  char *cto = posix_path(scratch.arena, to);
  if (!cfrom || !cto) errno = EINVAL;
  FileMoveResult result = cfrom && cto ? posix_rename_no_replace(cfrom, cto) : FileMoveFailed;
  int error = errno;
  scratch_restore(scratch);
  errno = error;
  return result;
}

static bool posix_sync_parent(Arena *arena, Str8 path) {
  return folder_sync(str8_copy(arena, str8_parent_folder(path)));
}

static bool posix_same_stat(const struct stat *a, const struct stat *b) {
  return a->st_size == b->st_size && a->st_mtim.tv_sec == b->st_mtim.tv_sec && a->st_mtim.tv_nsec == b->st_mtim.tv_nsec;
}

// The copy across file systems: a synced temporary beside the destination, renamed into place
// without replacing, the folder synced, then the source removed. Any failure removes what
// was made and leaves the source alone; errno is the failure's.
static FileMoveResult posix_move_by_copy(Arena *arena, const char *from, Str8 to_path, const char *to) {
  int src = open(from, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (src < 0) return FileMoveFailed;
  struct stat before;
  bool stated = fstat(src, &before) == 0;
  if (!stated || !S_ISREG(before.st_mode)) {
    int error = stated ? EINVAL : errno;
    close(src);
    errno = error;
    return FileMoveFailed;
  }
  Str8 temp = file_temp_path(arena, to_path, proc_info()->instance_id, posix_process_id(), posix_thread_id());
  int dst = open((char *)temp.str, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0600);
  if (dst < 0) {
    int error = errno;
    close(src);
    errno = error;
    return FileMoveFailed;
  }
  constexpr u64 Chunk = mib(1);
  u8 *buffer = arena_push_uninit<u8>(arena, Chunk);
  bool ok = true;
  for (u64 at = 0; ok;) {
    ssize_t got = pread(src, buffer, Chunk, (off_t)at);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) ok = false;
    if (got <= 0) break;
    ok = file_write_range((FileHandle)dst + 1, RangeU64{at, at + (u64)got}, buffer) == (u64)got;
    if (!ok && errno == 0) errno = EIO;
    at += (u64)got;
  }
  struct stat after;
  if (ok && (fstat(src, &after) != 0 || !posix_same_stat(&before, &after))) {
    ok = false;
    errno = EAGAIN; // the source changed while it was copied
  }
  ok = ok && fchmod(dst, before.st_mode & 0777) == 0 && fsync(dst) == 0;
  int error = errno;
  ok = close(dst) == 0 && ok;
  close(src);
  FileMoveResult result = FileMoveFailed;
  if (ok) {
    result = posix_rename_no_replace((char *)temp.str, to);
    error = errno;
  }
  if (result != FileMoveDone) {
    unlink((char *)temp.str);
    errno = error;
    return result;
  }
  if (!posix_sync_parent(arena, to_path) || unlink(from) != 0) {
    error = errno;
    unlink(to);
    posix_sync_parent(arena, to_path);
    errno = error;
    return FileMoveFailed;
  }
  return FileMoveDone;
}

FileMoveResult file_move_no_replace(Str8 from, Str8 to) {
  Scratch scratch = scratch_begin(nullptr);
  char *cfrom = posix_path(scratch.arena, from);
  char *cto = posix_path(scratch.arena, to);
  FileMoveResult result = FileMoveFailed;
  if (!cfrom || !cto) {
    errno = EINVAL;
  } else {
    result = posix_rename_no_replace(cfrom, cto);
    if (result == FileMoveFailed && errno == EXDEV) {
      result = posix_move_by_copy(scratch.arena, cfrom, to, cto);
    } else if (result == FileMoveDone) {
      // The rename is one step: once it happened the file is in place, synced folder or not.
      posix_sync_parent(scratch.arena, to);
    }
  }
  int error = errno;
  scratch_restore(scratch);
  errno = error;
  return result;
}

//- folders
// Another thread or process making the same folder at the same moment is success, not a
// failure: the folder is there either way.
static bool posix_folder_ensure(const char *cpath) {
  if (posix_is_folder(cpath)) return true;
  if (mkdir(cpath, 0777) == 0) return true;
  if (errno != EEXIST) return false;
  if (posix_is_folder(cpath)) return true;
  errno = ENOTDIR; // a file holds the name
  return false;
}

bool folder_ensure(Str8 path) {
  Scratch scratch = scratch_begin(nullptr);
  char *cpath = posix_path(scratch.arena, path);
  bool ok = cpath && posix_folder_ensure(cpath);
  scratch_restore(scratch);
  return ok;
}

bool file_sync(FileHandle file) { return file != 0 && fsync(posix_fd(file)) == 0; }

bool folder_remove_empty(Str8 path) {
  Scratch scratch = scratch_begin(nullptr);
  char *cpath = posix_path(scratch.arena, path);
  bool ok = cpath && rmdir(cpath) == 0;
  scratch_restore(scratch);
  return ok;
}

//- locks for life
// Open file description locks belong to the handle, so two handles of one process conflict too
// (a test's instances share a process); a kernel without them gets the classic process locks.
static constexpr off_t PosixLockOffset = off_t(1) << 40;

static int posix_lock(int fd, int command, struct flock *lock) {
  int ofd = command == F_GETLK ? F_OFD_GETLK : F_OFD_SETLK;
  if (fcntl(fd, ofd, lock) == 0) return 0;
  if (errno != EINVAL) return -1;
  lock->l_pid = 0;
  return fcntl(fd, command, lock);
}

static struct flock posix_lock_range(short type) {
  struct flock lock = {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = PosixLockOffset;
  lock.l_len = 1;
  return lock;
}

bool file_lock_hold(FileHandle file) {
  struct flock lock = posix_lock_range(F_WRLCK);
  return file != 0 && posix_lock(posix_fd(file), F_SETLK, &lock) == 0;
}

FileLockState file_lock_probe(FileHandle file) {
  struct flock lock = posix_lock_range(F_WRLCK);
  if (file == 0 || posix_lock(posix_fd(file), F_GETLK, &lock) != 0) return FileLockUnknown;
  return lock.l_type == F_UNLCK ? FileLockFree : FileLockHeld;
}

// The running kernel (its boot id, the same in every container on it) and the mount (its device).
Str8 folder_lock_domain(Arena *arena, Str8 folder) {
  Scratch scratch = scratch_begin(arena);
  Str8 result = {};
  char *cpath = posix_path(scratch.arena, folder);
  struct stat st;
  int fd = open("/proc/sys/kernel/random/boot_id", O_RDONLY | O_CLOEXEC);
  if (fd >= 0 && cpath && stat(cpath, &st) == 0) {
    char boot[64] = {};
    ssize_t n = read(fd, boot, sizeof(boot) - 1);
    while (n > 0 && (boot[n - 1] == '\n' || boot[n - 1] == ' ')) n -= 1;
    if (n > 0) result = arena_format(arena, "%S:%llx", str8((u8 *)boot, (u64)n), (unsigned long long)st.st_dev);
  }
  if (fd >= 0) close(fd);
  scratch_restore(scratch);
  return result;
}

bool folder_sync(Str8 path) {
  Scratch scratch = scratch_begin(nullptr);
  char *cpath = posix_path(scratch.arena, path);
  bool ok = false;
  if (cpath) {
    int fd = open(cpath, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
      ok = fsync(fd) == 0;
      close(fd);
    }
  }
  scratch_restore(scratch);
  return ok;
}

// A temporary is made there and given the room asked for, then removed: the folder's
// permissions, the free blocks and any quota all have their say. Where the file system cannot
// reserve room, its free-block count answers instead.
bool folder_can_take(Str8 folder, u64 bytes) {
  Scratch scratch = scratch_begin(nullptr);
  Str8 probe = file_temp_path(scratch.arena, arena_format(scratch.arena, "%S/probe", folder),
                              proc_info()->instance_id, posix_process_id(), posix_thread_id());
  int fd = open((char *)probe.str, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0600);
  bool ok = fd >= 0;
  if (ok && bytes > 0) {
    if (fallocate(fd, 0, 0, (off_t)bytes) != 0) {
      struct statvfs fs;
      ok = (errno == EOPNOTSUPP || errno == ENOSYS) && fstatvfs(fd, &fs) == 0 &&
           (u64)(geteuid() == 0 ? fs.f_bfree : fs.f_bavail) * fs.f_frsize >= bytes;
    }
  }
  int error = errno;
  if (fd >= 0) {
    close(fd);
    unlink((char *)probe.str);
  }
  scratch_restore(scratch);
  errno = error;
  return ok;
}

bool folder_can_list(Str8 folder) {
  Scratch scratch = scratch_begin(nullptr);
  char *cpath = posix_path(scratch.arena, folder);
  if (!cpath) errno = EINVAL;
  DIR *dir = cpath ? opendir(cpath) : nullptr;
  int error = errno;
  if (dir) closedir(dir);
  scratch_restore(scratch);
  errno = error;
  return dir != nullptr;
}

//- directory iteration
struct DirIter {
  DIR *dir;
  u32 filter;
  bool root_pending; // an empty folder path lists the root once
};

DirIter *dir_iter_open(Arena *arena, Str8 folder, u32 filter) {
  DirIter *iter = arena_push<DirIter>(arena);
  iter->filter = filter;
  if (folder.size == 0) {
    iter->root_pending = true;
    return iter;
  }
  Scratch scratch = scratch_begin(arena);
  char *cpath = posix_path(scratch.arena, folder);
  if (cpath) iter->dir = opendir(cpath);
  scratch_restore(scratch);
  return iter;
}

// The root's entry has an empty name, so that joining "%S/%S" gives "/<name>" below it.
bool dir_iter_next(Arena *arena, DirIter *iter, DirEntry *out) {
  if (iter->root_pending) {
    iter->root_pending = false;
    *out = DirEntry{};
    out->name = str8_copy(arena, Str8{});
    out->flags = FilePropsFolder;
    return true;
  }
  if (!iter->dir) return false;
  for (struct dirent *d = readdir(iter->dir); d; d = readdir(iter->dir)) {
    Str8 name = str8_cstring(d->d_name);
    if (str8_equals(name, str8_lit("."), 0) || str8_equals(name, str8_lit(".."), 0)) continue;
    if ((iter->filter & DirSkipDotNames) && name.str[0] == '.') continue;
    if (d->d_type == DT_DIR && (iter->filter & DirSkipFolders)) continue;
    if (d->d_type == DT_REG && (iter->filter & DirSkipFiles)) continue;

    // the listing's own type, when it has one and that is all the caller wants
    if ((iter->filter & DirTypesOnly) && (d->d_type == DT_REG || d->d_type == DT_DIR)) {
      *out = DirEntry{};
      out->name = str8_copy(arena, name);
      out->flags = d->d_type == DT_DIR ? (u32)FilePropsFolder : 0u;
      return true;
    }

    // a link counts by what it points at, but only a file: a linked folder could loop
    PosixStat st;
    int fd = dirfd(iter->dir);
    if (!posix_stat_at(fd, d->d_name, AT_SYMLINK_NOFOLLOW, &st)) continue;
    bool link = S_ISLNK(st.mode);
    if (link && !posix_stat_at(fd, d->d_name, 0, &st)) continue;
    bool folder = S_ISDIR(st.mode);
    if (!folder && !S_ISREG(st.mode)) continue;
    if (folder && link) continue;
    if (folder ? (iter->filter & DirSkipFolders) : (iter->filter & DirSkipFiles)) continue;

    FileProps props = file_props_from_stat(&st);
    *out = DirEntry{};
    out->name = str8_copy(arena, name);
    out->flags = props.flags & FilePropsFolder;
    out->size = props.size;
    out->modified = props.modified;
    out->created = props.created;
    return true;
  }
  closedir(iter->dir);
  iter->dir = nullptr;
  return false;
}

void dir_iter_close(DirIter *iter) {
  if (iter && iter->dir) {
    closedir(iter->dir);
    iter->dir = nullptr;
  }
}

//- change wake-ups
// One inotify descriptor for the process, made at the first watch. Only a close after writing
// and a move into the folder count: a file still being written wakes nobody, and the
// streamers' own reads close without writing.
static int g_watch_fd = -1;
static bool g_watch_failed;

void folder_watch_add(Str8 folder) {
  if (g_watch_fd < 0 && !g_watch_failed) {
    g_watch_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    g_watch_failed = g_watch_fd < 0;
  }
  if (g_watch_fd < 0) return;
  Scratch scratch = scratch_begin(nullptr);
  char *cpath = posix_path(scratch.arena, folder);
  if (cpath) inotify_add_watch(g_watch_fd, cpath, IN_CLOSE_WRITE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM | IN_ONLYDIR);
  scratch_restore(scratch);
}

bool folder_watch_wait(u64 deadline) {
  if (g_watch_fd < 0) {
    u32 ms = deadline_to_ms(deadline);
    if (ms > 0) sleep_ms(ms);
    return false;
  }
  struct pollfd p = {g_watch_fd, POLLIN, 0};
  for (;;) {
    u32 ms = deadline_to_ms(deadline);
    int ready = poll(&p, 1, ms == 0xFFFFFFFFu ? -1 : (int)min_of<u32>(ms, 0x7FFFFFFF));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    break;
  }
  // the events themselves say nothing the next pass would not find: they are only drained
  alignas(struct inotify_event) char events[4096];
  while (read(g_watch_fd, events, sizeof(events)) > 0) {
  }
  return true;
}
