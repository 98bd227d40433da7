/*
 * tolvex-standin: takes the control service's place on 127.0.0.1 UDP port 20003 where none runs,
 * so that tolvex can be tried, and scripts that call it tested.  It answers each request with one
 * datagram to where it came from, then shows it on standard output, every byte made visible.  The
 * answers never wait on that log or on a message: both go out through descriptors that do not
 * block, what the log's reader cannot take yet is held in a bounded buffer, and what does not fit
 * is counted and let go.
 */

#include <sys/socket.h>
#include <sys/uio.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <iterator>
#include <unistd.h>

namespace {
constexpr char name[] = "tolvex-standin";
constexpr char usage_text[] = "usage: tolvex-standin [-h] [-n count]\n";
constexpr char listen_addr[] = "127.0.0.1";
constexpr unsigned short listen_port = 20003;
constexpr unsigned long max_count = 2147483647; /* the same on 32-bit and 64-bit builds */
constexpr size_t max_datagram = 65507;          /* the most a UDP datagram carries over IPv4 */
/* Some systems send and hold only smaller datagrams unless asked (FreeBSD: 9,216 and 42,080). */
constexpr int socket_buffer = 1 << 18;
/* A log line is its heading, then each byte of the request in at most four characters; the log
 * holds the lines of a few of the largest requests for a reader that lags. */
constexpr size_t max_heading = 64;
constexpr size_t log_room = 4 * (max_heading + 4 * max_datagram + 1);

constexpr char help_text[] = "ping: answers pong\n"
                             "echo WORDS: answers the words\n"
                             "status: answers how long it has run, and how many it answered\n"
                             "help: lists the commands";
constexpr char unknown_prefix[] = "unknown command: ";

struct timespec started;
/* Where the log and the messages go; and the file status flags of standard output and standard
 * error as they were found, to set back at the end. */
int out = STDOUT_FILENO;
int errout = STDERR_FILENO;
int found_flags[2];

/* The stop line, kept up to date for the stop handler, which may interrupt the loop anywhere:
 * the loop writes the line the handler is not pointed at, and only then points it there. */
char stoplines[2][96];
volatile sig_atomic_t current = 0;

/* A message on standard error, let go if it cannot be written now. */
void
say(const char *what, const char *detail = "", const char *more = "")
{
	const char *parts[] = {name, ": ", what, detail, more, "\n"};
	struct iovec iov[std::size(parts)];
	for (size_t i = 0; i < std::size(parts); i++)
		iov[i] = {const_cast<char *>(parts[i]), strlen(parts[i])};
	writev(errout, iov, std::size(parts));
}

void
set_back()
{
	for (int fd : {STDOUT_FILENO, STDERR_FILENO})
		if (found_flags[fd - 1] >= 0)
			fcntl(fd, F_SETFL, found_flags[fd - 1]);
}

[[noreturn]] void
fail(const char *what)
{
	say(what, ": ", strerror(errno));
	exit(1);
}

/* A descriptor for standard output or standard error that never blocks.  A terminal is opened
 * anew, so that the one the shell reads stays as it was; anything else (a pipe, a file) is made
 * non-blocking itself until the end. */
int
unblocked(int fd)
{
	const char *tty = isatty(fd) != 0 ? ttyname(fd) : nullptr;
	int own = tty != nullptr ? open(tty, O_WRONLY | O_NONBLOCK | O_NOCTTY) : -1;
	if (own < 0 && found_flags[fd - 1] >= 0)
		fcntl(fd, F_SETFL, found_flags[fd - 1] | O_NONBLOCK);
	return own >= 0 ? own : fd;
}

void
count(unsigned long long served, unsigned long long shown)
{
	char more[48] = "";
	if (served > shown)
		snprintf(more, sizeof(more), ", %llu not shown", served - shown);
	snprintf(stoplines[1 - current], sizeof(stoplines[0]),
	         "%s: stopped after %llu request%s%s\n", name, served, served == 1 ? "" : "s",
	         more);
	std::atomic_signal_fence(std::memory_order_release);
	current = 1 - current;
}

/* The stop signals end the stand-in here, with calls safe in a handler: no stop is lost between
 * a check and a wait, none waits on a stalled reader, and no timer or signal mask is needed. */
[[noreturn]] void
stop(int /*signo*/)
{
	write(errout, stoplines[current], strlen(stoplines[current]));
	set_back();
	_exit(0);
}

[[noreturn]] void
usage_error(const char *what, const char *detail)
{
	say(what, detail);
	write(errout, usage_text, strlen(usage_text));
	exit(2);
}

/* Composes the log line of a request in line, room for max_heading + 4 * reqlen + 1 bytes;
 * returns its length.  Blanks, backslashes and non-printing bytes are escaped to be read. */
size_t
show_request(char *line, const struct sockaddr_in &from, const unsigned char *req, size_t reqlen)
{
	char addr[INET_ADDRSTRLEN];
	inet_ntop(AF_INET, &from.sin_addr, addr, sizeof(addr));
	int heading = snprintf(line, max_heading, "from %s:%u, %zu byte%s: ", addr,
	                       ntohs(from.sin_port), reqlen, reqlen == 1 ? "" : "s");
	size_t len = std::min(static_cast<size_t>(heading), max_heading - 1);
	for (size_t i = 0; i < reqlen; i++) {
		if (req[i] == '\\')
			line[len++] = '\\';
		if (req[i] > ' ' && req[i] < 0x7f) {
			line[len++] = static_cast<char>(req[i]);
		} else {
			snprintf(line + len, 5, "\\x%02x", req[i]);
			len += 4;
		}
	}
	line[len++] = '\n';
	return len;
}

/* Composes the answer to one request in ans, which holds max_datagram bytes; returns its length.
 * served is the count of the requests answered before it. */
size_t
answer(const char *req, size_t reqlen, char *ans, unsigned long long served)
{
	auto is = [req](size_t len, const char *word) {
		return len == strlen(word) && memcmp(req, word, len) == 0;
	};
	/* tolvex follows every word with a blank, and echo(1) and terminals end a line: neither is
	 * part of the command. */
	if (reqlen > 0 && req[reqlen - 1] == '\n')
		reqlen -= reqlen > 1 && req[reqlen - 2] == '\r' ? 2 : 1;
	else if (reqlen > 0 && req[reqlen - 1] == ' ')
		reqlen--;
	if (is(reqlen, "status")) {
		struct timespec now;
		clock_gettime(CLOCK_MONOTONIC, &now);
		return snprintf(ans, max_datagram, "up %lld s, %llu request%s answered",
		                static_cast<long long>(now.tv_sec - started.tv_sec), served,
		                served == 1 ? "" : "s");
	}
	const char *reply = unknown_prefix;
	size_t skip = 0; /* what of the request the answer leaves out */
	if (is(reqlen, "ping") || is(reqlen, "help")) {
		reply = is(reqlen, "ping") ? "pong" : help_text;
		skip = reqlen;
	} else if (is(reqlen, "echo") || is(std::min<size_t>(reqlen, 5), "echo ")) {
		reply = "";
		skip = std::min<size_t>(reqlen, 5);
	}
	/* The reply is short; what follows it is cut where a datagram ends. */
	size_t len = strlen(reply);
	size_t restlen = std::min(reqlen - skip, max_datagram - len);
	memcpy(ans, reply, len); // NOLINT(bugprone-not-null-terminated-result): bytes, no string
	memcpy(ans + len, req + skip, restlen);
	return len + restlen;
}
} // namespace

