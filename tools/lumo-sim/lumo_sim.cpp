// lumo-sim: plays the Lumo gauge on a pseudo-terminal or a serial device.
// The gauge itself lives in Sim.h and its parts; this file owns the line, the control
// socket, the clock and the trace.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "Sim.h"
#include "SimOutputQueue.h"

namespace {

using lumo::sim::Clock;
using lumo::sim::Sim;

volatile std::sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

const char kHelp[] = R"(lumo-sim: a simulated Lumo tank level gauge on a serial line.

Usage: lumo-sim [options]

Line (one of):
  (default)            create a pseudo-terminal in raw mode and play the gauge on
                       its master side; the slave path is printed at start-up
  --device PATH        use a real serial device instead (9600 8N1, raw, no flow
                       control), e.g. a null-modem cable to a Windows PC
Pseudo-terminal links:
  --wine-com N         symlink $WINEPREFIX/dosdevices/comN (lower case) to the
                       slave so that COMN of that Wine prefix reaches the gauge
  --wineprefix DIR     Wine prefix for --wine-com (default $WINEPREFIX, else ~/.wine)
  --link PATH          also symlink PATH to the slave
  Links this program made are removed when it ends.
Gauge:
  -d, --description FILE  gauge description (format below); without it the
                       embedded default is used; with it, channels the file does
                       not describe get generated defaults (or stay silent)
  --save-writes        save the description back to FILE after every parameter
                       write (comments are not kept)
  --dump-description   print the effective description and exit (a template)
  --turnaround MS      from a request's last character to the reply's first
                       (default: the description's turnaround, 5 ms unless it
                       says otherwise; 0 on an instant line)
  --no-pace            an instant line: requests count as received when read,
                       replies go out whole, and the turnaround is 0 unless
                       given. By default (pseudo-terminal only) every character
                       takes 10 bits at the line settings the driver set (1.042
                       ms at 9600 8N1, more with parity or two stop bits), both
                       ways, and a request counts as received when its last
                       character would have arrived. Also "set pace=on|off"
  --raw                a raw line instead of a gauge: nothing answers, and the
                       line's bytes stay in the pseudo-terminal until the control
                       command "recv" takes them. Also "set raw=on|off"
  --echo               an echoing line, as a two-wire converter whose receiver
                       stays on: every byte the gauge receives (noise too) goes
                       back on the line, each one character time after it
                       arrived on a paced line (at once on an instant one), so
                       the driver reads its request's echo, then the reply after
                       the turnaround. Traced as "echo". Not on a raw line.
                       Also "set echo=on|off"
Faults and control:
  --fault FAULT        add a fault at start-up (repeatable), FAULT as for the
                       control command "fault", e.g. --fault "code=4 kind=silence count=3"
  --control PORT       accept control connections on 127.0.0.1:PORT (0: any free
                       port; the port is printed)
Trace:
  --trace FILE         write the trace to FILE instead of standard output
  --json               trace as JSON lines
  --quiet              no trace

Start-up lines on standard output (before any trace):
  lumo-sim: pty /dev/pts/N            (or: lumo-sim: device PATH)
  lumo-sim: link PATH -> /dev/pts/N   (one per link)
  lumo-sim: control 127.0.0.1:PORT
  lumo-sim: ready
With --json the same facts come as one line {"event":"ready",...}.

Requests answered (reply bytes 0 and 1 as "header" says, by default the
channel and the code; byte 2 the count of bytes that follow):
  ch 04/05/08 00  ->  ch code 04 INT(2) TENTHS STATUS              (19 chars)
  ch 06 00        ->  ch 06 04 SIGN(80 or 00) MAGNITUDE TENTHS STATUS
  ch 10 00        ->  ch 10 05 INT(3) TENTHS STATUS                 (21 chars)
  ch 01 00        ->  ch 01 05 PROGRAM(4) 00                        (21 chars)
  ch 03 01 P      ->  ch 03 N P VALUE(N-1, big-endian); N = 9 for parameters
                      129..143, else 3
  ch 83 N P V..   ->  stores V, replies ch 83 01 P
  11              ->  the configured bytes as they are
  14              ->  '@', the state character, '0', check, '*', CR
  Channels 32 and above, unknown requests and malformed frames get no answer;
  malformed frames are traced as "bad".

Description file (key = value, '#' starts a comment, sections as below):
  [gauge]
  state = 0                  state character (printable, not '@' or '*')
  config = 11 08 00 20 ...   configuration reply data, hex bytes
  undescribed = answer       answer: channels without a section use generated
                             defaults; silent: they do not answer
  turnaround = 5             ms from a request's end to the reply (paced line)
  header = repeat            what reply bytes 0 and 1 to channel requests carry:
                             repeat (the request's channel and code), highbit
                             (the channel, the code with bit 7 set), random (new
                             bytes each reply) or 4 hex digits (a constant)
  [channel N]                N = 0..31
  m4 = INT TENTHS [STATUS]   INT 0..65535, TENTHS and STATUS 0..255 (status 0)
  m5 = ... / m8 = ...        as m4
  m6 = [-]INT TENTHS [STATUS]   INT 0..255, '-' sets the sign marker (-0 too)
  m16 = INT TENTHS [STATUS]  INT 0..16777215
  program = 0102A0FF         8 hex digits
  pP = VALUE                 parameter P (0..255): heights 1..11 (0..65535),
                             identifiers 129..139 (64-bit, decimal, 0x hex, or
                             negative for two's complement); unset parameters read 0
  Numbers are decimal or 0x hex. Keys not given keep their defaults. A channel
  that receives a parameter write or a control "set" counts as described from
  then on (it answers, and "save" writes its section).

Faults (FAULT = [ch=N] [code=N] [param=N] kind=K [count=N | persist] [ms=N] [n=N] [chars=N]):
  Without ch= / code= a fault matches every request; code is decimal or 0x hex
  (17 / 0x11 configuration, 20 / 0x14 state). param=N matches only parameter
  reads and writes (codes 3 and 0x83) of parameter N (one sensor's height N or
  identifier 128 + N). count=N (default 1) spends one per
  matching request; persist (or count=0) keeps it until "clear". The first
  matching fault in order of addition applies.
  silence      no reply
  badcheck     the first check digit is wrong
  noise        7 bytes of noise (no '@') before the reply
  delay        the reply is sent ms= later (default 260 ms, past the 200-ms window)
  split        the first n= characters (default half) at once, the rest ms= later
               (default 250 ms)
  truncate     only the first n= characters (default half) are sent
  lowercheck   the check digits in lower case (still a valid reply)
  garbledcheck the check digits replaced by "G?", which are no hexadecimal digits
  long         n= extra data bytes A5 (default 4) inside a valid frame; or with
               chars=C exactly C characters: a valid frame padded with A5 bytes,
               then '0' filler after the carriage return (chars=256 for a
               reply that fills the port's 256-byte count)
  short        a valid frame with the last n= data bytes (default 1) dropped
  trail        7 bytes of noise (no '@', no carriage return) right after the reply
  otherch      a valid reply whose first data byte names channel n= (default 0)
               instead of the request's: another request's reply, as a late one

Control channel (--control): text lines over TCP, one reply line per command,
"ok ..." or "err MESSAGE":
  ping                                    ok pong
  fault FAULT                             ok kind=... (the fault as stored)
  faults                                  ok n=K | FAULT | FAULT ...
  clear [faults] [stats] [all]            ok (no argument: faults)
  stats                                   ok frames=N malformed=N noise=N replies=N
                                          unanswered=N faults=N writes=N pending=N
                                          echoed=N stall=MS codeC=N ... (pending:
                                          characters not yet written; echoed: bytes
                                          sent back by an echoing line; stall: as
                                          "get stall")
  history                                 ok n=K FRAME ... (last request frames)
  set ch=N code=C int=I tenths=T [status=S]     ok
  set ch=N param=P value=V                ok
  set ch=N program=HHHHHHHH               ok
  set state=C | set config=HEXBYTES       ok
  set header=repeat|highbit|random|HHHH   ok
  set pace=on|off | set raw=on|off        ok
  set echo=on|off                         ok
  get ch=N code=C                         ok int=I tenths=T status=S
  get ch=N param=P                        ok value=DECIMAL hex=HEX
  get ch=N program | get state | get config | get header | get pace | get raw
                                          ok program=... / state=C / config=HEX / header=...
  get echo                                ok echo=on|off
  get stall                               ok stall=MS: ms until the line is read
                                          again, at least 1 until what piled up has
                                          been read; 0: no stall in force
  save [PATH]                             ok saved PATH (default: the description file)
  vanish ms=N                             ok: the far end goes away for N ms (the
                                          pseudo-terminal closes, a new one takes
                                          its links), as an unplugged adapter
  stall ms=N                              ok stall ms=N, at once: the line is not
                                          read for N ms (what the driver writes
                                          waits in the pseudo-terminal or device),
                                          as a hung converter; then everything
                                          that piled up is read and answered in
                                          order. Replies already due still go out.
                                          A new stall replaces one in force; ms=0
                                          ends it
The line itself (pseudo-terminal only):
  drop                                    ok: the far end goes away until "link"
  link [com=N]                            ok /dev/pts/K: a new pseudo-terminal behind
                                          every link, and behind COMN of the Wine
                                          prefix from then on
  unlink com=N                            ok: COMN of the Wine prefix no longer exists
  send HEX                                ok: the bytes go out on the line (paced as
                                          replies are)
  recv n=COUNT ms=MS                      ok HEX: the raw line's bytes, once COUNT
                                          arrived or MS passed (fewer, or none)
  get line                                ok baud=B bits=D stop=S parity=none|odd|even
                                          (the settings the driver set; baud 0 when
                                          not a standard rate)
  quit                                    ok bye, then the program ends
)";

struct Options {
  std::string device;
  std::string description;
  std::vector<std::string> links;
  int wine_com = 0;
  std::string wineprefix;
  bool save_writes = false;
  bool dump = false;
  int turnaround_ms = -1;  // -1: the description's
  bool pace = true;
  bool raw = false;
  bool echo = false;
  std::vector<std::string> faults;
  int control_port = -1;
  std::string trace_file;
  bool json = false;
  bool quiet = false;
};

[[noreturn]] void Die(const std::string& msg) {
  std::cerr << "lumo-sim: " << msg << "\n";
  std::exit(2);
}

Options ParseArgs(int argc, char** argv) {
  Options o;
  CLI::App app{"lumo-sim"};
  // --help prints the full manual below rather than CLI11's generated one.
  app.set_help_flag();
  bool help = false;
  app.add_flag("-h,--help", help);
  app.add_option("--device", o.device);
  app.add_option("-d,--description", o.description);
  app.add_option("--link", o.links)->allow_extra_args(false);
  app.add_option("--wine-com", o.wine_com)->check(CLI::Range(0, 255));
  app.add_option("--wineprefix", o.wineprefix);
  app.add_flag("--save-writes", o.save_writes);
  app.add_flag("--dump-description", o.dump);
  app.add_option("--turnaround,--latency", o.turnaround_ms)->check(CLI::Range(0, 60000));
  bool no_pace = false;
  app.add_flag("--no-pace", no_pace);
  app.add_flag("--raw", o.raw);
  app.add_flag("--echo", o.echo);
  app.add_option("--fault", o.faults)->allow_extra_args(false);
  app.add_option("--control", o.control_port)->check(CLI::Range(0, 65535));
  app.add_option("--trace", o.trace_file);
  app.add_flag("--json", o.json);
  app.add_flag("--quiet", o.quiet);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    Die(std::string(e.what()) + " (see --help)");
  }
  if (help) {
    std::cout << kHelp;
    std::exit(0);
  }
  o.pace = !no_pace;
  if (!o.device.empty() && (o.wine_com != 0 || !o.links.empty()))
    Die("--wine-com and --link apply to the pseudo-terminal only");
  if (o.save_writes && o.description.empty()) Die("--save-writes needs --description");
  return o;
}

// Frame bytes are not UTF-8: each byte goes out as the code point of the same
// value, written as a backslash-u escape like every character outside ASCII.
std::string Latin1ToUtf8(const std::string& bytes) {
  std::string out;
  for (char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x80) {
      out += ch;
    } else {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::string JsonLine(const nlohmann::ordered_json& j) {
  return j.dump(-1, ' ', true) + "\n";
}

class Tracer {
 public:
  Tracer(std::ostream* out, bool json) : out_(out), json_(json), start_(Clock::now()) {}

  void Event(const std::string& dir, const std::string& bytes, int ch, int code, const std::string& note) {
    if (out_ == nullptr) return;
    const auto now = std::chrono::system_clock::now();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
    const std::time_t secs = static_cast<std::time_t>(ms / 1000);
    std::tm tm{};
    localtime_r(&secs, &tm);
    char stamp[40];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &tm);
    char frac[8];
    std::snprintf(frac, sizeof frac, ".%03d", static_cast<int>(ms % 1000));
    const double rel = std::chrono::duration<double, std::milli>(Clock::now() - start_).count();
    std::ostringstream o;
    if (json_) {
      nlohmann::ordered_json j = {{"time", std::string(stamp) + frac},
                                  {"ms", std::round(rel * 1000) / 1000},
                                  {"dir", Latin1ToUtf8(dir)},
                                  {"bytes", Latin1ToUtf8(bytes)}};
      if (ch >= 0) j["ch"] = ch;
      if (code >= 0) j["code"] = code;
      j["note"] = Latin1ToUtf8(note);
      o << JsonLine(j);
    } else {
      o << (stamp + 11) << frac << ' ';
      o << (dir == "rx" ? "<- " : dir == "tx" ? "-> " : dir + " ");
      if (!bytes.empty()) o << lumo::sim::Printable(bytes) << "  ";
      if (ch >= 0) o << "ch=" << ch << ' ';
      if (code >= 0) o << "code=" << code << ' ';
      o << note << '\n';
    }
    *out_ << o.str() << std::flush;
  }

 private:
  std::ostream* out_;
  bool json_;
  Clock::time_point start_;
};

void SetRaw(int fd, bool set_speed) {
  termios t{};
  if (tcgetattr(fd, &t) != 0) Die(std::string("tcgetattr: ") + std::strerror(errno));
  cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  t.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | CRTSCTS);
  t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  if (set_speed) {
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
  }
  if (tcsetattr(fd, TCSANOW, &t) != 0) Die(std::string("tcsetattr: ") + std::strerror(errno));
}

// The line settings the driver set on the terminal (the slave side).
struct LineSettings {
  int baud = 0;  // 0 when not a standard rate
  int data_bits = 8;
  int stop_bits = 1;
  const char* parity = "none";
};

std::optional<LineSettings> ReadLineSettings(int fd) {
  termios t{};
  if (fd < 0 || tcgetattr(fd, &t) != 0) return std::nullopt;
  static const std::pair<speed_t, int> kBauds[] = {
      {B110, 110},     {B300, 300},     {B600, 600},     {B1200, 1200},     {B2400, 2400},
      {B4800, 4800},   {B9600, 9600},   {B19200, 19200}, {B38400, 38400},   {B57600, 57600},
      {B115200, 115200}, {B230400, 230400}};
  LineSettings s;
  for (const auto& [code, rate] : kBauds)
    if (cfgetospeed(&t) == code) s.baud = rate;
  const tcflag_t size = t.c_cflag & CSIZE;
  s.data_bits = size == CS5 ? 5 : size == CS6 ? 6 : size == CS7 ? 7 : 8;
  s.stop_bits = (t.c_cflag & CSTOPB) ? 2 : 1;
  if (t.c_cflag & PARENB) s.parity = (t.c_cflag & PARODD) ? "odd" : "even";
  return s;
}

// The time of one character at the terminal's line settings, in
// microseconds; 0 when they cannot be read.
double LineCharMicros(int fd) {
  const auto s = ReadLineSettings(fd);
  return s ? lumo::sim::CharMicros(s->baud, s->data_bits, std::strcmp(s->parity, "none") != 0, s->stop_bits) : 0;
}

bool WriteAll(int fd, const std::string& s) {
  size_t off = 0;
  while (off < s.size()) {
    const ssize_t n = write(fd, s.data() + off, s.size() - off);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) {
        pollfd p{fd, POLLOUT, 0};
        poll(&p, 1, 100);
        continue;
      }
      return false;
    }
    off += static_cast<size_t>(n);
  }
  return true;
}

