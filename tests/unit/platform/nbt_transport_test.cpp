// NetBIOS over TCP/IP between two nodes of this process on 127.0.0.2 and
// 127.0.0.3, on ports of their own so that no privilege is needed.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "host/nbt.h"
#include "platform.h"
#include "netbios/ncb.h"
#include "posix/nbt_packets.h"
#include "print_box.h"

namespace {

constexpr UCHAR kA = 0, kB = 1;

class NbtTransport : public ::testing::Test {
 protected:
  void SetUp() override {
    plat::ResetNetbios();
    // Ports apart from other test processes running at the same time.
    base_ = static_cast<uint16_t>(20000 + (getpid() % 9000) * 5);
    if (!Node(kA, "127.0.0.2") || !Node(kB, "127.0.0.3"))
      GTEST_SKIP() << "cannot bind loopback addresses 127.0.0.2/127.0.0.3 here";
  }
  void TearDown() override { plat::ResetNetbios(); }

  bool Node(UCHAR lana, const char* address, const std::function<void(plat::NbtEndpoint&)>& limits = {}) {
    plat::NetSpec spec;
    std::string error;
    std::string text = std::string("nbt:") + address + "/8,lana=" + std::to_string(lana) + ",ports=" +
                       std::to_string(base_) + ":" + std::to_string(base_ + 1) + ":" + std::to_string(base_ + 2);
    EXPECT_TRUE(plat::ParseNetSpec(text, &spec, &error)) << error;
    spec.adapter.inAdapterMap = false;
    if (limits) limits(spec.nbt);
    return plat::AddNetAdapter(spec);
  }

  static void SetName(UCHAR* field, const char* name) {
    std::memset(field, ' ', NCBNAMSZ);
    std::memcpy(field, name, std::strlen(name));
  }
  static NCB Ncb(UCHAR command, UCHAR lana) {
    NCB n;
    std::memset(&n, 0, sizeof n);
    n.ncb_command = command;
    n.ncb_lana_num = lana;
    return n;
  }
  static UCHAR Add(UCHAR lana, const char* name, bool group, UCHAR* num = nullptr) {
    NCB n = Ncb(group ? NCBADDGRNAME : NCBADDNAME, lana);
    SetName(n.ncb_name, name);
    UCHAR r = Netbios(&n);
    if (num) *num = n.ncb_num;
    return r;
  }
  static UCHAR SendDatagram(UCHAR lana, UCHAR num, const char* to, std::vector<UCHAR> data) {
    NCB n = Ncb(NCBDGSEND, lana);
    n.ncb_num = num;
    SetName(n.ncb_callname, to);
    n.ncb_buffer = data.data();
    n.ncb_length = static_cast<WORD>(data.size());
    return Netbios(&n);
  }
  static UCHAR ReceiveDatagram(UCHAR lana, UCHAR num, std::vector<UCHAR>* buffer) {
    NCB n = Ncb(NCBDGRECV, lana);
    n.ncb_num = num;
    n.ncb_buffer = buffer->data();
    n.ncb_length = static_cast<WORD>(buffer->size());
    UCHAR r = Netbios(&n);
    buffer->resize(n.ncb_length);
    return r;
  }
  static UCHAR Call(UCHAR lana, const char* from, const char* to, UCHAR* lsn) {
    NCB n = Ncb(NCBCALL, lana);
    SetName(n.ncb_name, from);
    SetName(n.ncb_callname, to);
    UCHAR r = Netbios(&n);
    *lsn = n.ncb_lsn;
    return r;
  }
  static UCHAR Listen(UCHAR lana, const char* name, UCHAR* lsn) {
    NCB n = Ncb(NCBLISTEN, lana);
    SetName(n.ncb_name, name);
    n.ncb_callname[0] = '*';
    UCHAR r = Netbios(&n);
    *lsn = n.ncb_lsn;
    return r;
  }
  static UCHAR Send(UCHAR lana, UCHAR lsn, const std::string& text) {
    NCB n = Ncb(NCBSEND, lana);
    n.ncb_lsn = lsn;
    n.ncb_buffer = reinterpret_cast<PUCHAR>(const_cast<char*>(text.data()));
    n.ncb_length = static_cast<WORD>(text.size());
    return Netbios(&n);
  }
  static UCHAR Receive(UCHAR lana, UCHAR lsn, std::string* text, WORD capacity = 1024) {
    std::vector<UCHAR> buf(capacity);
    NCB n = Ncb(NCBRECV, lana);
    n.ncb_lsn = lsn;
    n.ncb_buffer = buf.data();
    n.ncb_length = capacity;
    UCHAR r = Netbios(&n);
    text->assign(buf.begin(), buf.begin() + n.ncb_length);
    return r;
  }

