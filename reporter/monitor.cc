// The supervisor: forks the worker, waits for it and forks the next one a second
// after each end, logging every restart.
#include "monitor.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "LogFile.h"

bool Monitor() {
    for (;;) {
        // Anything still buffered would be copied into the child and printed twice.
        std::fflush(stdout);
        pid_t pid = fork();
        if (pid < 0) {
            std::perror("fork error");
            return false;
        }
        if (pid == 0) return true;

        std::printf("pid=%d start.\n", (int)pid);
        std::fflush(stdout);
        int status = 0;
        if (waitpid(pid, &status, 0) > 0) {
            std::string strRestart = "pid " + std::to_string((int)pid) + " exit,restart...";
            CLogFileEx log(nullptr, true, LOG_TRUNCATE);
            log.Write("%s", strRestart.c_str());
            std::printf("%s\n", strRestart.c_str());
            std::fflush(stdout);
            sleep(1);
            continue;
        }
        std::perror("waitpid error");
        return false;
    }
}
