/*
 * tolvex-standin: takes the control service's place on a host where none runs, so that tolvex
 * can be tried, and scripts that call it tested, without the real service.
 *
 * It listens on 127.0.0.1 UDP port 20003 and answers every request with one datagram sent back
 * to the address and port it came from.  Each request is then shown on standard output with its
 * byte count and its bytes made visible, so that a person sees exactly what came over the wire.
 * The answers come first: a log that nobody reads any more, or reads too slowly, must neither
 * silence the stand-in nor keep it from stopping.
 */

#include <sys/socket.h>
#include <sys/types.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unistd.h>

namespace {
constexpr char progname[] = "tolvex-standin";
constexpr char usage_text[] = "usage: tolvex-standin [-h] [-n count]\n";
constexpr char listen_addr[] = "127.0.0.1";
constexpr unsigned short listen_port = 20003;
/* The same on 32-bit and 64-bit builds, whatever the size of long there. */
constexpr long max_count = 2147483647;
/* The largest payload a UDP datagram can carry over IPv4. */
constexpr size_t max_datagram = 65507;
/* A log line: its heading, then each byte of the request in at most four characters. */
constexpr size_t max_heading = 64;
constexpr size_t max_logline = max_heading + 4 * max_datagram + 1;
/* How soon a write blocked on a stalled reader looks again whether it should give up. */
constexpr long tick_ns = 100L * 1000 * 1000;

constexpr char help_text[] = "ping: answers pong\n"
                             "echo WORDS: answers the words\n"
                             "help: lists the commands";
constexpr char unknown_prefix[] = "unknown command: ";

volatile sig_atomic_t stopping = 0;

/* The signal mask while working, while waiting for a request, and while writing output. */
sigset_t working_mask;
sigset_t waiting_mask;
sigset_t writing_mask;
timer_t ticker;

void
on_stop(int /*signo*/)
{
	stopping = 1;
}

/* Only there to break into a blocked write. */
void
on_tick(int /*signo*/)
{
}

[[noreturn]] void
usage_error(const char *what, const char *detail)
{
	fprintf(stderr, "%s: %s%s\n%s", progname, what, detail, usage_text);
	exit(2);
}

/*
 * Writes all of data to fd; false, with errno set, when it cannot, or when a stop is asked for
 * while the write is blocked.  The stop signals come through while writing, so that a reader who
 * has stalled (a paused terminal, a pipe nobody empties) cannot hold the program; the ticking
 * timer breaks into the write in case the stop came just before it began.
 */
bool
put(int fd, const char *data, size_t len)
{
	const struct itimerspec tick = {{0, tick_ns}, {0, tick_ns}};
	const struct itimerspec off = {};
	timer_settime(ticker, 0, &tick, nullptr);
	sigprocmask(SIG_SETMASK, &writing_mask, nullptr);
	while (len > 0) {
		ssize_t n = write(fd, data, len);
		if (n < 0 && errno == EINTR && stopping == 0)
			continue;
		if (n < 0)
			break;
		data += n;
		len -= static_cast<size_t>(n);
	}
	int saved = errno;
	sigprocmask(SIG_SETMASK, &working_mask, nullptr);
	timer_settime(ticker, 0, &off, nullptr);
	errno = saved;
	return len == 0;
}

/* A line on standard error in the program's name; one that is cut or lost is let go. */
void
say(const char *text)
{
	char line[256];
	int len = snprintf(line, sizeof(line), "%s: %s\n", progname, text);
	if (len < 0)
		return;
	if (static_cast<size_t>(len) >= sizeof(line)) {
		len = sizeof(line) - 1;
		line[len - 1] = '\n';
	}
	put(STDERR_FILENO, line, static_cast<size_t>(len));
}

/* Reports a failed call as perror would. */
void
say_failed(const char *call)
{
	char text[128];
	snprintf(text, sizeof(text), "%s: %s", call, strerror(errno));
	say(text);
}

/*
 * Composes the log line of one request in line, which holds max_logline bytes; returns its
 * length.  Blanks, backslashes and non-printing bytes are escaped so that every byte can be read.
 */
size_t
show_request(char *line, const struct sockaddr_in &from, const unsigned char *req, size_t reqlen)
{
	char addr[INET_ADDRSTRLEN];
	inet_ntop(AF_INET, &from.sin_addr, addr, sizeof(addr));
	int heading =
	    snprintf(line, max_heading, "from %s:%u, %zu byte%s: ", addr,
	             static_cast<unsigned>(ntohs(from.sin_port)), reqlen, reqlen == 1 ? "" : "s");
	size_t len = heading < static_cast<int>(max_heading) ? static_cast<size_t>(heading)
	                                                     : max_heading - 1;
	for (size_t i = 0; i < reqlen && len + 4 < max_logline; i++) {
		if (req[i] == '\\') {
			line[len++] = '\\';
			line[len++] = '\\';
		} else if (req[i] > ' ' && req[i] < 0x7f) {
			line[len++] = static_cast<char>(req[i]);
		} else {
			snprintf(line + len, 5, "\\x%02x", req[i]);
			len += 4;
		}
	}
	line[len++] = '\n';
	return len;
}

/* Appends what fits of data to the answer; an answer longer than a datagram is cut. */
void
append(char *ans, size_t *anslen, const char *data, size_t datalen)
{
	size_t room = max_datagram - *anslen;
	if (datalen > room)
		datalen = room;
	memcpy(ans + *anslen, data, datalen);
	*anslen += datalen;
}

bool
is_command(const char *name, const char *cmd, size_t cmdlen)
{
	return strlen(name) == cmdlen && memcmp(name, cmd, cmdlen) == 0;
}

/* Composes the answer to one request in ans, which holds max_datagram bytes; returns its length. */
size_t
answer(const char *req, size_t reqlen, char *ans)
{
	/* tolvex follows every word with a blank; the last one is no part of the command. */
	if (reqlen > 0 && req[reqlen - 1] == ' ')
		reqlen--;
	const auto *blank = static_cast<const char *>(memchr(req, ' ', reqlen));
	size_t cmdlen = blank != nullptr ? static_cast<size_t>(blank - req) : reqlen;

	size_t anslen = 0;
	if (blank == nullptr && is_command("ping", req, cmdlen)) {
		append(ans, &anslen, "pong", strlen("pong"));
	} else if (blank == nullptr && is_command("help", req, cmdlen)) {
		append(ans, &anslen, help_text, strlen(help_text));
	} else if (is_command("echo", req, cmdlen)) {
		if (blank != nullptr)
			append(ans, &anslen, blank + 1, reqlen - cmdlen - 1);
	} else {
		append(ans, &anslen, unknown_prefix, strlen(unknown_prefix));
		append(ans, &anslen, req, reqlen);
	}
	return anslen;
}

/*
 * The stop signals and the tick are held back except while waiting or writing, so that a stop
 * that arrives between two requests ends the next wait rather than being lost before it.  A log
 * reader that has gone away must not kill the stand-in: broken pipes become errors to report.
 */
bool
catch_signals()
{
	struct sigaction sa;
	memset(&sa, 0, sizeof(sa));
	sigemptyset(&sa.sa_mask);
	sa.sa_handler = on_stop;
	sigaction(SIGINT, &sa, nullptr);
	sigaction(SIGTERM, &sa, nullptr);
	sa.sa_handler = on_tick;
	sigaction(SIGALRM, &sa, nullptr);
	sa.sa_handler = SIG_IGN;
	sigaction(SIGPIPE, &sa, nullptr);

	sigset_t held;
	sigemptyset(&held);
	sigaddset(&held, SIGINT);
	sigaddset(&held, SIGTERM);
	sigaddset(&held, SIGALRM);
	sigprocmask(SIG_BLOCK, &held, &writing_mask);
	sigprocmask(SIG_BLOCK, nullptr, &working_mask);
	/* Whatever mask it was started with, a stop must be able to come through. */
	sigdelset(&writing_mask, SIGINT);
	sigdelset(&writing_mask, SIGTERM);
	sigdelset(&writing_mask, SIGALRM);
	waiting_mask = writing_mask;
	sigaddset(&waiting_mask, SIGALRM);

	struct sigevent ev;
	memset(&ev, 0, sizeof(ev));
	ev.sigev_notify = SIGEV_SIGNAL;
	ev.sigev_signo = SIGALRM;
	return timer_create(CLOCK_MONOTONIC, &ev, &ticker) == 0;
}

} // namespace

