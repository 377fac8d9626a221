/*
 * tcp_sender.c - syslog-over-TCP load generator for bench/tcp.sh.
 *
 * Opens C connections to HOST:PORT, then sends N messages in total, split as
 * evenly as possible over them, as fast as the receiver takes them (TCP flow
 * control paces it). The messages are those of bench/peers/sender.c:
 *   <13>Dec  8 10:00:00 benchhost bench: message 0000042 abcdefghij...
 * padded to SIZE bytes (default 100), each with a distinct 7-digit sequence
 * number (connection i sends one contiguous range), framed as
 *   octet (default)  octet counting, "LEN SP MSG" (RFC 6587 3.4.1)
 *   lf               non-transparent framing, MSG LF (RFC 6587 3.4.2)
 * One thread drives all connections, non-blocking, with poll(2).
 *
 * The clock starts once every connection is established and stops when the
 * last byte has been handed to the kernel; each connection is then shut down
 * for writing and closed (its queued data still goes out). Prints one line:
 *   sent=N errors=0 connections=C framing=F start=<unix s> end=<unix s>
 *   elapsed=<s> rate=<msg/s> user_cpu=<s> sys_cpu=<s>
 * and exits 1 (with a message on stderr) if a connection fails or the
 * receiver closes one before all its messages went out.
 *
 * Build: cc -O2 -Wall -o tcp_sender tcp_sender.c
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#define MAXCONN 1000
#define MAXSIZE 8192
#define CHUNK_MSGS 256 /* messages framed into one buffer per refill */

struct conn {
    int fd;
    uint64_t next, end;  /* sequence numbers still to frame: [next, end) */
    char *buf;           /* framed messages not yet written: [off, len) */
    size_t off, len;
};

static void usage(const char *p)
{
    fprintf(stderr,
            "usage: %s [-h host] [-p port] [-c connections] [-n count] [-s size_bytes]\n"
            "          [-S first_seq] [-F octet|lf] [-B sndbuf_bytes]\n"
            "  defaults: -h 127.0.0.1 -p 15514 -c 1 -n 200000 -s 100 -S 0 -F octet\n",
            p);
    exit(2);
}

