// Files and folders on Windows. No shared state: paths become zero-terminated UTF-16 copies in
// the calling thread's scratch arena, results go to the caller's arena. A FileHandle is the
// system's handle; the invalid-handle value never escapes, 0 stands for no file.
#include "os/win32/os_win32_internal.h"

//~ Files and folders

// ReadFile and WriteFile take 32-bit counts.
constexpr u64 Win32IoChunk = 0xFFFFFFFFull;

//- helpers
wchar_t *win32_path(Arena *arena, Str8 path) {
  if (path.size && memchr(path.str, 0, path.size)) return nullptr;
  return (wchar_t *)str16_from_str8(arena, path).str;
}

static HANDLE win32_handle(FileHandle file) { return (HANDLE)(uintptr_t)file; }

static u64 u64_from_halves(DWORD high, DWORD low) { return ((u64)high << 32) | low; }

DenseTime dense_time_from_filetime(FILETIME ft) {
  SYSTEMTIME st = {};
  if (!FileTimeToSystemTime(&ft, &st)) return 0;
  DateTime dt = {};
  dt.year = st.wYear;
  dt.month = (u8)(st.wMonth - 1);
  dt.week_day = (u8)st.wDayOfWeek;
  dt.day = (u8)st.wDay;
  dt.hour = (u8)st.wHour;
  dt.minute = (u8)st.wMinute;
  dt.second = (u8)st.wSecond;
  dt.millisecond = st.wMilliseconds;
  return dense_time_from_date_time(dt);
}

// 100 ns ticks since 1601 become nanoseconds since 1970; only ever compared for equality.
static u64 ns_from_filetime(FILETIME ft) {
  u64 ticks = u64_from_halves(ft.dwHighDateTime, ft.dwLowDateTime);
  return (ticks - 116444736000000000ull) * 100ull;
}

static FileProps file_props_from_parts(DWORD attributes, DWORD size_high, DWORD size_low, FILETIME modified,
                                       FILETIME created) {
  FileProps props = {};
  props.flags = FilePropsExists;
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    props.flags |= FilePropsFolder;
  } else {
    props.size = u64_from_halves(size_high, size_low);
  }
  props.modified = dense_time_from_filetime(modified);
  props.created = dense_time_from_filetime(created);
  props.modified_ns = ns_from_filetime(modified);
  return props;
}

static bool win32_is_folder(const wchar_t *path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  return GetFileAttributesExW(path, GetFileExInfoStandard, &data) && (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
}

//- properties
FileProps file_props_from_handle(FileHandle file) {
  BY_HANDLE_FILE_INFORMATION info;
  if (file == 0 || !GetFileInformationByHandle(win32_handle(file), &info)) return FileProps{};
  return file_props_from_parts(info.dwFileAttributes, info.nFileSizeHigh, info.nFileSizeLow, info.ftLastWriteTime,
                               info.ftCreationTime);
}

// Asked of the file itself, not of its folder's listing: a folder entry's size and time lag
// behind a file that another handle is still writing, and a listing would take "*" and "?"
// in the path as patterns.
FileProps file_props_from_path(Str8 path) {
  Scratch scratch = scratch_begin(nullptr);
  FileProps props = {};
  wchar_t *wpath = win32_path(scratch.arena, path);
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (wpath && wpath[0] && GetFileAttributesExW(wpath, GetFileExInfoStandard, &data)) {
    props = file_props_from_parts(data.dwFileAttributes, data.nFileSizeHigh, data.nFileSizeLow, data.ftLastWriteTime,
                                  data.ftCreationTime);
  }
  scratch_restore(scratch);
  return props;
}

// A writer holds its handle with write access; asking for the file without sharing write
// access fails with a sharing violation until every such handle is closed.
bool file_is_complete(Str8 path) {
  Scratch scratch = scratch_begin(nullptr);
  bool complete = true;
  wchar_t *wpath = win32_path(scratch.arena, path);
  if (wpath && wpath[0]) {
    HANDLE h = CreateFileW(wpath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      CloseHandle(h);
    } else {
      complete = GetLastError() != ERROR_SHARING_VIOLATION;
    }
  }
  scratch_restore(scratch);
  return complete;
}

//- open and close
// Only files on disk give a handle: folders fail to open without backup semantics, and
// devices and pipes ("CON", "\\.\pipe\x") are refused, because every read here is sized by
// the file's length, which those do not have.
FileHandle file_open(u32 flags, Str8 path) {
  DWORD access = 0;
  if (flags & FileOpenRead) access |= GENERIC_READ;
  if (flags & FileOpenWrite) access |= GENERIC_WRITE;
  if (flags & FileOpenExecute) access |= GENERIC_EXECUTE;
  DWORD share = 0;
  if (flags & FileShareRead) share |= FILE_SHARE_READ;
  if (flags & FileShareWriteDelete) share |= FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  DWORD disposition = OPEN_EXISTING;
  if (flags & FileOpenAlways) {
    disposition = OPEN_ALWAYS;
  } else if ((flags & FileOpenWrite) && (flags & FileOpenNew)) {
    disposition = CREATE_NEW;
  } else if (flags & FileOpenWrite) {
    disposition = CREATE_ALWAYS;
  }

  Scratch scratch = scratch_begin(nullptr);
  FileHandle result = 0;
  wchar_t *wpath = win32_path(scratch.arena, path);
  // Windows refuses to write a read-only file; wine run by root would truncate it, so the
  // attribute is looked at first.
  DWORD attributes = wpath && (flags & FileOpenWrite) ? GetFileAttributesW(wpath) : INVALID_FILE_ATTRIBUTES;
  bool read_only = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY);
  if (wpath && wpath[0] && !read_only) {
    HANDLE h = CreateFileW(wpath, access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      if (GetFileType(h) == FILE_TYPE_DISK) {
        result = (FileHandle)(uintptr_t)h;
      } else {
        CloseHandle(h);
      }
    }
  }
  DWORD error = GetLastError();
  scratch_restore(scratch);
  SetLastError(error);
  return result;
}