  // A session from kA's MONITOR to `to`, which kB or a fake node listens on.
  static UCHAR CallUntilListened(const char* to, UCHAR* lsn) {
    UCHAR r = NRC_NOCALL;
    for (int i = 0; i < 100 && r == NRC_NOCALL; ++i) r = Call(kA, "MONITOR", to, lsn);
    return r;
  }
  // A unique name's record at `address`, as a name packet carries it.
  static plat::nbt::NameRecord NbRecord(const char* name, uint32_t address) {
    plat::nbt::Name n;
    SetName(n.data(), name);
    return {n, plat::nbt::kTypeNb, 300, plat::nbt::NbData(false, address)};
  }
  // A name packet to kA's name service from a socket of no node, and time
  // for kA to take it in.
  bool SendToA(const plat::nbt::NamePacket& packet) const {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    auto wire = plat::nbt::BuildNamePacket(packet);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(base_);
    to.sin_addr.s_addr = htonl(0x7F000002);
    bool sent = fd >= 0 && sendto(fd, wire.data(), wire.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
                               static_cast<ssize_t>(wire.size());
    if (fd >= 0) close(fd);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    return sent;
  }
  // What the adapters log, kept for the test to read.
  std::vector<std::string> CaptureLog() {
    std::lock_guard lock(logMutex_);
    return log_;
  }
  void StartLogCapture() {
    plat::SetNbtLog([this](const std::string& line) {
      std::lock_guard lock(logMutex_);
      log_.push_back(line);
    });
  }

  uint16_t base_ = 0;
  std::mutex logMutex_;
  std::vector<std::string> log_;
};

TEST_F(NbtTransport, UniqueNamesAreDefendedGroupNamesShared) {
  EXPECT_EQ(Add(kA, "MONITOR", false), NRC_GOODRET);
  EXPECT_EQ(Add(kB, "MONITOR", false), NRC_INUSE);
  EXPECT_EQ(Add(kB, "MONITOR", true), NRC_INUSE);
  EXPECT_EQ(Add(kA, "BOXES", true), NRC_GOODRET);
  EXPECT_EQ(Add(kB, "BOXES", true), NRC_GOODRET);
  EXPECT_EQ(Add(kB, "BOXES2", false), NRC_GOODRET);
  // Once released, the name is free for the other node.
  NCB del = Ncb(NCBDELNAME, kA);
  SetName(del.ncb_name, "MONITOR");
  EXPECT_EQ(Netbios(&del), NRC_GOODRET);
  EXPECT_EQ(Add(kB, "MONITOR", false), NRC_GOODRET);
}

TEST_F(NbtTransport, NodeStatusAnswersWithTheHardwareAddress) {
  ASSERT_EQ(Add(kB, "PORT1", false), NRC_GOODRET);
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(fd, 0);
  timeval tv{2, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  plat::nbt::NamePacket q;
  q.id = 77;
  q.question = plat::nbt::Name{'*'};
  q.questionType = plat::nbt::kTypeNbstat;
  auto wire = plat::nbt::BuildNamePacket(q);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(base_);
  to.sin_addr.s_addr = htonl(0x7F000003);
  ASSERT_EQ(sendto(fd, wire.data(), wire.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
            static_cast<ssize_t>(wire.size()));
  std::vector<uint8_t> reply(1500);
  ssize_t n = recv(fd, reply.data(), reply.size(), 0);
  close(fd);
  ASSERT_GT(n, 0);
  reply.resize(static_cast<std::size_t>(n));
  auto p = plat::nbt::ParseNamePacket(reply);
  ASSERT_TRUE(p && p->record);
  EXPECT_EQ(p->id, 77);
  std::vector<plat::nbt::StatusName> names;
  std::array<uint8_t, 6> mac{};
  ASSERT_TRUE(plat::nbt::ParseNodeStatusData(p->record->data, &names, &mac));
  EXPECT_EQ(mac, (std::array<uint8_t, 6>{0x02, 0x00, 127, 0, 0, 3}));
  ASSERT_EQ(names.size(), 1u);
  EXPECT_EQ(std::string(names[0].name.begin(), names[0].name.begin() + 5), "PORT1");
}

TEST_F(NbtTransport, GroupDatagramOfAStatusReportArrivesWhole) {
  UCHAR a = 0, b = 0;
  ASSERT_EQ(Add(kA, "BOX", false, &a), NRC_GOODRET);
  ASSERT_EQ(Add(kB, "REPORTS", true, &b), NRC_GOODRET);
  std::vector<UCHAR> report(512);
  for (std::size_t i = 0; i < report.size(); ++i) report[i] = static_cast<UCHAR>(i * 13);
  ASSERT_EQ(SendDatagram(kA, a, "REPORTS", report), NRC_GOODRET);
  std::vector<UCHAR> got(600);
  EXPECT_EQ(ReceiveDatagram(kB, b, &got), NRC_GOODRET);
  EXPECT_EQ(got, report);
  // Too small a buffer: the start of it, and the code says so.
  ASSERT_EQ(SendDatagram(kA, a, "REPORTS", report), NRC_GOODRET);
  std::vector<UCHAR> small(100);
  EXPECT_EQ(ReceiveDatagram(kB, b, &small), NRC_INCOMP);
  EXPECT_TRUE(std::equal(small.begin(), small.end(), report.begin()));
  // And back, to a unique name.
  ASSERT_EQ(SendDatagram(kB, b, "BOX", {1, 2, 3}), NRC_GOODRET);
  std::vector<UCHAR> back(10);
  EXPECT_EQ(ReceiveDatagram(kA, a, &back), NRC_GOODRET);
  EXPECT_EQ(back, (std::vector<UCHAR>{1, 2, 3}));
}

TEST_F(NbtTransport, SessionCarriesMessagesInOrderUntilHangUp) {
  ASSERT_EQ(Add(kA, "MONITOR", false), NRC_GOODRET);
  ASSERT_EQ(Add(kB, "PORT1", false), NRC_GOODRET);
  UCHAR listenLsn = 0;
  UCHAR listened = NRC_PENDING;
  std::thread box([&] { listened = Listen(kB, "PORT1", &listenLsn); });
  UCHAR lsn = 0;
  UCHAR called = NRC_PENDING;
  for (int i = 0; i < 100 && called != NRC_GOODRET; ++i) {
    called = Call(kA, "MONITOR", "PORT1", &lsn);  // until the listen is in place
  }
  box.join();
  ASSERT_EQ(called, NRC_GOODRET);
  ASSERT_EQ(listened, NRC_GOODRET);
  for (int i = 0; i < 200; ++i) ASSERT_EQ(Send(kA, lsn, "job block " + std::to_string(i)), NRC_GOODRET);
  std::string big(60000, 'x');
  ASSERT_EQ(Send(kA, lsn, big), NRC_GOODRET);
  std::string text;
  for (int i = 0; i < 200; ++i) {
    ASSERT_EQ(Receive(kB, listenLsn, &text), NRC_GOODRET);
    ASSERT_EQ(text, "job block " + std::to_string(i));
  }
  EXPECT_EQ(Receive(kB, listenLsn, &text, 40000), NRC_INCOMP);
  EXPECT_EQ(Receive(kB, listenLsn, &text, 40000), NRC_GOODRET);
  EXPECT_EQ(text.size(), 20000u);
  ASSERT_EQ(Send(kB, listenLsn, "status"), NRC_GOODRET);
  ASSERT_EQ(Receive(kA, lsn, &text), NRC_GOODRET);
  EXPECT_EQ(text, "status");
  ASSERT_EQ(Send(kA, lsn, "last"), NRC_GOODRET);
  NCB hang = Ncb(NCBHANGUP, kA);
  hang.ncb_lsn = lsn;
  EXPECT_EQ(Netbios(&hang), NRC_GOODRET);
  EXPECT_EQ(Receive(kB, listenLsn, &text), NRC_GOODRET);
  EXPECT_EQ(text, "last");
  EXPECT_EQ(Receive(kB, listenLsn, &text), NRC_SCLOSED);
}

// A session whose side never receives stops reading once a bounded amount
// waits for it: the peer's sends then wait, and nothing is lost.
TEST_F(NbtTransport, AReceiverThatDoesNotReadHoldsBackThePeer) {
  ASSERT_EQ(Add(kA, "MONITOR", false), NRC_GOODRET);
  ASSERT_EQ(Add(kB, "PORT1", false), NRC_GOODRET);
  UCHAR boxLsn = 0, lsn = 0, called = NRC_PENDING;
  std::thread box([&] { Listen(kB, "PORT1", &boxLsn); });
  for (int i = 0; i < 100 && called != NRC_GOODRET; ++i) called = Call(kA, "MONITOR", "PORT1", &lsn);
  box.join();
  ASSERT_EQ(called, NRC_GOODRET);
  // Far more than the queue and both sockets' buffers hold.
  constexpr int kMessages = 1200;
  const std::string block(60000, 'b');
  std::atomic<int> sent{0};
  std::thread talker([&] {
    for (int i = 0; i < kMessages; ++i) {
      std::string m = block;
      std::memcpy(m.data(), &i, sizeof i);
      if (Send(kB, boxLsn, m) != NRC_GOODRET) return;
      ++sent;
    }
  });
  int before = -1;
  for (int i = 0; i < 200 && sent != before; ++i) {
    before = sent;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_LT(sent.load(), kMessages) << "every send went through with nobody reading";
  std::string text;
  for (int i = 0; i < kMessages; ++i) {
    ASSERT_EQ(Receive(kA, lsn, &text, 60000), NRC_GOODRET) << i;
    int n = -1;
    std::memcpy(&n, text.data(), sizeof n);
    ASSERT_EQ(n, i);
  }
  talker.join();
  EXPECT_EQ(sent.load(), kMessages);
}

TEST_F(NbtTransport, CallsNobodyAnswersAndFullListeners) {
  ASSERT_EQ(Add(kA, "MONITOR", false), NRC_GOODRET);
  ASSERT_EQ(Add(kB, "PORT1", false), NRC_GOODRET);
  UCHAR lsn = 0;
  EXPECT_EQ(Call(kA, "MONITOR", "NOBODY", &lsn), NRC_NOCALL);
  EXPECT_EQ(Call(kA, "MONITOR", "PORT1", &lsn), NRC_NOCALL);  // held, but no listen
  ASSERT_TRUE(plat::SetNetbiosSessionLimit(kB, 0));
  std::thread box([&] {
    UCHAR l;
    Listen(kB, "PORT1", &l);  // ends when the adapter goes
  });
  UCHAR r = NRC_NOCALL;
  for (int i = 0; i < 100 && r == NRC_NOCALL; ++i) r = Call(kA, "MONITOR", "PORT1", &lsn);
  EXPECT_EQ(r, NRC_REMTFUL);
  plat::RemoveNetbiosAdapter(kB);
  box.join();
}

TEST_F(NbtTransport, AdapterStatusOfAnotherNodeByName) {
  ASSERT_EQ(Add(kA, "MONITOR", false), NRC_GOODRET);
  UCHAR port = 0;
  ASSERT_EQ(Add(kB, "PORT1", false, &port), NRC_GOODRET);
  ASSERT_EQ(Add(kB, "BOXES", true), NRC_GOODRET);
  std::vector<UCHAR> buf(4650, 0xEE);
  NCB ncb;
  ASSERT_EQ(NetbiosAdapterStatus(kA, &ncb, buf.data(), 4650, "PORT1"), NRC_GOODRET);
  ASSERT_EQ(ncb.ncb_length, sizeof(ADAPTER_STATUS) + 2 * sizeof(NAME_BUFFER));
  ADAPTER_STATUS st;
  std::memcpy(&st, buf.data(), sizeof st);
  const UCHAR hw[6] = {0x02, 0x00, 127, 0, 0, 3};
  EXPECT_EQ(std::memcmp(st.adapter_address, hw, 6), 0);
  EXPECT_EQ(st.name_count, 2);
  NAME_BUFFER names[2];
  std::memcpy(names, buf.data() + sizeof st, sizeof names);
  EXPECT_EQ(std::memcmp(names[0].name, "PORT1           ", 16), 0);
  EXPECT_EQ(names[0].name_flags, UNIQUE_NAME | REGISTERED);
  EXPECT_EQ(std::memcmp(names[1].name, "BOXES           ", 16), 0);
  EXPECT_EQ(names[1].name_flags, GROUP_NAME | REGISTERED);
  EXPECT_EQ(buf[ncb.ncb_length], 0xEE);

  // Room for the status and one name and a half: what fits, counted whole.
  WORD room = static_cast<WORD>(sizeof(ADAPTER_STATUS) + sizeof(NAME_BUFFER) + 9);
  std::fill(buf.begin(), buf.end(), 0xEE);
  EXPECT_EQ(NetbiosAdapterStatus(kA, &ncb, buf.data(), room, "PORT1"), NRC_INCOMP);
  EXPECT_EQ(ncb.ncb_length, room);
  EXPECT_EQ(buf[room], 0xEE);
  std::memcpy(&st, buf.data(), sizeof st);
  EXPECT_EQ(st.name_count, 1);

  // A name of the asking adapter is answered there; one nobody holds times out.
  ASSERT_EQ(NetbiosAdapterStatus(kA, &ncb, buf.data(), 4650, "MONITOR"), NRC_GOODRET);
  std::memcpy(&st, buf.data(), sizeof st);
  EXPECT_EQ(st.adapter_address[5], 2);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(NetbiosAdapterStatus(kA, &ncb, buf.data(), 4650, "NOBODY"), NRC_CMDTMO);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

// A node on 127.0.0.4 made of plain sockets: it answers name queries for
// names that begin with `letter` and hands node status queries and session
// connections to the test.
class FakeNode {
 public:
  FakeNode(uint16_t base, char letter) : base_(base), letter_(letter) {}
  ~FakeNode() {
    done_ = true;
    if (thread_.joinable()) thread_.join();
    for (int fd : {bcast_, unicast_, listener_})
      if (fd >= 0) close(fd);
  }
  bool Start(std::function<std::vector<uint8_t>()> status) {
    status_ = std::move(status);
    bcast_ = socket(AF_INET, SOCK_DGRAM, 0);
    unicast_ = socket(AF_INET, SOCK_DGRAM, 0);
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(bcast_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    setsockopt(bcast_, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (!Bind(bcast_, 0x7FFFFFFF, base_) || !Bind(unicast_, 0x7F000004, base_) ||
        !Bind(listener_, 0x7F000004, static_cast<uint16_t>(base_ + 2)) || listen(listener_, 4) != 0)
      return false;
    timeval tv{0, 2000};
    setsockopt(bcast_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(unicast_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    thread_ = std::thread([this] { Answer(); });
    return true;
  }
  // The next session connection, with its request read.
  int Accept() {
    int fd = accept(listener_, nullptr, nullptr);
    uint8_t request[4 + 68];
    if (fd >= 0 && recv(fd, request, sizeof request, MSG_WAITALL) != static_cast<ssize_t>(sizeof request)) {
      close(fd);
      return -1;
    }
    return fd;
  }
  int statusAsked() const { return statusAsked_; }
  // Name queries heard, for any name.
  int queries() const { return queries_; }
  void AnswerFor(char letter) { letter_ = letter; }
  // Answers, over and over, the `count` ids after each one asked, as one who
  // guesses the next question's id would; the id asked is not answered.
  void AnswerAhead(int count) { ahead_ = count; }
  // Whether a session connection waits unaccepted.
  bool Called() const {
    pollfd p{listener_, POLLIN, 0};
    return poll(&p, 1, 0) > 0;
  }

 private:
  static bool Bind(int fd, uint32_t address, uint16_t port) {
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(port);
    at.sin_addr.s_addr = htonl(address);
    return fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0;
  }
  void Answer() {
    std::vector<uint8_t> in(1500);
    std::optional<plat::nbt::NamePacket> guessed;
    sockaddr_in asker{};
    while (!done_) {
      if (guessed) {
        for (int i = 1; i <= ahead_; ++i) {
          auto a = *guessed;
          a.id = static_cast<uint16_t>(guessed->id + i);
          auto wire = plat::nbt::BuildNamePacket(a);
          sendto(unicast_, wire.data(), wire.size(), 0, reinterpret_cast<sockaddr*>(&asker), sizeof asker);
        }
      }
      for (int fd : {bcast_, unicast_}) {
        sockaddr_in from{};
        socklen_t len = sizeof from;
        ssize_t n = recvfrom(fd, in.data(), in.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n <= 0) continue;
        auto q = plat::nbt::ParseNamePacket(std::span<const uint8_t>(in.data(), static_cast<std::size_t>(n)));
        if (!q || q->response || q->opcode != plat::nbt::kOpQuery || !q->question) continue;
        if (q->questionType == plat::nbt::kTypeNb) ++queries_;
        if ((*q->question)[0] != letter_) continue;
        plat::nbt::NamePacket a;
        a.id = q->id;
        a.response = true;
        if (q->questionType == plat::nbt::kTypeNb) {
          a.record = plat::nbt::NameRecord{*q->question, plat::nbt::kTypeNb, 300, plat::nbt::NbData(false, 0x7F000004)};
        } else {
          a.record = plat::nbt::NameRecord{*q->question, plat::nbt::kTypeNbstat, 0, status_()};
          ++statusAsked_;
        }
        if (ahead_ > 0 && q->questionType == plat::nbt::kTypeNb) {
          guessed = a;
          asker = from;
          continue;
        }
        auto wire = plat::nbt::BuildNamePacket(a);
        sendto(unicast_, wire.data(), wire.size(), 0, reinterpret_cast<sockaddr*>(&from), len);
      }
    }
  }

  const uint16_t base_;
  std::atomic<char> letter_;
  std::function<std::vector<uint8_t>()> status_;
  int bcast_ = -1, unicast_ = -1, listener_ = -1;
  std::atomic<bool> done_{false};
  std::atomic<int> statusAsked_{0};
  std::atomic<int> queries_{0};
  std::atomic<int> ahead_{0};
  std::thread thread_;
};

// A node that answers for a name and then lies about its status: a count of
// names that runs past the data is not believed, and nothing is copied.
TEST_F(NbtTransport, StatusAnswersThatDoNotHoldTogetherAreIgnored) {
  FakeNode liar(base_, 'L');
  // Says 200 names and sends two bytes of them.
  if (!liar.Start([] { return std::vector<uint8_t>{200, 'X', 'Y'}; })) GTEST_SKIP() << "cannot bind 127.0.0.4";
  std::vector<UCHAR> buf(4650, 0xEE);
  NCB ncb;
  EXPECT_EQ(NetbiosAdapterStatus(kA, &ncb, buf.data(), 4650, "LIAR"), NRC_CMDTMO);
  EXPECT_EQ(buf[0], 0xEE);
  EXPECT_GT(liar.statusAsked(), 0);
}

// A peer whose connection is reset mid-session: the send that finds it so
// ends the session abnormally, and the session number is gone after it.
TEST_F(NbtTransport, ASessionResetByThePeerIsAborted) {
  ASSERT_EQ(Add(kA, "MONITOR", false), NRC_GOODRET);
  FakeNode peer(base_, 'R');
  if (!peer.Start([] { return std::vector<uint8_t>{}; })) GTEST_SKIP() << "cannot bind 127.0.0.4";
  int conn = -1;
  std::thread answer([&] {
    conn = peer.Accept();
    const uint8_t yes[4] = {0x82, 0, 0, 0};
    if (conn >= 0) send(conn, yes, sizeof yes, MSG_NOSIGNAL);
  });
  UCHAR lsn = 0;
  UCHAR called = Call(kA, "MONITOR", "RESETTER", &lsn);
  answer.join();
  ASSERT_EQ(called, NRC_GOODRET);
  ASSERT_GE(conn, 0);
  ASSERT_EQ(Send(kA, lsn, "first"), NRC_GOODRET);
  // Unread data and a zero linger: the close resets the connection.
  linger hard{1, 0};
  setsockopt(conn, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  close(conn);
  UCHAR r = NRC_GOODRET;
  for (int i = 0; i < 500 && r == NRC_GOODRET; ++i) {
    r = Send(kA, lsn, "more");
    if (r == NRC_GOODRET) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(r, NRC_SABORT);
  EXPECT_EQ(Send(kA, lsn, "after"), NRC_SNUMOUT);
}

// An answer nobody asked for does not decide where datagrams go.
TEST_F(NbtTransport, UnaskedNameAnswersAreNotBelieved) {
  UCHAR a = 0, b = 0;
  ASSERT_EQ(Add(kA, "MONITOR", false, &a), NRC_GOODRET);
  ASSERT_EQ(Add(kB, "TARGET", false, &b), NRC_GOODRET);
  plat::nbt::NamePacket lie;
  lie.id = 4321;
  lie.response = true;
  lie.record = NbRecord("TARGET", 0x7F000009);
  ASSERT_TRUE(SendToA(lie));
  std::vector<UCHAR> got(10);
  std::atomic<UCHAR> received{NRC_PENDING};
  std::thread receiver([&] { received = ReceiveDatagram(kB, b, &got); });
  ASSERT_TRUE(plat::WaitForQuiet(1));
  ASSERT_EQ(SendDatagram(kA, a, "TARGET", {7}), NRC_GOODRET);
  for (int i = 0; i < 400 && received == NRC_PENDING; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  if (received == NRC_PENDING) {
    NCB del = Ncb(NCBDELNAME, kB);
    SetName(del.ncb_name, "TARGET");
    Netbios(&del);  // ends the receive
  }
  receiver.join();
  EXPECT_EQ(received.load(), NRC_GOODRET);
}

TEST_F(NbtTransport, LostDatagramsAreNotHeardAndInFlightOnesKeepTheServiceBusy) {
  UCHAR a = 0, b = 0;
  ASSERT_EQ(Add(kA, "BOX", false, &a), NRC_GOODRET);
  ASSERT_EQ(Add(kB, "REPORTS", true, &b), NRC_GOODRET);
  std::vector<UCHAR> got(600);
  UCHAR received = NRC_PENDING;
  std::thread receiver([&] { received = ReceiveDatagram(kB, b, &got); });
  ASSERT_TRUE(plat::WaitForQuiet(1));
  ASSERT_TRUE(plat::SetNbtDatagramDrop(kA, 1));
  EXPECT_EQ(SendDatagram(kA, a, "REPORTS", {1}), NRC_GOODRET);  // lost
  // The receive still waits, and nothing is on its way to it.
  EXPECT_TRUE(plat::WaitForQuiet(1));
  EXPECT_EQ(plat::NetbiosWaiterCount(), 1);
  // A datagram on its way to a waiting receive keeps the count down until
  // the receive has it, so a quiet service means nothing is in flight.
  EXPECT_EQ(SendDatagram(kA, a, "REPORTS", {2}), NRC_GOODRET);
  EXPECT_LE(plat::NetbiosWaiterCount(), 0);
  receiver.join();
  EXPECT_EQ(received, NRC_GOODRET);
  EXPECT_EQ(got, std::vector<UCHAR>{2});
  EXPECT_TRUE(plat::WaitForQuiet(0));
  EXPECT_EQ(plat::NetbiosWaiterCount(), 0);
  // A filter sees what is sent; no nbt adapter, no filter.
  std::atomic<int> seen{0};
  ASSERT_TRUE(plat::SetNbtDatagramDrop(kA, [&](const std::array<UCHAR, NCBNAMSZ>& to, std::span<const UCHAR> data) {
    ++seen;
    return to[0] == 'R' && data.size() == 1;
  }));
  EXPECT_EQ(SendDatagram(kA, a, "REPORTS", {3}), NRC_GOODRET);
  EXPECT_EQ(seen.load(), 1);
  EXPECT_FALSE(plat::SetNbtDatagramDrop(7, 1));
}

// A port name found at one address alone by a full query is called there
// again without asking, and a rival answering since cannot divert that call.
// A registration of the name from another address, overheard, ends it: then a
// rival answering every query for the port's name with its own address makes
// two addresses for one unique name, a conflict, not an answer. The call
// fails, the log names both, both nodes are told, and the box's own name is
// given up as the demand says.
TEST_F(NbtTransport, ARivalAnsweringForAPortNameFailsTheCallAndEveryoneIsTold) {
  StartLogCapture();
  ASSERT_EQ(Add(kA, "MONITOR", false), NRC_GOODRET);
  ASSERT_EQ(Add(kB, "PORT1", false), NRC_GOODRET);
  FakeNode rival(base_, 0);
  if (!rival.Start([] { return std::vector<uint8_t>{}; })) GTEST_SKIP() << "cannot bind 127.0.0.4";
  UCHAR listened = NRC_PENDING, boxLsn = 0, lsn = 0;
  for (int verified = 0; verified < 2; ++verified) {
    std::thread box([&] { listened = Listen(kB, "PORT1", &boxLsn); });
    ASSERT_TRUE(plat::WaitForQuiet(1));
    int asked = rival.queries();
    EXPECT_EQ(Call(kA, "MONITOR", "PORT1", &lsn), NRC_GOODRET);
    box.join();
    EXPECT_EQ(listened, NRC_GOODRET);
    NCB hang = Ncb(NCBHANGUP, kA);
    hang.ncb_lsn = lsn;
    Netbios(&hang);
    EXPECT_EQ(rival.queries() > asked, verified == 0);
    rival.AnswerFor('P');
  }
  EXPECT_FALSE(rival.Called());
  plat::nbt::NamePacket reg;
  reg.opcode = plat::nbt::kOpRegistration;
  reg.flags = plat::nbt::kFlagRd | plat::nbt::kFlagBroadcast;
  reg.record = NbRecord("PORT1", 0x7F000004);
  reg.question = reg.record->name;
  ASSERT_TRUE(SendToA(reg));
  std::thread box([&] { listened = Listen(kB, "PORT1", &boxLsn); });
  ASSERT_TRUE(plat::WaitForQuiet(1));
  EXPECT_EQ(Call(kA, "MONITOR", "PORT1", &lsn), NRC_NOCALL);
  box.join();
  EXPECT_EQ(listened, NRC_NAMCONF);
  // The box has given the name up; the rival, answering alone now, still
  // does not get the job.
  EXPECT_EQ(Call(kA, "MONITOR", "PORT1", &lsn), NRC_NOCALL);
  EXPECT_FALSE(rival.Called());
  auto log = CaptureLog();
  auto logged = [&](const std::string& text) {
    return std::any_of(log.begin(), log.end(), [&](const std::string& l) { return l.find(text) != std::string::npos; });
  };
  EXPECT_EQ(log.size(), 2u);
  EXPECT_TRUE(logged("\"PORT1\" is answered from 127.0.0.3, 127.0.0.4")) << ::testing::PrintToString(log);
  EXPECT_TRUE(logged("\"PORT1\" of this node is demanded away by 127.0.0.2")) << ::testing::PrintToString(log);
  std::vector<UCHAR> buf(1000);
  NCB ncb;
  ASSERT_EQ(NetbiosAdapterStatus(kB, &ncb, buf.data(), 1000, "*"), NRC_GOODRET);
  NAME_BUFFER name;
  std::memcpy(&name, buf.data() + sizeof(ADAPTER_STATUS), sizeof name);
  EXPECT_EQ(name.name_flags, UNIQUE_NAME | DUPLICATE);
}

// Answers sprayed for the ids after one seen on the segment meet no question:
// ids are not predictable, so the call is not diverted to the sprayer.
TEST_F(NbtTransport, AnswersForGuessedIdsAreNotBelieved) {
  ASSERT_EQ(Add(kA, "MONITOR", false), NRC_GOODRET);
  FakeNode sprayer(base_, 'T');
  if (!sprayer.Start([] { return std::vector<uint8_t>{}; })) GTEST_SKIP() << "cannot bind 127.0.0.4";
  sprayer.AnswerAhead(8);
  UCHAR lsn = 0;
  EXPECT_EQ(Call(kA, "MONITOR", "TARGET", &lsn), NRC_NOCALL);  // its id is seen
  EXPECT_EQ(Call(kA, "MONITOR", "TARGET", &lsn), NRC_NOCALL);  // and the next one guessed
  EXPECT_FALSE(sprayer.Called());
}

// A flood of registrations of fresh names: the cache keeps the most recent
// up to its cap, and forgets them at their time to live.
TEST_F(NbtTransport, TheNameCacheStaysUnderItsCapAndExpires) {
  plat::RemoveNetbiosAdapter(kA);
  ASSERT_TRUE(Node(kA, "127.0.0.2", [](plat::NbtEndpoint& ep) { ep.nameCache = 100; }));
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(base_);
  to.sin_addr.s_addr = htonl(0x7F000002);
  for (int i = 0; i < 3000; ++i) {
    plat::nbt::Name name;
    std::snprintf(reinterpret_cast<char*>(name.data()), name.size(), "FRESH%010d", i);
    plat::nbt::NamePacket reg;
    reg.id = static_cast<uint16_t>(i);
    reg.opcode = plat::nbt::kOpRegistration;
    reg.question = name;
    reg.record = plat::nbt::NameRecord{name, plat::nbt::kTypeNb, 1, plat::nbt::NbData(false, 0x7F000009)};
    auto wire = plat::nbt::BuildNamePacket(reg);
    sendto(fd, wire.data(), wire.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    if (i % 100 == 99) std::this_thread::sleep_for(std::chrono::milliseconds(1));  // no loss to a full buffer
  }
  close(fd);
  std::size_t seen = 0, before = 1;
  for (int i = 0; i < 100 && seen != before; ++i) {
    before = seen;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    seen = plat::NbtCachedNames(kA);
  }
  EXPECT_GT(seen, 0u);
  EXPECT_LE(seen, 100u);
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));  // their time to live, 1 s
  EXPECT_EQ(plat::NbtCachedNames(kA), 0u);
}

// A peer that takes the session and then reads nothing: once its buffers are
// full the sends make no progress, and after the stall limit the session is
// aborted instead of holding the sender for ever.
TEST_F(NbtTransport, ASessionThatMakesNoProgressIsAborted) {
  plat::RemoveNetbiosAdapter(kA);
  ASSERT_TRUE(Node(kA, "127.0.0.2", [](plat::NbtEndpoint& ep) { ep.sendStall = std::chrono::milliseconds(300); }));
  ASSERT_EQ(Add(kA, "MONITOR", false), NRC_GOODRET);
  FakeNode peer(base_, 'S');
  if (!peer.Start([] { return std::vector<uint8_t>{}; })) GTEST_SKIP() << "cannot bind 127.0.0.4";
  int conn = -1;
  std::thread answer([&] {
    conn = peer.Accept();
    const uint8_t yes[4] = {0x82, 0, 0, 0};
    if (conn >= 0) send(conn, yes, sizeof yes, MSG_NOSIGNAL);
  });
  UCHAR lsn = 0;
  UCHAR called = Call(kA, "MONITOR", "STALLER", &lsn);
  answer.join();
  ASSERT_EQ(called, NRC_GOODRET);
  std::atomic<UCHAR> r{NRC_GOODRET};
  std::thread sender([&] {
    const std::string block(60000, 'j');
    for (int i = 0; i < 2000 && r == NRC_GOODRET; ++i) r = Send(kA, lsn, block);
  });
  for (int i = 0; i < 1000 && r == NRC_GOODRET; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  bool stuck = r == NRC_GOODRET;
  if (stuck) close(std::exchange(conn, -1));  // lets a send that waits for ever end
  sender.join();
  EXPECT_FALSE(stuck) << "the sends still waited after 10 s";
  EXPECT_EQ(r.load(), NRC_SABORT);
  EXPECT_EQ(Send(kA, lsn, "after"), NRC_SNUMOUT);
  if (conn >= 0) close(conn);
}

// A print box on the segment: its names are registered side by side, and a
// connection that asks for a session on a port and then says nothing is hung
// up after the idle limit, so the port takes the next job.
TEST_F(NbtTransport, ABoxStartsAtOnceAndHangsUpAnIdleSession) {
  printbox::BoxConfig config;
  config.lana = kB;
  for (int i = 1; i <= 11; ++i) config.ports.push_back({"PORT" + std::to_string(i)});
  config.idleLimit = std::chrono::milliseconds(300);
  printbox::Box box(config);
  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(box.Start(), NRC_GOODRET);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));

  plat::nbt::Name port{}, caller{};
  std::memcpy(port.data(), "PORT1           ", 16);
  std::memcpy(caller.data(), "IDLER           ", 16);
  auto request = plat::nbt::BuildSessionRequest(port, caller);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(base_ + 2));
  to.sin_addr.s_addr = htonl(0x7F000003);
  int idle = -1;
  uint8_t answer[4] = {};
  for (int i = 0; i < 100 && answer[0] != plat::nbt::kPositiveResponse; ++i) {  // until the port listens
    if (idle >= 0) close(idle);
    idle = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(connect(idle, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    ASSERT_EQ(send(idle, request.data(), request.size(), MSG_NOSIGNAL), static_cast<ssize_t>(request.size()));
    ASSERT_EQ(recv(idle, answer, sizeof answer, MSG_WAITALL), 4);
  }
  ASSERT_EQ(answer[0], plat::nbt::kPositiveResponse);
  // Held by the silent caller: nobody else gets the port until it is hung up.
  timeval tv{5, 0};
  setsockopt(idle, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  EXPECT_EQ(recv(idle, answer, sizeof answer, 0), 0);
  close(idle);
  EXPECT_EQ(box.Stats().idleHangUps, 1u);

  ASSERT_EQ(Add(kA, "MONITOR", false), NRC_GOODRET);
  UCHAR lsn = 0;
  ASSERT_EQ(CallUntilListened("PORT1", &lsn), NRC_GOODRET);
  ASSERT_EQ(Send(kA, lsn, std::string("\x01\x00\x03\x00job", 7)), NRC_GOODRET);
  EXPECT_TRUE(box.WaitForCompleteJobs(1, std::chrono::seconds(5)));
}

TEST(NbtNetSpec, ParsesAddressesPortsAndRefusesTheLimitedBroadcast) {
  plat::NetSpec spec;
  std::string error;
  ASSERT_TRUE(plat::ParseNetSpec("nbt:10.1.2.3/24,ports=1137:1138:1139,lana=4", &spec, &error)) << error;
  EXPECT_EQ(spec.adapter.transport, plat::NetbiosTransportKind::Nbt);
  EXPECT_EQ(spec.nbt.address, 0x0A010203u);
  EXPECT_EQ(spec.nbt.broadcast, 0x0A0102FFu);
  EXPECT_EQ(spec.nbt.datagramPort, 1138);
  EXPECT_EQ(spec.adapter.lana, 4);
  EXPECT_EQ(spec.adapter.hardwareAddress, (std::array<UCHAR, 6>{2, 0, 10, 1, 2, 3}));
  ASSERT_TRUE(plat::ParseNetSpec("nbt:127.0.0.5/8,bcast=127.255.255.255,mac=02:aa:bb:cc:dd:ee", &spec, &error));
  EXPECT_EQ(spec.adapter.hardwareAddress, (std::array<UCHAR, 6>{2, 0xaa, 0xbb, 0xcc, 0xdd, 0xee}));
  ASSERT_TRUE(plat::ParseNetSpec("loop:lab", &spec, &error));
  EXPECT_EQ(spec.adapter.transport, plat::NetbiosTransportKind::Loop);
  EXPECT_EQ(spec.adapter.segment, "lab");
  EXPECT_FALSE(plat::ParseNetSpec("nbt:10.0.0.1/24,bcast=255.255.255.255", &spec, &error));
  EXPECT_FALSE(plat::ParseNetSpec("nbt:10.0.0.1", &spec, &error));
  EXPECT_FALSE(plat::ParseNetSpec("nbt:10.0.0.1/24,ports=1:2", &spec, &error));
  EXPECT_FALSE(plat::ParseNetSpec("nbt:10.0.0.1/24,mac=02:00", &spec, &error));
  EXPECT_FALSE(plat::ParseNetSpec("tcp:10.0.0.1/24", &spec, &error));
  ASSERT_TRUE(plat::ParseNetSpec("nbt:10.0.0.1/24,stall=5", &spec, &error)) << error;
  EXPECT_EQ(spec.nbt.sendStall, std::chrono::seconds(5));
  EXPECT_FALSE(plat::ParseNetSpec("nbt:10.0.0.1/24,stall=0", &spec, &error));
}

}  // namespace
