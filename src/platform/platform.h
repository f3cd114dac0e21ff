// The little the tool needs from the operating system: paths and folders,
// positioned reads of the data file, output files that appear under their
// final name only once complete, the console, and clean-up when a signal
// ends the process. One implementation per platform (platform_posix.cc,
// platform_win.cc and platform_win_console.cc); platform.cc holds what both
// share.
//
// Functions that can fail return an IoError (error/error.h): kIoOk for
// success, a system error wrapped by systemError, or one of the kinds of
// its own. All names and paths are UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "error/error.h"

// An open file: a descriptor on POSIX, a HANDLE on Windows. -1 when closed.
struct FileHandle {
  intptr_t value = -1;
};

// An output file being written. It has no visible name of its own where the
// system allows that (tempName empty), else a temporary name in its folder
// that ends in ".tmp", so it never clashes with an output name.
struct OutputFile {
  FileHandle file;
  std::string folder;     // "" for the current folder
  std::string tempName;   // path of the temporary name, if it has one
  std::string finalName;  // path the file gets when committed
  bool deleteOnClose = false;  // Windows: marked to vanish with its handle
};

// Sets up the process. First of all, a standard descriptor (POSIX 0, 1,
// 2) that is closed gets the null device, before any other file is opened,
// so that no file the tool opens can become standard input, output or
// error; writes to standard output or error that was closed at start still
// fail (writeStdout, writeStderr), and nothing is written there. On
// Windows a standard handle that is not valid at start is never written
// to. Every signal whose default action ends the process
// (Ctrl+C, Ctrl+Break and closing the console on Windows) removes the
// temporary file of the output in progress, writes the text set by
// setSignalText, and then ends the process by that signal, as it would
// have; a signal ignored at start stays ignored. A file-size limit surfaces
// as a write error instead of killing the process. Standard output is
// binary. The main thread's stack is grown to 512 KiB up front, for
// libraries that keep large buffers there. On Windows, a console on
// standard error gets virtual-terminal processing where it allows it (see
// stderrTakesEscapes), its mode as it was when the process ends.
void platformInit();

// Writes UTF-8 text to standard output (as UTF-16 on a Windows console,
// the same bytes everywhere else) or to standard error. Returns the error
// of a write that failed, kIoOk otherwise.
IoError writeStdout(const std::string& utf8);
IoError writeStderr(const std::string& utf8);

// True when standard output is a terminal (a console window on Windows).
bool stdoutIsTerminal();

// True when standard error is a terminal (a console window on Windows),
// and was open at start.
bool stderrIsTerminal();

// True when standard error is a terminal that takes the escape sequence
// "\x1b[K" (erase to the end of the line): a POSIX terminal whose TERM is
// not "dumb", or a Windows console with virtual-terminal processing, which
// platformInit turns on where the console allows it. False for a classic
// Windows console that would print the sequence, and wherever standard
// error is not a terminal.
bool stderrTakesEscapes();

// The bytes that put `text` (printable ASCII, one column a byte, no line
// feed) in place of the line the terminal's cursor is on, which holds
// `previous` columns: a carriage return and `text`, then "\x1b[K" where
// the terminal takes escapes (stderrTakesEscapes), else a blank over each
// column of the previous line past `text`. An empty `text` erases the line
// and leaves the cursor at its start: "\r\x1b[K", or a carriage return,
// `previous` blanks and a carriage return.
std::string redrawLineText(bool takesEscapes, const std::string& text, size_t previous);

// The bytes that a terminating signal (see platformInit) writes to standard
// error after its clean-up, before the process ends, for a terminal state
// that must not outlive the process (a line being redrawn in place): the
// first kSignalTextBytes of `text`, or nothing for "" (the start). Written
// with one async-signal-safe write on POSIX (on the main thread, where
// every signal is handled); on Windows by the console event handler, after
// which writeStderr waits for the end of the process, so nothing follows
// them. Call on the main thread.
constexpr size_t kSignalTextBytes = 256;
void setSignalText(const std::string& text);

// `path` made absolute against the current folder, without resolving
// links; `path` itself when that cannot be done.
std::string absolutePath(const std::string& path);

