// REGEDIT4 text import and export of the registry stand-in's hive.
#include <cstdio>
#include <fstream>
#include <sstream>

#include "../host/registry.h"
#include "../win32/registry.h"
#include "registry_hive.h"

namespace plat {

namespace {

using reg::Hive;
using reg::KeyId;

constexpr std::string_view kHeader = "REGEDIT4";

// One change that an imported text asks for.
struct ImportOp {
  enum Kind { kCreateKey, kDeleteTree, kSetValue, kDeleteValue } kind;
  std::vector<std::string> path;  // keys below HKEY_LOCAL_MACHINE
  std::string name;
  DWORD type = 0;
  std::vector<BYTE> data;
};

struct ParseError {
  std::size_t line;
  std::string what;
};

bool IsSpace(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimLeft(std::string_view s) {
  while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
  return s;
}

std::string_view TrimRight(std::string_view s) {
  while (!s.empty() && IsSpace(s.back())) s.remove_suffix(1);
  return s;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
  if (s.size() < prefix.size()) return false;
  return reg::FoldName(s.substr(0, prefix.size())) == reg::FoldName(prefix);
}

// Splits text into lines, each without its line end ("\n" or "\r\n").
std::vector<std::string_view> SplitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return lines;
}

class Parser {
 public:
  explicit Parser(std::string_view text) : lines_(SplitLines(text)) {}

  // Fills `ops`; on a malformed text throws ParseError.
  void Run(std::vector<ImportOp>* ops) {
    std::size_t i = 0;
    while (i < lines_.size() && TrimRight(TrimLeft(lines_[i])).empty()) ++i;
    std::string_view first = i < lines_.size() ? TrimRight(TrimLeft(lines_[i])) : std::string_view();
    // A UTF-8 byte-order mark is tolerated before the header.
    if (first.substr(0, 3) == "\xEF\xBB\xBF") first.remove_prefix(3);
    if (first != kHeader) throw ParseError{i < lines_.size() ? i + 1 : 1, "the text does not begin with REGEDIT4"};
    for (line_ = i + 1; line_ < lines_.size(); ++line_) {
      std::string_view line = TrimLeft(lines_[line_]);
      if (TrimRight(line).empty() || line.front() == ';') continue;
      if (line.front() == '[') {
        KeyLine(TrimRight(line), ops);
      } else if (line.front() == '"' || line.front() == '@') {
        ValueLine(line, ops);
      } else {
        Fail("expected a [key], a \"value\"= line or a ; comment");
      }
    }
  }

 private:
  [[noreturn]] void Fail(const std::string& what) { throw ParseError{line_ + 1, what}; }

  void KeyLine(std::string_view line, std::vector<ImportOp>* ops) {
    if (line.back() != ']') Fail("a key line must end with ]");
    std::string_view path = line.substr(1, line.size() - 2);
    bool remove = !path.empty() && path.front() == '-';
    if (remove) path.remove_prefix(1);
    std::vector<std::string> names = KeyPath(path);
    if (remove) {
      if (names.empty()) Fail("HKEY_LOCAL_MACHINE itself cannot be deleted");
      ops->push_back(ImportOp{ImportOp::kDeleteTree, names, {}, 0, {}});
      haveKey_ = false;
    } else {
      ops->push_back(ImportOp{ImportOp::kCreateKey, names, {}, 0, {}});
      key_ = names;
      haveKey_ = true;
    }
  }

  std::vector<std::string> KeyPath(std::string_view path) {
    std::size_t cut = path.find('\\');
    std::string_view root = path.substr(0, cut);
    if (reg::FoldName(root) != "HKEY_LOCAL_MACHINE" && reg::FoldName(root) != "HKLM") {
      Fail("only keys under HKEY_LOCAL_MACHINE can be imported");
    }
    std::vector<std::string> names;
    if (cut == std::string_view::npos) return names;
    path.remove_prefix(cut + 1);
    if (!path.empty() && path.back() == '\\') path.remove_suffix(1);
    while (true) {
      cut = path.find('\\');
      std::string_view name = path.substr(0, cut);
      if (name.empty()) Fail("empty key name in the path");
      if (name.size() > reg::kMaxKeyName) Fail("key name longer than 255 characters");
      if (name.find('\0') != std::string_view::npos) Fail("key name holds a zero byte");
      names.emplace_back(name);
      if (cut == std::string_view::npos) return names;
      path.remove_prefix(cut + 1);
    }
  }

  // A quoted text with \\ and \" escapes; `s` starts at the opening quote and
  // is left just after the closing one.
  std::string Quoted(std::string_view* s) {
    std::string out;
    std::size_t i = 1;
    while (true) {
      if (i >= s->size()) Fail("unterminated quoted text");
      char c = (*s)[i];
      if (c == '"') break;
      if (c == '\\') {
        if (i + 1 >= s->size()) Fail("unterminated quoted text");
        char next = (*s)[i + 1];
        if (next != '\\' && next != '"') Fail("unknown escape in quoted text");
        out.push_back(next);
        i += 2;
        continue;
      }
      out.push_back(c);
      ++i;
    }
    s->remove_prefix(i + 1);
    return out;
  }

