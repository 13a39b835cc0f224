// The options, their warnings and the usage text, byte for byte.
#include "invocation/options.h"

#include <gtest/gtest.h>

#include <sstream>

#include "core/printable.h"
#include "invocation/nearest_name.h"
#include "invocation/setting_keys.h"
#include "invocation/settings.h"

namespace larkpost {
namespace {

struct Parsed {
  OptionsOutcome outcome;
  JobSettings settings;
  std::string output;
};

Parsed parse(std::vector<std::string> args, std::size_t first = 1) {
  args.insert(args.begin(), "larkpost");
  Parsed parsed;
  std::ostringstream out;
  FileFinder finder = [](const std::string& path) -> std::optional<FoundFile> {
    if (path.find("missing") != std::string::npos) return std::nullopt;
    return FoundFile{path.substr(path.find_last_of('/') + 1), nullptr};
  };
  parsed.outcome = parseOptions(args, first, parsed.settings, finder, out);
  parsed.output = out.str();
  return parsed;
}

TEST(Options, EveryOptionInEitherCaseAndPrefix) {
  Parsed p = parse({"-s", "mail.example.com", "/P", "2525", "-D", "example.com", "-f",
                    "Joe User", "/u", "joe@example.com", "-B", "-h", "-r", " +3x", "-l",
                    "list.txt", "-A", "/docs/Report.doc", "-H", "alice"});
  EXPECT_EQ(p.settings.server, "mail.example.com");
  EXPECT_EQ(p.settings.port, 2525);
  EXPECT_EQ(p.settings.domain, "example.com");
  EXPECT_EQ(p.settings.senderName, "Joe User");
  EXPECT_EQ(p.settings.senderAddress, "joe@example.com");
  EXPECT_EQ(p.settings.subject, "-h");  // a value is the next argument, whatever it is
  EXPECT_EQ(p.settings.priority, 3);
  EXPECT_EQ(p.settings.listPath, "list.txt");
  EXPECT_TRUE(p.settings.useList);
  EXPECT_TRUE(p.settings.attach);
  EXPECT_EQ(p.settings.attachment.path, "/docs/Report.doc");
  EXPECT_EQ(p.settings.attachment.name, "Report.doc");
  EXPECT_TRUE(p.settings.emitHeader);
  EXPECT_FALSE(p.settings.parseHeader);
  EXPECT_EQ(p.outcome.firstRecipient, 20u);
  EXPECT_EQ(p.output, "");
}

TEST(Options, WarningsAndTheirTexts) {
  Parsed unknown = parse({"-X", "-", "/", "-9", "bob"});
  EXPECT_EQ(unknown.output,
            "\n\bUnknown switch '-X', ignoring\n\n\bUnknown switch '-', ignoring\n"
            "\n\bUnknown switch '/', ignoring\n\n\bUnknown switch '-9', ignoring\n");
  EXPECT_EQ(unknown.outcome.firstRecipient, 5u);

  Parsed trailing = parse({"-s"});
  EXPECT_EQ(trailing.output, "Not Enough Information For Switch '-s'\n");
  EXPECT_EQ(trailing.settings.server, "localhost");
  EXPECT_FALSE(hasRecipientSource(trailing.outcome.firstRecipient, 2, trailing.settings));

  Parsed missing = parse({"-a", "/docs/found.txt", "-a", "/docs/missing.txt", "bob"});
  EXPECT_EQ(missing.output, "\n\bAttachment '/docs/missing.txt' could not be found\n");
  EXPECT_FALSE(missing.settings.attach);
}

TEST(Options, UnknownLongOptionEndsTheRunNamingOnlyTheName) {
  const std::pair<std::string, std::string> cases[] = {
      {"--securty=tls", "Unknown option '--securty' (did you mean --security?)\n"},
      {"--retyr=3", "Unknown option '--retyr' (did you mean --retry?)\n"},
      {"--tls-verfy=no", "Unknown option '--tls-verfy' (did you mean --tls-verify?)\n"},
      {"--quite", "Unknown option '--quite' (did you mean --quiet?)\n"},
      // What follows '=' may be a secret typed in the wrong place: never echoed.
      {"--password=Hunter2", "Unknown option '--password'\n"},
      {"--x\x1b]0;=y", "Unknown option '--x\\x1B]0;'\n"},
      {"--frobnicate", "Unknown option '--frobnicate'\n"},
      {"--check=yes", "Option '--check' takes no value\n"},
      {"--oauth-logn", "Unknown option '--oauth-logn' (did you mean --oauth-login?)\n"},
      {"--store-pasword", "Unknown option '--store-pasword' (did you mean --store-password?)\n"},
      {"--store-password=x", "Option '--store-password' takes no value\n"},
      {"--oauth-tenat=contoso", "Unknown option '--oauth-tenat' (did you mean --oauth-tenant?)\n"},
      // Secret keys have no option, and their values are not echoed either.
      {"--oauth-client-secret=s3cr3t", "Unknown option '--oauth-client-secret'\n"},
  };
  for (const auto& [argument, message] : cases) {
    Parsed p = parse({"-s", "mail.example.com", argument, "bob"});
    EXPECT_EQ(p.outcome.invalid, message) << argument;
    EXPECT_EQ(p.output, "");
  }
}

TEST(Options, YesNoSettingsMayStandAloneAsFlags) {
  Parsed p = parse({"--quiet", "--ignore-dots", "--dry-run", "--log=/var/log/larkpost.log", "bob"});
  EXPECT_TRUE(p.settings.quiet && p.settings.ignoreDots && p.settings.dryRun);
  EXPECT_EQ(p.settings.logPath, "/var/log/larkpost.log");
  EXPECT_FALSE(parse({"--quiet=no", "bob"}).settings.quiet);
  EXPECT_EQ(parse({"--quiet=maybe", "bob"}).outcome.invalid, "Invalid value 'maybe' for --quiet\n");
  // Only yes/no settings without a value form stand alone.
  EXPECT_EQ(parse({"--log", "bob"}).output, "Not Enough Information For Switch '--log'\n");
}

TEST(Options, BracketedIPv6ServerIsTheAddress) {
  EXPECT_EQ(parse({"-s", "[2001:db8::25]", "bob"}).settings.server, "2001:db8::25");
  EXPECT_EQ(serverAddress("[::1]"), "::1");
  for (const char* kept : {"mail.example.com", "[192.0.2.1]", "[]", "[::1", "::1"}) {
    EXPECT_EQ(serverAddress(kept), kept);
  }
}

TEST(Options, NearestNameIsWithinTwoEdits) {
  const std::string_view known[] = {"Server", "Security", "User", "Port"};
  EXPECT_EQ(nearestName("Sever", known), "Server");
  EXPECT_EQ(nearestName("Securty", known), "Security");
  EXPECT_EQ(nearestName("Usr", known), "User");
  EXPECT_EQ(nearestName("Prot", known), "Port");        // a swap is one edit
  EXPECT_EQ(nearestName("user", known), std::nullopt);  // the same name in another case
  EXPECT_EQ(nearestName("Colour", known), std::nullopt);
  EXPECT_EQ(nearestName(std::string(100, 'a'), known), std::nullopt);
  EXPECT_EQ(editDistance("kitten", "sitting"), 3u);
}

TEST(Settings, UnknownKeysAndUnreadSectionsAreNamedWithTheirLines) {
  EXPECT_EQ(
      settingsFileWarnings("f.ini",
                           "[SMTP]\r\nServer=a\r\n\r\nSever=b\r\n; Usr=c\r\n"
                           "# note\r\nUsr=me\r\nColour=blue\r\n[Other]\r\nX=1\r\n"),
      (std::vector<std::string>{
          "Warning: settings file 'f.ini', line 4: unknown key 'Sever' (did you mean Server?)\n",
          "Warning: settings file 'f.ini', line 7: unknown key 'Usr' (did you mean User?)\n",
          "Warning: settings file 'f.ini', line 8: unknown key 'Colour'\n"}));
  // Nothing the program reads: the other sections, and keys before any section, are named.
  EXPECT_EQ(settingsFileWarnings("f.ini", "Server=a\n[SMPT]\nServer=b\n[Mail]\nUser=x\n"),
            (std::vector<std::string>{
                "Warning: settings file 'f.ini', line 1: key 'Server' stands before any section; "
                "settings belong in section [SMTP]\n",
                "Warning: settings file 'f.ini', line 2: section [SMPT] is not read "
                "(did you mean [SMTP]?)\n",
                "Warning: settings file 'f.ini', line 4: section [Mail] is not read\n"}));
  // Only the first section of the name is read; keys in a later one are not its keys.
  EXPECT_EQ(settingsFileWarnings("f.ini", "[smtp]\rport=25\r[x]\r[SMTP]\rbogus=1\r"),
            std::vector<std::string>{});
  for (const SettingKey& setting : settingKeys()) {
    EXPECT_EQ(settingsFileWarnings("f", "[SMTP]\n" + std::string(setting.key) + "=x\n"),
              std::vector<std::string>{});
  }
}

TEST(Options, EachAttachAddsAFileAfterThatOfA) {
  Parsed p = parse({"--attach=/d/one.txt", "-a", "/d/first.txt", "--attach=/d/missing.txt",
                    "--attach", "--attach=/d/two.txt", "--html", "bob"});
  EXPECT_EQ(p.output,
            "\n\bAttachment '/d/missing.txt' could not be found\n"
            "Not Enough Information For Switch '--attach'\n");
  ASSERT_EQ(p.settings.moreAttachments.size(), 2u);
  EXPECT_EQ(p.settings.moreAttachments[0].name, "one.txt");
  EXPECT_EQ(p.settings.moreAttachments[1].path, "/d/two.txt");
  EXPECT_EQ(p.settings.attachment.name, "first.txt");
  EXPECT_TRUE(p.settings.attach && p.settings.html);
  EXPECT_EQ(p.outcome.firstRecipient, 8u);
}

TEST(Options, CharsetMustBeAToken) {
  using namespace std::string_literals;
  for (const std::string& valid : {"ISO-8859-15"s, "x-user_defined!"s, std::string(40, 'a')}) {
    EXPECT_EQ(parse({"--charset=" + valid, "bob"}).settings.charset, valid);
  }
  EXPECT_EQ(parse({"--charset=", "bob"}).settings.charset, platform::defaultCharset());
  for (const std::string& invalid : {std::string(41, 'a'), "utf 8"s, "\"utf-8\""s,
                                     "utf-8;format=flowed"s, "utf-8\r\nBcc: x@y"s, "b\xC3\xA4r"s}) {
    EXPECT_EQ(parse({"--charset=" + invalid, "bob"}).outcome.invalid,
              "Invalid value '" + printable(invalid) + "' for --charset\n");
  }
}

TEST(Options, HelpAndRecipientSources) {
  Parsed help = parse({"-b", "x", "/?", "bob"});
  EXPECT_TRUE(help.outcome.usageRequested);
  EXPECT_EQ(help.settings.subject, "x");

  Parsed headerOnly = parse({"-t"});
  EXPECT_TRUE(headerOnly.settings.parseHeader && headerOnly.settings.useList);
  EXPECT_TRUE(hasRecipientSource(headerOnly.outcome.firstRecipient, 2, headerOnly.settings));

  Parsed listWithoutValue = parse({"-l"});
  EXPECT_FALSE(listWithoutValue.settings.useList);
}

TEST(Options, SettingsFileArgument) {
  std::vector<std::string> named{"larkpost", "-abcd", "bob"};
  EXPECT_EQ(chooseSettingsFile(named, "/etc/larkpost.ini").path, "abcd");
  EXPECT_EQ(chooseSettingsFile(named, "/etc/larkpost.ini").firstOptionIndex, 2u);
  std::vector<std::string> option{"larkpost", "-abc", "bob"};
  EXPECT_EQ(chooseSettingsFile(option, "/etc/larkpost.ini").path, "/etc/larkpost.ini");
  EXPECT_EQ(chooseSettingsFile(option, "/etc/larkpost.ini").firstOptionIndex, 1u);
  std::vector<std::string> slash{"larkpost", "/c:\\mail.ini"};
  EXPECT_EQ(chooseSettingsFile(slash, "/etc/larkpost.ini").firstOptionIndex, 1u);
}

TEST(Options, IntegersAreReadAsCReadsThem) {
  const std::pair<const char*, std::int32_t> cases[] = {
      {"25", 25},      {"  \t42", 42},           {"-1", -1},   {"+7", 7},
      {"x", 0},        {"", 0},                  {"0x19", 0},  {"12abc", 12},
      {"65561", 65561}, {"4294967297", 1},       {"2147483648", INT32_MIN},
  };
  for (const auto& [text, value] : cases) EXPECT_EQ(parseInteger(text), value) << text;
}

TEST(Options, PortsAreJudgedAsWrittenNeverWrapped) {
  struct Case {
    const char* text;
    const char* written;  // nullptr: no digits
    std::int32_t port;
  };
  const Case cases[] = {
      {"25", "25", 25},
      {" \t+0025x", "+0025", 25},
      {"65535", "65535", 65535},
      {"1", "1", 1},
      {"65536", "65536", 0},
      {"4294967321", "4294967321", 0},  // wraps to 25 in 32 bits
      {"99999999999999999999999", "99999999999999999999999", 0},
      {"0", "0", 0},
      {"-0", "-0", 0},
      {"-65511", "-65511", 0},  // wraps to 25 in 16 bits
      {"x25", nullptr, 0},
      {"-", nullptr, 0},
      {"", nullptr, 0},
  };
  for (const Case& c : cases) {
    std::optional<PortValue> value = parsePort(c.text);
    ASSERT_EQ(value.has_value(), c.written != nullptr) << c.text;
    if (!value) continue;
    EXPECT_EQ(value->written, c.written) << c.text;
    EXPECT_EQ(value->port, c.port) << c.text;
  }
  Parsed noDigits = parse({"-p", "smtp", "bob"});
  EXPECT_EQ(noDigits.settings.portAsWritten, "0");
  EXPECT_EQ(noDigits.settings.port, 0);
}

TEST(Options, UsageTextIsExact) {
  std::ostringstream out;
  printUsage(out);
  EXPECT_EQ(out.str(),
            "Usage Examples:\n"
            "larkpost [-d:\\pathtoini\\larkpost.ini] [options] user@host [user2@host2...]\n"
            "larkpost [options] user@host [user2@host2...]  --or--\n"
            "larkpost [options] user@host ... <infile       --or--\n"
            "type infile|larkpost [options] user@host ...\n"
            "\n"
            "Options:\n"
            "   -a attachment     ( d:\\anyfile.doc      )  --  MIME Encode Binary Attachment\n"
            "   -l dist-list      ( d:\\distlist.txt     )  --  Distribution List\n"
            "   -b \"Subject\"      ( \"The Subject\"       )  --  Specify Subject\n"
            "   -f \"Sender Name\"  ( \"Joe User\"          )  --  Override Sender Name\n"
            "   -u sender address ( joe@example.com     )  --  Override Sender Address\n"
            "   -s servername     ( mail.example.com    )  --  Override SMTP Server\n"
            "   -p SMTP Port      ( 25                  )  --  Override SMTP Port\n"
            "   -d Domain         ( example.com         )  --  Override Domain\n"
            "   -r Priority       ( 1                   )  --  1 (Highest) - 5 (Lowest)\n"
            "   -h                ( No Header           )  --  No Header in Input\n"
            "   -t                                         --  Parse Header for To and From\n");
}

}  // namespace
}  // namespace larkpost
