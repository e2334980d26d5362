// A program run as a child process of a test: its standard output and error in files,
// in a process group of its own, killed (group and all) with the object.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace testsupport {

class CChild {
public:
    CChild() = default;
    ~CChild() { Kill(); }
    CChild(const CChild &) = delete;
    CChild &operator=(const CChild &) = delete;

    // Starts vecArgv[0] (a path) with vecArgv as its arguments; standard output and
    // error go to strOutPrefix + ".out" and ".err". False when it could not fork.
    bool Start(const std::vector<std::string> &vecArgv, const std::string &strOutPrefix);
    pid_t Pid() const { return m_pid; }
    std::string Stdout() const;
    std::string Stderr() const;
    // Waits up to dSeconds for the child to exit: its exit status, or -1 (still
    // running, or ended by a signal).
    int WaitExit(double dSeconds);
    // SIGKILL to the child's group, then reaps the child.
    void Kill();

private:
    std::string m_strPrefix;
    pid_t m_pid = -1;
};

// Polls fnDone every 20 ms for up to dSeconds; true once it holds.
bool WaitUntil(double dSeconds, const std::function<bool()> &fnDone);

// A TCP port of 127.0.0.1 that was free a moment ago (bound with port 0 and closed
// again), or 0.
int FreeLoopbackPort();

}  // namespace testsupport
