// Window messages between the programs of one user, over Unix-domain sockets.
//
// A window that other programs address (the panel dialog, the band window and
// its host) opens a MessagePort carrying its title and its parent. Other
// programs find ports by enumerating them and post, send or hand over bytes
// (WM_COPYDATA) to them.
//
// Files. Ports live in <RuntimeNamespaceDir()>/ports/ (folder 0700):
//   "<id>.<parent>.port"  the listening socket (0600); <parent> is "0" for a
//                         top-level port;
//   "<id>.title"          the title as raw UTF-16 code units (0600), so any
//                         title round-trips; replaced atomically by SetTitle.
//   ".lock"               flock that orders port creation against the removal
//                         of stale sockets.
// An id is "<pid>-<n>": the owner's process id and a per-process counter.
// Ids are claimed under the folder lock, skipping any a live port holds, so
// no two live ports share one even across pid namespaces.
//
// Liveness. A port is live while its socket accepts connections. Enumeration
// probes every socket with a non-blocking connect; a refused connect means the
// owner died without cleaning up, and that socket and its title are removed.
//
// Wire. Every message travels over its own connection as one frame: a fixed
// 32-byte header (magic, version, kind, message, payload length, wParam,
// lParam; native byte order, as both ends run on one machine) followed, for
// WM_COPYDATA only, by the payload. A post closes the connection after
// writing; a send or copy-data reads a reply frame from it. Connections are
// read in the order they were accepted, so the messages of one sending thread
// are taken in the order it sent them. The receiver
// reads without ever blocking, caps what it buffers, and drops any frame that
// is malformed, oversized or incomplete for too long.
//
// Threads: the free functions may be called from any thread; each call uses a
// connection of its own. A send to a port of the calling thread waits out its
// whole time-out, since that thread is not reading its port meanwhile.
//
// Status codes: S_OK; S_FALSE for "nothing there" (no message waiting, no port
// found, no message to answer); E_POINTER, E_INVALIDARG for bad arguments;
// HRESULT_FROM_WIN32(ERROR_TIMEOUT) when a bounded wait ends; otherwise the
// HresultFromErrno value of the failing system call (ECONNREFUSED or ENOENT:
// the port's owner is gone; ECONNRESET: it closed the port before answering;
// EPROTO: the answer was malformed).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/hresult.h"
#include "platform/types.h"

using INT_PTR = std::intptr_t;
using ULONG_PTR = std::uintptr_t;

inline constexpr UINT WM_COPYDATA = 0x004A;
// Asks the receiving window to raise and activate itself: the stand-in for
// making another program's window the foreground window, which one program
// cannot do to another on Linux. Both parameters 0; the answer is ignored.
// 1324, WM_USER + 300, clear of the suite's other WM_USER-based messages.
inline constexpr UINT WM_TROVIX_ACTIVATE = 0x0400 + 300;

// The most bytes one WM_COPYDATA carries. The suite hands over query texts of
// a few hundred bytes; the cap bounds what a receiver ever buffers.
inline constexpr DWORD kMaxCopyDataBytes = 1u << 20;

// A live port as enumeration finds it.
struct PortInfo {
  std::string id;         // "<pid>-<n>"
  std::u16string title;   // may be empty
  std::string parent_id;  // empty for a top-level port
  int pid = 0;            // owner process, as the kernel reports it
};

enum class MessageKind : WORD { kPost = 1, kSend = 2, kCopyData = 3 };

// One received message.
struct Message {
  MessageKind kind = MessageKind::kPost;
  UINT message = 0;
  UINT_PTR wParam = 0;
  INT_PTR lParam = 0;      // 0 for WM_COPYDATA
  ULONG_PTR dwData = 0;    // WM_COPYDATA only
  std::vector<BYTE> data;  // WM_COPYDATA only: exactly the bytes sent
  // A send or copy-data whose sender waits for MessagePort::Reply.
  bool needs_reply() const { return kind != MessageKind::kPost; }
};

