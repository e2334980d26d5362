// The resolver's small socket operations. Results: >= 0 done, -1 the platform call
// failed, -2 bad argument, -3 time-out or failed host lookup. Every operation works
// on the caller's descriptor only and keeps no state: safe from any thread, except
// that sockSendTo's host lookup is the platform's non-reentrant one for names.
#pragma once

#include <netinet/in.h>

// New AF_INET socket, protocol 0: UDP when stream is 0, TCP otherwise. The
// descriptor (close-on-exec), or -1 when the platform refuses.
int sockCreate(int stream);

// Sends the len bytes at data, flags 0, to port of host. A dotted-quad host is
// converted directly; any other text goes through gethostbyname (not reentrant),
// whose first address is used. -2 when host is null, port is outside 0..65535 or
// len is negative; -3 when the lookup fails; otherwise sendto's result.
int sockSendTo(int fd, const char *host, int port, const void *data, int len);

// Puts fd into blocking mode and reads one datagram of at most size bytes into
// buf. With timeoutMs above 0 it first waits that long for fd to become readable:
// -3 when the time runs out, -1 when the wait fails. With timeoutMs 0 it waits
// without limit. -2 when fd is negative, buf is null, size is below 1 or timeoutMs
// is negative. Otherwise recv's result (0 is an empty datagram).
int sockRecv(int fd, void *buf, int size, int timeoutMs);

// sockRecv that also stores the sender's address in *pFrom (which may be null);
// a sender that is not IPv4 leaves *pFrom with the family AF_UNSPEC.
int sockRecvFrom(int fd, void *buf, int size, int timeoutMs, sockaddr_in *pFrom);

// Shuts both directions of fd down and closes it; results not looked at. Returns 0.
int sockClose(int fd);

// *pAddr becomes port of the dotted-quad address pszIP (inet_pton, no lookup).
// 0 done, -2 when pszIP or pAddr is null or port is outside 0..65535, -3 when
// pszIP is not a dotted-quad address.
int sockAddrOf(const char *pszIP, int port, sockaddr_in *pAddr);

// Connects the datagram socket fd to port of the dotted-quad address pszIP: sends
// without an address go there, and the kernel drops datagrams from any other
// sender. -2 for a negative fd and as sockAddrOf; -3 as sockAddrOf; -1 when connect
// fails; 0 done.
int sockConnect(int fd, const char *pszIP, int port);

// Sends the len bytes at data on the connected socket fd, flags 0. -2 when data is
// null or len is negative; otherwise send's result.
int sockSend(int fd, const void *data, int len);
