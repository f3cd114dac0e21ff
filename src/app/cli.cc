// The command line: the settings grammar, the reading of the options of
// the table (options.cc), and the checks of a whole command line.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>

#include "app/app.h"
#include "flac/flac.h"
#include "loudness/loudness.h"
#include "ogg/ogg.h"
#include "platform/platform.h"
#include "utf8/utf8.h"


namespace {

constexpr int64_t kInt32Max = std::numeric_limits<int32_t>::max();
constexpr int64_t kInt32Min = std::numeric_limits<int32_t>::min();

int32_t saturate(int64_t value) {
  return static_cast<int32_t>(std::clamp(value, kInt32Min, kInt32Max));
}

bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Sets the one setting that `arg` names (see parseOptions).
void applySetting(ExtractOptions* options, const char* arg) {
  const SettingRow& row = settingRow(arg[0]);
  const char* number = row.letters[0] == '\0' ? arg : arg + 1;
  int32_t value = saturate(int64_t{row.sign} * readNumber(number));
  options->*row.sets = value;
  if (row.alsoSets != nullptr) options->*row.alsoSets = value;
}

bool isValidSetting(const char* arg) {
  ExtractOptions options;
  applySetting(&options, arg);
  return validateOptions(options).empty();
}

bool isSettingLetter(char c) { return settingRow(c).letters[0] != '\0'; }

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// True when readNumber finds at least one digit at the start of `text`.
bool startsNumber(const char* text) {
  while (isBlank(*text)) ++text;
  if (*text == '+' || *text == '-') ++text;
  return isDigit(*text);
}

bool hasPathSeparator(const std::string& arg) {
  return std::any_of(arg.begin(), arg.end(), isPathSeparator);
}

std::string lowerAscii(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// Reads an Ogg quality written as a decimal number, "5", "-1", "4.25",
// with any number of digits, within kOggMinQuality..kOggMaxQuality as
// written (9.99999999999 is within, 10.000000000001 is not). False for
// anything else.
bool readQuality(const std::string& text, float* quality) {
  bool negative = !text.empty() && text[0] == '-';
  size_t i = negative ? 1 : 0;
  size_t digits = i;
  int64_t whole = 0;  // the whole part, held at 1000 once past it
  double value = 0;
  for (; i < text.size() && isDigit(text[i]); ++i) {
    whole = std::min<int64_t>(whole * 10 + (text[i] - '0'), 1000);
    value = value * 10 + (text[i] - '0');
  }
  bool hasWhole = i > digits;
  size_t fraction = 0;
  bool fractionAboveZero = false;
  if (i < text.size() && text[i] == '.') {
    double scale = 1;
    for (size_t from = ++i; i < text.size() && isDigit(text[i]); ++i) {
      scale /= 10;
      value += (text[i] - '0') * scale;
      fractionAboveZero = fractionAboveZero || text[i] != '0';
      fraction = i + 1 - from;
    }
  }
  if (i != text.size() || (!hasWhole && fraction == 0)) return false;
  // The range from the digits themselves, where rounding cannot reach.
  auto limit = static_cast<int64_t>(negative ? -kOggMinQuality : kOggMaxQuality);
  if (whole > limit || (whole == limit && fractionAboveZero)) return false;
  if (negative) value = -value;
  value = std::clamp(value, double{kOggMinQuality}, double{kOggMaxQuality});
  *quality = static_cast<float>(value);
  return true;
}

// The option of the table that `arg` gives, or nullptr. "--" is not one:
// the parser reads it itself.
const OptionRow* findOption(const std::string& arg) {
  for (size_t i = 0; i < kOptionCount; ++i) {
    const OptionRow& known = kOptionTable[i];
#ifdef _WIN32
    // The Windows way to ask for help.
    if (arg == "/?" && known.option == Option::Help) return &known;
#endif
    if (std::strcmp(known.name, "--") == 0) continue;
    if (arg == known.name || (known.alias != nullptr && arg == known.alias)) return &known;
    if (known.value != nullptr && arg.rfind(std::string(known.name) + "=", 0) == 0) return &known;
  }
  return nullptr;
}

// True when `arg` is an option, or reads as one: "--", or a dash and no
// digit after it.
bool looksLikeOption(const std::string& arg) {
  return findOption(arg) != nullptr || arg == "--" ||
         (arg.size() > 1 && arg[0] == '-' && !isDigit(arg[1]));
}

// Sets what `option` with `value` says; the message that refuses it, or "".
std::string applyOption(CommandLine* line, Option option, const std::string& value) {
  switch (option) {
    case Option::EndOfOptions: break;  // read by the parser itself
    case Option::Help: line->help = true; break;
    case Option::Version: line->version = true; break;
    case Option::List: line->list = true; break;
    case Option::LoopPoints: line->loopPoints = true; break;
    case Option::Split: line->split = true; break;
    case Option::ReplayGain: line->replayGain = true; break;
    case Option::Output: line->outputFolder = value; break;
    case Option::Length:
      if (!readLength(value, &line->length)) return lengthMessage(value);
      break;
    case Option::Format: {
      const WriterRow* writer = writerNamed(lowerAscii(value));
      if (writer == nullptr) return "--format must be " + writerNamesText() + "\n";
      line->format = writer->format;
      break;
    }
    case Option::Quality:
      if (!readQuality(value, &line->quality)) {
        return "--quality must be -1 to 10: " + printable(value) + "\n";
      }
      line->hasQuality = true;
      break;
    case Option::Compression:
      if (value.size() != 1 || !isDigit(value[0]) || value[0] - '0' > kFlacMaxCompression) {
        return "--compression must be 0-" + std::to_string(kFlacMaxCompression) + "\n";
      }
      line->compression = value[0] - '0';
      break;
    case Option::Tag: {
      size_t equals = value.find('=');
      Tag tag{value.substr(0, equals), equals == std::string::npos ? "" : value.substr(equals + 1)};
      if (equals == std::string::npos || equals == 0) {
        return "--tag needs NAME=VALUE: " + printable(value) + "\n";
      }
      if (!isValidTagName(tag.name)) {
        return "--tag " + printable(tag.name) +
               ": a NAME is printable ASCII other than \"=\" and \"~\"\n";
      }
      if (!isValidUtf8(tag.value)) return "--tag " + tag.name + ": the value is not UTF-8\n";
      if (isLoopTagName(tag.name)) return "--tag " + tag.name + ": loop tags come from --loop-points\n";
      line->tags.push_back(tag);
      break;
    }
  }
  return "";
}

// What an argument that is not an option is.
enum class ArgKind { Setting, DataPath, UnknownOption, NamesNothing, NotASetting, TwoSettings };

bool isLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// True when `arg` has a dot followed by a letter, as a file name's
// extension does ("fan_remix.dat").
bool hasExtension(const std::string& arg) {
  for (size_t i = 0; i + 1 < arg.size(); ++i) {
    if (arg[i] == '.' && isLetter(arg[i + 1])) return true;
  }
  return false;
}

// Where the setting at the start of `arg` ends, as readNumber reads it: its
// letter, blanks, a sign and digits.
size_t settingEnd(const std::string& arg, size_t from) {
  size_t i = from;
  if (i < arg.size() && isSettingLetter(arg[i])) ++i;
  while (i < arg.size() && isBlank(arg[i])) ++i;
  if (i < arg.size() && (arg[i] == '+' || arg[i] == '-')) ++i;
  while (i < arg.size() && isDigit(arg[i])) ++i;
  return i;
}

// True when a setting starts at arg[i]: a setting letter, a sign perhaps,
// and a digit.
bool settingAt(const std::string& arg, size_t i) {
  if (i >= arg.size() || !isSettingLetter(arg[i])) return false;
  ++i;
  if (i < arg.size() && (arg[i] == '+' || arg[i] == '-')) ++i;
  return i < arg.size() && isDigit(arg[i]);
}

ArgKind kindOf(const std::string& arg, bool optionsEnded) {
  if (hasPathSeparator(arg)) return ArgKind::DataPath;
  // An existing file or folder wins over a lenient reading of its name.
  bool strictlyValid = isStrictSetting(arg) && isValidSetting(arg.c_str());
  if (!strictlyValid && pathKind(arg) != PathKind::Missing) return ArgKind::DataPath;
  if (!optionsEnded && arg.size() > 1 && arg[0] == '-' && !isDigit(arg[1])) {
    return ArgKind::UnknownOption;
  }
  // A file name that names no file is the data path, to be reported as
  // missing, whatever letter it starts with.
  if (hasExtension(arg)) return ArgKind::DataPath;
  if (!isSettingLetter(arg[0]) && !startsNumber(arg.c_str())) {
    // Any other such word is the pass count 0, refused.
    return arg.find('.') != std::string::npos ? ArgKind::DataPath : ArgKind::NamesNothing;
  }
  // A word, not a setting: "flac", "fast", "play".
  if (isSettingLetter(arg[0]) && arg.size() > 1 && isLetter(arg[1])) return ArgKind::NotASetting;
  if (settingAt(arg, settingEnd(arg, 0))) return ArgKind::TwoSettings;
  return ArgKind::Setting;
}

// The option that a word written without its dashes plainly is, as it
// would be written ("--format=flac" for "flac"), or "".
std::string optionLookingLike(const std::string& word) {
  std::string lower = lowerAscii(word);
  if (writerNamed(lower) != nullptr) return "--format=" + lower;
  size_t equals = lower.find('=');
  std::string name = "--" + lower.substr(0, equals);
  for (size_t i = 0; i < kOptionCount; ++i) {
    const OptionRow& row = kOptionTable[i];
    if (name != row.name || name == "--") continue;
    if (equals == std::string::npos) return row.value == nullptr ? name : "";
    return row.value != nullptr ? name + word.substr(equals) : "";
  }
  return "";
}

std::string notASettingMessage(const std::string& arg) {
  std::string message = printable(arg) + " is not a setting";
  std::string option = optionLookingLike(arg);
  if (!option.empty()) return message + ": did you mean " + printable(option) + "?\n";
  return message + " (a setting is a letter and a number, as f10)\n";
}

// "3F10 holds two settings: write them apart, as 3 F10".
std::string twoSettingsMessage(const std::string& arg) {
  std::string apart;
  for (size_t from = 0; from < arg.size();) {
    size_t end = settingEnd(arg, from);
    if (!settingAt(arg, end)) end = arg.size();
    if (!apart.empty()) apart += ' ';
    apart += arg.substr(from, end - from);
    from = end;
  }
  return printable(arg) + " holds more than one setting: write them apart, as " +
         printable(apart) + "\n";
}

std::string unknownOptionMessage(const std::string& arg) {
  std::string message = "unknown option " + printable(arg);
  size_t dashes = arg.find_first_not_of('-');
  std::string undashed = dashes == std::string::npos ? "" : arg.substr(dashes);
  if (isStrictSetting(undashed)) {
    message += " (settings take no dash: " + printable(undashed) + ")";
  }
  return message + "\n";
}

}  // namespace


int32_t readNumber(const char* text) {
  const char* p = text;
  while (isBlank(*p)) ++p;
  bool negative = *p == '-';
  if (*p == '+' || *p == '-') ++p;
  int64_t value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    // Past 2^31 the value only has to stay out of range.
    value = std::min<int64_t>(value * 10 + (*p - '0'), kInt32Max + 1);
  }
  return saturate(negative ? -value : value);
}