bool file_close(FileHandle file) {
  if (file == 0) return true;
  return CloseHandle(win32_handle(file)) != 0;
}

//- reading
u64 file_read_range(FileHandle file, RangeU64 range, void *dst) {
  if (file == 0) return 0;
  HANDLE h = win32_handle(file);
  LARGE_INTEGER size;
  if (!GetFileSizeEx(h, &size)) return 0;
  u64 end = min_of(range.max, (u64)size.QuadPart);
  u64 first = min_of(range.min, end);
  u64 count = end - first;
  u64 total = 0;
  while (total < count) {
    u64 offset = first + total;
    DWORD ask = (DWORD)min_of(count - total, Win32IoChunk);
    OVERLAPPED at = {};
    at.Offset = (DWORD)offset;
    at.OffsetHigh = (DWORD)(offset >> 32);
    DWORD got = 0;
    if (!ReadFile(h, (u8 *)dst + total, ask, &got, &at)) break;
    total += got;
    if (got < ask) break;
  }
  return total;
}

//- writing
u64 file_write_range(FileHandle file, RangeU64 range, const void *data) {
  if (file == 0 || range.max <= range.min) return 0;
  HANDLE h = win32_handle(file);
  u64 count = range.max - range.min;
  u64 total = 0;
  while (total < count) {
    u64 offset = range.min + total;
    DWORD ask = (DWORD)min_of(count - total, Win32IoChunk);
    OVERLAPPED at = {};
    at.Offset = (DWORD)offset;
    at.OffsetHigh = (DWORD)(offset >> 32);
    DWORD put = 0;
    if (!WriteFile(h, (const u8 *)data + total, ask, &put, &at) || put == 0) break;
    total += put;
  }
  return total;
}

// Replacing a file that another handle holds without delete sharing fails at once with
// "access denied" or a sharing violation: another replace of the same path, a reader, a virus
// scanner or the indexer. Those holds are short, so the move is retried for about two seconds
// before the write is reported as failed.
static bool win32_move_replacing(const wchar_t *from, const wchar_t *to) {
  for (u32 attempt = 0;; attempt += 1) {
    if (MoveFileExW(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
    DWORD error = GetLastError();
    bool held = error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
    // a folder or a read-only file in the way refuses for good
    DWORD attributes = GetFileAttributesW(to);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY))) {
      held = false;
    }
    if (!held || attempt == 100) return false;
    Sleep(attempt < 10 ? 1 : 20);
  }
}

