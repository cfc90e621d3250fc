// rc2cpp: turns the module's resource script (.rc) into C++ tables for the
// POSIX build, where no resource compiler links resources into a module.
//
//   rc2cpp INPUT.rc OUTPUT.cpp [TABLE_SYMBOL]
//
// Understands what the module's script uses: #include of a header of #defines,
// #define/#undef, #if/#ifdef/#ifndef/#else/#endif, STRINGTABLE blocks, DIALOG
// and DIALOGEX resources with their controls, and comments. A Windows build
// compiles the same script with windres; the system headers it includes there
// (<windows.h>, <commctrl.h>) are skipped here, and the window-style constants
// they would give are known to rc2cpp itself.
#include <cctype>
#include <cstdint>
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

using Defines = std::map<std::string, std::string>;

[[noreturn]] void Fail(const std::string& file, int line, const std::string& what) {
  std::cerr << file << ":" << line << ": error: " << what << "\n";
  std::exit(1);
}

// What <windows.h> and <commctrl.h> give a resource script, with the values of
// the platform's win32/window.h.
const std::map<std::string, long>& SystemSymbols() {
  static const std::map<std::string, long> symbols = {
      {"IDOK", 1}, {"IDCANCEL", 2}, {"IDABORT", 3}, {"IDRETRY", 4}, {"IDIGNORE", 5}, {"IDYES", 6}, {"IDNO", 7},
      {"WS_OVERLAPPED", 0x00000000L}, {"WS_POPUP", 0x80000000L}, {"WS_CHILD", 0x40000000L},
      {"WS_MINIMIZE", 0x20000000L}, {"WS_VISIBLE", 0x10000000L}, {"WS_DISABLED", 0x08000000L},
      {"WS_CLIPSIBLINGS", 0x04000000L}, {"WS_CLIPCHILDREN", 0x02000000L}, {"WS_MAXIMIZE", 0x01000000L},
      {"WS_CAPTION", 0x00C00000L}, {"WS_BORDER", 0x00800000L}, {"WS_DLGFRAME", 0x00400000L},
      {"WS_VSCROLL", 0x00200000L}, {"WS_HSCROLL", 0x00100000L}, {"WS_SYSMENU", 0x00080000L},
      {"WS_THICKFRAME", 0x00040000L}, {"WS_GROUP", 0x00020000L}, {"WS_TABSTOP", 0x00010000L},
      {"WS_MINIMIZEBOX", 0x00020000L}, {"WS_MAXIMIZEBOX", 0x00010000L},
      {"WS_EX_DLGMODALFRAME", 0x00000001L}, {"WS_EX_TOPMOST", 0x00000008L},
      {"WS_EX_TRANSPARENT", 0x00000020L}, {"WS_EX_CLIENTEDGE", 0x00000200L}, {"WS_EX_STATICEDGE", 0x00020000L},
      {"DS_ABSALIGN", 0x0001}, {"DS_SYSMODAL", 0x0002}, {"DS_3DLOOK", 0x0004}, {"DS_FIXEDSYS", 0x0008},
      {"DS_NOFAILCREATE", 0x0010}, {"DS_LOCALEDIT", 0x0020}, {"DS_SETFONT", 0x0040}, {"DS_MODALFRAME", 0x0080},
      {"DS_NOIDLEMSG", 0x0100}, {"DS_SETFOREGROUND", 0x0200}, {"DS_CONTROL", 0x0400}, {"DS_CENTER", 0x0800},
      {"DS_CENTERMOUSE", 0x1000}, {"DS_CONTEXTHELP", 0x2000}, {"DS_SHELLFONT", 0x0048},
      {"BS_PUSHBUTTON", 0x0}, {"BS_DEFPUSHBUTTON", 0x1}, {"BS_CHECKBOX", 0x2}, {"BS_AUTOCHECKBOX", 0x3},
      {"BS_RADIOBUTTON", 0x4}, {"BS_3STATE", 0x5}, {"BS_AUTO3STATE", 0x6}, {"BS_GROUPBOX", 0x7},
      {"BS_USERBUTTON", 0x8}, {"BS_AUTORADIOBUTTON", 0x9}, {"BS_PUSHBOX", 0xA}, {"BS_OWNERDRAW", 0xB},
      {"BS_LEFTTEXT", 0x20},
      {"ES_LEFT", 0x0}, {"ES_CENTER", 0x1}, {"ES_RIGHT", 0x2}, {"ES_MULTILINE", 0x4}, {"ES_UPPERCASE", 0x8},
      {"ES_LOWERCASE", 0x10}, {"ES_PASSWORD", 0x20}, {"ES_AUTOVSCROLL", 0x40}, {"ES_AUTOHSCROLL", 0x80},
      {"ES_NOHIDESEL", 0x100}, {"ES_OEMCONVERT", 0x400}, {"ES_READONLY", 0x800}, {"ES_WANTRETURN", 0x1000},
      {"ES_NUMBER", 0x2000},
      {"SS_LEFT", 0x0}, {"SS_CENTER", 0x1}, {"SS_RIGHT", 0x2}, {"SS_ICON", 0x3}, {"SS_SIMPLE", 0xB},
      {"SS_LEFTNOWORDWRAP", 0xC}, {"SS_NOPREFIX", 0x80},
      {"UDS_WRAP", 0x1}, {"UDS_SETBUDDYINT", 0x2}, {"UDS_ALIGNRIGHT", 0x4}, {"UDS_ALIGNLEFT", 0x8},
      {"UDS_AUTOBUDDY", 0x10}, {"UDS_ARROWKEYS", 0x20}, {"UDS_HORZ", 0x40}, {"UDS_NOTHOUSANDS", 0x80},
      {"UDS_HOTTRACK", 0x100},
      {"LANG_NEUTRAL", 0x00}, {"LANG_ENGLISH", 0x09}, {"SUBLANG_NEUTRAL", 0x00}, {"SUBLANG_DEFAULT", 0x01},
      {"SUBLANG_ENGLISH_US", 0x01},
  };
  return symbols;
}

