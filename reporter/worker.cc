// Worker start-up and the report loop: sample each interface's counters every
// intervalbw seconds, report and send its datagram every intervalrp seconds.
#include "worker.h"

#include <SimpleIni.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <list>
#include <map>
#include <string>

#include "LogFile.h"
#include "netif.h"
#include "servers.h"
#include "statusmsg.h"

namespace {

int64_t Elapsed(uint32_t uSince) {
    return (int64_t)time(nullptr) - (int64_t)uSince;
}

void LogMessage(const char *pszText) {
    CLogFileEx log(nullptr, true, LOG_TRUNCATE);
    log.Write("%s", pszText);
}

// Sends the record's datagram over sockfd to every server of listServers, in list
// order, each on its port in mapServersPort; an address that is not a dotted quad
// or a failed send is reported on standard output and the next server follows.
void SendStatus(int sockfd, const MORVA_VESKO_STATUS &QDS,
                const std::list<std::string> &listServers,
                const std::map<std::string, int> &mapServersPort) {
    unsigned char aDatagram[STATUS_SIZE];
    EncodeStatus(QDS, aDatagram);
    for (const std::string &strServer : listServers) {
        struct sockaddr_in dest;
        std::memset(&dest, 0, sizeof dest);
        dest.sin_family = AF_INET;
        // ParseServers gives every listed address its port.
        auto itPort = mapServersPort.find(strServer);
        dest.sin_port = htons((uint16_t)(itPort != mapServersPort.end() ? itPort->second : 0));
        if (inet_pton(AF_INET, strServer.c_str(), &dest.sin_addr) <= 0) {
            std::printf("vesko ip [%s] is not a valid IPaddress\n", strServer.c_str());
            continue;
        }
        if (sendto(sockfd, aDatagram, sizeof aDatagram, 0, (const struct sockaddr *)&dest,
                   sizeof dest) <= 0)
            std::printf("change cache [%s] status  failed\n", strServer.c_str());
    }
    std::fflush(stdout);
}

}  // namespace

int RunWorker(const char *strConfigFileName) {
    CSimpleIniA ini(false, false, false);
    if (ini.LoadFile(strConfigFileName) < 0) {
        std::string strText = std::string("load ini file ") + strConfigFileName + " failed.";
        LogMessage(strText.c_str());
        std::printf("%s\n", strText.c_str());
        std::fflush(stdout);
        return 1;
    }

    std::string strIP2Servers = ini.GetValue("config", "servers", "");
    std::list<std::string> listServers;
    std::map<std::string, int> mapServersPort;
    ParseServers(strIP2Servers, listServers, mapServersPort);
    int32_t intervalbw = (int32_t)ini.GetLongValue("config", "intervalbw", 10);
    int32_t intervalrp = (int32_t)ini.GetLongValue("config", "intervalrp", 40);

    int sockfd = socket(AF_INET, SOCK_DGRAM, 0);

    static char ethName[MAX_INTERFACE][64];
    static char IPs[MAX_INTERFACE][64];
    MORVA_VESKO_STATUS QDS[MAX_INTERFACE];
    uint64_t InBW[MAX_INTERFACE], OutBW[MAX_INTERFACE];
    uint64_t InBWLast[MAX_INTERFACE], OutBWLast[MAX_INTERFACE];
    bool bHaveBaseline[MAX_INTERFACE];
    uint32_t timelastbw[MAX_INTERFACE], timelastrp[MAX_INTERFACE];

    int nIPCount = GetLocalIP(ethName, IPs);
    for (int i = 0; i < nIPCount; ++i) {
        std::memset(&QDS[i], 0, sizeof QDS[i]);
        struct in_addr addr;
        addr.s_addr = 0;
        inet_aton(IPs[i], &addr);
        QDS[i].Status = 1;
        QDS[i].tag = STATUS_TAG;
        QDS[i].IP = ntohl(addr.s_addr);
        InBWLast[i] = OutBWLast[i] = 0;
        InBW[i] = OutBW[i] = 0;
        // Without a first sample the slot has no baseline: its first successful
        // sample only sets one.
        bHaveBaseline[i] = GetBW(InBWLast[i], OutBWLast[i], ethName[i]) != 0;
        timelastbw[i] = (uint32_t)time(nullptr);
        timelastrp[i] = (uint32_t)time(nullptr);
        std::printf("%s=%s\n", ethName[i], IPs[i]);
    }
    std::fflush(stdout);

    for (;;) {
        for (int i = 0; i < nIPCount; ++i) {
            // A negative intervalbw would let the step run with no time passed: a rate
            // needs at least one second.
            int64_t lElapsed = Elapsed(timelastbw[i]);
            if (lElapsed > (int64_t)intervalbw && lElapsed > 0 &&
                GetBW(InBW[i], OutBW[i], ethName[i]) != 0) {
                ComputeRates(InBW[i], OutBW[i], InBWLast[i], OutBWLast[i], lElapsed,
                             bHaveBaseline[i], QDS[i]);
                InBWLast[i] = InBW[i];
                OutBWLast[i] = OutBW[i];
                bHaveBaseline[i] = true;
                timelastbw[i] = (uint32_t)time(nullptr);
            }

            if (Elapsed(timelastrp[i]) > (int64_t)intervalrp) {
                timelastrp[i] = (uint32_t)time(nullptr);
                std::string strLine = FormatReportLine(QDS[i]);
                LogMessage(strLine.c_str());
                std::printf("%s\n", strLine.c_str());
                std::fflush(stdout);

                SendStatus(sockfd, QDS[i], listServers, mapServersPort);
            }
        }
        sleep(1);
    }
}
