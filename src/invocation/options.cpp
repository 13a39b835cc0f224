// Reads the options of the command line into JobSettings. Options come first, each
// introduced by '-' or '/', with its value (if any) in the next argument.
#include "invocation/options.h"

#include <algorithm>
#include <array>
#include <vector>

#include "core/ascii_case.h"
#include "core/printable.h"
#include "invocation/nearest_name.h"
#include "invocation/setting_keys.h"
#include "oauth/provider.h"

namespace larkpost {
namespace {

using ValueSetter = void (*)(JobSettings&, const std::string& value);

constexpr std::uint32_t kLargestPort = 65535;

struct OptionWithValue {
  char letter;
  ValueSetter apply;
};

// The attachment is handled on its own: it needs the file search.
constexpr std::array<OptionWithValue, 8> kValueOptions{{
    {'b', [](JobSettings& s, const std::string& v) { s.subject = v; }},
    {'d', [](JobSettings& s, const std::string& v) { s.domain = v; }},
    {'f', [](JobSettings& s, const std::string& v) { s.senderName = v; }},
    {'l',
     [](JobSettings& s, const std::string& v) {
       s.listPath = v;
       s.useList = true;
     }},
    {'p', [](JobSettings& s, const std::string& v) { setPort(s, v); }},
    {'r', [](JobSettings& s, const std::string& v) { s.priority = parseInteger(v); }},
    {'s', [](JobSettings& s, const std::string& v) { s.server = serverAddress(v); }},
    {'u', [](JobSettings& s, const std::string& v) { s.senderAddress = v; }},
}};

// White space as C's isspace() knows it in the "C" locale.
bool isSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

const OptionWithValue* findValueOption(char letter) {
  for (const OptionWithValue& option : kValueOptions) {
    if (option.letter == letter) return &option;
  }
  return nullptr;
}

// The file at `path`, found and opened; std::nullopt, with the warning, when not found.
std::optional<Attachment> findAttachment(const std::string& path, const FileFinder& findFile,
                                         std::ostream& out) {
  std::optional<FoundFile> found = findFile(path);
  if (!found) {
    out << "\n\bAttachment '" << printable(path) << "' could not be found\n";
    return std::nullopt;
  }
  return Attachment{path, std::move(found->name), std::move(found->file)};
}

enum class LongResult { kApplied, kHelp, kVersion, kInvalid };

// The long options that are no setting of the settings file.
constexpr std::array<std::string_view, 11> kOwnLongOptions{
    "--attach", "--check",       "--dry-run",          "--help",  "--html",      "--oauth-login",
    "--report", "--store-password", "--trace", "--trace-data", "--version"};

// Only the name is echoed: what follows '=' may be a secret typed in the wrong place.
std::string unknownOptionMessage(std::string_view name) {
  std::vector<std::string_view> known(kOwnLongOptions.begin(), kOwnLongOptions.end());
  for (const SettingKey& setting : settingKeys()) {
    if (!setting.longOption.empty()) known.push_back(setting.longOption);
  }
  std::string message = "Unknown option '";
  message.append(printable(name)).append("'");
  if (std::optional<std::string_view> near = nearestName(name, known)) {
    message.append(" (did you mean ").append(*near).append("?)");
  }
  return message.append("\n");
}

// One "--name" or "--name=value" argument.
LongResult applyLongOption(const std::string& argument, JobSettings& settings,
                           const FileFinder& findFile, std::string& invalid, std::ostream& out) {
  std::size_t equals = argument.find('=');
  std::string_view name = std::string_view(argument).substr(0, equals);
  bool hasValue = equals != std::string::npos;
  std::string value = hasValue ? argument.substr(equals + 1) : std::string();
  const SettingKey* setting = findLongOption(name);
  bool takesValue = setting != nullptr || name == "--attach" || name == "--report";
  if (!hasValue && setting && isFlag(*setting)) {
    setting->apply(settings, "yes");
  } else if (!hasValue && name == "--check") {
    settings.check = true;
  } else if (!hasValue && name == "--dry-run") {
    settings.dryRun = true;
  } else if (name == "--oauth-login") {
    // Alone, the provider's usual way; =browser or =device-code to choose.
    std::optional<OAuthGrant> grant = oauth::parseGrant(value);
    if (hasValue && (!grant || *grant == OAuthGrant::kClientCredentials)) {
      invalid = "Invalid value '" + printable(value) + "' for --oauth-login\n";
      return LongResult::kInvalid;
    }
    settings.oauthLogin = true;
    if (hasValue && *grant != OAuthGrant::kAuto) settings.oauth.grant = *grant;
  } else if (!hasValue && name == "--store-password") {
    settings.storePassword = true;
  } else if (!hasValue && name == "--html") {
    settings.html = true;
  } else if (!hasValue && name == "--help") {
    return LongResult::kHelp;
  } else if (!hasValue && name == "--version") {
    return LongResult::kVersion;
  } else if (!hasValue && name == "--trace") {
    // Standard error. Moved in: assigning the literal trips GCC 12's -Wrestrict at -O3.
    settings.tracePath = std::string("-");
  } else if (!hasValue && name == "--trace-data") {
    settings.traceData = true;
  } else if (takesValue && !hasValue) {
    out << "Not Enough Information For Switch '" << printable(argument) << "'\n";
  } else if (name == "--report") {
    settings.reportPath = value;
  } else if (name == "--attach") {
    // Each --attach adds a part; one not found is left out.
    if (std::optional<Attachment> found = findAttachment(value, findFile, out)) {
      settings.moreAttachments.push_back(std::move(*found));
    }
  } else if (setting) {
    if (!setting->apply(settings, value)) {
      invalid = "Invalid value '" + printable(value) + "' for " + std::string(name) + "\n";
      return LongResult::kInvalid;
    }
  } else if (std::find(kOwnLongOptions.begin(), kOwnLongOptions.end(), name) !=
             kOwnLongOptions.end()) {
    invalid = std::string("Option '").append(name).append("' takes no value\n");
    return LongResult::kInvalid;
  } else {
    invalid = unknownOptionMessage(name);
    return LongResult::kInvalid;
  }
  return LongResult::kApplied;
}

bool isOptionArgument(const std::string& argument) {
  return !argument.empty() && (argument[0] == '-' || argument[0] == '/');
}

// -a: only its last occurrence counts, even when that one is not found.
void attachFile(JobSettings& settings, const std::string& path, const FileFinder& findFile,
                std::ostream& out) {
  std::optional<Attachment> found = findAttachment(path, findFile, out);
  settings.attach = found.has_value();
  settings.attachment = found ? std::move(*found) : Attachment{path, {}, nullptr};
}

void printOptionLine(std::ostream& out, std::string_view option, std::string_view example,
                     std::string_view description) {
  std::string line = "   ";
  line += option;
  line.resize(3 + 18, ' ');
  line += "( ";
  line += example;
  line.resize(3 + 18 + 2 + 19, ' ');
  line += " )  --  ";
  line += description;
  line += '\n';
  out << line;
}

}  // namespace

std::string serverAddress(std::string_view written) {
  bool bracketed = written.size() > 2 && written.front() == '[' && written.back() == ']' &&
                   written.find(':') != std::string_view::npos;
  return std::string(bracketed ? written.substr(1, written.size() - 2) : written);
}

std::int32_t parseInteger(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && isSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  std::uint32_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10u + static_cast<std::uint32_t>(text[i] - '0');
  }
  return static_cast<std::int32_t>(negative ? 0u - value : value);
}