class Lexer {
 public:
  Lexer(std::string file, std::string text) : file_(std::move(file)), text_(std::move(text)) {}

  std::vector<Token> Run(Defines& defines) {
    std::vector<Token> tokens;
    while (pos_ < text_.size()) {
      char c = text_[pos_];
      if (c == '\n') { ++line_; ++pos_; atLineStart_ = true; continue; }
      if (std::isspace(static_cast<unsigned char>(c))) { ++pos_; continue; }
      if (c == '/' && Peek(1) == '/') { SkipLine(); continue; }
      if (c == '/' && Peek(1) == '*') { SkipBlockComment(); continue; }
      if (c == '#' && atLineStart_) { Directive(defines); continue; }
      atLineStart_ = false;
      Token token;
      if (c == '"') token = {Token::String, ReadString(), line_};
      else if (std::isdigit(static_cast<unsigned char>(c))) token = {Token::Number, ReadWhile(IsWordChar), line_};
      else if (IsWordChar(c)) token = {Token::Word, ReadWhile(IsWordChar), line_};
      else { token = {Token::Punct, std::string(1, c), line_}; ++pos_; }
      if (Active()) tokens.push_back(std::move(token));
    }
    if (!conditions_.empty()) Fail(file_, line_, "#if without #endif");
    tokens.push_back({Token::End, "", line_});
    return tokens;
  }

 private:
  struct Condition {
    bool parentActive;
    bool taken;   // some branch of this #if was active
    bool active;  // the current branch is active
  };

