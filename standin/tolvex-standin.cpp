/*
 * tolvex-standin: takes the control service's place on a host where none runs, so that tolvex
 * can be tried, and scripts that call it tested, without the real service.
 *
 * It listens on 127.0.0.1 UDP port 20003 and answers every request with one datagram sent back
 * to the address and port it came from.  Each request is shown on standard output with its byte
 * count and its bytes made visible, so that a person sees exactly what came over the wire.
 */

#include <sys/select.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {
constexpr char progname[] = "tolvex-standin";
constexpr char listen_addr[] = "127.0.0.1";
constexpr unsigned short listen_port = 20003;
/* The largest payload a UDP datagram can carry over IPv4. */
constexpr size_t max_datagram = 65507;

constexpr char help_text[] = "ping: answers pong\n"
                             "echo WORDS: answers the words\n"
                             "help: lists the commands";
constexpr char unknown_prefix[] = "unknown command: ";

volatile sig_atomic_t stopping = 0;

void
on_signal(int /*signo*/)
{
	stopping = 1;
}

[[noreturn]] void
usage()
{
	fprintf(stderr, "usage: %s [-n count]\n", progname);
	exit(2);
}

/* Blanks, backslashes and non-printing bytes are escaped so that every byte can be read. */
void
show_request(const struct sockaddr_in &from, const unsigned char *req, size_t reqlen)
{
	char addr[INET_ADDRSTRLEN];
	inet_ntop(AF_INET, &from.sin_addr, addr, sizeof(addr));
	printf("from %s:%u, %zu bytes: ", addr, static_cast<unsigned>(ntohs(from.sin_port)),
	       reqlen);
	for (size_t i = 0; i < reqlen; i++) {
		if (req[i] == '\\')
			fputs("\\\\", stdout);
		else if (req[i] > ' ' && req[i] < 0x7f)
			putchar(req[i]);
		else
			printf("\\x%02x", req[i]);
	}
	putchar('\n');
	fflush(stdout);
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

} // namespace

int
main(int argc, char *argv[])
{
	long limit = 0;
	int ch;
	while ((ch = getopt(argc, argv, "n:")) != -1) {
		if (ch != 'n')
			usage();
		char *end;
		errno = 0;
		limit = strtol(optarg, &end, 10);
		if (errno != 0 || end == optarg || *end != '\0' || limit <= 0)
			usage();
	}
	if (optind != argc)
		usage();

	int fd = socket(AF_INET, SOCK_DGRAM, 0);
	if (fd < 0) {
		perror("tolvex-standin: socket");
		return 1;
	}
	struct sockaddr_in addr;
	memset(&addr, 0, sizeof(addr));
	addr.sin_family = AF_INET;
	addr.sin_addr.s_addr = inet_addr(listen_addr);
	addr.sin_port = htons(listen_port);
	if (bind(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof(addr)) < 0) {
		if (errno == EADDRINUSE)
			fprintf(stderr, "%s: %s port %u is already in use\n", progname, listen_addr,
			        static_cast<unsigned>(listen_port));
		else
			perror("tolvex-standin: bind");
		return 1;
	}

	/*
	 * The stop signals stay blocked except inside the wait, so that one arriving between two
	 * requests ends the wait rather than being lost before it.
	 */
	struct sigaction sa;
	memset(&sa, 0, sizeof(sa));
	sa.sa_handler = on_signal;
	sigemptyset(&sa.sa_mask);
	sigaction(SIGINT, &sa, nullptr);
	sigaction(SIGTERM, &sa, nullptr);
	sigset_t stops;
	sigset_t waitmask;
	sigemptyset(&stops);
	sigaddset(&stops, SIGINT);
	sigaddset(&stops, SIGTERM);
	sigprocmask(SIG_BLOCK, &stops, &waitmask);

	fprintf(stderr, "%s: listening on %s port %u\n", progname, listen_addr,
	        static_cast<unsigned>(listen_port));

	static char req[max_datagram];
	static char ans[max_datagram];
	long served = 0;
	while (stopping == 0 && (limit == 0 || served < limit)) {
		fd_set readable;
		FD_ZERO(&readable);
		FD_SET(fd, &readable);
		if (pselect(fd + 1, &readable, nullptr, nullptr, nullptr, &waitmask) < 0) {
			if (errno == EINTR)
				continue;
			perror("tolvex-standin: pselect");
			return 1;
		}
		struct sockaddr_in from;
		socklen_t fromlen = sizeof(from);
		ssize_t reqlen = recvfrom(fd, req, sizeof(req), 0,
		                          reinterpret_cast<struct sockaddr *>(&from), &fromlen);
		if (reqlen < 0) {
			perror("tolvex-standin: recvfrom");
			return 1;
		}
		show_request(from, reinterpret_cast<unsigned char *>(req),
		             static_cast<size_t>(reqlen));
		size_t anslen = answer(req, static_cast<size_t>(reqlen), ans);
		if (sendto(fd, ans, anslen, 0, reinterpret_cast<struct sockaddr *>(&from),
		           fromlen) < 0)
			perror("tolvex-standin: sendto");
		served++;
	}
	fprintf(stderr, "%s: stopped after %ld request%s\n", progname, served,
	        served == 1 ? "" : "s");
	close(fd);
	return 0;
}