static double now_mono(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

static double now_real(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

/* write seq as exactly `w` decimal digits (zero padded) */
static void put_seq(char *dst, uint64_t seq, int w)
{
    for (int i = w - 1; i >= 0; i--) { dst[i] = (char)('0' + seq % 10); seq /= 10; }
}

static const char hdr[] = "<13>Dec  8 10:00:00 benchhost bench: message ";
enum { HLEN = sizeof hdr - 1, SEQW = 7 };

/* Frames the connection's next messages into its buffer; the template
 * `frame` (prefix, message, suffix) only needs its sequence digits set. */
static void refill(struct conn *c, const char *frame, size_t flen, size_t seq_at)
{
    size_t k = 0;
    while (k < CHUNK_MSGS && c->next < c->end) {
        char *f = c->buf + k * flen;
        memcpy(f, frame, flen);
        put_seq(f + seq_at, c->next, SEQW);
        c->next++;
        k++;
    }
    c->off = 0;
    c->len = k * flen;
}

int main(int argc, char **argv)
{
    const char *host = "127.0.0.1", *framing = "octet";
    int port = 15514, conns = 1, size = 100, sndbuf = 0;
    uint64_t n = 200000, first = 0;
    int opt;
    while ((opt = getopt(argc, argv, "h:p:c:n:s:S:F:B:")) != -1) {
        switch (opt) {
        case 'h': host = optarg; break;
        case 'p': port = atoi(optarg); break;
        case 'c': conns = atoi(optarg); break;
        case 'n': n = strtoull(optarg, NULL, 10); break;
        case 's': size = atoi(optarg); break;
        case 'S': first = strtoull(optarg, NULL, 10); break;
        case 'F': framing = optarg; break;
        case 'B': sndbuf = atoi(optarg); break;
        default: usage(argv[0]);
        }
    }
    const int octet = strcmp(framing, "octet") == 0;
    if ((!octet && strcmp(framing, "lf") != 0) || conns < 1 || conns > MAXCONN ||
        size < HLEN + SEQW + 2 || size > MAXSIZE || port <= 0)
        usage(argv[0]);
    /* sequence numbers wider than 7 digits would shift the payload */
    if (first + n > 9999999ULL) { fprintf(stderr, "first_seq+count must be < 10^7\n"); return 2; }

    /* One framed message as the template of all. */
    char frame[MAXSIZE + 16];
    size_t flen = 0;
    if (octet) flen = (size_t)sprintf(frame, "%d ", size);
    const size_t seq_at = flen + HLEN;
    memcpy(frame + flen, hdr, HLEN);
    memset(frame + seq_at, '0', SEQW);
    frame[seq_at + SEQW] = ' ';
    for (int j = HLEN + SEQW + 1; j < size; j++) frame[flen + (size_t)j] = (char)('a' + (j % 26));
    flen += (size_t)size;
    if (!octet) frame[flen++] = '\n';

    struct sockaddr_in sa;
    memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_port = htons((uint16_t)port);
    if (inet_pton(AF_INET, host, &sa.sin_addr) != 1) { fprintf(stderr, "bad host %s\n", host); return 2; }

    struct conn *cs = calloc((size_t)conns, sizeof *cs);
    struct pollfd *pfd = calloc((size_t)conns, sizeof *pfd);
    if (!cs || !pfd) { perror("calloc"); return 1; }
    uint64_t from = first;
    for (int i = 0; i < conns; i++) {
        struct conn *c = &cs[i];
        uint64_t share = n / (uint64_t)conns + ((uint64_t)i < n % (uint64_t)conns ? 1 : 0);
        c->next = from;
        c->end = from + share;
        from += share;
        c->buf = malloc(CHUNK_MSGS * flen);
        if (!c->buf) { perror("malloc"); return 1; }
        c->fd = socket(AF_INET, SOCK_STREAM, 0);
        if (c->fd < 0) { perror("socket"); return 1; }
        if (sndbuf > 0 && setsockopt(c->fd, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf) < 0)
            perror("SO_SNDBUF");
        /* Blocking connect: a receiver slow to accept only delays the start. */
        if (connect(c->fd, (struct sockaddr *)&sa, sizeof sa) < 0) {
            fprintf(stderr, "connect %d of %d: %s\n", i + 1, conns, strerror(errno));
            return 1;
        }
        fcntl(c->fd, F_SETFL, fcntl(c->fd, F_GETFL) | O_NONBLOCK);
    }

    uint64_t sent = 0;
    int open_conns = conns;
    /* ready[i]: connection i may take more (all at the start, then what poll
     * found writable or failed); who[k]: the connection of pfd[k]. */
    char *ready = malloc((size_t)conns);
    int *who = malloc((size_t)conns * sizeof *who);
    if (!ready || !who) { perror("malloc"); return 1; }
    memset(ready, 1, (size_t)conns);
    double t0r = now_real();
    double t0 = now_mono();
    while (open_conns > 0) {
        int np = 0;
        for (int i = 0; i < conns; i++) {
            struct conn *c = &cs[i];
            if (c->fd < 0) continue;
            if (ready[i]) {
                for (;;) {
                    if (c->off == c->len) {
                        sent += c->len / flen;
                        c->off = c->len = 0;
                        if (c->next == c->end) break;
                        refill(c, frame, flen, seq_at);
                    }
                    ssize_t w = send(c->fd, c->buf + c->off, c->len - c->off, MSG_NOSIGNAL);
                    if (w > 0) { c->off += (size_t)w; continue; }
                    if (w < 0 && errno == EINTR) continue;
                    if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
                    fprintf(stderr, "connection %d of %d: %s; %llu messages sent in all\n", i + 1, conns,
                            w < 0 ? strerror(errno) : "no progress", (unsigned long long)sent);
                    return 1;
                }
                if (c->len == 0 && c->next == c->end) {
                    shutdown(c->fd, SHUT_WR);
                    close(c->fd);
                    c->fd = -1;
                    open_conns--;
                    continue;
                }
            }
            who[np] = i;
            pfd[np].fd = c->fd;
            pfd[np].events = POLLOUT;
            pfd[np].revents = 0;
            np++;
        }
        if (np == 0) continue;
        if (poll(pfd, (nfds_t)np, -1) < 0 && errno != EINTR) { perror("poll"); return 1; }
        for (int k = 0; k < np; k++) ready[who[k]] = pfd[k].revents != 0;
    }
    double el = now_mono() - t0;
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    printf("sent=%llu errors=0 connections=%d framing=%s start=%.6f end=%.6f elapsed=%.6f rate=%.0f "
           "user_cpu=%.3f sys_cpu=%.3f\n",
           (unsigned long long)sent, conns, framing, t0r, t0r + el, el, el > 0 ? (double)sent / el : 0.0,
           ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6, ru.ru_stime.tv_sec + ru.ru_stime.tv_usec / 1e6);
    return 0;
}
