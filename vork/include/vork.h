/*
 * vork.h - remote file and system interface of a handheld data terminal
 *          over an RS-232 cable.
 *
 * Model
 *   The library holds one serial link per process. QMT_VorkInit opens it on
 *   "COM<n>" (the device named by the environment variable VORK_COM<n> when
 *   it is set, else /dev/ttyS<n-1>), raw 8N1 at the given baud rate, and
 *   starts a receiver thread. Every other remote call is one or more
 *   request/response exchanges with the terminal's service: a request goes
 *   out in a checksummed frame (compressed with zlib when the compression
 *   flag is on), and the call waits up to 5000 ms for the matching response,
 *   making up to 4 attempts in all before it gives up.
 *
 * Results
 *   Every function returns a 32-bit integer and never raises. The failure
 *   value belongs to each call and is given beside it: -1 for calls that
 *   return a handle or an attributes word, 0 for the others. Calls that pass
 *   the terminal's result word on cannot tell a 0 from the terminal from a
 *   failure. On failure, caller records are left untouched unless stated.
 *   A null record or output pointer is not written; the call still runs.
 *
 * Strings
 *   Wide strings are zero-terminated UTF-16 (native little-endian). 8-bit
 *   strings are zero-terminated in the system code page: the character set
 *   of the locale named by LC_ALL, LC_CTYPE or LANG (UTF-8 when that is C,
 *   POSIX or unset). Characters the code page cannot represent become '?'.
 *   A path longer than 255 bytes in the code page, or an 8-bit path longer
 *   than 255 characters, is refused with the call's failure value and
 *   nothing is sent. A terminal path starts with the three bytes "QMT"
 *   (by convention "QMT:\" + name); the prefix is sent as it stands.
 *
 * Threads
 *   Calls may come from any thread; the library serializes them, so a call
 *   made while another is in progress waits for it. QMT_VorkUninit is the
 *   exception: it never waits, it closes the link under a call in progress,
 *   and that call ends promptly with its failure value. A background copy
 *   (QMT_CopyFileExW) takes the link only for each of its own operations;
 *   while it runs, a second QMT_CopyFileExW returns 0.
 */
#ifndef VORK_H
#define VORK_H

#include <stdint.h>

#if defined(__GNUC__)
#define VORK_API __attribute__((visibility("default")))
#else
#define VORK_API
#endif

