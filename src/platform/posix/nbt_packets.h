// Wire layouts of NetBIOS over TCP/IP (RFC 1001/1002): name service,
// datagram service and session service packets, with their parsers and
// builders. Parsers check every count and length against the bytes received.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace plat::nbt {

using Name = std::array<uint8_t, 16>;
using Bytes = std::vector<uint8_t>;

// ---- Names: first-level encoding, 'A' + nibble, as one label with no scope.

// Appends the encoded name (34 bytes: length 32, the label, the root).
void AppendEncodedName(const Name& name, Bytes& out);
// Reads an encoded name at *pos and moves *pos past it. Accepts a scope
// (labels after the first, skipped) and one compression pointer.
bool ReadEncodedName(std::span<const uint8_t> packet, std::size_t* pos, Name* name);

// ---- Name service (UDP port 137).

enum NameOpcode : uint8_t { kOpQuery = 0, kOpRegistration = 5, kOpRelease = 6, kOpWack = 7, kOpRefresh = 8 };
enum NameFlags : uint8_t { kFlagBroadcast = 0x01, kFlagRa = 0x08, kFlagRd = 0x10, kFlagTc = 0x20, kFlagAa = 0x40 };
enum NameRcode : uint8_t { kRcodeOk = 0, kRcodeFmt = 1, kRcodeSrv = 2, kRcodeNam = 3, kRcodeImp = 4,
                           kRcodeRfs = 5, kRcodeAct = 6, kRcodeCft = 7 };
constexpr uint16_t kTypeNb = 0x0020;
constexpr uint16_t kTypeNbstat = 0x0021;
constexpr uint16_t kClassIn = 0x0001;
constexpr uint16_t kNbFlagGroup = 0x8000;

struct NameRecord {
  Name name{};
  uint16_t type = kTypeNb;
  uint32_t ttl = 0;
  Bytes data;
};

struct NamePacket {
  uint16_t id = 0;
  bool response = false;
  uint8_t opcode = kOpQuery;
  uint8_t flags = 0;  // NameFlags
  uint8_t rcode = 0;
  std::optional<Name> question;
  uint16_t questionType = kTypeNb;
  // The first resource record of any section; the others are skipped.
  std::optional<NameRecord> record;
  // Where a request carries its record: the additional section; a response:
  // the answer section.
};

std::optional<NamePacket> ParseNamePacket(std::span<const uint8_t> packet);
Bytes BuildNamePacket(const NamePacket& p);

// NB record data: flags and IPv4 address (host order).
Bytes NbData(bool group, uint32_t address);
bool ParseNbData(std::span<const uint8_t> data, bool* group, uint32_t* address);

// Node status answer: the names (16 bytes and flags each) and the statistics
// block, whose first six bytes are the hardware address.
struct StatusName {
  Name name{};
  uint16_t flags = 0;
};
Bytes NodeStatusData(const std::vector<StatusName>& names, const std::array<uint8_t, 6>& mac);
bool ParseNodeStatusData(std::span<const uint8_t> data, std::vector<StatusName>* names, std::array<uint8_t, 6>* mac);

// ---- Datagram service (UDP port 138).

enum DatagramType : uint8_t { kDirectUnique = 0x10, kDirectGroup = 0x11, kBroadcastDatagram = 0x12,
                              kDatagramError = 0x13 };
enum DatagramFlags : uint8_t { kDgmMore = 0x01, kDgmFirst = 0x02, kDgmBNode = 0x00 };
// One datagram packet on the wire, at most this long; longer user data goes
// in fragments.
constexpr std::size_t kMaxDatagramPacket = 576;
constexpr std::size_t kDatagramHeader = 14;

struct DatagramPacket {
  uint8_t type = kDirectUnique;
  uint8_t flags = kDgmFirst;
  uint16_t id = 0;
  uint32_t sourceAddress = 0;  // host order
  uint16_t sourcePort = 0;
  uint16_t offset = 0;  // of this fragment's data in the whole datagram
  Name source{};
  Name destination{};
  Bytes data;
  uint8_t errorCode = 0;  // kDatagramError only
};

std::optional<DatagramPacket> ParseDatagramPacket(std::span<const uint8_t> packet);
Bytes BuildDatagramPacket(const DatagramPacket& p);
// Splits user data into packets of at most kMaxDatagramPacket bytes, with
// FIRST/MORE flags and offsets; one packet when it fits.
std::vector<Bytes> BuildDatagramFragments(DatagramPacket p, std::span<const uint8_t> data);

// ---- Session service (TCP port 139).

enum SessionType : uint8_t { kSessionMessage = 0x00, kSessionRequest = 0x81, kPositiveResponse = 0x82,
                             kNegativeResponse = 0x83, kRetargetResponse = 0x84, kKeepAlive = 0x85 };
enum SessionError : uint8_t { kNotListeningCalled = 0x80, kNotListeningCalling = 0x81,
                              kCalledNotPresent = 0x82, kInsufficientResources = 0x83,
                              kUnspecifiedError = 0x8F };
constexpr std::size_t kSessionHeader = 4;
constexpr std::size_t kMaxSessionLength = 0x1FFFF;  // 17 bits

struct SessionHeader {
  uint8_t type = kSessionMessage;
  std::size_t length = 0;
};

// Parses the four header bytes; rejects unknown types, reserved flag bits and
// lengths a type cannot have.
std::optional<SessionHeader> ParseSessionHeader(std::span<const uint8_t> header);
void AppendSessionHeader(uint8_t type, std::size_t length, Bytes& out);
// SESSION REQUEST trailer: called name, then calling name.
bool ParseSessionRequest(std::span<const uint8_t> body, Name* called, Name* calling);
Bytes BuildSessionRequest(const Name& called, const Name& calling);
Bytes BuildSessionPacket(uint8_t type, std::span<const uint8_t> body);

}  // namespace plat::nbt
