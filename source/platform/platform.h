// The updater's only door to the operating system.
//
// The update logic was written against a small set of Windows calls (profile
// files, Windows Sockets, the C runtime's file calls, process start). Each of
// them is one function here that keeps the contract the callers rely on; the
// POSIX implementation lives in posix/, and a Windows one can sit beside it.
// Nothing outside this folder includes an operating-system header.
//
// Paths handed to the file functions may use "\" or "/" as separators: the
// translation to the native separator happens here, at the moment a path
// reaches the file system, so the callers keep their Windows path forms.
//
// Every function may be called from any thread unless it says otherwise.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// ---------------------------------------------------------------------------
// Profile (INI) files, as GetPrivateProfileStringA reads them.

// Returns the value of `key` in `section` of the profile file `fileName`, or
// `defaultValue` when the file, the section or the key is missing. The value
// is cut to `bufferSize` - 1 bytes, as a caller's buffer of that size would
// cut it (the default is cut the same way). Section and key names compare
// case-insensitively; the first matching section and key win.
std::string ReadProfileString(const std::string& section, const std::string& key,
                              const std::string& defaultValue, std::size_t bufferSize,
                              const std::string& fileName);

// Parses profile-file text already in memory with the same rules; the file
// variant reads the file and calls this.
std::string ReadProfileStringFromText(const std::string& text, const std::string& section,
                                      const std::string& key, const std::string& defaultValue,
                                      std::size_t bufferSize);

// ---------------------------------------------------------------------------
// Clock and scheduling.

// Milliseconds since an arbitrary start, monotonic, wrapping at 32 bits
// (GetTickCount).
std::uint32_t TickCount();

// Gives up the rest of the time slice (Sleep(0)).
void YieldTimeSlice();

// ---------------------------------------------------------------------------
// Sockets: non-blocking TCP over IPv4 and IPv6, with readiness waits.

// A descriptor on POSIX; a pointer-sized handle under Windows Sockets, whose
// invalid value is all ones (INVALID_SOCKET).
#ifdef _WIN32
using Socket = std::uintptr_t;
inline constexpr Socket kInvalidSocket = ~Socket{0};
#else
using Socket = int;
inline constexpr Socket kInvalidSocket = -1;
#endif

// The socket library's time pair, two signed 32-bit fields.
struct TimeVal {
    std::int32_t tv_sec = 0;
    std::int32_t tv_usec = 0;
};

// Starts and stops the socket library (WSAStartup / WSACleanup). On POSIX the
// start makes sure a peer that closes early gives an error code instead of
// killing the process. Returns false when the library cannot start.
bool StartSockets();
void StopSockets();

// An IPv4 or an IPv6 address, its bytes in network order.
struct IpAddress {
    bool v6 = false;
    std::array<std::uint8_t, 16> bytes{};  // an IPv4 address uses the first four
    bool operator==(const IpAddress&) const = default;
};

// A socket for connections to addresses of the family `v6` names.
Socket CreateTcpSocket(bool v6);
bool SetNonBlocking(Socket socket);
void CloseSocket(Socket socket);

// Every address `name` has for TCP, IPv6 and IPv4 (getaddrinfo), in the order
// the system prefers them, each once; empty when it has none. The name is
// looked up as it stands: the caller has already taken numeric hosts apart.
std::vector<IpAddress> ResolveHost(const std::string& name);

// IPv6 text as inet_pton reads it (no brackets, no zone); nothing for any
// other text.
std::optional<IpAddress> ParseIpv6(const std::string& text);

// The address as inet_ntop writes it ("127.0.0.1", "::1").
std::string FormatIpAddress(const IpAddress& address);

enum class ConnectStart { kConnected, kInProgress, kFailed };
// Starts a connection; kInProgress plays the part of WSAEWOULDBLOCK.
ConnectStart StartConnect(Socket socket, const IpAddress& address, std::uint16_t port);

// The socket's pending error (SO_ERROR): 0 when a finished connection attempt
// succeeded, non-zero when it was refused or failed.
int SocketErrorStatus(Socket socket);

