#pragma once
// TLS for the socket component: a client configuration shared by an FTP session's connections,
// and the TLS state of one connected socket. OpenSSL reads and writes the socket through the
// platform's socket calls (WsRecv/WsSend), so that the notices, the reset bookkeeping and the
// waits of the socket component stay exactly as they are for a plain connection.
#include "AsyncSocket.h"

#include <QString>
#include <memory>

struct ssl_ctx_st;
struct ssl_st;
struct ssl_session_st;
struct bio_st;

// TLS refused by the server, a failed handshake or certificate check, or a broken TLS record.
// The text is one line that names the reason.
class ETlsError : public ESockError {
public:
    using ESockError::ESockError;
};

// Trust and protocol floor of a TLS client: TLS 1.2 or newer, the peer's certificate checked
// against CaFile (PEM) when given, else against the system's trusted certificates. Each
// certificate in CaFile is trusted on its own: a CA that signed the server's certificate, or
// the server's certificate itself (self-signed or signed by a CA that is not in the file).
class TTlsContext {
public:
    // A CaFile larger than this is refused: a bundle of every public CA is about 200 KiB.
    static constexpr qint64 MaxCaFileBytes = 1024 * 1024;

    // Raises ETlsError when CaFile is given and cannot be loaded: not found, not a regular file
    // (a FIFO is refused at once, never waited on), too large, or holding no PEM certificate.
    explicit TTlsContext(const QString& CaFile);
    ~TTlsContext();
    TTlsContext(const TTlsContext&) = delete;
    TTlsContext& operator=(const TTlsContext&) = delete;

    ssl_ctx_st* Handle() const { return Ctx_; }

private:
    // Adds CaFile's certificates to the trust store; the refusal's text, or empty.
    QString TrustCaFile(const QString& CaFile);
    // Trusts the system's roots; false when there are none.
    bool TrustSystemRoots();

    ssl_ctx_st* Ctx_ = nullptr;
};

// The client end of TLS on one connected, non-blocking socket handle. Results follow
// WsRecv/WsSend: a count, 0 when the peer has closed, or -1 with the reason in WsGetLastError()
// (WSAEWOULDBLOCK while TLS waits for the socket). A broken record raises ETlsError.
class TTlsChannel {
public:
    enum class Step { Done, WantRead, WantWrite };

    // PeerName is what the certificate must be for: a host name or an IPv4 address. Resume, when
    // given, is the session of the connection this one belongs to (data after control).
    TTlsChannel(std::shared_ptr<TTlsContext> Context, WsHandle Socket, const QString& PeerName,
                const TTlsChannel* Resume);
    ~TTlsChannel();
    TTlsChannel(const TTlsChannel&) = delete;
    TTlsChannel& operator=(const TTlsChannel&) = delete;

    // One step of the handshake; raises ETlsError when it fails (the reason in the text).
    Step Handshake();
    bool Established() const;
    // True when the handshake took up the session given as Resume.
    bool Resumed() const;

    // Peek: bytes of the next record only. A receive takes as many records as are there, up to
    // Length, so that a large buffer costs one call per buffer rather than per record.
    int Receive(char* Buffer, int Length, bool Peek);
    int Send(const char* Data, int Length);
    // Sends close_notify once if the handshake was done and nothing broke; never waits for the
    // peer's.
    void Close();

    // The link between OpenSSL's socket reads and writes and this channel.
    struct Link {
        WsHandle Socket = WS_INVALID_SOCKET;
        int Error = 0;    // the platform error the last read or write met (0: none)
        bool Eof = false; // a read found the peer's end of the stream
    };

private:
    [[noreturn]] void Fail(const QString& What);
    int Refuse(int Result);

    Link Link_;
    std::shared_ptr<TTlsContext> Context_;
    ssl_st* Ssl_ = nullptr;
    bool Broken_ = false; // a fatal error: no close_notify may follow
    bool Closed_ = false;
};