// An open port. Destruction removes its socket and title, and a sender still
// waiting for an answer sees the connection close (ECONNRESET).
//
// Thread safety: a port belongs to one thread at a time (its window's thread);
// its methods are not safe to call concurrently.
class MessagePort {
 public:
  // Opens a port titled `title` under the parent port `parent_id` (empty or
  // "0" for a top-level port). `*out` is set only on success. E_INVALIDARG
  // when `parent_id` is not an id.
  [[nodiscard]] static HRESULT Open(std::u16string_view title, std::string_view parent_id,
                                    std::unique_ptr<MessagePort>* out);
  ~MessagePort();
  MessagePort(const MessagePort&) = delete;
  MessagePort& operator=(const MessagePort&) = delete;

  // Readable (poll, QSocketNotifier) whenever ReceiveOne may have work: a new
  // connection or bytes on a pending one. Owned by the port.
  [[nodiscard]] int fd() const { return epoll_fd_; }
  // This port as others see it.
  [[nodiscard]] PortInfo info() const;

  // Replaces the title (atomically for readers). On failure the old title
  // stays.
  [[nodiscard]] HRESULT SetTitle(std::u16string_view title);

  // Takes the next complete message without blocking: S_OK with `*out` set,
  // or S_FALSE when none is complete yet. A send or copy-data must be
  // answered with Reply before the next ReceiveOne; one left unanswered is
  // answered 0 then, as a window procedure that returns 0 would answer.
  [[nodiscard]] HRESULT ReceiveOne(Message* out);
  // Answers the last message taken when it needs a reply; S_FALSE when there
  // is none to answer. Never blocks.
  HRESULT Reply(INT_PTR result);

 private:
  struct Connection;
  MessagePort();
  [[nodiscard]] HRESULT Bind(std::u16string_view title, std::string_view parent_id);
  void AcceptPending();
  void Forget(std::size_t index, bool close_fd);

  std::string dir_;
  std::string id_;
  std::string parent_id_;  // empty for top-level
  std::u16string title_;
  int owner_pid_ = 0;  // a forked copy of the owner never removes the files
  int listen_fd_ = -1;
  int epoll_fd_ = -1;
  int reply_fd_ = -1;                    // connection of the message awaiting Reply, or -1
  UINT reply_message_ = 0;               // that message's number, echoed in the answer
  std::vector<Connection> connections_;  // in accept order
};

// Live top-level ports whose title begins with `title_prefix` (case-sensitive;
// a title matches when it is not empty, at least as long as the prefix and
// starts with it). An empty prefix lists every live top-level port, untitled
// ones included. Ordered by owner pid, then by creation within the owner.
// S_FALSE and an empty list when none matches.
[[nodiscard]] HRESULT EnumerateTopLevelPorts(std::u16string_view title_prefix,
                                             std::vector<PortInfo>* out);
// Every live descendant of `parent_id`, depth first, each port before its own
// children. S_FALSE and an empty list when there is none.
[[nodiscard]] HRESULT EnumerateChildPorts(std::string_view parent_id, std::vector<PortInfo>* out);

// Delivers (message, wParam, lParam) without waiting for it to be handled.
// Fails rather than waits more than half a second when the receiver's queue of
// connections is full. E_INVALIDARG for WM_COPYDATA (it must be sent).
[[nodiscard]] HRESULT PostPortMessage(const PortInfo& port, UINT message, UINT_PTR wParam,
                                      INT_PTR lParam);
// Delivers the message and waits up to `timeout_ms` for the receiver's answer,
// stored in `*result` (may be null) on S_OK. INFINITE and WM_COPYDATA are
// refused (E_INVALIDARG): a send never waits without bound.
[[nodiscard]] HRESULT SendPortMessage(const PortInfo& port, UINT message, UINT_PTR wParam,
                                      INT_PTR lParam, DWORD timeout_ms, INT_PTR* result);
// Sends WM_COPYDATA carrying `size` bytes from `data` (null allowed when
// `size` is 0) and `dwData`, then waits as SendPortMessage does. Sizes above
// kMaxCopyDataBytes are refused (E_INVALIDARG).
[[nodiscard]] HRESULT SendCopyData(const PortInfo& port, ULONG_PTR dwData, const void* data,
                                   DWORD size, DWORD timeout_ms, INT_PTR* result);
