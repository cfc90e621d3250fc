// rc2cpp: turns the module's resource script (.rc) into C++ tables for the
// POSIX build, where no resource compiler links resources into a module.
//
//   rc2cpp INPUT.rc OUTPUT.cpp
//
// Understands what the module's script uses: #include of a header of #defines,
// #define, STRINGTABLE blocks, and comments. A Windows build compiles the same
// script with windres.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Token {
  enum Kind { Word, Number, String, Punct, End } kind;
  std::string text;
  int line;
};

[[noreturn]] void Fail(const std::string& file, int line, const std::string& what) {
  std::cerr << file << ":" << line << ": error: " << what << "\n";
  std::exit(1);
}

class Lexer {
 public:
  Lexer(std::string file, std::string text) : file_(std::move(file)), text_(std::move(text)) {}

  std::vector<Token> Run(std::map<std::string, long>& defines) {
    std::vector<Token> tokens;
    while (pos_ < text_.size()) {
      char c = text_[pos_];
      if (c == '\n') { ++line_; ++pos_; atLineStart_ = true; continue; }
      if (std::isspace(static_cast<unsigned char>(c))) { ++pos_; continue; }
      if (c == '/' && Peek(1) == '/') { SkipLine(); continue; }
      if (c == '/' && Peek(1) == '*') { SkipBlockComment(); continue; }
      if (c == '#' && atLineStart_) { Directive(defines); continue; }
      atLineStart_ = false;
      if (c == '"') { tokens.push_back({Token::String, ReadString(), line_}); continue; }
      if (std::isdigit(static_cast<unsigned char>(c))) { tokens.push_back({Token::Number, ReadWhile(IsWordChar), line_}); continue; }
      if (IsWordChar(c)) { tokens.push_back({Token::Word, ReadWhile(IsWordChar), line_}); continue; }
      tokens.push_back({Token::Punct, std::string(1, c), line_});
      ++pos_;
    }
    tokens.push_back({Token::End, "", line_});
    return tokens;
  }

 private:
  static bool IsWordChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }
  char Peek(std::size_t ahead) const { return pos_ + ahead < text_.size() ? text_[pos_ + ahead] : '\0'; }
  void SkipLine() { while (pos_ < text_.size() && text_[pos_] != '\n') ++pos_; }
  void SkipBlockComment() {
    pos_ += 2;
    while (pos_ < text_.size() && !(text_[pos_] == '*' && Peek(1) == '/')) {
      if (text_[pos_] == '\n') ++line_;
      ++pos_;
    }
    pos_ += 2;
  }
  template <typename Pred>
  std::string ReadWhile(Pred pred) {
    std::size_t start = pos_;
    while (pos_ < text_.size() && pred(text_[pos_])) ++pos_;
    return text_.substr(start, pos_ - start);
  }
  std::string ReadString() {
    std::string out;
    ++pos_;
    for (;;) {
      if (pos_ >= text_.size() || text_[pos_] == '\n') Fail(file_, line_, "unterminated string");
      char c = text_[pos_++];
      if (c == '"') {
        if (Peek(0) == '"') { out += '"'; ++pos_; continue; }  // "" is a quote
        return out;
      }
      if (c == '\\') {
        char e = text_[pos_++];
        switch (e) {
          case 'n': out += '\n'; break;
          case 't': out += '\t'; break;
          case 'r': out += '\r'; break;
          case '\\': out += '\\'; break;
          case '"': out += '"'; break;
          default: Fail(file_, line_, std::string("unknown escape \\") + e);
        }
        continue;
      }
      out += c;
    }
  }
  void Directive(std::map<std::string, long>& defines) {
    std::size_t start = pos_;
    SkipLine();
    std::istringstream in(text_.substr(start + 1, pos_ - start - 1));
    std::string word;
    in >> word;
    if (word == "define") {
      std::string name, value;
      in >> name >> value;
      if (!value.empty()) defines[name] = std::strtol(value.c_str(), nullptr, 0);
    } else if (word == "include") {
      std::string name;
      in >> name;
      if (name.size() > 2 && name.front() == '"') {
        auto path = std::filesystem::path(file_).parent_path() / name.substr(1, name.size() - 2);
        std::ifstream header(path);
        if (!header) Fail(file_, line_, "cannot open " + path.string());
        std::stringstream buffer;
        buffer << header.rdbuf();
        Lexer sub(path.string(), buffer.str());
        sub.Run(defines);  // only its #defines matter
      }
      // <system> headers (windows.h, commctrl.h) are for windres only.
    }
  }

  std::string file_;
  std::string text_;
  std::size_t pos_ = 0;
  int line_ = 1;
  bool atLineStart_ = true;
};