int
main(int argc, char *argv[])
{
	long limit = 0;
	int ch;
	opterr = 0;
	while ((ch = getopt(argc, argv, ":hn:")) != -1) {
		if (ch == 'h') {
			if (fputs(usage_text, stdout) == EOF || fflush(stdout) == EOF) {
				perror("tolvex-standin: stdout");
				return 1;
			}
			return 0;
		}
		const char option[] = {'-', static_cast<char>(optopt), '\0'};
		if (ch == ':')
			usage_error("missing count after ", option);
		if (ch != 'n')
			usage_error("unknown option ", option);
		char *end;
		errno = 0;
		limit = strtol(optarg, &end, 10);
		if (errno != 0 || end == optarg || *end != '\0' || limit <= 0 || limit > max_count)
			usage_error("the count must be a whole number from 1 to 2147483647, not ",
			            optarg);
	}
	if (optind != argc)
		usage_error("unexpected argument ", argv[optind]);

	if (!catch_signals()) {
		say_failed("timer_create");
		return 1;
	}

	int fd = socket(AF_INET, SOCK_DGRAM, 0);
	if (fd < 0) {
		say_failed("socket");
		return 1;
	}
	struct sockaddr_in addr;
	memset(&addr, 0, sizeof(addr));
	addr.sin_family = AF_INET;
	addr.sin_addr.s_addr = inet_addr(listen_addr);
	addr.sin_port = htons(listen_port);
	char where[32];
	snprintf(where, sizeof(where), "%s port %u", listen_addr,
	         static_cast<unsigned>(listen_port));
	char text[128];
	if (bind(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof(addr)) < 0) {
		if (errno != EADDRINUSE) {
			say_failed("bind");
			return 1;
		}
		snprintf(text, sizeof(text), "%s is already in use", where);
		say(text);
		return 1;
	}
	snprintf(text, sizeof(text), "listening on %s", where);
	say(text);

	static char req[max_datagram];
	static char ans[max_datagram];
	static char logline[max_logline];
	bool logging = true;
	long served = 0;
	struct pollfd pfd = {};
	pfd.fd = fd;
	pfd.events = POLLIN;
	while (stopping == 0 && (limit == 0 || served < limit)) {
		int ready = ppoll(&pfd, 1, nullptr, &waiting_mask);
		if (ready < 0 && errno != EINTR) {
			say_failed("ppoll");
			return 1;
		}
		if (ready <= 0)
			continue;
		if ((pfd.revents & POLLIN) == 0) {
			/* An error is pending on the socket; taking it clears it. */
			int err = 0;
			socklen_t errlen = sizeof(err);
			if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &errlen) < 0) {
				say_failed("getsockopt");
				return 1;
			}
			errno = err;
			say_failed("socket");
			continue;
		}
		struct sockaddr_in from;
		socklen_t fromlen = sizeof(from);
		ssize_t reqlen = recvfrom(fd, req, sizeof(req), 0,
		                          reinterpret_cast<struct sockaddr *>(&from), &fromlen);
		if (reqlen < 0) {
			say_failed("recvfrom");
			return 1;
		}
		size_t anslen = answer(req, static_cast<size_t>(reqlen), ans);
		if (sendto(fd, ans, anslen, 0, reinterpret_cast<struct sockaddr *>(&from),
		           fromlen) < 0)
			say_failed("sendto");
		served++;
		if (!logging)
			continue;
		size_t len = show_request(logline, from, reinterpret_cast<unsigned char *>(req),
		                          static_cast<size_t>(reqlen));
		if (!put(STDOUT_FILENO, logline, len) && stopping == 0) {
			snprintf(text, sizeof(text),
			         "standard output: %s; requests are no longer shown",
			         strerror(errno));
			say(text);
			logging = false;
		}
	}
	snprintf(text, sizeof(text), "stopped after %ld request%s", served, served == 1 ? "" : "s");
	say(text);
	close(fd);
	return 0;
}