bool file_write_begin(Arena *arena, Str8 path, Str8 data, u32 flags, PendingWrite *out) {
  *out = PendingWrite{};
  if (path.size == 0 || ((flags & WriteAllMakeParents) && !folder_make_parents(path))) return false;
  Str8 temp =
      file_temp_path(arena, path, proc_info()->instance_id, (u32)GetCurrentProcessId(), (u32)GetCurrentThreadId());
  Scratch scratch = scratch_begin(arena);
  wchar_t *wtemp = win32_path(scratch.arena, temp);
  HANDLE h = wtemp ? CreateFileW(wtemp, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr)
                   : INVALID_HANDLE_VALUE;
  bool ok = h != INVALID_HANDLE_VALUE;
  if (ok && file_write_range((FileHandle)(uintptr_t)h, RangeU64{0, data.size}, data.str) != data.size) {
    DWORD error = GetLastError() ? GetLastError() : ERROR_WRITE_FAULT;
    CloseHandle(h);
    DeleteFileW(wtemp);
    SetLastError(error);
    ok = false;
  }
  scratch_restore(scratch);
  if (!ok) return false;
  out->path = str8_copy(arena, path);
  out->temp = temp;
  out->file = (FileHandle)(uintptr_t)h;
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
  DWORD error = 0; // the first failure's, for file_last_error_text
  for (u64 i = 0; i < count; i += 1) {
    ok[i] = writes[i].durable;
    if (!ok[i] && !error) error = writes[i].error ? (DWORD)writes[i].error : ERROR_WRITE_FAULT;
  }
  bool failed = false;
  for (u64 i = 0; i < count; i += 1) {
    Scratch scratch = scratch_begin(nullptr);
    wchar_t *wtemp = writes[i].temp.size ? win32_path(scratch.arena, writes[i].temp) : nullptr;
    wchar_t *wpath = win32_path(scratch.arena, writes[i].path);
    if (ok[i] && !failed && sync_test_hook) sync_test_hook(SyncPlace, 0, writes[i].path);
    if (writes[i].flags & WriteKeepOther) {
      ok[i] = ok[i] && !failed && wtemp && wpath && file_place_keeping_other(&writes[i]);
    } else {
      ok[i] = ok[i] && !failed && wtemp && wpath && win32_move_replacing(wtemp, wpath);
    }
    if (!ok[i]) {
      if (!error) error = GetLastError() ? GetLastError() : ERROR_WRITE_FAULT;
      if (wtemp) DeleteFileW(wtemp);
      failed = true;
    }
    scratch_restore(scratch);
  }
  if (error) SetLastError(error);
}

void file_write_cancel(PendingWrite *write) {
  if (write->file) CloseHandle((HANDLE)(uintptr_t)write->file);
  if (write->temp.size) {
    Scratch scratch = scratch_begin(nullptr);
    if (wchar_t *wtemp = win32_path(scratch.arena, write->temp)) DeleteFileW(wtemp);
    scratch_restore(scratch);
  }
  *write = PendingWrite{};
}

bool file_delete(Str8 path) {
  Scratch scratch = scratch_begin(nullptr);
  wchar_t *wpath = win32_path(scratch.arena, path);
  if (!wpath) SetLastError(ERROR_INVALID_NAME);
  bool ok = wpath && DeleteFileW(wpath) != 0;
  DWORD error = GetLastError();
  scratch_restore(scratch);
  SetLastError(error);
  return ok;
}

bool file_last_error_exists() {
  DWORD error = GetLastError();
  return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS;
}

bool file_last_error_missing() {
  DWORD error = GetLastError();
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

u32 file_last_error_code() { return (u32)GetLastError(); }
void file_last_error_set(u32 code) { SetLastError((DWORD)code); }

Str8 file_last_error_text(Arena *arena) {
  DWORD error = GetLastError();
  wchar_t *text = nullptr;
  DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                nullptr, error, 0, (LPWSTR)&text, 0, nullptr);
  Str8 result = {};
  if (length > 0 && text) {
    Str8 message = str8_trim_back_space(str8_from_str16(arena, Str16{(u16 *)text, length}));
    if (message.size > 0 && message.str[message.size - 1] == '.') message.size -= 1;
    result = message;
  }
  if (text) LocalFree(text);
  if (result.size == 0) result = arena_format(arena, "error %lu", (u32)error);
  SetLastError(error);
  return result;
}

//- moving
// Without MOVEFILE_REPLACE_EXISTING a move never replaces; MOVEFILE_WRITE_THROUGH returns
// once the move is on disk.
static FileMoveResult win32_move_no_replace(const wchar_t *from, const wchar_t *to) {
  if (MoveFileExW(from, to, MOVEFILE_WRITE_THROUGH)) return FileMoveDone;
  DWORD error = GetLastError();
  return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? FileMoveTaken : FileMoveFailed;
}