  static bool IsWordChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }
  char Peek(std::size_t ahead) const { return pos_ + ahead < text_.size() ? text_[pos_ + ahead] : '\0'; }
  bool Active() const { return conditions_.empty() || conditions_.back().active; }
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
  static std::string Trim(const std::string& s) {
    std::size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return "";
    std::size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
  }
  // #if conditions: a number, defined(NAME), defined NAME, or ! of those.
  bool Evaluate(std::string expr, const Defines& defines) const {
    expr = Trim(expr);
    if (!expr.empty() && expr[0] == '!') return !Evaluate(expr.substr(1), defines);
    if (expr.rfind("defined", 0) == 0) {
      std::string name = expr.substr(7);
      std::string cleaned;
      for (char c : name)
        if (IsWordChar(c)) cleaned += c;
      return defines.count(cleaned) != 0;
    }
    if (!expr.empty() && std::isdigit(static_cast<unsigned char>(expr[0]))) return std::strtol(expr.c_str(), nullptr, 0) != 0;
    auto it = defines.find(expr);
    if (it != defines.end()) return std::strtol(it->second.c_str(), nullptr, 0) != 0;
    Fail(file_, line_, "cannot evaluate #if " + expr);
  }
  void Directive(Defines& defines) {
    std::size_t start = pos_;
    SkipLine();
    std::string lineText = text_.substr(start + 1, pos_ - start - 1);
    std::istringstream in(lineText);
    std::string word;
    in >> word;
    std::string rest;
    std::getline(in, rest);
    rest = Trim(rest);
    if (word == "if" || word == "ifdef" || word == "ifndef") {
      bool value = word == "if" ? (Active() && Evaluate(rest, defines))
                                : ((defines.count(rest) != 0) == (word == "ifdef"));
      conditions_.push_back({Active(), value, Active() && value});
      return;
    }
    if (word == "elif" || word == "else") {
      if (conditions_.empty()) Fail(file_, line_, "#" + word + " without #if");
      Condition& c = conditions_.back();
      bool value = word == "else" || (c.parentActive && Evaluate(rest, defines));
      c.active = c.parentActive && !c.taken && value;
      c.taken = c.taken || c.active;
      return;
    }
    if (word == "endif") {
      if (conditions_.empty()) Fail(file_, line_, "#endif without #if");
      conditions_.pop_back();
      return;
    }
    if (!Active()) return;
    if (word == "define") {
      std::istringstream def(rest);
      std::string name;
      def >> name;
      std::string value;
      std::getline(def, value);
      defines[name] = Trim(value);
    } else if (word == "undef") {
      defines.erase(rest);
    } else if (word == "include") {
      if (rest.size() > 2 && rest.front() == '"') {
        auto path = std::filesystem::path(file_).parent_path() / rest.substr(1, rest.find('"', 1) - 1);
        std::ifstream header(path);
        if (!header) Fail(file_, line_, "cannot open " + path.string());
        std::stringstream buffer;
        buffer << header.rdbuf();
        Lexer sub(path.string(), buffer.str());
        sub.Run(defines);  // only its #defines matter
      }
      // <system> headers (windows.h, commctrl.h) are for windres only.
    } else if (word == "pragma" || word == "error" || word == "line") {
      if (word == "error") Fail(file_, line_, "#error " + rest);
    } else {
      Fail(file_, line_, "unknown directive #" + word);
    }
  }

  std::string file_;
  std::string text_;
  std::size_t pos_ = 0;
  int line_ = 1;
  bool atLineStart_ = true;
  std::vector<Condition> conditions_;
};

struct Control {
  std::string className;
  std::string text;
  long id;
  long x, y, cx, cy;
  std::uint32_t style;
  std::uint32_t exStyle;
};

struct Dialog {
  long id;
  std::string caption;
  std::uint32_t style;
  std::uint32_t exStyle;
  long x, y, cx, cy;
  std::string fontName;
  long fontSize;
  std::vector<Control> controls;
};

// Control statements with a fixed class, their default style and whether the
// statement starts with a text.
struct ControlKind {
  const char* className;
  std::uint32_t style;
  bool hasText;
};

const std::map<std::string, ControlKind>& ControlKinds() {
  constexpr std::uint32_t tabstop = 0x00010000, group = 0x00020000, border = 0x00800000;
  static const std::map<std::string, ControlKind> kinds = {
      {"LTEXT", {"STATIC", 0x0 | group, true}},
      {"CTEXT", {"STATIC", 0x1 | group, true}},
      {"RTEXT", {"STATIC", 0x2 | group, true}},
      {"PUSHBUTTON", {"BUTTON", 0x0 | tabstop, true}},
      {"DEFPUSHBUTTON", {"BUTTON", 0x1 | tabstop, true}},
      {"CHECKBOX", {"BUTTON", 0x2 | tabstop, true}},
      {"AUTOCHECKBOX", {"BUTTON", 0x3 | tabstop, true}},
      {"RADIOBUTTON", {"BUTTON", 0x4, true}},
      {"STATE3", {"BUTTON", 0x5 | tabstop, true}},
      {"AUTO3STATE", {"BUTTON", 0x6 | tabstop, true}},
      {"GROUPBOX", {"BUTTON", 0x7, true}},
      {"AUTORADIOBUTTON", {"BUTTON", 0x9, true}},
      {"PUSHBOX", {"BUTTON", 0xA | tabstop, true}},
      {"EDITTEXT", {"EDIT", 0x0 | border | tabstop, false}},
  };
  return kinds;
}