// Windows: true when the process runs in a console window of its own (it
// was double-clicked or had a file dropped on it), so the window closes as
// soon as it ends; then waitForEnter keeps it open until Enter is pressed.
// Always false elsewhere.
bool ownsConsoleWindow();
void waitForEnter();

// True for '/', and on Windows for '\\' too.
bool isPathSeparator(char c);

// `name` inside `folder`; just `name` when folder is "" (the current folder).
std::string joinPath(const std::string& folder, const std::string& name);

// The folder part of `path`, without its last separator: "" for a plain
// name, "/" for a file in the root.
std::string folderOf(const std::string& path);

// What is at `path`.
enum class PathKind { Missing, File, Folder, Other };
PathKind pathKind(const std::string& path);

// Creates folder `path` and any missing parents, one level at a time from
// the deepest one that is there, and appends each folder it makes to
// *made, outermost first. kIoOk if it already is a folder; a system error if
// it cannot be made or something else is there, and then the folders this
// call made are removed again.
IoError makeFolders(const std::string& path, std::vector<std::string>* made);

// Removes the folders of `folders` that are empty, the last one first.
// Every folder that makeFolders made is also removed, while empty and
// deepest first, by a terminating signal (see platformInit), until this
// removes it or the process ends. Not on Windows, where a signal leaves
// them, and neither removes anything while another process uses the folder
// passed to useFolder.
void removeFolders(const std::vector<std::string>& folders);

// Marks folder `path` as used by this process until it ends, so that
// another run that made it does not remove it while it looks empty (its
// outputs have no names yet). kIoNotFound when the folder is not there, or
// was removed just before it could be marked: make it again and call
// again. Once per process. Leaves the folder unmarked, and says kIoOk,
// where it cannot be marked (no descriptor to spare for it, no locks on
// its file system). Does nothing on Windows, where an output in progress
// always has a name.
IoError useFolder(const std::string& path);

// One step of makeFolders, per platform. folderStatus: kIoOk for a folder,
// kIoNotFound when nothing is there, a system error for anything else there
// or when it cannot be told. makeFolder: makes one folder whose parent
// exists; *made tells whether this call made it (not when it was already
// a folder). removeFolder: removes an empty folder, kIoOk or the error.
IoError folderStatus(const std::string& path);
IoError makeFolder(const std::string& path, bool* made);
IoError removeFolder(const std::string& path);

// Opens the regular file `path` for reading and reports its size. Never
// blocks: a FIFO or device is refused with kIoNotRegular, as is a folder;
// kIoNotFound when nothing is there; a system error otherwise.
IoError openDataFile(const std::string& path, FileHandle* file, int64_t* size);
void closeFile(FileHandle* file);

// The owner of an open file: closes it when it goes out of scope, on
// every way out (closeFile is safe on a closed file).
struct FileCloser {
  FileHandle* file;
  ~FileCloser() { closeFile(file); }
};

// Reads exactly `n` bytes at absolute `offset` into `buffer`; kIoShortRead
// when the file ends first, a read failure (see readFailure) for any other
// error.
IoError readAt(FileHandle file, int64_t offset, void* buffer, size_t n);

// Has the kernel copy `n` bytes from `in` at absolute `offset` to the end
// of `out`, without passing them through user memory. kIoUnsupported when
// it cannot for this pair of files and nothing was copied by this call;
// kIoShortRead when `in` ends first; when reading `in` failed, a read
// failure (see readFailure), any other error being the writing's.
IoError copyToEnd(FileHandle in, int64_t offset, FileHandle out, size_t n);

// How many outputs may be in progress (created, not yet committed or
// discarded) at once, from any threads.
constexpr int kMaxOutputsInProgress = 8;

// `bytes` of memory straight from the system, for a large table that one
// or two threads fill: zeros, in whole pages that are only paid for once
// written, and in large pages where the system offers them (Linux: 2 MiB
// transparent huge pages), so that filling it takes few page faults. Null
// when there is no memory for it. freePages returns it.
void* allocatePages(size_t bytes);
void freePages(void* pages, size_t bytes);

// True when `bytes` of memory can be had now: a block that large was
// allocated and given back. For a library that does not check its own
// allocations, before it is asked for that much.
bool memoryAvailable(size_t bytes);

