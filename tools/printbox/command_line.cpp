// The command line of printbox: a table of its options, the verbs and their
// arguments, and the state directory.
#include "command_line.h"

#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <map>

namespace printbox {
namespace {

bool ParseReceiveDelay(const std::string& value, Options* o, std::string* error) {
  char* end = nullptr;
  long ms = std::strtol(value.c_str(), &end, 10);
  if (value.empty() || *end != '\0' || ms < 0 || ms > 10000) {
    *error = "--receive-delay takes milliseconds from 0 to 10000";
    return false;
  }
  o->receiveDelayMs = static_cast<int>(ms);
  return true;
}

bool ParseIdleLimit(const std::string& value, Options* o, std::string* error) {
  char* end = nullptr;
  long s = std::strtol(value.c_str(), &end, 10);
  if (value.empty() || *end != '\0' || s < 0 || s > 3600) {
    *error = "--idle-limit takes seconds from 0 (none) to 3600";
    return false;
  }
  o->idleLimitS = static_cast<int>(s);
  return true;
}

bool ParseCount(const std::string& value, const char* option, long max, int* out, std::string* error) {
  char* end = nullptr;
  long n = std::strtol(value.c_str(), &end, 10);
  if (value.empty() || *end != '\0' || n < 1 || n > max) {
    *error = std::string("--") + option + " takes a number from 1 to " + std::to_string(max);
    return false;
  }
  *out = static_cast<int>(n);
  return true;
}

bool ParsePort(const std::string& value, Options* o, std::string* error) {
  PortStatus port;
  auto eq = value.find('=');
  port.name = value.substr(0, eq);
  if (eq != std::string::npos) {
    auto state = tools::ParsePortState(value.substr(eq + 1));
    if (!state) {
      *error = "unknown port state in --port " + value;
      return false;
    }
    port.status = *state;
  }
  if (port.name.empty() || port.name.size() > 15) {
    *error = "a port name has 1 to 15 characters: --port " + value;
    return false;
  }
  for (const auto& other : o->ports)
    if (other.name == port.name) {
      *error = "port " + port.name + " given twice";
      return false;
    }
  o->ports.push_back(port);
  return true;
}

struct OptionRule {
  const char* name;
  bool takesValue;
  // Stores the option's value; false with a reason when it is wrong.
  bool (*apply)(const std::string& value, Options* o, std::string* error);
};

const OptionRule kOptions[] = {
    {"state", true, [](const std::string& v, Options* o, std::string*) {
       o->state = v;
       return true;
     }},
    {"net", true, [](const std::string& v, Options* o, std::string*) {
       o->nets.push_back(v);
       return true;
     }},
    {"name", true, [](const std::string& v, Options* o, std::string*) {
       o->name = v;
       return true;
     }},
    {"port", true, ParsePort},
    {"out", true, [](const std::string& v, Options* o, std::string*) {
       o->out = v;
       return true;
     }},
    {"refuse-sessions", false, [](const std::string&, Options* o, std::string*) {
       o->refuseSessions = true;
       return true;
     }},
    {"no-pings", false, [](const std::string&, Options* o, std::string*) {
       o->noPings = true;
       return true;
     }},
    {"ready-fd", true,
     [](const std::string& v, Options* o, std::string*) {
       o->readyFd = std::atoi(v.c_str());
       return true;
     }},
    {"receive-delay", true, ParseReceiveDelay},
    {"idle-limit", true, ParseIdleLimit},
    {"boxes", true,
     [](const std::string& v, Options* o, std::string* error) {
       return ParseCount(v, "boxes", static_cast<long>(kMaxBoxesPerProcess), &o->boxes, error);
     }},
    {"first-box", true,
     [](const std::string& v, Options* o, std::string* error) {
       return ParseCount(v, "first-box", 99999, &o->firstBox, error);
     }},
};

const OptionRule* FindOption(const std::string& name) {
  for (const OptionRule& rule : kOptions)
    if (name == rule.name) return &rule;
  return nullptr;
}

// Reads the option at argv[*i] (and its value, moving *i past it).
bool ReadOption(int argc, char** argv, int* i, Options* o, std::string* error) {
  std::string name = std::string(argv[*i]).substr(2), value;
  bool inlineValue = false;
  if (auto eq = name.find('='); eq != std::string::npos) {
    value = name.substr(eq + 1);
    name = name.substr(0, eq);
    inlineValue = true;
  }
  const OptionRule* rule = FindOption(name);
  if (rule == nullptr) {
    *error = "unknown option --" + name;
    return false;
  }
  if (rule->takesValue && !inlineValue) {
    if (*i + 1 >= argc) {
      *error = "--" + name + " needs a value";
      return false;
    }
    value = argv[++*i];
  }
  return rule->apply(value, o, error);
}

// The box's name, the verb and its arguments.
bool CheckVerb(const Options& o, std::string* error) {
  static const std::map<std::string, int> verbs = {{"serve", 0}, {"start", 0}, {"stop", 0}, {"status", 0},
                                                   {"set-status", 2}};
  auto v = verbs.find(o.verb);
  if (o.name.empty() || o.name.size() > 15)
    *error = "the box name (--name) has 1 to 15 characters";
  else if (o.verb.empty())
    *error = "no verb given (printbox --help lists them)";
  else if (v == verbs.end())
    *error = "unknown verb '" + o.verb + "'";
  else if (static_cast<int>(o.args.size()) != v->second)
    *error = o.verb == "set-status" ? "usage: printbox set-status PORT STATE" : o.verb + " takes no arguments";
  else if (o.verb == "set-status" && !tools::ParsePortState(o.args[1]))
    *error = "unknown port state '" + o.args[1] + "'";
  else
    return true;
  return false;
}

// --state, else $PRINTBOX_STATE, else ./printbox-state; made absolute.
std::string ResolveState(std::string state) {
  if (state.empty()) {
    const char* env = std::getenv("PRINTBOX_STATE");
    state = env != nullptr && *env != '\0' ? env : "printbox-state";
  }
  if (state[0] != '/') {
    char cwd[PATH_MAX];
    if (::getcwd(cwd, sizeof cwd) != nullptr) state = std::string(cwd) + "/" + state;
  }
  return state;
}

}  // namespace

const char* const kUsageText =
    "usage: printbox [--state DIR] VERB [OPTIONS]\n"
    "  serve | start  --net nbt:ADDR/PREFIX[,bcast=ADDR][,ports=NS:DGM:SSN][,mac=..][,lana=N]\n"
    "                 [--name BOX] --port NAME[=STATE]... [--out DIR] [--refuse-sessions] [--no-pings]\n"
    "                 [--receive-delay MS]   (a slow printer: waits MS after each piece of a job)\n"
    "                 [--idle-limit S]       (hangs up a session silent for S seconds; default 30, 0: never)\n"
    "                 [--boxes N] [--first-box K]   (N boxes in this process, numbered from K (1):\n"
    "                 box k is BOXk on ADDR + k - K with its ports named NAME-k)\n"
    "  stop | status\n"
    "  set-status PORT STATE   (ready, ready2, offline, paperout, none, notport, or a byte like 0x15)\n"
    "A print-server box as its own process on NetBIOS over TCP/IP: serve runs it\n"
    "in the foreground, start in the background once its names are registered.\n"
    "It answers the monitors' pings with its ports' states and writes one file\n"
    "per complete job to --out (default: DIR/jobs). The state directory (--state,\n"
    "else $PRINTBOX_STATE, else ./printbox-state) holds its socket and log; give\n"
    "each box its own. The ports default to 137/138/139 (root needed); boxes and\n"
    "a spoolhost on one machine use 127.0.0.N addresses and the same ports=....\n"
    "On the in-process segment (loop) a box runs only inside spoolhost:\n"
    "  spoolhost start --printbox BOX:PORT1=ready,PORT2=offline@OUTDIR\n";

std::optional<Options> ParseCommandLine(int argc, char** argv, std::string* error, bool* help) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h" || a == "help") {
      *help = true;
      return std::nullopt;
    }
    if (a.compare(0, 2, "--") == 0) {
      if (!ReadOption(argc, argv, &i, &o, error)) return std::nullopt;
    } else if (o.verb.empty()) {
      o.verb = a;
    } else {
      o.args.push_back(a);
    }
  }
  if (!CheckVerb(o, error)) return std::nullopt;
  o.state = ResolveState(o.state);
  if (o.out.empty()) o.out = o.state + "/jobs";
  return o;
}

