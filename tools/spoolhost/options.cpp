// The command line of spoolhost: the parser, driven by the verb table.
#include "options.h"

#include <cstdlib>

#include "specs.h"
#include "verb_table.h"

namespace spoolhost {

using tools::ParseBoxSpec;
using tools::ParseNetSpec;
using tools::ParsePortState;

namespace {

const OptionSpec* FindOption(const VerbSpec& verb, const std::string& name) {
  for (const OptionSpec& o : verb.options)
    if (name == o.name) return &o;
  return nullptr;
}

// Checks the values of the options whose form is known; an empty result is fine.
std::string CheckValues(const Command& c) {
  if (c.Has("level") && !ParseNumber(c.Value("level"), 1, 2)) return "--level must be 1 or 2";
  for (const char* name : {"offline", "out-of-paper", "no-response"})
    if (c.Has(name) && !ParseSwitch(c.Value(name))) return std::string("--") + name + " must be on or off";
  if (c.Has("timer") && !ParseNumber(c.Value("timer"), 0, 999))
    return "--timer must be a number of seconds from 16 to 999";
  if (c.Has("cancel") && (c.Has("offline") || c.Has("out-of-paper") || c.Has("no-response") || c.Has("timer")))
    return "--cancel closes the dialog without storing; it takes no settings";
  if (c.Has("time-scale")) {
    char* end = nullptr;
    const std::string text = c.Value("time-scale");
    double factor = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !(factor >= 0.001 && factor <= 100000))
      return "--time-scale must be a positive number (module time runs N times faster)";
  }
  if (c.Has("client-idle") && !ParseNumber(c.Value("client-idle"), 1, 86400))
    return "--client-idle must be a number of seconds";
  if (c.Has("copies") && !ParseNumber(c.Value("copies"), 1, 999)) return "--copies must be a number from 1 to 999";
  if (c.verb == "cancel" && c.args.empty() == !c.Has("all")) return "cancel takes a JOB number, or --all PRINTER";
  if (c.verb == "cancel" && !c.args.empty() && !ParseNumber(c.args[0], 1, 0xffffffffUL))
    return "cancel takes a job number, as `spoolhost jobs` lists them";
  if (c.Has("wait") && !ParseNumber(c.Value("wait"), 0, 3600)) return "--wait must be a number of seconds";
  if (c.Has("ready-fd") && !ParseNumber(c.Value("ready-fd"), 0, 65535)) return "--ready-fd must be a descriptor";
  for (const std::string& id : c.Values("answer"))
    if (!ParseNumber(id, 1, 0xffffffffUL)) return "--answer takes a message number, as `messages` lists them";
  if (c.Has("answer-all") && c.Has("answer")) return "give either --answer ID or --answer-all";
  std::string error;
  bool loopAdapter = c.Values("net").empty();  // the default adapter is on the loop segment
  for (const std::string& spec : c.Values("net")) {
    auto net = ParseNetSpec(spec, &error);
    if (!net) return "--net " + spec + ": " + error;
    loopAdapter |= !net->IsNbt();
  }
  if (c.Has("printbox") && !loopAdapter)
    return "--printbox boxes run in-process on the loop segment, and every --net here is nbt: add --net loop:lan0 "
           "for them, or start separate boxes with printbox start --net nbt:...";
  for (const std::string& spec : c.Values("printbox"))
    if (!ParseBoxSpec(spec, &error)) return "--printbox " + spec + ": " + error;
  if (c.verb == "box" && !ParsePortState(c.args[2]))
    return "unknown port state '" + c.args[2] + "' (ready, ready2, offline, paperout, none, notport or a byte like 0x15)";
  if (c.verb == "reg") {
    const std::string& sub = c.args[0];
    if (sub == "import" && c.args.size() != 2) return "reg import takes one FILE";
    if (sub != "import" && sub != "export") return "reg takes export [KEY] or import FILE";
  }
  return "";
}

}  // namespace

std::string Command::Value(const std::string& option, const std::string& fallback) const {
  auto it = options.find(option);
  return it == options.end() || it->second.empty() ? fallback : it->second.back();
}

const std::vector<std::string>& Command::Values(const std::string& option) const {
  static const std::vector<std::string> none;
  auto it = options.find(option);
  return it == options.end() ? none : it->second;
}

std::optional<bool> ParseSwitch(const std::string& text) {
  if (text == "on" || text == "yes" || text == "1") return true;
  if (text == "off" || text == "no" || text == "0") return false;
  return std::nullopt;
}