// One readiness wait on one socket (select with one socket in the read or the
// write set). Returns -1 when the wait fails, 0 when it timed out, a positive
// count otherwise; `*inSet` tells whether the socket is in the ready set
// afterwards (__WSAFDIsSet).
enum class WaitFor { kReadable, kWritable };
int WaitForSocket(Socket socket, WaitFor what, TimeVal timeout, bool* inSet);

// One wait on the connections `count` sockets are making: returns -1 when the
// wait fails, 0 when it timed out, a positive count otherwise, with ready[i]
// telling whether socket i has finished its attempt (connected, refused or
// failed; SocketErrorStatus tells which).
int WaitForConnections(const Socket* sockets, std::size_t count, TimeVal timeout, bool* ready);

// One send or receive call; returns the count, or -1 on failure (0 from
// ReceiveSome means the peer closed the connection). Neither ever raises a
// signal. On a non-blocking socket with nothing to read yet, ReceiveSome
// returns kReceiveWouldBlock instead (WSAEWOULDBLOCK), so a caller can take
// what has arrived without a readiness wait first.
inline constexpr long kReceiveWouldBlock = -2;
long SendSome(Socket socket, const void* data, std::size_t length);
long ReceiveSome(Socket socket, void* buffer, std::size_t length);

// Hints that a large buffer about to be filled from a socket be backed by
// large pages: filling hundreds of megabytes then costs a few hundred page
// faults instead of tens of thousands. Pages are still taken only as they are
// written. Does nothing where unsupported, and for buffers too small to hold
// one large page.
void AdviseLargePages(void* data, std::size_t size);

// ---------------------------------------------------------------------------
// Certificates.

// The certificates the system trusts as roots for TLS, each in DER form, for
// a TLS library that cannot find them itself: on Windows, the "ROOT" store.
// Empty where the TLS library's own default locations are the system's store
// (POSIX), or when the store cannot be opened.
std::vector<std::string> SystemRootCertificates();

// ---------------------------------------------------------------------------
// Files, with "\" and "/" both accepted as separators.

// fopen / fread / fwrite / fseek / ftell / fclose.
std::FILE* OpenFile(const std::string& path, const char* mode);
std::size_t ReadFile(void* buffer, std::size_t size, std::size_t count, std::FILE* file);
std::size_t WriteFile(const void* data, std::size_t size, std::size_t count, std::FILE* file);
// Returns 0 on success. `whence` is SEEK_SET, SEEK_CUR or SEEK_END.
int SeekFile(std::FILE* file, std::int64_t offset, int whence);
// The current position, or -1 on failure.
std::int64_t TellFile(std::FILE* file);
// Returns 0 on success; the stream is gone either way.
int CloseFile(std::FILE* file);

// A new file that only its owner may read or write (mode 0600), open for
// writing; for secrets such as a private key, which must never be readable
// by others, not even for a moment before a permission change. Null when
// anything already stands at `path` (a file, a folder, a link: nothing is
// overwritten or followed) or the file cannot be made.
std::FILE* CreatePrivateFile(const std::string& path);

// _open(path, 2) / _chsize / _close: a read-write descriptor of an existing
// file and the change of its length (cut, or extended with zero bytes).
// OpenReadWrite returns -1 on failure; the others return 0 on success.
int OpenReadWrite(const std::string& path);
int ChangeFileSize(int descriptor, std::int64_t size);
int CloseDescriptor(int descriptor);

// ---------------------------------------------------------------------------
// Durability. A file system may keep written data and changed names in memory
// and write them out later, in any order; a power cut then loses what was not
// yet written, or keeps a new name over data that never arrived. These calls
// make what was written survive: a file is synced after its last write and
// before it is moved to its final name, and the folder after the move. A
// failing sync means the data may be lost: it fails the step like a failing
// write and is never retried and assumed good.