class Parser {
 public:
  Parser(std::string file, std::vector<Token> tokens, const Defines& defines)
      : file_(std::move(file)), tokens_(std::move(tokens)), defines_(defines) {}

  void Run() {
    while (Cur().kind != Token::End) {
      if (IsWord("STRINGTABLE")) { ++pos_; StringTable(); continue; }
      if (IsWord("LANGUAGE")) { ++pos_; Language(); continue; }
      if ((Cur().kind == Token::Number || Cur().kind == Token::Word) && pos_ + 1 < tokens_.size() &&
          tokens_[pos_ + 1].kind == Token::Word &&
          (tokens_[pos_ + 1].text == "DIALOG" || tokens_[pos_ + 1].text == "DIALOGEX")) {
        ParseDialog();
        continue;
      }
      Fail(file_, Cur().line, "unexpected '" + Cur().text + "'");
    }
  }

  std::string Emit(const std::string& symbol) const {
    std::ostringstream out;
    out << "// Generated by rc2cpp from " << std::filesystem::path(file_).filename().string()
        << "; do not edit.\n#include \"host/resources.h\"\n\nnamespace {\n\n";
    out << "const plat::ResourceString kStrings[] = {\n";
    for (const auto& [id, text] : strings_) out << "    {" << id << ", " << Quote(text) << "},\n";
    if (strings_.empty()) out << "    {0, nullptr},\n";
    out << "};\n\n";
    for (const auto& [id, dialog] : dialogs_) {
      out << "const plat::DialogControl kDialog" << id << "Controls[] = {\n";
      for (const Control& c : dialog.controls) {
        out << "    {" << Quote(c.className) << ", " << Quote(c.text) << ", " << c.id << ", " << c.x << ", " << c.y
            << ", " << c.cx << ", " << c.cy << ", " << Hex(c.style) << ", " << Hex(c.exStyle) << "},\n";
      }
      if (dialog.controls.empty()) out << "    {nullptr, nullptr, 0, 0, 0, 0, 0, 0, 0},\n";
      out << "};\n\n";
    }
    out << "const plat::DialogTemplate kDialogs[] = {\n";
    for (const auto& [id, d] : dialogs_) {
      out << "    {" << id << ", " << Quote(d.caption) << ", " << Hex(d.style) << ", " << Hex(d.exStyle) << ", " << d.x
          << ", " << d.y << ", " << d.cx << ", " << d.cy << ", " << Quote(d.fontName) << ", " << d.fontSize
          << ", kDialog" << id << "Controls, " << d.controls.size() << "},\n";
    }
    if (dialogs_.empty()) out << "    {0, nullptr, 0, 0, 0, 0, 0, 0, nullptr, 0, nullptr, 0},\n";
    out << "};\n\n}  // namespace\n\n";
    out << "extern \"C\" __attribute__((visibility(\"default\"))) const plat::ResourceTable " << symbol << " = {\n"
        << "    kStrings, " << strings_.size() << ", kDialogs, " << dialogs_.size() << "};\n";
    return out.str();
  }

