// A scripted UDP DNS peer for the resolver's tests: it listens on chosen address and
// port pairs inside the test's private namespace, records every datagram it gets
// and lets the test's script answer from any of its sockets, also wrongly.
#pragma once

#include <netinet/in.h>

#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "udp.h"

namespace testsupport {

// Moves the test process into a private network namespace (EnterPrivateNetns) and
// adds the two public resolver addresses 223.5.5.5 and 8.8.8.8 to its loopback.
// True only when the route to both is then local, so that nothing sent to them can
// leave the namespace; otherwise false with the reason in strWhy (the test skips).
bool EnterResolverNetns(std::string &strWhy);

// One datagram as the peer received it.
struct sDnsQuery {
    int nSocket;                       // index of the receiving socket in Start's list
    sockaddr_in from;                  // the sender
    std::vector<unsigned char> bytes;  // exactly as received (up to 4096 bytes)
    double dMs;                        // milliseconds since Start
};

class CDnsPeer {
public:
    // Runs on the peer's thread for each datagram received, after it is recorded.
    typedef std::function<void(CDnsPeer &peer, const sDnsQuery &query)> Script;

    CDnsPeer() = default;
    ~CDnsPeer();
    CDnsPeer(const CDnsPeer &) = delete;
    CDnsPeer &operator=(const CDnsPeer &) = delete;

    // Binds one UDP socket to each "a.b.c.d:port" of listBind, in order, and starts
    // the thread that serves them with fnScript. False with the reason in strWhy
    // when a socket cannot be bound.
    bool Start(const std::vector<std::string> &listBind, Script fnScript, std::string &strWhy);

    // Sends bytes from socket nSocket to to.
    void SendFrom(int nSocket, const sockaddr_in &to, const std::vector<unsigned char> &bytes);

    // Copy of every datagram received so far, in order of arrival.
    std::vector<sDnsQuery> Queries();

private:
    void Serve();

    std::deque<CUdpPort> m_listPort;  // a deque: its elements never move
    int m_aStopPipe[2] = {-1, -1};
    Script m_fnScript;
    std::thread m_thread;
    std::mutex m_mutex;
    std::vector<sDnsQuery> m_listQueries;
    double m_dStartMs = 0;
};

}  // namespace testsupport
