#include "platform/message_port.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <set>
#include <thread>

#include "platform/sync.h"
#include "platform/testing/private_tree.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using trovix::testing::PrivateTree;

constexpr UINT kUser = 0x0400;
constexpr UINT kQuit = kUser + 1;      // the echo child leaves
constexpr UINT kSlow = kUser + 2;      // answered after 200 ms
constexpr UINT kCloseNow = kUser + 3;  // the echo child closes its port unanswered

// Runs `body` in a forked copy of this process, left through _exit. Fork only
// while no other thread runs.
pid_t Fork(const std::function<int()>& body) {
  const pid_t pid = fork();
  if (pid == 0) _exit(body());
  return pid;
}

// Exit code, or 128 + signal number like a shell.
int Join(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

long ElapsedMs(Clock::time_point start) { return static_cast<long>((Clock::now() - start) / 1ms); }

// Waits on the port's descriptor for the next message, as a window loop does.
bool WaitMessage(MessagePort& port, Message* message, int timeout_ms = 10000) {
  const auto start = Clock::now();
  while (port.ReceiveOne(message) != S_OK) {
    if (ElapsedMs(start) > timeout_ms) return false;
    pollfd ready{port.fd(), POLLIN, 0};
    poll(&ready, 1, 100);
  }
  return true;
}

// The one live top-level port titled `prefix`..., waiting for it to appear.
PortInfo AwaitPort(std::u16string_view prefix) {
  std::vector<PortInfo> found;
  for (int i = 0; i < 1000 && EnumerateTopLevelPorts(prefix, &found) != S_OK; ++i) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_EQ(found.size(), 1u);
  return found.empty() ? PortInfo{} : found.front();
}

INT_PTR Fnv1a(const std::vector<BYTE>& bytes) {
  std::uint32_t hash = 2166136261u;
  for (const BYTE b : bytes) hash = (hash ^ b) * 16777619u;
  return static_cast<INT_PTR>(hash);
}

// Answers sends with wParam + lParam and copy data with
// (size << 32) ^ hash ^ dwData, until kQuit or kCloseNow.
int EchoServer() {
  std::unique_ptr<MessagePort> port;
  if (FAILED(MessagePort::Open(u"Echo", "", &port))) return 1;
  for (Message m; WaitMessage(*port, &m, 30000);) {
    if (m.message == kQuit || m.message == kCloseNow) return 0;  // port closes unanswered
    if (m.message == kSlow) std::this_thread::sleep_for(200ms);
    if (m.kind == MessageKind::kCopyData) {
      const auto size = static_cast<std::int64_t>(m.data.size());
      port->Reply(static_cast<INT_PTR>((size << 32) ^ Fnv1a(m.data) ^ m.dwData));
    } else if (m.kind == MessageKind::kSend) {
      port->Reply(static_cast<INT_PTR>(m.wParam) + m.lParam);
    }
  }
  return 2;
}

std::string PortsDir() { return RuntimeNamespaceDir() + "/ports"; }

std::set<std::string> FilesIn(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

TEST(MessagePortTest, PostsFromAnotherProcessArriveInOrderThroughPrivateFiles) {
  PrivateTree tree;
  std::unique_ptr<MessagePort> port;
  ASSERT_EQ(MessagePort::Open(u"Vistrel - (0 files)", "", &port), S_OK);
  const PortInfo self = port->info();
  const std::string socket = PortsDir() + "/" + self.id + ".0.port";
  EXPECT_EQ(ModeOf(PortsDir()) & 07777, 0700u);
  EXPECT_TRUE(S_ISSOCK(ModeOf(socket)));
  EXPECT_EQ(ModeOf(socket) & 07777, 0600u);
  EXPECT_EQ(ModeOf(PortsDir() + "/" + self.id + ".title") & 07777, 0600u);

  constexpr int kCount = 300;  // far more than a port reads at once
  const pid_t poster = Fork([&] {
    const PortInfo target = AwaitPort(u"Vistrel");
    if (target.id != self.id || target.pid != getppid()) return 1;
    for (int i = 0; i < kCount; ++i) {
      if (PostPortMessage(target, kUser + 7, static_cast<UINT_PTR>(i), -i) != S_OK) return 2;
    }
    return 0;
  });
  for (int i = 0; i < kCount; ++i) {
    Message m;
    ASSERT_TRUE(WaitMessage(*port, &m)) << "message " << i;
    EXPECT_FALSE(m.needs_reply());
    EXPECT_EQ(m.message, kUser + 7);
    ASSERT_EQ(m.wParam, static_cast<UINT_PTR>(i));
    EXPECT_EQ(m.lParam, -i);
  }
  EXPECT_EQ(Join(poster), 0);
  EXPECT_EQ(port->Reply(5), S_FALSE) << "a post has no sender waiting";
  port.reset();
  EXPECT_EQ(FilesIn(PortsDir()), std::set<std::string>{".lock"});
}

TEST(MessagePortTest, SendWaitsForTheAnswerAndCopyDataRoundTrips) {
  PrivateTree tree;
  const pid_t echo = Fork(EchoServer);
  const PortInfo target = AwaitPort(u"Echo");
  EXPECT_EQ(target.pid, echo);

  INT_PTR result = 0;
  const UINT_PTR big = UINT_PTR{1} << 40;
  EXPECT_EQ(SendPortMessage(target, kUser + 9, big, -7, 5000, &result), S_OK);
  EXPECT_EQ(result, static_cast<INT_PTR>(big) - 7);
  const auto start = Clock::now();
  EXPECT_EQ(SendPortMessage(target, kSlow, 1, 2, 5000, &result), S_OK);
  EXPECT_GE(ElapsedMs(start), 200) << "the send returned before the answer";
  EXPECT_EQ(result, 3);

  for (const DWORD size : {0u, 1u, 4093u, kMaxCopyDataBytes}) {
    std::vector<BYTE> bytes(size);
    for (DWORD i = 0; i < size; ++i) bytes[i] = static_cast<BYTE>(i * 7 + i / 251);
    const ULONG_PTR dw_data = 0xABCD0000u + size;
    ASSERT_EQ(SendCopyData(target, dw_data, size ? bytes.data() : nullptr, size, 5000, &result),
              S_OK);
    EXPECT_EQ(result, (static_cast<INT_PTR>(size) << 32) ^ Fnv1a(bytes) ^ dw_data) << size;
  }
  const std::vector<BYTE> too_big(kMaxCopyDataBytes + 1);
  EXPECT_EQ(SendCopyData(target, 0, too_big.data(), kMaxCopyDataBytes + 1, 5000, &result),
            E_INVALIDARG);
  EXPECT_EQ(SendPortMessage(target, kUser, 0, 0, INFINITE, &result), E_INVALIDARG);

  EXPECT_EQ(SendPortMessage(target, kCloseNow, 0, 0, 5000, &result), HresultFromErrno(ECONNRESET));
  EXPECT_EQ(Join(echo), 0);
}

TEST(MessagePortTest, SilentPeerTimesOutAndDeadPeerIsRefusedAndSweptAway) {
  PrivateTree tree;
  const pid_t silent = Fork([] {
    std::unique_ptr<MessagePort> top;
    std::unique_ptr<MessagePort> child;
    if (FAILED(MessagePort::Open(u"Silent", "", &top)) ||
        FAILED(MessagePort::Open(u"Silent child", top->info().id, &child))) {
      return 1;
    }
    pause();  // never reads its ports
    return 0;
  });
  const PortInfo target = AwaitPort(u"Silent");
  INT_PTR result = 42;
  auto start = Clock::now();
  EXPECT_EQ(SendPortMessage(target, kUser, 0, 0, 300, &result), HresultFromErrno(ETIMEDOUT));
  EXPECT_GE(ElapsedMs(start), 300);
  EXPECT_LT(ElapsedMs(start), 3000);
  EXPECT_EQ(result, 42) << "no answer, so the result is untouched";
  // A megabyte does not fit the socket buffer: the write itself must time out.
  const std::vector<BYTE> bytes(kMaxCopyDataBytes);
  start = Clock::now();
  EXPECT_EQ(SendCopyData(target, 0, bytes.data(), kMaxCopyDataBytes, 300, &result),
            HresultFromErrno(ETIMEDOUT));
  EXPECT_LT(ElapsedMs(start), 3000);
  EXPECT_EQ(PostPortMessage(target, kUser, 0, 0), S_OK) << "a post needs no reader";

  kill(silent, SIGKILL);
  EXPECT_EQ(Join(silent), 128 + SIGKILL);
  EXPECT_EQ(FilesIn(PortsDir()).size(), 5u) << "two sockets, two titles and the lock stay";
  start = Clock::now();
  EXPECT_EQ(SendPortMessage(target, kUser, 0, 0, 5000, &result), HresultFromErrno(ECONNREFUSED));
  EXPECT_LT(ElapsedMs(start), 1000) << "a dead peer must not cost the whole time-out";
  std::vector<PortInfo> found;
  EXPECT_EQ(EnumerateTopLevelPorts(u"", &found), S_FALSE);
  EXPECT_EQ(FilesIn(PortsDir()), std::set<std::string>{".lock"});
}

// The wire header, written here by hand to forge frames.
struct RawHeader {
  std::uint32_t magic = 0x50565254;
  std::uint16_t version = 1;
  std::uint16_t kind = 1;
  std::uint32_t message = kUser;
  std::uint32_t payload_size = 0;
  std::uint64_t wparam = 0;
  std::int64_t lparam = 0;
};
static_assert(sizeof(RawHeader) == 32);

// Writes `size` bytes straight to the port's socket; returns the connection
// when `keep_open`, else closes it and returns -1.
int SendRaw(const PortInfo& port, const void* bytes, std::size_t size, bool keep_open = false) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string path = PortsDir() + "/" + port.id + ".0.port";
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  EXPECT_EQ(send(fd, bytes, size, MSG_NOSIGNAL), static_cast<ssize_t>(size));
  if (keep_open) return fd;
  close(fd);
  return -1;
}

TEST(MessagePortTest, ForgedAndStalledFramesAreDroppedWithoutBlockingTheReceiver) {
  PrivateTree tree;
  std::unique_ptr<MessagePort> port;
  ASSERT_EQ(MessagePort::Open(u"Target", "", &port), S_OK);
  const PortInfo target = port->info();
  const char noise[] = "GET / HTTP/1.0\r\n\r\n and some more text past a header's size";
  SendRaw(target, noise, sizeof noise);
  std::vector<RawHeader> forged(8);
  forged[0].magic = 0x12345678;
  forged[1].version = 2;
  forged[2].kind = 4;  // a reply sent as a request
  forged[3].kind = 9;
  forged[4].payload_size = 5;  // a post with a payload
  forged[5].kind = 3;          // copy-data of another message
  forged[6].kind = 3, forged[6].message = WM_COPYDATA, forged[6].payload_size = 0xFFFFFFF0u;
  forged[7].kind = 2, forged[7].message = WM_COPYDATA;  // copy-data without its kind
  for (const RawHeader& header : forged) {
    std::vector<BYTE> frame(sizeof header + 8, 0xEE);
    std::memcpy(frame.data(), &header, sizeof header);
    SendRaw(target, frame.data(), frame.size());
  }
  const RawHeader good;
  SendRaw(target, &good, 10);  // half a header, then gone
  // More stalled senders than the port reads at once: it must still get on.
  std::vector<int> stalled;
  for (int i = 0; i < 20; ++i) stalled.push_back(SendRaw(target, &good, 10, /*keep_open=*/true));
  RawHeader truncated;
  truncated.kind = 3, truncated.message = WM_COPYDATA, truncated.payload_size = 100;
  stalled.push_back(SendRaw(target, &truncated, sizeof truncated, /*keep_open=*/true));
  ASSERT_EQ(PostPortMessage(target, kUser + 5, 55, 66), S_OK);

  Message m;
  const auto start = Clock::now();
  for (int calls = 0; calls < 200 && port->ReceiveOne(&m) != S_OK; ++calls) {
    ASSERT_LT(ElapsedMs(start), 1000) << "ReceiveOne waited for a sender";
  }
  EXPECT_EQ(m.message, kUser + 5);
  EXPECT_EQ(m.wParam, 55u);
  EXPECT_EQ(m.lParam, 66);
  EXPECT_EQ(port->ReceiveOne(&m), S_FALSE);
  for (const int fd : stalled) close(fd);
  EXPECT_FALSE(WaitMessage(*port, &m, 300)) << "closed stalled senders deliver nothing";
}

TEST(MessagePortTest, EnumeratesTopLevelByPrefixAndDescendantsDepthFirst) {
  PrivateTree tree;
  std::unique_ptr<MessagePort> ports[9];
  ASSERT_EQ(MessagePort::Open(u"Vistrel - (3 files)", "", &ports[0]), S_OK);
  ASSERT_EQ(MessagePort::Open(u"Vistre", "", &ports[1]), S_OK);
  ASSERT_EQ(MessagePort::Open(u"vistrel lower case", "", &ports[2]), S_OK);
  ASSERT_EQ(MessagePort::Open(u"", "", &ports[3]), S_OK);
  ASSERT_EQ(MessagePort::Open(u"Trovix Host", "0", &ports[4]), S_OK);
  const std::string host = ports[4]->info().id;
  ASSERT_EQ(MessagePort::Open(u"Trovix Band", host, &ports[5]), S_OK);
  ASSERT_EQ(MessagePort::Open(u"Other", ports[5]->info().id, &ports[6]), S_OK);
  ASSERT_EQ(MessagePort::Open(u"Trovix Edit", ports[6]->info().id, &ports[7]), S_OK);
  ASSERT_EQ(MessagePort::Open(u"Vistrel", "", &ports[8]), S_OK);
  std::unique_ptr<MessagePort> unused;
  EXPECT_EQ(MessagePort::Open(u"x", "../escape", &unused), E_INVALIDARG);

  const auto ids = [](const std::vector<PortInfo>& found) {
    std::vector<std::string> out;
    for (const PortInfo& p : found) out.push_back(p.id);
    return out;
  };
  std::vector<PortInfo> found;
  ASSERT_EQ(EnumerateTopLevelPorts(u"Vistrel", &found), S_OK);
  EXPECT_EQ(ids(found), (std::vector<std::string>{ports[0]->info().id, ports[8]->info().id}));
  ASSERT_EQ(EnumerateTopLevelPorts(u"", &found), S_OK);
  EXPECT_EQ(found.size(), 6u) << "untitled top-level ports too";
  ASSERT_EQ(EnumerateChildPorts(host, &found), S_OK);
  EXPECT_EQ(ids(found), (std::vector<std::string>{ports[5]->info().id, ports[6]->info().id,
                                                  ports[7]->info().id}));
  EXPECT_EQ(found[0].parent_id, host);
  EXPECT_EQ(EnumerateChildPorts(ports[7]->info().id, &found), S_FALSE);
  EXPECT_EQ(EnumerateChildPorts("0", &found), E_INVALIDARG);

  // Any title survives, and a new one shows at once.
  const std::u16string odd = u"Vistrel a/b\\c\n\u00e9\U0001F600\xD800.port";
  ASSERT_EQ(ports[8]->SetTitle(odd), S_OK);
  ASSERT_EQ(EnumerateTopLevelPorts(u"Vistrel a/", &found), S_OK);
  EXPECT_EQ(found.at(0).title, odd);
  EXPECT_EQ(found.at(0).pid, getpid());
  ports[6].reset();  // the grandchild is orphaned and no longer a descendant
  ASSERT_EQ(EnumerateChildPorts(host, &found), S_OK);
  EXPECT_EQ(ids(found), std::vector<std::string>{ports[5]->info().id});
}

// Socket addresses hold 107 bytes; a deeper runtime folder must still work.
TEST(MessagePortTest, DeepRuntimeFolderWorksAndNoDescriptorIsLeft) {
  PrivateTree tree;
  const std::string deep = tree.runtime() + "/" + std::string(60, 'd') + "/" + std::string(60, 'e');
  std::filesystem::create_directories(deep);
  setenv("XDG_RUNTIME_DIR", deep.c_str(), 1);
  ASSERT_GT(PortsDir().size(), sizeof(sockaddr_un::sun_path));
  const int before = trovix::testing::OpenDescriptorCount();
  for (int round = 0; round < 2; ++round) {
    std::unique_ptr<MessagePort> port;
    ASSERT_EQ(MessagePort::Open(u"Deep", "", &port), S_OK);
    const PortInfo target = AwaitPort(u"Deep");
    INT_PTR result = 0;
    std::thread sender([&] {
      EXPECT_EQ(SendCopyData(target, 1, "abc", 3, 5000, nullptr), S_OK);
      EXPECT_EQ(SendPortMessage(target, kUser, 4, 5, 5000, &result), S_OK);
    });
    Message m;
    for (int taken = 0; taken < 2; ++taken) {
      ASSERT_TRUE(WaitMessage(*port, &m));
      EXPECT_EQ(port->Reply(static_cast<INT_PTR>(m.wParam) * m.lParam), S_OK);
    }
    sender.join();
    EXPECT_EQ(result, 20);
  }
  EXPECT_EQ(trovix::testing::OpenDescriptorCount(), before);
}

}  // namespace
