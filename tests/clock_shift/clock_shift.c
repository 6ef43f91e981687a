/* A wall-clock step as one program sees it, for the process tests: preloaded,
 * it shifts CLOCK_REALTIME and the kernel's SO_TIMESTAMPNS receive stamps by
 * the milliseconds written in the file named by KEYLINE_CLOCK_SHIFT_FILE, read
 * at each call (no file, or no number in it: no shift). The monotonic clock is
 * left alone. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

static long long shift_ns(void)
{
    const char* path = getenv("KEYLINE_CLOCK_SHIFT_FILE");
    char text[32];
    ssize_t n;
    int fd;
    if (!path || (fd = open(path, O_RDONLY | O_CLOEXEC)) < 0)
        return 0;
    n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n <= 0)
        return 0;
    text[n] = '\0';
    return strtoll(text, NULL, 10) * 1000000LL;
}

static void shift(struct timespec* t, long long ns)
{
    long long total = (long long)t->tv_nsec + ns % 1000000000LL;
    t->tv_sec += ns / 1000000000LL + total / 1000000000LL;
    total %= 1000000000LL;
    if (total < 0) {
        total += 1000000000LL;
        t->tv_sec -= 1;
    }
    t->tv_nsec = total;
}

int clock_gettime(clockid_t clock, struct timespec* t)
{
    static int (*real)(clockid_t, struct timespec*);
    int result;
    if (!real)
        real = (int (*)(clockid_t, struct timespec*))dlsym(RTLD_NEXT, "clock_gettime");
    result = real(clock, t);
    if (result == 0 && clock == CLOCK_REALTIME)
        shift(t, shift_ns());
    return result;
}

ssize_t recvmsg(int fd, struct msghdr* message, int flags)
{
    static ssize_t (*real)(int, struct msghdr*, int);
    struct cmsghdr* c;
    ssize_t size;
    if (!real)
        real = (ssize_t (*)(int, struct msghdr*, int))dlsym(RTLD_NEXT, "recvmsg");
    size = real(fd, message, flags);
    if (size < 0)
        return size;
    for (c = CMSG_FIRSTHDR(message); c; c = CMSG_NXTHDR(message, c))
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS)
            shift((struct timespec*)CMSG_DATA(c), shift_ns());
    return size;
}