int
main(int argc, char *argv[])
{
	clock_gettime(CLOCK_MONOTONIC, &started);
	/* Both are read before either is changed: they may be one. */
	for (int fd : {STDOUT_FILENO, STDERR_FILENO})
		found_flags[fd - 1] = fcntl(fd, F_GETFL);
	atexit(set_back);
	out = unblocked(STDOUT_FILENO);
	errout = unblocked(STDERR_FILENO);

	unsigned long limit = 0;
	int ch;
	opterr = 0;
	while ((ch = getopt(argc, argv, ":hn:")) != -1) {
		if (ch == 'h' && write(out, usage_text, strlen(usage_text)) < 0)
			fail("stdout");
		if (ch == 'h')
			return 0;
		const char option[] = {'-', static_cast<char>(optopt), '\0'};
		if (ch != 'n')
			usage_error(ch == ':' ? "missing count after " : "unknown option ", option);
		/* Plain digits from 1 to max_count: no blank, sign or leading zero slips in. */
		size_t len = strlen(optarg);
		limit = strtoul(optarg, nullptr, 10);
		if (len == 0 || optarg[0] == '0' || strspn(optarg, "0123456789") != len ||
		    limit > max_count)
			usage_error("the count must be a whole number from 1 to 2147483647, not ",
			            len > 0 ? optarg : "an empty string");
	}
	if (optind != argc)
		usage_error("unexpected argument ", argv[optind]);

	/* Whatever the mask it inherits, a stop comes through; a reader gone is an error. */
	count(0, 0);
	struct sigaction sa = {};
	sa.sa_handler = stop;
	sigemptyset(&sa.sa_mask);
	for (int sig : {SIGINT, SIGTERM}) {
		sigaddset(&sa.sa_mask, sig);
		sigaction(sig, &sa, nullptr);
	}
	sigprocmask(SIG_UNBLOCK, &sa.sa_mask, nullptr);
	signal(SIGPIPE, SIG_IGN);

	/* Started with a standard stream closed, the socket would take its place. */
	int fd = socket(AF_INET, SOCK_DGRAM, 0);
	if (fd >= 0 && fd <= STDERR_FILENO) {
		int moved = fcntl(fd, F_DUPFD, STDERR_FILENO + 1);
		close(fd);
		fd = moved;
	}
	if (fd < 0)
		fail("socket");
	for (int option : {SO_SNDBUF, SO_RCVBUF}) /* without, it still serves smaller requests */
		setsockopt(fd, SOL_SOCKET, option, &socket_buffer, sizeof(socket_buffer));
	char where[32];
	snprintf(where, sizeof(where), "%s port %u", listen_addr, listen_port);
	struct sockaddr_in addr = {};
	addr.sin_family = AF_INET;
	addr.sin_addr.s_addr = inet_addr(listen_addr);
	addr.sin_port = htons(listen_port);
	if (bind(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof(addr)) < 0) {
		if (errno != EADDRINUSE)
			fail("bind");
		say(where, " is already in use");
		exit(1);
	}
	say("listening on ", where);

	static unsigned char req[max_datagram];
	static char ans[max_datagram];
	static char log[log_room]; /* its lines not yet written are log[logstart, logend) */
	size_t logstart = 0;
	size_t logend = 0;
	bool logging = true;
	bool lagged = false;
	unsigned long long served = 0;
	unsigned long long shown = 0; /* lines written whole */
	struct pollfd pfd[2] = {{fd, POLLIN, 0}, {out, POLLOUT, 0}};
	for (;;) {
		count(served, shown);
		bool served_all = limit != 0 && served >= limit;
		if (served_all && logstart == logend)
			stop(0);
		pfd[0].fd = served_all ? -1 : fd;
		pfd[1].fd = logstart < logend ? out : -1;
		if (poll(pfd, 2, -1) < 0)
			fail("poll");
		/* As much as the reader takes now; moved back once half drained, so that a byte is
		 * moved at most twice. */
		if (pfd[1].revents != 0) {
			ssize_t n = write(out, log + logstart, logend - logstart);
			if (n >= 0) {
				shown += std::count(log + logstart, log + logstart + n, '\n');
				logstart += static_cast<size_t>(n);
			} else if (errno != EAGAIN) {
				say("standard output: ", strerror(errno),
				    "; requests are no longer shown");
				logging = false;
				logstart = logend;
			}
			if (logstart == logend || logstart > sizeof(log) / 2) {
				memmove(log, log + logstart, logend - logstart);
				logend -= logstart;
				logstart = 0;
			}
		}
		if (pfd[0].revents == 0)
			continue;
		struct sockaddr_in from;
		socklen_t fromlen = sizeof(from);
		ssize_t got = recvfrom(fd, req, sizeof(req), 0, reinterpret_cast<sockaddr *>(&from),
		                       &fromlen);
		if (got < 0) {
			say("recvfrom: ", strerror(errno));
			continue;
		}
		auto reqlen = static_cast<size_t>(got);
		size_t anslen = answer(reinterpret_cast<char *>(req), reqlen, ans, served);
		/* Counted, its line not yet shown, before the answer that a stop may follow. */
		count(++served, shown);
		if (sendto(fd, ans, anslen, 0, reinterpret_cast<sockaddr *>(&from), fromlen) < 0)
			say("sendto: ", strerror(errno));
		if (logging && sizeof(log) - logend >= max_heading + 4 * reqlen + 1) {
			logend += show_request(log + logend, from, req, reqlen);
		} else if (logging && !lagged) {
			lagged = true;
			say("standard output is not keeping up; requests are not being shown");
		}
	}
}
