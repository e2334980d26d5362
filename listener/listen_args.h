// The dispatch listener's command line: ADDR:PORT [--textfile DIR] [--table], the
// options before or after the address.
#pragma once

#include <netinet/in.h>

#include <string>

struct sListenArgs {
    struct sockaddr_in addr;     // the address to bind, port in network order
    std::string strTextfileDir;  // empty: no exposition file
    bool bTable = false;
};

// Fills args from argv[1..argc-1]. ADDR is a dotted-quad IPv4 address, PORT 0 to
// 65535 in decimal digits (0: the kernel picks one). Returns 1 on success; 0 with a
// one-line reason in strErr otherwise.
int ParseListenArgs(int argc, const char *const *argv, sListenArgs &args, std::string &strErr);
