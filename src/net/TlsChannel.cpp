#include "TlsChannel.h"

#include "platform/FileSystem.h"
#include "platform/Socket.h"
#include "platform/SocketNotifier.h"
#include "platform/TrustStore.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

namespace {

// OpenSSL reads ahead into a buffer of this size: a fast sender's records then cost one socket
// read per buffer, as a plain receive of the same size would.
constexpr size_t ReadAheadBytes = ReceiveChunkSize;

QString OpenSslReason() {
    const unsigned long e = ERR_peek_last_error();
    if (e == 0)
        return {};
    const char* reason = ERR_reason_error_string(e);
    return reason ? QString::fromLatin1(reason) : QStringLiteral("error %1").arg(e);
}

// OpenSSL's reads and writes go through the platform's socket calls: a receive re-arms the
// read notice as any receive of the component does, and a reset is kept and reported the same.
int LinkWrite(BIO* bio, const char* data, int length) {
    auto* link = static_cast<TTlsChannel::Link*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    const int n = WsSend(link->Socket, data, length);
    if (n >= 0)
        return n;
    const int error = WsGetLastError();
    if (error == WSAEWOULDBLOCK)
        BIO_set_retry_write(bio);
    else
        link->Error = error;
    return -1;
}

int LinkRead(BIO* bio, char* buffer, int length) {
    auto* link = static_cast<TTlsChannel::Link*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    const int n = WsRecv(link->Socket, buffer, length, false);
    if (n > 0)
        return n;
    if (n == 0) {
        link->Eof = true;
        return 0;
    }
    const int error = WsGetLastError();
    if (error == WSAEWOULDBLOCK)
        BIO_set_retry_read(bio);
    else
        link->Error = error;
    return -1;
}

long LinkControl(BIO* bio, int command, long, void*) {
    switch (command) {
    case BIO_CTRL_FLUSH:
        return 1; // nothing is buffered on this side
    case BIO_CTRL_EOF:
        return static_cast<TTlsChannel::Link*>(BIO_get_data(bio))->Eof ? 1 : 0;
    default:
        return 0;
    }
}

BIO_METHOD* LinkMethod() {
    static BIO_METHOD* const method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "pcv socket");
        if (m) {
            BIO_meth_set_write(m, LinkWrite);
            BIO_meth_set_read(m, LinkRead);
            BIO_meth_set_ctrl(m, LinkControl);
        }
        return m;
    }();
    return method;
}

} // namespace

// --- TTlsContext

