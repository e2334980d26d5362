// The stub resolver: A queries to the two fixed public resolvers. Building the
// query, judging a reply and scanning it for addresses are pure functions of bytes;
// dnsQueryA is the sending loop around them.
#pragma once

#include <netinet/in.h>

#include <string>
#include <vector>

const int DNS_QUERY_SIZE = 1024;  // the query buffer
const int DNS_REPLY_SIZE = 1024;  // one datagram of at most this many bytes is read
const int DNS_PORT = 53;
const int DNS_ATTEMPTS = 10;   // servers alternating, DNS_SERVERS[0] first
const int DNS_WAIT_MS = 100;   // per attempt
const int DNS_MAX_LABEL = 63;  // RFC 1035 limit on one label
// Header 12 + length bytes and labels L + 2 + QTYPE/QCLASS 4 = L + 18 bytes.
const int DNS_MAX_NAME = DNS_QUERY_SIZE - 18;

extern const char *const DNS_SERVERS[2];

// Verdict of dnsCheckReply on one received datagram.
enum EDnsReply {
    DNS_REPLY_ACCEPT,   // the answer: scan it, ask no further
    DNS_REPLY_REJECT,   // the server's answer is not usable: next attempt
    DNS_REPLY_FOREIGN,  // not from the attempt's server: ignore, keep waiting
};

// Writes the A query for strName with the 16-bit ID nId into pQuery, which holds
// DNS_QUERY_SIZE bytes, and returns its length (name length L + 18). One trailing
// dot (the root) is dropped first. Returns 0 and leaves the name unsent when the
// name is empty, holds an empty label (a leading or doubled dot), a label longer
// than DNS_MAX_LABEL bytes, or more than DNS_MAX_NAME bytes. Label bytes are copied
// unchanged.
int dnsBuildQuery(unsigned char *pQuery, std::string strName, unsigned nId);

// Judges the nLen bytes at pReply (nLen is the receive's result) that came from
// from, for a query with ID high byte cIdHigh sent to server. Foreign unless
// address and port equal server's; then accepted when nLen > 0, the first byte
// equals cIdHigh and ANCOUNT (bytes 6-7; missing bytes count as zero) is not 0.
// Only the ID's first byte is compared.
EDnsReply dnsCheckReply(const unsigned char *pReply, int nLen, unsigned char cIdHigh,
                        const sockaddr_in &from, const sockaddr_in &server);

// Addresses of the A records whose owner is the question's name (the bytes C0 0C 00
// 01) in the nLen bytes at pReply, dotted-quad, in reply order, duplicates kept.
// Reads no byte at or beyond pReply + nLen. At most nLen / 16 addresses.
std::vector<std::string> dnsScanAddresses(const unsigned char *pReply, int nLen);

// getmsgip's text for listAddr: each address followed by '|', the last one
// included ("a|b|"), or "false" for an empty list. The addresses of one reply
// (at most DNS_REPLY_SIZE / 16, of at most 15 characters each) make at most
// 1024 characters.
std::string dnsJoinAddresses(const std::vector<std::string> &listAddr);

// Addresses of strName's A records as dotted-quad texts, in reply order; empty when
// the name is refused (see dnsBuildQuery) or no usable reply came within
// DNS_ATTEMPTS attempts of DNS_WAIT_MS each (about one second). Uses no shared
// state and no non-reentrant call: safe from any thread.
std::vector<std::string> dnsQueryA(std::string strName);