class Parser {
 public:
  Parser(std::string file, std::vector<Token> tokens, std::map<std::string, long> defines)
      : file_(std::move(file)), tokens_(std::move(tokens)), defines_(std::move(defines)) {}

  void Run() {
    while (Cur().kind != Token::End) {
      if (IsWord("STRINGTABLE")) { ++pos_; StringTable(); continue; }
      if (IsWord("LANGUAGE")) { ++pos_; Value(); Expect(","); Value(); continue; }
      Fail(file_, Cur().line, "unexpected '" + Cur().text + "'");
    }
  }

  std::string Emit() const {
    std::ostringstream out;
    out << "// Generated by rc2cpp from " << std::filesystem::path(file_).filename().string()
        << "; do not edit.\n#include \"host/resources.h\"\n\nnamespace {\n\n";
    out << "const plat::ResourceString kStrings[] = {\n";
    for (const auto& [id, text] : strings_) out << "    {" << id << ", " << Quote(text) << "},\n";
    if (strings_.empty()) out << "    {0, nullptr},\n";
    out << "};\n\n}  // namespace\n\n";
    out << "extern \"C\" __attribute__((visibility(\"default\"))) const plat::ResourceTable TavroResourceTable = {\n"
        << "    kStrings, " << strings_.size() << ", nullptr, 0};\n";
    return out.str();
  }

 private:
  const Token& Cur() const { return tokens_[pos_]; }
  bool IsWord(const char* w) const { return Cur().kind == Token::Word && Cur().text == w; }
  void Expect(const char* p) {
    if (Cur().text != p) Fail(file_, Cur().line, std::string("expected '") + p + "'");
    ++pos_;
  }
  bool Begin() {
    if (IsWord("BEGIN") || Cur().text == "{") { ++pos_; return true; }
    return false;
  }
  bool End() {
    if (IsWord("END") || Cur().text == "}") { ++pos_; return true; }
    return false;
  }
  long Value() {
    const Token& t = Cur();
    ++pos_;
    if (t.kind == Token::Number) return std::strtol(t.text.c_str(), nullptr, 0);
    if (t.kind == Token::Word) {
      auto it = defines_.find(t.text);
      if (it == defines_.end()) Fail(file_, t.line, "unknown symbol " + t.text);
      return it->second;
    }
    Fail(file_, t.line, "expected a number");
  }
  void StringTable() {
    while (IsWord("DISCARDABLE") || IsWord("PRELOAD") || IsWord("MOVEABLE") || IsWord("PURE")) ++pos_;
    if (!Begin()) Fail(file_, Cur().line, "expected BEGIN");
    while (!End()) {
      int line = Cur().line;
      long id = Value();
      if (Cur().text == ",") ++pos_;
      if (Cur().kind != Token::String) Fail(file_, Cur().line, "expected a string");
      if (strings_.count(id)) Fail(file_, line, "string id " + std::to_string(id) + " defined twice");
      strings_[id] = Cur().text;
      ++pos_;
    }
  }
  static std::string Quote(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
      if (c == '"' || c == '\\') { out += '\\'; out += static_cast<char>(c); }
      else if (c == '\n') out += "\\n";
      else if (c < 0x20 || c >= 0x7f) { char buf[8]; std::snprintf(buf, sizeof buf, "\\%03o", c); out += buf; }
      else out += static_cast<char>(c);
    }
    return out + "\"";
  }

  std::string file_;
  std::vector<Token> tokens_;
  std::map<std::string, long> defines_;
  std::size_t pos_ = 0;
  std::map<long, std::string> strings_;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: rc2cpp INPUT.rc OUTPUT.cpp\n";
    return 2;
  }
  std::ifstream in(argv[1]);
  if (!in) {
    std::cerr << argv[1] << ": cannot open\n";
    return 1;
  }
  std::stringstream buffer;
  buffer << in.rdbuf();
  std::map<std::string, long> defines;
  Lexer lexer(argv[1], buffer.str());
  auto tokens = lexer.Run(defines);
  Parser parser(argv[1], std::move(tokens), defines);
  parser.Run();
  std::ofstream out(argv[2]);
  out << parser.Emit();
  return out ? 0 : 1;
}
