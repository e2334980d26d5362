// vesko_c: checks the command line, becomes the supervisor, and runs as the worker.
#include <cstdio>
#include <cstring>

#include "monitor.h"
#include "worker.h"

int main(int argc, char **argv) {
    if (argc != 3) {
        std::printf("Usage: vesko_c -c config.ini\n");
        return 1;
    }
    const char *strConfigFileName = argv[2];
    if (std::strcmp(argv[1], "-c") != 0) {
        std::printf("param error. \n");
        return 1;
    }
    // Whichever process comes back from Monitor is the worker.
    Monitor();
    return RunWorker(strConfigFileName);
}
