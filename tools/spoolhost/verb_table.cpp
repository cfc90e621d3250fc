// The verbs of spoolhost, one row each: what the command line takes, and how
// the daemon serves it.
#include "verb_table.h"

#include "daemon.h"

namespace spoolhost {

const std::vector<VerbSpec>& VerbTable() {
  constexpr bool kModule = true, kNoModule = false;
  static const std::vector<OptionSpec> daemonOptions = {{"net", Arg::Repeat},
                                                        {"printbox", Arg::Repeat},
                                                        {"time-scale", Arg::Value},
                                                        {"answer-boxes", Arg::None},
                                                        {"module", Arg::Value},
                                                        {"new-registry", Arg::None},
                                                        {"client-idle", Arg::Value}};
  static const std::vector<OptionSpec> serveOptions = [] {
    std::vector<OptionSpec> options = daemonOptions;
    options.push_back({"ready-fd", Arg::Value});
    return options;
  }();
  static const std::vector<VerbSpec> verbs = {
      {"start", 0, 0, daemonOptions,
       "start [--net SPEC]... [--printbox SPEC]... [--time-scale N] [--answer-boxes] [--module PATH] "
       "[--new-registry] [--client-idle SECONDS]",
       nullptr,
       kNoModule},
      {"serve", 0, 0, serveOptions, "serve [the options of start]   (the daemon in the foreground)", nullptr,
       kNoModule},
      {"stop", 0, 0, {{"force", Arg::None}}, "stop [--force]", &Daemon::Stop, kNoModule},
      {"status", 0, 0, {}, "status", &Daemon::Status, kNoModule},
      {"ports", 0, 0, {{"level", Arg::Value}}, "ports [--level 1|2]", &Daemon::Ports, kModule},
      {"add-port", 0, 0, {}, "add-port", &Daemon::AddPort, kModule},
      {"configure", 1, 1,
       {{"offline", Arg::Value}, {"out-of-paper", Arg::Value}, {"no-response", Arg::Value}, {"timer", Arg::Value},
        {"cancel", Arg::None}, {"interactive", Arg::None}},
       "configure PORT [--offline on|off] [--out-of-paper on|off] [--no-response on|off] [--timer SECONDS] "
       "[--cancel]",
       &Daemon::Configure, kModule},
      {"add-printer", 2, 2, {}, "add-printer NAME PORT", &Daemon::AddPrinter, kModule},
      {"delete-printer", 1, 1, {}, "delete-printer NAME", &Daemon::DeletePrinter, kModule},
      {"rename-printer", 2, 2, {}, "rename-printer OLD NEW", &Daemon::RenamePrinter, kModule},
      {"set-port", 2, 2, {}, "set-port NAME PORT", &Daemon::SetPort, kModule},
      {"printers", 0, 0, {}, "printers", &Daemon::Printers, kNoModule},
      {"print", 1, 2, {{"copies", Arg::Value}}, "print NAME [FILE|-] [--copies N]", &Daemon::Print, kModule},
      {"jobs", 0, 0, {}, "jobs", &Daemon::Jobs, kNoModule},
      {"cancel", 0, 1, {{"all", Arg::Value}}, "cancel JOB | cancel --all PRINTER", &Daemon::Cancel, kNoModule},
      {"messages", 0, 0, {{"answer", Arg::Repeat}, {"answer-all", Arg::None}, {"wait", Arg::Value}},
       "messages [--answer ID | --answer-all] [--wait SECONDS]", &Daemon::MessagesVerb, kNoModule},
      {"box", 3, 3, {}, "box BOX PORT STATE", &Daemon::Box, kNoModule},
      {"reg", 1, 2, {}, "reg export [KEY] | reg import FILE", &Daemon::Reg, kNoModule},
      {"log", 0, 0, {}, "log", nullptr, kNoModule},
  };
  return verbs;
}

const VerbSpec* FindVerb(const std::string& verb) {
  for (const VerbSpec& v : VerbTable())
    if (verb == v.verb) return &v;
  return nullptr;
}

}  // namespace spoolhost