  void ValueLine(std::string_view line, std::vector<ImportOp>* ops) {
    if (!haveKey_) Fail("a value outside any [key]");
    std::string name;
    if (line.front() == '@') {
      line.remove_prefix(1);
    } else {
      name = Quoted(&line);
      if (name.size() > reg::kMaxValueName) Fail("value name longer than 16383 characters");
      if (name.find('\0') != std::string::npos) Fail("value name holds a zero byte");
    }
    line = TrimLeft(line);
    if (line.empty() || line.front() != '=') Fail("expected = after the value name");
    line = TrimLeft(line.substr(1));
    ImportOp op{ImportOp::kSetValue, key_, name, REG_SZ, {}};
    if (!line.empty() && line.front() == '"') {
      std::string text = Quoted(&line);
      if (!TrimRight(line).empty()) Fail("unexpected text after the quoted data");
      op.data.assign(text.begin(), text.end());
      op.data.push_back(0);
    } else if (TrimRight(line) == "-") {
      op.kind = ImportOp::kDeleteValue;
    } else if (StartsWithNoCase(line, "dword:")) {
      std::string_view digits = TrimRight(line.substr(6));
      if (digits.empty() || digits.size() > 8) Fail("dword: needs 1 to 8 hexadecimal digits");
      DWORD v = 0;
      for (char c : digits) {
        if (HexDigit(c) < 0) Fail("dword: needs 1 to 8 hexadecimal digits");
        v = (v << 4) | static_cast<DWORD>(HexDigit(c));
      }
      op.type = REG_DWORD;
      for (int b = 0; b < 4; ++b) op.data.push_back(static_cast<BYTE>(v >> (8 * b)));
    } else if (StartsWithNoCase(line, "hex")) {
      line.remove_prefix(3);
      op.type = REG_BINARY;
      if (!line.empty() && line.front() == '(') {
        std::size_t close = line.find(')');
        std::string_view digits = line.substr(1, close == std::string_view::npos ? 0 : close - 1);
        if (close == std::string_view::npos || digits.empty() || digits.size() > 8) Fail("hex(N): needs a type number");
        op.type = 0;
        for (char c : digits) {
          if (HexDigit(c) < 0) Fail("hex(N): needs a hexadecimal type number");
          op.type = (op.type << 4) | static_cast<DWORD>(HexDigit(c));
        }
        line.remove_prefix(close + 1);
      }
      if (line.empty() || line.front() != ':') Fail("expected : after hex");
      line.remove_prefix(1);
      HexBytes(line, &op.data);
    } else {
      Fail("unknown kind of value data");
    }
    ops->push_back(std::move(op));
  }

  // Bytes as two-digit hexadecimal numbers separated by commas; a line that
  // ends with a backslash goes on in the next line.
  void HexBytes(std::string_view s, std::vector<BYTE>* out) {
    bool needByte = false;  // a comma was the last thing read
    while (true) {
      s = TrimRight(TrimLeft(s));
      bool more = !s.empty() && s.back() == '\\';
      if (more) s = TrimRight(s.substr(0, s.size() - 1));
      if (!s.empty() && !out->empty() && !needByte) Fail("expected , between hexadecimal bytes");
      while (!s.empty()) {
        std::size_t n = 0;
        while (n < s.size() && HexDigit(s[n]) >= 0) ++n;
        if (n == 0 || n > 2) Fail("expected a hexadecimal byte");
        BYTE b = static_cast<BYTE>(HexDigit(s[0]));
        if (n == 2) b = static_cast<BYTE>((b << 4) | HexDigit(s[1]));
        if (out->size() >= reg::kMaxValueData) Fail("value data longer than 1 MB");
        out->push_back(b);
        s = TrimLeft(s.substr(n));
        needByte = false;
        if (s.empty()) break;
        if (s.front() != ',') Fail("expected , between hexadecimal bytes");
        s = TrimLeft(s.substr(1));
        needByte = true;
      }
      if (!more) break;
      if (line_ + 1 >= lines_.size()) Fail("the data goes on past the end of the text");
      ++line_;
      s = lines_[line_];
    }
    if (needByte) Fail("a comma ends the hexadecimal data");
  }