std::optional<unsigned long> ParseNumber(const std::string& text, unsigned long lo, unsigned long hi) {
  if (text.empty() || text.size() > 10) return std::nullopt;
  unsigned long value = 0;
  for (char ch : text) {
    if (ch < '0' || ch > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned long>(ch - '0');
  }
  if (value < lo || value > hi) return std::nullopt;
  return value;
}

bool IsDaemonVerb(const std::string& verb) { return verb == "start" || verb == "serve"; }

ParseResult ParseCommandLine(const std::vector<std::string>& argv) {
  ParseResult result;
  Command c;
  std::vector<std::string> positional;
  const VerbSpec* verb = nullptr;
  auto fail = [&result](std::string error) {
    result.error = std::move(error);
    return result;
  };
  for (std::size_t i = 0; i < argv.size(); ++i) {
    const std::string& a = argv[i];
    if (a == "--") {
      positional.insert(positional.end(), argv.begin() + static_cast<long>(i) + 1, argv.end());
      break;
    }
    if (a == "--help" || a == "-h" || (verb == nullptr && a == "help")) {
      result.help = true;
      return result;
    }
    if (a.size() > 2 && a.compare(0, 2, "--") == 0) {
      std::string name = a.substr(2);
      std::optional<std::string> value;
      if (auto eq = name.find('='); eq != std::string::npos) {
        value = name.substr(eq + 1);
        name = name.substr(0, eq);
      }
      // --state belongs to every verb and may come before it.
      const OptionSpec* option = nullptr;
      static const OptionSpec kState{"state", Arg::Value};
      if (name == "state") {
        option = &kState;
      } else if (verb == nullptr) {
        return fail("option --" + name + " before the verb; write the verb first");
      } else {
        option = FindOption(*verb, name);
        if (option == nullptr)
          return fail("unknown option --" + name + " for '" + verb->verb + "' (usage: spoolhost " + verb->synopsis +
                      ")");
      }
      if (option->arg == Arg::None) {
        if (value) return fail("--" + name + " takes no value");
        c.options[name].push_back("");
        continue;
      }
      if (!value) {
        if (i + 1 >= argv.size()) return fail("--" + name + " needs a value");
        value = argv[++i];
      }
      if (name == "state") {
        if (value->empty()) return fail("--state needs a directory");
        c.stateDir = *value;
        continue;
      }
      if (option->arg == Arg::Value && c.Has(name)) return fail("--" + name + " given twice");
      c.options[name].push_back(*value);
      continue;
    }
    if (a.size() > 1 && a[0] == '-') return fail("unknown option '" + a + "' (options are written --name)");
    if (verb == nullptr) {
      verb = FindVerb(a);
      if (verb == nullptr) return fail("unknown verb '" + a + "' (spoolhost --help lists them)");
      c.verb = a;
      continue;
    }
    positional.push_back(a);
  }
  if (verb == nullptr) return fail("no verb given (spoolhost --help lists them)");
  if (static_cast<int>(positional.size()) < verb->minArgs || static_cast<int>(positional.size()) > verb->maxArgs)
    return fail(std::string("wrong number of arguments (usage: spoolhost ") + verb->synopsis + ")");
  c.args = positional;
  if (std::string error = CheckValues(c); !error.empty()) return fail(error);
  result.command = std::move(c);
  return result;
}

std::string UsageText() {
  std::string text =
      "usage: spoolhost [--state DIR] VERB [ARGS] [OPTIONS]\n"
      "\n"
      "A small print spooler that loads the Varnhold port monitor (TAVRO.so).\n"
      "The state directory (--state, else $SPOOLHOST_STATE, else ./spoolhost-state)\n"
      "holds the registry, the Windows directory with TAVRO.log, the spooled jobs\n"
      "(spool/) and the socket.\n"
      "\n"
      "verbs:\n";
  for (const VerbSpec& v : VerbTable()) text += "  " + std::string(v.synopsis) + "\n";
  text +=
      "\n"
      "  --net loop[:SEGMENT][,lana=N][,mac=XX:XX:XX:XX:XX:XX]\n"
      "        an adapter on the in-process segment (default loop:lan0,lana=0)\n"
      "  --net nbt:ADDR/PREFIX[,bcast=ADDR][,ports=NS:DGM:SSN][,mac=..][,lana=N]\n"
      "        an adapter on NetBIOS over TCP/IP (ports default to 137/138/139, which need root;\n"
      "        boxes in other processes or on other hosts: printbox start --net nbt:...)\n"
      "  --printbox NAME:PORT[=STATE][,PORT[=STATE]]...[@OUTDIR] a print box on the in-process segment\n"
      "  port states: ready, ready2, offline, paperout, none, notport, or a byte like 0x15\n"
      "\n"
      "exit status: 0 done, 1 refused or failed, 2 bad command, 3 daemon not running\n";
  return text;
}

}  // namespace spoolhost
