// What a name in `disable` or `enable` stands for, wherever it is written: the project's
// [tool.vettor] table, the host's configuration, the command line's --disable and --enable,
// the per-file ignores, and the pragmas of templates.
//
// A name is "all" (every message), a category letter ("C": every message whose code starts
// with it, in either case), a message code or the first characters of codes ("C2006", "C4",
// "C90": every message whose code starts with them; in either case, as pylint reads codes),
// a symbol ("huge-char-field") or the name of the rule checker that reports the message
// ("columns"). A category letter is the shortest start of codes: "C" and "C4" both match the
// first characters of the code, and "C" stands for its category whatever codes there are.
// Every place reads a name through MessageName, so a name means the same to a Python finding,
// a template finding and a finding's fix.
#pragma once

#include <cctype>
#include <string>
#include <utility>

namespace vettor {

// A message as a name is matched against it.
struct MessageInfo {
  std::string code;     // "C2006"
  std::string symbol;   // "huge-char-field"; empty when not known
  std::string checker;  // the name of the checker that reports it; empty when it has none
};

class MessageName {
 public:
  enum class Kind {
    kAll,       // "all"
    kCategory,  // one of pylint's category letters
    kCode,      // a letter and digits: a message code, or the start of codes ("C4")
    kName,      // anything else: a symbol or a checker's name
  };

  explicit MessageName(std::string written) : written_(std::move(written)) {
    if (written_ == "all") {
      kind_ = Kind::kAll;
    } else if (written_.size() == 1 && is_category(upper(written_)[0])) {
      kind_ = Kind::kCategory;
      normal_ = upper(written_);
    } else if (looks_like_code(written_)) {
      kind_ = Kind::kCode;
      normal_ = upper(written_);
    } else {
      kind_ = Kind::kName;
      normal_ = written_;
    }
  }

  Kind kind() const { return kind_; }
  const std::string& written() const { return written_; }
  // The name as codes are compared with it (upper case for a code or a category).
  const std::string& normal() const { return normal_; }

  // Whether the name stands for the message.
  bool selects(const MessageInfo& message) const {
    switch (kind_) {
      case Kind::kAll:
        return true;
      case Kind::kCategory:
        return !message.code.empty() && message.code[0] == normal_[0];
      case Kind::kCode:
        return message.code.compare(0, normal_.size(), normal_) == 0;
      case Kind::kName:
        return (!message.symbol.empty() && message.symbol == normal_) ||
               (!message.checker.empty() && message.checker == normal_);
    }
    return false;
  }

  // Whether the name stands for every message of a kind, whatever messages there are.
  bool is_wholesale() const { return kind_ == Kind::kAll || kind_ == Kind::kCategory; }

 private:
  // pylint's categories: convention, refactor, warning, error, info, fatal.
  static bool is_category(char letter) { return std::string("CRWEIF").find(letter) != std::string::npos; }

  static std::string upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
  }

  // A letter, then digits only ("C2006", "e0001").
  static bool looks_like_code(const std::string& text) {
    if (text.size() < 2 || !std::isalpha(static_cast<unsigned char>(text[0]))) return false;
    for (std::size_t i = 1; i < text.size(); ++i) {
      if (!std::isdigit(static_cast<unsigned char>(text[i]))) return false;
    }
    return true;
  }

  std::string written_;
  std::string normal_;
  Kind kind_ = Kind::kName;
};

}  // namespace vettor