// A pseudo-terminal in raw mode; its slave is held open so that the master
// never sees a hang-up between clients.
void OpenPty(int& master, int& slave, std::string& slave_path) {
  master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) Die("cannot create a pseudo-terminal");
  const char* name = ptsname(master);
  if (name == nullptr) Die("ptsname failed");
  slave_path = name;
  slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave < 0) Die("cannot open " + slave_path);
  SetRaw(slave, false);
}

// Points the symbolic link path at target, replacing a link already there;
// an error text, or "" when done.
std::string LinkTo(const std::string& path, const std::string& target) {
  struct stat st{};
  if (lstat(path.c_str(), &st) == 0) {
    if (!S_ISLNK(st.st_mode)) return path + " exists and is not a symbolic link";
    unlink(path.c_str());
  }
  if (symlink(target.c_str(), path.c_str()) != 0) return "cannot link " + path + ": " + std::strerror(errno);
  return "";
}

int OpenControl(int port, int& bound) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) Die("socket failed");
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 8) != 0)
    Die("cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + std::strerror(errno));
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  bound = ntohs(a.sin_port);
  return fd;
}

// A "recv" waiting for its bytes or its deadline.
struct Receive {
  size_t count;
  Clock::time_point deadline;
  std::string got;
};

struct Client {
  int fd;
  std::string in;
  std::optional<Receive> receive;
};

}  // namespace

