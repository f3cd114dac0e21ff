#include "app/app.h"

#ifdef _WIN32
#include <windows.h>

#include <string>
#include <vector>

#include "platform/platform.h"

// The C runtime's narrow arguments are in the system's ANSI code page, which
// turns every character outside it into '?' (a folder named in Japanese on a
// Western system, for one). The wide arguments hold what was typed; the tool
// takes them as UTF-8, as it does every name.
int wmain(int argc, wchar_t** wargv) {
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i) {
    int n = WideCharToMultiByte(CP_UTF8, 0, wargv[i], -1, nullptr, 0, nullptr, nullptr);
    std::string arg(static_cast<size_t>(n > 0 ? n : 1), '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, wargv[i], -1, arg.data(), n, nullptr, nullptr);
    arg.pop_back();  // the terminating NUL
    // cmd reads "C:\Games\X data\" as an escaped quote and passes
    // C:\Games\X data" : where the backslash it was typed as gives a
    // folder, take it so.
    if (arg.size() > 1 && arg.back() == '"') {
      std::string folder = arg.substr(0, arg.size() - 1) + "\\";
      if (pathKind(folder) == PathKind::Folder) arg = folder;
    }
    args.push_back(arg);
  }
  std::vector<const char*> argv;
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  argv.push_back(nullptr);
  return runTool(argc, argv.data());
}
#else
int main(int argc, char** argv) { return runTool(argc, argv); }
#endif