FileMoveResult file_rename_no_replace(Str8 from, Str8 to) {
  Scratch scratch = scratch_begin(nullptr);
  wchar_t *wfrom = win32_path(scratch.arena, from);
  wchar_t *wto = win32_path(scratch.arena, to);
  if (!wfrom || !wto) SetLastError(ERROR_INVALID_NAME);
  FileMoveResult result = wfrom && wto ? win32_move_no_replace(wfrom, wto) : FileMoveFailed;
  DWORD error = GetLastError();
  scratch_restore(scratch);
  SetLastError(error);
  return result;
}

bool folder_can_list(Str8 folder) {
  Scratch scratch = scratch_begin(nullptr);
  wchar_t *pattern = win32_path(scratch.arena, str8_concat(scratch.arena, folder, str8_lit("\\*")));
  WIN32_FIND_DATAW data;
  HANDLE find = pattern ? FindFirstFileW(pattern, &data) : INVALID_HANDLE_VALUE;
  DWORD error = pattern ? GetLastError() : ERROR_INVALID_NAME;
  bool ok = find != INVALID_HANDLE_VALUE || error == ERROR_FILE_NOT_FOUND;
  if (find != INVALID_HANDLE_VALUE) FindClose(find);
  scratch_restore(scratch);
  SetLastError(error);
  return ok;
}

// A temporary is made there (deleted when closed), then the volume's free bytes for this user
// (quotas included) answer for the room.
bool folder_can_take(Str8 folder, u64 bytes) {
  Scratch scratch = scratch_begin(nullptr);
  Str8 probe = file_temp_path(scratch.arena, arena_format(scratch.arena, "%S/probe", folder),
                              proc_info()->instance_id, (u32)GetCurrentProcessId(),
                              (u32)GetCurrentThreadId());
  wchar_t *wprobe = win32_path(scratch.arena, probe);
  wchar_t *wfolder = win32_path(scratch.arena, folder);
  HANDLE h = wprobe ? CreateFileW(wprobe, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr)
                    : INVALID_HANDLE_VALUE;
  bool ok = h != INVALID_HANDLE_VALUE;
  if (ok) CloseHandle(h);
  ULARGE_INTEGER available = {};
  ok = ok && wfolder && GetDiskFreeSpaceExW(wfolder, &available, nullptr, nullptr) && available.QuadPart >= bytes;
  DWORD error = GetLastError();
  scratch_restore(scratch);
  SetLastError(error);
  return ok;
}

static bool win32_same_version(const WIN32_FILE_ATTRIBUTE_DATA *a, const WIN32_FILE_ATTRIBUTE_DATA *b) {
  return a->nFileSizeHigh == b->nFileSizeHigh && a->nFileSizeLow == b->nFileSizeLow &&
         a->ftLastWriteTime.dwHighDateTime == b->ftLastWriteTime.dwHighDateTime &&
         a->ftLastWriteTime.dwLowDateTime == b->ftLastWriteTime.dwLowDateTime;
}