ExtractOptions parseOptions(int count, const char* const* args) {
  ExtractOptions options;
  for (int i = 0; i < count; ++i) applySetting(&options, args[i]);
  return options;
}

std::string bannerText(const ExtractOptions& options) {
  char line[128];
  std::snprintf(line, sizeof line,
                "track=%d-%d , repeat=%d , fade=%d , fade pattern=%d\n",
                firstIndex(options) + 1, options.lastTrack, options.repeat,
                options.fade, options.fadePattern);
  return line;
}

int firstIndex(const ExtractOptions& options) {
  return options.firstTrack != 0 ? options.firstTrack - 1 : 0;
}

CommandLine parseCommandLine(int count, const char* const* args) {
  CommandLine line;
  auto refuse = [&line](const std::string& message) {
    if (line.error.empty()) line.error = message;
  };
  bool optionsEnded = false;
  for (int i = 0; i < count; ++i) {
    std::string arg = args[i];
    if (!optionsEnded) {
      if (arg == "--") {
        optionsEnded = true;
        continue;
      }
      if (const OptionRow* option = findOption(arg)) {
        std::string value;
        if (option->value != nullptr) {
          size_t equals = arg.find('=');
          if (equals != std::string::npos) {
            value = arg.substr(equals + 1);
          } else if (i + 1 < count) {
            value = args[++i];
            if (option->option == Option::Output && looksLikeOption(value)) {
              refuse(arg + " needs a folder, not the option " + printable(value) +
                     ": a folder of that name is -o ./" + printable(value) + " or --output=" +
                     printable(value) + "\n");
              continue;
            }
          }
          if (value.empty()) refuse(arg.substr(0, equals) + " needs " + option->value + "\n");
        }
        if (!value.empty() || option->value == nullptr) {
          refuse(applyOption(&line, option->option, value));
        }
        continue;
      }
    }
    switch (kindOf(arg, optionsEnded)) {
      case ArgKind::DataPath:
        if (!line.dataPath.empty()) {
          refuse("only one data file or folder may be given: " + printable(line.dataPath) +
                 ", " + printable(arg) + "\n");
        }
        line.dataPath = arg;
        break;
      case ArgKind::UnknownOption: refuse(unknownOptionMessage(arg)); break;
      case ArgKind::NotASetting: refuse(notASettingMessage(arg)); break;
      case ArgKind::TwoSettings: refuse(twoSettingsMessage(arg)); break;
      case ArgKind::NamesNothing:
        // A word that plainly is an option without its dashes says so.
        refuse(optionLookingLike(arg).empty() ? settingRefusal(settingRow(arg[0]))
                                              : notASettingMessage(arg));
        break;
      case ArgKind::Setting:
        applySetting(&line.options, args[i]);
        if (settingRow(arg[0]).plays) line.playSettings = true;
        if (!isSettingLetter(arg[0])) line.repeatGiven = true;
        break;
    }
  }
  return line;
}

