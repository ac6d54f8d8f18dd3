#include "policy/rule_words.h"

#include <cstdio>
#include <cstring>
#include <vector>

namespace vx {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

bool IsControl(char c) {
  const unsigned char byte = static_cast<unsigned char>(c);
  return byte < 0x20 || byte == 0x7F;
}

bool IsQuote(char c) { return c == '\'' || c == '"'; }

char* FieldBytes(USB_RULE& rule, int index) {
  char* fields[] = {rule.vendor, rule.product, rule.revision, rule.serial};
  return fields[index];
}

const char* FieldBytes(const USB_RULE& rule, int index) {
  const char* fields[] = {rule.vendor, rule.product, rule.revision, rule.serial};
  return fields[index];
}

std::string Quoted(std::string_view word) { return "\"" + std::string(word) + "\""; }

// One word of a rule: its text (quotes removed) and the slice as typed.
struct Word {
  std::string text;
  std::string_view typed;
  bool quoted = false;
};

struct SplitWords {
  std::vector<Word> words;
  std::string faultWord;  // set when the text cannot be split
  std::string message;
};

// Splits at blanks; a word that begins with a quote runs to its closing
// quote, a doubled quote inside standing for one.
SplitWords Split(std::string_view text) {
  SplitWords split;
  std::size_t i = 0;
  while (i < text.size()) {
    if (IsBlank(text[i])) {
      ++i;
      continue;
    }
    const std::size_t start = i;
    Word word;
    if (IsQuote(text[i])) {
      const char quote = text[i++];
      word.quoted = true;
      bool closed = false;
      while (i < text.size()) {
        if (text[i] == quote) {
          if (i + 1 < text.size() && text[i + 1] == quote) {
            word.text += quote;
            i += 2;
            continue;
          }
          ++i;
          closed = true;
          break;
        }
        word.text += text[i++];
      }
      if (!closed) {
        split.faultWord = std::string(text.substr(start));
        split.message = "the quote that opens " + Quoted(split.faultWord) + " is not closed; end the text with " +
                        std::string(1, quote);
        return split;
      }
      if (i < text.size() && !IsBlank(text[i])) {
        std::size_t end = i;
        while (end < text.size() && !IsBlank(text[end])) ++end;
        split.faultWord = std::string(text.substr(start, end - start));
        split.message = Quoted(split.faultWord) + " goes on after its closing quote; put a blank after the quote";
        return split;
      }
    } else {
      while (i < text.size() && !IsBlank(text[i])) word.text += text[i++];
    }
    word.typed = text.substr(start, i - start);
    for (char c : word.text) {
      if (!IsControl(c)) continue;
      char byte[8];
      std::snprintf(byte, sizeof byte, "0x%02X", static_cast<unsigned char>(c));
      split.faultWord = std::string(word.typed);
      split.message = "the word " + Quoted(split.faultWord) + " holds a control character (" + byte +
                      "); a rule holds printable characters only";
      return split;
    }
    split.words.push_back(std::move(word));
  }
  return split;
}

ParsedRuleWords Fault(std::string_view word, std::string message) {
  ParsedRuleWords parsed;
  parsed.word = std::string(word);
  parsed.message = std::move(message);
  return parsed;
}

// A text as a rule word: bare when it can be, else quoted so that Split
// reads it back unchanged.
std::string TextWord(std::string_view text) {
  bool bare = !text.empty();
  bool hasSingle = false, hasDouble = false;
  for (char c : text) {
    if (IsBlank(c) || IsQuote(c)) bare = false;
    hasSingle = hasSingle || c == '\'';
    hasDouble = hasDouble || c == '"';
  }
  if (bare) return std::string(text);
  const char quote = hasSingle && !hasDouble ? '"' : '\'';
  std::string word(1, quote);
  for (char c : text) {
    word += c;
    if (c == quote) word += quote;
  }
  return word + quote;
}

}  // namespace

std::string ActionWords(int32_t action) {
  switch (action) {
    case ACTION_BLOCK:
      return "block";
    case ACTION_READ_ONLY:
      return "read-only";
    case ACTION_ALLOW:
      return "allow";
    default:
      return "allow (action " + std::to_string(action) + ")";
  }
}

std::optional<int32_t> ParseAction(std::string_view word) {
  if (word == "block") return ACTION_BLOCK;
  if (word == "read-only") return ACTION_READ_ONLY;
  if (word == "allow") return ACTION_ALLOW;
  return std::nullopt;
}

std::optional<int> RuleFieldIndex(std::string_view name) {
  for (int i = 0; i < kRuleFieldCount; ++i)
    if (name == kRuleFields[i].name) return i;
  return std::nullopt;
}

std::string_view RuleFieldText(const USB_RULE& rule, int index) {
  const char* text = FieldBytes(rule, index);
  std::size_t length = 0;
  while (length < USB_PATTERN_SIZE && text[length] != '\0') ++length;
  return {text, length};
}

