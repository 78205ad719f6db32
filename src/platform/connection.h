// One connection (a TCP socket, or an in-memory end in tests) with the blocking reads and
// writes the proxy's handlers need: lines with a length limit, exact byte counts, header
// blocks, whole writes, and the body relays and tunnel that move bytes between two
// connections. All waits happen on the calling thread. A connection is used by one thread;
// only Abort may come from another.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/byte_stream.h"
#include "platform/function_ref.h"
#include "platform/receive_buffer.h"
#include "platform/thread_annotations.h"

namespace trovanex {

inline constexpr std::size_t kMaxLineLength = 16384;
inline constexpr std::size_t kReceivePiece = 32768;
// A header block larger than this fails like an over-long line: nothing grows without bound.
inline constexpr std::size_t kMaxHeaderBlock = 256 * 1024;

class Connection {
 public:
  // A wait for ReadLine: a number of milliseconds, or the connection's own read time-out.
  struct Wait {
    static Wait Default() { return Wait{}; }
    static Wait Milliseconds(int ms) { return Wait{ms}; }
    std::optional<int> ms;
  };

  Connection();
  explicit Connection(int fd);  // takes over a connected socket
  // The same, with the peer's address as accept() gave it.
  Connection(int fd, const sockaddr_storage& peer);
  // Over a stream that is connected already (an in-memory end, for tests).
  explicit Connection(std::unique_ptr<ByteStream> stream);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Resolves host (name or dotted address, IPv4 or IPv6) and connects. Throws SocketFailure
  // with the resolver's or the connect's Windows Sockets number, ConnectTimedOut when
  // timeout_ms > 0 passes without success (the attempt is watched every 125 ms), or
  // ConnectFailed. An Abort() ends an attempt still waiting, with the code of an aborted
  // connection. With `refused_local_port`, a host that resolves to an address of this machine
  // at that port is never connected to (SelfConnection): the proxy's own listener.
  void ConnectTo(const std::string& host, int port, int timeout_ms, int refused_local_port = -1);

  // Milliseconds for reads with the default wait; 0 is no limit.
  void SetReadTimeout(int ms) { read_timeout_ms_ = ms; }
  int ReadTimeout() const { return read_timeout_ms_; }

  // The bytes up to the next LF, without it and without one CR right before it. With a number
  // of milliseconds, a wait that runs out returns "" (unfinished bytes stay buffered); with the
  // default wait it throws ReadTimedOut. Throws LineTooLong, PeerClosed, NotConnected,
  // SocketFailure.
  std::string ReadLine(Wait wait = Wait::Default());
  // The next line into `line`, waiting at most wait_ms; false when the wait ran out first, so
  // that an empty line and a silence can be told apart. Throws like ReadLine.
  bool ReadLineWithin(int wait_ms, std::string& line);
  // Exactly n bytes (nothing for n <= 0), with the default wait.
  std::string ReadExact(std::int64_t n);
  // Reads exactly n bytes into `into` (resized), reusing its storage.
  void ReadExactInto(std::string& into, std::size_t n);
  // Lines with the default wait, appended to `lines` until an empty line (not appended).
  // Throws HeaderBlockTooLarge when the lines add up to more than kMaxHeaderBlock bytes.
  void ReadHeaderBlock(std::vector<std::string>& lines);

  void WriteBytes(std::string_view bytes);
  void WriteLine(std::string_view text);  // text + CR LF, one write
  void WriteLines(const std::vector<std::string>& lines);
  // The lines of a head and the empty line that ends it, in one write.
  void WriteHead(const std::vector<std::string>& lines);
  // Body relay. Moves bytes from this connection to `to`: first those already buffered here,
  // then straight from socket to socket through a kernel pipe (splice), so that large bodies
  // are not copied through user space. `copy` optionally receives the same bytes right after
  // `to` did (a capture file). Every receive is bounded by `piece` bytes and waits with the
  // default wait. Bytes go on as they arrive; on_piece(length) is called for every `piece`
  // bytes moved (the last piece of a relay may be shorter), and once more for the bytes of an
  // unfinished piece when a failure ends the relay, so that the counts match what `to` got.
  struct Copy {
    int fd = -1;          // file descriptor the bytes are also written to, or -1
    bool failed = false;  // set (and copying stopped) when writing to fd failed
    int error = 0;        // errno of that failure
  };
  using PieceCallback = FunctionRef<void(std::size_t length)>;
  // Exactly n bytes. Throws like ReadExact (PeerClosed when the stream ends early, after
  // relaying what came) and like WriteBytes for failures towards `to`.
  void RelayExact(Connection& to, std::uint64_t n, std::size_t piece, Copy* copy,
                  std::optional<PieceCallback> on_piece = std::nullopt);
  // Whatever has arrived, at most `piece` bytes, waiting with the default wait for at least one
  // byte. Returns the count moved; throws PeerClosed when the stream has ended.
  std::size_t RelaySome(Connection& to, std::size_t piece, Copy* copy);

  // A tunnel: bytes both ways between this connection and `other`, unchanged, those already
  // buffered on either side first, until either side closes or fails; then both are shut
  // down. No time limit; an Abort ends it at once. on_to_this(length) is called for the bytes
  // written to this connection. Never throws for the sides' failures: they end the tunnel.
  struct TunnelCounts {
    std::uint64_t to_this = 0;
    std::uint64_t to_other = 0;
  };
  TunnelCounts Tunnel(Connection& other, std::optional<PieceCallback> on_to_this = std::nullopt);

