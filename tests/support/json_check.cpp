#include "tests/support/json_check.h"

#include <cctype>
#include <cstring>

namespace vx::test {
namespace {

class JsonReader {
 public:
  explicit JsonReader(std::string_view text) : text_(text) {}

  bool Whole() {
    if (!Value(0)) return false;
    SkipBlanks();
    return at_ == text_.size();
  }

 private:
  static constexpr int kMaxDepth = 64;

  void SkipBlanks() {
    while (at_ < text_.size() && std::strchr(" \t\r\n", text_[at_]) && text_[at_] != 0) ++at_;
  }
  bool Take(char c) {
    SkipBlanks();
    if (at_ < text_.size() && text_[at_] == c) return ++at_, true;
    return false;
  }
  bool Word(std::string_view word) {
    if (text_.substr(at_, word.size()) != word) return false;
    at_ += word.size();
    return true;
  }
  bool Digits() {
    const std::size_t start = at_;
    while (at_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[at_]))) ++at_;
    return at_ > start;
  }
  bool Number() {
    if (at_ < text_.size() && text_[at_] == '-') ++at_;
    if (at_ < text_.size() && text_[at_] == '0')
      ++at_;
    else if (!Digits())
      return false;
    if (at_ < text_.size() && text_[at_] == '.' && (++at_, !Digits())) return false;
    if (at_ < text_.size() && (text_[at_] == 'e' || text_[at_] == 'E')) {
      ++at_;
      if (at_ < text_.size() && (text_[at_] == '+' || text_[at_] == '-')) ++at_;
      if (!Digits()) return false;
    }
    return true;
  }
  bool String() {
    if (at_ >= text_.size() || text_[at_] != '"') return false;
    for (++at_; at_ < text_.size(); ++at_) {
      const unsigned char c = static_cast<unsigned char>(text_[at_]);
      if (c == '"') return ++at_, true;
      if (c < 0x20) return false;
      if (c != '\\') continue;
      if (++at_ >= text_.size()) return false;
      if (text_[at_] == 'u') {
        for (int i = 0; i < 4; ++i)
          if (++at_ >= text_.size() || !std::isxdigit(static_cast<unsigned char>(text_[at_]))) return false;
      } else if (!std::strchr("\"\\/bfnrt", text_[at_]) || text_[at_] == 0) {
        return false;
      }
    }
    return false;
  }
  bool Value(int depth) {
    if (depth > kMaxDepth) return false;
    SkipBlanks();
    if (at_ >= text_.size()) return false;
    const char c = text_[at_];
    if (c == '{') {
      ++at_;
      if (Take('}')) return true;
      do {
        SkipBlanks();
        if (!String() || !Take(':') || !Value(depth + 1)) return false;
      } while (Take(','));
      return Take('}');
    }
    if (c == '[') {
      ++at_;
      if (Take(']')) return true;
      do {
        if (!Value(depth + 1)) return false;
      } while (Take(','));
      return Take(']');
    }
    if (c == '"') return String();
    if (c == 't') return Word("true");
    if (c == 'f') return Word("false");
    if (c == 'n') return Word("null");
    return Number();
  }

  std::string_view text_;
  std::size_t at_ = 0;
};

}  // namespace

bool IsCompleteJson(std::string_view text) { return JsonReader(text).Whole(); }

}  // namespace vx::test