std::optional<std::string> PatternFault(int index, std::string_view text) {
  const std::string name = kRuleFields[index].name;
  if (text.size() > kMaxPatternLength)
    return "the " + name + " text is " + std::to_string(text.size()) + " characters; a pattern holds at most 63";
  for (char c : text) {
    if (!IsControl(c)) continue;
    char byte[8];
    std::snprintf(byte, sizeof byte, "0x%02X", static_cast<unsigned char>(c));
    return "the " + name + " text holds a control character (" + byte + "); a pattern holds printable characters only";
  }
  return std::nullopt;
}

std::optional<std::string> SetRulePattern(USB_RULE& rule, int index, std::string_view text) {
  if (std::optional<std::string> fault = PatternFault(index, text)) return fault;
  char* field = FieldBytes(rule, index);
  std::memset(field, 0, USB_PATTERN_SIZE);
  std::memcpy(field, text.data(), text.size());
  rule.flags |= kRuleFields[index].checkBit;
  return std::nullopt;
}

std::string MatchWords(const USB_RULE& rule) {
  std::string words;
  for (int i = 0; i < kRuleFieldCount; ++i) {
    const RuleField& field = kRuleFields[i];
    if (!(rule.flags & field.checkBit)) continue;
    if (!words.empty()) words += " and ";
    words += field.name;
    words += (rule.flags & field.exactBit) ? " is \"" : " contains \"";
    // A pattern made elsewhere may hold control characters: shown, never sent to a terminal.
    for (char c : RuleFieldText(rule, i)) {
      if (!IsControl(c)) {
        words += c;
        continue;
      }
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned char>(c));
      words += escaped;
    }
    words += "\"";
  }
  return words.empty() ? "every disk" : words;
}

std::string RuleLine(const USB_RULE& rule) {
  std::string action = ActionWords(rule.action);
  if (action.size() < 10) action.resize(10, ' ');
  return action + " " + MatchWords(rule);
}

ParsedRuleWords ParseRuleWords(std::string_view text) {
  SplitWords split = Split(text);
  if (!split.message.empty()) return Fault(split.faultWord, split.message);
  const std::vector<Word>& words = split.words;
  if (words.empty()) return Fault("", "the rule is empty; it begins with its action: block, read-only or allow");

  USB_RULE rule{};
  const std::optional<int32_t> action = words[0].quoted ? std::nullopt : ParseAction(words[0].text);
  if (!action)
    return Fault(words[0].typed,
                 Quoted(words[0].typed) + " is not an action; a rule begins with block, read-only or allow");
  rule.action = *action;

  for (std::size_t i = 1; i < words.size(); ++i) {
    const Word& word = words[i];
    if (!word.quoted && word.text == "exact") {
      if (i + 1 >= words.size())
        return Fault(word.typed, "\"exact\" needs a field after it: exact vendor, product, revision or serial");
      const Word& name = words[++i];
      const std::optional<int> index = name.quoted ? std::nullopt : RuleFieldIndex(name.text);
      if (!index)
        return Fault(name.typed,
                     Quoted(name.typed) + " is not a field; exact takes vendor, product, revision or serial");
      const RuleField& field = kRuleFields[*index];
      if (!(rule.flags & field.checkBit))
        return Fault(name.typed, std::string("\"exact ") + field.name +
                                     "\" names a field the rule does not check; give " + field.name +
                                     " TEXT before it");
      if (rule.flags & field.exactBit)
        return Fault(name.typed, std::string("\"exact ") + field.name + "\" is given twice");
      rule.flags |= field.exactBit;
      continue;
    }
    const std::optional<int> index = word.quoted ? std::nullopt : RuleFieldIndex(word.text);
    if (!index)
      return Fault(word.typed, Quoted(word.typed) +
                                   " is not a field; after the action come vendor, product, revision or serial, each "
                                   "with its text, then exact FIELD");
    const RuleField& field = kRuleFields[*index];
    if (rule.flags & field.checkBit)
      return Fault(word.typed, Quoted(word.typed) + " is given twice; a rule checks each field once");
    if (i + 1 >= words.size())
      return Fault(word.typed, Quoted(word.typed) + " needs its text after it (quote a text with blanks)");
    const Word& pattern = words[++i];
    if (std::optional<std::string> fault = SetRulePattern(rule, *index, pattern.text))
      return Fault(pattern.typed, Quoted(pattern.typed) + ": " + *fault);
  }
  ParsedRuleWords parsed;
  parsed.rule = rule;
  return parsed;
}

std::optional<std::string> RuleWords(const USB_RULE& rule) {
  const int32_t action = rule.action == ACTION_BLOCK || rule.action == ACTION_READ_ONLY ? rule.action : ACTION_ALLOW;
  std::string words = ActionWords(action);
  for (int i = 0; i < kRuleFieldCount; ++i) {
    if (!(rule.flags & kRuleFields[i].checkBit)) continue;
    const std::string_view text = RuleFieldText(rule, i);
    if (PatternFault(i, text)) return std::nullopt;
    words += std::string(" ") + kRuleFields[i].name + " " + TextWord(text);
  }
  for (int i = 0; i < kRuleFieldCount; ++i) {
    if ((rule.flags & kRuleFields[i].checkBit) && (rule.flags & kRuleFields[i].exactBit))
      words += std::string(" exact ") + kRuleFields[i].name;
  }
  return words;
}

}  // namespace vx
