// FTP replies as the server sends them, read by the client's own code over a real loopback
// connection: the first line and its code (Transaction), or a line read with ReadLn and the
// continuation lines after it (FinishReply). The peer sends the whole input and then ends its
// side, so every read ends: with a line, or with the close.
//
// Checked against a model of the reply format: the code is the leading decimal digits (at most
// ten) when they fit 16 bits, else 0; a line continues the reply when it starts with a blank or
// has "-" fourth; the lines read (and reported) are exactly those of the reply and no more, a
// line cut short by the close counts as no line, and what is left of the input stays unread.
//
// Input: a flags byte (bit 0: ReadLn + FinishReply instead of Transaction), then the bytes the
// server sends.
#include "FuzzCheck.h"
#include "net/FtpClient.h"

#include <QCoreApplication>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

int ListenOnLoopback(quint16& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    FUZZ_CHECK(fd >= 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    FUZZ_CHECK(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0);
    FUZZ_CHECK(::listen(fd, 4) == 0);
    socklen_t len = sizeof addr;
    FUZZ_CHECK(::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0);
    port = ntohs(addr.sin_port);
    return fd;
}

void SendAll(int fd, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        FUZZ_CHECK(n > 0);
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

qint16 ModelCode(const std::string& line) {
    long long value = 0;
    std::size_t digits = 0;
    while (digits < 10 && digits < line.size() && line[digits] >= '0' && line[digits] <= '9')
        value = value * 10 + (line[digits++] - '0');
    return digits == 0 || value > 32767 ? 0 : static_cast<qint16>(value);
}

bool ModelContinues(const std::string& line) {
    return !line.empty() && (line[0] == ' ' || (line.size() >= 4 && line[3] == '-'));
}

QString Latin1(const std::string& s) {
    return QString::fromLatin1(s.data(), static_cast<qsizetype>(s.size()));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static int argc = 1;
    static char name[] = "ftp_reply_fuzz";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    static quint16 port = 0;
    static const int listenFd = ListenOnLoopback(port);

    FuzzInput in(data, size);
    const bool finishReply = in.byte() & 1;
    const std::vector<std::uint8_t> wire = in.rest();

    // The complete lines the server sends; a tail without LF is lost in the close.
    std::vector<std::string> lines;
    std::size_t begin = 0;
    for (std::size_t i = 0; i < wire.size(); ++i)
        if (wire[i] == '\n') {
            lines.emplace_back(reinterpret_cast<const char*>(wire.data()) + begin, i + 1 - begin);
            begin = i + 1;
        }
    for (const std::string& line : lines)
        FUZZ_CHECK(TFtpClient::IsContinuationLine(Latin1(line)) == ModelContinues(line));

    // The model: the first line, then lines while the previous one continues the reply.
    std::vector<std::string> expected;
    if (!lines.empty()) {
        expected.push_back(lines[0]);
        while (ModelContinues(expected.back()) && expected.size() < lines.size())
            expected.push_back(lines[expected.size()]);
    }
    const std::string first = lines.empty() ? std::string() : lines[0];
    FUZZ_CHECK(TFtpClient::ParseReplyCode(Latin1(first)) == ModelCode(first));
    const qint16 code = TFtpClient::ParseReplyCode(Latin1(first));
    FUZZ_CHECK(code >= 0 && code <= 32767);

    TFtpClient client;
    client.SetHost(QStringLiteral("127.0.0.1"));
    client.SetPort(port);
    client.SetTimeOut(20);
    client.SetReportLevel(1);
    QStringList reported;
    client.OnStatus = [&reported](QObject*, const QString& status) { reported << status; };
    client.TAsyncSocket::Connect(); // the bare connection, no login
    FUZZ_CHECK(client.Connected());
    const int peer = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    FUZZ_CHECK(peer >= 0);
    SendAll(peer, wire.data(), wire.size());
    ::shutdown(peer, SHUT_WR);

    QString last;
    if (finishReply) {
        const QString line = client.ReadLn();
        FUZZ_CHECK(line == Latin1(first));
        reported.clear(); // ReadLn reports nothing at level 1; FinishReply reports the rest
        last = client.FinishReply(line);
        FUZZ_CHECK(reported.size() + 1 ==
                   static_cast<qsizetype>(qMax<std::size_t>(1, expected.size())));
    } else {
        const QString got = client.Transaction(QStringLiteral("NOOP"));
        FUZZ_CHECK(got == Latin1(first));
        FUZZ_CHECK(client.LastReply() == got);
        FUZZ_CHECK(client.ReplyCode() == code);
        last = reported.isEmpty() ? QString() : reported.back();
        FUZZ_CHECK(reported.size() == static_cast<qsizetype>(expected.size()));
        if (!reported.isEmpty())
            reported.removeFirst();
    }
    // Exactly the reply's lines were read and reported, and the last of them comes back.
    for (qsizetype i = 0; i < reported.size(); ++i)
        FUZZ_CHECK(reported[i] == Latin1(expected[static_cast<std::size_t>(i) + 1]));
    FUZZ_CHECK(last == (expected.empty() ? QString() : Latin1(expected.back())));
    // Nothing past the reply was consumed: the next line read is the next line sent.
    if (expected.size() < lines.size())
        FUZZ_CHECK(client.ReadLn() == Latin1(lines[expected.size()]));
    ::close(peer);
    return 0;
}