#ifdef __cplusplus
extern "C" {
#else
#include <uchar.h>
#endif

/* ---- Link control and device information ---------------------------------
 * Records are filled only when the terminal answered with the exact length. */

/* Opens COM<port> at baud (closing an open link first). 1 open, 0 not. On
 * failure the compression flag keeps its value; otherwise it becomes
 * compress (non-zero: every request is compressed). */
VORK_API int32_t QMT_VorkInit(int32_t port, int32_t baud, int32_t compress);
/* Closes the link; always 1. Safe from any thread, at any time. */
VORK_API int32_t QMT_VorkUninit(void);
/* Stores baud and reopens the remembered port (COM0 if none was given). */
VORK_API int32_t QMT_SetBaudrate(int32_t baud);
/* Command 0: three u32 version values. 1 / 0. */
VORK_API int32_t QMT_GetVersion(void *record12);
/* Command 1: three u32 memory values. 1 / 0. */
VORK_API int32_t QMT_GlobalMemoryStatus(void *record12);
/* Command 2: 24-byte power status record. 1 / 0. */
VORK_API int32_t QMT_GetSystemPowerStatus(void *record24);
/* Command 3: u32 store size, u32 free size; value is sent unchanged. 1 / 0. */
VORK_API int32_t QMT_GetStoreInformation(void *record8, uint32_t value);
/* Command 4: 80-byte system information record. 1 / 0. */
VORK_API int32_t QMT_GetSystemInfo(void *record80);
/* Command 24: hands the terminal a text (at most 259 bytes in the code page;
 * an 8-bit text also at most 255 characters); returns its result word, 0 on
 * failure. */
VORK_API int32_t QMT_RingW(const char16_t *text);
VORK_API int32_t QMT_Ring(const char *text);

/* ---- Remote file handles -------------------------------------------------- */

/* Command 10 / 11: a remote handle, -1 on failure. Values of access and mode
 * are the terminal's. */
VORK_API int32_t QMT_CreateFileW(const char16_t *path, uint32_t access);
VORK_API int32_t QMT_OpenFileW(const char16_t *path, uint32_t mode);
VORK_API int32_t QMT_CreateFile(const char *path, uint32_t access);
VORK_API int32_t QMT_OpenFile(const char *path, uint32_t mode);
/* Commands 12 / 13 in chunks of 1024 bytes. 1 when all count bytes moved,
 * else 0; *read / *written always holds the bytes done. */
VORK_API int32_t QMT_ReadFile(uint32_t handle, void *buffer, uint32_t count, uint32_t *read);
VORK_API int32_t QMT_WriteFile(uint32_t handle, const void *buffer, uint32_t count,
                               uint32_t *written);
/* Commands 14, 15, 16, 20: the terminal's word, 0 on failure. */
VORK_API int32_t QMT_CloseFile(uint32_t handle);
VORK_API int32_t QMT_SetFilePointer(uint32_t handle, int32_t distance, uint32_t method);
VORK_API int32_t QMT_SetEndOfFile(uint32_t handle);
VORK_API int32_t QMT_GetFileSize(uint32_t handle);
/* Command 21: fills the non-null pointers; the terminal's result, 0 on
 * failure. */
VORK_API int32_t QMT_GetFileTime(uint32_t handle, uint32_t *creation, uint32_t *access,
                                 uint32_t *write);
/* Command 22: null pointers send 0. The terminal's word, 0 on failure. */
VORK_API int32_t QMT_SetFileTime(uint32_t handle, const uint32_t *creation,
                                 const uint32_t *access, const uint32_t *write);
/* Command 23: asks the terminal to put the file back where it stood before
 * the chunk request with this sequence number. 1 / 0. */
VORK_API int32_t QMT_SetFilePosToPre(uint32_t handle, uint32_t sequence, uint32_t *answer);

/* ---- Remote file system ----------------------------------------------------- */

/* Command 5: fills the 120-byte find record; the search handle, -1 when the
 * terminal found nothing or did not answer. */
VORK_API int32_t QMT_FindFirstFileW(const char16_t *path, void *record120);
VORK_API int32_t QMT_FindFirstFile(const char *path, void *record120);
/* Command 6: fills the record; the terminal's word (0 at the end), 0 on
 * failure. */
VORK_API int32_t QMT_FindNextFile(uint32_t handle, void *record120);
/* Command 7: the terminal's word, 0 on failure. */
VORK_API int32_t QMT_FindClose(uint32_t handle);
/* Command 8: the attributes word, -1 on failure. */
VORK_API int32_t QMT_GetFileAttributesW(const char16_t *path);
VORK_API int32_t QMT_GetFileAttributes(const char *path);
/* Commands 9, 17, 18, 19: the terminal's word, 0 on failure. */
VORK_API int32_t QMT_SetFileAttributesW(const char16_t *path, uint32_t attributes);
VORK_API int32_t QMT_SetFileAttributes(const char *path, uint32_t attributes);
VORK_API int32_t QMT_CreateDirectoryW(const char16_t *path);
VORK_API int32_t QMT_CreateDirectory(const char *path);
VORK_API int32_t QMT_RemoveDirectoryW(const char16_t *path);
VORK_API int32_t QMT_RemoveDirectory(const char *path);
VORK_API int32_t QMT_DeleteFileW(const char16_t *path);
VORK_API int32_t QMT_DeleteFile(const char *path);

/* ---- Copy and move -----------------------------------------------------------
 * Either path may name a PC file or a terminal file ("QMT" prefix). The
 * target is created new; an existing one is deleted first, except a
 * read-only PC file (no write permission for its owner), which is kept and
 * fails the copy. A PC source must be a regular file below 4 GiB; a source
 * and target that name one file are refused. */

/* 1 when the whole file was copied, else 0 (a partial target is kept). */
VORK_API int32_t QMT_CopyFileW(const char16_t *source, const char16_t *target, int32_t unused);
VORK_API int32_t QMT_CopyFile(const char *source, const char *target, int32_t unused);
/* 0 when the copy failed (the source is kept); else the result of deleting
 * the source. */
VORK_API int32_t QMT_MoveFileW(const char16_t *source, const char16_t *target);
VORK_API int32_t QMT_MoveFile(const char *source, const char *target);
/* Starts a background copy and returns 1 at once (0 while another one runs,
 * or when no thread can be started).
 * *status receives 2..99 after each 2048-byte block, then one final value:
 * 100 done, 102 read failure, 103 write failure, 104 cancelled (*cancel was
 * 1 after a block), 105 target not created. Both pointers must stay valid
 * until a final value has been written. */
VORK_API int32_t QMT_CopyFileExW(const char16_t *source, const char16_t *target, int32_t unused,
                                 int32_t *status, int32_t *cancel, int32_t unused2);
VORK_API int32_t QMT_CopyFileEx(const char *source, const char *target, int32_t unused,
                                int32_t *status, int32_t *cancel, int32_t unused2);

#ifdef __cplusplus
}
#endif

#endif /* VORK_H */
