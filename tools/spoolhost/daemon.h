// The spoolhost daemon: holds the loaded monitors, the printers, the jobs and
// the pending message boxes, and serves the clients on the state's socket.
#pragma once

#include <atomic>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "message_queue.h"
#include "options.h"
#include "session.h"
#include "state_dir.h"
#include "unique_fd.h"

namespace spoolhost {

class Monitors;
class PrinterRegistry;
class JobQueue;
class Network;

class Daemon {
 public:
  Daemon(Command command, tools::StateDir dir);
  ~Daemon();

  // Runs until stopped; returns the exit status. When readyFd >= 0 the outcome
  // of start-up is written to it as lines ("note ...", then "ok ..." or
  // "failed ...").
  int Serve(int readyFd);

  // The verbs, as the verb table names them.
  int Status(const Command& c, Session& s);
  int Stop(const Command& c, Session& s);
  int MessagesVerb(const Command& c, Session& s);
  int Ports(const Command& c, Session& s);
  int AddPort(const Command& c, Session& s);
  int Configure(const Command& c, Session& s);
  int AddPrinter(const Command& c, Session& s);
  int DeletePrinter(const Command& c, Session& s);
  int RenamePrinter(const Command& c, Session& s);
  int SetPort(const Command& c, Session& s);
  int Printers(const Command& c, Session& s);
  int Print(const Command& c, Session& s);
  int Jobs(const Command& c, Session& s);
  int Cancel(const Command& c, Session& s);
  int Box(const Command& c, Session& s);
  int Reg(const Command& c, Session& s);

  // One line to the daemon's log (its standard output), with the time.
  void Log(const std::string& line);

 private:
  struct Connection {
    tools::UniqueFd fd;
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };

  bool Setup(std::string* error);
  void AcceptLoop(int listenFd, int signalFd);
  void ServeConnection(int fd);
  int Dispatch(const Command& command, Session& session);
  void ReapConnections(bool all);
  // Unloads everything in order; the lines go to the log and to `session`.
  void Shutdown(Session* session);

  // A port that a running monitor lists; false (with the error sent) if none does.
  bool KnownPort(const std::string& port, Session& s);

  Command command_;
  tools::StateDir dir_;
  std::shared_ptr<MessageQueue> messages_;
  std::shared_ptr<PrinterRegistry> printers_;
  std::unique_ptr<Network> network_;
  std::unique_ptr<Monitors> monitors_;
  std::unique_ptr<JobQueue> jobs_;

  // Calls into a monitor hold this shared; unloading takes it alone.
  std::shared_mutex moduleUse_;
  std::mutex logMutex_;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> exitRequested_{false};
  tools::UniqueFd wakeRead_, wakeWrite_;  // Stop wakes the connection loop
  double timeScale_ = 1.0;
  int clientIdleSeconds_ = 300;
  long startedAt_ = 0;
  std::list<Connection> connections_;
};

// Entry points of main: `serve` runs the daemon here; `start` runs it detached
// and reports how start-up went.
int ServeCommand(const Command& command, const tools::StateDir& dir);
int StartCommand(const Command& command, const tools::StateDir& dir);

}  // namespace spoolhost