// Makes everything written through `file` durable: its buffer is flushed and
// the file's data, with what is needed to read it back (its length), reaches
// the disk (fflush + fdatasync; FlushFileBuffers). Returns 0 on success.
int SyncFile(std::FILE* file);
// The same for a descriptor of OpenReadWrite: covers a length change and
// whatever was written to the file through any stream before.
int SyncDescriptor(int descriptor);
// Makes the names in the folder `path` durable: a file made, moved into or
// removed from it stays so after a power cut (fsync of the folder; on Windows,
// where moves are made with MOVEFILE_WRITE_THROUGH, there is nothing left to
// do). An empty path means the working directory. Returns 0 on success.
int SyncFolder(const std::string& path);
// Asks the system to start writing `file`'s data to the disk now, without
// waiting for it (sync_file_range on Linux); a later SyncFile then finds it
// written or on its way. Flushes the stream's buffer first. A hint: failure
// is silent, and durability still needs SyncFile.
void StartWriteBack(std::FILE* file);

// The bytes an unprivileged program may still write on the volume that holds
// `path` (statvfs: available blocks times their size), or -1 when the volume
// cannot be asked.
std::int64_t AvailableSpace(const std::string& path);

// _mkdir: returns 0 when the directory was made (an existing one fails, as
// _mkdir does; callers that do not care ignore the result).
int MakeDirectory(const std::string& path);
// remove: returns 0 on success.
int RemoveFile(const std::string& path);
// rmdir: removes the folder `path` when it is empty; returns 0 on success. A
// folder that still holds anything stays, and so does a link to a folder.
int RemoveFolder(const std::string& path);

// What stands at `path` itself, a symbolic link (on Windows any reparse point)
// not followed: nothing, a regular file, a folder, a link, or something else
// (a device, a pipe), or kOther when it cannot be looked at.
enum class NodeKind { kNothing, kFile, kFolder, kLink, kOther };
NodeKind NodeAt(const std::string& path);

// The length of the regular file at `path` (links followed), or -1 when
// nothing, or something other than a regular file (a folder), stands there.
std::int64_t RegularFileSize(const std::string& path);
// MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING): puts the file `from` in
// the place of `to` in one step, replacing a file standing there, so a reader
// of `to` sees either the old file or the new one whole. The new file takes
// the permissions of the file it replaces (an executable stays executable).
// Both must be on one volume. Returns 0 on success; on failure `to` is as it
// was.
//
// Windows refuses to replace a running program or a loaded library (the
// updater's own program among them). Such a `to` is first moved aside, under
// a name of its own in its folder ending in kMovedAsideSuffix, which a running
// program allows; the new file then takes its place, and the old one is
// removed by RemoveMovedAside at the next run, once it is no longer running.
int MoveFileOver(const std::string& from, const std::string& to);

// True when `path` is an existing file that cannot be opened for writing
// where it stands because a running program is made from it (ETXTBSY on
// Linux), or, on Windows, a running program or a loaded library holds it.
// Such a file can still be replaced whole (MoveFileOver), never changed in
// place.
bool HeldByRunningProgram(const std::string& path);

// The end of the name a file in use is moved aside to.
inline constexpr const char* kMovedAsideSuffix = ".moved-aside";
// Removes what MoveFileOver moved aside in the folder `root` and below it
// (never following links out of it). A file still in use stays for the next
// call. Nothing is ever moved aside on POSIX, so there it does nothing.
void RemoveMovedAside(const std::string& root);
// SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL): an existing read-only file
// becomes writable. Failure is silent, as the callers ignore it.
void ResetFileAttributes(const std::string& path);

// True when the file system can hold `name`, an entry's path relative to the
// installation root with "\" or "/" between its parts, under exactly that
// name. Windows cannot: a part that is a reserved device name (CON, PRN, AUX,
// NUL, COM0-9, LPT0-9, with or without an extension, in any case), a part
// that ends in a dot or a space, or is "." or "..", any ":" (an alternate
// stream), any of <>"|?* or a control character; it would write somewhere
// else than the name says, or fail half-way. Always true on POSIX.
bool FileSystemCanHoldName(const std::string& name);

// True when the plain file names `a` and `b` name one file in one folder:
// when they are equal on POSIX, and when they are equal but for case on
// Windows (whose file systems compare names that way).
bool SameFileName(const std::string& a, const std::string& b);

// Whether users other than the owner of the file at `path` may read it: its
// group or others read bit on POSIX; on Windows an entry of its access list
// that lets anyone but its owner, the system or the administrators read it
// (or no access list at all). False when that cannot be told.
bool OthersMayRead(const std::string& path);
// The command a user runs to make the file at `path` readable by its owner
// only, for a message.
std::string MakePrivateCommand(const std::string& path);