 private:
  const Token& Cur() const { return tokens_[pos_]; }
  bool IsWord(const char* w) const { return Cur().kind == Token::Word && Cur().text == w; }
  bool IsPunct(const char* p) const { return Cur().kind == Token::Punct && Cur().text == p; }
  void Expect(const char* p) {
    if (Cur().text != p) Fail(file_, Cur().line, std::string("expected '") + p + "', got '" + Cur().text + "'");
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
  void Language() {
    Value();
    Expect(",");
    Value();
  }

  // A symbol's value: a #define (evaluated as an expression of its own) or a
  // constant of the system headers.
  long Symbol(const Token& t) {
    auto it = defines_.find(t.text);
    if (it != defines_.end()) {
      if (++depth_ > 32) Fail(file_, t.line, "recursive definition of " + t.text);
      Defines none;
      auto tokens = Lexer(file_, it->second).Run(none);
      Parser sub(file_, std::move(tokens), defines_);
      sub.depth_ = depth_;
      long value = sub.Expression();
      if (sub.Cur().kind != Token::End) Fail(file_, t.line, "cannot evaluate " + t.text + " = " + it->second);
      --depth_;
      return value;
    }
    auto sys = SystemSymbols().find(t.text);
    if (sys != SystemSymbols().end()) return sys->second;
    Fail(file_, t.line, "unknown symbol " + t.text);
  }
  long Primary() {
    const Token& t = Cur();
    if (t.kind == Token::Punct && t.text == "(") {
      ++pos_;
      long v = Expression();
      Expect(")");
      return v;
    }
    if (t.kind == Token::Punct && t.text == "-") { ++pos_; return -Primary(); }
    if (t.kind == Token::Punct && t.text == "~") { ++pos_; return ~Primary(); }
    ++pos_;
    if (t.kind == Token::Number) {
      char* end = nullptr;
      long v = static_cast<long>(std::strtoul(t.text.c_str(), &end, 0));
      for (; *end; ++end)
        if (*end != 'L' && *end != 'l' && *end != 'U' && *end != 'u') Fail(file_, t.line, "bad number " + t.text);
      return v;
    }
    if (t.kind == Token::Word) return Symbol(t);
    Fail(file_, t.line, "expected a number, got '" + t.text + "'");
  }
  long Additive() {
    long v = Primary();
    while (IsPunct("+") || IsPunct("-")) {
      bool plus = Cur().text == "+";
      ++pos_;
      long r = Primary();
      v = plus ? v + r : v - r;
    }
    return v;
  }
  // expr := additive ( '|' additive )*
  long Expression() {
    long v = Additive();
    while (IsPunct("|")) {
      ++pos_;
      v |= Additive();
    }
    return v;
  }
  long Value() { return Expression(); }
  // A style: terms joined by '|', where "NOT term" clears the term's bits from
  // what the defaults and the terms before it set, as the resource compilers do.
  std::uint32_t Style(std::uint32_t defaults) {
    std::uint32_t style = defaults;
    for (;;) {
      bool clear = false;
      if (IsWord("NOT")) { clear = true; ++pos_; }
      std::uint32_t term = static_cast<std::uint32_t>(Additive());
      style = clear ? (style & ~term) : (style | term);
      if (!IsPunct("|")) break;
      ++pos_;
    }
    return style;
  }
  std::string Text() {
    if (Cur().kind != Token::String) Fail(file_, Cur().line, "expected a string, got '" + Cur().text + "'");
    return tokens_[pos_++].text;
  }
  bool Comma() {
    if (IsPunct(",")) { ++pos_; return true; }
    return false;
  }

  void StringTable() {
    while (IsWord("DISCARDABLE") || IsWord("PRELOAD") || IsWord("MOVEABLE") || IsWord("PURE")) ++pos_;
    if (!Begin()) Fail(file_, Cur().line, "expected BEGIN");
    while (!End()) {
      int line = Cur().line;
      long id = Value();
      Comma();
      if (Cur().kind != Token::String) Fail(file_, Cur().line, "expected a string");
      if (strings_.count(id)) Fail(file_, line, "string id " + std::to_string(id) + " defined twice");
      strings_[id] = Cur().text;
      ++pos_;
    }
  }

  void ParseDialog() {
    int line = Cur().line;
    if (Cur().kind == Token::Word && !defines_.count(Cur().text))
      Fail(file_, line, "dialog names must be numeric ids, got " + Cur().text);
    Dialog d{};
    d.id = Value();
    if (d.id < 0 || d.id > 0xFFFF) Fail(file_, line, "dialog id out of range");
    if (dialogs_.count(d.id)) Fail(file_, line, "dialog " + std::to_string(d.id) + " defined twice");
    bool extended = Cur().text == "DIALOGEX";
    ++pos_;
    while (IsWord("DISCARDABLE") || IsWord("PRELOAD") || IsWord("MOVEABLE") || IsWord("PURE") ||
           IsWord("LOADONCALL") || IsWord("FIXED") || IsWord("IMPURE"))
      ++pos_;
    d.x = Value(); Expect(",");
    d.y = Value(); Expect(",");
    d.cx = Value(); Expect(",");
    d.cy = Value();
    if (extended && Comma()) Value();  // help id
    // Without STYLE a dialog is a bordered pop-up with a system menu.
    const std::uint32_t popup = 0x80000000, border = 0x00800000, sysmenu = 0x00080000, caption = 0x00C00000,
                        setfont = 0x40;
    bool haveStyle = false, haveCaption = false;
    d.style = popup | border | sysmenu;
    for (;;) {
      if (IsWord("STYLE")) { ++pos_; d.style = Style(0); haveStyle = true; continue; }
      if (IsWord("EXSTYLE")) { ++pos_; d.exStyle = Style(0); continue; }
      if (IsWord("CAPTION")) { ++pos_; d.caption = Text(); haveCaption = true; continue; }
      if (IsWord("FONT")) {
        ++pos_;
        d.fontSize = Value();
        Expect(",");
        d.fontName = Text();
        while (Comma()) Value();  // DIALOGEX weight, italic, charset
        continue;
      }
      if (IsWord("LANGUAGE")) { ++pos_; Language(); continue; }
      if (IsWord("CHARACTERISTICS") || IsWord("VERSION")) { ++pos_; Value(); continue; }
      if (IsWord("MENU") || IsWord("CLASS")) Fail(file_, Cur().line, Cur().text + " is not supported in dialogs");
      break;
    }
    if (haveCaption && !haveStyle) d.style |= caption;
    if (!d.fontName.empty()) d.style |= setfont;
    if (!Begin()) Fail(file_, Cur().line, "expected BEGIN");
    while (!End()) {
      if (Cur().kind == Token::End) Fail(file_, Cur().line, "dialog without END");
      d.controls.push_back(ParseControl(extended));
    }
    dialogs_[d.id] = std::move(d);
  }

  Control ParseControl(bool extended) {
    const std::uint32_t childVisible = 0x40000000 | 0x10000000;
    if (Cur().kind != Token::Word) Fail(file_, Cur().line, "expected a control, got '" + Cur().text + "'");
    std::string statement = Cur().text;
    int line = Cur().line;
    ++pos_;
    Control c{};
    if (statement == "CONTROL") {
      c.text = Text(); Expect(",");
      c.id = Value(); Expect(",");
      if (Cur().kind == Token::String) c.className = Text();
      else if (Cur().kind == Token::Word) c.className = tokens_[pos_++].text;  // BUTTON, EDIT, STATIC, ...
      else Fail(file_, Cur().line, "expected a control class");
      Expect(",");
      c.style = Style(childVisible); Expect(",");
      c.x = Value(); Expect(",");
      c.y = Value(); Expect(",");
      c.cx = Value(); Expect(",");
      c.cy = Value();
      if (Comma()) c.exStyle = Style(0);
      if (extended && Comma()) Value();  // help id
      return c;
    }
    auto kind = ControlKinds().find(statement);
    if (kind == ControlKinds().end()) Fail(file_, line, "unsupported control statement " + statement);
    c.className = kind->second.className;
    if (kind->second.hasText) { c.text = Text(); Expect(","); }
    c.id = Value(); Expect(",");
    c.x = Value(); Expect(",");
    c.y = Value(); Expect(",");
    c.cx = Value(); Expect(",");
    c.cy = Value();
    c.style = kind->second.style | childVisible;
    if (Comma()) c.style = Style(c.style);
    if (Comma()) c.exStyle = Style(0);
    if (extended && Comma()) Value();  // help id
    return c;
  }

  static std::string Hex(std::uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08Xu", v);
    return buf;
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
  const Defines& defines_;
  std::size_t pos_ = 0;
  int depth_ = 0;
  std::map<long, std::string> strings_;
  std::map<long, Dialog> dialogs_;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 && argc != 4) {
    std::cerr << "usage: rc2cpp INPUT.rc OUTPUT.cpp [TABLE_SYMBOL]\n";
    return 2;
  }
  std::ifstream in(argv[1]);
  if (!in) {
    std::cerr << argv[1] << ": cannot open\n";
    return 1;
  }
  std::stringstream buffer;
  buffer << in.rdbuf();
  // Resource compilers define RC_INVOKED, so headers can keep C code from them.
  Defines defines{{"RC_INVOKED", "1"}};
  Lexer lexer(argv[1], buffer.str());
  auto tokens = lexer.Run(defines);
  Parser parser(argv[1], std::move(tokens), defines);
  parser.Run();
  std::ofstream out(argv[2]);
  out << parser.Emit(argc == 4 ? argv[3] : "TavroResourceTable");
  return out ? 0 : 1;
}