  // Puts a layer (TLS) over this connection's stream: every later read and write goes through
  // it, and relays copy through user space instead of splicing. The layer reads and writes
  // Transport(), which outlives it. Bytes received but not yet read belong to the layer's first
  // records: TakeBuffered() hands them over first.
  void UseStream(std::unique_ptr<ByteStream> layer);
  std::string TakeBuffered();
  // The stream beneath any layer; null when not connected.
  ByteStream* Transport() { return transport_.get(); }
  // Whether reads and writes go to a socket itself (no layer, no in-memory end).
  bool Plain() const { return !layer_ && (!transport_ || transport_->PlainSocket() >= 0); }

  bool IsConnected() const { return transport_ != nullptr; }
  // Whether a kept connection can take the next request: connected, nothing unread, and the
  // peer has neither closed nor sent anything meanwhile.
  bool StillOpen();
  void Disconnect();
  // Shuts the socket down in both directions without releasing it, so that a thread blocked
  // on it wakes with a failure; a socket this connection opens later is shut down at once.
  // The abort partner, if any, is aborted too. Safe from another thread.
  void Abort();
  // Makes Abort() reach `partner` as well (nullptr ends that); when this connection has already
  // been aborted, the partner is aborted at once. Owning thread only. A connection thread that
  // waits on the far side of a relay then wakes as soon as the listener aborts its browser
  // connection. Use AbortLink, which ends the link before the partner goes.
  void SetAbortPartner(Connection* partner);

  // Remote address: dotted IPv4 text (an IPv4-mapped IPv6 peer is shown as IPv4); empty when
  // there is none.
  std::string PeerAddress() const;
  // The socket beneath; -1 when there is none (not connected, or an in-memory end).
  int Handle() const { return transport_ ? transport_->Socket() : -1; }
  std::size_t Buffered() const { return input_.Size() - consumed_; }

 private:
  // Receives once, at most `max` bytes, into the input buffer, waiting at most wait_ms (-1: no
  // limit). False when the wait ran out.
  bool Receive(int wait_ms, std::size_t max = kReceivePiece);
  bool WaitReadable(int wait_ms);
  int DefaultWaitMs() const { return read_timeout_ms_ > 0 ? read_timeout_ms_ : -1; }
  // The next line into `line`; false when the wait ran out. `raw_length` gets the bytes the line
  // took from the stream, line end included.
  bool NextLine(int wait_ms, std::string& line, std::size_t& raw_length);
  void ThrowIfClosed() const;
  [[noreturn]] void FailWrite(int error_number);
  void CloseSocket();
  void Adopt(std::unique_ptr<ByteStream> stream);
  std::string_view Pending() const;
  void Consume(std::size_t n);
  void DropPending();

  // Relay steps. Each moves at most `max` bytes and returns the count moved.
  std::size_t ForwardBuffered(Connection& to, std::size_t max, Copy* copy);
  // Straight from the socket through the kernel pipe; nothing when splicing is not possible
  // here, 0 when the socket had nothing after all.
  std::optional<std::size_t> SpliceSome(Connection& to, std::size_t max, Copy* copy);
  // Moves the n bytes a splice put into the pipe on to `to`, and to the copy.
  void DrainPipe(Connection& to, std::size_t n, Copy* copy);
  std::size_t TeeToCopy(std::size_t most, Copy* copy);
  void PipeToPeer(Connection& to, std::size_t n);
  void CopyPipeToFile(std::size_t n, Copy* copy);
  bool EnsurePipe(std::size_t piece);

  // Where reads and writes go: the layer, or else the transport.
  ByteStream& Stream() const { return layer_ ? *layer_ : *transport_; }
  int SpliceSocket() const { return layer_ || !transport_ ? -1 : transport_->PlainSocket(); }

  // Both change on the owning thread only; the layer goes before the transport it uses.
  std::unique_ptr<ByteStream> transport_;
  std::unique_ptr<ByteStream> layer_;

  struct Pipe;  // kernel pipes for splice, made on first use
  std::unique_ptr<Pipe> pipe_;
  bool splice_unsupported_ = false;
  // Abort comes from other threads: it reaches the transport only through abortable_, which is
  // cleared before the transport goes, so that it never shuts down a released socket.
  Mutex abort_lock_;
  ByteStream* abortable_ GUARDED_BY(abort_lock_) = nullptr;
  std::atomic<bool> aborted_{false};  // set under abort_lock_; a connect attempt watches it
  Connection* abort_partner_ GUARDED_BY(abort_lock_) = nullptr;
  bool ever_connected_ = false;
  bool peer_closed_ = false;
  int read_timeout_ms_ = 0;
  ReceiveBuffer input_;                   // bytes received; those before consumed_ are already read
  std::optional<sockaddr_storage> peer_;  // from accept(); else asked for when wanted
  std::size_t consumed_ = 0;
};

// Links a connection's abort to a partner for the partner's lifetime: declare it after the
// partner, so that the link ends first.
class AbortLink {
 public:
  AbortLink(Connection& owner, Connection& partner) : owner_(owner) {
    owner_.SetAbortPartner(&partner);
  }
  ~AbortLink() { owner_.SetAbortPartner(nullptr); }
  AbortLink(const AbortLink&) = delete;
  AbortLink& operator=(const AbortLink&) = delete;

 private:
  Connection& owner_;
};

}  // namespace trovanex
