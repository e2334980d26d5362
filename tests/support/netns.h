// Private network namespaces for tests that send packets: addresses added there
// exist only for the test, so nothing it sends can reach the real network. Private
// mount namespaces for tests that mount.
#pragma once

#include <string>

namespace testsupport {

// Moves the whole (single-threaded) test process into a new network namespace of
// its own and brings its loopback up. Returns false with the reason in strWhy
// when that cannot be done (not root, no namespace support); the test then skips.
bool EnterPrivateNetns(std::string &strWhy);

// Moves the calling process (a forked test body) into a new mount namespace whose
// mounts no longer propagate to the machine's. False with the reason in strWhy
// when that cannot be done (not root).
bool EnterPrivateMountNs(std::string &strWhy);

// Runs strCmd through /bin/sh; returns its exit status, -1 when it could not run.
int RunShell(const std::string &strCmd);

// True when `ip route get` names a local route for pszAddr, so that packets for it
// stay on this namespace's loopback.
bool RouteIsLocal(const char *pszAddr);

}  // namespace testsupport
