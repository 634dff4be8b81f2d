// The fake POP3 server itself: a fixture other tests trust, so Finished() must
// fail for a wrong line, for bytes beyond the script and for a step not reached.
#include "support/FakePop3Server.h"

#include "support/Pop3Clients.h"

#include <gtest/gtest.h>

using sweepbox::test::FakePop3Server;

TEST(FakeScript, FinishedCatchesWrongLinesExtraBytesAndUnplayedSteps) {
    struct Row {
        const char* expected; // the script's only line
        bool login;
        const char* inMessage;
    };
    const Row rows[] = {
        {"USER x", true, "USER u"},
        {"USER u", true, "PASS p"},
        {"USER u", false, "waiting at step 2"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.inMessage);
        FakePop3Server srv;
        srv.Send("+OK\r\n").Expect("CAPA").Send("-ERR\r\n").Expect(row.expected).Send("+OK\r\n");
        sweepbox::test::FakeClient c(srv);
        c.pop.ReceiveStallLimitMs = 300; // PASS gets no reply
        c.pop.Connect();
        try {
            if (row.login)
                c.pop.Login();
        } catch (const std::exception&) {
        }
        auto result = srv.Finished(std::chrono::milliseconds(row.login ? 20000 : 300));
        EXPECT_FALSE(result);
        EXPECT_NE(std::string(result.message()).find(row.inMessage), std::string::npos)
            << result.message();
    }
}
