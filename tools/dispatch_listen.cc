// dispatch_listen ADDR:PORT: a dispatch-side listener for operators. Binds one UDP
// address and prints every status datagram decoded on one line, flagging datagrams
// that are not 28 bytes or whose tag is not 110.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "statusmsg.h"

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "Usage: dispatch_listen ADDR:PORT\n");
        return 1;
    }
    std::string strArg = argv[1];
    size_t nColon = strArg.rfind(':');
    struct sockaddr_in addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    if (nColon == std::string::npos ||
        inet_pton(AF_INET, strArg.substr(0, nColon).c_str(), &addr.sin_addr) != 1) {
        std::fprintf(stderr, "dispatch_listen: [%s] is not ADDR:PORT\n", argv[1]);
        return 1;
    }
    addr.sin_port = htons((uint16_t)std::atoi(strArg.c_str() + nColon + 1));
    int sock = socket(AF_INET, SOCK_DGRAM, 0);
    if (sock < 0) {
        std::perror("socket");
        return 1;
    }
    if (bind(sock, (const struct sockaddr *)&addr, sizeof addr) != 0) {
        std::perror(("bind " + strArg).c_str());
        close(sock);
        return 1;
    }
    std::printf("listening on %s\n", argv[1]);
    std::fflush(stdout);

    for (;;) {
        unsigned char aBuf[2048];
        struct sockaddr_in from;
        socklen_t nFromLen = sizeof from;
        ssize_t n = recvfrom(sock, aBuf, sizeof aBuf, 0, (struct sockaddr *)&from, &nFromLen);
        if (n < 0) {
            std::perror("recvfrom");
            continue;
        }
        char szFrom[INET_ADDRSTRLEN] = "?";
        inet_ntop(AF_INET, &from.sin_addr, szFrom, sizeof szFrom);
        unsigned char aRec[STATUS_SIZE];
        std::memset(aRec, 0, sizeof aRec);
        std::memcpy(aRec, aBuf, (size_t)n < sizeof aRec ? (size_t)n : sizeof aRec);
        MORVA_VESKO_STATUS rec;
        DecodeStatus(aRec, rec);
        std::string strFlags;
        if ((size_t)n != STATUS_SIZE) strFlags += "  BAD-LENGTH " + std::to_string(n);
        if (rec.tag != STATUS_TAG) strFlags += "  BAD-TAG " + std::to_string(rec.tag);
        std::printf("ip %u.%u.%u.%u  status %u  in %u  out %u  from %s:%u%s\n", rec.IP >> 24,
                    (rec.IP >> 16) & 0xff, (rec.IP >> 8) & 0xff, rec.IP & 0xff, rec.Status,
                    rec.InCome, rec.OutCome, szFrom, ntohs(from.sin_port), strFlags.c_str());
        std::fflush(stdout);
    }
}