// A thread that runs beside the main thread. It starts with every signal
// blocked, so signals, and the clean-up their handlers do, always reach the
// main thread. Its stack is small: kThreadStackBytes.
struct ThreadHandle {
  uintptr_t value = 0;
  void (*run)(void*) = nullptr;
  void* arg = nullptr;
};
constexpr size_t kThreadStackBytes = 256 * 1024;

// Starts run(arg) on a new thread. The handle must stay where it is until
// joinThread. A system error when no thread can be started; then run is not
// called.
IoError startThread(void (*run)(void*), void* arg, ThreadHandle* thread);

// Waits until the thread's function has returned, and releases the thread.
void joinThread(ThreadHandle* thread);

// Creates a new, empty output file in `folder` that will become `name`
// there. It stays invisible until committed where the system allows it
// (Linux O_TMPFILE); elsewhere it is a temporary file that a killed process
// cannot leave behind (Windows: deleted on close until committed) or, as a
// last resort, one that a terminating signal removes.
IoError createOutput(const std::string& folder, const std::string& name, OutputFile* out);

// The named temporary file that createOutput falls back on, always.
IoError createNamedOutput(const std::string& folder, const std::string& name,
                          OutputFile* out);

// Writes `n` bytes at the output's write position, which starts at 0 and
// moves past them.
IoError writeAll(OutputFile* out, const void* data, size_t n);

// Moves the output's write position to absolute `offset`, to write over
// what is there.
IoError seekOutput(OutputFile* out, int64_t offset);

// True when writeAt works on `out`: the system writes at an offset without
// moving the point where writeAll and copyToEnd append (not Windows), and
// the file is not open for appending only.
bool writesAtOffsets(const OutputFile& out);

// Writes `n` bytes at byte `offset` of the output, past its end if need be
// (the gap reads as zeros until written), without moving the point where
// writeAll and copyToEnd append. Safe from two threads at once, each
// writing its own bytes. Only where writesAtOffsets; kIoUnsupported where
// the system has no such write.
IoError writeAt(OutputFile* out, int64_t offset, const void* data, size_t n);

// Gives the complete output its final name, replacing an earlier file of
// that name, and closes it. The terminating signals are held back on this
// thread from before its temporary name is made until the final name is
// there, so a signal's clean-up never meets a commit half done. On failure
// nothing of it remains and any earlier file of that name is left as it
// was.
IoError commitOutput(OutputFile* out);

// Closes and removes the output. Safe on an output that failed to open or
// was already discarded.
void discardOutput(OutputFile* out);

// The identity of a file: the same for every name of it (hard links, and
// on Windows another case or the short 8.3 form of its name). `known` is
// false where there is no file or it cannot be told.
struct FileIdentity {
  bool known = false;
  uint64_t volume = 0;  // POSIX st_dev; Windows the volume serial number
  uint64_t file = 0;    // POSIX st_ino; Windows the file index
};

// The identity of the open file, or of the file that `path` names (through
// symbolic links).
FileIdentity identityOf(FileHandle file);
FileIdentity identityAt(const std::string& path);

// True when both are known and are one file.
bool sameFile(const FileIdentity& a, const FileIdentity& b);

// The room on the file system that holds folder `folder` ("" for the
// current one): the bytes this process may still write there (POSIX
// f_bavail, Windows the bytes free to the caller, within the user's
// quota), and the unit files take space in (POSIX f_frsize, Windows the
// cluster; 4096 where it cannot be told). kIoOk or the error.
struct DiskSpace {
  int64_t available = 0;
  int64_t blockBytes = 4096;
};
IoError diskSpace(const std::string& folder, DiskSpace* space);

// The bytes that replacing the file `path` by another gives back to its
// file system: the space it takes (POSIX its blocks, Windows its size),
// or 0 when nothing regular is there or the file has other names (hard
// links) that keep it.
int64_t spaceFreedByReplacing(const std::string& path);

#ifdef _WIN32
// Between the two files of the Windows platform. widen: UTF-8 as UTF-16.
// setUpConsole: the standard handles' and the console's part of
// platformInit. endConsoleForEvent: the console event handler's part, on
// the system's thread: takes standard error for good, writes the
// setSignalText bytes and puts the console's mode back.
std::wstring widen(const std::string& utf8);
void setUpConsole();
void endConsoleForEvent();
#endif
