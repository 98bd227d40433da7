/*
 * Preloaded into a program to make one call fail: TOLVEX_FAIL names the call and TOLVEX_FAIL_ERRNO
 * the error number it fails with; TOLVEX_FAIL_TIMES, if set, how many times before it goes
 * through again.  The other calls go through untouched.  Built once with the system calls alone
 * and once with malloc too: a sanitizer's allocator cannot be stood in front of.  A failed fflush
 * stands for a full disk where the system has no device that is always full.
 */

#include <sys/socket.h>
#include <sys/types.h>

#include <dlfcn.h>
#include <poll.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
bool
failing(const char *call)
{
	const char *name = getenv("TOLVEX_FAIL");
	const char *code = getenv("TOLVEX_FAIL_ERRNO");
	if (name == nullptr || code == nullptr || strcmp(name, call) != 0)
		return false;
	static long failed = 0;
	const char *times = getenv("TOLVEX_FAIL_TIMES");
	if (times != nullptr && failed++ >= strtol(times, nullptr, 10))
		return false;
	errno = static_cast<int>(strtol(code, nullptr, 10));
	return true;
}

template <typename F>
F *
next(const char *call)
{
	return reinterpret_cast<F *>(dlsym(RTLD_NEXT, call));
}
} // namespace

extern "C" {
int
socket(int domain, int type, int protocol)
{
	if (failing("socket"))
		return -1;
	return next<int(int, int, int)>("socket")(domain, type, protocol);
}

/* The C library's header names the parameters in its own reserved way. */
ssize_t // NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name)
sendto(int fd, const void *data, size_t len, int flags, const struct sockaddr *to, socklen_t tolen)
{
	if (failing("sendto"))
		return -1;
	using sendto_t =
	    ssize_t(int, const void *, size_t, int, const struct sockaddr *, socklen_t);
	return next<sendto_t>("sendto")(fd, data, len, flags, to, tolen);
}

int
bind(int fd, const struct sockaddr *addr, socklen_t len)
{
	if (failing("bind"))
		return -1;
	return next<int(int, const struct sockaddr *, socklen_t)>("bind")(fd, addr, len);
}

/* The C library's header names the parameters in its own reserved way. */
ssize_t // NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name)
recvfrom(int fd, void *data, size_t len, int flags, struct sockaddr *from, socklen_t *fromlen)
{
	if (failing("recvfrom"))
		return -1;
	using recvfrom_t = ssize_t(int, void *, size_t, int, struct sockaddr *, socklen_t *);
	return next<recvfrom_t>("recvfrom")(fd, data, len, flags, from, fromlen);
}

int
poll(struct pollfd *fds, nfds_t nfds, int timeout)
{
	if (failing("poll"))
		return -1;
	return next<int(struct pollfd *, nfds_t, int)>("poll")(fds, nfds, timeout);
}

int
fflush(FILE *stream)
{
	if (failing("fflush"))
		return EOF;
	return next<int(FILE *)>("fflush")(stream);
}

#ifdef FAIL_MALLOC
/* Only the request buffer's size fails: the C library's own allocations must still work. */
void *
malloc(size_t size)
{
	if (size == 512 && failing("malloc"))
		return nullptr;
	static void *(*system_malloc)(size_t) = nullptr;
	if (system_malloc == nullptr)
		system_malloc = next<void *(size_t)>("malloc");
	return system_malloc(size);
}
#endif
}
