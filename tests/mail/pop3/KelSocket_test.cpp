// TKelSocket's open: the connect waits in slices with the pump between them,
// gives up after the stall limit, and ends soundly whatever the pump does.
#include "mail/pop3/KelSocket.h"

#include "support/Pop3Clients.h"
#include "support/FakePop3Server.h"

#include <gtest/gtest.h>


using namespace kel;
using sweepbox::test::OpenDescriptors;
using sweepbox::test::UnansweredPort;
using Events = std::vector<std::string>;

namespace {

// A transport that records its notifications and runs pump between wait slices.
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
        sock.OnError = [this](TObject*, int code) { events.push_back("error:" + std::to_string(code)); };
        sock.Idle = [this] { ++idles, pump ? pump() : void(); };
    }

    // The error number of the failed open; 0 when it succeeded.
    int Open() {
        try {
            sock.Open();
            return 0;
        } catch (const ESocketOpenError& e) {
            EXPECT_NE(std::string(e.what()).find("auf API 'connect'"), std::string::npos) << e.what();
            return e.ErrorCode;
        }
    }
};

} // namespace

// A handler run by the pump may close the transport, open it again (refused:
// the pending open goes on until closed), or throw (that leaves Open). Either
// way the pending socket is closed and the transport opens normally afterwards.
TEST(Open, PendingConnectEndsByLimitOrByAHandler) {
    UnansweredPort unanswered;
    SWEEPBOX_REQUIRE_UNANSWERED(unanswered);
    const uint16_t refused = sweepbox::test::ClosedPort();
    struct Abandoned {};
    const Events closed{"lookup", "connecting", "disconnect"};
    struct Row {
        const char* name;
        uint16_t port;
        int limitMs; // a long limit is a safety net the row must not reach
        std::function<void(Probe&)> pump;
        int error; // -1: the pump's exception
        int minIdles, maxIdles;
        Events events;
    };
    const Row rows[] = {
        {"refused fails at once", refused, 60000, nullptr, ECONNREFUSED, 0, 1000, closed},
        {"unanswered times out while pumping", unanswered.Port, 300, nullptr, ETIMEDOUT, 2, 1000, closed},
        {"opened again by a handler", unanswered.Port, 60000,
         [](Probe& p) {
             if (p.idles > 1) {
                 p.sock.Close();
                 return;
             }
             p.events.push_back("nested");
             p.events.push_back("nested:" + std::to_string(p.Open()));
         },
         ECANCELED, 2, 2,
         {"lookup", "connecting", "nested", "disconnect", "nested:" + std::to_string(EALREADY), "disconnect"}},
        {"exception from the pump", unanswered.Port, 60000, [](Probe&) { throw Abandoned{}; }, -1, 1, 1, closed},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Probe p(row.port, row.limitMs);
        if (row.pump)
            p.pump = [&] { row.pump(p); };
        const int fds = OpenDescriptors();
        int error = -1;
        try {
            error = p.Open();
        } catch (const Abandoned&) {
        }
        EXPECT_EQ(error, row.error);
        EXPECT_GE(p.idles, row.minIdles);
        EXPECT_LE(p.idles, row.maxIdles);
        EXPECT_EQ(p.events, row.events);
        EXPECT_FALSE(p.sock.IsOpen());
        EXPECT_FALSE(p.sock.IsOpening());
        EXPECT_EQ(OpenDescriptors(), fds);

        sweepbox::test::FakePop3Server srv;
        srv.Send("+OK\r\n").ExpectClose();
        p.events.clear();
        p.pump = nullptr;
        p.sock.Port = srv.Port();
        EXPECT_EQ(p.Open(), 0);
        EXPECT_EQ(p.events, (Events{"lookup", "connecting", "connect"}));
        char buf[16];
        EXPECT_EQ(std::string(buf, p.sock.ReceiveBuf(buf, sizeof buf)), "+OK\r\n");
        p.sock.Close();
        EXPECT_TRUE(srv.Finished());
    }
}

// A descriptor a handler takes after closing gets the number the pending
// socket would free if closed too early: the open must leave it alone.
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
    EXPECT_EQ(::write(pipeFds[1], "x", 1), 1);
    char c = 0;
    EXPECT_EQ(::read(pipeFds[0], &c, 1), 1);
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
}