TTlsContext::TTlsContext(const QString& CaFile) {
    Ctx_ = SSL_CTX_new(TLS_client_method());
    if (!Ctx_)
        throw ETlsError(QStringLiteral("TLS not available: ") + OpenSslReason());
    SSL_CTX_set_min_proto_version(Ctx_, TLS1_2_VERSION);
    SSL_CTX_set_verify(Ctx_, SSL_VERIFY_PEER, nullptr);
    // A renegotiation would make a write wait for the peer's bytes. A stream that ends without
    // close_notify is ended as a plain connection would be: FTP servers often skip it, the
    // completion reply and the caller's size check judge a short file, as without TLS.
    SSL_CTX_set_options(Ctx_, SSL_OP_NO_RENEGOTIATION | SSL_OP_IGNORE_UNEXPECTED_EOF);
    SSL_CTX_set_mode(Ctx_, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_CTX_set_read_ahead(Ctx_, 1);
    SSL_CTX_set_default_read_buffer_len(Ctx_, ReadAheadBytes);
    ERR_clear_error();
    QString problem;
    if (CaFile.isEmpty()) {
        if (!TrustSystemRoots())
            problem = QStringLiteral("TLS: no trusted certificates");
    } else {
        problem = TrustCaFile(CaFile);
    }
    if (!problem.isEmpty()) {
        const QString reason = OpenSslReason();
        SSL_CTX_free(Ctx_);
        Ctx_ = nullptr;
        ERR_clear_error();
        throw ETlsError(problem + (reason.isEmpty() ? QString() : QStringLiteral(": ") + reason));
    }
}

// The system's roots: OpenSSL's default paths where it reads them itself, else the platform's
// store handed over certificate by certificate. False when not one root could be trusted.
bool TTlsContext::TrustSystemRoots() {
    const SystemTrust trust = SystemTrustAnchors();
    if (trust.openSslDefaults)
        return SSL_CTX_set_default_verify_paths(Ctx_) == 1;
    X509_STORE* store = SSL_CTX_get_cert_store(Ctx_);
    int added = 0;
    for (const QByteArray& der : trust.certificates) {
        const unsigned char* bytes = reinterpret_cast<const unsigned char*>(der.constData());
        X509* cert = d2i_X509(nullptr, &bytes, static_cast<long>(der.size()));
        // A root the store holds twice, or one OpenSSL cannot read, is passed over.
        if (cert && X509_STORE_add_cert(store, cert) == 1)
            ++added;
        X509_free(cert);
    }
    ERR_clear_error();
    return added > 0;
}

// CaFile is read by the launcher itself, never by OpenSSL's own file reading: the open must not
// wait on a FIFO or a device named there, and the read has a size limit. Every certificate in it
// is a trust anchor on its own (partial chain): a CA, an intermediate, or the server's own
// certificate, self-signed or signed by a CA that is not in the file.
QString TTlsContext::TrustCaFile(const QString& CaFile) {
    const QString prefix = QStringLiteral("TLS: CaFile cannot be used: ") + CaFile;
    const FileContents file = ReadRegularFile(CaFile, MaxCaFileBytes);
    if (!file.ok)
        return prefix + QStringLiteral(": ") + file.reason;
    X509_STORE* store = SSL_CTX_get_cert_store(Ctx_);
    BIO* bio = BIO_new_mem_buf(file.bytes.constData(), static_cast<int>(file.bytes.size()));
    STACK_OF(X509_INFO)* infos =
        bio ? PEM_X509_INFO_read_bio(bio, nullptr, nullptr, nullptr) : nullptr;
    BIO_free(bio);
    int added = 0;
    bool failed = infos == nullptr;
    for (int i = 0; infos && i < sk_X509_INFO_num(infos); ++i) {
        X509* cert = sk_X509_INFO_value(infos, i)->x509;
        if (!cert)
            continue;
        if (X509_STORE_add_cert(store, cert) == 1)
            ++added;
        else
            failed = true;
    }
    sk_X509_INFO_pop_free(infos, X509_INFO_free);
    if (failed)
        return prefix + QStringLiteral(": not a PEM certificate file");
    if (added == 0)
        return prefix + QStringLiteral(": no certificate in it");
    ERR_clear_error();
    X509_STORE_set_flags(store, X509_V_FLAG_PARTIAL_CHAIN);
    return {};
}

TTlsContext::~TTlsContext() {
    SSL_CTX_free(Ctx_);
}

// --- TTlsChannel

TTlsChannel::TTlsChannel(std::shared_ptr<TTlsContext> Context, WsHandle Socket,
                         const QString& PeerName, const TTlsChannel* Resume)
    : Context_(std::move(Context)) {
    Link_.Socket = Socket;
    if (PeerName.isEmpty())
        throw ETlsError(QStringLiteral("TLS: no server name to check the certificate against"));
    ERR_clear_error();
    BIO_METHOD* method = LinkMethod();
    Ssl_ = method ? SSL_new(Context_->Handle()) : nullptr;
    BIO* bio = Ssl_ ? BIO_new(method) : nullptr;
    if (!bio) {
        SSL_free(Ssl_);
        Ssl_ = nullptr;
        throw ETlsError(QStringLiteral("TLS not available: ") + OpenSslReason());
    }
    BIO_set_data(bio, &Link_);
    BIO_set_init(bio, 1);
    SSL_set_bio(Ssl_, bio, bio);
    SSL_set_connect_state(Ssl_);

    // The certificate must be for the configured server: an address is matched as an address,
    // anything else as a host name, and only a host name goes out as SNI.
    const QByteArray name = PeerName.toUtf8();
    X509_VERIFY_PARAM* param = SSL_get0_param(Ssl_);
    X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    bool named = X509_VERIFY_PARAM_set1_ip_asc(param, name.constData()) == 1;
    if (!named)
        named = X509_VERIFY_PARAM_set1_host(param, name.constData(), 0) == 1 &&
                SSL_set_tlsext_host_name(Ssl_, name.constData()) == 1;
    if (!named) {
        SSL_free(Ssl_);
        Ssl_ = nullptr;
        throw ETlsError(QStringLiteral("TLS: not a usable server name: ") + PeerName);
    }
    if (Resume && Resume->Ssl_) {
        if (SSL_SESSION* session = SSL_get_session(Resume->Ssl_))
            SSL_set_session(Ssl_, session);
    }
}

TTlsChannel::~TTlsChannel() {
    SSL_free(Ssl_);
}

void TTlsChannel::Fail(const QString& What) {
    Broken_ = true;
    QString reason;
    const long verify = SSL_get_verify_result(Ssl_);
    if (verify != X509_V_OK && !SSL_is_init_finished(Ssl_))
        reason = QStringLiteral("certificate refused: ") +
                 QString::fromLatin1(X509_verify_cert_error_string(verify));
    else if (Link_.Error != 0)
        reason = QStringLiteral("socket error %1").arg(Link_.Error);
    else if (const QString openssl = OpenSslReason(); !openssl.isEmpty())
        reason = openssl;
    else
        reason = QStringLiteral("the connection was closed");
    ERR_clear_error();
    throw ETlsError(What + QStringLiteral(": ") + reason);
}

TTlsChannel::Step TTlsChannel::Handshake() {
    ERR_clear_error();
    Link_.Error = 0;
    const int result = SSL_do_handshake(Ssl_);
    if (result == 1)
        return Step::Done;
    switch (SSL_get_error(Ssl_, result)) {
    case SSL_ERROR_WANT_READ:
        return Step::WantRead;
    case SSL_ERROR_WANT_WRITE:
        return Step::WantWrite;
    default:
        Fail(QStringLiteral("TLS handshake failed"));
    }
}

bool TTlsChannel::Established() const {
    return SSL_is_init_finished(Ssl_) == 1;
}

bool TTlsChannel::Resumed() const {
    return SSL_session_reused(Ssl_) == 1;
}

// The outcome of a read or write that did not succeed, as a platform result.
int TTlsChannel::Refuse(int Result) {
    switch (SSL_get_error(Ssl_, Result)) {
    case SSL_ERROR_WANT_READ:
        WsSetLastError(WSAEWOULDBLOCK);
        return -1;
    case SSL_ERROR_WANT_WRITE:
        // The wait that follows must wake when the socket takes bytes again.
        WsWakeWhenWritable(Link_.Socket);
        WsSetLastError(WSAEWOULDBLOCK);
        return -1;
    case SSL_ERROR_ZERO_RETURN:
        return 0;
    case SSL_ERROR_SYSCALL:
        Broken_ = true;
        if (Link_.Error != 0) {
            // A reset or another socket error: reported as on a plain connection.
            WsSetLastError(Link_.Error);
            return -1;
        }
        if (Link_.Eof)
            return 0;
        Fail(QStringLiteral("TLS error"));
    default:
        Fail(QStringLiteral("TLS error"));
    }
}

int TTlsChannel::Receive(char* Buffer, int Length, bool Peek) {
    if (Length <= 0)
        return 0;
    if (!SSL_is_init_finished(Ssl_)) {
        // Nothing to read before the handshake is through (and a peek must not drive it).
        WsSetLastError(WSAEWOULDBLOCK);
        return -1;
    }
    int got = 0;
    for (;;) {
        ERR_clear_error();
        Link_.Error = 0;
        size_t n = 0;
        const int ok = Peek
                           ? SSL_peek_ex(Ssl_, Buffer, static_cast<size_t>(Length), &n)
                           : SSL_read_ex(Ssl_, Buffer + got, static_cast<size_t>(Length - got), &n);
        if (ok == 1) {
            got += static_cast<int>(n);
            if (Peek || got == Length)
                return got;
            continue;
        }
        // What ended the run comes again with the next call (a reset and a fatal alert stay).
        if (got > 0)
            return got;
        return Refuse(ok);
    }
}

int TTlsChannel::Send(const char* Data, int Length) {
    if (Length <= 0)
        return 0;
    ERR_clear_error();
    Link_.Error = 0;
    size_t n = 0;
    const int ok = SSL_write_ex(Ssl_, Data, static_cast<size_t>(Length), &n);
    if (ok == 1)
        return static_cast<int>(n);
    if (SSL_get_error(Ssl_, ok) == SSL_ERROR_WANT_READ) {
        // Only a renegotiation makes a write wait for the peer, and it is refused.
        Broken_ = true;
        throw ETlsError(QStringLiteral("TLS error: the server asked for a renegotiation"));
    }
    return Refuse(ok);
}

void TTlsChannel::Close() {
    if (Closed_)
        return;
    Closed_ = true;
    if (Broken_ || !SSL_is_init_finished(Ssl_))
        return;
    // One attempt: the alert goes out if the socket takes it; the peer's is not waited for.
    ERR_clear_error();
    SSL_shutdown(Ssl_);
    ERR_clear_error();
}