std::optional<PortValue> parsePort(std::string_view text) {
  std::size_t start = 0;
  while (start < text.size() && isSpace(text[start])) ++start;
  std::size_t end = start;
  if (end < text.size() && (text[end] == '+' || text[end] == '-')) ++end;
  const std::size_t firstDigit = end;
  // The value saturates past the largest port, so no length of digits can wrap it.
  std::uint32_t value = 0;
  for (; end < text.size() && text[end] >= '0' && text[end] <= '9'; ++end) {
    value = std::min<std::uint32_t>(value * 10u + static_cast<std::uint32_t>(text[end] - '0'),
                                    kLargestPort + 1);
  }
  if (end == firstDigit) return std::nullopt;
  bool names = text[start] != '-' && value >= 1 && value <= kLargestPort;
  return PortValue{std::string(text.substr(start, end - start)),
                   names ? static_cast<std::int32_t>(value) : 0};
}

void setPort(JobSettings& settings, std::string_view text) {
  PortValue value = parsePort(text).value_or(PortValue{"0", 0});
  settings.port = value.port;
  settings.portAsWritten = std::move(value.written);
}

OptionsOutcome parseOptions(std::span<const std::string> args, std::size_t first,
                            JobSettings& settings, const FileFinder& findFile, std::ostream& out) {
  std::size_t k = first;
  while (k < args.size() && isOptionArgument(args[k])) {
    const std::string& argument = args[k];
    if (argument.starts_with("--")) {
      OptionsOutcome outcome;
      outcome.firstRecipient = k;
      switch (applyLongOption(argument, settings, findFile, outcome.invalid, out)) {
        case LongResult::kApplied:
          k += 1;
          continue;
        case LongResult::kHelp:
          outcome.helpRequested = true;
          return outcome;
        case LongResult::kVersion:
          outcome.versionRequested = true;
          return outcome;
        case LongResult::kInvalid:
          return outcome;
      }
    }
    char letter = argument.size() > 1 ? lowerLetter(argument[1]) : '\0';
    bool hasValue = k + 1 < args.size();
    const OptionWithValue* valueOption = findValueOption(letter);

    if (letter == '?') {
      OptionsOutcome usage;
      usage.firstRecipient = k;
      usage.usageRequested = true;
      return usage;
    }
    if (valueOption || letter == 'a') {
      if (!hasValue) {
        out << "Not Enough Information For Switch '" << printable(argument) << "'\n";
        k += 1;
        continue;
      }
      if (letter == 'a') {
        attachFile(settings, args[k + 1], findFile, out);
      } else {
        valueOption->apply(settings, args[k + 1]);
      }
      k += 2;
    } else if (letter == 'h') {
      settings.emitHeader = true;
      k += 1;
    } else if (letter == 't') {
      settings.parseHeader = settings.emitHeader = settings.useList = true;
      k += 1;
    } else {
      out << "\n\bUnknown switch '" << printable(argument) << "', ignoring\n";
      k += 1;
    }
  }
  out.flush();
  OptionsOutcome outcome;
  outcome.firstRecipient = k;
  return outcome;
}

