// Shared helpers of the POP3 component's tests: an event recorder that binds
// every event of a TKelPOP and paces a fake server.
#pragma once

#include "pop3/KelPOP3.h"
#include "support/FakePop3Server.h"

#include <string>
#include <vector>

namespace sweepbox::test {

// Records the component's events as readable strings, in order:
//   "lookup" "connecting" "connect" "quit"          (sender: transport)
//   "send:<text>" "recv:<chunk>"                     (sender: component)
//   "error:<code>:<text>" with "T" before the code when the sender was the transport
//   "delete:<n>" "progress:<p>" "before:<n>" "after"
// A sender other than the documented one is recorded as "BAD SENDER".
struct PopRecorder {
    std::vector<std::string> Events;
    int Pumps = 0;
    bool LogPumps = false; // also record each pump as "pump"
    std::vector<int> Sleeps;

    void Bind(kel::TKelPOP& pop, FakePop3Server* paced = nullptr) {
        kel::TObject* transport = pop.Transport();
        kel::TObject* self = &pop;
        auto check = [this](kel::TObject* got, kel::TObject* want) {
            if (got != want)
                Events.push_back("BAD SENDER");
        };
        pop.OnLookup = [=, this](kel::TObject* s, kel::TObject* sock) {
            check(s, transport);
            check(sock, transport);
            Events.push_back("lookup");
        };
        pop.OnConnecting = [=, this](kel::TObject* s, kel::TObject*) {
            check(s, transport);
            Events.push_back("connecting");
        };
        pop.OnConnect = [=, this](kel::TObject* s) {
            check(s, transport);
            Events.push_back("connect");
        };
        pop.OnQuit = [=, this](kel::TObject* s) {
            check(s, transport);
            Events.push_back("quit");
        };
        pop.OnError = [=, this](kel::TObject* s, int32_t code, const std::string& msg) {
            if (s != transport && s != self)
                Events.push_back("BAD SENDER");
            Events.push_back(std::string("error:") + (s == transport ? "T" : "") +
                             std::to_string(code) + ":" + msg);
        };
        pop.OnSendTextToSocket = [=, this](kel::TObject* s, const std::string& text) {
            check(s, self);
            Events.push_back("send:" + text);
        };
        pop.OnReceiveTextFromSocket = [=, this](kel::TObject* s, const std::string& chunk) {
            check(s, self);
            Events.push_back("recv:" + chunk);
            if (paced)
                paced->ClientReceived(chunk.size());
        };
        pop.OnDelete = [=, this](kel::TObject* s, uint16_t n) {
            check(s, self);
            Events.push_back("delete:" + std::to_string(n));
        };
        pop.OnRetrieveProgress = [=, this](kel::TObject* s, uint16_t p) {
            check(s, self);
            Events.push_back("progress:" + std::to_string(p));
        };
        pop.OnBeforeRetrieve = [=, this](kel::TObject* s, uint16_t n) {
            check(s, self);
            Events.push_back("before:" + std::to_string(n));
        };
        pop.OnAfterRetrieve = [=, this](kel::TObject* s) {
            check(s, self);
            Events.push_back("after");
        };
        pop.ProcessMessages = [this] {
            ++Pumps;
            if (LogPumps)
                Events.push_back("pump");
        };
        pop.Sleep = [this](int ms) {
            Sleeps.push_back(ms);
            Events.push_back("sleep:" + std::to_string(ms));
        };
    }

    // The events without "recv:", "send:" and "pump" entries.
    std::vector<std::string> NonIo() const {
        std::vector<std::string> out;
        for (const auto& e : Events)
            if (e.rfind("recv:", 0) != 0 && e.rfind("send:", 0) != 0 && e != "pump")
                out.push_back(e);
        return out;
    }
    void Clear() { Events.clear(); }
};

} // namespace sweepbox::test