// The copy to another volume: a flushed temporary beside the destination, moved into place
// without replacing, the folder synced, then the source removed. Any failure removes what was
// made and leaves the source alone; the last error is the failure's.
static FileMoveResult win32_move_by_copy(Arena *arena, const wchar_t *from, Str8 to_path, const wchar_t *to) {
  WIN32_FILE_ATTRIBUTE_DATA before, after;
  if (!GetFileAttributesExW(from, GetFileExInfoStandard, &before)) return FileMoveFailed;
  Str8 temp = file_temp_path(arena, to_path, proc_info()->instance_id, (u32)GetCurrentProcessId(),
                             (u32)GetCurrentThreadId());
  wchar_t *wtemp = win32_path(arena, temp);
  if (!wtemp || !CopyFileW(from, wtemp, TRUE)) return FileMoveFailed;
  bool ok = GetFileAttributesExW(from, GetFileExInfoStandard, &after);
  if (ok && !win32_same_version(&before, &after)) {
    ok = false;
    SetLastError(ERROR_FILE_INVALID); // the source changed while it was copied
  }
  if (ok) {
    HANDLE h = CreateFileW(wtemp, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ok = h != INVALID_HANDLE_VALUE && FlushFileBuffers(h) != 0;
    DWORD error = GetLastError();
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    SetLastError(error);
  }
  FileMoveResult result = ok ? win32_move_no_replace(wtemp, to) : FileMoveFailed;
  if (result != FileMoveDone) {
    DWORD error = GetLastError();
    DeleteFileW(wtemp);
    SetLastError(error);
    return result;
  }
  if (!folder_sync(str8_copy(arena, str8_parent_folder(to_path))) || !DeleteFileW(from)) {
    DWORD error = GetLastError();
    DeleteFileW(to);
    SetLastError(error);
    return FileMoveFailed;
  }
  return FileMoveDone;
}

FileMoveResult file_move_no_replace(Str8 from, Str8 to) {
  Scratch scratch = scratch_begin(nullptr);
  wchar_t *wfrom = win32_path(scratch.arena, from);
  wchar_t *wto = win32_path(scratch.arena, to);
  FileMoveResult result = FileMoveFailed;
  if (!wfrom || !wto || !wfrom[0] || !wto[0]) {
    SetLastError(ERROR_INVALID_NAME);
  } else {
    result = win32_move_no_replace(wfrom, wto);
    if (result == FileMoveFailed && GetLastError() == ERROR_NOT_SAME_DEVICE) {
      result = win32_move_by_copy(scratch.arena, wfrom, to, wto);
    } else if (result == FileMoveDone) {
      // The move is one step: once it happened the file is in place, synced folder or not.
      folder_sync(str8_copy(scratch.arena, str8_parent_folder(to)));
    }
  }
  DWORD error = GetLastError();
  scratch_restore(scratch);
  SetLastError(error);
  return result;
}

//- folders
// Another thread or process making the same folder at the same moment is success, not a
// failure: the folder is there either way.
static bool win32_folder_ensure(const wchar_t *wpath) {
  if (win32_is_folder(wpath)) return true;
  if (CreateDirectoryW(wpath, nullptr)) return true;
  return GetLastError() == ERROR_ALREADY_EXISTS && win32_is_folder(wpath);
}

bool folder_ensure(Str8 path) {
  Scratch scratch = scratch_begin(nullptr);
  wchar_t *wpath = win32_path(scratch.arena, path);
  bool ok = wpath && wpath[0] && win32_folder_ensure(wpath);
  scratch_restore(scratch);
  return ok;
}

// Renames were written through already; what is left is to flush the folder's own entry,
// which Windows allows only on a handle opened for writing with backup semantics.
bool file_sync(FileHandle file) { return file != 0 && FlushFileBuffers(win32_handle(file)) != 0; }

bool folder_remove_empty(Str8 path) {
  Scratch scratch = scratch_begin(nullptr);
  wchar_t *wpath = win32_path(scratch.arena, path);
  bool ok = wpath && wpath[0] && RemoveDirectoryW(wpath) != 0;
  scratch_restore(scratch);
  return ok;
}

//- locks for life
// Byte-range locks here bar others from reading the locked bytes, so the lock lies far past
// the end of the file. They belong to the handle, and a file server holds them for its clients.
static constexpr DWORD Win32LockOffsetHigh = 0x100;

static bool win32_lock(HANDLE h) {
  OVERLAPPED at = {};
  at.OffsetHigh = Win32LockOffsetHigh;
  return LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at) != 0;
}

bool file_lock_hold(FileHandle file) { return file != 0 && win32_lock(win32_handle(file)); }

FileLockState file_lock_probe(FileHandle file) {
  if (file == 0) return FileLockUnknown;
  HANDLE h = win32_handle(file);
  if (win32_lock(h)) {
    OVERLAPPED at = {};
    at.OffsetHigh = Win32LockOffsetHigh;
    UnlockFileEx(h, 0, 1, 0, &at);
    return FileLockFree;
  }
  DWORD error = GetLastError();
  return error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING ? FileLockHeld : FileLockUnknown;
}

// The computer and the volume the folder is on.
Str8 folder_lock_domain(Arena *arena, Str8 folder) {
  Scratch scratch = scratch_begin(arena);
  Str8 result = {};
  wchar_t *wpath = win32_path(scratch.arena, folder);
  Str8 machine = machine_name_query(scratch.arena);
  HANDLE h = wpath && wpath[0] ? CreateFileW(wpath, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr)
                               : INVALID_HANDLE_VALUE;
  BY_HANDLE_FILE_INFORMATION info;
  if (h != INVALID_HANDLE_VALUE && machine.size > 0 && GetFileInformationByHandle(h, &info)) {
    result = arena_format(arena, "%S:%lx", machine, (unsigned long)info.dwVolumeSerialNumber);
  }
  if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  scratch_restore(scratch);
  return result;
}

bool folder_sync(Str8 path) {
  Scratch scratch = scratch_begin(nullptr);
  wchar_t *wpath = win32_path(scratch.arena, path);
  bool ok = false;
  // backup semantics open plain files too: only a folder is synced
  if (wpath && wpath[0] && win32_is_folder(wpath)) {
    HANDLE h = CreateFileW(wpath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      FlushFileBuffers(h);
      CloseHandle(h);
    }
    ok = true;
  }
  scratch_restore(scratch);
  return ok;
}

