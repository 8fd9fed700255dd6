// The suite utility library: text formatting, the process clock, the log,
// the UDP signal record, receiver and sender, and process helpers.
//
// All text is UTF-8 std::string. Formats are printf-style and checked by
// the compiler; %s takes a const char*.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#define KORB_PRINTF(fmt_index, first_arg) \
  __attribute__((format(printf, fmt_index, first_arg)))

// ---------------------------------------------------------------------------
// Formatting

// Formats like printf into a string of whatever length is needed.
std::string Format(const char* fmt, ...) KORB_PRINTF(1, 2);
std::string FormatV(const char* fmt, va_list ap) KORB_PRINTF(1, 0);

// Plain text-to-number conversions in the manner of atoi/atol/atof: leading
// blanks skipped, the longest numeric prefix taken, anything else gives 0.
// A value beyond the result type saturates at its limit, never wraps.
int ToInt(const std::string& text);
long ToLong(const std::string& text);
float ToFloat(const std::string& text);

// ---------------------------------------------------------------------------
// Process clock and time scale

// One clock for the whole process. KORB_TIME_SCALE (a positive number,
// default 1) divides every period and wait: with 1000, a scaled day passes
// in 86.4 real seconds. Thread-safe after Init().
class Clock {
 public:
  // Reads KORB_TIME_SCALE. Returns false and fills *error for a value that
  // is not a positive finite number. Call once, before any thread starts.
  // Calling it again re-reads the variable and restarts NowSeconds() from
  // the real time of that call (tests use this to change the scale).
  static bool Init(std::string* error);
  static double Scale();

  // Real milliseconds for a scaled duration (at least 1 for a nonzero
  // input, so scaled waits never become zero-length spins).
  static uint32_t ScaledMs(uint64_t ms);
  // Sleeps for a scaled duration.
  static void SleepScaled(uint32_t ms);

  // Seconds since 1970 on a clock that starts at the real time when the
  // process started and then runs Scale() times as fast, on the monotonic
  // clock. Used for interval bookkeeping ("900 s since the last call").
  static int64_t NowSeconds();
  // Monotonic real microseconds, for deadlines.
  static int64_t MonotonicMicros();
};

// ---------------------------------------------------------------------------
// Log

// Log levels as the callers write them.
enum ELogLevel { KORB_LOG_ERROR = 2, KORB_LOG_WARNING = 4, KORB_LOG_INFO = 8,
                 KORB_LOG_TRACE = 16 };

// Thread-safe log file. A line is written for level L when
// L <= 2^maxLevel: maximum level 1 admits errors, 2 adds warnings, 3 (the
// default) adds information, 4 and above add trace (16).
//
// Each line: "YYYY-MM-DD HH:MM:SS.mmm [LEVEL] [tid] source:line message".
// When the file would pass the maximum size it is renamed to <file>.1
// (replacing the older one) and a new file is started. A directory that
// cannot be written or a full disk never stops or blocks the caller; the
// failure is reported once on stderr.
class CLogger {
 public:
  CLogger();
  ~CLogger();
  CLogger(const CLogger&) = delete;
  CLogger& operator=(const CLogger&) = delete;

  // directory is used as given and may be empty (the current directory);
  // it is created if missing. Returns 1 when the file could be opened,
  // -1 otherwise (logging then goes nowhere, silently).
  int InitKORBLog(const std::string& directory, const std::string& fileName,
                  long maxSize, int maxLevel);
  void SetMaxLogLevel(int level);
  void SetMaxLogSize(long size);
  int GetMaxLogLevel() const;
  long GetMaxLogSize() const;
  // Full path of the log file ("" before InitKORBLog).
  std::string GetLogPath() const;

  void KORBLog(int sourceLine, const char* sourceFile, int level,
               const char* fmt, ...) KORB_PRINTF(5, 6);
  void KORBLogV(int sourceLine, const char* sourceFile, int level,
                const char* fmt, va_list ap) KORB_PRINTF(5, 0);
  // True when a line of this level would be written.
  bool IsEnabled(int level) const;

  // While a LineGroup lives, the lines its thread logs to this logger are
  // kept back and written together, with one write, when it ends: for
  // lines logged one right after the other with no work between them.
  // Their text, order and rotation points stay as they were; they only
  // reach the file when the group ends. A group started while another one
  // is open on the same thread does nothing of its own.
  class LineGroup {
   public:
    explicit LineGroup(CLogger* logger);
    ~LineGroup();
    LineGroup(const LineGroup&) = delete;
    LineGroup& operator=(const LineGroup&) = delete;