int main(int argc, char** argv) {
  const Options opt = ParseArgs(argc, argv);
  Sim sim;
  if (!opt.description.empty()) {
    std::ifstream f(opt.description);
    if (!f) Die("cannot read " + opt.description);
    std::stringstream text;
    text << f.rdbuf();
    std::string error;
    sim.gauge = lumo::sim::DefaultGauge();
    // A file describes the gauge on its own: no channel is described by the
    // embedded sample, all start from the generated defaults.
    for (int ch = 0; ch < lumo::sim::kChannels; ++ch) sim.gauge.channels[static_cast<size_t>(ch)] = lumo::sim::DefaultChannel(ch);
    if (!lumo::sim::ParseDescription(text.str(), sim.gauge, error)) Die(opt.description + ": " + error);
    sim.description_path = opt.description;
    sim.save_on_write = opt.save_writes;
  }
  if (opt.dump) {
    std::cout << lumo::sim::FormatDescription(sim.gauge);
    return 0;
  }
  for (const auto& text : opt.faults) {
    lumo::sim::Fault f;
    std::string error;
    if (!lumo::sim::ParseFault(text, f, error)) Die("--fault " + text + ": " + error);
    sim.faults.Add(f);
  }

  std::ofstream trace_file;
  std::ostream* trace_out = &std::cout;
  if (!opt.trace_file.empty()) {
    trace_file.open(opt.trace_file, std::ios::app);
    if (!trace_file) Die("cannot open " + opt.trace_file);
    trace_out = &trace_file;
  }
  Tracer tracer(opt.quiet ? nullptr : trace_out, opt.json);

  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  std::signal(SIGHUP, OnSignal);
  std::signal(SIGPIPE, SIG_IGN);

  int line = -1;
  int slave = -1;
  std::string slave_path;
  std::vector<std::string> made_links;
  std::string prefix = opt.wineprefix;
  if (prefix.empty() && std::getenv("WINEPREFIX")) prefix = std::getenv("WINEPREFIX");
  if (prefix.empty() && std::getenv("HOME")) prefix = std::string(std::getenv("HOME")) + "/.wine";
  const std::string dosdevices = prefix + "/dosdevices";
  auto com_path = [&](int com) { return dosdevices + "/com" + std::to_string(com); };
  if (!opt.device.empty()) {
    line = open(opt.device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (line < 0) Die("cannot open " + opt.device + ": " + std::strerror(errno));
    SetRaw(line, true);
  } else {
    OpenPty(line, slave, slave_path);
    made_links = opt.links;
    if (opt.wine_com > 0) {
      struct stat st{};
      if (prefix.empty() || stat(prefix.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        Die("Wine prefix '" + prefix + "' not found");
      mkdir(dosdevices.c_str(), 0755);
      made_links.push_back(com_path(opt.wine_com));
    }
    for (const auto& l : made_links) {
      const std::string error = LinkTo(l, slave_path);
      if (!error.empty()) Die(error);
    }
  }

  int listen_fd = -1;
  int control_port = -1;
  if (opt.control_port >= 0) listen_fd = OpenControl(opt.control_port, control_port);

  if (opt.json) {
    nlohmann::ordered_json j = {{"event", "ready"}};
    if (slave_path.empty()) j["device"] = Latin1ToUtf8(opt.device);
    else j["pty"] = Latin1ToUtf8(slave_path);
    j["links"] = nlohmann::ordered_json::array();
    for (const auto& l : made_links) j["links"].push_back(Latin1ToUtf8(l));
    if (control_port >= 0) j["control"] = control_port;
    std::cout << JsonLine(j) << std::flush;
  } else {
    if (slave_path.empty()) std::cout << "lumo-sim: device " << opt.device << "\n";
    else std::cout << "lumo-sim: pty " << slave_path << "\n";
    for (const auto& l : made_links) std::cout << "lumo-sim: link " << l << " -> " << slave_path << "\n";
    if (control_port >= 0) std::cout << "lumo-sim: control 127.0.0.1:" << control_port << "\n";
    std::cout << "lumo-sim: ready\n" << std::flush;
  }

  std::vector<Client> clients;
  lumo::sim::OutputQueue pending;
  int status = 0;
  std::optional<Clock::time_point> back_at;  // while the far end has vanished
  // "stall": the line is not read until stall_until; then, while draining, what
  // piled up is read until the line has nothing more.
  std::optional<Clock::time_point> stall_until;
  bool draining = false;
  // Pacing ("set pace=" switches it): a real device is paced by its own
  // hardware. rx_free and tx_free: when the last character read, and the
  // last one written, is through the line.
  sim.pace = opt.pace;
  sim.raw = opt.raw;
  sim.echo = opt.echo;
  auto paced = [&] { return sim.pace && opt.device.empty(); };
  auto char_time = [&] {
    return std::chrono::nanoseconds(static_cast<long long>(1000 * (paced() ? LineCharMicros(slave) : 0.0)));
  };
  Clock::time_point rx_free{}, tx_free{};
  // Bytes out on the line from `at` on: one character at a time on a paced
  // line, each after the one before has gone; the time after the last.
  auto send = [&](Clock::time_point at, const std::string& bytes, int ch, int code, const std::string& note) {
    const auto one = char_time();
    if (one.count() == 0) {
      pending.Push({at, bytes, ch, code, note, true, std::string()});
      return at;
    }
    for (size_t k = 0; k < bytes.size(); ++k) {
      tx_free = std::max(tx_free, at) + one;
      pending.Push({tx_free - one, bytes.substr(k, 1), ch, code, note, k == 0, k == 0 ? bytes : std::string()});
    }
    return tx_free;
  };
  // The echo of bytes read at `from`: each character goes back once it has
  // arrived, in the first free place on the line (before a reply that is due
  // later, not in the middle of one), and the reply follows it.
  auto echo = [&](Clock::time_point from, const std::string& bytes) {
    const auto one = char_time();
    if (one.count() == 0) {
      pending.Push({from, bytes, -1, -1, "", true, std::string(), true});
      return;
    }
    Clock::time_point at = from;
    for (size_t k = 0; k < bytes.size(); ++k) {
      const Clock::time_point arrived = from + one * static_cast<Clock::rep>(k + 1);
      at = pending.FreeFrom(std::max(at, arrived), one);
      pending.Push({at, bytes.substr(k, 1), -1, -1, "", k == 0, k == 0 ? bytes : std::string(), true});
      at += one;
      tx_free = std::max(tx_free, at);
    }
  };
  // The far end goes away (vanish, drop), or a new pseudo-terminal takes every link.
  auto close_line = [&](const std::string& why) {
    tracer.Event("info", "", -1, -1, why);
    if (slave >= 0) close(slave);
    if (line >= 0) close(line);
    slave = line = -1;
    pending.Clear();
    back_at.reset();
    stall_until.reset();
    draining = false;
  };
  auto open_line = [&] {
    if (line >= 0) close_line("new line");
    OpenPty(line, slave, slave_path);
    std::string error;
    for (const auto& l : made_links)
      if (error.empty()) error = LinkTo(l, slave_path);
    tracer.Event("info", "", -1, -1, "back as " + slave_path);
    return error;
  };
  // A line command the core has checked: carried out here; the reply, or ""
  // while a "recv" waits.
  auto carry_out = [&](const lumo::sim::LineRequest& r, Client& c, const std::string& reply) -> std::string {
    using lumo::sim::LineRequest;
    if (!opt.device.empty() && r.kind != LineRequest::kStall)
      return r.kind == LineRequest::kVanish ? reply : "err only on the pseudo-terminal";
    switch (r.kind) {
      case LineRequest::kVanish:
        if (r.ms > 0) {
          close_line("vanish for " + std::to_string(r.ms) + " ms");
          back_at = Clock::now() + std::chrono::milliseconds(r.ms);
        }
        return reply;
      case LineRequest::kDrop:
        close_line("dropped until link");
        return reply;
      case LineRequest::kLink: {
        if (r.com > 0) {
          mkdir(dosdevices.c_str(), 0755);
          if (std::find(made_links.begin(), made_links.end(), com_path(r.com)) == made_links.end())
            made_links.push_back(com_path(r.com));
        }
        const std::string error = open_line();
        return error.empty() ? "ok " + slave_path : "err " + error;
      }
      case LineRequest::kUnlink: {
        const std::string path = com_path(r.com);
        made_links.erase(std::remove(made_links.begin(), made_links.end(), path), made_links.end());
        struct stat st{};
        if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) unlink(path.c_str());
        return reply;
      }
      default: break;
    }
    if (line < 0) return "err no line: dropped or vanished (link brings it back)";
    if (r.kind == LineRequest::kSend) {
      send(Clock::now(), std::string(r.bytes.begin(), r.bytes.end()), -1, -1, "send");
      return reply;
    }
    if (r.kind == LineRequest::kStall) {
      tracer.Event("info", "", -1, -1, "stall for " + std::to_string(r.ms) + " ms");
      if (r.ms > 0) {
        stall_until = Clock::now() + std::chrono::milliseconds(r.ms);
      } else if (stall_until) {
        stall_until.reset();
        draining = true;
      }
      return reply;
    }
    if (r.kind == LineRequest::kRecv) {
      c.receive = Receive{r.count, Clock::now() + std::chrono::milliseconds(r.ms), std::string()};
      return "";
    }
    const auto s = ReadLineSettings(slave);
    if (!s) return "err the line settings cannot be read";
    return "ok baud=" + std::to_string(s->baud) + " bits=" + std::to_string(s->data_bits) +
           " stop=" + std::to_string(s->stop_bits) + " parity=" + s->parity;
  };
  // Answers the client's complete command lines, up to a "recv" that waits.
  auto serve = [&](Client& c) {
    size_t nl;
    while (!c.receive && (nl = c.in.find('\n')) != std::string::npos) {
      std::string cmd = c.in.substr(0, nl);
      c.in.erase(0, nl + 1);
      if (!cmd.empty() && cmd.back() == '\r') cmd.pop_back();
      if (cmd.find_first_not_of(" \t") == std::string::npos) continue;
      sim.pending_chars = pending.Chars();
      sim.stall_ms = 0;
      if (stall_until)
        sim.stall_ms = std::max<long long>(
            1, std::chrono::ceil<std::chrono::milliseconds>(*stall_until - Clock::now()).count());
      else if (draining)
        sim.stall_ms = 1;
      std::string reply = sim.Control(cmd);
      if (sim.line_request) {
        reply = carry_out(*sim.line_request, c, reply);
        sim.line_request.reset();
      }
      if (reply.empty()) continue;
      tracer.Event("ctl", "", -1, -1, cmd + " => " + reply);
      if (!WriteAll(c.fd, reply + "\n")) return false;
    }
    return true;
  };
  while (!g_stop && !sim.quit) {
    if (back_at && Clock::now() >= *back_at) open_line();
    if (stall_until && Clock::now() >= *stall_until) {
      stall_until.reset();
      draining = true;
      tracer.Event("info", "", -1, -1, "stall over");
    }
    bool receiving = false;
    for (const auto& c : clients) receiving = receiving || c.receive.has_value();
    std::vector<pollfd> fds;
    // A raw line's bytes stay in the pseudo-terminal until a "recv" asks.
    // A stalled line is not read at all.
    fds.push_back({(sim.raw && !receiving) || stall_until ? -1 : line, POLLIN, 0});
    if (listen_fd >= 0) fds.push_back({listen_fd, POLLIN, 0});
    for (const auto& c : clients) fds.push_back({c.fd, POLLIN, 0});
    // Microseconds: a paced character takes about one millisecond.
    long long timeout_us = -1;
    const auto now = Clock::now();
    auto earliest = [&](Clock::time_point at) {
      const auto us = std::chrono::ceil<std::chrono::microseconds>(at - now).count();
      const long long t = us < 0 ? 0 : us;
      if (timeout_us < 0 || t < timeout_us) timeout_us = t;
    };
    if (back_at) earliest(*back_at);
    if (stall_until) earliest(*stall_until);
    if (draining) earliest(now);  // see at once whether anything is left
    if (const auto due = pending.EarliestDue()) earliest(*due);
    for (const auto& c : clients)
      if (c.receive) earliest(c.receive->deadline);
    timespec ts{static_cast<time_t>(timeout_us / 1000000), static_cast<long>(timeout_us % 1000000) * 1000};
    const int r = ppoll(fds.data(), fds.size(), timeout_us < 0 ? nullptr : &ts, nullptr);
    if (r < 0 && errno != EINTR) Die(std::string("poll: ") + std::strerror(errno));

    // Due output first, in order of due time, chosen against one reading of
    // the clock (see OutputQueue::PopDue).
    const auto written_at = Clock::now();
    while (const auto due = pending.PopDue(written_at)) {
      const auto& p = *due;
      if (!WriteAll(line, p.bytes)) tracer.Event("info", "", p.ch, p.code, std::string("write failed: ") + std::strerror(errno));
      if (p.traced) tracer.Event(p.echo ? "echo" : "tx", p.shown.empty() ? p.bytes : p.shown, p.ch, p.code, p.note);
    }

    size_t idx = 0;
    if (r > 0 && (fds[idx].revents & (POLLIN | POLLERR | POLLHUP))) {
      uint8_t buf[512];
      auto waiting = clients.begin();
      while (waiting != clients.end() && !waiting->receive) ++waiting;
      // A raw line is read no further than the first waiting "recv" wants.
      const size_t want = waiting == clients.end() ? sizeof buf
                          : std::min(sizeof buf, waiting->receive->count - waiting->receive->got.size());
      const ssize_t n = read(line, buf, want);
      if (n > 0 && waiting != clients.end()) {
        waiting->receive->got.append(reinterpret_cast<const char*>(buf), static_cast<size_t>(n));
        tracer.Event("rx", std::string(reinterpret_cast<const char*>(buf), static_cast<size_t>(n)), -1, -1, "raw");
      } else if (n > 0) {
        std::vector<lumo::sim::Output> out;
        std::vector<lumo::sim::TraceEvent> trace;
        sim.Feed(buf, static_cast<size_t>(n), out, trace);
        for (const auto& t : trace) tracer.Event(t.kind, t.bytes, t.channel, t.code, t.note);
        // On a paced line the bytes just read arrive one character time
        // apart, after those still on the wire: a request counts as received
        // when its last character would have arrived.
        const auto rx_start = std::max(rx_free, Clock::now());
        rx_free = rx_start + char_time() * n;
        const int turnaround =
            opt.turnaround_ms >= 0 ? opt.turnaround_ms : paced() ? sim.gauge.turnaround_ms : 0;
        const auto base = rx_free + std::chrono::milliseconds(turnaround);
        for (const auto& o : out) {
          if (o.echo) {
            for (const auto& c : o.chunks) echo(rx_start, c.bytes);
            continue;
          }
          auto at = base;
          for (size_t i = 0; i < o.chunks.size(); ++i) {
            at += std::chrono::milliseconds(o.chunks[i].delay_ms);
            std::string note = o.note;
            if (o.chunks.size() > 1) note += (note.empty() ? "" : " ") + std::string("part ") + std::to_string(i + 1) + "/" + std::to_string(o.chunks.size());
            at = send(at, o.chunks[i].bytes, o.channel, o.code, note);
          }
        }
      } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        if (!opt.device.empty()) {
          tracer.Event("info", "", -1, -1, "device closed");
          status = 1;
          break;
        }
      }
    }
    // After a stall, the line read dry: what piled up is all in.
    if (draining && !(r > 0 && (fds[idx].revents & POLLIN))) draining = false;
    ++idx;
    if (listen_fd < 0) continue;
    if (r > 0 && (fds[idx].revents & POLLIN)) {
      const int c = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
      if (c >= 0) {
        const int one = 1;
        setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        clients.push_back({c, "", std::nullopt});
      }
    }
    ++idx;
    std::vector<Client> keep;
    for (size_t k = 0; k < clients.size(); ++k) {
      Client& c = clients[k];
      bool alive = true;
      if (r > 0 && idx + k < fds.size() && (fds[idx + k].revents & (POLLIN | POLLHUP | POLLERR))) {
        char buf[1024];
        const ssize_t n = read(c.fd, buf, sizeof buf);
        if (n <= 0) alive = false;
        else c.in.append(buf, static_cast<size_t>(n));
        if (c.in.size() > 65536) alive = false;
      }
      // A "recv" ends with its bytes, or at its deadline with what came.
      if (alive && c.receive && (c.receive->got.size() >= c.receive->count || Clock::now() >= c.receive->deadline)) {
        const std::string got = c.receive->got;
        c.receive.reset();
        const std::string hex = lumo::sim::Hex(std::vector<uint8_t>(got.begin(), got.end()));
        tracer.Event("ctl", "", -1, -1, "recv => " + std::to_string(got.size()) + " bytes");
        alive = WriteAll(c.fd, "ok" + (hex.empty() ? "" : " " + hex) + "\n");
      }
      if (alive) alive = serve(c);
      if (alive) keep.push_back(c);
      else close(c.fd);
    }
    clients.swap(keep);
  }

  for (const auto& c : clients) close(c.fd);
  if (listen_fd >= 0) close(listen_fd);
  for (const auto& l : made_links) {
    char target[4096];
    const ssize_t n = readlink(l.c_str(), target, sizeof target - 1);
    if (n > 0 && std::string(target, static_cast<size_t>(n)) == slave_path) unlink(l.c_str());
  }
  if (slave >= 0) close(slave);
  if (line >= 0) close(line);
  return status;
}
