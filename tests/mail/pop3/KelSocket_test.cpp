// TKelSocket's open: the connect waits in slices with the pump between them,
// gives up after the stall limit, and ends soundly when a handler run by the
// pump closes the transport or opens it again.
#include "pop3/KelSocket.h"

#include "mail/pop3/Pop3TestUtil.h"
#include "support/FakePop3Server.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <functional>
#include <string>
#include <unistd.h>
#include <vector>

using namespace kel;
using sweepbox::test::OpenDescriptors;
using sweepbox::test::UnansweredPort;
using Events = std::vector<std::string>;

namespace {

// A transport pointed at 127.0.0.1:Port that records its notifications and
// runs Pump (after recording "idle") between wait slices.
struct Probe {
    TKelSocket sock;
    Events events;
    int idles = 0;
    std::function<void()> pump;

    explicit Probe(uint16_t Port, int StallLimitMs) {
        sock.Address = "127.0.0.1";
        sock.Port = Port;
        sock.StallLimitMs = StallLimitMs;
        sock.OnLookup = [this](TObject*, TObject*) { events.push_back("lookup"); };
        sock.OnConnecting = [this](TObject*, TObject*) { events.push_back("connecting"); };
        sock.OnConnect = [this](TObject*) { events.push_back("connect"); };
        sock.OnDisconnect = [this](TObject*) { events.push_back("disconnect"); };
        sock.OnError = [this](TObject*, int code) {
            events.push_back("error:" + std::to_string(code));
        };
        sock.Idle = [this] {
            ++idles;
            if (pump)
                pump();
        };
    }

    // The error number of the failed open; 0 when it succeeded.
    int Open() {
        try {
            sock.Open();
            return 0;
        } catch (const ESocketOpenError& e) {
            EXPECT_NE(std::string(e.what()).find("auf API 'connect'"), std::string::npos)
                << e.what();
            return e.ErrorCode;
        }
    }
};

} // namespace

// How does each pending or refused connect end, and how often is the pump
// called meanwhile?
TEST(Open, PendingConnectEndsByLimitOrByAHandler) {
    UnansweredPort unanswered;
    SWEEPBOX_REQUIRE_UNANSWERED(unanswered);
    const uint16_t refused = sweepbox::test::ClosedPort();
    struct Row {
        const char* name;
        uint16_t port;
        int limitMs; // a long limit is a safety net the row must not reach
        std::function<void(Probe&)> pump;
        int error;
        int minIdles, maxIdles;
    };
    const Row rows[] = {
        {"refused fails at once", refused, 60000, nullptr, ECONNREFUSED, 0, 1000},
        {"unanswered times out while pumping", unanswered.Port, 300, nullptr, ETIMEDOUT, 2, 1000},
        {"closed by a handler", unanswered.Port, 60000, [](Probe& p) { p.sock.Close(); }, ECANCELED, 1, 1},
        {"closed twice by a handler", unanswered.Port, 60000,
         [](Probe& p) {
             p.sock.Close();
             p.sock.Close();
         },
         ECANCELED, 1, 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Probe p(row.port, row.limitMs);
        if (row.pump)
            p.pump = [&] { row.pump(p); };
        const int fds = OpenDescriptors();
        EXPECT_EQ(p.Open(), row.error);
        EXPECT_GE(p.idles, row.minIdles);
        EXPECT_LE(p.idles, row.maxIdles);
        EXPECT_EQ(p.events, (Events{"lookup", "connecting", "disconnect"}));
        EXPECT_FALSE(p.sock.IsOpen());
        EXPECT_FALSE(p.sock.IsOpening());
        EXPECT_EQ(OpenDescriptors(), fds);
    }
}

// A handler that closes the transport and then takes a new descriptor gets
// the number the pending socket would free if it were closed too early; the
// open must neither close nor use that descriptor.
TEST(Open, DescriptorTakenByAHandlerAfterCloseIsLeftAlone) {
    UnansweredPort unanswered;
    SWEEPBOX_REQUIRE_UNANSWERED(unanswered);
    Probe p(unanswered.Port, 60000);
    int pipeFds[2] = {-1, -1};
    p.pump = [&] {
        p.sock.Close();
        ASSERT_EQ(::pipe(pipeFds), 0);
    };
    EXPECT_EQ(p.Open(), ECANCELED);
    ASSERT_GE(pipeFds[0], 0);
    EXPECT_NE(::fcntl(pipeFds[0], F_GETFD), -1);
    EXPECT_NE(::fcntl(pipeFds[1], F_GETFD), -1);
    EXPECT_EQ(::write(pipeFds[1], "x", 1), 1);
    char c = 0;
    EXPECT_EQ(::read(pipeFds[0], &c, 1), 1);
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
}

// A handler that opens again inside the pending open is refused; the pending
// open goes on until it is closed.
TEST(Open, NestedOpenWhilePendingFails) {
    UnansweredPort unanswered;
    SWEEPBOX_REQUIRE_UNANSWERED(unanswered);
    Probe p(unanswered.Port, 60000);
    int nested = -1;
    p.pump = [&] {
        if (p.idles == 1) {
            p.events.push_back("nested");
            nested = p.Open();
        } else {
            p.sock.Close();
        }
    };
    EXPECT_EQ(p.Open(), ECANCELED);
    EXPECT_EQ(nested, EALREADY);
    EXPECT_EQ(p.idles, 2);
    EXPECT_EQ(p.events, (Events{"lookup", "connecting", "nested", "disconnect", "disconnect"}));
}

// An exception from the pump leaves Open after the pending socket is closed
// and the disconnect notification sent; the transport can open afterwards.
TEST(Open, ExceptionFromThePumpClosesThePendingSocket) {
    UnansweredPort unanswered;
    SWEEPBOX_REQUIRE_UNANSWERED(unanswered);
    struct Abandoned {};
    Probe p(unanswered.Port, 60000);
    p.pump = [] { throw Abandoned{}; };
    const int fds = OpenDescriptors();
    EXPECT_THROW(p.sock.Open(), Abandoned);
    EXPECT_EQ(p.events, (Events{"lookup", "connecting", "disconnect"}));
    EXPECT_FALSE(p.sock.IsOpening());
    EXPECT_EQ(OpenDescriptors(), fds);

    sweepbox::test::FakePop3Server srv;
    srv.Send("+OK\r\n").ExpectClose();
    p.events.clear();
    p.sock.Port = srv.Port();
    EXPECT_EQ(p.Open(), 0);
    EXPECT_EQ(p.events, (Events{"lookup", "connecting", "connect"}));
    char buf[16];
    EXPECT_EQ(std::string(buf, p.sock.ReceiveBuf(buf, sizeof buf)), "+OK\r\n");
    p.sock.Close();
    EXPECT_TRUE(srv.Finished());
}