   private:
    CLogger* logger_;  // null when the group holds nothing
  };

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Holds back a kind of log line that can repeat without bound (one per
// datagram from a peer, one per bad row or customer on every pass), so a
// flood cannot rotate the rest of the log away.
//
// Each key (a kind of line; "" when the limiter guards a single kind) has
// a bucket of `burst` lines. A written line takes one; one comes back per
// interval of scaled time (Clock::ScaledMs), up to `burst`. So the first
// few lines of a kind are written, then at most one per interval while the
// repeats go on, and a kind that has been quiet for a while gets its burst
// back. The line written after a suppressed stretch is followed by a line
// saying how many were held back (see KORBLogLimited).
//
// Thread-safe. Admit takes one mutex and does no formatting, so a held
// back line costs little more than the call. At most kMaxKeys keys are
// kept; beyond that, new keys share one bucket.
class LogRateLimiter {
 public:
  static constexpr size_t kMaxKeys = 1024;

  explicit LogRateLimiter(int burst = 5, uint32_t intervalMs = 60000);
  ~LogRateLimiter();
  LogRateLimiter(const LogRateLimiter&) = delete;
  LogRateLimiter& operator=(const LogRateLimiter&) = delete;

  struct Decision {
    bool write;           // write the line now
    uint64_t suppressed;  // lines of this key held back since the last one
                          // written (only set when write is true)
  };
  Decision Admit(const std::string& key = std::string());

  // Lines held back by every limiter of the process so far.
  static uint64_t TotalSuppressed();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Writes one line through logger (which may be null) unless limiter holds
// it back. When lines of this key were held back before it, the line
// "<n> more lines like the one above were suppressed" follows it, at the
// same level. The level gate is checked first: a line the log would not
// write does not use up the burst.
void KORBLogLimited(CLogger* logger, LogRateLimiter& limiter,
                    const std::string& key, int sourceLine,
                    const char* sourceFile, int level, const char* fmt, ...)
    KORB_PRINTF(7, 8);

// ---------------------------------------------------------------------------
// Signals

// Wire form (exactly 64 bytes): four fields of 16 bytes each, in the order
// type, signal ID, source ID, sub-type. Each field is decimal text padded
// with NUL bytes. Readers take a field as atol does (ToLong): leading
// blanks, an optional sign, the digits up to the first other byte; no
// digits gives 0. A field with no NUL in its 16 bytes is text of all 16.
// Only a datagram of another length is refused.
constexpr size_t kSignalFieldSize = 16;
constexpr size_t kSignalDatagramSize = 4 * kSignalFieldSize;

enum EObjectStatus { OBJECT_NOT_READY = 0, OBJECT_READY = 1 };
enum EStatus { KORB_FAILURE = -1, KORB_SUCCESS = 1 };

class CSignalInfo {
 public:
  CSignalInfo();  // every field "0"

  void SetSignalType(int type);
  void SetSignalID(int id);
  void SetSourceID(int id);
  void SetSubType(int subType);

  // The four fields as NUL-terminated texts: a field's bytes up to its
  // first NUL, or all 16 of them (each array has room for a terminator
  // after the field).
  const char* GetSignalType() const { return m_szSignalType; }
  const char* GetSignalID() const { return m_szSignalID; }
  const char* GetSourceID() const { return m_szSourceID; }
  const char* GetSubType() const { return m_szSubType; }

  // Writes the 64-byte wire form.
  void Encode(unsigned char out[kSignalDatagramSize]) const;
  // Takes the fields of a datagram as they are; false (and *this
  // unchanged) when it is not exactly 64 bytes long.
  bool Decode(const unsigned char* data, size_t length);

  char m_szSignalType[kSignalFieldSize + 1];
  char m_szSignalID[kSignalFieldSize + 1];
  char m_szSourceID[kSignalFieldSize + 1];
  char m_szSubType[kSignalFieldSize + 1];
};

// One entry of a signal allow list: an IPv4 or IPv6 address prefix.
struct AddressPrefix {
  bool ipv6 = false;
  unsigned char bytes[16] = {};  // network order; the first 4 for IPv4
  int bits = 0;                  // 0..32 or 0..128
};

// Parses addresses and CIDR prefixes separated by commas and/or blanks
// ("127.0.0.1, 10.20.0.0/24 fd00::/8"); an address alone is a full-length
// prefix. Empty text gives an empty list. False, with *error naming the
// first item that is not one (host bits set after the prefix count too),
// for anything else.
bool ParseAddressPrefixes(const std::string& text, std::vector<AddressPrefix>* prefixes,
                          std::string* error);

// Where and how the signal receiver listens.
struct SignalReceiverOptions {
  // IPv4 address to bind; empty means all interfaces. $KORB_SIGNAL_BIND,
  // when set and not empty, takes precedence.
  std::string address;
  // Bytes asked for the socket's receive buffer, so a burst of signals
  // waits in the kernel while the loop runs a handler; 0 keeps the
  // system's default. The kernel caps the request at net.core.rmem_max
  // unless the process may force it (CAP_NET_ADMIN); the size granted is
  // logged.
  long receiveBufferBytes = 4L * 1024 * 1024;
  // Senders whose datagrams are taken; empty takes every sender. A
  // datagram from elsewhere is refused before it is looked at, counted and
  // logged (rate-limited) with its source. An IPv4 sender matches IPv4
  // entries only, an IPv6 sender IPv6 entries (an IPv4-mapped IPv6 sender
  // counts as IPv4). A list that is set always takes the address the
  // supervisor sends its end signal from: the bound address, or 127.0.0.1
  // when bound to all interfaces.
  std::vector<AddressPrefix> allow;
  // Scaled milliseconds an identical datagram waits after the one before
  // it was handled (see CSignalHandler); 0 hands it out at once.
  uint32_t repeatHoldMs = 1000;
};

// Why the last wait returned -1.
enum class ReceiveFailure { kLength, kReceiveError };

// UDP signal receiver with 17-style periodic timeout events.
//
// Listens on UDP port `identifier` (1..65535) at the options' address
// (default all interfaces). Timeout event k (1-based) fires every
// periods[k-1] seconds (divided by the time scale) on the monotonic clock;
// the next deadline is the previous deadline plus the period, so events do
// not drift. WaitForSignal blocks in one wait over the socket and the
// earliest deadline; it never polls.
//
// When several things are ready at once, due events come first, earliest
// deadline first (ties: lower event number), then datagrams; but after an
// event has been returned, a datagram already waiting is returned before
// the next event, so signals are never starved by a loop that runs behind.
//
// Floods. Every wait first takes what the socket holds (up to a few
// thousand datagrams) into a queue of its own, so the kernel buffer stays
// empty and a signal sent after a flood is not dropped behind it. A
// datagram identical (all 64 bytes) to the last one waiting in that queue
// is merged into it: the run is handed out once, and LastSignalRepeats()
// says how many it stood for. A signal identical to the one handed out
// last waits (with everything behind it, so the order of different
// signals never changes) until repeatHoldMs after the caller came back
// for the next wait; events go on meanwhile. A flood of one datagram is
// thus handled at most once per hold, whatever its rate.
//
// WaitForSignal must be called from one thread at a time; ResetEvent and
// DisableTimeoutEvent may be called from any thread and wake the wait.
class CSignalHandler {
 public:
  // periods is copied. Status is OBJECT_NOT_READY when the identifier is
  // out of range or the socket cannot be bound; logger (optional) receives
  // the reason, the receive buffer granted and rate-limited reports of
  // refused datagrams.
  CSignalHandler(int identifier, const std::vector<int>* periods,
                 CLogger* logger = nullptr,
                 const SignalReceiverOptions& options = SignalReceiverOptions());
  ~CSignalHandler();
  CSignalHandler(const CSignalHandler&) = delete;
  CSignalHandler& operator=(const CSignalHandler&) = delete;

  operator EObjectStatus() const;

  // Returns -1 when the receive failed (including a datagram that is not
  // 64 bytes long), 0 when a signal arrived (info filled), or k when
  // timeout event k is due. text is unused and may be null.
  int WaitForSignal(CSignalInfo& info, char* text = nullptr);

  // Makes event k due at once; its next deadline is then one period later.
  // Returns 1, or -1 for an unknown or disabled event.
  int ResetEvent(int k);
  // Stops event k for good. Returns 1, or -1 for an unknown event.
  int DisableTimeoutEvent(int k);

  // The bound port (for tests that bind port numbers of their own).
  int Port() const;

  // After a result 0: how many identical datagrams that waited right
  // behind the signal were merged into it (0 for a lone one).
  uint64_t LastSignalRepeats() const;
  // After a result -1: a datagram of the wrong length, or a failed receive.
  ReceiveFailure LastFailure() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Sends signal datagrams to one host and port. The host may be a name or a
// numeric IPv4/IPv6 address; it is resolved on each send.
class CUDPClient {
 public:
  CUDPClient(int port, const std::string& host);
  ~CUDPClient();
  CUDPClient(const CUDPClient&) = delete;
  CUDPClient& operator=(const CUDPClient&) = delete;

  // Sends one 64-byte datagram. KORB_SUCCESS or KORB_FAILURE; the reason
  // of a failure is kept in LastError().
  EStatus SendUDPSignal(CSignalInfo& info);
  const std::string& LastError() const { return last_error_; }

 private:
  int port_;
  std::string host_;
  std::string last_error_;
};

// ---------------------------------------------------------------------------
// Processes and time

// Fills ids with the process ids of every live process whose executable
// base name equals the base name of exeName (case-sensitive). The name of
// a process is the base name of /proc/PID/exe with a trailing " (deleted)"
// removed; when that link cannot be read, the base name of argv[0] from
// /proc/PID/cmdline. Zombies are not live. Returns the number found.
int GetProcessID(const std::string& exeName, std::vector<uint32_t>& ids);

// Writes $KORB_INSTALL_DIR into location. Returns its length, or 0 when
// the variable is unset or empty.
int GetInstallLocation(std::string& location);

// Writes the local time as "%Y-%m-%d %H:%M:%S". Returns the text length.
int GetCurrentTime_24HourFormat(std::string& text);

// Formats a point in time (seconds since 1970) as local time with a
// strftime format. Empty when the time cannot be converted or the result
// is longer than 127 characters.
std::string FormatLocalTime(int64_t seconds, const char* fmt);