bool hasRecipientSource(std::size_t firstRecipient, std::size_t argumentCount,
                        const JobSettings& settings) {
  return firstRecipient < argumentCount || settings.useList || settings.parseHeader;
}

void printUsage(std::ostream& out) {
  out << "Usage Examples:\n"
         "larkpost [-d:\\pathtoini\\larkpost.ini] [options] user@host [user2@host2...]\n"
         "larkpost [options] user@host [user2@host2...]  --or--\n"
         "larkpost [options] user@host ... <infile       --or--\n"
         "type infile|larkpost [options] user@host ...\n"
         "\nOptions:\n";
  printOptionLine(out, "-a attachment", "d:\\anyfile.doc", "MIME Encode Binary Attachment");
  printOptionLine(out, "-l dist-list", "d:\\distlist.txt", "Distribution List");
  printOptionLine(out, "-b \"Subject\"", "\"The Subject\"", "Specify Subject");
  printOptionLine(out, "-f \"Sender Name\"", "\"Joe User\"", "Override Sender Name");
  printOptionLine(out, "-u sender address", "joe@example.com", "Override Sender Address");
  printOptionLine(out, "-s servername", "mail.example.com", "Override SMTP Server");
  printOptionLine(out, "-p SMTP Port", "25", "Override SMTP Port");
  printOptionLine(out, "-d Domain", "example.com", "Override Domain");
  printOptionLine(out, "-r Priority", "1", "1 (Highest) - 5 (Lowest)");
  printOptionLine(out, "-h", "No Header", "No Header in Input");
  std::string last = "   -t";
  last.resize(46, ' ');
  out << last << "--  Parse Header for To and From\n";
  out.flush();
}

}  // namespace larkpost

namespace larkpost {

void printHelp(std::ostream& out) {
  printUsage(out);
  out << "\nLong options:\n"
         "   --attach=file            Attach another file, after the one of -a\n"
         "   --check                  Connect, show what the server offers, send nothing\n"
         "   --dry-run                Show the envelope and the message, connect nowhere\n"
         "   --help                   Show this text\n"
         "   --html                   The body is HTML\n"
         "   --oauth-login[=browser]  Log in once at the OAuth provider, send nothing\n"
         "   --store-password         Store the password in the Windows Credential Manager\n"
         "   --version                Show the version and the TLS library\n"
         "   --trace                  Trace the dialogue to standard error\n"
         "   --trace-data             Show the message data in the trace, not only its size\n"
         "   --report=file            Write a JSON report of the outcome (- for standard output)\n";
  for (const SettingKey& setting : settingKeys()) {
    if (setting.longOption.empty()) continue;
    std::string line = "   ";
    line.append(setting.longOption);
    if (!isFlag(setting)) line.append("=").append(setting.help);
    line.resize(std::max<std::size_t>(line.size() + 1, 28), ' ');
    out << line << "Setting " << setting.key << "\n";
  }
  out.flush();
}

}  // namespace larkpost
