// A program run as a child process of a test: its standard output and error in files,
// in a process group of its own, killed (group and all) with the object. Also a
// test body run in a forked child, and polling with a time limit.
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

    // Set before Start: a variable of the child's environment (added to the test's
    // own, or replacing it), and the directory the child starts in.
    void SetEnv(const std::string &strName, const std::string &strValue);
    void SetDir(const std::string &strDir) { m_strDir = strDir; }

    // Starts vecArgv[0] (a path, or a name looked up in PATH) with vecArgv as its
    // arguments; standard input is /dev/null, standard output and error go to
    // strOutPrefix + ".out" and ".err". False when it could not fork.
    bool Start(const std::vector<std::string> &vecArgv, const std::string &strOutPrefix);
    // The child's pid while it has not been reaped, else -1.
    pid_t Pid() const { return m_pid; }
    std::string Stdout() const;
    std::string Stderr() const;
    // False once the child has ended; it is then reaped and its status kept.
    bool Running();
    // Waits up to dSeconds for the child to end: its exit status, or -1 (still
    // running, ended by a signal, or never started).
    int WaitExit(double dSeconds);
    // SIGKILL to the child's group, then reaps the child; nothing once it is reaped.
    void Kill();

private:
    std::vector<std::string> m_listEnv;  // "NAME=value"
    std::string m_strDir;
    std::string m_strPrefix;
    pid_t m_pid = -1;
    int m_nExit = -1;
};

// The exit status of a forked test body that could not set itself up (no root,
// no namespace): the test skips.
constexpr int SKIP_EXIT = 77;

// Runs fnBody in a forked child of the test and waits for its end; gtest failures
// in the child print as usual. Returns the child's exit status: 0 when all its
// assertions held, 1 when one failed, or what fnBody gave _exit; 128 plus the
// signal's number when a signal ended it; -1 when there was no child.
int RunForked(const std::function<void()> &fnBody);

// Polls fnDone every 20 ms for up to dSeconds; true once it holds.
bool WaitUntil(double dSeconds, const std::function<bool()> &fnDone);

// A TCP port of 127.0.0.1 that was free a moment ago (bound with port 0 and closed
// again), or 0.
int FreeLoopbackPort();

}  // namespace testsupport