//- directory iteration
constexpr u32 DirIterDone = 0x80000000u;

struct DirIter {
  u32 flags; // the filter, plus DirIterDone once the listing is finished
  HANDLE find;
  WIN32_FIND_DATAW data;
  u32 mode; // 0 folder listing, 1 drive listing
  Str8 *drives;
  u64 drive_count;
  u64 drive_next;
};

DirIter *dir_iter_open(Arena *arena, Str8 folder, u32 filter) {
  DirIter *iter = arena_push<DirIter>(arena);
  iter->flags = filter & ~DirIterDone;
  iter->find = INVALID_HANDLE_VALUE;
  Scratch scratch = scratch_begin(arena);
  if (folder.size == 0) {
    // drives: "C:\" strings, each kept as "C:"
    iter->mode = 1;
    wchar_t buffer[512] = {};
    DWORD n = GetLogicalDriveStringsW(512, buffer);
    if (n > 0 && n < 512) {
      u64 count = 0;
      for (wchar_t *p = buffer; *p; p += wcslen(p) + 1) count += 1;
      iter->drives = arena_push<Str8>(arena, count);
      for (wchar_t *p = buffer; *p; p += wcslen(p) + 1) {
        Str8 drive = str8_from_str16(scratch.arena, str16_from_wcstr((u16 *)p));
        while (drive.size > 0 && (drive.str[drive.size - 1] == '\\' || drive.str[drive.size - 1] == '/')) {
          drive.size -= 1;
        }
        iter->drives[iter->drive_count++] = str8_copy(arena, drive);
      }
    }
  } else {
    wchar_t *pattern = win32_path(scratch.arena, str8_concat(scratch.arena, folder, str8_lit("\\*")));
    if (pattern) iter->find = FindFirstFileW(pattern, &iter->data);
  }
  scratch_restore(scratch);
  return iter;
}

// A reparse point that is a folder (a junction or a folder link) is left out: a scan that
// followed it could loop.
bool dir_iter_next(Arena *arena, DirIter *iter, DirEntry *out) {
  if (iter->mode == 1) {
    if (iter->drive_next >= iter->drive_count) return false;
    *out = DirEntry{};
    out->name = iter->drives[iter->drive_next++];
    out->flags = FilePropsFolder;
    return true;
  }
  if ((iter->flags & DirIterDone) || iter->find == INVALID_HANDLE_VALUE) return false;
  for (;;) {
    WIN32_FIND_DATAW *d = &iter->data;
    const wchar_t *name = d->cFileName;
    bool dots = name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0));
    bool folder = (d->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    bool linked_folder = folder && (d->dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
    bool device = (d->dwFileAttributes & FILE_ATTRIBUTE_DEVICE) != 0;
    bool accept = !dots && !device && !linked_folder;
    if (accept && (iter->flags & DirSkipDotNames) && name[0] == '.') accept = false;
    if (accept && folder && (iter->flags & DirSkipFolders)) accept = false;
    if (accept && !folder && (iter->flags & DirSkipFiles)) accept = false;

    if (accept) {
      *out = DirEntry{};
      out->name = str8_from_str16(arena, str16_from_wcstr((const u16 *)name));
      FileProps props =
          file_props_from_parts(d->dwFileAttributes, d->nFileSizeHigh, d->nFileSizeLow, d->ftLastWriteTime,
                                d->ftCreationTime);
      out->flags = props.flags & FilePropsFolder;
      out->size = props.size;
      out->modified = props.modified;
      out->created = props.created;
    }
    if (!FindNextFileW(iter->find, &iter->data)) {
      iter->flags |= DirIterDone;
      FindClose(iter->find);
      iter->find = INVALID_HANDLE_VALUE;
      return accept;
    }
    if (accept) return true;
  }
}

void dir_iter_close(DirIter *iter) {
  if (iter && iter->find != INVALID_HANDLE_VALUE) {
    FindClose(iter->find);
    iter->find = INVALID_HANDLE_VALUE;
  }
}

//- change wake-ups
// Not told here: every wait lasts until its deadline.
void folder_watch_add(Str8) {}

bool folder_watch_wait(u64 deadline) {
  u32 ms = deadline_to_ms(deadline);
  if (ms > 0) sleep_ms(ms);
  return false;
}
