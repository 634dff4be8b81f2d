#include "support/SaslPop3Server.h"

#include "mail/pop3/KelSasl.h"
#include "support/TlsServer.h"

#include <csignal>
#include <cstring>
#include <gsasl.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace sweepbox::test {

namespace {

constexpr const char* kUser = "test";
constexpr const char* kPassword = "secret";

int Callback(Gsasl*, Gsasl_session* Session, Gsasl_property Property) {
    if (Property == GSASL_PASSWORD) {
        const char* user = ::gsasl_property_fast(Session, GSASL_AUTHID);
        if (user && std::strcmp(user, kUser) == 0)
            return ::gsasl_property_set(Session, GSASL_PASSWORD, kPassword);
        return GSASL_NO_PASSWORD;
    }
    return GSASL_NO_CALLBACK;
}

std::string Base64(const std::string& Bytes) { return kel::SaslBase64(Bytes); }

std::string UnBase64(const std::string& Text) {
    std::string bytes;
    kel::SaslUnBase64(Text, bytes);
    return bytes;
}

} // namespace

SaslPop3Server::SaslPop3Server(SaslServerOptions Options) : FOptions(std::move(Options)) {
    ::signal(SIGPIPE, SIG_IGN);
    if (FOptions.Tls)
        FCtx = NewServerContext(TestCert::Valid, FOptions.MaxVersion);
    FListen = ListenOn("127.0.0.1", Port);
    FThread = std::thread([this] { Serve(); });
}

SaslPop3Server::~SaslPop3Server() {
    Finish();
    ::close(FListen);
    if (FCtx)
        ::SSL_CTX_free(FCtx);
}

std::vector<std::string> SaslPop3Server::Finish() {
    if (FThread.joinable()) {
        ::shutdown(FListen, SHUT_RDWR); // ends an accept still waiting
        FThread.join();
    }
    std::lock_guard<std::mutex> lock(FMutex);
    return FLines;
}

bool SaslPop3Server::ReadLine(int Fd, SSL* Ssl, std::string& Buffer, std::string& Line) {
    for (;;) {
        if (const size_t end = Buffer.find("\r\n"); end != std::string::npos) {
            Line = Buffer.substr(0, end);
            Buffer.erase(0, end + 2);
            std::lock_guard<std::mutex> lock(FMutex);
            FLines.push_back(Line);
            return true;
        }
        if (Buffer.size() > 64 * 1024)
            return false;
        char chunk[4096];
        const long n = Ssl ? ::SSL_read(Ssl, chunk, sizeof chunk) : ::recv(Fd, chunk, sizeof chunk, 0);
        if (n <= 0)
            return false;
        Buffer.append(chunk, static_cast<size_t>(n));
    }
}

void SaslPop3Server::Serve() {
    const int fd = AcceptBounded(FListen);
    if (fd < 0)
        return;
    SSL* ssl = nullptr;
    if (FCtx) {
        ssl = ::SSL_new(FCtx);
        ::SSL_set_fd(ssl, fd);
        if (::SSL_accept(ssl) != 1) {
            ::SSL_free(ssl);
            ::close(fd);
            return;
        }
    }
    auto send = [&](const std::string& Text) {
        if (ssl)
            ::SSL_write(ssl, Text.data(), static_cast<int>(Text.size()));
        else
            ::send(fd, Text.data(), Text.size(), MSG_NOSIGNAL);
    };
    // The binding the server sees: the client's Finished message first in a
    // full TLS 1.2 handshake, the exporter from TLS 1.3 on.
    std::string binding;
    Gsasl_property bindingKind = GSASL_CB_TLS_UNIQUE;
    if (ssl && ::SSL_version(ssl) >= TLS1_3_VERSION) {
        unsigned char data[32];
        static constexpr char kLabel[] = "EXPORTER-Channel-Binding";
        ::SSL_export_keying_material(ssl, data, sizeof data, kLabel, sizeof kLabel - 1, nullptr, 0, 0);
        binding.assign(reinterpret_cast<char*>(data), sizeof data);
        bindingKind = GSASL_CB_TLS_EXPORTER;
    } else if (ssl) {
        char finished[64];
        binding.assign(finished, ::SSL_get_peer_finished(ssl, finished, sizeof finished));
    }
    if (FOptions.WrongBinding && !binding.empty())
        binding[0] = static_cast<char>(binding[0] ^ 1);

    Gsasl* ctx = nullptr;
    ::gsasl_init(&ctx);
    ::gsasl_callback_set(ctx, &Callback);
    send("+OK sasl ready\r\n");
    std::string buffer, line;
    while (ReadLine(fd, ssl, buffer, line)) {
        if (line == "CAPA") {
            send("+OK\r\nSASL " + FOptions.Mechanisms + "\r\n.\r\n");
        } else if (line == "QUIT") {
            send("+OK bye\r\n");
            break;
        } else if (line == "STAT" && FSignedIn) {
            send("+OK 0 0\r\n");
        } else if (line.rfind("AUTH ", 0) == 0) {
            std::string rest = line.substr(5);
            const std::string mechanism = rest.substr(0, rest.find(' '));
            std::string input = rest.find(' ') == std::string::npos ? std::string() : rest.substr(rest.find(' ') + 1);
            Gsasl_session* session = nullptr;
            if (::gsasl_server_start(ctx, mechanism.c_str(), &session) != GSASL_OK) {
                send("-ERR unknown mechanism\r\n");
                continue;
            }
            if (!binding.empty())
                ::gsasl_property_set(session, bindingKind, Base64(binding).c_str());
            bool ok = false, failed = false;
            for (int round = 0; round < 10 && !ok && !failed; ++round) {
                if (input == "*")
                    break;
                char* out = nullptr;
                size_t n = 0;
                const std::string in = input == "=" ? std::string() : UnBase64(input);
                const int rc = ::gsasl_step(session, in.data(), in.size(), &out, &n);
                std::string output(out ? out : "", n);
                ::gsasl_free(out);
                if (rc != GSASL_OK && rc != GSASL_NEEDS_MORE) {
                    failed = true;
                    break;
                }
                if (rc == GSASL_OK) {
                    ok = true;
                    if (output.empty() || FOptions.SkipFinal)
                        break;
                    if (FOptions.WrongSignature && output.size() > 2)
                        output[2] = output[2] == 'A' ? 'B' : 'A';
                }
                send("+ " + Base64(output) + "\r\n");
                if (!ReadLine(fd, ssl, buffer, input))
                    failed = true;
                // After the server's last word, only an empty answer agrees.
                if (ok && (failed || !input.empty()))
                    ok = false;
            }
            ::gsasl_finish(session);
            if (ok) {
                FSignedIn = true;
                send("+OK Logged in.\r\n");
            } else {
                send("-ERR [AUTH] Authentication failed.\r\n");
            }
        } else {
            send("-ERR unknown command\r\n");
        }
    }
    ::gsasl_done(ctx);
    if (ssl) {
        ::SSL_shutdown(ssl);
        ::SSL_free(ssl);
    }
    ::close(fd);
}

} // namespace sweepbox::test
