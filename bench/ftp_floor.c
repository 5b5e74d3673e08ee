/* The floor of the FTP benchmark: the least a client can do to fetch one file by FTP. Connect,
 * log in, TYPE I, PASV, RETR, then one recv loop into a 256 KiB buffer and write(2) to the
 * output, with no event loop, no progress and no checks beyond what ends the transfer. Whatever
 * our FTP component costs above this is its own overhead.
 *
 *   ftp_floor HOST PORT USER PASSWORD REMOTE LOCAL
 *
 * Exit status 0 when the completion reply is 2xx. Every read has a 30 s bound. */
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

static char line[4096];

static int dial(const char* host, int port) {
    struct sockaddr_in a;
    struct timeval tv = {30, 0};
    int s = socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0)
        return -1;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons((unsigned short)port);
    if (inet_pton(AF_INET, host, &a.sin_addr) != 1 ||
        connect(s, (struct sockaddr*)&a, sizeof a) != 0) {
        close(s);
        return -1;
    }
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    return s;
}

/* Reads one whole reply (continuation lines included); returns its code, or -1. */
static int reply(int s) {
    for (;;) {
        size_t n = 0;
        char c;
        while (n + 1 < sizeof line) {
            if (recv(s, &c, 1, 0) != 1)
                return -1;
            line[n++] = c;
            if (c == '\n')
                break;
        }
        line[n] = '\0';
        if (n >= 4 && line[0] >= '1' && line[0] <= '5' && line[3] == ' ')
            return atoi(line);
    }
}

static int command(int s, const char* verb, const char* arg) {
    char out[1100];
    int n = snprintf(out, sizeof out, arg ? "%s %s\r\n" : "%s\r\n", verb, arg);
    if (n < 0 || (size_t)n >= sizeof out || send(s, out, (size_t)n, 0) != n)
        return -1;
    return reply(s);
}

int main(int argc, char** argv) {
    static char buffer[256 * 1024];
    unsigned h[6];
    const char* p;
    int ctrl, data, out, code;
    if (argc != 7) {
        fprintf(stderr, "usage: ftp_floor HOST PORT USER PASSWORD REMOTE LOCAL\n");
        return 2;
    }
    ctrl = dial(argv[1], atoi(argv[2]));
    if (ctrl < 0 || reply(ctrl) != 220)
        return 1;
    code = command(ctrl, "USER", argv[3]);
    if (code == 331)
        code = command(ctrl, "PASS", argv[4]);
    if (code != 230 || command(ctrl, "TYPE", "I") != 200 || command(ctrl, "PASV", NULL) != 227)
        return 1;
    p = strchr(line, '(');
    if (!p || sscanf(p + 1, "%u,%u,%u,%u,%u,%u", &h[0], &h[1], &h[2], &h[3], &h[4], &h[5]) != 6 ||
        h[4] > 255 || h[5] > 255)
        return 1;
    data = dial(argv[1], (int)(h[4] * 256 + h[5]));
    if (data < 0)
        return 1;
    code = command(ctrl, "RETR", argv[5]);
    if (code != 150 && code != 125)
        return 1;
    out = open(argv[6], O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0)
        return 1;
    for (;;) {
        ssize_t n = recv(data, buffer, sizeof buffer, 0);
        if (n == 0)
            break;
        if (n < 0 || write(out, buffer, (size_t)n) != n)
            return 1;
    }
    close(data);
    close(out);
    code = reply(ctrl);
    command(ctrl, "QUIT", NULL);
    return code >= 200 && code < 300 ? 0 : 1;
}