bool isStrictSetting(const std::string& arg) {
  size_t i = !arg.empty() && isSettingLetter(arg[0]) ? 1 : 0;
  if (i < arg.size() && (arg[i] == '+' || arg[i] == '-')) ++i;
  if (i == arg.size()) return false;
  return std::all_of(arg.begin() + static_cast<std::ptrdiff_t>(i), arg.end(), isDigit);
}

std::string checkCommandLine(const CommandLine& line) {
  if (!line.error.empty()) return line.error;
  std::string message = validateOptions(line.options);
  if (message.empty()) message = checkLength(line);
  if (!message.empty()) return message;
  if (line.split && line.playSettings) {
    return "--split writes the intro and the loop once each: no repeat, fade or fade curve\n";
  }
  if (line.list && !line.outputFolder.empty()) return "--list writes no files: no -o or --output\n";
  if (line.format != OutputFormat::Flac && line.compression >= 0) {
    return "--compression needs --format=flac\n";
  }
  if (line.format != OutputFormat::Ogg && line.hasQuality) return "--quality needs --format=ogg\n";
  if (line.format == OutputFormat::Wav && !line.tags.empty()) {
    return "--tag needs --format=flac or --format=ogg\n";
  }
  if (line.format == OutputFormat::Wav && line.replayGain) {
    return "--replaygain needs --format=flac or --format=ogg\n";
  }
  for (const Tag& tag : line.tags) {
    if (line.replayGain && isReplayGainTagName(tag.name)) {
      return "--tag " + tag.name + ": --replaygain measures the REPLAYGAIN_ tags\n";
    }
  }
  message = checkWaveSizes(line);
  return message.empty() ? checkFileTags(line) : message;
}

RenderSettings renderSettings(const CommandLine& line) {
  RenderSettings settings;
  settings.repeat = line.options.repeat;
  settings.fade = line.options.fade;
  settings.pattern = static_cast<FadePattern>(line.options.fadePattern);
  settings.loopPoints = line.loopPoints;
  settings.length = line.length;
  return settings;
}