  std::vector<std::string_view> lines_;
  std::size_t line_ = 0;
  std::vector<std::string> key_;
  bool haveKey_ = false;
};

LONG Apply(Hive& hive, const std::vector<ImportOp>& ops) {
  KeyId current = 0;
  for (const ImportOp& op : ops) {
    switch (op.kind) {
      case ImportOp::kCreateKey: {
        current = reg::kMachineKey;
        for (const std::string& name : op.path) {
          std::optional<KeyId> child = hive.FindChild(current, name);
          current = child ? *child : hive.CreateChild(current, name, "");
        }
        break;
      }
      case ImportOp::kDeleteTree: {
        KeyId key = reg::kMachineKey;
        for (const std::string& name : op.path) {
          std::optional<KeyId> child = hive.FindChild(key, name);
          key = child ? *child : 0;
          if (key == 0) break;
        }
        if (key != 0) hive.DeleteTree(key);
        current = 0;
        break;
      }
      case ImportOp::kSetValue:
        hive.SetValue(current, op.name, op.type, op.data.data(), op.data.size());
        break;
      case ImportOp::kDeleteValue:
        hive.DeleteValue(current, op.name);
        break;
    }
  }
  return ERROR_SUCCESS;
}

std::string Escape(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
  return out;
}

// Text data that reads back exactly as "...": one terminating zero, no other
// zero and no line break.
bool IsPlainText(const std::vector<BYTE>& data) {
  if (data.empty() || data.back() != 0) return false;
  for (std::size_t i = 0; i + 1 < data.size(); ++i) {
    if (data[i] == 0 || data[i] == '\r' || data[i] == '\n') return false;
  }
  return true;
}

void WriteValue(const reg::ValueInfo& value, std::string* out) {
  std::string line = value.name.empty() ? "@=" : "\"" + Escape(value.name) + "\"=";
  char buf[16];
  if (value.type == REG_SZ && IsPlainText(value.data)) {
    line += "\"" + Escape(std::string(value.data.begin(), value.data.end() - 1)) + "\"";
  } else if (value.type == REG_DWORD && value.data.size() == 4) {
    DWORD v = value.data[0] | (value.data[1] << 8) | (value.data[2] << 16) | (static_cast<DWORD>(value.data[3]) << 24);
    std::snprintf(buf, sizeof buf, "%08x", v);
    line += "dword:";
    line += buf;
  } else {
    if (value.type == REG_BINARY) {
      line += "hex:";
    } else {
      std::snprintf(buf, sizeof buf, "hex(%x):", value.type);
      line += buf;
    }
    // Wrapped near 80 columns, as regedit does.
    std::size_t column = line.size();
    for (std::size_t i = 0; i < value.data.size(); ++i) {
      std::snprintf(buf, sizeof buf, "%02x", value.data[i]);
      line += buf;
      column += 2;
      if (i + 1 == value.data.size()) break;
      line += ',';
      ++column;
      if (column >= 76) {
        line += "\\\n  ";
        column = 2;
      }
    }
  }
  *out += line;
  *out += '\n';
}

void WriteKey(Hive& hive, KeyId key, const std::string& path, bool header, std::string* out) {
  std::vector<reg::ValueInfo> values = hive.Values(key);
  if (header || !values.empty()) {
    *out += "[" + path + "]\n";
    for (const reg::ValueInfo& value : values) WriteValue(value, out);
    *out += '\n';
  }
  for (const reg::KeyInfo& child : hive.Children(key)) WriteKey(hive, child.id, path + "\\" + child.name, true, out);
}

}  // namespace

RegistryStatus ImportRegistry(const std::string& text) {
  std::vector<ImportOp> ops;
  try {
    Parser(text).Run(&ops);
  } catch (const ParseError& e) {
    return RegistryStatus{false, "line " + std::to_string(e.line) + ": " + e.what};
  }
  std::shared_ptr<Hive> hive = reg::CurrentHive();
  LONG rc = hive->Transact(true, [&] { return Apply(*hive, ops); });
  if (rc != ERROR_SUCCESS) return RegistryStatus{false, "the registry could not store the import (error " + std::to_string(rc) + ")"};
  return RegistryStatus{};
}

RegistryStatus ImportRegistryFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return RegistryStatus{false, "cannot read '" + path + "'"};
  std::ostringstream text;
  text << in.rdbuf();
  RegistryStatus status = ImportRegistry(text.str());
  if (!status) status.error = path + ": " + status.error;
  return status;
}

std::string ExportRegistry(const std::string& keyPath) {
  std::string out = std::string(kHeader) + "\n\n";
  std::shared_ptr<Hive> hive = reg::CurrentHive();
  hive->Transact(false, [&]() -> LONG {
    KeyId key = reg::kMachineKey;
    std::string path = "HKEY_LOCAL_MACHINE";
    std::string_view rest = keyPath;
    while (!rest.empty() && rest.back() == '\\') rest.remove_suffix(1);
    while (!rest.empty()) {
      std::size_t cut = rest.find('\\');
      std::optional<reg::KeyInfo> child = hive->FindChildInfo(key, rest.substr(0, cut));
      if (!child) return ERROR_FILE_NOT_FOUND;
      key = child->id;
      path += "\\" + child->name;
      rest = cut == std::string_view::npos ? std::string_view() : rest.substr(cut + 1);
    }
    WriteKey(*hive, key, path, key != reg::kMachineKey, &out);
    return ERROR_SUCCESS;
  });
  return out;
}

RegistryStatus ExportRegistryFile(const std::string& path, const std::string& keyPath) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  if (!file) return RegistryStatus{false, "cannot write '" + path + "'"};
  file << ExportRegistry(keyPath);
  file.close();
  if (!file) return RegistryStatus{false, "cannot write '" + path + "'"};
  return RegistryStatus{};
}

}  // namespace plat
