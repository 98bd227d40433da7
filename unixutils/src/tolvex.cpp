/*
 * tolvex: pass one command to the control service on this host and show its answer.
 *
 * The words of the command line go out, each followed by one blank, as a single UDP datagram
 * to 127.0.0.1 port 20003.  The first datagram that comes back from this host within three
 * seconds is printed as one line.  Scripts tell the outcomes apart by what is printed: the exit
 * status is always 0.
 */

#include <sys/socket.h>
#include <sys/types.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
constexpr char service_addr[] = "127.0.0.1";
constexpr unsigned short service_port = 20003;
constexpr int answer_wait_ms = 3000;
/* Both the request and the answer buffers; the request keeps one byte for its terminator. */
constexpr size_t bufsize = 512;

/*
 * Standard output is flushed at once and a failed write is reported: an answer lost on a full
 * disk or a closed descriptor must not pass for an empty one.  written is what puts or printf
 * returned.
 */
void
check_stdout(int written)
{
	if (written < 0 || fflush(stdout) == EOF)
		perror("stdout");
}

/*
 * A datagram socket bound to addr, or -1 when it cannot be had, which is reported if report is
 * set.  Started with a standard stream closed, the socket would take its descriptor, and
 * what is meant for that stream would go into the socket.  It moves above them instead: the
 * stream stays closed, and writing to it fails as it should.
 */
int
bound_socket(const struct sockaddr_in &addr, bool report = true)
{
	int fd = socket(AF_INET, SOCK_DGRAM, 0);
	if (fd >= 0 && fd <= STDERR_FILENO) {
		int moved = fcntl(fd, F_DUPFD, STDERR_FILENO + 1);
		close(fd);
		fd = moved;
	}
	if (fd < 0) {
		if (report)
			perror("socket");
		return -1;
	}
	if (bind(fd, reinterpret_cast<const struct sockaddr *>(&addr), sizeof(addr)) < 0) {
		if (report)
			perror("bind");
		close(fd);
		return -1;
	}
	return fd;
}
} // namespace

/*
 * The request buffer is held to the end of the run and left to the exit to release.  Held here
 * rather than in main, where the compiler may keep it in a register alone, it is still plainly in
 * use at the exit, also to leak checkers.
 */
char *sendbuffer;

int
main(int argc, char *argv[])
{
	if (argc <= 1) {
		check_stdout(puts("argument must be specified"));
		return 0;
	}

	sendbuffer = static_cast<char *>(malloc(bufsize));
	if (sendbuffer == nullptr) {
		perror("malloc");
		return 0;
	}
	sendbuffer[0] = '\0';

	/*
	 * A command that does not fit is refused whole: sending part of it could make the service
	 * run a different command from the one that was typed.
	 */
	size_t pktlen = 0;
	for (int i = 1; i < argc; i++) {
		size_t wordlen = strlen(argv[i]);
		/* The word, its blank and the terminator must fit in what is left of the buffer. */
		if (wordlen + 2 > bufsize - pktlen) {
			check_stdout(puts("command too long"));
			return 0;
		}
		memcpy(sendbuffer + pktlen, argv[i], wordlen);
		pktlen += wordlen;
		memcpy(sendbuffer + pktlen, " ", 2);
		pktlen++;
	}

	/*
	 * Bound to the loopback address, with a port the system picks, the socket takes datagrams
	 * only from this host: the systems drop those for 127.0.0.0/8 that arrive from elsewhere.
	 * Left unbound, it would be bound to every address of the host at the send, and a datagram
	 * from any host that reached one of them would pass for the service's answer.
	 */
	struct sockaddr_in servaddr;
	memset(&servaddr, 0, sizeof(servaddr));
	servaddr.sin_family = AF_INET;
	servaddr.sin_addr.s_addr = inet_addr(service_addr);
	int sockfd = bound_socket(servaddr);
	if (sockfd < 0)
		return 0;

	/*
	 * Where the system's own ports reach the service's (from 10000 on FreeBSD), it may give the
	 * socket the service's port, and the request would come back to the socket as its answer.
	 * Another is taken while this one holds that port.  Where the system has no other, no
	 * service can be listening, since the port is this socket's: nothing is sent, and the wait
	 * watches nothing and ends as when the service does not answer.
	 */
	struct sockaddr_in local;
	socklen_t local_len = sizeof(local);
	if (getsockname(sockfd, reinterpret_cast<struct sockaddr *>(&local), &local_len) == 0 &&
	    local.sin_port == htons(service_port))
		sockfd = bound_socket(servaddr, false);
	servaddr.sin_port = htons(service_port);

	/* A request that never left must not be reported as a service that did not answer. */
	if (sockfd >= 0 &&
	    sendto(sockfd, sendbuffer, pktlen, 0, reinterpret_cast<struct sockaddr *>(&servaddr),
	           sizeof(servaddr)) < 0) {
		perror("sendto");
		return 0;
	}

	struct pollfd x = {};
	x.fd = sockfd;
	x.events = POLLIN;
	int ready = poll(&x, 1, answer_wait_ms);
	if (ready == 0) {
		check_stdout(puts("TIMEOUT"));
		return 0;
	}
	if (ready < 0) {
		perror("poll: ");
		return 0;
	}

	/*
	 * The answer is text up to its first NUL, but never more than the bytes received: an answer
	 * that fills the whole buffer has no terminator in it.
	 */
	char buf[bufsize];
	memset(buf, 0, sizeof(buf));
	struct sockaddr_in rcv_addr;
	socklen_t rcv_addr_len = sizeof(rcv_addr);
	ssize_t len = recvfrom(sockfd, buf, sizeof(buf), 0,
	                       reinterpret_cast<struct sockaddr *>(&rcv_addr), &rcv_addr_len);
	if (len < 0)
		perror("recvfrom");
	else if (len > 0)
		check_stdout(printf("%.*s\n", static_cast<int>(len), buf));
	return 0;
}
