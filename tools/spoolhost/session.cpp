// The daemon's side of one client connection: output, progress and questions.
#include "session.h"

#include <sys/socket.h>

#include "escape.h"

namespace spoolhost {

using tools::Frame;
using tools::Message;
using tools::ReceiveFrame;
using tools::ReceiveFrameAppending;
using tools::SendFrame;

namespace {
thread_local Session* t_current = nullptr;
}

void Session::Send(Frame type, const std::string& payload) {
  std::lock_guard lock(mutex_);
  if (gone_ || exited_) return;
  if (type == Frame::Exit) exited_ = true;
  // Output of any length goes in as many frames as it needs (the client
  // writes them one after the other); any other frame is one line and is cut
  // to a frame rather than lost.
  const std::size_t piece = tools::kMaxFrame - 1;
  if (type != Frame::Out) {
    if (!SendFrame(fd_, type, payload.size() > piece ? payload.substr(0, piece) : payload)) gone_ = true;
    return;
  }
  for (std::size_t at = 0; at < payload.size() || at == 0; at += piece) {
    if (!SendFrame(fd_, type, payload.size() > piece ? payload.substr(at, piece) : payload)) {
      gone_ = true;
      return;
    }
  }
}

// What the daemon says may hold names reported over the network or read from
// the registry: they reach the user's terminal escaped.
void Session::Out(const std::string& text) { Send(Frame::Out, tools::EscapeText(text, true)); }
void Session::OutRaw(const std::string& text) { Send(Frame::Out, text); }
void Session::Err(const std::string& text) { Send(Frame::Err, tools::EscapeText(text)); }
void Session::Progress(const std::string& text) { Send(Frame::Progress, tools::EscapeText(text)); }
void Session::Exit(int status) { Send(Frame::Exit, std::string(1, static_cast<char>(status))); }

bool Session::Gone() const {
  std::lock_guard lock(mutex_);
  return gone_;
}

std::optional<std::string> Session::Ask(char kind, const std::string& text) {
  Send(Frame::Prompt, std::string(1, kind) + tools::EscapeText(text, true));
  for (;;) {
    std::optional<Message> m = ReceiveFrame(fd_);
    if (!m) {
      std::lock_guard lock(mutex_);
      gone_ = true;
      return std::nullopt;
    }
    if (m->type == Frame::Answer) return m->payload;
    if (m->type == Frame::DataEnd) return std::nullopt;  // the client has no input to give
  }
}

bool Session::ReceiveData(std::string* data) {
  // Data frames are read straight into the job; anything else is dropped.
  for (;;) {
    std::size_t before = data->size();
    std::optional<Frame> type = ReceiveFrameAppending(fd_, data);
    if (!type) return false;
    if (*type != Frame::Data) data->resize(before);
    if (*type == Frame::DataEnd) return true;
  }
}

std::optional<Frame> Session::Receive(std::string* payload, tools::UniqueFd* passed) {
  payload->clear();
  return ReceiveFrameAppending(fd_, payload, passed);
}

void Session::StopReceiving() { ::shutdown(fd_, SHUT_RD); }

Session* Session::Current() { return t_current; }

Session::Scope::Scope(Session* session) : previous_(t_current) { t_current = session; }
Session::Scope::~Scope() { t_current = previous_; }

}  // namespace spoolhost