std::optional<tools::NetSpec> BoxNet(const Options& o, std::string* error) {
  if (o.nets.size() != 1) {
    *error = o.nets.empty() ? "a separate box needs its adapter: --net nbt:ADDR/PREFIX[,ports=NS:DGM:SSN] (or run it "
                              "inside spoolhost: spoolhost start --printbox " + o.name + ":PORT,...)"
                            : "a box has one adapter; give --net once";
    return std::nullopt;
  }
  const std::string& text = o.nets.front();
  auto net = tools::ParseNetSpec(text, error);
  if (!net) {
    *error = "--net " + text + ": " + *error;
    return std::nullopt;
  }
  // The loop segment exists only inside one process, so a box on it alone
  // would reach nobody.
  if (!net->IsNbt()) {
    *error = "--net " + text + ": the in-process segment reaches only nodes inside one process; run the box "
             "inside spoolhost (spoolhost start --printbox " + o.name + ":PORT,...), or give --net nbt:...";
    return std::nullopt;
  }
  // The box's adapter is not one the monitors of this host may claim.
  net->net.adapter.inAdapterMap = false;
  return net;
}

std::string Options::BoxesName() const {
  if (!Numbered()) return name;
  int first = firstBox > 0 ? firstBox : 1;
  if (boxes == 1) return name + std::to_string(first);
  return name + std::to_string(first) + ".." + name + std::to_string(first + boxes - 1);
}

std::optional<BoxSetConfig> BoxSetFor(const Options& o, std::string* error) {
  std::optional<tools::NetSpec> net = BoxNet(o, error);
  if (!net) return std::nullopt;
  BoxSetConfig set;
  set.net = net->net;
  set.macGiven = net->macGiven;
  set.count = static_cast<std::size_t>(o.boxes);
  set.numbered = o.Numbered();
  set.firstNumber = o.firstBox > 0 ? static_cast<std::size_t>(o.firstBox) : 1;
  set.box.name = o.name;
  set.box.ports = o.ports;
  set.box.outputDir = o.out;
  set.box.keepJobsInMemory = false;
  set.box.receiveDelay = std::chrono::milliseconds(o.receiveDelayMs);
  set.box.idleLimit = std::chrono::seconds(o.idleLimitS);
  if (auto why = CheckBoxSet(set)) {
    *error = *why;
    return std::nullopt;
  }
  return set;
}

}  // namespace printbox
