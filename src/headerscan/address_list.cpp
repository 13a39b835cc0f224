// Lenient address-list parser: accepts obsolete forms and recovers from malformed ones.
#include "headerscan/address_list.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace larkpost {
namespace {

enum class TokenKind {
  kAtom,
  kQuoted,
  kLiteral,
  kDot,
  kAt,
  kComma,
  kSemicolon,
  kColon,
  kOpenAngle,
  kCloseAngle,
  kJunk,
};

struct Token {
  TokenKind kind;
  std::string_view text;
};

// A half-open range of token indexes.
struct Span {
  std::size_t first;
  std::size_t last;
};

constexpr std::string_view kDelimiters = "()<>[]:;@\\,.\"";

bool isBlank(char c) {
  const auto byte = static_cast<unsigned char>(c);
  // Other control characters are blanks too, which keeps them out of every address.
  return byte <= 0x20 || byte == 0x7F;
}

bool isLineBreak(char c) { return c == '\r' || c == '\n'; }

// Bytes 0x80-0xFF fall through to atom characters, so UTF-8 words stay whole.
bool isAtomChar(char c) { return !isBlank(c) && kDelimiters.find(c) == std::string_view::npos; }

bool isWord(TokenKind kind) {
  return kind == TokenKind::kAtom || kind == TokenKind::kQuoted || kind == TokenKind::kLiteral;
}

bool isAddressPart(TokenKind kind) {
  return isWord(kind) || kind == TokenKind::kDot || kind == TokenKind::kAt;
}

bool isSeparator(TokenKind kind) {
  return kind == TokenKind::kComma || kind == TokenKind::kSemicolon;
}

// Returns the position just past the comment opening at `pos`. An unclosed comment runs
// to the end of the value.
std::size_t skipComment(std::string_view s, std::size_t pos) {
  std::size_t depth = 0;
  while (pos < s.size()) {
    const char c = s[pos++];
    if (c == '\\') {
      ++pos;
    } else if (c == '(') {
      ++depth;
    } else if (c == ')' && --depth == 0) {
      return pos;
    }
  }
  return s.size();
}

Token readQuoted(std::string_view s, std::size_t pos) {
  for (std::size_t end = pos + 1; end < s.size(); ++end) {
    if (s[end] == '\\') {
      ++end;
    } else if (s[end] == '"') {
      return {TokenKind::kQuoted, s.substr(pos, end + 1 - pos)};
    }
  }
  // Where an unclosed quote ends is anyone's guess, so nothing after it is trusted.
  return {TokenKind::kJunk, s.substr(pos)};
}

Token readLiteral(std::string_view s, std::size_t pos) {
  // Backslashes are not honoured here: stopping at the next bracket either way keeps
  // rescans after an unclosed '[' linear.
  const std::size_t end = s.find_first_of("[]", pos + 1);
  if (end == std::string_view::npos || s[end] == '[') {
    return {TokenKind::kJunk, s.substr(pos, 1)};
  }
  return {TokenKind::kLiteral, s.substr(pos, end + 1 - pos)};
}

Token readAtom(std::string_view s, std::size_t pos) {
  std::size_t end = pos;
  while (end < s.size() && isAtomChar(s[end])) {
    ++end;
  }
  return {TokenKind::kAtom, s.substr(pos, end - pos)};
}

TokenKind punctuationKind(char c) {
  switch (c) {
    case '.':
      return TokenKind::kDot;
    case '@':
      return TokenKind::kAt;
    case ',':
      return TokenKind::kComma;
    case ';':
      return TokenKind::kSemicolon;
    case ':':
      return TokenKind::kColon;
    case '<':
      return TokenKind::kOpenAngle;
    case '>':
      return TokenKind::kCloseAngle;
    default:
      return TokenKind::kJunk;
  }
}

Token readToken(std::string_view s, std::size_t pos) {
  if (s[pos] == '"') {
    return readQuoted(s, pos);
  }
  if (s[pos] == '[') {
    return readLiteral(s, pos);
  }
  if (isAtomChar(s[pos])) {
    return readAtom(s, pos);
  }
  return {punctuationKind(s[pos]), s.substr(pos, 1)};
}

// Comments and white space carry no meaning between tokens, so they are dropped here.
std::vector<Token> tokenize(std::string_view s) {
  std::vector<Token> tokens;
  std::size_t pos = 0;
  while (pos < s.size()) {
    if (isBlank(s[pos])) {
      ++pos;
    } else if (s[pos] == '(') {
      pos = skipComment(s, pos);
    } else {
      tokens.push_back(readToken(s, pos));
      pos += tokens.back().text.size();
    }
  }
  return tokens;
}

// Line breaks left inside quoted strings and domain literals are folding residue, not
// content. A backslash escaping one is dropped with it, or it would escape what follows.
void appendWithoutLineBreaks(std::string& out, std::string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size()) {
      if (!isLineBreak(text[i + 1])) {
        out += text.substr(i, 2);
      }
      ++i;
    } else if (!isLineBreak(text[i])) {
      out += text[i];
    }
  }
}

bool isAscii(std::string_view text) {
  for (const char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) {
      return false;
    }
  }
  return true;
}

bool isEncodedWord(std::string_view text) {
  return text.size() >= 4 && text.substr(0, 2) == "=?" && text.substr(text.size() - 2) == "?=";
}

class AddressListParser {
 public:
  explicit AddressListParser(std::string_view value) : tokens_(tokenize(value)) {}

