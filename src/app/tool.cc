// The tool as a whole: standard output and its first failure, the data
// file opened and checked, and the command line's outcome: the usage, the
// version, a refusal, the listing or a run.
#include <cstdarg>
#include <cstdio>
#include <new>

#include "app/app.h"
#include "platform/platform.h"
#include "utf8/utf8.h"

#ifndef KVBGM2WAV_VERSION
#define KVBGM2WAV_VERSION "dev"
#endif

namespace {

// The first standard-output error of the run, reported once at its end;
// written and read by the main thread only (say).
IoError gStdoutError = kIoOk;

}  // namespace

void say(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  int length = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string text(static_cast<size_t>(length > 0 ? length : 0) + 1, '\0');
  std::vsnprintf(text.data(), text.size(), format, again);
  va_end(again);
  text.pop_back();
  IoError error = writeStdout(text);
  if (gStdoutError == kIoOk) gStdoutError = error;
}

int openData(const CommandLine& line, FileHandle* dataFile, std::string* dataPath) {
  *dataPath = dataFilePath(line);
  std::string shown = printable(*dataPath);
  int64_t size = 0;
  IoError error = openDataFile(*dataPath, dataFile, &size);
  if (error == kIoNotFound) {
    say("%s not found.\n", shown.c_str());
    if (ownsConsoleWindow()) {
      // Double-clicked: say where it looked, and the other way to start.
      say("Looked in %s. Put kvbgm2wav.exe beside kvbgm.dat, or drop kvbgm.dat onto "
          "kvbgm2wav.exe.\n", printable(absolutePath(folderOf(*dataPath))).c_str());
    }
    return kExitFailed;
  }
  if (error != kIoOk) {
    say("cannot read %s: %s\n", shown.c_str(), ioErrorText(error).c_str());
    return kExitFailed;
  }
  // A negative fade wraps inside the loop, so no track reads past its end.
  int64_t needed = trackEntry(line.options.lastTrack - 1).end;
  if (size < needed) {
    say("%s is too short: %lld bytes, need %lld\n", shown.c_str(),
        static_cast<long long>(size), static_cast<long long>(needed));
    closeFile(dataFile);
    return kExitFailed;
  }
  return kExitOk;
}

namespace {

int runCommandLine(int argc, const char* const* argv) {
  CommandLine line = parseCommandLine(argc - 1, argv + 1);
  if (line.help) {
    say("%s", usageText().c_str());
    return kExitOk;
  }
  if (line.version) {
    say("kvbgm2wav " KVBGM2WAV_VERSION "\n");
    return kExitOk;
  }
  std::string message = checkCommandLine(line);
  if (!message.empty()) {
    say("%s", message.c_str());
    return kExitBadSetting;
  }
  if (line.list) {
    // A data path given with --list is checked, never ignored.
    if (!line.dataPath.empty()) {
      FileHandle dataFile;
      std::string dataPath;
      FileCloser owner{&dataFile};
      if (openData(line, &dataFile, &dataPath) != kExitOk) return kExitFailed;
    }
    say("%s", listText(line, stdoutIsTerminal()).c_str());
    return kExitOk;
  }
  say("%s", (line.length > 0 ? lengthBannerText(line) : bannerText(line.options)).c_str());
  return runExtraction(line);
}

}  // namespace

int runTool(int argc, const char* const* argv) {
  prepareCatalog();
  platformInit();
  int status;
  try {
    status = runCommandLine(argc, argv);
  } catch (const std::bad_alloc&) {
    // Only the few small allocations outside a track's file get here; a
    // track's own fail that track alone.
    say("kvbgm2wav: out of memory\n");
    status = kExitFailed;
  }
  if (gStdoutError != kIoOk) {
    writeStderr("kvbgm2wav: cannot write standard output: " + ioErrorText(gStdoutError) + "\n");
    if (status == kExitOk) status = kExitFailed;
  }
  if (ownsConsoleWindow()) {
    say("Press Enter to close this window.\n");
    waitForEnter();
  }
  return status;
}

IoError makeOutputFolder(const std::string& folder, std::vector<std::string>* made) {
  IoError error = kIoOk;
  for (int attempt = 0; attempt < 3; ++attempt) {
    error = makeFolders(folder, made);
    if (error == kIoOk) error = useFolder(folder);
    if (error != kIoNotFound) break;
  }
  return error;
}

bool folderGone(const std::string& folder) {
  return folderStatus(folder.empty() ? "." : folder) != kIoOk;
}

void sayFolderRefused(const std::string& folder, const std::string& reason) {
  say("cannot write into %s: %s (write elsewhere with -o DIR)\n",
      printable(folder.empty() ? "." : folder).c_str(), reason.c_str());
}

bool folderTakesFiles(const std::string& folder, const std::string& name) {
  OutputFile probe;
  IoError error = createOutput(folder, name, &probe);
  discardOutput(&probe);
  if (error == kIoOk || !(isFolderUnwritable(error) || folderGone(folder))) return true;
  sayFolderRefused(folder, ioErrorText(error));
  return false;
}