// True when a file written at `path` would land in the folder `root` or below
// it: a symbolic link anywhere on the way (a folder, or the file itself)
// counts by where it leads, so a link inside the root that points outside it
// makes `path` outside. Call it before writing to or making anything at a path
// built from data that came from afar (a package entry, a download's name).
//
// `path` need not exist. Its longest existing part is resolved with every link
// followed (realpath); a dangling link there is followed to where a new file
// would be made, up to 40 links deep (a loop counts as outside); the missing
// rest is added by name. A ".." in the missing rest, the root not existing, or
// a part that cannot be looked at (other than missing) also count as outside.
// Relative paths count from the working directory; "\" and "/" both separate.
//
// The answer holds for the tree as it is at the call: a link that someone
// swaps in afterwards is not seen. It guards against what an installation or
// a package can set up, not against another process racing the updater.
bool ResolvesInside(const std::string& root, const std::string& path);
// The same, and when inside, `*resolved` is where `path` leads: an absolute
// native path with no link left in its existing part. Writing there writes
// through the links instead of replacing them.
bool ResolvesInside(const std::string& root, const std::string& path, std::string* resolved);

// ---------------------------------------------------------------------------
// Processes.

// Runs a batch script hidden from the user (WinExec with SW_HIDE), with
// `workingFolder` as its working directory, no input and its output
// discarded, and returns once the script's process has ended, so that the
// caller may delete the script without cutting it short, or once
// `waitLimitSeconds` have passed: a script that stays in the foreground (it
// starts a service, or the main application) is then left running, and the
// caller goes on. The script's exit status is not reported.
//
// `workingFolder` counts from the caller's working directory when relative,
// and an empty one means the caller's working directory itself; a relative
// `scriptPath` counts from `workingFolder`, where the script itself looks for
// its files. The caller's own working directory is never changed, so other
// threads that use relative paths are not disturbed. A folder that cannot be
// entered runs nothing.
void RunScriptHidden(const std::string& scriptPath, const std::string& workingFolder,
                     int waitLimitSeconds);

// Starts a program from the working directory without arguments and does not
// wait for it (CreateProcessA). A missing program is not reported.
void StartProgramDetached(const std::string& programPath);

// Both start their child with every signal at its default disposition and
// none blocked, whatever the updater itself ignores (it ignores SIGPIPE).

// The program's command-line arguments in UTF-8, the program's own name
// first. On Windows main's `argv` holds them in the ANSI code page, which
// cannot hold every name a user may type (é in a code page without it); the
// wide command line is read instead. Elsewhere `argv` is returned as it is.
std::vector<std::string> CommandLineArguments(int argc, char** argv);

// Makes a console show the UTF-8 the program prints as the letters it means
// (the console's output code page on Windows; nothing elsewhere, where
// terminals take UTF-8 already).
void UseUtf8Console();

// True when the standard error stream is a terminal (a console on Windows),
// where a progress line may redraw itself.
bool StandardErrorIsTerminal();

// ---------------------------------------------------------------------------
// The settings that say how to reach the network.

// The value of the environment variable `name` (UTF-8), nothing when it is
// not set.
std::optional<std::string> EnvironmentVariable(const char* name);

// The user's own proxy settings where the system keeps them: on Windows the
// fixed proxy and the bypass list of WinHttpGetIEProxyConfigForCurrentUser
// (an automatic configuration script is not run). `proxy` is WinHTTP's text
// ("host:port", or "http=host:port;https=host:port"), `bypass` its list
// ("<local>;*.example.com"). Nothing on POSIX, and nothing where no fixed
// proxy is set.
struct SystemProxy {
    std::string proxy;
    std::string bypass;
};
std::optional<SystemProxy> SystemProxySettings();

// ---------------------------------------------------------------------------
// Test hooks (injected faults, a faked free-space answer, skipped syncs, the
// disk observer) are declared in platform/test_hooks.h and exist only in the
// test variant of this library; the shipped programs have none of them.

}  // namespace platform