  std::vector<std::string> parse() && {
    while (pos_ < tokens_.size()) {
      parseElement();
    }
    return std::move(addresses_);
  }

 private:
  TokenKind kindAt(std::size_t index) const { return tokens_[index].kind; }
  bool atEnd() const { return pos_ >= tokens_.size(); }

  // One element up to the next separator: a mailbox, possibly preceded by group names.
  void parseElement() {
    std::size_t start = pos_;
    while (!atEnd()) {
      const TokenKind kind = kindAt(pos_++);
      if (isSeparator(kind)) {
        collectAddresses({start, pos_ - 1});
        return;
      }
      if (kind == TokenKind::kColon) {
        // A group name; the members follow as ordinary elements and ';' acts as a comma.
        start = pos_;
      } else if (kind == TokenKind::kOpenAngle) {
        parseAngleAddresses();
        return;
      }
    }
    collectAddresses({start, pos_});
  }

  // Called just past '<'; whatever came before it was a display name. Text after '>'
  // is junk up to the next separator, except that another <...> there still counts.
  void parseAngleAddresses() {
    parseAngleContent();
    while (!atEnd()) {
      const TokenKind kind = kindAt(pos_++);
      if (isSeparator(kind)) {
        return;
      }
      if (kind == TokenKind::kOpenAngle) {
        parseAngleContent();
      }
    }
  }

  // A missing '>' is tolerated: the address then ends at the next separator.
  void parseAngleContent() {
    pos_ = routeEnd(pos_);
    const std::size_t start = pos_;
    while (!atEnd() && !isSeparator(kindAt(pos_)) && kindAt(pos_) != TokenKind::kCloseAngle) {
      ++pos_;
    }
    collectAddresses({start, pos_});
    if (!atEnd() && kindAt(pos_) == TokenKind::kCloseAngle) {
      ++pos_;
    }
  }

  // An obsolete source route ("@relay1,@relay2:") holds commas, so it must be skipped
  // before commas are taken as separators. Without its ':' it is not a route.
  std::size_t routeEnd(std::size_t from) const {
    if (from >= tokens_.size() || kindAt(from) != TokenKind::kAt) {
      return from;
    }
    std::size_t i = from;
    while (i < tokens_.size() && (isAddressPart(kindAt(i)) || kindAt(i) == TokenKind::kComma)) {
      ++i;
    }
    return i < tokens_.size() && kindAt(i) == TokenKind::kColon ? i + 1 : from;
  }

  // An address may be spaced out around its dots and '@' ("john . doe @ example"), so a
  // run of address parts breaks only where two words meet or at any other token.
  std::vector<Span> splitRuns(Span span) const {
    std::vector<Span> runs;
    std::size_t i = span.first;
    while (i < span.last) {
      if (!isAddressPart(kindAt(i))) {
        ++i;
        continue;
      }
      const std::size_t start = i++;
      while (i < span.last && isAddressPart(kindAt(i)) &&
             !(isWord(kindAt(i)) && isWord(kindAt(i - 1)))) {
        ++i;
      }
      runs.push_back({start, i});
    }
    return runs;
  }

  // Every run holding '@' is taken as an address: names in front of a bare address are
  // common, and a missing comma should not lose either address.
  void collectAddresses(Span span) {
    const std::vector<Span> runs = splitRuns(span);
    for (const Span& run : runs) {
      if (hasLocalPartAndDomain(run)) {
        addresses_.push_back(joinRun(run));
      }
    }
    // A lone dot-atom such as "root" names a local mailbox; several words without '@'
    // are a display name whose address is missing.
    if (runs.size() == 1 && runs[0].first == span.first && runs[0].last == span.last &&
        isLocalMailbox(runs[0])) {
      addresses_.push_back(joinRun(runs[0]));
    }
  }

  bool hasLocalPartAndDomain(Span run) const {
    bool wordBeforeAt = false;
    bool wordAfterAt = false;
    bool sawAt = false;
    for (std::size_t i = run.first; i < run.last; ++i) {
      if (kindAt(i) == TokenKind::kAt) {
        sawAt = true;
        wordAfterAt = false;
      } else if (isWord(kindAt(i))) {
        (sawAt ? wordAfterAt : wordBeforeAt) = true;
      }
    }
    return wordBeforeAt && wordAfterAt;
  }

  // Encoded words and raw UTF-8 are display names, never local mailboxes.
  bool isLocalMailbox(Span run) const {
    if (kindAt(run.first) != TokenKind::kAtom || kindAt(run.last - 1) != TokenKind::kAtom) {
      return false;
    }
    for (std::size_t i = run.first; i < run.last; ++i) {
      const Token& token = tokens_[i];
      if (token.kind != TokenKind::kDot &&
          (token.kind != TokenKind::kAtom || !isAscii(token.text) || isEncodedWord(token.text))) {
        return false;
      }
    }
    return true;
  }

  std::string joinRun(Span run) const {
    std::string address;
    for (std::size_t i = run.first; i < run.last; ++i) {
      appendWithoutLineBreaks(address, tokens_[i].text);
    }
    return address;
  }

  std::vector<Token> tokens_;
  std::size_t pos_ = 0;
  std::vector<std::string> addresses_;
};

}  // namespace

std::vector<std::string> parseAddressList(std::string_view value) {
  return AddressListParser(value).parse();
}

}  // namespace larkpost
