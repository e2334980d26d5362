// A real DNS server for the resolver's tests: Debian's dnsmasq, run in the
// foreground inside the test's private namespace and stopped with the object.
#pragma once

#include <string>
#include <vector>

#include "child.h"
#include "tempdir.h"

namespace testsupport {

class CDnsmasq {
public:
    // Directory of this server's files; record files (addn-hosts) go here before Start.
    const std::string &Dir() const { return m_dir.Path(); }

    // Starts dnsmasq on port 53 of each address of listListen (bound to exactly
    // those), without upstream servers, /etc/hosts or /etc/resolv.conf, with strConf
    // as its configuration file and every query logged. Returns once it answers on
    // every address (at most 5 s); false with the reason in strWhy otherwise.
    bool Start(const std::vector<std::string> &listListen, const std::string &strConf,
               std::string &strWhy);

    // The server's log so far, one line per event; queries read "query[A] name from a.b.c.d".
    std::string Log() const;

private:
    CTempDir m_dir;
    CChild m_server;
};

}  // namespace testsupport
